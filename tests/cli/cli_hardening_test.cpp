// qmv2avi-cli under attack: special files as inputs, outputs that are the input, report clashes, closed
// console pipes, executables past 4 GiB and hostile reports; one table per class.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "recording/recording_file.h"
#include "recording/recording_format.h"
#include "support/avi_probe.h"
#include "support/cli_process.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using test::CliResult;
using test::quote;

std::string scratchDir(const std::string& name) {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "cli-harden", name);
}

std::vector<uint8_t> recordingBytes() {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}, {3, 20, 20, -1, 5}};
  plan.seconds = 1;
  plan.reuseFrames = true;
  return gen::buildRecording(gen::planScenario(plan)).bytes;
}

std::string writeRecording(const std::string& dir, const std::string& name = "cam.qmv") {
  const std::string path = dir + name;
  EXPECT_TRUE(gen::writeFile(path, recordingBytes()));
  return path;
}

// The CLI under `timeout`: a tool that blocks on a FIFO fails the test (status 124) instead of hanging it.
CliResult runBounded(const std::string& args, const std::string& dir) {
  return test::runProgram("timeout", "20 " + quote(test::cliPath()) + " " + args, dir);
}

TEST(CliHardening, SpecialFilesAreRefusedWithAReason) {
  const std::string dir = scratchDir("special");
  const std::string fifo = dir + "pipe.qmv";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string args;
    int status;
    std::string reason;
  } cases[] = {
      {"info " + quote(fifo), 2, "a FIFO (named pipe), not a regular file"},
      {"convert " + quote(fifo), 2, "a FIFO (named pipe), not a regular file"},
      {"verify " + quote(fifo), 2, "a FIFO (named pipe), not a regular file"},
      {"info /dev/zero", 2, "a character device, not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const CliResult r = runBounded(c.args, dir);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
  EXPECT_EQ(test::filesIn(dir, ".avi"), std::vector<std::string>{});
}

// A report that names a FIFO as its output, and one as its input: verify must say so, not block on it.
TEST(CliHardening, VerifyDoesNotBlockOnAFifoNamedByTheReport) {
  const std::string dir = scratchDir("verify-fifo");
  const std::string input = writeRecording(dir);
  ASSERT_EQ(runBounded("convert --channels 1 --no-timestamps " + quote(input) + " --report", dir).status, 0);
  const std::string report = dir + "cam.report.json";
  fs::remove(dir + "cam_00.avi");
  ASSERT_EQ(::mkfifo((dir + "cam_00.avi").c_str(), 0600), 0);
  const CliResult r = runBounded("verify " + quote(report), dir);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("MISMATCH " + dir + "cam_00.avi: " + dir + "cam_00.avi is a FIFO"), std::string::npos)
      << r.out;
}

