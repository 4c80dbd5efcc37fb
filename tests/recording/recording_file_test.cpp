// Tests of RecordingFile: locating, validating and indexing generated recordings, and rejecting damaged ones.
#include "recording/recording_file.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "recording/byte_source.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

using gen::Block;
using gen::Record;
using gen::Scenario;

Record video(int channel, uint8_t timeDelta = 0, uint8_t frameType = 0x10, uint8_t flagNibble = 0) {
  Record r;
  r.type = Record::Type::Video;
  r.channel = channel;
  r.timeDelta = timeDelta;
  r.frameType = frameType;
  r.flagNibble = flagNibble;
  r.data = {0x00, 0x00, 0x01, 0xB6, 0x10, 0x20, 0x30, 0x40, 0x50};
  return r;
}

Record audio(int input, uint8_t timeDelta = 0, uint8_t flagNibble = 8) {
  Record r;
  r.type = Record::Type::Audio;
  r.channel = input;
  r.source = uint8_t(input);
  r.timeDelta = timeDelta;
  r.flagNibble = flagNibble;
  r.data.assign(16, 0x77);
  return r;
}

Record aux(Record::Type type, int channel, uint8_t timeDelta = 0) {
  Record r;
  r.type = type;
  r.channel = channel;
  r.timeDelta = timeDelta;
  r.data.assign(8, 0xA5);
  return r;
}

Scenario scenarioOf(std::vector<Block> blocks) {
  Scenario s;
  s.blocks = std::move(blocks);
  return s;
}

// Three blocks of mixed records: the fixture most tests and every damaged variant start from.
Scenario threeBlocks() {
  return scenarioOf({
      {100, {video(0, 0), audio(0, 0), video(1, 1, 0x20), aux(Record::Type::Aux, 0, 1)}},
      {102, {video(0, 0, 0x21), audio(0, 1), video(1, 1)}},
      {104, {video(1, 0), video(0, 2, 0x10), audio(0, 3)}},
  });
}

// The entries a reader must produce, worked out from what the scenario says each record is.
std::vector<FrameIndexEntry> expectedEntries(const Scenario& s, const gen::Layout& layout) {
  std::vector<FrameIndexEntry> out;
  std::size_t record = 0;
  for (std::size_t b = 0; b < s.blocks.size(); ++b) {
    const Block& block = s.blocks[b];
    for (const Record& r : block.records) {
      FrameIndexEntry e;
      e.time = uint16_t(block.baseTime + r.timeDelta);
      e.offset = layout.recordPositions.at(record++);
      switch (r.type) {
        case Record::Type::Video:
          e.kind = uint8_t(r.channel);
          e.flags = uint8_t(r.flagNibble << 4);
          break;
        case Record::Type::Audio:
          e.kind = uint8_t(0x40 + r.channel);
          e.flags = uint8_t(r.flagNibble << 4);
          break;
        case Record::Type::AuxChannel:
          e.kind = uint8_t(0x10 + r.channel);
          e.flags = 1;
          break;
        case Record::Type::Aux:
          e.kind = 0x2F;
          e.flags = 1;
          break;
      }
      out.push_back(e);
    }
    FrameIndexEntry own;
    own.kind = 0xFF;
    own.flags = 0;
    own.time = uint16_t(block.baseTime + (block.records.empty() ? 0 : block.records.back().timeDelta));
    own.offset = layout.blockPositions.at(b);
    out.push_back(own);
  }
  return out;
}

uint32_t expectedVideoMask(const Scenario& s) {
  uint32_t mask = 0;
  for (const Block& block : s.blocks) {
    for (const Record& r : block.records) {
      if (r.type == Record::Type::Video) mask |= 1u << r.channel;
    }
  }
  return mask;
}

bool sameEntry(const FrameIndexEntry& a, const FrameIndexEntry& b) {
  return a.kind == b.kind && a.flags == b.flags && a.time == b.time && a.offset == b.offset;
}

std::string describe(const FrameIndexEntry& e) {
  return fmt::format("{{kind {:02X} flags {:02X} time {} offset 0x{:X}}}", e.kind, e.flags, e.time, e.offset);
}

