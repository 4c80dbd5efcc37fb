// File names from the user are UTF-8 inside the program. std::filesystem::path holds the system's own form
// (bytes on POSIX, UTF-16 on Windows), and on Windows its std::string constructor and string() read and
// write the system's code page, not UTF-8: a name from the command line or a report becomes a path, and a
// path becomes text, only through these. Each platform's half is its own file (utf8_path_posix.cpp,
// utf8_path_windows.cpp).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qmv {

// Never throws: text that is not valid UTF-8 keeps its bytes on POSIX and gets U+FFFD on Windows.
std::filesystem::path pathFromUtf8(std::string_view utf8);
std::string utf8FromPath(const std::filesystem::path& path);

}  // namespace qmv
