// Tests of the multi-mode ADPCM decoder: step tables, worked examples per coding type, commands, state
// isolation.
#include "decode/multi_adpcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace qmv {
namespace {

constexpr int16_t kUntouched = 0x5A5A;

TEST(MultiAdpcm, StepTablesMatchTheirListedEntries) {
  struct Case {
    int8_t type;
    int largestIndex;
    std::vector<int32_t> first;
    std::vector<int32_t> last;  // ending at largestIndex
  };
  const Case cases[] = {
      {0, 90, {16, 17, 18, 20, 21}, {15095, 16302}},      {13, 90, {16, 17, 18, 20, 21}, {15095, 16302}},
      {1, 81, {32, 34, 37, 40, 43}, {15102, 16310}},      {2, 72, {64, 69, 74, 80, 87}, {15110, 16318}},
      {3, 63, {128, 138, 149, 161, 174}, {15117, 16327}}, {4, 63, {128, 138, 149, 161, 174}, {15117, 16327}},
      {5, 48, {16, 17, 19, 21, 23}, {1282, 1411, 1552}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type));
    for (std::size_t k = 0; k < c.first.size(); ++k)
      EXPECT_EQ(multiAdpcmStepSize(c.type, int(k)), c.first[k]);
    const int lastStart = c.largestIndex + 1 - static_cast<int>(c.last.size());
    for (std::size_t k = 0; k < c.last.size(); ++k) {
      EXPECT_EQ(multiAdpcmStepSize(c.type, lastStart + int(k)), c.last[k]);
    }
    for (int k = 1; k <= c.largestIndex; ++k) {
      EXPECT_GT(multiAdpcmStepSize(c.type, k), multiAdpcmStepSize(c.type, k - 1)) << "k " << k;
    }
    EXPECT_EQ(multiAdpcmStepSize(c.type, c.largestIndex + 1), 0) << "past the table";
  }
  EXPECT_EQ(multiAdpcmStepSize(6, 0), 0);
  EXPECT_EQ(multiAdpcmStepSize(0, -1), 0);
}

struct DecodeCase {
  const char* name;
  int8_t codingType;
  int8_t channelMode;
  std::vector<uint8_t> input;
  std::vector<int16_t> samples;
  int32_t predictor0;
  int16_t stepIndex0;
  int32_t predictor1;
  int16_t stepIndex1;
};

// Each case starts from a reset decoder. Expected values were worked out by hand from the decoding step.
const DecodeCase kDecodeCases[] = {
    {"type 0", 0, 1, {0x70}, {30, 34}, 34, 9, 0, 0},
    {"type 5 scales by 16", 5, 1, {0x70}, {480, 544}, 34, 7, 0, 0},
    {"type 13, four codes per byte", 13, 1, {0x1B}, {8, 32, 22, -3}, -3, 4, 0, 0},
    {"type 0, two channels", 0, 2, {0x70}, {30, 2}, 30, 11, 2, 0},
    {"type 1, negative, largest magnitude", 1, 1, {0x1F}, {-62}, -62, 15, 0, 0},
    {"type 2, largest magnitude", 2, 1, {0x1F}, {126}, 126, 28, 0, 0},
    {"type 2 ignores the top bits of the byte", 2, 1, {0xFF}, {-126}, -126, 28, 0, 0},
    {"type 3, largest magnitude", 3, 1, {0x3F}, {254}, 254, 24, 0, 0},
    {"type 4, then a step from index 25", 4, 1, {0x7F, 0x00}, {255, 261}, 261, 23, 0, 0},
    {"type 4, signed zero rounds down", 4, 1, {0x80}, {-1}, -1, 0, 0, 0},
    // One code per byte: bytes alternate between the states.
    {"type 4, two channels", 4, 2, {0x7F, 0x00, 0x80}, {255, 1, 249}, 249, 23, 1, 0},
};

TEST(MultiAdpcm, DecodesWorkedExamples) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    MultiAdpcmDecoder decoder;
    EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr), 0);
    std::vector<int16_t> out(c.samples.size() + 1, kUntouched);
    const int32_t written =
        decoder.execute(MultiAdpcmDecoder::kDecode, c.channelMode, c.codingType, c.input.data(),
                        static_cast<uint32_t>(c.input.size()), out.data());
    EXPECT_EQ(written, static_cast<int32_t>(c.samples.size()));
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.end() - 1), c.samples);
    EXPECT_EQ(out.back(), kUntouched);
    EXPECT_EQ(decoder.state(0).predictor, c.predictor0);
    EXPECT_EQ(decoder.state(0).stepIndex, c.stepIndex0);
    EXPECT_EQ(decoder.state(1).predictor, c.predictor1);
    EXPECT_EQ(decoder.state(1).stepIndex, c.stepIndex1);
  }
}

