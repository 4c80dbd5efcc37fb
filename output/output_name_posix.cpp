// Output names on POSIX systems: O_EXCL|O_NOFOLLOW creation, mkostemps beside the name, rename(2) to
// replace and renameat2(RENAME_NOREPLACE) (or link(2)) to take a name only while it is free.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "output/output_name.h"

namespace qmv::output_name {
namespace {

// The umask, read without changing it: umask(2) would set it for every thread creating files meanwhile.
mode_t processUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return 022;
  unsigned mask = 022;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
  }
  std::fclose(status);
  return mode_t(mask);
}

int failed(int code) {
  errno = code;
  return code;
}

}  // namespace

Holds lookAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Holds::kNothing;
  if (S_ISDIR(st.st_mode)) return Holds::kFolder;
  if (S_ISCHR(st.st_mode)) return Holds::kDevice;
  return Holds::kFile;
}

int createNew(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int openDevice(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
}

int createBeside(const std::string& path, std::string& name) {
  const std::filesystem::path full(path);
  const std::string dir = full.parent_path().string();
  const std::string pattern = (dir.empty() ? std::string() : dir + "/") +
                              temporaryPrefix(full.filename().string()) + std::string(kRandomLetters, 'X') +
                              std::string(kTemporarySuffix);
  std::vector<char> chars(pattern.begin(), pattern.end());
  chars.push_back('\0');
  // mkostemps creates with O_EXCL under a random name: nothing planted there can be followed.
  const int fd = ::mkostemps(chars.data(), int(kTemporarySuffix.size()), O_CLOEXEC);
  if (fd < 0) return fd;
  // mkostemps leaves 0600; the new file gets what an ordinary creation would give.
  ::fchmod(fd, 0666 & ~processUmask());
  name = chars.data();
  return fd;
}

std::vector<std::string> temporariesOf(const std::string& path) {
  const std::filesystem::path full(path);
  const std::string dir = full.parent_path().string();
  const std::string leaf = full.filename().string();
  std::vector<std::string> found;
  DIR* folder = ::opendir(dir.empty() ? "." : dir.c_str());
  if (folder == nullptr) return found;
  while (const dirent* entry = ::readdir(folder)) {
    if (isTemporaryName(leaf, entry->d_name))
      found.push_back((dir.empty() ? std::string() : dir + "/") + entry->d_name);
  }
  ::closedir(folder);
  return found;
}

int sync(int fd) { return ::fsync(fd) == 0 ? 0 : failed(errno); }

int replace(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : failed(errno);
}

int place(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return failed(errno);
  // A file system without RENAME_NOREPLACE: link(2) never replaces what is at the name either.
  if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str()) == 0 ? 0 : failed(errno);
  if (errno != EPERM && errno != EOPNOTSUPP) return failed(errno);
  // Nor hard links (FAT): the name is looked at, then taken.
  if (lookAt(to) != Holds::kNothing) return failed(EEXIST);
  return replace(from, to);
}

int remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : failed(errno); }

}  // namespace qmv::output_name
