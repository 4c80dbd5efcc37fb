// ConversionWorker: one pass over the frame index, writing one AVI file per selected channel with video.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/avi_writer.h"
#include "convert/compress_options.h"
#include "convert/conversion_observer.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

struct ConversionSettings {
  uint32_t selectedChannels = 0;  // bit c = channel c (CH-(c+1))
  int defaultCodec = 1;           // 1 pass-through, 0 re-encode with compressOptions
  CompressOptions compressOptions;
  int standardize = 1;
  bool burnIn = false;            // re-encode: camera name and recorded date and time drawn into each picture
  std::string destinationDir;     // ends in a path separator, or empty
  std::string baseName;           // output names are destinationDir + baseName + "_NN.avi"
  bool overwrite = true;          // false: an existing output file stops the conversion
  std::shared_ptr<XvidLibrary> xvidLibrary;  // tests: a fake library; null = the real one
  ConversionObserver* observer = nullptr;    // per-record events; null = none
};

struct OutputFileReport {
  int channel = 0;  // 0-based
  std::string path;
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  AviRate rate;
  bool hasAudio = false;
  uint64_t audioSamples = 0;
  uint64_t bytes = 0;
};

struct ConversionReport {
  bool started = false;   // false: nothing to convert (no recording or no channel); no done report
  bool stopped = false;   // the stop flag ended the pass early
  std::optional<Error> outputError;  // an output file could not be created or written
  std::optional<Error> inputError;   // the recording changed or could not be read while converting
  std::vector<OutputFileReport> files;  // in channel order
  std::vector<std::string> warnings;    // repairs: skipped entries, clipped records
  uint64_t entriesDone = 0;
};

// What the worker tells its host. Called on the worker's thread; implementations must not
// block on another thread (the GUI adapter turns them into queued signals).
class ConversionHost {
 public:
  virtual ~ConversionHost() = default;
  virtual int compressorIndex() = 0;  // the combo box selection at start; -1 none
  virtual void enableControls(bool enable) = 0;
  virtual void setProgressRange(uint32_t maximum) = 0;
  virtual void setProgressPosition(uint32_t position) = 0;
  virtual void conversionDone(const ConversionReport& report) = 0;
};

// running: the caller raises it before starting; lowering it asks the worker to stop at the
// next entry. The worker lowers it itself when it has nothing to do or an output fails.
ConversionReport runConversion(const RecordingFile& recording, const ConversionSettings& settings,
                               ConversionHost& host, std::atomic<int>& running);

// "%s%s_%02d.avi" from destinationDir, baseName and the 0-based channel. The base name never
// leads out of destinationDir: '/', '\\' and NUL become '_', and a name of dots only gets a '_' prefix.
std::string outputFileName(const std::string& destinationDir, const std::string& baseName, int channel);

}  // namespace qmv
