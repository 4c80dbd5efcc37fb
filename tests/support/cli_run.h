// Runs a command-line program to its end through the shell, capturing exit status, stdout and stderr.
#pragma once

#include <filesystem>
#include <string>

namespace qmv::test {

struct CliResult {
  int status = -1;  // exit status, -1 when the program did not exit normally
  std::string out, err;
};

// 'text' for a shell command line; the paths tests pass hold no single quote.
std::string quote(const std::string& text);

// Runs `program args` with stdin from /dev/null. Output goes through stdout.txt and stderr.txt in
// scratch, which are removed afterwards so that they never show up among a test's output files.
CliResult runProgram(const std::string& program, const std::string& args,
                     const std::filesystem::path& scratch);
// The qmv2avi-cli under test: the build's own, or the one QMV2AVI_TEST_CLI names (to run the same cases
// against another build of the tool, such as one from before a fix).
std::string cliPath();
// runProgram on cliPath().
CliResult runCli(const std::string& args, const std::filesystem::path& scratch);

}  // namespace qmv::test
