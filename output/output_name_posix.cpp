// Output names on POSIX systems: O_EXCL|O_NOFOLLOW creation, mkostemp beside the name, rename(2) to
// replace and link(2) to take a name only while it is free.
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
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  const std::string pattern = (dir.empty() ? std::string() : dir.string() + "/") + ".qmv2avi-XXXXXX";
  std::vector<char> chars(pattern.begin(), pattern.end());
  chars.push_back('\0');
  // mkostemp creates with O_EXCL under a random name: nothing planted there can be followed.
  const int fd = ::mkostemp(chars.data(), O_CLOEXEC);
  if (fd < 0) return fd;
  // mkostemp leaves 0600; the new file gets what an ordinary creation would give.
  ::fchmod(fd, 0666 & ~processUmask());
  name = chars.data();
  return fd;
}

int replace(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : failed(errno);
}

int place(const std::string& from, const std::string& to) {
  // link(2) never replaces what is at the name.
  if (::link(from.c_str(), to.c_str()) != 0) return failed(errno);
  return ::unlink(from.c_str()) == 0 ? 0 : failed(errno);
}

int remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : failed(errno); }

}  // namespace qmv::output_name