TEST(MultiAdpcm, ClampsIndexAndPredictorPerType) {
  struct Case {
    int8_t codingType;
    uint8_t loud;  // the largest code of one sign, repeated
    int32_t predictor;
    int16_t stepIndex;
    int16_t lastSample;
  };
  const Case cases[] = {
      {0, 0x77, 32767, 90, 32767},  {0, 0xFF, -32768, 90, -32768}, {5, 0x77, 2047, 48, 32752},
      {5, 0xFF, -2048, 48, -32768}, {13, 0x55, 32767, 90, 32767},  {4, 0x7F, 32767, 63, 32767},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.codingType));
    MultiAdpcmDecoder decoder;
    const std::vector<uint8_t> input(200, c.loud);
    std::vector<int16_t> out(input.size() * 4);
    const int32_t written = decoder.execute(MultiAdpcmDecoder::kDecode, 1, c.codingType, input.data(),
                                            uint32_t(input.size()), out.data());
    ASSERT_GT(written, 0);
    EXPECT_EQ(decoder.state(0).predictor, c.predictor);
    EXPECT_EQ(decoder.state(0).stepIndex, c.stepIndex);
    EXPECT_EQ(out[written - 1], c.lastSample);
    if (c.codingType == 5) {
      for (int i = 0; i < written; ++i) ASSERT_EQ(out[i] % 16, 0) << "sample " << i;
    }
  }

  // Quiet codes after reset never take the index below 0.
  MultiAdpcmDecoder decoder;
  const uint8_t quiet[] = {0x00, 0x11, 0x88};
  int16_t out[6];
  decoder.execute(MultiAdpcmDecoder::kDecode, 1, 0, quiet, 3, out);
  EXPECT_EQ(decoder.state(0).stepIndex, 0);
}

// The decoding step written out bit by bit, for the types whose index tables are short.
struct Literal {
  int bits;
  std::vector<int> adjust;
  int largestIndex;
  int predictorMin, predictorMax, scale;
};

std::vector<int16_t> literalDecode(const Literal& type, int8_t codingType, bool twoChannels,
                                   int (&predictor)[2], int (&index)[2], const std::vector<uint8_t>& input) {
  std::vector<int16_t> out;
  int current = 0;
  for (uint8_t byte : input) {
    for (int n = 8 / type.bits - 1; n >= 0; --n) {
      const int code = (byte >> (type.bits * n)) & ((1 << type.bits) - 1);
      int step = multiAdpcmStepSize(codingType, index[current]);
      const int sign = (code >> (type.bits - 1)) & 1 ? -1 : 1;
      for (int k = type.bits - 2; k >= 0; --k) {
        if ((code >> k) & 1) predictor[current] += sign * step;
        step >>= 1;
      }
      predictor[current] += sign * step;
      const int magnitude = code & ((1 << (type.bits - 1)) - 1);
      index[current] = std::clamp(index[current] + type.adjust[magnitude], 0, type.largestIndex);
      predictor[current] = std::clamp(predictor[current], type.predictorMin, type.predictorMax);
      out.push_back(static_cast<int16_t>(predictor[current] * type.scale));
      if (twoChannels) current ^= 1;
    }
  }
  return out;
}

