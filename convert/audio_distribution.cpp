// AudioDistributor: decodes each ADPCM audio record once and hands the PCM to every channel that takes its
// input.
#include "convert/audio_distribution.h"

#include <algorithm>

namespace qmv {

namespace {

// Decoded once at the start of a conversion; only the decoder state it leaves behind matters.
constexpr uint8_t kMultiPrimingBytes[8] = {0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E};
constexpr int8_t kMonoChannelMode = 1;
constexpr int8_t kCodingType4Bit = 0;

}  // namespace

AudioDistributor::AudioDistributor(const SystemInfo& info)
    : coded_(std::size_t(kChunkWords) * 4), samples_(kChunkSamples) {
  prepare(info);
}

void AudioDistributor::prepare(const SystemInfo& info) {
  std::fill(samples_.begin(), samples_.end(), int16_t(0));
  multi_.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  multi_.execute(MultiAdpcmDecoder::kDecode, kMonoChannelMode, kCodingType4Bit, kMultiPrimingBytes,
                 sizeof kMultiPrimingBytes, samples_.data());
  for (auto& state : imaStates_) imaAdpcmInit(state, kImaStartIndex);
  reverseImaWords_ = info.modelCode < format::kModelCodeAudioAsCoded;
  imaCoding_ = info.audioFormat == format::kAudioFormatIma;
  // 0x80..0xFF (0xFF = none) are negative and so match no source byte.
  for (int c = 0; c < format::kChannelCount; ++c)
    audioSource_[std::size_t(c)] = int8_t(info.audioSource[std::size_t(c)]);
}

void AudioDistributor::distribute(const AudioRecord& record, uint32_t writerMask, const Sink& sink) {
  if (record.wordCount == 0 || record.payload == nullptr) return;

  std::array<int, format::kChannelCount> receivers{};
  int receiverCount = 0;
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (int(audioSource_[std::size_t(c)]) == int(record.source) && ((writerMask >> c) & 1u) != 0) {
      receivers[std::size_t(receiverCount++)] = c;
    }
  }
  // IMA decoding only runs for receivers; multi-mode decoding always runs, so its state stays in step.
  if (imaCoding_ && receiverCount == 0) return;

  for (uint32_t done = 0; done < record.wordCount;) {
    const uint32_t words = std::min(kChunkWords, record.wordCount - done);
    const uint8_t* in = record.payload + std::size_t(done) * 4;
    uint8_t* out = coded_.data();
    for (uint32_t w = 0; w < words; ++w, in += 4, out += 4) {
      if (!imaCoding_) {  // stored a2 a3 a0 a1
        out[0] = in[2], out[1] = in[3], out[2] = in[0], out[3] = in[1];
      } else if (reverseImaWords_) {  // stored a3 a2 a1 a0
        out[0] = in[3], out[1] = in[2], out[2] = in[1], out[3] = in[0];
      } else {
        out[0] = in[0], out[1] = in[1], out[2] = in[2], out[3] = in[3];
      }
    }
    const std::size_t sampleCount = std::size_t(words) * 8;
    if (!imaCoding_) {
      multi_.execute(MultiAdpcmDecoder::kDecode, kMonoChannelMode, kCodingType4Bit, coded_.data(), words * 4,
                     samples_.data());
      for (int i = 0; i < receiverCount; ++i) sink(receivers[std::size_t(i)], samples_.data(), sampleCount);
    } else {
      // Channels that share an input usually hold the same state: the same codes from the same
      // state give the same samples, so those are decoded once.
      bool decoded = false;
      ImaAdpcmState before{}, after{};
      for (int i = 0; i < receiverCount; ++i) {
        ImaAdpcmState& state = imaStates_[std::size_t(receivers[std::size_t(i)])];
        if (decoded && state.predictor == before.predictor && state.stepIndex == before.stepIndex) {
          state = after;
        } else {
          before = state;
          imaAdpcmDecode(state, coded_.data(), samples_.data(), int(sampleCount));
          after = state;
          decoded = true;
        }
        sink(receivers[std::size_t(i)], samples_.data(), sampleCount);
      }
    }
    done += words;
  }
}

}  // namespace qmv
