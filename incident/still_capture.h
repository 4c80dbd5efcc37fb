// StillCapture: the picture each channel shows at a recorded second, decoded from the key frame before it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decode/xvid_library.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

struct StillPicture {
  int channel = 0;             // 0-based
  uint16_t time = 0;           // the recorded second of the frame shown
  uint32_t entry = 0;          // its index entry
  uint64_t sourceOffset = 0;   // its record's position in the file
  uint32_t framesDecoded = 0;  // from the key frame to it, both included
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgr;  // width * height * 3, rows top-down
};

struct StillRequest {
  uint16_t time = 0;                         // recorded second, as the index counts it
  uint32_t channels = 0;                     // bit c = channel c; only channels with video are captured
  bool caption = false;                      // camera name and recorded time drawn into the picture
  std::shared_ptr<XvidLibrary> xvidLibrary;  // tests: another library; null = the real one
};

// The frame shown at the start of `time` on the recorded clock: the channel's first frame of that second,
// which the clock places at the second's start, or else its last frame before it. A channel with no frame
// at or before `time`, or none after a key frame, gives no picture and a warning.
struct StillCaptureResult {
  std::vector<StillPicture> pictures;
  std::vector<std::string> warnings;
};
Result<StillCaptureResult> captureStills(const RecordingFile& recording, const StillRequest& request);

}  // namespace qmv
