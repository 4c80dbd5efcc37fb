// The temporary names outputs are written under, the same on every platform.
#include "output/output_name.h"

#include <algorithm>
#include <cstdint>

namespace qmv::output_name {
namespace {

// Of a long output name, the temporary name keeps this many bytes, so that it fits where the output's fits.
constexpr std::size_t kMaxLeafBytes = 200;

bool randomLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string temporaryPrefix(const std::string& leaf) {
  std::size_t n = std::min(leaf.size(), kMaxLeafBytes);
  // Cut at a character's start: the name stays UTF-8.
  while (n > 0 && n < leaf.size() && (uint8_t(leaf[n]) & 0xC0) == 0x80) --n;
  return "." + leaf.substr(0, n) + ".qmv2avi-";
}

bool isTemporaryName(const std::string& leaf, const std::string& candidate) {
  const std::string prefix = temporaryPrefix(leaf);
  const std::string_view suffix = kTemporarySuffix;
  if (candidate.size() != prefix.size() + kRandomLetters + suffix.size()) return false;
  if (candidate.compare(0, prefix.size(), prefix) != 0 ||
      candidate.compare(candidate.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  return std::all_of(candidate.begin() + std::ptrdiff_t(prefix.size()),
                     candidate.end() - std::ptrdiff_t(suffix.size()), randomLetter);
}

}  // namespace qmv::output_name
