// TimingPlan: where the recorded clock puts every record of a recording: the output second of each recorded
// second (after gaps longer than the limit are closed), each channel's rate and each frame's video position.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "convert/window_range.h"
#include "recording/frame_rate.h"
#include "recording/recording_file.h"

namespace qmv {

// A pause with no record of any kind that was closed down to the limit.
struct ClosedGap {
  uint16_t firstEmpty = 0;   // the first recorded second without a record
  uint16_t resume = 0;       // the recorded second of the first record after the pause
  uint32_t seconds = 0;      // resume - firstEmpty: how long nothing was recorded
  uint32_t closedTo = 0;     // how long the output shows it
  int64_t outputSecond = 0;  // where the shortened pause begins on the output timeline
};

// The rate channel c's rate byte declares; for a rate byte of 0, which says nothing, the channel's frames
// over the seconds its index entries span (1 fps under two seconds of span), at most kMaxFramesPerSecond.
FrameRate channelRate(const RecordingFile& recording, int channel);

class TimingPlan {
 public:
  // maxGapSeconds 0: every pause keeps its length. Only the records the pass writes in range count: the
  // output starts at the first second of those.
  TimingPlan(const RecordingFile& recording, uint32_t maxGapSeconds);
  TimingPlan(const RecordingFile& recording, uint32_t maxGapSeconds, const WindowRange& range);

  // The first and last recorded seconds with a record of the range; empty(): none.
  uint16_t firstSecond() const { return first_; }
  uint16_t lastSecond() const { return last_; }
  bool empty() const { return empty_; }
  // Moves the whole plan (its closed gaps too) later on the output timeline: a recording joined after others.
  void shiftBy(int64_t seconds);

  // Seconds from the recording's first recorded second to the start of `time` on the output timeline.
  int64_t outputSecond(uint16_t time) const { return outputSecond_[time] + shift_; }
  const std::vector<ClosedGap>& closedGaps() const { return gaps_; }

  // declared, or raised to the most frames channel c has in one recorded second when some second at the
  // declared rate has fewer positions than frames, so every frame gets a position of its own inside its
  // second.
  FrameRate fitRate(int channel, FrameRate declared) const;
  // The first video position at rate at or after the output second `second` begins.
  static int64_t secondStart(int64_t second, FrameRate rate);

  // The position of channel c's next frame recorded in `time` (the frames of one second are spread evenly
  // over its positions, in the order they are met). Call once per frame, at rate fitRate gave.
  int64_t placeFrame(int channel, uint16_t time, FrameRate rate);

 private:
  struct ChannelSeconds {
    uint16_t first = 0;
    std::vector<uint32_t> count;  // frames per recorded second, from `first` on
    std::vector<uint32_t> used;   // frames placed so far
    uint32_t most = 0;
  };
  std::vector<int64_t> outputSecond_;  // indexed by recorded second (0 .. 65535)
  std::vector<ClosedGap> gaps_;
  uint16_t first_ = 0;
  uint16_t last_ = 0;
  bool empty_ = true;
  int64_t shift_ = 0;
  std::array<ChannelSeconds, format::kChannelCount> channels_;
};

}  // namespace qmv
