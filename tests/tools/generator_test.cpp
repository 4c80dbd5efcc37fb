// Tests of the test-recording generator: byte layout, stored payload forms, real MPEG-4 VOPs, damage,
// determinism.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <set>
#include <string>

#include "decode/ima_adpcm.h"
#include "support/picture_compare.h"
#include "support/reference_mpeg4_decoder.h"
#include "tools/generator/recording_generator.h"

namespace qmv::gen {
namespace {

using namespace qmv::format;

// Header fields set away from their defaults, so a field written to the wrong place shows.
HeaderFields distinctiveHeader() {
  HeaderFields h;
  h.modelCode = 7;
  h.audioFormat = 5;
  h.versionMajor = 3;
  h.versionMinor = 9;
  h.versionBuild = 42;
  h.macTail = {0xA1, 0xB2, 0xC3};
  h.systemName = "SIXTEEN-CHARS-XY";  // exactly 16: stored without a NUL
  h.videoStandard = 1;
  for (int c = 0; c < kChannelCount; ++c) {
    h.channelRate[c] = uint8_t(10 + c);
    h.audioSource[c] = c % 3 == 0 ? uint8_t(c / 3) : kNoAudioSource;
  }
  h.year = 2011;
  h.month = 11;
  h.day = 29;
  h.hour = 23;
  h.languageCode = 0x4B;
  return h;
}

Record makeRecord(Record::Type type, int channel, std::vector<uint8_t> data) {
  Record r;
  r.type = type;
  r.channel = channel;
  r.data = std::move(data);
  return r;
}

// Three blocks: mixed records, a block of only its terminator, and records with slack and flags.
Scenario layoutScenario() {
  Scenario s;
  s.header = distinctiveHeader();
  Record video = makeRecord(Record::Type::Video, 2, {1, 2, 3, 4, 5, 6});
  video.flagNibble = 3;
  video.formatCode = 18;
  video.padWords = 1;
  video.timeDelta = 0;
  Record audio = makeRecord(Record::Type::Audio, 5, std::vector<uint8_t>(16, 0x37));
  audio.source = 5;
  audio.flagNibble = 0xA;
  audio.timeDelta = 1;
  Record auxChannel = makeRecord(Record::Type::AuxChannel, 7, {9, 9, 9});
  auxChannel.timeDelta = 2;
  Record nonKey = makeRecord(Record::Type::Video, 15, std::vector<uint8_t>(9, 0x11));
  nonKey.frameType = 0x21;
  nonKey.slackWords = 2;
  nonKey.timeDelta = 4;
  Record aux = makeRecord(Record::Type::Aux, 3, {});
  aux.timeDelta = 5;
  s.blocks = {Block{7, {video, audio, auxChannel}}, Block{9, {}}, Block{100, {nonKey, aux}}};
  return s;
}

uint32_t be32At(const std::vector<uint8_t>& b, std::size_t at) { return readBe32(&b[at]); }
uint16_t be16At(const std::vector<uint8_t>& b, std::size_t at) { return readBe16(&b[at]); }

TEST(GeneratorLayout, HeaderFieldsSitAtTheirOffsets) {
  const auto bytes = buildRecording(layoutScenario()).bytes;
  ASSERT_GE(bytes.size(), kHeaderSize);
  const std::map<std::size_t, uint8_t> expected = {
      {0, 7},   {1, 0x50}, {2, 42},   {3, 0x39},   {4, 0xA1}, {5, 0xB2}, {6, 0xC3},   {7, 0},
      {8, 'S'}, {23, 'Y'}, {24, 0},   {296, 0x10}, {312, 10}, {327, 25}, {360, 0},    {361, 0xFF},
      {363, 1}, {375, 5},  {376, 41}, {377, 11},   {378, 29}, {379, 23}, {382, 0x4B}, {511, 0},
  };
  for (const auto& [offset, value] : expected) EXPECT_EQ(bytes[offset], value) << "header byte " << offset;
  // Every byte the table does not name is zero.
  std::set<std::size_t> named;
  for (std::size_t i = 8; i < 24; ++i) named.insert(i);
  for (std::size_t i = 312; i < 328; ++i) named.insert(i);
  for (std::size_t i = 360; i < 376; ++i) named.insert(i);
  for (std::size_t i : {0, 1, 2, 3, 4, 5, 6, 296, 376, 377, 378, 379, 382}) named.insert(i);
  for (std::size_t i = 0; i < kHeaderSize; ++i) {
    if (!named.count(i)) {
      EXPECT_EQ(bytes[i], 0) << "unused header byte " << i;
    }
  }

  HeaderFields shortName;
  shortName.systemName = "AB";
  const auto header = buildHeader(shortName);
  EXPECT_EQ(header[8], 'A');
  EXPECT_EQ(header[10], 0) << "a name shorter than 16 bytes ends with NUL";
  EXPECT_EQ(header[296], 0) << "PAL clears bit 4";
}

// Walks the recording from its trailer back to 512, the way the format is read, and checks every
// block head, item, terminator and record head against what the scenario asked for.
TEST(GeneratorLayout, BlocksAndRecordsAreFoundFromTheTrailer) {
  const Scenario scenario = layoutScenario();
  const GeneratedRecording rec = buildRecording(scenario);
  const auto& b = rec.bytes;
  const Layout& layout = rec.layout;
  EXPECT_EQ(layout.recordingStart, 0u);
  EXPECT_EQ(layout.recordingLength, b.size());
  EXPECT_EQ(layout.entryCount, 5u + 3u);

  struct ExpectedBlock {
    uint32_t itemCount, entryEnd, baseTime;
    std::vector<std::array<int, 3>> items;  // code, timeDelta, length in words
  };
  // Video 6 stream bytes -> 2 words + 1 pad word; audio 16 bytes -> 4 words; aux 3 bytes -> 1 word;
  // video 9 bytes -> 3 words + 2 slack words; empty aux -> 0 words. Each length adds the 3-word head.
  const std::vector<ExpectedBlock> expected = {
      {4, 4, 7, {{0x32, 0, 6}, {0xA5, 1, 7}, {0xB7, 2, 4}}},
      {1, 5, 9, {}},
      {3, 8, 100, {{0x0F, 4, 8}, {0xD3, 5, 3}}},
  };

  std::vector<uint32_t> blocks;
  std::vector<uint32_t> records;
  ASSERT_EQ(b[b.size() - 4], 0xFF);
  ASSERT_EQ(b[b.size() - 3], 0xFF);
  uint32_t r = uint32_t(b.size() - 4 * be16At(b, b.size() - 2));
  for (int index = int(expected.size()) - 1; index >= 0; --index) {
    SCOPED_TRACE("block " + std::to_string(index));
    const ExpectedBlock& e = expected[index];
    blocks.insert(blocks.begin(), r);
    EXPECT_EQ(be32At(b, r + 4), e.itemCount);
    EXPECT_EQ(be32At(b, r + 8), e.entryEnd);
    EXPECT_EQ(be32At(b, r + 12), e.baseTime);
    for (int i = 16; i < 32; ++i) EXPECT_EQ(b[r + i], 0) << "head byte " << i;
    const std::size_t terminator = r + 28 + 4 * e.itemCount;
    EXPECT_EQ(b[terminator], 0xFF);
    EXPECT_EQ(b[terminator + 1], 0xFF);
    EXPECT_EQ(be16At(b, terminator + 2), e.itemCount + 8);
    uint32_t recordEnd = r;
    for (int i = int(e.items.size()) - 1; i >= 0; --i) {
      const std::size_t item = r + 32 + 4 * std::size_t(i);
      EXPECT_EQ(b[item], e.items[i][0]) << "item " << i;
      EXPECT_EQ(b[item + 1], e.items[i][1]) << "item " << i;
      EXPECT_EQ(be16At(b, item + 2), e.items[i][2]) << "item " << i;
      recordEnd -= 4 * be16At(b, item + 2);
      records.insert(records.begin(), recordEnd);
    }
    const uint32_t prev = be32At(b, r);
    if (index == 0) {
      EXPECT_EQ(prev, 512u);
      EXPECT_EQ(recordEnd, 512u) << "the first block's records start right after the header";
    } else {
      EXPECT_EQ(recordEnd, prev + 32 + 4 * expected[index - 1].itemCount)
          << "records follow the previous block";
      r = prev;
    }
  }
  EXPECT_EQ(blocks, layout.blockPositions);
  EXPECT_EQ(records, layout.recordPositions);
  ASSERT_EQ(records.size(), 5u);

  // Record heads: source, frameType, wordCount, zeros, formatCode, padWords.
  struct Head {
    uint8_t source, frameType;
    uint16_t wordCount;
    uint8_t formatCode, padWords;
  };
  const Head heads[] = {
      {2, 0x10, 3, 18, 1}, {5, 0x80, 4, 0, 0}, {7, 0x10, 1, 0, 0}, {15, 0x21, 3, 2, 0}, {3, 0x10, 0, 0, 0}};
  for (std::size_t i = 0; i < 5; ++i) {
    const uint32_t at = records[i];
    EXPECT_EQ(b[at], heads[i].source) << "record " << i;
    EXPECT_EQ(b[at + 1], heads[i].frameType) << "record " << i;
    EXPECT_EQ(be16At(b, at + 2), heads[i].wordCount) << "record " << i;
    for (int k = 4; k < 10; ++k) EXPECT_EQ(b[at + k], 0) << "record " << i << " byte " << k;
    EXPECT_EQ(b[at + 10], heads[i].formatCode) << "record " << i;
    EXPECT_EQ(b[at + 11], heads[i].padWords) << "record " << i;
  }
  // Payloads as stored: video words reversed, audio in the form of audioFormat 5 (halves exchanged).
  const std::vector<uint8_t> videoWords(b.begin() + records[0] + 12, b.begin() + records[0] + 20);
  EXPECT_EQ(videoWords, (std::vector<uint8_t>{4, 3, 2, 1, 0, 0, 6, 5}));
  const std::vector<uint8_t> auxPayload(b.begin() + records[2] + 12, b.begin() + records[2] + 16);
  EXPECT_EQ(auxPayload, (std::vector<uint8_t>{9, 9, 9, 0}));
}

TEST(GeneratorLayout, ItemCodes) {
  struct Case {
    Record::Type type;
    int channel;
    uint8_t flagNibble;
    uint8_t code;
  };
  const Case cases[] = {
      {Record::Type::Video, 0, 0, 0x00},   {Record::Type::Video, 15, 7, 0x7F},
      {Record::Type::Video, 5, 2, 0x25},   {Record::Type::Audio, 3, 0, 0x83},    // default nibble 8
      {Record::Type::Audio, 3, 0xE, 0xE3}, {Record::Type::Audio, 4, 0xB, 0x84},  // B and D are not audio
      {Record::Type::Audio, 4, 0xD, 0x84}, {Record::Type::AuxChannel, 3, 0, 0xB3},
      {Record::Type::Aux, 7, 0, 0xD7},
  };
  for (const Case& c : cases) {
    Record r;
    r.type = c.type;
    r.channel = c.channel;
    r.flagNibble = c.flagNibble;
    EXPECT_EQ(r.itemCode(), c.code) << "channel " << c.channel << " nibble " << int(c.flagNibble);
  }
}

TEST(GeneratorLayout, WordCountOverrideKeepsTheExtent) {
  Scenario s;
  Record r = makeRecord(Record::Type::Video, 1, std::vector<uint8_t>(8, 0x42));
  r.wordCountOverride = 500;
  s.blocks = {Block{0, {r}}};
  const auto rec = buildRecording(s);
  EXPECT_EQ(be16At(rec.bytes, 512 + 2), 500);
  EXPECT_EQ(be16At(rec.bytes, rec.layout.blockPositions[0] + 32 + 2), 3 + 2)
      << "item length is the true extent";
}

TEST(GeneratorWrapper, FieldsAndRecordingPlacement) {
  struct Case {
    bool zm, marker;
    uint32_t prefix, trailing;
    std::optional<uint32_t> storedStart;
  };
  const Case cases[] = {
      {false, true, 4096, 0, std::nullopt},
      {true, true, 100, 77, std::nullopt},
      {false, false, 64, 0, std::nullopt},
      {true, false, 300, 50, std::nullopt},  // no marker: no trailing bytes
      {false, false, 200, 0, 0u},
  };
  const auto plain = buildRecording(layoutScenario()).bytes;
  for (const Case& c : cases) {
    SCOPED_TRACE("prefix " + std::to_string(c.prefix) + (c.marker ? " marker" : " plain"));
    Scenario s = layoutScenario();
    s.wrapper = ExecutableWrapper{c.zm, c.marker, c.prefix, c.trailing, c.storedStart};
    const auto rec = buildRecording(s);
    const auto& b = rec.bytes;
    const uint32_t trailing = c.marker ? c.trailing : 0;
    ASSERT_EQ(b.size(), c.prefix + plain.size() + trailing);
    EXPECT_EQ(rec.layout.recordingStart, c.prefix);
    EXPECT_EQ(rec.layout.trailingSize, trailing);
    EXPECT_EQ(b[0], c.zm ? 'Z' : 'M');
    EXPECT_EQ(b[1], c.zm ? 'M' : 'Z');
    if (c.marker) {
      EXPECT_EQ(std::vector<uint8_t>(b.begin() + 28, b.begin() + 32),
                (std::vector<uint8_t>{0x77, 0xBA, 0xAB, 0x77}));
      EXPECT_EQ(readLe32(&b[44]), c.prefix);
      EXPECT_EQ(readLe32(&b[56]), c.trailing);
    } else {
      EXPECT_EQ(readLe32(&b[28]), c.storedStart.value_or(c.prefix));
    }
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), b.begin() + c.prefix))
        << "the recording follows the prefix unchanged";
  }
}

