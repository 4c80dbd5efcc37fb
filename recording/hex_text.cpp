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

std::optional<std::string> bytesFromHexText(std::string_view text) {
  const auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = nibble(text[i]), low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += char(high << 4 | low);
  }
  return bytes;
}

}  // namespace qmv
