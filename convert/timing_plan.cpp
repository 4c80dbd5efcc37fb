// TimingPlan: the recorded clock's output timeline, worked out from the frame index before the pass.
#include "convert/timing_plan.h"

#include <algorithm>
#include <numeric>

#include "recording/clock_rules.h"
#include "recording/recording_format.h"

namespace qmv {

namespace {

constexpr std::size_t kSeconds = 65536;  // index times are 16-bit seconds after the header's hour

// Pictures and sound end a pause; auxiliary records do not, or a sender could keep any pause from being
// closed by sprinkling them over it.
bool isRecord(const FrameIndexEntry& entry) {
  return entry.kind < format::kChannelCount || (entry.kind >= format::kKindAudioBase &&
                                                entry.kind < format::kKindAudioBase + format::kChannelCount);
}

FrameRate reduced(uint64_t num, uint64_t den) {
  const uint64_t g = std::gcd(num, den);
  num /= g, den /= g;
  while (num > UINT32_MAX || den > UINT32_MAX) num >>= 1, den >>= 1;
  return FrameRate{uint32_t(num), uint32_t(std::max<uint64_t>(den, 1))};
}

}  // namespace

FrameRate channelRate(const RecordingFile& recording, int channel) {
  FrameRate rate = rateFromByte(recording.info().channelRate[std::size_t(channel)]);
  if (rate.num != 0) return rate;
  const ChannelSummary& summary = recording.channelSummaries()[std::size_t(channel)];
  rate = summary.spanSeconds() >= 2 ? reduced(summary.frames, summary.spanSeconds()) : FrameRate{1, 1};
  // A salvaged index may hold more frames a second than any camera records; a file's rate never does.
  if (rate.num > uint64_t(kMaxFramesPerSecond) * rate.den) rate = FrameRate{kMaxFramesPerSecond, 1};
  return rate;
}

TimingPlan::TimingPlan(const RecordingFile& recording, uint32_t maxGapSeconds)
    : TimingPlan(recording, maxGapSeconds, wholeRecording(recording)) {}

TimingPlan::TimingPlan(const RecordingFile& recording, uint32_t maxGapSeconds, const WindowRange& range)
    : outputSecond_(kSeconds, 0) {
  std::vector<bool> present(kSeconds, false);
  bool any = false;
  const auto& entries = recording.entries();
  for (uint32_t k = range.begin; k < range.end && k < entries.size(); ++k) {
    const FrameIndexEntry& entry = entries[k];
    if (!isRecord(entry) || !range.writes(k, entry)) continue;
    present[entry.time] = true;
    any = true;
    if (entry.kind < format::kChannelCount) {
      const ChannelSummary& summary = recording.channelSummaries()[entry.kind];
      ChannelSeconds& channel = channels_[entry.kind];
      if (channel.count.empty()) {
        channel.first = summary.firstTime;
        channel.count.assign(std::size_t(summary.lastTime - summary.firstTime) + 1, 0);
        channel.used.assign(channel.count.size(), 0);
      }
      const std::size_t slot = std::size_t(entry.time - channel.first);
      if (entry.time >= channel.first && slot < channel.count.size()) {
        channel.most = std::max(channel.most, ++channel.count[slot]);
      }
    }
  }
  if (!any) return;

  const std::size_t first = std::size_t(std::find(present.begin(), present.end(), true) - present.begin());
  first_ = uint16_t(first);
  empty_ = false;
  int64_t removed = 0;
  std::size_t last = first;
  for (std::size_t t = first; t < kSeconds; ++t) {
    if (present[t]) {
      const uint32_t pause = uint32_t(t - last - (t > last ? 1 : 0));
      if (maxGapSeconds > 0 && pause > maxGapSeconds) {
        const int64_t begins = int64_t(last + 1 - first) - removed;
        removed += pause - maxGapSeconds;
        gaps_.push_back(ClosedGap{uint16_t(last + 1), uint16_t(t), pause, maxGapSeconds, begins});
      }
      last = t;
    }
    outputSecond_[t] = int64_t(t - first) - removed;
  }
  last_ = uint16_t(last);
}

void TimingPlan::shiftBy(int64_t seconds) {
  shift_ += seconds;
  for (ClosedGap& gap : gaps_) gap.outputSecond += seconds;
}

FrameRate TimingPlan::fitRate(int channel, FrameRate declared) const {
  const ChannelSeconds& seconds = channels_[std::size_t(channel)];
  // No channel gets more positions a second than a camera records (salvage keeps records of more, and
  // they take the next free positions).
  const uint32_t most = std::min(seconds.most, kMaxFramesPerSecond);
  if (declared.num == 0 || declared.den == 0) return FrameRate{std::max<uint32_t>(most, 1), 1};
  // A second at num/den frames per second holds floor(num/den) or ceil(num/den) positions, depending on
  // where it starts: 7.5 fps gives alternately 8 and 7.
  if (most <= declared.num / declared.den) return declared;
  for (std::size_t slot = 0; slot < seconds.count.size(); ++slot) {
    const int64_t second = outputSecond(uint16_t(seconds.first + slot));
    if (seconds.count[slot] > secondStart(second + 1, declared) - secondStart(second, declared))
      return FrameRate{most, 1};
  }
  return declared;
}

int64_t TimingPlan::secondStart(int64_t second, FrameRate rate) {
  return (second * int64_t(rate.num) + int64_t(rate.den) - 1) / int64_t(rate.den);
}

int64_t TimingPlan::placeFrame(int channel, uint16_t time, FrameRate rate) {
  const int64_t second = outputSecond(time);
  const int64_t start = secondStart(second, rate);
  ChannelSeconds& seconds = channels_[std::size_t(channel)];
  const std::size_t slot = std::size_t(time - seconds.first);
  if (time < seconds.first || slot >= seconds.count.size() || seconds.count[slot] == 0) return start;
  const int64_t positions = secondStart(second + 1, rate) - start;
  const uint32_t n = seconds.count[slot];
  const uint32_t i = std::min(seconds.used[slot]++, n - 1);
  return start + int64_t(i) * positions / int64_t(n);
}

}  // namespace qmv
