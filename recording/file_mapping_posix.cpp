// A file mapped with mmap(2); a read of a page past a truncated file's end raises SIGBUS, which a guarded
// copy turns into a failed copy.
#include <sys/mman.h>

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "recording/file_mapping.h"

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

// While at least one guard lives, the process's SIGBUS handler is this module's: a fault inside a
// guarded copy makes that copy return false, and any other fault goes to the disposition that was in
// place before the first guard. The last guard to go puts that disposition back.
class BusErrorGuard {
 public:
  BusErrorGuard() {
    std::lock_guard<std::mutex> lock(gBusMutex);
    if (gBusGuards++ > 0) return;
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    // NODEFER: the jump out of the handler never returns through it, so SIGBUS must not stay blocked.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &gPreviousBusAction);
  }
  ~BusErrorGuard() {
    std::lock_guard<std::mutex> lock(gBusMutex);
    if (--gBusGuards == 0) sigaction(SIGBUS, &gPreviousBusAction, nullptr);
  }
  BusErrorGuard(const BusErrorGuard&) = delete;
  BusErrorGuard& operator=(const BusErrorGuard&) = delete;

  bool copy(const uint8_t* from, void* to, std::size_t count) const {
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
};

class PosixMapping final : public FileMapping {
 public:
  PosixMapping(void* base, std::size_t size) : base_(base), size_(size) {}
  ~PosixMapping() override { ::munmap(base_, size_); }
  const uint8_t* data() const override { return static_cast<const uint8_t*>(base_); }
  bool copy(const uint8_t* from, void* to, std::size_t count) const override {
    return guard_.copy(from, to, count);
  }

 private:
  // Lives as long as the map: the destructor unmaps before the guard goes.
  BusErrorGuard guard_;
  void* base_;
  std::size_t size_;
};

}  // namespace

std::unique_ptr<FileMapping> mapFile(int fd, uint64_t size) {
  if (size == 0 || size > SIZE_MAX) return nullptr;
  void* p = ::mmap(nullptr, std::size_t(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  return std::make_unique<PosixMapping>(p, std::size_t(size));
}

}  // namespace qmv
