// libavcodec's MPEG-4 Part 2 decoder and libswscale's BGR24 conversion, as a reference for decoded pictures.
#include "support/reference_mpeg4_decoder.h"

#include <cstring>

#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace qmv::test {

struct ReferenceMpeg4Decoder::Impl {
  int width = 0;
  int height = 0;
  ff::CodecContext context;
  ff::Frame frame{av_frame_alloc()};
  ff::Packet packet{av_packet_alloc()};
  ff::Sws scaler;
  bool ok = false;
};

ReferenceMpeg4Decoder::ReferenceMpeg4Decoder(const uint8_t* volHeader, std::size_t volSize, int width,
                                             int height)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.width = width;
  m.height = height;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  if (codec == nullptr || !m.frame || !m.packet) return;
  m.context.reset(avcodec_alloc_context3(codec));
  if (!m.context) return;
  AVCodecContext* c = m.context.get();
  c->extradata = static_cast<uint8_t*>(av_mallocz(volSize + AV_INPUT_BUFFER_PADDING_SIZE));
  if (c->extradata == nullptr) return;
  std::memcpy(c->extradata, volHeader, volSize);
  c->extradata_size = static_cast<int>(volSize);
  c->width = width;
  c->height = height;
  c->thread_count = 1;
  c->flags |= AV_CODEC_FLAG_LOW_DELAY;
  m.ok = avcodec_open2(c, codec, nullptr) == 0;
}

ReferenceMpeg4Decoder::~ReferenceMpeg4Decoder() = default;

bool ReferenceMpeg4Decoder::ok() const { return impl_->ok; }

std::vector<uint8_t> ReferenceMpeg4Decoder::decode(const std::vector<uint8_t>& vop) {
  Impl& m = *impl_;
  std::vector<uint8_t> picture;
  if (!m.ok || av_new_packet(m.packet.get(), static_cast<int>(vop.size())) < 0) return picture;
  std::memcpy(m.packet->data, vop.data(), vop.size());
  const int sent = avcodec_send_packet(m.context.get(), m.packet.get());
  av_packet_unref(m.packet.get());
  if (sent < 0 || avcodec_receive_frame(m.context.get(), m.frame.get()) < 0) return picture;

  AVFrame* f = m.frame.get();
  if (f->width != m.width || f->height != m.height) {
    av_frame_unref(f);
    return picture;
  }
  m.scaler.reset(sws_getCachedContext(m.scaler.release(), f->width, f->height,
                                      static_cast<AVPixelFormat>(f->format), m.width, m.height,
                                      AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (m.scaler) {
    picture.resize(std::size_t(m.width) * std::size_t(m.height) * 3);
    uint8_t* planes[1] = {picture.data()};
    const int strides[1] = {m.width * 3};
    sws_scale(m.scaler.get(), f->data, f->linesize, 0, f->height, planes, strides);
  }
  av_frame_unref(f);
  return picture;
}

}  // namespace qmv::test
