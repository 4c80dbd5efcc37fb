// The checks of the recording reader, shared by open and salvage: wrapper, index blocks, record placement.
#include "recording/reader_checks.h"

#include <fmt/format.h>

#include <algorithm>

#include "recording/hex_text.h"

namespace qmv {

using namespace format;

namespace {

Error fail(OpenError code, std::string message) { return Error{code, std::move(message)}; }

}  // namespace

Result<Placement> readWrapper(ByteSource& source, uint64_t fileLength) {
  uint8_t probe[kWrapperProbeSize] = {};
  const std::size_t have = std::size_t(std::min<uint64_t>(fileLength, kWrapperProbeSize));
  if (!source.readExact(0, probe, have)) return fail(kCannotRead, "cannot read the first bytes of the file");

  Placement placement;
  const bool mz = have >= 2 && probe[0] == kExeMagicMz[0] && probe[1] == kExeMagicMz[1];
  const bool zm = have >= 2 && probe[0] == kExeMagicZm[0] && probe[1] == kExeMagicZm[1];
  if (!mz && !zm) return placement;

  placement.wrapped = true;
  const auto tooShort = [&](std::size_t needed) {
    return fail(kBadWrapper, "file starts like an executable but is only " + std::to_string(fileLength) +
                                 " bytes long, too short for its header (" + std::to_string(needed) +
                                 " bytes)");
  };
  if (have < kWrapperMarkerOffset + 4) return tooShort(kWrapperMarkerOffset + 4);
  const uint32_t word28 = readLe32(probe + kWrapperMarkerOffset);
  if (word28 != kWrapperMarker) {
    placement.recordingStart = word28;
    return placement;
  }
  if (have < kWrapperTrailingOffset + 4) return tooShort(kWrapperTrailingOffset + 4);
  placement.recordingStart = readLe32(probe + kWrapperStartOffset);
  placement.trailingSize = readLe32(probe + kWrapperTrailingOffset);
  return placement;
}

std::string hexText(uint64_t value) { return fmt::format("0x{:X}", value); }

std::string blockAt(uint64_t position) { return "index block at " + hexText(position); }

Result<BlockInfo> readIndexBlock(ByteSource& source, uint64_t recordingStart, uint32_t r, uint64_t limit,
                                 const std::string& limitText, std::optional<uint32_t> trailerWords) {
  if (uint64_t(r) + kBlockHeadSize > limit) {
    return fail(kBadChain, blockAt(r) + " has its head past " + limitText);
  }
  uint8_t head[kBlockHeadReadSize];
  if (!source.readExact(recordingStart + r, head, sizeof head)) {
    return fail(kCannotRead, "cannot read the head of " + blockAt(r));
  }
  BlockInfo block;
  block.position = r;
  block.prevBlock = readBe32(head + kBlockPrevOffset);
  block.itemCount = readBe32(head + kBlockItemCountOffset);
  block.entryEnd = readBe32(head + kBlockEntryEndOffset);
  block.baseTime = readBe32(head + kBlockBaseTimeOffset);

  if (block.prevBlock >= r) {
    return fail(kBadChain,
                blockAt(r) + " links back to " + hexText(block.prevBlock) + ", which is not before it");
  }
  if (block.itemCount == 0) {
    return fail(kBadChain, blockAt(r) + " has no items, not even its terminator");
  }
  if (block.itemCount > block.entryEnd) {
    return fail(kBadChain, blockAt(r) + " has " + std::to_string(block.itemCount) +
                               " items but ends at frame index entry " + std::to_string(block.entryEnd));
  }
  if (trailerWords && uint64_t(block.itemCount) + kTerminatorExtraWords != *trailerWords) {
    return fail(kBadChain, "the last " + blockAt(r) + " has " + std::to_string(block.itemCount) +
                               " items, which need " +
                               std::to_string(uint64_t(block.itemCount) + kTerminatorExtraWords) +
                               " words, but the trailer gives it " + std::to_string(*trailerWords));
  }
  if (block.end() > limit) {
    return fail(kBadChain,
                blockAt(r) + " with " + std::to_string(block.itemCount) + " items runs past " + limitText);
  }
  const uint64_t terminatorAt = block.end() - kItemSize;
  uint8_t terminator[kItemSize];
  if (!source.readExact(recordingStart + terminatorAt, terminator, sizeof terminator)) {
    return fail(kCannotRead, "cannot read the terminator of " + blockAt(r));
  }
  if (!isTerminator(terminator)) {
    return fail(kBadChain, blockAt(r) + " has " + hexDump({terminator, 4}) + " as its terminator at " +
                               hexText(terminatorAt) + ", which does not begin with FF FF");
  }
  const uint32_t words = readBe16(terminator + 2);
  if (words != uint64_t(block.itemCount) + kTerminatorExtraWords) {
    return fail(kBadChain, blockAt(r) + " has a terminator of " + std::to_string(words) + " words, but its " +
                               std::to_string(block.itemCount) + " items need " +
                               std::to_string(uint64_t(block.itemCount) + kTerminatorExtraWords));
  }
  if (block.prevBlock < kFirstBlockLink) {
    return fail(kBadChain,
                blockAt(r) + " links back to " + hexText(block.prevBlock) + ", inside the 512-byte header");
  }
  return block;
}

FrameIndexEntry entryForItem(const uint8_t* item, uint32_t baseTime) {
  FrameIndexEntry entry;
  const uint8_t code = item[kItemCodeOffset];
  const uint8_t c = code & 0x0F;
  entry.time = uint16_t(baseTime + item[kItemTimeDeltaOffset]);
  switch (code & 0xF0) {
    case kCodeAuxChannel:
      entry.kind = uint8_t(kKindAuxChannelBase + c);
      entry.flags = kFlagsAux;
      break;
    case kCodeAux:
      entry.kind = kKindAux;
      entry.flags = kFlagsAux;
      break;
    default:
      entry.flags = code & 0xF0;
      entry.kind = (code & kCodeAudioBit) ? uint8_t(kKindAudioBase + c) : c;
      break;
  }
  return entry;
}

Status layBlockRecords(const BlockInfo& block, const uint8_t* items, uint64_t floor, const char* floorText,
                       FrameIndexEntry* out, uint32_t& videoMask) {
  const uint32_t n = block.itemCount;
  FrameIndexEntry& own = out[n - 1];
  own.kind = kKindBlock;
  own.flags = 0;
  own.offset = block.position;
  own.time = uint16_t(block.baseTime + (n >= 2 ? items[(n - 2) * kItemSize + kItemTimeDeltaOffset] : 0));
  for (uint32_t i = n - 1; i-- > 0;) {
    const uint8_t* item = items + std::size_t(i) * kItemSize;
    const uint64_t extent = uint64_t(readBe16(item + kItemLengthOffset)) * kItemSize;
    const uint32_t next = out[i + 1].offset;
    if (next < floor || extent > next - floor) {
      return fail(kBadEntries, blockAt(block.position) + ": the record of item " + std::to_string(i) +
                                   " would begin before " + hexText(floor) + ", where " + floorText);
    }
    FrameIndexEntry entry = entryForItem(item, block.baseTime);
    entry.offset = uint32_t(next - extent);
    if (entry.kind < kChannelCount) videoMask |= 1u << entry.kind;
    out[i] = entry;
  }
  return okStatus();
}

}  // namespace qmv
