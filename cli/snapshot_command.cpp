// The `snapshot` subcommand: the picture each channel shows at a recorded time, as PNG files whose text
// chunks name the time, the source file's SHA-256 and the record's position.
#include "cli/snapshot_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cli/convert_command.h"
#include "cli/exit_codes.h"
#include "convert/recorded_moment.h"
#include "convert/recorded_time.h"
#include "incident/contact_sheet.h"
#include "incident/png_still.h"
#include "incident/still_capture.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"
#include "recording/utf8_path.h"
#include "report/sha256.h"
#include "transcode/caption_burner.h"

namespace qmv::cli {
namespace {

struct SnapshotArguments {
  std::string path;
  std::string at;
  std::string to;        // with --every: the series' last time (default: the recording's end)
  uint32_t every = 0;    // seconds between stills; 0: one time only
  std::string channels;  // 1-based list; empty: all with video
  std::string outputDir = ".";
  bool caption = false;
  bool sheet = false;  // one contact sheet instead of one file per still
};

// "20070615-131021".
std::string fileTimeText(const RecordedTime& t) {
  return fmt::format("{:04d}{:02d}{:02d}-{:02d}{:02d}{:02d}", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
}

int runSnapshot(const SnapshotArguments& args) {
  RecordingFile recording;
  if (Status opened = recording.open(args.path); !opened) {
    std::cerr << args.path << ": " << opened.error().message << "\n";
    return kExitBadInput;
  }
  const Result<uint16_t> first = recordedSecondOf(recording, args.at);
  if (!first) {
    std::cerr << args.path << ": --at " << first.error().message << "\n";
    return kExitUsage;
  }
  uint16_t last = first.value();
  if (args.every > 0) {
    last = recording.lastTime();
    if (!args.to.empty()) {
      const Result<uint16_t> to = recordedSecondOf(recording, args.to);
      if (!to) {
        std::cerr << args.path << ": --to " << to.error().message << "\n";
        return kExitUsage;
      }
      last = to.value();
    }
  }
  // The digest ties every still to the exact file it came from.
  const Result<FileDigests> digests = hashFile(args.path);
  if (!digests) {
    std::cerr << args.path << ": " << digests.error().message << "\n";
    return kExitBadInput;
  }
  std::error_code ec;
  std::filesystem::create_directories(pathFromUtf8(args.outputDir), ec);
  const std::string base = utf8FromPath(pathFromUtf8(args.path).stem());
  StillRequest request;
  request.channels =
      args.channels.empty() ? recording.videoMask() : parseChannelList(args.channels).value_or(0);
  // The sheet captions its tiles itself, at the tile's size.
  request.caption = args.caption && !args.sheet;
  std::vector<uint32_t> times;
  std::vector<StillCaptureResult> captures;
  for (uint32_t time = first.value(); time <= last; time += std::max<uint32_t>(args.every, 1)) {
    request.time = uint16_t(time);
    Result<StillCaptureResult> captured = captureStills(recording, request);
    if (!captured) {
      std::cerr << args.path << ": " << captured.error().message << "\n";
      return kExitOutputError;
    }
    for (const std::string& warning : captured.value().warnings)
      std::cerr << args.path << ": " << recordedTimeText(recording.info(), time) << ": " << warning << "\n";
    times.push_back(time);
    captures.push_back(std::move(captured).value());
  }
  const auto write = [&](const std::string& name, const uint8_t* bgr, int width, int height,
                         const std::vector<PngText>& texts) {
    const Result<std::vector<uint8_t>> png = encodePng(bgr, width, height, texts);
    const std::string out = utf8FromPath(pathFromUtf8(args.outputDir) / pathFromUtf8(name));
    Status written = png ? writeWholeFile(out, png.value()) : Status(png.error());
    if (!written) {
      std::cerr << out << ": " << written.error().message << "\n";
      return false;
    }
    std::cout << out << "\n";
    return true;
  };
  const std::string source = utf8FromPath(pathFromUtf8(args.path).filename());
  const std::string digest = toHex(digests.value().whole);
  if (args.sheet) {
    std::vector<std::vector<SheetCell>> rows;
    for (int c = 0; c < format::kChannelCount; ++c) {
      if (!(request.channels & recording.videoMask() & (1u << c))) continue;
      std::vector<SheetCell> row;
      for (std::size_t t = 0; t < times.size(); ++t) {
        SheetCell cell{nullptr, cameraCaptionName(recording.info().systemName, c),
                       recordedTimeText(recording.info(), times[t])};
        for (const StillPicture& still : captures[t].pictures)
          if (still.channel == c) cell.still = &still;
        row.push_back(std::move(cell));
      }
      rows.push_back(std::move(row));
    }
    const Result<SheetPicture> sheet = composeContactSheet(rows);
    if (!sheet) {
      std::cerr << args.path << ": " << sheet.error().message << "\n";
      return kExitOutputError;
    }
    const std::vector<PngText> texts = {
        {"Title", fmt::format("{} to {}", recordedTimeText(recording.info(), times.front()),
                              recordedTimeText(recording.info(), times.back()))},
        {"Source", source},
        {"Source-SHA256", digest},
    };
    const std::string name =
        fmt::format("{}_sheet_{}.png", base, fileTimeText(recordedTime(recording.info(), times.front())));
    return write(name, sheet.value().bgr.data(), sheet.value().width, sheet.value().height, texts)
               ? kExitOk
               : kExitOutputError;
  }
  for (std::size_t t = 0; t < times.size(); ++t) {
    const RecordedTime asked = recordedTime(recording.info(), times[t]);
    for (const StillPicture& still : captures[t].pictures) {
      const std::vector<PngText> texts = {
          {"Title", fmt::format("CH-{:02d} {}", still.channel + 1, formatRecordedTime(asked))},
          {"Recorded-Time", recordedTimeText(recording.info(), still.time)},
          {"Source", source},
          {"Source-SHA256", digest},
          {"Record-Offset", fmt::format("0x{:X}", still.sourceOffset)},
          {"Index-Entry", std::to_string(still.entry)},
      };
      if (!write(fmt::format("{}_{:02d}_{}.png", base, still.channel, fileTimeText(asked)), still.bgr.data(),
                 still.width, still.height, texts))
        return kExitOutputError;
    }
  }
  return kExitOk;
}

}  // namespace

void addSnapshotCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<SnapshotArguments>();
  CLI::App* snapshot =
      app.add_subcommand("snapshot", "Write the picture each channel shows at a recorded time as PNG stills");
  snapshot->add_option("file", args->path, "Recording (.qmv)")->required();
  snapshot->add_option("--at", args->at, "Recorded time: HH:MM:SS or \"YYYY-MM-DD HH:MM:SS\"")->required();
  CLI::Option* every = snapshot->add_option("--every", args->every, "Write a series, one still every SECONDS")
                           ->check(CLI::Range(1u, 3600u * 24u));
  snapshot->add_option("--to", args->to, "With --every: the series' last time (default: the recording's end)")
      ->needs(every);
  snapshot->add_option("--channels", args->channels, "Channels, 1-based: 1,3,5-8 (default: all with video)")
      ->check(channelListValidator());
  snapshot->add_option("-o,--output-dir", args->outputDir, "Folder for the stills")->capture_default_str();
  snapshot->add_flag("--sheet", args->sheet,
                     "Write one contact sheet instead: channels as rows, times as columns, each captioned");
  snapshot->add_flag("--caption", args->caption, "Draw the camera name and recorded time into each still");
  snapshot->callback([args, &exitCode] { exitCode = runSnapshot(*args); });
}

}  // namespace qmv::cli
