// The recorder's rate byte as a frame rate.
#include "recording/frame_rate.h"

#include <numeric>

namespace qmv {

FrameRate rateFromByte(uint8_t rateByte) {
  if (rateByte == 0) return FrameRate{0, 1};
  const uint32_t g = std::gcd(uint32_t(rateByte), 4u);
  return FrameRate{rateByte / g, 4u / g};
}

}  // namespace qmv
