// The recorded clock as a sender may set it: index times and frame counts that no recorder writes are
// damage with a reason, never a giant output; salvage keeps their records in a sound place; what a
// recording may hold stays bounded by the rules in recording/clock_rules.h. Recordings of a few KiB, laid
// block by block.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "convert/conversion_context.h"
#include "convert/conversion_worker.h"
#include "output/container.h"
#include "recording/byte_source.h"
#include "recording/clock_rules.h"
#include "recording/recording_file.h"
#include "support/cli_run.h"
#include "support/generated_records.h"
#include "support/media_read_back.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A tiny MPEG-4 picture: a frame's bytes only travel, pass-through never decodes them.
gen::Record frame(int channel, bool key) {
  return test::video(channel, key, {0x00, 0x00, 0x01, 0xB6, 0x10, 0x20, 0x30, 0x40});
}
gen::Record sound(int input) { return test::audio(input, std::vector<uint8_t>(400, 0x11)); }
gen::Record aux() {
  gen::Record r;
  r.type = gen::Record::Type::Aux;
  r.data.assign(8, 1);
  return r;
}

gen::Block block(uint32_t baseTime, std::vector<gen::Record> records) {
  return gen::Block{baseTime, std::move(records)};
}

// Hour 13 of 2007-01-01; CH-01 and CH-02 at 30 fps, both with audio input 1 when `audio`.
gen::Scenario scenario(std::vector<gen::Block> blocks, bool audio = true) {
  gen::Scenario s;
  s.header.hour = 13;
  if (audio) s.header.audioSource[0] = s.header.audioSource[1] = 0;
  s.blocks = std::move(blocks);
  return s;
}

// CH-01's second record `late` seconds after its first.
gen::Scenario lateSecond(uint32_t late, bool twoChannels = false) {
  std::vector<gen::Record> first{frame(0, true), sound(0)}, second{frame(0, false), sound(0)};
  if (twoChannels) first.push_back(frame(1, true)), second.push_back(frame(1, false));
  return scenario({block(0, first), block(late, second)});
}

// CH-01 with `count` frames in its first second (rate byte `rateByte`), then one frame at `lastSecond`.
gen::Scenario crowdedSecond(int count, uint8_t rateByte, uint32_t lastSecond) {
  gen::Block crowded{0, {}};
  for (int i = 0; i < count; ++i) crowded.records.push_back(frame(0, i == 0));
  gen::Scenario s = scenario({crowded, block(lastSecond, {frame(0, false)})}, false);
  s.header.channelRate[0] = rateByte;
  return s;
}

struct Outcome {
  std::string dir;
  test::CliResult result;
  uint64_t outputBytes = 0;  // every file the run wrote
  uint64_t inputBytes = 0;
};

Outcome convert(const std::string& name, const gen::Scenario& s, const std::string& args) {
  Outcome run;
  run.dir = test::freshTestDir(QMV2AVI_TEST_TMP, "hostile-clock-" + name);
  const std::string input = run.dir + "in/rec.qmv";
  fs::create_directories(run.dir + "in");
  fs::create_directories(run.dir + "out");
  EXPECT_TRUE(gen::writeRecordingFile(s, input));
  run.inputBytes = fs::file_size(input);
  run.result = test::runCli(
      "convert " + args + " -o " + test::quote(run.dir + "out") + " " + test::quote(input), run.dir);
  for (const auto& entry : fs::recursive_directory_iterator(run.dir + "out"))
    if (entry.is_regular_file()) run.outputBytes += entry.file_size();
  return run;
}

// The recorded clock, and the rest of the command line.
Outcome convertRecorded(const std::string& name, const gen::Scenario& s, const std::string& args) {
  return convert(name, s, "--timing recorded " + args);
}

// --- Times outside what a recording can span, and rates no camera records --------------------------

