// File descriptors on POSIX systems: reads and writes at an offset that resume after signals and short
// transfers, opening, sizing and cutting files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "recording/file_descriptor.h"

namespace qmv {

int closeDescriptor(int fd) { return ::close(fd) == 0 ? 0 : errno; }

namespace {

// One call moves at most this much, well below SSIZE_MAX and Linux's own 2 GiB cap.
constexpr std::size_t kMaxCallBytes = std::size_t(1) << 30;

template <typename Call>
Transfer transferFully(std::size_t count, Call call) {
  Transfer t;
  while (t.bytes < count) {
    const ssize_t moved = call(t.bytes, std::min(count - t.bytes, kMaxCallBytes));
    ++t.calls;
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0) {
      t.error = errno;
      break;
    }
    if (moved == 0) break;
    t.bytes += std::size_t(moved);
  }
  return t;
}

}  // namespace

Transfer readFully(int fd, void* destination, std::size_t count, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(destination);
  return transferFully(count, [&](std::size_t done, std::size_t n) {
    return ::pread(fd, out + done, n, off_t(offset + done));
  });
}

Transfer writeFully(int fd, const void* data, std::size_t count, uint64_t offset) {
  const auto* in = static_cast<const uint8_t*>(data);
  return transferFully(count, [&](std::size_t done, std::size_t n) {
    return ::pwrite(fd, in + done, n, off_t(offset + done));
  });
}

namespace {

const char* kindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a folder";
  return "not a regular file";
}

}  // namespace

Result<std::unique_ptr<FileDescriptor>> openRegularFile(const std::string& path, uint64_t& size) {
  auto fd =
      std::make_unique<FileDescriptor>(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd->get() < 0) return Error{errno, "cannot open " + path + ": " + std::strerror(errno)};
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0)
    return Error{errno, "cannot read the size of " + path + ": " + std::strerror(errno)};
  if (!S_ISREG(st.st_mode)) {
    return Error{EINVAL,
                 path + " is " + kindOf(st.st_mode) + ", not a regular file: the tool reads only files"};
  }
  if (st.st_size < 0) return Error{EINVAL, path + " reports a negative size"};
  const int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK);
  size = uint64_t(st.st_size);
  return fd;
}

int openForUpdate(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }

Result<DescriptorFacts> describeDescriptor(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Error{errno, std::strerror(errno)};
  return DescriptorFacts{uint64_t(std::max<off_t>(st.st_size, 0)), S_ISREG(st.st_mode)};
}

int truncateDescriptor(int fd, uint64_t size) { return ::ftruncate(fd, off_t(size)) == 0 ? 0 : errno; }

void adviseSequential(int fd) { ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

}  // namespace qmv
