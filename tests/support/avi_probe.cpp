// Test read-back of output files (AVI, MKV, MP4): streams and packets through libavformat, frames through
// libavcodec, raw AVI header fields.
#include "support/avi_probe.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "output/media_writer.h"
#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libswscale/swscale.h>
}

namespace qmv::test {
namespace {

// The demuxer by the name's extension, as a player picks it.
const char* demuxerFor(const std::string& path) {
  if (path.ends_with(".mkv")) return "matroska";
  if (path.ends_with(".mp4")) return "mov";
  if (path.ends_with(".png")) return "png_pipe";
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

// A RIFF walker of the tests' own, written from the file format and sharing nothing with the writer's
// repair (output/avi/): a fault in one cannot be hidden by the same fault in the other.
struct RiffChunk {
  uint64_t at = 0;  // the 8-byte head
  uint32_t id = 0, size = 0;
  uint32_t form = 0;  // RIFF and LIST: the four-character code their data starts with
  uint64_t data() const { return at + 8; }
  uint64_t next() const { return data() + size + (size & 1); }
};

class RiffFile {
 public:
  explicit RiffFile(const std::string& path) : in_(path, std::ios::binary) {
    in_.seekg(0, std::ios::end);
    size_ = in_ ? uint64_t(in_.tellg()) : 0;
  }
  uint64_t size() const { return size_; }

  std::vector<uint8_t> read(uint64_t at, uint64_t count) {
    if (at >= size_) return {};
    std::vector<uint8_t> bytes(std::size_t(std::min(count, size_ - at)));
    in_.clear();
    in_.seekg(std::streamoff(at));
    in_.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(std::size_t(in_.gcount()));
    return bytes;
  }

  // The chunks one after another from begin while their heads lie before end.
  std::vector<RiffChunk> chunks(uint64_t begin, uint64_t end) {
    std::vector<RiffChunk> found;
    for (uint64_t at = begin; at + 8 <= std::min(end, size_);) {
      const std::vector<uint8_t> head = read(at, 12);
      if (head.size() < 8) break;
      RiffChunk c{at, AV_RL32(&head[0]), AV_RL32(&head[4]), 0};
      const bool list = c.id == MKTAG('R', 'I', 'F', 'F') || c.id == MKTAG('L', 'I', 'S', 'T');
      if (list && head.size() == 12) c.form = AV_RL32(&head[8]);
      // A writer that failed leaves 0 as a list's size: the list then runs to the end of what holds it.
      if (list && c.size == 0)
        c.size = uint32_t(std::min<uint64_t>(std::min(end, size_) - c.data(), UINT32_MAX - 1));
      found.push_back(c);
      at = c.next();
    }
    return found;
  }
  // The chunks inside a RIFF or LIST, after its form type.
  std::vector<RiffChunk> children(const RiffChunk& list) {
    return chunks(list.data() + 4, std::min(list.next(), size_));
  }
  std::vector<uint8_t> data(const RiffChunk& c, uint64_t count) {
    return read(c.data(), std::min<uint64_t>(count, c.size));
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
};

void parseStreamHeaders(const std::vector<uint8_t>& strh, const std::vector<uint8_t>& b, RawStreamHeader& s) {
  if (strh.size() >= 48) {
    s.fccType = AV_RL32(&strh[0]);
    s.fccHandler = AV_RL32(&strh[4]);
    s.flags = AV_RL32(&strh[8]);
    s.scale = AV_RL32(&strh[20]);
    s.rate = AV_RL32(&strh[24]);
    s.start = AV_RL32(&strh[28]);
    s.length = AV_RL32(&strh[32]);
    s.suggestedBufferSize = AV_RL32(&strh[36]);
    s.sampleSize = AV_RL32(&strh[44]);
  }
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

// "01wb" -> 1; -1 when the id does not start with two digits.
int streamOfChunkId(uint32_t id) {
  const auto digit = [](uint32_t c) { return c >= '0' && c <= '9' ? int(c - '0') : -1; };
  const int high = digit(id & 0xFF), low = digit((id >> 8) & 0xFF);
  return high < 0 || low < 0 ? -1 : high * 10 + low;
}

}  // namespace

std::vector<RawIndexEntry> RawAviHeaders::indexOf(int stream) const {
  std::vector<RawIndexEntry> out;
  for (const auto& e : idx1)
    if (e.stream == stream) out.push_back(e);
  return out;
}

std::optional<RawAviHeaders> readAviHeaders(const std::string& path) {
  RiffFile file(path);
  const std::vector<RiffChunk> top = file.chunks(0, file.size());
  if (top.empty() || top[0].id != MKTAG('R', 'I', 'F', 'F')) return std::nullopt;
  RawAviHeaders out;
  out.riffType = top[0].form;
  // The top-level RIFF chunks: AVI, then AVIX for OpenDML.
  for (const RiffChunk& c : top) {
    if (c.id != MKTAG('R', 'I', 'F', 'F')) break;
    ++out.riffCount;
  }
  bool haveAvih = false;
  for (const RiffChunk& c : file.children(top[0])) {
    if (c.id == MKTAG('L', 'I', 'S', 'T') && c.form == MKTAG('h', 'd', 'r', 'l')) {
      for (const RiffChunk& h : file.children(c)) {
        if (h.id == MKTAG('a', 'v', 'i', 'h')) {
          const std::vector<uint8_t> avih = file.data(h, 56);
          if (avih.size() >= 20) out.totalFrames = AV_RL32(&avih[16]);
          haveAvih = true;
        } else if (h.id == MKTAG('L', 'I', 'S', 'T') && h.form == MKTAG('s', 't', 'r', 'l')) {
          std::vector<uint8_t> strh, strf;
          for (const RiffChunk& part : file.children(h)) {
            if (part.id == MKTAG('s', 't', 'r', 'h')) strh = file.data(part, 56);
            if (part.id == MKTAG('s', 't', 'r', 'f')) strf = file.data(part, part.size);
          }
          parseStreamHeaders(strh, strf, out.streams.emplace_back());
        }
      }
    } else if (c.id == MKTAG('i', 'd', 'x', '1') && c.size <= kMaxIndexBytes) {
      out.hasIdx1 = true;
      const std::vector<uint8_t> b = file.data(c, c.size);
      if (b.size() != c.size) return std::nullopt;
      for (std::size_t p = 0; p + 16 <= b.size(); p += 16) {
        RawIndexEntry e;
        e.chunkId = AV_RL32(&b[p]);
        e.stream = streamOfChunkId(e.chunkId);
        e.key = (AV_RL32(&b[p + 4]) & 0x10) != 0;  // AVIIF_KEYFRAME
        e.size = AV_RL32(&b[p + 12]);
        out.idx1.push_back(e);
      }
    }
  }
  if (!haveAvih) return std::nullopt;
  return out;
}

}  // namespace qmv::test
