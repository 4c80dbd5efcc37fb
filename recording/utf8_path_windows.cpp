// UTF-8 names on Windows: a path holds UTF-16, converted by the same calls that name files to the
// wide-character APIs (libstdc++'s own conversion throws on a malformed name).
#include "recording/utf8_path.h"
#include "recording/windows_text.h"

namespace qmv {

std::filesystem::path pathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(windows::widen(std::string(utf8)));
}

std::string utf8FromPath(const std::filesystem::path& path) { return windows::narrow(path.native()); }

}  // namespace qmv
