// Test read-back of output files (AVI, MKV, MP4): streams and packets through libavformat, frames through
// libavcodec, raw AVI header fields.
#include "support/avi_probe.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "output/avi/avi_layout.h"
#include "output/media_writer.h"
#include "recording/byte_source.h"
#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace qmv::test {
namespace {

// The demuxer by the name's extension, as a player picks it.
const char* demuxerFor(const std::string& path) {
  if (path.ends_with(".mkv")) return "matroska";
  if (path.ends_with(".mp4")) return "mov";
  return "avi";
}

ff::InputContext openInput(const std::string& path) {
  ff::InputContext input;
  if (ff::openInput(path, demuxerFor(path), input) < 0) return nullptr;
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
  return input;
}

}  // namespace

uint32_t crc32Of(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  return av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

std::vector<ProbedPacket> ProbedFile::packetsOf(int stream) const {
  std::vector<ProbedPacket> out;
  for (const auto& p : packets)
    if (p.stream == stream) out.push_back(p);
  return out;
}

std::optional<ProbedFile> probeMedia(const std::string& path, bool withData) {
  ff::InputContext input = openInput(path);
  if (!input) return std::nullopt;
  ProbedFile file;
  const AVDictionaryEntry* tag = nullptr;
  while ((tag = av_dict_get(input->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)) != nullptr)
    file.metadata[tag->key] = tag->value;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* st = input->streams[i];
    const AVCodecParameters* par = st->codecpar;
    ProbedStream s;
    s.type = par->codec_type;
    s.codec = par->codec_id;
    s.codecTag = par->codec_tag;
    s.width = par->width;
    s.height = par->height;
    s.bitsPerCodedSample = par->bits_per_coded_sample;
    if (par->extradata && par->extradata_size > 0)
      s.extradata.assign(par->extradata, par->extradata + par->extradata_size);
    s.timeBase = st->time_base;
    s.frameRate = st->r_frame_rate;
    s.avgFrameRate = st->avg_frame_rate;
    s.sampleRate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    s.blockAlign = par->block_align;
    s.bitRate = par->bit_rate;
    s.frameCount = st->nb_frames;
    s.duration = st->duration != AV_NOPTS_VALUE ? st->duration : 0;
    s.format = par->format;
    s.sampleAspect = av_guess_sample_aspect_ratio(input.get(), const_cast<AVStream*>(st), nullptr);
    file.streams.push_back(std::move(s));
  }
  ff::Packet pkt(av_packet_alloc());
  while (av_read_frame(input.get(), pkt.get()) >= 0) {
    ProbedPacket p;
    p.stream = pkt->stream_index;
    p.pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    p.duration = pkt->duration;
    p.size = pkt->size;
    p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    p.crc = crc32Of(pkt->data, static_cast<std::size_t>(pkt->size));
    if (withData && pkt->size > 0) p.data.assign(pkt->data, pkt->data + pkt->size);
    file.packets.push_back(std::move(p));
    av_packet_unref(pkt.get());
  }
  return file;
}

int decodeFramesCountingFailures(const std::string& path, int streamIndex, int* errors,
                                 std::vector<std::vector<uint8_t>>* bgrPictures);

namespace {
// Error messages the decoder logs without failing a call ("marker does not match f_code")
// are what `ffmpeg -v error` prints: they count as errors too.
std::atomic<int>* loggedErrors = nullptr;
void countErrors(void* avcl, int level, const char* format, va_list args) {
  if (level <= AV_LOG_ERROR && loggedErrors) ++*loggedErrors;
  av_log_default_callback(avcl, level, format, args);
}
struct ErrorLogCounter {
  std::atomic<int> count{0};
  ErrorLogCounter() {
    loggedErrors = &count;
    av_log_set_callback(countErrors);
  }
  ~ErrorLogCounter() {
    av_log_set_callback(av_log_default_callback);
    loggedErrors = nullptr;
  }
};
}  // namespace

int decodeAllFrames(const std::string& path, int streamIndex, int* errors,
                    std::vector<std::vector<uint8_t>>* bgrPictures) {
  if (errors) *errors = 0;
  ErrorLogCounter logged;
  const int pictures = decodeFramesCountingFailures(path, streamIndex, errors, bgrPictures);
  if (errors) *errors += logged.count;
  return pictures;
}

int decodeFramesCountingFailures(const std::string& path, int streamIndex, int* errors,
                                 std::vector<std::vector<uint8_t>>* bgrPictures) {
  ff::InputContext input = openInput(path);
  if (!input || streamIndex < 0 || unsigned(streamIndex) >= input->nb_streams) return -1;
  const AVCodecParameters* par = input->streams[streamIndex]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return -1;
  ff::CodecContext ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), par) < 0) return -1;
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return -1;

  ff::Packet pkt(av_packet_alloc());
  ff::Frame frame(av_frame_alloc());
  ff::Sws sws;
  int pictures = 0;

  auto drain = [&]() {
    for (;;) {
      int r = avcodec_receive_frame(ctx.get(), frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) {
        if (errors) ++*errors;
        return;
      }
      ++pictures;
      if (bgrPictures) {
        const int w = frame->width, h = frame->height;
        sws.reset(sws_getCachedContext(sws.release(), w, h, AVPixelFormat(frame->format), w, h,
                                       AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr));
        std::vector<uint8_t> bgr(std::size_t(w) * h * 3);
        uint8_t* dst[4] = {bgr.data(), nullptr, nullptr, nullptr};
        int dstStride[4] = {w * 3, 0, 0, 0};
        if (sws) sws_scale(sws.get(), frame->data, frame->linesize, 0, h, dst, dstStride);
        bgrPictures->push_back(std::move(bgr));
      }
      av_frame_unref(frame.get());
    }
  };

  while (av_read_frame(input.get(), pkt.get()) >= 0) {
    // An empty packet is a skipped sample; sent to a decoder it would mean end of stream.
    if (pkt->stream_index == streamIndex && pkt->size > 0) {
      if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) {
        if (errors) ++*errors;
      }
      drain();
    }
    av_packet_unref(pkt.get());
  }
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
  return pictures;
}

