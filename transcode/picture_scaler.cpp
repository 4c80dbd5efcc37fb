// PictureScaler: packed BGR24 pictures resized through libswscale, so that a half-height field fills its full
// frame.
#include "transcode/picture_scaler.h"

#include <string>

namespace qmv {
namespace {

// A half-height picture is one field: each of its rows stands for two rows of the scene. Bicubic
// interpolation fills the missing rows between their neighbours; line doubling (SWS_POINT) leaves
// two-row steps on every slanted edge, and bilinear softens the text and edges that line doubling keeps.
constexpr int kScaleFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;

}  // namespace

Status PictureScaler::scale(const uint8_t* src, int sourceWidth, int sourceHeight, uint8_t* dst, int width,
                            int height) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0)
    return Error{AVERROR(EINVAL), "cannot scale a picture of " + std::to_string(sourceWidth) + " x " +
                                      std::to_string(sourceHeight) + " to " + std::to_string(width) + " x " +
                                      std::to_string(height)};
  // sws_getCachedContext frees the context it is given when it makes a new one.
  SwsContext* context =
      sws_getCachedContext(sws_.release(), sourceWidth, sourceHeight, AV_PIX_FMT_BGR24, width, height,
                           AV_PIX_FMT_BGR24, kScaleFlags, nullptr, nullptr, nullptr);
  sws_.reset(context);
  if (!sws_) return Error{AVERROR(ENOMEM), "cannot set up the picture scaler"};
  const uint8_t* srcPlanes[4] = {src, nullptr, nullptr, nullptr};
  const int srcStrides[4] = {sourceWidth * 3, 0, 0, 0};
  uint8_t* dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
  const int dstStrides[4] = {width * 3, 0, 0, 0};
  if (const int rows = sws_scale(sws_.get(), srcPlanes, srcStrides, 0, sourceHeight, dstPlanes, dstStrides);
      rows != height)
    return Error{rows < 0 ? rows : AVERROR(EINVAL), "the picture scaler gave " + std::to_string(rows) +
                                                        " of " + std::to_string(height) + " rows"};
  return okStatus();
}

}  // namespace qmv
