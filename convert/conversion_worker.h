// ConversionWorker: one pass over the frame index, writing one output file (AVI, MKV or MP4) per selected
// channel with video.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/conversion_context.h"
#include "convert/conversion_observer.h"
#include "convert/stream_header_choice.h"
#include "convert/timing_plan.h"
#include "output/media_writer.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

struct OutputFileReport {
  int channel = 0;  // 0-based
  std::string path;
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t positions = 0;  // video samples in the file, the empty ones of frames left out included
  FrameRate rate;
  bool hasAudio = false;
  uint64_t audioSamples = 0;
  // The recorded clock: how far, at most, the channel's audio ran past the second it was recorded in (an
  // audio record is never placed earlier than its second, and no sample is dropped). 0 with the declared
  // clock.
  uint64_t audioLeadSamples = 0;
  uint64_t bytes = 0;
  // Its writing failed (a full disk): it holds what reached the disk, frames and positions count that, and
  // the side files and the report describe no more.
  bool writeFault = false;
  // Pass-through: the stream header its video was given, and why.
  std::optional<StreamHeaderChoice> streamHeader;
};

struct ConversionReport {
  bool started = false;              // false: nothing to convert (no recording or no channel); no done report
  bool stopped = false;              // the stop flag ended the pass early
  std::optional<Error> outputError;  // an output file could not be created or written
  std::optional<Error> inputError;   // the recording changed or could not be read while converting
  std::vector<OutputFileReport> files;  // in channel order
  std::vector<std::string> warnings;    // repairs: skipped entries, clipped records
  uint64_t entriesDone = 0;
  Timing timing = Timing::kDeclared;
  uint32_t maxGapSeconds = 0;
  std::optional<int> utcOffsetMinutes;  // as the settings gave it
  std::vector<ClosedGap> closedGaps;    // the recorded clock with a gap limit: the pauses it shortened
};

// Converts the selected channels of recording as context says. Nothing to convert (no recording or no
// channel): an unstarted report, and no progress calls at all.
ConversionReport runConversion(const RecordingFile& recording, const ConversionContext& context);

// destinationDir + baseName + "_NN.avi" (".mkv", ".mp4" by container) from destinationDir, baseName and the
// 0-based channel. The base name never leads out of destinationDir: '/', '\\' and NUL become '_', and a name
// of dots only gets a '_' prefix.
std::string outputFileName(const std::string& destinationDir, const std::string& baseName, int channel,
                           Container container = Container::kAvi);

}  // namespace qmv
