// Windows only: UTF-8 text to and from the wide-character file APIs, and Windows error codes as errno
// values, so that messages and callers stay the same on both platforms.
#pragma once

#include <string>

namespace qmv::windows {

// File names are UTF-8 inside the program; the wide-character APIs take UTF-16.
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& utf16);

// The errno value closest to a GetLastError() code (EIO when none is close).
int errnoFromWindows(unsigned long code);

}  // namespace qmv::windows
