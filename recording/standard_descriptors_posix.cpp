// The three standard descriptors on POSIX: a closed one is opened again on /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "recording/standard_descriptors.h"

namespace qmv {

bool keepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one, since the lower ones are open by now.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return false;
    if (opened != fd) {
      const bool moved = ::dup2(opened, fd) == fd;
      ::close(opened);
      if (!moved) return false;
    }
  }
  return true;
}

}  // namespace qmv
