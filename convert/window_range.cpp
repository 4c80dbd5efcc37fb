// WindowRange: a time window as a run of index entries, found with the index and the heads of a few frames.
#include "convert/window_range.h"

#include <algorithm>
#include <optional>

#include "recording/recording_format.h"

namespace qmv {
namespace {

bool isMediaRecord(const FrameIndexEntry& entry) {
  return entry.kind != format::kKindBlock && entry.kind != format::kKindGap;
}

bool isKeyFrame(const RecordingFile& recording, uint32_t k) {
  const RecordExtent extent = recording.recordExtent(k);
  uint8_t head[format::kRecFrameType + 1] = {};
  if (!extent.usable() || extent.size < sizeof head) return false;
  return recording.source().readExact(recording.recordingStart() + uint64_t(extent.offset), head,
                                      sizeof head) &&
         format::isKeyFrameType(head[format::kRecFrameType]);
}

uint64_t readEndOf(const RecordingFile& recording, uint32_t end) {
  const auto& entries = recording.entries();
  if (end < entries.size()) return std::min<uint64_t>(entries[end].offset, recording.recordingLength());
  return recording.recordingLength();
}

}  // namespace

WindowRange wholeRecording(const RecordingFile& recording) {
  const uint64_t usable = std::min<uint64_t>(recording.entryCount(), recording.entries().size());
  WindowRange range;
  range.end = usable >= 1 ? uint32_t(usable - 1) : 0;
  range.readEnd = recording.recordingLength();
  return range;
}

WindowRange windowRange(const RecordingFile& recording, const RecordedWindow& window, uint32_t channels) {
  WindowRange range = wholeRecording(recording);
  const auto& entries = recording.entries();
  const uint32_t visited = range.end;
  uint32_t first = 0;  // the first entry recorded at or after the window's start
  if (window.from) {
    while (first < visited && (!isMediaRecord(entries[first]) || entries[first].time < *window.from)) ++first;
  }
  if (window.to) {
    range.end = first;
    while (range.end < visited &&
           (!isMediaRecord(entries[range.end]) || entries[range.end].time <= *window.to))
      ++range.end;
  }
  range.begin = range.end;
  for (int c = 0; c < format::kChannelCount; ++c) {
    uint32_t& start = range.channelStart[std::size_t(c)];
    start = range.end;
    if (!((channels >> c) & 1u)) continue;
    std::optional<uint32_t> inside;  // the channel's first frame in the window
    for (uint32_t k = first; k < range.end && !inside; ++k)
      if (entries[k].kind == c) inside = k;
    if (!inside) continue;
    for (uint32_t k = *inside + 1; k-- > 0;) {
      if (entries[k].kind == c && isKeyFrame(recording, k)) {
        start = k;
        break;
      }
    }
    for (uint32_t k = *inside + 1; start == range.end && k < range.end; ++k)
      if (entries[k].kind == c && isKeyFrame(recording, k)) start = k;
    range.begin = std::min(range.begin, start);
  }
  range.readEnd = readEndOf(recording, range.end);
  return range;
}

}  // namespace qmv