// A report is the sender's to write: whatever paths it names, verify opens only files under the report's
// folder, never through a link, and never reads a nesting of brackets into memory.
TEST(CliHardening, VerifyOpensNothingOutsideTheReportsFolder) {
  const std::string dir = scratchDir("verify-scope");
  fs::create_directories(dir + "set");
  const std::string input = writeRecording(dir + "set/");
  ASSERT_EQ(runBounded("convert --channels 1 --no-timestamps " + quote(input) + " --report", dir).status, 0);
  const std::string report = dir + "set/cam.report.json";
  const nlohmann::json written = nlohmann::json::parse(test::slurp(report));
  std::ofstream(dir + "outside.avi") << "not part of the set";
  fs::copy_file(dir + "set/cam_00.avi", dir + "kept.avi");
  fs::create_directory_symlink(dir, dir + "set/up");

  struct Case {
    const char* name;
    std::function<void(nlohmann::json&)> edit;
    std::string line;  // what verify must print
  } cases[] = {
      {"an absolute path outside", [&](nlohmann::json& r) { r["outputs"][0]["path"] = dir + "outside.avi"; },
       "REFUSED " + dir + "outside.avi: outside the report's folder"},
      {"a path that climbs out",
       [&](nlohmann::json& r) { r["outputs"][0]["path"] = dir + "set/../outside.avi"; },
       "REFUSED " + dir + "outside.avi: outside the report's folder"},
      {"a linked folder leading out",
       [&](nlohmann::json& r) { r["outputs"][0]["path"] = dir + "set/up/outside.avi"; },
       "REFUSED " + dir + "set/up/outside.avi: outside the report's folder"},
      {"the input outside", [&](nlohmann::json& r) { r["input"]["path"] = dir + "outside.avi"; },
       "NOT CHECKED input " + dir + "outside.avi: outside the report's folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json edited = written;
    c.edit(edited);
    std::ofstream(report) << edited.dump(2);
    const CliResult r = runBounded("verify " + quote(report), dir);
    EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("size 19,"), std::string::npos) << "the outside file's size was read: " << r.out;
  }

  // The copy's video is a link to a file kept elsewhere: not the file itself, so not opened.
  std::ofstream(report) << written.dump(2);
  fs::remove(dir + "set/cam_00.avi");
  fs::create_symlink(dir + "kept.avi", dir + "set/cam_00.avi");
  const CliResult linked = runBounded("verify " + quote(report), dir);
  EXPECT_EQ(linked.status, 1);
  EXPECT_NE(linked.out.find("REFUSED " + dir + "set/cam_00.avi: a link, not the file itself"),
            std::string::npos)
      << linked.out;

  // Ten million brackets: refused at the depth no report reaches, before they cost memory.
  {
    std::ofstream deep(dir + "deep.json");
    deep << "{\"schemaVersion\": 1, \"outputs\": " << std::string(10'000'000, '[');
  }
  const CliResult deep = runBounded("verify " + quote(dir + "deep.json"), dir);
  EXPECT_EQ(deep.status, 2);
  EXPECT_NE(deep.err.find("nested deeper than any member of a report"), std::string::npos) << deep.err;
}

// The recording starts just below 4 GiB in a player executable and runs past the 4 GiB point: every
// position into it must be added to the start in 64 bits. Sparse, so it costs no disk.
TEST(CliHardening, ExecutableWithTheRecordingPastFourGiB) {
  const std::string dir = scratchDir("past-4gib");
  const std::vector<uint8_t> recording = recordingBytes();
  ASSERT_GT(recording.size(), 0x1000u);
  const uint64_t start = 0xFFFFF000;  // no marker at 28: the word there is the start
  std::vector<uint8_t> head(64, 0);
  head[0] = 'M';
  head[1] = 'Z';
  for (int i = 0; i < 4; ++i) head[28 + i] = uint8_t(start >> (8 * i));
  const std::string exe = dir + "player.exe";
  {
    const int fd = ::open(exe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, head.data(), head.size(), 0), ssize_t(head.size()));
    EXPECT_EQ(::pwrite(fd, recording.data(), recording.size(), off_t(start)), ssize_t(recording.size()));
    ::close(fd);
  }
  const std::string plain = writeRecording(dir, "plain.qmv");
  const CliResult reference = runBounded("info --json " + quote(plain), dir);
  const CliResult wrapped = runBounded("info --json " + quote(exe), dir);
  ASSERT_EQ(reference.status, 0) << reference.err;
  ASSERT_EQ(wrapped.status, 0) << wrapped.err;
  EXPECT_NE(wrapped.out.find("\"recordingStart\": 4294963200"), std::string::npos) << wrapped.out;

  const CliResult converted = runBounded("convert --no-timestamps " + quote(exe), dir);
  ASSERT_EQ(converted.status, 0) << converted.err;
  ASSERT_EQ(runBounded("convert --no-timestamps " + quote(plain), dir).status, 0);
  for (const char* channel : {"_00.avi", "_03.avi"}) {
    const auto fromExe = test::probeMedia(dir + "player" + channel);
    const auto fromPlain = test::probeMedia(dir + "plain" + channel);
    ASSERT_TRUE(fromExe && fromPlain) << channel;
    EXPECT_EQ(fromExe->streams.at(0).frameCount, fromPlain->streams.at(0).frameCount) << channel;
    EXPECT_GT(fromExe->streams.at(0).frameCount, 0) << channel;
  }
  fs::remove(exe);
}

