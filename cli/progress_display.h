// A `convert` run's progress as the user sees it: one bar or one JSON stream for all inputs, whole lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/recording_file.h"

namespace qmv::cli {

enum class ProgressStyle {
  kNone,  // nothing drawn (stderr is not a terminal, or a test)
  kBar,   // one redrawn line on stderr
  kJson,  // one JSON object per line on stderr, messages included
};

// The shared display of a batch: every job reports here, from its own thread. Every method takes
// the one lock, so lines on stdout and stderr stay whole and the bar is cleared before a line is
// written and redrawn after it.
class BatchProgress {
 public:
  // inputs: the recordings in order; sizes: their file sizes, the byte total until each is opened.
  BatchProgress(ProgressStyle style, std::vector<std::string> inputs, std::vector<uint64_t> sizes);
  BatchProgress(const BatchProgress&) = delete;
  BatchProgress& operator=(const BatchProgress&) = delete;

  // A job's recording is open and its pass begins: entries in it, bytes of the recording.
  void inputStarted(std::size_t input, uint32_t entries, uint64_t bytes);
  void inputPosition(std::size_t input, uint32_t entriesDone, uint64_t bytesDone);
  // The pass is over; the job is about to print its summary lines.
  void inputConversionDone();
  // convertInput returned (also for inputs that never started): counts it as done.
  void inputFinished(std::size_t input, int exitStatus, const ConversionReport& report);
  // Every job has ended; the final event.
  void batchFinished(int exitStatus);

  // One whole line on stream (stdout or stderr); input is the job it belongs to, or -1. In JSON
  // style a stderr line becomes a "message" event.
  void writeLine(std::FILE* stream, std::ptrdiff_t input, const std::string& line);

  const std::string& inputName(std::size_t input) const { return inputs_[input].path; }
  std::size_t inputCount() const { return inputs_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Input {
    std::string path;
    uint32_t entries = 0;
    uint32_t entriesDone = 0;
    uint64_t bytes = 0;  // file size until opened, then the recording's length
    uint64_t bytesDone = 0;
    bool started = false;
    bool finished = false;
    std::size_t files = 0;
  };
  struct Totals {
    uint64_t entries = 0, entriesDone = 0, bytes = 0, bytesDone = 0;
    std::size_t inputsDone = 0, files = 0;
  };
  Totals totalsLocked() const;
  void emitJsonLocked(const char* event, std::ptrdiff_t input, int exitStatus);
  void drawLocked(Clock::time_point now);
  void clearLocked();

  std::mutex mutex_;
  ProgressStyle style_;
  std::vector<Input> inputs_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_{};
  Clock::time_point hiddenSince_{};  // a job's summary lines are on their way; no redraw for a moment
  bool drawn_ = false;
};

// One input of a batch: its conversion's progress and message sinks, and its own stderr lines. Every
// line starts "qmv2avi-cli: ", followed by the input's name when the batch converts several inputs.
class JobOutput final : public ProgressSink, public MessageSink {
 public:
  JobOutput(BatchProgress& progress, std::size_t input, bool nameInput);

  // Progress counts bytes of this recording; set before its conversion starts.
  void setRecording(const RecordingFile& recording) { recording_ = &recording; }

  // "qmv2avi-cli: [INPUT: ]text" on stderr.
  void line(const std::string& text);
  // "qmv2avi-cli: INPUT: text": for a line about the input itself, which names it even when alone.
  void inputLine(const std::string& text);

  void progressRange(uint32_t maximum) override;
  void progressPosition(uint32_t position) override;
  void conversionDone(const ConversionReport&) override;
  // Warnings as "warning: text"; the decoder library's load failures as "caption: text", a missing
  // library followed by where to get it.
  void message(const Message& message) override;

 private:
  BatchProgress& progress_;
  std::size_t input_;
  bool nameInput_;
  const RecordingFile* recording_ = nullptr;
  bool toldWhereToGetDecoder_ = false;
};

}  // namespace qmv::cli
