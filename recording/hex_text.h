// Bytes as hexadecimal text: digests and raw fields in reports, byte dumps in messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qmv {

// Two lower-case digits per byte, nothing between: "0aff" (SHA-256 digests, the system name's bytes).
std::string hexText(std::span<const uint8_t> bytes);
// Two upper-case digits per byte, separated by spaces, as the format description writes bytes: "0A FF".
std::string hexDump(std::span<const uint8_t> bytes);

}  // namespace qmv
