// Frame geometry by video format code: output picture sizes, the synthetic MPEG-4 stream header, decodable
// sizes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace qmv {

// A 32-byte MPEG-4 Part 2 stream prefix: VO start, VOL header, and the start of an intra VOP.
using StreamHeader = std::array<uint8_t, 32>;

// The recorder's VOL header for 352 x 240; bytes 14..17 hold the picture size (the "size word").
inline constexpr StreamHeader kVolHeaderTemplate = {0x00, 0x00, 0x01, 0x00,  // video_object_start_code
                                                    0x00, 0x00, 0x01, 0x21,  // video_object_layer_start_code
                                                    0x00, 0xC4, 0x8D, 0x88, 0x00, 0xF5, 0x0B,
                                                    0x04, 0x1E, 0x14, 0x63,  // VOL header
                                                    0x00, 0x00, 0x01, 0xB6,  // vop_start_code
                                                    0x10, 0x61,              // start of an intra VOP header
                                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr std::size_t kVolPartSize = 19;  // bytes 0..18: VO + VOL, before the VOP start code
inline constexpr std::size_t kSizeWordOffset = 14;

// The shape of one pixel, width : height.
struct PixelAspect {
  int num = 1;
  int den = 1;
  bool operator==(const PixelAspect&) const = default;
};

// The half-height codes hold one field of each picture: every coded row stands for two rows of the scene.
inline constexpr PixelAspect kHalfHeightPixel{1, 2};

struct FrameGeometry {
  int32_t width = 0;
  int32_t height = 0;
  std::optional<StreamHeader> header;  // none for codes whose frames carry their own VOL
  // kHalfHeightPixel when the size keeps a half-height code's coded rows (Standardization off); square
  // otherwise.
  PixelAspect pixelAspect;
};

// Output size and stream header for a format code; 0 x 0 and no header for a code without a geometry.
// standardize gives the half-height codes the full height of their pair.
FrameGeometry getFrameGeometry(uint8_t formatCode, bool standardize);

// A format code the video decoder can decode, with its coded size.
struct DecoderSize {
  uint8_t formatCode;
  int32_t width;
  int32_t height;
  std::array<uint8_t, 4> sizeWord;
};

// Two format codes whose frames are coded at one picture size.
bool sameCodedSize(uint8_t a, uint8_t b);

// Codes 1, 3, 9, 11, 17, 19, 25 and 27: coded at half the height of their full-height pair.
bool isHalfHeightCode(uint8_t formatCode);

const DecoderSize* findDecoderSize(uint8_t formatCode);  // nullptr when none

// kVolHeaderTemplate with bytes 14..17 replaced.
StreamHeader makeStreamHeader(const std::array<uint8_t, 4>& sizeWord);

// The size word as a big-endian number: 13-bit width, marker, 13-bit height, marker,
// then interlaced 0, obmc_disable 1, sprite_enable 0, not_8_bit 0.
constexpr uint32_t sizeWordFor(int width, int height) {
  return (static_cast<uint32_t>(width) << 19) | 0x40000u | (static_cast<uint32_t>(height) << 5) | 0x14u;
}

}  // namespace qmv
