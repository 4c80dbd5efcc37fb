// FileMapping: a whole file mapped read-only into memory, with a copy that never crashes when the file
// shrinks under the map. Each platform's half is its own file (file_mapping_posix.cpp,
// file_mapping_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qmv {

class FileMapping {
 public:
  virtual ~FileMapping() = default;
  virtual const uint8_t* data() const = 0;
  // memcpy out of the map that returns false instead of faulting when the pages are gone (the file was
  // truncated while mapped). The range has been checked against the mapped size.
  virtual bool copy(const uint8_t* from, void* to, std::size_t count) const = 0;
};

// Maps size bytes of the file open at fd; nullptr where that is not possible (an empty file, no address
// space, a file system without maps).
std::unique_ptr<FileMapping> mapFile(int fd, uint64_t size);

}  // namespace qmv
