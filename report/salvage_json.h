// What salvage recovered, as counted from the recovered records and as JSON for info and the integrity
// report.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "recording/recording_file.h"

namespace qmv {

struct SalvageChannelCounts {
  uint64_t records = 0, frames = 0, keyFrames = 0;
};

// Records, frames and key frames per channel, from the record heads as the worker will read them.
std::array<SalvageChannelCounts, format::kChannelCount> countSalvagedChannels(const RecordingFile& recording);

// Null for a whole recording. withRecords adds every recovered record's file offset and how it was found.
nlohmann::json salvageJson(const RecordingFile& recording, bool withRecords);

}  // namespace qmv
