// Files for tests: per-test scratch folders under the test root, and whole-file reads.
#include "support/test_files.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/scratch_dir.h"

namespace qmv::test {

namespace fs = std::filesystem;

std::string freshTestDir(const fs::path& root, const std::string& area, const std::string& sub) {
  fs::path dir = currentTestDir(root, area);
  if (!sub.empty()) dir /= sub;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string() + "/";
}

fs::path keptTestDir(const fs::path& root, const std::string& area) {
  const fs::path dir = currentTestDir(root, area);
  fs::create_directories(dir);
  return dir;
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> filesIn(const fs::path& dir, const std::string& extension) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (extension.empty() || e.path().extension() == extension) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace qmv::test
