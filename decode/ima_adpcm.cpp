// IMA/DVI ADPCM decoding with the standard step-size and index tables.
#include "decode/ima_adpcm.h"

#include <algorithm>
#include <array>

namespace qmv {
namespace {

constexpr int kMaxStepIndex = 88;

// clang-format off
constexpr std::array<int16_t, kMaxStepIndex + 1> kImaStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,
    19,    21,    23,    25,    28,    31,    34,    37,    41,    45,
    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,
    337,   371,   408,   449,   494,   544,   598,   658,   724,   796,
    876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,
    5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487, 12635, 13899,
    15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::array<int8_t, 16> kImaIndexTable = {
    -1, -1, -1, -1, 2, 4, 6, 8,
    -1, -1, -1, -1, 2, 4, 6, 8};
// clang-format on

// The signed difference a code adds to the predictor at a given step size.
constexpr int32_t codeDifference(int32_t step, int code) {
  int32_t diff = step >> 3;
  if (code & 4) diff += step;
  if (code & 2) diff += step >> 1;
  if (code & 1) diff += step >> 2;
  return (code & 8) ? -diff : diff;
}

// Every (index, code) pair resolved ahead of time, so the decoding loop is two loads, an add and a clamp.
struct Transition {
  int32_t diff;
  int32_t nextRow;  // the next index times 16: the start of its row in kTransitions
};

constexpr std::array<Transition, (kMaxStepIndex + 1) * 16> makeTransitions() {
  std::array<Transition, (kMaxStepIndex + 1) * 16> table{};
  for (int index = 0; index <= kMaxStepIndex; ++index) {
    for (int code = 0; code < 16; ++code) {
      const int next = std::clamp(index + kImaIndexTable[code], 0, kMaxStepIndex);
      table[index * 16 + code] = {codeDifference(kImaStepTable[index], code), next * 16};
    }
  }
  return table;
}

constexpr auto kTransitions = makeTransitions();

inline int32_t applyCode(int32_t& predictor, int32_t row, int code) {
  const Transition& t = kTransitions[row + code];
  predictor = std::clamp(predictor + t.diff, -32768, 32767);
  return t.nextRow;
}

}  // namespace

void imaAdpcmInit(ImaAdpcmState& state, int stepIndex) {
  const int index = std::clamp(stepIndex, 0, kMaxStepIndex);
  state.stepIndex = static_cast<int16_t>(index);
  state.predictor = kImaStepTable[index];
}

void imaAdpcmDecode(ImaAdpcmState& state, const uint8_t* input, int16_t* output, int sampleCount) {
  if (sampleCount <= 0) {
    return;
  }
  int32_t predictor = state.predictor;
  // A state filled in by hand could hold any index; the table has 89 rows.
  int32_t row = std::clamp<int32_t>(state.stepIndex, 0, kMaxStepIndex) * 16;

  const int pairs = sampleCount / 2;
  for (int i = 0; i < pairs; ++i) {
    const uint8_t byte = input[i];
    row = applyCode(predictor, row, byte >> 4);
    output[2 * i] = static_cast<int16_t>(predictor);
    row = applyCode(predictor, row, byte & 0x0F);
    output[2 * i + 1] = static_cast<int16_t>(predictor);
  }
  if (sampleCount & 1) {
    row = applyCode(predictor, row, input[pairs] >> 4);
    output[sampleCount - 1] = static_cast<int16_t>(predictor);
  }

  state.predictor = static_cast<int16_t>(predictor);
  state.stepIndex = static_cast<int16_t>(row / 16);
}

}  // namespace qmv
