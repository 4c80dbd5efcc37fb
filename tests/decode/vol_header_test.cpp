// Tests of the VOL headers written field by field: the recorder's template for square pixels, and headers
// with an extended pixel aspect ratio that libavcodec decodes real frames with.
#include "decode/vol_header.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/frame_geometry.h"
#include "tools/generator/recording_generator.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {
namespace {

std::vector<uint8_t> volPart(const StreamHeader& header) {
  return {header.begin(), header.begin() + kVolPartSize};
}

TEST(VolHeader, SquarePixelsGiveTheRecordersHeaderByteForByte) {
  EXPECT_EQ(makeVolHeader(352, 240), volPart(kVolHeaderTemplate));
  for (int code = 0; code < 256; ++code) {
    const DecoderSize* entry = findDecoderSize(uint8_t(code));
    if (!entry) continue;
    SCOPED_TRACE("code " + std::to_string(code));
    EXPECT_EQ(makeVolHeader(entry->width, entry->height), volPart(makeStreamHeader(entry->sizeWord)));
  }
  EXPECT_EQ(makeVolHeader(162, 128), volPart(makeStreamHeader({0x05, 0x14, 0x10, 0x14})));
}

// What libavcodec's MPEG-4 decoder makes of a stream: the header as extra data, then real frames coded at
// the header's size.
struct Decoded {
  int width = 0;
  int height = 0;
  AVRational aspect{0, 1};
  int pictures = 0;
};

Decoded decodeWithHeader(const std::vector<uint8_t>& header, int width, int height) {
  Decoded result;
  ff::CodecContext ctx(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_MPEG4)));
  EXPECT_TRUE(ctx);
  if (!ctx) return result;
  ctx->extradata = static_cast<uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::copy(header.begin(), header.end(), ctx->extradata);
  ctx->extradata_size = int(header.size());
  EXPECT_GE(avcodec_open2(ctx.get(), nullptr, nullptr), 0);
  gen::TestVideoEncoder encoder(width, height, 2);
  EXPECT_TRUE(encoder.ok());
  ff::Packet packet(av_packet_alloc());
  ff::Frame frame(av_frame_alloc());
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> vop = encoder.next().vop;
    vop.resize(vop.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    packet->data = vop.data();
    packet->size = int(vop.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    EXPECT_GE(avcodec_send_packet(ctx.get(), packet.get()), 0) << "frame " << i;
    while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
      ++result.pictures;
      result.width = frame->width;
      result.height = frame->height;
      result.aspect = frame->sample_aspect_ratio;
      av_frame_unref(frame.get());
    }
  }
  return result;
}

TEST(VolHeader, HalfHeightCodesDecodeAtTheirCodedSizeWithTallPixels) {
  for (uint8_t code : {1, 3, 9, 11, 17, 19, 25, 27}) {
    SCOPED_TRACE("code " + std::to_string(code));
    const FrameGeometry coded = getFrameGeometry(code, false);
    ASSERT_EQ(coded.pixelAspect, kHalfHeightPixel);
    const std::vector<uint8_t> header = makeVolHeader(coded.width, coded.height, coded.pixelAspect);
    EXPECT_EQ(header.size(), kVolPartSize + 2) << "par_width and par_height add 16 bits";
    const Decoded got = decodeWithHeader(header, coded.width, coded.height);
    EXPECT_EQ(got.pictures, 3);
    EXPECT_EQ(got.width, coded.width);
    EXPECT_EQ(got.height, coded.height);
    EXPECT_EQ(av_cmp_q(got.aspect, AVRational{1, 2}), 0) << got.aspect.num << ":" << got.aspect.den;
  }
}

TEST(VolHeader, ValuesThatDoNotFitTheirFieldsGiveNoHeader) {
  struct Case {
    int width, height;
    PixelAspect aspect;
  };
  const Case cases[] = {{0, 240, {}},       {352, 0, {}},       {8192, 240, {}},      {352, 8192, {}},
                        {352, 240, {0, 2}}, {352, 240, {1, 0}}, {352, 240, {256, 1}}, {352, 240, {-1, 2}}};
  for (const Case& c : cases) {
    EXPECT_TRUE(makeVolHeader(c.width, c.height, c.aspect).empty())
        << c.width << "x" << c.height << " " << c.aspect.num << ":" << c.aspect.den;
  }
  EXPECT_FALSE(makeVolHeader(8191, 8191, {255, 255}).empty());
}

}  // namespace
}  // namespace qmv
