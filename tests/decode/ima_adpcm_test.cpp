// Tests of the IMA ADPCM decoder: worked examples, clamps, nibble order, and a literal per-sample
// cross-check.
#include "decode/ima_adpcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace qmv {
namespace {

TEST(ImaAdpcm, InitSetsPredictorToTheStepSizeOfTheIndex) {
  struct Case {
    int index;
    int16_t predictor;
    int16_t stepIndex;
  };
  const Case cases[] = {
      {0, 7, 0},       {1, 8, 1},       {8, 16, 8}, {9, 17, 9},       {80, 15289, 80},
      {87, 29794, 87}, {88, 32767, 88}, {-3, 7, 0}, {200, 32767, 88},  // out-of-range indices are clamped
  };
  for (const Case& c : cases) {
    ImaAdpcmState state{-1, -1};
    imaAdpcmInit(state, c.index);
    EXPECT_EQ(state.predictor, c.predictor) << "index " << c.index;
    EXPECT_EQ(state.stepIndex, c.stepIndex) << "index " << c.index;
  }
}

struct DecodeCase {
  const char* name;
  ImaAdpcmState start;
  std::vector<uint8_t> input;
  int sampleCount;
  std::vector<int16_t> samples;
  ImaAdpcmState end;
};

const DecodeCase kDecodeCases[] = {
    {"code 0 from index 80", {15289, 80}, {0x00}, 1, {17200}, {17200, 79}},
    {"code 8 from index 80", {15289, 80}, {0x80}, 1, {13378}, {13378, 79}},
    {"saturates high and keeps index 88", {32000, 88}, {0x77}, 2, {32767, 32767}, {32767, 88}},
    {"saturates low", {-32000, 88}, {0xFF}, 2, {-32768, -32768}, {-32768, 88}},
    {"index stays at 0", {0, 0}, {0x00}, 1, {0}, {0, 0}},
    {"smallest step still rounds", {0, 0}, {0x10}, 1, {1}, {1, 0}},
    {"mixed signs and magnitudes", {0, 10}, {0xA5, 0x3C}, 4, {-11, 12, 33, 8}, {8, 14}},
    // Odd count: high then low nibble of byte 0, then the high nibble of byte 1; its low nibble (F) is
    // unused.
    {"odd count", {15289, 80}, {0x70, 0x8F}, 3, {32767, 32767, 29043}, {29043, 86}},
};

TEST(ImaAdpcm, DecodesWorkedExamples) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    ImaAdpcmState state = c.start;
    std::vector<int16_t> out(c.samples.size() + 1, 0x5A5A);
    imaAdpcmDecode(state, c.input.data(), out.data(), c.sampleCount);
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + c.sampleCount), c.samples);
    EXPECT_EQ(out.back(), 0x5A5A) << "wrote past sampleCount";
    EXPECT_EQ(state.predictor, c.end.predictor);
    EXPECT_EQ(state.stepIndex, c.end.stepIndex);
  }
}

TEST(ImaAdpcm, NonPositiveCountChangesNothing) {
  const uint8_t input[] = {0x77};
  for (int count : {0, -1}) {
    ImaAdpcmState state{1234, 40};
    int16_t out[2] = {0x5A5A, 0x5A5A};
    imaAdpcmDecode(state, input, out, count);
    EXPECT_EQ(state.predictor, 1234);
    EXPECT_EQ(state.stepIndex, 40);
    EXPECT_EQ(out[0], 0x5A5A);
  }
}

// The decoding steps written out one by one, with the step sizes taken from imaAdpcmInit.
std::vector<int16_t> literalDecode(ImaAdpcmState& state, const std::vector<uint8_t>& input, int sampleCount) {
  static const int8_t kIndexAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
  auto stepOf = [](int index) {
    ImaAdpcmState s;
    imaAdpcmInit(s, index);
    return static_cast<int>(s.predictor);
  };
  int predictor = state.predictor;
  int index = state.stepIndex;
  std::vector<int16_t> out;
  for (int i = 0; i < sampleCount; ++i) {
    const int code = (i % 2 == 0) ? input[i / 2] >> 4 : input[i / 2] & 0x0F;
    const int step = stepOf(index);
    index = std::clamp(index + kIndexAdjust[code & 7], 0, 88);
    int diff = step >> 3;
    if (code & 4) diff += step;
    if (code & 2) diff += step >> 1;
    if (code & 1) diff += step >> 2;
    predictor = std::clamp((code & 8) ? predictor - diff : predictor + diff, -32768, 32767);
    out.push_back(static_cast<int16_t>(predictor));
  }
  state = {static_cast<int16_t>(predictor), static_cast<int16_t>(index)};
  return out;
}

TEST(ImaAdpcm, MatchesLiteralDecodingAcrossCallsOnRandomInput) {
  std::mt19937 random(20261210);
  std::vector<uint8_t> input(4096);
  for (uint8_t& b : input) b = static_cast<uint8_t>(random());
  // Loud stretches drive the index and predictor to their limits.
  std::fill(input.begin() + 1000, input.begin() + 1100, 0x77);
  std::fill(input.begin() + 2000, input.begin() + 2100, 0xFF);

  for (int startIndex : {0, 40, 80, 88}) {
    SCOPED_TRACE(startIndex);
    ImaAdpcmState expectedState;
    imaAdpcmInit(expectedState, startIndex);
    ImaAdpcmState state = expectedState;

    // Record-sized calls carry the state; each starts on a fresh byte.
    std::size_t offset = 0;
    for (int bytes : {1, 7, 32, 500, 1000, 2556}) {
      const int count = bytes * 2 - (bytes == 7 ? 1 : 0);  // one odd count: its last low nibble is skipped
      const std::vector<uint8_t> chunk(input.begin() + offset, input.begin() + offset + bytes);
      std::vector<int16_t> out(count);
      imaAdpcmDecode(state, chunk.data(), out.data(), count);
      ASSERT_EQ(out, literalDecode(expectedState, chunk, count)) << "chunk at byte " << offset;
      offset += bytes;
    }
    EXPECT_EQ(offset, input.size());
    EXPECT_EQ(state.predictor, expectedState.predictor);
    EXPECT_EQ(state.stepIndex, expectedState.stepIndex);
  }
}

}  // namespace
}  // namespace qmv
