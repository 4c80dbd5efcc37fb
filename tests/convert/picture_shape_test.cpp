// Half-height pictures at their true shape and burned-in captions, end to end: generated recordings
// converted, the AVI files read back with libavformat and libavcodec.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "convert/recorded_time.h"
#include "decode/frame_geometry.h"
#include "decode/vol_header.h"
#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/generated_records.h"
#include "support/picture_compare.h"
#include "support/reference_mpeg4_decoder.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"
#include "transcode/caption_burner.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace qmv {
namespace {

std::string scratchDir(const std::string& sub = "") {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "shape", sub);
}

// Each planned channel at 10 frames a second (rate byte 40).
gen::Scenario recordingOf(const std::vector<uint8_t>& codes, int seconds = 1) {
  gen::BodyPlan plan;
  for (std::size_t c = 0; c < codes.size(); ++c) plan.channels.push_back({int(c), codes[c], 40, -1, 5});
  plan.seconds = seconds;
  plan.reuseFrames = true;
  return gen::planScenario(plan);
}

ConversionReport convert(const gen::Scenario& scenario, ConversionSettings settings) {
  RecordingFile recording;
  Status opened = recording.open(makeMemorySource(gen::buildRecording(scenario).bytes, "generated"));
  EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
  ConversionContext context;
  context.settings = std::move(settings);
  ConversionReport report = runConversion(recording, context);
  EXPECT_FALSE(report.outputError) << report.outputError->message;
  return report;
}

ConversionSettings settingsFor(const std::string& dir, uint32_t channels) {
  ConversionSettings s;
  s.selectedChannels = channels;
  s.destinationDir = dir;
  s.baseName = "cam";
  return s;
}

ConversionSettings reencodeSettings(const std::string& dir, uint32_t channels, const std::string& encoder) {
  ConversionSettings s = settingsFor(dir, channels);
  s.videoMode = VideoMode::kReEncode;
  s.compressOptions.encoder = encoder;
  return s;
}

// The recorded stream bytes of a channel's video records, as pass-through stores them.
std::vector<std::vector<uint8_t>> recordedFrames(const gen::Scenario& scenario, int channel) {
  std::vector<std::vector<uint8_t>> frames;
  for (const gen::Block& block : scenario.blocks)
    for (const gen::Record& r : block.records)
      if (r.type == gen::Record::Type::Video && r.channel == channel)
        frames.push_back(test::paddedToWords(r.data));
  return frames;
}

// The picture shape as players see it: what ffprobe reports.
struct Shape {
  int width = 0, height = 0;
  AVRational container{0, 1};  // the stream's ratio: the AVI's 'vprp' chunk
  AVRational codec{0, 1};      // what the decoder found in the codec's own header
  AVRational display{0, 1};
};

struct InputClose {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

Shape readShape(const std::string& path) {
  Shape shape;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return shape;
  }
  std::unique_ptr<AVFormatContext, InputClose> input(raw);
  EXPECT_GE(avformat_find_stream_info(raw, nullptr), 0);
  const int v = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (v < 0) {
    ADD_FAILURE() << "no video stream in " << path;
    return shape;
  }
  AVStream* st = raw->streams[v];
  shape.width = st->codecpar->width;
  shape.height = st->codecpar->height;
  shape.container = st->sample_aspect_ratio;
  shape.codec = st->codecpar->sample_aspect_ratio;
  AVRational sar = av_guess_sample_aspect_ratio(raw, st, nullptr);
  if (sar.num <= 0) sar = AVRational{1, 1};
  av_reduce(&shape.display.num, &shape.display.den, int64_t(shape.width) * sar.num,
            int64_t(shape.height) * sar.den, INT_MAX);
  return shape;
}

std::string text(AVRational r) { return std::to_string(r.num) + ":" + std::to_string(r.den); }

// --- pass-through ---

