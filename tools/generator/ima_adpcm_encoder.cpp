// IMA ADPCM encoder: the exact mirror of the converter's IMA decoder, for audio with a known tone.
#include "tools/generator/recording_generator.h"

namespace qmv::gen {

namespace {

constexpr int16_t kStepTable[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int8_t kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

int encodeOne(int sample, ImaEncoderState& s) {
  const int step = kStepTable[s.stepIndex];
  int delta = sample - s.predictor;
  int code = 0;
  if (delta < 0) {
    code = 8;
    delta = -delta;
  }
  int part = step;
  for (int bit = 4; bit >= 1; bit >>= 1, part >>= 1) {
    if (delta >= part) {
      code |= bit;
      delta -= part;
    }
  }
  // Track the decoder's state exactly, so encoder and decoder never drift apart.
  int diff = step >> 3;
  if (code & 4) diff += step;
  if (code & 2) diff += step >> 1;
  if (code & 1) diff += step >> 2;
  s.predictor += (code & 8) ? -diff : diff;
  if (s.predictor > 32767) s.predictor = 32767;
  if (s.predictor < -32768) s.predictor = -32768;
  s.stepIndex += kIndexTable[code];
  if (s.stepIndex < 0) s.stepIndex = 0;
  if (s.stepIndex > 88) s.stepIndex = 88;
  return code;
}

}  // namespace

std::vector<uint8_t> imaAdpcmEncode(const int16_t* samples, std::size_t count, ImaEncoderState& state) {
  std::vector<uint8_t> out((count + 1) / 2, 0);
  for (std::size_t i = 0; i < count; ++i) {
    const int code = encodeOne(samples[i], state);
    out[i / 2] |= uint8_t(i % 2 == 0 ? code << 4 : code);
  }
  return out;
}

}  // namespace qmv::gen
