// RecordingFile: locates a recording in its file, validates the index chain from the trailer and builds the frame index.
#include "recording/recording_file.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "recording/hex_text.h"

namespace qmv {
namespace {

using namespace format;

// Error codes of a rejected open; the message says what exactly was wrong.
enum OpenError : int {
  kCannotOpen = 1,
  kBadWrapper = 2,
  kBadTrailer = 3,
  kBadChain = 4,
  kBadEntries = 5,
  kCannotRead = 6,
};

std::string hex(uint64_t value) { return fmt::format("0x{:X}", value); }

std::string blockAt(uint64_t position) { return "index block at " + hex(position); }

Error fail(OpenError code, std::string message) { return Error{code, std::move(message)}; }

// A recording spans one clock hour: 16 channels at 30 frames per second and 16 audio inputs at ten
// blocks per second come to 2.3 million records. Far beyond that an index is damage, and the table
// of 8-byte entries (and the walk that fills it) must not grow with whatever a damaged file claims.
constexpr uint32_t kMaxIndexEntries = uint32_t(1) << 24;

struct Placement {
  uint32_t recordingStart = 0;
  uint32_t trailingSize = 0;
  bool wrapped = false;
};

// The three wrapper rules: no "MZ"/"ZM" means a plain recording; the marker at 28
// means start and trailing size at 44 and 56; otherwise the word at 28 is the start.
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
                                 " bytes long, too short for its header (" + std::to_string(needed) + " bytes)");
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

// What the chain walk learned about one block; positions are recording-relative.
struct BlockInfo {
  uint32_t position = 0;
  uint32_t prevBlock = 0;
  uint32_t itemCount = 0;
  uint32_t entryEnd = 0;
  uint32_t baseTime = 0;

  uint64_t end() const { return uint64_t(position) + kBlockHeadSize + uint64_t(itemCount) * kItemSize; }
};

bool isTerminator(const uint8_t* item) { return item[0] == kTerminatorMark && item[1] == kTerminatorMark; }

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
      if (uint64_t(r) + kBlockHeadSize > limit) {
        return fail(kBadChain, blockAt(r) + " has its head past " + limitText(last, limit));
      }
      uint8_t head[kBlockHeadReadSize];
      if (!source_.readExact(start_ + r, head, sizeof head)) {
        return fail(kCannotRead, "cannot read the head of " + blockAt(r));
      }
      BlockInfo block;
      block.position = r;
      block.prevBlock = readBe32(head + kBlockPrevOffset);
      block.itemCount = readBe32(head + kBlockItemCountOffset);
      block.entryEnd = readBe32(head + kBlockEntryEndOffset);
      block.baseTime = readBe32(head + kBlockBaseTimeOffset);

      if (block.prevBlock >= r) {
        return fail(kBadChain, blockAt(r) + " links back to " + hex(block.prevBlock) + ", which is not before it");
      }
      if (block.itemCount == 0) {
        return fail(kBadChain, blockAt(r) + " has no items, not even its terminator");
      }
      if (block.itemCount > block.entryEnd) {
        return fail(kBadChain, blockAt(r) + " has " + std::to_string(block.itemCount) +
                                   " items but ends at frame index entry " + std::to_string(block.entryEnd));
      }
      if (last && uint64_t(block.itemCount) + kTerminatorExtraWords != lastBlockWords) {
        return fail(kBadChain, "the last " + blockAt(r) + " has " + std::to_string(block.itemCount) +
                                   " items, which need " +
                                   std::to_string(uint64_t(block.itemCount) + kTerminatorExtraWords) +
                                   " words, but the trailer gives it " + std::to_string(lastBlockWords));
      }
      if (block.end() > limit) {
        return fail(kBadChain, blockAt(r) + " with " + std::to_string(block.itemCount) + " items runs past " +
                                   limitText(last, limit));
      }
      const uint64_t terminatorAt = block.end() - kItemSize;
      uint8_t terminator[kItemSize];
      if (!source_.readExact(start_ + terminatorAt, terminator, sizeof terminator)) {
        return fail(kCannotRead, "cannot read the terminator of " + blockAt(r));
      }
      if (!isTerminator(terminator)) {
        return fail(kBadChain, blockAt(r) + " has " + hexDump({terminator, 4}) + " as its terminator at " +
                                   hex(terminatorAt) + ", which does not begin with FF FF");
      }
      const uint32_t words = readBe16(terminator + 2);
      if (words != uint64_t(block.itemCount) + kTerminatorExtraWords) {
        return fail(kBadChain, blockAt(r) + " has a terminator of " + std::to_string(words) + " words, but its " +
                                   std::to_string(block.itemCount) + " items need " +
                                   std::to_string(uint64_t(block.itemCount) + kTerminatorExtraWords));
      }
      // Each block takes at least its own entry, so a longer chain cannot make a sound index.
      if (chain.size() >= kMaxIndexEntries) {
        return fail(kBadEntries,
                    "the index chain runs past " + std::to_string(kMaxIndexEntries) + " blocks at " + blockAt(r));
      }
      chain.push_back(block);
      if (block.prevBlock == kFirstBlockLink) return chain;
      if (block.prevBlock < kFirstBlockLink) {
        return fail(kBadChain, blockAt(r) + " links back to " + hex(block.prevBlock) +
                                   ", inside the 512-byte header");
      }
      limit = r;
      r = block.prevBlock;
    }
  }

 private:
  std::string limitText(bool last, uint64_t limit) const {
    return last ? "the end of the recording at " + hex(length_) : "the next index block at " + hex(limit);
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
                                 std::to_string(entryCount) + " frame index entries, more than a recording of " +
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
      return fail(kBadEntries, blockAt(block->position) + " begins at frame index entry " + std::to_string(first) +
                                   ", but the blocks before it end at entry " + std::to_string(entriesBefore));
    }
    entriesBefore = block->entryEnd;
  }
  return okStatus();
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

