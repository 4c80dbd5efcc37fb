// One AAC encoding shared by the outputs of an audio input: each output gets the packets an encoder of its
// own would give it, in a conversion too; an output whose samples depart from the others' gets an error.
#include "output/shared_aac.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/byte_source.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

extern "C" {
#include <libavutil/crc.h>
}

namespace qmv {
namespace {

// A tone with a little of everything; long enough for several AAC frames after the encoder's priming.
std::vector<int16_t> tone(std::size_t count, double hz) {
  std::vector<int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i)
    samples[i] = int16_t(9000 * std::sin(2 * M_PI * hz * double(i) / 8000) + int(i % 7) * 40);
  return samples;
}

struct PacketFacts {
  int64_t pts = 0;
  int64_t duration = 0;
  uint32_t crc = 0;
  bool operator==(const PacketFacts&) const = default;
};

AacEncoder::PacketSink collect(std::vector<PacketFacts>& into) {
  return [&into](AVPacket& pkt) {
    const uint32_t crc = av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0, pkt.data, std::size_t(pkt.size));
    into.push_back(PacketFacts{pkt.pts, pkt.duration, crc});
    av_packet_unref(&pkt);  // as the muxer does: it takes the packet it is given
  };
}

// Three members write the same samples record by record, taking turns as the worker's receivers do, each in
// parts of its own size, and the first to write a record changes: each gets exactly the packets of an
// encoder of its own.
TEST(SharedAacEncoderTest, EveryMemberGetsThePacketsOfItsOwnEncoder) {
  const std::vector<int16_t> samples = tone(20000, 440);
  std::vector<PacketFacts> alone;
  {
    auto own = AacEncoder::open(true);
    ASSERT_TRUE(own) << own.error().message;
    ASSERT_TRUE(own.value()->write(samples.data(), samples.size(), collect(alone)));
    ASSERT_TRUE(own.value()->flush(collect(alone)));
  }
  ASSERT_GT(alone.size(), 10u);

  AacEncoderPool pool;
  std::vector<std::unique_ptr<AacMembership>> members;
  for (int i = 0; i < 3; ++i) {
    auto joined = pool.join(0, true);
    ASSERT_TRUE(joined) << joined.error().message;
    members.push_back(std::move(joined.value()));
  }
  constexpr std::size_t kRecord = 3000;
  const std::size_t partSizes[3] = {kRecord, 700, 1024};
  std::vector<PacketFacts> got[3];
  for (std::size_t record = 0; record * kRecord < samples.size(); ++record) {
    const std::size_t end = std::min(samples.size(), (record + 1) * kRecord);
    for (std::size_t turn = 0; turn < 3; ++turn) {
      const std::size_t m = (record + turn) % 3;
      for (std::size_t done = record * kRecord; done < end;) {
        const std::size_t n = std::min(partSizes[m], end - done);
        const Status st = members[m]->write(samples.data() + done, n, collect(got[m]));
        ASSERT_TRUE(st) << st.error().message;
        done += n;
      }
    }
  }
  for (std::size_t m = 0; m < 3; ++m) {
    SCOPED_TRACE("member " + std::to_string(m));
    ASSERT_TRUE(members[m]->flush(collect(got[m])));
    EXPECT_EQ(got[m], alone);
  }
}

// A member whose samples are not the ones encoded, or that ends elsewhere, gets an error; the others go on.
TEST(SharedAacEncoderTest, MemberThatDepartsGetsAnError) {
  const std::vector<int16_t> samples = tone(12000, 300);
  const std::vector<int16_t> other = tone(12000, 301);
  struct Case {
    const char* name;
    std::size_t lateCount;  // what the departing member writes: other samples (or the same, cut short)
    bool sameSamples;
  };
  for (const Case& c :
       {Case{"other samples where the first wrote", 6000, false},
        Case{"other samples, on past the first", 12000, false}, Case{"ends short", 3000, true}}) {
    SCOPED_TRACE(c.name);
    AacEncoderPool pool;
    auto first = pool.join(3, true);
    auto second = pool.join(3, true);
    ASSERT_TRUE(first && second);
    std::vector<PacketFacts> a, b;
    ASSERT_TRUE(first.value()->write(samples.data(), 6000, collect(a)));
    const std::vector<int16_t>& late = c.sameSamples ? samples : other;
    const Status wrote = second.value()->write(late.data(), c.lateCount, collect(b));
    const Status ended = wrote ? second.value()->flush(collect(b)) : wrote;
    ASSERT_FALSE(ended);
    EXPECT_NE(ended.error().message.find("differ"), std::string::npos) << ended.error().message;
    // The first member is unaffected.
    ASSERT_TRUE(first.value()->write(samples.data() + 6000, 6000, collect(a)));
    ASSERT_TRUE(first.value()->flush(collect(a)));
    EXPECT_GT(a.size(), 5u);
  }
}

