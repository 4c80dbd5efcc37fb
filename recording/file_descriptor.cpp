// Reads and writes at an offset that resume after signals and short transfers.
#include "recording/file_descriptor.h"

#include <algorithm>
#include <cerrno>

namespace qmv {
namespace {

// One call moves at most this much, well below SSIZE_MAX and Linux's own 2 GiB cap.
constexpr std::size_t kMaxCallBytes = std::size_t(1) << 30;

template <typename Call>
Transfer transferFully(std::size_t count, Call call) {
  Transfer t;
  while (t.bytes < count) {
    const ssize_t moved = call(t.bytes, std::min(count - t.bytes, kMaxCallBytes));
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) {
      t.error = errno;
      break;
    }
    if (moved == 0) break;
    t.bytes += std::size_t(moved);
  }
  return t;
}

}  // namespace

Transfer readFully(int fd, void* destination, std::size_t count, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(destination);
  return transferFully(count, [&](std::size_t done, std::size_t n) {
    return ::pread(fd, out + done, n, off_t(offset + done));
  });
}

Transfer writeFully(int fd, const void* data, std::size_t count, uint64_t offset) {
  const auto* in = static_cast<const uint8_t*>(data);
  return transferFully(count, [&](std::size_t done, std::size_t n) {
    return ::pwrite(fd, in + done, n, off_t(offset + done));
  });
}

}  // namespace qmv
