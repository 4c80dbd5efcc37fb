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

std::pair<int, int> codedSizeOf(const ChannelPlan& channel) {
  if (channel.codedSize.first > 0 && channel.codedSize.second > 0) return channel.codedSize;
  return pictureSize(channel.formatCode);
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
      : pool_(std::move(pool)),
        keyInterval_(std::max(channel.keyInterval, 1)),
        held_(channel.firstKeySecond > 0) {
    if (!pool_) {
      const auto [w, h] = codedSizeOf(channel);
      // A held first key frame comes at a time, not at a frame count: key frames are chosen here, and
      // the encoder's own interval must never add one.
      encoder_ = std::make_unique<TestVideoEncoder>(w, h, held_ ? kNoOwnKeyFrames : keyInterval_, seed);
    }
    if (held_) {
      // The frames before the first key frame predict from a picture that the recording does not hold.
      if (encoder_) encoder_->next(true, false);
    } else if (channel.startWithNonKey) {
      if (pool_) {
        position_ = 1;
      } else {
        encoder_->next();
      }
      count_ = 1;
    }
  }
  // beforeFirstKey: the frame lies before the channel's firstKeySecond. bright: a marked frame.
  TestVideoEncoder::Frame next(bool beforeFirstKey, bool bright) {
    const bool waiting = held_ && beforeFirstKey;
    const bool key = !waiting && count_ % keyInterval_ == 0;
    if (!waiting) ++count_;
    if (pool_) {
      if (pool_->empty()) return {};
      if (waiting) return pool_->size() > 1 ? (*pool_)[1 + waitingFrames_++ % (pool_->size() - 1)] : Frame{};
      return (*pool_)[position_++ % pool_->size()];
    }
    return encoder_->next(key, bright);
  }

 private:
  using Frame = TestVideoEncoder::Frame;
  // The longest interval libavcodec takes; every key frame chosen here restarts its count.
  static constexpr int kNoOwnKeyFrames = 600;
  std::shared_ptr<const Pool> pool_;
  std::unique_ptr<TestVideoEncoder> encoder_;
  int keyInterval_;
  bool held_;
  int64_t count_ = 0;  // frames coded so far (held channels: since the first key frame)
  std::size_t position_ = 0;
  std::size_t waitingFrames_ = 0;
};

// When each of a channel's frames lies, in microseconds of plan time (before a gap is let in).
std::vector<int64_t> framePlanTimes(const ChannelPlan& channel, int seconds) {
  std::vector<int64_t> times;
  const int64_t start = int64_t(channel.startSecond) * kMicros;
  if (!channel.framesPerSecond.empty()) {
    for (int second = channel.startSecond, k = 0; second < seconds; ++second, ++k) {
      const int64_t n = std::max(channel.framesPerSecond[std::size_t(k) % channel.framesPerSecond.size()], 0);
      for (int64_t i = 0; i < n; ++i) times.push_back(int64_t(second) * kMicros + i * kMicros / n);
    }
  } else if (channel.rateByte > 0) {
    const int64_t frameCount = int64_t(seconds - channel.startSecond) * channel.rateByte / 4;
    for (int64_t i = 0; i < frameCount; ++i) times.push_back(start + i * 4 * kMicros / channel.rateByte);
  }
  return times;
}

// A burst at the start of a marked second's first audio record: a 1 kHz square wave, loud enough that
// nothing else in the recording reaches half its level.
void addClick(std::vector<int16_t>& pcm) {
  for (std::size_t i = 0; i < pcm.size() && i < std::size_t(kClickSamples); ++i)
    pcm[i] = int16_t((i / 4) % 2 == 0 ? kClickLevel : -kClickLevel);
}

std::shared_ptr<const FrameSource::Pool> encodePool(std::pair<int, int> size, int keyInterval,
                                                    uint32_t seed) {
  const auto [w, h] = size;
  TestVideoEncoder encoder(w, h, keyInterval, seed);
  auto pool = std::make_shared<FrameSource::Pool>();
  // Two frames at least, so that a channel starting on a non-key frame has one.
  const int count = std::max(keyInterval, 2);
  for (int i = 0; i < count && encoder.ok(); ++i) pool->push_back(encoder.next());
  return pool;
}

std::vector<uint8_t> toneCodes(int input, std::size_t samples, int64_t& sampleIndex, ImaEncoderState& state,
                               bool click) {
  std::vector<int16_t> pcm(samples);
  const double frequency = 330.0 + 110.0 * input;
  for (auto& s : pcm) {
    s = int16_t(std::lround(kToneLevel *
                            std::sin(6.283185307179586 * frequency * double(sampleIndex++) / kAudioRate)));
  }
  if (click) addClick(pcm);
  return imaAdpcmEncode(pcm.data(), pcm.size(), state);
}

}  // namespace

