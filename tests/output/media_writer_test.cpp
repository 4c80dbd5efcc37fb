// MediaWriter: files read back with libavformat/libavcodec and a raw header walk; pass-through, audio,
// re-encode, failures.
#include "output/media_writer.h"

#include <gtest/gtest.h>
#include <xvid.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "convert/conversion_context.h"
#include "decode/frame_geometry.h"
#include "decode/video_decoder.h"
#include "decode/xvid_library.h"
#include "output/container.h"
#include "support/avi_probe.h"
#include "support/picture_compare.h"
#include "support/scratch_dir.h"
#include "tools/generator/recording_generator.h"
#include "transcode/compress_options.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

std::string tmpPath(const std::string& name) {
  const fs::path dir = test::currentTestDir(QMV2AVI_TEST_TMP, "avi_writer");
  fs::create_directories(dir);
  const fs::path p = dir / name;
  fs::remove(p);
  return p.string();
}

// A 352 x 288, 30 fps re-encoding writer's parameters.
MediaWriterParams reencodeParams(const std::string& path, const char* encoder) {
  MediaWriterParams p;
  p.fileName = path;
  p.width = 352;
  p.height = 288;
  p.rate = rateFromByte(120);
  p.compress = true;
  p.options.encoder = encoder;
  return p;
}

std::vector<uint8_t> volHeader(uint8_t formatCode) {
  const StreamHeader h = makeStreamHeader(findDecoderSize(formatCode)->sizeWord);
  return {h.begin(), h.begin() + kVolPartSize};
}

bool realXvidAvailable() { return DynamicXvidLibrary().load().ok; }

// A video record as the worker hands it to the decoder: stream words then zero padding.
struct OwnedFrame {
  std::vector<uint8_t> payload;
  FrameHeader header;
};
OwnedFrame makeFrame(uint8_t formatCode, const std::vector<uint8_t>& stream) {
  OwnedFrame f;
  const std::size_t words = (stream.size() + 3) / 4;
  f.payload.assign(words * 4 + kPayloadPadding, 0);
  std::copy(stream.begin(), stream.end(), f.payload.begin());
  f.header.frameType = 0x10;
  f.header.wordCount = uint16_t(words);
  f.header.formatCode = formatCode;
  f.header.payload = f.payload.data();
  return f;
}

constexpr uint32_t kVids = makeFourcc('v', 'i', 'd', 's');
constexpr uint32_t kAuds = makeFourcc('a', 'u', 'd', 's');

// What one video sample position should hold; data empty for an empty sample.
struct Sample {
  std::vector<uint8_t> data;
  bool key = false;
};

// Checks every position of video stream 0: libavformat returns each non-empty one at its position with its
// bytes and key flag, in every container; an AVI's index also lists each chunk, the empty ones included,
// with its size and key flag (read with the tests' own RIFF walker).
void expectVideoSamples(const std::string& path, const std::vector<Sample>& samples,
                        FrameRate rate = rateFromByte(120)) {
  const ContainerTraits& traits = traitsOf(containerOfName(path));
  if (traits.container == Container::kAvi) {
    auto raw = test::readAviHeaders(path);
    ASSERT_TRUE(raw);
    const auto index = raw->indexOf(0);
    ASSERT_EQ(index.size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      EXPECT_EQ(index[i].size, samples[i].data.size()) << "index entry " << i;
      EXPECT_EQ(index[i].key, samples[i].key) << "index entry " << i;
    }
  }
  auto probed = test::probeMedia(path);
  ASSERT_TRUE(probed);
  const AVRational timeBase = probed->streams.at(0).timeBase;
  const auto packets = probed->packetsOf(0);
  std::size_t next = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].data.empty()) continue;
    ASSERT_LT(next, packets.size()) << "no packet for position " << i;
    const test::ProbedPacket& pk = packets[next++];
    // A sample's time in its container's time base, back to a position at the stream's rate.
    const int64_t position = av_rescale_q(pk.pts, timeBase, AVRational{int(rate.den), int(rate.num)});
    EXPECT_EQ(position, int64_t(i)) << traits.title << " pts " << pk.pts;
    EXPECT_EQ(pk.size, int(samples[i].data.size())) << "position " << i;
    EXPECT_EQ(pk.key, samples[i].key) << "position " << i;
    EXPECT_EQ(pk.crc, test::crc32Of(samples[i].data.data(), samples[i].data.size())) << "position " << i;
  }
  EXPECT_EQ(next, packets.size());
}

