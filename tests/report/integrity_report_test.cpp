// convert --report and verify: report hashes and frame map against files and generator; verify's verdicts.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "support/avi_probe.h"
#include "support/cli_process.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using test::CliResult;
using test::quote;
using test::runCli;
using test::slurp;

std::string scratchDir() { return test::freshTestDir(QMV2AVI_TEST_TMP, "integrity-report"); }

// Computed by coreutils, so that the report's digests are checked against code that is not the tool's.
std::string sha256sum(const std::string& path) {
  std::FILE* pipe = popen(("sha256sum " + quote(path)).c_str(), "r");
  if (pipe == nullptr) return "";
  char text[65] = {};
  const std::size_t got = std::fread(text, 1, 64, pipe);
  pclose(pipe);
  return std::string(text, got);
}

std::string sha256Of(const std::vector<uint8_t>& bytes, const std::string& scratch) {
  const std::string path = scratch + "bytes.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  const std::string digest = sha256sum(path);
  fs::remove(path);
  return digest;
}

json readJson(const std::string& path) { return json::parse(slurp(path)); }

const json& outputOf(const json& report, int channel) {
  for (const json& o : report.at("outputs")) {
    if (o.at("channel") == channel) return o;
  }
  static const json none;
  ADD_FAILURE() << "no output for channel " << channel;
  return none;
}

// What the generator put in the file for one video record that reaches an output.
struct ExpectedFrame {
  uint32_t entry = 0;
  uint64_t offset = 0;  // in the file
  bool key = false;
  std::vector<uint8_t> stream;  // the record's stream bytes: its data padded to whole words
};
struct ExpectedChannel {
  std::vector<ExpectedFrame> frames;
  std::vector<uint32_t> droppedEntries;  // before the channel's first key frame
};

// Entries run through each block's records and then the block itself.
std::map<int, ExpectedChannel> expectedChannels(const gen::Scenario& scenario, const gen::Layout& layout) {
  std::map<int, ExpectedChannel> channels;
  uint32_t entry = 0;
  std::size_t record = 0;
  for (const gen::Block& block : scenario.blocks) {
    for (const gen::Record& r : block.records) {
      if (r.type == gen::Record::Type::Video) {
        ExpectedChannel& channel = channels[r.channel];
        const bool key = r.frameType >= 0x10 && r.frameType <= 0x1F;
        if (!key && channel.frames.empty()) {
          channel.droppedEntries.push_back(entry);
        } else {
          ExpectedFrame frame{entry, uint64_t(layout.recordingStart) + layout.recordPositions[record], key,
                              r.data};
          frame.stream.resize((r.data.size() + 3) / 4 * 4, 0);
          channel.frames.push_back(std::move(frame));
        }
      }
      ++entry;
      ++record;
    }
    ++entry;
  }
  return channels;
}

// CH-01 (audio input 0) starts with non-key frames; CH-03 has no audio. Two seconds.
gen::BodyPlan twoChannelPlan() {
  gen::BodyPlan plan;
  gen::ChannelPlan first{0, 2, 40, 0, 5};
  first.startWithNonKey = true;
  plan.channels = {first, {2, 18, 20, -1, 4}};
  plan.seconds = 2;
  plan.reuseFrames = true;
  return plan;
}

