// FrameHeader: a video record's 12-byte head with wordCount in host order, plus its payload in stream order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qmv {

struct FrameHeader {
  uint8_t source = 0;
  uint8_t frameType = 0;
  uint16_t wordCount = 0;  // host order
  uint8_t unused[6] = {};
  uint8_t formatCode = 0;
  uint8_t padWords = 0;
  // wordCount * 4 bytes; the first wordCount - padWords words already in stream byte order.
  // The owner keeps at least kPayloadPadding zero bytes after them (decoders may read ahead).
  const uint8_t* payload = nullptr;

  // Bytes of MPEG-4 stream data in the payload.
  uint32_t streamBytes() const { return padWords >= wordCount ? 0u : uint32_t(wordCount - padWords) * 4u; }
};

// The head of the record at record, of size bytes: bytes beyond its end read as zero. payload stays null.
FrameHeader readFrameHead(const uint8_t* record, std::size_t size);

// Copies words stream words from in to out in stream byte order: the recording stores each with its 4 bytes
// reversed.
void copyStreamWords(const uint8_t* in, uint32_t words, uint8_t* out);

// Zero bytes that every payload buffer handed to a decoder carries after its end.
inline constexpr uint32_t kPayloadPadding = 800;

// A video record (its head as readFrameHead read it, and wordCount payload words) as the decoder takes it:
// buffer, grown when smaller, holds the stream words in stream order, the pad words as stored and
// kPayloadPadding zeros; the frame points into it.
FrameHeader decoderFrame(const FrameHeader& head, const uint8_t* payload, uint32_t wordCount,
                         std::vector<uint8_t>& buffer);

}  // namespace qmv
