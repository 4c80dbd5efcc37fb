// MKV and MP4 outputs read back with libavformat/libavcodec: codecs, the stream header, bit-exact frames at
// their times, audio, the recorded-time subtitle track (MKV), title, date and pixel shape; a cut-short MP4; and
// the command line's --format with report, verify, side files and re-encode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/avi_writer.h"
#include "convert/conversion_context.h"
#include "decode/frame_geometry.h"
#include "decode/vol_header.h"
#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/generated_records.h"
#include "support/scratch_dir.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

extern "C" {
#include <libavutil/rational.h>
}

namespace qmv {
namespace {

namespace fs = std::filesystem;

struct ContainerCase {
  const char* name;  // also the extension
  Container container;
  AVCodecID audio;
  AVCodecID subtitle;  // AV_CODEC_ID_NONE: no subtitle track
};

const ContainerCase kCases[] = {
    {"mkv", Container::kMkv, AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_SUBRIP},
    {"mp4", Container::kMp4, AV_CODEC_ID_AAC, AV_CODEC_ID_NONE},
};

std::string scratchDir(const std::string& name) {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "media-container", name);
}

// Seconds of a packet time.
double seconds(int64_t pts, AVRational timeBase) { return double(pts) * av_q2d(timeBase); }

// A packet's video position at frames per second rate.
int64_t positionOf(const test::ProbedPacket& p, AVRational timeBase, AVRational rate) {
  return std::llround(seconds(p.pts, timeBase) * av_q2d(rate));
}

int streamOf(const test::ProbedFile& file, AVMediaType type) {
  for (std::size_t i = 0; i < file.streams.size(); ++i)
    if (file.streams[i].type == type) return int(i);
  return -1;
}

// The cue text of a subtitle sample: 3GPP text has its 16-bit length first.
std::string cueText(const test::ProbedPacket& p, AVCodecID codec) {
  const std::size_t skip = codec == AV_CODEC_ID_MOV_TEXT ? 2 : 0;
  if (p.data.size() <= skip) return {};
  return std::string(p.data.begin() + std::ptrdiff_t(skip), p.data.end());
}

class ContainerOutput : public ::testing::TestWithParam<ContainerCase> {};

// Positions 0, 1 and 5 are skipped (frames before the first key frame, a frame left out); cues come late and
// out of order.
TEST_P(ContainerOutput, PassThroughFramesAudioCuesAndFileDetailsReadBack) {
  const ContainerCase& c = GetParam();
  const std::string path = scratchDir(std::string("pass_") + c.name) + "out." + c.name;
  const std::vector<uint8_t> vol = makeVolHeader(352, 144, PixelAspect{1, 2});
  const std::vector<std::vector<uint8_t>> frames = {
      test::randomBytes(400, 1), test::randomBytes(120, 2), test::randomBytes(90, 3), test::randomBytes(380, 4)};
  const std::vector<int64_t> positions = {2, 3, 4, 6};
  const std::vector<bool> keys = {true, false, false, true};
  std::vector<int16_t> pcm(8000);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(8000.0 * std::sin(double(i) * 0.25));
  {
    AviWriter w;
    AviOpenParams p;
    p.container = c.container;
    p.fileName = path;
    p.width = 352;
    p.height = 144;
    p.pixelAspect = PixelAspect{1, 2};
    p.rate = rateFromByte(30);  // 7.5 fps
    p.withAudio = true;
    p.videoExtraData = vol;
    p.title = "SYSTEMNAME CH-05";
    p.creationTime = "2007-06-15T13:10:00.000000Z";
    ASSERT_TRUE(w.open(p));
    w.skipVideo();
    w.skipVideo();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (positions[i] == 6) w.skipVideo();
      w.writeRawVideo(frames[i].data(), frames[i].size(), keys[i] ? kAviKeyFrame : 0);
    }
    for (std::size_t at = 0; at < pcm.size(); at += 400)
      w.writeAudio(reinterpret_cast<const uint8_t*>(pcm.data() + at), 400 * sizeof(int16_t), kAviKeyFrame);
    w.addCue(3, 7, "2007-06-15 13:10:01");
    w.addCue(0, 3, "2007-06-15 13:10:00");
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(w.framesWritten(), 4u);
    EXPECT_EQ(w.keyFramesWritten(), 2u);
    EXPECT_EQ(w.videoSamples(), 7);
    EXPECT_EQ(w.audioPosition(), 8000);
  }

