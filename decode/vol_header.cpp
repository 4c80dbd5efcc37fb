// MPEG-4 Part 2 video object and video object layer headers written field by field, for a stream's extra
// data.
#include "decode/vol_header.h"

namespace qmv {
namespace {

// Appends fields most significant bit first, as an MPEG-4 bitstream stores them.
class BitWriter {
 public:
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1u) bytes_.back() |= uint8_t(0x80u >> (used_ % 8));
      ++used_;
    }
  }
  // next_start_code(): a 0 bit, then 1 bits up to the byte boundary (always at least the 0).
  void stuff() {
    put(0, 1);
    while (used_ % 8 != 0) put(1, 1);
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  std::size_t used_ = 0;
};

constexpr int kMaxSide = (1 << 13) - 1;  // video_object_layer_width and _height are 13-bit fields
constexpr int kMaxParTerm = 255;         // par_width and par_height are 8-bit fields
constexpr uint32_t kAspectSquare = 1;
constexpr uint32_t kAspectExtended = 15;

}  // namespace

std::vector<uint8_t> makeVolHeader(int width, int height, PixelAspect aspect) {
  if (width < 1 || width > kMaxSide || height < 1 || height > kMaxSide || aspect.num < 1 ||
      aspect.num > kMaxParTerm || aspect.den < 1 || aspect.den > kMaxParTerm)
    return {};
  const bool square = aspect.num == aspect.den;
  BitWriter bits;
  bits.put(0x00000100, 32);  // video_object_start_code
  bits.put(0x00000121, 32);  // video_object_layer_start_code
  bits.put(0, 1);            // random_accessible_vol
  bits.put(1, 8);            // video_object_type_indication: simple object
  bits.put(1, 1);            // is_object_layer_identifier
  bits.put(1, 4);            // video_object_layer_verid
  bits.put(1, 3);            // video_object_layer_priority
  bits.put(square ? kAspectSquare : kAspectExtended, 4);
  if (!square) {
    bits.put(uint32_t(aspect.num), 8);  // par_width
    bits.put(uint32_t(aspect.den), 8);  // par_height
  }
  bits.put(1, 1);    // vol_control_parameters
  bits.put(1, 2);    // chroma_format: 4:2:0
  bits.put(1, 1);    // low_delay
  bits.put(0, 1);    // vbv_parameters
  bits.put(0, 2);    // video_object_layer_shape: rectangular
  bits.put(1, 1);    // marker
  bits.put(30, 16);  // vop_time_increment_resolution
  bits.put(1, 1);    // marker
  bits.put(0, 1);    // fixed_vop_rate
  bits.put(1, 1);    // marker
  bits.put(uint32_t(width), 13);
  bits.put(1, 1);  // marker
  bits.put(uint32_t(height), 13);
  bits.put(1, 1);  // marker
  bits.put(0, 1);  // interlaced
  bits.put(1, 1);  // obmc_disable
  bits.put(0, 1);  // sprite_enable (one bit at verid 1)
  bits.put(0, 1);  // not_8_bit
  bits.put(0, 1);  // quant_type
  bits.put(1, 1);  // complexity_estimation_disable
  bits.put(1, 1);  // resync_marker_disable
  bits.put(0, 1);  // data_partitioned
  bits.put(0, 1);  // scalability
  bits.stuff();
  return bits.take();
}

}  // namespace qmv