struct DamageCase {
  const char* name;
  gen::Scenario recording;
  const char* args;
  int status;          // 2 refused, 4 salvaged, 0 whole
  const char* reason;  // in the refusal or the salvage line; empty: none expected
  uint64_t maxOutput;  // bytes
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class HostileClockDamage : public ::testing::TestWithParam<DamageCase> {};

// Two records an hour and more apart cost a sender a few KiB: past the header's hour plus its overrun the
// file is refused (or under --salvage converted with the late records at their neighbour's time), and a
// time just inside the rule gives a file no longer than the rule allows. The same for a second crowded with
// frames: more than a camera records is damage, under --salvage the file's rate stays at the maximum.
TEST_P(HostileClockDamage, IsRefusedOrKeptInBounds) {
  const DamageCase& c = GetParam();
  const Outcome run = convert(c.name, c.recording, c.args);
  std::error_code ignored;
  fs::remove_all(run.dir + "out", ignored);  // up to 140 MB
  EXPECT_EQ(run.result.status, c.status) << run.result.err;
  EXPECT_LT(run.inputBytes, 100u * 1024);
  EXPECT_LE(run.outputBytes, c.maxOutput) << "from " << run.inputBytes << " input bytes";
  std::string said = run.result.out + run.result.err;
  // A salvaged file's damage is told by info --salvage (convert gives the salvage line's counts).
  if (c.status == 4)
    said += test::runCli("info --salvage " + test::quote(run.dir + "in/rec.qmv"), run.dir).out;
  if (*c.reason != '\0') EXPECT_NE(said.find(c.reason), std::string::npos) << said;
  if (c.status == 2) {
    EXPECT_EQ(run.outputBytes, 0u);
    EXPECT_NE(run.result.err.find("try --salvage"), std::string::npos) << run.result.err;
  }
}

constexpr uint64_t kKiB = 1024, kMiB = 1024 * 1024;
constexpr const char* kPastTheHour = "a recording lies within its hour and at most 600 s past it";
constexpr const char* kTooManyFrames = "more than 64 frames in the second 00:00";

INSTANTIATE_TEST_SUITE_P(
    Rules, HostileClockDamage,
    ::testing::Values(
        DamageCase{"last_time_avi", lateSecond(65535), "--timing recorded", 2, kPastTheHour, 0},
        DamageCase{"last_time_two_channels_mkv", lateSecond(65535, true), "--timing recorded --format mkv", 2,
                   kPastTheHour, 0},
        DamageCase{"just_past_the_rule_mp4", lateSecond(kLatestTime + 1), "--timing recorded --format mp4", 2,
                   kPastTheHour, 0},
        // Salvage: the late records take the time of the entry before them, so the file lasts a second.
        DamageCase{"last_time_salvaged", lateSecond(65535, true), "--timing recorded --salvage", 4,
                   "entries timed past the hour take the time of the entry before them", 200 * kKiB},
        // The rule's last second is a recording's: its pause is real time, bounded by the rule (70 minutes
        // of 8 kHz PCM and 30 positions a second, in each of two files).
        DamageCase{"last_allowed_second", lateSecond(kLatestTime, true), "--timing recorded", 0, "",
                   2 * 72 * kMiB},
        DamageCase{"crowded_second_avi", crowdedSecond(200, 120, 3599), "--timing recorded", 2,
                   kTooManyFrames, 0},
        DamageCase{"rate_byte_0_mkv", crowdedSecond(3000, 0, 1), "--timing recorded --format mkv", 2,
                   kTooManyFrames, 0},
        DamageCase{"crowded_declared_clock_mp4", crowdedSecond(65, 120, 2), "--format mp4", 2, kTooManyFrames,
                   0},
        // Salvage keeps every frame; the file's rate stays at 64 fps, and the hour holds at most 64 (empty)
        // positions a second.
        DamageCase{"crowded_second_salvaged", crowdedSecond(200, 120, 3599), "--timing recorded --salvage", 4,
                   "at 64 fps", 8 * kMiB},
        DamageCase{"rate_byte_0_salvaged_mkv", crowdedSecond(3000, 0, 1), "--salvage --format mkv", 4,
                   "at 64 fps", 200 * kKiB},
        DamageCase{"most_frames_a_camera_records", crowdedSecond(64, 120, 3), "--timing recorded", 0,
                   "at 64 fps", 64 * kKiB}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

// --- Auxiliary records hold no pause open --------------------------------------------------------------

// Auxiliary records every 5 s over an hour's pause: the pause is still one, --max-gap closes it and the
// report lists it, and the files stay small.
TEST(HostileClock, AuxiliaryRecordsKeepNoPauseFromClosing) {
  gen::Scenario s = lateSecond(3500, true);
  gen::Block last = s.blocks.back();
  s.blocks.pop_back();
  for (uint32_t t = 5; t < 3500; t += 5) s.blocks.push_back(block(t, {aux()}));
  s.blocks.push_back(last);
  const Outcome run = convertRecorded("aux-pause", s, "--max-gap 10 --report");
  ASSERT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_LE(run.outputBytes, 2 * kMiB);
  const json report = json::parse(test::slurp(run.dir + "out/rec.report.json"));
  ASSERT_EQ(report["closedGaps"].size(), 1u) << report["closedGaps"].dump();
  EXPECT_EQ(report["closedGaps"][0]["seconds"], 3499);
  EXPECT_EQ(report["closedGaps"][0]["closedTo"], 10);
  EXPECT_NE(test::slurp(run.dir + "out/rec_00.srt").find("[gap 00:58:19]"), std::string::npos);
}

// --- A stop request ends a run of empty positions ------------------------------------------------------

// Requests a stop as the pass reaches entry `at` (after the pass looked for one), as a signal arriving then
// would: what that entry starts must end on its own.
class StopAtEntry final : public ProgressSink {
 public:
  StopAtEntry(std::atomic<bool>& stop, uint32_t at) : stop_(stop), at_(at) {}
  void progressRange(uint32_t) override {}
  void progressPosition(uint32_t position) override {
    if (position == at_ + 1) stop_ = true;
  }
  void conversionDone(const ConversionReport&) override {}

 private:
  std::atomic<bool>& stop_;
  uint32_t at_;
};

// A channel without audio pauses for 4000 s at 30 fps: the 120,000 empty positions before its second frame
// are not written once a stop request came, nor is the frame (it would land before its time).
TEST(HostileClock, AStopRequestEndsARunOfEmptyPositions) {
  for (const Container container : {Container::kAvi, Container::kMkv, Container::kMp4}) {
    SCOPED_TRACE(containerExtension(container));
    const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "hostile-clock-stop");
    RecordingFile recording;
    ASSERT_TRUE(recording
                    .open(makeMemorySource(
                        gen::buildRecording(
                            scenario({block(0, {frame(0, true)}), block(4000, {frame(0, false)})}, false))
                            .bytes,
                        "stop.qmv"))
                    .ok());
    std::atomic<bool> stop{false};
    StopAtEntry progress(stop, 2);  // entries: frame, block, frame, block
    ConversionContext context;
    context.settings.selectedChannels = 1;
    context.settings.timing = Timing::kRecorded;
    context.settings.container = container;
    context.settings.destinationDir = dir;
    context.settings.baseName = "stop";
    context.progress = &progress;
    context.stop = &stop;
    const ConversionReport report = runConversion(recording, context);
    EXPECT_TRUE(report.stopped);
    EXPECT_FALSE(report.outputError);
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].frames, 1u);
    EXPECT_LE(report.files[0].positions, 1u);
  }
}

