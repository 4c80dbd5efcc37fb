// AudioDistributor: decodes each ADPCM audio record once and hands the PCM to every channel that takes its
// input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "decode/ima_adpcm.h"
#include "decode/multi_adpcm.h"
#include "recording/recording_file.h"

namespace qmv {

// One audio record as found in the body: its source byte and its payload as stored.
struct AudioRecord {
  uint8_t source = 0;
  uint32_t wordCount = 0;            // already clipped to what the record's extent holds
  const uint8_t* payload = nullptr;  // 4 * wordCount bytes, stored form
};

// State for one conversion: the multi-mode decoder, 16 IMA states (one per video channel) and
// the coding chosen by the header. Nothing is shared between conversions.
class AudioDistributor {
 public:
  // Samples per decoding pass; longer records are decoded in consecutive passes that carry the
  // decoders' state, so nothing is cut off.
  static constexpr uint32_t kChunkWords = 10240;
  static constexpr uint32_t kChunkSamples = kChunkWords * 8;
  static constexpr int kImaStartIndex = 80;

  // channel 0..15, samples in host order; count > 0.
  using Sink = std::function<void(int channel, const int16_t* samples, std::size_t count)>;

  explicit AudioDistributor(const SystemInfo& info);

  // Resets and primes the multi-mode decoder, sets the IMA states and the coding flags.
  void prepare(const SystemInfo& info);

  // Decodes record for every channel c with audioSource[c] == source and bit c of writerMask set.
  // Multi-mode coding decodes once per record whether or not any channel takes it; IMA coding
  // decodes per receiving channel with that channel's own state.
  void distribute(const AudioRecord& record, uint32_t writerMask, const Sink& sink);

  bool imaCoding() const { return imaCoding_; }
  bool reverseImaWords() const { return reverseImaWords_; }
  const ImaAdpcmState& imaState(int channel) const { return imaStates_[std::size_t(channel)]; }
  const MultiAdpcmDecoder& multiDecoder() const { return multi_; }

 private:
  std::array<int8_t, format::kChannelCount> audioSource_{};
  bool imaCoding_ = false;
  bool reverseImaWords_ = false;
  MultiAdpcmDecoder multi_;
  std::array<ImaAdpcmState, format::kChannelCount> imaStates_{};
  std::vector<uint8_t> coded_;    // one chunk of payload in coded byte order
  std::vector<int16_t> samples_;  // one chunk of decoded samples
};

}  // namespace qmv
