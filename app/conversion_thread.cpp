// Host adapter and worker thread: signals are queued to the dialog, progress is coalesced.
#include "app/conversion_thread.h"

namespace qmv::app {

QtConversionHost::QtConversionHost(int compressorIndex, Clock clock, QObject* parent)
    : QObject(parent), compressorIndex_(compressorIndex), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
  qRegisterMetaType<qmv::ConversionReport>();
}

void QtConversionHost::enableControls(bool enable) { emit controlsEnableRequested(enable); }

void QtConversionHost::setProgressRange(uint32_t maximum) {
  maximum_ = maximum;
  emittedAny_ = false;
  emit progressRangeChanged(maximum);
}

void QtConversionHost::setProgressPosition(uint32_t position) {
  // One signal per index entry would flood the GUI thread's queue with hundreds of thousands of
  // events; the bar cannot show more than a few dozen a second anyway. The last position always goes.
  const auto now = clock_();
  if (emittedAny_ && position < maximum_ && now - lastEmit_ < kProgressInterval) return;
  emittedAny_ = true;
  lastEmit_ = now;
  emit progressPositionChanged(position);
}

void QtConversionHost::conversionDone(const ConversionReport& report) { emit finished(report); }

ConversionThread::ConversionThread(std::unique_ptr<QtConversionHost> host,
                                   std::function<ConversionReport(ConversionHost&)> body)
    : host_(std::move(host)) {
  thread_ = std::thread([this, body = std::move(body)] {
    report_ = body(*host_);
    finished_.store(true);
  });
}

ConversionThread::~ConversionThread() { join(); }

void ConversionThread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace qmv::app
