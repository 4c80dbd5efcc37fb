// RecordedMoment: a time a person types ("13:10:21", "2007-06-15 13:10:21") as a recorded second of one
// recording.
#pragma once

#include <cstdint>
#include <string>

#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

// HH:MM:SS is a clock time of the recording's date (the next day's, when it lies before the recording's
// hour: a recording may run past midnight). The result is the index's count of seconds from the header's
// hour. A text of neither form, or a time outside the recording's first to last recorded second, is an
// error naming the recording's span.
Result<uint16_t> recordedSecondOf(const RecordingFile& recording, const std::string& text);

// "2007-06-15 13:10:21 to 2007-06-15 14:10:20".
std::string recordingSpanText(const RecordingFile& recording);

}  // namespace qmv
