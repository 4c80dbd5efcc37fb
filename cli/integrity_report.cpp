// The command-line side of the integrity report: where --report puts it, and what it says about the tool.
#include "cli/integrity_report.h"

#include <filesystem>
#include <system_error>

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

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

std::string integrityReportPath(const std::string& requested, const std::string& dir,
                                const std::string& baseName) {
  const std::string name = baseName + ".report.json";
  if (requested.empty()) return dir + name;
  std::error_code ec;
  if (fs::is_directory(requested, ec)) return (fs::path(requested) / name).string();
  return requested;
}

ReportSetup reportSetup(bool passThrough, const std::string& encoder) {
  return ReportSetup{"qmv2avi-cli", QMV2AVI_VERSION, commandLine(), passThrough, passThrough ? "" : encoder};
}

}  // namespace qmv::cli
