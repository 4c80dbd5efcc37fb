// A `convert` run's progress as the user sees it: one bar or one JSON stream for all inputs, whole lines.
#include "cli/progress_display.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "cli/text_format.h"
#include "decode/xvid_library.h"

namespace qmv::cli {
namespace {

// At most ten redraws (or JSON progress lines) a second; the workers report once per entry.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

constexpr std::string_view kTool = "qmv2avi-cli: ";

void writeWhole(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

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
  writeWhole(stream, consoleText(line) + "\n");
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
  std::string speed = "   -- MB/s";
  if (settled) speed = fmt::format("{:5.1f} MB/s", double(t.bytesDone) / seconds / 1e6);
  std::string left = "--:--";
  if (settled) {
    const auto remaining = uint64_t(seconds * (1.0 - fraction) / std::max(fraction, 1e-9));
    left = fmt::format("{}:{:02d}", remaining / 60, remaining % 60);
  }
  constexpr int kBarWidth = 30;
  std::string bar(std::size_t(std::clamp(int(fraction * kBarWidth), 0, kBarWidth)), '#');
  bar.resize(kBarWidth, '.');
  std::string recordings;
  if (inputs_.size() > 1) recordings = fmt::format(" {}/{} recordings", t.inputsDone, inputs_.size());
  writeWhole(stderr, fmt::format("\r[{}]{} {}/{} entries {:5.1f}% {}  {} left\033[K", bar, recordings,
                                 t.entriesDone, t.entries, 100.0 * fraction, speed, left));
  drawn_ = true;
}

JobOutput::JobOutput(BatchProgress& progress, std::size_t input, bool nameInput)
    : progress_(progress), input_(input), nameInput_(nameInput) {}

void JobOutput::line(const std::string& text) {
  progress_.writeLine(stderr, std::ptrdiff_t(input_),
                      nameInput_ ? fmt::format("{}{}: {}", kTool, progress_.inputName(input_), text)
                                 : fmt::format("{}{}", kTool, text));
}

void JobOutput::inputLine(const std::string& text) {
  progress_.writeLine(stderr, std::ptrdiff_t(input_),
                      fmt::format("{}{}: {}", kTool, progress_.inputName(input_), text));
}

void JobOutput::progressRange(uint32_t maximum) {
  progress_.inputStarted(input_, maximum, recording_ != nullptr ? recording_->recordingLength() : 0);
}

void JobOutput::progressPosition(uint32_t position) {
  uint64_t bytes = 0;
  if (recording_ != nullptr && position < recording_->entries().size())
    bytes = recording_->entries()[position].offset;
  progress_.inputPosition(input_, position, bytes);
}

void JobOutput::conversionDone(const ConversionReport&) { progress_.inputConversionDone(); }

void JobOutput::message(const Message& message) {
  if (message.kind == MessageKind::kWarning) {
    line("warning: " + message.text);
    return;
  }
  line(message.caption + ": " + message.text);
  if (message.kind == MessageKind::kDecoderLibraryMissing && !toldWhereToGetDecoder_) {
    toldWhereToGetDecoder_ = true;
    line(
        fmt::format("the Xvid decoder library {} could not be loaded, so no frame can be re-encoded; "
                    "install the Debian package libxvidcore4",
                    DynamicXvidLibrary::kDefaultFileName));
  }
}

}  // namespace qmv::cli