// Outputs that would be the input, or each other, whatever link leads there: refused before anything is
// written, even with --overwrite, and the recording keeps every byte.
TEST(CliHardening, NoOutputIsTheInputOrAnotherOutput) {
  const struct {
    std::string name;
    std::string linkAt;     // the output name made a hard link to the input ("" for none)
    std::string symlinkAt;  // the output name made a symbolic link to the input
    std::string extra;      // further options
  } cases[] = {
      {"hard link at the video", "cam_00.avi", "", "--overwrite"},
      {"hard link at the subtitles", "cam_03.srt", "", "--overwrite"},
      {"hard link at the report", "cam.report.json", "", "--overwrite --report"},
      {"symbolic link at the video", "", "cam_03.avi", "--overwrite"},
      {"symbolic link at the frame log", "", "cam_00.csv", "--overwrite --frame-times"},
      {"report is the recording", "", "", "--report=cam.qmv"},
      {"report is a video", "", "", "--report=cam_00.avi"},
      {"report is subtitles", "", "", "--overwrite --report=cam_03.srt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir("same-file");
    const std::string input = writeRecording(dir);
    const std::string before = test::slurp(input);
    if (!c.linkAt.empty()) fs::create_hard_link(input, dir + c.linkAt);
    if (!c.symlinkAt.empty()) fs::create_symlink(input, dir + c.symlinkAt);
    const CliResult r =
        test::runProgram("sh",
                         "-c " + quote("cd " + quote(dir) + " && exec timeout 20 " + quote(test::cliPath()) +
                                       " convert cam.qmv " + c.extra),
                         dir);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("would be the same file as"), std::string::npos) << r.err;
    EXPECT_TRUE(test::slurp(input) == before) << "the recording changed";
    EXPECT_EQ(test::filesIn(dir, ".avi").size(),
              c.linkAt.ends_with(".avi") || c.symlinkAt.ends_with(".avi") ? 1u : 0u);
  }
}

// The CLI run from inside dir, so that every output name is relative as a careless script would give it.
CliResult runIn(const std::string& dir, const std::string& args) {
  return test::runProgram(
      "sh", "-c " + quote("cd " + quote(dir) + " && exec timeout 20 " + quote(test::cliPath()) + " " + args),
      dir);
}

// Links planted at every name the run writes, and at the name the report once took while it was written:
// nothing outside the folder is written, created or truncated, with or without --overwrite. Without it an
// output name that holds anything (a dangling link too) is refused before the first byte; with it the name
// itself is replaced, never what it leads to.
TEST(CliHardening, NoOutputFollowsALink) {
  enum class Link { kHard, kSymbolic, kDangling };
  const struct {
    std::string at;
    std::string options;
    bool output;  // the run writes a file at this name
  } names[] = {
      {"cam_00.avi", "", true},
      {"cam_03.srt", "", true},
      {"cam_00.csv", "--frame-times", true},
      {"cam.report.json", "--report", true},
      {"cam.report.json.part", "--report", false},
  };
  const struct {
    Link link;
    const char* name;
  } links[] = {{Link::kHard, "hard"}, {Link::kSymbolic, "symbolic"}, {Link::kDangling, "dangling"}};
  for (const auto& n : names) {
    for (const auto& l : links) {
      for (const bool overwrite : {false, true}) {
        SCOPED_TRACE(std::string(l.name) + " link at " + n.at + (overwrite ? " with --overwrite" : ""));
        const std::string dir = scratchDir("links");
        fs::create_directories(dir + "outside");
        fs::create_directories(dir + "work");
        const std::string work = dir + "work/";
        writeRecording(work);
        const std::string victim = dir + "outside/victim", absent = dir + "outside/absent";
        std::ofstream(victim) << "untouched\n";
        const std::string planted = work + n.at;
        if (l.link == Link::kHard) fs::create_hard_link(victim, planted);
        if (l.link == Link::kSymbolic) fs::create_symlink(victim, planted);
        if (l.link == Link::kDangling) fs::create_symlink(absent, planted);

        const CliResult r = runIn(work, "convert cam.qmv " + n.options + (overwrite ? " --overwrite" : ""));
        EXPECT_EQ(test::slurp(victim), "untouched\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(absent)));
        if (n.output && !overwrite) {
          EXPECT_EQ(r.status, 3) << r.err;
          EXPECT_NE(r.err.find(n.at + " exists (use --overwrite to replace it)"), std::string::npos) << r.err;
          EXPECT_EQ(test::filesIn(work), (std::vector<std::string>{"cam.qmv", n.at}));
          continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(test::filesIn(work, ".avi"), (std::vector<std::string>{"cam_00.avi", "cam_03.avi"}));
        if (n.output) {
          // The name now holds the run's own file, and the file outside keeps its only other name.
          EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(planted)));
          EXPECT_FALSE(fs::equivalent(planted, victim));
        } else {
          // A name the run does not write stays what it was.
          EXPECT_EQ(fs::symlink_status(planted).type(),
                    l.link == Link::kHard ? fs::file_type::regular : fs::file_type::symlink);
        }
        if (n.options == "--report") {
          const CliResult verified = runBounded("verify " + quote(work + "cam.report.json"), dir);
          EXPECT_EQ(verified.status, 0) << verified.out;
        }
      }
    }
  }
}

