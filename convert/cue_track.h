// CueTrack: the subtitle cues of one channel, built from its video samples in order: one cue per run of
// samples that share a recorded second, plus the notes of closed gaps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recording/recording_file.h"

namespace qmv {

struct Cue {
  int64_t start = 0;  // video positions: shown from start up to end
  int64_t end = 0;
  uint16_t time = 0;  // the recorded second it shows, unless note is set
  std::string note;   // a gap's note, shown instead of a recorded time
  // The declared clock joined a pause up just before this cue: no picture from this second on up to time.
  std::optional<uint16_t> pausedFrom;
  bool estimated = false;  // the second is an estimate (salvage found the records without an index)
};

// What a caption or cue adds to a recorded time that is an estimate.
inline constexpr const char* kEstimatedMark = " (estimated)";

class CueTrack {
 public:
  // A sample (written, or empty for a frame left out) at position, recorded in second time. limit: where
  // that second ends on the output's timeline (the recorded clock), so that a cue before a pause does not
  // stretch over it; -1 when the cue may run up to the next one.
  // A new cue begins whenever the recorded second changes, so a clock that steps back gets a cue of its own.
  // Returns the cue this sample closed, if any.
  // estimated: the time is an estimate; a cue holds estimated or recorded times, never both. pausedFrom:
  // the declared clock joined up a pause (no picture from that second on) just before this sample.
  std::optional<Cue> sample(uint16_t time, int64_t position, int64_t limit = -1, bool estimated = false,
                            std::optional<uint16_t> pausedFrom = std::nullopt);
  // A note shown from start up to end; closes the open cue first (returned ahead of the note).
  std::vector<Cue> note(int64_t start, int64_t end, std::string text);
  // Closes the open cue when the output has reached position and the cue's second ends at or before it:
  // the cue the next sample would close, given as soon as it is known (ahead of a pause's silence).
  std::optional<Cue> closeReached(int64_t position);
  // Closes the open cue: it ends after its last sample.
  std::optional<Cue> close();

 private:
  int64_t endAt(int64_t end) const;

  std::optional<Cue> open_;
  int64_t last_ = 0;
  int64_t limit_ = -1;
};

// What a cue shows: its note, or its recorded time, with the joint of a pause named after it.
std::string cueText(const SystemInfo& info, const Cue& cue);

}  // namespace qmv
