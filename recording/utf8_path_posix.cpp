// UTF-8 names on POSIX: a path is the name's bytes as they are.
#include "recording/utf8_path.h"

namespace qmv {

std::filesystem::path pathFromUtf8(std::string_view utf8) { return std::filesystem::path(utf8); }

std::string utf8FromPath(const std::filesystem::path& path) { return path.native(); }

}  // namespace qmv
