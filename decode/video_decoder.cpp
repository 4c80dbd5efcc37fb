// VideoDecoder: feeds the recorder's stream header and frames to Xvid and packs its BGRA picture to BGR24.
#include "decode/video_decoder.h"

#include <xvid.h>

#include <array>
#include <cstring>
#include <vector>

#include "decode/frame_geometry.h"
#include "decode/xvid_library.h"

namespace qmv {
namespace {

// Xvid API 1.1.2, the record layout the decoder was written against; Xvid 1.3 still accepts it.
constexpr int kXvidApiVersion = 0x010102;
constexpr uint8_t kNoFormat = 0xFF;  // not a format code of any table
// Far above every size the recorder codes (704 x 576); keeps width * height * 4 well inside int.
constexpr int kMaxPictureSide = 4096;

int mapLibraryResult(int result) {
  switch (result) {
    case XVID_ERR_VERSION:
      return VideoDecoder::kErrVersion;
    case XVID_ERR_FORMAT:
      return VideoDecoder::kErrFormat;
    case XVID_ERR_MEMORY:
      return VideoDecoder::kErrMemory;
    case XVID_ERR_FAIL:
      return VideoDecoder::kErrFail;
    default:
      return VideoDecoder::kOk;  // byte counts and codes the adapter does not know
  }
}

// A video object layer start code (00 00 01 20..2F) in a frame would give the library that layer's picture
// size in place of the one the buffers were made for; Xvid then writes past them or crashes in its resize.
bool carriesVolHeader(const uint8_t* stream, uint32_t length) {
  for (uint32_t i = 0; i + 3 < length; ++i) {
    if (stream[i + 2] > 1) {
      i += 2;  // no start code prefix can begin at i, i + 1 or i + 2
    } else if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && (stream[i + 3] & 0xF0) == 0x20) {
      return true;
    }
  }
  return false;
}

void packBgraToBgr(const uint8_t* bgra, uint8_t* bgr, std::size_t pixels) {
  for (std::size_t p = 0; p < pixels; ++p) {
    bgr[0] = bgra[0];
    bgr[1] = bgra[1];
    bgr[2] = bgra[2];
    bgra += 4;
    bgr += 3;
  }
}

}  // namespace

struct VideoDecoder::State {
  std::shared_ptr<XvidLibrary> library;
  XvidLoadResult load;               // of the last create
  xvid_dec_create_t createParams{};  // width, height: the current coded size, 0 until a header is fed
  xvid_dec_frame_t frameParams{};
  xvid_dec_stats_t stats{};
  uint8_t currentFormat = kNoFormat;
  void* decoderHandle = nullptr;
  uint8_t* outputBuffer = nullptr;
  int capacityWidth = 0;  // the size given to create: bounds of outputBuffer and workBuffer
  int capacityHeight = 0;
  std::vector<uint8_t> workBuffer;
  // The stream header goes here, followed by zeros: the library may read past the end of what it is given.
  std::array<uint8_t, sizeof(StreamHeader) + kPayloadPadding> headerBuffer{};

  int loadCodec() {
    load = library->load();
    return load.ok ? 0 : -1;
  }

  int decode(const void* bitstream, uint32_t length) {
    frameParams.bitstream = const_cast<void*>(bitstream);
    frameParams.length = static_cast<int>(length);
    return mapLibraryResult(library->decore(decoderHandle, XVID_DEC_DECODE, &frameParams, &stats));
  }

  int feedStreamHeader(const DecoderSize& entry) {
    currentFormat = entry.formatCode;  // recorded first, so a failed feed is not repeated for this code
    createParams.width = entry.width;
    createParams.height = entry.height;
    const StreamHeader header = makeStreamHeader(entry.sizeWord);
    std::memcpy(headerBuffer.data(), header.data(), header.size());

    frameParams.version = kXvidApiVersion;
    frameParams.general = 0;
    frameParams.output.csp = XVID_CSP_BGRA;
    frameParams.output.stride[0] = entry.width * 4;
    const int result = decode(headerBuffer.data(), static_cast<uint32_t>(header.size()));
    if (result != kOk) return result;
    frameParams.general = XVID_LOWDELAY;
    return kOk;
  }

