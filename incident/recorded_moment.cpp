// RecordedMoment: typed clock times as recorded seconds, checked against the recording's span.
#include "incident/recorded_moment.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "convert/recorded_time.h"

namespace qmv {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

int64_t dayNumber(int year, int month, int day) {
  using namespace std::chrono;
  return sys_days(std::chrono::year(year) / std::chrono::month(unsigned(month)) /
                  std::chrono::day(unsigned(day)))
      .time_since_epoch()
      .count();
}

}  // namespace

std::string recordingSpanText(const RecordingFile& recording) {
  return recordedTimeText(recording.info(), recording.firstTime()) + " to " +
         recordedTimeText(recording.info(), recording.lastTime());
}

Result<uint16_t> recordedSecondOf(const RecordingFile& recording, const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail = 0;
  const RecordedTime base = recordedTime(recording.info(), 0);
  int64_t seconds = 0;
  const auto badClock = [&] {
    return hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0;
  };
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second,
                  &tail) == 6 &&
      month >= 1 && month <= 12 && day >= 1 && day <= 31 && !badClock()) {
    seconds = (dayNumber(year, month, day) - dayNumber(base.year, base.month, base.day)) * kSecondsPerDay;
  } else if (std::sscanf(text.c_str(), "%2d:%2d:%2d%c", &hour, &minute, &second, &tail) == 3 && !badClock()) {
    if (hour < base.hour) seconds = kSecondsPerDay;
  } else {
    return Error{EINVAL, fmt::format("\"{}\" is no time: use HH:MM:SS or YYYY-MM-DD HH:MM:SS", text)};
  }
  seconds += int64_t(hour - base.hour) * 3600 + int64_t(minute - base.minute) * 60 + (second - base.second);
  if (recording.entryCount() == 0 || seconds < recording.firstTime() || seconds > recording.lastTime())
    return Error{EINVAL, fmt::format("{} lies outside the recording, which runs from {}", text,
                                     recordingSpanText(recording))};
  return uint16_t(seconds);
}

}  // namespace qmv
