// What the CLI says about damaged recordings: the rejection line, the salvage summary and info's salvage
// section.
#include "cli/salvage_text.h"

#include <array>
#include <cstdio>

#include "cli/text_format.h"
#include "recording/salvage.h"

namespace qmv::cli {
namespace {

// Text output lists this many ranges of each sort; the JSON lists all.
constexpr std::size_t kRangesShown = 20;

std::string rangeText(const ByteRange& range) {
  char text[80];
  std::snprintf(text, sizeof text, "0x%llX..0x%llX (%s)", static_cast<unsigned long long>(range.offset),
                static_cast<unsigned long long>(range.offset + range.length),
                humanBytes(range.length).c_str());
  return text;
}

void printRanges(std::ostream& out, const char* title, const std::vector<ByteRange>& ranges) {
  out << title << ": " << ranges.size() << (ranges.size() == 1 ? " range" : " ranges");
  for (std::size_t i = 0; i < ranges.size() && i < kRangesShown; ++i)
    out << (i ? ", " : ": ") << rangeText(ranges[i]);
  if (ranges.size() > kRangesShown) out << ", and " << ranges.size() - kRangesShown << " more";
  out << "\n";
}

std::string minutesText(uint16_t time) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", time / 60, time % 60);
  return text;
}

struct ChannelCounts {
  uint64_t records = 0, frames = 0, keyFrames = 0;
};

// Frames and key frames from the record heads, as the worker will read them.
std::array<ChannelCounts, format::kChannelCount> countChannels(const RecordingFile& recording) {
  std::array<ChannelCounts, format::kChannelCount> counts{};
  const auto& entries = recording.entries();
  for (uint32_t k = 0; k + 1 < recording.entryCount(); ++k) {
    const FrameIndexEntry& e = entries[k];
    if (e.kind >= format::kChannelCount) continue;
    ChannelCounts& c = counts[e.kind];
    ++c.records;
    uint8_t head[format::kRecordHeadSize];
    // Through the map when there is one: a head costs a memory access instead of a system call.
    const uint64_t at = recording.recordingStart() + uint64_t(e.offset);
    if (!recording.source().copyFromView(at, head, sizeof head) &&
        !recording.source().readExact(at, head, sizeof head)) {
      continue;
    }
    if (head[format::kRecFrameType] == format::kFrameTypeAudio) continue;
    ++c.frames;
    if (format::isKeyFrameType(head[format::kRecFrameType])) ++c.keyFrames;
  }
  return counts;
}

nlohmann::json rangesJson(const std::vector<ByteRange>& ranges, uint64_t base) {
  nlohmann::json list = nlohmann::json::array();
  for (const ByteRange& r : ranges)
    list.push_back({{"offset", r.offset}, {"fileOffset", base + r.offset}, {"length", r.length}});
  return list;
}

std::string damageText(const std::string& detail) { return "the file looks cut short or damaged: " + detail; }

}  // namespace

std::string rejectionText(const Error& error, bool salvageTried) {
  if (!looksDamaged(error)) return error.message;
  return damageText(error.message) + (salvageTried ? "" : " (try --salvage)");
}

std::string groupedNumber(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(std::size_t(at), ",");
  return digits;
}

std::string salvageSummary(const RecordingFile& recording) {
  const SalvageReport* report = recording.salvageReport();
  if (report == nullptr) return "the recording is whole; nothing needed salvage";
  const std::size_t ranges = report->unreadable.size();
  return "salvaged " + groupedNumber(report->records) + " of about " + groupedNumber(report->aboutRecords) +
         " records; " + groupedNumber(ranges) +
         (ranges == 1 ? " unreadable range, " : " unreadable ranges, ") + humanBytes(report->unreadableBytes);
}

void printSalvage(std::ostream& out, const RecordingFile& recording) {
  const SalvageReport* report = recording.salvageReport();
  if (report == nullptr) {
    out << "Salvage: the recording is whole\n";
    return;
  }
  out << "Salvage: " << damageText(report->damage) << "\n"
      << "Salvage: " << salvageSummary(recording) << "\n"
      << "Found: " << report->chainBlocks << " index blocks through the trailer's chain, "
      << report->scannedBlocks << " more by scanning, " << groupedNumber(report->recordsTimedFromBlock)
      << " records by their heads alone (timed by the nearest intact index block before them)\n";
  if (!report->headerKnown)
    out << "Header: damaged; system name, version, address, date, rates and audio are unknown\n";
  printRanges(out, "Recovered bytes", report->recovered);
  printRanges(out, "Unreadable bytes", report->unreadable);
  out << "Recovered time span: " << minutesText(recording.firstTime()) << " ~ "
      << minutesText(recording.lastTime()) << " (minutes and seconds in the recorded hour)\n";
  const auto counts = countChannels(recording);
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (counts[std::size_t(c)].records == 0) continue;
    char line[128];
    std::snprintf(line, sizeof line, "Recovered CH-%02d: %s records, %s frames, %s key frames\n", c + 1,
                  groupedNumber(counts[std::size_t(c)].records).c_str(),
                  groupedNumber(counts[std::size_t(c)].frames).c_str(),
                  groupedNumber(counts[std::size_t(c)].keyFrames).c_str());
    out << line;
  }
}

nlohmann::json salvageJson(const RecordingFile& recording, bool withRecords) {
  const SalvageReport* report = recording.salvageReport();
  if (report == nullptr) return nullptr;
  nlohmann::json j;
  j["damage"] = report->damage;
  j["headerKnown"] = report->headerKnown;
  j["records"] = report->records;
  j["aboutRecords"] = report->aboutRecords;
  j["chainBlocks"] = report->chainBlocks;
  j["scannedBlocks"] = report->scannedBlocks;
  j["recordsFoundByHead"] = report->recordsTimedFromBlock;
  j["unreadableBytes"] = report->unreadableBytes;
  j["recovered"] = rangesJson(report->recovered, recording.recordingStart());
  j["unreadable"] = rangesJson(report->unreadable, recording.recordingStart());
  j["timeSpan"] = {{"first", recording.firstTime()}, {"last", recording.lastTime()}};
  nlohmann::json channels = nlohmann::json::array();
  const auto counts = countChannels(recording);
  for (int c = 0; c < format::kChannelCount; ++c) {
    const ChannelCounts& n = counts[std::size_t(c)];
    if (n.records == 0) continue;
    channels.push_back(
        {{"channel", c + 1}, {"records", n.records}, {"frames", n.frames}, {"keyFrames", n.keyFrames}});
  }
  j["channels"] = channels;
  if (withRecords) {
    // Every recovered record: where it is in the file and how it was found.
    nlohmann::json records = nlohmann::json::array();
    const auto& entries = recording.entries();
    for (uint32_t k = 0; k + 1 < recording.entryCount() && k < report->found.size(); ++k) {
      const FrameIndexEntry& e = entries[k];
      if (e.kind == format::kKindBlock || e.kind == format::kKindGap) continue;
      const bool audio =
          e.kind >= format::kKindAudioBase && e.kind < format::kKindAudioBase + format::kChannelCount;
      records.push_back(
          {{"fileOffset", uint64_t(recording.recordingStart()) + e.offset},
           {"kind", e.kind < format::kChannelCount ? "video"
                    : audio                        ? "audio"
                                                   : "auxiliary"},
           {"channel", e.kind < format::kChannelCount ? nlohmann::json(e.kind + 1) : nlohmann::json(nullptr)},
           {"foundBy", foundText(report->found[k])}});
    }
    j["recordsRecovered"] = records;
  }
  return j;
}

}  // namespace qmv::cli
