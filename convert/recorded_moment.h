// RecordedMoment: a time a person types ("13:10:21", "2007-06-15 13:10:21") as a recorded second of one
// recording, and a window of two such times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

// HH:MM:SS is a clock time of the recording's date (the next day's, when it lies before the recording's
// hour: a recording may run past midnight). The result counts seconds from the header's hour, as the index
// does, but is not checked against the recording: it may lie before or after it. A text of neither form is an
// error.
Result<int64_t> recordedSecondsFrom(const SystemInfo& info, const std::string& text);

// The same, checked against the recording: a time outside its first to last recorded second is an error
// naming the recording's span.
Result<uint16_t> recordedSecondOf(const RecordingFile& recording, const std::string& text);

// "2007-06-15 13:10:21 to 2007-06-15 14:10:20".
std::string recordingSpanText(const RecordingFile& recording);

// A part of a recording in seconds from the header's hour; an end left out is the recording's own.
struct RecordedWindow {
  std::optional<int64_t> from;
  std::optional<int64_t> to;
  bool operator==(const RecordedWindow&) const = default;
};

// "2007-06-15 13:10:21 to 2007-06-15 13:15:21"; an open end reads "the start" / "the end".
std::string windowText(const SystemInfo& info, const RecordedWindow& window);

// The window from / to name (either may be empty). An error when a text is no time, when from comes after
// to, or when the window lies wholly outside the recording (naming its span). A window that reaches past
// either end of the recording is taken as far as the recording goes.
Result<RecordedWindow> recordedWindowOf(const RecordingFile& recording, const std::string& from,
                                        const std::string& to);
// The same for a timeline (recordings joined) dated by info that holds records from first to last.
Result<RecordedWindow> recordedWindowOf(const SystemInfo& info, int64_t first, int64_t last,
                                        const std::string& from, const std::string& to);

}  // namespace qmv