TEST(GeneratorPayload, AudioStoredForms) {
  const std::vector<uint8_t> coded = {0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1};  // padded to 8 bytes with zeros
  struct Case {
    uint8_t audioFormat, modelCode;
    std::vector<uint8_t> stored;
  };
  const Case cases[] = {
      {0, 9, {0xA2, 0xA3, 0xA0, 0xA1, 0, 0, 0xB0, 0xB1}},  // halves exchanged, whatever the model
      {5, 3, {0xA2, 0xA3, 0xA0, 0xA1, 0, 0, 0xB0, 0xB1}},
      {3, 7, {0xA3, 0xA2, 0xA1, 0xA0, 0, 0, 0xB1, 0xB0}},  // IMA before model 8: reversed
      {3, 0, {0xA3, 0xA2, 0xA1, 0xA0, 0, 0, 0xB1, 0xB0}},
      {3, 8, {0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0, 0}},  // IMA from model 8 on: as coded
      {3, 255, {0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(storeAudioPayload(coded, c.audioFormat, c.modelCode), c.stored)
        << "audioFormat " << int(c.audioFormat) << " model " << int(c.modelCode);
  }
}

TEST(GeneratorPayload, VideoWordsReversedAndFillerKeptNonZero) {
  const std::vector<uint8_t> stream = {0x00, 0x00, 0x01, 0xB6, 0x51, 0x52, 0x53};
  const auto stored = storeVideoPayload(stream, 3, 9);
  ASSERT_EQ(stored.size(), 8u + 12u);
  EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + 8),
            (std::vector<uint8_t>{0xB6, 0x01, 0x00, 0x00, 0x00, 0x53, 0x52, 0x51}));
  for (std::size_t i = 8; i < stored.size(); ++i) EXPECT_NE(stored[i], 0) << "filler byte " << i;
  EXPECT_EQ(storeVideoPayload(stream, 3, 9), stored) << "filler is seeded";
  EXPECT_NE(storeVideoPayload(stream, 3, 10), stored);
  EXPECT_EQ(storeVideoPayload(stream, 0, 9).size(), 8u);
}

