// FrameRate: a frame rate as a reduced fraction, and the recorder's rate byte read as one.
#pragma once

#include <cstdint>

namespace qmv {

// Frames per second = num / den.
struct FrameRate {
  uint32_t num = 0;
  uint32_t den = 1;
  bool operator==(const FrameRate&) const = default;
};

// The header's per-channel rate byte counts quarter frames per second, reduced: 30 -> 15/2, 120 -> 30/1;
// 0 -> 0/1.
FrameRate rateFromByte(uint8_t rateByte);

}  // namespace qmv
