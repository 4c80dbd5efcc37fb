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
#include "support/scratch_dir.h"
#include "support/utf8_path.h"

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
  const std::string name = test::toUtf8(dir / test::fromUtf8(GetParam()));
  EXPECT_EQ(output_name::lookAt(name), Holds::kNothing);

  writeNew(name, "first");
  EXPECT_EQ(output_name::lookAt(name), Holds::kFile);
  EXPECT_TRUE(fs::exists(test::fromUtf8(name))) << "the file has the UTF-8 name, not a mangled one";
  errno = 0;
  EXPECT_LT(output_name::createNew(name), 0);
  EXPECT_EQ(errno, EEXIST);

  std::string beside;
  {
    const FileDescriptor fd(output_name::createBeside(name, beside));
    ASSERT_GE(fd.get(), 0) << std::strerror(errno);
    ASSERT_EQ(writeFully(fd.get(), "second", 6, 0).bytes, 6u);
  }
  EXPECT_EQ(test::fromUtf8(beside).parent_path(), dir);
  EXPECT_EQ(test::toUtf8(test::fromUtf8(beside).filename()).rfind(".qmv2avi-", 0), 0u) << beside;

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
  EXPECT_EQ(output_name::lookAt(test::toUtf8(dir)), Holds::kFolder);
}

INSTANTIATE_TEST_SUITE_P(Names, OutputNameTest,
                         ::testing::Values("plain.avi", "감시 카메라 Café-é.avi", "name with spaces.mkv"));

}  // namespace
}  // namespace qmv
