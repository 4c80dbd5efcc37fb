// PictureScaler: packed BGR24 pictures resized through libswscale, so that a half-height field fills its full
// frame.
#pragma once

#include <cstdint>

#include "recording/result.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {

class PictureScaler {
 public:
  // src: sourceWidth x sourceHeight pixels, dst: width x height, both packed BGR24 rows top-down without
  // padding. The context is kept while the sizes stay the same.
  Status scale(const uint8_t* src, int sourceWidth, int sourceHeight, uint8_t* dst, int width, int height);

 private:
  ff::Sws sws_;
};

}  // namespace qmv
