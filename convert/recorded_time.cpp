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

RecordedTime toUtc(const RecordedTime& local, int offsetMinutes) {
  using namespace std::chrono;
  const sys_seconds at =
      sys_days{year(local.year) / month(unsigned(local.month)) / day(unsigned(local.day))} +
      hours(local.hour) + minutes(local.minute) + seconds(local.second) - minutes(offsetMinutes);
  const sys_days midnight = floor<days>(at);
  const year_month_day date{midnight};
  const hh_mm_ss clock{at - midnight};
  return RecordedTime{int(date.year()),           int(unsigned(date.month())),  int(unsigned(date.day())),
                      int(clock.hours().count()), int(clock.minutes().count()), int(clock.seconds().count())};
}

std::optional<int> parseUtcOffset(std::string_view text) {
  // "+HH:MM" or "-HH:MM", nothing else: "+2" or "UTC+2" leave the reader guessing.
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
  for (const std::size_t at : {1u, 2u, 4u, 5u})
    if (text[at] < '0' || text[at] > '9') return std::nullopt;
  const int hours = (text[1] - '0') * 10 + (text[2] - '0');
  const int minutes = (text[4] - '0') * 10 + (text[5] - '0');
  // Zones on Earth run from UTC-12:00 to UTC+14:00.
  if (minutes > 59 || hours * 60 + minutes > 14 * 60) return std::nullopt;
  return (text[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

std::string formatUtcOffset(int offsetMinutes) {
  const int magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  return fmt::format("{}{:02}:{:02}", offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}

std::string formatRecordedTime(const RecordedTime& t) {
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", t.year, t.month, t.day, t.hour, t.minute,
                     t.second);
}

}  // namespace qmv
