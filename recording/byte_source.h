// ByteSource: read-at-offset access to a recording, backed by a file or by bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/result.h"

namespace qmv {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads up to count bytes at offset; returns how many were read (short at the end,
  // and possibly short before it).
  // Safe to call from one thread at a time per source.
  virtual std::size_t readAt(uint64_t offset, void* destination, std::size_t count) = 0;
  // The name used in messages (the file path, or a label for memory).
  virtual const std::string& name() const = 0;
  // All size() bytes at once (a memory map for files), or nullptr where that is not possible.
  // Scattered small reads (one record head per frame) are far cheaper through it than
  // through one readAt call each.
  virtual const uint8_t* view() { return nullptr; }
  // Copies count bytes at offset out of view(). False when there is no view, the range is
  // outside it, or the file shrank under its map (the pages are gone): never a crash.
  virtual bool copyFromView(uint64_t offset, void* destination, std::size_t count);
  // The size as it is now: a file that is still being copied, or truncated, differs from
  // size(). Sources that cannot change return size().
  virtual Result<uint64_t> currentSize() { return size(); }

  // True when exactly count bytes were read. A source may hand out fewer bytes
  // than asked before its end, so this keeps reading until a call brings nothing.
  bool readExact(uint64_t offset, void* destination, std::size_t count) {
    auto* out = static_cast<uint8_t*>(destination);
    std::size_t done = 0;
    while (done < count) {
      const std::size_t got = readAt(offset + done, out + done, count - done);
      if (got == 0) return false;
      done += got;
    }
    return true;
  }
};

// A file opened for reading; positions are 64-bit. Its view() maps the file (file_mapping.h); a copy out
// of the map fails instead of crashing when the file has shrunk.
Result<std::unique_ptr<ByteSource>> openFileSource(const std::string& path);

// Bytes held in memory (tests, generated recordings).
std::unique_ptr<ByteSource> makeMemorySource(std::vector<uint8_t> bytes, std::string name = "memory");

}  // namespace qmv
