// MKV and MP4 outputs of a recording over 4 GB (4,000,000,000 bytes; a recording's 32-bit positions end at
// 4 GiB): every frame at its time past the signed 32-bit offsets. Slow (4 GB written three times): its own
// CTest label, "large".
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

constexpr uintmax_t kOver4GB = 4'100'000'000;
constexpr uintmax_t k4GB = 4'000'000'000;
constexpr uintmax_t k4GiB = uintmax_t(4) << 30;

// One 704 x 576 channel at 30 fps with audio, key frame every 30; 40 kB of user data in each frame make the
// file cross 4 GB well within the 70 minutes a recording's clock may span.
gen::BodyPlan plan(int seconds) {
  gen::BodyPlan p;
  p.channels = {{0, 4, 120, 0, 30}};
  p.seconds = seconds;
  p.reuseFrames = true;
  p.userDataBytes = 40'000;
  return p;
}

TEST(LargeRecording, MkvAndMp4KeepEveryFramesTimePastFourGB) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "large-container", "over4gb");
  const std::string input = dir + "big.qmv";
  // The size of a second decides how many make the file cross 4 GiB.
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(plan(20)), input));
  const double perSecond = double(fs::file_size(input)) / 20;
  const int seconds = int(std::ceil(double(kOver4GB) / perSecond));
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(plan(seconds)), input));
  ASSERT_GT(fs::file_size(input), k4GB);
  ASSERT_LT(fs::file_size(input), k4GiB);

  for (const char* format : {"mkv", "mp4"}) {
    SCOPED_TRACE(format);
    const test::CliResult r =
        test::runCli("convert " + test::quote(input) + " --no-timestamps --format " + format, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string path = dir + "big_00." + format;
    EXPECT_GT(fs::file_size(path), k4GB);
    const auto file = test::probeMedia(path);
    ASSERT_TRUE(file);
    const AVRational videoBase = file->streams.at(0).timeBase;
    const auto video = file->packetsOf(0);
    ASSERT_EQ(video.size(), std::size_t(seconds) * 30);
    int64_t wrong = 0, first = -1;
    for (std::size_t i = 0; i < video.size(); ++i) {
      const int64_t position = std::llround(double(video[i].pts) * av_q2d(videoBase) * 30);
      if (position != int64_t(i) && wrong++ == 0) first = int64_t(i);
    }
    EXPECT_EQ(wrong, 0) << "first wrong at frame " << first;
    // The audio runs to the end as well: its last packet lies in the last second.
    const auto audio = file->packetsOf(1);
    ASSERT_FALSE(audio.empty());
    const double lastAudio = double(audio.back().pts) * av_q2d(file->streams.at(1).timeBase);
    EXPECT_GT(lastAudio, seconds - 1.5);
    EXPECT_LT(lastAudio, seconds);
    fs::remove(path);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qmv
