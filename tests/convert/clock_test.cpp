// The recorder's clock in converted files, read back with libavformat and libavcodec only: picture and sound
// of one moment play together, recorded timing puts each frame inside its recorded second, gaps keep or
// close their length, and every output decodes without a complaint.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/generated_records.h"
#include "support/media_read_back.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::MediaReadBack;

// A marked picture is flat at luma 235; the test pattern averages near 115.
constexpr double kBrightLuma = 200;
// Half the click's level; the tone stays at kToneLevel.
constexpr int kClickThreshold = gen::kClickLevel / 2;
// Sample times compare to within a millisecond, except where AAC spreads an onset over a frame of 1024
// samples (0.128 s at 8 kHz).
constexpr double kPcmTolerance = 0.001;
constexpr double kAacTolerance = 1024.0 / 8000;
constexpr double kEpsilon = 1e-6;

struct Clock {
  const char* format;  // --format; avi is the default and is not passed
  const char* timing;  // --timing; declared is the default and is not passed
};

void PrintTo(const Clock& clock, std::ostream* os) { *os << clock.format << " " << clock.timing; }

std::string clockName(const ::testing::TestParamInfo<Clock>& info) {
  return std::string(info.param.format) + "_" + info.param.timing;
}

const Clock kClocks[] = {{"avi", "declared"}, {"avi", "recorded"}, {"mkv", "declared"},
                         {"mkv", "recorded"}, {"mp4", "declared"}, {"mp4", "recorded"}};

// What a video record of the plan is: its channel, recorded second and stream bytes' CRC.
struct PlannedFrame {
  uint32_t second = 0;
  bool key = false;
  uint32_t crc = 0;
};

// Each channel's video records in file order, from the scenario the recording was written from.
std::map<int, std::vector<PlannedFrame>> plannedFrames(const gen::Scenario& scenario) {
  std::map<int, std::vector<PlannedFrame>> frames;
  for (const gen::Block& block : scenario.blocks) {
    for (const gen::Record& r : block.records) {
      if (r.type != gen::Record::Type::Video) continue;
      const std::vector<uint8_t> stream = test::paddedToWords(r.data);
      frames[r.channel].push_back(PlannedFrame{block.baseTime + r.timeDelta, r.frameType == 0x10,
                                               test::crc32Of(stream.data(), stream.size())});
    }
  }
  return frames;
}

// The frames a pass-through output holds: those from the channel's first key frame on.
std::vector<PlannedFrame> keptFrames(const std::vector<PlannedFrame>& frames) {
  const auto firstKey =
      std::find_if(frames.begin(), frames.end(), [](const PlannedFrame& f) { return f.key; });
  return {firstKey, frames.end()};
}

uint32_t firstSecond(const gen::Scenario& scenario) {
  uint32_t first = UINT32_MAX;
  for (const gen::Block& block : scenario.blocks)
    for (const gen::Record& r : block.records)
      first = std::min<uint32_t>(first, block.baseTime + r.timeDelta);
  return first;
}

struct Conversion {
  std::string dir;
  test::CliResult result;
  std::string rejected;  // the option the CLI does not know yet, when it refused the command line
  // Channel (0-based) -> output path.
  std::map<int, std::string> outputs;
};

