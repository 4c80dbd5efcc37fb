// VideoEncoder: the compressing stream of re-encode mode, BGR24 top-down pictures through libswscale into a
// libavcodec encoder.
#include "transcode/video_encoder.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace qmv {
namespace {

constexpr int kMaxQScale = 31;  // MPEG-style quantiser range 1..31
constexpr double kMaxCrf = 51.0;

Error encoderError(const std::string& what, int code) {
  return Error{code, what + ": " + ff::errorText(code)};
}

// libswscale keeps the range in its own settings; the J formats only ask for full range.
AVPixelFormat withoutJpegRange(AVPixelFormat f, bool* fullRange) {
  *fullRange = true;
  switch (f) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    default:
      *fullRange = false;
      return f;
  }
}

bool swscaleCanWrite(AVPixelFormat f) {
  bool fullRange = false;
  return sws_isSupportedOutput(withoutJpegRange(f, &fullRange)) > 0;
}

void applyRateControl(AVCodecContext& ctx, const CompressOptions& options, bool lossless) {
  if (options.keyFrameInterval > 0) ctx.gop_size = options.keyFrameInterval;
  if (lossless) return;
  if (options.bitRate > 0) {
    ctx.bit_rate = options.bitRate;
    return;
  }
  if (options.quality < 0) return;
  const int q = std::clamp(options.quality, 0, 100);
  if (ctx.priv_data && av_opt_find(ctx.priv_data, "crf", nullptr, 0, 0)) {
    av_opt_set_double(ctx.priv_data, "crf", kMaxCrf * (100 - q) / 100.0, 0);
    return;
  }
  const int qscale = kMaxQScale - (q * (kMaxQScale - 1) + 50) / 100;
  ctx.flags |= AV_CODEC_FLAG_QSCALE;
  ctx.global_quality = FF_QP2LAMBDA * qscale;
}

}  // namespace

bool isLosslessCodec(AVCodecID id) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  return d && (d->props & AV_CODEC_PROP_LOSSLESS) && !(d->props & AV_CODEC_PROP_LOSSY);
}

