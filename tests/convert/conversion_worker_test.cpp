// ConversionWorker end to end: generated recordings in, AVI files read back with libavformat/libavcodec.
#include "convert/conversion_worker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "decode/frame_geometry.h"
#include "decode/ima_adpcm.h"
#include "decode/multi_adpcm.h"
#include "decode/xvid_library.h"
#include "recording/record_reader.h"
#include "support/avi_probe.h"
#include "support/generated_records.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using gen::Record;

std::string scratchDir(const std::string& name) {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "worker", name);
}

// Records every call the worker makes; can raise the stop request at a chosen position, like the
// Stop button.
struct FakeSinks : ProgressSink, MessageSink {
  std::vector<std::string> calls;
  std::vector<uint32_t> positions;
  std::vector<Message> messages;
  uint32_t range = 0;
  int doneCount = 0;
  uint32_t stopAt = 0;
  std::atomic<bool>* stop = nullptr;

  void progressRange(uint32_t maximum) override {
    calls.push_back("range");
    range = maximum;
  }
  void progressPosition(uint32_t position) override {
    positions.push_back(position);
    if (stopAt != 0 && position == stopAt && stop) stop->store(true);
  }
  void conversionDone(const ConversionReport&) override {
    calls.push_back("done");
    ++doneCount;
  }
  void message(const Message& message) override { messages.push_back(message); }
};

// Hands out one byte per call: the worker must not rely on a read delivering all it asked for.
class TrickleSource : public ByteSource {
 public:
  explicit TrickleSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= bytes_.size() || count == 0) return 0;
    *static_cast<uint8_t*>(destination) = bytes_[offset];
    return 1;
  }
  const std::string& name() const override { return name_; }

 private:
  std::vector<uint8_t> bytes_;
  std::string name_ = "trickle";
};

RecordingFile openBytes(std::vector<uint8_t> bytes, bool trickle = false) {
  RecordingFile recording;
  std::unique_ptr<ByteSource> source = trickle ? std::make_unique<TrickleSource>(std::move(bytes))
                                               : makeMemorySource(std::move(bytes), "generated");
  Status opened = recording.open(std::move(source));
  EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
  return recording;
}

RecordingFile openScenario(const gen::Scenario& scenario) {
  return openBytes(gen::buildRecording(scenario).bytes);
}

struct Outcome {
  ConversionReport report;
  FakeSinks sinks;
  bool stopAfter = false;
};

Outcome convert(const RecordingFile& recording, ConversionSettings settings, uint32_t stopAt = 0) {
  Outcome run;
  std::atomic<bool> stop{false};
  run.sinks.stopAt = stopAt;
  run.sinks.stop = &stop;
  ConversionContext context;
  context.settings = std::move(settings);
  context.progress = &run.sinks;
  context.messages = &run.sinks;
  context.stop = &stop;
  run.report = runConversion(recording, context);
  run.stopAfter = stop.load();
  return run;
}

ConversionSettings settingsFor(const std::string& dir, uint32_t channels, std::string base = "rec") {
  ConversionSettings s;
  s.selectedChannels = channels;
  s.destinationDir = dir;
  s.baseName = std::move(base);
  return s;
}

using test::audio;
using test::paddedToWords;
using test::randomBytes;
using test::video;

int streamOf(const test::ProbedFile& file, AVMediaType type) {
  for (std::size_t i = 0; i < file.streams.size(); ++i)
    if (file.streams[i].type == type) return int(i);
  return -1;
}

std::vector<uint8_t> concatenated(const std::vector<test::ProbedPacket>& packets) {
  std::vector<uint8_t> out;
  for (const auto& p : packets) out.insert(out.end(), p.data.begin(), p.data.end());
  return out;
}

std::vector<uint8_t> pcmBytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> out;
  for (int16_t s : samples) {
    out.push_back(uint8_t(uint16_t(s) & 0xFF));
    out.push_back(uint8_t(uint16_t(s) >> 8));
  }
  return out;
}

// Entry k of a generated recording: its record, or null for an index block's own entry.
std::vector<const Record*> entryRecords(const gen::Scenario& scenario) {
  std::vector<const Record*> out;
  for (const auto& block : scenario.blocks) {
    for (const auto& r : block.records) out.push_back(&r);
    out.push_back(nullptr);
  }
  return out;
}

// What pass-through must write for channel c when the first `entries` entries are handled: every
// frame from the first key frame on, each frame before it an empty sample that keeps its place.
struct ExpectedFrame {
  std::vector<uint8_t> bytes;
  bool key;
  bool dropped = false;  // before the first key frame: an empty sample in its place
};
std::size_t keptFrames(const std::vector<ExpectedFrame>& frames) {
  return std::size_t(
      std::count_if(frames.begin(), frames.end(), [](const ExpectedFrame& f) { return !f.dropped; }));
}
std::vector<ExpectedFrame> expectedFrames(const gen::Scenario& scenario, int c,
                                          std::size_t entries = SIZE_MAX) {
  std::vector<ExpectedFrame> out;
  bool keySeen = false;
  const auto records = entryRecords(scenario);
  for (std::size_t k = 0; k < records.size() && k < entries; ++k) {
    const Record* r = records[k];
    if (!r || r->type != Record::Type::Video || r->channel != c) continue;
    const bool key = (r->frameType & 0xF0) == 0x10;
    keySeen = keySeen || key;
    out.push_back(keySeen ? ExpectedFrame{paddedToWords(r->data), key} : ExpectedFrame{{}, false, true});
  }
  return out;
}

