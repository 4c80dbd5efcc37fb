// Shared pieces of the dialog tests: generated recordings and a worker stand-in the test controls.
#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <thread>

#include "convert/conversion_worker.h"
#include "tools/generator/recording_generator.h"

namespace qmv::test {

// A small recording (one second, real MPEG-4 frames) with video on the given 0-based channels.
inline bool writeRecording(const QString& path, std::initializer_list<int> channels, int seconds = 1) {
  gen::BodyPlan plan;
  for (int channel : channels) {
    gen::ChannelPlan c;
    c.channel = channel;
    c.rateByte = 20;  // 5 frames per second keeps the files small
    c.keyInterval = 3;
    plan.channels.push_back(c);
  }
  plan.seconds = seconds;
  plan.reuseFrames = true;
  plan.auxEverySeconds = 0;
  return gen::writeRecordingFile(gen::planScenario(plan), path.toStdString());
}

// Stands in for the worker: reports like the real one, then holds the pass open until it is
// asked to stop, so that tests can look at the dialog while it converts.
class FakeWorker {
 public:
  ConversionReport operator()(const RecordingFile& recording, const ConversionContext& context) {
    calls.fetch_add(1);
    finished.store(false);
    const ConversionSettings& settings = context.settings;
    {
      std::lock_guard<std::mutex> lock(mutex);
      lastSettings = settings;
      sawOpenRecording = recording.isOpen();
    }
    ConversionReport report;
    if (!recording.isOpen() || settings.selectedChannels == 0 || returnUnstarted.load()) {
      finished.store(true);
      return report;
    }
    report.started = true;
    ProgressSink& progress = *context.progress;
    progress.progressRange(100);
    progress.progressPosition(50);
    while (!context.stop->load() && !endByItself.load()) {
      // Keeps reporting progress while it runs, as the real worker does once per entry.
      progress.progressPosition(50);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    report.stopped = context.stop->load();
    if (outputError) report.outputError = *outputError;
    progress.conversionDone(report);
    finished.store(true);
    return report;
  }

  ConversionSettings settings() {
    std::lock_guard<std::mutex> lock(mutex);
    return lastSettings;
  }

  std::atomic<int> calls{0};
  std::atomic<bool> finished{false};
  std::atomic<bool> endByItself{false};
  std::atomic<bool> returnUnstarted{false};  // returns at once without a pass, as with nothing to do
  std::optional<Error> outputError;
  std::atomic<bool> sawOpenRecording{false};

 private:
  std::mutex mutex;
  ConversionSettings lastSettings;
};

}  // namespace qmv::test