// The decoder is handed the converter's own VOL: template bytes 0..18 with the size word of the format.
std::vector<uint8_t> templateVol(int width, int height) {
  std::vector<uint8_t> vol = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x21, 0x00, 0xC4,
                              0x8D, 0x88, 0x00, 0xF5, 0x0B, 0x04, 0x1E, 0x14, 0x63};
  writeBe32(&vol[14], (uint32_t(width) << 19) | 0x40000u | (uint32_t(height) << 5) | 0x14u);
  return vol;
}

// Any start code in a VOP other than its own at offset 0 (VOS, VO, VOL, GOV, user data) is a leak.
std::vector<std::size_t> foreignStartCodes(const std::vector<uint8_t>& vop) {
  std::vector<std::size_t> found;
  for (std::size_t i = 1; i + 3 < vop.size(); ++i) {
    if (vop[i] == 0 && vop[i + 1] == 0 && vop[i + 2] == 1) found.push_back(i);
  }
  return found;
}

class GeneratorVideo : public ::testing::TestWithParam<uint8_t> {};

TEST_P(GeneratorVideo, VopsDecodeUnderTheTemplateVol) {
  const auto size = codedSizeForFormat(GetParam());
  ASSERT_TRUE(size.has_value());
  const auto [width, height] = *size;
  constexpr int kKeyInterval = 4;
  TestVideoEncoder encoder(width, height, kKeyInterval, 3);
  ASSERT_TRUE(encoder.ok());
  EXPECT_EQ(encoder.width(), width);
  EXPECT_EQ(encoder.height(), height);
  const auto vol = templateVol(width, height);
  test::ReferenceMpeg4Decoder decoder(vol.data(), vol.size(), width, height);
  ASSERT_TRUE(decoder.ok());
  std::vector<uint8_t> previous;
  for (int i = 0; i < 9; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const auto frame = encoder.next();
    ASSERT_GE(frame.vop.size(), 8u);
    EXPECT_EQ(frame.key, i % kKeyInterval == 0);
    EXPECT_EQ(std::vector<uint8_t>(frame.vop.begin(), frame.vop.begin() + 4),
              (std::vector<uint8_t>{0, 0, 1, 0xB6}));
    EXPECT_EQ(foreignStartCodes(frame.vop), std::vector<std::size_t>{});
    EXPECT_EQ(frame.vop[4] >> 6, frame.key ? 0 : 1) << "vop_coding_type I or P";
    const auto& picture = encoder.lastPictureBgr();
    ASSERT_EQ(picture.size(), std::size_t(width) * height * 3);
    EXPECT_NE(picture, previous) << "the pattern moves";
    previous = picture;
    const auto decoded = decoder.decode(frame.vop);
    ASSERT_EQ(decoded.size(), picture.size());
    EXPECT_GT(test::psnrBgr(decoded.data(), picture.data(), width, height), 30.0);
  }
}