RecordingDescription describeRecording(const SystemInfo& info, uint16_t firstTime, uint16_t lastTime) {
  RecordingDescription text;
  text.systemName = info.systemName;
  text.version = fmt::format("{}.{}.{}", info.versionMajor, info.versionMinor, info.versionBuild);
  const auto& mac = info.macAddress;
  text.macAddress = fmt::format("{:02X}-{:02X}-{:02X}-{:02X}-{:02X}-{:02X}", mac[0], mac[1], mac[2], mac[3],
                                mac[4], mac[5]);
  text.languageVideo = fmt::format("{:02X}, {}", info.languageCode, info.videoStandard == 0 ? "PAL" : "NTSC");
  // Both ends carry the header's hour; the index gives only minutes and seconds.
  text.recordedTime = fmt::format("{:04d}.{:02d}.{:02d} {:02d}:{:02d}:{:02d} ~ {:02d}:{:02d}:{:02d}",
                                  info.year, info.month, info.day, info.hour, firstTime / 60, firstTime % 60,
                                  info.hour, lastTime / 60, lastTime % 60);
  return text;
}

const std::string& RecordingFile::path() const {
  static const std::string none;
  return source_ ? source_->name() : none;
}

void RecordingFile::close() { *this = RecordingFile(); }

Status RecordingFile::open(const std::string& path) {
  auto source = openFileSource(path);
  if (!source) return fail(kCannotOpen, source.error().message);
  return open(std::move(source).value());
}

