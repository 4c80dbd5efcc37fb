// PngStill: libavcodec's PNG encoder, and tEXt chunks laid into its output after the IHDR chunk.
#include "incident/png_still.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavutil/crc.h>
}

namespace qmv {
namespace {

constexpr std::size_t kSignatureSize = 8;
// IHDR is always the first chunk: length, type, 13 bytes of data and the CRC.
constexpr std::size_t kIhdrChunkSize = 4 + 4 + 13 + 4;
constexpr std::size_t kMaxKeywordSize = 79;

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

// A chunk's CRC covers its type and data (PNG's CRC-32, the one zlib computes).
std::vector<uint8_t> textChunk(const PngText& text) {
  std::vector<uint8_t> body = {'t', 'E', 'X', 't'};
  body.insert(body.end(), text.first.begin(), text.first.end());
  body.push_back(0);
  body.insert(body.end(), text.second.begin(), text.second.end());
  const uint32_t crc =
      av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX, body.data(), body.size()) ^ UINT32_MAX;
  std::vector<uint8_t> chunk;
  putBe32(chunk, uint32_t(body.size() - 4));
  chunk.insert(chunk.end(), body.begin(), body.end());
  putBe32(chunk, crc);
  return chunk;
}

Error ffError(const std::string& what, int code) { return Error{code, what + ": " + ff::errorText(code)}; }

}  // namespace

Result<std::vector<uint8_t>> encodePng(const uint8_t* bgr, int width, int height,
                                       const std::vector<PngText>& texts) {
  for (const PngText& text : texts) {
    if (text.first.empty() || text.first.size() > kMaxKeywordSize ||
        text.first.find('\0') != std::string::npos || text.second.find('\0') != std::string::npos)
      return Error{AVERROR(EINVAL), "PNG text keyword \"" + text.first + "\" is not 1 to 79 characters"};
  }
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) return Error{AVERROR_ENCODER_NOT_FOUND, "libavcodec has no PNG encoder"};
  ff::CodecContext context(avcodec_alloc_context3(codec));
  ff::Frame frame(av_frame_alloc());
  ff::Packet packet(av_packet_alloc());
  if (!context || !frame || !packet) return Error{AVERROR(ENOMEM), "out of memory for the PNG encoder"};
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = AVRational{1, 1};
  if (int r = avcodec_open2(context.get(), codec, nullptr); r < 0) return ffError("PNG encoder", r);
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_RGB24;
  if (int r = av_frame_get_buffer(frame.get(), 0); r < 0) return ffError("PNG picture", r);
  // PNG stores red first; the pictures here are blue first.
  for (int y = 0; y < height; ++y) {
    const uint8_t* in = bgr + std::size_t(y) * std::size_t(width) * 3;
    uint8_t* out = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
    for (int x = 0; x < width; ++x, in += 3, out += 3) out[0] = in[2], out[1] = in[1], out[2] = in[0];
  }
  if (int r = avcodec_send_frame(context.get(), frame.get()); r < 0) return ffError("PNG encoding", r);
  if (int r = avcodec_send_frame(context.get(), nullptr); r < 0) return ffError("PNG encoding", r);
  std::vector<uint8_t> png;
  const int r = ff::receivePackets(context.get(), packet.get(), [&](const AVPacket& p) {
    png.insert(png.end(), p.data, p.data + p.size);
  });
  if (r < 0) return ffError("PNG encoding", r);
  if (png.size() < kSignatureSize + kIhdrChunkSize)
    return Error{AVERROR_BUG, "the PNG encoder gave no picture"};
  std::vector<uint8_t> chunks;
  for (const PngText& text : texts) {
    const std::vector<uint8_t> chunk = textChunk(text);
    chunks.insert(chunks.end(), chunk.begin(), chunk.end());
  }
  png.insert(png.begin() + std::ptrdiff_t(kSignatureSize + kIhdrChunkSize), chunks.begin(), chunks.end());
  return png;
}

Status writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
  if (!file) return Error{errno, path + ": " + std::strerror(errno)};
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
    return Error{errno, path + ": " + std::strerror(errno)};
  if (std::fclose(file.release()) != 0) return Error{errno, path + ": " + std::strerror(errno)};
  return okStatus();
}

}  // namespace qmv