INSTANTIATE_TEST_SUITE_P(DecoderFormats, GeneratorVideo, ::testing::Values(2, 3, 4, 18, 19, 20),
                         [](const auto& info) { return "format" + std::to_string(int(info.param)); });

TEST(GeneratorVideoSizes, OnlyTheDecoderTableHasCodedSizes) {
  EXPECT_EQ(codedSizeForFormat(3), (std::pair{704, 288}));
  EXPECT_EQ(codedSizeForFormat(20), (std::pair{704, 480}));
  for (int code : {0, 1, 5, 8, 12, 16, 17, 21, 24, 255})
    EXPECT_FALSE(codedSizeForFormat(uint8_t(code))) << code;
}

TEST(GeneratorAudio, ImaToneDecodesBackThroughTheConvertersDecoder) {
  constexpr int kCount = 1600;
  std::vector<int16_t> tone(kCount);
  for (int i = 0; i < kCount; ++i)
    tone[i] = int16_t(std::lround(6000 * std::sin(2 * std::numbers::pi * 440.0 * i / 8000)));
  ImaEncoderState encoderState;
  // Two calls, as in consecutive records: the state carries over.
  auto codes = imaAdpcmEncode(tone.data(), kCount / 2, encoderState);
  const auto second = imaAdpcmEncode(tone.data() + kCount / 2, kCount / 2, encoderState);
  codes.insert(codes.end(), second.begin(), second.end());
  ASSERT_EQ(codes.size(), std::size_t(kCount / 2));

  ImaAdpcmState state;
  imaAdpcmInit(state, 80);
  std::vector<int16_t> decoded(kCount);
  imaAdpcmDecode(state, codes.data(), decoded.data(), kCount);
  EXPECT_EQ(state.predictor, encoderState.predictor);
  EXPECT_EQ(state.stepIndex, encoderState.stepIndex);
  // After the decoder's loud start (predictor 15289) settles, the tone comes back closely.
  double signal = 0, noise = 0;
  for (int i = 400; i < kCount; ++i) {
    signal += double(tone[i]) * tone[i];
    noise += double(tone[i] - decoded[i]) * (tone[i] - decoded[i]);
  }
  EXPECT_GT(10 * std::log10(signal / noise), 20.0);
}

