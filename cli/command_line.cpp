// The command line the tool was started with, and the tool as the integrity report names it.
#include "cli/command_line.h"

namespace qmv::cli {
namespace {

std::vector<std::string>& commandLineStore() {
  static std::vector<std::string> args;
  return args;
}

}  // namespace

void setCommandLine(int argc, const char* const* argv) {
  std::vector<std::string>& args = commandLineStore();
  args.assign(argv, argv + argc);
}

const std::vector<std::string>& commandLine() { return commandLineStore(); }

ToolIdentity toolIdentity() { return ToolIdentity{"qmv2avi-cli", QMV2AVI_VERSION, commandLine()}; }

}  // namespace qmv::cli
