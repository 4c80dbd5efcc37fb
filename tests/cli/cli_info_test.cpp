// End-to-end tests of `qmv2avi-cli info`: JSON and text output for generated recordings, and exit statuses.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using test::CliResult;
using test::slurp;

fs::path tmpDir() { return test::keptTestDir(QMV2AVI_TEST_TMP, "cli_info_test"); }

CliResult runCli(const std::string& arguments) {
  return test::runProgram(QMV2AVI_CLI_PATH, arguments, tmpDir());
}

std::string writeRecording(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = (tmpDir() / name).string();
  EXPECT_TRUE(gen::writeFile(path, bytes));
  return path;
}

// A realistic recording in a player executable: channel 1 at 7.5 fps with audio input 0,
// channel 4 at 30 fps in two picture sizes, channel 8 with audio but no video.
gen::Scenario wrappedScenario() {
  gen::BodyPlan plan;
  plan.header.systemName = "Lobby";
  plan.header.hour = 9;
  plan.header.languageCode = 2;
  plan.header.videoStandard = 1;
  plan.channels = {
      {.channel = 0, .formatCode = 18, .rateByte = 30, .audioInput = 0, .keyInterval = 4},
      {.channel = 3, .formatCode = 2, .rateByte = 120, .keyInterval = 10, .startWithNonKey = true}};
  plan.seconds = 2;
  plan.recordsPerBlock = 25;
  plan.startTime = 600;
  plan.reuseFrames = true;
  gen::Scenario s = gen::planScenario(plan);
  // Give channel 4 a second picture size late in the recording.
  for (auto& record : s.blocks.back().records) {
    if (record.type == gen::Record::Type::Video && record.channel == 3) record.formatCode = 20;
  }
  gen::ExecutableWrapper wrapper;
  wrapper.trailingSize = 100;
  s.wrapper = wrapper;
  return s;
}

struct ExpectedChannel {
  uint32_t frames = 0, keyFrames = 0;
  std::set<int> formatCodes;
};

std::map<int, ExpectedChannel> expectedChannels(const gen::Scenario& s) {
  std::map<int, ExpectedChannel> channels;
  for (const auto& block : s.blocks) {
    for (const auto& r : block.records) {
      if (r.type != gen::Record::Type::Video) continue;
      ExpectedChannel& c = channels[r.channel + 1];
      ++c.frames;
      if ((r.frameType & 0xF0) == 0x10) ++c.keyFrames;
      c.formatCodes.insert(r.formatCode);
    }
  }
  return channels;
}

std::string clock(int hour, uint32_t seconds) {
  return fmt::format("{:02d}:{:02d}:{:02d}", hour, seconds / 60, seconds % 60);
}