void expectIndexMatches(const RecordingFile& file, const Scenario& s, const gen::Layout& layout) {
  const std::vector<FrameIndexEntry> expected = expectedEntries(s, layout);
  ASSERT_EQ(file.entryCount(), layout.entryCount);
  ASSERT_EQ(file.entryCount(), expected.size());
  ASSERT_EQ(file.entries().size(), expected.size() + 1);
  for (std::size_t j = 0; j < expected.size(); ++j) {
    EXPECT_TRUE(sameEntry(file.entries()[j], expected[j]))
        << "entry " << j << ": " << describe(file.entries()[j]) << " expected " << describe(expected[j]);
  }
  // The spare entry stays as allocated.
  EXPECT_TRUE(sameEntry(file.entries().back(), FrameIndexEntry{}));
  EXPECT_EQ(file.blockCount(), s.blocks.size());
  EXPECT_EQ(file.videoMask(), expectedVideoMask(s));
  EXPECT_EQ(file.firstTime(), expected.front().time);
  EXPECT_EQ(file.lastTime(), expected.back().time);
  EXPECT_EQ(file.recordingStart(), layout.recordingStart);
  EXPECT_EQ(file.trailingSize(), layout.trailingSize);
  EXPECT_EQ(file.recordingLength(), layout.recordingLength);
}

Status openBytes(RecordingFile& file, std::vector<uint8_t> bytes, std::string name = "memory") {
  return file.open(makeMemorySource(std::move(bytes), std::move(name)));
}

// --- Accepted recordings -------------------------------------------------------------------

struct AcceptCase {
  const char* name;
  std::function<Scenario()> make;
  bool wrapped;
};

gen::ExecutableWrapper wrapper(bool marker, uint32_t trailing, bool zm = false) {
  gen::ExecutableWrapper w;
  w.withMarker = marker;
  w.trailingSize = trailing;
  w.zmMagic = zm;
  return w;
}

const AcceptCase kAcceptCases[] = {
    {"SingleBlock",
     [] {
       return scenarioOf({{7, {video(3, 0), audio(2, 1), video(3, 2, 0x31)}}});
     },
     false},
    {"ThreeBlocks", threeBlocks, false},
    {"LastBlockHoldsOnlyItsTerminator",
     [] {
       return scenarioOf({{10, {video(0, 0), video(0, 5)}}, {42, {}}});
     },
     false},
    {"EmptyBlockInTheMiddle",
     [] {
       return scenarioOf({{0, {video(0, 0)}}, {20, {}}, {30, {video(1, 4), audio(1, 4)}}});
     },
     false},
    {"ExecutableWithMarker",
     [] {
       Scenario s = threeBlocks();
       s.wrapper = wrapper(true, 0);
       return s;
     },
     true},
    {"ExecutableWithMarkerAndTrailingBytes",
     [] {
       Scenario s = threeBlocks();
       s.wrapper = wrapper(true, 100);
       return s;
     },
     true},
    {"ExecutableWithoutMarker",
     [] {
       Scenario s = threeBlocks();
       s.wrapper = wrapper(false, 0);
       return s;
     },
     true},
    {"ZmExecutableWithoutMarker",
     [] {
       Scenario s = threeBlocks();
       s.wrapper = wrapper(false, 0, true);
       s.wrapper->prefixSize = 64;
       return s;
     },
     true},
    {"PlannedBody",
     [] {
       gen::BodyPlan plan;
       plan.channels = {{.channel = 0, .formatCode = 18, .rateByte = 30, .audioInput = 0},
                        {.channel = 5, .formatCode = 2, .rateByte = 20}};
       plan.seconds = 3;
       plan.recordsPerBlock = 17;
       plan.startTime = 1200;
       plan.reuseFrames = true;
       return gen::planScenario(plan);
     },
     false},
};

class AcceptedRecording : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptedRecording, IndexMatchesWhatWasWritten) {
  const Scenario scenario = GetParam().make();
  const gen::GeneratedRecording rec = gen::buildRecording(scenario);
  RecordingFile file;
  const Status opened = openBytes(file, rec.bytes);
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  EXPECT_TRUE(file.isOpen());
  EXPECT_EQ(file.isWrapped(), GetParam().wrapped);
  EXPECT_EQ(file.fileLength(), rec.bytes.size());
  expectIndexMatches(file, scenario, rec.layout);
}

