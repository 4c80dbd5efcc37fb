// MPEG-4 Part 2 video object and video object layer headers written field by field, for a stream's extra
// data.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/frame_geometry.h"

namespace qmv {

// The recorder's VO + VOL header (the fields of kVolHeaderTemplate) for a width x height picture whose
// pixels have the given shape. Square pixels give the template's aspect_ratio_info 1, byte for byte; any
// other shape is written as an extended pixel aspect ratio (aspect_ratio_info 15, par_width, par_height),
// which makes the header two bytes longer. Empty when a value does not fit its field (sizes 1..8191,
// ratio terms 1..255).
std::vector<uint8_t> makeVolHeader(int width, int height, PixelAspect aspect = {});

}  // namespace qmv