// Video samples: exactly the expected frames at consecutive positions from 0, the channel's first record. The
// demuxer hands out no empty chunks, so an empty sample shows only as a position that no packet has, and in
// the stream's length.
void expectVideoSamples(const std::string& path, const std::vector<ExpectedFrame>& frames) {
  auto file = test::probeMedia(path, true);
  ASSERT_TRUE(file) << path;
  const int v = streamOf(*file, AVMEDIA_TYPE_VIDEO);
  ASSERT_GE(v, 0);
  struct Sample {
    int64_t pts;
    std::vector<uint8_t> bytes;
    bool key;
    bool operator==(const Sample&) const = default;
  };
  std::vector<Sample> expected, actual;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (!frames[i].bytes.empty()) expected.push_back({int64_t(i), frames[i].bytes, frames[i].key});
  }
  for (const auto& p : file->packetsOf(v)) {
    if (p.size > 0) actual.push_back({p.pts, p.data, p.key});
  }
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].pts, expected[i].pts) << "sample " << i;
    EXPECT_EQ(actual[i].bytes, expected[i].bytes) << "sample " << i;
    EXPECT_EQ(actual[i].key, expected[i].key) << "sample " << i;
  }
  auto headers = test::readAviHeaders(path);
  ASSERT_TRUE(headers);
  EXPECT_TRUE(headers->hasIdx1);  // finished: the index is written
  EXPECT_EQ(headers->streams.at(std::size_t(v)).length, uint32_t(frames.size()));
}

// --- pass-through: samples, extra data, which files and streams ---

TEST(ConversionWorkerTest, PassThroughWritesEveryFrameFromTheFirstKeyFrame) {
  gen::Scenario s;
  s.header.audioSource[0] = 1;  // CH-01 has audio, CH-03 has none
  gen::Block b1, b2;
  b1.records = {video(0, false, randomBytes(37, 1)),        // before the key frame: dropped
                video(2, true, randomBytes(50, 2), 0),      // CH-03: format 0, no stream header
                video(0, true, randomBytes(101, 3), 2, 3),  // three filler words after the stream
                video(1, true, randomBytes(64, 4), 18),     // CH-02: not selected
                video(0, false, randomBytes(8, 5), 2, 1)};
  b2.records = {video(2, false, randomBytes(9, 6), 0), video(0, false, randomBytes(1, 7)),
                video(0, true, randomBytes(400, 8), 4)};  // another picture size: left out, with a warning
  s.blocks = {b1, b2};
  RecordingFile recording = openScenario(s);
  const std::string dir = scratchDir("passthrough");
  Outcome run = convert(recording, settingsFor(dir, 0b101, "cam"));

  ASSERT_FALSE(run.report.outputError) << run.report.outputError->message;
  ASSERT_EQ(run.report.warnings.size(), 1u);
  EXPECT_NE(
      run.report.warnings[0].find("1 frame recorded at another picture size (format 4, 704x576) was left "
                                  "out of this file of format 2 (352x288)"),
      std::string::npos)
      << run.report.warnings[0];
  ASSERT_EQ(run.report.files.size(), 2u);
  EXPECT_FALSE(fs::exists(dir + "cam_01.avi"));

  // The frame of another size is left out (the last of the channel, so no empty sample follows): the stream
  // decodes as one picture size.
  std::vector<ExpectedFrame> ch1Frames = expectedFrames(s, 0);
  ch1Frames.pop_back();
  expectVideoSamples(dir + "cam_00.avi", ch1Frames);
  auto ch1 = test::probeMedia(dir + "cam_00.avi");
  ASSERT_TRUE(ch1);
  const auto header = getFrameGeometry(2, true).header;
  const int v = streamOf(*ch1, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(ch1->streams[std::size_t(v)].extradata,
            std::vector<uint8_t>(header->begin(), header->begin() + kVolPartSize));
  EXPECT_EQ(ch1->streams[std::size_t(v)].codecTag, makeFourcc('X', 'V', 'I', 'D'));
  EXPECT_EQ(ch1->streams[std::size_t(v)].width, 352);
  EXPECT_EQ(ch1->streams[std::size_t(v)].height, 288);
  EXPECT_GE(streamOf(*ch1, AVMEDIA_TYPE_AUDIO), 0);
  EXPECT_EQ(run.report.files[0].frames, 3u);
  EXPECT_EQ(run.report.files[0].keyFrames, 1u);

  expectVideoSamples(dir + "cam_02.avi", expectedFrames(s, 2));
  auto ch3 = test::probeMedia(dir + "cam_02.avi");
  ASSERT_TRUE(ch3);
  EXPECT_TRUE(ch3->streams[std::size_t(streamOf(*ch3, AVMEDIA_TYPE_VIDEO))].extradata.empty());
  EXPECT_EQ(streamOf(*ch3, AVMEDIA_TYPE_AUDIO), -1);
}

// Progress calls: range = entryCount first, one position per visited entry (1 .. entryCount - 1),
// done once and last; the stop request is left as it was.
TEST(ConversionWorkerTest, HostSeesRangePositionsAndOneDone) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 120, -1, 6}};
  plan.seconds = 1;
  plan.recordsPerBlock = 7;
  plan.reuseFrames = true;
  RecordingFile recording = openScenario(gen::planScenario(plan));
  ConversionSettings settings = settingsFor(scratchDir("host"), 1);
  settings.passThroughFourcc = PassThroughFourcc::kDivx;
  Outcome run = convert(recording, settings);

  EXPECT_EQ(run.sinks.calls, (std::vector<std::string>{"range", "done"}));
  EXPECT_EQ(run.sinks.range, recording.entryCount());
  ASSERT_EQ(run.sinks.positions.size(), recording.entryCount() - 1);
  for (uint32_t i = 0; i < run.sinks.positions.size(); ++i) ASSERT_EQ(run.sinks.positions[i], i + 1);
  EXPECT_TRUE(run.report.started);
  EXPECT_FALSE(run.report.stopped);
  EXPECT_EQ(run.report.entriesDone, recording.entryCount() - 1);
  EXPECT_FALSE(run.stopAfter);
  EXPECT_TRUE(run.sinks.messages.empty());
  auto file = test::probeMedia(run.report.files.at(0).path);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->streams[std::size_t(streamOf(*file, AVMEDIA_TYPE_VIDEO))].codecTag,
            makeFourcc('D', 'I', 'V', 'X'));
}

