// Read-back of a written output file (AVI, MKV, MP4) through libavformat: its streams and the SHA-256 of
// every video sample by position.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "output/container.h"
#include "recording/frame_rate.h"
#include "recording/result.h"
#include "report/sha256.h"

namespace qmv {

// The parameters of one stream as its headers give them.
struct ReadBackStream {
  std::string type;   // "video", "audio", ...
  std::string codec;  // libavcodec's name: "mpeg4", "pcm_s16le", ...
  uint32_t tag = 0;   // video: the four-character code; audio: the WAVE format tag
  int width = 0, height = 0;
  // video: positions per second: AVI's header rate / scale; in MKV and MP4, whose samples carry their own
  // times, the rate the positions were counted at.
  int rateNum = 0, rateDen = 1;
  int sampleRate = 0, channels = 0, bitsPerSample = 0;
  int64_t declaredSamples = 0;  // the stream header's length
};

struct ReadBackSample {
  uint32_t size = 0;
  bool key = false;
  Sha256Digest digest{};
};

// An output file as libavformat reads it: its streams and the SHA-256 of every non-empty video sample,
// by sample position (empty chunks, such as those of frames left out before a key frame, are not listed).
struct OutputReadBack {
  std::vector<ReadBackStream> streams;
  int videoStream = -1;
  std::map<int64_t, ReadBackSample> video;
  uint64_t repeatedPositions = 0;    // video packets whose position was already taken
  std::optional<std::string> error;  // reading stopped early; what was read is kept
};

// Opens path with the demuxer of the container its name says; an error when it does not open as that at
// all. AVI positions are the sample numbers; in MKV and MP4 a sample at time t has position t * positionRate,
// rounded to the nearest.
Result<OutputReadBack> readBackOutput(const std::string& path, FrameRate positionRate = {});

// The SHA-256 of no bytes: what a frame map expects where a sample is absent.
const Sha256Digest& emptyDigest();

}  // namespace qmv
