// The `mosaic` subcommand: the chosen channels side by side in one MP4 on the recorded clock, each tile
// named, the recorded date and time along the bottom.
#include "cli/mosaic_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cli/batch_runner.h"
#include "cli/console.h"
#include "cli/convert_command.h"
#include "cli/exit_codes.h"
#include "cli/text_format.h"
#include "convert/recorded_moment.h"
#include "convert/recorded_time.h"
#include "incident/mosaic.h"
#include "recording/recording_file.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv::cli {
namespace {

struct MosaicArguments {
  std::string path;
  std::string channels;  // 1-based list; empty: all with video
  std::string from;      // empty: the recording's first second
  std::string to;        // empty: its last
  std::string output;    // empty: <name>_mosaic.mp4 beside the recording
  bool overwrite = false;
};

int runMosaic(const MosaicArguments& args) {
  av_log_set_level(AV_LOG_ERROR);
  if (!mosaicAvailable()) {
    std::cerr
        << "qmv2avi-cli mosaic: this build of the tool has no FFmpeg xstack and drawtext filters, which "
           "a mosaic is composed with\n";
    return kExitUsage;
  }
  RecordingFile recording;
  if (Status opened = recording.open(args.path); !opened) {
    std::cerr << consoleText(args.path) << ": " << consoleText(opened.error().message) << "\n";
    return kExitBadInput;
  }
  MosaicRequest request;
  request.channels =
      args.channels.empty() ? recording.videoMask() : parseChannelList(args.channels).value_or(0);
  request.from = recording.firstTime();
  request.to = recording.lastTime();
  for (const auto& [option, text, second] :
       {std::tuple{"--from", &args.from, &request.from}, std::tuple{"--to", &args.to, &request.to}}) {
    if (text->empty()) continue;
    const Result<uint16_t> parsed = recordedSecondOf(recording, *text);
    if (!parsed) {
      std::cerr << consoleText(args.path) << ": " << option << " " << consoleText(parsed.error().message)
                << "\n";
      return kExitUsage;
    }
    *second = parsed.value();
  }
  if (request.from > request.to) {
    std::cerr << consoleText(args.path) << ": --to " << consoleText(args.to) << " lies before --from "
              << consoleText(args.from) << "\n";
    return kExitUsage;
  }
  const std::filesystem::path input(args.path);
  request.outputPath = args.output.empty()
                           ? (input.parent_path() / (input.stem().string() + "_mosaic.mp4")).string()
                           : args.output;
  request.overwrite = args.overwrite;
  BatchStop stop;
  StopRequests requests(stop);
  request.stop = &stop.flag();
  const Result<MosaicResult> written = writeMosaic(recording, request);
  if (!written) {
    std::cerr << consoleText(request.outputPath) << ": " << consoleText(written.error().message) << "\n";
    return written.error().code == EINVAL ? kExitUsage : kExitOutputError;
  }
  const MosaicResult& m = written.value();
  for (const std::string& warning : m.warnings)
    std::cerr << consoleText(args.path) << ": " << consoleText(warning) << "\n";
  std::string channels;
  for (const int c : m.tileChannels)
    channels += fmt::format("{}CH-{:02d}", channels.empty() ? "" : " ", c + 1);
  std::cout << fmt::format("{}: mosaic {}x{} of {} ({}x{}), {} to {}, {} pictures at {} fps, {}{}\n",
                           consoleText(request.outputPath), m.layout.columns, m.layout.columns, channels,
                           m.layout.width, m.layout.height, recordedTimeText(recording.info(), request.from),
                           recordedTimeText(recording.info(), request.to), m.frames, m.rate.num,
                           humanBytes(m.bytes),
                           m.stopped ? " (stopped: the file is complete up to there)" : "");
  if (m.stopped && requests.received() != 0) return kExitSignalBase + requests.received();
  return kExitOk;
}

}  // namespace

void addMosaicCommand(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<MosaicArguments>();
  CLI::App* mosaic = app.add_subcommand(
      "mosaic",
      "Write the channels side by side in one MP4 (H.264, plays in browsers) on the recorded clock");
  mosaic->add_option("file", args->path, "Recording (.qmv)")->required();
  mosaic->add_option("--channels", args->channels, "Channels, 1-based: 1,3,5-8 (default: all with video)")
      ->check(channelListValidator());
  mosaic->add_option("--from", args->from, "First recorded time: HH:MM:SS or \"YYYY-MM-DD HH:MM:SS\"");
  mosaic->add_option("--to", args->to, "Last recorded time (included)");
  mosaic->add_option("-o,--output", args->output,
                     "The MP4 file (default: <name>_mosaic.mp4 beside the recording)");
  mosaic->add_flag("--overwrite", args->overwrite, "Replace an existing file");
  mosaic->callback([args, &exitCode] { exitCode = runMosaic(*args); });
}

}  // namespace qmv::cli
