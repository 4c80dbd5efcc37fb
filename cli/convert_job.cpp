// One input of a `convert` run: open the recording, check its outputs, convert, summarize.
#include "cli/convert_job.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/integrity_report.h"
#include "cli/progress_display.h"
#include "cli/salvage_text.h"
#include "cli/text_format.h"
#include "convert/rate_check.h"
#include "output/output_file.h"
#include "recording/recording_file.h"
#include "report/timestamp_files.h"

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

std::string rateText(const FrameRate& rate) {
  if (rate.den == 1) return fmt::format("{} fps", rate.num);
  return fmt::format("{:.3g} fps", double(rate.num) / double(rate.den));
}

// The console is only told: a reader that went away (EPIPE, with SIGPIPE ignored) stops the printing, never
// the conversion; fmt's print would throw on that failed write.
void say(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// sideFiles: the subtitle and frame-log files written; each is named on its AVI file's line.
void printSummary(const ConversionReport& report, const std::vector<std::string>& sideFiles = {}) {
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
        line += fmt::format(", {} {}", what, fs::path(side).filename().string());
      }
    }
    say(line + "\n");
  }
  std::fflush(stdout);
}

}  // namespace

InputOutcome convertInput(const ConvertOptions& options, const std::string& path, JobOutput& output,
                          const std::atomic<bool>& stop) {
  InputOutcome outcome;
  RecordingFile recording;
  if (Status opened = options.salvage ? recording.openSalvage(path) : recording.open(path); !opened) {
    output.inputLine(rejectionText(opened.error(), options.salvage));
    outcome.exitStatus = kExitBadInput;
    return outcome;
  }

  const fs::path input(path);
  std::string dir = options.outputDir.empty() ? input.parent_path().string() : options.outputDir;
  std::error_code ec;
  if (!dir.empty() && !fs::is_directory(dir, ec)) {
    output.line(dir + ": not a folder that output files can go into");
    outcome.exitStatus = kExitOutputFile;
    return outcome;
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';

  const uint32_t wanted = options.channelMask.value_or(recording.videoMask());
  for (int c = 0; c < format::kChannelCount; ++c) {
    if ((wanted >> c) & 1u && !((recording.videoMask() >> c) & 1u)) {
      output.line(fmt::format("CH-{:02d} has no video; no file for it", c + 1));
    }
  }
  ConversionSettings settings = options.settings;
  settings.selectedChannels = wanted & recording.videoMask();
  settings.destinationDir = dir;
  settings.baseName = input.stem().string();
  settings.overwrite = options.overwrite;
  const std::string reportPath =
      options.report ? integrityReportPath(*options.report, settings.destinationDir, settings.baseName) : "";
  if (settings.selectedChannels == 0) {
    output.line("nothing to convert: no selected channel has video");
    return outcome;
  }

  // No output may be the input or another output of the run, whatever names reach them (hard links,
  // symbolic links): compared by device and inode, before anything is written, with or without --overwrite.
  {
    std::vector<std::string> names;
    for (int c = 0; c < format::kChannelCount; ++c) {
      if (!((settings.selectedChannels >> c) & 1u)) continue;
      const std::string name =
          outputFileName(settings.destinationDir, settings.baseName, c, settings.container);
      names.push_back(name);
      if (options.timestamps) names.push_back(sideFileName(name, ".srt"));
      if (options.frameTimes) names.push_back(sideFileName(name, ".csv"));
    }
    if (!reportPath.empty()) names.push_back(reportPath);
    const std::vector<std::string> clashes = sameFileClashes({path}, names);
    for (const std::string& clash : clashes) output.line(clash);
    if (!clashes.empty()) {
      outcome.exitStatus = kExitOutputFile;
      return outcome;
    }
  }

  // Refuse before writing anything, so an existing file never leaves a half-done set behind.
  if (!options.overwrite) {
    bool exists = false;
    for (int c = 0; c < format::kChannelCount; ++c) {
      if (!((settings.selectedChannels >> c) & 1u)) continue;
      const std::string name =
          outputFileName(settings.destinationDir, settings.baseName, c, settings.container);
      if (fs::exists(fs::symlink_status(name, ec))) {
        output.line(name + " exists (use --overwrite to replace it)");
        exists = true;
      }
      const std::pair<bool, const char*> sideFiles[] = {{options.timestamps, ".srt"},
                                                        {options.frameTimes, ".csv"}};
      for (const auto& [enabled, extension] : sideFiles) {
        const std::string side = sideFileName(name, extension);
        if (enabled && fs::exists(fs::symlink_status(side, ec))) {
          output.line(side + " exists (use --overwrite to replace it)");
          exists = true;
        }
      }
    }
    if (!reportPath.empty() && fs::exists(fs::symlink_status(reportPath, ec))) {
      output.line(reportPath + " exists (use --overwrite to replace it)");
      exists = true;
    }
    if (exists) {
      outcome.exitStatus = kExitOutputFile;
      return outcome;
    }
  }

  // A wrong declared rate makes the video play too fast or too slow and the audio drift.
  for (const ChannelTiming& timing : checkChannelRates(recording)) {
    if (timing.warning && ((settings.selectedChannels >> timing.channel) & 1u)) {
      output.line("warning: " + rateWarningText(timing) +
                  rateWarningConsequence(settings.timing == Timing::kRecorded));
    }
  }

  // Files written beside the AVI files from the worker's per-record events.
  ObserverFanOut observers;
  std::optional<SubtitleFiles> subtitles;
  std::optional<FrameLogFiles> frameLogs;
  if (options.timestamps) observers.add(&subtitles.emplace(recording.info(), options.overwrite));
  if (options.frameTimes) observers.add(&frameLogs.emplace(recording.info(), options.overwrite));
  std::optional<IntegrityReport> integrity;
  if (options.report) {
    const ReportSetup setup =
        reportSetup(settings.videoMode == VideoMode::kPassThrough, settings.compressOptions.encoder);
    observers.add(&integrity.emplace(recording, path, setup));
  }

  output.setRecording(recording);
  ConversionContext context;
  context.settings = settings;
  context.progress = &output;
  context.messages = &output;
  context.observer = observers.empty() ? nullptr : &observers;
  context.stop = &stop;
  if (integrity) integrity->start();
  outcome.report = runConversion(recording, context);
  // A file the writer removed (nothing playable had been written) is no output: no summary names it.
  std::erase_if(outcome.report.files, [](const OutputFileReport& file) {
    std::error_code missing;
    return !fs::exists(fs::symlink_status(file.path, missing));
  });

  const ConversionReport& report = outcome.report;
  std::optional<Error> sideError;
  std::vector<std::string> sideFiles;
  if (subtitles) {
    if (Status done = subtitles->finish(report); !done) sideError = done.error();
    sideFiles = subtitles->files();
  }
  if (frameLogs) {
    if (Status done = frameLogs->finish(); !done && !sideError) sideError = done.error();
    for (std::string& file : frameLogs->files()) sideFiles.push_back(std::move(file));
  }
  printSummary(report, sideFiles);
  if (recording.salvageReport() != nullptr) say(fmt::format("{}: {}\n", path, salvageSummary(recording)));
  if (integrity) {
    for (const std::string& side : sideFiles) integrity->addSideFile(side);
    if (Status done = integrity->finish(report, reportPath, options.overwrite); !done) {
      if (!sideError) sideError = done.error();
    } else {
      say(reportPath + ": integrity report\n");
    }
  }
  std::fflush(stdout);
  if (sideError) {
    output.line(sideError->message);
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
  // Outputs written from a damaged recording: not a failure, but not the whole recording either.
  if (outcome.exitStatus == kExitOk && recording.salvageReport() != nullptr && !report.files.empty()) {
    outcome.exitStatus = kExitSalvaged;
  }
  return outcome;
}

}  // namespace qmv::cli
