// Numbers as the CLI prints them to people: byte counts in binary units.
#include "cli/text_format.h"

#include <fmt/format.h>

namespace qmv::cli {

std::string humanBytes(uint64_t bytes) {
  if (bytes >= (uint64_t(1) << 30))
    return fmt::format("{:.2f} GiB", double(bytes) / double(uint64_t(1) << 30));
  if (bytes >= (uint64_t(1) << 20))
    return fmt::format("{:.2f} MiB", double(bytes) / double(uint64_t(1) << 20));
  if (bytes >= 1024) return fmt::format("{:.1f} KiB", double(bytes) / 1024.0);
  return fmt::format("{} bytes", bytes);
}

}  // namespace qmv::cli
