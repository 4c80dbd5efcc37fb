// The `convert` subcommand: one video file per channel, pass-through or re-encoded, with a progress bar.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace qmv::cli {

// Registers `convert FILE [-o DIR] [--channels LIST] [--codec xvid|divx] [--reencode ENCODER ...]
// [--list-encoders] [--overwrite]`; its callback stores its exit status in exitCode.
void addConvertCommand(CLI::App& app, int& exitCode);

// "1,3,5-8" (1-based channel numbers, CH-01 = 1) as a channel mask with bit c for CH-(c+1);
// nullopt for anything else (0, 17, "3-1", empty items).
std::optional<uint32_t> parseChannelList(const std::string& list);
// The check of a --channels option: parseChannelList accepts the list.
CLI::Validator channelListValidator();

}  // namespace qmv::cli
