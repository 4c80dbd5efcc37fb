// UTF-8 text and std::filesystem paths, the same on every platform (a plain std::string path is the
// system's code page on Windows, not UTF-8).
#pragma once

#include <filesystem>
#include <string>

namespace qmv::test {

inline std::filesystem::path fromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string toUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace qmv::test
