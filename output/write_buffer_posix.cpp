// Prefaulting with madvise(MADV_POPULATE_WRITE) (Linux 5.14 and later); elsewhere, and on older kernels, the
// call fails and the pages come at first write.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "output/write_buffer.h"

namespace qmv::write_buffer {

void prefault(void* buffer, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  const long page = ::sysconf(_SC_PAGESIZE);
  if (page <= 0 || buffer == nullptr) return;
  const auto mask = ~(uintptr_t(page) - 1);
  const uintptr_t first = (uintptr_t(buffer) + uintptr_t(page) - 1) & mask;
  const uintptr_t end = (uintptr_t(buffer) + size) & mask;
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)buffer;
  (void)size;
#endif
}

}  // namespace qmv::write_buffer
