// Scratch folders for tests: one per running test, so tests that CTest runs in parallel never share files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace qmv::test {

// root/area/<Suite.Test>, parameterized tests included ('/' becomes '_').
inline std::filesystem::path currentTestDir(const std::filesystem::path& root, const std::string& area) {
  std::string name = "no-test";
  if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& ch : name) {
      if (ch == '/') ch = '_';
    }
  }
  return root / area / name;
}

}  // namespace qmv::test
