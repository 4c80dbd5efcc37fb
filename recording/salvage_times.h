// Times for records salvage found by their heads alone: no index gives them one, so they are estimated from
// their order, their channel's frame rate and the nearest indexed times before and after them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "recording/recording_format.h"
#include "recording/recording_index.h"
#include "recording/salvage.h"

namespace qmv {

// For each run of walked entries (found kWalked, with the gap entries among them): a channel's k-th frame in
// the run is placed k frame intervals after the run's start, the run starting at the last indexed time
// before it (or, with none, ending at the first after it), and squeezed to fit before that first indexed
// time after it when it would run past. Audio and auxiliary records take the time of the last frame before
// them, so picture and sound stay together. rateBytes: the header's declared rates (quarter frames per
// second; 0 where unknown: the channel's indexed frames tell, else one frame a second). Returns how many
// entries got an estimated time.
uint64_t estimateWalkedTimes(std::vector<FrameIndexEntry>& entries, uint32_t count,
                             const std::vector<Found>& found,
                             const std::array<uint8_t, format::kChannelCount>& rateBytes);

}  // namespace qmv