// Nothing to do (no recording, no channel): no progress call at all, nothing written.
// A recording with one aux record and its block: a normal pass over one entry, no files.
TEST(ConversionWorkerTest, EmptyStarts) {
  const std::string dir = scratchDir("empty");
  {
    RecordingFile closed;
    Outcome run = convert(closed, settingsFor(dir, 1));
    EXPECT_FALSE(run.report.started);
    EXPECT_TRUE(run.sinks.calls.empty());
  }
  gen::Scenario s;
  Record aux;
  aux.type = Record::Type::Aux;
  aux.data = randomBytes(16, 1);
  s.blocks = {gen::Block{0, {aux}}};
  RecordingFile single = openScenario(s);
  ASSERT_EQ(single.entryCount(), 2u);
  {
    Outcome run = convert(single, settingsFor(dir, 0));
    EXPECT_FALSE(run.report.started);
    EXPECT_TRUE(run.sinks.calls.empty());
  }
  Outcome run = convert(single, settingsFor(dir, 0xFFFF));
  EXPECT_TRUE(run.report.started);
  EXPECT_EQ(run.sinks.calls, (std::vector<std::string>{"range", "done"}));
  EXPECT_EQ(run.sinks.range, 2u);
  EXPECT_EQ(run.sinks.positions, std::vector<uint32_t>{1});
  EXPECT_TRUE(run.report.files.empty());
  EXPECT_TRUE(fs::is_empty(dir));
}

// --- audio: every storage form, shared inputs, audio before a channel's writer ---

struct AudioCase {
  uint8_t audioFormat;
  uint8_t modelCode;
};
class WorkerAudioTest : public ::testing::TestWithParam<AudioCase> {};

