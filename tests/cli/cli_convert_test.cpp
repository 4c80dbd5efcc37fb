// qmv2avi-cli convert: exit statuses, channel selection, overwrite rules, summary, and Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "output/output_name.h"
#include "support/avi_probe.h"
#include "support/cli_process.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"
#include "transcode/compress_options.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

using test::CliResult;
using test::lines;
using test::quote;
using test::runCli;
using test::slurp;

std::string scratchDir(const std::string& name) {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "cli-convert", name);
}

// Three channels with video (CH-01 and CH-04 with audio), one second.
std::string writeRecording(const std::string& dir, const std::string& name = "cam.qmv", int seconds = 1) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}, {1, 18, 40, -1, 5}, {3, 20, 20, 1, 5}};
  plan.seconds = seconds;
  plan.reuseFrames = true;
  const std::string path = dir + name;
  EXPECT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), path));
  return path;
}

std::vector<std::string> aviFiles(const std::string& dir) { return test::filesIn(dir, ".avi"); }

TEST(CliConvertTest, ConvertsEveryChannelWithVideoNextToTheInput) {
  const std::string dir = scratchDir("defaults");
  const std::string input = writeRecording(dir);
  const CliResult r = runCli("convert " + quote(input), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(aviFiles(dir), (std::vector<std::string>{"cam_00.avi", "cam_01.avi", "cam_03.avi"}));
  const auto summary = lines(r.out);
  ASSERT_EQ(summary.size(), 3u) << r.out;
  EXPECT_NE(summary[0].find("cam_00.avi: 10 frames, 1.00 s at 10 fps, audio"), std::string::npos)
      << summary[0];
  EXPECT_NE(summary[1].find("no audio"), std::string::npos) << summary[1];
  EXPECT_NE(summary[2].find("cam_03.avi: 5 frames, 1.00 s at 5 fps, audio"), std::string::npos) << summary[2];
  EXPECT_TRUE(r.err.empty()) << r.err;  // no progress bar when stderr is not a terminal
  auto file = test::probeMedia(dir + "cam_00.avi");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->streams.at(0).codecTag, makeFourcc('X', 'V', 'I', 'D'));
}

TEST(CliConvertTest, ChannelsOutputFolderAndCodec) {
  const std::string dir = scratchDir("options");
  const std::string input = writeRecording(dir);
  const std::string out = dir + "out/";
  fs::create_directories(out);
  const CliResult r =
      runCli("convert " + quote(input) + " -o " + quote(out) + " --channels 2-3,4 --codec divx", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(aviFiles(out), (std::vector<std::string>{"cam_01.avi", "cam_03.avi"}));
  EXPECT_NE(r.err.find("CH-03 has no video"), std::string::npos) << r.err;
  auto file = test::probeMedia(out + "cam_01.avi");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->streams.at(0).codecTag, makeFourcc('D', 'I', 'V', 'X'));
}

TEST(CliConvertTest, ExistingFilesNeedOverwrite) {
  const std::string dir = scratchDir("overwrite");
  const std::string input = writeRecording(dir);
  std::ofstream(dir + "cam_01.avi") << "older";
  const CliResult refused = runCli("convert " + quote(input), dir);
  EXPECT_EQ(refused.status, 3);
  EXPECT_NE(refused.err.find(dir + "cam_01.avi"), std::string::npos) << refused.err;
  EXPECT_EQ(slurp(dir + "cam_01.avi"), "older");
  EXPECT_EQ(aviFiles(dir), std::vector<std::string>{"cam_01.avi"});  // nothing else begun

  const CliResult replaced = runCli("convert " + quote(input) + " --overwrite", dir);
  EXPECT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_TRUE(test::probeMedia(dir + "cam_01.avi"));
}

TEST(CliConvertTest, RejectedInputAndUnwritableOutput) {
  const std::string dir = scratchDir("failures");
  std::ofstream(dir + "junk.qmv") << std::string(4096, 'x');
  const CliResult rejected = runCli("convert " + quote(dir + "junk.qmv"), dir);
  EXPECT_EQ(rejected.status, 2);
  EXPECT_EQ(lines(rejected.err).size(), 1u) << rejected.err;
  EXPECT_NE(rejected.err.find("junk.qmv"), std::string::npos);
  EXPECT_TRUE(aviFiles(dir).empty());

  const std::string input = writeRecording(dir);
  const CliResult missing = runCli("convert " + quote(input) + " -o " + quote(dir + "no/such"), dir);
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find(dir + "no/such"), std::string::npos) << missing.err;

  // A folder that exists but refuses new files (not as root, who may write anywhere).
  if (geteuid() != 0) {
    const std::string locked = dir + "locked/";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const CliResult denied = runCli("convert " + quote(input) + " -o " + quote(locked), dir);
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(denied.status, 3);
    EXPECT_NE(denied.err.find(locked + "cam_00.avi"), std::string::npos) << denied.err;
  }
}

