// RecordReader: sequential access to a recording's records through one large refilled window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "recording/byte_source.h"
#include "recording/result.h"

namespace qmv {

// Records lie back to back in file order, so one window read serves thousands of them: no seek
// and no allocation per record. Views stay valid until the next read().
class RecordReader {
 public:
  static constexpr std::size_t kDefaultWindowBytes = std::size_t(1) << 20;

  // base: the recording's first byte in the source; length: the recording's size.
  RecordReader(ByteSource& source, uint64_t base, uint64_t length,
               std::size_t windowBytes = kDefaultWindowBytes);

  // The size bytes at recording position offset. The caller keeps offset + size within the
  // recording; bytes the source fails to deliver read as zero (shortRead() tells).
  const uint8_t* read(uint64_t offset, std::size_t size);

  bool lastReadShort() const { return lastShort_; }
  // Set when the source no longer has the size it had when it was opened (a file still being
  // copied, or truncated): its bytes cannot be trusted any more. Reads then give zeros.
  const std::optional<Error>& sourceError() const { return sourceError_; }
  uint64_t bytesFetched() const { return fetched_; }  // bytes taken from the source so far
  std::size_t windowCapacity() const { return window_.size(); }

 private:
  void refill(uint64_t offset, std::size_t minimum);
  bool sourceUnchanged();

  ByteSource& source_;
  uint64_t base_;
  uint64_t length_;
  uint64_t openedSize_;
  std::size_t windowBytes_;
  std::vector<uint8_t> window_;
  uint64_t windowStart_ = 0;
  std::size_t windowFill_ = 0;   // bytes of window_ that hold recording bytes (or zeros after a short read)
  std::size_t windowValid_ = 0;  // of those, bytes the source really delivered
  uint64_t fetched_ = 0;
  bool lastShort_ = false;
  std::optional<Error> sourceError_;
};

}  // namespace qmv
