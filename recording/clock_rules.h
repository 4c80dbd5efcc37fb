// The recorded clock's rules: what index times and frame counts a recorder can write. Index times are the
// sender's to choose, and every output length on the recorded clock follows from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recording/recording_index.h"

namespace qmv {

// Times count seconds from the header's hour (0 .. 3599); a recording that began late in its hour may run
// on a little past its end. Later times are damage.
inline constexpr uint32_t kHourOverrunSeconds = 600;
inline constexpr uint32_t kLatestTime = 3599 + kHourOverrunSeconds;
// No camera records faster: a rate byte declares at most 63.75 fps. More frames of one channel in one
// recorded second are damage, and no output rate goes above it.
inline constexpr uint32_t kMaxFramesPerSecond = 64;

// Why entries 0 .. count - 1 cannot come from a recorder's clock: a time later than kLatestTime, or more
// than kMaxFramesPerSecond video frames of one channel in one second. nullopt when they keep the rules.
std::optional<std::string> clockDamage(const std::vector<FrameIndexEntry>& entries, uint32_t count);

// Salvage: entries timed later than kLatestTime take the time of the entry before them (the first ones, of
// the first entry in time). Returns how many were moved.
uint64_t retimeLateEntries(std::vector<FrameIndexEntry>& entries, uint32_t count);

}  // namespace qmv