TEST(IntegrityReportTest, HashesAndFrameMapMatchTheFilesAndTheSource) {
  const std::string dir = scratchDir();
  gen::Scenario scenario = gen::planScenario(twoChannelPlan());
  // One audio record whose wordCount claims more than its extent holds: clipped, with its offset reported.
  std::size_t damagedIndex = 0;
  bool damaged = false;
  for (gen::Block& block : scenario.blocks) {
    for (gen::Record& r : block.records) {
      if (!damaged && r.type == gen::Record::Type::Audio && damagedIndex > 10) {
        r.wordCountOverride = uint16_t(r.data.size() / 4 + 50);
        damaged = true;
      }
      if (!damaged) ++damagedIndex;
    }
  }
  ASSERT_TRUE(damaged);
  const gen::GeneratedRecording recording = gen::buildRecording(scenario);
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeFile(input, recording.bytes));

  const CliResult r = runCli("convert " + quote(input) + " --report", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(dir + "cam.report.json: integrity report"), std::string::npos) << r.out;
  const json report = readJson(dir + "cam.report.json");

  EXPECT_EQ(report.at("schemaVersion"), 1);
  EXPECT_EQ(report.at("outcome").at("status"), "completed");
  const json& command = report.at("command");
  ASSERT_EQ(command.size(), 4u);
  EXPECT_EQ(command[1], "convert");
  EXPECT_EQ(command[3], "--report");
  EXPECT_EQ(report.at("input").at("path"), input);
  EXPECT_EQ(report.at("input").at("size"), recording.bytes.size());
  EXPECT_EQ(report.at("input").at("sha256"), sha256sum(input));
  EXPECT_FALSE(report.at("input").at("wrapped").get<bool>());
  EXPECT_EQ(report.at("description").at("systemName"), "TEST-DVR");

  const json& skipped = report.at("skippedRecords");
  ASSERT_EQ(skipped.size(), 1u) << skipped.dump();
  EXPECT_EQ(skipped[0].at("sourceOffset"), recording.layout.recordPositions[damagedIndex]);
  EXPECT_TRUE(skipped[0].at("clipped").get<bool>());
  EXPECT_NE(skipped[0].at("reason").get<std::string>().find("wordCount"), std::string::npos);

  const std::map<int, ExpectedChannel> expected = expectedChannels(scenario, recording.layout);
  ASSERT_EQ(report.at("outputs").size(), 2u);
  for (const auto& [channel, want] : expected) {
    SCOPED_TRACE("CH-" + std::to_string(channel + 1));
    const json& output = outputOf(report, channel + 1);
    const std::string path = output.at("path");
    EXPECT_EQ(path, dir + "cam_0" + std::to_string(channel) + ".avi");
    EXPECT_EQ(output.at("sha256"), sha256sum(path));
    EXPECT_EQ(output.at("size"), fs::file_size(path));

    const json& video = output.at("video");
    EXPECT_EQ(video.at("framesWritten"), want.frames.size());
    EXPECT_EQ(video.at("keyFrames"), std::count_if(want.frames.begin(), want.frames.end(),
                                                   [](const ExpectedFrame& f) { return f.key; }));
    EXPECT_EQ(video.at("droppedBeforeFirstKey"), want.droppedEntries.size());
    for (std::size_t i = 0; i < want.droppedEntries.size() && i < video.at("dropped").size(); ++i) {
      EXPECT_EQ(video.at("dropped")[i].at("entry"), want.droppedEntries[i]);
      EXPECT_EQ(video.at("dropped")[i].at("position"),
                int64_t(i));  // the channel's first records keep their places
    }
    EXPECT_EQ(output.at("audio").is_null(), channel != 0);
    EXPECT_FALSE(output.at("timing").is_null());
    const json& stream = output.at("streams").at(0);
    EXPECT_EQ(stream.at("type"), "video");
    EXPECT_EQ(stream.at("fourcc"), "XVID");

    // The map against the generator's records, and each frame's bytes against the sample read back.
    const auto probed = test::probeMedia(path, true);
    ASSERT_TRUE(probed);
    std::map<int64_t, std::vector<uint8_t>> samples;
    for (const test::ProbedPacket& p : probed->packetsOf(0)) samples[p.pts] = p.data;
    const json& map = output.at("frameMap");
    EXPECT_TRUE(map.at("bitExact").get<bool>());
    const json& rows = map.at("samples");
    ASSERT_EQ(rows.size(), want.frames.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const json& row = rows[i];
      const ExpectedFrame& frame = want.frames[i];
      ASSERT_EQ(row.at("entry"), frame.entry) << i;
      ASSERT_EQ(row.at("sourceOffset"), frame.offset) << i;
      const int64_t position =
          int64_t(want.droppedEntries.size() + i);  // after the dropped frames' empty samples
      ASSERT_EQ(row.at("position"), position) << i;
      ASSERT_EQ(row.at("key"), frame.key) << i;
      ASSERT_EQ(row.at("size"), frame.stream.size()) << i;
      ASSERT_EQ(row.at("source"), row.at("output")) << i;
      ASSERT_EQ(samples[position], frame.stream) << "frame " << i << " is not bit-exact";
    }
    // Digests of a key frame and of the last frame, from the generator's bytes.
    for (std::size_t i : {std::size_t(0), want.frames.size() - 1}) {
      EXPECT_EQ(rows[i].at("source"), sha256Of(want.frames[i].stream, dir)) << i;
    }
  }
}

