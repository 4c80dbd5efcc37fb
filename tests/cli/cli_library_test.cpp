// The command-line tool's own functions, called directly: channel lists, exit status ranking, input
// expansion.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/batch_runner.h"
#include "cli/convert_command.h"
#include "cli/exit_codes.h"
#include "support/test_files.h"

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

TEST(CliLibraryTest, ChannelLists) {
  struct Case {
    const char* text;
    std::optional<uint32_t> mask;
  };
  const Case cases[] = {
      {"1", 0x0001},           {"16", 0x8000},        {"1,3,5-8", 0x00F5},    {"2-3,4", 0x000E},
      {"5-5", 0x0010},         {"1-16", 0xFFFF},      {"3,3", 0x0004},  // repeated
      {"1-3,2-4", 0x000F},                                              // overlapping
      {"16,1", 0x8001},                                                 // any order
      {"001", 0x0001},                                                  // leading zeros, up to three digits
      {"", std::nullopt},      {"0", std::nullopt},   {"17", std::nullopt},   {"100", std::nullopt},
      {"0001", std::nullopt},  {"3-1", std::nullopt}, {"1-17", std::nullopt}, {"1,,2", std::nullopt},
      {"1,", std::nullopt},    {",1", std::nullopt},  {"1-", std::nullopt},   {"-3", std::nullopt},
      {"1-2-3", std::nullopt}, {" 1", std::nullopt},  {"1 ", std::nullopt},   {"x", std::nullopt},
      {"1;2", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parseChannelList(c.text), c.mask) << '"' << c.text << '"';
}

// A stop by a signal > output failure > anything unknown > bad input > success, in either order;
// of two of the same rank the first stays.
TEST(CliLibraryTest, ExitStatusRanking) {
  struct Case {
    int better, worse;
  };
  const Case ranked[] = {
      {kExitOk, kExitBadInput},
      {kExitBadInput, kExitUsage},
      {kExitBadInput, 1},
      {kExitOutputError, kExitOutputFile},
      {kExitOutputFile, 130},
      {kExitOutputFile, 143},
      {kExitOk, 129},
      {kExitOk, 191},
      // 128 itself, and 192 and above, are no signal's status.
      {128, kExitOutputFile},
      {192, kExitOutputFile},
  };
  for (const Case& c : ranked) {
    EXPECT_EQ(worseExitStatus(c.better, c.worse), c.worse) << c.better << " then " << c.worse;
    EXPECT_EQ(worseExitStatus(c.worse, c.better), c.worse) << c.worse << " then " << c.better;
  }
  for (const auto& [first, second] :
       {std::pair{130, 143}, {143, 130}, {kExitUsage, kExitOutputError}, {0, 0}}) {
    EXPECT_EQ(worseExitStatus(first, second), first) << first << " then " << second;
  }
}

class ExpandInputsTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::freshTestDir(QMV2AVI_TEST_TMP, "cli-library"); }
  std::string touch(const std::string& name) {
    fs::create_directories(fs::path(dir_ + name).parent_path());
    std::ofstream(dir_ + name) << "x";
    return dir_ + name;
  }
  std::string dir_;
};

// Files as given, in argument order; a folder's recordings (by name, any case) sorted, its
// subfolders not searched; a path met again under another spelling or through a link left out.
TEST_F(ExpandInputsTest, FilesAndFolders) {
  const std::string b = touch("in/b.qmv");
  touch("in/A.QMV");
  touch("in/c.Exe");
  touch("in/notes.txt");
  touch("in/deeper/not-searched.qmv");
  fs::create_directories(dir_ + "in/folder.qmv");  // a folder, whatever its name
  fs::create_directories(dir_ + "links");
  fs::create_symlink(b, dir_ + "links/to-b.qmv");
  const std::string named = touch("named.txt");  // a file argument is taken whatever its name

  const ExpandedInputs expanded = expandInputs(
      {b, dir_ + "in/", dir_ + "links/to-b.qmv", dir_ + "in/../in/b.qmv", named, dir_ + "missing.qmv"});
  EXPECT_EQ(expanded.inputs,
            (std::vector<std::string>{b, dir_ + "in/A.QMV", dir_ + "in/c.Exe", named, dir_ + "missing.qmv"}));
  EXPECT_TRUE(expanded.problems.empty());
  EXPECT_TRUE(expanded.fromFolder);

  const ExpandedInputs files = expandInputs({named, dir_ + "missing.qmv", named});
  EXPECT_EQ(files.inputs, (std::vector<std::string>{named, dir_ + "missing.qmv"}));
  EXPECT_FALSE(files.fromFolder);
}

// A folder without recordings, or one that cannot be read, is a problem of its own and takes
// nothing away from the other arguments.
TEST_F(ExpandInputsTest, FolderProblems) {
  fs::create_directories(dir_ + "empty");
  touch("only-text/notes.txt");
  const std::string a = touch("a.qmv");
  std::vector<std::string> arguments = {dir_ + "empty", a, dir_ + "only-text"};
  std::vector<std::string> problems = {
      "qmv2avi-cli: " + dir_ + "empty: no .qmv or .exe file in this folder",
      "qmv2avi-cli: " + dir_ + "only-text: no .qmv or .exe file in this folder"};
  if (geteuid() != 0) {  // root reads any folder
    touch("locked/x.qmv");
    fs::permissions(dir_ + "locked", fs::perms::none);
    arguments.push_back(dir_ + "locked");
    problems.push_back("qmv2avi-cli: " + dir_ + "locked: cannot read this folder: Permission denied");
  }
  const ExpandedInputs expanded = expandInputs(arguments);
  if (geteuid() != 0) fs::permissions(dir_ + "locked", fs::perms::owner_all);
  EXPECT_EQ(expanded.inputs, std::vector<std::string>{a});
  EXPECT_EQ(expanded.problems, problems);
  EXPECT_TRUE(expanded.fromFolder);
}

}  // namespace
}  // namespace qmv::cli
