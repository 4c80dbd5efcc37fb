// planScenario and demoScenario: interleaved channels at their rates, with audio and aux records, split into
// blocks.
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <tuple>

#include "tools/generator/prng.h"
#include "tools/generator/recording_generator.h"

namespace qmv::gen {

using namespace qmv::format;

namespace {

constexpr uint8_t kKeyFrameType = 0x10;
constexpr uint8_t kNonKeyFrameType = 0x20;
constexpr uint8_t kAuxFrameType = 0x01;
constexpr int kSamplesPerWord = 8;
constexpr int kAudioRate = 8000;
constexpr int64_t kMicros = 1000000;

// Picture size to code for a format code: the decoder's size where it has one, else the output
// size without standardization (those formats are only ever copied, never decoded).
std::pair<int, int> pictureSize(uint8_t formatCode) {
  if (auto size = codedSizeForFormat(formatCode)) return *size;
  switch (formatCode) {
    case 0:
      return {176, 144};
    case 1:
      return {352, 144};
    case 8:
    case 24:
      return {160, 120};
    case 9:
    case 25:
      return {320, 120};
    case 10:
    case 26:
      return {320, 240};
    case 11:
    case 27:
      return {640, 240};
    case 12:
    case 28:
      return {640, 480};
    case 16:
      return {176, 120};
    case 17:
      return {352, 120};
    default:
      return {352, 288};
  }
}

struct Event {
  int64_t micros = 0;
  int order = 0;  // ties: video by channel, then audio by input, then aux
  Record record;
};

// Hands out a channel's frames: its own encoder, or a shared pool of one GOP cycled.
class FrameSource {
 public:
  using Pool = std::vector<TestVideoEncoder::Frame>;
  FrameSource(const ChannelPlan& channel, uint32_t seed, std::shared_ptr<const Pool> pool)
      : pool_(std::move(pool)) {
    if (!pool_) {
      const auto [w, h] = pictureSize(channel.formatCode);
      encoder_ = std::make_unique<TestVideoEncoder>(w, h, channel.keyInterval, seed);
    }
    if (channel.startWithNonKey) {
      if (pool_) {
        position_ = 1;
      } else {
        encoder_->next();
      }
    }
  }
  TestVideoEncoder::Frame next() {
    if (pool_) return pool_->empty() ? TestVideoEncoder::Frame{} : (*pool_)[position_++ % pool_->size()];
    return encoder_->next();
  }

