// StillCapture: the picture each channel shows at a recorded second, decoded from the key frame before it.
#include "incident/still_capture.h"

#include <fmt/format.h>

#include <cstring>
#include <optional>

#include "convert/conversion_context.h"
#include "convert/recorded_time.h"
#include "decode/frame_geometry.h"
#include "decode/video_decoder.h"
#include "incident/video_record.h"
#include "recording/frame_record.h"
#include "recording/recording_format.h"
#include "transcode/caption_burner.h"
#include "transcode/picture_scaler.h"

namespace qmv {
namespace {

// Channel c's entries in file order up to the one shown at `time`; empty when it has none at or before it.
std::vector<uint32_t> entriesUpTo(const RecordingFile& recording, int c, uint16_t time) {
  std::vector<uint32_t> entries;
  std::optional<std::size_t> lastBefore;
  for (uint32_t k = 0; k < recording.entryCount(); ++k) {
    const FrameIndexEntry& e = recording.entries()[k];
    if (e.kind != c) continue;
    entries.push_back(k);
    if (e.time == time) return entries;
    if (e.time < time) lastBefore = entries.size();
  }
  entries.resize(lastBefore.value_or(0));
  return entries;
}

class ChannelCapture {
 public:
  ChannelCapture(const RecordingFile& recording, const StillRequest& request, StillCaptureResult& result)
      : recording_(recording), request_(request), result_(result) {}

  Status capture(int c);

 private:
  void warn(int c, const std::string& text) { result_.warnings.push_back(withContext({}, c, text)); }

  const RecordingFile& recording_;
  const StillRequest& request_;
  StillCaptureResult& result_;
};

Status ChannelCapture::capture(int c) {
  const std::vector<uint32_t> entries = entriesUpTo(recording_, c, request_.time);
  if (entries.empty()) {
    warn(c, "no frame recorded at or before this time");
    return okStatus();
  }
  // The last key frame at or before the frame shown: decoding starts there so the picture is whole.
  std::optional<std::size_t> key;
  for (std::size_t i = entries.size(); i-- > 0;) {
    const std::optional<ReadRecord> r = readVideoRecord(recording_, entries[i]);
    if (r && r->key()) {
      key = i;
      break;
    }
  }
  if (!key) {
    warn(c, "no key frame at or before this time");
    return okStatus();
  }
  const uint32_t shown = entries.back();
  std::optional<ReadRecord> first = readVideoRecord(recording_, entries[*key]);
  const uint8_t formatCode = first->frame.formatCode;
  const FrameGeometry geometry = getFrameGeometry(formatCode, true);
  if (geometry.width <= 0 || geometry.height <= 0) {
    warn(c, fmt::format("format code {} has no picture size", formatCode));
    return okStatus();
  }
  StillPicture still;
  still.channel = c;
  still.entry = shown;
  still.time = recording_.entries()[shown].time;
  still.sourceOffset = recording_.recordingStart() + uint64_t(recording_.entries()[shown].offset);
  still.width = geometry.width;
  still.height = geometry.height;
  std::vector<uint8_t> decoded(std::size_t(geometry.width) * std::size_t(geometry.height) * 3, 0);
  auto decoder = request_.xvidLibrary ? std::make_unique<VideoDecoder>(request_.xvidLibrary)
                                      : std::make_unique<VideoDecoder>();
  if (decoder->create(geometry.width, geometry.height, decoded.data()) != VideoDecoder::kOk) {
    if (const std::optional<XvidLoadMessage> message = loadFailureMessage(decoder->loadResult()))
      return Error{VideoDecoder::kErrFail, message->text};
    return Error{VideoDecoder::kErrFail, "the video decoder could not be created"};
  }
  bool pictureOk = false;
  for (std::size_t i = *key; i < entries.size(); ++i) {
    std::optional<ReadRecord> r = i == *key ? std::move(first) : readVideoRecord(recording_, entries[i]);
    if (!r) continue;  // an unreadable record between the key frame and the target: decode on without it
    pictureOk = decoder->decodeFrame(r->frame) == VideoDecoder::kOk;
    ++still.framesDecoded;
  }
  if (!pictureOk) {
    warn(c, fmt::format("the frame at 0x{:08X} did not decode", still.sourceOffset));
    return okStatus();
  }
  still.bgr = std::move(decoded);
  // The decoder leaves a picture of its coded size at the start of the buffer.
  if (const DecoderSize* coded = findDecoderSize(formatCode);
      coded && (coded->width != still.width || coded->height != still.height)) {
    std::vector<uint8_t> scaled(still.bgr.size());
    PictureScaler scaler;
    if (Status st = scaler.scale(still.bgr.data(), coded->width, coded->height, scaled.data(), still.width,
                                 still.height);
        !st)
      return st;
    still.bgr = std::move(scaled);
  }
  if (request_.caption) {
    auto burner =
        CaptionBurner::open(still.width, still.height, cameraCaptionName(recording_.info().systemName, c));
    if (!burner) return burner.error();
    if (Status st = burner.value()->draw(still.bgr.data(), recordedTimeText(recording_.info(), still.time));
        !st)
      return st;
  }
  result_.pictures.push_back(std::move(still));
  return okStatus();
}

}  // namespace

Result<StillCaptureResult> captureStills(const RecordingFile& recording, const StillRequest& request) {
  StillCaptureResult result;
  ChannelCapture capture(recording, request, result);
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (!(request.channels & recording.videoMask() & (1u << c))) continue;
    if (Status st = capture.capture(c); !st) return st.error();
  }
  return result;
}

}  // namespace qmv
