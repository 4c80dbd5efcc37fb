// Owning handles for the FFmpeg objects the writer, the encoder and the read-back hold: unique_ptr with the
// library's free calls.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "recording/utf8_path.h"

namespace qmv::ff {

// An output context: closes its avio (if it opened one) and frees the context with its streams.
struct OutputContextFree {
  void operator()(AVFormatContext* c) const {
    if (c->pb && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
// An input context: closes its file and frees the context with its streams.
struct InputContextClose {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
// A filter graph: frees its filters with it.
struct FilterGraphFree {
  void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};

using OutputContext = std::unique_ptr<AVFormatContext, OutputContextFree>;
using InputContext = std::unique_ptr<AVFormatContext, InputContextClose>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Sws = std::unique_ptr<SwsContext, SwsFree>;
using FilterGraph = std::unique_ptr<AVFilterGraph, FilterGraphFree>;

// Hands every packet the encoder has ready to sink, unreferencing each after it. 0 once the encoder has
// none left for now (or none at all after a flush); otherwise the encoder's error.
template <typename Sink>
int receivePackets(AVCodecContext* encoder, AVPacket* packet, const Sink& sink) {
  for (;;) {
    const int r = avcodec_receive_packet(encoder, packet);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
    if (r < 0) return r;
    sink(*packet);
    av_packet_unref(packet);
  }
}

inline std::string errorText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// Opens path (a file name, never taken for a protocol) with the demuxer named format ("avi"); the
// libavformat error code when it does not open.
inline int openInput(const std::string& path, const char* format, InputContext& input) {
  AVFormatContext* raw = nullptr;
  // Absolute under "file:": a relative name such as "-" or "pipe:0" is then an ordinary file in the folder.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(pathFromUtf8(path), ec);
  // FFmpeg's file protocol takes UTF-8 names on every platform.
  const std::string url = "file:" + (ec ? path : utf8FromPath(absolute));
  const int r = avformat_open_input(&raw, url.c_str(), av_find_input_format(format), nullptr);
  if (r >= 0) input.reset(raw);
  return r;
}

// Opens the demuxer named format over an I/O context the caller owns and keeps until input is closed.
inline int openInput(AVIOContext* io, const char* format, InputContext& input) {
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return AVERROR(ENOMEM);
  raw->pb = io;
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure avformat_open_input frees the context, not the caller's I/O context.
  const int r = avformat_open_input(&raw, nullptr, av_find_input_format(format), nullptr);
  if (r >= 0) input.reset(raw);
  return r;
}

}  // namespace qmv::ff