 private:
  std::shared_ptr<const Pool> pool_;
  std::unique_ptr<TestVideoEncoder> encoder_;
  std::size_t position_ = 0;
};

std::shared_ptr<const FrameSource::Pool> encodePool(uint8_t formatCode, int keyInterval, uint32_t seed) {
  const auto [w, h] = pictureSize(formatCode);
  TestVideoEncoder encoder(w, h, keyInterval, seed);
  auto pool = std::make_shared<FrameSource::Pool>();
  // Two frames at least, so that a channel starting on a non-key frame has one.
  const int count = std::max(keyInterval, 2);
  for (int i = 0; i < count && encoder.ok(); ++i) pool->push_back(encoder.next());
  return pool;
}

std::vector<uint8_t> toneCodes(int input, std::size_t samples, int64_t& sampleIndex, ImaEncoderState& state) {
  std::vector<int16_t> pcm(samples);
  const double frequency = 330.0 + 110.0 * input;
  for (auto& s : pcm) {
    s = int16_t(
        std::lround(6000.0 * std::sin(6.283185307179586 * frequency * double(sampleIndex++) / kAudioRate)));
  }
  return imaAdpcmEncode(pcm.data(), pcm.size(), state);
}

}  // namespace

Scenario planScenario(const BodyPlan& plan) {
  Scenario scenario;
  scenario.header = plan.header;
  Prng prng(plan.seed);
  std::vector<Event> events;

  std::map<std::pair<int, int>, std::shared_ptr<const FrameSource::Pool>> pools;
  std::vector<int> audioInputs;
  for (const ChannelPlan& channel : plan.channels) {
    if (channel.channel < 0 || channel.channel >= kChannelCount) continue;
    scenario.header.channelRate[channel.channel] = channel.rateByte;
    scenario.header.audioSource[channel.channel] =
        channel.audioInput >= 0 ? uint8_t(channel.audioInput) : kNoAudioSource;
    if (channel.audioInput >= 0 && channel.audioInput < kChannelCount &&
        std::find(audioInputs.begin(), audioInputs.end(), channel.audioInput) == audioInputs.end()) {
      audioInputs.push_back(channel.audioInput);
    }
    if (channel.rateByte == 0) continue;

    std::shared_ptr<const FrameSource::Pool> pool;
    if (plan.reuseFrames) {
      auto& slot = pools[{channel.formatCode, channel.keyInterval}];
      if (!slot) slot = encodePool(channel.formatCode, channel.keyInterval, plan.seed);
      pool = slot;
    }
    FrameSource frames(channel, plan.seed * 31 + uint32_t(channel.channel), pool);
    // Frame i of a channel at rateByte quarter frames per second lies at 4 i / rateByte seconds.
    const int64_t frameCount = int64_t(plan.seconds) * channel.rateByte / 4;
    for (int64_t i = 0; i < frameCount; ++i) {
      TestVideoEncoder::Frame frame = frames.next();
      Event event;
      event.micros = i * 4 * kMicros / channel.rateByte;
      event.order = channel.channel;
      Record& r = event.record;
      r.type = Record::Type::Video;
      r.channel = channel.channel;
      r.flagNibble = channel.flagNibble;
      r.frameType = frame.key ? kKeyFrameType : kNonKeyFrameType;
      r.formatCode = channel.formatCode;
      r.padWords = uint8_t(plan.maxPadWords > 0 ? prng.below(uint32_t(plan.maxPadWords) + 1) : 0);
      r.data = std::move(frame.vop);
      events.push_back(std::move(event));
    }
  }

  if (plan.audioWordsPerRecord > 0) {
    const std::size_t samples = std::size_t(plan.audioWordsPerRecord) * kSamplesPerWord;
    const int64_t recordMicros = int64_t(samples) * kMicros / kAudioRate;
    for (int input : audioInputs) {
      ImaEncoderState state;
      int64_t sampleIndex = 0;
      for (int64_t j = 0; j * recordMicros < int64_t(plan.seconds) * kMicros; ++j) {
        Event event;
        event.micros = j * recordMicros;
        event.order = kChannelCount + input;
        Record& r = event.record;
        r.type = Record::Type::Audio;
        r.channel = input;
        r.source = uint8_t(input);
        r.flagNibble = 8;
        if (plan.randomAudio) {
          r.data.resize(samples / 2);
          for (auto& b : r.data) b = prng.byte();
        } else {
          r.data = toneCodes(input, samples, sampleIndex, state);
        }
        events.push_back(std::move(event));
      }
    }
  }

  if (plan.auxEverySeconds > 0) {
    const int auxChannel = plan.channels.empty() ? 0 : plan.channels.front().channel & 0x0F;
    for (int k = 0, t = 0; t < plan.seconds; ++k, t += plan.auxEverySeconds) {
      Event event;
      event.micros = int64_t(t) * kMicros;
      event.order = 2 * kChannelCount;
      Record& r = event.record;
      r.type = k % 2 == 0 ? Record::Type::AuxChannel : Record::Type::Aux;
      r.channel = auxChannel;
      r.frameType = kAuxFrameType;
      r.data.resize(16);
      for (auto& b : r.data) b = prng.byte();
      events.push_back(std::move(event));
    }
  }

  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return std::tie(a.micros, a.order) < std::tie(b.micros, b.order);
  });

  const std::size_t perBlock = std::size_t(std::max(plan.recordsPerBlock, 1));
  for (Event& event : events) {
    const uint32_t second = plan.startTime + uint32_t(event.micros / kMicros);
    // A new block when the current one is full or its timeDelta would not fit a byte.
    if (scenario.blocks.empty() || scenario.blocks.back().records.size() >= perBlock ||
        second - scenario.blocks.back().baseTime > 255) {
      scenario.blocks.push_back(Block{second, {}});
    }
    event.record.timeDelta = uint8_t(second - scenario.blocks.back().baseTime);
    scenario.blocks.back().records.push_back(std::move(event.record));
  }
  if (scenario.blocks.empty()) scenario.blocks.push_back(Block{plan.startTime, {}});
  return scenario;
}

Scenario demoScenario() {
  BodyPlan plan;
  plan.header.systemName = "DEMO-DVR";
  plan.header.modelCode = 9;
  plan.header.audioFormat = kAudioFormatIma;
  plan.header.year = 2007;
  plan.header.month = 6;
  plan.header.day = 15;
  plan.header.hour = 13;
  plan.header.languageCode = 1;
  plan.seconds = 60;
  plan.startTime = 600;
  plan.recordsPerBlock = 200;
  plan.seed = 2007;
  plan.channels = {
      {.channel = 0, .formatCode = 2, .rateByte = 40, .audioInput = 0, .keyInterval = 10},
      {.channel = 1, .formatCode = 4, .rateByte = 20, .audioInput = -1, .keyInterval = 10, .flagNibble = 2},
      {.channel = 4,
       .formatCode = 18,
       .rateByte = 30,
       .audioInput = 1,
       .keyInterval = 15,
       .startWithNonKey = true},
      {.channel = 9, .formatCode = 19, .rateByte = 40, .audioInput = -1, .keyInterval = 20},
  };
  return planScenario(plan);
}

}  // namespace qmv::gen
