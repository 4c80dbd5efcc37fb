// RecordingIndex: locates a recording in its file, validates the index chain from the trailer and reads the
// frame index.
#include "recording/recording_index.h"

#include <utility>

#include "recording/clock_rules.h"
#include "recording/hex_text.h"
#include "recording/reader_checks.h"

namespace qmv {
namespace {

using namespace format;

Error fail(OpenError code, std::string message) { return Error{code, std::move(message)}; }

class ChainReader {
 public:
  ChainReader(ByteSource& source, uint64_t recordingStart, uint64_t recordingLength)
      : source_(source), start_(recordingStart), length_(recordingLength) {}

  // Walks the chain from the last block back to the one that links to the header.
  // Every block must lie inside the recording, before the block that follows it,
  // and carry a terminator that matches its item count. Returns the blocks last first.
  Result<std::vector<BlockInfo>> walk(uint32_t lastBlock, uint32_t lastBlockWords) {
    std::vector<BlockInfo> chain;
    uint64_t limit = length_;  // where the block must end: the recording's end, then the next block
    uint32_t r = lastBlock;
    for (;;) {
      const bool last = chain.empty();
      auto read = readIndexBlock(source_, start_, r, limit, limitText(last, limit),
                                 last ? std::optional<uint32_t>(lastBlockWords) : std::nullopt);
      if (!read) return read.error();
      const BlockInfo& block = read.value();
      // Each block takes at least its own entry, so a longer chain cannot make a sound index.
      if (chain.size() >= kMaxIndexEntries) {
        return fail(kBadEntries, "the index chain runs past " + std::to_string(kMaxIndexEntries) +
                                     " blocks at " + blockAt(r));
      }
      chain.push_back(block);
      if (block.prevBlock == kFirstBlockLink) return chain;
      limit = r;
      r = block.prevBlock;
    }
  }

 private:
  std::string limitText(bool last, uint64_t limit) const {
    return last ? "the end of the recording at " + hexText(length_)
                : "the next index block at " + hexText(limit);
  }

