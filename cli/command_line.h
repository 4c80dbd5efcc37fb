// The command line the tool was started with, and the tool as the integrity report names it.
#pragma once

#include <string>
#include <vector>

#include "job/conversion_job.h"

namespace qmv::cli {

// main() keeps the command line here for the report.
void setCommandLine(int argc, const char* const* argv);
const std::vector<std::string>& commandLine();

// This tool, its version and its command line.
ToolIdentity toolIdentity();

}  // namespace qmv::cli