// Writes the scenario as rec.qmv in a fresh folder and converts it with the clock and extra arguments.
Conversion convert(const gen::Scenario& scenario, const Clock& clock, const std::string& extra = "") {
  Conversion c;
  c.dir = test::freshTestDir(QMV2AVI_TEST_TMP, "clock");
  EXPECT_TRUE(gen::writeRecordingFile(scenario, c.dir + "rec.qmv"));
  std::string args = "convert --frame-times --report " + test::quote(c.dir + "rec.report.json");
  std::vector<std::string> newOptions;
  if (std::string(clock.format) != "avi") {
    args += " --format " + std::string(clock.format);
    newOptions.push_back("--format");
  }
  if (std::string(clock.timing) != "declared") {
    args += " --timing " + std::string(clock.timing);
    newOptions.push_back("--timing");
  }
  if (!extra.empty()) {
    args += " " + extra;
    newOptions.push_back(extra.substr(0, extra.find(' ')));
  }
  c.result = test::runCli(args + " " + test::quote(c.dir + "rec.qmv"), c.dir);
  // A usage error that names one of the options this conversion needs: that feature has not landed yet.
  if (c.result.status == 64) {
    for (const std::string& option : newOptions) {
      const std::string bare = option.substr(2);
      if (c.result.err.find(bare) != std::string::npos) c.rejected = option + ": " + c.result.err;
    }
  }
  const std::string extension = std::string(".") + clock.format;
  for (const std::string& name : test::filesIn(c.dir, extension)) {
    const std::size_t underscore = name.rfind('_');
    if (underscore != std::string::npos) c.outputs[std::stoi(name.substr(underscore + 1))] = c.dir + name;
  }
  return c;
}

#define CONVERT_OR_SKIP(conversion)                                                                 \
  do {                                                                                              \
    if (!(conversion).rejected.empty()) GTEST_SKIP() << "not built yet: " << (conversion).rejected; \
    ASSERT_EQ((conversion).result.status, 0) << (conversion).result.err;                            \
  } while (false)

MediaReadBack readBack(const std::string& path) {
  std::optional<MediaReadBack> back = test::readBackMedia(path);
  EXPECT_TRUE(back) << path << " does not open";
  if (!back) return {};
  EXPECT_EQ(back->errors, std::vector<std::string>{}) << path << ": libavformat or libavcodec complained";
  EXPECT_EQ(back->pictures.size(), back->packets.size()) << path << ": every frame decodes to a picture";
  return *back;
}

double audioTolerance(const Clock& clock) {
  return std::string(clock.format) == "mp4" ? kAacTolerance : kPcmTolerance;
}

// --- Picture and sound of one moment ----------------------------------------------------------------

// CH-01: 7.5 fps whose first key frame comes 2 s after its audio starts; CH-03: 10 fps from a key frame.
// Second 5 is marked: bright pictures, and a click at the start of its audio.
gen::Scenario markedScenario() {
  gen::BodyPlan plan;
  plan.seconds = 8;
  plan.startTime = 300;
  plan.markSecond = 5;
  plan.channels = {
      {.channel = 0,
       .formatCode = 2,
       .rateByte = 30,
       .audioInput = 0,
       .keyInterval = 15,
       .firstKeySecond = 2},
      {.channel = 2, .formatCode = 18, .rateByte = 40, .audioInput = 1, .keyInterval = 10},
  };
  return gen::planScenario(plan);
}

class ClockSyncTest : public ::testing::TestWithParam<Clock> {};

