// The mosaic: its grid and size, each camera in its own tile at the right recorded moment (the generator's
// bright second), black tiles for a camera with no picture yet and in a pause, a window that starts
// between key frames, and the command line's refusals.
#include "incident/mosaic.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "recording/recording_file.h"
#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qmv {
namespace {

constexpr int kStartTime = 600;  // 13:10:00
constexpr int kMark = 3;         // every frame of 13:10:03 is a flat bright picture
// The generator's bright picture reads about 235 in the middle of a tile; its moving pattern well under
// 200 on average; black (with the name's box in a corner, outside the measured area) under 20.
constexpr double kBright = 200;
constexpr double kBlack = 20;

// CH-01 (352x288, 10 fps, a key frame every 2.5 s), CH-03 (352x240, 5 fps, every 1 s) and CH-05 (352x288,
// 10 fps, from 13:10:05 on). Nothing at all is recorded 13:10:06 to 13:10:08; 11 s in all.
gen::Scenario mosaicScenario() {
  gen::BodyPlan plan;
  plan.seconds = 8;
  plan.startTime = kStartTime;
  plan.header.hour = 13;
  plan.markSecond = kMark;
  plan.gapAt = 6;
  plan.gapSeconds = 3;
  plan.channels = {
      {.channel = 0, .formatCode = 2, .rateByte = 40, .keyInterval = 25},
      {.channel = 2, .formatCode = 18, .rateByte = 20, .keyInterval = 5},
      {.channel = 4, .formatCode = 2, .rateByte = 40, .keyInterval = 10, .startSecond = 5},
  };
  return gen::planScenario(plan);
}

struct Written {
  MosaicResult result;
  std::vector<std::vector<uint8_t>> pictures;  // decoded back with libavcodec, BGR24
};

class MosaicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::freshTestDir(QMV2AVI_TEST_TMP, "mosaic");
    use(mosaicScenario());
  }

  void use(const gen::Scenario& scenario) {
    path_ = dir_ + "rec.qmv";
    ASSERT_TRUE(gen::writeRecordingFile(scenario, path_));
    recording_ = RecordingFile();
    ASSERT_TRUE(recording_.open(path_));
  }

  Written write(uint16_t from, uint16_t to) {
    MosaicRequest request;
    request.channels = 0xFFFF;
    request.from = from;
    request.to = to;
    request.outputPath = dir_ + "mosaic.mp4";
    request.overwrite = true;
    Written w;
    Result<MosaicResult> r = writeMosaic(recording_, request);
    EXPECT_TRUE(r) << (r ? "" : r.error().message);
    if (!r) return w;
    w.result = r.value();
    int errors = 0;
    EXPECT_EQ(test::decodeAllFrames(request.outputPath, 0, &errors, &w.pictures), w.result.frames);
    EXPECT_EQ(errors, 0);
    return w;
  }

  std::string dir_;
  std::string path_;
  RecordingFile recording_;
};

// The mean luma of tile `tile` in picture p, over its middle (clear of the name at the top left).
double tileLuma(const Written& w, std::size_t p, int tile) {
  const MosaicLayout& layout = w.result.layout;
  const int x0 = (tile % layout.columns) * kMosaicTileWidth;
  const int y0 = (tile / layout.columns) * kMosaicTileHeight;
  const std::vector<uint8_t>& bgr = w.pictures.at(p);
  double sum = 0;
  int n = 0;
  for (int y = y0 + 80; y < y0 + kMosaicTileHeight - 40; y += 2) {
    for (int x = x0 + 40; x < x0 + kMosaicTileWidth - 40; x += 2) {
      const uint8_t* px = bgr.data() + (std::size_t(y) * std::size_t(layout.width) + std::size_t(x)) * 3;
      sum += 0.114 * px[0] + 0.587 * px[1] + 0.299 * px[2];
      ++n;
    }
  }
  return sum / n;
}

// Pictures [first, last] in which the tile is bright.
std::pair<int, int> brightSpan(const Written& w, int tile) {
  int first = -1, last = -1;
  for (std::size_t p = 0; p < w.pictures.size(); ++p) {
    if (tileLuma(w, p, tile) < kBright) continue;
    if (first < 0) first = int(p);
    last = int(p);
  }
  return {first, last};
}