TEST(CliConvertTest, UsageErrors) {
  const std::string dir = scratchDir("usage");
  const std::string input = quote(writeRecording(dir));
  const std::string cases[] = {
      "convert",  // no FILE
      "convert " + input + " --channels 0",
      "convert " + input + " --channels 17",
      "convert " + input + " --channels 3-1",
      "convert " + input + " --channels 1,,2",
      "convert " + input + " --channels 1,",
      "convert " + input + " --channels x",
      "convert " + input + " --codec h264",
      "convert " + input + " --reencode no-such-encoder",
      "convert " + input + " --quality 50",  // without --reencode
      "convert " + input + " --bogus",
      // encoders whose streams the container's muxer refuses
      "convert " + input + " --format mp4 --reencode huffyuv",
      "convert " + input + " --format mp4 --reencode ffv1",
      "convert " + input + " --format mkv --reencode rawvideo",
  };
  for (const std::string& args : cases) {
    const CliResult r = runCli(args, dir);
    EXPECT_EQ(r.status, 64) << args << "\n" << r.err;
    EXPECT_FALSE(r.err.empty()) << args;
  }
  // --report takes the next word as its optional FILE: the message says that, and how to write it, rather
  // than asking for a recording that was given.
  const CliResult swallowed = runCli("convert --report " + input, dir);
  EXPECT_EQ(swallowed.status, 64);
  EXPECT_NE(swallowed.err.find("--report took"), std::string::npos) << swallowed.err;
  EXPECT_NE(swallowed.err.find("--report=FILE"), std::string::npos) << swallowed.err;
  EXPECT_EQ(swallowed.err.find("a recording FILE is required"), std::string::npos) << swallowed.err;
  // A pair that does not fit names the encoders that do, in the tool's words alone.
  const CliResult unfit = runCli("convert " + input + " --format mp4 --reencode huffyuv", dir);
  EXPECT_EQ(unfit.status, 64);
  EXPECT_NE(unfit.err.find("huffyuv does not fit MP4 files; encoders for MP4 files: libx264, mpeg4"),
            std::string::npos)
      << unfit.err;
  EXPECT_EQ(unfit.err.find("[mp4 @"), std::string::npos) << unfit.err;
  EXPECT_TRUE(aviFiles(dir).empty());
}

TEST(CliConvertTest, ListEncoders) {
  const std::string dir = scratchDir("encoders");
  const CliResult r = runCli("convert --list-encoders", dir);
  EXPECT_EQ(r.status, 0) << r.err;
  const auto listed = lines(r.out);
  const auto encoders = availableEncoders();
  ASSERT_EQ(listed.size(), encoders.size());
  for (std::size_t i = 0; i < listed.size(); ++i)
    EXPECT_EQ(listed[i].rfind(encoders[i].name + " ", 0), 0u) << listed[i];
  // Each line ends with the containers the encoder fits.
  for (const std::string& line : listed) {
    if (line.rfind("mpeg4 ", 0) == 0)
      EXPECT_NE(line.find("(--format avi,mkv,mp4)"), std::string::npos) << line;
    if (line.rfind("ffv1 ", 0) == 0) EXPECT_NE(line.find("(--format avi,mkv)"), std::string::npos) << line;
  }
}

// SIGINT (Ctrl-C), SIGTERM and SIGHUP (a closed terminal) stop the conversion the way the Stop button
// does: complete files, exit status 128 + the signal. Re-encoding is slow enough that the signal lands
// mid-way.
struct StopSignal {
  int signal;
  int exitStatus;
};
class CliStopSignalTest : public ::testing::TestWithParam<StopSignal> {};

