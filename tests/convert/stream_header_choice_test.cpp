// The stream header of codes whose stored header states another size than their picture: chosen by
// decoding the channel's first key frame with each, end to end through a pass-through conversion.
#include "convert/stream_header_choice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/frame_record.h"
#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

using Basis = StreamHeaderChoice::Basis;

std::string scratchDir(const std::string& sub) { return test::freshTestDir(QMV2AVI_TEST_TMP, "header", sub); }

// One channel of the code, its frames coded at codedSize (0 x 0: the picture size), 10 frames a second.
gen::Scenario recordingOf(uint8_t code, std::pair<int, int> codedSize, bool startWithNonKey = false) {
  gen::BodyPlan plan;
  gen::ChannelPlan channel;
  channel.formatCode = code;
  channel.rateByte = 40;
  channel.keyInterval = 5;
  channel.codedSize = codedSize;
  channel.startWithNonKey = startWithNonKey;
  plan.channels.push_back(channel);
  plan.seconds = 2;
  return gen::planScenario(plan);
}

struct Case {
  uint8_t code;
  std::pair<int, int> coded;
  bool startWithNonKey;
  Basis basis;
  bool stored;
  int width, height;  // the size the stream states
};
// clang-format off
const Case kCases[] = {
    {8,  {160, 120}, false, Basis::kPictureDecodes, false, 160, 120},
    {8,  {162, 128}, false, Basis::kStoredDecodes,  true,  162, 128},
    {9,  {352, 128}, true,  Basis::kStoredDecodes,  true,  352, 128},  // found past the leading non-key frames
    {11, {640, 240}, false, Basis::kPictureDecodes, false, 640, 240},
    {12, {704, 480}, false, Basis::kStoredDecodes,  true,  704, 480},
    {26, {320, 240}, false, Basis::kPictureDecodes, false, 320, 240},
    // 176 x 120 and 162 x 128 share one macroblock grid: both decode, the stored one stays.
    {16, {176, 120}, false, Basis::kBothDecode,     true,  162, 128},
    {17, {352, 120}, false, Basis::kBothDecode,     true,  352, 128},
    {2,  {0, 0},     false, Basis::kSingle,         true,  352, 288},
};
// clang-format on

TEST(StreamHeaderChoice, TheFirstKeyFrameDecidesAndEveryFrameDecodes) {
  for (const Case& c : kCases) {
    const std::string name = std::to_string(c.code) + "-" + std::to_string(c.coded.first);
    SCOPED_TRACE("code " + name);
    const gen::Scenario scenario = recordingOf(c.code, c.coded, c.startWithNonKey);
    RecordingFile recording;
    ASSERT_TRUE(recording.open(makeMemorySource(gen::buildRecording(scenario).bytes, "generated")));

    const std::string dir = scratchDir(name);
    ConversionContext context;
    context.settings.selectedChannels = 1;
    context.settings.destinationDir = dir;
    context.settings.baseName = "cam";
    const ConversionReport report = runConversion(recording, context);
    ASSERT_FALSE(report.outputError) << report.outputError->message;
    ASSERT_EQ(report.files.size(), 1u);
    ASSERT_TRUE(report.files[0].streamHeader);
    const StreamHeaderChoice& chosen = *report.files[0].streamHeader;
    EXPECT_EQ(chosen.basis, c.basis) << streamHeaderText(chosen);
    EXPECT_EQ(chosen.stored, c.stored);
    EXPECT_EQ(chosen.width, c.width);
    EXPECT_EQ(chosen.height, c.height);

    const auto headers = test::readAviHeaders(dir + "cam_00.avi");
    ASSERT_TRUE(headers);
    EXPECT_EQ(headers->streams.at(0).biWidth, c.width) << "the BITMAPINFOHEADER states the header's size";
    int errors = -1;
    EXPECT_EQ(test::decodeAllFrames(dir + "cam_00.avi", 0, &errors), int(report.files[0].frames));
    EXPECT_GT(report.files[0].frames, 0u);
    EXPECT_EQ(errors, 0);
  }
}

TEST(StreamHeaderChoice, WithoutEvidenceTheStoredHeaderStays) {
  std::vector<uint8_t> noise(4000 + kPayloadPadding, 0);
  uint32_t x = 12345;
  for (std::size_t i = 0; i < 4000; ++i) noise[i] = uint8_t((x = x * 1103515245u + 12345u) >> 24);
  noise[0] = 0, noise[1] = 0, noise[2] = 1, noise[3] = 0xB6;  // a VOP start, then nothing that decodes

  const StreamHeaderChoice neither = chooseStreamHeader(10, noise.data(), 4000);
  EXPECT_EQ(neither.basis, Basis::kNeitherDecodes);
  EXPECT_TRUE(neither.stored);
  EXPECT_EQ(neither.width, 352);
  EXPECT_EQ(streamHeaderText(neither),
            "352x240, the stored header: the first key frame decodes whole with "
            "neither it nor 320x240");

  const StreamHeaderChoice none = chooseStreamHeader(10, nullptr, 0);
  EXPECT_EQ(none.basis, Basis::kNoKeyFrame);
  EXPECT_TRUE(none.stored);
  EXPECT_EQ(none.header, neither.header);
}

TEST(StreamHeaderChoice, InfoAndTheReportSayWhichWasChosen) {
  const std::string dir = scratchDir("said");
  const std::string input = dir + "cam.qmv";
  ASSERT_TRUE(gen::writeFile(input, gen::buildRecording(recordingOf(8, {162, 128})).bytes));

  const test::CliResult info = test::runCli("info " + test::quote(input), dir);
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("CH-01: format 8 stream header 162x128, the stored header: the first key frame "
                          "decodes whole with it, not with 160x120"),
            std::string::npos)
      << info.out;

  std::filesystem::create_directories(dir + "out");
  const test::CliResult run =
      test::runCli("convert " + test::quote(input) + " -o " + test::quote(dir + "out") + " --report", dir);
  ASSERT_EQ(run.status, 0) << run.err;
  std::ifstream in(dir + "out/cam.report.json");
  const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
  ASSERT_FALSE(report.is_discarded());
  const nlohmann::json& header = report["outputs"][0]["video"]["streamHeader"];
  EXPECT_EQ(header["source"], "stored") << header.dump();
  EXPECT_EQ(header["basis"], "storedDecodes");
  EXPECT_EQ(header["width"], 162);
  EXPECT_EQ(header["height"], 128);
}

}  // namespace
}  // namespace qmv
