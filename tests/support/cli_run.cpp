// Runs a command-line program to its end through the shell, capturing exit status, stdout and stderr.
#include "support/cli_run.h"

#include <sys/wait.h>

#include <cstdlib>

#include "support/test_files.h"

namespace qmv::test {

namespace fs = std::filesystem;

std::string quote(const std::string& text) { return "'" + text + "'"; }

CliResult runProgram(const std::string& program, const std::string& args, const fs::path& scratch) {
  const fs::path out = scratch / "stdout.txt", err = scratch / "stderr.txt";
  const std::string command =
      quote(program) + " " + args + " >" + quote(out.string()) + " 2>" + quote(err.string()) + " </dev/null";
  const int raw = std::system(command.c_str());
  CliResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

std::string cliPath() {
  const char* other = std::getenv("QMV2AVI_TEST_CLI");
  return other != nullptr && *other != '\0' ? other : QMV2AVI_CLI_PATH;
}

CliResult runCli(const std::string& args, const std::filesystem::path& scratch) {
  return runProgram(cliPath(), args, scratch);
}

}  // namespace qmv::test
