// The `verify` subcommand: re-reads the files an integrity report names and checks every hash in it.
#include "cli/verify_command.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <string_view>

#include "cli/text_format.h"
#include "report/report_check.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv::cli {

int verifyReport(const std::string& reportPath, const std::string& root, std::ostream& out,
                 std::ostream& err) {
  const Result<ReportCheck> check = checkReport(reportPath, root);
  if (!check) {
    err << "qmv2avi-cli verify: " << consoleText(check.error().message) << "\n";
    return kExitVerifyBadReport;
  }
  // A verdict, then the file's name and what was found, escaped: a name cannot start a line of its own.
  const auto say = [&out](std::string_view verdict, const std::string& path, const std::string& text) {
    out << verdict << consoleText(path) << ": " << consoleText(text) << "\n";
  };
  for (const CheckedFile& output : check->outputs) {
    if (output.verdict == FileVerdict::kMissing) {
      say("MISMATCH ", output.path, "missing");
    } else if (output.verdict == FileVerdict::kRefused) {
      say("REFUSED ", output.path, output.problems);
    } else if (output.verdict == FileVerdict::kMatches) {
      say("OK ", output.path, "SHA-256 and " + std::to_string(output.frames) + " frames match");
    } else {
      say("MISMATCH ", output.path, output.problems);
    }
  }
  for (const CheckedFile& side : check->sideFiles) {
    if (side.verdict == FileVerdict::kMissing) {
      say("MISMATCH ", side.path, "missing");
    } else if (side.verdict == FileVerdict::kRefused) {
      say("REFUSED ", side.path, side.problems);
    } else if (side.verdict == FileVerdict::kMatches) {
      say("OK ", side.path, "SHA-256 matches");
    } else {
      say("MISMATCH ", side.path, side.problems);
    }
  }
  const CheckedFile& input = check->input;
  if (input.verdict == FileVerdict::kMissing) {
    say("NOT CHECKED input ", input.path, "not found");
  } else if (input.verdict == FileVerdict::kRefused) {
    say("NOT CHECKED input ", input.path, input.problems);
  } else if (input.verdict == FileVerdict::kMatches) {
    say("OK input ", input.path,
        check->inputWrapped ? "SHA-256 of the file and of the carved recording match" : "SHA-256 matches");
  } else {
    say("MISMATCH input ", input.path, input.problems);
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
  auto root = std::make_shared<std::string>();
  verify->add_option(
      "--root", *root,
      "Look for the files only under DIR (default: the report's folder); nothing outside it is "
      "opened");
  verify->callback([report, root, &exitCode] {
    // The demuxer's complaints about a damaged file would interleave with the verdict lines.
    av_log_set_level(AV_LOG_QUIET);
    exitCode = verifyReport(*report, *root, std::cout, std::cerr);
  });
}

}  // namespace qmv::cli
