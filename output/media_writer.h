// MediaWriter: one output file, AVI, MKV or MP4 (video pass-through or re-encoded, optional audio,
// recorded-time subtitles in MKV and MP4) over libavformat's own muxers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decode/frame_geometry.h"
#include "decode/video_decoder.h"
#include "decode/xvid_library.h"
#include "output/container.h"
#include "recording/frame_rate.h"
#include "recording/frame_record.h"
#include "recording/result.h"
#include "transcode/compress_options.h"

namespace qmv {

class AacEncoderPool;

inline constexpr int kAudioSampleRate = 8000;

struct MediaWriterParams {
  std::string fileName;
  // AVI: a constant rate, a skipped position is an empty chunk. MKV and MP4: every sample carries its own
  // time (position / rate), a skipped position writes nothing. Audio is PCM in AVI and MKV, AAC in MP4.
  Container container = Container::kAvi;
  std::string title;         // MKV, MP4: the file's title ("SYSTEMNAME CH-05"); empty for none
  std::string creationTime;  // MKV, MP4: the file's date in UTC, ISO 8601; empty for none
  // MKV, MP4: the recorded start as the recorder's clock showed it ("2007-06-15 13:10:00"), in a tag that
  // claims no zone; empty for none.
  std::string recordedLocalTime;
  int width = 0;
  int height = 0;
  FrameRate rate{1, 1};                              // must be positive
  bool withAudio = false;                            // 8000 Hz mono audio: 16-bit PCM (AVI, MKV) or AAC (MP4)
  uint32_t fourcc = makeFourcc('X', 'V', 'I', 'D');  // AVI pass-through: the code the video is labelled with
  bool compress = false;                             // re-encode through options
  CompressOptions options;                           // re-encode mode
  std::vector<uint8_t>
      videoExtraData;  // pass-through: the stream's VO/VOL header (BITMAPINFOHEADER extra data)
  // The shape of a stored pixel (the stream's sample aspect ratio, written as the 'vprp' chunk when it is not
  // square): 1:2 for a half-height picture kept at its coded rows.
  PixelAspect pixelAspect;
  bool burnIn = false;     // re-encode: draw cameraName and each picture's caption (setCaption) into it
  std::string cameraName;  // first caption line
  bool overwrite = true;   // false: refuse an existing file
  std::shared_ptr<XvidLibrary> xvidLibrary;  // re-encode: library seam for tests; null = the real one
  // AAC: the conversion's encodings, shared by the outputs of one audio input (audioInput, the header's
  // audio source); null encodes this output's audio on its own.
  std::shared_ptr<AacEncoderPool> aacPool;
  int audioInput = 0;
  // The run's stop request: a long run of empty positions ends when it is set. Null: never stopped.
  const std::atomic<bool>* stop = nullptr;
};

class MediaWriter {
 public:
  MediaWriter();
  ~MediaWriter();  // finishes the file (trailer and index) if it was opened
  MediaWriter(const MediaWriter&) = delete;
  MediaWriter& operator=(const MediaWriter&) = delete;

  Status open(const MediaWriterParams& params);

  // One video sample at the next position (pass-through). Before open, or without a video
  // stream, nothing is written but the position still advances.
  void writeRawVideo(const uint8_t* data, std::size_t size, bool key);
  // Decodes and writes one picture through the encoder (re-encode). A frame that does not
  // decode writes nothing, and its position stays used. A picture decoded at another size than the
  // output's (a half-height field in a standardized frame) is scaled to fill the frame.
  void writeDecodedVideo(const FrameHeader& frame);
  // Re-encode: one ready picture, width * height * 3 bytes of BGR24 rows top-down, through the encoder.
  void writePicture(const uint8_t* bgr);
  // Leaves the next position empty (in AVI a zero-size chunk; in MKV and MP4 nothing, the next sample
  // carries its later time): a frame that is not written keeps its place in time, so the frames after it
  // stay in step with the audio.
  void skipVideo();
  // With burnIn: the second caption line (the recorded date and time) of the pictures written from now on.
  void setCaption(std::string text);
  // A subtitle cue shown from video position start up to end (the recorded date and time, or a gap's
  // note), in containers that carry a subtitle track; AVI has none and ignores it. A cue is known when
  // its second is over; cues may come that late and out of order by up to kCueHoldSeconds: they are held
  // that long and written in order of start. Longer holds put the cues behind their pictures in the file,
  // where a player reading it front to back finds them too late.
  static constexpr int64_t kCueHoldSeconds = 2;
  void addCue(int64_t start, int64_t end, std::string text);
  // size bytes of 16-bit mono PCM (host order); audio positions count samples. In MP4 the samples go
  // through the AAC encoder.
  void writeAudio(const uint8_t* data, std::size_t size);

  // Writes the trailer and closes the file; idempotent. The destructor calls it.
  Status finish();

  bool isOpen() const;
  bool hasAudio() const;
  int64_t videoPosition() const;  // next video sample position
  // Video samples in the file, empty ones included. Positions skipped after the last written sample
  // are not among them: a channel whose frames never decode gets no run of empty chunks.
  int64_t videoSamples() const;
  int64_t audioPosition() const;   // audio samples written so far
  uint64_t framesWritten() const;  // video samples that reached the file (empty samples excluded)
  uint64_t keyFramesWritten() const;
  uint64_t bytesWritten() const;  // file size after finish
  // Re-encode mode: the decoder library's failed load at open, if it failed (the file is written
  // all the same, without pictures).
  std::optional<XvidLoadResult> decoderLoadFailure() const;
  // The first write error (disk full, ...), if any. Every error of the writer names its file.
  const std::optional<Error>& writeError() const;
  const std::string& fileName() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qmv
