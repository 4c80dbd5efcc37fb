// VideoDecoder: MPEG-4 Part 2 frames to packed BGR24 pictures through the run-time-loaded Xvid library.
#pragma once

#include <cstdint>
#include <memory>

#include "decode/xvid_library.h"
#include "recording/frame_record.h"

namespace qmv {

class VideoDecoder {
 public:
  // Result codes of create and decodeFrame.
  static constexpr int kOk = 0;
  static constexpr int kErrVersion = -1;
  static constexpr int kErrFormat = -2;
  static constexpr int kErrMemory = -3;
  static constexpr int kErrFail = -100;

  VideoDecoder();  // the real library, loaded on create
  explicit VideoDecoder(std::shared_ptr<XvidLibrary> library);
  ~VideoDecoder();  // release()
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // outputBuffer: width * height * 3 bytes owned by the caller, zero-filled.
  int create(int width, int height, uint8_t* outputBuffer);
  // On 0, outputBuffer holds the picture, rows top-down.
  int decodeFrame(const FrameHeader& frame);
  void release();
  // The library load of the last create; not ok before the first.
  const XvidLoadResult& loadResult() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qmv