// The writer's tests that hold for every container run once for each.
class EveryContainer : public ::testing::TestWithParam<ContainerTraits> {
 protected:
  std::string path(const std::string& stem) const { return tmpPath(stem + GetParam().extension); }
};
std::string containerName(const ::testing::TestParamInfo<ContainerTraits>& info) { return info.param.title; }

// ---- pass-through stream header --------------------------------------------------------------

struct HeaderCase {
  const char* name;
  PassThroughFourcc code;
  uint8_t rateByte;
  int width, height;
  uint32_t fourcc;
  uint32_t rate, scale;  // frames per second = rate / scale
};

class PassThroughHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(PassThroughHeader, StreamFormatAndRateAsWritten) {
  const HeaderCase& c = GetParam();
  const std::string path = tmpPath(std::string("header_") + c.name + ".avi");
  const std::vector<uint8_t> extra = volHeader(2);
  {
    MediaWriter w;
    MediaWriterParams p;
    p.fileName = path;
    p.width = c.width;
    p.height = c.height;
    p.rate = rateFromByte(c.rateByte);
    p.fourcc = fourccOf(c.code);
    p.videoExtraData = extra;
    ASSERT_TRUE(w.open(p)) << path;
    EXPECT_TRUE(w.isOpen());
    EXPECT_FALSE(w.hasAudio());
    const uint8_t sample[] = {1, 2, 3, 4, 5};
    w.writeRawVideo(sample, sizeof sample, true);
    ASSERT_TRUE(w.finish());
    EXPECT_FALSE(w.isOpen());
    EXPECT_EQ(w.bytesWritten(), fs::file_size(path));
  }

