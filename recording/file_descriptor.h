// FileDescriptor: owns one file descriptor and closes it on every path; reads and writes that resume
// after signals and short transfers. The calls behind it are each platform's own
// (file_descriptor_posix.cpp, file_descriptor_windows.cpp: a C runtime descriptor over a Windows handle).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "recording/result.h"

namespace qmv {

// close(2); the errno of a failed close, or 0.
int closeDescriptor(int fd);

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) closeDescriptor(fd_);
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

// Opens an existing file for reading and writing (a finished output being repaired); -1 with errno set.
int openForUpdate(const std::string& path);

// What fstat says of a descriptor: its length, and whether it is a regular file.
struct DescriptorFacts {
  uint64_t size = 0;
  bool regular = false;
};
// The errno of a failed call in the error's code.
Result<DescriptorFacts> describeDescriptor(int fd);

// ftruncate(2); the errno of a failure, or 0.
int truncateDescriptor(int fd, uint64_t size);

// The file will be read once from start to end (a hint; nothing fails without it).
void adviseSequential(int fd);

}  // namespace qmv