BodyPlan smallPlan() {
  BodyPlan plan;
  plan.seconds = 3;
  plan.recordsPerBlock = 17;
  plan.startTime = 1000;
  plan.auxEverySeconds = 1;
  plan.channels = {
      {.channel = 3, .formatCode = 18, .rateByte = 30, .audioInput = 6, .keyInterval = 5},
      {.channel = 12,
       .formatCode = 2,
       .rateByte = 10,
       .audioInput = -1,
       .keyInterval = 3,
       .startWithNonKey = true,
       .flagNibble = 5},
  };
  return plan;
}

TEST(GeneratorPlan, ChannelsAudioAndBlocksFollowThePlan) {
  for (bool reuse : {false, true}) {
    SCOPED_TRACE(reuse ? "reused frames" : "fresh frames");
    BodyPlan plan = smallPlan();
    plan.reuseFrames = reuse;
    const Scenario s = planScenario(plan);
    EXPECT_EQ(s.header.channelRate[3], 30);
    EXPECT_EQ(s.header.channelRate[12], 10);
    EXPECT_EQ(s.header.audioSource[3], 6);
    EXPECT_EQ(s.header.audioSource[12], kNoAudioSource);

    std::map<int, std::vector<const Record*>> video;
    int audio = 0, aux = 0;
    std::size_t total = 0;
    uint32_t lastSecond = 0;
    for (const Block& block : s.blocks) {
      EXPECT_LE(block.records.size(), 17u);
      total += block.records.size();
      for (const Record& r : block.records) {
        const uint32_t second = block.baseTime + r.timeDelta;
        EXPECT_GE(second, lastSecond) << "records in time order";
        EXPECT_GE(second, 1000u);
        EXPECT_LT(second, 1003u);
        lastSecond = second;
        if (r.type == Record::Type::Video) video[r.channel].push_back(&r);
        if (r.type == Record::Type::Audio) {
          ++audio;
          EXPECT_EQ(r.source, 6);
          EXPECT_EQ(r.itemCode(), 0x86);
          EXPECT_EQ(r.data.size(), 400u) << "100 words of 8 samples";
        }
        if (r.type == Record::Type::Aux || r.type == Record::Type::AuxChannel) ++aux;
      }
    }
    EXPECT_EQ(s.blocks.front().records.size(), 17u);
    EXPECT_EQ(total, (17u * (s.blocks.size() - 1)) + s.blocks.back().records.size());
    ASSERT_EQ(video[3].size(), 22u) << "7.5 frames per second for 3 seconds";
    ASSERT_EQ(video[12].size(), 7u) << "2.5 frames per second for 3 seconds";
    EXPECT_EQ(audio, 30) << "10 audio records per second";
    EXPECT_EQ(aux, 3);
    for (std::size_t i = 0; i < video[3].size(); ++i) {
      EXPECT_EQ(video[3][i]->frameType == 0x10, i % 5 == 0) << "frame " << i;
      EXPECT_EQ(video[3][i]->formatCode, 18);
      EXPECT_LE(video[3][i]->padWords, 2);
    }
    // Channel 12 starts inside a GOP of 3: P P I P P I P.
    for (std::size_t i = 0; i < video[12].size(); ++i) {
      EXPECT_EQ(isKeyFrameType(video[12][i]->frameType), i % 3 == 2) << "frame " << i;
      EXPECT_EQ(video[12][i]->itemCode(), 0x5C);
    }
  }
}

