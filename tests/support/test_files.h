// Files for tests: per-test scratch folders under the test root, and whole-file reads.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qmv::test {

// root/area/<Suite.Test>[/sub], emptied and created, with a trailing '/' so that names append to it.
std::string freshTestDir(const std::filesystem::path& root, const std::string& area,
                         const std::string& sub = "");

// The same folder created but not emptied, for helpers that ask for it more than once in a test.
std::filesystem::path keptTestDir(const std::filesystem::path& root, const std::string& area);

// The whole file as bytes; empty when it cannot be read.
std::string slurp(const std::filesystem::path& path);

// The text's lines, without their line ends.
std::vector<std::string> lines(const std::string& text);
// Sorted names of the entries in dir; with an extension (".avi"), only those that have it.
std::vector<std::string> filesIn(const std::filesystem::path& dir, const std::string& extension = "");

}  // namespace qmv::test