TEST_P(ClockSyncTest, TheMarkedFrameAndItsClickPlayWithinOneFrameInterval) {
  const gen::Scenario scenario = markedScenario();
  const Conversion c = convert(scenario, GetParam());
  CONVERT_OR_SKIP(c);
  ASSERT_EQ(c.outputs.size(), 2u);
  for (const auto& [channel, path] : c.outputs) {
    SCOPED_TRACE(path);
    const MediaReadBack back = readBack(path);
    ASSERT_TRUE(back.hasAudio);
    const std::optional<double> bright = back.firstPictureAtLeast(kBrightLuma);
    const std::optional<double> click = back.firstAudioAtLeast(kClickThreshold);
    ASSERT_TRUE(bright) << "no bright picture";
    ASSERT_TRUE(click) << "no click";
    const double frameInterval = 4.0 / scenario.header.channelRate[std::size_t(channel)];
    EXPECT_LT(std::abs(*bright - *click), frameInterval)
        << "bright picture at " << *bright << " s, click at " << *click << " s";
    // MKV is read front to back: every cue is stored close to the pictures it is shown over.
    if (back.container.rfind("matroska", 0) == 0) EXPECT_LT(back.mostBehind, 3.0);
    // MP4 states each track's length: the text track ends with the last picture, not later.
    if (back.container.rfind("mov", 0) == 0) {
      const auto probed = test::probeMedia(path);
      ASSERT_TRUE(probed && probed->streams.size() == 3u);
      const auto time = [&](int64_t t, std::size_t i) {
        return double(t) * av_q2d(probed->streams[i].timeBase);
      };
      const auto pictures = probed->packetsOf(0);
      ASSERT_FALSE(pictures.empty());
      EXPECT_LE(time(probed->streams[2].duration, 2), time(pictures.back().pts, 0) + frameInterval + 0.001);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryContainerAndTiming, ClockSyncTest, ::testing::ValuesIn(kClocks), clockName);

// --- Where each frame and the first audio sample sit ------------------------------------------------

// CH-01 declared at 7.5 fps delivers 4, 12, 7 and 9 frames in turn; CH-02 at 15 fps with its own audio
// starts 3 s later than the recording.
gen::Scenario unevenScenario() {
  gen::BodyPlan plan;
  plan.seconds = 9;
  plan.startTime = 1800;
  plan.channels = {
      {.channel = 0,
       .formatCode = 2,
       .rateByte = 30,
       .audioInput = 0,
       .keyInterval = 12,
       .framesPerSecond = {4, 12, 7, 9}},
      {.channel = 1, .formatCode = 18, .rateByte = 60, .audioInput = 1, .keyInterval = 15, .startSecond = 3},
  };
  return gen::planScenario(plan);
}

class ClockPlacementTest : public ::testing::TestWithParam<Clock> {};

// Recorded: a frame recorded in second s lies in [s - s0, s - s0 + 1), the first of each second at its
// start, and a channel's audio starts at its own first second: files of both cameras share the zero s0.
// Declared: the k-th frame plays at k over the declared rate, whatever the delivery was.
TEST_P(ClockPlacementTest, FramesAndAudioSitWhereTheClockPutsThem) {
  const gen::Scenario scenario = unevenScenario();
  const Conversion c = convert(scenario, GetParam());
  CONVERT_OR_SKIP(c);
  const bool recorded = std::string(GetParam().timing) == "recorded";
  const uint32_t s0 = firstSecond(scenario);
  const auto planned = plannedFrames(scenario);
  const std::map<int, uint32_t> audioStarts = {{0, 1800}, {1, 1803}};
  ASSERT_EQ(c.outputs.size(), 2u);
  for (const auto& [channel, path] : c.outputs) {
    SCOPED_TRACE(path);
    const MediaReadBack back = readBack(path);
    const std::vector<PlannedFrame> kept = keptFrames(planned.at(channel));
    ASSERT_EQ(back.packets.size(), kept.size());
    const double declaredInterval = 4.0 / scenario.header.channelRate[std::size_t(channel)];
    // An AVI stream has one constant rate: at 7.5 fps an odd second begins between two positions, and
    // its first frame takes the next one.
    const double firstOfSecondTolerance =
        std::string(GetParam().format) == "avi" ? declaredInterval : kPcmTolerance;
    uint32_t previousSecond = UINT32_MAX;
    for (std::size_t k = 0; k < kept.size(); ++k) {
      SCOPED_TRACE("frame " + std::to_string(k));
      const test::ReadBackPacket& p = back.packets[k];
      ASSERT_EQ(p.crc, kept[k].crc) << "the frames in recorded order, bit-exact";
      if (recorded) {
        const double start = double(kept[k].second - s0);
        EXPECT_GE(p.time, start - kEpsilon);
        EXPECT_LT(p.time, start + 1 - kEpsilon);
        if (kept[k].second != previousSecond) {
          EXPECT_NEAR(p.time, start, firstOfSecondTolerance) << "first of its second";
        }
      } else {
        EXPECT_NEAR(p.time, double(k) * declaredInterval, kPcmTolerance);
      }
      previousSecond = kept[k].second;
    }
    ASSERT_TRUE(back.hasAudio);
    const std::optional<double> firstSound = back.firstAudioAtLeast(1);
    ASSERT_TRUE(firstSound);
    const double expected = recorded ? double(audioStarts.at(channel) - s0) : 0.0;
    EXPECT_NEAR(*firstSound, expected, audioTolerance(GetParam()));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryContainerAndTiming, ClockPlacementTest, ::testing::ValuesIn(kClocks),
                         clockName);

// --- Gaps -------------------------------------------------------------------------------------------

constexpr int kGapAt = 5;
constexpr int kGapSeconds = 20 * 60;

// 10 fps with audio for 5 s, nothing for 20 minutes, then 5 s more.
gen::Scenario gapScenario() {
  gen::BodyPlan plan;
  plan.seconds = 10;
  plan.startTime = 60;
  plan.gapAt = kGapAt;
  plan.gapSeconds = kGapSeconds;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 40, .audioInput = 0, .keyInterval = 10}};
  return gen::planScenario(plan);
}

// Subtitle cues of an output: the .srt beside it, if any, and the subtitle track inside it.
std::string subtitleText(const std::string& path, const MediaReadBack& back) {
  std::string text = test::slurp(fs::path(path).replace_extension(".srt"));
  for (const std::string& cue : back.subtitles) text += cue + "\n";
  return text;
}

// Whether some member named like "gap" holds the gap's real length: 1200 seconds or "00:20:00".
bool listsGap(const json& j, bool underGap = false) {
  if (underGap && j.is_number() && j.get<double>() == kGapSeconds) return true;
  if (underGap && j.is_string() && j.get<std::string>().find("00:20:00") != std::string::npos) return true;
  if (j.is_array())
    return std::any_of(j.begin(), j.end(), [&](const json& e) { return listsGap(e, underGap); });
  if (!j.is_object()) return false;
  for (const auto& [key, value] : j.items()) {
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char ch) { return std::tolower(ch); });
    if (listsGap(value, underGap || lower.find("gap") != std::string::npos)) return true;
  }
  return false;
}

