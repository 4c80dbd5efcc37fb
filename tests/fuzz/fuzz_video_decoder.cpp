// Fuzz target: the VideoDecoder adapter's own checks on frames with arbitrary heads, over a fake Xvid
// library that behaves like the real one where it matters (reads ahead, writes the picture at the size of
// the last stream header) and so turns every bad size or buffer into a sanitizer report.
#include <xvid.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "decode/frame_geometry.h"
#include "decode/video_decoder.h"
#include "decode/xvid_library.h"
#include "recording/frame_record.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t half() { return uint16_t((byte() << 8) | byte()); }
  // count bytes, from the input as far as it goes, then zeros.
  void fill(uint8_t* out, std::size_t count) {
    const std::size_t n = std::min(count, size_ - pos_);
    std::copy_n(data_ + pos_, n, out);
    pos_ += n;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

volatile uint32_t sink;  // keeps the read-ahead loop from being optimised away

bool isVolStart(const uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[3] & 0xF0) == 0x20; }

class FakeXvid final : public qmv::XvidLibrary {
 public:
  explicit FakeXvid(Reader& script) : script_(script) {}

  bool loadFails = false;
  bool createFails = false;
  int created = 0;
  int destroyed = 0;

  qmv::XvidLoadResult load() override {
    if (loadFails) return {false, true, {}};
    return {true, false, {}};
  }
  int global(void*, int operation, void* param1, void*) override {
    require(operation == XVID_GBL_INIT && param1 != nullptr);
    return 0;
  }
  int decore(void* handle, int operation, void* param1, void* param2) override {
    switch (operation) {
      case XVID_DEC_CREATE: {
        if (createFails) return XVID_ERR_MEMORY;
        auto* create = static_cast<xvid_dec_create_t*>(param1);
        create->handle = &instances_[created % instances_.size()];
        require(live_.insert(create->handle).second);
        ++created;
        return 0;
      }
      case XVID_DEC_DESTROY:
        require(live_.erase(handle) == 1);
        ++destroyed;
        return 0;
      case XVID_DEC_DECODE:
        require(live_.count(handle) == 1);
        return decode(*static_cast<xvid_dec_frame_t*>(param1), static_cast<xvid_dec_stats_t*>(param2));
      default:
        std::abort();
    }
  }

 private:
  int decode(const xvid_dec_frame_t& frame, xvid_dec_stats_t* stats) {
    require(frame.length >= 0 && frame.bitstream != nullptr && stats != nullptr);
    const auto* bits = static_cast<const uint8_t*>(frame.bitstream);
    // The library reads whole words past the end; the owner promises kPayloadPadding bytes there.
    uint32_t sum = 0;
    for (std::size_t i = 0; i < std::size_t(frame.length) + qmv::kPayloadPadding; ++i) sum += bits[i];
    sink = sum;

    const bool header = frame.length == int(sizeof(qmv::StreamHeader)) &&
                        std::equal(bits, bits + qmv::kSizeWordOffset, qmv::kVolHeaderTemplate.begin());
    if (header) {
      const uint32_t word =
          (uint32_t(bits[14]) << 24) | (uint32_t(bits[15]) << 16) | (uint32_t(bits[16]) << 8) | bits[17];
      width_ = int((word >> 19) & 0x1FFF);
      height_ = int((word >> 5) & 0x1FFF);
      return frame.length;
    }
    // A layer header inside a frame would resize the real library behind the adapter's back.
    for (int i = 0; i + 3 < frame.length; ++i) require(!isVolStart(bits + i));

    int result = frame.length;
    switch (script_.byte() % 8) {
      case 0:
        result = XVID_ERR_FAIL;
        break;
      case 1:
        result = XVID_ERR_FORMAT;
        break;
      case 2:
        result = 0;
        break;
      case 3:
        result = -7;
        break;
      default:
        break;
    }
    if (result >= 0 && frame.output.plane[0] != nullptr) {
      // Like the library: the picture at the last header's size, at the caller's stride. The first and
      // last rows whole and each row's last pixel are enough to reach every edge of the buffer.
      require(frame.output.csp == XVID_CSP_BGRA && frame.output.stride[0] >= width_ * 4);
      auto* out = static_cast<uint8_t*>(frame.output.plane[0]);
      const std::size_t stride = std::size_t(frame.output.stride[0]), row = std::size_t(width_) * 4;
      for (int y = 0; y < height_; ++y) {
        uint8_t* line = out + std::size_t(y) * stride;
        if (y == 0 || y == height_ - 1)
          std::fill_n(line, row, uint8_t(y));
        else if (row >= 4)
          std::fill_n(line + row - 4, 4, uint8_t(y));
      }
    }
    return result;
  }

  Reader& script_;
  std::array<int, 4> instances_{};
  std::set<void*> live_;
  int width_ = 0;
  int height_ = 0;
};

constexpr std::array<int, 10> kWidths = {-1, 0, 1, 16, 176, 352, 640, 704, 1000, 4097};
constexpr std::array<int, 10> kHeights = {-1, 0, 1, 120, 240, 288, 480, 576, 600, 4097};
constexpr std::array<uint8_t, 8> kCodes = {2, 3, 4, 18, 19, 20, 0, 17};

// A size the decoder must refuse gets a token buffer: any use of it is a sanitizer report.
std::vector<uint8_t> makeOutput(int width, int height) {
  const bool sane = width > 0 && height > 0 && width <= 4096 && height <= 4096;
  return std::vector<uint8_t>(sane ? std::size_t(width) * std::size_t(height) * 3 : 1, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in(data, size);
  auto fake = std::make_shared<FakeXvid>(in);
  const uint8_t setup = in.byte();
  fake->loadFails = (setup & 0x07) == 0x07;
  fake->createFails = (setup & 0x38) == 0x38;
  {
    qmv::VideoDecoder decoder(fake);
    // Every buffer handed to create stays alive: a refused create may leave the earlier instance in use.
    std::vector<std::vector<uint8_t>> outputs;
    auto create = [&] {
      const int width = kWidths[in.byte() % kWidths.size()];
      const int height = kHeights[in.byte() % kHeights.size()];
      outputs.push_back(makeOutput(width, height));
      return decoder.create(width, height, outputs.back().data());
    };
    // false: decodeFrame must fail; true: it may succeed.
    bool usable = create() == qmv::VideoDecoder::kOk;

    std::vector<uint8_t> payload;
    for (int frames = 0; frames < 32 && !in.empty(); ++frames) {
      const uint8_t op = in.byte();
      if (op == 0xFE) {  // a second create replaces the first
        if (create() == qmv::VideoDecoder::kOk) usable = true;
        continue;
      }
      if (op == 0xFD) {
        decoder.release();
        usable = false;
        continue;
      }
      qmv::FrameHeader frame;
      frame.source = 0;
      frame.frameType = in.byte();
      const uint8_t code = in.byte();
      frame.formatCode = (op & 1) ? kCodes[code % kCodes.size()] : code;
      frame.wordCount = in.half() % 2048;
      frame.padWords = in.byte();
      // Exactly the words plus the promised zero padding, nothing spare.
      payload = std::vector<uint8_t>(std::size_t(frame.wordCount) * 4 + qmv::kPayloadPadding, 0);
      in.fill(payload.data(), std::size_t(frame.wordCount) * 4);
      frame.payload = (op & 2) ? nullptr : payload.data();
      const int result = decoder.decodeFrame(frame);
      if (!usable) require(result != qmv::VideoDecoder::kOk);
    }
  }
  require(fake->created == fake->destroyed);
  return 0;
}
