// Outputs created exclusively beside their final name, and libavformat I/O over their descriptors.
#include "output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "recording/file_descriptor.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace qmv {
namespace {

constexpr int kReadBufferBytes = 1 << 16;

std::atomic<uint64_t> gMediaWriteCalls{0};

Error openError(const std::string& path, int code) {
  if (code == EEXIST) return Error{code, path + " already exists"};
  if (code == ELOOP) return Error{code, path + " is a symbolic link; the tool never writes through one"};
  return Error{code, "cannot create " + path + ": " + std::strerror(code)};
}

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

}  // namespace

Result<std::unique_ptr<OutputFile>> OutputFile::create(const std::string& path, Creation how) {
  constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  struct stat st {};
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  if (how == Creation::kNew || (how == Creation::kNewAside && exists)) {
    const int fd = ::open(path.c_str(), kCreate, 0666);
    if (fd < 0) return openError(path, errno);
    return std::unique_ptr<OutputFile>(new OutputFile(fd, path, path, true, false));
  }
  if (how == Creation::kReplace && exists && S_ISCHR(st.st_mode)) {
    // A device takes the bytes where it is; there is nothing to rename over.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return openError(path, errno);
    return std::unique_ptr<OutputFile>(new OutputFile(fd, path, path, false, false));
  }
  if (exists && S_ISDIR(st.st_mode)) return Error{EISDIR, path + " is a folder"};
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  const std::string pattern = (dir.empty() ? std::string() : dir.string() + "/") + ".qmv2avi-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkostemp creates with O_EXCL under a random name: nothing planted there can be followed.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return Error{errno, "cannot create a new file beside " + path + ": " + std::strerror(errno)};
  // mkostemp leaves 0600; the new file gets what an ordinary creation would give.
  ::fchmod(fd, 0666 & ~processUmask());
  return std::unique_ptr<OutputFile>(new OutputFile(fd, path, name.data(), true, how == Creation::kReplace));
}

OutputFile::~OutputFile() {
  if (!done_) discard();
}

int OutputFile::closeFd() {
  if (fd_ < 0) return 0;
  const int r = ::close(fd_);
  fd_ = -1;
  return r == 0 ? 0 : errno;
}

Status OutputFile::commit() {
  if (done_) return okStatus();
  done_ = true;
  const int closed = closeFd();
  // Without replacing, the name is taken only while it is free: link(2) never replaces what is there.
  const bool placed = written_ == path_ || (replace_ ? ::rename(written_.c_str(), path_.c_str()) == 0
                                                     : ::link(written_.c_str(), path_.c_str()) == 0 &&
                                                           ::unlink(written_.c_str()) == 0);
  if (!placed) {
    const int code = errno;
    ::unlink(written_.c_str());
    return Error{code, "cannot put the new " + path_ + " in place: " + std::strerror(code)};
  }
  if (closed != 0) return Error{closed, "cannot write to " + path_ + ": " + std::strerror(closed)};
  return okStatus();
}

bool OutputFile::discard() {
  if (done_) return false;
  done_ = true;
  closeFd();
  return regular_ && ::unlink(written_.c_str()) == 0;
}

std::vector<std::string> sameFileClashes(const std::vector<std::string>& inputs,
                                         const std::vector<std::string>& outputs) {
  std::vector<std::string> clashes;
  std::vector<std::string> seen = inputs;
  for (const std::string& name : outputs) {
    for (std::size_t i = 0; i < seen.size(); ++i) {
      const std::string& other = seen[i];
      std::error_code unknown;  // a name that does not exist yet is no file of the run
      if (name == other || std::filesystem::equivalent(name, other, unknown)) {
        clashes.push_back(name + " would be the same file as " + other +
                          (i < inputs.size() ? ", the recording itself" : "") + "; nothing written");
        break;
      }
    }
    seen.push_back(name);
  }
  return clashes;
}

uint64_t mediaWriteCalls() { return gMediaWriteCalls.load(std::memory_order_relaxed); }

std::unique_ptr<FdAvio> FdAvio::create(int fd, bool writable) {
  std::unique_ptr<FdAvio> avio(new FdAvio(fd));
  const int size = writable ? kWriteBlockBytes : kReadBufferBytes;
  auto* buffer = static_cast<unsigned char*>(av_malloc(size));
  if (buffer == nullptr) return nullptr;
  avio->context_ = avio_alloc_context(buffer, size, writable ? 1 : 0, avio.get(), &FdAvio::read,
                                      writable ? &FdAvio::write : nullptr, &FdAvio::seek);
  if (avio->context_ == nullptr) {
    av_free(buffer);
    return nullptr;
  }
  avio->context_->seekable = AVIO_SEEKABLE_NORMAL;
  // After every packet the muxers mark a flush point, where libavformat flushes once min_packet_size bytes
  // wait; at a custom context's 0 that is a write per packet. A full buffer is written all the same.
  if (writable) avio->context_->min_packet_size = size;
  return avio;
}

FdAvio::~FdAvio() {
  if (context_ == nullptr) return;
  av_freep(&context_->buffer);
  avio_context_free(&context_);
}

int FdAvio::flush() {
  avio_flush(context_);
  return context_->error;
}

int FdAvio::write(void* opaque, WrittenBytes data, int size) {
  auto& self = *static_cast<FdAvio*>(opaque);
  const Transfer t = writeFully(self.fd_, data, std::size_t(size), uint64_t(self.position_));
  gMediaWriteCalls.fetch_add(t.calls, std::memory_order_relaxed);
  self.position_ += int64_t(t.bytes);
  if (t.error != 0) return AVERROR(t.error);
  return size;
}

int FdAvio::read(void* opaque, uint8_t* data, int size) {
  auto& self = *static_cast<FdAvio*>(opaque);
  const Transfer t = readFully(self.fd_, data, std::size_t(size), uint64_t(self.position_));
  if (t.error != 0) return AVERROR(t.error);
  if (t.bytes == 0) return AVERROR_EOF;
  self.position_ += int64_t(t.bytes);
  return int(t.bytes);
}

int64_t FdAvio::seek(void* opaque, int64_t offset, int whence) {
  auto& self = *static_cast<FdAvio*>(opaque);
  struct stat st {};
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      if (::fstat(self.fd_, &st) != 0) return AVERROR(errno);
      return S_ISREG(st.st_mode) ? int64_t(st.st_size) : AVERROR(ENOSYS);
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += self.position_;
      break;
    case SEEK_END:
      if (::fstat(self.fd_, &st) != 0) return AVERROR(errno);
      offset += int64_t(st.st_size);
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  self.position_ = offset;
  return offset;
}

}  // namespace qmv
