// Throughput of VideoDecoder::decodeFrame at 704 x 576 (format code 4) through the real Xvid library, in
// frames per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "decode/video_decoder.h"
#include "decode/xvid_library.h"
#include "recording/frame_record.h"
#include "tools/generator/recording_generator.h"

namespace {

struct EncodedFrame {
  std::vector<uint8_t> payload;  // stream words, then the zero padding decoders may read into
  qmv::FrameHeader header;
};

// One group of pictures: a key frame and the frames up to the next one, so that looping over it stays valid.
std::vector<EncodedFrame> makeGroup(int width, int height, int keyInterval) {
  qmv::gen::TestVideoEncoder encoder(width, height, keyInterval, 3);
  std::vector<EncodedFrame> frames(keyInterval);
  if (!encoder.ok()) return {};
  for (EncodedFrame& f : frames) {
    const std::vector<uint8_t> vop = encoder.next().vop;
    const std::size_t words = (vop.size() + 3) / 4;
    f.payload.assign(words * 4 + qmv::kPayloadPadding, 0);
    std::copy(vop.begin(), vop.end(), f.payload.begin());
    f.header.wordCount = static_cast<uint16_t>(words);
    f.header.formatCode = 4;
    f.header.payload = f.payload.data();
  }
  return frames;
}

void BM_VideoDecodeFrame704x576(benchmark::State& state) {
  if (!qmv::DynamicXvidLibrary().load().ok) {
    state.SkipWithError("the Xvid library cannot be loaded");
    return;
  }
  const std::vector<EncodedFrame> frames = makeGroup(704, 576, 12);
  if (frames.empty()) {
    state.SkipWithError("the test encoder is not available");
    return;
  }
  std::vector<uint8_t> output(704 * 576 * 3);
  qmv::VideoDecoder decoder;
  if (decoder.create(704, 576, output.data()) != qmv::VideoDecoder::kOk) {
    state.SkipWithError("decoder creation failed");
    return;
  }
  std::size_t next = 0;
  for (auto _ : state) {
    if (decoder.decodeFrame(frames[next].header) != qmv::VideoDecoder::kOk) {
      state.SkipWithError("decodeFrame failed");
      break;
    }
    benchmark::DoNotOptimize(output.data());
    next = (next + 1) % frames.size();
  }
  state.SetItemsProcessed(state.iterations());  // items per second = frames per second
}
// Wall time: the library may hand work to threads of its own.
BENCHMARK(BM_VideoDecodeFrame704x576)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
