// Recorded time: the recorder's date and clock time of an index entry (header date and hour plus the entry's
// seconds).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "recording/recording_file.h"

namespace qmv {

struct RecordedTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
  bool operator==(const RecordedTime&) const = default;
};

// The header's date and hour plus time seconds. The seconds may run past the hour and past
// midnight; days, months and years roll over by the Gregorian calendar. A header date that names
// no real day is taken as far as it goes: a month outside 1..12 or a day 0 counts as 1, a day
// past the month's end and an hour past 23 carry into the following days.
RecordedTime recordedTime(const SystemInfo& info, uint32_t time);

// The recorded time in UTC, for a recorder whose clock stood offsetMinutes east of UTC (west: negative):
// days, months and years roll back or on as the offset takes them.
RecordedTime toUtc(const RecordedTime& local, int offsetMinutes);

// An offset as "+HH:MM" / "-HH:MM", and back: none for other text or beyond 14 hours either way.
std::optional<int> parseUtcOffset(std::string_view text);
std::string formatUtcOffset(int offsetMinutes);

// "YYYY-MM-DD HH:MM:SS".
std::string formatRecordedTime(const RecordedTime& t);
inline std::string recordedTimeText(const SystemInfo& info, uint32_t time) {
  return formatRecordedTime(recordedTime(info, time));
}

}  // namespace qmv
