// Numbers as the CLI prints them to people: byte counts in binary units.
#pragma once

#include <cstdint>
#include <string>

namespace qmv::cli {

// "512 bytes", "1.5 KiB", "2.25 MiB", "1.00 GiB".
std::string humanBytes(uint64_t bytes);

}  // namespace qmv::cli
