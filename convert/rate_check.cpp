// Timing check: each channel's declared frame rate (header rate byte) against the rate its index delivers.
#include "convert/rate_check.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "convert/recorded_time.h"

namespace qmv {

namespace {

// Pause notes listed per channel before the rest are counted.
constexpr std::size_t kPauseNotesShown = 5;

// Each channel's pauses, from its entries in recorded order: a clock that steps back starts a pause's
// count afresh, never a negative one.
// A channel that always sends seldom does not pause: a gap counts only when it is also three times the
// channel's usual step from one frame's second to the next (the median).
std::array<std::vector<ChannelPause>, format::kChannelCount> findPauses(const RecordingFile& recording) {
  std::array<std::vector<ChannelPause>, format::kChannelCount> candidates;
  std::array<std::vector<uint16_t>, format::kChannelCount> steps;
  std::array<int32_t, format::kChannelCount> last;
  last.fill(-1);
  const SystemInfo& info = recording.info();
  const auto& entries = recording.entries();
  for (uint32_t k = 0; k < recording.entryCount(); ++k) {
    const FrameIndexEntry& e = entries[k];
    if (e.kind >= format::kChannelCount) continue;
    int32_t& previous = last[e.kind];
    if (previous >= 0 && int32_t(e.time) >= previous) {
      steps[e.kind].push_back(uint16_t(e.time - previous));
      const ChannelPause pause{uint16_t(previous + 1), e.time};
      if (int32_t(e.time) > previous + 1 && pause.seconds() >= minPauseSeconds(info.channelRate[e.kind]))
        candidates[e.kind].push_back(pause);
    }
    previous = e.time;
  }
  std::array<std::vector<ChannelPause>, format::kChannelCount> pauses;
  for (int c = 0; c < format::kChannelCount; ++c) {
    std::vector<uint16_t>& s = steps[std::size_t(c)];
    if (candidates[std::size_t(c)].empty()) continue;
    std::nth_element(s.begin(), s.begin() + std::ptrdiff_t(s.size() / 2), s.end());
    const uint32_t usual = std::max<uint32_t>(s[s.size() / 2], 1);
    for (const ChannelPause& p : candidates[std::size_t(c)])
      if (uint32_t(p.seconds()) + 1 > 3 * usual) pauses[std::size_t(c)].push_back(p);
  }
  return pauses;
}

std::string clockText(const SystemInfo& info, uint16_t time) {
  const RecordedTime t = recordedTime(info, time);
  return fmt::format("{:02d}:{:02d}:{:02d}", t.hour, t.minute, t.second);
}

}  // namespace

uint32_t minPauseSeconds(uint8_t rateByte) {
  constexpr uint32_t kShortest = 5;
  // Three frame intervals of 4 / rateByte seconds, rounded up.
  const uint32_t intervals = rateByte == 0 ? 0 : (12u + rateByte - 1) / rateByte;
  return std::max(kShortest, intervals);
}

std::vector<ChannelTiming> checkChannelRates(const RecordingFile& recording) {
  std::vector<ChannelTiming> result;
  const SystemInfo& info = recording.info();
  auto pauses = findPauses(recording);
  for (int c = 0; c < format::kChannelCount; ++c) {
    const ChannelSummary& summary = recording.channelSummaries()[std::size_t(c)];
    if (summary.frames == 0) continue;
    ChannelTiming t;
    t.channel = c;
    t.rateByte = info.channelRate[std::size_t(c)];
    t.frames = summary.frames;
    t.firstTime = summary.firstTime;
    t.lastTime = summary.lastTime;
    t.spanSeconds = summary.spanSeconds();
    t.declaredRate = t.rateByte / 4.0;
    t.pauses = std::move(pauses[std::size_t(c)]);
    uint32_t paused = 0;
    for (const ChannelPause& p : t.pauses) paused += p.seconds();
    t.activeSeconds = t.spanSeconds > paused ? t.spanSeconds - paused : 1;
    t.deliveredRate = double(t.frames) / t.activeSeconds;
    // Relative to the declared rate, as |delivered - declared| / declared.
    if (t.rateByte != 0) {
      const bool declaredTooLow = t.deliveredRate > t.declaredRate * (1.0 + kRateTolerance);
      bool declaredTooHigh = false;
      if (t.activeSeconds > 2) {
        const double highest = double(t.frames) / (t.activeSeconds - 2);
        declaredTooHigh = highest < t.declaredRate * (1.0 - kRateTolerance);
      }
      t.warning = declaredTooLow || declaredTooHigh;
    }
    result.push_back(t);
  }
  return result;
}

std::string rateWarningText(const ChannelTiming& t) {
  if (t.pauses.empty())
    return fmt::format(
        "CH-{:02d}: declared {:.1f} fps, delivered {:.1f} fps ({} frames in {} s of recorded time)",
        t.channel + 1, t.declaredRate, t.deliveredRate, t.frames, t.spanSeconds);
  return fmt::format(
      "CH-{:02d}: declared {:.1f} fps, delivered {:.1f} fps ({} frames in {} s of recorded time, pauses "
      "left out)",
      t.channel + 1, t.declaredRate, t.deliveredRate, t.frames, t.activeSeconds);
}

std::string pauseSpanText(const SystemInfo& info, const ChannelPause& pause) {
  return fmt::format("no pictures {}\u2013{}", clockText(info, pause.from), clockText(info, pause.to));
}

std::string pauseText(const SystemInfo& info, int channel, const ChannelPause& pause) {
  return fmt::format("CH-{:02d}: {}", channel + 1, pauseSpanText(info, pause));
}

std::vector<std::string> declaredPauseNotes(const SystemInfo& info, const ChannelTiming& timing) {
  std::vector<std::string> notes;
  for (std::size_t i = 0; i < timing.pauses.size() && i < kPauseNotesShown; ++i)
    notes.push_back(pauseText(info, timing.channel, timing.pauses[i]) +
                    ", joined up at the declared rate; --timing recorded keeps the pause");
  if (timing.pauses.size() > kPauseNotesShown)
    notes.push_back(fmt::format("CH-{:02d}: {} more pauses joined up the same way", timing.channel + 1,
                                timing.pauses.size() - kPauseNotesShown));
  return notes;
}

const char* rateWarningConsequence(bool recordedClock) {
  return recordedClock ? "; the files follow the recorded clock" : "; the files play at the declared rate";
}

}  // namespace qmv
