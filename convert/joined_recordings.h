// JoinedRecordings: recordings of one recorder, hour after hour, as the parts of one timeline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

struct JoinedPart {
  const RecordingFile* recording = nullptr;
  std::string path;
  // Seconds from the first part's header hour to this part's: its index time t is t + offset on the
  // timeline, whose times count from the first part's hour as a single recording's do.
  int64_t offset = 0;
  // Entries before this one repeat what the part before holds (an overlap of the same records): the pass
  // starts here.
  uint32_t firstEntry = 0;
};

// The most seconds one timeline may span: its times are 16-bit seconds from the first part's hour.
inline constexpr int64_t kMaxJoinedSeconds = 65535;

// The parts in recorded order, whatever their order given. Refused with a reason: a recording of another
// recorder (MAC address or system name), one whose hour neither is nor follows the hour of the part before,
// one that overlaps the part before with other records than it, or a timeline longer than kMaxJoinedSeconds.
Result<std::vector<JoinedPart>> joinRecordings(std::vector<JoinedPart> parts);

// One part alone, as a whole recording.
inline std::vector<JoinedPart> singlePart(const RecordingFile& recording, std::string path = {}) {
  return {JoinedPart{&recording, std::move(path), 0, 0}};
}

}  // namespace qmv
