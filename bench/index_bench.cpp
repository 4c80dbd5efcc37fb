// Speed of building the frame index: RecordingFile::open of an index-heavy recording held in memory, in
// entries per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "recording/byte_source.h"
#include "recording/recording_file.h"
#include "tools/generator/recording_generator.h"

namespace {

// 1,000,000 tiny records: one audio input at 8 samples (one word) per record for 1000 seconds. A
// block holds at most 65,526 records (its terminator stores itemCount + 8 in 16 bits), so the
// fewest blocks that can hold them are 16 of 62,500.
std::vector<uint8_t> makeIndexHeavyRecording(int recordsPerBlock) {
  qmv::gen::BodyPlan plan;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 0, .audioInput = 0}};
  plan.seconds = 1000;
  plan.audioWordsPerRecord = 1;
  plan.auxEverySeconds = 0;
  plan.recordsPerBlock = recordsPerBlock;
  plan.randomAudio = true;
  return qmv::gen::buildRecording(qmv::gen::planScenario(plan)).bytes;
}

void BM_OpenIndexHeavyRecording(benchmark::State& state) {
  const std::vector<uint8_t> bytes = makeIndexHeavyRecording(static_cast<int>(state.range(0)));
  uint32_t entryCount = 0;
  for (auto _ : state) {
    // The source owns its bytes, so each open gets a fresh copy; the copy is not timed.
    state.PauseTiming();
    auto source = qmv::makeMemorySource(bytes);
    qmv::RecordingFile recording;
    state.ResumeTiming();
    const qmv::Status opened = recording.open(std::move(source));
    if (!opened) {
      state.SkipWithError(opened.error().message.c_str());
      break;
    }
    entryCount = recording.entryCount();
    benchmark::DoNotOptimize(recording.entries().data());
    // Freeing the index is part of an open that replaces a recording, but not of building it.
    state.PauseTiming();
    recording.close();
    state.ResumeTiming();
  }
  state.counters["entries"] = entryCount;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * entryCount);
}
// 16 blocks of 62,500 records (the fewest possible), and the same records in 5,000 blocks of 200.
BENCHMARK(BM_OpenIndexHeavyRecording)
    ->ArgName("recordsPerBlock")
    ->Arg(62500)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond);

}  // namespace