  const auto file = test::probeAvi(path, true);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->metadata.count("title") ? file->metadata.at("title") : "", "SYSTEMNAME CH-05");
  ASSERT_TRUE(file->metadata.count("creation_time"));
  EXPECT_EQ(file->metadata.at("creation_time").substr(0, 19), "2007-06-15T13:10:00");

  const int v = streamOf(*file, AVMEDIA_TYPE_VIDEO), a = streamOf(*file, AVMEDIA_TYPE_AUDIO),
            s = streamOf(*file, AVMEDIA_TYPE_SUBTITLE);
  ASSERT_GE(v, 0);
  ASSERT_GE(a, 0);
  ASSERT_EQ(s >= 0, c.subtitle != AV_CODEC_ID_NONE);
  const test::ProbedStream& video = file->streams[std::size_t(v)];
  EXPECT_EQ(video.codec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(video.extradata, vol);
  EXPECT_EQ(av_cmp_q(video.sampleAspect, AVRational{1, 2}), 0)
      << video.sampleAspect.num << ":" << video.sampleAspect.den;

  // Every frame bit-exact, at its own time.
  const auto packets = file->packetsOf(v);
  ASSERT_EQ(packets.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(packets[i].data, frames[i]) << "frame " << i;
    EXPECT_EQ(packets[i].key, keys[i]) << "frame " << i;
    EXPECT_EQ(positionOf(packets[i], video.timeBase, AVRational{15, 2}), positions[i]) << "frame " << i;
  }

  const test::ProbedStream& audio = file->streams[std::size_t(a)];
  EXPECT_EQ(audio.codec, c.audio);
  EXPECT_EQ(audio.sampleRate, 8000);
  EXPECT_EQ(audio.channels, 1);
  const auto audioPackets = file->packetsOf(a);
  ASSERT_FALSE(audioPackets.empty());
  // Sample 0 plays at 0 s: PCM starts there; AAC's first packet holds the encoder's 1024 priming samples
  // before it, which the file's edit list places before 0.
  const double priming = c.audio == AV_CODEC_ID_AAC ? 1024.0 / 8000 : 0.0;
  EXPECT_NEAR(seconds(audioPackets.front().pts, audio.timeBase), -priming, 1e-9);
  if (c.audio == AV_CODEC_ID_PCM_S16LE) {
    std::vector<uint8_t> bytes;
    for (const auto& p : audioPackets) bytes.insert(bytes.end(), p.data.begin(), p.data.end());
    EXPECT_EQ(bytes.size(), pcm.size() * 2);
    EXPECT_EQ(std::memcmp(bytes.data(), pcm.data(), std::min(bytes.size(), pcm.size() * 2)), 0);
  }

  if (s < 0) return;
  EXPECT_EQ(file->streams[std::size_t(s)].codec, c.subtitle);
  std::vector<std::pair<double, std::string>> cues;
  for (const auto& p : file->packetsOf(s)) {
    const std::string text = cueText(p, c.subtitle);
    if (!text.empty()) cues.emplace_back(seconds(p.pts, file->streams[std::size_t(s)].timeBase), text);
  }
  ASSERT_EQ(cues.size(), 2u);
  EXPECT_EQ(cues[0].second, "2007-06-15 13:10:00");
  EXPECT_NEAR(cues[0].first, 0.0, 0.001);
  EXPECT_EQ(cues[1].second, "2007-06-15 13:10:01");
  EXPECT_NEAR(cues[1].first, 3 / 7.5, 0.001);
}

// MP4 is fragmented at key frames: cut anywhere, it still opens and gives every frame of the fragments
// before the cut, bit-exact at its time.
TEST(Mp4CutShort, PlaysUpToTheLastCompleteFragment) {
  const std::string dir = scratchDir("cut");
  const std::string path = dir + "cut.mp4";
  std::vector<std::vector<uint8_t>> frames;
  {
    AviWriter w;
    AviOpenParams p;
    p.container = Container::kMp4;
    p.fileName = path;
    p.width = 352;
    p.height = 288;
    p.rate = rateFromByte(40);  // 10 fps
    p.withAudio = true;
    p.videoExtraData = makeVolHeader(352, 288, PixelAspect{});
    ASSERT_TRUE(w.open(p));
    const std::vector<int16_t> tenth(800, 100);
    for (int i = 0; i < 100; ++i) {
      frames.push_back(test::randomBytes(2000 + std::size_t(i), uint32_t(i + 10)));
      w.writeRawVideo(frames.back().data(), frames.back().size(), i % 10 == 0 ? kAviKeyFrame : 0);
      w.writeAudio(reinterpret_cast<const uint8_t*>(tenth.data()), tenth.size() * 2, kAviKeyFrame);
    }
    ASSERT_TRUE(w.finish());
  }
  const uintmax_t size = fs::file_size(path);
  fs::resize_file(path, size * 6 / 10);
  const auto file = test::probeAvi(path, true);
  ASSERT_TRUE(file) << "a cut MP4 must still open";
  const int v = streamOf(*file, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(v, 0);
  const auto packets = file->packetsOf(v);
  EXPECT_GE(packets.size(), 40u);
  EXPECT_LT(packets.size(), 70u);
  // The fragment the cut went through (from the last key frame on) may give its frames cut short, their
  // present bytes intact; every frame before it is whole.
  const std::size_t lastFragment = (packets.size() - 1) / 10 * 10;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (i < lastFragment) {
      ASSERT_EQ(packets[i].data, frames[i]) << "frame " << i;
    } else {
      const std::size_t n = std::min(packets[i].data.size(), frames[i].size());
      EXPECT_TRUE(std::equal(frames[i].begin(), frames[i].begin() + std::ptrdiff_t(n), packets[i].data.begin()))
          << "frame " << i;
    }
    EXPECT_EQ(positionOf(packets[i], file->streams[0].timeBase, AVRational{10, 1}), int64_t(i));
  }
  EXPECT_FALSE(file->packetsOf(streamOf(*file, AVMEDIA_TYPE_AUDIO)).empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, ContainerOutput, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qmv
