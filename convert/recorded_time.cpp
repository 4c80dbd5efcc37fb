// Recorded time: the recorder's date and clock time of an index entry (header date and hour plus the entry's
// seconds).
#include "convert/recorded_time.h"

#include <algorithm>
#include <cstdio>

namespace qmv {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12), and back; the usual
// era-based conversion (400-year eras of 146097 days, years starting in March).
int64_t daysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, RecordedTime& t) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  t.day = int(doy - (153 * mp + 2) / 5 + 1);
  t.month = int(mp < 10 ? mp + 3 : mp - 9);
  t.year = int(yoe + era * 400 + (t.month <= 2));
}

}  // namespace

RecordedTime recordedTime(const SystemInfo& info, uint32_t time) {
  const int month = info.month >= 1 && info.month <= 12 ? info.month : 1;
  const int64_t day = std::max<int>(info.day, 1);
  const int64_t seconds = int64_t(info.hour) * 3600 + time;
  RecordedTime t;
  civilFromDays(daysFromCivil(info.year, month, 1) + (day - 1) + seconds / kSecondsPerDay, t);
  const int64_t inDay = seconds % kSecondsPerDay;
  t.hour = int(inDay / 3600);
  t.minute = int(inDay / 60 % 60);
  t.second = int(inDay % 60);
  return t;
}

std::string formatRecordedTime(const RecordedTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

}  // namespace qmv
