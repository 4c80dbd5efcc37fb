// Faults around a conversion: disk full, a destination that is unwritable or vanishes, a recording that
// changes while it is read, and output names that try to leave their folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "convert/conversion_worker.h"
#include "recording/record_reader.h"
#include "support/avi_probe.h"
#include "support/cli_process.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

using test::CliProcess;
using test::filesIn;
using test::lines;
using test::slurp;

std::string scratchDir(const std::string& name) {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "output-faults", name);
}

// "path: N frames, ..." lines of the CLI summary, by file name.
std::map<std::string, int> summaryFrames(const std::string& out) {
  std::map<std::string, int> frames;
  for (const std::string& line : lines(out)) {
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    frames[fs::path(line.substr(0, colon)).filename().string()] = std::stoi(line.substr(colon + 2));
  }
  return frames;
}

// A complete AVI: a single RIFF with idx1, header counts that agree with the index and the audio
// bytes, and every picture decodes without a logged error. Returns the pictures, -1 when incomplete.
int completePictures(const std::string& path) {
  const auto headers = test::readAviHeaders(path);
  EXPECT_TRUE(headers) << path;
  if (!headers) return -1;
  EXPECT_TRUE(headers->hasIdx1) << path;
  EXPECT_EQ(headers->riffCount, 1) << path;
  const auto video = headers->indexOf(0);
  EXPECT_EQ(headers->totalFrames, video.size()) << path;
  EXPECT_EQ(headers->streams.at(0).length, video.size()) << path;
  const auto probed = test::probeMedia(path);
  EXPECT_TRUE(probed) << path;
  if (!probed) return -1;
  if (headers->streams.size() > 1) {
    uint64_t audioBytes = 0;
    for (const auto& p : probed->packetsOf(1)) audioBytes += uint64_t(p.size);
    EXPECT_EQ(headers->streams[1].length, audioBytes / 2) << path;
  }
  int errors = -1;
  const int pictures = test::decodeAllFrames(path, 0, &errors);
  EXPECT_EQ(errors, 0) << path;
  return pictures;
}

// CH-01 at 704 x 576, 30 fps with audio; CH-02 at 352 x 288, 10 fps: CH-01's file grows much faster.
gen::BodyPlan twoChannelPlan(int seconds) {
  gen::BodyPlan plan;
  plan.channels = {{0, 4, 120, 0, 12}, {1, 2, 40, -1, 5}};
  plan.seconds = seconds;
  plan.reuseFrames = true;
  return plan;
}

// Disk full, made with a file-size limit: the first write past it fails with EFBIG. The CLI names the
// file, exits 3, and leaves both files complete: the one that hit the limit is cut back to its last
// whole chunk and gets its index within the limit.
TEST(OutputFaultsTest, FileSizeLimitLeavesEveryFileComplete) {
  const std::string dir = scratchDir("efbig");
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(twoChannelPlan(20)), input));

  const std::string full = dir + "full/";
  fs::create_directories(full);
  CliProcess reference({"convert", input, "-o", full}, dir);
  ASSERT_EQ(reference.wait(), 0) << reference.err();
  const auto fullFrames = summaryFrames(reference.out());
  const uintmax_t bigSize = fs::file_size(full + "cam_00.avi");
  const rlim_t limit = rlim_t(bigSize / 2);
  ASSERT_LT(fs::file_size(full + "cam_01.avi") + 64 * 1024, limit)
      << "CH-02's file must stay below the limit";

  const std::string out = dir + "out/";
  fs::create_directories(out);
  CliProcess limited({"convert", input, "-o", out}, dir, limit);
  EXPECT_EQ(limited.wait(), 3);
  const auto err = lines(limited.err());
  ASSERT_EQ(err.size(), 1u) << limited.err();
  EXPECT_NE(err[0].find(out + "cam_00.avi"), std::string::npos) << err[0];
  EXPECT_NE(err[0].find("too large"), std::string::npos) << err[0];

  EXPECT_EQ(filesIn(out, ".avi"), (std::vector<std::string>{"cam_00.avi", "cam_01.avi"}));
  EXPECT_LE(fs::file_size(out + "cam_00.avi"), limit);
  const auto frames = summaryFrames(limited.out());
  for (const char* name : {"cam_00.avi", "cam_01.avi"}) {
    SCOPED_TRACE(name);
    const int pictures = completePictures(out + name);
    EXPECT_GT(pictures, 0);
    EXPECT_LT(pictures, fullFrames.at(name));  // the conversion stopped at the failure
    EXPECT_EQ(frames.at(name), pictures) << limited.out();
  }
}