Scenario planScenario(const BodyPlan& plan) {
  Scenario scenario;
  scenario.header = plan.header;
  Prng prng(plan.seed);
  std::vector<Event> events;
  // Plan time to recorded time: from gapAt on, everything is recorded gapSeconds later.
  const auto recorded = [&](int64_t micros) {
    return plan.gapAt >= 0 && micros >= int64_t(plan.gapAt) * kMicros
               ? micros + int64_t(plan.gapSeconds) * kMicros
               : micros;
  };
  const auto marked = [&](int64_t recordedMicros) {
    return plan.markSecond >= 0 && recordedMicros / kMicros == plan.markSecond;
  };
  const bool reuseFrames = plan.reuseFrames && plan.markSecond < 0;

  std::map<std::pair<std::pair<int, int>, int>, std::shared_ptr<const FrameSource::Pool>> pools;
  std::map<int, int> audioStarts;  // audio input -> the earliest startSecond of the channels that take it
  for (const ChannelPlan& channel : plan.channels) {
    if (channel.channel < 0 || channel.channel >= kChannelCount) continue;
    scenario.header.channelRate[channel.channel] = channel.rateByte;
    scenario.header.audioSource[channel.channel] =
        channel.audioInput >= 0 ? uint8_t(channel.audioInput) : kNoAudioSource;
    if (channel.audioInput >= 0 && channel.audioInput < kChannelCount) {
      const auto [slot, added] = audioStarts.try_emplace(channel.audioInput, channel.startSecond);
      if (!added) slot->second = std::min(slot->second, channel.startSecond);
    }
    if (channel.rateByte == 0 && channel.framesPerSecond.empty()) continue;

    std::shared_ptr<const FrameSource::Pool> pool;
    if (reuseFrames) {
      auto& slot = pools[{codedSizeOf(channel), channel.keyInterval}];
      if (!slot) slot = encodePool(codedSizeOf(channel), channel.keyInterval, plan.seed);
      pool = slot;
    }
    FrameSource frames(channel, plan.seed * 31 + uint32_t(channel.channel), pool);
    const int64_t firstKey = int64_t(channel.startSecond + channel.firstKeySecond) * kMicros;
    for (const int64_t micros : framePlanTimes(channel, plan.seconds)) {
      Event event;
      event.micros = recorded(micros);
      TestVideoEncoder::Frame frame = frames.next(micros < firstKey, marked(event.micros));
      event.order = channel.channel;
      Record& r = event.record;
      r.type = Record::Type::Video;
      r.channel = channel.channel;
      r.flagNibble = channel.flagNibble;
      r.frameType = frame.key ? kKeyFrameType : kNonKeyFrameType;
      r.formatCode = channel.formatCode;
      r.padWords = uint8_t(plan.maxPadWords > 0 ? prng.below(uint32_t(plan.maxPadWords) + 1) : 0);
      if (plan.userDataBytes > 0) {
        r.data.assign({0x00, 0x00, 0x01, 0xB2});
        r.data.resize(4 + std::size_t(plan.userDataBytes), 0x55);  // never a start code's zeros
        r.data.insert(r.data.end(), frame.vop.begin(), frame.vop.end());
      } else {
        r.data = std::move(frame.vop);
      }
      events.push_back(std::move(event));
    }
  }

  if (plan.audioWordsPerRecord > 0) {
    const std::size_t samples = std::size_t(plan.audioWordsPerRecord) * kSamplesPerWord;
    const int64_t recordMicros = int64_t(samples) * kMicros / kAudioRate;
    // Inputs in the order their channels name them first.
    std::vector<int> audioInputs;
    for (const ChannelPlan& channel : plan.channels) {
      if (audioStarts.count(channel.audioInput) != 0 &&
          std::find(audioInputs.begin(), audioInputs.end(), channel.audioInput) == audioInputs.end())
        audioInputs.push_back(channel.audioInput);
    }
    for (int input : audioInputs) {
      ImaEncoderState state;
      int64_t sampleIndex = 0;
      bool clicked = false;
      const int64_t start = int64_t(audioStarts[input]) * kMicros;
      for (int64_t j = 0; start + j * recordMicros < int64_t(plan.seconds) * kMicros; ++j) {
        Event event;
        event.micros = recorded(start + j * recordMicros);
        event.order = kChannelCount + input;
        const bool click = !clicked && marked(event.micros);
        clicked = clicked || click;
        Record& r = event.record;
        r.type = Record::Type::Audio;
        r.channel = input;
        r.source = uint8_t(input);
        r.flagNibble = 8;
        if (plan.randomAudio) {
          r.data.resize(samples / 2);
          for (auto& b : r.data) b = prng.byte();
        } else {
          r.data = toneCodes(input, samples, sampleIndex, state, click);
        }
        events.push_back(std::move(event));
      }
    }
  }

  if (plan.auxEverySeconds > 0) {
    const int auxChannel = plan.channels.empty() ? 0 : plan.channels.front().channel & 0x0F;
    for (int k = 0, t = 0; t < plan.seconds; ++k, t += plan.auxEverySeconds) {
      Event event;
      event.micros = recorded(int64_t(t) * kMicros);
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
