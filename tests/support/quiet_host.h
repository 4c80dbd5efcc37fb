// A conversion host that ignores every call, for tests that look only at the files and the report.
#pragma once

#include "convert/conversion_worker.h"

namespace qmv::test {

struct QuietHost : ConversionHost {
  int compressorIndex() override { return 0; }
  void enableControls(bool) override {}
  void setProgressRange(uint32_t) override {}
  void setProgressPosition(uint32_t) override {}
  void conversionDone(const ConversionReport&) override {}
};

}  // namespace qmv::test
