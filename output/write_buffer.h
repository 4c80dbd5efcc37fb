// The pages of a freshly allocated write buffer, made present in one call, each platform's own
// (write_buffer_posix.cpp, write_buffer_windows.cpp).
#pragma once

#include <cstddef>

namespace qmv::write_buffer {

// Asks for the whole pages inside [buffer, buffer + size) to be present and writable now: one call instead of
// a page fault at each page's first write (16 outputs of 1 MiB are 4,096 faults, and a fault in a virtual
// machine costs microseconds). Only a hint: where the platform cannot, the pages come at first write as
// before.
void prefault(void* buffer, std::size_t size);

}  // namespace qmv::write_buffer
