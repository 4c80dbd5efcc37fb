// Windows has no call that makes committed pages present for writing: they come at first write.
#include "output/write_buffer.h"

namespace qmv::write_buffer {

void prefault(void*, std::size_t) {}

}  // namespace qmv::write_buffer
