// Multi-mode ADPCM decoder: 2- to 8-bit codes under seven coding types, one or two interleaved channels.
#pragma once

#include <array>
#include <cstdint>

namespace qmv {

struct MultiAdpcmState {
  int32_t sample = 0;     // the last output value after scaling; the output sample is its low 16 bits
  int16_t stepIndex = 0;  // row of the coding type's step table
  uint8_t lastCode = 0;   // the code being decoded
  int32_t predictor = 0;  // the decoded value before scaling
};

// One decoder per conversion: its two states carry over between calls until a reset.
class MultiAdpcmDecoder {
 public:
  static constexpr int8_t kReset = 0, kStep = 1, kDecode = 4, kAuthor = 112, kVersion = 113;

  // kReset: zero predictor and stepIndex of both states; returns 0.
  // kStep: one decoding step on state 0 (channelMode 1) or 1 (channelMode 2) with its lastCode; returns 1,
  //   or 0 and does nothing for another channelMode or a coding type outside 0..5 and 13.
  // kDecode: decodes length bytes into length x codes-per-byte samples; channelMode 2 alternates the
  //   states per code. Returns the sample count, or 0 with nothing changed for length 0, an unknown type,
  //   a null buffer, or a length whose sample count does not fit in 31 bits.
  // kAuthor, kVersion: the library's author and version texts, one int16 per character with the
  //   terminating zero; return 31 and 20.
  // Any other command returns 0.
  int32_t execute(int8_t command, int8_t channelMode, int8_t codingType, const uint8_t* input,
                  uint32_t length, int16_t* output);

  const MultiAdpcmState& state(int index) const;  // index 1 gives state 1, any other index state 0

 private:
  std::array<MultiAdpcmState, 2> states_{};
};

// The step size of a coding type's table at stepIndex; 0 for an unknown type or an index past its table.
int32_t multiAdpcmStepSize(int8_t codingType, int stepIndex);

}  // namespace qmv
