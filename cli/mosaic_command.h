// The `mosaic` subcommand: the chosen channels side by side in one MP4 on the recorded clock.
#pragma once

namespace CLI {
class App;
}

namespace qmv::cli {

// Registers `mosaic FILE [--channels LIST] [--from TIME] [--to TIME] [-o FILE] [--overwrite]`; its callback
// stores its exit status in exitCode.
void addMosaicCommand(CLI::App& app, int& exitCode);

}  // namespace qmv::cli
