// Outputs created exclusively beside their final name, and libavformat I/O over their descriptors.
#include "output/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "output/output_name.h"
#include "output/write_buffer.h"
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

}  // namespace

Result<std::unique_ptr<OutputFile>> OutputFile::create(const std::string& path, Creation how) {
  const output_name::Holds holds = output_name::lookAt(path);
  const bool exists = holds != output_name::Holds::kNothing;
  if (how == Creation::kNew || (how == Creation::kNewAside && exists)) {
    const int fd = output_name::createNew(path);
    if (fd < 0) return openError(path, errno);
    return std::unique_ptr<OutputFile>(new OutputFile(fd, path, path, true, false));
  }
  if (how == Creation::kReplace && holds == output_name::Holds::kDevice) {
    // A device takes the bytes where it is; there is nothing to rename over.
    const int fd = output_name::openDevice(path);
    if (fd < 0) return openError(path, errno);
    return std::unique_ptr<OutputFile>(new OutputFile(fd, path, path, false, false));
  }
  if (holds == output_name::Holds::kFolder) return Error{EISDIR, path + " is a folder"};
  std::string name;
  const int fd = output_name::createBeside(path, name);
  if (fd < 0) return Error{errno, "cannot create a new file beside " + path + ": " + std::strerror(errno)};
  return std::unique_ptr<OutputFile>(new OutputFile(fd, path, name, true, how == Creation::kReplace));
}

OutputFile::~OutputFile() {
  if (!done_) discard();
}

int OutputFile::closeFd() {
  if (fd_ < 0) return 0;
  const int r = closeDescriptor(fd_);
  fd_ = -1;
  return r;
}

Status OutputFile::commit() {
  if (done_) return okStatus();
  done_ = true;
  // A device has nothing to sync (and may refuse to).
  const int synced = regular_ && fd_ >= 0 ? output_name::sync(fd_) : 0;
  const int closed = closeFd();
  if (synced != 0 && written_ != path_) {
    output_name::remove(written_);
    return Error{synced, "cannot write to " + path_ + ": " + std::strerror(synced)};
  }
  // Without replacing, the name is taken only while it is free.
  const int code = written_ == path_ ? 0
                   : replace_        ? output_name::replace(written_, path_)
                                     : output_name::place(written_, path_);
  if (code != 0) {
    output_name::remove(written_);
    return Error{code, "cannot put the new " + path_ + " in place: " + std::strerror(code)};
  }
  if (closed != 0 || synced != 0) {
    const int code = closed != 0 ? closed : synced;
    return Error{code, "cannot write to " + path_ + ": " + std::strerror(code)};
  }
  return okStatus();
}

bool OutputFile::discard() {
  if (done_) return false;
  done_ = true;
  closeFd();
  return regular_ && output_name::remove(written_) == 0;
}

std::vector<std::string> removeLeftTemporaries(const std::string& path) {
  std::vector<std::string> removed;
  for (std::string& name : output_name::temporariesOf(path)) {
    // A folder or a device of that name is nobody's unfinished output.
    if (output_name::lookAt(name) == output_name::Holds::kFile && output_name::remove(name) == 0)
      removed.push_back(std::move(name));
  }
  return removed;
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
  // Every page of a writing buffer is written within its first fill: all of them at once is cheaper.
  if (writable) write_buffer::prefault(buffer, std::size_t(size));
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
  ++self.writes_;
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
  Result<DescriptorFacts> facts = DescriptorFacts{};
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
      facts = describeDescriptor(self.fd_);
      if (!facts) return AVERROR(facts.error().code);
      return facts.value().regular ? int64_t(facts.value().size) : AVERROR(ENOSYS);
    case SEEK_SET:
      break;
    case SEEK_CUR:
      offset += self.position_;
      break;
    case SEEK_END:
      facts = describeDescriptor(self.fd_);
      if (!facts) return AVERROR(facts.error().code);
      offset += int64_t(facts.value().size);
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset < 0) return AVERROR(EINVAL);
  self.position_ = offset;
  return offset;
}

}  // namespace qmv