// After a full disk the side files, the summary and the report describe what the finished video holds,
// not what was handed to its writer: the frame log has a row, and the report a sample, for each frame the
// file holds, and no subtitle cue starts or ends past the file's end.
class WriteFaultSideFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(WriteFaultSideFiles, DescribeWhatTheVideoHolds) {
  const std::string format = GetParam();
  const std::string dir = scratchDir("side-files-" + format);
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(twoChannelPlan(20)), input));
  const std::string full = dir + "full/";
  fs::create_directories(full);
  CliProcess reference({"convert", input, "-o", full, "--format", format}, dir);
  ASSERT_EQ(reference.wait(), 0) << reference.err();
  const rlim_t limit = rlim_t(fs::file_size(full + "cam_00." + format) / 2);

  const std::string out = dir + "out/";
  fs::create_directories(out);
  CliProcess limited({"convert", input, "-o", out, "--format", format, "--frame-times", "--report"}, dir,
                     limit);
  EXPECT_EQ(limited.wait(), 3) << limited.err();
  const std::string video = out + "cam_00." + format;
  const auto probed = test::probeMedia(video);
  ASSERT_TRUE(probed) << limited.err();
  std::size_t held = 0;
  int64_t lastPts = -1;
  for (const auto& packet : probed->packetsOf(0)) {
    if (packet.size == 0) continue;
    ++held;
    lastPts = std::max(lastPts, packet.pts);
  }
  ASSERT_GT(held, 0u);
  ASSERT_LT(held, 20u * 30u) << "the limit cut the file short";

  EXPECT_EQ(lines(slurp(out + "cam_00.csv")).size(), held + 1) << "a header and a row per frame held";
  std::size_t summarized = 0;
  for (const std::string& line : lines(limited.out()))
    if (line.rfind(video + ": ", 0) == 0) summarized = std::stoul(line.substr(video.size() + 2));
  EXPECT_EQ(summarized, held) << limited.out();

  // The last cue ends no later than the last frame held does (30 fps).
  const double frameEnd = double(lastPts) * av_q2d(probed->streams[0].timeBase) + 1.0 / 30.0;
  double lastCueEnd = 0;
  for (const std::string& line : lines(slurp(out + "cam_00.srt"))) {
    const auto arrow = line.find(" --> ");
    if (arrow == std::string::npos) continue;
    int h = 0, m = 0, sec = 0, ms = 0;
    ASSERT_EQ(std::sscanf(line.c_str() + arrow + 5, "%d:%d:%d,%d", &h, &m, &sec, &ms), 4) << line;
    lastCueEnd = h * 3600.0 + m * 60.0 + sec + ms / 1000.0;
  }
  EXPECT_GT(lastCueEnd, 0.0);
  EXPECT_LE(lastCueEnd, frameEnd + 0.001);

  const auto report = nlohmann::json::parse(slurp(out + "cam.report.json"));
  ASSERT_EQ(report.at("outputs").size(), 2u);
  const auto& first = report.at("outputs").at(0);
  EXPECT_EQ(first.at("video").at("framesWritten").get<std::size_t>(), held);
  EXPECT_EQ(first.at("frameMap").at("samples").size(), held);
  EXPECT_EQ(first.at("frameMap").at("differing").get<int>(), 0);
}

INSTANTIATE_TEST_SUITE_P(Containers, WriteFaultSideFiles, ::testing::Values("avi", "mkv", "mp4"));

// Tells the worker its progress; runs a callback once at a chosen position.
struct HookSink : ProgressSink {
  uint32_t at = 0;
  std::function<void()> hook;
  void progressRange(uint32_t) override {}
  void progressPosition(uint32_t position) override {
    if (position == at && hook) hook();
  }
  void conversionDone(const ConversionReport&) override {}
};

ConversionReport convertWith(const RecordingFile& recording, ConversionSettings settings, HookSink& sink) {
  ConversionContext context;
  context.settings = std::move(settings);
  context.progress = &sink;
  return runConversion(recording, context);
}

ConversionSettings settingsFor(const std::string& dir, uint32_t channels) {
  ConversionSettings s;
  s.selectedChannels = channels;
  s.destinationDir = dir;
  s.baseName = "rec";
  return s;
}

RecordingFile openRecording(std::unique_ptr<ByteSource> source) {
  RecordingFile recording;
  const Status opened = recording.open(std::move(source));
  EXPECT_TRUE(opened) << (opened ? "" : opened.error().message);
  return recording;
}