  auto probed = test::probeMedia(path);
  ASSERT_TRUE(probed);
  ASSERT_EQ(probed->streams.size(), 1u);  // no audio asked for
  const test::ProbedStream& v = probed->streams[0];
  EXPECT_EQ(v.type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(v.codec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(fourccToString(v.codecTag), fourccToString(c.fourcc));
  EXPECT_EQ(v.width, c.width);
  EXPECT_EQ(v.height, c.height);
  EXPECT_EQ(v.extradata, extra);
  EXPECT_EQ(av_cmp_q(v.frameRate, AVRational{int(c.rate), int(c.scale)}), 0)
      << v.frameRate.num << "/" << v.frameRate.den;
  EXPECT_EQ(av_cmp_q(v.timeBase, AVRational{int(c.scale), int(c.rate)}), 0);

  auto raw = test::readAviHeaders(path);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->riffType, makeFourcc('A', 'V', 'I', ' '));
  EXPECT_TRUE(raw->hasIdx1);
  ASSERT_EQ(raw->streams.size(), 1u);
  const test::RawStreamHeader& h = raw->streams[0];
  EXPECT_EQ(h.fccType, kVids);
  EXPECT_EQ(fourccToString(h.fccHandler), fourccToString(c.fourcc));
  EXPECT_EQ(h.rate, c.rate);
  EXPECT_EQ(h.scale, c.scale);
  EXPECT_EQ(h.biWidth, c.width);
  EXPECT_EQ(h.biHeight, c.height);  // positive: bottom-up as the format declares it
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(fourccToString(h.biCompression), fourccToString(c.fourcc));
  EXPECT_EQ(h.biSizeImage, uint32_t(c.width * c.height * 3));
  EXPECT_EQ(h.formatExtra, extra);
}

INSTANTIATE_TEST_SUITE_P(Cases, PassThroughHeader,
                         ::testing::Values(HeaderCase{"xvid_120", PassThroughFourcc::kXvid, 120, 352, 288,
                                                      makeFourcc('X', 'V', 'I', 'D'), 30, 1},
                                           HeaderCase{"divx_30", PassThroughFourcc::kDivx, 30, 704, 576,
                                                      makeFourcc('D', 'I', 'V', 'X'), 15, 2},
                                           HeaderCase{"xvid_25", PassThroughFourcc::kXvid, 25, 352, 240,
                                                      makeFourcc('X', 'V', 'I', 'D'), 25, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RateFromByte, IsTheExactQuarterRateReduced) {
  const std::pair<uint8_t, FrameRate> cases[] = {{120, {30, 1}}, {30, {15, 2}},   {100, {25, 1}}, {1, {1, 4}},
                                                 {2, {1, 2}},    {255, {255, 4}}, {0, {0, 1}}};
  for (const auto& [byte, rate] : cases) EXPECT_EQ(rateFromByte(byte), rate) << int(byte);
}

// ---- pass-through samples ----------------------------------------------------------------------

TEST_P(EveryContainer, PassThroughKeepsEverySamplesPositionSizeAndKeyFlag) {
  const auto size = gen::codedSizeForFormat(2);
  ASSERT_TRUE(size);
  gen::TestVideoEncoder source(size->first, size->second, 4);
  ASSERT_TRUE(source.ok());
  const std::string path = this->path("passthrough_samples");

  std::vector<Sample> samples{{}};  // position 0: empty
  {
    MediaWriter w;
    const StreamHeader header = makeStreamHeader(findDecoderSize(2)->sizeWord);
    // The stream header goes in before open: it only uses position 0.
    w.writeRawVideo(header.data(), header.size(), true);
    EXPECT_EQ(w.videoPosition(), 1);
    MediaWriterParams p;
    p.fileName = path;
    p.container = GetParam().container;
    p.width = size->first;
    p.height = size->second;
    p.rate = rateFromByte(120);
    p.videoExtraData = volHeader(2);
    ASSERT_TRUE(w.open(p));
    for (int i = 0; i < 10; ++i) {
      if (i == 6) {  // an empty record still takes its place
        w.writeRawVideo(nullptr, 0, false);
        samples.push_back({});
        continue;
      }
      gen::TestVideoEncoder::Frame f = source.next();
      w.writeRawVideo(f.vop.data(), f.vop.size(), f.key);
      samples.push_back({f.vop, f.key});
    }
    EXPECT_EQ(w.videoPosition(), 11);
    EXPECT_EQ(w.framesWritten(), 10u);
    EXPECT_EQ(w.keyFramesWritten(),
              uint64_t(std::count_if(samples.begin(), samples.end(), [](const Sample& x) { return x.key; })));
    ASSERT_TRUE(w.finish());
    EXPECT_TRUE(w.finish());  // idempotent
  }
  expectVideoSamples(path, samples);
  // Playable: libavcodec decodes every frame with the extradata as its VOL.
  int errors = -1;
  EXPECT_EQ(test::decodeAllFrames(path, 0, &errors), 9);
  EXPECT_EQ(errors, 0);
}

TEST_P(EveryContainer, WritesBeforeOpenLeaveEmptySamplesAhead) {
  for (int before : {0, 1, 3}) {
    SCOPED_TRACE(::testing::Message() << before << " writes before open");
    const std::string path = this->path("before_open_" + std::to_string(before));
    const std::vector<uint8_t> frame{0, 0, 1, 0xB6, 7};
    {
      MediaWriter w;
      const uint8_t ignored[] = {9, 9};
      for (int i = 0; i < before; ++i) w.writeRawVideo(ignored, sizeof ignored, true);
      EXPECT_EQ(w.videoPosition(), before);
      MediaWriterParams p;
      p.fileName = path;
      p.container = GetParam().container;
      p.container = GetParam().container;
      p.width = 352;
      p.height = 288;
      p.rate = rateFromByte(120);
      ASSERT_TRUE(w.open(p));
      w.writeRawVideo(frame.data(), frame.size(), true);
      EXPECT_EQ(w.framesWritten(), 1u);
    }
    std::vector<Sample> samples(static_cast<std::size_t>(before));
    samples.push_back({frame, true});
    expectVideoSamples(path, samples);
  }
}

// ---- audio -------------------------------------------------------------------------------------

TEST(Audio, PcmStreamFollowsItsWritesInFileOrder) {
  const std::string path = tmpPath("audio.avi");
  std::vector<std::vector<uint8_t>> chunks;
  std::vector<int> order;  // stream of each non-empty write
  {
    MediaWriter w;
    MediaWriterParams p;
    p.fileName = path;
    p.width = 352;
    p.height = 240;
    p.rate = rateFromByte(30);
    p.withAudio = true;
    ASSERT_TRUE(w.open(p));
    EXPECT_TRUE(w.hasAudio());
    for (int i = 0; i < 6; ++i) {
      const uint8_t frame[] = {0, 0, 1, 0xB6, uint8_t(i)};
      w.writeRawVideo(frame, sizeof frame, true);
      order.push_back(0);
      std::vector<uint8_t> pcm(std::size_t(1600 + 16 * i));  // 800 + 8i samples
      for (std::size_t k = 0; k < pcm.size(); ++k) pcm[k] = uint8_t(k * 7 + i);
      w.writeAudio(pcm.data(), pcm.size());
      order.push_back(1);
      chunks.push_back(pcm);
      w.writeAudio(nullptr, 0);  // adds nothing
    }
    int64_t samples = 0;
    for (const auto& c : chunks) samples += int64_t(c.size() / 2);
    EXPECT_EQ(w.audioPosition(), samples);
  }

  auto probed = test::probeMedia(path);
  ASSERT_TRUE(probed);
  ASSERT_EQ(probed->streams.size(), 2u);
  const test::ProbedStream& a = probed->streams[1];
  EXPECT_EQ(a.type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(a.codec, AV_CODEC_ID_PCM_S16LE);
  EXPECT_EQ(a.sampleRate, 8000);
  EXPECT_EQ(a.channels, 1);
  EXPECT_EQ(a.blockAlign, 2);
  EXPECT_EQ(a.bitRate, 128000);

  const auto audioPackets = probed->packetsOf(1);
  ASSERT_EQ(audioPackets.size(), chunks.size());
  int64_t position = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(audioPackets[i].size, int(chunks[i].size())) << i;
    EXPECT_EQ(audioPackets[i].crc, test::crc32Of(chunks[i].data(), chunks[i].size())) << i;
    EXPECT_EQ(av_rescale_q(audioPackets[i].pts, a.timeBase, AVRational{1, 8000}), position) << i;
    position += int64_t(chunks[i].size() / 2);
  }
  std::vector<int> fileOrder;
  for (const auto& pk : probed->packets)
    if (pk.size > 0) fileOrder.push_back(pk.stream);
  EXPECT_EQ(fileOrder, order);

  auto raw = test::readAviHeaders(path);
  ASSERT_TRUE(raw);
  ASSERT_EQ(raw->streams.size(), 2u);
  const test::RawStreamHeader& h = raw->streams[1];
  EXPECT_EQ(h.fccType, kAuds);
  EXPECT_EQ(h.formatTag, 1);
  EXPECT_EQ(h.channels, 1);
  EXPECT_EQ(h.samplesPerSec, 8000u);
  EXPECT_EQ(h.avgBytesPerSec, 16000u);
  EXPECT_EQ(h.blockAlign, 2);
  EXPECT_EQ(h.bitsPerSample, 16);
  ASSERT_NE(h.scale, 0u);
  EXPECT_EQ(h.rate / h.scale * h.blockAlign, 16000u);  // bytes per second, whatever the muxer's units
}

// ---- failures ----------------------------------------------------------------------------------

struct OpenFailure {
  const char* name;
  std::string path;
  int width = 352;
  bool overwrite = true;
  CompressOptions options{};
  const char* messagePart;
  bool leavesFile = false;  // the path was there before and must be untouched
};

TEST(OpenFailure, ReportsTheFileAndReasonAndDestroysCleanly) {
  const std::string existing = tmpPath("exists.avi");
  { std::ofstream(existing) << "keep me"; }
  const std::string dir = tmpPath("a_directory.avi");
  fs::create_directories(dir);
  CompressOptions noSuchEncoder;
  noSuchEncoder.encoder = "no-such-encoder";
  CompressOptions wrongCode;
  wrongCode.encoder = "ffv1";
  wrongCode.fourcc = makeFourcc('H', '2', '6', '4');

  const OpenFailure cases[] = {
      {"missing folder", tmpPath("no/such/folder/x.avi"), 352, true, {}, "No such file or directory"},
      {"a directory", dir, 352, true, {}, "cannot create", true},
      {"exists", existing, 352, false, {}, "already exists", true},
      {"no geometry", tmpPath("zero.avi"), 0, true, {}, "picture size 0 x 288"},
      {"unknown encoder", tmpPath("enc.avi"), 352, true, noSuchEncoder, "no-such-encoder"},
      {"code for another codec", tmpPath("tag.avi"), 352, true, wrongCode, "'H264'"},
  };
  for (const OpenFailure& c : cases) {
    SCOPED_TRACE(c.name);
    {
      MediaWriter w;
      MediaWriterParams p;
      p.fileName = c.path;
      p.width = c.width;
      p.height = 288;
      p.rate = rateFromByte(120);
      p.withAudio = true;
      p.overwrite = c.overwrite;
      p.compress = !c.options.empty();
      p.options = c.options;
      Status st = w.open(p);
      ASSERT_FALSE(st);
      EXPECT_NE(st.error().message.find("'" + c.path + "'"), std::string::npos) << st.error().message;
      EXPECT_NE(st.error().message.find(c.messagePart), std::string::npos) << st.error().message;
      EXPECT_FALSE(w.isOpen());
      EXPECT_FALSE(w.hasAudio());
      // Writes to the missing streams still move the positions.
      const uint8_t bytes[] = {1, 2, 3, 4};
      w.writeRawVideo(bytes, sizeof bytes, true);
      w.writeAudio(bytes, sizeof bytes);
      EXPECT_EQ(w.videoPosition(), 1);
      EXPECT_EQ(w.audioPosition(), 2);
      EXPECT_EQ(w.framesWritten(), 0u);
      EXPECT_TRUE(w.finish());
    }
    if (c.leavesFile) {
      EXPECT_TRUE(fs::exists(c.path));
    } else {
      EXPECT_FALSE(fs::exists(c.path));  // nothing half-made is left behind
    }
  }
  std::ifstream in(existing);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
}

TEST_P(EveryContainer, AWriteErrorIsKeptLaterWritesAreSkippedAndFinishStillCloses) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  MediaWriter w;
  MediaWriterParams p;
  p.fileName = "/dev/full";
  p.container = GetParam().container;
  p.width = 352;
  p.height = 288;
  p.rate = rateFromByte(120);
  Status st = w.open(p);
  if (!st) {
    // The header itself may already hit the full device.
    EXPECT_NE(st.error().message.find("No space left"), std::string::npos) << st.error().message;
    return;
  }
  std::vector<uint8_t> frame(64 * 1024, 0x5A);
  int written = 0;  // MKV and MP4 gather a cluster or a fragment before the first write reaches the device
  for (; written < 1000 && !w.writeError(); ++written) w.writeRawVideo(frame.data(), frame.size(), true);
  ASSERT_TRUE(w.writeError().has_value());
  EXPECT_NE(w.writeError()->message.find("/dev/full"), std::string::npos) << w.writeError()->message;
  EXPECT_NE(w.writeError()->message.find("No space left"), std::string::npos) << w.writeError()->message;
  const uint64_t framesAtError = w.framesWritten();
  w.writeRawVideo(frame.data(), frame.size(), true);
  EXPECT_EQ(w.framesWritten(), framesAtError);
  EXPECT_EQ(w.videoPosition(), written + 1);
  Status done = w.finish();
  EXPECT_FALSE(done);
  EXPECT_FALSE(w.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Containers, EveryContainer, ::testing::ValuesIn(allContainers()), containerName);

// ---- re-encode ---------------------------------------------------------------------------------

struct EncodeCase {
  const char* encoder;
  uint32_t fourcc;  // expected in the file
  bool lossless;
  double minPsnr;  // lossy: against libavcodec's decode of the source frames
};

class ReEncode : public ::testing::TestWithParam<EncodeCase> {
 protected:
  void SetUp() override {
    if (!realXvidAvailable()) GTEST_SKIP() << DynamicXvidLibrary::kDefaultFileName << " cannot be loaded";
    if (!findEncoder(GetParam().encoder))
      GTEST_SKIP() << GetParam().encoder << " is not in this FFmpeg build";
  }
};

// Frames of format code 2 through the writer, with a pre-open header write, compared picture by picture
// with an independent VideoDecoder's output (the encoder's input).
TEST_P(ReEncode, PicturesSurviveAtTheirPositions) {
  const EncodeCase& c = GetParam();
  constexpr uint8_t kCode = 2;
  const auto size = gen::codedSizeForFormat(kCode);
  ASSERT_TRUE(size);
  const auto [width, height] = *size;
  gen::TestVideoEncoder source(width, height, 5, 3);
  ASSERT_TRUE(source.ok());
  const std::string path = tmpPath(std::string("reencode_") + c.encoder + ".avi");

  std::vector<uint8_t> referencePicture(std::size_t(width) * height * 3, 0);
  VideoDecoder reference;
  ASSERT_EQ(reference.create(width, height, referencePicture.data()), VideoDecoder::kOk);
  std::vector<std::vector<uint8_t>> expected;

  constexpr int kFrames = 8;
  {
    MediaWriter w;
    const StreamHeader header = makeStreamHeader(findDecoderSize(kCode)->sizeWord);
    w.writeRawVideo(header.data(), header.size(), true);
    MediaWriterParams p;
    p.fileName = path;
    p.width = width;
    p.height = height;
    p.rate = rateFromByte(30);
    p.compress = true;
    p.options.encoder = c.encoder;
    p.options.quality = 90;
    p.options.keyFrameInterval = 4;
    ASSERT_TRUE(w.open(p));
    for (int i = 0; i < kFrames; ++i) {
      const gen::TestVideoEncoder::Frame f = source.next();
      const OwnedFrame record = makeFrame(kCode, f.vop);
      ASSERT_EQ(reference.decodeFrame(record.header), VideoDecoder::kOk);
      expected.push_back(referencePicture);
      w.writeDecodedVideo(record.header);
    }
    EXPECT_EQ(w.videoPosition(), kFrames + 1);
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(w.framesWritten(), uint64_t(kFrames));  // delayed packets included
    EXPECT_GE(w.keyFramesWritten(), 2u);
  }

  auto probed = test::probeMedia(path);
  ASSERT_TRUE(probed);
  ASSERT_EQ(probed->streams.size(), 1u);
  EXPECT_EQ(fourccToString(probed->streams[0].codecTag), fourccToString(c.fourcc));
  EXPECT_EQ(probed->streams[0].width, width);
  EXPECT_EQ(probed->streams[0].height, height);
  // Sizes and key flags are the encoder's: only their presence at each position is checked.
  auto raw = test::readAviHeaders(path);
  ASSERT_TRUE(raw);
  const auto index = raw->indexOf(0);
  ASSERT_EQ(index.size(), std::size_t(kFrames + 1));
  EXPECT_EQ(index[0].size, 0u);
  EXPECT_TRUE(index[1].key);
  const auto packets = probed->packetsOf(0);
  ASSERT_EQ(packets.size(), std::size_t(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_EQ(packets[std::size_t(i)].pts, i + 1);
    EXPECT_EQ(uint32_t(packets[std::size_t(i)].size), index[std::size_t(i) + 1].size);
  }

  std::vector<std::vector<uint8_t>> pictures;
  int errors = -1;
  ASSERT_EQ(test::decodeAllFrames(path, 0, &errors, &pictures), kFrames);
  EXPECT_EQ(errors, 0);
  double minPsnr = 100;
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE(::testing::Message() << "frame " << i);
    ASSERT_EQ(pictures[std::size_t(i)].size(), expected[std::size_t(i)].size());
    const double psnr =
        test::psnrBgr(pictures[std::size_t(i)].data(), expected[std::size_t(i)].data(), width, height);
    if (c.lossless) {
      EXPECT_TRUE(pictures[std::size_t(i)] == expected[std::size_t(i)]) << psnr << " dB";
    } else {
      minPsnr = std::min(minPsnr, psnr);
      EXPECT_GE(psnr, c.minPsnr);
      // A picture from another position or upside down would score far lower.
      const auto flipped = test::flipRowsBgr(expected[std::size_t(i)].data(), width, height);
      EXPECT_LT(test::psnrBgr(pictures[std::size_t(i)].data(), flipped.data(), width, height), c.minPsnr);
    }
  }
  if (!c.lossless) std::cout << c.encoder << ": lowest PSNR " << minPsnr << " dB\n";
}

INSTANTIATE_TEST_SUITE_P(Encoders, ReEncode,
                         ::testing::Values(EncodeCase{"ffv1", makeFourcc('F', 'F', 'V', '1'), true, 0},
                                           EncodeCase{"huffyuv", makeFourcc('H', 'F', 'Y', 'U'), true, 0},
                                           EncodeCase{"rawvideo", 0, true, 0},
                                           EncodeCase{"libx264", makeFourcc('H', '2', '6', '4'), false, 30},
                                           EncodeCase{"mpeg4", makeFourcc('X', 'V', 'I', 'D'), false, 30},
                                           EncodeCase{"libxvid", makeFourcc('X', 'V', 'I', 'D'), false, 30},
                                           EncodeCase{"mjpeg", makeFourcc('M', 'J', 'P', 'G'), false, 30}),
                         [](const auto& info) { return std::string(info.param.encoder); });

TEST(ReEncodeFormat, UncompressedIsTopDownRgb24) {
  const std::string path = tmpPath("reencode_format.avi");
  {
    MediaWriter w;
    MediaWriterParams p = reencodeParams(path, "rawvideo");
    ASSERT_TRUE(w.open(p));
  }
  auto raw = test::readAviHeaders(path);
  ASSERT_TRUE(raw);
  ASSERT_EQ(raw->streams.size(), 1u);
  const test::RawStreamHeader& h = raw->streams[0];
  EXPECT_EQ(h.fccType, kVids);
  EXPECT_EQ(h.rate, 30u);
  EXPECT_EQ(h.scale, 1u);
  EXPECT_EQ(h.biWidth, 352);
  EXPECT_EQ(h.biHeight, -288);
  EXPECT_EQ(h.biBitCount, 24);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 352u * 288u * 3u);
}

// Frames 1, 2 and 4 decode, frame 3 does not (a format code without a decoder size): they land at
// positions 0, 1 and 3, and position 2 is an empty sample.
TEST(ReEncodeFailure, AFrameThatDoesNotDecodeKeepsItsPosition) {
  if (!realXvidAvailable()) GTEST_SKIP() << DynamicXvidLibrary::kDefaultFileName << " cannot be loaded";
  gen::TestVideoEncoder source(352, 288, 1, 5);  // every frame a key frame, so frame 4 stands alone
  ASSERT_TRUE(source.ok());
  const std::string path = tmpPath("reencode_failure.avi");
  {
    MediaWriter w;
    MediaWriterParams p = reencodeParams(path, "ffv1");
    ASSERT_TRUE(w.open(p));
    for (int i = 0; i < 4; ++i) {
      const OwnedFrame record = makeFrame(i == 2 ? 0x7F : 2, source.next().vop);
      w.writeDecodedVideo(record.header);
    }
    EXPECT_EQ(w.videoPosition(), 4);
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(w.framesWritten(), 3u);
  }
  auto raw = test::readAviHeaders(path);
  ASSERT_TRUE(raw);
  const auto index = raw->indexOf(0);
  ASSERT_EQ(index.size(), 4u);
  const bool hasData[] = {true, true, false, true};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(index[i].size > 0, hasData[i]) << i;
  auto probed = test::probeMedia(path);
  ASSERT_TRUE(probed);
  const auto packets = probed->packetsOf(0);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0].pts, 0);
  EXPECT_EQ(packets[1].pts, 1);
  EXPECT_EQ(packets[2].pts, 3);
}