// A report the disk cannot take: exit 3 with the reason, and no line says it was written. The folder is a
// tmpfs of 8 KiB in a mount namespace of its own (unshare), so that the test needs no root; the report of
// this recording takes about 10 KiB.
TEST(CliHardening, ReportOnAFullDisk) {
  const std::string dir = scratchDir("full-disk");
  fs::create_directories(dir + "reports");
  const std::string input = writeRecording(dir);
  const CliResult probe = test::runProgram(
      "unshare", "-rm sh -c " + quote("mount -t tmpfs -o size=8k tmpfs " + quote(dir + "reports")), dir);
  if (probe.status != 0) GTEST_SKIP() << "no mount namespace for a small tmpfs here: " << probe.err;
  const CliResult r = test::runProgram(
      "unshare",
      "-rm sh -c " + quote("mount -t tmpfs -o size=8k tmpfs " + quote(dir + "reports") + " && timeout 20 " +
                           quote(test::cliPath()) + " convert " + quote(input) +
                           " --report=" + quote(dir + "reports") + "; echo $? >" + quote(dir + "status") +
                           "; ls -A " + quote(dir + "reports") + " >" + quote(dir + "left")),
      dir);
  EXPECT_EQ(test::slurp(dir + "status"), "3\n") << r.err;
  EXPECT_NE(r.err.find(dir + "reports/cam.report.json: cannot write the report: No space left on device"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("integrity report"), std::string::npos) << r.out;
  // Nothing is left in the full folder: no empty report, no temporary file.
  EXPECT_EQ(test::slurp(dir + "left"), "");
  for (const char* name : {"cam_00.avi", "cam_03.avi"}) {
    const auto avi = test::probeMedia(dir + name);
    ASSERT_TRUE(avi) << name;
    EXPECT_GT(avi->streams.at(0).frameCount, 0) << name;
  }
}

// The same through a device that is always full; the report's name is the device, so only --overwrite
// lets the run write there at all.
TEST(CliHardening, ReportOnTheFullDevice) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  // A build from before the hardening wrote the report beside its name and renamed it over the name: as
  // root that would replace the device for the whole machine.
  if (std::getenv("QMV2AVI_TEST_CLI") != nullptr && ::geteuid() == 0)
    GTEST_SKIP() << "another build of the tool, run as root, could rename a file over /dev/full";
  const std::string dir = scratchDir("dev-full");
  const std::string input = writeRecording(dir);
  const CliResult r = runBounded("convert --overwrite " + quote(input) + " --report=/dev/full", dir);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("/dev/full: cannot write the report: No space left on device"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("integrity report"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(CliHardening, BatchReportsThatWouldShareANameAreRefused) {
  const std::string dir = scratchDir("report-clash");
  fs::create_directories(dir + "a");
  fs::create_directories(dir + "b");
  fs::create_directories(dir + "reports");
  const std::string first = writeRecording(dir + "a/"), second = writeRecording(dir + "b/");
  const CliResult r = runBounded(
      "convert --report=" + quote(dir + "reports") + " " + quote(first) + " " + quote(second), dir);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find(": its report " + dir + "reports/cam.report.json would be that of "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::filesIn(dir + "reports"), std::vector<std::string>{});
  EXPECT_EQ(test::filesIn(dir + "a", ".avi"), std::vector<std::string>{});
}

// A reader that quits at once (`| true`): every file is still finished, and the run ends as it would have.
TEST(CliHardening, ClosedConsolePipesDoNotStopABatch) {
  const struct {
    std::string name;
    std::string redirect;
  } cases[] = {
      {"stdout closed", " | true"},
      {"stderr closed", " 2>&1 >/dev/null | true"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratchDir("pipes");
    const std::string first = writeRecording(dir, "one.qmv"), second = writeRecording(dir, "two.qmv");
    // The reader is gone before the tool writes: sleep in front of the tool, and report its own status.
    const std::string command = "( sleep 0.3; " + quote(test::cliPath()) + " convert --progress json " +
                                quote(first) + " " + quote(second) + " --report; echo $? > " +
                                quote(dir + "status") + " )" + c.redirect;
    test::runProgram("bash", "-c " + quote(command), dir);
    EXPECT_EQ(test::slurp(dir + "status"), "0\n");
    for (const char* name : {"one_00.avi", "one_03.avi", "two_00.avi", "two_03.avi"}) {
      const auto avi = test::probeMedia(dir + name);
      ASSERT_TRUE(avi) << name;
      EXPECT_GT(avi->streams.at(0).frameCount, 0) << name;
    }
    EXPECT_GT(fs::file_size(dir + "two_03.srt"), 0u);
    EXPECT_EQ(runBounded("verify " + quote(dir + "two.report.json"), dir).status, 0);
  }
  // info only prints: a reader that quit ends the printing, and the exit status is still the recordings'.
  const std::string dir = scratchDir("pipes-info");
  const std::string input = writeRecording(dir);
  const std::string command = "( sleep 0.3; " + quote(test::cliPath()) + " info " + quote(input) + " " +
                              quote(input) + "; echo $? > " + quote(dir + "status") + " ) | true";
  test::runProgram("bash", "-c " + quote(command), dir);
  EXPECT_EQ(test::slurp(dir + "status"), "0\n");
}

// Started with standard descriptors closed, the tool must not hand their numbers to its outputs: its own
// warnings would land in the video. The recording warns mid-run (a record whose word count is too large),
// so every case writes to stderr while its outputs are open; the outputs must equal an ordinary run's.
TEST(CliHardening, ClosedStandardStreamsStayOutOfTheOutputs) {
  const std::string reference = scratchDir("closed-std-reference");
  std::vector<uint8_t> bytes = recordingBytes();
  RecordingFile probe;
  ASSERT_TRUE(gen::writeFile(reference + "cam.qmv", bytes));
  ASSERT_TRUE(probe.open(reference + "cam.qmv").ok());
  // The channel's fifth frame claims 0xFFFF payload words: clipped with a warning, after the files opened.
  int seen = 0;
  for (uint32_t k = 0; k < probe.entryCount(); ++k) {
    const FrameIndexEntry& e = probe.entries()[k];
    if (e.kind != 0 || ++seen < 5) continue;
    const std::size_t at = probe.recordingStart() + e.offset + format::kRecWordCount;
    bytes.at(at) = 0xFF;
    bytes.at(at + 1) = 0xFF;
    break;
  }
  ASSERT_EQ(seen, 5);
  ASSERT_TRUE(gen::writeFile(reference + "cam.qmv", bytes));
  const auto command = [](const std::string& dir) {
    return quote(test::cliPath()) + " convert --channels 1 " + quote(dir + "cam.qmv");
  };
  const CliResult open = test::runProgram("sh", "-c " + quote(command(reference)), reference);
  ASSERT_EQ(open.status, 0) << open.err;
  ASSERT_NE(open.err.find("wordCount 65535"), std::string::npos) << open.err;

  for (const char* closed : {">&- 2>&-", "<&- >&- 2>&-", "2>&-", "<&-"}) {
    SCOPED_TRACE(closed);
    const std::string dir = scratchDir("closed-std");
    ASSERT_TRUE(gen::writeFile(dir + "cam.qmv", bytes));
    EXPECT_EQ(test::runProgram("sh", "-c " + quote(command(dir) + " " + closed), dir).status, 0);
    for (const char* name : {"cam_00.avi", "cam_00.srt"}) {
      // Not EXPECT_EQ on the bytes: a failure would print a whole AVI.
      const std::string got = test::slurp(dir + name), want = test::slurp(reference + name);
      EXPECT_TRUE(got == want) << name << ": " << got.size() << " bytes, not the " << want.size()
                               << " of a run with open streams; starts " << got.substr(0, 40);
    }
  }
}

// Text from the recording and from file names never drives the terminal: a system name that would set the
// title and hide what follows, and a name with a line break that would make a changed file read "OK" on
// a line of its own, both show escaped.
TEST(CliHardening, ConsoleTextIsEscaped) {
  const std::string dir = scratchDir("console-text");
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, -1, 5}};
  plan.seconds = 1;
  plan.reuseFrames = true;
  plan.header.systemName = "\x1B]0;x\x07\x1B[8m";
  const std::string input = dir + "cam\nOK x.qmv";
  ASSERT_TRUE(gen::writeFile(input, gen::buildRecording(gen::planScenario(plan)).bytes));
  const CliResult info = runBounded("info " + quote(input), dir);
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("System Name: \\x1B]0;x\\x07\\x1B[8m\n"), std::string::npos) << info.out;

  const CliResult convert = runBounded("convert " + quote(input) + " --report", dir);
  ASSERT_EQ(convert.status, 0) << convert.err;
  // The video changes after the report: verify's line for it must say MISMATCH and name it whole.
  std::ofstream(dir + "cam\nOK x_00.avi", std::ios::app) << "changed";
  const CliResult verify = runBounded("verify " + quote(dir + "cam\nOK x.report.json"), dir);
  EXPECT_EQ(verify.status, 1) << verify.err;

  for (const CliResult* r : {&info, &convert, &verify}) {
    for (const std::string& line : test::lines(r->out + r->err)) {
      SCOPED_TRACE(line);
      EXPECT_EQ(line.find_first_of(std::string("\x1B\x07\r", 3)), std::string::npos);
      EXPECT_NE(line.rfind("OK x", 0), 0u) << "a name's line break started a line";
    }
  }
  EXPECT_NE(verify.out.find("MISMATCH " + dir + "cam\\nOK x_00.avi: "), std::string::npos) << verify.out;
  EXPECT_NE(convert.out.find(dir + "cam\\nOK x_00.avi: "), std::string::npos) << convert.out;
}

// A stop request ends the silence that fills a long pause of the recorded clock, not only the pass over
// the index: an MP4's audio stops well short of the pause's end (the whole fill takes seconds).
TEST(CliHardening, AStopRequestEndsAPausesFill) {
  const std::string dir = scratchDir("stop-in-fill");
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}};
  plan.seconds = 10;
  plan.gapAt = 2;
  plan.gapSeconds = 3580;
  plan.reuseFrames = true;
  ASSERT_TRUE(gen::writeFile(dir + "pause.qmv", gen::buildRecording(gen::planScenario(plan)).bytes));
  test::CliProcess cli(
      {"convert", "--timing", "recorded", "--max-gap", "3600", "--format", "mp4", dir + "pause.qmv"}, dir);
  cli.signalOnceWritten({dir + "pause_00.mp4"}, SIGINT);
  ASSERT_EQ(cli.wait(), 130) << cli.err();
  EXPECT_NE(cli.err().find("stopped after"), std::string::npos) << cli.err();
  const auto mp4 = test::probeMedia(dir + "pause_00.mp4");
  ASSERT_TRUE(mp4);
  double audioSeconds = 0;  // the end of the last audio packet
  for (const auto& packet : mp4->packets) {
    const auto& stream = mp4->streams.at(std::size_t(packet.stream));
    if (stream.type == AVMEDIA_TYPE_AUDIO)
      audioSeconds = std::max(audioSeconds, double(packet.pts + packet.duration) * av_q2d(stream.timeBase));
  }
  EXPECT_GT(audioSeconds, 0.0);
  EXPECT_LT(audioSeconds, 2.0 + 3580.0) << "the fill ran to the pause's end after the stop request";
}

