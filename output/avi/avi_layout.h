// The chunks of an AVI file: one RIFF chunk walker, and where the headers, the data and the index lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "recording/byte_source.h"

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libavutil/macros.h>
}

namespace qmv::avi {

// Header fields the repair patches and the tests read, as byte offsets into a chunk's data.
inline constexpr std::size_t kAvihBytes = 56;
inline constexpr std::size_t kAvihFlags = 12, kAvihTotalFrames = 16;
inline constexpr std::size_t kStrhBytes = 56;
inline constexpr std::size_t kStrhType = 0, kStrhLength = 32, kStrhSampleSize = 44;
inline constexpr uint32_t kAvifHasIndex = 0x10;      // AVIF_HASINDEX in avih's flags
inline constexpr std::size_t kIndexEntryBytes = 16;  // idx1: chunk id, flags, offset from 'movi', size
inline constexpr uint32_t kIndexKeyFrame = 0x10;     // AVIIF_KEYFRAME in an idx1 entry's flags

struct Chunk {
  uint64_t offset = 0;  // of its 8-byte head: the id, then the size of its data
  uint32_t id = 0;
  uint32_t size = 0;      // as the head states it; the data may run past the file's end
  uint32_t listType = 0;  // RIFF and LIST: the four-character code their data starts with, else 0

  uint64_t data() const { return offset + 8; }
  // Data of odd size is followed by a pad byte; the next chunk starts after it.
  uint64_t end() const { return data() + size + (size & 1); }
  bool isList(uint32_t type) const {
    return (id == MKTAG('L', 'I', 'S', 'T') || id == MKTAG('R', 'I', 'F', 'F')) && listType == type;
  }
};

// Calls visit for the chunks that follow each other from begin, as long as their heads lie before end
// and visit returns true. A chunk's data may run past end (a file cut short, a size the muxer had not
// written yet); visit compares chunk.end() with end where that matters. The walk never goes past end.
void forEachChunk(ByteSource& file, uint64_t begin, uint64_t end,
                  const std::function<bool(const Chunk&)>& visit);

// Up to count bytes of a chunk's data (fewer when the chunk or the file is shorter).
std::vector<uint8_t> readData(ByteSource& file, const Chunk& chunk, std::size_t count);

// The parts of an AVI file's first RIFF, found from chunk heads alone. A file whose writing failed has
// sizes of 0 in its RIFF and movi heads: the walk then runs to the file's end and stops at movi.
struct Layout {
  Chunk riff;
  std::optional<Chunk> avih;
  struct Stream {
    std::optional<Chunk> strh, strf;
  };
  std::vector<Stream> streams;  // one per strl list, in stream order
  std::optional<Chunk> movi;    // the LIST that holds the data chunks
  std::optional<Chunk> idx1;
};
// Nothing when the file does not start as RIFF.
std::optional<Layout> readLayout(ByteSource& file);

// The stream number of a data chunk id ("01wb" -> 1), or -1 when the id does not start with two digits.
int streamOfChunk(uint32_t id);

}  // namespace qmv::avi
