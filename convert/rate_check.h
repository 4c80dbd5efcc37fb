// Timing check: each channel's declared frame rate (header rate byte) against the rate its index delivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording_file.h"

namespace qmv {

// How far the declared rate may lie from what the index allows before a channel is flagged.
inline constexpr double kRateTolerance = 0.10;

struct ChannelTiming {
  int channel = 0;         // 0-based
  uint8_t rateByte = 0;    // quarter frames per second; 0 declares nothing
  uint64_t frames = 0;     // the channel's video entries in the frame index
  uint16_t firstTime = 0;  // earliest and latest index time of those entries
  uint16_t lastTime = 0;
  uint32_t spanSeconds = 0;    // lastTime - firstTime + 1
  double declaredRate = 0.0;   // rateByte / 4
  double deliveredRate = 0.0;  // frames / spanSeconds
  bool warning = false;        // the declared rate disagrees with the index by more than the tolerance
};

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

}  // namespace qmv
