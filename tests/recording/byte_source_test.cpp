// ByteSource: copies out of a file's memory map survive the file shrinking under the map.
#include "recording/byte_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace qmv {
namespace {

TEST(ByteSource, CopyFromViewFailsInsteadOfCrashingWhenTheFileShrinks) {
  const auto dir = test::currentTestDir(QMV2AVI_TEST_TMP, "byte_source_test");
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "shrinking.bin").string();
  std::vector<uint8_t> bytes(256 * 1024);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));

  auto opened = openFileSource(path);
  ASSERT_TRUE(opened) << opened.error().message;
  ByteSource& source = *opened.value();
  ASSERT_NE(source.view(), nullptr);

  uint8_t got[16] = {};
  ASSERT_TRUE(source.copyFromView(200000, got, sizeof got));
  EXPECT_EQ(got[5], bytes[200005]);
  EXPECT_FALSE(source.copyFromView(bytes.size() - 8, got, sizeof got)) << "a range past the end";

  ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
  // Twice: the guard must still work after it has caught one fault.
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(source.copyFromView(200000, got, sizeof got)) << "round " << round;
  }
  ASSERT_TRUE(source.copyFromView(100, got, sizeof got));
  EXPECT_EQ(got[0], bytes[100]);
}

void hostBusHandler(int) {}

void (*currentBusHandler())(int) {
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  return (now.sa_flags & SA_SIGINFO) != 0 ? nullptr : now.sa_handler;
}

// The handler is there while some file is mapped, and the process's own disposition is back once the
// last mapped source is gone; a source that never maps installs nothing.
TEST(ByteSource, BusErrorHandlerLivesAsLongAsAMapping) {
  const auto dir = test::currentTestDir(QMV2AVI_TEST_TMP, "byte_source_test");
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "mapped.bin").string();
  std::ofstream(path, std::ios::binary) << std::string(8192, 'x');

  struct sigaction host {};
  host.sa_handler = hostBusHandler;
  sigemptyset(&host.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGBUS, &host, &before), 0);
  {
    auto unmapped = openFileSource(path);
    ASSERT_TRUE(unmapped) << unmapped.error().message;
    EXPECT_EQ(currentBusHandler(), &hostBusHandler);

    auto first = openFileSource(path);
    auto second = openFileSource(path);
    ASSERT_TRUE(first && second);
    ASSERT_NE(first.value()->view(), nullptr);
    ASSERT_NE(second.value()->view(), nullptr);
    EXPECT_NE(currentBusHandler(), &hostBusHandler);
    first.value().reset();
    EXPECT_NE(currentBusHandler(), &hostBusHandler) << "the second source is still mapped";
    second.value().reset();
    EXPECT_EQ(currentBusHandler(), &hostBusHandler);
  }
  sigaction(SIGBUS, &before, nullptr);
}

}  // namespace
}  // namespace qmv