struct PairCase {
  uint8_t halfCode;
  uint8_t fullCode;
  int width, height;  // coded
  AVRational display;
};
// clang-format off
const PairCase kPairs[] = {
    {1,  2,  352, 144, {11, 9}},
    {3,  4,  704, 288, {11, 9}},
    {9,  10, 320, 120, {4, 3}},
    {11, 12, 640, 240, {4, 3}},
    // 352 x 120 frames decode whole with code 17's stored 352 x 128 header too (one macroblock grid), so
    // the stored header stays and states 8 rows more than the pair's shape.
    {17, 18, 352, 128, {11, 8}},
    {19, 20, 704, 240, {22, 15}},
    {25, 26, 320, 120, {4, 3}},
    {27, 28, 640, 240, {4, 3}},
};
// clang-format on

// Each half-height code shows at its full-height pair's shape, with its recorded frames untouched; the
// Standardization setting changes nothing in pass-through.
TEST(PictureShape, PassThroughHalfHeightShowsAtItsPairsShape) {
  for (const PairCase& c : kPairs) {
    SCOPED_TRACE("code " + std::to_string(c.halfCode));
    const gen::Scenario scenario = recordingOf({c.halfCode, c.fullCode});
    for (bool standardize : {true, false}) {
      const std::string dir = scratchDir(std::to_string(c.halfCode) + "-" + std::to_string(standardize));
      ConversionSettings settings = settingsFor(dir, 0b11);
      settings.standardize = standardize;
      convert(scenario, settings);

      const Shape half = readShape(dir + "cam_00.avi");
      EXPECT_EQ(half.width, c.width);
      EXPECT_EQ(half.height, c.height);
      EXPECT_EQ(av_cmp_q(half.container, AVRational{1, 2}), 0) << "vprp " << text(half.container);
      EXPECT_EQ(av_cmp_q(half.codec, AVRational{1, 2}), 0) << "VOL " << text(half.codec);
      EXPECT_EQ(av_cmp_q(half.display, c.display), 0) << text(half.display);
      const Shape full = readShape(dir + "cam_01.avi");
      if (c.halfCode != 17)
        EXPECT_EQ(av_cmp_q(full.display, half.display), 0) << "pair " << text(full.display);

      const auto headers = test::readAviHeaders(dir + "cam_00.avi");
      ASSERT_TRUE(headers);
      EXPECT_EQ(headers->streams.at(0).biWidth, c.width) << "the BITMAPINFOHEADER names the coded size";
      EXPECT_EQ(std::abs(headers->streams.at(0).biHeight), c.height);

      const auto file = test::probeMedia(dir + "cam_00.avi", true);
      ASSERT_TRUE(file);
      const std::vector<std::vector<uint8_t>> recorded = recordedFrames(scenario, 0);
      const std::vector<test::ProbedPacket> packets = file->packetsOf(0);
      ASSERT_EQ(packets.size(), recorded.size());
      for (std::size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(packets[i].data, recorded[i]) << "frame " << i;
      int errors = -1;
      EXPECT_EQ(test::decodeAllFrames(dir + "cam_00.avi", 0, &errors), int(recorded.size()));
      EXPECT_EQ(errors, 0);
    }
  }
}

// --- re-encode ---

struct HalfStats {
  double mean = 0;    // brightness, all three colours
  double detail = 0;  // mean absolute difference of horizontal neighbours
};

HalfStats statsOf(const std::vector<uint8_t>& bgr, int width, int fromRow, int toRow) {
  HalfStats s;
  double sum = 0, diff = 0;
  for (int y = fromRow; y < toRow; ++y) {
    const uint8_t* row = bgr.data() + std::size_t(y) * std::size_t(width) * 3;
    for (int x = 0; x < width * 3; ++x) {
      sum += row[x];
      if (x >= 3) diff += std::abs(int(row[x]) - int(row[x - 3]));
    }
  }
  const double n = double(toRow - fromRow) * width * 3;
  s.mean = sum / n;
  s.detail = diff / n;
  return s;
}

// Lower half over upper half: the test pattern has bars in its top quarter, so the halves differ; scaling
// must keep their relation, and a black or empty lower half gives 0.
struct Balance {
  double mean = 0;
  double detail = 0;
};
Balance balanceOf(const std::vector<uint8_t>& bgr, int width, int height) {
  const HalfStats upper = statsOf(bgr, width, 0, height / 2);
  const HalfStats lower = statsOf(bgr, width, height / 2, height);
  return Balance{lower.mean / upper.mean, lower.detail / upper.detail};
}

std::vector<uint8_t> lineDoubled(const std::vector<uint8_t>& bgr, int width, int height) {
  const std::size_t rowBytes = std::size_t(width) * 3;
  std::vector<uint8_t> out(rowBytes * std::size_t(height) * 2);
  for (int y = 0; y < 2 * height; ++y)
    std::copy_n(bgr.begin() + std::ptrdiff_t(rowBytes) * (y / 2), rowBytes,
                out.begin() + std::ptrdiff_t(rowBytes) * y);
  return out;
}

// Measured on the generated pattern (bicubic, ffv1, codes 3 and 19): the balances agree within 0.004,
// and the pictures come within 41 dB of plain line doubling, whose steps the bicubic filter smooths. A
// lower half left black gives balances of 0 and 9 dB.
constexpr double kBalanceMargin = 0.02;
constexpr double kMinPsnrAgainstDoubling = 35.0;

TEST(PictureShape, ReencodeStandardizedFillsTheFrame) {
  for (const uint8_t code : {3, 19}) {
    SCOPED_TRACE("code " + std::to_string(code));
    const gen::Scenario scenario = recordingOf({code});
    const std::string dir = scratchDir(std::to_string(code));
    convert(scenario, reencodeSettings(dir, 1, "ffv1"));
    const FrameGeometry full = getFrameGeometry(code, true);
    const FrameGeometry coded = getFrameGeometry(code, false);
    const Shape shape = readShape(dir + "cam_00.avi");
    EXPECT_EQ(shape.width, full.width);
    EXPECT_EQ(shape.height, full.height);
    EXPECT_EQ(av_cmp_q(shape.display, AVRational{full.width, full.height}), 0) << text(shape.display);

    std::vector<std::vector<uint8_t>> pictures;
    int errors = -1;
    const std::vector<std::vector<uint8_t>> recorded = recordedFrames(scenario, 0);
    ASSERT_EQ(test::decodeAllFrames(dir + "cam_00.avi", 0, &errors, &pictures), int(recorded.size()));
    const std::vector<uint8_t> vol = makeVolHeader(coded.width, coded.height);
    test::ReferenceMpeg4Decoder reference(vol.data(), vol.size(), coded.width, coded.height);
    ASSERT_TRUE(reference.ok());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      SCOPED_TRACE("frame " + std::to_string(i));
      const std::vector<uint8_t> field = reference.decode(recorded[i]);
      ASSERT_FALSE(field.empty());
      const Balance want = balanceOf(field, coded.width, coded.height);
      const Balance got = balanceOf(pictures[i], full.width, full.height);
      EXPECT_NEAR(got.mean, want.mean, kBalanceMargin);
      EXPECT_NEAR(got.detail, want.detail, kBalanceMargin);
      const std::vector<uint8_t> doubled = lineDoubled(field, coded.width, coded.height);
      EXPECT_GT(test::psnrBgr(pictures[i].data(), doubled.data(), full.width, full.height),
                kMinPsnrAgainstDoubling);
    }
  }
}

