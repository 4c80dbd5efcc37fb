// Progress of a conversion as the user sees it: a bar on a terminal, or nothing.
#pragma once

#include <chrono>
#include <cstdint>

#include "convert/conversion_worker.h"
#include "recording/recording_file.h"

namespace qmv::cli {

// The worker's host for a terminal: the codec choice, and a progress line on stderr when it is a tty.
class TerminalHost : public ConversionHost {
 public:
  TerminalHost(const RecordingFile& recording, int codecIndex);

  int compressorIndex() override { return codecIndex_; }
  void enableControls(bool) override {}
  void setProgressRange(uint32_t maximum) override;
  void setProgressPosition(uint32_t position) override;
  void conversionDone(const ConversionReport&) override;

 private:
  using Clock = std::chrono::steady_clock;
  void draw(uint32_t position, Clock::time_point now);

  const RecordingFile& recording_;
  int codecIndex_;
  bool showProgress_;
  uint32_t maximum_ = 0;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_{};
  bool drawn_ = false;
};

}  // namespace qmv::cli