TEST_P(WorkerAudioTest, PcmIsTheDecodersOutputFromTheWritersCreationOn) {
  const AudioCase form = GetParam();
  gen::Scenario s;
  s.header.audioFormat = form.audioFormat;
  s.header.modelCode = form.modelCode;
  s.header.audioSource[0] = 2;  // CH-01 and CH-02 share input 2
  s.header.audioSource[1] = 2;
  s.header.audioSource[2] = 3;  // CH-03 has audio but no video: no file
  const auto a1 = randomBytes(40, 11), a2 = randomBytes(24, 12), a3 = randomBytes(32, 13),
             a4 = randomBytes(16, 14);
  gen::Block b;
  b.records = {audio(2, a1),  // before any writer: heard by nobody
               video(0, true, randomBytes(20, 1)),
               audio(2, a2),
               video(1, false, randomBytes(20, 2)),
               audio(2, a3),
               audio(3, a4),
               audio(2, {})};
  s.blocks = {b};
  RecordingFile recording = openScenario(s);
  const std::string dir = scratchDir("audio");
  Outcome run = convert(recording, settingsFor(dir, 0xFFFF));
  ASSERT_FALSE(run.report.outputError);
  ASSERT_EQ(run.report.files.size(), 2u);

  std::vector<int16_t> expected0, expected1;
  auto append = [](std::vector<int16_t>& to, const std::vector<int16_t>& part) {
    to.insert(to.end(), part.begin(), part.end());
  };
  if (form.audioFormat == 3) {
    auto decode = [](ImaAdpcmState& state, const std::vector<uint8_t>& coded) {
      std::vector<int16_t> out(coded.size() * 2);
      imaAdpcmDecode(state, coded.data(), out.data(), int(out.size()));
      return out;
    };
    ImaAdpcmState ch0, ch1;
    imaAdpcmInit(ch0, 80);
    imaAdpcmInit(ch1, 80);
    append(expected0, decode(ch0, a2));
    append(expected0, decode(ch0, a3));
    append(expected1, decode(ch1, a3));
  } else {
    MultiAdpcmDecoder multi;
    const uint8_t priming[8] = {0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E, 0xE0, 0x0E};
    int16_t scratch[16];
    multi.execute(MultiAdpcmDecoder::kReset, 0, 0, nullptr, 0, nullptr);
    multi.execute(MultiAdpcmDecoder::kDecode, 1, 0, priming, 8, scratch);
    auto decode = [&multi](const std::vector<uint8_t>& coded) {
      std::vector<int16_t> out(coded.size() * 2);
      multi.execute(MultiAdpcmDecoder::kDecode, 1, 0, coded.data(), uint32_t(coded.size()), out.data());
      return out;
    };
    decode(a1);
    append(expected0, decode(a2));
    const auto third = decode(a3);
    append(expected0, third);
    append(expected1, third);
  }
  for (int c = 0; c < 2; ++c) {
    auto file = test::probeMedia(outputFileName(dir, "rec", c), true);
    ASSERT_TRUE(file);
    const int a = streamOf(*file, AVMEDIA_TYPE_AUDIO);
    ASSERT_GE(a, 0);
    EXPECT_EQ(file->streams[std::size_t(a)].sampleRate, 8000);
    EXPECT_EQ(file->streams[std::size_t(a)].channels, 1);
    EXPECT_EQ(concatenated(file->packetsOf(a)), pcmBytes(c == 0 ? expected0 : expected1)) << "CH-0" << c + 1;
    EXPECT_EQ(run.report.files[std::size_t(c)].audioSamples, (c == 0 ? expected0 : expected1).size());
  }
  EXPECT_FALSE(fs::exists(outputFileName(dir, "rec", 2)));
}

INSTANTIATE_TEST_SUITE_P(Forms, WorkerAudioTest,
                         ::testing::Values(AudioCase{3, 7}, AudioCase{3, 8}, AudioCase{0, 9}));

// --- real video: libavcodec plays every output, rates are exact ---

TEST(ConversionWorkerTest, OutputsDecodeAndRunAtTheExactRate) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 120, 0, 12},
                   {1, 4, 30, -1, 5, true},  // 7.5 fps, starts on non-key frames
                   {2, 18, 60, -1, 8},
                   {3, 20, 100, 1, 10},
                   // Half-height codes: the stream keeps its coded 704 x 288 / 704 x 240 pictures.
                   {4, 3, 40, -1, 6},
                   {5, 19, 40, -1, 6}};
  plan.seconds = 3;
  plan.recordsPerBlock = 50;
  const gen::Scenario s = gen::planScenario(plan);
  RecordingFile recording = openScenario(s);
  const std::string dir = scratchDir("playback");
  Outcome run = convert(recording, settingsFor(dir, 0x3F));
  ASSERT_FALSE(run.report.outputError);
  ASSERT_EQ(run.report.files.size(), 6u);
  const FrameRate rates[] = {{30, 1}, {15, 2}, {15, 1}, {25, 1}, {10, 1}, {10, 1}};
  for (int c = 0; c < 6; ++c) {
    SCOPED_TRACE("CH-0" + std::to_string(c + 1));
    const auto frames = expectedFrames(s, c);
    const OutputFileReport& report = run.report.files[std::size_t(c)];
    EXPECT_EQ(report.frames, keptFrames(frames));
    EXPECT_EQ(report.positions, frames.size());
    EXPECT_EQ(report.rate, rates[c]);
    int errors = -1;
    EXPECT_EQ(test::decodeAllFrames(report.path, 0, &errors), int(keptFrames(frames)));
    EXPECT_EQ(errors, 0);
    auto headers = test::readAviHeaders(report.path);
    ASSERT_TRUE(headers);
    // Duration = positions (the empty ones of dropped frames included) at rate / scale.
    EXPECT_EQ(headers->streams[0].rate, rates[c].num);
    EXPECT_EQ(headers->streams[0].scale, rates[c].den);
    EXPECT_EQ(headers->streams[0].length, frames.size());
  }
}

// --- re-encode through a lossless encoder with the real Xvid decoder ---