namespace {

// idx1 is read whole; a larger one is not an index we wrote.
constexpr uint32_t kMaxIndexBytes = 256u << 20;

void parseStreamHeaders(ByteSource& file, const avi::Layout::Stream& stream, RawStreamHeader& s) {
  if (stream.strh) {
    const std::vector<uint8_t> b = avi::readData(file, *stream.strh, avi::kStrhBytes);
    if (b.size() >= 48) {
      s.fccType = AV_RL32(&b[0]);
      s.fccHandler = AV_RL32(&b[4]);
      s.flags = AV_RL32(&b[8]);
      s.scale = AV_RL32(&b[20]);
      s.rate = AV_RL32(&b[24]);
      s.start = AV_RL32(&b[28]);
      s.length = AV_RL32(&b[avi::kStrhLength]);
      s.suggestedBufferSize = AV_RL32(&b[36]);
      s.sampleSize = AV_RL32(&b[avi::kStrhSampleSize]);
    }
  }
  if (!stream.strf) return;
  const std::vector<uint8_t> b = avi::readData(file, *stream.strf, stream.strf->size);
  const uint32_t size = uint32_t(b.size());
  const uint32_t biSize = size >= 4 ? AV_RL32(&b[0]) : 0;
  if (s.fccType == MKTAG('v', 'i', 'd', 's') && size >= 40 && biSize >= 40 && biSize <= size) {
    s.biWidth = int32_t(AV_RL32(&b[4]));
    s.biHeight = int32_t(AV_RL32(&b[8]));
    s.biPlanes = AV_RL16(&b[12]);
    s.biBitCount = AV_RL16(&b[14]);
    s.biCompression = AV_RL32(&b[16]);
    s.biSizeImage = AV_RL32(&b[20]);
    s.formatExtra.assign(b.begin() + 40, b.begin() + long(biSize));
  } else if (s.fccType == MKTAG('a', 'u', 'd', 's') && size >= 16) {
    s.formatTag = AV_RL16(&b[0]);
    s.channels = AV_RL16(&b[2]);
    s.samplesPerSec = AV_RL32(&b[4]);
    s.avgBytesPerSec = AV_RL32(&b[8]);
    s.blockAlign = AV_RL16(&b[12]);
    s.bitsPerSample = AV_RL16(&b[14]);
  }
}

}  // namespace

std::vector<RawIndexEntry> RawAviHeaders::indexOf(int stream) const {
  std::vector<RawIndexEntry> out;
  for (const auto& e : idx1)
    if (e.stream == stream) out.push_back(e);
  return out;
}

std::optional<RawAviHeaders> readAviHeaders(const std::string& path) {
  Result<std::unique_ptr<ByteSource>> opened = openFileSource(path);
  if (!opened) return std::nullopt;
  ByteSource& file = *opened.value();
  const std::optional<avi::Layout> layout = avi::readLayout(file);
  if (!layout || !layout->avih) return std::nullopt;
  RawAviHeaders out;
  out.riffType = layout->riff.listType;
  const std::vector<uint8_t> avih = avi::readData(file, *layout->avih, avi::kAvihBytes);
  if (avih.size() >= avi::kAvihTotalFrames + 4) out.totalFrames = AV_RL32(&avih[avi::kAvihTotalFrames]);
  for (const avi::Layout::Stream& stream : layout->streams) {
    parseStreamHeaders(file, stream, out.streams.emplace_back());
  }
  if (layout->idx1 && layout->idx1->size <= kMaxIndexBytes) {
    out.hasIdx1 = true;
    const std::vector<uint8_t> b = avi::readData(file, *layout->idx1, layout->idx1->size);
    if (b.size() != layout->idx1->size) return std::nullopt;
    for (std::size_t p = 0; p + avi::kIndexEntryBytes <= b.size(); p += avi::kIndexEntryBytes) {
      RawIndexEntry e;
      e.chunkId = AV_RL32(&b[p]);
      e.stream = avi::streamOfChunk(e.chunkId);
      e.key = (AV_RL32(&b[p + 4]) & 0x10) != 0;
      e.size = AV_RL32(&b[p + 12]);
      out.idx1.push_back(e);
    }
  }
  // The top-level RIFF chunks: AVI, then AVIX for OpenDML.
  avi::forEachChunk(file, 0, file.size(), [&](const avi::Chunk& c) {
    if (c.id != MKTAG('R', 'I', 'F', 'F')) return false;
    ++out.riffCount;
    return true;
  });
  return out;
}

}  // namespace qmv::test