TEST(IntegrityReportTest, WrappedInputRecordsTheCarvedRecording) {
  const std::string dir = scratchDir();
  gen::Scenario scenario = gen::planScenario(twoChannelPlan());
  scenario.wrapper = gen::ExecutableWrapper{};
  scenario.wrapper->prefixSize = 5000;
  scenario.wrapper->trailingSize = 300;
  scenario.header.systemName = "CAM\xC7\xD1";  // 8-bit text from the recorder, not UTF-8
  const gen::GeneratedRecording recording = gen::buildRecording(scenario);
  const std::string input = dir + "player.exe";
  ASSERT_TRUE(gen::writeFile(input, recording.bytes));
  const std::string reportPath = dir + "custody.json";

  const CliResult r = runCli("convert " + quote(input) + " --report=" + quote(reportPath), dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const json report = readJson(reportPath);
  EXPECT_EQ(report.at("description").at("systemNameHex"), "43414dc7d1");
  const json& in = report.at("input");
  EXPECT_TRUE(in.at("wrapped").get<bool>());
  EXPECT_EQ(in.at("sha256"), sha256sum(input));
  const json& carved = in.at("recording");
  EXPECT_EQ(carved.at("offset"), recording.layout.recordingStart);
  EXPECT_EQ(carved.at("size"), recording.layout.recordingLength);
  EXPECT_EQ(carved.at("trailingSize"), 300);
  const auto start = recording.bytes.begin() + recording.layout.recordingStart;
  EXPECT_EQ(
      carved.at("sha256"),
      sha256Of(std::vector<uint8_t>(start, start + std::ptrdiff_t(recording.layout.recordingLength)), dir));
  // Source offsets count from the start of the executable.
  const uint64_t first = expectedChannels(scenario, recording.layout).at(2).frames.at(0).offset;
  EXPECT_EQ(outputOf(report, 3).at("frameMap").at("samples").at(0).at("sourceOffset"), first);
  EXPECT_GT(first, 5000u);

  const CliResult verified = runCli("verify " + quote(reportPath), dir);
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  EXPECT_NE(
      verified.out.find("OK input " + input + ": SHA-256 of the file and of the carved recording match"),
      std::string::npos)
      << verified.out;
}

// Converts the two-channel plan with a report into dir; the report's path.
std::string convertWithReport(const std::string& dir) {
  const std::string input = dir + "cam.qmv";
  EXPECT_TRUE(gen::writeRecordingFile(gen::planScenario(twoChannelPlan()), input));
  const CliResult r = runCli("convert " + quote(input) + " --report", dir);
  EXPECT_EQ(r.status, 0) << r.err;
  return dir + "cam.report.json";
}

void flipByte(const std::string& path, std::size_t offset) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(std::streamoff(offset));
  char byte = 0;
  file.read(&byte, 1);
  byte = char(byte ^ 0x40);
  file.seekp(std::streamoff(offset));
  file.write(&byte, 1);
}

struct Flip {
  const char* name;
  // The byte to change in cam_00.avi.
  std::size_t (*offset)(const std::string& path);
  const char* expected;  // in the MISMATCH line
};

