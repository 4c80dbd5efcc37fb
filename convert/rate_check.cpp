// Timing check: each channel's declared frame rate (header rate byte) against the rate its index delivers.
#include "convert/rate_check.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>

namespace qmv {

std::vector<ChannelTiming> checkChannelRates(const RecordingFile& recording) {
  std::array<ChannelTiming, format::kChannelCount> all{};
  const auto& entries = recording.entries();
  const std::size_t count = std::min<std::size_t>(recording.entryCount(), entries.size());
  for (std::size_t k = 0; k < count; ++k) {
    const FrameIndexEntry& e = entries[k];
    if (e.kind >= format::kChannelCount) continue;
    ChannelTiming& t = all[e.kind];
    if (t.frames++ == 0) {
      t.firstTime = t.lastTime = e.time;
    } else {
      t.firstTime = std::min(t.firstTime, e.time);
      t.lastTime = std::max(t.lastTime, e.time);
    }
  }

  std::vector<ChannelTiming> result;
  const SystemInfo& info = recording.info();
  for (int c = 0; c < format::kChannelCount; ++c) {
    ChannelTiming t = all[std::size_t(c)];
    if (t.frames == 0) continue;
    t.channel = c;
    t.rateByte = info.channelRate[std::size_t(c)];
    t.spanSeconds = uint32_t(t.lastTime - t.firstTime) + 1;
    t.declaredRate = t.rateByte / 4.0;
    t.deliveredRate = double(t.frames) / t.spanSeconds;
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
  char text[160];
  std::snprintf(text, sizeof text,
                "CH-%02d: declared %.1f fps, delivered %.1f fps (%" PRIu64 " frames in %" PRIu32
                " s of recorded time)",
                t.channel + 1, t.declaredRate, t.deliveredRate, t.frames, t.spanSeconds);
  return text;
}

}  // namespace qmv