TEST(ConversionWorkerTest, ReencodeGivesOnePicturePerSourceFrame) {
  DynamicXvidLibrary xvid;
  if (!xvid.load().ok) GTEST_SKIP() << "libxvidcore.so.4 is not loadable here";
  std::optional<EncoderInfo> encoder;
  for (const auto& e : availableEncoders())
    if (e.lossless && !encoder) encoder = e;
  if (!encoder) GTEST_SKIP() << "no lossless encoder in this FFmpeg build";

  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, -1, 4, true}, {1, 19, 40, -1, 4}};
  plan.seconds = 2;
  const gen::Scenario s = gen::planScenario(plan);
  RecordingFile recording = openScenario(s);
  const std::string dir = scratchDir("reencode");
  ConversionSettings settings = settingsFor(dir, 0b11);
  settings.videoMode = VideoMode::kReEncode;
  settings.compressOptions.encoder = encoder->name;
  Outcome run = convert(recording, settings);
  ASSERT_FALSE(run.report.outputError) << run.report.outputError->message;
  ASSERT_EQ(run.report.files.size(), 2u);
  for (int c = 0; c < 2; ++c) {
    const auto frames = expectedFrames(s, c);
    ASSERT_GT(frames.size(), 5u);
    int errors = -1;
    std::vector<std::vector<uint8_t>> pictures;
    EXPECT_EQ(test::decodeAllFrames(run.report.files[std::size_t(c)].path, 0, &errors, &pictures),
              int(keptFrames(frames)));
    EXPECT_EQ(errors, 0);
    auto file = test::probeMedia(run.report.files[std::size_t(c)].path);
    ASSERT_TRUE(file);
    const auto packets = file->packetsOf(0);
    ASSERT_FALSE(packets.empty());
    // Re-encoded pictures keep the places of their records too.
    EXPECT_EQ(packets.front().pts, int64_t(frames.size() - keptFrames(frames)));
    EXPECT_EQ(packets.back().pts, int64_t(frames.size()) - 1);
  }
}

// --- stop, output failures, damage ---

TEST(ConversionWorkerTest, StopAfterNEntriesLeavesCompleteFiles) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 120, 0, 6}, {1, 18, 60, -1, 6}};
  plan.seconds = 2;
  plan.reuseFrames = true;
  const gen::Scenario s = gen::planScenario(plan);
  RecordingFile recording = openScenario(s);
  const uint32_t stopAt = recording.entryCount() / 2;
  const std::string dir = scratchDir("stop");
  Outcome run = convert(recording, settingsFor(dir, 0b11), stopAt);

  EXPECT_TRUE(run.report.stopped);
  EXPECT_EQ(run.report.entriesDone, stopAt);
  EXPECT_EQ(run.sinks.positions.size(), stopAt);
  EXPECT_EQ(run.sinks.doneCount, 1);
  for (int c = 0; c < 2; ++c) {
    expectVideoSamples(outputFileName(dir, "rec", c), expectedFrames(s, c, stopAt));
  }
  // A stop requested before the first entry is honoured: no file at all.
  const std::string early = scratchDir("stop-early");
  const std::atomic<bool> stopped{true};
  FakeSinks sinks;
  ConversionContext context;
  context.settings = settingsFor(early, 0b11);
  context.progress = &sinks;
  context.stop = &stopped;
  ConversionReport report = runConversion(recording, context);
  EXPECT_TRUE(report.started);
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(report.entriesDone, 0u);
  EXPECT_EQ(sinks.doneCount, 1);
  EXPECT_TRUE(sinks.positions.empty());
  EXPECT_TRUE(fs::is_empty(early));
}

TEST(ConversionWorkerTest, OutputFailuresStopAndCloseWhatWasBegun) {
  gen::Scenario s;
  gen::Block b;
  b.records = {video(0, true, randomBytes(40, 1)), video(1, true, randomBytes(40, 2)),
               video(0, false, randomBytes(40, 3))};
  s.blocks = {b};
  RecordingFile recording = openScenario(s);

  {  // a destination that does not exist
    const std::string missing = scratchDir("out-missing") + "no/such/dir/";
    Outcome run = convert(recording, settingsFor(missing, 0b11));
    ASSERT_TRUE(run.report.outputError);
    EXPECT_NE(run.report.outputError->message.find(missing + "rec_00.avi"), std::string::npos)
        << run.report.outputError->message;
    EXPECT_FALSE(run.stopAfter);  // a failure is in the report; the stop request stays the caller's
    EXPECT_EQ(run.sinks.doneCount, 1);
    EXPECT_TRUE(run.report.files.empty());
    EXPECT_FALSE(run.report.stopped);
  }
  {  // CH-02's file exists and may not be overwritten: CH-01's file is finished, CH-02's untouched
    const std::string dir = scratchDir("out-exists");
    std::ofstream(dir + "rec_01.avi") << "keep me";
    ConversionSettings settings = settingsFor(dir, 0b11);
    settings.overwrite = false;
    Outcome run = convert(recording, settings);
    ASSERT_TRUE(run.report.outputError);
    EXPECT_NE(run.report.outputError->message.find(dir + "rec_01.avi"), std::string::npos);
    EXPECT_FALSE(run.stopAfter);  // a failure is in the report; the stop request stays the caller's
    EXPECT_EQ(run.sinks.doneCount, 1);
    EXPECT_EQ(run.report.entriesDone, 2u);  // the pass ended at the failing entry
    std::ifstream kept(dir + "rec_01.avi");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
    expectVideoSamples(dir + "rec_00.avi", {{paddedToWords(randomBytes(40, 1)), true}});
  }
}

