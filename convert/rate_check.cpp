// Timing check: each channel's declared frame rate (header rate byte) against the rate its index delivers.
#include "convert/rate_check.h"

#include <fmt/format.h>

namespace qmv {

std::vector<ChannelTiming> checkChannelRates(const RecordingFile& recording) {
  std::vector<ChannelTiming> result;
  const SystemInfo& info = recording.info();
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
    t.deliveredRate = summary.deliveredRate();
    // Relative to the declared rate, as |delivered - declared| / declared.
    if (t.rateByte != 0) {
      const bool declaredTooLow = t.deliveredRate > t.declaredRate * (1.0 + kRateTolerance);
      bool declaredTooHigh = false;
      if (t.spanSeconds > 2) {
        const double highest = double(t.frames) / (t.spanSeconds - 2);
        declaredTooHigh = highest < t.declaredRate * (1.0 - kRateTolerance);
      }
      t.warning = declaredTooLow || declaredTooHigh;
    }
    result.push_back(t);
  }
  return result;
}

std::string rateWarningText(const ChannelTiming& t) {
  return fmt::format(
      "CH-{:02d}: declared {:.1f} fps, delivered {:.1f} fps ({} frames in {} s of recorded time)",
      t.channel + 1, t.declaredRate, t.deliveredRate, t.frames, t.spanSeconds);
}

const char* rateWarningConsequence(bool recordedClock) {
  return recordedClock ? "; the files follow the recorded clock" : "; the files play at the declared rate";
}

}  // namespace qmv