TEST(ReEncodeFailure, WithoutTheDecoderLibraryTheFileHasNoFramesButOpens) {
  const std::string path = tmpPath("reencode_nolib.avi");
  {
    MediaWriter w;
    MediaWriterParams p = reencodeParams(path, "ffv1");
    p.xvidLibrary = std::make_shared<DynamicXvidLibrary>("libqmv2avi-no-such-library.so.0");
    ASSERT_TRUE(w.open(p));
    const std::vector<uint8_t> vop(100, 0);
    const OwnedFrame record = makeFrame(2, vop);
    for (int i = 0; i < 3; ++i) w.writeDecodedVideo(record.header);
    EXPECT_EQ(w.videoPosition(), 3);
    EXPECT_TRUE(w.finish());
    EXPECT_EQ(w.framesWritten(), 0u);
  }
  auto probed = test::probeMedia(path);
  ASSERT_TRUE(probed);
  ASSERT_EQ(probed->streams.size(), 1u);
  EXPECT_EQ(probed->streams[0].codec, AV_CODEC_ID_FFV1);
  EXPECT_TRUE(probed->packets.empty());
}

// Stands in for the decoder library: every decode succeeds (the picture stays black). Counts instances,
// and notes whether the file was already complete when its instance was destroyed.
class CountingXvid : public XvidLibrary {
 public:
  explicit CountingXvid(std::string path) : path_(std::move(path)) {}
  XvidLoadResult load() override { return {true, false, {}}; }
  int global(void*, int, void*, void*) override { return 0; }
  int decore(void* handle, int operation, void* param1, void*) override {
    switch (operation) {
      case XVID_DEC_CREATE:
        ++created;
        static_cast<xvid_dec_create_t*>(param1)->handle = &instance_;
        return 0;
      case XVID_DEC_DESTROY: {
        ++destroyed;
        EXPECT_EQ(handle, &instance_);
        auto raw = test::readAviHeaders(path_);
        fileCompleteAtDestroy = raw && raw->hasIdx1;
        return 0;
      }
      default:
        ++decodes;
        return 0;
    }
  }
  int created = 0, destroyed = 0, decodes = 0;
  bool fileCompleteAtDestroy = false;