// The reader already refuses indexes whose records overlap or leave the recording, so what reaches
// the worker damaged is a record's own head: a wordCount beyond its extent, or filler covering it all.
TEST(ConversionWorkerTest, DamagedRecordsAreClippedWithWarnings) {
  gen::Scenario s;
  s.header.audioSource[0] = 1;
  Record clipped = video(0, false, randomBytes(24, 4));
  clipped.wordCountOverride = 500;  // far more than its 6 words
  Record empty = video(0, false, randomBytes(8, 5), 2, 5);
  empty.wordCountOverride = 3;  // 5 filler words >= 3 words: no stream data
  Record sound = audio(1, randomBytes(16, 7));
  sound.wordCountOverride = 0xFFFF;  // 4 words really there
  gen::Block b;
  b.records = {video(0, true, randomBytes(16, 1)), clipped, empty, sound,
               video(0, false, randomBytes(12, 6))};
  s.blocks = {b};
  RecordingFile recording = openScenario(s);
  const std::string dir = scratchDir("damage");
  Outcome run = convert(recording, settingsFor(dir, 1));

  ASSERT_FALSE(run.report.outputError);
  EXPECT_EQ(run.sinks.doneCount, 1);
  ASSERT_EQ(run.report.warnings.size(), 2u) << ::testing::PrintToString(run.report.warnings);
  EXPECT_NE(run.report.warnings[0].find("entry 1 at 0x"), std::string::npos) << run.report.warnings[0];
  EXPECT_NE(run.report.warnings[1].find("entry 3 at 0x"), std::string::npos) << run.report.warnings[1];
  // The sink heard each warning as it happened, in the words of the report.
  ASSERT_EQ(run.sinks.messages.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(run.sinks.messages[i].kind, MessageKind::kWarning);
    EXPECT_EQ(run.sinks.messages[i].text, run.report.warnings[i]);
    EXPECT_EQ(run.sinks.messages[i].channel, -1);
  }

  expectVideoSamples(
      dir + "rec_00.avi",
      {{randomBytes(16, 1), true}, {randomBytes(24, 4), false}, {{}, false}, {randomBytes(12, 6), false}});
  EXPECT_EQ(run.report.files.at(0).audioSamples, 32u);  // the 4 words that exist, 8 samples each
}

// --- smaller decisions ---

TEST(ConversionWorkerTest, RatesAndGeometryLessChannels) {
  gen::Scenario s;
  s.header.channelRate[0] = 0;  // rate from the index: 10 frames over seconds 0..4
  s.header.channelRate[1] = 0;  // all frames in one second: 1 fps
  s.header.channelRate[2] = 2;  // exact quarter rates: 1/2 fps
  gen::Block b;
  for (int i = 0; i < 10; ++i) {
    Record r = video(0, i == 0, randomBytes(8, uint32_t(i)));
    r.timeDelta = uint8_t(i / 2);
    b.records.push_back(r);
  }
  b.records.push_back(video(1, true, randomBytes(8, 20)));
  b.records.push_back(video(1, false, randomBytes(8, 21)));
  b.records.push_back(video(2, true, randomBytes(8, 22)));
  b.records.push_back(video(3, true, randomBytes(8, 23), 5));  // format code 5: no picture size
  b.records.push_back(video(3, true, randomBytes(8, 24), 2));  // and a later code does not change that
  s.blocks = {b};
  RecordingFile recording = openScenario(s);
  const std::string dir = scratchDir("rates");
  Outcome run = convert(recording, settingsFor(dir, 0xF));
  ASSERT_FALSE(run.report.outputError);
  ASSERT_EQ(run.report.files.size(), 3u);
  EXPECT_EQ(run.report.files[0].rate, (FrameRate{2, 1}));
  EXPECT_EQ(run.report.files[1].rate, (FrameRate{1, 1}));
  EXPECT_EQ(run.report.files[2].rate, (FrameRate{1, 2}));
  EXPECT_FALSE(fs::exists(dir + "rec_03.avi"));
  ASSERT_EQ(run.report.warnings.size(), 1u);
  EXPECT_NE(run.report.warnings[0].find("CH-04"), std::string::npos) << run.report.warnings[0];
  auto headers = test::readAviHeaders(dir + "rec_02.avi");
  ASSERT_TRUE(headers);
  EXPECT_EQ(headers->streams[0].rate, 1u);
  EXPECT_EQ(headers->streams[0].scale, 2u);
}

