// One conversion as a value: its plan, the check before a batch, and the run with its side files and report.
#include "job/conversion_job.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "convert/rate_check.h"
#include "output/output_file.h"
#include "recording/utf8_path.h"
#include "report/integrity_report.h"
#include "report/output_read_back.h"
#include "report/timestamp_files.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

// Anything at the name counts, a dangling link too: the pass would not create its file there.
bool somethingAt(const std::string& name) {
  std::error_code unknown;
  return fs::exists(fs::symlink_status(pathFromUtf8(name), unknown));
}

// After a write fault an MKV or MP4 holds what reached the disk before it, while its writer counted what
// it was given; read back, the file says what it holds. (An AVI's repair counts the chunks it keeps.)
void countWhatIsHeld(OutputFileReport& file, Container container) {
  if (!file.writeFault || container == Container::kAvi) return;
  const Result<OutputReadBack> back = readBackOutput(file.path, file.rate);
  uint64_t frames = 0;
  uint64_t keys = 0;
  uint64_t positions = 0;
  if (back) {
    frames = back->video.size();
    keys = uint64_t(std::count_if(back->video.begin(), back->video.end(),
                                  [](const auto& sample) { return sample.second.key; }));
    if (!back->video.empty()) positions = uint64_t(std::max<int64_t>(back->video.rbegin()->first + 1, 0));
  }
  file.frames = std::min(file.frames, frames);
  file.keyFrames = std::min(file.keyFrames, keys);
  file.positions = std::min(file.positions, positions);
}

uint32_t channelsToWrite(const ConversionJob& job, const RecordingFile& recording) {
  return job.settings.selectedChannels & recording.videoMask();
}

}  // namespace

std::string reportPathFor(const std::string& requested, const std::string& dir, const std::string& baseName) {
  const std::string name = baseName + ".report.json";
  if (requested.empty()) return dir + name;
  std::error_code ec;
  const fs::path path = pathFromUtf8(requested);
  if (fs::is_directory(path, ec)) return utf8FromPath(path / pathFromUtf8(name));
  return requested;
}

Status openJobRecording(const ConversionJob& job, RecordingFile& recording) {
  return job.open == OpenMode::kSalvage ? recording.openSalvage(job.input) : recording.open(job.input);
}

Result<RecordedWindow> jobWindow(const ConversionJob& job, const RecordingFile& recording) {
  return recordedWindowOf(recording, job.from, job.to);
}

Result<RecordedWindow> jobWindow(const ConversionJob& job, const std::vector<JoinedPart>& parts) {
  if (parts.size() == 1) return jobWindow(job, *parts.front().recording);
  int64_t last = 0;
  for (const JoinedPart& part : parts) last = std::max(last, part.offset + part.recording->lastTime());
  const RecordingFile& first = *parts.front().recording;
  return recordedWindowOf(first.info(), first.firstTime(), last, job.from, job.to);
}

std::vector<std::string> planOutputs(const ConversionJob& job, const RecordingFile& recording) {
  const ConversionSettings& settings = job.settings;
  const uint32_t channels = channelsToWrite(job, recording);
  std::vector<std::string> files;
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (!((channels >> c) & 1u)) continue;
    const std::string video =
        outputFileName(settings.destinationDir, settings.baseName, c, settings.container);
    files.push_back(video);
    if (job.sideFiles.subtitles) files.push_back(sideFileName(video, ".srt"));
    if (job.sideFiles.frameLog) files.push_back(sideFileName(video, ".csv"));
  }
  if (job.sideFiles.report && channels != 0) files.push_back(job.reportPath);
  return files;
}

PreRunCheck checkBeforeRun(const std::vector<PlannedJob>& batch) {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  for (const PlannedJob& job : batch) {
    inputs.push_back(job.input);
    outputs.insert(outputs.end(), job.outputs.begin(), job.outputs.end());
  }
  PreRunCheck check;
  check.clashes = sameFileClashes(inputs, outputs);
  for (const std::string& name : outputs) {
    if (somethingAt(name)) check.existing.push_back(name);
  }
  return check;
}

std::vector<std::string> rateWarnings(const ConversionJob& job, const RecordingFile& recording) {
  std::vector<std::string> warnings;
  const bool recorded = job.settings.timing == Timing::kRecorded;
  for (const ChannelTiming& timing : checkChannelRates(recording)) {
    if (((job.settings.selectedChannels >> timing.channel) & 1u) == 0) continue;
    // The declared clock joins a pause up without a gap: the user is told where, and how to keep it.
    if (!recorded) {
      for (std::string& note : declaredPauseNotes(recording.info(), timing))
        warnings.push_back(std::move(note));
    }
    if (timing.warning) warnings.push_back(rateWarningText(timing) + rateWarningConsequence(recorded));
  }
  return warnings;
}

