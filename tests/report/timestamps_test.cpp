// Recorded time, the worker's per-record events, subtitle and frame-log files, and the timing check.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "convert/conversion_worker.h"
#include "convert/rate_check.h"
#include "convert/recorded_time.h"
#include "report/timestamp_files.h"
#include "support/generated_records.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using gen::Record;

using test::slurp;

std::string scratchDir() { return test::freshTestDir(QMV2AVI_TEST_TMP, "timestamps"); }

RecordingFile openBytes(std::vector<uint8_t> bytes) {
  RecordingFile recording;
  Status opened = recording.open(makeMemorySource(std::move(bytes), "generated"));
  EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
  return recording;
}

ConversionReport convert(const RecordingFile& recording, const std::string& dir, uint32_t channels,
                         ConversionObserver* observer) {
  ConversionContext context;
  context.settings.selectedChannels = channels;
  context.settings.destinationDir = dir;
  context.settings.baseName = "rec";
  context.observer = observer;
  return runConversion(recording, context);
}

using test::audio;
using test::paddedToWords;
using test::randomBytes;
using test::video;

SystemInfo dated(uint16_t year, uint8_t month, uint8_t day, uint8_t hour) {
  SystemInfo info;
  info.year = year, info.month = month, info.day = day, info.hour = hour;
  return info;
}

// --- recorded time ---