// The clock features of a plan: uneven delivery, a held first key frame, a late channel and a gap.
TEST(GeneratorPlan, UnevenDeliveryHeldKeyLateStartAndGap) {
  for (bool reuse : {false, true}) {
    SCOPED_TRACE(reuse ? "reused frames" : "fresh frames");
    BodyPlan plan;
    plan.seconds = 6;
    plan.startTime = 100;
    plan.gapAt = 4;
    plan.gapSeconds = 1200;
    plan.auxEverySeconds = 0;
    plan.reuseFrames = reuse;
    plan.channels = {
        {.channel = 0,
         .rateByte = 30,
         .audioInput = 0,
         .keyInterval = 5,
         .firstKeySecond = 2,
         .framesPerSecond = {4, 12, 7, 9}},
        {.channel = 1, .rateByte = 8, .audioInput = 1, .startSecond = 3},
    };
    const Scenario s = planScenario(plan);
    std::map<uint32_t, int> framesIn;              // CH-01's frames per recorded second
    std::vector<std::pair<uint32_t, bool>> first;  // CH-01: (second, key) in order
    std::map<int, uint32_t> firstVideo, firstAudio;
    std::map<int, int> audioRecords;
    for (const Block& block : s.blocks) {
      for (const Record& r : block.records) {
        const uint32_t second = block.baseTime + r.timeDelta;
        EXPECT_TRUE(second < 104 || second >= 1304) << "a record in the gap at " << second;
        if (r.type == Record::Type::Video) {
          firstVideo.try_emplace(r.channel, second);
          if (r.channel == 0) {
            ++framesIn[second];
            first.emplace_back(second, isKeyFrameType(r.frameType));
          }
        } else if (r.type == Record::Type::Audio) {
          firstAudio.try_emplace(r.channel, second);
          ++audioRecords[r.channel];
        }
      }
    }
    EXPECT_EQ(framesIn,
              (std::map<uint32_t, int>{{100, 4}, {101, 12}, {102, 7}, {103, 9}, {1304, 4}, {1305, 12}}));
    // Non-key frames until second 102, whose first frame is the first key frame; then one key in 5.
    for (std::size_t i = 0, sinceKey = 0; i < first.size(); ++i) {
      const bool held = first[i].first < 102;
      EXPECT_EQ(first[i].second, !held && sinceKey % 5 == 0) << "frame " << i;
      if (!held) ++sinceKey;
    }
    EXPECT_EQ(firstVideo, (std::map<int, uint32_t>{{0, 100}, {1, 103}}));
    EXPECT_EQ(firstAudio, (std::map<int, uint32_t>{{0, 100}, {1, 103}})) << "audio starts with its channel";
    EXPECT_EQ(audioRecords, (std::map<int, int>{{0, 60}, {1, 30}})) << "10 records a second of material";
  }
}

