// qmv2avi-cli with several inputs: batch convert with jobs, folders, name clashes, JSON progress; info.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

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
using test::lines;
using test::quote;
using test::runCli;
using test::slurp;

std::string scratchDir() { return test::freshTestDir(QMV2AVI_TEST_TMP, "cli-batch"); }

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// CH-01 (with audio) and CH-04 with video, `seconds` long.
std::string writeRecording(const std::string& path, int seconds = 1) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}, {3, 20, 20, -1, 5}};
  plan.seconds = seconds;
  plan.reuseFrames = true;
  EXPECT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), path));
  return path;
}

// Damaged: random-looking bytes with no index trailer at the end, so opening rejects it.
std::string writeJunk(const std::string& path) {
  std::string bytes(4096, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 7919 + 13) % 251);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::vector<std::string> aviFiles(const std::string& dir) { return test::filesIn(dir, ".avi"); }

TEST(CliBatchTest, DamagedInputFailsAloneAndSetsTheExitStatus) {
  const std::string dir = scratchDir();
  const std::string out = dir + "out/";
  fs::create_directories(out);
  std::string args;
  for (const char* name : {"a.qmv", "b.qmv", "c.qmv"})
    args.append(" ").append(quote(writeRecording(dir + name)));
  args.append(" ").append(quote(writeJunk(dir + "broken.qmv")));
  // CH-03 has no video: one message per good input, each of which must name its input.
  const CliResult r = runCli("convert" + args + " -o " + quote(out) + " --jobs 2 --channels 1,3,4", dir);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(aviFiles(out), (std::vector<std::string>{"a_00.avi", "a_03.avi", "b_00.avi", "b_03.avi",
                                                     "c_00.avi", "c_03.avi"}));
  for (const char* name : {"a_00.avi", "b_03.avi", "c_00.avi"})
    EXPECT_TRUE(test::probeMedia(out + name)) << name;

  const auto errors = lines(r.err);
  ASSERT_EQ(errors.size(), 4u) << r.err;
  for (const char* name : {"a.qmv", "b.qmv", "c.qmv"}) {
    const std::string expected = "qmv2avi-cli: " + dir + name + ": CH-03 has no video; no file for it";
    EXPECT_EQ(std::count(errors.begin(), errors.end(), expected), 1) << r.err;
  }
  const std::string brokenPrefix = "qmv2avi-cli: " + dir + "broken.qmv: ";
  const auto broken = std::find_if(errors.begin(), errors.end(),
                                   [&](const std::string& l) { return l.starts_with(brokenPrefix); });
  ASSERT_NE(broken, errors.end()) << r.err;
  EXPECT_FALSE(contains(broken->substr(brokenPrefix.size()), "broken.qmv")) << *broken;  // named once

  // Per-file lines as each input ends, then one summary in input order and a total.
  const auto summary = lines(r.out);
  ASSERT_EQ(summary.size(), 6u + 5u) << r.out;
  EXPECT_EQ(summary[6].rfind(dir + "a.qmv: converted, 2 files, ", 0), 0u) << summary[6];
  EXPECT_EQ(summary[9], dir + "broken.qmv: failed, exit status 2");
  EXPECT_EQ(summary[10].rfind("3 of 4 recordings converted, 6 files, ", 0), 0u) << summary[10];
}

