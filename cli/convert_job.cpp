// One input of a `convert` run: open the recording, check its outputs, convert, summarize.
#include "cli/convert_job.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
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
#include "convert/timestamp_files.h"
#include "decode/message_notifier.h"
#include "recording/recording_file.h"

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

std::string rateText(const AviRate& rate) {
  char text[32];
  if (rate.den == 1) {
    std::snprintf(text, sizeof text, "%u fps", rate.num);
  } else {
    std::snprintf(text, sizeof text, "%.3g fps", double(rate.num) / double(rate.den));
  }
  return text;
}

// sideFiles: the subtitle and frame-log files written; each is named on its AVI file's line.
void printSummary(const ConversionReport& report, const std::vector<std::string>& sideFiles = {}) {
  for (const OutputFileReport& file : report.files) {
    const double duration = file.rate.num > 0 ? double(file.frames) * file.rate.den / file.rate.num : 0.0;
    char audio[48] = "no audio";
    if (file.hasAudio) {
      std::snprintf(audio, sizeof audio, "audio %.2f s", double(file.audioSamples) / kAudioSampleRate);
    }
    std::printf("%s: %llu frames, %.2f s at %s, %s, %s", file.path.c_str(),
                static_cast<unsigned long long>(file.frames), duration, rateText(file.rate).c_str(), audio,
                humanBytes(file.bytes).c_str());
    for (const auto& [extension, what] : {std::pair{".srt", "subtitles"}, std::pair{".csv", "frame log"}}) {
      const std::string side = sideFileName(file.path, extension);
      if (std::find(sideFiles.begin(), sideFiles.end(), side) != sideFiles.end()) {
        std::printf(", %s %s", what, fs::path(side).filename().c_str());
      }
    }
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace

InputOutcome convertInput(const ConvertOptions& options, const std::string& path, std::atomic<int>& running) {
  InputOutcome outcome;
  RecordingFile recording;
  if (Status opened = options.salvage ? recording.openSalvage(path) : recording.open(path); !opened) {
    std::cerr << "qmv2avi-cli: " << path << ": " << rejectionText(opened.error(), options.salvage) << "\n";
    outcome.exitStatus = kExitBadInput;
    return outcome;
  }

  const fs::path input(path);
  std::string dir = options.outputDir.empty() ? input.parent_path().string() : options.outputDir;
  std::error_code ec;
  if (!dir.empty() && !fs::is_directory(dir, ec)) {
    std::cerr << "qmv2avi-cli: " << dir << ": not a folder that output files can go into\n";
    outcome.exitStatus = kExitOutputFile;
    return outcome;
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';

  const uint32_t wanted = options.channelMask.value_or(recording.videoMask());
  for (int c = 0; c < format::kChannelCount; ++c) {
    if ((wanted >> c) & 1u && !((recording.videoMask() >> c) & 1u)) {
      std::cerr << "qmv2avi-cli: CH-" << (c < 9 ? "0" : "") << (c + 1) << " has no video; no file for it\n";
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
    std::cerr << "qmv2avi-cli: nothing to convert: no selected channel has video\n";
    return outcome;
  }

  // Refuse before writing anything, so an existing file never leaves a half-done set behind.
  if (!options.overwrite) {
    bool exists = false;
    for (int c = 0; c < format::kChannelCount; ++c) {
      if (!((settings.selectedChannels >> c) & 1u)) continue;
      const std::string name = outputFileName(settings.destinationDir, settings.baseName, c);
      if (fs::exists(name, ec)) {
        std::cerr << "qmv2avi-cli: " << name << " exists (use --overwrite to replace it)\n";
        exists = true;
      }
      const std::pair<bool, const char*> sideFiles[] = {{options.timestamps, ".srt"}, {options.frameTimes, ".csv"}};
      for (const auto& [enabled, extension] : sideFiles) {
        const std::string side = sideFileName(name, extension);
        if (enabled && fs::exists(side, ec)) {
          std::cerr << "qmv2avi-cli: " << side << " exists (use --overwrite to replace it)\n";
          exists = true;
        }
      }
    }
    if (!reportPath.empty() && fs::exists(reportPath, ec)) {
      std::cerr << "qmv2avi-cli: " << reportPath << " exists (use --overwrite to replace it)\n";
      exists = true;
    }
    if (exists) {
      outcome.exitStatus = kExitOutputFile;
      return outcome;
    }
  }

  MessageNotifier previous = setMessageNotifier([](const std::string& text, const std::string& caption) {
    std::cerr << "qmv2avi-cli: " << caption << ": " << text << "\n";
  });
  // A wrong declared rate makes the video play too fast or too slow and the audio drift.
  for (const ChannelTiming& timing : checkChannelRates(recording)) {
    if (timing.warning && ((settings.selectedChannels >> timing.channel) & 1u)) {
      std::cerr << "qmv2avi-cli: warning: " << rateWarningText(timing)
                << "; the files play at the declared rate\n";
    }
  }

  // Files written beside the AVI files from the worker's per-record events.
  ObserverFanOut observers;
  std::optional<SubtitleFiles> subtitles;
  std::optional<FrameLogFiles> frameLogs;
  if (options.timestamps) observers.add(&subtitles.emplace(recording.info()));
  if (options.frameTimes) observers.add(&frameLogs.emplace(recording.info()));
  std::optional<IntegrityReport> integrity;
  if (options.report) observers.add(&integrity.emplace(recording, path, settings));
  settings.observer = observers.empty() ? nullptr : &observers;

  TerminalHost host(recording, options.codecIndex);
  if (integrity) integrity->start();
  outcome.report = runConversion(recording, settings, host, running);
  setMessageNotifier(std::move(previous));

  const ConversionReport& report = outcome.report;
  for (const std::string& warning : report.warnings) std::cerr << "qmv2avi-cli: warning: " << warning << "\n";
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
  if (recording.salvageReport() != nullptr) std::printf("%s: %s\n", path.c_str(), salvageSummary(recording).c_str());
  if (integrity) {
    if (Status done = integrity->finish(report, reportPath); !done) {
      if (!sideError) sideError = done.error();
    } else {
      std::printf("%s: integrity report\n", reportPath.c_str());
    }
  }
  std::fflush(stdout);
  if (sideError) {
    std::cerr << "qmv2avi-cli: " << sideError->message << "\n";
    outcome.exitStatus = kExitOutputFile;
  }
  if (report.inputError) {
    std::cerr << "qmv2avi-cli: " << report.inputError->message << "\n";
    outcome.exitStatus = kExitBadInput;
  }
  if (report.outputError) {
    std::cerr << "qmv2avi-cli: " << report.outputError->message << "\n";
    outcome.exitStatus = kExitOutputFile;
  } else if (report.stopped) {
    std::cerr << "qmv2avi-cli: stopped after " << report.entriesDone << " of " << recording.entryCount()
              << " entries; the files written so far are complete\n";
  }
  // Outputs written from a damaged recording: not a failure, but not the whole recording either.
  if (outcome.exitStatus == kExitOk && recording.salvageReport() != nullptr && !report.files.empty()) {
    outcome.exitStatus = kExitSalvaged;
  }
  return outcome;
}

}  // namespace qmv::cli
