// Output names on this platform (output_name_posix.cpp or output_name_windows.cpp, the latter under Wine):
// exclusive creation, a name taken only while free, replacement, removal, and UTF-8 names.
#include "output/output_name.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "recording/file_descriptor.h"
#include "recording/utf8_path.h"
#include "support/scratch_dir.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using output_name::Holds;

// A new file at name holding text, through the descriptor createNew gives.
void writeNew(const std::string& name, const std::string& text) {
  const FileDescriptor fd(output_name::createNew(name));
  ASSERT_GE(fd.get(), 0) << name << ": " << std::strerror(errno);
  ASSERT_EQ(writeFully(fd.get(), text.data(), text.size(), 0).bytes, text.size());
}

std::string contents(const std::string& name) {
  uint64_t size = 0;
  auto fd = openRegularFile(name, size);
  if (!fd) return "<" + fd.error().message + ">";
  std::string text(size, '\0');
  text.resize(readFully(fd.value()->get(), text.data(), text.size(), 0).bytes);
  return text;
}

class OutputNameTest : public ::testing::TestWithParam<const char*> {};

TEST_P(OutputNameTest, TakesANameOnlyWhileItIsFreeAndReplacesOnlyWhenAsked) {
  const fs::path dir = test::currentTestDir(QMV2AVI_TEST_TMP, "output_name_test");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string name = utf8FromPath(dir / pathFromUtf8(GetParam()));
  EXPECT_EQ(output_name::lookAt(name), Holds::kNothing);

  writeNew(name, "first");
  EXPECT_EQ(output_name::lookAt(name), Holds::kFile);
  EXPECT_TRUE(fs::exists(pathFromUtf8(name))) << "the file has the UTF-8 name, not a mangled one";
  errno = 0;
  EXPECT_LT(output_name::createNew(name), 0);
  EXPECT_EQ(errno, EEXIST);

  std::string beside;
  {
    const FileDescriptor fd(output_name::createBeside(name, beside));
    ASSERT_GE(fd.get(), 0) << std::strerror(errno);
    ASSERT_EQ(writeFully(fd.get(), "second", 6, 0).bytes, 6u);
  }
  EXPECT_EQ(pathFromUtf8(beside).parent_path(), dir);
  const std::string leaf = utf8FromPath(pathFromUtf8(name).filename());
  EXPECT_TRUE(output_name::isTemporaryName(leaf, utf8FromPath(pathFromUtf8(beside).filename()))) << beside;
  EXPECT_EQ(output_name::temporariesOf(name), std::vector<std::string>{beside});

  EXPECT_EQ(output_name::place(beside, name), EEXIST) << "place never takes an occupied name";
  EXPECT_EQ(contents(name), "first");
  EXPECT_EQ(contents(beside), "second");

  EXPECT_EQ(output_name::replace(beside, name), 0);
  EXPECT_EQ(contents(name), "second");
  EXPECT_EQ(output_name::lookAt(beside), Holds::kNothing);

  const std::string moved = name + ".moved";
  EXPECT_EQ(output_name::place(name, moved), 0);
  EXPECT_EQ(contents(moved), "second");
  EXPECT_EQ(output_name::remove(moved), 0);
  EXPECT_EQ(output_name::lookAt(moved), Holds::kNothing);
  EXPECT_EQ(output_name::remove(moved), ENOENT);
  EXPECT_EQ(output_name::lookAt(utf8FromPath(dir)), Holds::kFolder);
}

INSTANTIATE_TEST_SUITE_P(Names, OutputNameTest,
                         ::testing::Values("plain.avi", "감시 카메라 Café-é.avi", "name with spaces.mkv"));

// Only an output's own temporary names count as its leftovers: never a user's file that resembles one, nor
// another output's. A long name is cut at a character's start, and the cut name still counts.
TEST(TemporaryName, NamesItsOutputAndNothingElse) {
  const std::string longLeaf = std::string(199, 'a') + "é_00.avi";  // 'é' straddles byte 200
  struct Case {
    std::string leaf;
    std::string candidate;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"cam_00.avi", ".cam_00.avi.qmv2avi-Ab3xZ9.partial", true},
      {"cam_00.avi", ".cam_00.avi.qmv2avi-Ab3xZ.partial", false},    // five letters
      {"cam_00.avi", ".cam_00.avi.qmv2avi-Ab3xZ99.partial", false},  // seven
      {"cam_00.avi", ".cam_00.avi.qmv2avi-Ab3-Z9.partial", false},   // not a letter or digit
      {"cam_00.avi", ".cam_00.avi.qmv2avi-Ab3xZ9.partial.bak", false},
      {"cam_00.avi", "cam_00.avi.qmv2avi-Ab3xZ9.partial", false},
      {"cam_00.avi", ".cam_01.avi.qmv2avi-Ab3xZ9.partial", false},
      {"cam_00.avi", ".cam_00.avi.qmv2avi-Ab3xZ9", false},
      {"cam_00.avi", ".qmv2avi-Ab3xZ9", false},
      {"cam_00.avi", "cam_00.avi", false},
      {longLeaf, "." + std::string(199, 'a') + ".qmv2avi-Ab3xZ9.partial", true},
      {longLeaf, "." + longLeaf + ".qmv2avi-Ab3xZ9.partial", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(output_name::isTemporaryName(c.leaf, c.candidate), c.matches) << c.leaf << " / " << c.candidate;
  EXPECT_LE(output_name::temporaryPrefix(longLeaf).size(), 200u + 10u);
}

// A temporary name of a name as long as the file system allows still fits it.
TEST(TemporaryName, OfTheLongestNameIsCreated) {
  const fs::path dir = test::currentTestDir(QMV2AVI_TEST_TMP, "output_name_test");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string name = utf8FromPath(dir / (std::string(251, 'n') + ".avi"));
  std::string beside;
  const FileDescriptor fd(output_name::createBeside(name, beside));
  ASSERT_GE(fd.get(), 0) << std::strerror(errno);
  EXPECT_EQ(output_name::temporariesOf(name), std::vector<std::string>{beside});
}

}  // namespace
}  // namespace qmv
