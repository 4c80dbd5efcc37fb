// Progress of a conversion as the user sees it: a bar on a terminal, or nothing.
#include "cli/progress_display.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace qmv::cli {

TerminalHost::TerminalHost(const RecordingFile& recording, int codecIndex)
    : recording_(recording), codecIndex_(codecIndex), showProgress_(isatty(STDERR_FILENO) != 0) {}

void TerminalHost::setProgressRange(uint32_t maximum) {
  maximum_ = maximum;
  start_ = Clock::now();
}

void TerminalHost::setProgressPosition(uint32_t position) {
  if (!showProgress_) return;
  const auto now = Clock::now();
  // At most ten redraws a second; the worker calls this once per entry.
  if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  drawn_ = true;
  draw(position, now);
}

void TerminalHost::conversionDone(const ConversionReport&) {
  if (drawn_) std::fprintf(stderr, "\r\033[K");
}

void TerminalHost::draw(uint32_t position, Clock::time_point now) {
  const auto& entries = recording_.entries();
  const uint64_t bytes = position < entries.size() ? entries[position].offset : 0;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double percent = maximum_ > 0 ? 100.0 * position / maximum_ : 100.0;
  // Speed and time left mean nothing in the first half second.
  const bool settled = position > 0 && seconds > 0.5;
  char speed[32] = "   -- MB/s";
  if (settled) std::snprintf(speed, sizeof speed, "%5.1f MB/s", double(bytes) / seconds / 1e6);
  char left[32] = "--:--";
  if (settled) {
    const auto remaining = uint64_t(seconds * double(maximum_ - std::min(position, maximum_)) / position);
    std::snprintf(left, sizeof left, "%llu:%02llu", static_cast<unsigned long long>(remaining / 60),
                  static_cast<unsigned long long>(remaining % 60));
  }
  constexpr int kBarWidth = 30;
  const int filled = int(percent * kBarWidth / 100.0);
  std::string bar(std::size_t(std::clamp(filled, 0, kBarWidth)), '#');
  bar.resize(kBarWidth, '.');
  std::fprintf(stderr, "\r[%s] %u/%u entries %5.1f%% %s  %s left\033[K", bar.c_str(), position, maximum_, percent,
               speed, left);
  std::fflush(stderr);
}

}  // namespace qmv::cli
