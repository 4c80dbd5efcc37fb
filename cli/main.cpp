// qmv2avi-cli: the command-line front end; each subcommand registers itself from its own file.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <string>

#include "cli/command_line.h"
#include "cli/convert_command.h"
#include "cli/exit_codes.h"
#include "cli/info_command.h"
#include "cli/snapshot_command.h"
#include "cli/text_format.h"
#include "cli/verify_command.h"
#include "recording/standard_descriptors.h"

namespace {

std::string usageLine(const CLI::App& app) {
  std::string commands;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands += (commands.empty() ? "" : "|") + sub->get_name();
  }
  return "Usage: " + app.get_name() + " {" + commands + "} [OPTIONS] ... (see " + app.get_name() + " --help)";
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing can be said when this fails: the run ends as an output failure, before any file is opened.
  if (!qmv::keepStandardDescriptorsOpen()) return qmv::cli::kExitOutputError;
  // A file-size limit then fails the write with EFBIG, which the writer reports and repairs,
  // instead of killing the process with half-written files.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader of the console that quits (`| head`, a closed terminal) must not kill a conversion halfway:
  // the write fails with EPIPE instead, which only ends the printing, and every file is finished.
  std::signal(SIGPIPE, SIG_IGN);
  qmv::cli::setCommandLine(argc, argv);
  CLI::App app{
      "Converts recordings of a 16-channel DVR (.qmv, or a player .exe with a recording) to video files\n"
      "(AVI, MKV or MP4), one per camera channel.",
      "qmv2avi-cli"};
  app.set_version_flag("--version", std::string("qmv2avi-cli ") + QMV2AVI_VERSION);
  app.require_subcommand(1);

  int exitCode = qmv::cli::kExitOk;
  qmv::cli::addInfoCommand(app, exitCode);
  qmv::cli::addConvertCommand(app, exitCode);
  qmv::cli::addVerifyCommand(app, exitCode);
  qmv::cli::addSnapshotCommand(app, exitCode);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version arrive here as well, with exit code 0.
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << app.get_name() << ": " << qmv::cli::consoleText(e.what()) << "\n" << usageLine(app) << "\n";
    return qmv::cli::kExitUsage;
  }
  return exitCode;
}