 private:
  std::string path_;
  int instance_ = 0;
};

TEST(ReEncodeLifecycle, DecoderIsReleasedOnceAfterTheFileIsComplete) {
  const std::string path = tmpPath("reencode_lifecycle.avi");
  auto fake = std::make_shared<CountingXvid>(path);
  {
    MediaWriter w;
    MediaWriterParams p = reencodeParams(path, "huffyuv");
    p.xvidLibrary = fake;
    ASSERT_TRUE(w.open(p));
    EXPECT_EQ(fake->created, 1);
    const OwnedFrame record = makeFrame(2, std::vector<uint8_t>(64, 0));
    for (int i = 0; i < 3; ++i) w.writeDecodedVideo(record.header);
    EXPECT_EQ(fake->destroyed, 0);
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(w.framesWritten(), 3u);  // frames the encoder held back included
    EXPECT_EQ(fake->destroyed, 1);
  }
  EXPECT_EQ(fake->created, 1);
  EXPECT_EQ(fake->destroyed, 1);
  EXPECT_TRUE(fake->fileCompleteAtDestroy);
  EXPECT_GE(fake->decodes, 3);
  std::vector<std::vector<uint8_t>> pictures;
  int errors = -1;
  ASSERT_EQ(test::decodeAllFrames(path, 0, &errors, &pictures), 3);
  for (const auto& picture : pictures)
    EXPECT_TRUE(std::all_of(picture.begin(), picture.end(), [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace qmv
