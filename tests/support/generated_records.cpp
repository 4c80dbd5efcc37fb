// Generator records built by hand for tests that lay out a recording record by record.
#include "support/generated_records.h"

#include <random>
#include <utility>

namespace qmv::test {

std::vector<uint8_t> randomBytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = uint8_t(rng());
  return out;
}

std::vector<uint8_t> paddedToWords(std::vector<uint8_t> data) {
  data.resize((data.size() + 3) / 4 * 4, 0);
  return data;
}

gen::Record video(int channel, bool key, std::vector<uint8_t> data, uint8_t formatCode, uint8_t padWords) {
  gen::Record r;
  r.type = gen::Record::Type::Video;
  r.channel = channel;
  r.frameType = key ? 0x10 : 0x20;
  r.formatCode = formatCode;
  r.padWords = padWords;
  r.data = std::move(data);
  return r;
}

gen::Record audio(int input, std::vector<uint8_t> coded) {
  gen::Record r;
  r.type = gen::Record::Type::Audio;
  r.channel = input;
  r.source = uint8_t(input);
  r.flagNibble = 8;
  r.data = std::move(coded);
  return r;
}

}  // namespace qmv::test