// The warning of a channel left out quotes the writer's refusal, which names the output file: a
// long destination must come through whole, to the report and to the sink alike.
TEST(ConversionWorkerTest, ChannelSkippedWarningKeepsALongPathWhole) {
  gen::Scenario s;
  gen::Block b;
  b.records = {video(0, true, randomBytes(8, 1)), video(3, true, randomBytes(8, 2), 5)};  // code 5: no size
  s.blocks = {b};
  RecordingFile recording = openScenario(s);
  std::string dir = scratchDir("long-path");
  for (int level = 0; level < 4; ++level)
    dir += "a-destination-folder-with-a-long-descriptive-name-" + std::to_string(level) + "/";
  fs::create_directories(dir);
  Outcome run = convert(recording, settingsFor(dir, 0b1001));

  ASSERT_FALSE(run.report.outputError) << run.report.outputError->message;
  ASSERT_EQ(run.report.warnings.size(), 1u);
  const std::string& warning = run.report.warnings[0];
  EXPECT_GT(warning.size(), 300u);
  EXPECT_TRUE(warning.starts_with("CH-04: format code 5 has no picture size and the writer refused it ("))
      << warning;
  EXPECT_NE(warning.find(dir + "rec_03.avi"), std::string::npos) << warning;
  EXPECT_TRUE(warning.ends_with("); channel skipped")) << warning;
  ASSERT_EQ(run.sinks.messages.size(), 1u);
  EXPECT_EQ(run.sinks.messages[0].text, warning);
  EXPECT_EQ(run.sinks.messages[0].channel, 3);
}

// Re-encoding without the decoder library: each channel's writer tells the sink, in the library
// adapter's own words; the files are written all the same.
TEST(ConversionWorkerTest, MissingDecoderLibraryIsToldThroughTheSink) {
  std::optional<EncoderInfo> encoder;
  for (const auto& e : availableEncoders())
    if (e.lossless && !encoder) encoder = e;
  if (!encoder) GTEST_SKIP() << "no lossless encoder in this FFmpeg build";

  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, -1, 4}, {1, 2, 40, -1, 4}};
  plan.seconds = 1;
  plan.reuseFrames = true;
  RecordingFile recording = openScenario(gen::planScenario(plan));
  ConversionSettings settings = settingsFor(scratchDir("no-decoder"), 0b11);
  settings.videoMode = VideoMode::kReEncode;
  settings.compressOptions.encoder = encoder->name;
  settings.xvidLibrary = std::make_shared<DynamicXvidLibrary>("libqmv2avi-no-such-library.so.0");
  Outcome run = convert(recording, settings);

  ASSERT_FALSE(run.report.outputError) << run.report.outputError->message;
  EXPECT_EQ(run.report.files.size(), 2u);
  ASSERT_EQ(run.sinks.messages.size(), 2u);
  for (int c = 0; c < 2; ++c) {
    const Message& m = run.sinks.messages[std::size_t(c)];
    EXPECT_EQ(m.kind, MessageKind::kDecoderLibraryMissing);
    EXPECT_EQ(m.text, "xvidcore.dll not found!");
    EXPECT_EQ(m.caption, "Error!");
    EXPECT_EQ(m.channel, c);
  }
  EXPECT_TRUE(run.report.warnings.empty());
}

TEST(ConversionWorkerTest, OutputFileNames) {
  EXPECT_EQ(outputFileName("/out/", "cam", 0), "/out/cam_00.avi");
  EXPECT_EQ(outputFileName("/out/", "cam", 11), "/out/cam_11.avi");
  EXPECT_EQ(outputFileName("", "cam", 15), "cam_15.avi");
  EXPECT_EQ(outputFileName("/out/", "cam", 4, Container::kMkv), "/out/cam_04.mkv");
  EXPECT_EQ(outputFileName("/out/", "cam", 4, Container::kMp4), "/out/cam_04.mp4");
}

// A source that hands out one byte per read gives the same files as memory.
TEST(ConversionWorkerTest, ShortReadsChangeNothing) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 60, 0, 6}};
  plan.seconds = 1;
  plan.reuseFrames = true;
  const auto bytes = gen::buildRecording(gen::planScenario(plan)).bytes;
  RecordingFile normal = openBytes(bytes);
  RecordingFile trickle = openBytes(bytes, true);
  const std::string a = scratchDir("short-a"), b = scratchDir("short-b");
  Outcome runA = convert(normal, settingsFor(a, 1));
  Outcome runB = convert(trickle, settingsFor(b, 1));
  EXPECT_TRUE(runB.report.warnings.empty());
  auto fa = test::probeMedia(a + "rec_00.avi"), fb = test::probeMedia(b + "rec_00.avi");
  ASSERT_TRUE(fa && fb);
  ASSERT_EQ(fa->packets.size(), fb->packets.size());
  for (std::size_t i = 0; i < fa->packets.size(); ++i) EXPECT_EQ(fa->packets[i].crc, fb->packets[i].crc);
}

// --- a time window: read through the index, never by scanning the body ---

// A memory source that remembers every range it handed out since reset().
class WatchedSource : public ByteSource {
 public:
  explicit WatchedSource(std::vector<uint8_t> bytes)
      : inner_(makeMemorySource(std::move(bytes), "watched")) {}
  uint64_t size() const override { return inner_->size(); }
  const std::string& name() const override { return inner_->name(); }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    const std::size_t got = inner_->readAt(offset, destination, count);
    if (got > 0) reads.emplace_back(offset, offset + got);
    return got;
  }
  std::vector<std::pair<uint64_t, uint64_t>> reads;

 private:
  std::unique_ptr<ByteSource> inner_;
};

