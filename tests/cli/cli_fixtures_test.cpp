// Recordings laid out by hand (tests/fixtures/make_fixtures.py), not by the generator: what `info --json`
// says about them, and the frames a pass-through conversion writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/test_files.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::CliResult;
using test::quote;
using test::runCli;

const fs::path kFixtures = QMV2AVI_FIXTURES;

json readJson(const fs::path& path) { return json::parse(test::slurp(path), nullptr, false); }

std::string hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) text += {kDigits[b >> 4], kDigits[b & 15]};
  return text;
}

class FixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  fs::path recording() const { return kFixtures / GetParam(); }
  fs::path sidecar(const std::string& kind) const {
    return kFixtures / (fs::path(GetParam()).stem().string() + "." + kind + ".json");
  }
};

using FixtureInfoTest = FixtureTest;

TEST_P(FixtureInfoTest, JsonIsWhatTheBytesSay) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "cli-fixtures");
  json expected = readJson(sidecar("info"));
  ASSERT_TRUE(expected.is_object()) << sidecar("info");
  expected["file"] = recording().string();
  const CliResult r = runCli("info --json " + quote(recording().string()), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  const json actual = json::parse(r.out, nullptr, false);
  EXPECT_EQ(actual, expected) << "changes from expected to actual: " << json::diff(expected, actual).dump(1);
}

// Pass-through keeps each frame's stream bytes as laid down (pad words and slack left out), from
// sample 1 on, with the stream header of the channel's format code as the stream's set-up bytes;
// audio records of the channel's input become 8 samples per payload word.
using FixtureConvertTest = FixtureTest;

TEST_P(FixtureConvertTest, FramesAreThePayloadInStreamOrder) {
  const fs::path expectedPath = sidecar("convert");
  const json expected = readJson(expectedPath);
  ASSERT_TRUE(expected.is_object()) << expectedPath;
  // The payloads are start codes, not pictures: probing the streams makes the decoder complain.
  av_log_set_level(AV_LOG_FATAL);
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "cli-fixtures");
  const std::string input = dir + GetParam();
  fs::copy_file(recording(), input);

  const CliResult r = runCli("convert --no-timestamps " + quote(input), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> names;
  for (const auto& [name, file] : expected.items()) names.push_back(name);
  EXPECT_EQ(test::filesIn(dir, ".avi"), names);

  for (const auto& [name, file] : expected.items()) {
    SCOPED_TRACE(name);
    const auto probed = test::probeMedia(dir + name, true);
    ASSERT_TRUE(probed);
    EXPECT_EQ(hex(probed->streams.at(0).extradata), file.at("setup"));
    std::vector<std::string> video;
    std::vector<int64_t> positions, expectedPositions;
    for (const test::ProbedPacket& p : probed->packetsOf(0)) {
      video.push_back(hex(p.data));
      positions.push_back(p.pts);
      expectedPositions.push_back(int64_t(positions.size()) - 1);  // the first record is a key frame at 0
    }
    EXPECT_EQ(video, file.at("video").get<std::vector<std::string>>());
    EXPECT_EQ(positions, expectedPositions);

    const std::size_t samples = file.at("audioSamples").get<std::size_t>();
    if (samples == 0) {
      EXPECT_EQ(probed->streams.size(), 1u);
      continue;
    }
    ASSERT_EQ(probed->streams.size(), 2u);
    std::size_t bytes = 0;
    for (const test::ProbedPacket& p : probed->packetsOf(1)) bytes += std::size_t(p.size);
    EXPECT_EQ(bytes, samples * 2);
  }
}

std::string fixtureName(const ::testing::TestParamInfo<const char*>& info) {
  return fs::path(info.param).stem().string();
}

INSTANTIATE_TEST_SUITE_P(HandLaid, FixtureInfoTest,
                         ::testing::Values("two_channels_ima.qmv", "player_wrapper.exe",
                                           "player_without_marker.exe", "multi_mode_audio.qmv"),
                         fixtureName);
INSTANTIATE_TEST_SUITE_P(HandLaid, FixtureConvertTest,
                         ::testing::Values("two_channels_ima.qmv", "multi_mode_audio.qmv"), fixtureName);

}  // namespace
}  // namespace qmv
