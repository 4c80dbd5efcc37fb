// The recorded clock: the timing plan's output seconds, rates and frame positions, and a conversion that
// follows it (frames inside their recorded seconds, audio at its second, a closed pause noted).
#include "convert/timing_plan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "convert/conversion_worker.h"
#include "support/generated_records.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

using test::audio;
using test::randomBytes;
using test::video;

// Channel 0 at a declared 7.5 fps: 3 frames in second 10, 8 in second 11, 1 in second 12, then nothing until
// second 1300 (two frames). Audio input 0 (channel 0's) records in seconds 10 and 1300, each after a key
// frame.
gen::Scenario pausedScenario() {
  gen::Scenario s;
  s.header.channelRate[0] = 30;
  s.header.audioSource[0] = 0;
  gen::Block before;
  before.baseTime = 10;
  auto at = [](gen::Record r, uint8_t delta) {
    r.timeDelta = delta;
    return r;
  };
  before.records.push_back(at(video(0, true, randomBytes(40, 2)), 0));
  before.records.push_back(at(audio(0, randomBytes(400, 1)), 0));
  for (int i = 0; i < 2; ++i) before.records.push_back(at(video(0, false, randomBytes(20, 3 + i)), 0));
  for (int i = 0; i < 8; ++i) before.records.push_back(at(video(0, false, randomBytes(20, 10 + i)), 1));
  before.records.push_back(at(video(0, false, randomBytes(20, 30)), 2));
  gen::Block after;
  after.baseTime = 1300;
  after.records = {at(audio(0, randomBytes(400, 40)), 0), at(video(0, true, randomBytes(40, 41)), 0),
                   at(video(0, false, randomBytes(20, 42)), 0)};
  s.blocks = {before, after};
  return s;
}

RecordingFile open(const gen::Scenario& scenario) {
  RecordingFile recording;
  const Status opened = recording.open(makeMemorySource(gen::buildRecording(scenario).bytes, "generated"));
  EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
  return recording;
}

TEST(TimingPlanTest, SecondsRatesAndPositions) {
  const RecordingFile recording = open(pausedScenario());
  {
    TimingPlan plan(recording, 0);
    EXPECT_EQ(plan.outputSecond(10), 0);
    EXPECT_EQ(plan.outputSecond(12), 2);
    EXPECT_EQ(plan.outputSecond(1300), 1290);  // a pause keeps its length
    EXPECT_TRUE(plan.closedGaps().empty());
    // 7.5 fps gives output seconds 0, 1, 2 eight, seven and eight positions: second 1's 8 frames do not fit.
    EXPECT_EQ(plan.fitRate(0, FrameRate{15, 2}), (FrameRate{8, 1}));
    EXPECT_EQ(plan.fitRate(0, FrameRate{10, 1}), (FrameRate{10, 1}));
    EXPECT_EQ(plan.fitRate(0, FrameRate{0, 1}), (FrameRate{8, 1}));
    // Second 10's three frames spread over its 10 positions; second 11's eight over the next 10.
    const FrameRate rate{10, 1};
    std::vector<int64_t> placed;
    for (int i = 0; i < 3; ++i) placed.push_back(plan.placeFrame(0, 10, rate));
    for (int i = 0; i < 8; ++i) placed.push_back(plan.placeFrame(0, 11, rate));
    EXPECT_EQ(placed, (std::vector<int64_t>{0, 3, 6, 10, 11, 12, 13, 15, 16, 17, 18}));
  }
  {
    TimingPlan plan(recording, 5);
    ASSERT_EQ(plan.closedGaps().size(), 1u);
    const ClosedGap& gap = plan.closedGaps()[0];
    EXPECT_EQ(gap.firstEmpty, 13);
    EXPECT_EQ(gap.resume, 1300);
    EXPECT_EQ(gap.seconds, 1287u);
    EXPECT_EQ(gap.closedTo, 5u);
    EXPECT_EQ(gap.outputSecond, 3);
    EXPECT_EQ(plan.outputSecond(1300), 8);
  }
  {
    // 8 frames and then 7 fit 7.5 fps exactly: the declared rate stays.
    gen::Scenario s;
    gen::Block block;
    block.baseTime = 10;
    for (int i = 0; i < 15; ++i) {
      gen::Record r = video(0, i == 0, randomBytes(20, uint32_t(i)));
      r.timeDelta = i < 8 ? 0 : 1;
      block.records.push_back(r);
    }
    s.blocks = {block};
    EXPECT_EQ(TimingPlan(open(s), 0).fitRate(0, FrameRate{15, 2}), (FrameRate{15, 2}));
  }
  // A rate such as 7.5 fps starts odd seconds between positions: a second's first position is the first one
  // at or after its start.
  EXPECT_EQ(TimingPlan::secondStart(1, FrameRate{15, 2}), 8);
  EXPECT_EQ(TimingPlan::secondStart(2, FrameRate{15, 2}), 15);
  EXPECT_EQ(TimingPlan::secondStart(3, FrameRate{1, 4}), 1);
}

