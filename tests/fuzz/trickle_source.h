// TrickleSource: bytes in memory handed out a few at a time and without a view, for the fuzz targets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "recording/byte_source.h"

namespace qmv::fuzz {

// At most chunk bytes per read and no view: a reader's other path, and its short-read handling.
class TrickleSource final : public ByteSource {
 public:
  TrickleSource(std::vector<uint8_t> bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  uint64_t size() const override { return bytes_.size(); }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n = std::min<uint64_t>({count, chunk_, bytes_.size() - offset});
    std::memcpy(destination, bytes_.data() + offset, n);
    return n;
  }
  const std::string& name() const override { return name_; }

 private:
  std::vector<uint8_t> bytes_;
  std::size_t chunk_;
  std::string name_ = "trickle";
};

}  // namespace qmv::fuzz