  void destroyInstance() {
    if (decoderHandle != nullptr) {
      library->decore(decoderHandle, XVID_DEC_DESTROY, nullptr, nullptr);
      decoderHandle = nullptr;
    }
  }
};

VideoDecoder::VideoDecoder() : VideoDecoder(std::make_shared<DynamicXvidLibrary>()) {}

VideoDecoder::VideoDecoder(std::shared_ptr<XvidLibrary> library) : state_(std::make_unique<State>()) {
  state_->library = std::move(library);
}

VideoDecoder::~VideoDecoder() { release(); }

int VideoDecoder::create(int width, int height, uint8_t* outputBuffer) {
  State& s = *state_;
  if (!s.library || s.loadCodec() != 0) return kErrFail;
  if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide ||
      outputBuffer == nullptr) {
    return kErrFail;
  }
  s.destroyInstance();  // a second create replaces the instance instead of leaking it

  xvid_gbl_init_t init{};
  init.version = kXvidApiVersion;
  s.library->global(nullptr, XVID_GBL_INIT, &init, nullptr);

  // The instance is created without a size: Xvid holds on to a size given here and then ignores the one in
  // each stream header, which would decode a 704 x 288 stream into a 704 x 576 buffer as 704 x 576.
  s.createParams = xvid_dec_create_t{};
  s.createParams.version = kXvidApiVersion;
  s.capacityWidth = width;
  s.capacityHeight = height;
  s.workBuffer.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
  s.outputBuffer = outputBuffer;

  const int result = mapLibraryResult(s.library->decore(nullptr, XVID_DEC_CREATE, &s.createParams, nullptr));
  if (result != kOk) return result;

  s.decoderHandle = s.createParams.handle;
  s.frameParams = xvid_dec_frame_t{};
  s.currentFormat = kNoFormat;
  s.frameParams.output.plane[0] = s.workBuffer.data();
  s.stats = xvid_dec_stats_t{};
  s.stats.version = kXvidApiVersion;
  return kOk;
}

int VideoDecoder::decodeFrame(const FrameHeader& frame) {
  State& s = *state_;
  if (s.decoderHandle == nullptr) return kErrFail;
  // Refused before the library sees it: a size the buffers were not made for.
  const DecoderSize* entry = findDecoderSize(frame.formatCode);
  if (entry == nullptr || entry->width > s.capacityWidth || entry->height > s.capacityHeight)
    return kErrFormat;
  const uint32_t length = frame.streamBytes();
  if (length > 0 && frame.payload == nullptr) return kErrFail;
  if (carriesVolHeader(frame.payload, length)) return kErrFormat;

  if (frame.formatCode != s.currentFormat) {
    const int result = s.feedStreamHeader(*entry);
    if (result != kOk) return result;
  }

  // An empty stream still goes to the library; the zero tail of the header buffer stands in for a missing
  // payload.
  const uint8_t* bitstream =
      frame.payload != nullptr ? frame.payload : s.headerBuffer.data() + sizeof(StreamHeader);
  const int result = s.decode(bitstream, length);
  if (result != kOk) return result;

  packBgraToBgr(
      s.workBuffer.data(), s.outputBuffer,
      static_cast<std::size_t>(s.createParams.width) * static_cast<std::size_t>(s.createParams.height));
  return kOk;
}

const XvidLoadResult& VideoDecoder::loadResult() const { return state_->load; }

void VideoDecoder::release() {
  State& s = *state_;
  s.workBuffer = std::vector<uint8_t>();
  if (s.library) {
    s.destroyInstance();
    s.library.reset();  // the last reference unloads the library
  }
  s.outputBuffer = nullptr;
  s.capacityWidth = 0;
  s.capacityHeight = 0;
  s.frameParams.output.plane[0] = nullptr;
}

}  // namespace qmv
