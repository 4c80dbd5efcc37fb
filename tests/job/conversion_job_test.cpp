// The job of one conversion: its planned outputs, the check before a batch, and the result of a run.
#include "job/conversion_job.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

std::string scratchDir(const std::string& sub = "") {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "job", sub);
}

void touch(const std::string& path) { std::ofstream(path) << "x"; }

// Video on CH-01 (declared 30 fps, delivering 10) and CH-03 (as declared); CH-02 has none.
std::string writeRecording(const std::string& dir) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 120, -1, 6}, {2, 2, 40, -1, 5}};
  plan.channels[0].framesPerSecond = {10};
  plan.seconds = 4;
  plan.reuseFrames = true;
  const std::string path = dir + "cam.qmv";
  EXPECT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), path));
  return path;
}

ConversionJob jobFor(const std::string& input, const std::string& dir, uint32_t channels,
                     SideFileChoices side) {
  ConversionJob job;
  job.input = input;
  job.settings.selectedChannels = channels;
  job.settings.destinationDir = dir;
  job.settings.baseName = "cam";
  job.sideFiles = side;
  job.reportPath = reportPathFor("", dir, "cam");
  job.tool = {"qmv2avi-test", "1", {"qmv2avi-test", "cam.qmv"}};
  return job;
}

struct Opened {
  std::string dir;
  std::string input;
  RecordingFile recording;
};

void openIn(Opened& o, const std::string& sub) {
  o.dir = scratchDir(sub);
  o.input = writeRecording(o.dir);
  ConversionJob job;
  job.input = o.input;
  const Status opened = openJobRecording(job, o.recording);
  ASSERT_TRUE(opened) << opened.error().message;
}

struct PlanCase {
  const char* name;
  uint32_t channels;
  SideFileChoices side;
  Container container;
  std::vector<std::string> expected;  // names in the destination folder, in plan order
};

class PlanOutputsTest : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanOutputsTest, ListsEveryFileInChannelOrderReportLast) {
  const PlanCase& c = GetParam();
  Opened o;
  openIn(o, c.name);
  ConversionJob job = jobFor(o.input, o.dir, c.channels, c.side);
  job.settings.container = c.container;
  std::vector<std::string> expected;
  for (const std::string& name : c.expected) expected.push_back(o.dir + name);
  EXPECT_EQ(planOutputs(job, o.recording), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlanOutputsTest,
    testing::Values(
        PlanCase{"videoOnly", 0b101, {false, false, false}, Container::kAvi, {"cam_00.avi", "cam_02.avi"}},
        PlanCase{"channelWithoutVideo", 0b010, {true, true, true}, Container::kAvi, {}},
        PlanCase{"allSideFiles",
                 0b111,
                 {true, true, true},
                 Container::kMkv,
                 {"cam_00.mkv", "cam_00.srt", "cam_00.csv", "cam_02.mkv", "cam_02.srt", "cam_02.csv",
                  "cam.report.json"}},
        PlanCase{"frameLogAndReport",
                 0b100,
                 {false, true, true},
                 Container::kMp4,
                 {"cam_02.mp4", "cam_02.csv", "cam.report.json"}}),
    [](const testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.name); });

TEST(ReportPathTest, BesideTheVideosInAFolderOrAsNamed) {
  const std::string dir = scratchDir();
  fs::create_directory(dir + "reports");
  EXPECT_EQ(reportPathFor("", dir, "cam"), dir + "cam.report.json");
  EXPECT_EQ(reportPathFor(dir + "reports", dir, "cam"), dir + "reports/cam.report.json");
  EXPECT_EQ(reportPathFor(dir + "mine.json", dir, "cam"), dir + "mine.json");
}

struct CheckCase {
  const char* name;
  // Lays files in dir (which holds input) and returns the batch to check.
  std::vector<PlannedJob> (*lay)(const std::string& dir, const std::string& input);
  std::size_t clashes;
  std::vector<std::string> existing;  // names in dir
};

