// Test read-back of AVI files: streams and packets through libavformat, frames through libavcodec, raw header
// fields.
#include "support/avi_probe.h"

#include "convert/ffmpeg_handles.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace qmv::test {
namespace {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

Input openInput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  const AVInputFormat* avi = av_find_input_format("avi");
  if (avformat_open_input(&raw, path.c_str(), avi, nullptr) < 0) return nullptr;
  Input input(raw);
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

std::optional<ProbedFile> probeAvi(const std::string& path, bool withData) {
  Input input = openInput(path);
  if (!input) return std::nullopt;
  ProbedFile file;
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
    file.streams.push_back(std::move(s));
  }
  ff::Packet pkt(av_packet_alloc());
  while (av_read_frame(input.get(), pkt.get()) >= 0) {
    ProbedPacket p;
    p.stream = pkt->stream_index;
    p.pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
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
  Input input = openInput(path);
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

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
constexpr uint32_t tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

// Header lists are small; anything larger is not a header we wrote.
constexpr uint32_t kMaxHeaderListBytes = 1u << 20;
constexpr uint32_t kMaxIndexBytes = 256u << 20;

void parseStrl(const std::vector<uint8_t>& b, std::size_t pos, std::size_t end, RawStreamHeader& s) {
  while (pos + 8 <= end) {
    const uint32_t id = le32(&b[pos]);
    const uint32_t size = le32(&b[pos + 4]);
    const std::size_t body = pos + 8;
    if (size > end - body) return;
    if (id == tag("strh") && size >= 48) {
      s.fccType = le32(&b[body]);
      s.fccHandler = le32(&b[body + 4]);
      s.flags = le32(&b[body + 8]);
      s.scale = le32(&b[body + 20]);
      s.rate = le32(&b[body + 24]);
      s.start = le32(&b[body + 28]);
      s.length = le32(&b[body + 32]);
      s.suggestedBufferSize = le32(&b[body + 36]);
      s.sampleSize = le32(&b[body + 44]);
    } else if (id == tag("strf")) {
      const uint32_t biSize = size >= 4 ? le32(&b[body]) : 0;
      if (s.fccType == tag("vids") && size >= 40 && biSize >= 40 && biSize <= size) {
        s.biWidth = int32_t(le32(&b[body + 4]));
        s.biHeight = int32_t(le32(&b[body + 8]));
        s.biPlanes = le16(&b[body + 12]);
        s.biBitCount = le16(&b[body + 14]);
        s.biCompression = le32(&b[body + 16]);
        s.biSizeImage = le32(&b[body + 20]);
        s.formatExtra.assign(b.begin() + long(body) + 40, b.begin() + long(body + biSize));
      } else if (s.fccType == tag("auds") && size >= 16) {
        s.formatTag = le16(&b[body]);
        s.channels = le16(&b[body + 2]);
        s.samplesPerSec = le32(&b[body + 4]);
        s.avgBytesPerSec = le32(&b[body + 8]);
        s.blockAlign = le16(&b[body + 12]);
        s.bitsPerSample = le16(&b[body + 14]);
      }
    }
    pos = body + size + (size & 1);
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
  std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::nullopt;
  RawAviHeaders out;
  uint8_t head[12];
  if (std::fread(head, 1, 12, f.get()) != 12 || le32(head) != tag("RIFF")) return std::nullopt;
  out.riffType = le32(head + 8);
  const uint64_t firstRiffEnd = 8 + uint64_t(le32(head + 4));

  // Chunks of the first RIFF: the hdrl list and idx1.
  uint64_t pos = 12;
  bool haveHdrl = false;
  while (pos + 8 <= firstRiffEnd) {
    uint8_t ch[12];
    if (fseeko(f.get(), off_t(pos), SEEK_SET) != 0 || std::fread(ch, 1, 8, f.get()) != 8) break;
    const uint32_t id = le32(ch), size = le32(ch + 4);
    // idx1 entries are 16 bytes: chunk id, flags, offset, size.
    if (id == tag("idx1") && size <= kMaxIndexBytes) {
      out.hasIdx1 = true;
      std::vector<uint8_t> b(size);
      if (std::fread(b.data(), 1, size, f.get()) != size) return std::nullopt;
      for (std::size_t p = 0; p + 16 <= b.size(); p += 16) {
        RawIndexEntry e;
        e.chunkId = le32(&b[p]);
        const char d0 = char(b[p]), d1 = char(b[p + 1]);
        if (d0 >= '0' && d0 <= '9' && d1 >= '0' && d1 <= '9') e.stream = (d0 - '0') * 10 + (d1 - '0');
        e.key = (le32(&b[p + 4]) & 0x10) != 0;
        e.size = le32(&b[p + 12]);
        out.idx1.push_back(e);
      }
    }
    if (id == tag("LIST") && !haveHdrl && size >= 4 && size <= kMaxHeaderListBytes) {
      std::vector<uint8_t> b(size);
      if (std::fread(b.data(), 1, size, f.get()) != size) return std::nullopt;
      if (le32(b.data()) == tag("hdrl")) {
        haveHdrl = true;
        std::size_t p = 4;
        while (p + 8 <= b.size()) {
          const uint32_t cid = le32(&b[p]), csize = le32(&b[p + 4]);
          if (csize > b.size() - p - 8) break;
          if (cid == tag("avih") && csize >= 20) out.totalFrames = le32(&b[p + 8 + 16]);
          if (cid == tag("LIST") && csize >= 4 && le32(&b[p + 8]) == tag("strl")) {
            RawStreamHeader s;
            parseStrl(b, p + 12, p + 8 + csize, s);
            out.streams.push_back(std::move(s));
          }
          p += 8 + csize + (csize & 1);
        }
      }
    }
    pos += 8 + uint64_t(size) + (size & 1);
  }
  if (!haveHdrl) return std::nullopt;

  // Count the top-level RIFF chunks (AVI, then AVIX for OpenDML).
  pos = 0;
  for (;;) {
    uint8_t ch[8];
    if (fseeko(f.get(), off_t(pos), SEEK_SET) != 0 || std::fread(ch, 1, 8, f.get()) != 8) break;
    if (le32(ch) != tag("RIFF")) break;
    ++out.riffCount;
    pos += 8 + uint64_t(le32(ch + 4));
  }
  return out;
}

}  // namespace qmv::test
