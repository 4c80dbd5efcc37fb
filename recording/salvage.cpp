// Salvage: recovers the records of a cut-short or damaged recording that pass every check, and reports the
// rest.
#include "recording/salvage.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "recording/clock_rules.h"
#include "recording/reader_checks.h"
#include "recording/salvage_times.h"

namespace qmv {

using namespace format;

namespace {

// Forward reads go through one window; 1 MiB keeps copies large and the memory small.
constexpr std::size_t kWindowBytes = std::size_t(1) << 20;

bool isAudioKind(uint8_t kind) { return kind >= kKindAudioBase && kind < kKindAudioBase + kChannelCount; }

// The header has no checksum; a date and hour that cannot be are the damage it shows.
bool headerPlausible(const std::array<uint8_t, kHeaderSize>& header) {
  const uint8_t month = header[kHdrMonth], day = header[kHdrDay], hour = header[kHdrHour];
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23;
}

// Reads forward through the recording a large window at a time (pread for files, so a file that shrinks
// reads short instead of faulting), or a few bytes through the source's guarded map. Pointers stay valid
// until the next call.
class ForwardWindow {
 public:
  explicit ForwardWindow(ByteSource& source) : source_(source) {}

  void place(uint64_t start, uint64_t length) {
    start_ = start;
    length_ = length;
    windowFill_ = 0;
    ++generation_;
  }

  // The n bytes at recording position pos; null when they lie outside the recording or cannot be read.
  // A few bytes (a record head, a block head) come straight from a mapped file: the heads lie kilobytes
  // apart, and copying the bytes between them would cost more than all the checks.
  const uint8_t* at(uint64_t pos, std::size_t n) {
    if (n <= sizeof small_ && pos <= length_ && n <= length_ - pos && source_.view() != nullptr) {
      return source_.copyFromView(start_ + pos, small_, n) ? small_ : nullptr;
    }
    std::size_t available = 0;
    return span(pos, n, available);
  }

  // At least n bytes at pos, and how many more the window holds from there.
  const uint8_t* span(uint64_t pos, std::size_t n, std::size_t& available) {
    if (pos > length_ || n > length_ - pos) return nullptr;
    if (pos < windowStart_ || pos - windowStart_ + n > windowFill_) {
      const std::size_t want = std::size_t(std::min<uint64_t>(std::max(kWindowBytes, n), length_ - pos));
      if (buffer_.size() < want) buffer_.resize(want);
      if (!source_.readExact(start_ + pos, buffer_.data(), want)) {
        windowFill_ = 0;
        return nullptr;
      }
      windowStart_ = pos;
      windowFill_ = want;
      ++generation_;
    }
    available = windowFill_ - std::size_t(pos - windowStart_);
    return buffer_.data() + (pos - windowStart_);
  }

  // The sum of the 16-bit length fields of count items (one a word) from first, a pointer span() gave.
  // The sums are made once per window, so a block that claims thousands of items costs two lookups, and a
  // file of false blocks at every word is scanned in linear time.
  uint64_t itemLengthSum(const uint8_t* first, std::size_t count) {
    const auto from = std::size_t(first - buffer_.data());
    const std::size_t phase = from % kItemSize;
    if (sumsGeneration_ != generation_ || sumsPhase_ != phase) {
      const std::size_t words = (windowFill_ - phase) / kItemSize;
      sums_.resize(words + 1);
      sums_[0] = 0;
      for (std::size_t k = 0; k < words; ++k)
        sums_[k + 1] = sums_[k] + readBe16(buffer_.data() + phase + k * kItemSize + kItemLengthOffset);
      sumsGeneration_ = generation_;
      sumsPhase_ = phase;
    }
    const std::size_t a = from / kItemSize;
    return sums_[a + count] - sums_[a];
  }

