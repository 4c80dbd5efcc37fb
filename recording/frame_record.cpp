// Record heads and stream words as the recording stores them.
#include "recording/frame_record.h"

#include <algorithm>
#include <cstring>

#include "recording/recording_format.h"

namespace qmv {

FrameHeader readFrameHead(const uint8_t* record, std::size_t size) {
  uint8_t head[format::kRecordHeadSize] = {};
  std::memcpy(head, record, std::min(size, format::kRecordHeadSize));
  FrameHeader frame;
  frame.source = head[format::kRecSource];
  frame.frameType = head[format::kRecFrameType];
  frame.wordCount = format::readBe16(head + format::kRecWordCount);
  std::memcpy(frame.unused, head + 4, sizeof frame.unused);
  frame.formatCode = head[format::kRecFormatCode];
  frame.padWords = head[format::kRecPadWords];
  return frame;
}

void copyStreamWords(const uint8_t* in, uint32_t words, uint8_t* out) {
  for (uint32_t w = 0; w < words; ++w, in += 4, out += 4) {
    out[0] = in[3], out[1] = in[2], out[2] = in[1], out[3] = in[0];
  }
}

FrameHeader decoderFrame(const FrameHeader& head, const uint8_t* payload, uint32_t wordCount,
                         std::vector<uint8_t>& buffer) {
  FrameHeader frame = head;
  frame.wordCount = uint16_t(wordCount);
  const uint32_t streamWords = frame.padWords < wordCount ? wordCount - frame.padWords : 0;
  const std::size_t payloadBytes = std::size_t(wordCount) * 4;
  if (buffer.size() < payloadBytes + kPayloadPadding) buffer.resize(payloadBytes + kPayloadPadding);
  copyStreamWords(payload, streamWords, buffer.data());
  const std::size_t streamBytes = std::size_t(streamWords) * 4;
  if (payloadBytes > streamBytes)
    std::memcpy(buffer.data() + streamBytes, payload + streamBytes, payloadBytes - streamBytes);
  std::memset(buffer.data() + payloadBytes, 0, kPayloadPadding);
  frame.payload = buffer.data();
  return frame;
}

}  // namespace qmv