class CheckBeforeRunTest : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckBeforeRunTest, FindsClashesAndExistingFiles) {
  const CheckCase& c = GetParam();
  const std::string dir = scratchDir(c.name);
  const std::string input = dir + "cam.qmv";
  touch(input);
  const PreRunCheck check = checkBeforeRun(c.lay(dir, input));
  EXPECT_EQ(check.clashes.size(), c.clashes);
  std::vector<std::string> existing;
  for (const std::string& name : c.existing) existing.push_back(dir + name);
  EXPECT_EQ(check.existing, existing);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckBeforeRunTest,
    testing::Values(
        CheckCase{"free",
                  [](const std::string& d, const std::string& in) {
                    return std::vector<PlannedJob>{{in, {d + "cam_00.avi", d + "cam_00.srt"}}};
                  },
                  0,
                  {}},
        CheckCase{"existingInPlanOrder",
                  [](const std::string& d, const std::string& in) {
                    touch(d + "cam.report.json");
                    touch(d + "cam_00.srt");
                    return std::vector<PlannedJob>{
                        {in, {d + "cam_00.avi", d + "cam_00.srt", d + "cam.report.json"}}};
                  },
                  0,
                  {"cam_00.srt", "cam.report.json"}},
        CheckCase{"danglingLinkCounts",
                  [](const std::string& d, const std::string& in) {
                    fs::create_symlink(d + "nowhere", d + "cam_00.avi");
                    return std::vector<PlannedJob>{{in, {d + "cam_00.avi"}}};
                  },
                  0,
                  {"cam_00.avi"}},
        CheckCase{"outputIsTheInputByAHardLink",
                  [](const std::string& d, const std::string& in) {
                    fs::create_hard_link(in, d + "cam_00.avi");
                    return std::vector<PlannedJob>{{in, {d + "cam_00.avi"}}};
                  },
                  1,
                  {"cam_00.avi"}},
        CheckCase{"outputIsAnotherJobsInput",
                  [](const std::string& d, const std::string& in) {
                    touch(d + "other.qmv");
                    fs::create_symlink(d + "other.qmv", d + "cam_00.avi");
                    return std::vector<PlannedJob>{{in, {d + "cam_00.avi"}},
                                                   {d + "other.qmv", {d + "other_00.avi"}}};
                  },
                  1,
                  {"cam_00.avi"}},
        CheckCase{"twoJobsOneOutput",
                  [](const std::string& d, const std::string& in) {
                    touch(d + "b.qmv");
                    return std::vector<PlannedJob>{{in, {d + "x_00.avi"}}, {d + "b.qmv", {d + "x_00.avi"}}};
                  },
                  1,
                  {}}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

struct RunCase {
  const char* name;
  SideFileChoices side;
  std::size_t sideFiles;  // subtitle and frame-log files written (two channels)
};

class RunJobTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunJobTest, WritesTheOutputsSideFilesAndReportAsked) {
  const RunCase& c = GetParam();
  Opened o;
  openIn(o, c.name);
  const ConversionJob job = jobFor(o.input, o.dir, 0b101, c.side);
  std::vector<std::string> told;
  JobHooks hooks;
  hooks.warning = [&told](const std::string& warning) { told.push_back(warning); };
  // The front end may tell the files written before the report, which reads them all back, is written.
  int filesDone = 0;
  hooks.filesDone = [&](const JobResult& done) {
    ++filesDone;
    EXPECT_EQ(done.sideFiles.size(), c.sideFiles);
    EXPECT_FALSE(fs::exists(job.reportPath));
  };
  const JobResult result = runJob(job, o.recording, hooks);
  EXPECT_EQ(filesDone, 1);

  ASSERT_FALSE(result.report.outputError) << result.report.outputError->message;
  ASSERT_FALSE(result.sideError) << result.sideError->message;
  ASSERT_EQ(result.report.files.size(), 2u);
  EXPECT_TRUE(result.removed.empty());
  EXPECT_EQ(result.sideFiles.size(), c.sideFiles);
  for (const std::string& side : result.sideFiles) EXPECT_TRUE(fs::is_regular_file(side)) << side;
  EXPECT_EQ(result.reportPath, c.side.report ? job.reportPath : "");
  EXPECT_EQ(fs::exists(job.reportPath), c.side.report);
  // Only CH-01 delivers other than it declares; the warning is told before the run and kept in the result.
  ASSERT_EQ(result.rateWarnings.size(), 1u);
  EXPECT_EQ(result.rateWarnings[0].rfind("CH-01", 0), 0u) << result.rateWarnings[0];
  EXPECT_EQ(told, result.rateWarnings);
  if (c.side.report) {
    const std::string text = test::slurp(job.reportPath);
    EXPECT_NE(text.find("qmv2avi-test"), std::string::npos);
    for (const std::string& side : result.sideFiles)
      EXPECT_NE(text.find(fs::path(side).filename().string()), std::string::npos) << side;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RunJobTest,
                         testing::Values(RunCase{"videoOnly", {false, false, false}, 0},
                                         RunCase{"subtitles", {true, false, false}, 2},
                                         RunCase{"everything", {true, true, true}, 4}),
                         [](const testing::TestParamInfo<RunCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(RunJobTest, AFileTheWriterRemovedIsNoOutputAndNoReportWithoutAPass) {
  Opened o;
  openIn(o, "removed");
  const ConversionJob job = jobFor(o.input, o.dir, 0b100, {false, false, true});
  JobHooks hooks;
  // A pass that reports one file but leaves nothing at its name, as the writer does when nothing playable
  // was written.
  hooks.run = [&o](const RecordingFile&, const ConversionContext&) {
    ConversionReport report;
    report.started = true;
    OutputFileReport file;
    file.channel = 2;
    file.path = o.dir + "cam_02.avi";
    report.files.push_back(file);
    return report;
  };
  const JobResult removed = runJob(job, o.recording, hooks);
  EXPECT_TRUE(removed.report.files.empty());
  EXPECT_EQ(removed.removed, std::vector<std::string>{o.dir + "cam_02.avi"});
  EXPECT_EQ(removed.reportPath, job.reportPath);

  fs::remove(job.reportPath);
  hooks.run = [](const RecordingFile&, const ConversionContext&) { return ConversionReport{}; };
  const JobResult unstarted = runJob(job, o.recording, hooks);
  EXPECT_EQ(unstarted.reportPath, "");
  EXPECT_FALSE(fs::exists(job.reportPath));
  EXPECT_TRUE(unstarted.rateWarnings.empty());  // CH-01 is not in the job
}

}  // namespace
}  // namespace qmv