TEST(CliBatchTest, FoldersGiveTheirRecordingsSortedWithoutDuplicates) {
  const std::string dir = scratchDir();
  const std::string in = dir + "in/", out = dir + "out/";
  fs::create_directories(in + "deeper");
  fs::create_directories(out);
  fs::create_directories(dir + "empty");
  writeRecording(in + "b.qmv");
  writeRecording(in + "A.QMV");
  writeRecording(in + "deeper/not-searched.qmv");  // folders are not searched below their own level
  std::ofstream(in + "notes.txt") << "not a recording";
  // The folder and one of its files again under another spelling: each recording once.
  const CliResult r =
      runCli("convert " + quote(in) + " " + quote(dir + "in/../in/b.qmv") + " -o " + quote(out), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(aviFiles(out), (std::vector<std::string>{"A_00.avi", "A_03.avi", "b_00.avi", "b_03.avi"}));
  const auto summary = lines(r.out);
  ASSERT_EQ(summary.size(), 4u + 3u) << r.out;
  EXPECT_EQ(summary[4].rfind((fs::path(in) / "A.QMV").string() + ": converted", 0), 0u) << r.out;
  EXPECT_EQ(summary[5].rfind((fs::path(in) / "b.qmv").string() + ": converted", 0), 0u) << r.out;

  // A folder without recordings is a bad input, but does not stop the others.
  fs::remove_all(out);
  fs::create_directories(out);
  const CliResult empty =
      runCli("convert " + quote(dir + "empty") + " " + quote(in + "b.qmv") + " -o " + quote(out), dir);
  EXPECT_EQ(empty.status, 2);
  EXPECT_TRUE(contains(empty.err, dir + "empty: no .qmv or .exe file in this folder")) << empty.err;
  EXPECT_EQ(aviFiles(out), (std::vector<std::string>{"b_00.avi", "b_03.avi"}));
}

// Worst status first: an output problem (3) outranks a bad input (2).
TEST(CliBatchTest, InputsWithTheSameOutputNamesAreRefusedBeforeAnythingIsWritten) {
  const std::string dir = scratchDir();
  writeRecording(dir + "cam.qmv");
  fs::copy_file(dir + "cam.qmv", dir + "cam.exe");
  writeRecording(dir + "other.qmv");
  writeJunk(dir + "broken.qmv");
  const CliResult r = runCli("convert " + quote(dir + "cam.qmv") + " " + quote(dir + "cam.exe") + " " +
                                 quote(dir + "other.qmv") + " " + quote(dir + "broken.qmv") + " --jobs 2",
                             dir);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(aviFiles(dir), (std::vector<std::string>{"other_00.avi", "other_03.avi"}));
  EXPECT_TRUE(contains(r.err, "qmv2avi-cli: " + dir + "cam.exe: its output files " + dir +
                                  "cam_NN.avi would be those of " + dir + "cam.qmv"))
      << r.err;
  EXPECT_TRUE(contains(r.out, dir + "cam.qmv: not converted: output names clash")) << r.out;

  // The same names in different folders clash only when -o puts them together.
  fs::create_directories(dir + "x");
  fs::create_directories(dir + "out");
  fs::rename(dir + "cam.exe", dir + "x/cam.qmv");
  const CliResult apart = runCli("convert " + quote(dir + "cam.qmv") + " " + quote(dir + "x/cam.qmv"), dir);
  EXPECT_EQ(apart.status, 0) << apart.err;
  const CliResult together = runCli(
      "convert " + quote(dir + "cam.qmv") + " " + quote(dir + "x/cam.qmv") + " -o " + quote(dir + "out"),
      dir);
  EXPECT_EQ(together.status, 3) << together.err;
  EXPECT_TRUE(aviFiles(dir + "out").empty());
}

TEST(CliBatchTest, JsonProgressIsOneObjectPerLineEndingInADoneEvent) {
  const std::string dir = scratchDir();
  writeRecording(dir + "long.qmv", 30);
  writeRecording(dir + "short.qmv", 2);
  writeJunk(dir + "broken.qmv");
  const CliResult r = runCli("convert " + quote(dir + "long.qmv") + " " + quote(dir + "short.qmv") + " " +
                                 quote(dir + "broken.qmv") + " --progress=json --jobs 2",
                             dir);
  EXPECT_EQ(r.status, 2) << r.err;
  std::vector<json> events;
  for (const std::string& line : lines(r.err)) {
    json event = json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    ASSERT_TRUE(event.contains("event")) << line;
    events.push_back(event);
  }
  ASSERT_FALSE(events.empty());
  const auto count = [&](const std::string& kind) {
    return std::count_if(events.begin(), events.end(), [&](const json& e) { return e["event"] == kind; });
  };
  EXPECT_EQ(count("start"), 2);  // the broken one never starts a pass
  EXPECT_EQ(count("file-done"), 3);
  EXPECT_EQ(count("message"), 1);  // the broken input's reason, as an event
  EXPECT_EQ(count("done"), 1);
  uint64_t lastDone = 0;
  for (const json& e : events) {
    if (e["event"] != "progress") continue;
    EXPECT_LE(e["done"].get<uint64_t>(), e["total"].get<uint64_t>());
    EXPECT_LE(e["bytes"].get<uint64_t>(), e["totalBytes"].get<uint64_t>());
    EXPECT_GE(e["done"].get<uint64_t>(), lastDone);  // totals never go back
    lastDone = e["done"].get<uint64_t>();
  }
  const json& done = events.back();
  EXPECT_EQ(done["event"], "done");
  EXPECT_EQ(done["status"], 2);
  EXPECT_EQ(done["inputs"], 3);
  EXPECT_EQ(done["inputsDone"], 3);
  EXPECT_EQ(done["files"], aviFiles(dir).size());
  EXPECT_EQ(done["files"], 4);
  EXPECT_EQ(done["done"], done["total"]);
  EXPECT_EQ(done["bytes"], done["totalBytes"]);
  // The entry totals are those of the two good recordings, as info counts them.
  uint64_t entries = 0;
  for (const char* name : {"long.qmv", "short.qmv"}) {
    const CliResult info = runCli("info --json " + quote(dir + name), dir);
    entries += json::parse(info.out)["entryCount"].get<uint64_t>();
  }
  EXPECT_EQ(done["total"], entries);
}

TEST(CliBatchTest, UsageErrors) {
  const std::string dir = scratchDir();
  const std::string input = quote(writeRecording(dir + "cam.qmv"));
  const std::string cases[] = {"convert " + input + " --jobs -1", "convert " + input + " --jobs x",
                               "convert " + input + " --progress xml", "info"};
  for (const std::string& args : cases) {
    const CliResult r = runCli(args, dir);
    EXPECT_EQ(r.status, 64) << args << "\n" << r.err;
  }
  EXPECT_TRUE(aviFiles(dir).empty());
}

TEST(CliBatchTest, InfoOnSeveralInputs) {
  const std::string dir = scratchDir();
  const std::string a = writeRecording(dir + "a.qmv"), b = writeRecording(dir + "b.qmv", 2);
  const std::string broken = writeJunk(dir + "broken.qmv");

  const CliResult text = runCli("info " + quote(a) + " " + quote(broken) + " " + quote(b), dir);
  EXPECT_EQ(text.status, 2);
  const auto out = lines(text.out);
  std::vector<std::string> headers;
  std::copy_if(out.begin(), out.end(), std::back_inserter(headers),
               [](const std::string& l) { return l.starts_with("==> "); });
  EXPECT_EQ(headers,
            (std::vector<std::string>{"==> " + a + " <==", "==> " + broken + " <==", "==> " + b + " <=="}));
  EXPECT_EQ(std::count(out.begin(), out.end(), "File: " + a), 1);
  EXPECT_EQ(std::count(out.begin(), out.end(), "File: " + b), 1);
  EXPECT_EQ(lines(text.err).size(), 1u) << text.err;

  const CliResult array = runCli("info --json " + quote(a) + " " + quote(broken) + " " + quote(b), dir);
  EXPECT_EQ(array.status, 2);
  const json documents = json::parse(array.out, nullptr, false);
  ASSERT_TRUE(documents.is_array()) << array.out;
  ASSERT_EQ(documents.size(), 3u);
  EXPECT_EQ(documents[0]["file"], a);
  EXPECT_EQ(documents[0]["channels"].size(), 2u);
  EXPECT_EQ(documents[1]["file"], broken);
  EXPECT_TRUE(documents[1]["error"].is_string());
  EXPECT_EQ(documents[2]["file"], b);

  // A folder always gives an array, even of one; a single file stays one object.
  fs::create_directories(dir + "one");
  fs::copy_file(a, dir + "one/a.qmv");
  const json folder = json::parse(runCli("info --json " + quote(dir + "one"), dir).out, nullptr, false);
  ASSERT_TRUE(folder.is_array());
  EXPECT_EQ(folder.size(), 1u);
  const json single = json::parse(runCli("info --json " + quote(a), dir).out, nullptr, false);
  EXPECT_TRUE(single.is_object());
}

// One Ctrl-C stops every job: each file written so far is complete, and nothing new starts.
// Re-encoding is slow enough that the signal lands mid-way through both.
TEST(CliBatchTest, InterruptStopsEveryJob) {
  if (const std::string why = test::slowReencodeUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const std::string dir = scratchDir();
  for (const char* name : {"one.qmv", "two.qmv", "three.qmv"})
    ASSERT_TRUE(test::writeSlowReencodeRecording(dir + name, 40));

  test::CliProcess cli(
      {"convert", dir + "one.qmv", dir + "two.qmv", dir + "three.qmv", "--reencode", "ffv1", "--jobs", "2"},
      dir);
  cli.signalOnceWritten({dir + "one_00.avi", dir + "two_00.avi"}, SIGINT);
  const int status = cli.wait();
  ASSERT_NE(status, -1) << "ended by signal " << cli.endSignal();
  EXPECT_EQ(status, 130) << cli.err();

  EXPECT_EQ(aviFiles(dir), (std::vector<std::string>{"one_00.avi", "two_00.avi"}));
  for (const char* name : {"one_00.avi", "two_00.avi"}) {
    auto headers = test::readAviHeaders(dir + name);
    ASSERT_TRUE(headers) << name;
    EXPECT_TRUE(headers->hasIdx1) << name;
    const int pictures = test::decodeAllFrames(dir + name, 0, nullptr);
    EXPECT_GT(pictures, 0) << name;
    EXPECT_LT(pictures, 40 * 30) << name;
  }
  const std::string summary = cli.out();
  EXPECT_TRUE(contains(summary, dir + "one.qmv: stopped, 1 file")) << summary;
  EXPECT_TRUE(contains(summary, dir + "three.qmv: not started")) << summary;
}

}  // namespace
}  // namespace qmv