TEST_P(CliStopSignalTest, LeavesCompleteFiles) {
  const StopSignal stop = GetParam();
  if (const std::string why = test::slowReencodeUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const std::string dir = scratchDir("interrupt");
  const std::string input = dir + "long.qmv";
  ASSERT_TRUE(test::writeSlowReencodeRecording(input, 60));

  test::CliProcess cli({"convert", input, "--reencode", "ffv1"}, dir);
  // Once the output file exists the conversion is under way and the handler installed.
  cli.signalOnceWritten({dir + "long_00.avi"}, stop.signal);
  const int status = cli.wait();
  ASSERT_NE(status, -1) << "ended by signal " << cli.endSignal();
  EXPECT_EQ(status, stop.exitStatus) << cli.err();
  EXPECT_NE(cli.err().find("stopped after"), std::string::npos) << cli.err();

  const auto summary = lines(cli.out());
  ASSERT_EQ(summary.size(), 1u);
  auto headers = test::readAviHeaders(dir + "long_00.avi");
  ASSERT_TRUE(headers);
  EXPECT_TRUE(headers->hasIdx1);
  int errors = -1;
  const int pictures = test::decodeAllFrames(dir + "long_00.avi", 0, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_GT(pictures, 0);
  EXPECT_LT(pictures, 60 * 30);  // stopped early
  EXPECT_NE(summary[0].find(std::to_string(pictures) + " frames"), std::string::npos) << summary[0];
}

INSTANTIATE_TEST_SUITE_P(Signals, CliStopSignalTest,
                         ::testing::Values(StopSignal{SIGINT, 130}, StopSignal{SIGTERM, 143},
                                           StopSignal{SIGHUP, 129}),
                         [](const auto& info) {
                           const int signal = info.param.signal;
                           return signal == SIGINT ? "Sigint" : signal == SIGTERM ? "Sigterm" : "Sighup";
                         });

// A killed run (SIGKILL, or a power cut) leaves no file under an output's name, only temporary names of
// its outputs; the next run into the folder removes them, says so, and writes every output. Leftovers of
// outputs it does not write, and other files, stay.
class CliKilledRunTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CliKilledRunTest, LeavesOnlyTemporaryNamesThatTheNextRunRemoves) {
  const std::string format = GetParam();
  const std::string dir = scratchDir(std::string("killed-") + format);
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}, {1, 2, 40, -1, 5}};
  plan.seconds = 1200;  // most of a second to convert
  plan.reuseFrames = true;
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), dir + "long.qmv"));
  const std::vector<std::string> args = {"convert", dir + "long.qmv", "--format",
                                         format,    "--frame-times",  "--report"};
  std::vector<std::string> outputs = {dir + "long.report.json"};
  for (const char* channel : {"long_00", "long_01"})
    for (const std::string extension : {"." + format, std::string(".srt"), std::string(".csv")})
      outputs.push_back(dir + channel + extension);
  const std::string otherChannels = dir + ".long_04." + format + ".qmv2avi-Ab3xZ9.partial";
  const std::string usersFile = dir + ".long_00." + format + ".qmv2avi-Ab3xZ9.partial.keep";
  for (const std::string& planted : {otherChannels, usersFile}) std::ofstream(planted) << "not ours";

  {
    test::CliProcess killed(args, dir);
    ASSERT_TRUE(killed.waitForFiles({dir + "long_01." + format}));
    killed.signal(SIGKILL);
    killed.wait();
    ASSERT_EQ(killed.endSignal(), SIGKILL) << "the run ended before it was killed";
  }
  std::size_t left = 0;
  for (const std::string& output : outputs) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(output))) << output << " was left under its own name";
    left += output_name::temporariesOf(output).size();
  }
  EXPECT_GE(left, 2u) << "the killed run wrote its outputs under temporary names";

  test::CliProcess next(args, dir);
  ASSERT_EQ(next.wait(), 0) << next.err();
  for (const std::string& output : outputs) {
    EXPECT_TRUE(fs::exists(output)) << output;
    EXPECT_TRUE(output_name::temporariesOf(output).empty()) << output;
  }
  std::size_t removedLines = 0;
  for (const std::string& line : lines(next.err()))
    removedLines += line.find("removed " + dir + ".long_0") != std::string::npos ? 1 : 0;
  EXPECT_EQ(removedLines, left) << next.err();
  EXPECT_TRUE(fs::exists(otherChannels)) << "the leftover of an output this run does not write stays";
  EXPECT_TRUE(fs::exists(usersFile)) << "a file that only resembles a leftover stays";
}

INSTANTIATE_TEST_SUITE_P(Containers, CliKilledRunTest, ::testing::Values("avi", "mkv", "mp4"));

}  // namespace
}  // namespace qmv
