// The integrity report: a per-record observer, input and output hashes, the read-back frame map, versioned
// JSON.
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "convert/conversion_observer.h"
#include "convert/conversion_worker.h"
#include "recording/recording_file.h"
#include "recording/result.h"
#include "report/sha256.h"

namespace qmv {

// What the report says about the run itself.
struct ReportSetup {
  std::string toolName;  // "qmv2avi-cli"
  std::string toolVersion;
  std::vector<std::string> command;  // the command line the tool was started with
  bool passThrough = true;           // false: re-encoded through encoder
  std::string encoder;               // libavcodec's encoder name
};

// Collects the events of one conversion. start() before runConversion, finish() after it, on the
// same thread; the observer calls arrive in between.
class IntegrityReport final : public ConversionObserver {
 public:
  IntegrityReport(const RecordingFile& recording, const std::string& inputPath, ReportSetup setup);
  ~IntegrityReport() override;
  IntegrityReport(const IntegrityReport&) = delete;
  IntegrityReport& operator=(const IntegrityReport&) = delete;

  // Notes the start time and hashes the input in the background while the conversion reads it,
  // so that the two reads of the file share the page cache.
  void start();
  // Hashes and reads back every output, then writes the report to path (through a temporary file
  // renamed into place). Written whatever the outcome; the outcome is in it.
  // replace: an existing report is replaced (--overwrite); otherwise the name must stay free to the end.
  Status finish(const ConversionReport& report, const std::string& path, bool replace = false);

  void outputOpened(int channel, const std::string& path) override;
  // A file written beside the videos (subtitles, frame log), hashed into the report by finish().
  void addSideFile(const std::string& path) { sideFiles_.push_back(path); }
  void videoSample(const VideoSampleEvent& event) override;
  void frameDropped(const DroppedFrameEvent& event) override;
  void audioRecord(const AudioRecordEvent& event) override;
  void recordSkipped(const SkippedRecordEvent& event) override;

  struct Frame {
    uint32_t entry = 0;
    uint64_t sourceOffset = 0;
    int64_t position = 0;
    uint32_t size = 0;  // the source stream bytes
    uint16_t time = 0;
    bool key = false;
    bool timeEstimated = false;  // salvage found the record without an index
    Sha256Digest source{};       // pass-through only
  };
  struct Dropped {
    uint32_t entry = 0;
    uint64_t sourceOffset = 0;
    int64_t position = 0;  // the empty sample that keeps its place
  };
  struct ChannelLog {
    std::string path;
    std::vector<Frame> frames;
    std::vector<Dropped> dropped;
    uint64_t audioRecords = 0;
    uint64_t audioSamples = 0;
  };

 private:
  // The report's members before its outputs: the run, the input, the recording, the settings.
  nlohmann::ordered_json headJson(const ConversionReport& report, const Result<FileDigests>& input,
                                  int64_t endTime) const;

  const RecordingFile& recording_;
  std::string inputPath_;
  ReportSetup setup_;
  int64_t startTime_ = 0;
  std::future<Result<FileDigests>> inputDigests_;
  Sha256 frameHash_;
  std::map<int, ChannelLog> channels_;
  std::vector<std::string> sideFiles_;
  std::vector<SkippedRecordEvent> skipped_;
};

}  // namespace qmv
