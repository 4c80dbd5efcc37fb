// AudioDistributor: storage forms, per-channel IMA state, shared multi-mode state, routing by audio source.
#include "convert/audio_distribution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

SystemInfo infoWith(uint8_t audioFormat, uint8_t modelCode, std::array<uint8_t, 16> sources) {
  SystemInfo info;
  info.audioFormat = audioFormat;
  info.modelCode = modelCode;
  info.audioSource = sources;
  return info;
}

std::array<uint8_t, 16> noSources() {
  std::array<uint8_t, 16> s;
  s.fill(0xFF);
  return s;
}

std::vector<uint8_t> randomCoded(std::size_t words, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> coded(words * 4);
  for (auto& b : coded) b = uint8_t(rng());
  return coded;
}

// Collects what each channel receives, in order.
struct Capture {
  std::map<int, std::vector<int16_t>> pcm;
  int calls = 0;
  AudioDistributor::Sink sink() {
    return [this](int channel, const int16_t* samples, std::size_t count) {
      ++calls;
      auto& out = pcm[channel];
      out.insert(out.end(), samples, samples + count);
    };
  }
};

// The decoders run directly on the coded bytes: what every receiving channel must get.
std::vector<int16_t> imaReference(const std::vector<uint8_t>& coded, ImaAdpcmState& state) {
  std::vector<int16_t> out(coded.size() * 2);
  imaAdpcmDecode(state, coded.data(), out.data(), int(out.size()));
  return out;
}

MultiAdpcmDecoder primedMulti() {
  MultiAdpcmDecoder multi;
  const uint8_t priming[8] = {0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E};
  int16_t scratch[16];
  multi.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
  multi.execute(MultiAdpcmDecoder::kDecode, 1, 0, priming, 8, scratch);
  return multi;
}

std::vector<int16_t> multiReference(MultiAdpcmDecoder& multi, const std::vector<uint8_t>& coded) {
  std::vector<int16_t> out(coded.size() * 2);
  multi.execute(MultiAdpcmDecoder::kDecode, 1, 0, coded.data(), uint32_t(coded.size()), out.data());
  return out;
}

void distribute(AudioDistributor& d, uint8_t source, const std::vector<uint8_t>& stored, uint32_t mask,
                Capture& c) {
  d.distribute(AudioRecord{source, uint32_t(stored.size() / 4), stored.data()}, mask, c.sink());
}

struct FormCase {
  uint8_t audioFormat;
  uint8_t modelCode;
};

class StorageFormTest : public ::testing::TestWithParam<FormCase> {};

