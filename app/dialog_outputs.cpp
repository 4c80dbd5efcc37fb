// The dialog's conversions as jobs of the core, and the texts of their outcome.
#include "app/dialog_outputs.h"

#include <QLocale>
#include <filesystem>

#include "job/damage_text.h"
#include "output/container.h"

#ifndef QMV2AVI_VERSION
#define QMV2AVI_VERSION "0.0.0"
#endif

namespace qmv::app {

ConversionJob dialogJob(const std::string& input, OpenMode open, const ConversionSettings& settings,
                        const SideFileChoices& choices) {
  ConversionJob job;
  job.input = input;
  job.open = open;
  job.settings = settings;
  job.sideFiles = choices;
  job.reportPath = reportPathFor("", settings.destinationDir, settings.baseName);
  job.tool = ToolIdentity{"qmv2avi", QMV2AVI_VERSION, {}};
  return job;
}

QString rejectionReason(const Error& error) {
  // The command line's words, without its option hint: the dialog offers its own way on.
  return QString::fromStdString(looksDamaged(error) ? damageText(error.message) : error.message);
}

QString salvageSummaryText(const RecordingFile& recording) {
  if (recording.salvageReport() == nullptr) return {};
  return QString::fromStdString(salvageSummary(recording));
}

QString videoPlanText(VideoMode mode, const std::string& encoder, Container container) {
  const QString target = QString::fromLatin1(containerName(container)).toUpper();
  if (mode == VideoMode::kReEncode)
    return QString::fromStdString(encoder) + QStringLiteral(" \u2192 ") + target;
  if (container == Container::kAvi) return {};
  return QStringLiteral("copy \u2192 ") + target;
}

QString completionText(const std::vector<PassOutcome>& passes, const QString& folder) {
  int count = 0;
  qint64 bytes = 0;
  bool stopped = false;
  QStringList warnings;
  QStringList salvaged;
  for (const PassOutcome& pass : passes) {
    const JobResult& result = pass.result;
    for (const OutputFileReport& file : result.report.files) {
      ++count;
      bytes += qint64(file.bytes);
    }
    std::vector<std::string> sideFiles = result.sideFiles;
    if (!result.reportPath.empty()) sideFiles.push_back(result.reportPath);
    for (const std::string& side : sideFiles) {
      ++count;
      // By the name's own bytes: a name that is not UTF-8 would not survive the way through a QString.
      std::error_code unknown;
      const std::uintmax_t size = std::filesystem::file_size(side, unknown);
      if (!unknown) bytes += qint64(size);
    }
    stopped = stopped || result.report.stopped;
    const QString prefix = passes.size() > 1 ? pass.recordingName + QStringLiteral(": ") : QString();
    if (!pass.salvage.isEmpty()) salvaged << prefix + pass.salvage;
    for (const std::string& w : result.rateWarnings) warnings << prefix + QString::fromStdString(w);
    for (const std::string& w : result.report.warnings) warnings << prefix + QString::fromStdString(w);
  }
  const QString files = count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
  QString text = stopped ? QStringLiteral(
                               "The conversion was stopped. The files written so far are complete: "
                               "%1 (%2).\n\nFolder: %3")
                               .arg(files, QLocale::c().formattedDataSize(bytes), folder)
                         : QStringLiteral("The conversion is complete: %1 written (%2).\n\nFolder: %3")
                               .arg(files, QLocale::c().formattedDataSize(bytes), folder);
  if (!salvaged.isEmpty()) {
    // The files hold what could be recovered, and say how much that was.
    text += QStringLiteral("\n\nThe recording was damaged; the files hold what could be recovered:");
    for (const QString& line : salvaged) text += "\n" + line;
  }
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
  const ConversionReport& report = pass.result.report;
  // The core's messages name the file they concern and the reason.
  if (report.outputError)
    return QStringLiteral("The conversion stopped because an output file could not be written.\n\n%1")
        .arg(QString::fromStdString(report.outputError->message));
  if (report.inputError)
    return QStringLiteral("The conversion stopped because the recording changed while it was read.\n\n%1")
        .arg(QString::fromStdString(report.inputError->message));
  if (pass.result.sideError)
    return QStringLiteral("A file beside the video files could not be written.\n\n%1")
        .arg(QString::fromStdString(pass.result.sideError->message));
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
