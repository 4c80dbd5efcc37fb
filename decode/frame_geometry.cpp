// Frame geometry tables by video format code, and the stream headers built from them.
#include "decode/frame_geometry.h"

#include <algorithm>

namespace qmv {
namespace {

using SizeWord = std::array<uint8_t, 4>;

// One output layout: picture size, and the size word of its stream header (the size it encodes in brackets).
struct Layout {
  int32_t width;
  int32_t height;
  std::optional<SizeWord> sizeWord;
};

struct GeometryRow {
  uint8_t code;
  uint8_t alias;  // a second code with the same row, or kNoAlias
  Layout on;      // Standardization on
  Layout off;     // Standardization off
};

constexpr uint8_t kNoAlias = 0xFF;
constexpr std::optional<SizeWord> kNoHeader = std::nullopt;

constexpr SizeWord kW162x128 = {0x05, 0x14, 0x10, 0x14};
constexpr SizeWord kW352x128 = {0x0B, 0x04, 0x10, 0x14};
constexpr SizeWord kW352x144 = {0x0B, 0x04, 0x12, 0x14};
constexpr SizeWord kW352x240 = {0x0B, 0x04, 0x1E, 0x14};
constexpr SizeWord kW352x288 = {0x0B, 0x04, 0x24, 0x14};
constexpr SizeWord kW704x240 = {0x16, 0x04, 0x1E, 0x14};
constexpr SizeWord kW704x288 = {0x16, 0x04, 0x24, 0x14};
constexpr SizeWord kW704x480 = {0x16, 0x04, 0x3C, 0x14};
constexpr SizeWord kW704x576 = {0x16, 0x04, 0x48, 0x14};

constexpr uint32_t bigEndian(const SizeWord& w) {
  return (uint32_t{w[0]} << 24) | (uint32_t{w[1]} << 16) | (uint32_t{w[2]} << 8) | w[3];
}
// Each stored size word is the one its name says.
static_assert(bigEndian(kW162x128) == sizeWordFor(162, 128));
static_assert(bigEndian(kW352x128) == sizeWordFor(352, 128));
static_assert(bigEndian(kW352x144) == sizeWordFor(352, 144));
static_assert(bigEndian(kW352x240) == sizeWordFor(352, 240));
static_assert(bigEndian(kW352x288) == sizeWordFor(352, 288));
static_assert(bigEndian(kW704x240) == sizeWordFor(704, 240));
static_assert(bigEndian(kW704x288) == sizeWordFor(704, 288));
static_assert(bigEndian(kW704x480) == sizeWordFor(704, 480));
static_assert(bigEndian(kW704x576) == sizeWordFor(704, 576));
static_assert(bigEndian(kW352x240) == bigEndian({kVolHeaderTemplate[14], kVolHeaderTemplate[15],
                                                 kVolHeaderTemplate[16], kVolHeaderTemplate[17]}));

// clang-format off
constexpr GeometryRow kGeometryTable[] = {
    // code alias     on: w x h     header              off: w x h    header
    {0,  kNoAlias,  {176, 144, kNoHeader},  {176, 144, kNoHeader}},
    {1,  kNoAlias,  {352, 288, kW352x288},  {352, 144, kW352x144}},
    {2,  kNoAlias,  {352, 288, kW352x288},  {352, 288, kW352x288}},
    {3,  kNoAlias,  {704, 576, kW704x576},  {704, 288, kW704x288}},
    {4,  kNoAlias,  {704, 576, kW704x576},  {704, 576, kW704x576}},
    {8,  24,        {160, 120, kW162x128},  {160, 120, kW162x128}},
    {9,  25,        {320, 240, kW352x240},  {320, 120, kW352x128}},
    {10, 26,        {320, 240, kW352x240},  {320, 240, kW352x240}},
    {11, 27,        {640, 480, kW704x480},  {640, 240, kW704x240}},
    {12, 28,        {640, 480, kW704x480},  {640, 480, kW704x480}},
    {16, kNoAlias,  {176, 120, kW162x128},  {176, 120, kW162x128}},
    {17, kNoAlias,  {352, 240, kW352x240},  {352, 120, kW352x128}},
    {18, kNoAlias,  {352, 240, kW352x240},  {352, 240, kW352x240}},
    {19, kNoAlias,  {704, 480, kW704x480},  {704, 240, kW704x240}},
    {20, kNoAlias,  {704, 480, kW704x480},  {704, 480, kW704x480}},
};

// The sizes the video decoder can decode, in the decoder's own order.
constexpr DecoderSize kDecoderSizeTable[] = {
    // code  coded w x h   size word
    {2,   352, 288,  kW352x288},
    {3,   704, 288,  kW704x288},
    {4,   704, 576,  kW704x576},
    {18,  352, 240,  kW352x240},
    {19,  704, 240,  kW704x240},
    {20,  704, 480,  kW704x480},
};
// clang-format on

}  // namespace

FrameGeometry getFrameGeometry(uint8_t formatCode, bool standardize) {
  FrameGeometry result;
  const auto row =
      std::find_if(std::begin(kGeometryTable), std::end(kGeometryTable), [&](const GeometryRow& r) {
        return r.code == formatCode || (r.alias != kNoAlias && r.alias == formatCode);
      });
  if (row == std::end(kGeometryTable)) {
    return result;
  }
  const Layout& layout = standardize ? row->on : row->off;
  result.width = layout.width;
  result.height = layout.height;
  if (row->on.height != row->off.height && !standardize) result.pixelAspect = kHalfHeightPixel;
  if (layout.sizeWord) {
    result.header = makeStreamHeader(*layout.sizeWord);
  }
  return result;
}

bool sameCodedSize(uint8_t a, uint8_t b) {
  const FrameGeometry x = getFrameGeometry(a, false), y = getFrameGeometry(b, false);
  return x.width == y.width && x.height == y.height;
}

bool isHalfHeightCode(uint8_t formatCode) {
  return getFrameGeometry(formatCode, false).pixelAspect == kHalfHeightPixel;
}

const DecoderSize* findDecoderSize(uint8_t formatCode) {
  for (const DecoderSize& entry : kDecoderSizeTable) {
    if (entry.formatCode == formatCode) {
      return &entry;
    }
  }
  return nullptr;
}

StreamHeader makeStreamHeader(const SizeWord& sizeWord) {
  StreamHeader header = kVolHeaderTemplate;
  std::copy(sizeWord.begin(), sizeWord.end(), header.begin() + kSizeWordOffset);
  return header;
}

}  // namespace qmv
