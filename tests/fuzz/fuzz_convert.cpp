// Fuzz target: open arbitrary bytes as a recording and convert every channel in pass-through.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "convert/conversion_observer.h"
#include "convert/conversion_worker.h"
#include "recording/byte_source.h"
#include "recording/recording_file.h"
#include "tests/fuzz/output_dir.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

class QuietSinks final : public qmv::ProgressSink, public qmv::MessageSink {
 public:
  void progressRange(uint32_t maximum) override { range = maximum; }
  void progressPosition(uint32_t position) override { require(position <= range); }
  void conversionDone(const qmv::ConversionReport&) override { ++done; }
  void message(const qmv::Message& message) override { require(!message.text.empty()); }
  uint32_t range = 0;
  int done = 0;
};

// Reads every byte the worker claims to hand out: a sample pointing past its record is a sanitizer report.
class TouchingObserver final : public qmv::ConversionObserver {
 public:
  void videoSample(const qmv::VideoSampleEvent& event) override {
    require(event.channel >= 0 && event.channel < 16);
    uint64_t sum = 0;
    for (std::size_t i = 0; i < event.size; ++i) sum += event.data[i];
    sink = sum;
  }
  void audioRecord(const qmv::AudioRecordEvent& event) override {
    require(event.channel >= 0 && event.channel < 16);
  }
  volatile uint64_t sink = 0;
};

const qmv::fuzz::OutputDir& outputDir() {
  static const qmv::fuzz::OutputDir dir("fuzz-convert");
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  qmv::RecordingFile recording;
  if (!recording.open(qmv::makeMemorySource(std::vector<uint8_t>(data, data + size), "fuzz")).ok()) return 0;

  QuietSinks sinks;
  TouchingObserver observer;
  qmv::ConversionContext context;
  qmv::ConversionSettings& settings = context.settings;
  settings.selectedChannels = 0xFFFF;
  settings.videoMode = qmv::VideoMode::kPassThrough;
  settings.standardize = (size & 1) != 0;  // both geometry tables, without spending input bytes on it
  settings.destinationDir = outputDir().path().string() + "/";
  settings.baseName = "fuzz";
  context.progress = &sinks;
  context.messages = &sinks;
  context.observer = &observer;
  const std::atomic<bool> stop{false};
  context.stop = &stop;
  const qmv::ConversionReport report = qmv::runConversion(recording, context);

  require(report.entriesDone <= recording.entryCount());
  int previous = -1;
  for (const qmv::OutputFileReport& file : report.files) {
    require(file.channel > previous && file.channel < 16);
    require(file.keyFrames <= file.frames);
    previous = file.channel;
  }

  outputDir().clear();
  return 0;
}