std::size_t insideFifthFrame(const std::string& path) {
  const auto probed = test::probeMedia(path, true);
  const std::vector<test::ProbedPacket> video =
      probed ? probed->packetsOf(0) : std::vector<test::ProbedPacket>{};
  const auto frame = std::find_if(video.begin(), video.end(), [](const auto& p) { return p.pts == 5; });
  if (frame == video.end()) return 0;
  const std::string bytes = slurp(path);
  const std::size_t at = bytes.find(std::string(frame->data.begin(), frame->data.end()));
  return at == std::string::npos ? 0 : at + frame->data.size() / 2;
}

// dwMicroSecPerFrame of the main AVI header: the file still opens, only its header differs.
std::size_t inMainHeader(const std::string&) { return 32; }

class VerifyFlipTest : public ::testing::TestWithParam<Flip> {};

TEST_P(VerifyFlipTest, OneChangedByteFailsVerification) {
  const std::string dir = scratchDir();
  const std::string reportPath = convertWithReport(dir);
  const CliResult intact = runCli("verify " + quote(reportPath), dir);
  ASSERT_EQ(intact.status, 0) << intact.out << intact.err;

  const std::string avi = dir + "cam_00.avi";
  const std::size_t offset = GetParam().offset(avi);
  ASSERT_GT(offset, 0u);
  flipByte(avi, offset);
  const CliResult changed = runCli("verify " + quote(reportPath), dir);
  EXPECT_EQ(changed.status, 1) << changed.out << changed.err;
  EXPECT_NE(changed.out.find("MISMATCH " + avi + ": "), std::string::npos) << changed.out;
  EXPECT_NE(changed.out.find("SHA-256 differs"), std::string::npos) << changed.out;
  EXPECT_NE(changed.out.find(GetParam().expected), std::string::npos) << changed.out;
  EXPECT_NE(changed.out.find("OK " + dir + "cam_02.avi"), std::string::npos) << changed.out;
}

