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

}  // namespace qmv
