// The `verify` subcommand: re-reads the files an integrity report names and checks every hash in it.
#include "cli/verify_command.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "report/report_check.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv::cli {

int verifyReport(const std::string& reportPath, std::ostream& out, std::ostream& err) {
  const Result<ReportCheck> check = checkReport(reportPath);
  if (!check) {
    err << "qmv2avi-cli verify: " << check.error().message << "\n";
    return kExitVerifyBadReport;
  }
  for (const CheckedFile& output : check->outputs) {
    if (output.verdict == FileVerdict::kMissing) {
      out << "MISMATCH " << output.path << ": missing\n";
    } else if (output.verdict == FileVerdict::kMatches) {
      out << "OK " << output.path << ": SHA-256 and " << output.frames << " frames match\n";
    } else {
      out << "MISMATCH " << output.path << ": " << output.problems << "\n";
    }
  }
  for (const CheckedFile& side : check->sideFiles) {
    if (side.verdict == FileVerdict::kMissing) {
      out << "MISMATCH " << side.path << ": missing\n";
    } else if (side.verdict == FileVerdict::kMatches) {
      out << "OK " << side.path << ": SHA-256 matches\n";
    } else {
      out << "MISMATCH " << side.path << ": " << side.problems << "\n";
    }
  }
  const CheckedFile& input = check->input;
  if (input.verdict == FileVerdict::kMissing) {
    out << "NOT CHECKED input " << input.path << ": not found\n";
  } else if (input.verdict == FileVerdict::kMatches) {
    out << "OK input " << input.path
        << (check->inputWrapped ? ": SHA-256 of the file and of the carved recording match\n"
                                : ": SHA-256 matches\n");
  } else {
    out << "MISMATCH input " << input.path << ": " << input.problems << "\n";
  }
  out.flush();
  return check->passed() ? 0 : kExitVerifyMismatch;
}

void addVerifyCommand(CLI::App& app, int& exitCode) {
  auto report = std::make_shared<std::string>();
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check the outputs (and the input, when present) against an integrity report; exit 0 when all match");
  verify->add_option("report", *report, "The .report.json file that `convert --report` wrote")->required();
  verify->callback([report, &exitCode] {
    // The demuxer's complaints about a damaged file would interleave with the verdict lines.
    av_log_set_level(AV_LOG_QUIET);
    exitCode = verifyReport(*report, std::cout, std::cerr);
  });
}

}  // namespace qmv::cli
