// One input of a `convert` run: open the recording, check its outputs, convert, summarize.
#pragma once

#include <atomic>
#include <string>

#include "cli/convert_options.h"
#include "convert/conversion_worker.h"

namespace qmv::cli {

struct InputOutcome {
  int exitStatus = 0;  // kExitOk, kExitBadInput or kExitOutputFile; a stop is told by report.stopped
  ConversionReport report;
};

// Converts input with options; running is the stop flag (the signal handler lowers it).
// Messages go to stderr, the summary of the files written to stdout.
InputOutcome convertInput(const ConvertOptions& options, const std::string& input, std::atomic<int>& running);

}  // namespace qmv::cli