// Every stored form, undone and decoded, gives exactly the decoders' output for the coded bytes,
// over several records so that decoder state must carry over.
TEST_P(StorageFormTest, DecodesLikeTheDecoderOnCodedBytes) {
  const FormCase form = GetParam();
  auto sources = noSources();
  sources[2] = 5;
  AudioDistributor d(infoWith(form.audioFormat, form.modelCode, sources));
  Capture capture;
  std::vector<int16_t> expected;
  ImaAdpcmState ima;
  imaAdpcmInit(ima, 80);
  MultiAdpcmDecoder multi = primedMulti();
  for (uint32_t r = 0; r < 3; ++r) {
    const auto coded = randomCoded(37 + r, r + 1);
    distribute(d, 5, gen::storeAudioPayload(coded, form.audioFormat, form.modelCode), 1u << 2, capture);
    const auto part = form.audioFormat == 3 ? imaReference(coded, ima) : multiReference(multi, coded);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(capture.pcm[2], expected);
  EXPECT_EQ(capture.pcm.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Forms, StorageFormTest,
                         ::testing::Values(FormCase{3, 7},    // IMA, words stored byte-reversed
                                           FormCase{3, 8},    // IMA, words stored as coded
                                           FormCase{3, 200},  // IMA, as coded
                                           FormCase{0, 7},    // multi-mode, halves exchanged
                                           FormCase{5, 9}));

// A tone coded by the generator's IMA encoder comes back as that tone: the word order and the
// decoder's starting state (index 80) are right, not merely self-consistent.
TEST(AudioDistributorTest, ImaToneSurvivesTheRoundTrip) {
  std::vector<int16_t> tone(1600);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = int16_t(8000 * std::sin(2 * M_PI * 440 * double(i) / 8000));
  gen::ImaEncoderState encoder;
  const auto coded = gen::imaAdpcmEncode(tone.data(), tone.size(), encoder);
  for (uint8_t model : {uint8_t(7), uint8_t(8)}) {
    auto sources = noSources();
    sources[0] = 0;
    AudioDistributor d(infoWith(3, model, sources));
    Capture capture;
    distribute(d, 0, gen::storeAudioPayload(coded, 3, model), 1u, capture);
    ASSERT_EQ(capture.pcm[0].size(), tone.size());
    double worst = 0;
    for (std::size_t i = 100; i < tone.size(); ++i)
      worst = std::max(worst, std::abs(double(capture.pcm[0][i]) - tone[i]));
    EXPECT_LT(worst, 800.0) << "model " << int(model);
  }
}

// IMA: each receiving channel decodes with its own state. A channel that joins later starts from
// the initial state, and the channel that was there all along continues its own.
TEST(AudioDistributorTest, ImaStatesArePerChannel) {
  auto sources = noSources();
  sources[1] = 4;
  sources[6] = 4;
  AudioDistributor d(infoWith(3, 8, sources));
  const auto first = randomCoded(20, 11), second = randomCoded(20, 12);
  Capture capture;
  distribute(d, 4, first, 1u << 1, capture);                 // CH-07 has no writer yet
  distribute(d, 4, second, (1u << 1) | (1u << 6), capture);  // now both

  ImaAdpcmState running, fresh;
  imaAdpcmInit(running, 80);
  imaAdpcmInit(fresh, 80);
  auto expected1 = imaReference(first, running);
  const auto cont = imaReference(second, running);
  expected1.insert(expected1.end(), cont.begin(), cont.end());
  EXPECT_EQ(capture.pcm[1], expected1);
  EXPECT_EQ(capture.pcm[6], imaReference(second, fresh));
  EXPECT_NE(capture.pcm[6], cont);  // the states really differ, so the check above means something
}

// Multi-mode: one decode per record, every receiver gets the same samples, and records nobody
// takes still advance the decoder.
TEST(AudioDistributorTest, MultiModeDecodesOncePerRecordForAllReceivers) {
  auto sources = noSources();
  sources[3] = 9;
  sources[4] = 9;
  AudioDistributor d(infoWith(1, 9, sources));
  const auto unheard = randomCoded(16, 21), heard = randomCoded(16, 22);
  Capture capture;
  distribute(d, 9, gen::storeAudioPayload(unheard, 1, 9), 0, capture);
  distribute(d, 9, gen::storeAudioPayload(heard, 1, 9), (1u << 3) | (1u << 4), capture);

  MultiAdpcmDecoder multi = primedMulti();
  multiReference(multi, unheard);
  const auto expected = multiReference(multi, heard);
  EXPECT_EQ(capture.pcm[3], expected);
  EXPECT_EQ(capture.pcm[4], expected);
  MultiAdpcmDecoder unprimed = primedMulti();
  EXPECT_NE(multiReference(unprimed, heard), expected);  // the skipped record did matter
}

// Which channels receive a record: equal source, a writer, and a source below 0x80.
TEST(AudioDistributorTest, RoutesOnlyToMatchingChannelsWithWriters) {
  struct Case {
    uint8_t audioSource;
    uint8_t recordSource;
    bool hasWriter;
    bool receives;
  };
  const Case cases[] = {
      {2, 2, true, true},        {2, 3, true, false}, {2, 2, false, false},
      {0xFF, 0xFF, true, false},  // 0xFF means none, even against a record from input 0xFF
      {0x85, 0x85, true, false},  // 0x80..0xFF never match
      {0x7F, 0x7F, true, true},
  };
  for (uint8_t audioFormat : {uint8_t(3), uint8_t(0)}) {
    for (const Case& c : cases) {
      auto sources = noSources();
      sources[9] = c.audioSource;
      AudioDistributor d(infoWith(audioFormat, 8, sources));
      Capture capture;
      distribute(d, c.recordSource, randomCoded(4, 3), c.hasWriter ? 0xFFFFu : 0u, capture);
      EXPECT_EQ(capture.pcm.count(9) == 1, c.receives)
          << "format " << int(audioFormat) << " source " << int(c.audioSource) << "/" << int(c.recordSource);
      if (c.receives) {
        EXPECT_EQ(capture.pcm[9].size(), 32u);
      }
    }
  }
}

// Records beyond one decoding pass lose nothing and decode as one stream; wordCount 0 writes nothing.
TEST(AudioDistributorTest, LargeAndEmptyRecords) {
  const uint32_t words = AudioDistributor::kChunkWords * 2 + 123;
  const auto coded = randomCoded(words, 5);
  for (uint8_t audioFormat : {uint8_t(3), uint8_t(0)}) {
    auto sources = noSources();
    sources[0] = 1;
    AudioDistributor d(infoWith(audioFormat, 8, sources));
    Capture capture;
    distribute(d, 1, {}, 1u, capture);
    EXPECT_EQ(capture.calls, 0);
    distribute(d, 1, gen::storeAudioPayload(coded, audioFormat, 8), 1u, capture);
    ImaAdpcmState ima;
    imaAdpcmInit(ima, 80);
    MultiAdpcmDecoder multi = primedMulti();
    const auto expected = audioFormat == 3 ? imaReference(coded, ima) : multiReference(multi, coded);
    ASSERT_EQ(capture.pcm[0].size(), std::size_t(words) * 8);
    EXPECT_EQ(capture.pcm[0], expected);
  }
}

// prepare() starts a new conversion: IMA states back to index 80, multi-mode decoder reset and primed.
TEST(AudioDistributorTest, PrepareStartsAfresh) {
  auto sources = noSources();
  sources[0] = 0;
  const auto coded = randomCoded(30, 8);
  for (uint8_t audioFormat : {uint8_t(3), uint8_t(0)}) {
    const SystemInfo info = infoWith(audioFormat, 8, sources);
    AudioDistributor d(info);
    Capture first, second;
    distribute(d, 0, coded, 1u, first);
    d.prepare(info);
    distribute(d, 0, coded, 1u, second);
    EXPECT_EQ(first.pcm[0], second.pcm[0]);
  }
}

}  // namespace
}  // namespace qmv
