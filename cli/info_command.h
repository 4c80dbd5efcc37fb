// The `info` subcommand: a recording's description, channels and per-channel frame statistics.
#pragma once

namespace CLI {
class App;
}

namespace qmv::cli {

// Registers `info FILE [--json]`; its callback stores its exit status in exitCode.
void addInfoCommand(CLI::App& app, int& exitCode);

}  // namespace qmv::cli
