// FileDescriptor: owns one POSIX file descriptor and closes it on every path; reads and writes that resume
// after signals and short transfers.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "recording/result.h"

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

// The outcome of readFully / writeFully: the bytes moved, the errno of the call that failed, or 0 when
// all went (write) or the file ended (read), and the system calls it took.
struct Transfer {
  std::size_t bytes = 0;
  int error = 0;
  std::size_t calls = 0;
};

// pread / pwrite of count bytes at offset. A call may move fewer bytes than asked (a signal, a very large
// request): these keep going until everything moved, the file ended or a call failed; EINTR is retried.
Transfer readFully(int fd, void* destination, std::size_t count, uint64_t offset);
Transfer writeFully(int fd, const void* data, std::size_t count, uint64_t offset);

// Opens a file named by the user for reading, and only when it is a regular file: a FIFO, a socket or a
// device would block the open or the first read forever, or change under the reader. The open itself does
// not block (O_NONBLOCK, cleared again once the file is known to be regular). 'size' receives the length.
Result<std::unique_ptr<FileDescriptor>> openRegularFile(const std::string& path, uint64_t& size);

}  // namespace qmv
