// JoinedRecordings: the checks that make several recordings one timeline, and their order on it.
#include "convert/joined_recordings.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "convert/recorded_time.h"

namespace qmv {
namespace {

// Seconds from 1970 to the start of the header's hour.
int64_t hourStart(const SystemInfo& info) {
  const RecordedTime t = recordedTime(info, 0);
  using namespace std::chrono;
  const sys_days day = year(t.year) / month(unsigned(t.month)) / std::chrono::day(unsigned(t.day));
  return int64_t(day.time_since_epoch().count()) * 86400 + int64_t(t.hour) * 3600;
}

std::string nameOf(const JoinedPart& part) { return std::filesystem::path(part.path).filename().string(); }

std::string recorderText(const RecordingFile& recording) {
  return fmt::format("MAC {}, system name \"{}\"", recording.description().macAddress,
                     recording.info().systemName);
}

// The records of entries [from, to) of a recording as one list of (kind, bytes).
std::vector<std::pair<uint8_t, std::vector<uint8_t>>> recordsOf(const RecordingFile& recording, uint32_t from,
                                                                uint32_t to) {
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> records;
  for (uint32_t k = from; k < to; ++k) {
    const FrameIndexEntry& entry = recording.entries()[k];
    if (entry.kind == format::kKindBlock || entry.kind == format::kKindGap) continue;
    const RecordExtent extent = recording.recordExtent(k);
    std::vector<uint8_t> bytes(extent.usable() ? std::size_t(extent.size) : 0);
    if (!recording.source().readExact(recording.recordingStart() + uint64_t(extent.offset), bytes.data(),
                                      bytes.size()))
      bytes.assign(1, 0xFF);  // unreadable: never equal to a record that was read
    records.emplace_back(entry.kind, std::move(bytes));
  }
  return records;
}

// The first entry (of the records before the last block's own) recorded at or after `second`, local time.
uint32_t firstEntryFrom(const RecordingFile& recording, int64_t second) {
  const uint32_t visited = recording.entryCount() >= 1 ? recording.entryCount() - 1 : 0;
  uint32_t k = 0;
  while (k < visited &&
         (recording.entries()[k].kind == format::kKindBlock ||
          recording.entries()[k].kind == format::kKindGap || int64_t(recording.entries()[k].time) < second))
    ++k;
  return k;
}

}  // namespace

Result<std::vector<JoinedPart>> joinRecordings(std::vector<JoinedPart> parts) {
  if (parts.empty()) return Error{EINVAL, "no recording to join"};
  for (const JoinedPart& part : parts) {
    const RecordingFile& first = *parts.front().recording;
    const RecordingFile& r = *part.recording;
    if (r.entryCount() < 2) return Error{EINVAL, nameOf(part) + " holds no record to join"};
    if (r.info().macAddress != first.info().macAddress || r.info().systemName != first.info().systemName)
      return Error{EINVAL,
                   fmt::format("{} comes from another recorder ({}) than {} ({}): only recordings of "
                               "one recorder are joined",
                               nameOf(part), recorderText(r), nameOf(parts.front()), recorderText(first))};
    // One output per channel takes one stream layout and one audio coding from start to end.
    if (r.info().audioSource != first.info().audioSource ||
        r.info().audioFormat != first.info().audioFormat || r.info().modelCode != first.info().modelCode ||
        r.info().channelRate != first.info().channelRate)
      return Error{EINVAL, fmt::format("{} was recorded with other channel settings (rates, audio inputs or "
                                       "audio coding) than {}: its channels do not continue those files",
                                       nameOf(part), nameOf(parts.front()))};
  }
  const auto startOf = [](const JoinedPart& p) {
    return hourStart(p.recording->info()) + p.recording->firstTime();
  };
  std::stable_sort(parts.begin(), parts.end(),
                   [&startOf](const JoinedPart& a, const JoinedPart& b) { return startOf(a) < startOf(b); });
  const int64_t zero = hourStart(parts.front().recording->info());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    JoinedPart& part = parts[i];
    const RecordingFile& r = *part.recording;
    part.offset = hourStart(r.info()) - zero;
    part.firstEntry = 0;
    if (part.offset + r.lastTime() > kMaxJoinedSeconds)
      return Error{EINVAL,
                   fmt::format("{} ends more than {} hours after the first recording's hour began: too "
                               "long for one timeline",
                               nameOf(part), kMaxJoinedSeconds / 3600)};
    if (i == 0) continue;
    const JoinedPart& before = parts[i - 1];
    const RecordingFile& b = *before.recording;
    const int64_t step = part.offset - before.offset;
    if (step != 0 && step != 3600)
      return Error{
          EINVAL, fmt::format("{} ({}) neither shares nor follows the hour of {} ({}): joined recordings are "
                              "consecutive or overlapping hours",
                              nameOf(part), recordedTimeText(r.info(), r.firstTime()), nameOf(before),
                              recordedTimeText(b.info(), b.firstTime()))};
    // Overlapping seconds must hold the same records in both; the later part then starts after them.
    const int64_t beforeLast = before.offset + b.lastTime();
    if (part.offset + r.firstTime() > beforeLast) continue;
    const uint32_t overlapBefore = firstEntryFrom(b, part.offset + r.firstTime() - before.offset);
    const uint32_t afterOverlap = firstEntryFrom(r, beforeLast + 1 - part.offset);
    if (recordsOf(b, overlapBefore, b.entryCount() - 1) != recordsOf(r, 0, afterOverlap))
      return Error{EINVAL,
                   fmt::format("{} overlaps {} from {} to {} with other records: they are not parts of "
                               "one recording",
                               nameOf(part), nameOf(before), recordedTimeText(r.info(), r.firstTime()),
                               recordedTimeText(b.info(), b.lastTime()))};
    part.firstEntry = afterOverlap;
  }
  return parts;
}

}  // namespace qmv
