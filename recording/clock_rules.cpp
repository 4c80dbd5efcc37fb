// The recorded clock's rules, checked when a recording is opened and applied when one is salvaged.
#include "recording/clock_rules.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "recording/recording_format.h"

namespace qmv {

namespace {

bool isBlock(const FrameIndexEntry& entry) { return entry.kind == format::kKindBlock; }

}  // namespace

std::optional<std::string> clockDamage(const std::vector<FrameIndexEntry>& entries, uint32_t count) {
  const uint32_t n = std::min<uint32_t>(count, uint32_t(entries.size()));
  for (uint32_t k = 0; k < n; ++k) {
    const FrameIndexEntry& entry = entries[k];
    if (entry.time > kLatestTime)
      return fmt::format(
          "entry {} at 0x{:08X} is timed {} s after the header's hour began; a recording lies within its "
          "hour and at most {} s past it",
          k, entry.offset, entry.time, kHourOverrunSeconds);
  }
  // Frames per channel and second; every time is at most kLatestTime by now.
  std::vector<std::array<uint16_t, format::kChannelCount>> frames(std::size_t(kLatestTime) + 1);
  for (uint32_t k = 0; k < n; ++k) {
    const FrameIndexEntry& entry = entries[k];
    if (isBlock(entry) || entry.kind >= format::kChannelCount) continue;
    uint16_t& seen = frames[entry.time][entry.kind];
    if (++seen > kMaxFramesPerSecond)
      return fmt::format(
          "CH-{:02d} has more than {} frames in the second {:02d}:{:02d} (entry {} at 0x{:08X}); no camera "
          "records at that rate",
          entry.kind + 1, kMaxFramesPerSecond, entry.time / 60, entry.time % 60, k, entry.offset);
  }
  return std::nullopt;
}

uint64_t retimeLateEntries(std::vector<FrameIndexEntry>& entries, uint32_t count) {
  const uint32_t n = std::min<uint32_t>(count, uint32_t(entries.size()));
  uint16_t previous = 0;
  const auto firstSound = std::find_if(entries.begin(), entries.begin() + n,
                                       [](const FrameIndexEntry& e) { return e.time <= kLatestTime; });
  if (firstSound != entries.begin() + n) previous = firstSound->time;
  uint64_t moved = 0;
  for (uint32_t k = 0; k < n; ++k) {
    FrameIndexEntry& entry = entries[k];
    if (entry.time > kLatestTime) {
      entry.time = previous;
      ++moved;
    }
    previous = entry.time;
  }
  return moved;
}

}  // namespace qmv
