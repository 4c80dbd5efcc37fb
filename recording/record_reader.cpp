// RecordReader: sequential access to a recording's records through one large refilled window.
#include "recording/record_reader.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qmv {

RecordReader::RecordReader(ByteSource& source, uint64_t base, uint64_t length, std::size_t windowBytes)
    : source_(source),
      base_(base),
      length_(length),
      openedSize_(source.size()),
      windowBytes_(std::max<std::size_t>(windowBytes, 1)) {}

// One fstat per window refill: cheap next to the megabytes the refill reads.
bool RecordReader::sourceUnchanged() {
  if (sourceError_) return false;
  const Result<uint64_t> now = source_.currentSize();
  if (!now) {
    sourceError_ = now.error();
  } else if (now.value() != openedSize_) {
    sourceError_ =
        Error{EIO, fmt::format("{} changed size while it was being converted ({} bytes when opened, {} "
                               "now); it is still being written or was truncated",
                               source_.name(), openedSize_, now.value())};
  }
  return !sourceError_;
}

void RecordReader::refill(uint64_t offset, std::size_t minimum) {
  const std::size_t capacity = std::max(windowBytes_, minimum);
  if (window_.size() < capacity) {
    // A record larger than the window grows it once; later refills reuse the space.
    window_.assign(capacity, 0);
  }
  const uint64_t remaining = offset < length_ ? length_ - offset : 0;
  const std::size_t want =
      std::size_t(std::min<uint64_t>(window_.size(), std::max<uint64_t>(remaining, minimum)));
  const std::size_t available = std::size_t(std::min<uint64_t>(want, remaining));

  std::size_t done = 0;
  const bool unchanged = sourceUnchanged();
  while (unchanged && done < available) {
    const std::size_t got = source_.readAt(base_ + offset + done, window_.data() + done, available - done);
    if (got == 0) break;
    done += got;
  }
  // A size change found after the bytes came in may mean they are not the recording's.
  if (!sourceUnchanged()) done = 0;
  fetched_ += done;
  std::memset(window_.data() + done, 0, want - done);
  windowStart_ = offset;
  windowFill_ = want;
  windowValid_ = done;
}

const uint8_t* RecordReader::read(uint64_t offset, std::size_t size) {
  const bool inside = offset >= windowStart_ && offset - windowStart_ <= windowFill_ &&
                      size <= windowFill_ - std::size_t(offset - windowStart_);
  if (!inside) refill(offset, size);
  const std::size_t at = std::size_t(offset - windowStart_);
  lastShort_ = at + size > windowValid_;
  return window_.data() + at;
}

}  // namespace qmv
