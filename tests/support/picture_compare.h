// Comparing packed BGR24 pictures: PSNR, and the typical faults (flipped rows, swapped red and blue) to test
// it against.
#pragma once

#include <cstdint>
#include <vector>

namespace qmv::test {

// Peak signal-to-noise ratio in dB over every byte of two width * height * 3 pictures; infinity when equal.
double psnrBgr(const uint8_t* a, const uint8_t* b, int width, int height);

// The picture with its rows in reverse order.
std::vector<uint8_t> flipRowsBgr(const uint8_t* picture, int width, int height);
// The picture with blue and red exchanged in every pixel.
std::vector<uint8_t> swapRedBlueBgr(const uint8_t* picture, int width, int height);

}  // namespace qmv::test
