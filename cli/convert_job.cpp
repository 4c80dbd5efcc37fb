// One input of a `convert` run: its options as a job, the check before writing, the run, the summary.
#include "cli/convert_job.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_codes.h"
#include "cli/progress_display.h"
#include "cli/salvage_text.h"
#include "cli/text_format.h"
#include "convert/joined_recordings.h"
#include "convert/recorded_moment.h"
#include "convert/recorded_time.h"
#include "job/conversion_job.h"
#include "recording/recording_file.h"
#include "recording/utf8_path.h"
#include "report/timestamp_files.h"

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

std::string rateText(const FrameRate& rate) {
  if (rate.den == 1) return fmt::format("{} fps", rate.num);
  return fmt::format("{:.3g} fps", double(rate.num) / double(rate.den));
}

// The console is only told: a reader that went away (EPIPE, with SIGPIPE ignored) stops the printing, never
// the conversion; fmt's print would throw on that failed write. One line, its file names escaped.
void sayLine(const std::string& line) {
  const std::string text = consoleText(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// sideFiles: the subtitle and frame-log files written; each is named on its video file's line.
void printSummary(const SystemInfo& info, const ConversionReport& report,
                  const std::vector<std::string>& sideFiles = {}) {
  if (report.window.from || report.window.to)
    sayLine("window " + windowText(info, report.window) +
            " (each camera from its key frame at or before the start)");
  for (const OutputFileReport& file : report.files) {
    const double duration = file.rate.num > 0 ? double(file.positions) * file.rate.den / file.rate.num : 0.0;
    const std::string audio =
        file.hasAudio ? fmt::format("audio {:.2f} s", double(file.audioSamples) / kAudioSampleRate)
                      : "no audio";
    std::string line = fmt::format("{}: {} frames, {:.2f} s at {}, {}, {}", file.path, file.frames, duration,
                                   rateText(file.rate), audio, humanBytes(file.bytes));
    for (const auto& [extension, what] : {std::pair{".srt", "subtitles"}, std::pair{".csv", "frame log"}}) {
      const std::string side = sideFileName(file.path, extension);
      if (std::find(sideFiles.begin(), sideFiles.end(), side) != sideFiles.end()) {
        line += fmt::format(", {} {}", what, utf8FromPath(pathFromUtf8(side).filename()));
      }
    }
    if (file.firstFrameTime && (report.window.from || report.window.to))
      line += ", starts " + recordedTimeText(info, *file.firstFrameTime);
    sayLine(line);
  }
  std::fflush(stdout);
}

}  // namespace

InputOutcome convertInput(const ConvertOptions& options, const std::string& path, JobOutput& output,
                          const std::atomic<bool>& stop) {
  return convertJoined(options, {path}, output, stop);
}

InputOutcome convertJoined(const ConvertOptions& options, const std::vector<std::string>& paths,
                           JobOutput& output, const std::atomic<bool>& stop) {
  InputOutcome outcome;
  ConversionJob job;
  job.open = options.salvage ? OpenMode::kSalvage : OpenMode::kWhole;
  std::vector<RecordingFile> recordings(paths.size());
  std::vector<JoinedPart> parts;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    job.input = paths[i];
    if (Status opened = openJobRecording(job, recordings[i]); !opened) {
      output.inputLine((paths.size() > 1 ? paths[i] + ": " : std::string()) +
                       rejectionText(opened.error(), options.salvage));
      outcome.exitStatus = kExitBadInput;
      return outcome;
    }
    parts.push_back(JoinedPart{&recordings[i], paths[i], 0, 0});
  }
  // Recordings that are no parts of one timeline: the command asked for what cannot be.
  if (parts.size() > 1) {
    Result<std::vector<JoinedPart>> joined = joinRecordings(std::move(parts));
    if (!joined) {
      output.line("--join: " + joined.error().message);
      outcome.exitStatus = kExitUsage;
      return outcome;
    }
    parts = std::move(joined.value());
  }
  const RecordingFile& recording = *parts.front().recording;
  const std::string& path = parts.front().path;
  job.input = path;
  uint32_t videoMask = 0;
  for (const JoinedPart& part : parts) videoMask |= part.recording->videoMask();

  const fs::path input = pathFromUtf8(path);
  std::string dir = options.outputDir.empty() ? utf8FromPath(input.parent_path()) : options.outputDir;
  std::error_code ec;
  if (!dir.empty() && !fs::is_directory(pathFromUtf8(dir), ec)) {
    output.line(dir + ": not a folder that output files can go into");
    outcome.exitStatus = kExitOutputFile;
    return outcome;
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';

  const uint32_t wanted = options.channelMask.value_or(videoMask);
  for (int c = 0; c < format::kChannelCount; ++c) {
    if ((wanted >> c) & 1u && !((videoMask >> c) & 1u)) {
      output.line(fmt::format("CH-{:02d} has no video; no file for it", c + 1));
    }
  }
  job.settings = options.settings;
  job.settings.selectedChannels = wanted & videoMask;
  job.settings.destinationDir = dir;
  job.settings.baseName = utf8FromPath(input.stem());
  job.settings.overwrite = options.overwrite;
  job.sideFiles = {options.timestamps, options.frameTimes, options.report.has_value()};
  if (options.report) job.reportPath = reportPathFor(*options.report, dir, job.settings.baseName);
  job.tool = toolIdentity();
  job.from = options.from;
  job.to = options.to;
  const Result<RecordedWindow> window = jobWindow(job, parts);
  if (!window) {
    output.line(path + ": " + window.error().message);
    outcome.exitStatus = kExitUsage;
    return outcome;
  }
  if (job.settings.selectedChannels == 0) {
    output.line("nothing to convert: no selected channel has video");
    return outcome;
  }

  // Checked before anything is written, with or without --overwrite: no output may be the input or another
  // output; and without it, an existing file never leaves a half-done set behind.
  const PreRunCheck check = checkBeforeRun({{path, planOutputs(job, recording)}});
  for (const std::string& clash : check.clashes) output.line(clash);
  if (!check.clashes.empty()) {
    outcome.exitStatus = kExitOutputFile;
    return outcome;
  }
  if (!options.overwrite && !check.existing.empty()) {
    for (const std::string& name : check.existing)
      output.line(name + " exists (use --overwrite to replace it)");
    outcome.exitStatus = kExitOutputFile;
    return outcome;
  }

  output.setRecording(recording);
  JobHooks hooks;
  hooks.progress = &output;
  hooks.messages = &output;
  hooks.stop = &stop;
  hooks.warning = [&output](const std::string& warning) { output.line("warning: " + warning); };
  hooks.filesDone = [&recording, &path](const JobResult& done) {
    printSummary(recording.info(), done.report, done.sideFiles);
    if (recording.salvageReport() != nullptr) sayLine(fmt::format("{}: {}", path, salvageSummary(recording)));
  };
  JobResult result = runJob(job, parts, hooks);
  outcome.report = result.report;

  const ConversionReport& report = outcome.report;
  if (!result.reportPath.empty()) sayLine(result.reportPath + ": integrity report");
  std::fflush(stdout);
  if (result.sideError) {
    output.line(result.sideError->message);
    outcome.exitStatus = kExitOutputFile;
  }
  if (report.inputError) {
    output.line(report.inputError->message);
    outcome.exitStatus = kExitBadInput;
  }
  if (report.outputError) {
    output.line(report.outputError->message);
    outcome.exitStatus = kExitOutputFile;
  } else if (report.stopped) {
    output.line(fmt::format("stopped after {} of {} entries; the files written so far are complete",
                            report.entriesDone, recording.entryCount()));
  }
  // Outputs written from a damaged recording: not a failure, but not the whole recording either. A run
  // that kept no picture from it is no success at all: the frames recovered cannot start a file. What was
  // written (the sound, the subtitles) stays, as evidence of what the recording still holds.
  if (outcome.exitStatus == kExitOk && recording.salvageReport() != nullptr && !report.stopped) {
    const bool anyFrame = std::any_of(report.files.begin(), report.files.end(),
                                      [](const OutputFileReport& file) { return file.frames > 0; });
    if (anyFrame) {
      outcome.exitStatus = kExitSalvaged;
    } else {
      output.line(path +
                  ": no picture written: none of the video frames recovered for the selected "
                  "channels follows a key frame, so none can be decoded (" +
                  salvageSummary(recording) + ")");
      outcome.exitStatus = kExitBadInput;
    }
  }
  return outcome;
}

}  // namespace qmv::cli
