// Which MPEG-4 stream header a pass-through channel gets. Most format codes store a header of their own
// picture size; some (8-12, 16, 17, 24-28) store one of another size, and which of the two a camera codes is
// not known. The channel's first key frame decides: it is decoded with each header, and the one that
// decodes it cleanly and whole is kept; when neither or both do, the stored one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/frame_geometry.h"
#include "recording/recording_file.h"

namespace qmv {

struct StreamHeaderChoice {
  enum class Basis {
    kSingle,          // the stored header states the picture size: nothing to choose
    kStoredDecodes,   // only the stored header decodes the first key frame whole
    kPictureDecodes,  // only the picture size's header does
    kBothDecode,      // both do (the same macroblock grid): the stored one is kept
    kNeitherDecodes,  // neither does: the stored one is kept
    kNoKeyFrame,      // no key frame to try: the stored one is kept
  };
  Basis basis = Basis::kSingle;
  bool stored = true;  // the recorder's stored header; false: one written for the picture size
  int32_t width = 0;   // the coded size the chosen header states
  int32_t height = 0;
  PixelAspect pixelAspect;
  std::vector<uint8_t>
      header;  // VO + VOL for the stream's extra data; empty for codes whose frames carry one
  int32_t storedWidth = 0, storedHeight = 0;    // the two candidates
  int32_t pictureWidth = 0, pictureHeight = 0;  // (equal for kSingle)
};

// The two candidates of formatCode, tried on keyFrame (stream bytes in decoder order, with at least
// kPayloadPadding readable zero bytes after them); keyFrame null when the channel has none.
StreamHeaderChoice chooseStreamHeader(uint8_t formatCode, const uint8_t* keyFrame, std::size_t size);

// True when the format code's stored header states another size than its picture.
bool hasHeaderChoice(uint8_t formatCode);

// The stream bytes of channel c's first key frame of formatCode from entry `from` on, followed by
// kPayloadPadding zeros; empty when none lies among the channel's next records (a bounded look).
std::vector<uint8_t> firstKeyFrameStream(const RecordingFile& recording, int channel, uint8_t formatCode,
                                         uint32_t from = 0);

// The choice for channel c of recording, whose frames are of formatCode, from entry `from` on.
StreamHeaderChoice chooseChannelStreamHeader(const RecordingFile& recording, int channel, uint8_t formatCode,
                                             uint32_t from = 0);

// "704x480, the stored header: the first key frame decodes whole with it, not with 640x480"; empty for
// kSingle.
std::string streamHeaderText(const StreamHeaderChoice& choice);
// "stored", "pictureSize"
const char* streamHeaderSourceName(const StreamHeaderChoice& choice);
// "storedDecodes", "pictureDecodes", "bothDecode", "neitherDecodes", "noKeyFrame", "single"
const char* streamHeaderBasisName(StreamHeaderChoice::Basis basis);

}  // namespace qmv
