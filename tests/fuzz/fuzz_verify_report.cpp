// Fuzz target: verify's reading of an integrity report (JSON from anyone), without hashing the files it
// names.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "report/report_check.h"

namespace {

// One in-memory file for every input: the reader opens reports by name, as verify does.
int reportFile() {
  static const int fd = ::memfd_create("report.json", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const int fd = reportFile();
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != ssize_t(size)) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const qmv::Result<qmv::ReportListing> listing = qmv::readReportListing(path);
  // A rejection always says why; an accepted report lists no more samples than its text could hold.
  if (!listing && listing.error().message.empty()) std::abort();
  if (listing && listing->frames > size) std::abort();
  return 0;
}
