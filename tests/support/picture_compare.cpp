// Comparing packed BGR24 pictures.
#include "support/picture_compare.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace qmv::test {

double psnrBgr(const uint8_t* a, const uint8_t* b, int width, int height) {
  const std::size_t bytes = std::size_t(width) * std::size_t(height) * 3;
  if (bytes == 0) return std::numeric_limits<double>::infinity();
  double sum = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  const double mse = sum / double(bytes);
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<uint8_t> flipRowsBgr(const uint8_t* picture, int width, int height) {
  const std::size_t row = std::size_t(width) * 3;
  std::vector<uint8_t> out(row * std::size_t(height));
  for (int y = 0; y < height; ++y) {
    std::memcpy(out.data() + row * std::size_t(y), picture + row * std::size_t(height - 1 - y), row);
  }
  return out;
}

std::vector<uint8_t> swapRedBlueBgr(const uint8_t* picture, int width, int height) {
  const std::size_t bytes = std::size_t(width) * std::size_t(height) * 3;
  std::vector<uint8_t> out(picture, picture + bytes);
  for (std::size_t i = 0; i < bytes; i += 3) std::swap(out[i], out[i + 2]);
  return out;
}

}  // namespace qmv::test
