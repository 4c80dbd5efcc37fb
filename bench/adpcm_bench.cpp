// Throughput of the two ADPCM decoders over record-sized buffers of varied codes, in samples per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "decode/ima_adpcm.h"
#include "decode/multi_adpcm.h"

namespace {

// Random codes with quiet and loud stretches, so the step index moves across its whole table.
std::vector<uint8_t> makeInput(std::size_t bytes) {
  std::mt19937 random(1234);
  std::vector<uint8_t> input(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    const std::size_t phase = (i / 512) % 4;
    const uint8_t code = static_cast<uint8_t>(random());
    input[i] = phase == 1 ? 0x77 : phase == 3 ? (code & 0x33) : code;
  }
  return input;
}

void BM_ImaAdpcmDecode(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  const std::vector<uint8_t> input = makeInput(bytes);
  std::vector<int16_t> output(bytes * 2);
  qmv::ImaAdpcmState adpcm;
  qmv::imaAdpcmInit(adpcm, 80);
  for (auto _ : state) {
    qmv::imaAdpcmDecode(adpcm, input.data(), output.data(), static_cast<int>(output.size()));
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(output.size()));
}
// 1 KiB is a typical audio record (256 words); 64 KiB shows the steady rate.
BENCHMARK(BM_ImaAdpcmDecode)->Arg(1024)->Arg(64 * 1024);

void BM_MultiAdpcmDecode(benchmark::State& state) {
  const auto codingType = static_cast<int8_t>(state.range(0));
  const auto channelMode = static_cast<int8_t>(state.range(1));
  const auto bytes = static_cast<uint32_t>(state.range(2));
  const std::vector<uint8_t> input = makeInput(bytes);
  std::vector<int16_t> output(bytes * 4);  // room for the widest case, four codes per byte
  qmv::MultiAdpcmDecoder decoder;
  decoder.execute(qmv::MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  int64_t samples = 0;
  for (auto _ : state) {
    samples += decoder.execute(qmv::MultiAdpcmDecoder::kDecode, channelMode, codingType, input.data(), bytes,
                               output.data());
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  if (samples == 0) state.SkipWithError("the decoder rejected the input");
  state.SetItemsProcessed(samples);
}
// Type 0 with one channel is what conversions use; the others cover the remaining code widths and two
// channels.
BENCHMARK(BM_MultiAdpcmDecode)
    ->ArgNames({"type", "channels", "bytes"})
    ->Args({0, 1, 1024})
    ->Args({0, 1, 64 * 1024})
    ->Args({0, 2, 64 * 1024})
    ->Args({5, 1, 64 * 1024})
    ->Args({13, 1, 64 * 1024})
    ->Args({4, 1, 64 * 1024});

}  // namespace
