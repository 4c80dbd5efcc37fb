// FrameHeader: a video record laid out in stream order for the decoder.
#include "recording/frame_record.h"

#include <cstring>

#include "recording/recording_format.h"

namespace qmv {

void toStreamOrder(const uint8_t* payload, uint32_t streamWords, uint8_t* out) {
  for (uint32_t w = 0; w < streamWords; ++w, payload += 4, out += 4) {
    out[0] = payload[3], out[1] = payload[2], out[2] = payload[1], out[3] = payload[0];
  }
}

FrameHeader decoderFrame(const uint8_t* head, const uint8_t* payload, uint32_t wordCount,
                         std::vector<uint8_t>& buffer) {
  FrameHeader frame;
  frame.source = head[format::kRecSource];
  frame.frameType = head[format::kRecFrameType];
  frame.wordCount = uint16_t(wordCount);
  std::memcpy(frame.unused, head + 4, sizeof frame.unused);
  frame.formatCode = head[format::kRecFormatCode];
  frame.padWords = head[format::kRecPadWords];
  const uint32_t streamWords = frame.padWords < wordCount ? wordCount - frame.padWords : 0;
  const std::size_t payloadBytes = std::size_t(wordCount) * 4;
  if (buffer.size() < payloadBytes + kPayloadPadding) buffer.resize(payloadBytes + kPayloadPadding);
  toStreamOrder(payload, streamWords, buffer.data());
  const std::size_t streamBytes = std::size_t(streamWords) * 4;
  if (payloadBytes > streamBytes)
    std::memcpy(buffer.data() + streamBytes, payload + streamBytes, payloadBytes - streamBytes);
  std::memset(buffer.data() + payloadBytes, 0, kPayloadPadding);
  frame.payload = buffer.data();
  return frame;
}

}  // namespace qmv