// A marked second: its pictures decode flat and bright, and the first audio record in it opens with the
// click.
TEST(GeneratorPlan, AMarkedSecondIsBrightAndClicks) {
  BodyPlan plan;
  plan.seconds = 3;
  plan.markSecond = 1;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 20, .audioInput = 0, .keyInterval = 4}};
  const Scenario s = planScenario(plan);
  const auto vol = templateVol(352, 288);
  test::ReferenceMpeg4Decoder decoder(vol.data(), vol.size(), 352, 288);
  ASSERT_TRUE(decoder.ok());
  ImaAdpcmState ima;
  imaAdpcmInit(ima, 80);
  int pictures = 0, clicks = 0;
  bool markedAudioSeen = false;
  for (const Block& block : s.blocks) {
    for (const Record& r : block.records) {
      const uint32_t second = block.baseTime + r.timeDelta;
      if (r.type == Record::Type::Video) {
        const auto picture = decoder.decode(r.data);
        ASSERT_FALSE(picture.empty());
        double sum = 0;
        for (uint8_t v : picture) sum += v;
        const double mean = sum / double(picture.size());
        if (second == 1)
          EXPECT_GT(mean, 240) << "a marked picture";
        else
          EXPECT_LT(mean, 160) << "the pattern";
        ++pictures;
      } else if (r.type == Record::Type::Audio) {
        std::vector<int16_t> pcm(r.data.size() * 2);
        imaAdpcmDecode(ima, r.data.data(), pcm.data(), int(pcm.size()));
        const auto peak = [&](std::size_t from, std::size_t to) {
          int level = 0;
          for (std::size_t i = from; i < to; ++i) level = std::max(level, std::abs(int(pcm[i])));
          return level;
        };
        const bool clicked = peak(0, kClickSamples) > kClickLevel / 2;
        EXPECT_EQ(clicked, second == 1 && !markedAudioSeen) << "record at " << second;
        markedAudioSeen = markedAudioSeen || second == 1;
        clicks += clicked;
        EXPECT_LT(peak(kClickSamples + 200, pcm.size()), kClickLevel / 2) << "the tone after the burst";
      }
    }
  }
  EXPECT_EQ(pictures, 15);
  EXPECT_EQ(clicks, 1);
}

TEST(GeneratorPlan, SameSeedSameBytesOtherSeedOtherBytes) {
  const auto a = buildRecording(planScenario(smallPlan())).bytes;
  const auto b = buildRecording(planScenario(smallPlan())).bytes;
  EXPECT_EQ(a, b);
  BodyPlan other = smallPlan();
  other.seed = 2;
  EXPECT_NE(buildRecording(planScenario(other)).bytes, a);
}

TEST(GeneratorPlan, FileWriterMatchesTheMemoryBuild) {
  Scenario s = planScenario(smallPlan());
  s.wrapper = ExecutableWrapper{false, true, 128, 40, std::nullopt};
  const auto rec = buildRecording(s);
  const std::string dir = QMV2AVI_TEST_TMP;
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/generator_file_writer.exe";
  Layout layout;
  ASSERT_TRUE(writeRecordingFile(s, path, &layout));
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(file, rec.bytes);
  EXPECT_EQ(layout.blockPositions, rec.layout.blockPositions);
  EXPECT_EQ(layout.recordingLength, rec.layout.recordingLength);
}

// The chain checks a reader makes, in 64-bit arithmetic: which rule a damaged file breaks.
std::string chainFault(const std::vector<uint8_t>& b, const Layout& layout) {
  const uint64_t start = layout.recordingStart;
  const uint64_t end = b.size() - layout.trailingSize;
  if (end < start + 4) return "short";
  if (b[end - 4] != 0xFF || b[end - 3] != 0xFF) return "trailer";
  uint64_t r = end - 4 * uint64_t(be16At(b, end - 2)) - start;
  while (true) {
    if (start + r + 16 > end) return "head";
    const uint32_t prev = be32At(b, start + r), itemCount = be32At(b, start + r + 4);
    const uint32_t entryEnd = be32At(b, start + r + 8);
    if (prev >= r) return "link";
    if (itemCount > entryEnd) return "count";
    const uint64_t terminator = start + r + 28 + 4 * uint64_t(itemCount);
    if (terminator + 4 > end) return "terminator-read";
    if (b[terminator] != 0xFF || b[terminator + 1] != 0xFF) return "terminator-mark";
    if (be16At(b, terminator + 2) != itemCount + 8) return "terminator-length";
    if (prev == 512) return "";
    if (prev < 512) return "link";
    r = prev;
  }
}

