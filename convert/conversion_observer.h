// ConversionObserver: what the worker tells about each record it writes, drops or skips, for
// the files and reports written beside the AVI files (recorded-time subtitles, frame logs,
// integrity reports).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmv {

// One video sample that reached an output file.
struct VideoSampleEvent {
  int channel = 0;            // 0-based
  uint32_t entry = 0;         // frame index entry of the record
  uint64_t sourceOffset = 0;  // the record's first byte in the input file (recordingStart included)
  uint16_t time = 0;          // the entry's recorded time: seconds after the header's hour
  bool key = false;
  int64_t position = 0;  // sample position in the AVI video stream (frame position / rate = time)
  // The frame's stream bytes as taken from the record (words in stream order, pad words left
  // out): in pass-through these are exactly the bytes of the AVI sample.
  const uint8_t* data = nullptr;
  std::size_t size = 0;
  bool passThrough = true;  // false: the sample in the file is a re-encoded picture
  // The recorded clock: the position where the frame's recorded second ends on the output's timeline;
  // -1 with the declared clock.
  int64_t secondEnd = -1;
  bool timeEstimated = false;  // salvage found the record by its head alone: time is an estimate
  // The declared clock joined up a pause just before this frame: no picture from this second on.
  std::optional<uint16_t> pausedFrom;
};

// A video record that was not written because its channel had not yet had a key frame. It keeps its
// place in time: its position is an empty sample.
struct DroppedFrameEvent {
  int channel = 0;
  uint32_t entry = 0;
  uint64_t sourceOffset = 0;
  uint16_t time = 0;
  int64_t position = 0;    // the empty sample standing in for it
  int64_t secondEnd = -1;  // as in VideoSampleEvent
  bool timeEstimated = false;
  std::optional<uint16_t> pausedFrom;
};

// A pause closed down to the gap limit, told to every channel with an output: a note from video
// position start up to end, such as "[gap 00:23:41]", so nobody mistakes the cut for continuous footage.
struct GapNoteEvent {
  int channel = 0;
  int64_t start = 0;
  int64_t end = 0;
  std::string text;
};

// One audio record's samples appended to one output file.
struct AudioRecordEvent {
  int channel = 0;
  uint32_t entry = 0;
  uint64_t sourceOffset = 0;
  int64_t firstSample = 0;  // audio sample position of the first sample written
  std::size_t samples = 0;
};

// A record left out (or clipped) as damaged.
struct SkippedRecordEvent {
  uint32_t entry = 0;
  uint64_t sourceOffset = 0;
  int channel = -1;      // the entry's channel when it names one, else -1
  bool clipped = false;  // true: written, but with its word count cut to the record's extent
  std::string reason;
};

// Called on the worker's thread, in record order. Implementations must not block on another
// thread. Every method has an empty default so observers take only what they need.
class ConversionObserver {
 public:
  virtual ~ConversionObserver() = default;
  virtual void outputOpened(int /*channel*/, const std::string& /*path*/) {}
  virtual void videoSample(const VideoSampleEvent& /*event*/) {}
  virtual void frameDropped(const DroppedFrameEvent& /*event*/) {}
  virtual void audioRecord(const AudioRecordEvent& /*event*/) {}
  virtual void recordSkipped(const SkippedRecordEvent& /*event*/) {}
  virtual void gapNote(const GapNoteEvent& /*event*/) {}
};

// Hands every event to several observers, in the order they were added.
class ObserverFanOut : public ConversionObserver {
 public:
  void add(ConversionObserver* observer) {
    if (observer != nullptr) observers_.push_back(observer);
  }
  bool empty() const { return observers_.empty(); }
  void outputOpened(int channel, const std::string& path) override {
    for (ConversionObserver* o : observers_) o->outputOpened(channel, path);
  }
  void videoSample(const VideoSampleEvent& event) override {
    for (ConversionObserver* o : observers_) o->videoSample(event);
  }
  void frameDropped(const DroppedFrameEvent& event) override {
    for (ConversionObserver* o : observers_) o->frameDropped(event);
  }
  void audioRecord(const AudioRecordEvent& event) override {
    for (ConversionObserver* o : observers_) o->audioRecord(event);
  }
  void recordSkipped(const SkippedRecordEvent& event) override {
    for (ConversionObserver* o : observers_) o->recordSkipped(event);
  }
  void gapNote(const GapNoteEvent& event) override {
    for (ConversionObserver* o : observers_) o->gapNote(event);
  }

 private:
  std::vector<ConversionObserver*> observers_;
};

}  // namespace qmv