TEST(PictureShape, ReencodeUnstandardizedKeepsTheCodedRowsWithTallPixels) {
  const gen::Scenario scenario = recordingOf({19});
  const std::string dir = scratchDir();
  ConversionSettings settings = reencodeSettings(dir, 1, "mpeg4");
  settings.standardize = false;
  convert(scenario, settings);
  const Shape shape = readShape(dir + "cam_00.avi");
  EXPECT_EQ(shape.width, 704);
  EXPECT_EQ(shape.height, 240);
  EXPECT_EQ(av_cmp_q(shape.container, AVRational{1, 2}), 0) << "vprp " << text(shape.container);
  EXPECT_EQ(av_cmp_q(shape.codec, AVRational{1, 2}), 0) << "VOL " << text(shape.codec);
  EXPECT_EQ(av_cmp_q(shape.display, AVRational{22, 15}), 0) << text(shape.display);
}

// --- burned-in captions ---

TEST(PictureShape, BurnInChangesTheCaptionCornerOnly) {
  const std::string dir = scratchDir();
  const gen::Scenario scenario = recordingOf({19}, 2);
  const std::vector<uint8_t> bytes = gen::buildRecording(scenario).bytes;
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeFile(input, bytes));
  for (const char* variant : {"plain", "burned"}) {
    const std::string args = "convert " + test::quote(input) + " --reencode ffv1 --no-timestamps -o " +
                             test::quote(dir + variant) +
                             (std::string(variant) == "burned" ? " --burn-in" : "");
    std::filesystem::create_directories(dir + variant);
    const test::CliResult r = test::runCli(args, dir);
    ASSERT_EQ(r.status, 0) << args << "\n" << r.err;
  }
  std::vector<std::vector<uint8_t>> plain, burned;
  int errors = -1;
  ASSERT_GT(test::decodeAllFrames(dir + "plain/cam_00.avi", 0, &errors, &plain), 0);
  ASSERT_EQ(test::decodeAllFrames(dir + "burned/cam_00.avi", 0, &errors, &burned), int(plain.size()));

  const int width = 704, height = 480;
  const std::string name = cameraCaptionName(scenario.header.systemName, 0);
  const CaptionLayout layout = captionLayout(width, height, std::max<std::size_t>(name.size(), 19));
  for (std::size_t i = 0; i < plain.size(); ++i) {
    int inside = 0, outside = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const std::size_t at = (std::size_t(y) * width + std::size_t(x)) * 3;
        const bool same =
            std::equal(plain[i].begin() + std::ptrdiff_t(at), plain[i].begin() + std::ptrdiff_t(at + 3),
                       burned[i].begin() + std::ptrdiff_t(at));
        if (same) continue;
        (x < layout.right && y < layout.bottom ? inside : outside) += 1;
      }
    EXPECT_GT(inside, layout.right * layout.bottom / 4) << "frame " << i;
    EXPECT_EQ(outside, 0) << "frame " << i;
  }

  // The caption is the recorded clock of each frame: ffv1 is lossless, so the burned picture is exactly
  // the plain one with that caption drawn on it.
  RecordingFile recording;
  ASSERT_TRUE(recording.open(makeMemorySource(bytes, "generated")));
  std::vector<std::string> times;
  for (const gen::Block& block : scenario.blocks)
    for (const gen::Record& r : block.records)
      if (r.type == gen::Record::Type::Video && r.channel == 0)
        times.push_back(recordedTimeText(recording.info(), block.baseTime + r.timeDelta));
  ASSERT_EQ(times.size(), plain.size());
  EXPECT_NE(times.front(), times.back()) << "two recorded seconds";
  auto burner = CaptionBurner::open(width, height, name);
  ASSERT_TRUE(burner);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    std::vector<uint8_t> expected = plain[i];
    ASSERT_TRUE(burner.value()->draw(expected.data(), times[i]));
    EXPECT_TRUE(expected == burned[i]) << "frame " << i << " captioned " << times[i];
  }
}

TEST(PictureShape, BurnInIsRefusedInPassThrough) {
  const std::string dir = scratchDir();
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeFile(input, gen::buildRecording(recordingOf({19})).bytes));
  const test::CliResult r = test::runCli("convert " + test::quote(input) + " --burn-in", dir);
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("--burn-in goes with --reencode"), std::string::npos) << r.err;
  EXPECT_TRUE(test::filesIn(dir, ".avi").empty());
}

}  // namespace
}  // namespace qmv
