// The dialog's conversions as jobs of the core, and the words that tell the user the outcome.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "job/conversion_job.h"

namespace qmv::app {

// The job of one recording of the dialog: settings as the dialog gives them, the side files and report
// the options ask for, the report beside the video files, the dialog as the tool that made them.
ConversionJob dialogJob(const std::string& input, OpenMode open, const ConversionSettings& settings,
                        const SideFileChoices& choices);

// One recording's finished pass, as the completion message sums it up.
struct PassOutcome {
  QString recordingName;  // "cam.qmv"
  JobResult result;
  QString salvage;  // what salvage recovered from a damaged recording; empty for a whole one
};

// Why a recording was not opened; damage in plain words first: "the file looks cut short or damaged: ...".
QString rejectionReason(const Error& error);

// "salvaged 1,793 of about 1,799 records; 1 unreadable range, 12.0 KiB"; empty for a whole recording.
QString salvageSummaryText(const RecordingFile& recording);

// What the compressor box shows while it is no choice: "libx264 → MP4", "copy → MKV". Empty for AVI
// pass-through, where the box chooses the label of the copied video.
QString videoPlanText(VideoMode mode, const std::string& encoder, Container container);

// The completion message of a run (one pass, or a batch): the files written, their folder and total size,
// and the warnings. A stopped run says that the files written so far are complete.
QString completionText(const std::vector<PassOutcome>& passes, const QString& folder);

// The failure message of a pass that could not write a file or read its recording; empty when it did not
// fail.
QString failureText(const PassOutcome& pass);

// "QMV to AVI : 'cam.qmv' — 45 % — 1:07 left"; without the time left while none is known (secondsLeft < 0).
QString progressTitle(const QString& fileName, int percent, int secondsLeft);

}  // namespace qmv::app
