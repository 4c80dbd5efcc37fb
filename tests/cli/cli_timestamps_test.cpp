// qmv2avi-cli: recorded-time subtitles and frame logs beside the AVI files, and the timing warning of info
// and convert.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

using test::CliResult;
using test::filesIn;
using test::quote;
using test::runCli;
using test::slurp;

std::string scratchDir() { return test::freshTestDir(QMV2AVI_TEST_TMP, "cli-timestamps"); }

std::size_t lineCount(const std::string& text) {
  return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// CH-01 at 10 fps and CH-03 at 5 fps for 2 s, recorded 2007-06-15 from 13:59:59 (across the hour).
// declaredCh1: the header's rate byte for CH-01 instead of the 40 its frames are laid out at.
std::string writeRecording(const std::string& dir, uint8_t declaredCh1 = 40) {
  gen::BodyPlan plan;
  plan.header.month = 6, plan.header.day = 15, plan.header.hour = 13;
  plan.channels = {{0, 2, 40, -1, 5}, {2, 18, 20, -1, 5}};
  plan.seconds = 2;
  plan.startTime = 3599;
  plan.reuseFrames = true;
  gen::Scenario scenario = gen::planScenario(plan);
  scenario.header.channelRate[0] = declaredCh1;
  const std::string path = dir + "cam.qmv";
  EXPECT_TRUE(gen::writeRecordingFile(scenario, path));
  return path;
}

TEST(CliTimestampsTest, SubtitlesByDefaultFrameLogsOnRequest) {
  const std::string dir = scratchDir();
  const std::string input = writeRecording(dir);

  CliResult r = runCli("convert " + quote(input), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(filesIn(dir, ".srt"), (std::vector<std::string>{"cam_00.srt", "cam_02.srt"}));
  EXPECT_TRUE(filesIn(dir, ".csv").empty());
  EXPECT_NE(r.out.find("cam_00.avi: 20 frames, 2.00 s at 10 fps, no audio, "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(", subtitles cam_00.srt\n"), std::string::npos) << r.out;
  // 10 frames a second from position 0.
  EXPECT_EQ(slurp(dir + "cam_00.srt"),
            "1\r\n00:00:00,000 --> 00:00:01,000\r\n2007-06-15 13:59:59\r\n\r\n"
            "2\r\n00:00:01,000 --> 00:00:02,000\r\n2007-06-15 14:00:00\r\n\r\n");
  EXPECT_TRUE(r.err.empty()) << r.err;

  r = runCli("convert " + quote(input) + " --overwrite --no-timestamps --frame-times", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(filesIn(dir, ".csv"), (std::vector<std::string>{"cam_00.csv", "cam_02.csv"}));
  EXPECT_NE(r.out.find(", frame log cam_02.csv\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("subtitles"), std::string::npos) << r.out;
  const std::string log = slurp(dir + "cam_02.csv");
  EXPECT_EQ(lineCount(log), 11u) << log;  // the header and 10 frames
  EXPECT_EQ(log.rfind("position,recorded_time,key_frame,bytes,source_offset\n0,2007-06-15 13:59:59,1,", 0),
            0u)
      << log;
}

// Without --overwrite an existing subtitle or frame-log file refuses the input before any AVI file is begun.
TEST(CliTimestampsTest, ExistingSideFilesRefuseTheConversion) {
  const std::string dir = scratchDir();
  const std::string input = writeRecording(dir);
  std::ofstream(dir + "cam_02.srt") << "keep";
  std::ofstream(dir + "cam_00.csv") << "keep";

  CliResult r = runCli("convert " + quote(input), dir);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cam_02.srt exists"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("cam_00.csv"), std::string::npos) << r.err;  // no frame logs asked for
  EXPECT_TRUE(filesIn(dir, ".avi").empty());

  r = runCli("convert " + quote(input) + " --no-timestamps --frame-times", dir);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cam_00.csv exists"), std::string::npos) << r.err;
  EXPECT_TRUE(filesIn(dir, ".avi").empty());

  r = runCli("convert " + quote(input) + " --no-timestamps", dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir + "cam_02.srt"), "keep");
}

TEST(CliTimestampsTest, SubtitleThatCannotBeWrittenFailsTheInput) {
  const std::string dir = scratchDir();
  const std::string input = writeRecording(dir);
  fs::create_directories(dir + "out/cam_00.srt");  // a folder where the file should go
  const CliResult r = runCli("convert " + quote(input) + " -o " + quote(dir + "out") + " --overwrite", dir);
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cam_00.srt"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_regular_file(dir + "out/cam_02.srt"));
}

// Frames laid out at 10 fps under a rate byte of 30 (7.5 fps): both commands name the channel and both rates.
TEST(CliTimestampsTest, TimingWarningOnlyForTheChannelThatDisagrees) {
  const std::string dir = scratchDir();
  const std::string input = writeRecording(dir, 30);

  CliResult r = runCli("convert " + quote(input), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("qmv2avi-cli: warning: CH-01: declared 7.5 fps, delivered 10.0 fps"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("CH-03: declared"), std::string::npos) << r.err;

  r = runCli("info " + quote(input), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Timing warning: CH-01: declared 7.5 fps, delivered 10.0 fps"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("CH-03: declared"), std::string::npos) << r.out;

  r = runCli("info --json " + quote(input), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  const auto& channels = doc.at("channels");
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[0].at("declaredRate"), 7.5);
  EXPECT_EQ(channels[0].at("deliveredRate"), 10.0);
  EXPECT_TRUE(channels[0].at("rateWarning").is_string());
  EXPECT_EQ(channels[1].at("declaredRate"), 5.0);
  EXPECT_EQ(channels[1].at("deliveredRate"), 5.0);
  EXPECT_TRUE(channels[1].at("rateWarning").is_null());

  // The same recording with the rate its frames have: no warning anywhere.
  const std::string honest = dir + "honest/";
  fs::create_directories(honest);
  const std::string fine = writeRecording(honest);
  r = runCli("convert " + quote(fine), honest);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("declared"), std::string::npos) << r.err;
  r = runCli("info " + quote(fine), honest);
  EXPECT_EQ(r.out.find("Timing warning"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace qmv
