// What salvage recovered, as counted from the recovered records and as JSON for info and the integrity
// report.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>

#include "recording/recording_file.h"

namespace qmv {

struct SalvageChannelCounts {
  uint64_t records = 0, frames = 0, keyFrames = 0;
};

// Records, frames and key frames per channel, from the record heads as the worker will read them.
std::array<SalvageChannelCounts, format::kChannelCount> countSalvagedChannels(const RecordingFile& recording);

// Null for a whole recording; otherwise what was recovered and lost, by range and channel.
nlohmann::json salvageJson(const RecordingFile& recording);

// Every recovered record, one small object at a time (its file offset, kind, channel and how it was found):
// a million of them are written as they come, never held as one JSON value.
void forEachRecoveredRecord(const RecordingFile& recording,
                            const std::function<void(const nlohmann::json&)>& put);

}  // namespace qmv