// A stop request that comes after the last file was finished (here while the report is being written)
// leaves a completed run completed: the exit status and the report's outcome agree.
TEST(CliHardening, ALateSignalLeavesACompletedRunCompleted) {
  const std::string dir = scratchDir("late-signal");
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 120, 0, 12}, {3, 20, 120, -1, 12}};
  plan.seconds = 120;  // long enough that the report, written after the summary, takes a while
  plan.reuseFrames = true;
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), input));
  test::CliProcess cli({"convert", input, "--report"}, dir);
  // The summary's lines come once every video file is finished and closed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (cli.out().find("cam_03.avi:") == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_NE(cli.out().find("cam_03.avi:"), std::string::npos) << cli.err();
  const bool reportPending = cli.out().find("integrity report") == std::string::npos;
  cli.signal(SIGINT);
  EXPECT_EQ(cli.wait(), 0) << cli.err();
  EXPECT_TRUE(reportPending) << "the report was written before the signal: nothing was tested";
  EXPECT_NE(test::slurp(dir + "cam.report.json").find("\"status\": \"completed\""), std::string::npos);
  EXPECT_EQ(runBounded("verify " + quote(dir + "cam.report.json"), dir).status, 0);
}

TEST(CliHardening, OptionLimits) {
  const std::string dir = scratchDir("options");
  const std::string input = writeRecording(dir);
  for (const char* jobs : {"0", "65", "2147483647"}) {
    SCOPED_TRACE(jobs);
    const CliResult r = runBounded("convert --jobs " + std::string(jobs) + " " + quote(input), dir);
    EXPECT_EQ(r.status, 64) << r.err;
  }
  EXPECT_EQ(runBounded("convert --jobs 64 " + quote(input), dir).status, 0);
}

