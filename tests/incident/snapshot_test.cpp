// Stills: the picture a channel shows at a recorded time, compared with libavcodec's decode of the same frame
// from the pass-through file, traced back to its record by its PNG text chunks.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "recording/recording_file.h"
#include "report/sha256.h"
#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/picture_compare.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

// Xvid's and libavcodec's MPEG-4 decoders differ by rounding only: measured 50.7 and 51.7 dB on these
// stills, against about 17 dB between neighbouring frames of the moving pattern.
constexpr double kSameFramePsnr = 40;

constexpr int kStartTime = 600;  // 13:10:00
// CH-01 (352x288, 10 fps, a key frame every 10) and CH-03 (352x240, 7.5 fps, every 15), 12 seconds.
gen::Scenario stillScenario() {
  gen::BodyPlan plan;
  plan.seconds = 12;
  plan.startTime = kStartTime;
  plan.header.hour = 13;
  plan.channels = {
      {.channel = 0, .formatCode = 2, .rateByte = 40, .keyInterval = 10},
      {.channel = 2, .formatCode = 18, .rateByte = 30, .keyInterval = 15},
  };
  return gen::planScenario(plan);
}

struct Fixture {
  std::string dir;
  std::string recording;
};

Fixture writeFixture(const std::string& sub = "") {
  Fixture f;
  f.dir = test::freshTestDir(QMV2AVI_TEST_TMP, "snapshot", sub);
  f.recording = f.dir + "rec.qmv";
  EXPECT_TRUE(gen::writeRecordingFile(stillScenario(), f.recording));
  return f;
}

// The tEXt chunks of a PNG file, keyword to text.
std::map<std::string, std::string> pngTexts(const std::string& path) {
  const std::string bytes = test::slurp(path);
  std::map<std::string, std::string> texts;
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    const uint32_t length = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    if (at + 12 + length > bytes.size()) break;
    if (bytes.compare(at + 4, 4, "tEXt") == 0) {
      const std::string body = bytes.substr(at + 8, length);
      const std::size_t nul = body.find('\0');
      if (nul != std::string::npos) texts[body.substr(0, nul)] = body.substr(nul + 1);
    }
    at += 12 + length;
  }
  return texts;
}

std::vector<uint8_t> onlyPicture(const std::string& path) {
  std::vector<std::vector<uint8_t>> pictures;
  EXPECT_EQ(test::decodeAllFrames(path, 0, nullptr, &pictures), 1) << path;
  return pictures.empty() ? std::vector<uint8_t>{} : pictures[0];
}

// Channel c's first index entry of recorded second `time`.
const FrameIndexEntry* firstEntryAt(const RecordingFile& recording, int c, uint16_t time) {
  for (uint32_t k = 0; k < recording.entryCount(); ++k) {
    const FrameIndexEntry& e = recording.entries()[k];
    if (e.kind == c && e.time == time) return &e;
  }
  return nullptr;
}

TEST(SnapshotTest, EachStillIsTheFrameShownAtItsTimeAndNamesItsRecord) {
  const Fixture f = writeFixture();
  const test::CliResult shot = test::runCli(
      "snapshot --at 13:10:07 -o " + test::quote(f.dir + "stills") + " " + test::quote(f.recording), f.dir);
  ASSERT_EQ(shot.status, 0) << shot.err;
  EXPECT_EQ(test::filesIn(f.dir + "stills"),
            (std::vector<std::string>{"rec_00_20070101-131007.png", "rec_02_20070101-131007.png"}));
  const test::CliResult converted =
      test::runCli("convert -o " + test::quote(f.dir) + " " + test::quote(f.recording), f.dir);
  ASSERT_EQ(converted.status, 0) << converted.err;

  RecordingFile recording;
  ASSERT_TRUE(recording.open(f.recording));
  const Result<FileDigests> digests = hashFile(f.recording);
  ASSERT_TRUE(digests);
  for (const int c : {0, 2}) {
    SCOPED_TRACE(c);
    const std::string still = f.dir + "stills/rec_0" + std::to_string(c) + "_20070101-131007.png";
    const std::vector<uint8_t> picture = onlyPicture(still);
    std::vector<std::vector<uint8_t>> frames;
    test::decodeAllFrames(f.dir + "rec_0" + std::to_string(c) + ".avi", 0, nullptr, &frames);
    // Both channels start with a key frame, so the file's frame n is the channel's n-th record; record i
    // lies at 4 i / rateByte s, and the still shows the first of second 7.
    const int rateByte = c == 0 ? 40 : 30;
    const std::size_t shown = std::size_t((7 * rateByte + 3) / 4);
    ASSERT_GT(frames.size(), shown + 1);
    ASSERT_EQ(picture.size(), frames[shown].size());
    const int width = 352, height = c == 0 ? 288 : 240;
    const double same = test::psnrBgr(picture.data(), frames[shown].data(), width, height);
    EXPECT_GT(same, kSameFramePsnr);
    EXPECT_LT(test::psnrBgr(picture.data(), frames[shown - 1].data(), width, height), same);
    EXPECT_LT(test::psnrBgr(picture.data(), frames[shown + 1].data(), width, height), same);

    const std::map<std::string, std::string> texts = pngTexts(still);
    const FrameIndexEntry* entry = firstEntryAt(recording, c, kStartTime + 7);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(texts.at("Recorded-Time"), "2007-01-01 13:10:07");
    EXPECT_EQ(texts.at("Source-SHA256"), toHex(digests.value().whole));
    EXPECT_EQ(texts.at("Record-Offset"), fmt::format("0x{:X}", recording.recordingStart() + entry->offset));
  }
}

