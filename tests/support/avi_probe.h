// Test read-back of output files (AVI, MKV, MP4; the demuxer by the name's extension): streams and packets
// through libavformat, frames through libavcodec, raw AVI header fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

namespace qmv::test {

struct ProbedPacket {
  int stream = 0;
  int64_t pts = 0;  // in the stream's time base: the sample position for AVI video
  int64_t duration = 0;
  int size = 0;
  bool key = false;
  uint32_t crc = 0;           // CRC-32 of the packet bytes (0 for an empty packet)
  std::vector<uint8_t> data;  // only when probeMedia was asked for data
};

struct ProbedStream {
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codec = AV_CODEC_ID_NONE;
  uint32_t codecTag = 0;
  int width = 0, height = 0;
  int bitsPerCodedSample = 0;
  std::vector<uint8_t> extradata;
  AVRational timeBase{0, 1};
  AVRational frameRate{0, 1};  // r_frame_rate
  AVRational avgFrameRate{0, 1};
  int sampleRate = 0, channels = 0, blockAlign = 0;
  int64_t bitRate = 0;
  int64_t frameCount = 0;  // nb_frames as the header states it
  int64_t duration = 0;    // in timeBase, as the header states it; 0 when it states none
  AVRational sampleAspect{0, 1};
  int format = -1;  // video: the AVPixelFormat; audio: the AVSampleFormat  // as libavformat reads it (MKV:
                    // from the display size; MP4: 'pasp')
};

struct ProbedFile {
  std::vector<ProbedStream> streams;
  std::vector<ProbedPacket> packets;            // in file order
  std::map<std::string, std::string> metadata;  // the file's own: "title", "creation_time", ...
  std::vector<ProbedPacket> packetsOf(int stream) const;
};

// Opens path with libavformat's demuxer for its extension (.mkv, .mp4, else AVI) and reads every packet;
// nullopt when it does not open.
// The demuxer skips empty chunks: a skipped video sample shows as a gap in pts (see readAviHeaders).
std::optional<ProbedFile> probeMedia(const std::string& path, bool withData = false);

// Decodes every non-empty packet of one video stream with libavcodec. Returns the number of pictures;
// errors counts packets the decoder refused. bgrPictures receives each picture as packed BGR24 top-down.
// Returns -1 when the file or the stream's decoder does not open.
int decodeAllFrames(const std::string& path, int streamIndex, int* errors,
                    std::vector<std::vector<uint8_t>>* bgrPictures = nullptr);

uint32_t crc32Of(const uint8_t* data, std::size_t size);

// The header fields of each stream as stored in the file (strh and strf), read without libavformat.
struct RawStreamHeader {
  uint32_t fccType = 0, fccHandler = 0;
  uint32_t flags = 0;
  uint32_t scale = 0, rate = 0, start = 0, length = 0;
  uint32_t suggestedBufferSize = 0, sampleSize = 0;
  // BITMAPINFOHEADER (video)
  int32_t biWidth = 0, biHeight = 0;
  uint16_t biPlanes = 0, biBitCount = 0;
  uint32_t biCompression = 0, biSizeImage = 0;
  // WAVEFORMATEX (audio)
  uint16_t formatTag = 0, channels = 0, blockAlign = 0, bitsPerSample = 0;
  uint32_t samplesPerSec = 0, avgBytesPerSec = 0;
  std::vector<uint8_t> formatExtra;  // the biSize - 40 bytes after the BITMAPINFOHEADER
};
// One idx1 entry. libavformat's demuxer skips empty chunks; the index still lists them.
struct RawIndexEntry {
  int stream = -1;  // from the chunk id "NNdc" / "NNwb"
  uint32_t chunkId = 0;
  bool key = false;  // AVIIF_KEYFRAME
  uint32_t size = 0;
};
struct RawAviHeaders {
  uint32_t riffType = 0;     // "AVI "
  uint32_t totalFrames = 0;  // avih dwTotalFrames
  std::vector<RawStreamHeader> streams;
  bool hasIdx1 = false;
  std::vector<RawIndexEntry> idx1;  // in file order
  std::vector<RawIndexEntry> indexOf(int stream) const;
  int riffCount = 0;  // RIFF chunks in the file: more than one is OpenDML
};
std::optional<RawAviHeaders> readAviHeaders(const std::string& path);

}  // namespace qmv::test
