// Bytes as hexadecimal text: digests and raw fields in reports, byte dumps in messages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qmv {

// Two lower-case digits per byte, nothing between: "0aff" (SHA-256 digests, the system name's bytes).
std::string hexText(std::span<const uint8_t> bytes);
// Two upper-case digits per byte, separated by spaces, as the format description writes bytes: "0A FF".
std::string hexDump(std::span<const uint8_t> bytes);
// The bytes of hexText's form (either case), or nullopt when text is not pairs of hex digits.
std::optional<std::string> bytesFromHexText(std::string_view text);

}  // namespace qmv
