// Output files go to the disk in large blocks: a conversion of a few tens of MB, counted through the output
// file's write seam, in each container.
#include "output/output_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/byte_source.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

// A write per muxed packet (a few KiB each) is what this catches; a block of 1 MiB leaves room for the
// header and index patches and each file's last part block.
constexpr uint64_t kBytesPerWriteAtLeast = 256 * 1024;

struct ContainerCase {
  const char* name;
  Container container;
};
void PrintTo(const ContainerCase& c, std::ostream* os) { *os << c.name; }

class OutputWritesTest : public ::testing::TestWithParam<ContainerCase> {
 protected:
  // Two 704 x 576 channels at 30 fps, each with its audio input: about 22 MB.
  static void SetUpTestSuite() {
    gen::BodyPlan plan;
    plan.channels = {{0, 4, 120, 0, 30}, {1, 4, 120, 1, 30}};
    plan.seconds = 60;
    plan.reuseFrames = true;
    recording_ = new RecordingFile;
    const Status opened =
        recording_->open(makeMemorySource(gen::buildRecording(gen::planScenario(plan)).bytes, "cam.qmv"));
    ASSERT_TRUE(opened) << opened.error().message;
  }
  static void TearDownTestSuite() {
    delete recording_;
    recording_ = nullptr;
  }
  static RecordingFile* recording_;
};

RecordingFile* OutputWritesTest::recording_ = nullptr;

TEST_P(OutputWritesTest, AtMostOneWritePer256KiB) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "output-writes", GetParam().name);
  ConversionContext context;
  context.settings.selectedChannels = 0x3;
  context.settings.container = GetParam().container;
  context.settings.destinationDir = dir;
  context.settings.baseName = "cam";

  const uint64_t before = mediaWriteCalls();
  const ConversionReport report = runConversion(*recording_, context);
  const uint64_t calls = mediaWriteCalls() - before;
  ASSERT_FALSE(report.outputError) << report.outputError->message;
  ASSERT_EQ(report.files.size(), 2u);

  uint64_t bytes = 0;
  for (const OutputFileReport& file : report.files) {
    EXPECT_EQ(file.bytes, fs::file_size(file.path)) << file.path;
    bytes += file.bytes;
  }
  EXPECT_GT(bytes, uint64_t(16) << 20);
  EXPECT_GT(calls, 0u) << "the seam counted nothing";
  EXPECT_LE(calls, bytes / kBytesPerWriteAtLeast) << calls << " write calls for " << bytes << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Containers, OutputWritesTest,
                         ::testing::Values(ContainerCase{"avi", Container::kAvi},
                                           ContainerCase{"mkv", Container::kMkv},
                                           ContainerCase{"mp4", Container::kMp4}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qmv
