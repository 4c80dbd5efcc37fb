// File descriptors on Windows: C runtime descriptors over Windows handles, opened by wide-character
// (UTF-8) names; positioned reads and writes through the handle, which leave the file position alone.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "recording/file_descriptor.h"
#include "recording/windows_text.h"

namespace qmv {

namespace windows {

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(std::size_t(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

std::string narrow(const std::wstring& utf16) {
  if (utf16.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), int(utf16.size()), nullptr, 0, nullptr, nullptr);
  std::string text(std::size_t(std::max(n, 0)), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), int(utf16.size()), text.data(), n, nullptr, nullptr);
  return text;
}

int errnoFromWindows(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
      return EFBIG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    default:
      return EIO;
  }
}

}  // namespace windows

int closeDescriptor(int fd) { return ::_close(fd) == 0 ? 0 : errno; }

namespace {

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// One call moves at most this much: ReadFile and WriteFile count in 32 bits.
constexpr std::size_t kMaxCallBytes = std::size_t(1) << 30;

template <typename Call>
Transfer transferFully(int fd, std::size_t count, uint64_t offset, Call call) {
  Transfer t;
  const HANDLE handle = handleOf(fd);
  if (handle == INVALID_HANDLE_VALUE) return Transfer{0, EBADF};
  while (t.bytes < count) {
    OVERLAPPED at{};
    const uint64_t position = offset + t.bytes;
    at.Offset = DWORD(position);
    at.OffsetHigh = DWORD(position >> 32);
    DWORD moved = 0;
    ++t.calls;
    if (!call(handle, t.bytes, DWORD(std::min(count - t.bytes, kMaxCallBytes)), &moved, &at)) {
      const DWORD code = GetLastError();
      if (code != ERROR_HANDLE_EOF) t.error = windows::errnoFromWindows(code);
      break;
    }
    if (moved == 0) break;
    t.bytes += moved;
  }
  return t;
}

}  // namespace

Transfer readFully(int fd, void* destination, std::size_t count, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(destination);
  return transferFully(fd, count, offset,
                       [&](HANDLE h, std::size_t done, DWORD n, DWORD* moved, OVERLAPPED* at) {
                         return ReadFile(h, out + done, n, moved, at) != 0;
                       });
}

Transfer writeFully(int fd, const void* data, std::size_t count, uint64_t offset) {
  const auto* in = static_cast<const uint8_t*>(data);
  return transferFully(fd, count, offset,
                       [&](HANDLE h, std::size_t done, DWORD n, DWORD* moved, OVERLAPPED* at) {
                         return WriteFile(h, in + done, n, moved, at) != 0;
                       });
}

namespace {

// A descriptor over a handle opened by a wide-character name; -1 with errno set when either fails.
// Others may read, write and delete the file meanwhile, as on POSIX systems.
int openHandle(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
  const HANDLE h = CreateFileW(windows::widen(path).c_str(), access,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                               flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = windows::errnoFromWindows(GetLastError());
    return -1;
  }
  const int fd =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | (access == GENERIC_READ ? _O_RDONLY : 0));
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
  }
  return fd;
}

}  // namespace

Result<std::unique_ptr<FileDescriptor>> openRegularFile(const std::string& path, uint64_t& size) {
  auto fd = std::make_unique<FileDescriptor>(
      openHandle(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS));
  if (fd->get() < 0) return Error{errno, "cannot open " + path + ": " + std::strerror(errno)};
  const HANDLE h = handleOf(fd->get());
  if (GetFileType(h) != FILE_TYPE_DISK) {
    return Error{EINVAL, path + " is a device or a pipe, not a regular file: the tool reads only files"};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) {
    const int code = windows::errnoFromWindows(GetLastError());
    return Error{code, "cannot read the size of " + path + ": " + std::strerror(code)};
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return Error{EINVAL, path + " is a folder, not a regular file: the tool reads only files"};
  }
  size = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  return fd;
}

int openForUpdate(const std::string& path) {
  return openHandle(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

Result<DescriptorFacts> describeDescriptor(int fd) {
  const HANDLE h = handleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Error{EBADF, std::strerror(EBADF)};
  if (GetFileType(h) != FILE_TYPE_DISK) return DescriptorFacts{0, false};
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) {
    const int code = windows::errnoFromWindows(GetLastError());
    return Error{code, std::strerror(code)};
  }
  return DescriptorFacts{uint64_t(std::max<LONGLONG>(size.QuadPart, 0)), true};
}

int truncateDescriptor(int fd, uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = LONGLONG(size);
  if (SetFileInformationByHandle(handleOf(fd), FileEndOfFileInfo, &end, sizeof end)) return 0;
  return windows::errnoFromWindows(GetLastError());
}

void adviseSequential(int) {}

}  // namespace qmv
