// ByteSource implementations: a POSIX file read with pread (64-bit positions) and bytes in memory.
#include "recording/byte_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "recording/file_descriptor.h"

namespace qmv {
namespace {

thread_local sigjmp_buf* tBusJump = nullptr;

std::mutex gBusMutex;
std::size_t gBusGuards = 0;  // live BusErrorGuard objects
struct sigaction gPreviousBusAction {};

extern "C" void onBusError(int, siginfo_t*, void*) {
  if (tBusJump != nullptr) siglongjmp(*tBusJump, 1);
  // Not a guarded copy: let the previous disposition handle the fault when it recurs.
  sigaction(SIGBUS, &gPreviousBusAction, nullptr);
}

class FileSource final : public ByteSource {
 public:
  FileSource(std::unique_ptr<FileDescriptor> fd, uint64_t size, std::string name)
      : fd_(std::move(fd)), size_(size), name_(std::move(name)) {}

  uint64_t size() const override { return size_; }
  const std::string& name() const override { return name_; }

  ~FileSource() override {
    if (mapping_ != nullptr) ::munmap(mapping_, std::size_t(size_));
  }

  const uint8_t* view() override {
    if (mapping_ == nullptr && !mapFailed_) {
      void* p = size_ == 0 || size_ > SIZE_MAX
                    ? MAP_FAILED
                    : ::mmap(nullptr, std::size_t(size_), PROT_READ, MAP_SHARED, fd_->get(), 0);
      if (p == MAP_FAILED) {
        mapFailed_ = true;
      } else {
        busGuard_ = std::make_unique<BusErrorGuard>();
        mapping_ = p;
      }
    }
    return static_cast<const uint8_t*>(mapping_);
  }

  bool copyFromView(uint64_t offset, void* destination, std::size_t count) override {
    const uint8_t* mapped = view();
    if (mapped == nullptr || offset > size_ || count > size_ - offset) return false;
    return busGuard_->copy(mapped + offset, destination, count);
  }

  Result<uint64_t> currentSize() override {
    struct stat st {};
    if (::fstat(fd_->get(), &st) != 0)
      return Error{errno, "cannot read the size of " + name_ + ": " + std::strerror(errno)};
    return uint64_t(std::max<off_t>(st.st_size, 0));
  }

  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= size_) return 0;
    count = std::size_t(std::min<uint64_t>(count, size_ - offset));
    return readFully(fd_->get(), destination, count, offset).bytes;
  }

 private:
  std::unique_ptr<FileDescriptor> fd_;
  uint64_t size_;
  std::string name_;
  // Outlives the mapping: the destructor unmaps before this member goes.
  std::unique_ptr<BusErrorGuard> busGuard_;
  void* mapping_ = nullptr;
  bool mapFailed_ = false;
};

}  // namespace

BusErrorGuard::BusErrorGuard() {
  std::lock_guard<std::mutex> lock(gBusMutex);
  if (gBusGuards++ > 0) return;
  struct sigaction action {};
  action.sa_sigaction = onBusError;
  // NODEFER: the jump out of the handler never returns through it, so SIGBUS must not stay blocked.
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &gPreviousBusAction);
}

BusErrorGuard::~BusErrorGuard() {
  std::lock_guard<std::mutex> lock(gBusMutex);
  if (--gBusGuards == 0) sigaction(SIGBUS, &gPreviousBusAction, nullptr);
}

bool BusErrorGuard::copy(const uint8_t* from, void* to, std::size_t count) const {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) {
    tBusJump = nullptr;
    return false;
  }
  tBusJump = &jump;
  // The handler reads tBusJump: keep the stores on either side of the copy.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(to, from, count);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  tBusJump = nullptr;
  return true;
}

bool ByteSource::copyFromView(uint64_t offset, void* destination, std::size_t count) {
  const uint8_t* mapped = view();
  if (mapped == nullptr || offset > size() || count > size() - offset) return false;
  std::memcpy(destination, mapped + offset, count);
  return true;
}

namespace {

class MemorySource final : public ByteSource {
 public:
  MemorySource(std::vector<uint8_t> bytes, std::string name)
      : bytes_(std::move(bytes)), name_(std::move(name)) {}

  uint64_t size() const override { return bytes_.size(); }
  const std::string& name() const override { return name_; }
  const uint8_t* view() override { return bytes_.data(); }

  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= bytes_.size()) return 0;
    count = std::size_t(std::min<uint64_t>(count, bytes_.size() - offset));
    if (count > 0) std::memcpy(destination, bytes_.data() + offset, count);
    return count;
  }

 private:
  std::vector<uint8_t> bytes_;
  std::string name_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> openFileSource(const std::string& path) {
  // Read-only: a recording is never modified, and the descriptor does not leak into children.
  uint64_t size = 0;
  auto fd = openRegularFile(path, size);
  if (!fd) return fd.error();
  return std::unique_ptr<ByteSource>(std::make_unique<FileSource>(std::move(fd).value(), size, path));
}

std::unique_ptr<ByteSource> makeMemorySource(std::vector<uint8_t> bytes, std::string name) {
  return std::make_unique<MemorySource>(std::move(bytes), std::move(name));
}

}  // namespace qmv
