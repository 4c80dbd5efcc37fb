// Numbers as the CLI prints them to people: byte counts in binary units.
#include "cli/text_format.h"

#include <fmt/format.h>

#include <algorithm>

namespace qmv::cli {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when the bytes there are not one.
std::size_t utf8Length(std::string_view text, std::size_t i, uint32_t& code) {
  const auto byte = [&](std::size_t k) { return uint8_t(text[k]); };
  const uint8_t lead = byte(i);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07u;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3Fu);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string consoleText(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const uint8_t c = uint8_t(text[i]);
    uint32_t code = 0;
    const std::size_t length = c < 0x80 ? 1 : utf8Length(text, i, code);
    if (c == '\\') {
      shown += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      shown += char(c);
    } else if (c == '\n' || c == '\r' || c == '\t') {
      shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
    } else if (length == 0 || c < 0x80) {
      shown += fmt::format("\\x{:02X}", c);
    } else if (code <= 0x9F) {
      shown += fmt::format("\\u{:04X}", code);  // C1 controls: U+009B starts a sequence as ESC [ does
    } else {
      shown += text.substr(i, length);
    }
    i += std::max<std::size_t>(length, 1);
  }
  return shown;
}

}  // namespace qmv::cli
