// VideoRecord: one video record of a recording read for the decoder, outside the conversion pass.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "recording/frame_record.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"

namespace qmv {

// Its head, and its payload laid out for the decoder (frame points into stream).
struct ReadRecord {
  uint8_t head[format::kRecordHeadSize] = {};
  std::vector<uint8_t> stream;
  FrameHeader frame;

  bool key() const { return format::isKeyFrameType(head[format::kRecFrameType]); }
};

// Entry k's record; nullopt when its extent is unusable, it cannot be read or it is no video record.
std::optional<ReadRecord> readVideoRecord(const RecordingFile& recording, uint32_t k);

}  // namespace qmv
