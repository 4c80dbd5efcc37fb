// The command-line side of the integrity report: where --report puts it, and what it says about the tool.
#pragma once

#include <string>
#include <vector>

#include "report/integrity_report.h"

namespace qmv::cli {

// The command line the tool was started with; main() keeps it here for the report.
void setCommandLine(int argc, const char* const* argv);
const std::vector<std::string>& commandLine();

// Where --report[=FILE] puts the report of one input: "<dir><baseName>.report.json" when FILE is
// empty, "FILE/<baseName>.report.json" when FILE is a folder, else FILE. dir ends in a path
// separator or is empty.
std::string integrityReportPath(const std::string& requested, const std::string& dir,
                                const std::string& baseName);

// This tool, its version and its command line, and the video mode.
ReportSetup reportSetup(bool passThrough, const std::string& encoder);

}  // namespace qmv::cli
