// Generator records built by hand for tests that lay out a recording record by record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/generator/recording_generator.h"

namespace qmv::test {

// n bytes that are the same for the same seed.
std::vector<uint8_t> randomBytes(std::size_t n, uint32_t seed);

// data zero-padded to whole 32-bit words, as a video record stores its stream bytes.
std::vector<uint8_t> paddedToWords(std::vector<uint8_t> data);

// A video record of channel (0-based); key frames carry frame type 0x10, others 0x20.
gen::Record video(int channel, bool key, std::vector<uint8_t> data, uint8_t formatCode = 2,
                  uint8_t padWords = 0);

// An audio record of input (0-based) with ADPCM coded bytes.
gen::Record audio(int input, std::vector<uint8_t> coded);

}  // namespace qmv::test
