// FileDescriptor: owns one POSIX file descriptor and closes it on every path; reads and writes that resume
// after signals and short transfers.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace qmv {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The outcome of readFully / writeFully: the bytes moved, and the errno of the call that failed, or 0 when
// all went (write) or the file ended (read).
struct Transfer {
  std::size_t bytes = 0;
  int error = 0;
};

// pread / pwrite of count bytes at offset. A call may move fewer bytes than asked (a signal, a very large
// request): these keep going until everything moved, the file ended or a call failed; EINTR is retried.
Transfer readFully(int fd, void* destination, std::size_t count, uint64_t offset);
Transfer writeFully(int fd, const void* data, std::size_t count, uint64_t offset);

}  // namespace qmv