// 60 s at 30 fps with audio, a key frame every 1.5 s: the window 00:00:20 to 00:00:25 starts at the key frame
// of 19.5 s and ends with the last frame of second 25. Only those records are read, and the audio records
// before them (their sound decodes right only from the decoder's state there); that sound is the whole
// conversion's, sample for sample.
TEST(ConversionWorkerTest, AWindowReadsOnlyItsOwnRecordsAndTheAudioBefore) {
  gen::BodyPlan plan;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 120, .audioInput = 0, .keyInterval = 45}};
  plan.seconds = 60;
  plan.reuseFrames = true;
  const std::vector<uint8_t> bytes = gen::buildRecording(gen::planScenario(plan)).bytes;
  auto owned = std::make_unique<WatchedSource>(bytes);
  WatchedSource& source = *owned;
  RecordingFile recording;
  ASSERT_TRUE(recording.open(std::move(owned)));
  const auto& entries = recording.entries();
  const auto firstEntryOf = [&entries](uint16_t second) {
    return std::find_if(entries.begin(), entries.end(),
                        [second](const FrameIndexEntry& e) {
                          return e.kind != format::kKindBlock && e.time >= second;
                        })
        ->offset;
  };
  std::set<std::pair<uint64_t, uint64_t>> audioRecords;
  for (uint32_t k = 0; k + 1 < recording.entryCount(); ++k)
    if (entries[k].kind == format::kKindAudioBase)
      audioRecords.emplace(entries[k].offset, entries[k + 1].offset);

  source.reads.clear();
  const std::string windowDir = scratchDir("window"), wholeDir = scratchDir("window-whole");
  ConversionSettings settings = settingsFor(windowDir, 1);
  settings.window = RecordedWindow{20, 25};
  const Outcome run = convert(recording, settings);
  ASSERT_EQ(run.report.files.size(), 1u);
  EXPECT_EQ(run.report.files[0].frames, 195u) << "frames 585 (a key frame, 19.5 s) to 779 (the last of 25 s)";
  EXPECT_EQ(run.report.files[0].firstFrameTime, std::optional<uint16_t>(19));
  uint64_t read = 0;
  for (const auto& [from, to] : source.reads) {
    read += to - from;
    const bool inWindow = from >= firstEntryOf(19) && to <= firstEntryOf(26);
    EXPECT_TRUE(inWindow || audioRecords.contains({from, to})) << from << ".." << to;
  }
  EXPECT_LT(read * 5, source.size()) << "a sixth of the recording, not all of it";

  convert(recording, settingsFor(wholeDir, 1));
  const auto window = test::probeMedia(windowDir + "rec_00.avi", true);
  const auto whole = test::probeMedia(wholeDir + "rec_00.avi", true);
  ASSERT_TRUE(window && whole);
  const std::vector<uint8_t> windowPcm =
      concatenated(window->packetsOf(streamOf(*window, AVMEDIA_TYPE_AUDIO)));
  const std::vector<uint8_t> wholePcm = concatenated(whole->packetsOf(streamOf(*whole, AVMEDIA_TYPE_AUDIO)));
  ASSERT_GE(windowPcm.size(), 6u * 8000 * 2);
  EXPECT_NE(std::search(wholePcm.begin(), wholePcm.end(), windowPcm.begin(), windowPcm.end()),
            wholePcm.end());
}

// --- the window reader on its own, with a window far smaller than the records ---

TEST(RecordReaderTest, ViewsMatchTheBytesWhereverTheyLie) {
  std::vector<uint8_t> bytes = randomBytes(1000, 9);
  auto source = makeMemorySource(bytes);
  RecordReader reader(*source, 100, 800, 64);  // the recording is bytes 100..899
  struct Read {
    uint64_t offset;
    std::size_t size;
  };
  // In order, across window ends, larger than the window, backwards, empty, up to the very end.
  const Read reads[] = {{0, 10}, {10, 40}, {50, 30}, {80, 200}, {280, 64}, {20, 5}, {400, 0}, {790, 10}};
  for (const Read& r : reads) {
    const uint8_t* view = reader.read(r.offset, r.size);
    EXPECT_FALSE(reader.lastReadShort());
    EXPECT_TRUE(std::equal(view, view + r.size, bytes.begin() + 100 + long(r.offset))) << r.offset;
  }
  EXPECT_LE(reader.windowCapacity(), 200u);
}

TEST(RecordReaderTest, BytesTheSourceLacksReadAsZero) {
  std::vector<uint8_t> bytes = randomBytes(100, 3);
  auto source = makeMemorySource(bytes);
  RecordReader reader(*source, 0, 200, 64);  // claims more than the source holds
  const uint8_t* view = reader.read(90, 20);
  EXPECT_TRUE(reader.lastReadShort());
  EXPECT_TRUE(std::equal(view, view + 10, bytes.begin() + 90));
  EXPECT_TRUE(std::all_of(view + 10, view + 20, [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace qmv
