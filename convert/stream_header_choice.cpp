// The stream header of a pass-through channel, chosen by decoding its first key frame with each candidate.
#include "convert/stream_header_choice.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "decode/vol_header.h"
#include "recording/frame_record.h"
#include "recording/recording_format.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {
namespace {

// The channel's records looked at for its first key frame: a camera sends one every few seconds, so this
// covers minutes of any real channel while a key-less channel costs a bounded number of small reads.
constexpr int kMaxRecordsLooked = 4096;

struct Size {
  int32_t width = 0;
  int32_t height = 0;
};

// The size a stored stream header states in its size word.
Size statedSize(const StreamHeader& header) {
  const uint32_t word = (uint32_t{header[kSizeWordOffset]} << 24) |
                        (uint32_t{header[kSizeWordOffset + 1]} << 16) |
                        (uint32_t{header[kSizeWordOffset + 2]} << 8) | header[kSizeWordOffset + 3];
  return Size{int32_t((word >> 19) & 0x1FFF), int32_t((word >> 5) & 0x1FFF)};
}

// True when libavcodec decodes the frame with this header into a picture of the header's size with nothing
// concealed: a header of another macroblock grid either runs out of data before the picture's end or leaves
// data over, and both set the frame's concealment flag.
bool decodesWhole(const std::vector<uint8_t>& header, Size size, const uint8_t* frame, std::size_t bytes) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  if (codec == nullptr || header.empty() || bytes == 0 || bytes > INT32_MAX) return false;
  ff::CodecContext context(avcodec_alloc_context3(codec));
  ff::Frame picture(av_frame_alloc());
  ff::Packet packet(av_packet_alloc());
  if (!context || !picture || !packet) return false;
  AVCodecContext* c = context.get();
  c->extradata = static_cast<uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (c->extradata == nullptr) return false;
  std::memcpy(c->extradata, header.data(), header.size());
  c->extradata_size = int(header.size());
  c->thread_count = 1;
  c->flags |= AV_CODEC_FLAG_LOW_DELAY;
  // A wrong candidate is expected to fail: its complaints are no news to the user.
  c->log_level_offset = 1000;
  if (avcodec_open2(c, codec, nullptr) < 0) return false;
  if (av_new_packet(packet.get(), int(bytes)) < 0) return false;
  std::memcpy(packet->data, frame, bytes);
  if (avcodec_send_packet(c, packet.get()) < 0) return false;
  int received = avcodec_receive_frame(c, picture.get());
  if (received == AVERROR(EAGAIN) && avcodec_send_packet(c, nullptr) >= 0)
    received = avcodec_receive_frame(c, picture.get());
  return received >= 0 && picture->width == size.width && picture->height == size.height &&
         picture->decode_error_flags == 0;
}

}  // namespace

bool hasHeaderChoice(uint8_t formatCode) {
  const FrameGeometry coded = getFrameGeometry(formatCode, false);
  if (!coded.header) return false;
  const Size stored = statedSize(*coded.header);
  return stored.width != coded.width || stored.height != coded.height;
}

StreamHeaderChoice chooseStreamHeader(uint8_t formatCode, const uint8_t* keyFrame, std::size_t size) {
  StreamHeaderChoice choice;
  const FrameGeometry coded = getFrameGeometry(formatCode, false);
  choice.pixelAspect = coded.pixelAspect;
  choice.pictureWidth = choice.width = coded.width;
  choice.pictureHeight = choice.height = coded.height;
  if (!coded.header) {
    choice.storedWidth = coded.width;
    choice.storedHeight = coded.height;
    return choice;
  }
  const Size stored = statedSize(*coded.header);
  choice.storedWidth = stored.width;
  choice.storedHeight = stored.height;
  const Size picture{coded.width, coded.height};
  const std::vector<uint8_t> storedHeader = makeVolHeader(stored.width, stored.height, coded.pixelAspect);
  choice.header = storedHeader;
  choice.width = stored.width;
  choice.height = stored.height;
  if (!hasHeaderChoice(formatCode)) return choice;

  const std::vector<uint8_t> pictureHeader = makeVolHeader(picture.width, picture.height, coded.pixelAspect);
  if (keyFrame == nullptr || size == 0) {
    choice.basis = StreamHeaderChoice::Basis::kNoKeyFrame;
    return choice;
  }
  const bool storedWhole = decodesWhole(storedHeader, stored, keyFrame, size);
  const bool pictureWhole = decodesWhole(pictureHeader, picture, keyFrame, size);
  if (pictureWhole && !storedWhole) {
    choice.basis = StreamHeaderChoice::Basis::kPictureDecodes;
    choice.stored = false;
    choice.header = pictureHeader;
    choice.width = picture.width;
    choice.height = picture.height;
  } else if (storedWhole && !pictureWhole) {
    choice.basis = StreamHeaderChoice::Basis::kStoredDecodes;
  } else {
    choice.basis =
        storedWhole ? StreamHeaderChoice::Basis::kBothDecode : StreamHeaderChoice::Basis::kNeitherDecodes;
  }
  return choice;
}