TEST_F(MosaicTest, EachCameraInItsTileAtItsRecordedMoment) {
  const Written w = write(recording_.firstTime(), recording_.lastTime());
  // Three cameras: a 2 x 2 grid of CIF tiles with the strip under it, at the fastest camera's 10 fps, one
  // picture per tenth of the 11 recorded seconds.
  EXPECT_EQ(w.result.tileChannels, (std::vector<int>{0, 2, 4}));
  EXPECT_EQ(w.result.layout.columns, 2);
  EXPECT_EQ(w.result.rate.num, 10u);
  ASSERT_EQ(w.pictures.size(), 110u);
  const auto probed = test::probeMedia(dir_ + "mosaic.mp4");
  ASSERT_TRUE(probed);
  EXPECT_EQ(probed->streams[0].codec, AV_CODEC_ID_H264);
  EXPECT_EQ(probed->streams[0].width, 704);
  EXPECT_EQ(probed->streams[0].height, 2 * 288 + kMosaicStripHeight);

  // The bright second is 13:10:03: pictures 30 to 39, in CH-01's tile (10 fps) and CH-03's (5 fps) alike.
  EXPECT_EQ(brightSpan(w, 0), std::make_pair(10 * kMark, 10 * kMark + 9));
  EXPECT_EQ(brightSpan(w, 1), std::make_pair(10 * kMark, 10 * kMark + 9));
  // CH-05 starts at 13:10:05: black before, a picture after; the fourth cell is empty throughout.
  EXPECT_EQ(brightSpan(w, 2).first, -1);
  for (std::size_t p : {0u, 35u, 49u}) EXPECT_LT(tileLuma(w, p, 2), kBlack) << "picture " << p;
  EXPECT_GT(tileLuma(w, 55, 2), kBlack);
  for (std::size_t p : {0u, 35u, 55u, 105u}) EXPECT_LT(tileLuma(w, p, 3), kBlack) << "picture " << p;

  // Nothing is recorded 13:10:06 to 13:10:08: a second after its last frame every camera shows black,
  // and each shows its picture again once recording resumes.
  for (int tile = 0; tile < 3; ++tile) {
    EXPECT_GT(tileLuma(w, 58, tile), kBlack) << "tile " << tile;
    for (std::size_t p : {71u, 80u, 89u})
      EXPECT_LT(tileLuma(w, p, tile), kBlack) << "tile " << tile << " picture " << p;
    EXPECT_GT(tileLuma(w, 95, tile), kBlack) << "tile " << tile;
  }
}

TEST_F(MosaicTest, WindowBetweenKeyFramesStartsWithWholePictures) {
  // CH-01's key frames are at 13:10:00 and 13:10:02.5: a window from 13:10:03 decodes from the second one, so
  // the bright frames, coded from the pattern before them, come out flat and bright from the first picture.
  const Written w = write(kStartTime + kMark, kStartTime + kMark + 1);
  ASSERT_EQ(w.pictures.size(), 20u);
  EXPECT_EQ(brightSpan(w, 0), std::make_pair(0, 9));
  EXPECT_EQ(brightSpan(w, 1), std::make_pair(0, 9));
}

TEST_F(MosaicTest, FiveCamerasFillAThreeByThreeGridInChannelOrder) {
  gen::BodyPlan plan;
  plan.seconds = 2;
  plan.startTime = kStartTime;
  plan.header.hour = 13;
  for (const int c : {15, 0, 9, 3, 6})
    plan.channels.push_back({.channel = c, .formatCode = 2, .rateByte = 20});
  use(gen::planScenario(plan));
  const Written w = write(recording_.firstTime(), recording_.lastTime());
  EXPECT_EQ(w.result.tileChannels, (std::vector<int>{0, 3, 6, 9, 15}));
  EXPECT_EQ(w.result.layout.columns, 3);
  const auto probed = test::probeMedia(dir_ + "mosaic.mp4");
  ASSERT_TRUE(probed);
  EXPECT_EQ(probed->streams[0].width, 3 * kMosaicTileWidth);
  EXPECT_EQ(probed->streams[0].height, 3 * kMosaicTileHeight + kMosaicStripHeight);
  ASSERT_EQ(w.pictures.size(), 10u);
  for (int tile = 0; tile < 9; ++tile) {
    if (tile < 5) {
      EXPECT_GT(tileLuma(w, 5, tile), kBlack) << "tile " << tile;
    } else {
      EXPECT_LT(tileLuma(w, 5, tile), kBlack) << "tile " << tile;
    }
  }
}

TEST_F(MosaicTest, CommandLineRefusesWhatItCannotWrite) {
  const std::string out = dir_ + "taken.mp4";
  {
    std::ofstream taken(out, std::ios::binary);
    taken << "someone else's file";
  }
  struct Case {
    const char* what;
    std::string args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"a window that ends first", "--from 13:10:05 --to 13:10:02", 64, "lies before --from"},
      {"a time outside the recording", "--from 13:20:00", 64, "13:10:00"},
      {"channels without video", "--channels 2,4", 64, "none of the chosen channels has video"},
      {"an existing file", "-o " + test::quote(out), 74, "already exists"},
  };
  for (const Case& c : cases) {
    const test::CliResult r = test::runCli("mosaic " + test::quote(path_) + " " + c.args, dir_);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
  }
  EXPECT_EQ(test::slurp(out), "someone else's file");

  const test::CliResult ok =
      test::runCli("mosaic " + test::quote(path_) + " --channels 1,3 --to 13:10:01", dir_);
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("rec_mosaic.mp4: mosaic 2x2 of CH-01 CH-03 (704x616)"), std::string::npos) << ok.out;
}

}  // namespace
}  // namespace qmv
