// The `verify` subcommand: re-reads the files an integrity report names and checks every hash in it.
#pragma once

#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace qmv::cli {

inline constexpr int kExitVerifyMismatch = 1;   // verify: an output (or the input) is missing or differs
inline constexpr int kExitVerifyBadReport = 2;  // verify: the report cannot be read

// Registers `verify REPORT`; its callback stores its exit status in exitCode.
void addVerifyCommand(CLI::App& app, int& exitCode);

// Checks every output the report at reportPath names (file SHA-256, then each video sample's SHA-256
// by position) and the input, looking only under root (the report's folder when empty). One line per file to
// out, problems with the report itself to err. Returns 0, kExitVerifyMismatch or kExitVerifyBadReport.
int verifyReport(const std::string& reportPath, const std::string& root, std::ostream& out,
                 std::ostream& err);

}  // namespace qmv::cli
