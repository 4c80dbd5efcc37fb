// The checks of the recording reader, shared by open and salvage: wrapper, index blocks, record placement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "recording/byte_source.h"
#include "recording/recording_format.h"
#include "recording/recording_index.h"
#include "recording/result.h"

namespace qmv {

// Error codes of a rejected open; the message says what exactly was wrong.
enum OpenError : int {
  kCannotOpen = 1,
  kBadWrapper = 2,
  kBadTrailer = 3,
  kBadChain = 4,
  kBadEntries = 5,
  kCannotRead = 6,
  kNothingRecovered = 7,
  kNotARecording = 8,  // no recording header, and no record of one anywhere in the file
};

// A recording spans one clock hour: 16 channels at 30 frames per second and 16 audio inputs at ten
// blocks per second come to 2.3 million records. Far beyond that an index is damage, and the table
// of 8-byte entries (and the walk that fills it) must not grow with whatever a damaged file claims.
inline constexpr uint32_t kMaxIndexEntries = uint32_t(1) << 24;

struct Placement {
  uint32_t recordingStart = 0;
  uint32_t trailingSize = 0;
  bool wrapped = false;
};

// The three wrapper rules: no "MZ"/"ZM" means a plain recording; the marker at 28
// means start and trailing size at 44 and 56; otherwise the word at 28 is the start.
Result<Placement> readWrapper(ByteSource& source, uint64_t fileLength);

// What a block's head says about it; positions are recording-relative.
struct BlockInfo {
  uint32_t position = 0;
  uint32_t prevBlock = 0;
  uint32_t itemCount = 0;
  uint32_t entryEnd = 0;
  uint32_t baseTime = 0;

  uint64_t end() const {
    return uint64_t(position) + format::kBlockHeadSize + uint64_t(itemCount) * format::kItemSize;
  }
};

std::string hexText(uint64_t value);
std::string blockAt(uint64_t position);
inline bool isTerminator(const uint8_t* item) {
  return item[0] == format::kTerminatorMark && item[1] == format::kTerminatorMark;
}

// Reads the block at recording position r and makes every check a block must pass on its own: its head
// and its terminator lie before limit (limitText names that limit in messages), its back link points
// before it and not into the header, it has items and no more than entryEnd of them, and its terminator
// is FF FF with itemCount + 8 words. trailerWords: the block length the trailer gives the last block.
Result<BlockInfo> readIndexBlock(ByteSource& source, uint64_t recordingStart, uint32_t r, uint64_t limit,
                                 const std::string& limitText,
                                 std::optional<uint32_t> trailerWords = std::nullopt);

// The frame index entry of one index item, without its offset.
FrameIndexEntry entryForItem(const uint8_t* item, uint32_t baseTime);

// Fills out[0 .. itemCount - 1] for the block: its records back to back before it, then its own entry,
// which carries the time of its last record. items: the block's itemCount items as stored. Fails when a
// record would begin before floor (the end of the previous block, or of the header); floorText says
// which. Bit c of videoMask is set for every video record of channel c.
Status layBlockRecords(const BlockInfo& block, const uint8_t* items, uint64_t floor, const char* floorText,
                       FrameIndexEntry* out, uint32_t& videoMask);

}  // namespace qmv