struct Events : ConversionObserver {
  std::vector<VideoSampleEvent> frames;
  std::vector<DroppedFrameEvent> dropped;
  std::vector<AudioRecordEvent> audio;
  std::vector<GapNoteEvent> notes;
  void videoSample(const VideoSampleEvent& e) override { frames.push_back(e); }
  void frameDropped(const DroppedFrameEvent& e) override { dropped.push_back(e); }
  void audioRecord(const AudioRecordEvent& e) override { audio.push_back(e); }
  void gapNote(const GapNoteEvent& e) override { notes.push_back(e); }
};

TEST(RecordedClockTest, FramesInTheirSecondsAudioAtItsSecondPauseNoted) {
  const RecordingFile recording = open(pausedScenario());
  for (const uint32_t maxGap : {0u, 5u}) {
    SCOPED_TRACE(maxGap);
    const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "recorded-clock", std::to_string(maxGap));
    ConversionContext context;
    context.settings.selectedChannels = 1;
    context.settings.destinationDir = dir;
    context.settings.baseName = "rec";
    context.settings.timing = Timing::kRecorded;
    context.settings.maxGapSeconds = maxGap;
    Events events;
    context.observer = &events;
    const ConversionReport report = runConversion(recording, context);
    ASSERT_FALSE(report.outputError) << report.outputError->message;
    ASSERT_EQ(report.files.size(), 1u);
    const FrameRate rate = report.files[0].rate;
    EXPECT_EQ(rate, (FrameRate{8, 1}));
    const int64_t resumes = maxGap == 0 ? 1290 : 8;

    ASSERT_EQ(events.frames.size(), 14u);
    for (const VideoSampleEvent& e : events.frames) {
      const int64_t second = e.time >= 1300 ? resumes + (e.time - 1300) : e.time - 10;
      EXPECT_GE(e.position * rate.den, second * rate.num) << e.time;
      EXPECT_LT(e.position * rate.den, (second + 1) * rate.num) << e.time;
      EXPECT_EQ(e.secondEnd, TimingPlan::secondStart(second + 1, rate));
    }
    ASSERT_EQ(events.audio.size(), 2u);
    EXPECT_EQ(events.audio[0].firstSample, 0);
    EXPECT_EQ(events.audio[1].firstSample, resumes * kAudioSampleRate);
    // The picture holds over the pause: empty positions up to the frame after it. Second 1300's two frames
    // take the first and fifth of its eight positions.
    EXPECT_EQ(report.files[0].positions, uint64_t(TimingPlan::secondStart(resumes, rate)) + 5);
    EXPECT_EQ(report.files[0].audioLeadSamples, 0u);

    if (maxGap == 0) {
      EXPECT_TRUE(events.notes.empty());
      EXPECT_TRUE(report.closedGaps.empty());
    } else {
      ASSERT_EQ(events.notes.size(), 1u);
      EXPECT_EQ(events.notes[0].text, "[gap 00:21:27]");
      EXPECT_EQ(events.notes[0].start, TimingPlan::secondStart(3, rate));
      EXPECT_EQ(events.notes[0].end, TimingPlan::secondStart(8, rate));
      ASSERT_EQ(report.closedGaps.size(), 1u);
    }
  }
}

}  // namespace
}  // namespace qmv