INSTANTIATE_TEST_SUITE_P(Reader, AcceptedRecording, ::testing::ValuesIn(kAcceptCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecordingFile, TrailingBytesAreNotPartOfTheRecording) {
  Scenario s = threeBlocks();
  s.wrapper = wrapper(true, 100);
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  RecordingFile file;
  ASSERT_TRUE(openBytes(file, rec.bytes).ok());
  EXPECT_EQ(file.trailingSize(), 100u);
  EXPECT_EQ(uint64_t(file.recordingStart()) + file.recordingLength() + 100, rec.bytes.size());
}

TEST(RecordingFile, PlainRecordingThatStartsWithMzIsReadAsAnExecutable) {
  // modelCode 0x4D and audioFormat 5 (byte 1 = 0x5A, its unused low bits set) make the bytes "MZ";
  // the word at 28 lies in the header's unused area, zero here, so the recording starts at 0.
  Scenario s = threeBlocks();
  s.header.modelCode = 0x4D;
  s.header.audioFormat = 5;
  s.header.systemName = "DVR";
  gen::GeneratedRecording rec = gen::buildRecording(s);
  rec.bytes[1] = 0x5A;
  RecordingFile file;
  const Status opened = openBytes(file, rec.bytes);
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  EXPECT_TRUE(file.isWrapped());
  EXPECT_EQ(file.recordingStart(), 0u);
  EXPECT_EQ(file.info().modelCode, 0x4D);
  EXPECT_EQ(file.info().audioFormat, 5);
  expectIndexMatches(file, s, rec.layout);
}

// --- Item codes, channels -------------------------------------------------------------------

TEST(RecordingFile, ItemCodesGiveKindsFlagsAndVideoChannels) {
  struct Row {
    Record record;
    uint8_t code, kind, flags;
  };
  const Row rows[] = {
      {video(5, 0, 0x10, 2), 0x25, 0x05, 0x20},
      {video(0, 0, 0x10, 7), 0x70, 0x00, 0x70},
      {aux(Record::Type::AuxChannel, 3), 0xB3, 0x13, 0x01},
      {aux(Record::Type::Aux, 7), 0xD7, 0x2F, 0x01},
      {audio(2, 0, 8), 0x82, 0x42, 0x80},
      {audio(15, 0, 0xC), 0xCF, 0x4F, 0xC0},
      {audio(1, 0, 0xF), 0xF1, 0x41, 0xF0},
  };
  Block block{0, {}};
  for (const Row& row : rows) {
    EXPECT_EQ(row.record.itemCode(), row.code) << "generator wrote another code";
    block.records.push_back(row.record);
  }
  const gen::GeneratedRecording rec = gen::buildRecording(scenarioOf({block}));
  RecordingFile file;
  ASSERT_TRUE(openBytes(file, rec.bytes).ok());
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE("item code " + std::to_string(rows[i].code));
    EXPECT_EQ(file.entries()[i].kind, rows[i].kind);
    EXPECT_EQ(file.entries()[i].flags, rows[i].flags);
  }
  // Only the two video items set a bit: channels 5 and 0.
  EXPECT_EQ(file.videoMask(), (1u << 5) | 1u);
}

// Video entries only: audio and auxiliary records of a channel's number do not count as its frames.
TEST(RecordingFile, ChannelSummariesCountVideoEntriesAndTheirTimes) {
  RecordingFile file;
  ASSERT_TRUE(openBytes(file, gen::buildRecording(threeBlocks()).bytes).ok());
  const auto& summaries = file.channelSummaries();
  const struct {
    int channel;
    uint64_t frames;
    uint16_t first, last;
    uint32_t span;
    double rate;
  } rows[] = {{0, 3, 100, 106, 7, 3.0 / 7}, {1, 3, 101, 104, 4, 0.75}, {2, 0, 0, 0, 0, 0.0}};
  for (const auto& row : rows) {
    SCOPED_TRACE("channel " + std::to_string(row.channel));
    const ChannelSummary& s = summaries[std::size_t(row.channel)];
    EXPECT_EQ(s.frames, row.frames);
    EXPECT_EQ(s.firstTime, row.first);
    EXPECT_EQ(s.lastTime, row.last);
    EXPECT_EQ(s.spanSeconds(), row.span);
    EXPECT_DOUBLE_EQ(s.deliveredRate(), row.rate);
  }
}

TEST(RecordingFile, AudioAndAuxiliaryOnlyChannelsSetNoVideoBit) {
  const Scenario s = scenarioOf({
      {0, {video(2, 0), audio(7, 0), aux(Record::Type::AuxChannel, 9), video(4, 1), audio(2, 1)}},
      {1, {audio(7, 0), audio(11, 0), video(2, 1, 0x20)}},
  });
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  RecordingFile file;
  ASSERT_TRUE(openBytes(file, rec.bytes).ok());
  EXPECT_EQ(file.videoMask(), (1u << 2) | (1u << 4));
}

