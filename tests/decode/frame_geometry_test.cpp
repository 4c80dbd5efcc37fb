// Tests of the format-code geometry table, the decoder size table and the VOL headers built from them.
#include "decode/frame_geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qmv {
namespace {

// Reads a byte string most significant bit first, as an MPEG-4 bitstream.
class BitReader {
 public:
  BitReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint32_t read(int bits) {
    uint32_t value = 0;
    for (int i = 0; i < bits; ++i) {
      EXPECT_LT(position_ / 8, size_) << "read past the end";
      if (position_ / 8 >= size_) return value;
      value = (value << 1) | ((data_[position_ / 8] >> (7 - position_ % 8)) & 1u);
      ++position_;
    }
    return value;
  }
  std::size_t position() const { return position_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

struct VolFields {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Walks the VO start, the VOL header field by field, the VOP start and its first bytes; checks every fixed
// value the recorder writes and returns the picture size.
VolFields parseStreamHeader(const StreamHeader& header) {
  BitReader bits(header.data(), header.size());
  VolFields fields;
  EXPECT_EQ(bits.read(32), 0x00000100u) << "video_object_start_code";
  EXPECT_EQ(bits.read(32), 0x00000121u) << "video_object_layer_start_code";
  EXPECT_EQ(bits.read(1), 0u) << "random_accessible_vol";
  EXPECT_EQ(bits.read(8), 1u) << "video_object_type_indication (simple)";
  EXPECT_EQ(bits.read(1), 1u) << "is_object_layer_identifier";
  EXPECT_EQ(bits.read(4), 1u) << "video_object_layer_verid";
  EXPECT_EQ(bits.read(3), 1u) << "video_object_layer_priority";
  EXPECT_EQ(bits.read(4), 1u) << "aspect_ratio_info (square)";
  EXPECT_EQ(bits.read(1), 1u) << "vol_control_parameters";
  EXPECT_EQ(bits.read(2), 1u) << "chroma_format (4:2:0)";
  EXPECT_EQ(bits.read(1), 1u) << "low_delay";
  EXPECT_EQ(bits.read(1), 0u) << "vbv_parameters";
  EXPECT_EQ(bits.read(2), 0u) << "video_object_layer_shape (rectangular)";
  EXPECT_EQ(bits.read(1), 1u) << "marker";
  EXPECT_EQ(bits.read(16), 30u) << "vop_time_increment_resolution";
  EXPECT_EQ(bits.read(1), 1u) << "marker";
  EXPECT_EQ(bits.read(1), 0u) << "fixed_vop_rate";
  EXPECT_EQ(bits.read(1), 1u) << "marker";
  EXPECT_EQ(bits.position(), 14u * 8) << "the size word starts at byte 14";
  fields.width = bits.read(13);
  EXPECT_EQ(bits.read(1), 1u) << "marker";
  fields.height = bits.read(13);
  EXPECT_EQ(bits.read(1), 1u) << "marker";
  EXPECT_EQ(bits.read(1), 0u) << "interlaced";
  EXPECT_EQ(bits.read(1), 1u) << "obmc_disable";
  EXPECT_EQ(bits.read(1), 0u) << "sprite_enable";
  EXPECT_EQ(bits.read(1), 0u) << "not_8_bit";
  EXPECT_EQ(bits.read(1), 0u) << "quant_type";
  EXPECT_EQ(bits.read(1), 1u) << "complexity_estimation_disable";
  EXPECT_EQ(bits.read(1), 1u) << "resync_marker_disable";
  EXPECT_EQ(bits.read(1), 0u) << "data_partitioned";
  EXPECT_EQ(bits.read(1), 0u) << "scalability";
  EXPECT_EQ(bits.read(3), 0b011u) << "stuffing bits";
  EXPECT_EQ(bits.position(), kVolPartSize * 8) << "the VOL ends at byte 19";
  EXPECT_EQ(bits.read(32), 0x000001B6u) << "vop_start_code";
  EXPECT_EQ(bits.read(16), 0x1061u) << "start of the intra VOP header";
  for (int i = 25; i < 32; ++i) EXPECT_EQ(bits.read(8), 0u) << "byte " << i;
  return fields;
}

uint32_t sizeWordOf(const StreamHeader& header) {
  return (uint32_t{header[14]} << 24) | (uint32_t{header[15]} << 16) | (uint32_t{header[16]} << 8) |
         header[17];
}

struct ExpectedLayout {
  int32_t width;
  int32_t height;
  std::optional<std::array<uint8_t, 4>> sizeWord;
  int headerWidth;  // the size that sizeWord encodes
  int headerHeight;
};

struct ExpectedRow {
  std::vector<uint8_t> codes;
  ExpectedLayout on;
  ExpectedLayout off;
};

using W = std::array<uint8_t, 4>;
constexpr auto kNone = std::nullopt;

// clang-format off
const ExpectedRow kExpected[] = {
    {{0},      {176, 144, kNone, 0, 0},                            {176, 144, kNone, 0, 0}},
    {{1},      {352, 288, W{0x0B, 0x04, 0x24, 0x14}, 352, 288},   {352, 144, W{0x0B, 0x04, 0x12, 0x14}, 352, 144}},
    {{2},      {352, 288, W{0x0B, 0x04, 0x24, 0x14}, 352, 288},   {352, 288, W{0x0B, 0x04, 0x24, 0x14}, 352, 288}},
    {{3},      {704, 576, W{0x16, 0x04, 0x48, 0x14}, 704, 576},   {704, 288, W{0x16, 0x04, 0x24, 0x14}, 704, 288}},
    {{4},      {704, 576, W{0x16, 0x04, 0x48, 0x14}, 704, 576},   {704, 576, W{0x16, 0x04, 0x48, 0x14}, 704, 576}},
    {{8, 24},  {160, 120, W{0x05, 0x14, 0x10, 0x14}, 162, 128},   {160, 120, W{0x05, 0x14, 0x10, 0x14}, 162, 128}},
    {{9, 25},  {320, 240, W{0x0B, 0x04, 0x1E, 0x14}, 352, 240},   {320, 120, W{0x0B, 0x04, 0x10, 0x14}, 352, 128}},
    {{10, 26}, {320, 240, W{0x0B, 0x04, 0x1E, 0x14}, 352, 240},   {320, 240, W{0x0B, 0x04, 0x1E, 0x14}, 352, 240}},
    {{11, 27}, {640, 480, W{0x16, 0x04, 0x3C, 0x14}, 704, 480},   {640, 240, W{0x16, 0x04, 0x1E, 0x14}, 704, 240}},
    {{12, 28}, {640, 480, W{0x16, 0x04, 0x3C, 0x14}, 704, 480},   {640, 480, W{0x16, 0x04, 0x3C, 0x14}, 704, 480}},
    {{16},     {176, 120, W{0x05, 0x14, 0x10, 0x14}, 162, 128},   {176, 120, W{0x05, 0x14, 0x10, 0x14}, 162, 128}},
    {{17},     {352, 240, W{0x0B, 0x04, 0x1E, 0x14}, 352, 240},   {352, 120, W{0x0B, 0x04, 0x10, 0x14}, 352, 128}},
    {{18},     {352, 240, W{0x0B, 0x04, 0x1E, 0x14}, 352, 240},   {352, 240, W{0x0B, 0x04, 0x1E, 0x14}, 352, 240}},
    {{19},     {704, 480, W{0x16, 0x04, 0x3C, 0x14}, 704, 480},   {704, 240, W{0x16, 0x04, 0x1E, 0x14}, 704, 240}},
    {{20},     {704, 480, W{0x16, 0x04, 0x3C, 0x14}, 704, 480},   {704, 480, W{0x16, 0x04, 0x3C, 0x14}, 704, 480}},
};
// clang-format on

void expectLayout(const FrameGeometry& got, const ExpectedLayout& want, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_EQ(got.width, want.width);
  EXPECT_EQ(got.height, want.height);
  ASSERT_EQ(got.header.has_value(), want.sizeWord.has_value());
  if (!got.header) return;
  const StreamHeader& header = *got.header;
  // Only the size word differs from the template.
  StreamHeader expected = kVolHeaderTemplate;
  std::copy(want.sizeWord->begin(), want.sizeWord->end(), expected.begin() + 14);
  EXPECT_EQ(header, expected);
  EXPECT_EQ(sizeWordOf(header), sizeWordFor(want.headerWidth, want.headerHeight));
  const VolFields fields = parseStreamHeader(header);
  EXPECT_EQ(fields.width, static_cast<uint32_t>(want.headerWidth));
  EXPECT_EQ(fields.height, static_cast<uint32_t>(want.headerHeight));
}

TEST(FrameGeometry, EveryCodeInBothLayouts) {
  std::map<int, const ExpectedRow*> byCode;
  for (const ExpectedRow& row : kExpected) {
    for (uint8_t code : row.codes) byCode[code] = &row;
  }
  for (int code = 0; code <= 255; ++code) {
    const auto found = byCode.find(code);
    for (bool standardize : {true, false}) {
      const FrameGeometry got = getFrameGeometry(static_cast<uint8_t>(code), standardize);
      const std::string where =
          "code " + std::to_string(code) + (standardize ? ", standardized" : ", as recorded");
      if (found == byCode.end()) {
        EXPECT_EQ(got.width, 0) << where;
        EXPECT_EQ(got.height, 0) << where;
        EXPECT_FALSE(got.header.has_value()) << where;
      } else {
        expectLayout(got, standardize ? found->second->on : found->second->off, where);
      }
      // Only a half-height picture kept at its coded rows has tall pixels.
      const bool halfHeight =
          found != byCode.end() && found->second->on.height == 2 * found->second->off.height;
      EXPECT_EQ(got.pixelAspect, (halfHeight && !standardize) ? kHalfHeightPixel : PixelAspect{}) << where;
      EXPECT_EQ(isHalfHeightCode(uint8_t(code)), halfHeight) << where;
    }
  }
}

TEST(FrameGeometry, TemplateHeaderEncodes352x240) {
  EXPECT_EQ(sizeWordOf(kVolHeaderTemplate), sizeWordFor(352, 240));
  EXPECT_EQ(sizeWordFor(352, 240), 0x0B041E14u);
  const VolFields fields = parseStreamHeader(kVolHeaderTemplate);
  EXPECT_EQ(fields.width, 352u);
  EXPECT_EQ(fields.height, 240u);
}

TEST(FrameGeometry, MakeStreamHeaderReplacesOnlyTheSizeWord) {
  const StreamHeader header = makeStreamHeader({0x12, 0x34, 0x56, 0x78});
  for (std::size_t i = 0; i < header.size(); ++i) {
    const bool inSizeWord = i >= 14 && i < 18;
    if (!inSizeWord) {
      EXPECT_EQ(header[i], kVolHeaderTemplate[i]) << "byte " << i;
    }
  }
  EXPECT_EQ(sizeWordOf(header), 0x12345678u);
}

TEST(DecoderSizeTable, SixDecodableCodes) {
  struct Entry {
    uint8_t code;
    int32_t width;
    int32_t height;
    W sizeWord;
  };
  const std::map<int, Entry> expected = {
      {2, {2, 352, 288, {0x0B, 0x04, 0x24, 0x14}}},   {3, {3, 704, 288, {0x16, 0x04, 0x24, 0x14}}},
      {4, {4, 704, 576, {0x16, 0x04, 0x48, 0x14}}},   {18, {18, 352, 240, {0x0B, 0x04, 0x1E, 0x14}}},
      {19, {19, 704, 240, {0x16, 0x04, 0x1E, 0x14}}}, {20, {20, 704, 480, {0x16, 0x04, 0x3C, 0x14}}},
  };
  for (int code = 0; code <= 255; ++code) {
    SCOPED_TRACE("code " + std::to_string(code));
    const DecoderSize* entry = findDecoderSize(static_cast<uint8_t>(code));
    const auto want = expected.find(code);
    if (want == expected.end()) {
      EXPECT_EQ(entry, nullptr);
      continue;
    }
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->formatCode, code);
    EXPECT_EQ(entry->width, want->second.width);
    EXPECT_EQ(entry->height, want->second.height);
    EXPECT_EQ(entry->sizeWord, want->second.sizeWord);
    const StreamHeader header = makeStreamHeader(entry->sizeWord);
    EXPECT_EQ(sizeWordOf(header), sizeWordFor(entry->width, entry->height));
    const VolFields fields = parseStreamHeader(header);
    EXPECT_EQ(fields.width, static_cast<uint32_t>(entry->width));
    EXPECT_EQ(fields.height, static_cast<uint32_t>(entry->height));
  }
}

}  // namespace
}  // namespace qmv