// Reports that are not version 1 exactly, however the number is spelled.
TEST(CliHardening, VerifyWantsSchemaVersionExactlyOne) {
  const std::string dir = scratchDir("schema");
  for (const char* version : {"1.9", "4294967297", "\"1\"", "true", "1e0"}) {
    SCOPED_TRACE(version);
    std::ofstream(dir + "r.json") << "{\"schemaVersion\": " << version
                                  << ", \"outputs\": [], \"input\": {\"path\": \"x\"}}";
    const CliResult r = runBounded("verify " + quote(dir + "r.json"), dir);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.err.find("schema version"), std::string::npos) << r.err;
  }
}

// Names are data: a colon, a URL-like name, "-", bytes that are not UTF-8.
TEST(CliHardening, NamesAreNeverSyntax) {
  // A long one: its report name fits the file system (252 bytes), a report name with a suffix would not.
  const std::string names[] = {
      "cam-2007-06-15T13:10.qmv",    "pipe:0.qmv", "file:x.qmv", "-.qmv", "cam\xff\xfe-latin1-\xe9.qmv",
      std::string(240, 'x') + ".qmv"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name.substr(0, 30));
    const std::string dir = scratchDir("names");
    const std::string input = writeRecording(dir, name);
    const CliResult converted =
        test::runProgram("sh",
                         "-c " + quote("cd " + quote(dir) + " && exec timeout 20 " + quote(test::cliPath()) +
                                       " convert ./" + quote(name) + " --report"),
                         dir);
    ASSERT_EQ(converted.status, 0) << converted.err;
    const std::string stem = fs::path(name).stem().string();
    const CliResult verified =
        runBounded("verify " + quote(dir + stem + ".report.json") + " </dev/null", dir);
    EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  }
}