TEST(CliInfo, JsonDescribesWhatTheGeneratorWrote) {
  const gen::Scenario s = wrappedScenario();
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  const std::string path = writeRecording("wrapped.exe", rec.bytes);

  const CliResult run = runCli("info --json '" + path + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const json doc = json::parse(run.out);

  const uint32_t firstTime = s.blocks.front().baseTime + s.blocks.front().records.front().timeDelta;
  const uint32_t lastTime = s.blocks.back().baseTime + s.blocks.back().records.back().timeDelta;
  EXPECT_EQ(doc["systemName"], "Lobby");
  EXPECT_EQ(doc["version"], "1.2.5");
  EXPECT_EQ(doc["macAddress"], "02-3C-91-12-34-56");
  EXPECT_EQ(doc["languageVideo"], "02, NTSC");
  EXPECT_EQ(doc["recordedTime"], "2007.01.01 " + clock(9, firstTime) + " ~ " + clock(9, lastTime));
  EXPECT_EQ(doc["firstTime"], firstTime);
  EXPECT_EQ(doc["lastTime"], lastTime);
  EXPECT_EQ(doc["entryCount"], rec.layout.entryCount);
  EXPECT_EQ(doc["recordingStart"], rec.layout.recordingStart);
  EXPECT_EQ(doc["trailingSize"], 100);
  EXPECT_EQ(doc["videoMask"], (1 << 0) | (1 << 3));

  const auto expected = expectedChannels(s);
  ASSERT_EQ(doc["channels"].size(), expected.size());
  for (const json& channel : doc["channels"]) {
    const int number = channel["channel"];
    SCOPED_TRACE("channel " + std::to_string(number));
    ASSERT_EQ(expected.count(number), 1u);
    const ExpectedChannel& want = expected.at(number);
    EXPECT_EQ(channel["frames"], want.frames);
    EXPECT_EQ(channel["keyFrames"], want.keyFrames);
    EXPECT_EQ(channel["formatCodes"].get<std::set<int>>(), want.formatCodes);
    EXPECT_EQ(channel["skippedRecords"], 0);
    EXPECT_EQ(channel["rateByte"], s.header.channelRate[number - 1]);
  }
  EXPECT_EQ(doc["channels"][0]["audioSource"], 0);
  EXPECT_TRUE(doc["channels"][1]["audioSource"].is_null());
  EXPECT_EQ(expected.at(4).formatCodes, (std::set<int>{2, 20})) << "fixture lost its second picture size";
  EXPECT_LT(expected.at(4).keyFrames, expected.at(4).frames) << "fixture has no non-key frames";
}

TEST(CliInfo, TextShowsLabelsChannelsAndWrapper) {
  const gen::Scenario s = wrappedScenario();
  const gen::GeneratedRecording rec = gen::buildRecording(s);
  const std::string path = writeRecording("wrapped-text.exe", rec.bytes);

  const CliResult run = runCli("info '" + path + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto expected = expectedChannels(s);
  const std::string lines[] = {
      "System Name: Lobby\n",
      "System Version: 1.2.5\n",
      "MAC Address: 02-3C-91-12-34-56\n",
      "Language and VGA: 02, NTSC\n",
      "Recorded Time: 2007.01.01 09:",
      "Executable wrapper: recording at file position " + std::to_string(rec.layout.recordingStart) +
          ", 100 trailing bytes\n",
      "Channels with video: CH-01 CH-04\n",
      "CH-01: " + std::to_string(expected.at(1).frames) + " frames, " +
          std::to_string(expected.at(1).keyFrames) +
          " key frames, format 18 (352x240), 7.5 fps, audio input 0\n",
      "CH-04: " + std::to_string(expected.at(4).frames) + " frames, " +
          std::to_string(expected.at(4).keyFrames) +
          " key frames, format 2 (352x288), 20 (704x480), 30 fps, audio none\n",
  };
  for (const std::string& line : lines) {
    EXPECT_NE(run.out.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << run.out;
  }
}

TEST(CliInfo, RecordTooShortForItsHeadIsSkipped) {
  gen::Scenario s;
  gen::Record frame;
  frame.channel = 2;
  frame.data.assign(40, 0x11);
  s.blocks = {{0, {frame, frame, frame}}};
  gen::GeneratedRecording rec = gen::buildRecording(s);
  // The first record's index item now claims one word: too short for a 12-byte head.
  uint8_t* firstItem = rec.bytes.data() + rec.layout.blockPositions[0] + 32;
  firstItem[2] = 0;
  firstItem[3] = 1;
  const std::string path = writeRecording("short-record.qmv", rec.bytes);

  const CliResult run = runCli("info --json '" + path + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  const json channel = json::parse(run.out)["channels"].at(0);
  EXPECT_EQ(channel["channel"], 3);
  EXPECT_EQ(channel["frames"], 2);
  EXPECT_EQ(channel["skippedRecords"], 1);
}

TEST(CliInfo, ExitStatuses) {
  gen::Scenario s;
  s.blocks = {{0, {gen::Record{}}}};
  const std::string damaged =
      writeRecording("damaged.qmv", gen::applyDamage(gen::buildRecording(s), gen::Damage::BadTrailer));
  const std::string missing = (tmpDir() / "missing.qmv").string();

  struct Case {
    std::string arguments;
    int status;
    std::string inOut, inErr;
  };
  const Case cases[] = {
      {"--help", 0, "info", ""},
      {"info --help", 0, "--json", ""},
      {"--version", 0, "qmv2avi-cli", ""},
      {"", 64, "", "Usage: qmv2avi-cli"},
      {"info", 64, "", "Usage: qmv2avi-cli"},
      {"info --colour '" + missing + "'", 64, "", "Usage: qmv2avi-cli"},
      {"transmogrify x", 64, "", "Usage: qmv2avi-cli"},
      {"info '" + missing + "'", 2, "", missing + ": cannot open"},
      {"info --json '" + damaged + "'", 2, "",
       damaged + ": the file looks cut short or damaged: the recording's last 4 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("qmv2avi-cli " + c.arguments);
    const CliResult run = runCli(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.out.find(c.inOut), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
    if (c.status == 2) {
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one line: " << run.err;
    }
  }
}

}  // namespace
}  // namespace qmv
