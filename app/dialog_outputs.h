// What one conversion from the dialog writes: the AVI files and the side files its options ask for, made
// through the same observers as the command-line tool, and the words that tell the user the outcome.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/recording_file.h"

namespace qmv::app {

// The side files a conversion writes beside its AVI files.
struct SideFileChoices {
  bool subtitles = true;  // <base>_NN.srt, on as in the command-line tool
  bool frameLog = false;  // <base>_NN.csv
  bool report = false;    // <base>.report.json

  bool operator==(const SideFileChoices&) const = default;
};

// Every file a conversion with these settings would write, in channel order, the report last.
std::vector<std::string> plannedOutputs(const ConversionSettings& settings, const SideFileChoices& choices);

// The part of the outcome that the core's report does not hold.
struct SideOutcome {
  std::vector<std::string> sideFiles;       // the subtitle, frame-log and report files written
  std::optional<Error> sideError;           // the first side file that could not be written
  std::vector<std::string> timingWarnings;  // channels whose declared rate is wrong
};

using RunFunction = std::function<ConversionReport(const RecordingFile&, const ConversionContext&)>;

// Runs run with the side-file observers of choices added to context, then finishes the side files.
// inputPath is the recording's path as the integrity report names it.
ConversionReport convertWithSideFiles(const RecordingFile& recording, const std::string& inputPath,
                                      const SideFileChoices& choices, ConversionContext context,
                                      const RunFunction& run, SideOutcome& outcome);

// One recording's finished pass, as the completion message sums it up.
struct PassOutcome {
  QString recordingName;  // "cam.qmv"
  ConversionReport report;
  SideOutcome side;
};

// The completion message of a run (one pass, or a batch): the files written, their folder and total size,
// and the warnings. A stopped run says that the files written so far are complete.
QString completionText(const std::vector<PassOutcome>& passes, const QString& folder);

// The failure message of a pass that could not write a file or read its recording; empty when it did not
// fail.
QString failureText(const PassOutcome& pass);

// "QMV to AVI : 'cam.qmv' — 45 % — 1:07 left"; without the time left while none is known (secondsLeft < 0).
QString progressTitle(const QString& fileName, int percent, int secondsLeft);

}  // namespace qmv::app
