// A second MPEG-4 Part 2 decoder for tests: libavcodec's, with libswscale's conversion to packed BGR24.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace qmv::test {

class ReferenceMpeg4Decoder {
 public:
  // volHeader: the stream's VO + VOL bytes, handed to libavcodec as extradata.
  ReferenceMpeg4Decoder(const uint8_t* volHeader, std::size_t volSize, int width, int height);
  ~ReferenceMpeg4Decoder();
  ReferenceMpeg4Decoder(const ReferenceMpeg4Decoder&) = delete;
  ReferenceMpeg4Decoder& operator=(const ReferenceMpeg4Decoder&) = delete;

  bool ok() const;
  // Decodes one VOP. The picture as width * height * 3 bytes BGR24, rows top-down; empty when none came out.
  std::vector<uint8_t> decode(const std::vector<uint8_t>& vop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qmv::test
