// Test read-back of converted files in any container, through libavformat and libavcodec alone.
#include "support/media_read_back.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>

#include "support/avi_probe.h"
#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace qmv::test {
namespace {

// The libraries log through one process-wide callback; a read-back collects what is logged while it runs.
std::vector<std::string>* collected = nullptr;

void collectErrors(void* avcl, int level, const char* format, va_list args) {
  if (level <= AV_LOG_ERROR && collected != nullptr) {
    char line[1024];
    int prefix = 1;
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(avcl, level, format, copy, line, sizeof line, &prefix);
    va_end(copy);
    collected->emplace_back(line);
  }
  av_log_default_callback(avcl, level, format, args);
}

class ErrorCollector {
 public:
  explicit ErrorCollector(std::vector<std::string>& out) {
    collected = &out;
    av_log_set_callback(collectErrors);
  }
  ~ErrorCollector() {
    av_log_set_callback(av_log_default_callback);
    collected = nullptr;
  }
  ErrorCollector(const ErrorCollector&) = delete;
  ErrorCollector& operator=(const ErrorCollector&) = delete;
};

ff::CodecContext openDecoder(const AVStream* stream) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return nullptr;
  ff::CodecContext context(avcodec_alloc_context3(codec));
  if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) return nullptr;
  context->thread_count = 1;
  context->pkt_timebase = stream->time_base;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
  return context;
}

double seconds(int64_t ts, AVRational base) { return ts == AV_NOPTS_VALUE ? NAN : double(ts) * av_q2d(base); }

// Channel 0 of a decoded audio frame as 16-bit levels.
int16_t levelAt(const AVFrame& frame, int i) {
  const auto clip = [](double v) { return int16_t(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v)))); };
  const int stride = frame.ch_layout.nb_channels;  // interleaved formats
  switch (AVSampleFormat(frame.format)) {
    case AV_SAMPLE_FMT_S16:
      return reinterpret_cast<const int16_t*>(frame.data[0])[i * stride];
    case AV_SAMPLE_FMT_S16P:
      return reinterpret_cast<const int16_t*>(frame.data[0])[i];
    case AV_SAMPLE_FMT_S32:
      return int16_t(reinterpret_cast<const int32_t*>(frame.data[0])[i * stride] >> 16);
    case AV_SAMPLE_FMT_S32P:
      return int16_t(reinterpret_cast<const int32_t*>(frame.data[0])[i] >> 16);
    case AV_SAMPLE_FMT_FLT:
      return clip(32768.0 * reinterpret_cast<const float*>(frame.data[0])[i * stride]);
    case AV_SAMPLE_FMT_FLTP:
      return clip(32768.0 * reinterpret_cast<const float*>(frame.data[0])[i]);
    default:
      return 0;
  }
}

class Reader {
 public:
  explicit Reader(MediaReadBack& out) : out_(out) {}

