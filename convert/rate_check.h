// Timing check: each channel's declared frame rate (header rate byte) against the rate its index delivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording_file.h"

namespace qmv {

// How far the declared rate may lie from what the index allows before a channel is flagged.
inline constexpr double kRateTolerance = 0.10;

// A channel's pause: no picture from second `from` up to second `to`, where its next picture was recorded.
struct ChannelPause {
  uint16_t from = 0;
  uint16_t to = 0;
  uint32_t seconds() const { return uint32_t(to - from); }
};

// The shortest time without a picture that counts as a pause rather than an uneven delivery: five
// seconds, and three of the channel's declared frame intervals.
uint32_t minPauseSeconds(uint8_t rateByte);

struct ChannelTiming {
  int channel = 0;         // 0-based
  uint8_t rateByte = 0;    // quarter frames per second; 0 declares nothing
  uint64_t frames = 0;     // the channel's video entries in the frame index
  uint16_t firstTime = 0;  // earliest and latest index time of those entries
  uint16_t lastTime = 0;
  uint32_t spanSeconds = 0;          // lastTime - firstTime + 1
  double declaredRate = 0.0;         // rateByte / 4
  double deliveredRate = 0.0;        // frames / spanSeconds
  bool warning = false;              // the declared rate disagrees with the index by more than the tolerance
  std::vector<ChannelPause> pauses;  // in recorded order
  uint32_t activeSeconds = 0;        // spanSeconds less the pauses: what the rate is checked over
};

// Pauses are left out of the span before the rates are compared: a camera that stopped sending for a while
// recorded at its rate while it ran.
// Index times count whole seconds, so frames / span is exact only when the channel's frames fill
// their first and last second. Frames that end partway into those seconds cover between span - 2
// and span seconds: the true rate lies in [frames / span, frames / (span - 2)]. A channel is
// flagged when that whole interval lies more than kRateTolerance (of the declared rate) away from
// the declared rate; when span <= 2 the interval has no upper end. A channel that paused inside
// its span delivers fewer frames per second than it recorded at while running.
// One entry per channel with video entries, in channel order; rate byte 0 is listed, never flagged.
std::vector<ChannelTiming> checkChannelRates(const RecordingFile& recording);

// "CH-03: declared 7.5 fps, delivered 15.0 fps (150 frames in 10 s of recorded time)".
std::string rateWarningText(const ChannelTiming& timing);
// What a wrong declared rate means for the files: "; the files play at the declared rate", or with the
// recorded clock "; the files follow the recorded clock".
const char* rateWarningConsequence(bool recordedClock);
// "no pictures 13:10:20–13:10:50".
std::string pauseSpanText(const SystemInfo& info, const ChannelPause& pause);
// "CH-02: no pictures 13:10:20–13:10:50".
std::string pauseText(const SystemInfo& info, int channel, const ChannelPause& pause);
// What the declared clock does with a pause: "CH-02: no pictures 13:10:20–13:10:50, joined up at the
// declared rate; --timing recorded keeps the pause". At most a few per channel, then how many more.
std::vector<std::string> declaredPauseNotes(const SystemInfo& info, const ChannelTiming& timing);

}  // namespace qmv