Status RecordingFile::open(std::unique_ptr<ByteSource> source) {
  if (!source) return fail(kCannotOpen, "no file to read");
  // Built aside and moved in only when everything checks out, so a rejected
  // file leaves the current recording as it was.
  RecordingFile fresh;
  ByteSource& in = *source;
  fresh.fileLength_ = in.size();

  auto placement = readWrapper(in, fresh.fileLength_);
  if (!placement) return placement.error();
  fresh.recordingStart_ = placement->recordingStart;
  fresh.trailingSize_ = placement->trailingSize;
  fresh.wrapped_ = placement->wrapped;

  if (fresh.trailingSize_ > fresh.fileLength_) {
    return fail(kBadWrapper, "the executable declares " + std::to_string(fresh.trailingSize_) +
                                 " trailing bytes, more than the whole file of " + std::to_string(fresh.fileLength_));
  }
  const uint64_t recordingEnd = fresh.fileLength_ - fresh.trailingSize_;
  if (fresh.recordingStart_ > recordingEnd) {
    return fail(kBadWrapper, "the recording would start at file position " + hex(fresh.recordingStart_) +
                                 ", past its end at " + hex(recordingEnd));
  }
  fresh.recordingLength_ = recordingEnd - fresh.recordingStart_;
  if (fresh.recordingLength_ < kMinRecordingLength) {
    return fail(kBadTrailer, "the recording holds " + std::to_string(fresh.recordingLength_) +
                                 " bytes, too few for a 512-byte header and an index block");
  }
  if (fresh.recordingLength_ > kMaxRecordingLength) {
    return fail(kBadWrapper, "the recording holds " + std::to_string(fresh.recordingLength_) +
                                 " bytes, more than 32-bit positions can address");
  }

  uint8_t trailer[kItemSize];
  const uint64_t trailerAt = recordingEnd - kItemSize;
  if (!in.readExact(trailerAt, trailer, sizeof trailer)) {
    return fail(kCannotRead, "cannot read the trailer at file position " + hex(trailerAt));
  }
  if (!isTerminator(trailer)) {
    return fail(kBadTrailer, "the recording's last 4 bytes at file position " + hex(trailerAt) + " are " +
                                 hexDump({trailer, 4}) + ", not an index trailer (FF FF and a block length)");
  }
  const uint32_t lastBlockWords = readBe16(trailer + 2);
  const uint64_t lastBlockBytes = uint64_t(lastBlockWords) * kItemSize;
  if (lastBlockBytes + kHeaderSize > fresh.recordingLength_) {
    return fail(kBadTrailer, "the trailer gives the last index block " + std::to_string(lastBlockWords) +
                                 " words, which does not fit after the header in a recording of " +
                                 std::to_string(fresh.recordingLength_) + " bytes");
  }
  const auto lastBlock = uint32_t(fresh.recordingLength_ - lastBlockBytes);

  ChainReader chainReader(in, fresh.recordingStart_, fresh.recordingLength_);
  auto chain = chainReader.walk(lastBlock, lastBlockWords);
  if (!chain) return chain.error();
  const std::vector<BlockInfo>& blocks = chain.value();
  if (auto ranges = checkEntryRanges(blocks, fresh.recordingLength_); !ranges) return ranges.error();

  if (!in.readExact(fresh.recordingStart_, fresh.header_.data(), kHeaderSize)) {
    return fail(kCannotRead, "cannot read the 512-byte header");
  }
  fresh.info_ = decodeHeader(fresh.header_);
  fresh.entryCount_ = blocks.front().entryEnd;
  fresh.blockCount_ = uint32_t(blocks.size());
  fresh.entries_.assign(std::size_t(fresh.entryCount_) + 1, FrameIndexEntry{});

  std::vector<uint8_t> items;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const BlockInfo& block = blocks[b];
    const uint32_t n = block.itemCount;
    const uint32_t m = block.entryEnd;
    items.resize(std::size_t(n) * kItemSize);
    if (!in.readExact(fresh.recordingStart_ + block.position + kBlockHeadSize, items.data(), items.size())) {
      return fail(kCannotRead, "cannot read the " + std::to_string(n) + " items of " + blockAt(block.position));
    }
    // The block's own entry carries the time of its last record.
    FrameIndexEntry& own = fresh.entries_[m - 1];
    own.kind = kKindBlock;
    own.flags = 0;
    own.offset = block.position;
    own.time = uint16_t(block.baseTime + (n >= 2 ? items[(n - 2) * kItemSize + kItemTimeDeltaOffset] : 0));

    // Records lie back to back before the block, down to the end of the previous block (or the header).
    const uint64_t floor = b + 1 < blocks.size() ? blocks[b + 1].end() : uint64_t(kFirstRecordPosition);
    for (uint32_t i = n - 1; i-- > 0;) {
      const uint32_t j = m - n + i;
      const uint8_t* item = items.data() + std::size_t(i) * kItemSize;
      const uint64_t extent = uint64_t(readBe16(item + kItemLengthOffset)) * kItemSize;
      const uint32_t next = fresh.entries_[j + 1].offset;
      if (extent > next - floor) {
        return fail(kBadEntries, blockAt(block.position) + ": the record of item " + std::to_string(i) +
                                     " would begin before " + hex(floor) + ", where " +
                                     (b + 1 < blocks.size() ? "the previous index block ends" : "the header ends"));
      }
      FrameIndexEntry entry = entryForItem(item, block.baseTime);
      entry.offset = uint32_t(next - extent);
      if (entry.kind < kChannelCount) fresh.videoMask_ |= 1u << entry.kind;
      fresh.entries_[j] = entry;
    }
  }

  fresh.firstTime_ = fresh.entries_[0].time;
  fresh.lastTime_ = fresh.entries_[fresh.entryCount_ - 1].time;
  fresh.description_ = describeRecording(fresh.info_, fresh.firstTime_, fresh.lastTime_);
  for (uint32_t k = 0; k < fresh.entryCount_; ++k) {
    const FrameIndexEntry& e = fresh.entries_[k];
    if (e.kind >= kChannelCount) continue;
    ChannelSummary& summary = fresh.summaries_[e.kind];
    if (summary.frames++ == 0) {
      summary.firstTime = summary.lastTime = e.time;
    } else {
      summary.firstTime = std::min(summary.firstTime, e.time);
      summary.lastTime = std::max(summary.lastTime, e.time);
    }
  }
  fresh.source_ = std::move(source);
  *this = std::move(fresh);
  return okStatus();
}

RecordExtent RecordingFile::recordExtent(uint32_t k) const {
  RecordExtent extent;
  if (uint64_t(k) + 1 >= entries_.size()) {
    extent.problem = "it has no entry after it";
    return extent;
  }
  extent.offset = entries_[k].offset;
  const uint32_t next = entries_[k + 1].offset;
  if (next < extent.offset) {
    extent.problem = fmt::format("the next entry's offset 0x{:08X} lies before it", next);
    return extent;
  }
  const uint64_t size = uint64_t(next) - extent.offset;
  if (size > kMaxRecordBytes) {
    extent.problem = fmt::format("a record of {} bytes is beyond any recorder frame", size);
  } else if (uint64_t(extent.offset) + size > recordingLength_) {
    extent.problem =
        fmt::format("its {} bytes run past the recording's end at 0x{:X}", size, recordingLength_);
  } else {
    extent.size = size;
  }
  return extent;
}

}  // namespace qmv
