// The `info` subcommand: prints a recording's description texts, where it lies in its file and per-channel
// statistics.
#include "cli/info_command.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/batch_runner.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/salvage_text.h"
#include "cli/text_format.h"
#include "convert/rate_check.h"
#include "convert/stream_header_choice.h"
#include "decode/frame_geometry.h"
#include "recording/recording_file.h"
#include "report/salvage_json.h"

namespace qmv::cli {
namespace {

struct InfoOptions {
  std::vector<std::string> paths;  // recordings, player executables or folders
  bool json = false;
  bool salvage = false;  // open damaged recordings with what is left of them
};

struct ChannelStats {
  uint32_t frames = 0;
  uint32_t keyFrames = 0;
  // Video entries whose record extent is unusable or shorter than a head, cannot be read or is not a video
  // frame.
  uint32_t skippedRecords = 0;
  std::set<uint8_t> formatCodes;
};

using AllChannelStats = std::array<ChannelStats, format::kChannelCount>;

// Reads only the 12-byte head of each video record, in file order, so the pass stays
// proportional to the number of frames rather than to the size of the body.
// nullopt when the file shrank under its memory map while the heads were read.
std::optional<AllChannelStats> collectChannelStats(const RecordingFile& recording) {
  AllChannelStats stats;
  const auto& entries = recording.entries();
  // Mapped, a head costs a memory access instead of a system call; pages are touched in file order.
  const bool mapped = recording.source().view() != nullptr;
  bool shrank = false;
  const auto readHead = [&](uint64_t position, uint8_t* head) {
    if (mapped) {
      shrank = !recording.source().copyFromView(position, head, format::kRecordHeadSize);
      return !shrank;
    }
    return recording.source().readExact(position, head, format::kRecordHeadSize);
  };
  for (uint32_t j = 0; j + 1 < recording.entryCount(); ++j) {
    const FrameIndexEntry& entry = entries[j];
    if (entry.kind >= format::kChannelCount) continue;
    ChannelStats& channel = stats[entry.kind];
    const RecordExtent extent = recording.recordExtent(j);
    uint8_t head[format::kRecordHeadSize];
    if (!extent.usable() || extent.size < format::kRecordHeadSize ||
        !readHead(recording.recordingStart() + uint64_t(entry.offset), head) ||
        head[format::kRecFrameType] == format::kFrameTypeAudio) {
      if (shrank) return std::nullopt;
      ++channel.skippedRecords;
      continue;
    }
    ++channel.frames;
    if (format::isKeyFrameType(head[format::kRecFrameType])) ++channel.keyFrames;
    channel.formatCodes.insert(head[format::kRecFormatCode]);
  }
  return stats;
}

std::string channelName(int c) { return fmt::format("CH-{:02d}", c + 1); }

// The rate byte counts quarter frames per second: every value has an exact two-decimal form.
std::string frameRateText(uint8_t rateByte) {
  static const char* const kQuarters[] = {"", ".25", ".5", ".75"};
  return std::to_string(rateByte / 4) + kQuarters[rateByte % 4] + " fps";
}

std::string audioText(uint8_t source) {
  if (source == format::kNoAudioSource) return "none";
  if (source < format::kChannelCount) return "input " + std::to_string(source);
  return fmt::format("none (source byte 0x{:02X})", source);
}

void printPlain(std::ostream& out, const RecordingFile& recording, const AllChannelStats& stats) {
  const RecordingDescription& d = recording.description();
  out << "File: " << consoleText(recording.path()) << "\n"
      << "System Name: " << consoleText(d.systemName) << "\n"
      << "System Version: " << consoleText(d.version) << "\n"
      << "MAC Address: " << consoleText(d.macAddress) << "\n"
      << "Language and VGA: " << consoleText(d.languageVideo) << "\n"
      << "Recorded Time: " << consoleText(d.recordedTime) << "\n";
  if (recording.isWrapped()) {
    out << "Executable wrapper: recording at file position " << recording.recordingStart() << ", "
        << recording.trailingSize() << " trailing bytes\n";
  }
  out << "Index: " << recording.entryCount() << " entries in " << recording.blockCount() << " blocks\n";
  out << "Channels with video:";
  if (recording.videoMask() == 0) out << " none";
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (recording.videoMask() & (1u << c)) out << ' ' << channelName(c);
  }
  out << "\n";
  const SystemInfo& info = recording.info();
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (!(recording.videoMask() & (1u << c))) continue;
    const ChannelStats& s = stats[c];
    out << channelName(c) << ": " << s.frames << " frames, " << s.keyFrames << " key frames, format";
    if (s.formatCodes.empty()) out << " none";
    const char* separator = " ";
    for (uint8_t code : s.formatCodes) {
      const FrameGeometry geometry = getFrameGeometry(code, true);
      out << separator << int(code) << " (";
      if (geometry.width > 0 && geometry.height > 0) {
        out << geometry.width << "x" << geometry.height << ")";
      } else {
        out << "unknown size)";
      }
      separator = ", ";
    }
    out << ", " << frameRateText(info.channelRate[c]) << ", audio " << audioText(info.audioSource[c]);
    if (s.skippedRecords) out << ", " << s.skippedRecords << " damaged records skipped";
    out << "\n";
    for (uint8_t code : s.formatCodes) {
      if (!hasHeaderChoice(code)) continue;
      out << channelName(c) << ": format " << int(code) << " stream header "
          << streamHeaderText(chooseChannelStreamHeader(recording, c, code)) << "\n";
    }
  }
  for (const ChannelTiming& timing : checkChannelRates(recording)) {
    if (timing.warning) out << "Timing warning: " << rateWarningText(timing) << "\n";
  }
}

