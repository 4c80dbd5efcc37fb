// The dialog's run: worker threads, the batch and the outcome.
#include "app/run_controller.h"

#include <QFileInfo>
#include <system_error>

namespace qmv::app {

RunController::RunController(RunFunction run, QObject* parent) : QObject(parent), run_(std::move(run)) {}

RunController::~RunController() { shutDown(); }

bool RunController::running() const { return worker_ && !worker_->finished() && !stop_.load(); }

QString RunController::takeNextOfBatch() { return batchRest_.isEmpty() ? QString() : batchRest_.takeFirst(); }

std::vector<PlannedJob> RunController::planRun(const ConversionJob& job,
                                               const RecordingFile& recording) const {
  std::vector<PlannedJob> batch{{job.input, planOutputs(job, recording)}};
  for (const QString& path : batchRest_) {
    ConversionJob next = job;
    next.input = QFile::encodeName(path).toStdString();
    next.settings.selectedChannels = 0xFFFFu;
    next.settings.baseName = QFile::encodeName(QFileInfo(path).completeBaseName()).toStdString();
    next.reportPath = reportPathFor("", next.settings.destinationDir, next.settings.baseName);
    RecordingFile other;
    if (!openJobRecording(next, other)) continue;  // told when its turn comes
    batch.push_back({next.input, planOutputs(next, other)});
  }
  return batch;
}

void RunController::beginRun(const QString& folder, bool replaceExisting) {
  folder_ = folder;
  replaceExisting_ = replaceExisting;
  passes_.clear();
}

bool RunController::startPass(ConversionJob job, const RecordingFile& recording) {
  // With nothing to replace, a file that appears meanwhile stops the pass instead of being replaced.
  job.settings.overwrite = replaceExisting_;
  auto result = std::make_shared<JobResult>();
  result_ = result;

  stop_.store(false);
  const int generation = ++generation_;
  auto sink = std::make_unique<QtConversionSink>();
  auto current = [this, generation] { return generation == generation_ && !shutDown_; };
  connect(
      sink.get(), &QtConversionSink::progressRangeChanged, this,
      [this, current](quint32 maximum) {
        if (current()) emit rangeChanged(maximum);
      },
      Qt::QueuedConnection);
  // The decoder library's load failures, queued from the worker's thread: never waited for, so a
  // worker can always run to its end while the dialog waits for it.
  connect(
      sink.get(), &QtConversionSink::decoderMessage, this,
      [this](const QString& text, const QString& caption) {
        if (!shutDown_) emit decoderMessage(text, caption);
      },
      Qt::QueuedConnection);
  connect(
      sink.get(), &QtConversionSink::progressPositionChanged, this,
      [this, current](quint32 position) {
        if (current()) emit positionChanged(position);
      },
      Qt::QueuedConnection);
  connect(
      sink.get(), &QtConversionSink::finished, this,
      [this, current](const ConversionReport& report) {
        if (current()) emit passEnded(report);
      },
      Qt::QueuedConnection);
  connect(
      sink.get(), &QtConversionSink::notStarted, this,
      [this, current] {
        if (!current()) return;
        if (worker_) {
          worker_->join();
          worker_.reset();
        }
        result_.reset();
        emit passNotStarted();
      },
      Qt::QueuedConnection);

  try {
    // Made before the first press can return, so that a quick second press is a stop and never a
    // second worker.
    worker_ = std::make_unique<ConversionThread>(
        std::move(sink), [run = run_, recording = &recording, job = std::move(job), result,
                          stop = &stop_](QtConversionSink& s) {
          JobHooks hooks;
          hooks.progress = &s;
          hooks.messages = &s;
          hooks.stop = stop;
          hooks.run = run;
          *result = runJob(job, *recording, hooks);
          if (!result->report.started) s.passNotStarted();
          return result->report;
        });
  } catch (const std::system_error&) {
    // No thread: nothing runs and nothing is reported; the next Convert tries again.
    worker_.reset();
    return false;
  }
  return true;
}

void RunController::requestStop() {
  stop_.store(true);
  batchRest_.clear();
}

std::optional<ConversionReport> RunController::stopAndWait() {
  // A batch ends with the worker: the pass finished here must not start the next recording.
  batchRest_.clear();
  stop_.store(true);
  if (!worker_) return std::nullopt;
  worker_->join();
  ++generation_;  // whatever it still has queued is stale now
  const ConversionReport report = worker_->report();
  worker_.reset();
  if (!report.started) return std::nullopt;
  return report;
}

bool RunController::finishPass(const ConversionReport& report, const QString& recordingName,
                               const QString& salvage) {
  if (worker_) {
    // The worker emits its end as its last act; the join only waits for its return, and with it the
    // side files.
    worker_->join();
    worker_.reset();
  }
  PassOutcome pass;
  pass.recordingName = recordingName;
  pass.salvage = salvage;
  // The job's result, once its worker has returned: the outputs the writer removed are left out there.
  if (result_)
    pass.result = *result_;
  else
    pass.result.report = report;
  result_.reset();
  const bool failed = !failureText(pass).isEmpty();
  passes_.push_back(std::move(pass));
  return failed;
}

void RunController::skipRecording(const QString& recordingName, const QString& reason) {
  PassOutcome skipped;
  skipped.recordingName = recordingName;
  skipped.result.report.warnings.push_back("not a recording that can be read; left out: " +
                                           reason.toStdString());
  passes_.push_back(std::move(skipped));
}

std::optional<RunOutcome> RunController::takeOutcome() {
  if (passes_.empty() || shutDown_) return std::nullopt;
  RunOutcome outcome;
  const QString failure = failureText(passes_.back());
  // Not a finished conversion: the files of this pass are incomplete, so the user is told which and why.
  outcome.failed = !failure.isEmpty();
  outcome.text = outcome.failed ? failure : completionText(passes_, folder_);
  passes_.clear();
  return outcome;
}

void RunController::shutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  ++generation_;
  stop_.store(true);
  if (worker_) {
    // The worker never waits for this thread, so this wait always ends.
    worker_->join();
    worker_.reset();
  }
  result_.reset();
}

}  // namespace qmv::app
