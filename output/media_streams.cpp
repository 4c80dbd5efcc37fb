// The parts of an MKV or MP4 output that AVI has no place for: the muxer and its options, the AAC audio
// encoder, the recorded-time subtitle track and the file's title and date.
#include "output/media_streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace qmv {
namespace {

constexpr int kAacSampleRate = 8000;
// 32 kbit/s is well inside what the encoder allows for 8 kHz mono and keeps speech clear.
constexpr int64_t kAacBitRate = 32000;
// An MP4 fragment ends at a video key frame, or after this long at the latest.
constexpr int64_t kMaxFragmentMicroseconds = 10'000'000;
// How far the MP4 muxer lets one track run ahead of a silent one; well beyond MediaWriter::kCueHoldSeconds.
constexpr int64_t kMaxInterleaveMicroseconds = 10'000'000;

// The 3GPP text sample entry after its common fields (3GPP TS 26.245): no scrolling, centred at the
// bottom, transparent background, a default text box, white 18-point text in font 1, and a font table
// that names font 1.
const uint8_t kTimedTextEntry[] = {
    0,    0,    0,    0,                     // displayFlags
    1,                                       // horizontal justification: centre
    0xFF,                                    // vertical justification: bottom
    0,    0,    0,    0,                     // background colour RGBA
    0,    0,    0,    0,    0,   0,   0, 0,  // default text box: top, left, bottom, right
    0,    0,    0,    0,                     // style record: startChar, endChar
    0,    1,                                 // font ID
    0,                                       // face style flags
    18,                                      // font size
    0xFF, 0xFF, 0xFF, 0xFF,                  // text colour RGBA
    0,    0,    0,    18,                    // 'ftab' box size
    'f',  't',  'a',  'b',                   //
    0,    1,                                 // one font
    0,    1,                                 // font ID 1
    5,    'S',  'e',  'r',  'i', 'f',
};

Error encoderError(const std::string& what, int code) {
  return Error{code, "AAC audio: " + what + ": " + ff::errorText(code)};
}

}  // namespace

void setMuxerOptions(Container container, AVDictionary** options) {
  // A CRC-32 over every cluster costs a quarter of an MKV conversion; the report's SHA-256 of every frame
  // and of the whole file proves far more, and players ignore the CRCs.
  if (container == Container::kMkv) av_dict_set_int(options, "write_crc32", 0, 0);
  if (container != Container::kMp4) return;
  av_dict_set(options, "movflags", "frag_keyframe+delay_moov+default_base_moof", 0);
  // Nor does a pause without pictures (audio goes on, or the camera stopped) grow one fragment without
  // end: it is held in memory until written, and lost when the file is cut short.
  av_dict_set_int(options, "frag_duration", kMaxFragmentMicroseconds, 0);
  // The MP4 muxer ends a timed-text sample when a packet of any track passes it, comparing times in that
  // track's units with the text track's own. With every track counted in the audio's 1/8000 s the
  // comparison holds; with mixed units it ends cues at wrong times and can abort on a negative duration.
  av_dict_set_int(options, "video_track_timescale", kAacSampleRate, 0);
  // The edit lists that place each track's first sample count in the movie's units: the same ones, so a
  // late first frame starts at its exact time rather than at the nearest millisecond.
  av_dict_set_int(options, "movie_timescale", kAacSampleRate, 0);
  // A cue is written a few seconds after its pictures; the muxer must wait for it rather than pass it,
  // or it ends the open cue too early. It waits this long and no longer: over a pause without pictures or
  // cues the audio goes out as it comes, instead of the whole pause being held in memory.
  av_dict_set_int(options, "max_interleave_delta", kMaxInterleaveMicroseconds, 0);
}

void setFileMetadata(AVFormatContext& out, const std::string& title, const std::string& creationTime,
                     const std::string& recordedLocalTime) {
  if (!title.empty()) av_dict_set(&out.metadata, "title", title.c_str(), 0);
  if (!creationTime.empty()) av_dict_set(&out.metadata, "creation_time", creationTime.c_str(), 0);
  // A comment, which both muxers keep and every player shows, rather than a date field that readers
  // would take for UTC.
  if (!recordedLocalTime.empty())
    av_dict_set(
        &out.metadata, "comment",
        ("recorded " + recordedLocalTime + ", the recorder's local time (its zone not stated)").c_str(), 0);
}

