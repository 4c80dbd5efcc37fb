// Estimated times for records found by their heads alone.
#include "recording/salvage_times.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace qmv {
namespace {

using format::kChannelCount;

bool indexed(Found found) { return found == Found::kChain || found == Found::kScannedBlock; }

// A record's own entry, not an index block's or a gap's.
bool isRecord(const FrameIndexEntry& e) { return e.kind != format::kKindBlock && e.kind != format::kKindGap; }

uint16_t wholeSecond(double t) { return uint16_t(std::clamp(std::floor(t), 0.0, double(UINT16_MAX - 1))); }

// Frames a second per channel: the declared rate, else what the channel's indexed frames deliver over the
// seconds they span, else one.
std::array<double, kChannelCount> channelRates(const std::vector<FrameIndexEntry>& entries, uint32_t count,
                                               const std::vector<Found>& found,
                                               const std::array<uint8_t, kChannelCount>& rateBytes) {
  std::array<uint64_t, kChannelCount> frames{};
  std::array<uint16_t, kChannelCount> first{}, last{};
  for (uint32_t k = 0; k < count; ++k) {
    const FrameIndexEntry& e = entries[k];
    if (!indexed(found[k]) || e.kind >= kChannelCount) continue;
    if (frames[e.kind]++ == 0) first[e.kind] = last[e.kind] = e.time;
    first[e.kind] = std::min(first[e.kind], e.time);
    last[e.kind] = std::max(last[e.kind], e.time);
  }
  std::array<double, kChannelCount> rates{};
  for (int c = 0; c < kChannelCount; ++c) {
    if (rateBytes[std::size_t(c)] > 0) {
      rates[std::size_t(c)] = rateBytes[std::size_t(c)] / 4.0;
    } else if (frames[std::size_t(c)] > 1) {
      rates[std::size_t(c)] =
          double(frames[std::size_t(c)]) / (last[std::size_t(c)] - first[std::size_t(c)] + 1);
    } else {
      rates[std::size_t(c)] = 1.0;
    }
  }
  return rates;
}

}  // namespace

uint64_t estimateWalkedTimes(std::vector<FrameIndexEntry>& entries, uint32_t count,
                             const std::vector<Found>& found,
                             const std::array<uint8_t, format::kChannelCount>& rateBytes) {
  count = uint32_t(std::min<std::size_t>({count, entries.size(), found.size()}));
  const std::array<double, kChannelCount> rates = channelRates(entries, count, found, rateBytes);
  uint64_t estimated = 0;
  std::optional<uint16_t> lastIndexed;  // the time of the last indexed record so far
  // Each channel's last indexed second, and how many of its frames that second holds: where in the second
  // the channel's next frame falls.
  std::array<std::optional<uint16_t>, kChannelCount> channelSecond;
  std::array<uint32_t, kChannelCount> framesInSecond{};
  uint32_t k = 0;
  while (k < count) {
    const FrameIndexEntry& at = entries[k];
    if (found[k] != Found::kWalked) {
      if (indexed(found[k]) && isRecord(at)) {
        lastIndexed = at.time;
        if (at.kind < kChannelCount) {
          if (channelSecond[at.kind] != at.time) framesInSecond[at.kind] = 0;
          channelSecond[at.kind] = at.time;
          ++framesInSecond[at.kind];
        }
      }
      ++k;
      continue;
    }
    const uint32_t runStart = k;
    uint32_t runEnd = k;
    while (runEnd < count && (found[runEnd] == Found::kWalked || found[runEnd] == Found::kGap)) ++runEnd;
    std::optional<uint16_t> nextIndexed;
    for (uint32_t j = runEnd; j < count && found[j] != Found::kWalked; ++j) {
      if (indexed(found[j]) && isRecord(entries[j])) {
        nextIndexed = entries[j].time;
        break;
      }
    }

    // A channel's frames follow on from its last indexed frame at its rate; a channel with none before the
    // run starts at the run's start.
    std::array<uint64_t, kChannelCount> frames{};
    for (uint32_t i = runStart; i < runEnd; ++i)
      if (found[i] == Found::kWalked && entries[i].kind < kChannelCount) ++frames[entries[i].kind];
    double duration = 0;
    for (int c = 0; c < kChannelCount; ++c)
      duration = std::max(duration, double(frames[std::size_t(c)]) / rates[std::size_t(c)]);
    double start = 0;
    if (lastIndexed) {
      start = *lastIndexed;
    } else if (nextIndexed) {
      start = std::max(0.0, *nextIndexed - duration);
    }
    std::array<double, kChannelCount> first{};
    double end = start;
    for (int c = 0; c < kChannelCount; ++c) {
      const std::size_t i = std::size_t(c);
      first[i] = channelSecond[i] ? *channelSecond[i] + framesInSecond[i] / rates[i] : start;
      if (frames[i] > 0) end = std::max(end, first[i] + double(frames[i] - 1) / rates[i]);
    }
    // Never past the next indexed record's second: the run is squeezed into the time before it.
    double scale = 1.0;
    if (nextIndexed && end > start && end >= *nextIndexed + 1.0)
      scale = std::max(0.0, *nextIndexed + 1.0 - 1e-6 - start) / (end - start);

    std::array<uint64_t, kChannelCount> placed{};
    double latest = start;
    for (uint32_t i = runStart; i < runEnd; ++i) {
      FrameIndexEntry& e = entries[i];
      if (found[i] == Found::kWalked && e.kind < kChannelCount) {
        const double own = first[e.kind] + double(placed[e.kind]++) / rates[e.kind];
        const double t = start + std::max(0.0, own - start) * scale;
        latest = std::max(latest, t);
        e.time = wholeSecond(t);
      } else {
        e.time = wholeSecond(latest);  // sound and auxiliary records, and gaps, with the frames before them
      }
      if (nextIndexed) e.time = std::min(e.time, *nextIndexed);
      if (found[i] == Found::kWalked) ++estimated;
    }
    // A later run counts on from the indexed records between it and this one.
    for (int c = 0; c < kChannelCount; ++c) channelSecond[std::size_t(c)].reset();
    k = runEnd;
  }
  return estimated;
}

}  // namespace qmv
