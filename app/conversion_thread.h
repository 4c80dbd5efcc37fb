// The worker's thread and the sink adapter that turns its reports into queued Qt signals.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "convert/conversion_worker.h"

Q_DECLARE_METATYPE(qmv::ConversionReport)

namespace qmv::app {

// Lives on the GUI thread; its sink methods are called on the worker's thread and only emit
// signals, which the dialog receives queued: the worker never waits for the GUI thread.
class QtConversionSink : public QObject, public ProgressSink, public MessageSink {
  Q_OBJECT
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // At most one position update per interval reaches the queue (about 30 a second).
  static constexpr std::chrono::milliseconds kProgressInterval{33};

  explicit QtConversionSink(Clock clock = {}, QObject* parent = nullptr);

  void progressRange(uint32_t maximum) override;
  void progressPosition(uint32_t position) override;
  void conversionDone(const ConversionReport& report) override;
  // Only the decoder library's load failures go on: the dialog shows them in a box. Warnings are
  // in the report.
  void message(const Message& message) override;
  // The worker returned without a pass: conversionDone never came.
  void passNotStarted() { emit notStarted(); }

 signals:
  void progressRangeChanged(quint32 maximum);
  void progressPositionChanged(quint32 position);
  void decoderMessage(const QString& text, const QString& caption);
  void finished(const qmv::ConversionReport& report);
  void notStarted();

 private:
  Clock clock_;
  // Touched only on the worker's thread.
  uint32_t maximum_ = 0;
  bool emittedAny_ = false;
  std::chrono::steady_clock::time_point lastEmit_{};
};

// One worker thread; joins in its destructor so that a thread is never left running or detached.
class ConversionThread {
 public:
  // Starts body on a new thread; throws std::system_error when no thread can be created.
  ConversionThread(std::unique_ptr<QtConversionSink> sink,
                   std::function<ConversionReport(QtConversionSink&)> body);
  ~ConversionThread();
  ConversionThread(const ConversionThread&) = delete;
  ConversionThread& operator=(const ConversionThread&) = delete;

  QtConversionSink& sink() const { return *sink_; }
  void join();
  bool finished() const { return finished_.load(); }
  // What body returned; valid after join().
  const ConversionReport& report() const { return report_; }

 private:
  std::unique_ptr<QtConversionSink> sink_;
  std::atomic<bool> finished_{false};
  ConversionReport report_;
  std::thread thread_;
};

}  // namespace qmv::app
