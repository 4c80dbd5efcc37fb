// CompressOptions (the re-encode choice), the encoders on offer, and the Default Codec state logic.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/macros.h>
}

namespace qmv {

// A value type: copies are independent, nothing to free.
struct CompressOptions {
  std::string encoder;       // libavcodec encoder name; empty = no compressor chosen
  uint32_t fourcc = 0;       // four-character code written to the AVI; 0 = the encoder's usual one
  int quality = -1;          // 0 (smallest) .. 100 (best); -1 = the encoder's default
  int keyFrameInterval = 0;  // frames between key frames; 0 = the encoder's default
  int64_t bitRate = 0;       // bits per second; 0 = quality-driven
  std::string profile;       // the encoder's profile ("main"); empty = the encoder's default

  bool empty() const { return encoder.empty(); }
  bool operator==(const CompressOptions&) const = default;
};

// H.264 that browsers and phones play: libx264, Main profile (no 8x8 transform, which some phones'
// decoders lack), 4:2:0, the level x264 derives from the picture size and rate.
CompressOptions webCompressOptions();

struct EncoderInfo {
  std::string name;         // libavcodec encoder name ("libx264", "ffv1", ...)
  std::string description;  // a line for people
  uint32_t fourcc = 0;      // the code it is written under
  bool lossless = false;
  bool usesQuality = false;
  bool usesBitRate = false;
};

// Encoders this FFmpeg build provides, that the AVI muxer accepts and that actually open.
std::vector<EncoderInfo> availableEncoders();
std::optional<EncoderInfo> findEncoder(const std::string& name);

// A four-character code as AVI stores it: 'X','V','I','D' -> "XVID" in file order.
constexpr uint32_t makeFourcc(char a, char b, char c, char d) {
  return MKTAG(uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d));
}
std::string fourccToString(uint32_t fourcc);

enum class VideoMode {
  kPassThrough,  // the recorded frames go to the file untouched
  kReEncode,     // decoded and encoded again with CompressOptions
};

// State kept by the Default Codec (Fast) check box.
struct CodecChoice {
  VideoMode mode = VideoMode::kPassThrough;
  CompressOptions compressOptions;  // kReEncode only
};

// Shows the compression-options chooser; nullopt when the user cancelled.
using OptionsChooser = std::function<std::optional<CompressOptions>(const CompressOptions& current)>;

// The click on Default Codec (Fast): boxChecked is the box's new state.
// Checked: pass-through, options cleared. Unchecked: the chooser runs; accepted gives re-encode
// with its options, cancelled falls back to pass-through. No file is created.
void onDefaultCodec(CodecChoice& choice, bool boxChecked, const OptionsChooser& chooser);

}  // namespace qmv