// --- Header and description -----------------------------------------------------------------

struct DescriptionCase {
  const char* name;
  std::function<void(gen::HeaderFields&)> header;
  uint32_t firstBase, lastBase;  // times of the first record and of the last (empty) block
  RecordingDescription expected;
};

const DescriptionCase kDescriptionCases[] = {
    {"FullNameNtscWholeHour",
     [](gen::HeaderFields& h) {
       h.systemName = "ABCDEFGHIJKLMNOP";  // 16 bytes, no NUL
       h.hour = 13;
       h.year = 2007;
       h.month = 3;
       h.day = 9;
       h.videoStandard = 1;
       h.languageCode = 1;
       h.macTail = {0xAB, 0xCD, 0xEF};
     },
     0,
     3599,
     {"ABCDEFGHIJKLMNOP", "1.2.5", "02-3C-91-AB-CD-EF", "01, NTSC", "2007.03.09 13:00:00 ~ 13:59:59"}},
    {"ShortNamePal",
     [](gen::HeaderFields& h) {
       h.systemName = "Gate 2";
       h.versionMajor = 15;
       h.versionMinor = 0;
       h.versionBuild = 255;
       h.hour = 0;
       h.year = 2031;
       h.month = 12;
       h.day = 31;
       h.languageCode = 0x1F;
       h.macTail = {0x00, 0x01, 0x0A};
     },
     61,
     1234,
     {"Gate 2", "15.0.255", "02-3C-91-00-01-0A", "1F, PAL", "2031.12.31 00:01:01 ~ 00:20:34"}},
};

class Description : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(Description, TextsAreFormattedFromHeaderAndTimes) {
  const DescriptionCase& c = GetParam();
  Scenario s = scenarioOf({{c.firstBase, {video(0, 0)}}, {c.lastBase, {}}});
  c.header(s.header);
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  RecordingFile file;
  ASSERT_TRUE(openBytes(file, rec.bytes).ok());
  const RecordingDescription& d = file.description();
  EXPECT_EQ(d.systemName, c.expected.systemName);
  EXPECT_EQ(d.version, c.expected.version);
  EXPECT_EQ(d.macAddress, c.expected.macAddress);
  EXPECT_EQ(d.languageVideo, c.expected.languageVideo);
  EXPECT_EQ(d.recordedTime, c.expected.recordedTime);
}

