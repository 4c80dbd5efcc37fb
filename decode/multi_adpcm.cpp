// Multi-mode ADPCM decoding: coding-type tables, the decoding step, and the command entry.
#include "decode/multi_adpcm.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace qmv {
namespace {

constexpr char kAuthorText[] = "ADPCM Decoder Library Authors.";
constexpr char kVersionText[] = "MultiAdpcmDec V1.10";
static_assert(sizeof kAuthorText == 31 && sizeof kVersionText == 20);

// Every type's step table has this many rows; rows past a type's largest index hold 0, as in the library's
// shared 91 x 16 table. A state keeps its index when the coding type changes, so such rows can be reached.
constexpr int kStepRows = 91;

// Index adjustment by code magnitude: runs of -2 and -1, then the listed values.
template <int MinusTwo, int MinusOne, std::size_t Listed>
constexpr std::array<int16_t, MinusTwo + MinusOne + Listed> adjustments(const int16_t (&listed)[Listed]) {
  std::array<int16_t, MinusTwo + MinusOne + Listed> table{};
  std::size_t i = 0;
  for (int k = 0; k < MinusTwo; ++k) table[i++] = -2;
  for (int k = 0; k < MinusOne; ++k) table[i++] = -1;
  for (int16_t value : listed) table[i++] = value;
  return table;
}

// clang-format off
constexpr auto kAdjust0 = adjustments<4, 0>({2, 6, 9, 11});
constexpr auto kAdjust1 = adjustments<4, 4>({2, 5, 7, 9, 11, 12, 14, 15});
constexpr auto kAdjust2 = adjustments<8, 8>({1, 3, 5, 6, 9, 10, 12, 14, 16, 18, 19, 21, 23, 25, 27, 28});
constexpr auto kAdjust3 = adjustments<12, 20>({0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12,
                                               12, 13, 14, 15, 15, 16, 17, 18, 18, 19, 20, 21, 21, 22, 23, 24});
constexpr auto kAdjust4 = adjustments<20, 44>({0, 0, 1, 1, 1, 2, 2, 3, 3, 3, 4, 4, 5, 5, 5, 6,
                                               6, 7, 7, 7, 8, 8, 9, 9, 9, 10, 10, 11, 11, 11, 12, 12,
                                               13, 13, 13, 14, 14, 15, 15, 15, 16, 16, 17, 17, 17, 18, 18, 19,
                                               19, 19, 20, 20, 21, 21, 21, 22, 22, 23, 23, 23, 24, 24, 24, 25});
// The standard index table of 12-bit telephony ADPCM.
constexpr std::array<int16_t, 8> kAdjust5 = {-1, -1, -1, -1, 2, 4, 6, 8};
constexpr std::array<int16_t, 2> kAdjust13 = {-2, 3};
// clang-format on

struct CodingType {
  int8_t type;
  int bits;          // code width; the top bit is the sign
  int32_t stepBase;  // step k = floor(stepBase * growth^k)
  double growth;
  int largestIndex;
  int32_t predictorMin;
  int32_t predictorMax;
  int32_t outputScale;  // sample = predictor * outputScale
  std::span<const int16_t> adjust;
};

// clang-format off
constexpr CodingType kCodingTypes[] = {
    // type bits base growth  largest  predictor range    scale  adjustment
    {0,    4,   16,  1.08,   90,      -32768, 32767,      1,     kAdjust0},
    {1,    5,   32,  1.08,   81,      -32768, 32767,      1,     kAdjust1},
    {2,    6,   64,  1.08,   72,      -32768, 32767,      1,     kAdjust2},
    {3,    7,   128, 1.08,   63,      -32768, 32767,      1,     kAdjust3},
    {4,    8,   128, 1.08,   63,      -32768, 32767,      1,     kAdjust4},
    {5,    4,   16,  1.1,    48,      -2048,  2047,       16,    kAdjust5},
    {13,   2,   16,  1.08,   90,      -32768, 32767,      1,     kAdjust13},
};
// clang-format on

static_assert(kAdjust0.size() == 8 && kAdjust1.size() == 16 && kAdjust2.size() == 32 &&
              kAdjust3.size() == 64 && kAdjust4.size() == 128);

const CodingType* findCodingType(int8_t type) {
  for (const CodingType& t : kCodingTypes) {
    if (t.type == type) return &t;
  }
  return nullptr;
}

// The decoding step's effect on the predictor, before the clamp: one partial addition per magnitude bit,
// halving the step after each, then the rounding term.
int32_t codeDifference(int32_t step, int code, int bits) {
  const int32_t sign = (code >> (bits - 1)) & 1 ? -1 : 1;
  int32_t diff = 0;
  for (int k = bits - 2; k >= 0; --k) {
    if ((code >> k) & 1) diff += sign * step;
    step >>= 1;
  }
  return diff + sign * step;
}

// One coding type's step table, and every (step index, code) pair resolved ahead of time.
struct TypeTables {
  const CodingType* type = nullptr;
  std::vector<int32_t> steps;  // kStepRows entries
  struct Transition {
    int32_t diff;
    int32_t nextRow;  // next step index times the codes per index: the start of its row
  };
  std::vector<Transition> transitions;  // kStepRows x 2^bits
};

TypeTables buildTables(const CodingType& type) {
  TypeTables tables;
  tables.type = &type;
  tables.steps.assign(kStepRows, 0);
  for (int k = 0; k <= type.largestIndex; ++k) {
    tables.steps[k] = static_cast<int32_t>(std::floor(type.stepBase * std::pow(type.growth, k)));
  }
  const int codes = 1 << type.bits;
  const int signBit = 1 << (type.bits - 1);
  tables.transitions.resize(static_cast<std::size_t>(kStepRows) * codes);
  for (int index = 0; index < kStepRows; ++index) {
    for (int code = 0; code < codes; ++code) {
      // A 16-bit sum in the library; indices stay within 0..90, so no wrap is possible here.
      const int next = std::clamp(index + type.adjust[code & (signBit - 1)], 0, type.largestIndex);
      tables.transitions[index * codes + code] = {codeDifference(tables.steps[index], code, type.bits),
                                                  next * codes};
    }
  }
  return tables;
}

const TypeTables& tablesFor(const CodingType& type) {
  static const std::vector<TypeTables> all = [] {
    std::vector<TypeTables> result;
    for (const CodingType& t : kCodingTypes) result.push_back(buildTables(t));
    return result;
  }();
  return all[static_cast<std::size_t>(&type - kCodingTypes)];
}

// A state held in registers while a buffer is decoded.
struct Working {
  int32_t predictor;
  int32_t row;
  int32_t sample;
  uint8_t lastCode;
};

Working load(const MultiAdpcmState& s, int codes) {
  return {s.predictor, s.stepIndex * codes, s.sample, s.lastCode};
}

void store(const Working& w, MultiAdpcmState& s, int codes) {
  s.predictor = w.predictor;
  s.stepIndex = static_cast<int16_t>(w.row / codes);
  s.sample = w.sample;
  s.lastCode = w.lastCode;
}

inline void step(Working& w, const TypeTables::Transition* transitions, const CodingType& type, int code) {
  w.lastCode = static_cast<uint8_t>(code);
  const TypeTables::Transition& t = transitions[w.row + code];
  w.predictor = std::clamp(w.predictor + t.diff, type.predictorMin, type.predictorMax);
  w.row = t.nextRow;
  w.sample = w.predictor * type.outputScale;
}

// With two channels the current state is always `current`; swapping after each code alternates them.
template <int Bits, bool TwoChannels>
void decodeBytes(const TypeTables& tables, std::array<MultiAdpcmState, 2>& states, const uint8_t* input,
                 uint32_t length, int16_t* output) {
  constexpr int kCodes = 1 << Bits;
  constexpr int kPerByte = 8 / Bits;
  constexpr int kMask = kCodes - 1;
  const CodingType& type = *tables.type;
  const TypeTables::Transition* transitions = tables.transitions.data();

  Working current = load(states[0], kCodes);
  Working other = load(states[1], kCodes);
  for (uint32_t i = 0; i < length; ++i) {
    const int byte = input[i];
    for (int n = kPerByte - 1; n >= 0; --n) {
      step(current, transitions, type, (byte >> (Bits * n)) & kMask);
      *output++ = static_cast<int16_t>(current.sample);
      if constexpr (TwoChannels) std::swap(current, other);
    }
  }
  // After an odd number of codes the states are still swapped.
  const bool swapped = TwoChannels && (static_cast<uint64_t>(length) * kPerByte) % 2 == 1;
  store(current, states[swapped ? 1 : 0], kCodes);
  if (TwoChannels) store(other, states[swapped ? 0 : 1], kCodes);
}

template <int Bits>
void decodeBytes(const TypeTables& tables, std::array<MultiAdpcmState, 2>& states, bool twoChannels,
                 const uint8_t* input, uint32_t length, int16_t* output) {
  if (twoChannels) {
    decodeBytes<Bits, true>(tables, states, input, length, output);
  } else {
    decodeBytes<Bits, false>(tables, states, input, length, output);
  }
}

int32_t writeText(const char* text, std::size_t size, int16_t* output) {
  if (output == nullptr) return 0;
  for (std::size_t i = 0; i < size; ++i) output[i] = static_cast<int16_t>(text[i]);
  return static_cast<int32_t>(size);
}

}  // namespace

