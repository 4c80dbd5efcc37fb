// Sink adapter and worker thread: signals are queued to the dialog, progress is coalesced.
#include "app/conversion_thread.h"

namespace qmv::app {

QtConversionSink::QtConversionSink(Clock clock, QObject* parent) : QObject(parent), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
  qRegisterMetaType<qmv::ConversionReport>();
}

void QtConversionSink::progressRange(uint32_t maximum) {
  maximum_ = maximum;
  emittedAny_ = false;
  emit progressRangeChanged(maximum);
}

void QtConversionSink::progressPosition(uint32_t position) {
  // One signal per index entry would flood the GUI thread's queue with hundreds of thousands of
  // events; the bar cannot show more than a few dozen a second anyway. The last position always goes.
  const auto now = clock_();
  if (emittedAny_ && position < maximum_ && now - lastEmit_ < kProgressInterval) return;
  emittedAny_ = true;
  lastEmit_ = now;
  emit progressPositionChanged(position);
}

void QtConversionSink::conversionDone(const ConversionReport& report) { emit finished(report); }

void QtConversionSink::message(const Message& message) {
  if (message.kind == MessageKind::kWarning) return;
  emit decoderMessage(QString::fromStdString(message.text), QString::fromStdString(message.caption));
}

ConversionThread::ConversionThread(std::unique_ptr<QtConversionSink> sink,
                                   std::function<ConversionReport(QtConversionSink&)> body)
    : sink_(std::move(sink)) {
  thread_ = std::thread([this, body = std::move(body)] {
    report_ = body(*sink_);
    finished_.store(true);
  });
}

ConversionThread::~ConversionThread() { join(); }

void ConversionThread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace qmv::app
