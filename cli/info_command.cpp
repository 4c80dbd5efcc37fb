// The `info` subcommand: prints a recording's description texts, where it lies in its file and per-channel statistics.
#include "cli/info_command.h"

#include <CLI/CLI.hpp>

#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "cli/exit_codes.h"
#include "decode/frame_geometry.h"
#include "recording/recording_file.h"

namespace qmv::cli {
namespace {

struct InfoOptions {
  std::string path;
  bool json = false;
};

struct ChannelStats {
  uint32_t frames = 0;
  uint32_t keyFrames = 0;
  // Video entries whose record head lies outside the recording, cannot be read or is not a video frame.
  uint32_t skippedRecords = 0;
  std::set<uint8_t> formatCodes;
};

using AllChannelStats = std::array<ChannelStats, format::kChannelCount>;

// Reads only the 12-byte head of each video record, in file order, so the pass stays
// proportional to the number of frames rather than to the size of the body.
AllChannelStats collectChannelStats(const RecordingFile& recording) {
  AllChannelStats stats;
  const auto& entries = recording.entries();
  // Mapped, a head costs a memory access instead of a system call; pages are touched in file order.
  const uint8_t* mapped = recording.source().view();
  const auto readHead = [&](uint64_t position, uint8_t* head) {
    if (mapped) {
      std::memcpy(head, mapped + position, format::kRecordHeadSize);
      return true;
    }
    return recording.source().readExact(position, head, format::kRecordHeadSize);
  };
  for (uint32_t j = 0; j + 1 < recording.entryCount(); ++j) {
    const FrameIndexEntry& entry = entries[j];
    if (entry.kind >= format::kChannelCount) continue;
    ChannelStats& channel = stats[entry.kind];
    const uint64_t extent = uint64_t(entries[j + 1].offset) - entry.offset;
    uint8_t head[format::kRecordHeadSize];
    if (uint64_t(entry.offset) + format::kRecordHeadSize > recording.recordingLength() ||
        entries[j + 1].offset < entry.offset || extent < format::kRecordHeadSize ||
        !readHead(recording.recordingStart() + uint64_t(entry.offset), head) ||
        head[format::kRecFrameType] == format::kFrameTypeAudio) {
      ++channel.skippedRecords;
      continue;
    }
    ++channel.frames;
    if (format::isKeyFrameType(head[format::kRecFrameType])) ++channel.keyFrames;
    channel.formatCodes.insert(head[format::kRecFormatCode]);
  }
  return stats;
}

std::string channelName(int c) {
  char text[16];
  std::snprintf(text, sizeof text, "CH-%02d", c + 1);
  return text;
}

// The rate byte counts quarter frames per second: every value has an exact two-decimal form.
std::string frameRateText(uint8_t rateByte) {
  static const char* const kQuarters[] = {"", ".25", ".5", ".75"};
  return std::to_string(rateByte / 4) + kQuarters[rateByte % 4] + " fps";
}

std::string audioText(uint8_t source) {
  if (source == format::kNoAudioSource) return "none";
  if (source < format::kChannelCount) return "input " + std::to_string(source);
  char text[40];
  std::snprintf(text, sizeof text, "none (source byte 0x%02X)", source);
  return text;
}

void printPlain(std::ostream& out, const RecordingFile& recording, const AllChannelStats& stats) {
  const RecordingDescription& d = recording.description();
  out << "File: " << recording.path() << "\n"
      << "System Name: " << d.systemName << "\n"
      << "System Version: " << d.version << "\n"
      << "MAC Address: " << d.macAddress << "\n"
      << "Language and VGA: " << d.languageVideo << "\n"
      << "Recorded Time: " << d.recordedTime << "\n";
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
  }
}

void printJson(std::ostream& out, const RecordingFile& recording, const AllChannelStats& stats) {
  using nlohmann::json;
  const RecordingDescription& d = recording.description();
  const SystemInfo& info = recording.info();
  json channels = json::array();
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

int runInfo(const InfoOptions& options) {
  RecordingFile recording;
  if (Status opened = recording.open(options.path); !opened) {
    std::cerr << "qmv2avi-cli: " << options.path << ": " << opened.error().message << "\n";
    return kExitBadInput;
  }
  const AllChannelStats stats = collectChannelStats(recording);
  if (options.json) {
    printJson(std::cout, recording, stats);
  } else {
    printPlain(std::cout, recording, stats);
  }
  return std::cout.flush() ? kExitOk : kExitOutputError;
}

}  // namespace

void addInfoCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* info = app.add_subcommand("info", "Show what a recording holds: description, channels, frames");
  info->add_option("file", options->path, "Recording (.qmv) or player executable (.exe) with a recording")
      ->required();
  info->add_flag("--json", options->json, "Print one JSON object instead of text");
  info->callback([options, &exitCode] { exitCode = runInfo(*options); });
}

}  // namespace qmv::cli
