// A small seeded generator for the test-recording generator: the same seed gives the same bytes everywhere.
#pragma once

#include <cstdint>

namespace qmv::gen {

// splitmix64: portable, unlike std:: distributions whose output differs between libraries.
class Prng {
 public:
  explicit Prng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. bound - 1 (bound > 0).
  uint32_t below(uint32_t bound) { return uint32_t(next() % bound); }
  uint8_t byte() { return uint8_t(next() >> 56); }

 private:
  uint64_t state_;
};

}  // namespace qmv::gen
