// The fuzz targets' scratch folder for converted files: one per process, gone at exit, RAM-backed where
// possible, because every input writes up to 16 files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace qmv::fuzz {

class OutputDir {
 public:
  explicit OutputDir(const std::string& target) {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
    path_ = base / ("qmv2avi-" + target + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path_);
  }
  ~OutputDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Empties the folder; returns the bytes its files held.
  uint64_t clear() const {
    uint64_t bytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
      if (entry.is_regular_file(error)) bytes += entry.file_size(error);
      std::filesystem::remove(entry.path(), error);
    }
    return bytes;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace qmv::fuzz
