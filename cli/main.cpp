// qmv2avi-cli: the command-line front end; each subcommand registers itself from its own file.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/convert_command.h"
#include "cli/exit_codes.h"
#include "cli/info_command.h"
#include "cli/mosaic_command.h"
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
  qmv::cli::prepareProcess();
  // CLI11 and the report take the arguments as UTF-8 file names.
  const std::vector<std::string> args = qmv::cli::utf8Arguments(argc, argv);
  std::vector<const char*> argPointers;
  for (const std::string& arg : args) argPointers.push_back(arg.c_str());
  argc = int(argPointers.size());
  argPointers.push_back(nullptr);
  const char* const* utf8Argv = argPointers.data();
  qmv::cli::setCommandLine(argc, utf8Argv);
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
  qmv::cli::addMosaicCommand(app, exitCode);

  try {
    app.parse(argc, utf8Argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version arrive here as well, with exit code 0.
    if (e.get_exit_code() == 0) return app.exit(e);
    std::cerr << app.get_name() << ": " << qmv::cli::consoleText(e.what()) << "\n" << usageLine(app) << "\n";
    return qmv::cli::kExitUsage;
  }
  return exitCode;
}
