// Descriptors on this platform (file_descriptor_posix.cpp or file_descriptor_windows.cpp, the latter under
// Wine): positioned reads and writes past 4 GiB, sizes, truncation, and what openRegularFile refuses.
#include "recording/file_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "output/output_name.h"
#include "recording/utf8_path.h"
#include "support/scratch_dir.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

TEST(FileDescriptor, PositionedTransfersSizesAndCuts) {
  const fs::path dir = test::currentTestDir(QMV2AVI_TEST_TMP, "file_descriptor_test");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string name = utf8FromPath(dir / pathFromUtf8("큰 파일.bin"));
  ASSERT_GE(FileDescriptor(output_name::createNew(name)).get(), 0);
  // Read and write, as a repair opens a finished output.
  const FileDescriptor fd(openForUpdate(name));
  ASSERT_GE(fd.get(), 0);

  // Past 4 GiB: a 32-bit offset anywhere on the way would land these bytes at 1 GiB + 5.
  const uint64_t far = (uint64_t(5) << 30) + 5;
  ASSERT_EQ(writeFully(fd.get(), "far", 3, far).bytes, 3u);
  ASSERT_EQ(writeFully(fd.get(), "near", 4, 0).bytes, 4u);
  Result<DescriptorFacts> facts = describeDescriptor(fd.get());
  ASSERT_TRUE(facts) << facts.error().message;
  EXPECT_TRUE(facts.value().regular);
  EXPECT_EQ(facts.value().size, far + 3);

  char got[8] = {};
  Transfer t = readFully(fd.get(), got, sizeof got, far);
  EXPECT_EQ(t.bytes, 3u) << "a read ends at the file's end";
  EXPECT_EQ(t.error, 0);
  EXPECT_EQ(std::string(got, 3), "far");
  t = readFully(fd.get(), got, 8, uint64_t(1) << 30);
  EXPECT_EQ(std::string(got, t.bytes), std::string(8, '\0')) << "nothing landed at 1 GiB";
  EXPECT_EQ(readFully(fd.get(), got, 4, 0).bytes, 4u);
  EXPECT_EQ(std::string(got, 4), "near");

  ASSERT_EQ(truncateDescriptor(fd.get(), 2), 0);
  facts = describeDescriptor(fd.get());
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts.value().size, 2u);
  EXPECT_EQ(readFully(fd.get(), got, 4, 0).bytes, 2u);

  uint64_t size = 0;
  auto opened = openRegularFile(name, size);
  ASSERT_TRUE(opened) << opened.error().message;
  EXPECT_EQ(size, 2u);
}

TEST(FileDescriptor, OpenRegularFileRefusesFoldersAndMissingFiles) {
  const fs::path dir = test::currentTestDir(QMV2AVI_TEST_TMP, "file_descriptor_test");
  fs::create_directories(dir);
  uint64_t size = 0;
  const auto folder = openRegularFile(utf8FromPath(dir), size);
  ASSERT_FALSE(folder);
  EXPECT_NE(folder.error().message.find("folder"), std::string::npos) << folder.error().message;
  const auto missing = openRegularFile(utf8FromPath(dir / "missing.qmv"), size);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ENOENT);
}

}  // namespace
}  // namespace qmv