TEST(GeneratorDamage, EachVariantBreaksItsRule) {
  BodyPlan plan = smallPlan();
  plan.recordsPerBlock = 20;
  const auto rec = buildRecording(planScenario(plan));
  ASSERT_GE(rec.layout.blockPositions.size(), 3u);
  ASSERT_EQ(chainFault(rec.bytes, rec.layout), "");
  const uint32_t last = rec.layout.blockPositions.back();
  const uint32_t earlier = rec.layout.blockPositions[rec.layout.blockPositions.size() - 2];
  const uint32_t first = rec.layout.blockPositions.front();
  const uint32_t lastTerminator = uint32_t(rec.bytes.size() - 4);
  const uint32_t earlierTerminator = earlier + 28 + 4 * be32At(rec.bytes, earlier + 4);
  const uint32_t lastEntryEnd = be32At(rec.bytes, last + 8);

  struct Case {
    Damage damage;
    std::string fault;              // what the chain walk finds
    std::vector<uint32_t> changed;  // every byte that differs (same-size variants)
  };
  const Case cases[] = {
      {Damage::BadTrailer, "trailer", {lastTerminator}},
      {Damage::BackLinkNotBefore, "link", {last, last + 1, last + 2, last + 3}},
      {Damage::BackLinkBelow512, "link", {first + 2, first + 3}},
      {Damage::TerminatorLengthOff, "", {lastTerminator + 3}},  // the trailer itself moves the last block
      {Damage::TerminatorMarkBroken, "terminator-mark", {earlierTerminator + 1}},
      {Damage::ItemCountAboveEntryEnd, "count", {last + 8, last + 9, last + 10, last + 11}},
      {Damage::AbsurdEntryCount, "", {last + 8, last + 9, last + 10, last + 11}},
      {Damage::EntryEndBelowItems, "count", {earlier + 8, earlier + 9, earlier + 10, earlier + 11}},
      {Damage::EntryEndAboveCount, "", {earlier + 8, earlier + 9, earlier + 10, earlier + 11}},
      {Damage::ItemCountWraps, "terminator-read", {last + 4, last + 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("damage " + std::to_string(int(c.damage)));
    const auto damaged = applyDamage(rec, c.damage);
    ASSERT_EQ(damaged.size(), rec.bytes.size());
    std::vector<uint32_t> changed;
    for (uint32_t i = 0; i < damaged.size(); ++i) {
      if (damaged[i] != rec.bytes[i]) changed.push_back(i);
    }
    // Only the bytes that differ are compared: unchanged high bytes of a field do not show.
    for (uint32_t i : changed)
      EXPECT_NE(std::find(c.changed.begin(), c.changed.end(), i), c.changed.end()) << "byte " << i;
    EXPECT_FALSE(changed.empty());
    if (c.damage == Damage::TerminatorLengthOff) {
      // One word short: the walk lands 4 bytes into the last block and finds nonsense there.
      EXPECT_NE(chainFault(damaged, rec.layout), "");
    } else {
      EXPECT_EQ(chainFault(damaged, rec.layout), c.fault);
    }
  }
  // Bounds that the chain walk does not check, left for the reader's own limits.
  const auto absurd = applyDamage(rec, Damage::AbsurdEntryCount);
  EXPECT_GT(be32At(absurd, last + 8), 1000u * 1000u * 1000u);
  EXPECT_GT(be32At(applyDamage(rec, Damage::EntryEndAboveCount), earlier + 8), lastEntryEnd);
  const auto wraps = applyDamage(rec, Damage::ItemCountWraps);
  EXPECT_EQ(uint32_t(4 * be32At(wraps, last + 4)), 4 * be32At(rec.bytes, last + 4))
      << "wraps onto the real terminator";

  const auto truncated = applyDamage(rec, Damage::Truncated);
  EXPECT_GT(truncated.size(), 512u);
  EXPECT_LT(truncated.size(), rec.bytes.size());
  EXPECT_TRUE(std::equal(truncated.begin(), truncated.end(), rec.bytes.begin()));
  EXPECT_EQ(chainFault(truncated, rec.layout), "trailer");
  EXPECT_EQ(applyDamage(rec, Damage::TooShort).size(), 40u);
}

TEST(GeneratorDemo, FourChannelsTwoWithAudioOneMinute) {
  const Scenario s = demoScenario();
  std::set<int> videoChannels, audioInputs;
  uint32_t first = 0xFFFFFFFF, last = 0;
  for (const Block& block : s.blocks) {
    for (const Record& r : block.records) {
      const uint32_t t = block.baseTime + r.timeDelta;
      first = std::min(first, t);
      last = std::max(last, t);
      if (r.type == Record::Type::Video) videoChannels.insert(r.channel);
      if (r.type == Record::Type::Audio) audioInputs.insert(r.source);
    }
  }
  EXPECT_EQ(videoChannels.size(), 4u);
  EXPECT_EQ(audioInputs.size(), 2u);
  EXPECT_EQ(last - first, 59u);
  EXPECT_EQ(s.header.audioFormat, kAudioFormatIma);
  const auto bytes = buildRecording(s).bytes;
  EXPECT_LT(bytes.size(), 15u * 1024 * 1024);
}

}  // namespace
}  // namespace qmv::gen