TEST(SnapshotTest, CaptionCoversOnlyTheTopLeftAndEverySeriesStillIsWritten) {
  const Fixture f = writeFixture();
  const std::string series =
      "snapshot --channels 1 --at 13:10:02 --every 3 --to 13:10:08 " + test::quote(f.recording);
  ASSERT_EQ(test::runCli(series + " -o " + test::quote(f.dir + "plain"), f.dir).status, 0);
  ASSERT_EQ(test::runCli(series + " --caption -o " + test::quote(f.dir + "captioned"), f.dir).status, 0);
  const std::vector<std::string> names = {"rec_00_20070101-131002.png", "rec_00_20070101-131005.png",
                                          "rec_00_20070101-131008.png"};
  ASSERT_EQ(test::filesIn(f.dir + "plain"), names);
  ASSERT_EQ(test::filesIn(f.dir + "captioned"), names);
  const std::vector<uint8_t> plain = onlyPicture(f.dir + "plain/" + names[1]);
  const std::vector<uint8_t> captioned = onlyPicture(f.dir + "captioned/" + names[1]);
  ASSERT_EQ(plain.size(), std::size_t(352 * 288 * 3));
  ASSERT_EQ(captioned.size(), plain.size());
  const std::size_t row = 352 * 3;
  // The caption's two lines sit in the top rows; below the middle the pictures are the same.
  EXPECT_NE(std::memcmp(plain.data(), captioned.data(), row * 40), 0);
  EXPECT_EQ(std::memcmp(plain.data() + row * 144, captioned.data() + row * 144, row * 144), 0);
  EXPECT_NE(plain, onlyPicture(f.dir + "plain/" + names[0]));
}

// Rows are channels and columns times: 2 x 3 tiles of 320 x 240, each holding its own picture.
TEST(SnapshotTest, ContactSheetHasATileForEachChannelAndTime) {
  const Fixture f = writeFixture();
  const test::CliResult r = test::runCli("snapshot --sheet --at 13:10:02 --every 3 --to 13:10:08 -o " +
                                             test::quote(f.dir + "sheet") + " " + test::quote(f.recording),
                                         f.dir);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(test::filesIn(f.dir + "sheet"), std::vector<std::string>{"rec_sheet_20070101-131002.png"});
  std::vector<std::vector<uint8_t>> pictures;
  ASSERT_EQ(test::decodeAllFrames(f.dir + "sheet/rec_sheet_20070101-131002.png", 0, nullptr, &pictures), 1);
  const std::vector<uint8_t>& sheet = pictures[0];
  constexpr int kTileW = 320, kTileH = 240, kColumns = 3, kRows = 2;
  ASSERT_EQ(sheet.size(), std::size_t(kTileW * kColumns) * kTileH * kRows * 3);
  // The bottom half of each tile, below its caption: a picture, not black, and unlike its row neighbours.
  const auto lowerHalf = [&](int row, int column) {
    std::vector<uint8_t> part;
    for (int y = row * kTileH + kTileH / 2; y < (row + 1) * kTileH; ++y) {
      const auto* p = sheet.data() + (std::size_t(y) * kTileW * kColumns + std::size_t(column) * kTileW) * 3;
      part.insert(part.end(), p, p + kTileW * 3);
    }
    return part;
  };
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      SCOPED_TRACE(testing::Message() << "row " << row << " column " << column);
      const std::vector<uint8_t> part = lowerHalf(row, column);
      EXPECT_GT(std::count_if(part.begin(), part.end(), [](uint8_t v) { return v > 16; }),
                long(part.size() / 2));
      if (column > 0) EXPECT_NE(part, lowerHalf(row, column - 1));
    }
  }
}

struct RefusedTime {
  const char* name;
  const char* arguments;
  const char* message;
};

class SnapshotRefusalTest : public ::testing::TestWithParam<RefusedTime> {};

TEST_P(SnapshotRefusalTest, IsAUsageErrorNamingTheRecordingsSpan) {
  const Fixture f = writeFixture();
  const test::CliResult r =
      test::runCli(std::string("snapshot ") + GetParam().arguments + " " + test::quote(f.recording), f.dir);
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_TRUE(test::filesIn(f.dir, ".png").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Times, SnapshotRefusalTest,
    ::testing::Values(RefusedTime{"before_start", "--at 13:09:59",
                                  "runs from 2007-01-01 13:10:00 to 2007-01-01 13:10:11"},
                      RefusedTime{"next_day", "--at \"2007-01-02 13:10:05\"",
                                  "runs from 2007-01-01 13:10:00 to 2007-01-01 13:10:11"},
                      RefusedTime{"series_past_end", "--at 13:10:02 --every 2 --to 13:10:12",
                                  "runs from 2007-01-01 13:10:00"},
                      RefusedTime{"no_clock_time", "--at 13:61:00", "use HH:MM:SS or YYYY-MM-DD HH:MM:SS"}),
    [](const ::testing::TestParamInfo<RefusedTime>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qmv
