// Deliberately damaged copies of a generated recording, each breaking one rule of the index chain.
#include <algorithm>

#include "tools/generator/recording_generator.h"

namespace qmv::gen {

using namespace qmv::format;

std::vector<uint8_t> applyDamage(const GeneratedRecording& recording, Damage damage) {
  std::vector<uint8_t> bytes = recording.bytes;
  const Layout& layout = recording.layout;
  if (damage == Damage::TooShort) {
    bytes.resize(std::min<std::size_t>(bytes.size(), 40));
    return bytes;
  }
  if (layout.blockPositions.empty()) return bytes;

  const std::size_t start = layout.recordingStart;
  auto at = [&](uint32_t relative) { return bytes.data() + start + relative; };
  const uint32_t last = layout.blockPositions.back();
  // "An earlier block": the one before the last, or the only block when there is just one.
  const uint32_t earlier =
      layout.blockPositions.size() >= 2 ? layout.blockPositions[layout.blockPositions.size() - 2] : last;
  const uint32_t first = layout.blockPositions.front();
  auto itemCountOf = [&](uint32_t block) { return readBe32(at(block) + kBlockItemCountOffset); };
  auto terminatorOf = [&](uint32_t block) {
    return at(block) + kBlockHeadSize + kItemSize * (itemCountOf(block) - 1);
  };

  switch (damage) {
    case Damage::BadTrailer:
      at(uint32_t(layout.recordingLength - 4))[0] = 0xFE;
      break;
    case Damage::BackLinkNotBefore:
      writeBe32(at(last) + kBlockPrevOffset, last);
      break;
    case Damage::BackLinkBelow512:
      writeBe32(at(first) + kBlockPrevOffset, kFirstBlockLink - 1);
      break;
    case Damage::TerminatorLengthOff:
      writeBe16(terminatorOf(last) + 2, uint16_t(itemCountOf(last) + kTerminatorExtraWords - 1));
      break;
    case Damage::TerminatorMarkBroken:
      terminatorOf(earlier)[1] = 0xFE;
      break;
    case Damage::ItemCountAboveEntryEnd:
      // entryEnd lowered rather than itemCount raised, so the terminator still sits where itemCount says.
      writeBe32(at(last) + kBlockEntryEndOffset, itemCountOf(last) - 1);
      break;
    case Damage::Truncated: {
      // Cut in the middle of the body, at a point whose last 4 bytes cannot pass for a trailer.
      std::size_t cut = start + kHeaderSize + (layout.recordingLength - kHeaderSize) / 2;
      while (cut > start + kHeaderSize + 4 && bytes[cut - 4] == kTerminatorMark &&
             bytes[cut - 3] == kTerminatorMark)
        --cut;
      bytes.resize(cut);
      break;
    }
    case Damage::AbsurdEntryCount:
      writeBe32(at(last) + kBlockEntryEndOffset, 0xFFFFFFF0u);
      break;
    case Damage::EntryEndBelowItems:
      // entryEnd = itemCount - 1 puts the block's first item at entry -1.
      writeBe32(at(earlier) + kBlockEntryEndOffset, itemCountOf(earlier) - 1);
      break;
    case Damage::EntryEndAboveCount:
      writeBe32(at(earlier) + kBlockEntryEndOffset, readBe32(at(last) + kBlockEntryEndOffset) + 5);
      break;
    case Damage::ItemCountWraps: {
      // 4 * itemCount wraps to the true value in 32 bits, so a reader that multiplies in 32 bits
      // finds the real terminator and then walks a billion items.
      const uint32_t itemCount = itemCountOf(last);
      const uint32_t entryEnd = readBe32(at(last) + kBlockEntryEndOffset);
      writeBe32(at(last) + kBlockItemCountOffset, itemCount + 0x40000000u);
      writeBe32(at(last) + kBlockEntryEndOffset, entryEnd + 0x40000000u);
      break;
    }
    case Damage::TooShort:
      break;
  }
  return bytes;
}

}  // namespace qmv::gen