Result<AVStream*> addSubtitleStream(AVFormatContext& out, Container container) {
  if (container == Container::kAvi) return static_cast<AVStream*>(nullptr);
  AVStream* st = avformat_new_stream(&out, nullptr);
  if (!st) return Error{AVERROR(ENOMEM), "cannot add the subtitle stream"};
  AVCodecParameters& par = *st->codecpar;
  par.codec_type = AVMEDIA_TYPE_SUBTITLE;
  // MP4: the audio's units, which every MP4 track shares (see setMuxerOptions).
  st->time_base = container == Container::kMp4 ? AVRational{1, kAacSampleRate} : AVRational{1, 1000};
  if (container == Container::kMkv) {
    par.codec_id = AV_CODEC_ID_SUBRIP;
  } else {
    par.codec_id = AV_CODEC_ID_MOV_TEXT;
    // The sample entry's fields come from the extra data; without it the entry would be cut short.
    par.extradata = static_cast<uint8_t*>(av_mallocz(sizeof kTimedTextEntry + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par.extradata) return Error{AVERROR(ENOMEM), "out of memory"};
    std::memcpy(par.extradata, kTimedTextEntry, sizeof kTimedTextEntry);
    par.extradata_size = int(sizeof kTimedTextEntry);
  }
  return st;
}

std::vector<uint8_t> subtitleSample(Container container, const std::string& text) {
  // Cue texts are a date and time or a short note; a 3GPP sample cannot hold more than 64 KiB of text.
  const std::size_t size = std::min<std::size_t>(text.size(), 0xFFFF);
  const std::size_t head = container == Container::kMp4 ? 2 : 0;
  std::vector<uint8_t> sample(head + size);
  if (head != 0) {
    sample[0] = uint8_t(size >> 8);
    sample[1] = uint8_t(size & 0xFF);
  }
  if (size != 0) std::memcpy(sample.data() + head, text.data(), size);
  return sample;
}

Result<std::unique_ptr<AacEncoder>> AacEncoder::open(bool globalHeader) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec) return Error{AVERROR_ENCODER_NOT_FOUND, "this FFmpeg build has no AAC encoder"};
  std::unique_ptr<AacEncoder> enc(new AacEncoder);
  enc->context_.reset(avcodec_alloc_context3(codec));
  enc->frame_.reset(av_frame_alloc());
  enc->packet_.reset(av_packet_alloc());
  if (!enc->context_ || !enc->frame_ || !enc->packet_)
    return Error{AVERROR(ENOMEM), "out of memory for the AAC encoder"};
  AVCodecContext& ctx = *enc->context_;
  ctx.sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx.sample_rate = kAacSampleRate;
  av_channel_layout_default(&ctx.ch_layout, 1);
  ctx.bit_rate = kAacBitRate;
  ctx.time_base = AVRational{1, kAacSampleRate};
  ctx.flags |= AV_CODEC_FLAG_BITEXACT;
  if (globalHeader) ctx.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // The default search for the best quantisers costs ten times the rest of a conversion; for speech at
  // 8 kHz the fast coder sounds the same.
  av_opt_set(ctx.priv_data, "aac_coder", "fast", 0);
  if (int r = avcodec_open2(&ctx, codec, nullptr); r < 0) return encoderError("cannot open the encoder", r);
  if (ctx.frame_size <= 0) return Error{AVERROR(EINVAL), "AAC audio: the encoder states no frame size"};

  AVFrame& f = *enc->frame_;
  f.format = ctx.sample_fmt;
  f.sample_rate = ctx.sample_rate;
  f.nb_samples = ctx.frame_size;
  if (int r = av_channel_layout_copy(&f.ch_layout, &ctx.ch_layout); r < 0)
    return encoderError("channel layout", r);
  if (int r = av_frame_get_buffer(&f, 0); r < 0) return encoderError("cannot allocate a frame", r);
  enc->frameSize_ = std::size_t(ctx.frame_size);
  enc->pending_.reserve(enc->frameSize_);
  if (!enc->start()) return Error{AVERROR(EAGAIN), "AAC audio: cannot start the encoding thread"};
  return enc;
}