INSTANTIATE_TEST_SUITE_P(Reader, Description, ::testing::ValuesIn(kDescriptionCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The header offsets checked against raw bytes, independently of the generator.
TEST(DecodeHeader, ReadsEveryFieldFromItsOffset) {
  std::array<uint8_t, format::kHeaderSize> h{};
  h[0] = 8;
  h[1] = 0x3C;  // audioFormat 3; the low bits are not used
  h[2] = 0x05;
  h[3] = 0x12;
  h[4] = 0x11, h[5] = 0x22, h[6] = 0x33;
  const char name[] = "CAM\0JUNK";  // the name ends at the first NUL
  std::memcpy(h.data() + 8, name, sizeof name);
  h[296] = 0xEF;  // every bit but bit 4: PAL
  for (int c = 0; c < 16; ++c) {
    h[312 + c] = uint8_t(4 * c + 1);
    h[360 + c] = c == 3 ? 0xFF : uint8_t(15 - c);
  }
  h[376] = 37, h[377] = 11, h[378] = 30, h[379] = 23;
  h[382] = 0x42;

  SystemInfo info = decodeHeader(h);
  EXPECT_EQ(info.modelCode, 8);
  EXPECT_EQ(info.audioFormat, 3);
  EXPECT_EQ(info.versionMajor, 1);
  EXPECT_EQ(info.versionMinor, 2);
  EXPECT_EQ(info.versionBuild, 5);
  EXPECT_EQ(info.macAddress, (std::array<uint8_t, 6>{0x02, 0x3C, 0x91, 0x11, 0x22, 0x33}));
  EXPECT_EQ(info.systemName, "CAM");
  EXPECT_EQ(info.videoStandard, 0);
  EXPECT_EQ(info.year, 2007);
  EXPECT_EQ(info.month, 11);
  EXPECT_EQ(info.day, 30);
  EXPECT_EQ(info.hour, 23);
  EXPECT_EQ(info.languageCode, 0x42);
  EXPECT_EQ(info.channelRate[0], 1);
  EXPECT_EQ(info.channelRate[15], 61);
  EXPECT_EQ(info.audioSource[0], 15);
  EXPECT_EQ(info.audioSource[3], 0xFF);
  EXPECT_EQ(info.audioSource[15], 0);

  h[296] = 0x10;
  info = decodeHeader(h);
  EXPECT_EQ(info.videoStandard, 1);
  EXPECT_EQ(describeRecording(info, 0, 0).languageVideo, "42, NTSC");
}

// Seconds past the hour count into the next hour, as the subtitles count them: never "13:60:09".
TEST(DescribeRecording, TimesPastTheHourShowTheNextHour) {
  SystemInfo info;
  info.year = 2007;
  info.month = 6;
  info.day = 15;
  info.hour = 13;
  const struct {
    uint16_t first, last;
    const char* text;
  } cases[] = {
      {0, 3599, "2007.06.15 13:00:00 ~ 13:59:59"},
      {600, 3609, "2007.06.15 13:10:00 ~ 14:00:09"},
      {3600, 7261, "2007.06.15 14:00:00 ~ 15:01:01"},
  };
  for (const auto& c : cases) EXPECT_EQ(describeRecording(info, c.first, c.last).recordedTime, c.text);
  info.hour = 23;
  EXPECT_EQ(describeRecording(info, 10, 3610).recordedTime, "2007.06.15 23:00:10 ~ 00:00:10");
}

// --- Rejected files -------------------------------------------------------------------------

// Patches a little-endian word of the wrapper.
void putLe32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value) {
  format::writeLe32(bytes.data() + at, value);
}

struct RejectCase {
  const char* name;
  std::function<std::vector<uint8_t>()> make;
  const char* reason;  // part of the message
};

std::vector<uint8_t> damaged(gen::Damage damage) {
  return gen::applyDamage(gen::buildRecording(threeBlocks()), damage);
}

std::vector<uint8_t> wrappedThreeBlocks() {
  Scenario s = threeBlocks();
  s.wrapper = wrapper(true, 0);
  return gen::buildRecording(s).bytes;
}

const RejectCase kRejectCases[] = {
    {"BadTrailer", [] { return damaged(gen::Damage::BadTrailer); }, "not an index trailer"},
    {"BackLinkNotBefore", [] { return damaged(gen::Damage::BackLinkNotBefore); }, "which is not before it"},
    {"BackLinkBelow512", [] { return damaged(gen::Damage::BackLinkBelow512); },
     "links back to 0x1FF, inside"},
    {"TerminatorLengthOff", [] { return damaged(gen::Damage::TerminatorLengthOff); }, "the trailer gives it"},
    {"TerminatorMarkBroken", [] { return damaged(gen::Damage::TerminatorMarkBroken); },
     "does not begin with FF FF"},
    {"ItemCountAboveEntryEnd", [] { return damaged(gen::Damage::ItemCountAboveEntryEnd); },
     "items but ends at frame index entry"},
    {"Truncated", [] { return damaged(gen::Damage::Truncated); }, "not an index trailer"},
    {"AbsurdEntryCount", [] { return damaged(gen::Damage::AbsurdEntryCount); }, "more than a recording of"},
    {"EntryEndBelowItems", [] { return damaged(gen::Damage::EntryEndBelowItems); },
     "items but ends at frame index entry"},
    {"EntryEndAboveCount", [] { return damaged(gen::Damage::EntryEndAboveCount); }, "beyond the recording's"},
    {"TooShort", [] { return damaged(gen::Damage::TooShort); }, "too few for a 512-byte header"},
    {"EmptyFile", [] { return std::vector<uint8_t>{}; }, "too few for a 512-byte header"},
    {"ExecutableHeaderCutShort", [] { return std::vector<uint8_t>{'M', 'Z', 0, 0, 0, 0, 0, 0, 0, 0}; },
     "too short for its header"},
    {"RecordingStartBeyondFile",
     [] {
       auto bytes = wrappedThreeBlocks();
       putLe32(bytes, 44, uint32_t(bytes.size() + 16));
       return bytes;
     },
     "past its end"},
    {"TrailingSizeBeyondFile",
     [] {
       auto bytes = wrappedThreeBlocks();
       putLe32(bytes, 56, uint32_t(bytes.size() + 1));
       return bytes;
     },
     "more than the whole file"},
    {"TrailingSizeHidesTheTrailer",
     [] {
       auto bytes = wrappedThreeBlocks();
       putLe32(bytes, 56, 8);
       return bytes;
     },
     "not an index trailer"},
    {"ExecutableWhoseWordAt28IsZero",
     [] {
       Scenario s = threeBlocks();
       s.wrapper = wrapper(false, 0);
       s.wrapper->storedStartOverride = 0;
       return gen::buildRecording(s).bytes;
     },
     "index block"},
    {"MzRecordingWithBytesInTheUnusedHeaderArea",
     [] {
       // Starting with "MZ", the header's unused bytes 28..31 are taken for a start far beyond the file.
       Scenario s = threeBlocks();
       s.header.modelCode = 0x4D;
       auto bytes = gen::buildRecording(s).bytes;
       bytes[1] = 0x5A;
       std::memcpy(bytes.data() + 28, "JUNK", 4);
       return bytes;
     },
     "past its end"},
    {"OnlyBlockAtTheEndOfTheHeader",
     // A lone block right after the header links back to 512, its own position.
     [] {
       return gen::buildRecording(scenarioOf({{3599, {}}})).bytes;
     },
     "links back to 0x200, which is not before it"},
    {"TrailerLongerThanTheRecording",
     [] {
       auto bytes = gen::buildRecording(threeBlocks()).bytes;
       bytes[bytes.size() - 2] = 0xFF;  // a last block of 0xFF.. words cannot fit
       return bytes;
     },
     "does not fit after the header"},
    {"FirstRecordReachesIntoTheHeader",
     [] {
       const Scenario s = threeBlocks();
       const gen::GeneratedRecording rec = gen::buildRecording(s);
       auto bytes = rec.bytes;
       // Item 0 of the first block: its length grows past the 512-byte header.
       uint8_t* item = bytes.data() + rec.layout.blockPositions[0] + 32;
       format::writeBe16(item + 2, uint16_t(format::readBe16(item + 2) + 1));
       return bytes;
     },
     "would begin before 0x200, where the header ends"},
    {"RecordReachesIntoThePreviousBlock",
     [] {
       const gen::GeneratedRecording rec = gen::buildRecording(threeBlocks());
       auto bytes = rec.bytes;
       uint8_t* item = bytes.data() + rec.layout.blockPositions[1] + 32;
       format::writeBe16(item + 2, uint16_t(format::readBe16(item + 2) + 1));
       return bytes;
     },
     "where the previous index block ends"},
    {"EntriesLeaveAGap",
     [] {
       const gen::GeneratedRecording rec = gen::buildRecording(threeBlocks());
       auto bytes = rec.bytes;
       // The first block claims one more entry than it has items: entry 0 would never be written.
       uint8_t* head = bytes.data() + rec.layout.blockPositions[0];
       format::writeBe32(head + 8, format::readBe32(head + 8) + 1);
       return bytes;
     },
     "begins at frame index entry 1, but the blocks before it end at entry 0"},
    {"BlockOverlapsTheNextOne",
     [] {
       const gen::GeneratedRecording rec = gen::buildRecording(scenarioOf({{0, {video(0)}}, {1, {}}}));
       auto bytes = rec.bytes;
       // The first block claims so many items that its terminator lies inside the last block.
       uint8_t* head = bytes.data() + rec.layout.blockPositions[0];
       const uint32_t grown = format::readBe32(head + 4) + 3;
       format::writeBe32(head + 4, grown);
       format::writeBe32(head + 8, grown);
       return bytes;
     },
     "runs past the next index block"},
};

class RejectedRecording : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectedRecording, IsRejectedWithItsReasonAndKeepsTheCurrentRecording) {
  const Scenario goodScenario = scenarioOf({{5, {video(9, 0), video(9, 1)}}});
  const gen::GeneratedRecording good = gen::buildRecording(goodScenario);
  RecordingFile file;
  ASSERT_TRUE(openBytes(file, good.bytes, "good").ok());