// The destination gone before the first file is made, or removed under a running conversion: the
// error names the file, and nothing is written anywhere else.
TEST(OutputFaultsTest, DestinationUnwritableOrRemoved) {
  const std::string dir = scratchDir("destination");
  const auto bytes = gen::buildRecording(gen::planScenario(twoChannelPlan(4))).bytes;
  const RecordingFile recording = openRecording(makeMemorySource(bytes, "cam.qmv"));

  // Under a regular file: refused whatever the permissions, root included (ENOTDIR).
  std::ofstream(dir + "plain") << "x";
  {
    HookSink host;
    const auto report = convertWith(recording, settingsFor(dir + "plain/", 0x3), host);
    ASSERT_TRUE(report.outputError);
    EXPECT_NE(report.outputError->message.find(dir + "plain/rec_0"), std::string::npos)
        << report.outputError->message;
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"plain"});
  }
  {
    const std::string gone = dir + "gone/";
    fs::create_directories(gone);
    HookSink host;
    host.at = recording.entryCount() / 2;
    host.hook = [&] { fs::remove_all(gone); };
    const auto report = convertWith(recording, settingsFor(gone, 0x3), host);
    ASSERT_TRUE(report.outputError);
    EXPECT_NE(report.outputError->message.find(gone + "rec_00.avi"), std::string::npos)
        << report.outputError->message;
    EXPECT_NE(report.outputError->message.find("removed"), std::string::npos) << report.outputError->message;
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"plain"});
  }
  // The CLI checks the folder before it begins.
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeFile(input, bytes));
  for (const std::string& target : {dir + "plain", dir + "plain/sub/"}) {
    CliProcess cli({"convert", input, "-o", target}, dir);
    EXPECT_EQ(cli.wait(), 3) << target;
    EXPECT_NE(cli.err().find(target), std::string::npos) << cli.err();
  }
  fs::remove(dir + "stdout.txt");
  fs::remove(dir + "stderr.txt");
  EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"cam.qmv", "plain"}));
}

// A file that changes size while it is read: once armed, after `reads` more reads its size is
// `changedSize`, and reads past that size give nothing, as with a real truncated file.
class ChangingSource final : public ByteSource {
 public:
  ChangingSource(std::vector<uint8_t> bytes, uint64_t changedSize)
      : bytes_(std::move(bytes)), changedSize_(changedSize) {}
  void arm(int reads) { readsLeft_ = reads; }
  uint64_t size() const override { return bytes_.size(); }
  Result<uint64_t> currentSize() override { return readsLeft_ > 0 ? uint64_t(bytes_.size()) : changedSize_; }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (readsLeft_ > 0) --readsLeft_;
    const uint64_t end = std::min<uint64_t>(bytes_.size(), currentSize().value());
    if (offset >= end) return 0;
    count = std::size_t(std::min<uint64_t>(count, end - offset));
    std::memcpy(destination, bytes_.data() + offset, count);
    return count;
  }
  const std::string& name() const override { return name_; }

 private:
  std::vector<uint8_t> bytes_;
  int readsLeft_ = INT32_MAX;
  uint64_t changedSize_;
  std::string name_ = "changing.qmv";
};