void printJson(std::ostream& out, const RecordingFile& recording, const AllChannelStats& stats) {
  using nlohmann::json;
  const RecordingDescription& d = recording.description();
  const SystemInfo& info = recording.info();
  json channels = json::array();
  std::array<std::optional<ChannelTiming>, format::kChannelCount> timings;
  for (const ChannelTiming& timing : checkChannelRates(recording))
    timings[std::size_t(timing.channel)] = timing;
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (!(recording.videoMask() & (1u << c))) continue;
    const ChannelStats& s = stats[c];
    json codes = json::array();
    for (uint8_t code : s.formatCodes) codes.push_back(int(code));
    const uint8_t source = info.audioSource[c];
    channels.push_back({
        {"channel", c + 1},
        {"frames", s.frames},
        {"keyFrames", s.keyFrames},
        {"skippedRecords", s.skippedRecords},
        {"formatCodes", codes},
        {"rateByte", info.channelRate[c]},
        {"frameRate", info.channelRate[c] / 4.0},
        {"audioSource", source == format::kNoAudioSource ? json(nullptr) : json(source)},
    });
    json headers = json::array();
    for (uint8_t code : s.formatCodes) {
      if (!hasHeaderChoice(code)) continue;
      const StreamHeaderChoice h = chooseChannelStreamHeader(recording, c, code);
      headers.push_back({{"formatCode", int(code)},
                         {"width", h.width},
                         {"height", h.height},
                         {"source", streamHeaderSourceName(h)},
                         {"basis", streamHeaderBasisName(h.basis)},
                         {"reason", streamHeaderText(h)}});
    }
    if (!headers.empty()) channels.back()["streamHeaders"] = headers;
    // Declared: rate byte / 4; delivered: index frames over the recorded seconds they span.
    if (const auto& timing = timings[std::size_t(c)]) {
      channels.back()["declaredRate"] = timing->declaredRate;
      channels.back()["deliveredRate"] = timing->deliveredRate;
      channels.back()["recordedSeconds"] = timing->spanSeconds;
      channels.back()["rateWarning"] = timing->warning ? json(rateWarningText(*timing)) : json(nullptr);
    }
  }
  const json document = {
      {"file", recording.path()},
      {"systemName", d.systemName},
      {"version", d.version},
      {"macAddress", d.macAddress},
      {"languageVideo", d.languageVideo},
      {"recordedTime", d.recordedTime},
      {"videoMask", recording.videoMask()},
      {"entryCount", recording.entryCount()},
      {"blockCount", recording.blockCount()},
      {"firstTime", recording.firstTime()},
      {"lastTime", recording.lastTime()},
      {"wrapped", recording.isWrapped()},
      {"fileLength", recording.fileLength()},
      {"recordingStart", recording.recordingStart()},
      {"trailingSize", recording.trailingSize()},
      {"channels", channels},
  };
  // The system name is 8-bit text of the recorder's code page; bytes that are not UTF-8 become U+FFFD.
  out << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

