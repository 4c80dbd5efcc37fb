// A file mapped with CreateFileMapping / MapViewOfFile. Windows refuses to cut a file while a view of it
// is mapped (ERROR_USER_MAPPED_FILE), but a file on a network share can still lose its pages; each copy
// checks the file's current length first, so that it reads only bytes that still exist.
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "recording/file_mapping.h"

namespace qmv {
namespace {

class WindowsMapping final : public FileMapping {
 public:
  WindowsMapping(HANDLE file, HANDLE section, const void* view)
      : file_(file), section_(section), view_(view) {}
  ~WindowsMapping() override {
    UnmapViewOfFile(view_);
    CloseHandle(section_);
  }
  const uint8_t* data() const override { return static_cast<const uint8_t*>(view_); }
  bool copy(const uint8_t* from, void* to, std::size_t count) const override {
    LARGE_INTEGER now{};
    const uint64_t end = uint64_t(from - data()) + count;
    if (!GetFileSizeEx(file_, &now) || now.QuadPart < 0 || uint64_t(now.QuadPart) < end) return false;
    std::memcpy(to, from, count);
    return true;
  }

 private:
  HANDLE file_;  // owned by the descriptor the mapping was made from
  HANDLE section_;
  const void* view_;
};

}  // namespace

std::unique_ptr<FileMapping> mapFile(int fd, uint64_t size) {
  if (size == 0 || size > SIZE_MAX) return nullptr;
  const HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  const HANDLE section =
      CreateFileMappingW(file, nullptr, PAGE_READONLY, DWORD(size >> 32), DWORD(size), nullptr);
  if (section == nullptr) return nullptr;
  const void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, std::size_t(size));
  if (view == nullptr) {
    CloseHandle(section);
    return nullptr;
  }
  return std::make_unique<WindowsMapping>(file, section, view);
}

}  // namespace qmv
