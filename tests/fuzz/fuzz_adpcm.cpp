// Fuzz target: both ADPCM decoders over a script of calls with arbitrary bytes and counts, state carried
// from call to call, and the frame geometry and stream header lookup.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "decode/frame_geometry.h"
#include "decode/ima_adpcm.h"
#include "decode/multi_adpcm.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::size_t remaining() const { return size_ - pos_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  // Up to count bytes as an exactly sized copy, so that reading past them is a sanitizer report.
  std::vector<uint8_t> take(std::size_t count) {
    count = std::min(count, remaining());
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + count);
    pos_ += count;
    return out;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr int16_t kUntouched = 0x5A5A;

void imaCall(Reader& in, qmv::ImaAdpcmState& state) {
  const uint8_t op = in.byte();
  if (op & 1) qmv::imaAdpcmInit(state, static_cast<int8_t>(in.byte()) * 2);  // -256..254: clamped
  // Counts from -32768 up; never more codes than the bytes that follow hold.
  int count = static_cast<int16_t>((in.byte() << 8) | in.byte());
  const std::vector<uint8_t> input = in.take(count > 0 ? (std::size_t(count) + 1) / 2 : 0);
  if (count > 0) count = std::min<int>(count, int(input.size()) * 2);
  std::vector<int16_t> output(count > 0 ? std::size_t(count) + 1 : 1, kUntouched);
  qmv::imaAdpcmDecode(state, input.empty() ? nullptr : input.data(), output.data(), count);
  require(output.back() == kUntouched);  // nothing beyond count
  require(state.stepIndex >= 0 && state.stepIndex <= 88);
}

void multiCall(Reader& in, qmv::MultiAdpcmDecoder& decoder) {
  const auto command = static_cast<int8_t>(in.byte());
  const auto channelMode = static_cast<int8_t>(in.byte());
  const auto codingType = static_cast<int8_t>(in.byte() % 20 - 2);  // mostly known types, some unknown
  const uint32_t claimed = in.word();
  if (command == qmv::MultiAdpcmDecoder::kAuthor || command == qmv::MultiAdpcmDecoder::kVersion) {
    std::vector<int16_t> text(command == qmv::MultiAdpcmDecoder::kAuthor ? 31 : 20);
    require(decoder.execute(command, channelMode, codingType, nullptr, 0, text.data()) ==
            int32_t(text.size()));
    return;
  }
  // A count whose samples cannot fit in 31 bits must be refused without reading: give it a tiny buffer.
  const bool absurd = claimed >= (1u << 31);
  const std::vector<uint8_t> input = in.take(absurd ? 4 : claimed % 4096);
  const uint32_t length = absurd ? claimed : uint32_t(input.size());
  // At most four codes per byte (2-bit codes); the sentinel tail shows writes past the returned count.
  std::vector<int16_t> output(absurd ? 64 : std::size_t(length) * 4 + 8, kUntouched);
  const bool nullInput = (command & 0x40) != 0;
  const int32_t produced =
      decoder.execute(command, channelMode, codingType, nullInput || input.empty() ? nullptr : input.data(),
                      length, output.data());
  if (command == qmv::MultiAdpcmDecoder::kDecode) {
    require(produced >= 0 && (absurd ? produced == 0 : std::size_t(produced) <= std::size_t(length) * 4));
    require(std::all_of(output.begin() + produced, output.end(), [](int16_t s) { return s == kUntouched; }));
  }
  for (int i = 0; i < 2; ++i) {
    const int index = decoder.state(i).stepIndex;
    require(index >= 0 && index < 91);
    require(qmv::multiAdpcmStepSize(codingType, index) >= 0);
  }
  (void)qmv::multiAdpcmStepSize(codingType, static_cast<int16_t>(claimed));
}

void geometry(uint8_t code) {
  for (const bool standardize : {false, true}) {
    const qmv::FrameGeometry g = qmv::getFrameGeometry(code, standardize);
    require(g.width >= 0 && g.height >= 0 && g.width <= 4096 && g.height <= 4096);
    if (g.width == 0 || g.height == 0) require(!g.header.has_value());
  }
  if (const qmv::DecoderSize* size = qmv::findDecoderSize(code)) {
    require(size->formatCode == code);
    const qmv::StreamHeader header = qmv::makeStreamHeader(size->sizeWord);
    const uint32_t word =
        (uint32_t(header[qmv::kSizeWordOffset]) << 24) | (uint32_t(header[qmv::kSizeWordOffset + 1]) << 16) |
        (uint32_t(header[qmv::kSizeWordOffset + 2]) << 8) | header[qmv::kSizeWordOffset + 3];
    require(word == qmv::sizeWordFor(size->width, size->height));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const bool allCodes = [] {
    for (int code = 0; code < 256; ++code) geometry(uint8_t(code));
    return true;
  }();
  (void)allCodes;

  Reader in(data, size);
  qmv::ImaAdpcmState ima;
  qmv::imaAdpcmInit(ima, 80);
  qmv::MultiAdpcmDecoder multi;
  for (int calls = 0; calls < 64 && !in.empty(); ++calls) {
    switch (in.byte() % 3) {
      case 0:
        imaCall(in, ima);
        break;
      case 1:
        multiCall(in, multi);
        break;
      default:
        geometry(in.byte());
        break;
    }
  }
  return 0;
}
