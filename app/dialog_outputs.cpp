// The dialog's conversion outputs: side files through the command-line tool's observers, outcome texts.
#include "app/dialog_outputs.h"

#include <QLocale>
#include <filesystem>

#include "convert/rate_check.h"
#include "report/integrity_report.h"
#include "report/timestamp_files.h"

#ifndef QMV2AVI_VERSION
#define QMV2AVI_VERSION "0.0.0"
#endif

namespace qmv::app {

namespace {

std::string reportPathOf(const ConversionSettings& settings) {
  return settings.destinationDir + settings.baseName + ".report.json";
}

}  // namespace

std::vector<std::string> plannedOutputs(const ConversionSettings& settings, const SideFileChoices& choices) {
  std::vector<std::string> files;
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (!((settings.selectedChannels >> c) & 1u)) continue;
    const std::string video =
        outputFileName(settings.destinationDir, settings.baseName, c, settings.container);
    files.push_back(video);
    if (choices.subtitles) files.push_back(sideFileName(video, ".srt"));
    if (choices.frameLog) files.push_back(sideFileName(video, ".csv"));
  }
  if (choices.report) files.push_back(reportPathOf(settings));
  return files;
}

ConversionReport convertWithSideFiles(const RecordingFile& recording, const std::string& inputPath,
                                      const SideFileChoices& choices, ConversionContext context,
                                      const RunFunction& run, SideOutcome& outcome) {
  for (const ChannelTiming& timing : checkChannelRates(recording)) {
    if (timing.warning && ((context.settings.selectedChannels >> timing.channel) & 1u)) {
      outcome.timingWarnings.push_back(rateWarningText(timing) +
                                       rateWarningConsequence(context.settings.timing == Timing::kRecorded));
    }
  }
  const std::size_t firstSide = outcome.sideFiles.size();
  ObserverFanOut observers;
  observers.add(context.observer);
  std::optional<SubtitleFiles> subtitles;
  std::optional<FrameLogFiles> frameLogs;
  std::optional<IntegrityReport> integrity;
  if (choices.subtitles) observers.add(&subtitles.emplace(recording.info(), context.settings.overwrite));
  if (choices.frameLog) observers.add(&frameLogs.emplace(recording.info(), context.settings.overwrite));
  if (choices.report) {
    const bool passThrough = context.settings.videoMode == VideoMode::kPassThrough;
    ReportSetup setup{"qmv2avi",
                      QMV2AVI_VERSION,
                      {},
                      passThrough,
                      passThrough ? "" : context.settings.compressOptions.encoder};
    observers.add(&integrity.emplace(recording, inputPath, std::move(setup)));
  }
  context.observer = observers.empty() ? nullptr : &observers;
  if (integrity) integrity->start();
  ConversionReport report = run(recording, context);

  auto keep = [&outcome](const Status& done) {
    if (!done && !outcome.sideError) outcome.sideError = done.error();
  };
  if (subtitles) {
    keep(subtitles->finish(report));
    for (std::string& file : subtitles->files()) outcome.sideFiles.push_back(std::move(file));
  }
  if (frameLogs) {
    keep(frameLogs->finish());
    for (std::string& file : frameLogs->files()) outcome.sideFiles.push_back(std::move(file));
  }
  if (integrity && report.started) {
    // The subtitles and frame logs are evidence of the recorded time too: hashed like the video files.
    for (std::size_t i = firstSide; i < outcome.sideFiles.size(); ++i)
      integrity->addSideFile(outcome.sideFiles[i]);
    const std::string path = reportPathOf(context.settings);
    const Status done = integrity->finish(report, path, context.settings.overwrite);
    keep(done);
    if (done) outcome.sideFiles.push_back(path);
  }
  return report;
}

QString completionText(const std::vector<PassOutcome>& passes, const QString& folder) {
  int count = 0;
  qint64 bytes = 0;
  bool stopped = false;
  QStringList warnings;
  for (const PassOutcome& pass : passes) {
    for (const OutputFileReport& file : pass.report.files) {
      ++count;
      bytes += qint64(file.bytes);
    }
    for (const std::string& side : pass.side.sideFiles) {
      ++count;
      // By the name's own bytes: a name that is not UTF-8 would not survive the way through a QString.
      std::error_code unknown;
      const std::uintmax_t size = std::filesystem::file_size(side, unknown);
      if (!unknown) bytes += qint64(size);
    }
    stopped = stopped || pass.report.stopped;
    const QString prefix = passes.size() > 1 ? pass.recordingName + QStringLiteral(": ") : QString();
    for (const std::string& w : pass.side.timingWarnings) warnings << prefix + QString::fromStdString(w);
    for (const std::string& w : pass.report.warnings) warnings << prefix + QString::fromStdString(w);
  }
  const QString files = count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
  QString text = stopped ? QStringLiteral(
                               "The conversion was stopped. The files written so far are complete: "
                               "%1 (%2).\n\nFolder: %3")
                               .arg(files, QLocale::c().formattedDataSize(bytes), folder)
                         : QStringLiteral("The conversion is complete: %1 written (%2).\n\nFolder: %3")
                               .arg(files, QLocale::c().formattedDataSize(bytes), folder);
  if (!warnings.isEmpty()) {
    // A long list would push the buttons off the screen; the rest is counted.
    constexpr int kShownWarnings = 10;
    text += QStringLiteral("\n\nWarnings:");
    for (int i = 0; i < std::min<int>(kShownWarnings, int(warnings.size())); ++i) text += "\n" + warnings[i];
    if (warnings.size() > kShownWarnings)
      text += QStringLiteral("\n(and %1 more)").arg(warnings.size() - kShownWarnings);
  }
  return text;
}

QString failureText(const PassOutcome& pass) {
  const ConversionReport& report = pass.report;
  // The core's messages name the file they concern and the reason.
  if (report.outputError)
    return QStringLiteral("The conversion stopped because an output file could not be written.\n\n%1")
        .arg(QString::fromStdString(report.outputError->message));
  if (report.inputError)
    return QStringLiteral("The conversion stopped because the recording changed while it was read.\n\n%1")
        .arg(QString::fromStdString(report.inputError->message));
  if (pass.side.sideError)
    return QStringLiteral("A file beside the video files could not be written.\n\n%1")
        .arg(QString::fromStdString(pass.side.sideError->message));
  return {};
}

QString progressTitle(const QString& fileName, int percent, int secondsLeft) {
  QString title = QStringLiteral("QMV to AVI : '%1' \u2014 %2 %").arg(fileName).arg(percent);
  if (secondsLeft < 0) return title;
  const int hours = secondsLeft / 3600;
  const int minutes = secondsLeft / 60 % 60;
  const int seconds = secondsLeft % 60;
  const QString left = hours > 0 ? QStringLiteral("%1:%2:%3")
                                       .arg(hours)
                                       .arg(minutes, 2, 10, QLatin1Char('0'))
                                       .arg(seconds, 2, 10, QLatin1Char('0'))
                                 : QStringLiteral("%1:%2").arg(minutes).arg(seconds, 2, 10, QLatin1Char('0'));
  return title + QStringLiteral(" \u2014 %1 left").arg(left);
}

}  // namespace qmv::app