// --- A clock that steps back -----------------------------------------------------------------------

struct StepBack {
  const char* format;
  uint32_t from;  // the channel's first second; then from - back, and one second after each
  uint32_t back;
};

void PrintTo(const StepBack& c, std::ostream* os) { *os << c.format << " " << c.from << " back " << c.back; }

class HostileClockStepBack : public ::testing::TestWithParam<StepBack> {};

// Seconds parsed from "HH:MM:SS,mmm".
double srtSeconds(const std::string& text) {
  return std::stoi(text.substr(0, 2)) * 3600.0 + std::stoi(text.substr(3, 2)) * 60.0 +
         std::stoi(text.substr(6, 2)) + std::stoi(text.substr(9, 3)) / 1000.0;
}

// Frames after a step back take the next free positions: no two frames share a time in any container,
// the file stays bit-exact, and no subtitle cue ends before it starts or overlaps the next.
TEST_P(HostileClockStepBack, NoTwoFramesOneTimeAndNoCueRunsBackwards) {
  const StepBack& c = GetParam();
  const uint32_t to = c.from - c.back;
  const gen::Scenario s =
      scenario({block(c.from, {frame(0, true), sound(0)}), block(to, {frame(0, false), sound(0)}),
                block(to + 1, {frame(0, false), sound(0)}), block(to + 2, {frame(0, false), sound(0)})});
  const Outcome run =
      convertRecorded(std::string("step-back-") + c.format, s, std::string("--report --format ") + c.format);
  ASSERT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(test::runCli("verify " + test::quote(run.dir + "out/rec.report.json"), run.dir).status, 0);

  const std::optional<test::MediaReadBack> back =
      test::readBackMedia(run.dir + "out/rec_00." + std::string(c.format));
  ASSERT_TRUE(back);
  std::vector<double> times;
  for (const test::ReadBackPacket& p : back->packets)
    if (p.size > 0) times.push_back(p.time);
  ASSERT_EQ(times.size(), 4u);
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]) << "frame " << i;

  std::istringstream srt(test::slurp(run.dir + "out/rec_00.srt"));
  double previousEnd = 0;
  int cues = 0;
  for (std::string line; std::getline(srt, line);) {
    const std::size_t arrow = line.find(" --> ");
    if (arrow == std::string::npos) continue;
    const double start = srtSeconds(line.substr(0, arrow)), end = srtSeconds(line.substr(arrow + 5));
    EXPECT_LT(start, end) << line;
    EXPECT_GE(start, previousEnd) << line;
    previousEnd = end;
    ++cues;
  }
  EXPECT_EQ(cues, 4);
}

INSTANTIATE_TEST_SUITE_P(Containers, HostileClockStepBack,
                         ::testing::Values(StepBack{"avi", 30, 10}, StepBack{"mkv", 30, 10},
                                           StepBack{"mp4", 30, 10}, StepBack{"avi", 30, 1},
                                           StepBack{"mp4", 30, 1}),
                         [](const ::testing::TestParamInfo<StepBack>& info) {
                           return std::string(info.param.format) + "_back_" + std::to_string(info.param.back);
                         });

}  // namespace
}  // namespace qmv