// A copied and tampered set is checked as itself, not through the untouched originals it came from; the
// subtitles and frame logs are evidence too.
TEST(CliHardening, VerifyChecksTheCopyBesideTheReport) {
  const std::string dir = scratchDir("copied");
  fs::create_directories(dir + "orig");
  const std::string input = writeRecording(dir + "orig/");
  ASSERT_EQ(runBounded("convert --frame-times " + quote(input) + " --report", dir).status, 0);
  const struct { std::string tampered; } cases[] = {{"cam_00.avi"}, {"cam_03.srt"}, {"cam_00.csv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tampered);
    const std::string copy = dir + "copy/";
    fs::remove_all(copy);
    fs::copy(dir + "orig", copy);
    std::ofstream(copy + c.tampered, std::ios::app) << "x";
    const CliResult r = runBounded("verify " + quote(copy + "cam.report.json"), dir);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("MISMATCH " + copy + c.tampered), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("OK " + copy + "cam_03.avi"), std::string::npos) << r.out;
  }
  const CliResult original = runBounded("verify " + quote(dir + "orig/cam.report.json"), dir);
  EXPECT_EQ(original.status, 0) << original.out;
  EXPECT_NE(original.out.find("OK " + dir + "orig/cam_03.srt: SHA-256 matches"), std::string::npos)
      << original.out;
}

