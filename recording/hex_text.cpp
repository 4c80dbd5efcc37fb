// Bytes as hexadecimal text: digests and raw fields in reports, byte dumps in messages.
#include "recording/hex_text.h"

namespace qmv {
namespace {

std::string encode(std::span<const uint8_t> bytes, const char* digits, const char* separator) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += separator;
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

std::string hexText(std::span<const uint8_t> bytes) { return encode(bytes, "0123456789abcdef", ""); }

std::string hexDump(std::span<const uint8_t> bytes) { return encode(bytes, "0123456789ABCDEF", " "); }

}  // namespace qmv