INSTANTIATE_TEST_SUITE_P(Bytes, VerifyFlipTest,
                         ::testing::Values(Flip{"InsideAFrame", insideFifthFrame,
                                                "frames differ (first at sample position 5)"},
                                           Flip{"InTheHeader", inMainHeader, "SHA-256 differs"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IntegrityReportTest, VerifyTellsMissingFilesFromUnreadableReports) {
  const std::string dir = scratchDir();
  const std::string reportPath = convertWithReport(dir);

  // A moved set (report and outputs together) verifies as itself; the input left behind is not looked for
  // where the report was written, only beside the moved report.
  const std::string moved = dir + "moved/";
  fs::create_directories(moved);
  for (const char* name : {"cam.report.json", "cam_00.avi", "cam_02.avi", "cam_00.srt", "cam_02.srt"})
    fs::copy_file(dir + name, moved + name);
  fs::remove(dir + "cam_00.avi");
  const CliResult elsewhere = runCli("verify " + quote(moved + "cam.report.json"), dir);
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.out << elsewhere.err;
  EXPECT_NE(elsewhere.out.find("OK " + moved + "cam_00.avi"), std::string::npos) << elsewhere.out;
  EXPECT_NE(elsewhere.out.find("NOT CHECKED input " + moved + "cam.qmv: not found"), std::string::npos)
      << elsewhere.out;

  // Once the copy loses a file, that is a failure naming the copy's place: the original is not consulted.
  fs::remove(moved + "cam_02.srt");
  const CliResult lost = runCli("verify " + quote(moved + "cam.report.json"), dir);
  EXPECT_EQ(lost.status, 1);
  EXPECT_NE(lost.out.find("MISMATCH " + moved + "cam_02.srt: missing"), std::string::npos) << lost.out;

  const CliResult missing = runCli("verify " + quote(reportPath), dir);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("MISMATCH " + dir + "cam_00.avi: missing"), std::string::npos) << missing.out;

  // The input changed since the report: that fails too.
  flipByte(dir + "cam.qmv", 600);
  const CliResult input = runCli("verify " + quote(reportPath), dir);
  EXPECT_EQ(input.status, 1);
  EXPECT_NE(input.out.find("MISMATCH input " + dir + "cam.qmv: SHA-256 differs"), std::string::npos)
      << input.out;

  json newer = readJson(reportPath);
  newer["schemaVersion"] = 2;
  std::ofstream(dir + "newer.json") << newer.dump();
  std::ofstream(dir + "cut.json") << slurp(reportPath).substr(0, 2000);
  for (const std::string name : {"newer.json", "cut.json", "absent.json"}) {
    const CliResult bad = runCli("verify " + quote(dir + name), dir);
    EXPECT_EQ(bad.status, 2) << name;
    EXPECT_NE(bad.err.find(dir + name), std::string::npos) << bad.err;
    EXPECT_TRUE(bad.out.empty()) << bad.out;
  }
}

TEST(IntegrityReportTest, ExistingReportNeedsOverwriteAndOneFileServesOneInput) {
  const std::string dir = scratchDir();
  const std::string reportPath = convertWithReport(dir);
  const std::string before = slurp(reportPath);
  fs::remove(dir + "cam_00.avi");
  fs::remove(dir + "cam_02.avi");
  const CliResult refused = runCli("convert " + quote(dir + "cam.qmv") + " --report --no-timestamps", dir);
  EXPECT_EQ(refused.status, 3);
  EXPECT_NE(refused.err.find(reportPath + " exists"), std::string::npos) << refused.err;
  EXPECT_EQ(slurp(reportPath), before);

  fs::copy_file(dir + "cam.qmv", dir + "other.qmv");
  const CliResult twoInputs = runCli("convert " + quote(dir + "cam.qmv") + " " + quote(dir + "other.qmv") +
                                         " --report=" + quote(dir + "one.json"),
                                     dir);
  EXPECT_EQ(twoInputs.status, 64) << twoInputs.err;
}

// A re-encode stopped by Ctrl-C: the report is written with the outcome, holds only output-side digests,
// and those match the files.
TEST(IntegrityReportTest, StoppedReencodeIsReportedAndVerifies) {
  if (const std::string why = test::slowReencodeUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const std::string dir = scratchDir();
  const std::string input = dir + "long.qmv";
  ASSERT_TRUE(test::writeSlowReencodeRecording(input, 60));

  {
    test::CliProcess cli({"convert", input, "--reencode", "ffv1", "--report"}, dir);
    cli.signalOnceWritten({dir + "long_00.avi"}, SIGINT);
    const int status = cli.wait();
    ASSERT_NE(status, -1) << "ended by signal " << cli.endSignal();
    EXPECT_EQ(status, 130) << cli.err();
  }

  const json report = readJson(dir + "long.report.json");
  EXPECT_EQ(report.at("outcome").at("status"), "stopped");
  EXPECT_EQ(report.at("settings").at("video"), "re-encode");
  EXPECT_EQ(report.at("settings").at("encoder"), "ffv1");
  const json& output = outputOf(report, 1);
  const json& map = output.at("frameMap");
  EXPECT_FALSE(map.at("bitExact").get<bool>());
  const json& rows = map.at("samples");
  ASSERT_GT(rows.size(), 0u);
  EXPECT_LT(rows.size(), 60u * 30u);
  EXPECT_EQ(output.at("video").at("framesWritten"), rows.size());
  EXPECT_FALSE(rows[0].contains("source"));
  EXPECT_EQ(output.at("streams").at(0).at("fourcc"), "FFV1");

  const CliResult verified = runCli("verify " + quote(dir + "long.report.json"), dir);
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  EXPECT_NE(verified.out.find("OK " + dir + "long_00.avi: SHA-256 and " + std::to_string(rows.size()) +
                              " frames match"),
            std::string::npos)
      << verified.out;
}

}  // namespace
}  // namespace qmv
