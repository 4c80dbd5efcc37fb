// VideoEncoder: the compressing stream of re-encode mode, BGR24 top-down pictures through libswscale into a
// libavcodec encoder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "recording/result.h"
#include "transcode/compress_options.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {

class VideoEncoder {
 public:
  // Receives each packet the encoder gives, in order, pts in the encoder's time base (one tick per
  // sample position). The packet is unreferenced after the call.
  using PacketSink = std::function<void(AVPacket& packet)>;

  // Opens options.encoder for width x height pictures, one tick of timeBase per picture position.
  // threads: 0 lets the encoder pick. sampleAspect: the shape of a pixel, for the codec's own header.
  // globalHeader: the stream headers go into the extra data once (MKV, MP4) rather than into key frames.
  static Result<std::unique_ptr<VideoEncoder>> open(const CompressOptions& options, int width, int height,
                                                    AVRational timeBase, int threads = 0,
                                                    AVRational sampleAspect = AVRational{1, 1},
                                                    bool globalHeader = false);
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Stream parameters for the muxer, with the four-character code to write.
  Status fillParameters(AVCodecParameters& parameters, uint32_t fourcc) const;
  AVRational timeBase() const;

  // One picture of width * height * 3 bytes, rows top-down, at sample position pts.
  Status encode(const uint8_t* bgr, int64_t pts, const PacketSink& sink);
  // Drains the packets the encoder still holds. Later encode calls are refused.
  Status flush(const PacketSink& sink);

 private:
  VideoEncoder() = default;
  Status drain(const PacketSink& sink);

  ff::CodecContext context_;
  ff::Frame frame_;
  ff::Packet packet_;
  ff::Sws sws_;
  int width_ = 0;
  int height_ = 0;
  bool flushed_ = false;
};

// The pixel format an encoder is fed: for a lossless encoder the one that keeps BGR24 exact, for a
// lossy one 4:2:0 (what players expect) when it takes it. AV_PIX_FMT_NONE when libswscale can't produce any.
AVPixelFormat encoderInputFormat(const AVCodec& codec, bool lossless);

// True when the codec's descriptor marks it lossless and never lossy.
bool isLosslessCodec(AVCodecID id);

// The four-character code an encoder's stream is written under when the options name none
// (0 for uncompressed RGB, BI_RGB); and whether a code names the codec in AVI.
uint32_t defaultFourcc(const AVCodec& codec);
bool fourccNamesCodec(uint32_t fourcc, AVCodecID id);

}  // namespace qmv
