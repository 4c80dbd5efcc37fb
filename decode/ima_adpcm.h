// IMA/DVI ADPCM decoder: 4-bit codes, high nibble first, to 16-bit PCM; the caller keeps the state.
#pragma once

#include <cstdint>

namespace qmv {

struct ImaAdpcmState {
  int16_t predictor = 0;  // the last decoded sample
  int16_t stepIndex = 0;  // 0..88
};

// Sets the index, and the predictor to that index's step size (not 0). The index is clamped to 0..88.
void imaAdpcmInit(ImaAdpcmState& state, int stepIndex);

// Decodes sampleCount codes from ceil(sampleCount / 2) input bytes. Every call starts on the high nibble
// of its first byte; with an odd count the last low nibble is ignored. Nothing happens for sampleCount <= 0.
void imaAdpcmDecode(ImaAdpcmState& state, const uint8_t* input, int16_t* output, int sampleCount);

}  // namespace qmv
