// What salvage recovered, as counted from the recovered records and as JSON for info and the integrity
// report.
#include "report/salvage_json.h"

#include "recording/salvage.h"

namespace qmv {
namespace {

nlohmann::json rangesJson(const std::vector<ByteRange>& ranges, uint64_t base) {
  nlohmann::json list = nlohmann::json::array();
  for (const ByteRange& r : ranges)
    list.push_back({{"offset", r.offset}, {"fileOffset", base + r.offset}, {"length", r.length}});
  return list;
}

}  // namespace

std::array<SalvageChannelCounts, format::kChannelCount> countSalvagedChannels(
    const RecordingFile& recording) {
  std::array<SalvageChannelCounts, format::kChannelCount> counts{};
  const auto& entries = recording.entries();
  for (uint32_t k = 0; k + 1 < recording.entryCount(); ++k) {
    const FrameIndexEntry& e = entries[k];
    if (e.kind >= format::kChannelCount) continue;
    SalvageChannelCounts& c = counts[e.kind];
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

nlohmann::json salvageJson(const RecordingFile& recording) {
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
  const auto counts = countSalvagedChannels(recording);
  for (int c = 0; c < format::kChannelCount; ++c) {
    const SalvageChannelCounts& n = counts[std::size_t(c)];
    if (n.records == 0) continue;
    channels.push_back(
        {{"channel", c + 1}, {"records", n.records}, {"frames", n.frames}, {"keyFrames", n.keyFrames}});
  }
  j["channels"] = channels;
  return j;
}

void forEachRecoveredRecord(const RecordingFile& recording,
                            const std::function<void(const nlohmann::json&)>& put) {
  const SalvageReport* report = recording.salvageReport();
  if (report == nullptr) return;
  const auto& entries = recording.entries();
  for (uint32_t k = 0; k + 1 < recording.entryCount() && k < report->found.size(); ++k) {
    const FrameIndexEntry& e = entries[k];
    if (e.kind == format::kKindBlock || e.kind == format::kKindGap) continue;
    const bool audio =
        e.kind >= format::kKindAudioBase && e.kind < format::kKindAudioBase + format::kChannelCount;
    put({{"fileOffset", uint64_t(recording.recordingStart()) + e.offset},
         {"kind", e.kind < format::kChannelCount ? "video"
                  : audio                        ? "audio"
                                                 : "auxiliary"},
         {"channel", e.kind < format::kChannelCount ? nlohmann::json(e.kind + 1) : nlohmann::json(nullptr)},
         {"foundBy", foundText(report->found[k])}});
  }
}

}  // namespace qmv
