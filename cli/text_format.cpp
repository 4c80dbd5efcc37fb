// Numbers as the CLI prints them to people: byte counts in binary units.
#include "cli/text_format.h"

#include <cstdio>

namespace qmv::cli {

std::string humanBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t(1) << 30)) {
    std::snprintf(text, sizeof text, "%.2f GiB", double(bytes) / double(uint64_t(1) << 30));
  } else if (bytes >= (uint64_t(1) << 20)) {
    std::snprintf(text, sizeof text, "%.2f MiB", double(bytes) / double(uint64_t(1) << 20));
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

}  // namespace qmv::cli