// One recording as text or as one JSON object; an error message when it cannot be opened. salvaged is
// set when salvage opened a damaged recording.
std::optional<std::string> describe(std::ostream& out, const std::string& path, bool json, bool salvage,
                                    bool* salvaged = nullptr) {
  RecordingFile recording;
  if (Status opened = salvage ? recording.openSalvage(path) : recording.open(path); !opened) {
    return rejectionText(opened.error(), salvage);
  }
  const std::optional<AllChannelStats> stats = collectChannelStats(recording);
  if (!stats) return "the file became shorter while it was read (is it still being copied?)";
  if (salvaged != nullptr) *salvaged = recording.salvageReport() != nullptr;
  if (json) {
    std::ostringstream text;
    printJson(text, recording, *stats);
    if (!salvage) {
      out << text.str();
    } else {
      nlohmann::json document = nlohmann::json::parse(text.str(), nullptr, false);
      document["salvage"] = salvageJson(recording);
      out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
  } else {
    printPlain(out, recording, *stats);
    if (salvage) printSalvage(out, recording);
  }
  return std::nullopt;
}

// Several inputs (more than one argument, or a folder): text with a header line before each, or one
// JSON array whose items follow the inputs, an {"file", "error"} object for one that cannot be read.
// A single file argument keeps the single object of old.
int runInfo(const InfoOptions& options) {
  const ExpandedInputs expanded = expandInputs(options.paths);
  int status = kExitOk;
  for (const std::string& problem : expanded.problems) {
    std::cerr << consoleText(problem) << "\n";
    status = worseExitStatus(status, kExitBadInput);
  }
  const auto describeOne = [&](std::ostream& out, const std::string& path, bool json) {
    bool salvaged = false;
    auto error = describe(out, path, json, options.salvage, &salvaged);
    if (salvaged) status = worseExitStatus(status, kExitSalvaged);
    return error;
  };
  const auto failed = [&](const std::string& path, const std::string& message) {
    std::cerr << "qmv2avi-cli: " << consoleText(path) << ": " << consoleText(message) << "\n";
    status = worseExitStatus(status, kExitBadInput);
  };
  const bool several = options.paths.size() > 1 || expanded.fromFolder;
  if (!several) {
    for (const std::string& path : expanded.inputs) {
      if (const auto error = describeOne(std::cout, path, options.json)) failed(path, *error);
    }
  } else if (options.json) {
    nlohmann::json documents = nlohmann::json::array();
    for (const std::string& path : expanded.inputs) {
      // printJson stays the one place that lays out a recording; its object is read back into the array.
      std::ostringstream text;
      if (const auto error = describeOne(text, path, true)) {
        failed(path, *error);
        documents.push_back({{"file", path}, {"error", *error}});
      } else {
        documents.push_back(nlohmann::json::parse(text.str(), nullptr, false));
      }
    }
    std::cout << documents.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    for (std::size_t i = 0; i < expanded.inputs.size(); ++i) {
      const std::string& path = expanded.inputs[i];
      std::cout << (i > 0 ? "\n" : "") << "==> " << consoleText(path) << " <==\n";
      if (const auto error = describeOne(std::cout, path, false)) failed(path, *error);
    }
  }
  if (std::cout.flush()) return status;
  // A reader that quit (`| head`) only ended the printing; any other failed write is an output error.
  return stdoutReaderGone() ? status : worseExitStatus(status, kExitOutputError);
}

}  // namespace

void addInfoCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* info = app.add_subcommand("info", "Show what a recording holds: description, channels, frames");
  info->add_option("file", options->paths,
                   "Recordings (.qmv), player executables (.exe) with a recording, or folders holding them")
      ->required();
  info->add_flag("--json", options->json, "Print JSON: one object, or an array for several inputs");
  info->add_flag(
      "--salvage", options->salvage,
      "Open cut-short or damaged recordings with every intact record, and show what would be recovered");
  info->callback([options, &exitCode] { exitCode = runInfo(*options); });
}

}  // namespace qmv::cli