int32_t MultiAdpcmDecoder::execute(int8_t command, int8_t channelMode, int8_t codingType,
                                   const uint8_t* input, uint32_t length, int16_t* output) {
  switch (command) {
    case kReset:
      for (MultiAdpcmState& s : states_) {
        s.predictor = 0;
        s.stepIndex = 0;
      }
      return 0;

    case kStep: {
      const CodingType* type = findCodingType(codingType);
      if (type == nullptr || (channelMode != 1 && channelMode != 2)) return 0;
      const TypeTables& tables = tablesFor(*type);
      const int codes = 1 << type->bits;
      MultiAdpcmState& s = states_[channelMode - 1];
      Working w = load(s, codes);
      // lastCode may have been left by a wider type; only the bits of this type's code count.
      step(w, tables.transitions.data(), *type, s.lastCode & (codes - 1));
      w.lastCode = s.lastCode;
      store(w, s, codes);
      return 1;
    }

    case kDecode: {
      const CodingType* type = findCodingType(codingType);
      if (length == 0 || type == nullptr || input == nullptr || output == nullptr) return 0;
      const int perByte = 8 / type->bits;
      if (length > static_cast<uint32_t>(std::numeric_limits<int32_t>::max() / perByte)) return 0;
      const TypeTables& tables = tablesFor(*type);
      const bool twoChannels = channelMode == 2;
      switch (type->bits) {
        case 2:
          decodeBytes<2>(tables, states_, twoChannels, input, length, output);
          break;
        case 4:
          decodeBytes<4>(tables, states_, twoChannels, input, length, output);
          break;
        case 5:
          decodeBytes<5>(tables, states_, twoChannels, input, length, output);
          break;
        case 6:
          decodeBytes<6>(tables, states_, twoChannels, input, length, output);
          break;
        case 7:
          decodeBytes<7>(tables, states_, twoChannels, input, length, output);
          break;
        case 8:
          decodeBytes<8>(tables, states_, twoChannels, input, length, output);
          break;
      }
      return static_cast<int32_t>(length) * perByte;
    }

    case kAuthor:
      return writeText(kAuthorText, sizeof kAuthorText, output);
    case kVersion:
      return writeText(kVersionText, sizeof kVersionText, output);
    default:
      return 0;
  }
}

int32_t multiAdpcmStepSize(int8_t codingType, int stepIndex) {
  const CodingType* type = findCodingType(codingType);
  if (type == nullptr || stepIndex < 0 || stepIndex >= kStepRows) return 0;
  return tablesFor(*type).steps[stepIndex];
}

const MultiAdpcmState& MultiAdpcmDecoder::state(int index) const { return states_[index == 1 ? 1 : 0]; }

}  // namespace qmv