TEST(RecordedTimeTest, SecondsAfterTheHourRollOverByTheCalendar) {
  struct Case {
    SystemInfo info;
    uint32_t time;
    const char* expected;
  };
  const Case cases[] = {
      {dated(2007, 5, 1, 13), 5, "2007-05-01 13:00:05"},
      {dated(2007, 5, 1, 13), 3599, "2007-05-01 13:59:59"},
      {dated(2007, 5, 1, 13), 3600, "2007-05-01 14:00:00"},    // past the hour
      {dated(2007, 5, 1, 23), 3600, "2007-05-02 00:00:00"},    // past midnight
      {dated(2007, 4, 30, 23), 3661, "2007-05-01 00:01:01"},   // 30-day month
      {dated(2007, 12, 31, 23), 3600, "2008-01-01 00:00:00"},  // new year
      {dated(2008, 2, 28, 23), 3600, "2008-02-29 00:00:00"},   // leap year
      {dated(2007, 2, 28, 23), 3600, "2007-03-01 00:00:00"},
      {dated(2100, 2, 28, 23), 3600, "2100-03-01 00:00:00"},  // century, not a leap year
      {dated(2000, 2, 28, 23), 3600, "2000-02-29 00:00:00"},  // 400th year, a leap year
      {dated(2007, 5, 1, 0), 65535, "2007-05-01 18:12:15"},   // the largest index time
      {dated(2007, 12, 31, 23), 65535, "2008-01-01 17:12:15"},
      // Header dates that name no real day still give a time.
      {dated(2007, 0, 0, 0), 0, "2007-01-01 00:00:00"},
      {dated(2007, 13, 1, 0), 0, "2007-01-01 00:00:00"},
      {dated(2007, 4, 31, 0), 0, "2007-05-01 00:00:00"},
      {dated(2007, 5, 1, 25), 0, "2007-05-02 01:00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(recordedTimeText(c.info, c.time), c.expected)
        << int(c.info.year) << "-" << int(c.info.month) << "-" << int(c.info.day) << " " << int(c.info.hour)
        << " + " << c.time;
  }
}

// --- the worker's events ---

struct RecordingObserver : ConversionObserver {
  struct Sample {
    VideoSampleEvent event;
    std::vector<uint8_t> bytes;
  };
  std::vector<std::pair<int, std::string>> opened;
  std::vector<Sample> samples;
  std::vector<DroppedFrameEvent> dropped;
  std::vector<AudioRecordEvent> audio;
  std::vector<SkippedRecordEvent> skipped;

  void outputOpened(int channel, const std::string& path) override { opened.emplace_back(channel, path); }
  void videoSample(const VideoSampleEvent& e) override {
    samples.push_back({e, std::vector<uint8_t>(e.data, e.data + e.size)});
  }
  void frameDropped(const DroppedFrameEvent& e) override { dropped.push_back(e); }
  void audioRecord(const AudioRecordEvent& e) override { audio.push_back(e); }
  void recordSkipped(const SkippedRecordEvent& e) override { skipped.push_back(e); }
};

// A wrapped recording (so recordingStart is not 0) with a frame before the key frame, audio,
// an unselected channel and a record whose wordCount overruns its extent.
struct EventScenario {
  gen::Scenario scenario;
  gen::GeneratedRecording generated;
  EventScenario() {
    scenario.wrapper = gen::ExecutableWrapper{};
    scenario.header.audioSource[0] = 1;
    scenario.header.month = 5, scenario.header.hour = 13;
    Record clipped = video(0, false, randomBytes(24, 4));
    clipped.wordCountOverride = 500;  // far more than its 6 words
    clipped.timeDelta = 1;
    Record late = video(0, false, randomBytes(12, 6));
    late.timeDelta = 1;
    gen::Block b1{100,
                  {video(0, false, randomBytes(20, 1)), video(0, true, randomBytes(30, 2), 2, 2),
                   audio(1, randomBytes(16, 3)), video(1, true, randomBytes(8, 5)), clipped,
                   audio(1, randomBytes(8, 7))}};
    gen::Block b2{3600, {late}};  // entries: b1's six records, its own entry, then entry 7
    scenario.blocks = {b1, b2};
    generated = gen::buildRecording(scenario);
  }
  // Record i (file order) as the worker reports it: its absolute offset.
  uint64_t offsetOf(std::size_t i) const {
    return uint64_t(generated.layout.recordingStart) + generated.layout.recordPositions.at(i);
  }
};

TEST(ConversionObserverTest, EventsFollowTheGeneratedLayout) {
  EventScenario s;
  ASSERT_NE(s.generated.layout.recordingStart, 0u);
  RecordingFile recording = openBytes(s.generated.bytes);
  const std::string dir = scratchDir();
  RecordingObserver observer;
  const ConversionReport report = convert(recording, dir, 0b1, &observer);
  ASSERT_FALSE(report.outputError);
  ASSERT_EQ(report.warnings.size(), 1u);  // the skipped-record event keeps its warning

  ASSERT_EQ(observer.opened.size(), 1u);
  EXPECT_EQ(observer.opened[0], std::make_pair(0, dir + "rec_00.avi"));

  ASSERT_EQ(observer.dropped.size(), 1u);
  EXPECT_EQ(observer.dropped[0].channel, 0);
  EXPECT_EQ(observer.dropped[0].entry, 0u);
  EXPECT_EQ(observer.dropped[0].sourceOffset, s.offsetOf(0));
  EXPECT_EQ(observer.dropped[0].time, 100);
  EXPECT_EQ(observer.dropped[0].position, 0);  // the first record keeps position 0, as an empty sample

  // Pad words are not stream bytes.
  struct Expected {
    uint32_t entry;
    std::size_t record;
    uint16_t time;
    bool key;
    int64_t position;
    std::vector<uint8_t> bytes;
  };
  const Expected expected[] = {{1, 1, 100, true, 1, paddedToWords(randomBytes(30, 2))},
                               {4, 4, 101, false, 2, randomBytes(24, 4)},
                               {7, 6, 3601, false, 3, randomBytes(12, 6)}};
  ASSERT_EQ(observer.samples.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const VideoSampleEvent& e = observer.samples[i].event;
    SCOPED_TRACE("sample " + std::to_string(i));
    EXPECT_EQ(e.channel, 0);
    EXPECT_EQ(e.entry, expected[i].entry);
    EXPECT_EQ(e.sourceOffset, s.offsetOf(expected[i].record));
    EXPECT_EQ(e.time, expected[i].time);
    EXPECT_EQ(e.key, expected[i].key);
    EXPECT_EQ(e.position, expected[i].position);
    EXPECT_EQ(observer.samples[i].bytes, expected[i].bytes);
    EXPECT_TRUE(e.passThrough);
  }

  // IMA: 8 samples per word, positions continuing from record to record.
  ASSERT_EQ(observer.audio.size(), 2u);
  EXPECT_EQ(observer.audio[0].channel, 0);
  EXPECT_EQ(observer.audio[0].entry, 2u);
  EXPECT_EQ(observer.audio[0].sourceOffset, s.offsetOf(2));
  EXPECT_EQ(observer.audio[0].firstSample, 0);
  EXPECT_EQ(observer.audio[0].samples, 32u);
  EXPECT_EQ(observer.audio[1].entry, 5u);
  EXPECT_EQ(observer.audio[1].firstSample, 32);
  EXPECT_EQ(observer.audio[1].samples, 16u);

  ASSERT_EQ(observer.skipped.size(), 1u);
  EXPECT_EQ(observer.skipped[0].entry, 4u);
  EXPECT_EQ(observer.skipped[0].sourceOffset, s.offsetOf(4));
  EXPECT_EQ(observer.skipped[0].channel, 0);
  EXPECT_TRUE(observer.skipped[0].clipped);
  EXPECT_NE(report.warnings[0].find(observer.skipped[0].reason), std::string::npos)
      << observer.skipped[0].reason;
}

TEST(ConversionObserverTest, FrameLogRowsMatchTheSourceRecords) {
  EventScenario s;
  RecordingFile recording = openBytes(s.generated.bytes);
  const std::string dir = scratchDir();
  FrameLogFiles logs(recording.info());
  RecordingObserver events;
  ObserverFanOut both;
  both.add(&logs);
  both.add(&events);
  const ConversionReport report = convert(recording, dir, 0b1, &both);
  ASSERT_FALSE(report.outputError);
  ASSERT_TRUE(logs.finish(ConversionReport{}));
  EXPECT_EQ(logs.files(), std::vector<std::string>{dir + "rec_00.csv"});
  EXPECT_EQ(events.samples.size(), 3u);  // the fan-out hands every event on

  const std::string expected =
      "position,recorded_time,key_frame,bytes,source_offset\n"
      "1,2007-05-01 13:01:40,1,32," +
      std::to_string(s.offsetOf(1)) + "\n" + "2,2007-05-01 13:01:41,0,24," + std::to_string(s.offsetOf(4)) +
      "\n" + "3,2007-05-01 14:00:01,0,12," + std::to_string(s.offsetOf(6)) + "\n";
  EXPECT_EQ(slurp(dir + "rec_00.csv"), expected);
}

// --- subtitles ---

struct SubtitleCase {
  const char* name;
  uint16_t year;
  uint8_t month, day, hour;
  uint32_t startTime;
  std::array<const char*, 3> texts;
};

class SubtitleTest : public ::testing::TestWithParam<SubtitleCase> {};

// 7.5 fps for 3 s is 22 frames: 0-7 in the first second, 8-14 in the second, 15-21 in the third;
// the first record takes position 0, so the seconds begin at positions 0, 8 and 15, and the last
// frame ends at position 22 (22 / 7.5 = 2.933 s).
TEST_P(SubtitleTest, OneCuePerRecordedSecondAtItsFirstSample) {
  const SubtitleCase& c = GetParam();
  gen::BodyPlan plan;
  plan.header.year = c.year, plan.header.month = c.month, plan.header.day = c.day, plan.header.hour = c.hour;
  plan.channels = {{0, 2, 30, -1, 6}, {2, 2, 120, -1, 6}};
  plan.seconds = 3;
  plan.startTime = c.startTime;
  plan.reuseFrames = true;
  RecordingFile recording = openBytes(gen::buildRecording(gen::planScenario(plan)).bytes);
  const std::string dir = scratchDir();
  SubtitleFiles subtitles(recording.info());
  const ConversionReport report = convert(recording, dir, 0b1, &subtitles);
  ASSERT_FALSE(report.outputError);
  ASSERT_TRUE(subtitles.finish(report));
  EXPECT_EQ(subtitles.files(), std::vector<std::string>{dir + "rec_00.srt"});
  EXPECT_FALSE(fs::exists(dir + "rec_02.srt"));  // not converted

  const std::string expected = std::string("1\r\n00:00:00,000 --> 00:00:01,067\r\n") + c.texts[0] +
                               "\r\n\r\n" + "2\r\n00:00:01,067 --> 00:00:02,000\r\n" + c.texts[1] +
                               "\r\n\r\n" + "3\r\n00:00:02,000 --> 00:00:02,933\r\n" + c.texts[2] +
                               "\r\n\r\n";
  EXPECT_EQ(slurp(dir + "rec_00.srt"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, SubtitleTest,
    ::testing::Values(SubtitleCase{"TopOfTheHour",
                                   2007,
                                   5,
                                   1,
                                   13,
                                   0,
                                   {"2007-05-01 13:00:00", "2007-05-01 13:00:01", "2007-05-01 13:00:02"}},
                      SubtitleCase{"LateInTheHour",
                                   2007,
                                   5,
                                   1,
                                   13,
                                   3000,
                                   {"2007-05-01 13:50:00", "2007-05-01 13:50:01", "2007-05-01 13:50:02"}},
                      SubtitleCase{"AcrossMidnightAndTheYear",
                                   2007,
                                   12,
                                   31,
                                   23,
                                   3599,
                                   {"2007-12-31 23:59:59", "2008-01-01 00:00:00", "2008-01-01 00:00:01"}}),
    [](const ::testing::TestParamInfo<SubtitleCase>& info) { return std::string(info.param.name); });

// Files appear only for channels whose AVI file opened; one that cannot be created is an error
// naming it, and the AVI conversion is not disturbed by it.
TEST(TimestampFilesTest, FilesOnlyForOpenedOutputsAndFailuresAreReported) {
  gen::Scenario s;
  s.blocks = {gen::Block{0,
                         {video(0, true, randomBytes(8, 1)), video(3, true, randomBytes(8, 2), 5),
                          video(5, true, randomBytes(8, 3))}}};  // CH-04: format 5 has no picture size
  RecordingFile recording = openBytes(gen::buildRecording(s).bytes);
  const std::string dir = scratchDir();
  fs::create_directories(dir + "rec_05.srt");  // in the way of CH-06's subtitles
  fs::create_directories(dir + "rec_05.csv");
  SubtitleFiles subtitles(recording.info());
  FrameLogFiles logs(recording.info());
  RecordingObserver events;
  ObserverFanOut all;
  all.add(&subtitles);
  all.add(&logs);
  all.add(&events);
  const ConversionReport report = convert(recording, dir, 0b101001, &all);
  ASSERT_FALSE(report.outputError);
  ASSERT_EQ(report.files.size(), 2u);

  ASSERT_EQ(events.skipped.size(), 1u);  // the geometry-less channel's first record
  EXPECT_EQ(events.skipped[0].channel, 3);
  EXPECT_EQ(events.skipped[0].entry, 1u);
  EXPECT_FALSE(events.skipped[0].clipped);

  const Status subtitled = subtitles.finish(report);
  ASSERT_FALSE(subtitled);
  EXPECT_NE(subtitled.error().message.find(dir + "rec_05.srt"), std::string::npos)
      << subtitled.error().message;
  const Status logged = logs.finish(ConversionReport{});
  ASSERT_FALSE(logged);
  EXPECT_NE(logged.error().message.find(dir + "rec_05.csv"), std::string::npos) << logged.error().message;
  EXPECT_EQ(subtitles.files(), std::vector<std::string>{dir + "rec_00.srt"});
  EXPECT_EQ(logs.files(), std::vector<std::string>{dir + "rec_00.csv"});
  EXPECT_FALSE(fs::exists(dir + "rec_03.srt"));
  EXPECT_FALSE(fs::exists(dir + "rec_03.csv"));
  EXPECT_EQ(slurp(dir + "rec_00.srt"), "1\r\n00:00:00,000 --> 00:00:00,033\r\n2007-01-01 00:00:00\r\n\r\n");
}

// A side file whose write fails (here on a device that is always full) gives the reason and is no longer
// listed as written, so that neither the summary nor the report names it.
TEST(TimestampFilesTest, AFailedWriteIsNotListed) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  TextFile file;
  ASSERT_TRUE(file.create("/dev/full", true));
  EXPECT_TRUE(file.created());
  const std::string text(1 << 16, 'x');  // more than a stdio buffer, so that a write reaches the device
  file.write(text.data(), text.size());
  const Status closed = file.close();
  ASSERT_FALSE(closed);
  EXPECT_NE(closed.error().message.find("cannot write to /dev/full: No space left on device"),
            std::string::npos)
      << closed.error().message;
  EXPECT_FALSE(file.created());
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(TimestampFilesTest, SideFileNames) {
  EXPECT_EQ(sideFileName("/out/cam_00.avi", ".srt"), "/out/cam_00.srt");
  EXPECT_EQ(sideFileName("/out.avi/cam_15.avi", ".csv"), "/out.avi/cam_15.csv");
  EXPECT_EQ(sideFileName("/dev/null", ".srt"), "/dev/null.srt");
  EXPECT_EQ(sideFileName("/out/cam_00.mkv", ".srt"), "/out/cam_00.srt");
  EXPECT_EQ(sideFileName("/out.mp4/cam_00.mp4", ".csv"), "/out.mp4/cam_00.csv");
}

// --- timing check ---

struct RateCase {
  const char* name;
  int seconds;
  uint8_t recordedRateByte;  // the rate the generator lays the frames out at
  uint8_t declaredRateByte;  // the header's claim
  bool warning;
};

class RateCheckTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateCheckTest, DeclaredAgainstDelivered) {
  const RateCase& c = GetParam();
  gen::BodyPlan plan;
  plan.channels = {{1, 2, c.recordedRateByte, -1, 12}, {4, 2, 40, -1, 12}};
  plan.seconds = c.seconds;
  plan.startTime = 1000;
  plan.reuseFrames = true;
  gen::Scenario scenario = gen::planScenario(plan);
  scenario.header.channelRate[1] = c.declaredRateByte;
  RecordingFile recording = openBytes(gen::buildRecording(scenario).bytes);

  const std::vector<ChannelTiming> timings = checkChannelRates(recording);
  ASSERT_EQ(timings.size(), 2u);
  const ChannelTiming& t = timings[0];
  EXPECT_EQ(t.channel, 1);
  EXPECT_EQ(t.frames, uint64_t(c.seconds) * c.recordedRateByte / 4);
  EXPECT_EQ(t.firstTime, 1000);
  EXPECT_EQ(t.spanSeconds, uint32_t(c.seconds));
  EXPECT_DOUBLE_EQ(t.declaredRate, c.declaredRateByte / 4.0);
  EXPECT_DOUBLE_EQ(t.deliveredRate, c.recordedRateByte / 4.0);
  EXPECT_EQ(t.warning, c.warning);
  EXPECT_EQ(timings[1].channel, 4);  // the other channel says what it delivers
  EXPECT_FALSE(timings[1].warning);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RateCheckTest,
    ::testing::Values(RateCase{"Agrees", 10, 60, 60, false},
                      RateCase{"DeclaredHalf", 10, 60, 30, true},     // plays at double speed
                      RateCase{"DeclaredDouble", 10, 60, 120, true},  // plays at half speed
                      RateCase{"DeclaredTenPercentLow", 10, 60, 52, true},
                      RateCase{"WithinTheTolerance", 10, 60, 56, false},
                      RateCase{"WithinTheEndSeconds", 10, 60, 66, false},  // 15 fps could be up to 18.75
                      RateCase{"ShortSpanAllowsAnyHigherRate", 2, 40, 60, false},
                      RateCase{"LongSpanDoesNot", 10, 40, 60, true},
                      RateCase{"NothingDeclared", 10, 60, 0, false}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

TEST(RateCheckTest, WarningNamesTheChannelAndBothRates) {
  ChannelTiming t;
  t.channel = 2;
  t.declaredRate = 7.5;
  t.deliveredRate = 15.0;
  t.frames = 150;
  t.spanSeconds = 10;
  EXPECT_EQ(rateWarningText(t),
            "CH-03: declared 7.5 fps, delivered 15.0 fps (150 frames in 10 s of recorded time)");
}

}  // namespace
}  // namespace qmv
