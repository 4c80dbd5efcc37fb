// A `convert` run's progress as the user sees it: one bar or one JSON stream for all inputs, whole lines.
#include "cli/progress_display.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

namespace qmv::cli {
namespace {

// At most ten redraws (or JSON progress lines) a second; the workers report once per entry.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

struct CurrentJob {
  BatchProgress* progress = nullptr;
  std::ptrdiff_t input = -1;
};
thread_local CurrentJob tCurrentJob;

void writeWhole(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

BatchJobScope::BatchJobScope(BatchProgress& progress, std::size_t input) {
  tCurrentJob = {&progress, std::ptrdiff_t(input)};
}

BatchJobScope::~BatchJobScope() { tCurrentJob = {}; }

BatchProgress* BatchJobScope::currentProgress() { return tCurrentJob.progress; }

std::ptrdiff_t BatchJobScope::currentInput() { return tCurrentJob.input; }

BatchProgress::BatchProgress(ProgressStyle style, std::vector<std::string> inputs,
                             std::vector<uint64_t> sizes)
    : style_(style) {
  inputs_.resize(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    inputs_[i].path = std::move(inputs[i]);
    inputs_[i].bytes = i < sizes.size() ? sizes[i] : 0;
  }
}

void BatchProgress::inputStarted(std::size_t input, uint32_t entries, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  Input& in = inputs_.at(input);
  in.started = true;
  in.entries = entries;
  in.bytes = bytes;
  if (style_ == ProgressStyle::kJson) emitJsonLocked("start", std::ptrdiff_t(input), 0);
}

void BatchProgress::inputPosition(std::size_t input, uint32_t entriesDone, uint64_t bytesDone) {
  std::lock_guard<std::mutex> lock(mutex_);
  Input& in = inputs_.at(input);
  in.entriesDone = std::min(entriesDone, in.entries);
  in.bytesDone = std::min(bytesDone, in.bytes);
  if (style_ == ProgressStyle::kNone) return;
  const auto now = Clock::now();
  if (now - lastDraw_ < kRedrawInterval || now - hiddenSince_ < kRedrawInterval) return;
  lastDraw_ = now;
  if (style_ == ProgressStyle::kJson) {
    emitJsonLocked("progress", std::ptrdiff_t(input), 0);
  } else {
    drawLocked(now);
  }
}

void BatchProgress::inputConversionDone() {
  std::lock_guard<std::mutex> lock(mutex_);
  // The job prints its summary on stdout next; a bar left on the terminal would share its line.
  clearLocked();
  hiddenSince_ = Clock::now();
}

void BatchProgress::inputFinished(std::size_t input, int exitStatus, const ConversionReport& report) {
  std::lock_guard<std::mutex> lock(mutex_);
  Input& in = inputs_.at(input);
  in.finished = true;
  in.files = report.files.size();
  if (!in.started) {
    in.bytes = 0;  // never read: drops out of the totals instead of counting as converted
  } else if (exitStatus == 0 && !report.stopped) {
    // The pass never visits the last entry (the last index block's own), so a full pass ends one short.
    in.entriesDone = in.entries;
    in.bytesDone = in.bytes;
  }
  if (style_ == ProgressStyle::kJson) {
    emitJsonLocked("file-done", std::ptrdiff_t(input), exitStatus);
  } else if (style_ == ProgressStyle::kBar && drawn_) {
    drawLocked(Clock::now());
  }
}

void BatchProgress::batchFinished(int exitStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (style_ == ProgressStyle::kJson) {
    emitJsonLocked("done", -1, exitStatus);
  } else {
    clearLocked();
  }
}

void BatchProgress::writeLine(std::FILE* stream, std::ptrdiff_t input, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (style_ == ProgressStyle::kJson && stream == stderr) {
    nlohmann::json event = {{"event", "message"}, {"text", line}};
    event["file"] =
        input >= 0 ? nlohmann::json(inputs_.at(std::size_t(input)).path) : nlohmann::json(nullptr);
    writeWhole(stderr, event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return;
  }
  const bool redraw = drawn_;
  clearLocked();
  writeWhole(stream, line + "\n");
  if (redraw && Clock::now() - hiddenSince_ >= kRedrawInterval) drawLocked(Clock::now());
}

BatchProgress::Totals BatchProgress::totalsLocked() const {
  Totals t;
  for (const Input& in : inputs_) {
    t.entries += in.entries;
    t.entriesDone += in.entriesDone;
    t.bytes += in.bytes;
    t.bytesDone += in.bytesDone;
    t.files += in.files;
    if (in.finished) ++t.inputsDone;
  }
  return t;
}

void BatchProgress::emitJsonLocked(const char* event, std::ptrdiff_t input, int exitStatus) {
  const Totals t = totalsLocked();
  nlohmann::json line = {
      {"event", event},
      {"done", t.entriesDone},
      {"total", t.entries},
      {"bytes", t.bytesDone},
      {"totalBytes", t.bytes},
      {"inputsDone", t.inputsDone},
      {"inputs", inputs_.size()},
      {"files", t.files},
      {"seconds", std::chrono::duration<double>(Clock::now() - start_).count()},
  };
  line["file"] = input >= 0 ? nlohmann::json(inputs_.at(std::size_t(input)).path) : nlohmann::json(nullptr);
  if (input >= 0) line["fileDone"] = inputs_[std::size_t(input)].entriesDone;
  if (input >= 0) line["fileTotal"] = inputs_[std::size_t(input)].entries;
  if (std::string_view(event) == "file-done" || std::string_view(event) == "done")
    line["status"] = exitStatus;
  writeWhole(stderr, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void BatchProgress::clearLocked() {
  if (!drawn_) return;
  writeWhole(stderr, "\r\033[K");
  drawn_ = false;
}

void BatchProgress::drawLocked(Clock::time_point now) {
  const Totals t = totalsLocked();
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // Bytes, not entries: the entry totals grow as each recording is opened, the file sizes are known at once.
  const double fraction = t.bytes > 0 ? std::min(1.0, double(t.bytesDone) / double(t.bytes)) : 1.0;
  // Speed and time left mean nothing in the first half second.
  const bool settled = t.bytesDone > 0 && seconds > 0.5;
  char speed[32] = "   -- MB/s";
  if (settled) std::snprintf(speed, sizeof speed, "%5.1f MB/s", double(t.bytesDone) / seconds / 1e6);
  char left[32] = "--:--";
  if (settled) {
    const auto remaining = uint64_t(seconds * (1.0 - fraction) / std::max(fraction, 1e-9));
    std::snprintf(left, sizeof left, "%llu:%02llu", static_cast<unsigned long long>(remaining / 60),
                  static_cast<unsigned long long>(remaining % 60));
  }
  constexpr int kBarWidth = 30;
  std::string bar(std::size_t(std::clamp(int(fraction * kBarWidth), 0, kBarWidth)), '#');
  bar.resize(kBarWidth, '.');
  char recordings[48] = "";
  if (inputs_.size() > 1) {
    std::snprintf(recordings, sizeof recordings, " %zu/%zu recordings", t.inputsDone, inputs_.size());
  }
  char text[256];
  std::snprintf(text, sizeof text, "\r[%s]%s %llu/%llu entries %5.1f%% %s  %s left\033[K", bar.c_str(),
                recordings, static_cast<unsigned long long>(t.entriesDone),
                static_cast<unsigned long long>(t.entries), 100.0 * fraction, speed, left);
  writeWhole(stderr, text);
  drawn_ = true;
}

TerminalHost::TerminalHost(const RecordingFile& recording, int codecIndex)
    : recording_(recording),
      codecIndex_(codecIndex),
      progress_(BatchJobScope::currentProgress()),
      input_(BatchJobScope::currentInput()) {}

void TerminalHost::setProgressRange(uint32_t maximum) {
  if (progress_) progress_->inputStarted(std::size_t(input_), maximum, recording_.recordingLength());
}

void TerminalHost::setProgressPosition(uint32_t position) {
  if (!progress_) return;
  const auto& entries = recording_.entries();
  const uint64_t bytes = position < entries.size() ? entries[position].offset : 0;
  progress_->inputPosition(std::size_t(input_), position, bytes);
}

void TerminalHost::conversionDone(const ConversionReport&) {
  if (progress_) progress_->inputConversionDone();
}

}  // namespace qmv::cli