  const Status opened = openBytes(file, GetParam().make(), "bad");
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().code, 0);
  EXPECT_NE(opened.error().message.find(GetParam().reason), std::string::npos)
      << "message: " << opened.error().message;

  EXPECT_EQ(file.path(), "good");
  expectIndexMatches(file, goodScenario, good.layout);
}

INSTANTIATE_TEST_SUITE_P(Reader, RejectedRecording, ::testing::ValuesIn(kRejectCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- What is read -----------------------------------------------------------------------------

// A source that remembers every read and may hand out one byte per call.
class SpySource : public ByteSource {
 public:
  SpySource(std::vector<uint8_t> bytes, bool oneByteAtATime)
      : bytes_(std::move(bytes)), oneByte_(oneByteAtATime) {}
  uint64_t size() const override { return bytes_.size(); }
  const std::string& name() const override { return name_; }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    reads->push_back({offset, count});
    if (offset >= bytes_.size()) return 0;
    count = std::min<std::size_t>(count, bytes_.size() - offset);
    if (oneByte_) count = std::min<std::size_t>(count, 1);
    std::memcpy(destination, bytes_.data() + offset, count);
    return count;
  }
  struct Read {
    uint64_t offset;
    std::size_t count;
  };
  std::shared_ptr<std::vector<Read>> reads = std::make_shared<std::vector<Read>>();

 private:
  std::vector<uint8_t> bytes_;
  bool oneByte_;
  std::string name_ = "spy";
};

gen::GeneratedRecording bigBodyRecording() {
  // Large records, so that a read of the body would stand out.
  Scenario s = threeBlocks();
  for (Block& b : s.blocks) {
    for (Record& r : b.records) r.slackWords = 500;
  }
  s.wrapper = wrapper(true, 64);
  return gen::buildRecording(s);
}

TEST(RecordingFile, ReadsOnlyWrapperTrailerHeaderAndIndexBlocks) {
  const gen::GeneratedRecording rec = bigBodyRecording();
  auto spy = std::make_unique<SpySource>(rec.bytes, false);
  const auto reads = spy->reads;
  RecordingFile file;
  ASSERT_TRUE(file.open(std::move(spy)).ok());

  const uint64_t start = rec.layout.recordingStart;
  struct Range {
    uint64_t begin, end;
  };
  std::vector<Range> allowed = {{0, 64}, {start, start + format::kHeaderSize}};
  for (uint32_t position : rec.layout.blockPositions) {
    const uint32_t items = format::readBe32(rec.bytes.data() + start + position + 4);
    allowed.push_back({start + position, start + position + 32 + 4ull * items});
  }
  for (const auto& read : *reads) {
    const bool inside = std::any_of(allowed.begin(), allowed.end(), [&](const Range& r) {
      return read.offset >= r.begin && read.offset + read.count <= r.end;
    });
    EXPECT_TRUE(inside) << "read of " << read.count << " bytes at " << read.offset;
  }
  // Wrapper, trailer, header; validation and building read each block at most three times.
  EXPECT_LE(reads->size(), 3 + 3 * rec.layout.blockPositions.size());
}

TEST(RecordingFile, SourceThatHandsOutOneByteAtATimeGivesTheSameIndex) {
  const Scenario s = threeBlocks();
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  RecordingFile file;
  const Status opened = file.open(std::make_unique<SpySource>(rec.bytes, true));
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  expectIndexMatches(file, s, rec.layout);
}

// --- Files on disk ----------------------------------------------------------------------------

TEST(RecordingFile, OpensFilesByPathAndNamesTheFileWhenItCannot) {
  const std::filesystem::path dir = std::filesystem::path(QMV2AVI_TEST_TMP) / "recording_file_test";
  std::filesystem::create_directories(dir);
  const Scenario s = threeBlocks();
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  const std::string path = (dir / "three.qmv").string();
  ASSERT_TRUE(gen::writeFile(path, rec.bytes));

  RecordingFile file;
  const Status opened = file.open(path);
  ASSERT_TRUE(opened.ok()) << opened.error().message;
  EXPECT_EQ(file.path(), path);
  expectIndexMatches(file, s, rec.layout);

  const std::string missing = (dir / "missing.qmv").string();
  for (const std::string& bad : {missing, dir.string()}) {
    const Status failed = file.open(bad);
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(failed.error().message.find(bad), std::string::npos) << failed.error().message;
    EXPECT_EQ(file.path(), path);
  }

  file.close();
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.entryCount(), 0u);
  EXPECT_TRUE(file.entries().empty());
}

}  // namespace
}  // namespace qmv
