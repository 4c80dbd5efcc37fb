// One input of a `convert` run: open the recording, check its outputs, convert, summarize.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cli/convert_options.h"
#include "cli/progress_display.h"
#include "convert/conversion_worker.h"

namespace qmv::cli {

struct InputOutcome {
  int exitStatus = 0;  // kExitOk, kExitBadInput or kExitOutputFile; a stop is told by report.stopped
  ConversionReport report;
};

// Converts input with options; stop is the batch's stop request (raised by the signal handler).
// Messages and progress go to output, the summary of the files written to stdout.
InputOutcome convertInput(const ConvertOptions& options, const std::string& input, JobOutput& output,
                          const std::atomic<bool>& stop);
// The same for recordings joined into one timeline (--join): one output per channel, named after the
// earliest. Recordings that are no parts of one timeline are refused with the reason (kExitUsage).
InputOutcome convertJoined(const ConvertOptions& options, const std::vector<std::string>& inputs,
                           JobOutput& output, const std::atomic<bool>& stop);

}  // namespace qmv::cli
