// Replays stored inputs (files, or every file of a folder) through a fuzz target without libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // A copy of exactly the file's size, so a read past the end is a sanitizer report as under libFuzzer.
  std::vector<uint8_t> exact(bytes);
  exact.shrink_to_fit();
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    std::error_code error;
    if (std::filesystem::is_directory(arg, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(arg))
        if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
          files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        std::printf("%s\n", file.c_str());
        std::fflush(stdout);  // the last name printed is the input a crash came from
        ok = replay(file) && ok;
        ++inputs;
      }
    } else if (std::filesystem::is_regular_file(arg, error)) {
      ok = replay(arg) && ok;
      ++inputs;
    } else {
      std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
      ok = false;
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  // A run over nothing proves nothing: an empty seed folder means the seed writer broke.
  return ok && inputs > 0 ? 0 : 1;
}
