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

// Marks the calling thread as working on one input of a batch for as long as it lives; the host
// and the message lines of that thread find their input through it.
class BatchJobScope {
 public:
  BatchJobScope(BatchProgress& progress, std::size_t input);
  ~BatchJobScope();
  BatchJobScope(const BatchJobScope&) = delete;
  BatchJobScope& operator=(const BatchJobScope&) = delete;

  static BatchProgress* currentProgress();
  static std::ptrdiff_t currentInput();  // -1 outside a job
};

// The worker's host for the command line: the codec choice, and the pass's progress handed to the
// batch that the calling thread works for (nothing outside a batch).
class TerminalHost : public ConversionHost {
 public:
  TerminalHost(const RecordingFile& recording, int codecIndex);

  int compressorIndex() override { return codecIndex_; }
  void enableControls(bool) override {}
  void setProgressRange(uint32_t maximum) override;
  void setProgressPosition(uint32_t position) override;
  void conversionDone(const ConversionReport&) override;

 private:
  const RecordingFile& recording_;
  int codecIndex_;
  BatchProgress* progress_;
  std::ptrdiff_t input_;
};

}  // namespace qmv::cli
