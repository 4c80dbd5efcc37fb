// The integrity report: per-record observer, input and output hashes, read-back frame map, versioned JSON.
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/sha256.h"
#include "convert/conversion_observer.h"
#include "convert/conversion_worker.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv::cli {

inline constexpr int kReportSchemaVersion = 1;

// The command line the tool was started with; main() keeps it here for the report.
void setCommandLine(int argc, const char* const* argv);
const std::vector<std::string>& commandLine();

// Where --report[=FILE] puts the report of one input: "<dir><baseName>.report.json" when FILE is
// empty, "FILE/<baseName>.report.json" when FILE is a folder, else FILE. dir ends in a path
// separator or is empty.
std::string integrityReportPath(const std::string& requested, const std::string& dir,
                                const std::string& baseName);

// The parameters of one stream as its AVI headers give them.
struct ReadBackStream {
  std::string type;   // "video", "audio", ...
  std::string codec;  // libavcodec's name: "mpeg4", "pcm_s16le", ...
  uint32_t tag = 0;   // video: the four-character code; audio: the WAVE format tag
  int width = 0, height = 0;
  int rateNum = 0, rateDen = 1;  // video: samples per second (the header's rate / scale)
  int sampleRate = 0, channels = 0, bitsPerSample = 0;
  int64_t declaredSamples = 0;  // the stream header's length
};

struct ReadBackSample {
  uint32_t size = 0;
  bool key = false;
  Sha256Digest digest{};
};

// An AVI file as libavformat reads it: its streams and the SHA-256 of every non-empty video sample,
// by sample position (empty chunks, such as the stream header's position 0, are not listed).
struct AviReadBack {
  std::vector<ReadBackStream> streams;
  int videoStream = -1;
  std::map<int64_t, ReadBackSample> video;
  uint64_t repeatedPositions = 0;    // video packets whose position was already taken
  std::optional<std::string> error;  // reading stopped early; what was read is kept
};

// Opens path with libavformat's AVI demuxer; an error when it does not open as AVI at all.
Result<AviReadBack> readBackAvi(const std::string& path);

// Collects the events of one conversion. start() before runConversion, finish() after it, on the
// same thread; the observer calls arrive in between.
class IntegrityReport final : public ConversionObserver {
 public:
  IntegrityReport(const RecordingFile& recording, const std::string& inputPath,
                  const ConversionSettings& settings);
  ~IntegrityReport() override;
  IntegrityReport(const IntegrityReport&) = delete;
  IntegrityReport& operator=(const IntegrityReport&) = delete;

  // Notes the start time and hashes the input in the background while the conversion reads it,
  // so that the two reads of the file share the page cache.
  void start();
  // Hashes and reads back every output, then writes the report to path (through a temporary file
  // renamed into place). Written whatever the outcome; the outcome is in it.
  Status finish(const ConversionReport& report, const std::string& path);

  void outputOpened(int channel, const std::string& path) override;
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
    Sha256Digest source{};  // pass-through only
  };
  struct Dropped {
    uint32_t entry = 0;
    uint64_t sourceOffset = 0;
  };
  struct ChannelLog {
    std::string path;
    std::vector<Frame> frames;
    std::vector<Dropped> dropped;
    uint64_t audioRecords = 0;
    uint64_t audioSamples = 0;
  };

 private:
  const RecordingFile& recording_;
  std::string inputPath_;
  bool passThrough_ = true;
  std::string encoder_;
  int64_t startTime_ = 0;
  std::future<Result<FileDigests>> inputDigests_;
  Sha256 frameHash_;
  std::map<int, ChannelLog> channels_;
  std::vector<SkippedRecordEvent> skipped_;
};

}  // namespace qmv::cli