TEST(MultiAdpcm, MatchesLiteralDecodingAcrossCallsOnRandomInput) {
  struct Case {
    int8_t codingType;
    Literal type;
  };
  const Case cases[] = {
      {0, {4, {-2, -2, -2, -2, 2, 6, 9, 11}, 90, -32768, 32767, 1}},
      {5, {4, {-1, -1, -1, -1, 2, 4, 6, 8}, 48, -2048, 2047, 16}},
      {13, {2, {-2, 3}, 90, -32768, 32767, 1}},
  };
  std::mt19937 random(4);
  for (const Case& c : cases) {
    for (bool twoChannels : {false, true}) {
      SCOPED_TRACE("type " + std::to_string(c.codingType) +
                   (twoChannels ? ", two channels" : ", one channel"));
      MultiAdpcmDecoder decoder;
      int predictor[2] = {0, 0};
      int index[2] = {0, 0};
      // Odd and even sizes, with loud runs that reach the clamps.
      for (uint32_t size : {1u, 3u, 64u, 501u, 2000u}) {
        std::vector<uint8_t> input(size);
        for (uint8_t& b : input) b = static_cast<uint8_t>(random());
        if (size == 2000) std::fill(input.begin() + 100, input.begin() + 400, 0x77);
        std::vector<int16_t> out(size * 8 / c.type.bits);
        const int32_t written = decoder.execute(MultiAdpcmDecoder::kDecode, twoChannels ? 2 : 1, c.codingType,
                                                input.data(), size, out.data());
        ASSERT_EQ(written, static_cast<int32_t>(out.size()));
        ASSERT_EQ(out, literalDecode(c.type, c.codingType, twoChannels, predictor, index, input))
            << "size " << size;
        for (int s = 0; s < 2; ++s) {
          EXPECT_EQ(decoder.state(s).predictor, predictor[s]) << "state " << s;
          EXPECT_EQ(decoder.state(s).stepIndex, index[s]) << "state " << s;
        }
      }
    }
  }
}

TEST(MultiAdpcm, ResetClearsPredictorAndIndexOnly) {
  MultiAdpcmDecoder decoder;
  const uint8_t input[] = {0x07};  // codes 0 then 7: lastCode 7
  int16_t out[2];
  decoder.execute(MultiAdpcmDecoder::kDecode, 2, 0, input, 1, out);
  const MultiAdpcmState before0 = decoder.state(0);
  const MultiAdpcmState before1 = decoder.state(1);
  ASSERT_NE(before1.stepIndex, 0);

  EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr), 0);
  for (int s = 0; s < 2; ++s) {
    const MultiAdpcmState& before = s == 0 ? before0 : before1;
    EXPECT_EQ(decoder.state(s).predictor, 0);
    EXPECT_EQ(decoder.state(s).stepIndex, 0);
    EXPECT_EQ(decoder.state(s).sample, before.sample);
    EXPECT_EQ(decoder.state(s).lastCode, before.lastCode);
  }
}

TEST(MultiAdpcm, StepCommandDecodesTheHeldCodeOnTheNamedState) {
  MultiAdpcmDecoder decoder;
  const uint8_t input[] = {0x07};  // one channel: state 0 ends holding code 7
  int16_t out[2];
  decoder.execute(MultiAdpcmDecoder::kDecode, 1, 0, input, 1, out);
  decoder.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);

  int16_t untouched = kUntouched;
  EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kStep, 1, 0, nullptr, 0, &untouched), 1);
  EXPECT_EQ(decoder.state(0).predictor, 30);
  EXPECT_EQ(decoder.state(0).sample, 30);
  EXPECT_EQ(decoder.state(0).stepIndex, 11);
  EXPECT_EQ(decoder.state(0).lastCode, 7);
  EXPECT_EQ(untouched, kUntouched);

  // channelMode 2 names state 1, which holds code 0.
  EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kStep, 2, 0, nullptr, 0, nullptr), 1);
  EXPECT_EQ(decoder.state(1).predictor, 2);
  EXPECT_EQ(decoder.state(0).predictor, 30);

  // No state named, or a type without a step: nothing happens.
  const MultiAdpcmState before = decoder.state(0);
  for (int8_t mode : {0, 3, -1})
    EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kStep, mode, 0, nullptr, 0, nullptr), 0);
  for (int8_t type : {6, 7, 8, 12, 14}) {
    EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kStep, 1, type, nullptr, 0, nullptr), 0);
  }
  EXPECT_EQ(decoder.state(0).predictor, before.predictor);
  EXPECT_EQ(decoder.state(0).stepIndex, before.stepIndex);

  // A code held from a wider type counts only with this type's bits (0xF7 under type 0 is 7), and stays held.
  const uint8_t wide[] = {0xF7};
  decoder.execute(MultiAdpcmDecoder::kDecode, 1, 4, wide, 1, out);
  decoder.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  EXPECT_EQ(decoder.execute(MultiAdpcmDecoder::kStep, 1, 0, nullptr, 0, nullptr), 1);
  EXPECT_EQ(decoder.state(0).predictor, 30);
  EXPECT_EQ(decoder.state(0).lastCode, 0xF7);
}