 private:
  ByteSource& source_;
  uint64_t start_ = 0;
  uint64_t length_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t generation_ = 0, sumsGeneration_ = ~uint64_t(0);
  std::size_t sumsPhase_ = 0;
  std::vector<uint64_t> sums_;
  uint64_t windowStart_ = 0;
  std::size_t windowFill_ = 0;
  uint8_t small_[32] = {};
};

}  // namespace

const char* foundText(Found found) {
  switch (found) {
    case Found::kChain:
      return "index chain";
    case Found::kScannedBlock:
      return "scanned index block";
    case Found::kWalked:
      return "record head";
    case Found::kGap:
      return "unreadable";
  }
  return "";
}

// Builds a RecordingIndex from what passes the checks. Three forward passes at most: the block scan up to
// the earliest block the trailer's chain reaches, the layout of blocks and walked records, and the search
// for zero words, which never looks at a byte twice.
class Salvager {
 public:
  Salvager(ByteSource& source, RecordingIndex& out, SalvageReport& report)
      : source_(source), out_(out), report_(report), window_(source), zeroWindow_(source) {}

  Status run();

 private:
  struct Head {
    uint8_t source, frameType, formatCode, padWords;
    uint32_t wordCount;
  };
  Head headAt(const uint8_t* p) const {
    return Head{p[kRecSource], p[kRecFrameType], p[kRecFormatCode], p[kRecPadWords],
                readBe16(p + kRecWordCount)};
  }

  std::vector<BlockInfo> chainFromTrailer();
  void scanBlocks(uint64_t to, std::vector<BlockInfo>& found);
  bool blockCandidate(uint32_t r, uint64_t limit, BlockInfo& block);
  void layOut(std::vector<BlockInfo> blocks);
  bool layBlock(const BlockInfo& block, Found found, uint64_t floor);
  void walk(uint64_t from, uint64_t to);
  // A record starting at pos that may run up to limit; its extent and entry on success.
  bool walkedRecord(uint64_t pos, uint64_t limit, bool checkZeros, uint64_t& extent, FrameIndexEntry& entry);
  bool successorOk(uint64_t pos, uint64_t limit);
  bool recordHere(uint64_t pos, uint64_t limit, bool inStep, uint64_t& extent,
                  FrameIndexEntry* entry = nullptr, bool checkZeros = false);
  bool indexedRecordOk(const FrameIndexEntry& entry, uint64_t extent);
  bool streamOk(uint64_t payload, uint32_t streamWords, bool checkZeros);
  uint64_t firstZeroWord(uint64_t from);

  bool addEntry(FrameIndexEntry entry, Found found, uint64_t end);
  void addUnreadable(uint64_t from, uint64_t to);
  void addRecovered(uint64_t from, uint64_t to);
  void timeEarlyEntries(uint16_t time);