bool AacEncoder::start() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

AacEncoder::~AacEncoder() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    input_.clear();
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

Status AacEncoder::fillParameters(AVCodecParameters& parameters) const {
  if (int r = avcodec_parameters_from_context(&parameters, context_.get()); r < 0)
    return encoderError("cannot describe the stream", r);
  return okStatus();
}

Status AacEncoder::write(const int16_t* samples, std::size_t count, const PacketSink& sink) {
  if (flushed_) return Error{AVERROR_EOF, "AAC audio: the encoder was already flushed"};
  for (std::size_t i = 0; i < count; ++i) {
    pending_.push_back(float(samples[i]) / 32768.0f);
    if (pending_.size() == frameSize_) {
      queue(Samples{std::move(pending_), nextPts_});
      nextPts_ += int64_t(frameSize_);
      pending_ = {};
      pending_.reserve(frameSize_);
    }
  }
  return deliver(sink);
}

Status AacEncoder::flush(const PacketSink& sink) {
  if (flushed_) return okStatus();
  flushed_ = true;
  if (!pending_.empty()) {
    const int64_t pts = nextPts_;
    nextPts_ += int64_t(pending_.size());
    queue(Samples{std::move(pending_), pts});
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
  return deliver(sink);
}

void AacEncoder::queue(Samples samples) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return input_.size() < kMaxQueuedFrames || stopped_; });
  if (stopped_) return;  // it failed; deliver says so
  input_.push_back(std::move(samples));
  lock.unlock();
  changed_.notify_all();
}

Status AacEncoder::deliver(const PacketSink& sink) {
  std::deque<ff::Packet> ready;
  int failure = 0;
  const char* failedAt = nullptr;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ready.swap(output_);
    failure = failure_;
    failedAt = failedAt_;
  }
  for (ff::Packet& pkt : ready) sink(*pkt);
  if (failure < 0) return encoderError(failedAt, failure);
  return okStatus();
}

void AacEncoder::run() {
  for (;;) {
    Samples next;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !input_.empty() || ending_; });
      if (input_.empty()) break;
      next = std::move(input_.front());
      input_.pop_front();
    }
    changed_.notify_all();
    if (encode(&next) < 0) break;
  }
  // Drains the encoder unless it failed.
  bool failed = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    failed = failure_ < 0;
  }
  if (!failed) encode(nullptr);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

int AacEncoder::encode(const Samples* samples) {
  int r = 0;
  const char* what = nullptr;
  if (samples) {
    AVFrame& f = *frame_;
    if (r = av_frame_make_writable(&f); r < 0) {
      what = "cannot reuse the frame";
    } else {
      f.nb_samples = int(samples->data.size());  // only the last frame is short
      std::copy(samples->data.begin(), samples->data.end(), reinterpret_cast<float*>(f.data[0]));
      f.pts = samples->pts;
      if (r = avcodec_send_frame(context_.get(), &f); r < 0) what = "the encoder refused samples";
    }
  } else if (r = avcodec_send_frame(context_.get(), nullptr); r < 0) {
    what = "cannot flush the encoder";
  }
  std::deque<ff::Packet> packets;
  if (r >= 0) {
    r = ff::receivePackets(context_.get(), packet_.get(), [&](AVPacket& pkt) {
      ff::Packet copy(av_packet_alloc());
      if (copy) av_packet_move_ref(copy.get(), &pkt);
      packets.push_back(std::move(copy));
    });
    if (r < 0) what = "the encoder failed";
  }
  for (const ff::Packet& pkt : packets)
    if (!pkt) r = AVERROR(ENOMEM), what = "out of memory";
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (r >= 0) {
      for (ff::Packet& pkt : packets) output_.push_back(std::move(pkt));
    } else if (failure_ == 0) {
      failure_ = r;
      failedAt_ = what;
    }
  }
  return r;
}

}  // namespace qmv
