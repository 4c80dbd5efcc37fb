// CompressOptions (the re-encode choice), the encoders on offer, and the Default Codec state logic.
#include "transcode/compress_options.h"

#include <algorithm>
#include <cstring>

#include "transcode/video_encoder.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace qmv {
namespace {

// Encoders listed first, in this order, with the code their stream is written under. libavformat's
// first code for MPEG-4 Part 2 is its own FMP4; XVID is the one players know.
struct KnownEncoder {
  const char* name;
  const char* description;
  uint32_t fourcc;
};
constexpr KnownEncoder kKnownEncoders[] = {
    {"libx264", "H.264 (x264)", makeFourcc('H', '2', '6', '4')},
    {"mpeg4", "MPEG-4 Part 2 (libavcodec)", makeFourcc('X', 'V', 'I', 'D')},
    {"libxvid", "MPEG-4 Part 2 (Xvid)", makeFourcc('X', 'V', 'I', 'D')},
    {"mjpeg", "Motion JPEG", makeFourcc('M', 'J', 'P', 'G')},
    {"ffv1", "FFV1 (lossless)", makeFourcc('F', 'F', 'V', '1')},
    {"huffyuv", "HuffYUV (lossless)", makeFourcc('H', 'F', 'Y', 'U')},
    {"ffvhuff", "HuffYUV, FFmpeg variant (lossless)", makeFourcc('F', 'F', 'V', 'H')},
    {"rawvideo", "Uncompressed RGB 24-bit", 0},
};

// Codecs offered: the ones that suit an AVI file and have VfW-era counterparts. Every encoder of
// these codecs is tried; opening other wrappers at random is not safe (SVT-AV1 hangs when closed
// without a frame).
constexpr AVCodecID kOfferedCodecs[] = {
    AV_CODEC_ID_H264,    AV_CODEC_ID_MPEG4,   AV_CODEC_ID_MSMPEG4V3, AV_CODEC_ID_MJPEG,    AV_CODEC_ID_FFV1,
    AV_CODEC_ID_HUFFYUV, AV_CODEC_ID_FFVHUFF, AV_CODEC_ID_UTVIDEO,   AV_CODEC_ID_RAWVIDEO,
};

// Size at which every candidate is opened once; CIF-family sizes suit the H.261/H.263 encoders too.
constexpr int kTrialWidth = 176;
constexpr int kTrialHeight = 144;

const KnownEncoder* findKnown(const char* name) {
  for (const auto& k : kKnownEncoders)
    if (std::strcmp(k.name, name) == 0) return &k;
  return nullptr;
}

const AVCodecTag* const kRiffVideoTags[] = {avformat_get_riff_video_tags(), nullptr};

bool isHardwareEncoder(const AVCodec& codec) {
  return (codec.capabilities & AV_CODEC_CAP_HARDWARE) || avcodec_get_hw_config(&codec, 0) != nullptr;
}

std::vector<EncoderInfo> buildEncoderList() {
  const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
  std::vector<EncoderInfo> list;
  if (!avi) return list;
  void* it = nullptr;
  while (const AVCodec* codec = av_codec_iterate(&it)) {
    if (!av_codec_is_encoder(codec) || codec->type != AVMEDIA_TYPE_VIDEO) continue;
    if (std::find(std::begin(kOfferedCodecs), std::end(kOfferedCodecs), codec->id) ==
        std::end(kOfferedCodecs))
      continue;
    if (isHardwareEncoder(*codec) || (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) continue;
    if (avformat_query_codec(avi, codec->id, FF_COMPLIANCE_NORMAL) != 1) continue;
    // The decisive test: hardware wrappers and encoders with fixed sizes fail here.
    CompressOptions trial;
    trial.encoder = codec->name;
    if (!VideoEncoder::open(trial, kTrialWidth, kTrialHeight, AVRational{1, 25}, 1)) continue;

    const KnownEncoder* known = findKnown(codec->name);
    EncoderInfo info;
    info.name = codec->name;
    info.description = known ? known->description : (codec->long_name ? codec->long_name : codec->name);
    info.fourcc = defaultFourcc(*codec);
    info.lossless = isLosslessCodec(codec->id);
    info.usesQuality = !info.lossless;
    info.usesBitRate = !info.lossless;
    list.push_back(std::move(info));
  }
  auto rank = [](const EncoderInfo& e) {
    for (std::size_t i = 0; i < std::size(kKnownEncoders); ++i)
      if (e.name == kKnownEncoders[i].name) return i;
    return std::size(kKnownEncoders);
  };
  std::stable_sort(list.begin(), list.end(), [&](const EncoderInfo& a, const EncoderInfo& b) {
    const auto ra = rank(a), rb = rank(b);
    return ra != rb ? ra < rb : a.name < b.name;
  });
  return list;
}

}  // namespace

uint32_t defaultFourcc(const AVCodec& codec) {
  if (const KnownEncoder* known = findKnown(codec.name)) return known->fourcc;
  return av_codec_get_tag(kRiffVideoTags, codec.id);
}

bool fourccNamesCodec(uint32_t fourcc, AVCodecID id) { return av_codec_get_id(kRiffVideoTags, fourcc) == id; }

std::vector<EncoderInfo> availableEncoders() {
  static const std::vector<EncoderInfo> list = buildEncoderList();
  return list;
}

std::optional<EncoderInfo> findEncoder(const std::string& name) {
  for (const auto& e : availableEncoders())
    if (e.name == name) return e;
  return std::nullopt;
}

CompressOptions webCompressOptions() {
  CompressOptions options;
  options.encoder = "libx264";
  options.fourcc = findKnown("libx264")->fourcc;
  options.profile = "main";
  return options;
}

std::string fourccToString(uint32_t fourcc) {
  if (fourcc == 0) return {};
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = char((fourcc >> (8 * i)) & 0xFF);
    s[std::size_t(i)] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

void onDefaultCodec(CodecChoice& choice, bool boxChecked, const OptionsChooser& chooser) {
  const CompressOptions previous = choice.compressOptions;
  choice.mode = boxChecked ? VideoMode::kPassThrough : VideoMode::kReEncode;
  choice.compressOptions = {};
  if (boxChecked) return;

  std::optional<CompressOptions> picked;
  if (chooser) picked = chooser(previous);
  // Accepting without naming an encoder leaves nothing to re-encode with: treated as a cancel.
  if (picked && !picked->empty()) {
    choice.compressOptions = *picked;
    return;
  }
  choice.mode = VideoMode::kPassThrough;
}

}  // namespace qmv