struct GapCase {
  Clock clock;
  int maxGap;  // --max-gap, 0: not given
};

void PrintTo(const GapCase& gap, std::ostream* os) {
  PrintTo(gap.clock, os);
  *os << " --max-gap " << gap.maxGap;
}

class ClockGapTest : public ::testing::TestWithParam<GapCase> {};

// Recorded timing keeps the 20 minutes: the last picture before the gap stays and the audio is silent
// until the records go on. --max-gap 5 closes it to 5 s, with a cue and a report entry of its real length.
TEST_P(ClockGapTest, AGapKeepsItsLengthOrClosesWithACue) {
  const GapCase& gap = GetParam();
  const gen::Scenario scenario = gapScenario();
  const Conversion c =
      convert(scenario, gap.clock, gap.maxGap > 0 ? "--max-gap " + std::to_string(gap.maxGap) : "");
  CONVERT_OR_SKIP(c);
  ASSERT_EQ(c.outputs.size(), 1u);
  const std::string path = c.outputs.begin()->second;
  const MediaReadBack back = readBack(path);
  const double shown = gap.maxGap > 0 ? gap.maxGap : kGapSeconds;

  const auto after = std::find_if(back.packets.begin(), back.packets.end(),
                                  [](const test::ReadBackPacket& p) { return p.time >= kGapAt; });
  ASSERT_NE(after, back.packets.end());
  ASSERT_NE(after, back.packets.begin());
  EXPECT_NEAR(after->time, kGapAt + shown, kEpsilon) << "the first frame after the gap";
  EXPECT_LT(std::prev(after)->time, kGapAt) << "the last frame before it";

  // Sound up to the gap, silence through it, sound again after it.
  ASSERT_TRUE(back.hasAudio);
  const double tolerance = audioTolerance(gap.clock);
  const auto levelAt = [&](double from, double to) {
    int peak = 0;
    for (double t = from; t < to; t += 1.0 / back.sampleRate) {
      const long long i = std::llround((t - back.audioStart) * back.sampleRate);
      if (i >= 0 && std::size_t(i) < back.samples.size())
        peak = std::max(peak, std::abs(int(back.samples[std::size_t(i)])));
    }
    return peak;
  };
  EXPECT_GT(levelAt(kGapAt - 1, kGapAt - tolerance), gen::kToneLevel / 2);
  EXPECT_LT(levelAt(kGapAt + tolerance, kGapAt + shown - tolerance), 64) << "silence in the gap";
  EXPECT_GT(levelAt(kGapAt + shown + tolerance, kGapAt + shown + 1), gen::kToneLevel / 2);

  // MKV is read front to back: the cue before the gap is stored before the gap's silence, not after it.
  if (back.container.rfind("matroska", 0) == 0) EXPECT_LT(back.mostBehind, 3.0);

  const std::string cues = subtitleText(path, back);
  const json report = json::parse(test::slurp(c.dir + "rec.report.json"), nullptr, false);
  if (gap.maxGap > 0) {
    EXPECT_NE(cues.find("[gap 00:20:00]"), std::string::npos) << cues.substr(0, 2000);
    EXPECT_TRUE(listsGap(report)) << "the report lists the closed gap";
  } else {
    EXPECT_EQ(cues.find("[gap "), std::string::npos) << "a gap kept in full needs no cue";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryContainer, ClockGapTest,
    ::testing::Values(GapCase{{"avi", "recorded"}, 0}, GapCase{{"avi", "recorded"}, 5},
                      GapCase{{"mkv", "recorded"}, 0}, GapCase{{"mkv", "recorded"}, 5},
                      GapCase{{"mp4", "recorded"}, 0}, GapCase{{"mp4", "recorded"}, 5}),
    [](const ::testing::TestParamInfo<GapCase>& info) {
      return clockName({info.param.clock, info.index}) + "_max_gap_" + std::to_string(info.param.maxGap);
    });

// The declared clock joins a pause up: the user is told where it was and how to keep it, the subtitles mark
// the joint, and the pause is not taken for a wrong frame rate.
TEST(ClockPauseTest, TheDeclaredClockNamesAndMarksAJoinedPause) {
  for (const char* format : {"avi", "mkv", "mp4"}) {
    SCOPED_TRACE(format);
    const Conversion declared = convert(gapScenario(), Clock{format, "declared"});
    ASSERT_EQ(declared.result.status, 0) << declared.result.err;
    ASSERT_EQ(declared.outputs.size(), 1u);
    const std::string said = declared.result.out + declared.result.err;
    const std::string pause = "no pictures 00:01:05\u201300:21:05";
    EXPECT_NE(
        said.find("CH-01: " + pause + ", joined up at the declared rate; --timing recorded keeps the pause"),
        std::string::npos)
        << said;
    EXPECT_EQ(said.find("delivered"), std::string::npos) << "a pause is no wrong rate: " << said;
    const std::string path = declared.outputs.begin()->second;
    const std::string cues = subtitleText(path, readBack(path));
    EXPECT_NE(cues.find("00:21:05 [joined up: " + pause + "]"), std::string::npos) << cues.substr(0, 2000);

    const Conversion recorded = convert(gapScenario(), Clock{format, "recorded"});
    ASSERT_EQ(recorded.result.status, 0) << recorded.result.err;
    EXPECT_EQ((recorded.result.out + recorded.result.err).find("joined up"), std::string::npos);
    const std::string kept = recorded.outputs.begin()->second;
    EXPECT_EQ(subtitleText(kept, readBack(kept)).find("joined up"), std::string::npos);
  }
}

}  // namespace
}  // namespace qmv
