// RecordedMoment: typed clock times as recorded seconds, checked against the recording's span.
#include "convert/recorded_moment.h"

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

Error outsideError(const std::string& span, const std::string& what) {
  return Error{EINVAL, fmt::format("{} lies outside the recording, which runs from {}", what, span)};
}

}  // namespace

std::string recordingSpanText(const RecordingFile& recording) {
  return recordedTimeText(recording.info(), recording.firstTime()) + " to " +
         recordedTimeText(recording.info(), recording.lastTime());
}

Result<int64_t> recordedSecondsFrom(const SystemInfo& info, const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char tail = 0;
  const RecordedTime base = recordedTime(info, 0);
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
  return seconds + int64_t(hour - base.hour) * 3600 + int64_t(minute - base.minute) * 60 +
         (second - base.second);
}

Result<uint16_t> recordedSecondOf(const RecordingFile& recording, const std::string& text) {
  const Result<int64_t> seconds = recordedSecondsFrom(recording.info(), text);
  if (!seconds) return seconds.error();
  if (recording.entryCount() == 0 || seconds.value() < recording.firstTime() ||
      seconds.value() > recording.lastTime())
    return outsideError(recordingSpanText(recording), text);
  return uint16_t(seconds.value());
}

std::string windowText(const SystemInfo& info, const RecordedWindow& window) {
  const auto end = [&info](const std::optional<int64_t>& at, const char* open) {
    return at && *at >= 0 && *at <= UINT32_MAX ? recordedTimeText(info, uint32_t(*at)) : std::string(open);
  };
  return end(window.from, "the start") + " to " + end(window.to, "the end");
}

Result<RecordedWindow> recordedWindowOf(const RecordingFile& recording, const std::string& from,
                                        const std::string& to) {
  if (recording.entryCount() == 0) return outsideError(recordingSpanText(recording), "the window");
  return recordedWindowOf(recording.info(), recording.firstTime(), recording.lastTime(), from, to);
}

Result<RecordedWindow> recordedWindowOf(const SystemInfo& info, int64_t first, int64_t last,
                                        const std::string& from, const std::string& to) {
  RecordedWindow window;
  for (const auto& [text, end] : {std::pair{&from, &window.from}, std::pair{&to, &window.to}}) {
    if (text->empty()) continue;
    const Result<int64_t> seconds = recordedSecondsFrom(info, *text);
    if (!seconds) return seconds.error();
    *end = seconds.value();
  }
  if (window.from && window.to && *window.from > *window.to)
    return Error{EINVAL, fmt::format("the window's start {} comes after its end {}", from, to)};
  const std::string asked =
      fmt::format("the window {} to {}", from.empty() ? "the start" : from, to.empty() ? "the end" : to);
  if ((window.from && *window.from > last) || (window.to && *window.to < first))
    return outsideError(
        recordedTimeText(info, uint32_t(first)) + " to " + recordedTimeText(info, uint32_t(last)), asked);
  return window;
}

}  // namespace qmv
