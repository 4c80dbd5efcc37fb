// One conversion as a value that both front ends fill: its input, settings, side files and report, the plan
// of what it writes, the check before a batch, and the run that sets up the side files and the report.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "convert/conversion_context.h"
#include "convert/conversion_observer.h"
#include "convert/conversion_worker.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

// Whole: the recording must be sound. Salvage: what is left of a cut-short or damaged one.
enum class OpenMode { kWhole, kSalvage };

// The files written beside the video files.
struct SideFileChoices {
  bool subtitles = true;  // <base>_NN.srt with the recorded time
  bool frameLog = false;  // <base>_NN.csv, one row per written video sample
  bool report = false;    // the integrity report

  bool operator==(const SideFileChoices&) const = default;
};

// The program that ran the conversion, as the integrity report names it.
struct ToolIdentity {
  std::string name;  // "qmv2avi-cli"
  std::string version;
  std::vector<std::string> command;  // the command line it was started with; empty for the dialog
};

// The one choice "MP4 for browsers and phones": the video re-encoded as H.264 that browsers and phones play
// (webCompressOptions), the sound as AAC, in MP4. The other settings (burned-in captions, timing, channels)
// stay as they are. Pass-through MP4 keeps the recorded MPEG-4 Part 2 video, which browsers do not play.
void chooseForWeb(ConversionSettings& settings);
bool isForWeb(const ConversionSettings& settings);

struct ConversionJob {
  std::string input;  // the recording's path
  OpenMode open = OpenMode::kWhole;
  // Channels, folder, base name, container and video settings. settings.overwrite is the overwrite rule:
  // false, and a file that exists at an output's name stops the pass instead of being replaced.
  ConversionSettings settings;
  SideFileChoices sideFiles;
  // The part of the recording to convert, as typed (HH:MM:SS or YYYY-MM-DD HH:MM:SS); empty: from the
  // recording's start, to its end. runJob puts it into settings.window.
  std::string from;
  std::string to;
  std::string reportPath;  // where the report goes when sideFiles.report (see reportPathFor)
  ToolIdentity tool;
};

// Where a report goes: "<dir><baseName>.report.json" when requested is empty,
// "requested/<baseName>.report.json" when requested is a folder, else requested. dir ends in a path separator
// or is empty.
std::string reportPathFor(const std::string& requested, const std::string& dir, const std::string& baseName);

// Opens job.input whole or salvaged, as job.open says.
Status openJobRecording(const ConversionJob& job, RecordingFile& recording);

// The window job.from / job.to name in recording: an error naming the recording's span when they name no
// part of it. The front ends check it before the run (a usage error); runJob refuses to run without it.
Result<RecordedWindow> jobWindow(const ConversionJob& job, const RecordingFile& recording);
// The same on the timeline of recordings joined (joinRecordings), dated by the first.
Result<RecordedWindow> jobWindow(const ConversionJob& job, const std::vector<JoinedPart>& parts);

// Every file the job writes, in channel order (video, subtitles, frame log), the report last. Only the
// selected channels that have video in recording write files.
std::vector<std::string> planOutputs(const ConversionJob& job, const RecordingFile& recording);

// One job of a batch and its planned outputs, for the check before anything is written.
struct PlannedJob {
  std::string input;
  std::vector<std::string> outputs;
};

struct PreRunCheck {
  // One line per output that is an input or another output of the batch (links included): such a batch
  // must not start, not even when it may replace files.
  std::vector<std::string> clashes;
  // Outputs at whose name something exists already, a dangling link too, in plan order.
  std::vector<std::string> existing;
};

PreRunCheck checkBeforeRun(const std::vector<PlannedJob>& batch);

// The recorded rate warnings of the job's channels: a wrong declared rate makes the video play too fast
// or too slow and the audio drift.
std::vector<std::string> rateWarnings(const ConversionJob& job, const RecordingFile& recording);

using RunFunction = std::function<ConversionReport(const RecordingFile&, const ConversionContext&)>;

struct JobResult {
  // The conversion's report; its files are the outputs written. A file the writer removed (nothing
  // playable had been written) is no output: it is in removed instead.
  ConversionReport report;
  std::vector<std::string> removed;
  std::vector<std::string> sideFiles;     // the subtitle and frame-log files written
  std::vector<std::string> rateWarnings;  // as rateWarnings() lists them
  // Temporary files an earlier run into the same outputs left (it was killed before finishing them),
  // removed before this one began.
  std::vector<std::string> leftoversRemoved;
  std::string reportPath;            // the integrity report written; empty: none
  std::optional<Error> sideError;    // the first side file or report that could not be written
  std::optional<Error> windowError;  // jobWindow's: nothing was run
};

// What the front end lends a run.
struct JobHooks {
  ProgressSink* progress = nullptr;
  MessageSink* messages = nullptr;
  const std::atomic<bool>* stop = nullptr;
  ConversionObserver* observer = nullptr;  // one more observer beside the side files'
  // Each rate warning and each leftover removed, before the conversion starts (also in the result).
  std::function<void(const std::string&)> warning;
  RunFunction run;  // empty: runConversion
  // Once the video, subtitle and frame-log files are finished, before the report (which reads them all back
  // and takes a while) is written: the result so far, without reportPath.
  std::function<void(const JobResult&)> filesDone;
};

// Runs the conversion of job over recording (opened as job.open says) with the side-file observers and
// the report that job asks for, then finishes them. The report is written when the pass started. Every file
// is written under a temporary name and takes its own name once complete; first the temporary files of the
// job's outputs that an earlier, killed run left are removed.
JobResult runJob(const ConversionJob& job, const RecordingFile& recording, const JobHooks& hooks);
// The same over recordings joined into one timeline (joinRecordings, the first being job.input): one output
// per channel, named and dated by the first; the report lists every recording with its digest and the span it
// gave. hooks.run is given the first recording.
JobResult runJob(const ConversionJob& job, const std::vector<JoinedPart>& parts, const JobHooks& hooks);

}  // namespace qmv
