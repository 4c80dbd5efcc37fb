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
  // Two words at a time: reversing 8 bytes and swapping the halves back reverses each word in place. A pass-
  // through conversion runs every frame through here; the byte-by-byte form cost a twentieth of it.
  uint32_t w = 0;
  for (; w + 2 <= words; w += 2, in += 8, out += 8) {
    uint64_t pair;
    std::memcpy(&pair, in, sizeof pair);
    pair = __builtin_bswap64(pair);
    pair = pair >> 32 | pair << 32;
    std::memcpy(out, &pair, sizeof pair);
  }
  if (w < words) {
    uint32_t word;
    std::memcpy(&word, in, sizeof word);
    word = __builtin_bswap32(word);
    std::memcpy(out, &word, sizeof word);
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