AVPixelFormat encoderInputFormat(const AVCodec& codec, bool lossless) {
  if (!codec.pix_fmts) return AV_PIX_FMT_BGR24;  // takes anything (rawvideo)
  std::vector<AVPixelFormat> usable;
  for (const AVPixelFormat* f = codec.pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
    if (swscaleCanWrite(*f)) usable.push_back(*f);
  if (usable.empty()) return AV_PIX_FMT_NONE;
  if (!lossless) {
    const std::array<AVPixelFormat, 2> preferred = codec.id == AV_CODEC_ID_MJPEG
                                                       ? std::array{AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P}
                                                       : std::array{AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P};
    for (AVPixelFormat p : preferred)
      if (std::find(usable.begin(), usable.end(), p) != usable.end()) return p;
  }
  usable.push_back(AV_PIX_FMT_NONE);
  int loss = 0;
  return avcodec_find_best_pix_fmt_of_list(usable.data(), AV_PIX_FMT_BGR24, 0, &loss);
}

Result<std::unique_ptr<VideoEncoder>> VideoEncoder::open(const CompressOptions& options, int width,
                                                         int height, AVRational timeBase, int threads,
                                                         AVRational sampleAspect, bool globalHeader) {
  const AVCodec* codec = avcodec_find_encoder_by_name(options.encoder.c_str());
  if (!codec || codec->type != AVMEDIA_TYPE_VIDEO)
    return Error{AVERROR_ENCODER_NOT_FOUND,
                 "no video encoder named '" + options.encoder + "' in this FFmpeg build"};
  if (width <= 0 || height <= 0 || timeBase.num <= 0 || timeBase.den <= 0)
    return Error{AVERROR(EINVAL), "encoder '" + options.encoder + "' needs a picture size and a frame rate"};
  const bool lossless = isLosslessCodec(codec->id);
  const AVPixelFormat pixFmt = encoderInputFormat(*codec, lossless);
  if (pixFmt == AV_PIX_FMT_NONE)
    return Error{AVERROR(EINVAL),
                 "encoder '" + options.encoder + "' takes no picture format that can be made from RGB"};

  std::unique_ptr<VideoEncoder> enc(new VideoEncoder);
  enc->width_ = width;
  enc->height_ = height;
  enc->context_.reset(avcodec_alloc_context3(codec));
  enc->frame_.reset(av_frame_alloc());
  enc->packet_.reset(av_packet_alloc());
  if (!enc->context_ || !enc->frame_ || !enc->packet_)
    return Error{AVERROR(ENOMEM), "out of memory for the encoder"};

  AVCodecContext& ctx = *enc->context_;
  ctx.width = width;
  ctx.height = height;
  ctx.pix_fmt = pixFmt;
  ctx.time_base = timeBase;
  ctx.framerate = AVRational{timeBase.den, timeBase.num};
  ctx.sample_aspect_ratio = sampleAspect;
  ctx.max_b_frames = 0;  // packets must come out in position order
  ctx.thread_count = threads;
  ctx.flags |= AV_CODEC_FLAG_BITEXACT;
  if (globalHeader) ctx.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  bool fullRange = false;
  const AVPixelFormat swsFormat = withoutJpegRange(pixFmt, &fullRange);
  if (fullRange) ctx.color_range = AVCOL_RANGE_JPEG;
  applyRateControl(ctx, options, lossless);
  if (!options.profile.empty() &&
      (!ctx.priv_data || av_opt_set(ctx.priv_data, "profile", options.profile.c_str(), 0) < 0))
    return Error{AVERROR(EINVAL),
                 "encoder '" + options.encoder + "' has no profile '" + options.profile + "'"};

  if (int r = avcodec_open2(&ctx, codec, nullptr); r < 0)
    return encoderError("cannot open encoder '" + options.encoder + "' at " + std::to_string(width) + " x " +
                            std::to_string(height),
                        r);

  AVFrame& f = *enc->frame_;
  f.format = pixFmt;
  f.width = width;
  f.height = height;
  if (int r = av_frame_get_buffer(&f, 0); r < 0) return encoderError("cannot allocate an encoder picture", r);

  enc->sws_.reset(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, swsFormat,
                                 SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                 nullptr));
  if (!enc->sws_)
    return Error{AVERROR(EINVAL), "cannot convert RGB pictures for encoder '" + options.encoder + "'"};
  if (fullRange) {
    int *inv = nullptr, *table = nullptr, srcRange = 0, dstRange = 0, brightness = 0, contrast = 0,
        saturation = 0;
    if (sws_getColorspaceDetails(enc->sws_.get(), &inv, &srcRange, &table, &dstRange, &brightness, &contrast,
                                 &saturation) >= 0)
      sws_setColorspaceDetails(enc->sws_.get(), inv, srcRange, table, 1, brightness, contrast, saturation);
  }
  return enc;
}

VideoEncoder::~VideoEncoder() = default;

Status VideoEncoder::fillParameters(AVCodecParameters& parameters, uint32_t fourcc) const {
  if (int r = avcodec_parameters_from_context(&parameters, context_.get()); r < 0)
    return encoderError("cannot describe the encoded stream", r);
  parameters.codec_tag = fourcc;
  return okStatus();
}

AVRational VideoEncoder::timeBase() const { return context_->time_base; }

Status VideoEncoder::encode(const uint8_t* bgr, int64_t pts, const PacketSink& sink) {
  if (flushed_) return Error{AVERROR_EOF, "the encoder was already flushed"};
  AVFrame& f = *frame_;
  if (int r = av_frame_make_writable(&f); r < 0) return encoderError("cannot reuse the encoder picture", r);
  const uint8_t* src[4] = {bgr, nullptr, nullptr, nullptr};
  const int srcStride[4] = {width_ * 3, 0, 0, 0};
  sws_scale(sws_.get(), src, srcStride, 0, height_, f.data, f.linesize);
  f.pts = pts;
  if (int r = avcodec_send_frame(context_.get(), &f); r < 0)
    return encoderError("the encoder refused a picture", r);
  return drain(sink);
}

Status VideoEncoder::flush(const PacketSink& sink) {
  if (flushed_) return okStatus();
  flushed_ = true;
  if (int r = avcodec_send_frame(context_.get(), nullptr); r < 0)
    return encoderError("cannot flush the encoder", r);
  return drain(sink);
}

Status VideoEncoder::drain(const PacketSink& sink) {
  if (int r = ff::receivePackets(context_.get(), packet_.get(), sink); r < 0)
    return encoderError("the encoder failed", r);
  return okStatus();
}

}  // namespace qmv
