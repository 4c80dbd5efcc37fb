// ConversionContext: what one conversion run is given: its settings, where its progress and messages go,
// and the stop request it reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "convert/recorded_moment.h"
#include "output/container.h"
#include "transcode/compress_options.h"  // CompressOptions, VideoMode

namespace qmv {

class ConversionObserver;
class XvidLibrary;
struct ConversionReport;

// The four-character code pass-through video is labelled with; the frames are the same either way.
enum class PassThroughFourcc { kXvid, kDivx };
uint32_t fourccOf(PassThroughFourcc code);

// The clock outputs are placed on. kDeclared: each channel's records follow one another at its declared
// rate and its audio follows on from the first sample. kRecorded: every record sits at its recorded second,
// measured from the recording's first one, so outputs of different cameras line up.
enum class Timing { kDeclared, kRecorded };

struct ConversionSettings {
  uint32_t selectedChannels = 0;  // bit c = channel c (CH-(c+1))
  VideoMode videoMode = VideoMode::kPassThrough;
  PassThroughFourcc passThroughFourcc = PassThroughFourcc::kXvid;
  CompressOptions compressOptions;  // kReEncode only
  Container container = Container::kAvi;
  Timing timing = Timing::kDeclared;
  // Minutes east of UTC of the recorder's clock, when the user knows where it stood; none: the recorded
  // times are local times in no stated zone, and no output claims a UTC time.
  std::optional<int> utcOffsetMinutes;
  // The part of the recording to convert: each channel starts at its last key frame at or before
  // window.from, its audio with it, and nothing recorded after window.to is written. Both ends open: all of
  // it.
  RecordedWindow window;
  uint32_t maxGapSeconds = 0;  // kRecorded: a pause between records longer than this closes to it; 0: none
  bool standardize = true;     // half-height format codes get the full height of their pair
  bool burnIn = false;         // re-encode: camera name and recorded date and time drawn into each picture
  std::string destinationDir;  // ends in a path separator, or empty
  std::string baseName;        // output names are destinationDir + baseName + "_NN" + extension
  bool overwrite = true;       // false: an existing output file stops the conversion
  std::shared_ptr<XvidLibrary> xvidLibrary;  // tests: a fake library; null = the real one
};

// The pass's progress. Called on the worker's thread; an implementation must not block on another
// thread (the dialog's adapter turns the calls into queued signals).
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // Once, when the pass begins (not at all when there is nothing to convert): the entries it visits.
  virtual void progressRange(uint32_t maximum) = 0;
  virtual void progressPosition(uint32_t position) = 0;
  // The pass's last call; not made when there was nothing to convert.
  virtual void conversionDone(const ConversionReport& report) = 0;
};

enum class MessageKind {
  kWarning,                   // a repair or a channel left out; the report lists it too
  kDecoderLibraryMissing,     // the decoder library could not be loaded: re-encoded pictures stay empty
  kDecoderEntryPointMissing,  // the loaded decoder library lacks an entry point
};

struct Message {
  MessageKind kind = MessageKind::kWarning;
  std::string text;     // complete: the file and channel it concerns are in it (see withContext)
  std::string caption;  // the decoder messages' box title ("Error!", "Error"); empty for warnings
  int channel = -1;     // 0-based; -1 for the whole recording
};

// Where the run's messages go. Same threading rule as ProgressSink.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void message(const Message& message) = 0;
};

struct ConversionContext {
  ConversionSettings settings;
  ProgressSink* progress = nullptr;        // null: progress goes nowhere
  MessageSink* messages = nullptr;         // null: warnings are only listed in the report
  ConversionObserver* observer = nullptr;  // per-record events; null = none
  // Raised by the caller (a button, a signal handler): the pass ends at the next entry. The core only
  // reads it, so one flag can serve a whole batch; the core's own failures are in its report.
  const std::atomic<bool>* stop = nullptr;
};

// The one place a message's context is put into words: "FILE: CH-NN: text", the file left out when
// empty and the channel (0-based) when negative.
std::string withContext(std::string_view file, int channel, std::string_view text);

}  // namespace qmv