  ByteSource& source_;
  RecordingIndex& out_;
  SalvageReport& report_;
  ForwardWindow window_;      // record heads and blocks, in file order
  ForwardWindow zeroWindow_;  // the zero-word search, in file order, ahead of the heads
  uint64_t start_ = 0;
  uint64_t length_ = 0;
  std::vector<FrameIndexEntry> entries_;
  std::vector<Found> found_;
  bool full_ = false;                   // the entry limit was reached; the rest is reported unreadable
  std::optional<uint16_t> blockTime_;   // the own time of the last intact block laid out
  uint64_t zeroFrom_ = 0, zeroAt_ = 0;  // no zero word in [zeroFrom_, zeroAt_), one at zeroAt_
  uint64_t recordBytes_ = 0;
};

Result<RecordingIndex> salvageIndex(ByteSource& source) {
  auto whole = readIndex(source);
  if (!whole && !looksDamaged(whole.error())) return whole.error();
  // Even under a sound index every record is checked: zeroed sectors leave the index whole.
  RecordingIndex fresh;
  auto report = std::make_shared<SalvageReport>();
  Salvager salvager(source, fresh, *report);
  const Status salvaged = salvager.run();
  const bool sound = salvaged && report->unreadable.empty() && report->scannedBlocks == 0;
  if (whole && sound) return std::move(whole).value();
  if (!whole) {
    report->damage = whole.error().message;
  } else if (!report->headerKnown) {
    const auto& header = whole->header;
    report->damage = fmt::format("the 512-byte header gives month {}, day {} and hour {}, which cannot be",
                                 header[kHdrMonth], header[kHdrDay], header[kHdrHour]);
  } else {
    report->damage = "the index is whole, but " + std::to_string(report->unreadable.size()) +
                     " stretches of the records it lists fail their checks (zeroed or overwritten sectors)";
  }
  if (!salvaged) {
    // Neither a header nor a single video record: whatever the file is, it was never one of these.
    if (!report->headerKnown && salvaged.error().code == kNothingRecovered &&
        fresh.recordingLength >= kHeaderSize) {
      return Error{kNotARecording,
                   "not a recording of this DVR: it has no recording header, and no video record anywhere"};
    }
    Error error = salvaged.error();
    if (!report->damage.empty()) error.message += " (" + report->damage + ")";
    return error;
  }
  report->recordsTimeEstimated =
      estimateWalkedTimes(fresh.entries, fresh.entryCount, report->found, fresh.info.channelRate);
  // A time no recorder writes would stretch every output on the recorded clock: such records keep their
  // place among the records around them.
  if (const uint64_t moved = retimeLateEntries(fresh.entries, fresh.entryCount); moved > 0)
    report->damage +=
        fmt::format("; {} entries timed past the hour take the time of the entry before them", moved);
  fresh.salvage = std::move(report);
  return fresh;
}

Status Salvager::run() {
  out_.fileLength = source_.size();
  // The wrapper as far as it holds: a cut player executable loses its trailing bytes first.
  auto placement = readWrapper(source_, out_.fileLength);
  if (placement) {
    out_.recordingStart = placement->recordingStart;
    out_.trailingSize = placement->trailingSize;
    out_.wrapped = placement->wrapped;
  }
  if (out_.recordingStart > out_.fileLength) {
    return Error{kNothingRecovered, "nothing can be recovered: the recording would start at file position " +
                                        hexText(out_.recordingStart) + ", past the end of the file"};
  }
  if (out_.trailingSize > out_.fileLength - out_.recordingStart) out_.trailingSize = 0;
  out_.recordingLength =
      std::min<uint64_t>(out_.fileLength - out_.recordingStart - out_.trailingSize, kMaxRecordingLength);
  start_ = out_.recordingStart;
  length_ = out_.recordingLength;
  window_.place(start_, length_);
  zeroWindow_.place(start_, length_);

  // Header fields only when the header passes its checks; the worker derives rates from the index when
  // a rate byte is 0, and no audio input is tied to a channel without the header.
  const bool headerRead =
      length_ >= kHeaderSize && source_.readExact(start_, out_.header.data(), kHeaderSize);
  report_.headerKnown = headerRead && headerPlausible(out_.header);
  out_.headerKnown = report_.headerKnown;
  if (report_.headerKnown) {
    out_.info = decodeHeader(out_.header);
  } else {
    out_.info.audioSource.fill(kNoAudioSource);
    out_.info.channelRate.fill(0);
  }
  if (length_ < kHeaderSize + kRecordHeadSize) {
    return Error{kNothingRecovered,
                 "nothing can be recovered: the file holds no bytes after the 512-byte header"};
  }
  if (!report_.headerKnown) addUnreadable(0, kHeaderSize);

  std::vector<BlockInfo> chain = chainFromTrailer();  // first block first
  report_.chainBlocks = uint32_t(chain.size());
  std::vector<BlockInfo> blocks;
  scanBlocks(chain.empty() ? length_ : chain.front().position, blocks);
  report_.scannedBlocks = uint32_t(blocks.size());
  blocks.insert(blocks.end(), chain.begin(), chain.end());
  layOut(std::move(blocks));

  if (out_.videoMask == 0) {
    return Error{kNothingRecovered, "nothing can be recovered: no intact video frame is left"};
  }
  // The last entry ends the last record: an index block's own entry, or a gap entry at the end.
  const uint64_t end = report_.recovered.empty()
                           ? kHeaderSize
                           : report_.recovered.back().offset + report_.recovered.back().length;
  if (entries_.back().kind != kKindBlock && entries_.back().kind != kKindGap) {
    FrameIndexEntry marker;
    marker.kind = kKindGap;
    marker.flags = 0;
    marker.time = entries_.back().time;
    marker.offset = uint32_t(end);
    entries_.push_back(marker);
    found_.push_back(Found::kGap);
  }
  out_.entryCount = uint32_t(entries_.size());
  entries_.push_back(FrameIndexEntry{});  // the spare
  out_.entries = std::move(entries_);
  out_.blockCount = report_.chainBlocks + report_.scannedBlocks;
  found_.push_back(Found::kGap);
  report_.found = std::move(found_);
  // Lost records are estimated from the unreadable bytes at the recovered records' mean size.
  const uint64_t lost = report_.records > 0 && recordBytes_ > 0
                            ? (report_.unreadableBytes * report_.records + recordBytes_ / 2) / recordBytes_
                            : 0;
  report_.aboutRecords = report_.records + lost;
  return okStatus();
}

// Follows the chain back from the trailer while each block passes the reader's checks.
std::vector<BlockInfo> Salvager::chainFromTrailer() {
  std::vector<BlockInfo> chain;
  uint8_t trailer[kItemSize];
  if (!source_.readExact(start_ + length_ - kItemSize, trailer, sizeof trailer) || !isTerminator(trailer)) {
    return chain;
  }
  const uint32_t words = readBe16(trailer + 2);
  if (uint64_t(words) * kItemSize + kHeaderSize > length_) return chain;
  uint64_t limit = length_;
  auto r = uint32_t(length_ - uint64_t(words) * kItemSize);
  std::optional<uint32_t> trailerWords = words;
  while (chain.size() < kMaxIndexEntries) {
    auto block = readIndexBlock(source_, start_, r, limit, "its successor", trailerWords);
    if (!block) break;
    chain.push_back(block.value());
    if (block->prevBlock == kFirstBlockLink) break;
    trailerWords.reset();
    limit = r;
    r = block->prevBlock;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

// The cheap part of a block's checks comes first, so that most positions cost one look at 12 bytes.
bool Salvager::blockCandidate(uint32_t r, uint64_t limit, BlockInfo& block) {
  const uint8_t* head = window_.at(r, kBlockHeadReadSize);
  if (head == nullptr) return false;
  const uint32_t prev = readBe32(head + kBlockPrevOffset);
  const uint32_t items = readBe32(head + kBlockItemCountOffset);
  const uint32_t entryEnd = readBe32(head + kBlockEntryEndOffset);
  if (prev >= r || prev < kFirstBlockLink || prev % kItemSize != 0 || items == 0 || items > kMaxBlockItems ||
      items > entryEnd || uint64_t(r) + kBlockHeadSize + uint64_t(items) * kItemSize > limit) {
    return false;
  }
  const uint8_t* whole = window_.at(r, kBlockHeadSize + std::size_t(items) * kItemSize);
  if (whole == nullptr) return false;
  const uint8_t* terminator = whole + kBlockHeadSize + std::size_t(items - 1) * kItemSize;
  if (!isTerminator(terminator) || readBe16(terminator + 2) != items + kTerminatorExtraWords) return false;
  // The records the block describes must fit between the header and the block.
  const uint64_t bytes = window_.itemLengthSum(whole + kBlockHeadSize, items - 1) * kItemSize;
  if (bytes > uint64_t(r) - kFirstRecordPosition) return false;
  if (prev > kFirstBlockLink && uint64_t(r) - bytes < uint64_t(prev) + kBlockHeadSize + kItemSize)
    return false;
  // Found again by readIndexBlock, so the block passes exactly the reader's checks.
  auto checked = readIndexBlock(source_, start_, r, limit, "the scan's limit");
  if (!checked) return false;
  block = checked.value();
  return true;
}

// Looks for intact blocks in [512, to) where one can begin: where the last block or record ended, or at
// every word while no record head holds. Record heads get only their cheap checks here; the layout
// checks them fully.
void Salvager::scanBlocks(uint64_t to, std::vector<BlockInfo>& found) {
  uint64_t r = kFirstRecordPosition;
  bool inStep = true;  // r is where the last block or record ended
  while (r + kBlockHeadSize + kItemSize <= to) {
    BlockInfo block;
    if (blockCandidate(uint32_t(r), to, block)) {
      found.push_back(block);
      r = block.end();
      inStep = true;
      continue;
    }
    uint64_t extent = 0;
    if (recordHere(r, to, inStep, extent)) {
      r += extent;
      inStep = true;
    } else {
      r += kItemSize;
      inStep = false;
    }
  }
}

uint64_t Salvager::firstZeroWord(uint64_t from) {
  if (from >= zeroFrom_ && from <= zeroAt_) return zeroAt_;
  // Callers ask in file order, so each word is looked at once.
  uint64_t pos = from;
  std::size_t available = 0;
  while (pos + kItemSize <= length_) {
    const uint8_t* p = zeroWindow_.span(pos, kItemSize, available);
    if (p == nullptr) break;
    const std::size_t words = available / kItemSize;
    for (std::size_t i = 0; i < words * kItemSize; i += kItemSize) {
      if ((p[i] | p[i + 1] | p[i + 2] | p[i + 3]) == 0) {
        zeroFrom_ = from;
        zeroAt_ = pos + i;
        return zeroAt_;
      }
    }
    pos += words * kItemSize;
  }
  zeroFrom_ = from;
  zeroAt_ = length_;
  return zeroAt_;
}

// Stream data in stream order begins with a start code; and 32 zero bits in a row, which an MPEG-4 stream
// never holds outside a start code's 23, are zeroed sectors.
bool Salvager::streamOk(uint64_t payload, uint32_t streamWords, bool checkZeros) {
  const uint8_t* first = window_.at(payload, kItemSize);
  if (first == nullptr || first[3] != kStartCodePrefix[0] || first[2] != kStartCodePrefix[1] ||
      first[1] != kStartCodePrefix[2]) {
    return false;
  }
  return !checkZeros || firstZeroWord(payload) >= payload + uint64_t(streamWords) * kItemSize;
}

bool Salvager::indexedRecordOk(const FrameIndexEntry& entry, uint64_t extent) {
  const bool video = entry.kind < kChannelCount;
  if (!video && !isAudioKind(entry.kind)) return true;  // auxiliary content is not interpreted
  if (extent < kRecordHeadSize) return false;
  const uint8_t* p = window_.at(entry.offset, kRecordHeadSize);
  if (p == nullptr) return false;
  const Head head = headAt(p);
  if (kRecordHeadSize + uint64_t(head.wordCount) * kItemSize > extent) return false;
  if (!video) return head.frameType == kFrameTypeAudio;
  if (head.frameType == kFrameTypeAudio) return false;
  // A frame without stream data is a head zeroed or overwritten: nothing after it can be decoded safely.
  if (head.padWords >= head.wordCount) return false;
  return streamOk(entry.offset + kRecordHeadSize, head.wordCount - head.padWords, true);
}

bool Salvager::walkedRecord(uint64_t pos, uint64_t limit, bool checkZeros, uint64_t& extent,
                            FrameIndexEntry& entry) {
  const uint8_t* p = window_.at(pos, kRecordHeadSize);
  if (p == nullptr || pos + kRecordHeadSize > limit) return false;
  const Head head = headAt(p);
  extent = kRecordHeadSize + uint64_t(head.wordCount) * kItemSize;
  // Without an index the source byte is the only channel (video) or input (audio) a record names.
  if (head.wordCount == 0 || head.source >= kChannelCount || extent > limit - pos) return false;
  entry.time = 0;
  entry.offset = uint32_t(pos);
  if (head.frameType == kFrameTypeAudio) {
    entry.kind = uint8_t(kKindAudioBase + head.source);
    entry.flags = kCodeAudioBit;
    return true;
  }
  if ((head.frameType & kCodeAudioBit) != 0 || head.formatCode >= kFormatCodeLimit ||
      head.padWords >= head.wordCount) {
    return false;
  }
  entry.kind = head.source;
  entry.flags = 0;
  return streamOk(pos + kRecordHeadSize, head.wordCount - head.padWords, checkZeros);
}

// A head found by searching, not where a record ended, counts only when what follows it also passes: a
// plausible record head, an intact block, or the limit itself.
bool Salvager::successorOk(uint64_t pos, uint64_t limit) {
  if (pos == limit) return true;
  uint64_t extent = 0;
  FrameIndexEntry entry;
  if (walkedRecord(pos, limit, false, extent, entry)) return true;
  BlockInfo block;
  return pos <= UINT32_MAX && blockCandidate(uint32_t(pos), limit, block);
}

// A record at pos as the walk accepts it: a video or audio head, or, when the record after it passes,
// any head whose length fits (an auxiliary record, whose content is not interpreted). Away from where
// the last record ended (inStep false), a video or audio head also needs a passing successor.
bool Salvager::recordHere(uint64_t pos, uint64_t limit, bool inStep, uint64_t& extent, FrameIndexEntry* entry,
                          bool checkZeros) {
  FrameIndexEntry local;
  FrameIndexEntry& e = entry != nullptr ? *entry : local;
  if (walkedRecord(pos, limit, checkZeros, extent, e)) return inStep || successorOk(pos + extent, limit);
  if (!inStep) return false;
  const uint8_t* p = window_.at(pos, kRecordHeadSize);
  if (p == nullptr || pos + kRecordHeadSize > limit) return false;
  extent = kRecordHeadSize + uint64_t(readBe16(p + kRecWordCount)) * kItemSize;
  if (extent > limit - pos || !successorOk(pos + extent, limit)) return false;
  e = FrameIndexEntry{};
  e.kind = kKindAux;
  e.flags = kFlagsAux;
  e.time = 0;
  e.offset = uint32_t(pos);
  return true;
}

bool Salvager::addEntry(FrameIndexEntry entry, Found found, uint64_t end) {
  if (entries_.size() + 2 >= kMaxIndexEntries) {
    full_ = true;
    return false;
  }
  if (found == Found::kWalked) {
    // Without an index a record has no time of its own: it takes the last intact block's.
    entry.time = blockTime_.value_or(0);
    ++report_.recordsTimedFromBlock;
  }
  if (entry.kind != kKindBlock) {
    ++report_.records;
    recordBytes_ += end - entry.offset;
  }
  if (entry.kind < kChannelCount) out_.videoMask |= 1u << entry.kind;
  entries_.push_back(entry);
  found_.push_back(found);
  addRecovered(entry.offset, end);
  return true;
}

// Before the first intact block there is no block before: those entries take the first block's base time.
void Salvager::timeEarlyEntries(uint16_t time) {
  for (FrameIndexEntry& entry : entries_) entry.time = time;
}

void Salvager::addRecovered(uint64_t from, uint64_t to) {
  auto& ranges = report_.recovered;
  if (!ranges.empty() && ranges.back().offset + ranges.back().length == from) {
    ranges.back().length += to - from;
  } else {
    ranges.push_back(ByteRange{from, to - from});
  }
}

// A gap entry starts each unreadable range, so that the channels wait for their next key frame.
void Salvager::addUnreadable(uint64_t from, uint64_t to) {
  if (to <= from) return;
  report_.unreadableBytes += to - from;
  auto& ranges = report_.unreadable;
  if (!ranges.empty() && ranges.back().offset + ranges.back().length == from) {
    ranges.back().length += to - from;
    return;
  }
  ranges.push_back(ByteRange{from, to - from});
  if (from < kFirstRecordPosition || full_) return;
  FrameIndexEntry gap;
  gap.kind = kKindGap;
  gap.flags = 0;
  gap.time = entries_.empty() ? 0 : entries_.back().time;
  gap.offset = uint32_t(from);
  if (entries_.size() + 2 < kMaxIndexEntries) {
    entries_.push_back(gap);
    found_.push_back(Found::kGap);
  }
}

// Blocks in file order; each one's records are laid out as the reader lays them and checked one by one,
// and the bytes no intact block describes are walked record by record.
void Salvager::layOut(std::vector<BlockInfo> blocks) {
  std::sort(blocks.begin(), blocks.end(),
            [](const BlockInfo& a, const BlockInfo& b) { return a.position < b.position; });
  const std::size_t fromChain = blocks.size() - report_.chainBlocks;
  uint64_t cursor = kFirstRecordPosition;
  for (std::size_t b = 0; b < blocks.size() && !full_; ++b) {
    const BlockInfo& block = blocks[b];
    if (block.position < cursor) continue;  // overlaps a block already laid out
    const Found found = b >= fromChain ? Found::kChain : Found::kScannedBlock;
    if (!layBlock(block, found, cursor)) continue;  // its bytes are walked with what follows
    cursor = block.end();
  }
  if (!full_) walk(cursor, length_);
  if (full_) {
    const uint64_t end = report_.recovered.empty()
                             ? cursor
                             : report_.recovered.back().offset + report_.recovered.back().length;
    addUnreadable(end, length_);
  }
}

bool Salvager::layBlock(const BlockInfo& block, Found found, uint64_t floor) {
  const std::size_t n = block.itemCount;
  // Read aside: the window stays with the records, which lie before the block.
  std::vector<uint8_t> itemCopy(n * kItemSize);
  if (!source_.readExact(start_ + block.position + kBlockHeadSize, itemCopy.data(), itemCopy.size()))
    return false;
  std::vector<FrameIndexEntry> laid(n);
  uint32_t mask = 0;
  if (!layBlockRecords(block, itemCopy.data(), floor, "the bytes before it end", laid.data(), mask))
    return false;

  walk(floor, n >= 2 ? laid[0].offset : block.position);
  if (full_) return true;
  if (!blockTime_) timeEarlyEntries(uint16_t(block.baseTime));
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const uint64_t end = laid[i + 1].offset;
    if (indexedRecordOk(laid[i], end - laid[i].offset)) {
      if (!addEntry(laid[i], found, end)) return true;
    } else {
      addUnreadable(laid[i].offset, end);
    }
  }
  blockTime_ = laid[n - 1].time;
  addEntry(laid[n - 1], found, block.end());
  return true;
}

// Records one after another from `from`, each where the last ended; where none passes, the search moves
// on a word at a time to the next head whose successor also passes, and the bytes between are unreadable.
void Salvager::walk(uint64_t from, uint64_t to) {
  uint64_t pos = from;
  bool inStep = true;
  uint64_t lostFrom = pos;
  while (pos < to && !full_) {
    uint64_t extent = 0;
    FrameIndexEntry entry;
    if (pos + kRecordHeadSize <= to && recordHere(pos, to, inStep, extent, &entry, true)) {
      addUnreadable(lostFrom, pos);
      if (!addEntry(entry, Found::kWalked, pos + extent)) return;
      pos += extent;
      lostFrom = pos;
      inStep = true;
      continue;
    }
    pos += kItemSize;
    inStep = false;
  }
  if (!full_) addUnreadable(lostFrom, to);
}

}  // namespace qmv