// The videos and the report in folders of their own: the copy is found by its place relative to the
// report, not by its file name beside it.
TEST(CliHardening, VerifyChecksACopyLaidOutInFolders) {
  const std::string dir = scratchDir("copied-folders");
  fs::create_directories(dir + "orig/videos");
  fs::create_directories(dir + "orig/reports");
  const std::string input = writeRecording(dir + "orig/");
  ASSERT_EQ(runBounded("convert -o " + quote(dir + "orig/videos") +
                           " --report=" + quote(dir + "orig/reports") + " " + quote(input),
                       dir)
                .status,
            0);
  const std::string copy = dir + "copy/";
  fs::copy(dir + "orig", copy, fs::copy_options::recursive);
  std::ofstream(copy + "videos/cam_00.avi", std::ios::app) << "x";
  // The videos lie beside the report's folder, not in it: only a folder the user names opens them.
  const CliResult own = runBounded("verify " + quote(copy + "reports/cam.report.json"), dir);
  EXPECT_EQ(own.status, 1) << own.out;
  EXPECT_NE(own.out.find("REFUSED " + copy +
                         "videos/cam_03.avi: outside the report's folder, so not opened "
                         "(--root DIR names a folder that holds the whole set)"),
            std::string::npos)
      << own.out;
  const CliResult r =
      runBounded("verify --root " + quote(copy) + " " + quote(copy + "reports/cam.report.json"), dir);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("MISMATCH " + copy + "videos/cam_00.avi"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OK " + copy + "videos/cam_03.avi"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OK " + copy + "videos/cam_03.srt"), std::string::npos) << r.out;
}

// 100 MB of members verify does not read, under a 512 MB address-space limit: they are dropped as they are
// parsed. Kept whole they take several times their text.
TEST(CliHardening, HostileReportUnderAMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow address space at start, so no tool built "
                  "with it starts under an address-space limit";
#endif
  const std::string dir = scratchDir("hostile");
  const std::string report = dir + "big.report.json";
  {
    std::FILE* out = std::fopen(report.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fputs("{\"schemaVersion\": 1, \"input\": {\"path\": \"nowhere\"}, \"junk\": [", out);
    std::string chunk;
    for (int i = 0; i < 1 << 16; ++i) chunk += "1,";
    for (int i = 0; i < 100 * (1 << 20) / int(chunk.size()); ++i)
      std::fwrite(chunk.data(), 1, chunk.size(), out);
    std::fputs("1], \"outputs\": [1, 2, 3]}", out);
    ASSERT_EQ(std::fclose(out), 0);
  }
  const CliResult r = test::runProgram("sh",
                                       "-c " + quote("ulimit -v 524288 && exec timeout 60 " +
                                                     quote(test::cliPath()) + " verify " + quote(report)),
                                       dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("NOT CHECKED input " + dir + "nowhere"), std::string::npos) << r.out;
  fs::remove(report);
}

}  // namespace
}  // namespace qmv
