// TestVideoEncoder: a moving test pattern coded by libavcodec's MPEG-4 encoder, VOPs only.
#include <cmath>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "tools/generator/prng.h"
#include "tools/generator/recording_generator.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv::gen {

namespace {

// Quantiser for every frame: small enough for a clean picture, large enough for a compact demo.
constexpr int kQuantiser = 4;
constexpr uint8_t kVopStartCode[4] = {0x00, 0x00, 0x01, 0xB6};

uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// Drops what precedes the first VOP: VOS, VO, VOL, user data and GOV headers that the encoder
// writes before key frames. The decoder is handed its own VOL instead.
std::vector<uint8_t> vopsOnly(const uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 4 <= size; ++i) {
    if (std::memcmp(data + i, kVopStartCode, 4) == 0) return std::vector<uint8_t>(data + i, data + size);
  }
  return {};
}

}  // namespace

struct TestVideoEncoder::Impl {
  ff::CodecContext context;
  ff::Frame frame;
  ff::Packet packet;
  int width = 0;
  int height = 0;
  int keyInterval = 1;
  int64_t index = 0;
  std::vector<uint8_t> bgr;
  // Seeded look of the pattern.
  int gradientPhase = 0;
  int barPhase = 0;
  double chromaPhase = 0;
  int boxSize = 48;

  bool open() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!codec) return false;
    context.reset(avcodec_alloc_context3(codec));
    frame.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!context || !frame || !packet) return false;
    AVCodecContext* c = context.get();
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // Time base 1/30 gives vop_time_increment_resolution 30 and a 5-bit vop_time_increment,
    // as in the VOL that the converter hands the decoder.
    c->time_base = AVRational{1, 30};
    c->framerate = AVRational{30, 1};
    c->gop_size = keyInterval;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_BITEXACT;
    c->global_quality = FF_QP2LAMBDA * kQuantiser;
    // Only tools that the fixed VOL allows: H.263 quantisation, no data partitioning, no
    // resync markers, no scene-change key frames that would break the key interval.
    av_opt_set_int(c, "mpeg_quant", 0, AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(c, "data_partitioning", 0, AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(c, "ps", 0, AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(c, "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
    if (avcodec_open2(c, codec, nullptr) < 0) return false;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    return av_frame_get_buffer(frame.get(), 0) >= 0;
  }

  // Luma: a drifting diagonal ramp, scrolling bars in the top quarter and a box on a Lissajous path.
  // Chroma: smooth waves, so any chroma upsampling gives nearly the same colours.
  void drawPicture(bool bright) {
    if (bright) {
      for (int y = 0; y < height; ++y)
        std::memset(frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0], 235, std::size_t(width));
      for (int plane = 1; plane <= 2; ++plane)
        for (int y = 0; y < height / 2; ++y)
          std::memset(frame->data[plane] + std::ptrdiff_t(y) * frame->linesize[plane], 128,
                      std::size_t(width / 2));
      return;
    }
    const int t = int(index);
    const int boxX = int((width - boxSize) * (0.5 + 0.45 * std::sin(t * 0.11 + chromaPhase)));
    const int boxY = int((height - boxSize) * (0.5 + 0.45 * std::cos(t * 0.07)));
    for (int y = 0; y < height; ++y) {
      uint8_t* row = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
      for (int x = 0; x < width; ++x) {
        int luma = 40 + ((x + y / 2 + 3 * t + gradientPhase) % 256) * 140 / 256;
        if (y < height / 4) luma = (((x + 2 * t + barPhase) / 16) % 2) ? 200 : 50;
        if (x >= boxX && x < boxX + boxSize && y >= boxY && y < boxY + boxSize) luma = 225;
        row[x] = uint8_t(luma);
      }
    }
    const double pi2 = 6.283185307179586;
    for (int y = 0; y < height / 2; ++y) {
      uint8_t* u = frame->data[1] + std::ptrdiff_t(y) * frame->linesize[1];
      uint8_t* v = frame->data[2] + std::ptrdiff_t(y) * frame->linesize[2];
      for (int x = 0; x < width / 2; ++x) {
        u[x] = uint8_t(128 + 50 * std::sin(pi2 * (2.0 * x / width + t / 90.0) + chromaPhase));
        v[x] = uint8_t(128 + 50 * std::cos(pi2 * (2.0 * y / height - t / 120.0) + chromaPhase));
      }
    }
  }

  // BT.601 limited range, each chroma sample covering its 2x2 luma samples.
  void convertToBgr() {
    bgr.resize(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
      const uint8_t* yr = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
      const uint8_t* ur = frame->data[1] + std::ptrdiff_t(y / 2) * frame->linesize[1];
      const uint8_t* vr = frame->data[2] + std::ptrdiff_t(y / 2) * frame->linesize[2];
      uint8_t* out = bgr.data() + std::size_t(y) * width * 3;
      for (int x = 0; x < width; ++x) {
        const int c = yr[x] - 16, d = ur[x / 2] - 128, e = vr[x / 2] - 128;
        out[3 * x + 0] = clampByte((298 * c + 516 * d + 128) >> 8);
        out[3 * x + 1] = clampByte((298 * c - 100 * d - 208 * e + 128) >> 8);
        out[3 * x + 2] = clampByte((298 * c + 409 * e + 128) >> 8);
      }
    }
  }
};

TestVideoEncoder::TestVideoEncoder(int width, int height, int keyInterval, uint32_t seed) : impl_(new Impl) {
  impl_->width = width;
  impl_->height = height;
  impl_->keyInterval = keyInterval < 1 ? 1 : keyInterval;
  Prng prng(seed);
  impl_->gradientPhase = int(prng.below(256));
  impl_->barPhase = int(prng.below(32));
  impl_->chromaPhase = prng.below(1000) / 159.0;
  impl_->boxSize = 32 + 16 * int(prng.below(3));
  if (width < 16 || height < 16 || width % 2 != 0 || height % 2 != 0 || !impl_->open()) {
    impl_->context.reset();
  }
}

TestVideoEncoder::~TestVideoEncoder() { delete impl_; }

bool TestVideoEncoder::ok() const { return impl_->context != nullptr; }
int TestVideoEncoder::width() const { return impl_->width; }
int TestVideoEncoder::height() const { return impl_->height; }
const std::vector<uint8_t>& TestVideoEncoder::lastPictureBgr() const { return impl_->bgr; }

TestVideoEncoder::Frame TestVideoEncoder::next() {
  if (!ok()) return {};
  return next(impl_->index % impl_->keyInterval == 0, false);
}

TestVideoEncoder::Frame TestVideoEncoder::next(bool forceKey, bool bright) {
  Frame result;
  if (!ok()) return result;
  Impl& m = *impl_;
  if (av_frame_make_writable(m.frame.get()) < 0) return result;
  m.drawPicture(bright);
  m.convertToBgr();
  m.frame->pts = m.index++;
  m.frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  m.frame->quality = FF_QP2LAMBDA * kQuantiser;
  if (avcodec_send_frame(m.context.get(), m.frame.get()) < 0) return result;
  // Without B-frames every frame sent comes straight back as one packet.
  if (avcodec_receive_packet(m.context.get(), m.packet.get()) < 0) return result;
  result.vop = vopsOnly(m.packet->data, std::size_t(m.packet->size));
  result.key = (m.packet->flags & AV_PKT_FLAG_KEY) != 0;
  av_packet_unref(m.packet.get());
  return result;
}

}  // namespace qmv::gen