// The recording is opened whole; the size changes after the reader's first window.
TEST(OutputFaultsTest, RecordingThatChangesSizeStopsWithAnInputError) {
  const auto bytes = gen::buildRecording(gen::planScenario(twoChannelPlan(100))).bytes;
  ASSERT_GT(bytes.size(), 2 * RecordReader::kDefaultWindowBytes);
  struct Case {
    const char* name;
    uint64_t changedSize;
  };
  const Case cases[] = {{"grown", bytes.size() + 4096}, {"truncated", bytes.size() / 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir(c.name);
    auto source = std::make_unique<ChangingSource>(bytes, c.changedSize);
    ChangingSource* changing = source.get();
    const RecordingFile recording = openRecording(std::move(source));
    // A memory-like source fills a window in one read: the first window comes in whole, the second
    // sees the new size.
    changing->arm(2);
    HookSink host;
    const auto report = convertWith(recording, settingsFor(dir, 0x3), host);
    ASSERT_TRUE(report.inputError);
    EXPECT_NE(report.inputError->message.find("changing.qmv changed size"), std::string::npos)
        << report.inputError->message;
    EXPECT_FALSE(report.outputError);
    EXPECT_FALSE(report.stopped);
    EXPECT_LT(report.entriesDone, recording.entryCount() - 1);
    ASSERT_EQ(report.files.size(), 2u);
    for (const OutputFileReport& file : report.files) {
      SCOPED_TRACE(file.path);
      const int pictures = completePictures(file.path);
      EXPECT_GT(pictures, 0);
      EXPECT_EQ(uint64_t(pictures), file.frames);
    }
  }
}

// Through the CLI: a recording cut short under a running conversion ends it with exit status 2, one
// line naming the recording, and complete files. The recording is large enough that the cut lands
// long before the end.
TEST(OutputFaultsTest, CliStopsWhenTheRecordingIsTruncated) {
  const std::string dir = scratchDir("truncated");
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(twoChannelPlan(400)), input));
  const uintmax_t size = fs::file_size(input);

  CliProcess cli({"convert", input}, dir);
  // The first output file exists once the recording is open and the conversion under way.
  cli.waitForFiles({dir + "cam_00.avi"});
  fs::resize_file(input, size / 2);
  EXPECT_EQ(cli.wait(), 2) << cli.err();
  const auto err = lines(cli.err());
  ASSERT_EQ(err.size(), 1u) << cli.err();
  EXPECT_NE(err[0].find(input + " changed size"), std::string::npos) << err[0];
  const auto frames = summaryFrames(cli.out());
  for (const char* name : {"cam_00.avi", "cam_01.avi"}) {
    SCOPED_TRACE(name);
    const int pictures = completePictures(dir + name);
    EXPECT_GT(pictures, 0);
    EXPECT_EQ(frames.at(name), pictures) << cli.out();
  }
}

// Only separators, NULs and all-dot names change; everything else stays byte for byte.
TEST(OutputFaultsTest, OutputNamesStayInTheirFolder) {
  struct Case {
    std::string base, expected;
  };
  const Case cases[] = {
      {"cam", "D/cam_03.avi"},
      {"../../etc/cam", "D/.._.._etc_cam_03.avi"},
      {"..\\..\\cam", "D/.._.._cam_03.avi"},
      {"/abs", "D/_abs_03.avi"},
      {std::string("a\0b", 3), "D/a_b_03.avi"},
      {"..", "D/_.._03.avi"},
      {".", "D/_._03.avi"},
      {"...", "D/_..._03.avi"},
      {"..cam.", "D/..cam._03.avi"},
      {"", "D/_03.avi"},
      {"caf\xC3\xA9 *?:|<>", "D/caf\xC3\xA9 *?:|<>_03.avi"},
  };
  for (const Case& c : cases) EXPECT_EQ(outputFileName("D/", c.base, 3), c.expected) << c.base;

  // Through the CLI: inputs whose names hold '\\' and dots alone.
  const std::string dir = scratchDir("names");
  const std::string inside = dir + "in/";
  fs::create_directories(inside);
  const auto bytes = gen::buildRecording(gen::planScenario(twoChannelPlan(1))).bytes;
  const std::string names[] = {"..\\..\\up.qmv", "...qmv"};
  for (const std::string& name : names) ASSERT_TRUE(gen::writeFile(inside + name, bytes));
  for (const std::string& name : names) {
    CliProcess cli({"convert", inside + name}, dir);
    EXPECT_EQ(cli.wait(), 0) << cli.err();
  }
  EXPECT_EQ(filesIn(inside, ".avi"),
            (std::vector<std::string>{".._.._up_00.avi", ".._.._up_01.avi", "_.._00.avi", "_.._01.avi"}));
  fs::remove(dir + "stdout.txt");
  fs::remove(dir + "stderr.txt");
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"in"});
}

// The recording is only read: its bytes and modification time are the same after a conversion.
TEST(OutputFaultsTest, InputIsLeftUntouched) {
  const std::string dir = scratchDir("input");
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(twoChannelPlan(2)), input));
  // An mtime in the past, so that a write during the run could not leave it equal by chance.
  const auto past = fs::last_write_time(input) - std::chrono::hours(1);
  fs::last_write_time(input, past);
  const std::string before = slurp(input);

  CliProcess cli({"convert", input}, dir);
  ASSERT_EQ(cli.wait(), 0) << cli.err();
  EXPECT_TRUE(fs::exists(dir + "cam_00.avi"));
  EXPECT_EQ(fs::last_write_time(input), past);
  EXPECT_TRUE(slurp(input) == before);
}

}  // namespace
}  // namespace qmv