std::vector<uint8_t> firstKeyFrameStream(const RecordingFile& recording, int channel, uint8_t formatCode,
                                         uint32_t from) {
  std::vector<uint8_t> stream;
  const auto& entries = recording.entries();
  ByteSource& source = recording.source();
  int looked = 0;
  for (uint32_t k = from; k < recording.entryCount() && looked < kMaxRecordsLooked; ++k) {
    if (entries[k].kind != channel) continue;
    const RecordExtent extent = recording.recordExtent(k);
    if (!extent.usable() || extent.size < format::kRecordHeadSize) continue;
    ++looked;
    uint8_t headBytes[format::kRecordHeadSize];
    const uint64_t at = recording.recordingStart() + extent.offset;
    if (!source.readExact(at, headBytes, sizeof headBytes)) return stream;
    const FrameHeader head = readFrameHead(headBytes, sizeof headBytes);
    if (head.frameType == format::kFrameTypeAudio || !format::isKeyFrameType(head.frameType)) continue;
    if (head.formatCode != formatCode && !sameCodedSize(head.formatCode, formatCode)) continue;
    const uint64_t payloadWords = (extent.size - format::kRecordHeadSize) / 4;
    const uint32_t words = uint32_t(std::min<uint64_t>(head.wordCount, payloadWords));
    const uint32_t streamWords = head.padWords < words ? words - head.padWords : 0;
    if (streamWords == 0) continue;
    std::vector<uint8_t> stored(std::size_t(streamWords) * 4);
    if (!source.readExact(at + format::kRecordHeadSize, stored.data(), stored.size())) return stream;
    stream.resize(stored.size() + kPayloadPadding);
    copyStreamWords(stored.data(), streamWords, stream.data());
    return stream;
  }
  return stream;
}

StreamHeaderChoice chooseChannelStreamHeader(const RecordingFile& recording, int channel, uint8_t formatCode,
                                             uint32_t from) {
  if (!hasHeaderChoice(formatCode)) return chooseStreamHeader(formatCode, nullptr, 0);
  const std::vector<uint8_t> frame = firstKeyFrameStream(recording, channel, formatCode, from);
  if (frame.empty()) return chooseStreamHeader(formatCode, nullptr, 0);
  return chooseStreamHeader(formatCode, frame.data(), frame.size() - kPayloadPadding);
}

std::string streamHeaderText(const StreamHeaderChoice& choice) {
  using Basis = StreamHeaderChoice::Basis;
  const std::string chosen = fmt::format("{}x{}", choice.width, choice.height);
  const std::string other = choice.stored ? fmt::format("{}x{}", choice.pictureWidth, choice.pictureHeight)
                                          : fmt::format("{}x{}", choice.storedWidth, choice.storedHeight);
  const std::string what = choice.stored ? chosen + ", the stored header" : chosen + ", the picture size";
  switch (choice.basis) {
    case Basis::kSingle:
      return {};
    case Basis::kStoredDecodes:
    case Basis::kPictureDecodes:
      return fmt::format("{}: the first key frame decodes whole with it, not with {}", what, other);
    case Basis::kBothDecode:
      return fmt::format("{}: the first key frame decodes whole with it and with {} alike", what, other);
    case Basis::kNeitherDecodes:
      return fmt::format("{}: the first key frame decodes whole with neither it nor {}", what, other);
    case Basis::kNoKeyFrame:
      return fmt::format("{}: no key frame to decide between it and {}", what, other);
  }
  return {};
}

const char* streamHeaderSourceName(const StreamHeaderChoice& choice) {
  return choice.stored ? "stored" : "pictureSize";
}

const char* streamHeaderBasisName(StreamHeaderChoice::Basis basis) {
  using Basis = StreamHeaderChoice::Basis;
  switch (basis) {
    case Basis::kSingle:
      return "single";
    case Basis::kStoredDecodes:
      return "storedDecodes";
    case Basis::kPictureDecodes:
      return "pictureDecodes";
    case Basis::kBothDecode:
      return "bothDecode";
    case Basis::kNeitherDecodes:
      return "neitherDecodes";
    case Basis::kNoKeyFrame:
      return "noKeyFrame";
  }
  return "single";
}

}  // namespace qmv