// A pool starts a new encoding for an output that joins after its input's audio began.
TEST(SharedAacEncoderTest, LateJoinerGetsAnEncodingOfItsOwn) {
  const std::vector<int16_t> samples = tone(9000, 500);
  AacEncoderPool pool;
  auto early = pool.join(1, true);
  ASSERT_TRUE(early);
  std::vector<PacketFacts> a, b, alone;
  ASSERT_TRUE(early.value()->write(samples.data(), 4000, collect(a)));
  auto late = pool.join(1, true);
  ASSERT_TRUE(late);
  ASSERT_TRUE(late.value()->write(samples.data() + 4000, 5000, collect(b)));
  ASSERT_TRUE(late.value()->flush(collect(b)));
  auto own = AacEncoder::open(true);
  ASSERT_TRUE(own);
  ASSERT_TRUE(own.value()->write(samples.data() + 4000, 5000, collect(alone)));
  ASSERT_TRUE(own.value()->flush(collect(alone)));
  EXPECT_EQ(b, alone);
}

// --- In a conversion --------------------------------------------------------------------------------

// CH-01, CH-02 and CH-03 take audio input 0, CH-03 from second 3 on, when the input's audio has begun;
// CH-04 takes input 1 alone.
gen::Scenario sharedInputScenario() {
  gen::BodyPlan plan;
  plan.seconds = 8;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 40, .audioInput = 0},
                   {.channel = 1, .formatCode = 18, .rateByte = 60, .audioInput = 0},
                   {.channel = 2, .formatCode = 2, .rateByte = 40, .audioInput = 0, .startSecond = 3},
                   {.channel = 3, .formatCode = 2, .rateByte = 40, .audioInput = 1}};
  plan.randomAudio = true;
  return gen::planScenario(plan);
}

class SharedAacConversionTest : public ::testing::TestWithParam<Timing> {};

// Each MP4 file of a conversion of all four channels is byte for byte the file of a conversion of its channel
// alone, which encodes its audio on its own.
TEST_P(SharedAacConversionTest, EachFileIsTheFileOfItsChannelAlone) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "shared-aac",
                                             GetParam() == Timing::kRecorded ? "recorded" : "declared");
  RecordingFile recording;
  const Status opened = recording.open(makeMemorySource(gen::buildRecording(sharedInputScenario()).bytes));
  ASSERT_TRUE(opened) << opened.error().message;
  const auto convert = [&](uint32_t channels, const std::string& sub) {
    std::filesystem::create_directories(dir + sub);
    ConversionContext context;
    context.settings.selectedChannels = channels;
    context.settings.container = Container::kMp4;
    context.settings.timing = GetParam();
    context.settings.destinationDir = dir + sub;
    context.settings.baseName = "cam";
    return runConversion(recording, context);
  };
  const ConversionReport together = convert(0xF, "together/");
  ASSERT_FALSE(together.outputError) << together.outputError->message;
  ASSERT_EQ(together.files.size(), 4u);
  for (const OutputFileReport& file : together.files) {
    SCOPED_TRACE(file.path);
    const ConversionReport alone = convert(1u << file.channel, "alone-" + std::to_string(file.channel) + "/");
    ASSERT_EQ(alone.files.size(), 1u);
    EXPECT_TRUE(file.hasAudio);
    EXPECT_GT(file.audioSamples, 8000u);
    EXPECT_EQ(test::slurp(file.path), test::slurp(alone.files[0].path));
  }
}

INSTANTIATE_TEST_SUITE_P(Timings, SharedAacConversionTest,
                         ::testing::Values(Timing::kDeclared, Timing::kRecorded), [](const auto& info) {
                           return std::string(info.param == Timing::kRecorded ? "recorded" : "declared");
                         });

}  // namespace
}  // namespace qmv
