// Output names on Windows: CREATE_NEW creation that opens a reparse point (a symbolic link, a junction)
// itself and never its target, a random name beside the output, and MoveFileExW to put it in place.
// Windows neither renames nor deletes a file that is open without shared delete access, so every output
// is closed before it moves.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <vector>

#include "output/output_name.h"
#include "recording/windows_text.h"

namespace qmv::output_name {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int failedCall() {
  errno = windows::errnoFromWindows(GetLastError());
  return errno;
}

// A descriptor over a handle CreateFileW opened, or -1 with errno set.
int descriptorOf(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) {
    failedCall();
    return -1;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
  }
  return fd;
}

int createAt(const std::wstring& name) {
  return descriptorOf(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

Holds lookAt(const std::string& path) {
  const std::wstring name = windows::widen(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // A link to a folder is a link, not the folder: replacing it replaces the link.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Holds::kFile;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Holds::kFolder : Holds::kFile;
  }
  // Devices (NUL, CON) have no attributes; they open, and say what they are.
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Holds::kNothing;
  const DWORD type = GetFileType(h);
  CloseHandle(h);
  return type == FILE_TYPE_CHAR ? Holds::kDevice : Holds::kNothing;
}

int createNew(const std::string& path) { return createAt(windows::widen(path)); }

int openDevice(const std::string& path) {
  return descriptorOf(CreateFileW(windows::widen(path).c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
}

int createBeside(const std::string& path, std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(windows::widen(path)).parent_path();
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  // CREATE_NEW fails on any name that is taken, so a clash only costs another draw.
  const std::wstring prefix = windows::widen(
      temporaryPrefix(windows::narrow(std::filesystem::path(windows::widen(path)).filename().wstring())));
  const std::wstring suffix = windows::widen(std::string(kTemporarySuffix));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring leaf = prefix;
    for (std::size_t i = 0; i < kRandomLetters; ++i) leaf += wchar_t(kLetters[pick(random)]);
    leaf += suffix;
    const std::wstring candidate = dir.empty() ? leaf : (dir / leaf).wstring();
    const int fd = createAt(candidate);
    if (fd >= 0) {
      name = windows::narrow(candidate);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

std::vector<std::string> temporariesOf(const std::string& path) {
  const std::filesystem::path full(windows::widen(path));
  const std::string leaf = windows::narrow(full.filename().wstring());
  std::vector<std::string> found;
  std::error_code unreadable;
  const std::filesystem::path dir =
      full.parent_path().empty() ? std::filesystem::path(L".") : full.parent_path();
  for (std::filesystem::directory_iterator it(dir, unreadable), end; !unreadable && it != end;
       it.increment(unreadable)) {
    if (isTemporaryName(leaf, windows::narrow(it->path().filename().wstring())))
      found.push_back(windows::narrow((full.parent_path() / it->path().filename()).wstring()));
  }
  return found;
}

int sync(int fd) { return ::_commit(fd) == 0 ? 0 : errno; }

int replace(const std::string& from, const std::string& to) {
  if (MoveFileExW(windows::widen(from).c_str(), windows::widen(to).c_str(), MOVEFILE_REPLACE_EXISTING))
    return 0;
  return failedCall();
}

int place(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when anything is at the name.
  if (MoveFileExW(windows::widen(from).c_str(), windows::widen(to).c_str(), 0)) return 0;
  return failedCall();
}

int remove(const std::string& path) { return DeleteFileW(windows::widen(path).c_str()) ? 0 : failedCall(); }

}  // namespace qmv::output_name
