// A `convert` run over several recordings: input expansion, the job pool, the shared stop and the summary.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "cli/convert_options.h"

namespace qmv::cli {

struct ExpandedInputs {
  std::vector<std::string> inputs;    // files as given, then each folder's recordings, duplicates left out
  std::vector<std::string> problems;  // folders that could not be read or hold no recording
  bool fromFolder = false;            // a folder was among the arguments
};

// Files are taken as given (whatever their name); a folder contributes the regular files directly in
// it (not in its subfolders) whose names end in .qmv or .exe in any case, sorted by name. A path met a
// second time (after resolving symbolic links and "..") is left out.
ExpandedInputs expandInputs(const std::vector<std::string>& arguments);

// The worse of two exit statuses: a stop by a signal (128 + n) > output failure (3) > bad input (2) >
// salvaged (4) > 0;
// anything else unknown counts as worse than bad input.
int worseExitStatus(int a, int b);

// The stop flags of a batch: one per job, since the worker lowers its own flag when an output
// fails and that must not stop the other jobs. requestStop lowers all of them and is
// async-signal-safe.
class BatchStop {
 public:
  explicit BatchStop(std::size_t jobs);
  BatchStop(const BatchStop&) = delete;
  BatchStop& operator=(const BatchStop&) = delete;

  void requestStop() noexcept;
  bool stopRequested() const noexcept { return stop_.load() != 0; }
  std::size_t jobs() const { return jobs_; }
  std::atomic<int>& flag(std::size_t job) { return flags_[job]; }

 private:
  static_assert(std::atomic<int>::is_always_lock_free, "the flags are lowered from a signal handler");
  std::atomic<int> stop_{0};
  std::size_t jobs_;
  std::unique_ptr<std::atomic<int>[]> flags_;
};

// Converts every input with options.jobs recordings at once (at most stop.jobs()); a failure of one
// input does not stop the others, and the expansion's problems count as bad inputs. Prints per-file
// lines as each input ends and, for more than one input, one summary at the end. Returns the worst
// exit status (a stop by signal is the caller's).
int runBatch(const ConvertOptions& options, const ExpandedInputs& expanded, BatchStop& stop);

}  // namespace qmv::cli
