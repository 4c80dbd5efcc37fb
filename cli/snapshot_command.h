// The `snapshot` subcommand: PNG stills of chosen recorded times, one per channel.
#pragma once

namespace CLI {
class App;
}

namespace qmv::cli {

// Registers `snapshot FILE --at TIME [--every SECONDS --to TIME] [--channels LIST] [-o DIR] [--caption]`;
// its callback stores its exit status in exitCode.
void addSnapshotCommand(CLI::App& app, int& exitCode);

}  // namespace qmv::cli