  bool read(const std::string& path) {
    if (ff::openInput(path, nullptr, input_) < 0) return false;
    if (avformat_find_stream_info(input_.get(), nullptr) < 0) return false;
    out_.container = input_->iformat->name;
    video_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audio_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video_ < 0) return false;
    videoDecoder_ = openDecoder(input_->streams[video_]);
    if (!videoDecoder_) return false;
    if (audio_ >= 0) {
      audioDecoder_ = openDecoder(input_->streams[audio_]);
      if (!audioDecoder_) return false;
      out_.hasAudio = true;
      out_.sampleRate = audioDecoder_->sample_rate;
    }
    ff::Packet packet(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    double latest = -1e300;
    while (av_read_frame(input_.get(), packet.get()) >= 0) {
      if (packet->size > 0 && (packet->pts != AV_NOPTS_VALUE || packet->dts != AV_NOPTS_VALUE)) {
        const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const double time = seconds(pts, input_->streams[packet->stream_index]->time_base);
        out_.mostBehind = std::max(out_.mostBehind, latest - time);
        latest = std::max(latest, time);
      }
      // An empty packet is a skipped sample; sent to a decoder it would mean the end of the stream.
      if (packet->size > 0 && packet->stream_index == video_) {
        const AVStream* stream = input_->streams[video_];
        const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        out_.packets.push_back(ReadBackPacket{seconds(pts, stream->time_base), packet->size,
                                              (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                              crc32Of(packet->data, std::size_t(packet->size))});
        decode(videoDecoder_.get(), packet.get(), video_);
      } else if (packet->size > 0 && packet->stream_index == audio_) {
        decode(audioDecoder_.get(), packet.get(), audio_);
      } else if (packet->size > 0 &&
                 input_->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
        out_.subtitles.emplace_back(reinterpret_cast<const char*>(packet->data), std::size_t(packet->size));
      }
      av_packet_unref(packet.get());
    }
    decode(videoDecoder_.get(), nullptr, video_);
    if (audioDecoder_) decode(audioDecoder_.get(), nullptr, audio_);
    return true;
  }

 private:
  void decode(AVCodecContext* decoder, const AVPacket* packet, int stream) {
    if (avcodec_send_packet(decoder, packet) < 0 && packet != nullptr) {
      out_.errors.push_back("the decoder refused a packet of stream " + std::to_string(stream));
    }
    for (;;) {
      const int r = avcodec_receive_frame(decoder, frame_.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) {
        out_.errors.push_back("the decoder failed on stream " + std::to_string(stream));
        return;
      }
      const double time = seconds(frame_->best_effort_timestamp, input_->streams[stream]->time_base);
      if (stream == video_) {
        out_.pictures.push_back(ReadBackPicture{time, meanLuma()});
      } else {
        placeAudio(time);
      }
      av_frame_unref(frame_.get());
    }
  }

  double meanLuma() {
    const int w = frame_->width, h = frame_->height;
    sws_.reset(sws_getCachedContext(sws_.release(), w, h, AVPixelFormat(frame_->format), w, h,
                                    AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr));
    if (!sws_ || w <= 0 || h <= 0) return 0;
    std::vector<uint8_t> gray(std::size_t(w) * std::size_t(h));
    uint8_t* dst[4] = {gray.data(), nullptr, nullptr, nullptr};
    int stride[4] = {w, 0, 0, 0};
    sws_scale(sws_.get(), frame_->data, frame_->linesize, 0, h, dst, stride);
    double sum = 0;
    for (uint8_t v : gray) sum += v;
    return sum / double(gray.size());
  }

  void placeAudio(double time) {
    if (out_.sampleRate <= 0) return;
    if (std::isnan(time)) time = out_.audioStart + double(out_.samples.size()) / out_.sampleRate;
    if (out_.samples.empty()) out_.audioStart = time;
    const long long at = std::llround((time - out_.audioStart) * out_.sampleRate);
    if (at < 0) return;  // a frame before the first one: not a layout our writers make
    if (std::size_t(at) + std::size_t(frame_->nb_samples) > out_.samples.size())
      out_.samples.resize(std::size_t(at) + std::size_t(frame_->nb_samples), 0);
    for (int i = 0; i < frame_->nb_samples; ++i)
      out_.samples[std::size_t(at) + std::size_t(i)] = levelAt(*frame_, i);
  }

  MediaReadBack& out_;
  ff::InputContext input_;
  ff::CodecContext videoDecoder_, audioDecoder_;
  ff::Frame frame_;
  ff::Sws sws_;
  int video_ = -1, audio_ = -1;
};

}  // namespace

std::optional<double> MediaReadBack::firstAudioAtLeast(int threshold) const {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(int(samples[i])) >= threshold) return audioStart + double(i) / sampleRate;
  }
  return std::nullopt;
}

std::optional<double> MediaReadBack::firstPictureAtLeast(double level) const {
  for (const ReadBackPicture& p : pictures) {
    if (p.meanLuma >= level) return p.time;
  }
  return std::nullopt;
}

std::optional<MediaReadBack> readBackMedia(const std::string& path) {
  MediaReadBack out;
  bool ok = false;
  {
    ErrorCollector errors(out.errors);
    Reader reader(out);
    ok = reader.read(path);
  }
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace qmv::test
