// Recorded time: the recorder's date and clock time of an index entry (header date and hour plus the entry's
// seconds).
#include "convert/recorded_time.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

namespace qmv {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

}  // namespace

RecordedTime recordedTime(const SystemInfo& info, uint32_t time) {
  const int month = info.month >= 1 && info.month <= 12 ? info.month : 1;
  const int64_t day = std::max<int>(info.day, 1);
  const int64_t seconds = int64_t(info.hour) * 3600 + time;
  // Days counted from the first of the month let a day past the month's end carry into the next.
  const std::chrono::sys_days first{std::chrono::year(info.year) / std::chrono::month(unsigned(month)) /
                                    std::chrono::day(1)};
  const std::chrono::year_month_day date{first + std::chrono::days(day - 1 + seconds / kSecondsPerDay)};
  RecordedTime t;
  t.year = int(date.year());
  t.month = int(unsigned(date.month()));
  t.day = int(unsigned(date.day()));
  const int64_t inDay = seconds % kSecondsPerDay;
  t.hour = int(inDay / 3600);
  t.minute = int(inDay / 60 % 60);
  t.second = int(inDay % 60);
  return t;
}

std::string formatRecordedTime(const RecordedTime& t) {
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
}

}  // namespace qmv
