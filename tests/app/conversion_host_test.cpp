// Tests of the worker's sink adapter: queued delivery on the GUI thread, coalesced progress, thread
// ownership.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include "app/conversion_thread.h"

using namespace qmv;
using namespace qmv::app;
using namespace std::chrono_literals;

class ConversionSinkTest : public QObject {
  Q_OBJECT

 private slots:
  void reportsArriveQueuedOnTheGuiThread() {
    auto sink = std::make_unique<QtConversionSink>();
    QtConversionSink* h = sink.get();
    QObject receiver;
    QList<QString> events;
    bool allOnGuiThread = true;
    auto note = [&](const QString& e) {
      allOnGuiThread = allOnGuiThread && QThread::currentThread() == qApp->thread();
      events << e;
    };
    QObject::connect(
        h, &QtConversionSink::decoderMessage, &receiver,
        [&](const QString& text, const QString& caption) { note(caption + "|" + text); },
        Qt::QueuedConnection);
    QObject::connect(
        h, &QtConversionSink::progressRangeChanged, &receiver,
        [&](quint32 m) { note(QString("range %1").arg(m)); }, Qt::QueuedConnection);
    QObject::connect(
        h, &QtConversionSink::progressPositionChanged, &receiver,
        [&](quint32 p) { note(QString("pos %1").arg(p)); }, Qt::QueuedConnection);
    QObject::connect(
        h, &QtConversionSink::finished, &receiver,
        [&](const ConversionReport& r) { note(QString("done %1").arg(r.entriesDone)); },
        Qt::QueuedConnection);

    {
      ConversionThread thread(std::move(sink), [&](QtConversionSink& hh) {
        hh.progressRange(3);
        hh.progressPosition(1);
        hh.message(Message{MessageKind::kWarning, "CH-01: skipped", {}, 0});
        hh.message(Message{MessageKind::kDecoderEntryPointMissing, "xvid_decore() not found", "Error", 0});
        ConversionReport r;
        r.started = true;
        r.entriesDone = 3;
        hh.progressPosition(3);
        hh.conversionDone(r);
        return r;
      });
      // The worker ends while this thread runs no event loop: no report waited for the GUI thread.
      thread.join();
      QVERIFY(thread.finished());
      QCOMPARE(thread.report().entriesDone, 3u);
      QVERIFY(events.isEmpty());
      QCoreApplication::processEvents();
    }
    QCOMPARE(events,
             (QList<QString>{"range 3", "pos 1", "Error|xvid_decore() not found", "pos 3", "done 3"}));
    QVERIFY(allOnGuiThread);
  }

  void progressIsCoalesced() {
    std::chrono::steady_clock::time_point now{};
    QtConversionSink host([&] { return now; });
    QSignalSpy spy(&host, &QtConversionSink::progressPositionChanged);
    host.progressRange(1000);
    const struct {
      int atMs;
      uint32_t position;
      bool emitted;
    } steps[] = {
        {0, 1, true},                      // the first always goes
        {10, 2, false},                    // too soon
        {32, 3, false}, {33, 4, true},     // one interval later
        {40, 5, false}, {41, 1000, true},  // the last position always goes
    };
    QList<quint32> expected;
    for (const auto& step : steps) {
      now = std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(step.atMs);
      host.progressPosition(step.position);
      if (step.emitted) expected << step.position;
    }
    QList<quint32> emitted;
    for (const auto& args : spy) emitted << args.at(0).value<quint32>();
    QCOMPARE(emitted, expected);

    // A new range starts afresh: its first position goes at once.
    host.progressRange(10);
    host.progressPosition(1);
    QCOMPARE(spy.size(), expected.size() + 1);
  }

  void manyEntriesQueueFewUpdates() {
    QtConversionSink host;
    QSignalSpy spy(&host, &QtConversionSink::progressPositionChanged);
    const uint32_t entries = 200000;
    const auto start = std::chrono::steady_clock::now();
    host.progressRange(entries);
    for (uint32_t k = 1; k <= entries; ++k) host.progressPosition(k);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // At most one per interval, plus the first and the last.
    const auto bound = elapsed / QtConversionSink::kProgressInterval + 2;
    QVERIFY2(spy.size() <= bound,
             qPrintable(QString("%1 updates in %2 ms")
                            .arg(spy.size())
                            .arg(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count())));
    QCOMPARE(spy.last().at(0).value<quint32>(), entries);
  }
};

QTEST_MAIN(ConversionSinkTest)
#include "conversion_host_test.moc"