  ByteSource& source_;
  uint64_t start_;
  uint64_t length_;
};

// The frame index must be dense: block by block, each block's entries begin where the previous
// block's end, so every entry is written exactly once and none lies outside the table.
Status checkEntryRanges(const std::vector<BlockInfo>& chain, uint64_t recordingLength) {
  const uint32_t entryCount = chain.front().entryEnd;
  // Every entry needs at least one 4-byte index item inside the recording.
  if (entryCount > recordingLength / kItemSize) {
    return fail(kBadEntries, "the last " + blockAt(chain.front().position) + " claims " +
                                 std::to_string(entryCount) +
                                 " frame index entries, more than a recording of " +
                                 std::to_string(recordingLength) + " bytes can hold");
  }
  if (entryCount > kMaxIndexEntries) {
    return fail(kBadEntries, "the last " + blockAt(chain.front().position) + " claims " +
                                 std::to_string(entryCount) + " frame index entries, more than the " +
                                 std::to_string(kMaxIndexEntries) + " an hour of recording can hold");
  }
  uint32_t entriesBefore = 0;
  for (auto block = chain.rbegin(); block != chain.rend(); ++block) {
    if (block->entryEnd > entryCount) {
      return fail(kBadEntries, blockAt(block->position) + " ends at frame index entry " +
                                   std::to_string(block->entryEnd) + ", beyond the recording's " +
                                   std::to_string(entryCount) + " entries");
    }
    const uint32_t first = block->entryEnd - block->itemCount;
    if (first != entriesBefore) {
      return fail(kBadEntries, blockAt(block->position) + " begins at frame index entry " +
                                   std::to_string(first) + ", but the blocks before it end at entry " +
                                   std::to_string(entriesBefore));
    }
    entriesBefore = block->entryEnd;
  }
  return okStatus();
}

}  // namespace

SystemInfo decodeHeader(const std::array<uint8_t, kHeaderSize>& header) {
  SystemInfo info;
  info.modelCode = header[kHdrModelCode];
  info.audioFormat = header[kHdrAudioFormat] >> 4;
  info.versionMajor = header[kHdrVersionMajorMinor] >> 4;
  info.versionMinor = header[kHdrVersionMajorMinor] & 0x0F;
  info.versionBuild = header[kHdrVersionBuild];
  for (int i = 0; i < 3; ++i) {
    info.macAddress[i] = kMacPrefix[i];
    info.macAddress[3 + i] = header[kHdrMacTail + i];
  }
  info.languageCode = header[kHdrLanguageCode];
  info.videoStandard = (header[kHdrVideoStandard] & kVideoStandardBit) ? 1 : 0;
  const auto* name = reinterpret_cast<const char*>(header.data() + kHdrSystemName);
  std::size_t nameLength = 0;
  while (nameLength < kSystemNameSize && name[nameLength] != '\0') ++nameLength;
  info.systemName.assign(name, nameLength);
  info.year = uint16_t(kYearBase + header[kHdrYear]);
  info.month = header[kHdrMonth];
  info.day = header[kHdrDay];
  info.hour = header[kHdrHour];
  for (int c = 0; c < kChannelCount; ++c) {
    info.channelRate[c] = header[kHdrChannelRate + c];
    info.audioSource[c] = header[kHdrAudioSource + c];
  }
  return info;
}

Result<RecordingIndex> readIndex(ByteSource& in) {
  RecordingIndex fresh;
  fresh.fileLength = in.size();

  auto placement = readWrapper(in, fresh.fileLength);
  if (!placement) return placement.error();
  fresh.recordingStart = placement->recordingStart;
  fresh.trailingSize = placement->trailingSize;
  fresh.wrapped = placement->wrapped;

  if (fresh.trailingSize > fresh.fileLength) {
    return fail(kBadWrapper, "the executable declares " + std::to_string(fresh.trailingSize) +
                                 " trailing bytes, more than the whole file of " +
                                 std::to_string(fresh.fileLength));
  }
  const uint64_t recordingEnd = fresh.fileLength - fresh.trailingSize;
  if (fresh.recordingStart > recordingEnd) {
    return fail(kBadWrapper, "the recording would start at file position " + hexText(fresh.recordingStart) +
                                 ", past its end at " + hexText(recordingEnd));
  }
  fresh.recordingLength = recordingEnd - fresh.recordingStart;
  if (fresh.recordingLength < kMinRecordingLength) {
    return fail(kBadTrailer, "the recording holds " + std::to_string(fresh.recordingLength) +
                                 " bytes, too few for a 512-byte header and an index block");
  }
  if (fresh.recordingLength > kMaxRecordingLength) {
    return fail(kBadWrapper, "the recording holds " + std::to_string(fresh.recordingLength) +
                                 " bytes, more than 32-bit positions can address");
  }

  uint8_t trailer[kItemSize];
  const uint64_t trailerAt = recordingEnd - kItemSize;
  if (!in.readExact(trailerAt, trailer, sizeof trailer)) {
    return fail(kCannotRead, "cannot read the trailer at file position " + hexText(trailerAt));
  }
  if (!isTerminator(trailer)) {
    return fail(kBadTrailer, "the recording's last 4 bytes at file position " + hexText(trailerAt) + " are " +
                                 hexDump({trailer, 4}) + ", not an index trailer (FF FF and a block length)");
  }
  const uint32_t lastBlockWords = readBe16(trailer + 2);
  const uint64_t lastBlockBytes = uint64_t(lastBlockWords) * kItemSize;
  if (lastBlockBytes + kHeaderSize > fresh.recordingLength) {
    return fail(kBadTrailer, "the trailer gives the last index block " + std::to_string(lastBlockWords) +
                                 " words, which does not fit after the header in a recording of " +
                                 std::to_string(fresh.recordingLength) + " bytes");
  }
  const auto lastBlock = uint32_t(fresh.recordingLength - lastBlockBytes);

  ChainReader chainReader(in, fresh.recordingStart, fresh.recordingLength);
  auto chain = chainReader.walk(lastBlock, lastBlockWords);
  if (!chain) return chain.error();
  const std::vector<BlockInfo>& blocks = chain.value();
  if (auto ranges = checkEntryRanges(blocks, fresh.recordingLength); !ranges) return ranges.error();

  if (!in.readExact(fresh.recordingStart, fresh.header.data(), kHeaderSize)) {
    return fail(kCannotRead, "cannot read the 512-byte header");
  }
  fresh.info = decodeHeader(fresh.header);
  fresh.entryCount = blocks.front().entryEnd;
  fresh.blockCount = uint32_t(blocks.size());
  fresh.entries.assign(std::size_t(fresh.entryCount) + 1, FrameIndexEntry{});

  std::vector<uint8_t> items;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const BlockInfo& block = blocks[b];
    const uint32_t n = block.itemCount;
    const uint32_t m = block.entryEnd;
    items.resize(std::size_t(n) * kItemSize);
    if (!in.readExact(fresh.recordingStart + block.position + kBlockHeadSize, items.data(), items.size())) {
      return fail(kCannotRead,
                  "cannot read the " + std::to_string(n) + " items of " + blockAt(block.position));
    }
    // Records lie back to back before the block, down to the end of the previous block (or the header).
    const bool first = b + 1 == blocks.size();
    const uint64_t floor = first ? uint64_t(kFirstRecordPosition) : blocks[b + 1].end();
    if (Status laid = layBlockRecords(block, items.data(), floor,
                                      first ? "the header ends" : "the previous index block ends",
                                      fresh.entries.data() + (m - n), fresh.videoMask);
        !laid) {
      return laid.error();
    }
  }
  if (std::optional<std::string> why = clockDamage(fresh.entries, fresh.entryCount))
    return fail(kBadEntries, *why);

  return fresh;
}

bool looksDamaged(const Error& error) {
  return error.code == kBadWrapper || error.code == kBadTrailer || error.code == kBadChain ||
         error.code == kBadEntries;
}

}  // namespace qmv
