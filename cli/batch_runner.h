// A `convert` run over several recordings: input expansion, the job pool, the shared stop and the summary.
#pragma once

#include <atomic>
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

// The stop request of a batch: raised once (by a signal handler), read by every job and every
// conversion; nothing lowers it, so one failing input never stops the others. requestStop is
// async-signal-safe.
class BatchStop {
 public:
  BatchStop() = default;
  BatchStop(const BatchStop&) = delete;
  BatchStop& operator=(const BatchStop&) = delete;

  void requestStop() noexcept { stop_.store(true); }
  bool stopRequested() const noexcept { return stop_.load(); }
  // The request cut the batch short: a conversion stopped before its end, or an input never started.
  // A request that came after the last file was finished leaves a completed run completed.
  void markCutShort() noexcept { cutShort_.store(true); }
  bool cutShort() const noexcept { return cutShort_.load(); }
  const std::atomic<bool>& flag() const { return stop_; }

 private:
  static_assert(std::atomic<bool>::is_always_lock_free, "the request is raised from a signal handler");
  std::atomic<bool> stop_{false};
  std::atomic<bool> cutShort_{false};
};

// Converts every input with options.jobs recordings at once; a failure of one
// input does not stop the others, and the expansion's problems count as bad inputs. Prints per-file
// lines as each input ends and, for more than one input, one summary at the end. Returns the worst
// exit status (a stop by signal is the caller's).
int runBatch(const ConvertOptions& options, const ExpandedInputs& expanded, BatchStop& stop);

}  // namespace qmv::cli