TEST(MultiAdpcm, TextCommands) {
  struct Case {
    int8_t command;
    int32_t result;
    std::string text;
  };
  const Case cases[] = {{MultiAdpcmDecoder::kAuthor, 31, "ADPCM Decoder Library Authors."},
                        {MultiAdpcmDecoder::kVersion, 20, "MultiAdpcmDec V1.10"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    MultiAdpcmDecoder decoder;
    std::vector<int16_t> out(40, kUntouched);
    ASSERT_EQ(decoder.execute(c.command, 0, 0, nullptr, 0, out.data()), c.result);
    const std::string written(out.begin(), out.begin() + c.result - 1);
    EXPECT_EQ(written, c.text);
    EXPECT_EQ(out[c.result - 1], 0) << "terminating zero";
    EXPECT_EQ(out[c.result], kUntouched);
  }
}

TEST(MultiAdpcm, RejectedCallsReturnZeroAndChangeNothing) {
  MultiAdpcmDecoder decoder;
  const uint8_t warmUp[] = {0x73, 0x5A};
  int16_t scratch[4];
  decoder.execute(MultiAdpcmDecoder::kDecode, 2, 0, warmUp, 2, scratch);
  const MultiAdpcmState before[2] = {decoder.state(0), decoder.state(1)};

  const uint8_t input[] = {0x77, 0x77};
  struct Case {
    const char* name;
    int8_t command;
    int8_t codingType;
    const uint8_t* input;
    uint32_t length;
  };
  const Case cases[] = {
      {"type 6", MultiAdpcmDecoder::kDecode, 6, input, 2},
      {"type 7", MultiAdpcmDecoder::kDecode, 7, input, 2},
      {"type 8", MultiAdpcmDecoder::kDecode, 8, input, 2},
      {"type 12", MultiAdpcmDecoder::kDecode, 12, input, 2},
      {"type 14", MultiAdpcmDecoder::kDecode, 14, input, 2},
      {"type -1", MultiAdpcmDecoder::kDecode, -1, input, 2},
      {"length 0", MultiAdpcmDecoder::kDecode, 0, input, 0},
      {"no input", MultiAdpcmDecoder::kDecode, 0, nullptr, 2},
      // More samples than an int32 result can count.
      {"huge length", MultiAdpcmDecoder::kDecode, 13, input, 0x20000000u},
      {"command 2", 2, 0, input, 2},
      {"command 3", 3, 0, input, 2},
      {"command 5", 5, 0, input, 2},
      {"command 111", 111, 0, input, 2},
      {"command 114", 114, 0, input, 2},
      {"command -1", -1, 0, input, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int16_t> out(8, kUntouched);
    EXPECT_EQ(decoder.execute(c.command, 1, c.codingType, c.input, c.length, out.data()), 0);
    EXPECT_EQ(out, std::vector<int16_t>(8, kUntouched));
    for (int s = 0; s < 2; ++s) {
      EXPECT_EQ(decoder.state(s).predictor, before[s].predictor);
      EXPECT_EQ(decoder.state(s).stepIndex, before[s].stepIndex);
      EXPECT_EQ(decoder.state(s).sample, before[s].sample);
      EXPECT_EQ(decoder.state(s).lastCode, before[s].lastCode);
    }
  }
}

// Two conversions in one process each own a decoder; one's audio must not move the other's state.
TEST(MultiAdpcm, DecodersDoNotShareState) {
  const uint8_t prime[] = {0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E};
  const uint8_t record[] = {0x70, 0x12, 0x9C, 0x44};
  int16_t scratch[16];

  MultiAdpcmDecoder alone;
  alone.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  alone.execute(MultiAdpcmDecoder::kDecode, 1, 0, prime, 8, scratch);
  int16_t expected[8];
  alone.execute(MultiAdpcmDecoder::kDecode, 1, 0, record, 4, expected);

  MultiAdpcmDecoder first;
  MultiAdpcmDecoder second;
  first.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  first.execute(MultiAdpcmDecoder::kDecode, 1, 0, prime, 8, scratch);
  // The other conversion runs in between, including a reset.
  second.execute(MultiAdpcmDecoder::kDecode, 1, 0, record, 4, scratch);
  second.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  second.execute(MultiAdpcmDecoder::kDecode, 1, 4, record, 4, scratch);
  int16_t got[8];
  first.execute(MultiAdpcmDecoder::kDecode, 1, 0, record, 4, got);
  EXPECT_TRUE(std::equal(std::begin(got), std::end(got), std::begin(expected)));
  EXPECT_EQ(first.state(0).predictor, alone.state(0).predictor);
  EXPECT_EQ(first.state(0).stepIndex, alone.state(0).stepIndex);
}

}  // namespace
}  // namespace qmv
