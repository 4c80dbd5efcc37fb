// RunController: the dialog's conversions without its widgets: the worker thread of each pass, the batch of
// recordings still to convert, and the one outcome message of a run.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "app/conversion_thread.h"
#include "app/dialog_outputs.h"
#include "job/conversion_job.h"

namespace qmv::app {

// What a run ends with: a failure (the files of the last pass are incomplete) or the completion message.
struct RunOutcome {
  bool failed = false;
  QString text;
};

class RunController : public QObject {
  Q_OBJECT
 public:
  explicit RunController(RunFunction run, QObject* parent = nullptr);
  ~RunController() override;

  // True while a worker converts and no stop has been asked of it.
  bool running() const;
  bool hasWorker() const { return worker_ != nullptr; }
  bool isShutDown() const { return shutDown_; }
  // Where the run writes.
  const QString& folder() const { return folder_; }

  // The recordings of a batch still to convert after the current one.
  const QStringList& batchRest() const { return batchRest_; }
  void setBatchRest(const QStringList& rest) { batchRest_ = rest; }
  // The next recording of the batch, taken off it; empty when none is left.
  QString takeNextOfBatch();

  // The jobs of a run: job over recording first, then each batch recording that opens, all channels.
  std::vector<PlannedJob> planRun(const ConversionJob& job, const RecordingFile& recording) const;

  // A new run into folder; replaceExisting: the user agreed to replace the outputs that exist.
  void beginRun(const QString& folder, bool replaceExisting);
  // Starts one pass of job over recording on a worker thread (recording must stay open until the pass
  // ends); false when no thread could be made, and nothing runs.
  bool startPass(ConversionJob job, const RecordingFile& recording);
  // Asks the worker to stop at its next index entry and ends the batch.
  void requestStop();
  // Stops the worker and waits for it; the report of a pass that started, whose end is not yet handled.
  std::optional<ConversionReport> stopAndWait();
  // Ends the pass whose report arrived: waits for its worker and keeps its outcome. True when it failed.
  // salvage: what salvage recovered from the recording (salvageSummaryText), empty for a whole one.
  bool finishPass(const ConversionReport& report, const QString& recordingName, const QString& salvage);
  // A batch recording that could not be opened, told in the run's message.
  void skipRecording(const QString& recordingName, const QString& reason);
  // The run's message; the run is forgotten. None when no pass ended.
  std::optional<RunOutcome> takeOutcome();
  // Stops and waits for good; no signal is emitted after this.
  void shutDown();

 signals:
  // Queued from the worker's thread; a stopped worker's late signals are dropped.
  void rangeChanged(quint32 maximum);
  void positionChanged(quint32 position);
  void decoderMessage(const QString& text, const QString& caption);
  void passEnded(const qmv::ConversionReport& report);
  // The worker returned without starting a pass (nothing to convert): no passEnded follows.
  void passNotStarted();

 private:
  RunFunction run_;
  std::atomic<bool> stop_{false};  // the worker's stop request; it only reads it
  std::unique_ptr<ConversionThread> worker_;
  // The result of the running pass's job, filled on the worker's thread before it returns.
  std::shared_ptr<JobResult> result_;
  std::vector<PassOutcome> passes_;  // the finished passes of the run, for its one message
  QStringList batchRest_;
  QString folder_;
  bool replaceExisting_ = false;
  // Signals of a stopped worker that are still queued carry an older generation and are dropped.
  int generation_ = 0;
  bool shutDown_ = false;
};

}  // namespace qmv::app