void chooseForWeb(ConversionSettings& settings) {
  settings.container = Container::kMp4;
  settings.videoMode = VideoMode::kReEncode;
  settings.compressOptions = webCompressOptions();
}

bool isForWeb(const ConversionSettings& settings) {
  return settings.container == Container::kMp4 && settings.videoMode == VideoMode::kReEncode &&
         settings.compressOptions == webCompressOptions();
}

JobResult runJob(const ConversionJob& job, const RecordingFile& recording, const JobHooks& hooks) {
  return runJob(job, singlePart(recording, job.input), hooks);
}

JobResult runJob(const ConversionJob& job, const std::vector<JoinedPart>& parts, const JobHooks& hooks) {
  JobResult result;
  const RecordingFile& recording = *parts.front().recording;
  const Result<RecordedWindow> window = jobWindow(job, parts);
  if (!window) {
    result.windowError = window.error();
    return result;
  }
  result.rateWarnings = rateWarnings(job, recording);
  for (const std::string& output : planOutputs(job, recording)) {
    for (std::string& left : removeLeftTemporaries(output))
      result.leftoversRemoved.push_back(std::move(left));
  }
  if (hooks.warning) {
    for (const std::string& warning : result.rateWarnings) hooks.warning(warning);
    for (const std::string& left : result.leftoversRemoved)
      hooks.warning("removed " + left +
                    ", an unfinished file left by an earlier run that was ended before it");
  }

  const bool replace = job.settings.overwrite;
  ObserverFanOut observers;
  observers.add(hooks.observer);
  std::optional<SubtitleFiles> subtitles;
  std::optional<FrameLogFiles> frameLogs;
  std::optional<IntegrityReport> integrity;
  if (job.sideFiles.subtitles) observers.add(&subtitles.emplace(recording.info(), replace));
  if (job.sideFiles.frameLog) observers.add(&frameLogs.emplace(recording.info(), replace));
  if (job.sideFiles.report) {
    const bool passThrough = job.settings.videoMode == VideoMode::kPassThrough;
    ReportSetup setup{job.tool.name, job.tool.version, job.tool.command, passThrough,
                      passThrough ? "" : job.settings.compressOptions.encoder};
    observers.add(&integrity.emplace(recording, job.input, std::move(setup)));
    if (parts.size() > 1) {
      std::vector<std::pair<std::string, const RecordingFile*>> inputs;
      for (const JoinedPart& part : parts) inputs.emplace_back(part.path, part.recording);
      integrity->setJoinedInputs(std::move(inputs));
    }
  }

  ConversionContext context;
  context.settings = job.settings;
  context.settings.window = window.value();
  context.progress = hooks.progress;
  context.messages = hooks.messages;
  context.observer = observers.empty() ? nullptr : &observers;
  context.stop = hooks.stop;
  if (integrity) integrity->start();
  result.report = hooks.run ? hooks.run(recording, context) : runJoinedConversion(parts, context);
  std::erase_if(result.report.files, [&result](const OutputFileReport& file) {
    if (somethingAt(file.path)) return false;
    result.removed.push_back(file.path);
    return true;
  });
  for (OutputFileReport& file : result.report.files) countWhatIsHeld(file, job.settings.container);

  auto keep = [&result](const Status& done) {
    if (!done && !result.sideError) result.sideError = done.error();
  };
  if (subtitles) {
    keep(subtitles->finish(result.report));
    for (std::string& file : subtitles->files()) result.sideFiles.push_back(std::move(file));
  }
  if (frameLogs) {
    keep(frameLogs->finish(result.report));
    for (std::string& file : frameLogs->files()) result.sideFiles.push_back(std::move(file));
  }
  if (hooks.filesDone) hooks.filesDone(result);
  // Nothing converted (no channel to write): no report of it either.
  if (integrity && result.report.started) {
    // The subtitles and frame logs are evidence of the recorded time too: hashed like the video files.
    for (const std::string& side : result.sideFiles) integrity->addSideFile(side);
    const Status done = integrity->finish(result.report, job.reportPath, replace);
    keep(done);
    if (done) result.reportPath = job.reportPath;
  }
  return result;
}

}  // namespace qmv
