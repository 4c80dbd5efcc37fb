// The parts of an MKV or MP4 output that AVI has no place for: the muxer and its options, the AAC audio
// encoder, the recorded-time subtitle track and the file's title and date.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output/container.h"
#include "recording/result.h"
#include "transcode/ffmpeg_handles.h"

struct AVDictionary;

namespace qmv {

// Options for avformat_write_header. MP4 is written in fragments that each begin at a video key frame,
// behind an empty 'moov': a file cut short by a full disk or a killed process plays up to its last
// complete fragment, where a plain MP4 would have no index at all.
void setMuxerOptions(Container container, AVDictionary** options);

// The file's title and its date (ISO 8601, "2007-06-15T13:10:00.000000Z"); either may be empty.
void setFileMetadata(AVFormatContext& out, const std::string& title, const std::string& creationTime);

// The subtitle stream: SubRip text in MKV (time base one millisecond), 3GPP timed text in MP4 (time base
// 1/8000 s, like every MP4 track); null for AVI, which has none.
Result<AVStream*> addSubtitleStream(AVFormatContext& out, Container container);
// One cue's sample as the container stores it: SubRip is the bare text, 3GPP text has a 16-bit length first.
std::vector<uint8_t> subtitleSample(Container container, const std::string& text);

// AAC from libavcodec's own encoder: 8000 Hz mono 16-bit PCM in, packets out. Samples are collected into
// the encoder's frame size; the last frame may be short.
// Encoding costs several times what the rest of a pass-through conversion does, so each encoder runs on a
// thread of its own, a bounded number of frames behind the caller. Packets still reach the sink on the
// caller's thread, in order, from write and flush; the bytes are the same as encoding in line.
class AacEncoder {
 public:
  // Receives each packet, pts and duration in 1/8000 s (the encoder's priming makes the first pts negative).
  using PacketSink = std::function<void(AVPacket& packet)>;
  static Result<std::unique_ptr<AacEncoder>> open(bool globalHeader);
  ~AacEncoder();
  AacEncoder(const AacEncoder&) = delete;
  AacEncoder& operator=(const AacEncoder&) = delete;

  Status fillParameters(AVCodecParameters& parameters) const;
  // Samples at the next audio positions; a zero sample is silence like any other. Passes on the packets
  // that are ready; waits only while the encoder is kMaxQueuedFrames behind.
  Status write(const int16_t* samples, std::size_t count, const PacketSink& sink);
  // Encodes what is collected, drains the encoder and passes on every packet. Later writes are refused.
  Status flush(const PacketSink& sink);

  static constexpr std::size_t kMaxQueuedFrames = 32;

 private:
  struct Samples {
    std::vector<float> data;
    int64_t pts = 0;
  };

  AacEncoder() = default;
  bool start();
  void queue(Samples samples);             // caller
  Status deliver(const PacketSink& sink);  // caller
  void run();                              // the encoding thread
  int encode(const Samples* samples);      // the encoding thread; null drains the encoder

  // Used by the encoding thread only, once it runs.
  ff::CodecContext context_;
  ff::Frame frame_;
  ff::Packet packet_;
  // Used by the caller only.
  std::size_t frameSize_ = 0;
  std::vector<float> pending_;
  int64_t nextPts_ = 0;
  bool flushed_ = false;
  // Shared, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Samples> input_;
  std::deque<ff::Packet> output_;
  bool ending_ = false;  // no more input: drain and stop
  bool stopped_ = false;
  int failure_ = 0;                 // the first libavcodec error
  const char* failedAt_ = nullptr;  // what failed
  std::thread thread_;
};

}  // namespace qmv
