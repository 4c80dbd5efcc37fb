// VideoDecoder: call sequences against a fake Xvid library, and pictures of the real library against
// libavcodec.
#include "decode/video_decoder.h"

#include <gtest/gtest.h>
#include <xvid.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <iostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "decode/frame_geometry.h"
#include "decode/xvid_library.h"
#include "recording/frame_record.h"
#include "support/picture_compare.h"
#include "support/reference_mpeg4_decoder.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

constexpr int kApiVersion = 0x010102;

// A video record as the worker hands it over: stream words, filler words, then zero padding.
struct OwnedFrame {
  std::vector<uint8_t> payload;
  FrameHeader header;
};

OwnedFrame makeFrame(uint8_t formatCode, const std::vector<uint8_t>& stream, uint8_t padWords = 0) {
  OwnedFrame f;
  const std::size_t streamWords = (stream.size() + 3) / 4;
  const std::size_t words = streamWords + padWords;
  f.payload.assign(words * 4 + kPayloadPadding, 0);
  std::copy(stream.begin(), stream.end(), f.payload.begin());
  std::fill_n(f.payload.begin() + streamWords * 4, std::size_t(padWords) * 4, uint8_t{0xEE});
  f.header.frameType = 0x10;
  f.header.wordCount = static_cast<uint16_t>(words);
  f.header.formatCode = formatCode;
  f.header.padWords = padWords;
  f.header.payload = f.payload.data();
  return f;
}

// The fake's picture: a pattern that differs per pixel, per channel and per decoded frame.
uint8_t patternByte(int x, int y, int channel, int frame) {
  switch (channel) {
    case 0:
      return uint8_t(x + frame);
    case 1:
      return uint8_t(y * 3);
    case 2:
      return uint8_t((x ^ y) + 7);
    default:
      return 0xA5;  // alpha, which packing drops
  }
}

std::vector<uint8_t> expectedPattern(int width, int height, int frame) {
  std::vector<uint8_t> out;
  out.reserve(std::size_t(width) * height * 3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) out.push_back(patternByte(x, y, c, frame));
  return out;
}

// Stands in for the Xvid library. Records every call, hands out instance handles, and fails the test
// on a call to an instance that does not exist (never created, or already destroyed).
class FakeXvid : public XvidLibrary {
 public:
  struct Call {
    int operation = -1;
    bool global = false;
    void* handle = nullptr;
    // XVID_GBL_INIT
    int initVersion = 0;
    unsigned cpuFlags = 0;
    int debug = 0;
    // XVID_DEC_CREATE
    int createVersion = 0, createWidth = 0, createHeight = 0;
    // XVID_DEC_DECODE
    int frameVersion = 0, general = -1, length = -1, csp = 0, stride = 0, statsVersion = 0;
    const void* bitstream = nullptr;
    void* plane = nullptr;
    std::vector<uint8_t> bytes;  // the bitstream handed over
    bool zeroTail = false;       // kPayloadPadding zero bytes follow it
  };

  XvidLoadResult loadResult{true, false, {}};
  int createResult = 0;
  std::deque<int> decodeResults;  // one per decode call; a byte count when empty

  std::vector<Call> calls;
  int loads = 0;
  int created = 0;
  int destroyed = 0;
  int picturesWritten = 0;

  XvidLoadResult load() override {
    ++loads;
    return loadResult;
  }

  int global(void* handle, int operation, void* param1, void*) override {
    Call call;
    call.global = true;
    call.operation = operation;
    call.handle = handle;
    if (operation == XVID_GBL_INIT && param1 != nullptr) {
      const auto* init = static_cast<const xvid_gbl_init_t*>(param1);
      call.initVersion = init->version;
      call.cpuFlags = init->cpu_flags;
      call.debug = init->debug;
    }
    calls.push_back(call);
    return 0;
  }

  int decore(void* handle, int operation, void* param1, void* param2) override {
    Call call;
    call.operation = operation;
    call.handle = handle;
    int result = 0;
    switch (operation) {
      case XVID_DEC_CREATE: {
        auto* create = static_cast<xvid_dec_create_t*>(param1);
        call.createVersion = create->version;
        call.createWidth = create->width;
        call.createHeight = create->height;
        result = createResult;
        if (result >= 0) {
          create->handle = &instances_[created % kMaxInstances];
          live_.insert(create->handle);
          ++created;
        }
        break;
      }
      case XVID_DEC_DESTROY:
        if (live_.erase(handle) == 0) ADD_FAILURE() << "destroy of an instance that does not exist";
        ++destroyed;
        break;
      case XVID_DEC_DECODE:
        result = decode(handle, *static_cast<xvid_dec_frame_t*>(param1),
                        static_cast<xvid_dec_stats_t*>(param2), call);
        break;
      default:
        ADD_FAILURE() << "unexpected decore operation " << operation;
    }
    calls.push_back(call);
    return result;
  }

  std::vector<Call> decodes() const {
    std::vector<Call> out;
    for (const Call& c : calls)
      if (!c.global && c.operation == XVID_DEC_DECODE) out.push_back(c);
    return out;
  }
  // Decode calls that carried a stream header, by the size they encode.
  std::vector<std::pair<int, int>> headerSizes() const {
    std::vector<std::pair<int, int>> out;
    for (const Call& c : decodes())
      if (isHeader(c)) out.push_back(sizeOf(c));
    return out;
  }
  static bool isHeader(const Call& c) {
    return c.length == 32 && std::equal(c.bytes.begin(), c.bytes.begin() + 14, kVolHeaderTemplate.begin());
  }
  static std::pair<int, int> sizeOf(const Call& c) {
    const uint32_t word = (uint32_t(c.bytes[14]) << 24) | (uint32_t(c.bytes[15]) << 16) |
                          (uint32_t(c.bytes[16]) << 8) | c.bytes[17];
    return {int((word >> 19) & 0x1FFF), int((word >> 5) & 0x1FFF)};
  }

 private:
  static constexpr int kMaxInstances = 8;

  int decode(void* handle, const xvid_dec_frame_t& frame, const xvid_dec_stats_t* stats, Call& call) {
    if (live_.count(handle) == 0) ADD_FAILURE() << "decode on an instance that does not exist";
    call.frameVersion = frame.version;
    call.general = frame.general;
    call.length = frame.length;
    call.csp = frame.output.csp;
    call.stride = frame.output.stride[0];
    call.plane = frame.output.plane[0];
    call.bitstream = frame.bitstream;
    call.statsVersion = stats != nullptr ? stats->version : 0;
    const auto* bits = static_cast<const uint8_t*>(frame.bitstream);
    if (bits != nullptr && frame.length >= 0) {
      call.bytes.assign(bits, bits + frame.length);
      call.zeroTail = std::all_of(bits + frame.length, bits + frame.length + kPayloadPadding,
                                  [](uint8_t b) { return b == 0; });
    }
    const int result = decodeResults.empty() ? frame.length : decodeResults.front();
    if (!decodeResults.empty()) decodeResults.pop_front();
    if (FakeXvid::isHeader(call)) {
      volSize_ = sizeOf(call);
    } else if (result >= 0 && frame.output.plane[0] != nullptr) {
      // Like the library: the picture at the size of the last stream header, at the caller's stride.
      auto* out = static_cast<uint8_t*>(frame.output.plane[0]);
      for (int y = 0; y < volSize_.second; ++y)
        for (int x = 0; x < volSize_.first; ++x)
          for (int c = 0; c < 4; ++c)
            out[std::size_t(y) * frame.output.stride[0] + std::size_t(x) * 4 + c] =
                patternByte(x, y, c, picturesWritten);
      ++picturesWritten;
    }
    return result;
  }

  int instances_[kMaxInstances] = {};
  std::set<void*> live_;
  std::pair<int, int> volSize_{0, 0};
};

struct Message {
  std::string text, caption;
  bool operator==(const Message&) const = default;
};

// What a failed load is told as; none for a load that succeeded.
std::vector<Message> loadMessages(const VideoDecoder& decoder) {
  const std::optional<XvidLoadMessage> told = loadFailureMessage(decoder.loadResult());
  if (!told) return {};
  return {{told->text, told->caption}};
}

class VideoDecoderFake : public ::testing::Test {
 protected:
  void TearDown() override {
    // Everything the decoder created was destroyed exactly once (double destroys fail inside the fake).
    EXPECT_EQ(fake->created, fake->destroyed);
  }

  std::shared_ptr<FakeXvid> fake = std::make_shared<FakeXvid>();
};

TEST_F(VideoDecoderFake, CallsInitCreateHeaderFramesDestroyInOrder) {
  std::vector<uint8_t> output(352 * 288 * 3);
  const OwnedFrame first = makeFrame(2, {0, 0, 1, 0xB6, 0x11, 0x22, 0x33});
  const OwnedFrame second = makeFrame(2, {0, 0, 1, 0xB6, 0x44, 0x55, 0x66, 0x77, 0x88});
  {
    VideoDecoder decoder(fake);
    ASSERT_EQ(decoder.create(352, 288, output.data()), VideoDecoder::kOk);
    ASSERT_EQ(decoder.decodeFrame(first.header), VideoDecoder::kOk);
    ASSERT_EQ(decoder.decodeFrame(second.header), VideoDecoder::kOk);
    EXPECT_TRUE(loadMessages(decoder).empty());
    decoder.release();
  }
  const auto& calls = fake->calls;
  ASSERT_EQ(calls.size(), 6u);

  EXPECT_TRUE(calls[0].global);
  EXPECT_EQ(calls[0].operation, XVID_GBL_INIT);
  EXPECT_EQ(calls[0].handle, nullptr);
  EXPECT_EQ(calls[0].initVersion, kApiVersion);
  EXPECT_EQ(calls[0].cpuFlags, 0u);
  EXPECT_EQ(calls[0].debug, 0);

  EXPECT_EQ(calls[1].operation, XVID_DEC_CREATE);
  EXPECT_EQ(calls[1].handle, nullptr);
  EXPECT_EQ(calls[1].createVersion, kApiVersion);
  // No size: the library would hold on to it and ignore the size in each stream header.
  EXPECT_EQ(calls[1].createWidth, 0);
  EXPECT_EQ(calls[1].createHeight, 0);

  void* instance = calls[2].handle;
  ASSERT_NE(instance, nullptr);
  const StreamHeader expectedHeader = makeStreamHeader(findDecoderSize(2)->sizeWord);
  // The stream header: general 0, 32 bytes in a zero-padded buffer, BGRA at the coded width's stride.
  EXPECT_EQ(calls[2].operation, XVID_DEC_DECODE);
  EXPECT_EQ(calls[2].general, 0);
  EXPECT_EQ(calls[2].bytes, std::vector<uint8_t>(expectedHeader.begin(), expectedHeader.end()));
  EXPECT_TRUE(calls[2].zeroTail);
  for (int i : {2, 3, 4}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].handle, instance);
    EXPECT_EQ(calls[i].frameVersion, kApiVersion);
    EXPECT_EQ(calls[i].statsVersion, kApiVersion);
    EXPECT_EQ(calls[i].csp, XVID_CSP_BGRA);
    EXPECT_EQ(calls[i].stride, 352 * 4);
    EXPECT_NE(calls[i].plane, nullptr);
  }
  // The frames: low delay, the payload itself, its stream words only.
  EXPECT_EQ(calls[3].general, XVID_LOWDELAY);
  EXPECT_EQ(calls[3].bitstream, first.payload.data());
  EXPECT_EQ(calls[3].length, 8);
  EXPECT_EQ(calls[4].general, XVID_LOWDELAY);
  EXPECT_EQ(calls[4].bitstream, second.payload.data());
  EXPECT_EQ(calls[4].length, 12);

  EXPECT_EQ(calls[5].operation, XVID_DEC_DESTROY);
  EXPECT_EQ(calls[5].handle, instance);
}

struct FormatSequence {
  const char* name;
  int width, height;  // given to create
  std::vector<uint8_t> codes;
  std::vector<std::pair<int, int>> headers;  // sizes of the stream headers fed, in order
};

TEST_F(VideoDecoderFake, FeedsStreamHeaderOnEveryFormatChange) {
  const FormatSequence cases[] = {
      {"one code", 352, 288, {2, 2, 2}, {{352, 288}}},
      {"A B A", 352, 288, {2, 18, 2}, {{352, 288}, {352, 240}, {352, 288}}},
      {"B B A A", 704, 576, {3, 3, 4, 4}, {{704, 288}, {704, 576}}},
      {"every large code", 704, 576, {19, 20, 3, 4}, {{704, 240}, {704, 480}, {704, 288}, {704, 576}}},
  };
  for (const FormatSequence& c : cases) {
    SCOPED_TRACE(c.name);
    fake->calls.clear();
    std::vector<uint8_t> output(std::size_t(c.width) * c.height * 3);
    VideoDecoder decoder(fake);
    ASSERT_EQ(decoder.create(c.width, c.height, output.data()), VideoDecoder::kOk);
    for (uint8_t code : c.codes) EXPECT_EQ(decoder.decodeFrame(makeFrame(code, {0, 0, 1, 0xB6}).header), 0);
    EXPECT_EQ(fake->headerSizes(), c.headers);
    // Each header goes with general 0 and at its own width's stride; the frames after it in low delay.
    for (const FakeXvid::Call& call : fake->decodes()) {
      if (FakeXvid::isHeader(call)) {
        EXPECT_EQ(call.general, 0);
        EXPECT_EQ(call.stride, FakeXvid::sizeOf(call).first * 4);
      } else {
        EXPECT_EQ(call.general, XVID_LOWDELAY);
      }
    }
    EXPECT_EQ(fake->decodes().size(), c.headers.size() + c.codes.size());
  }
}

TEST_F(VideoDecoderFake, StreamLengthCountsStreamWordsOnly) {
  struct Case {
    std::size_t streamBytes;
    uint8_t padWords;
    int length;
  };
  const Case cases[] = {{40, 0, 40}, {37, 0, 40}, {40, 3, 40}, {0, 5, 0}, {0, 0, 0}};
  std::vector<uint8_t> output(352 * 288 * 3);
  VideoDecoder decoder(fake);
  ASSERT_EQ(decoder.create(352, 288, output.data()), 0);
  for (const Case& c : cases) {
    const OwnedFrame frame = makeFrame(2, std::vector<uint8_t>(c.streamBytes, 0x42), c.padWords);
    EXPECT_EQ(decoder.decodeFrame(frame.header), 0);
    EXPECT_EQ(fake->decodes().back().length, c.length)
        << c.streamBytes << " bytes, " << int(c.padWords) << " pad";
  }
  // padWords above wordCount: still one library call with nothing to read.
  OwnedFrame over = makeFrame(2, std::vector<uint8_t>(8, 0x42), 0);
  over.header.padWords = 9;
  EXPECT_EQ(decoder.decodeFrame(over.header), 0);
  EXPECT_EQ(fake->decodes().back().length, 0);
}

TEST_F(VideoDecoderFake, LibraryResultsMapToDecoderCodes) {
  const std::pair<int, int> cases[] = {
      {XVID_ERR_VERSION, VideoDecoder::kErrVersion},
      {XVID_ERR_FORMAT, VideoDecoder::kErrFormat},
      {XVID_ERR_MEMORY, VideoDecoder::kErrMemory},
      {XVID_ERR_FAIL, VideoDecoder::kErrFail},
      {XVID_ERR_END, VideoDecoder::kOk},
      {-1000, VideoDecoder::kOk},
      {0, VideoDecoder::kOk},
      {517, VideoDecoder::kOk},
  };
  for (const auto& [library, expected] : cases) {
    SCOPED_TRACE(library);
    // From create.
    {
      auto creating = std::make_shared<FakeXvid>();
      creating->createResult = library;
      std::vector<uint8_t> output(352 * 288 * 3);
      VideoDecoder decoder(creating);
      EXPECT_EQ(decoder.create(352, 288, output.data()), expected);
      decoder.release();
      EXPECT_EQ(creating->created, creating->destroyed);
    }
    // From a frame decode; a failed one leaves the previous picture in place.
    {
      std::vector<uint8_t> output(352 * 288 * 3);
      VideoDecoder decoder(fake);
      ASSERT_EQ(decoder.create(352, 288, output.data()), 0);
      ASSERT_EQ(decoder.decodeFrame(makeFrame(2, {1, 2, 3, 4}).header), 0);
      const std::vector<uint8_t> before = output;
      fake->decodeResults = {library};
      EXPECT_EQ(decoder.decodeFrame(makeFrame(2, {1, 2, 3, 4}).header), expected);
      if (expected != VideoDecoder::kOk) {
        EXPECT_EQ(output, before);
      }
    }
  }
}

TEST_F(VideoDecoderFake, FailedHeaderFeedIsNotRepeatedForItsCode) {
  std::vector<uint8_t> output(352 * 288 * 3);
  VideoDecoder decoder(fake);
  ASSERT_EQ(decoder.create(352, 288, output.data()), 0);
  fake->decodeResults = {XVID_ERR_FORMAT};
  EXPECT_EQ(decoder.decodeFrame(makeFrame(2, {1, 2, 3, 4}).header), VideoDecoder::kErrFormat);
  ASSERT_EQ(fake->decodes().size(), 1u);  // the frame itself was not fed

  EXPECT_EQ(decoder.decodeFrame(makeFrame(2, {1, 2, 3, 4}).header), 0);
  EXPECT_EQ(decoder.decodeFrame(makeFrame(18, {1, 2, 3, 4}).header), 0);
  EXPECT_EQ(fake->headerSizes(), (std::vector<std::pair<int, int>>{{352, 288}, {352, 240}}));
  const auto decodes = fake->decodes();
  ASSERT_EQ(decodes.size(), 4u);
  EXPECT_EQ(decodes[1].general, 0);              // code 2's frames never got low delay
  EXPECT_EQ(decodes[2].general, 0);              // the next header goes with 0 ...
  EXPECT_EQ(decodes[3].general, XVID_LOWDELAY);  // ... and succeeds
}

TEST_F(VideoDecoderFake, MissingLibraryOrEntryPointFailsCreateWithItsMessage) {
  struct Case {
    XvidLoadResult load;
    Message message;
  };
  const Case cases[] = {
      {{false, true, {}}, {"xvidcore.dll not found!", "Error!"}},
      {{false, false, {"xvid_global"}}, {"xvid_global() not found", "Error"}},
      {{false, false, {"xvid_decore"}}, {"xvid_decore() not found", "Error"}},
      {{false, false, {"xvid_global", "xvid_decore"}}, {"xvid_global() not found", "Error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.text);
    auto missing = std::make_shared<FakeXvid>();
    missing->loadResult = c.load;
    std::vector<uint8_t> output(352 * 288 * 3);
    VideoDecoder decoder(missing);
    EXPECT_EQ(decoder.create(352, 288, output.data()), VideoDecoder::kErrFail);
    EXPECT_EQ(loadMessages(decoder), std::vector<Message>{c.message});
    EXPECT_EQ(decoder.decodeFrame(makeFrame(2, {1, 2, 3, 4}).header), VideoDecoder::kErrFail);
    // A second attempt asks the library again.
    EXPECT_EQ(decoder.create(352, 288, output.data()), VideoDecoder::kErrFail);
    EXPECT_EQ(missing->loads, 2);
    decoder.release();
    EXPECT_TRUE(missing->calls.empty());
  }
}

TEST_F(VideoDecoderFake, RefusesFramesTheBuffersCannotHoldBeforeAnyLibraryCall) {
  const std::vector<uint8_t> vop = {0, 0, 1, 0xB6, 0x10, 0x61};
  // A layer header of its own would set the library's picture size (704 x 576 here).
  std::vector<uint8_t> volThenVop(kVolHeaderTemplate.begin(), kVolHeaderTemplate.end());
  volThenVop[kSizeWordOffset] = 0x16;
  volThenVop[kSizeWordOffset + 2] = 0x48;
  std::vector<uint8_t> vopThenVol = {0, 0, 1, 0xB6, 0x12, 0x00, 0x00, 0x00, 0x01, 0x2F, 0x00};
  struct Case {
    int width, height;
    uint8_t code;
    const std::vector<uint8_t>& stream;
  };
  const Case cases[] = {
      {352, 288, 0, vop},        {352, 288, 1, vop},
      {352, 288, 8, vop},        {352, 288, 255, vop},       // no decoder size
      {352, 288, 4, vop},        {352, 288, 20, vop},        // wider than the buffers
      {704, 240, 20, vop},       {352, 240, 2, vop},         // taller than the buffers
      {352, 288, 2, volThenVop}, {704, 576, 4, vopThenVol},  // a layer header inside the frame
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " code " << int(c.code) << ", "
                                      << c.stream.size() << " bytes");
    fake->calls.clear();
    std::vector<uint8_t> output(std::size_t(c.width) * c.height * 3, 0x5A);
    VideoDecoder decoder(fake);
    ASSERT_EQ(decoder.create(c.width, c.height, output.data()), 0);
    const std::size_t callsAfterCreate = fake->calls.size();
    EXPECT_NE(decoder.decodeFrame(makeFrame(c.code, c.stream).header), 0);
    EXPECT_EQ(fake->calls.size(), callsAfterCreate);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x5A; }));
  }
}

TEST_F(VideoDecoderFake, DecodeWithoutInstanceFails) {
  const OwnedFrame frame = makeFrame(2, {1, 2, 3, 4});
  std::vector<uint8_t> output(352 * 288 * 3);
  {
    VideoDecoder decoder(fake);
    EXPECT_EQ(decoder.decodeFrame(frame.header), VideoDecoder::kErrFail);  // before create
  }
  {
    auto refusing = std::make_shared<FakeXvid>();
    refusing->createResult = XVID_ERR_MEMORY;
    VideoDecoder decoder(refusing);
    EXPECT_EQ(decoder.create(352, 288, output.data()), VideoDecoder::kErrMemory);
    EXPECT_EQ(decoder.decodeFrame(frame.header), VideoDecoder::kErrFail);  // creation refused
    EXPECT_EQ(refusing->decodes().size(), 0u);
  }
  {
    VideoDecoder decoder(fake);
    ASSERT_EQ(decoder.create(352, 288, output.data()), 0);
    decoder.release();
    EXPECT_EQ(decoder.decodeFrame(frame.header), VideoDecoder::kErrFail);  // after release
  }
  EXPECT_TRUE(fake->decodes().empty());
}

TEST_F(VideoDecoderFake, EveryInstanceIsDestroyedExactlyOnce) {
  std::vector<uint8_t> output(352 * 288 * 3);
  {
    VideoDecoder decoder(fake);  // destruction alone releases
    ASSERT_EQ(decoder.create(352, 288, output.data()), 0);
  }
  EXPECT_EQ(fake->destroyed, 1);
  {
    VideoDecoder decoder(fake);
    ASSERT_EQ(decoder.create(352, 288, output.data()), 0);
    ASSERT_EQ(decoder.create(352, 288, output.data()), 0);  // replaces the first instance
    decoder.release();
    decoder.release();
  }
  EXPECT_EQ(fake->created, 3);
  EXPECT_EQ(fake->destroyed, 3);
  {
    VideoDecoder neverCreated(fake);  // the probe writer's decoder: nothing to free
  }
  EXPECT_EQ(fake->created, 3);
}

TEST_F(VideoDecoderFake, PacksBgraTopDownAtTheCodedSize) {
  struct Case {
    const char* name;
    int width, height;
    uint8_t code;
    int codedWidth, codedHeight;
  };
  const Case cases[] = {
      {"exact size", 352, 288, 2, 352, 288},
      {"code 3 standardized: upper half", 704, 576, 3, 704, 288},
      {"code 19 in a 704 x 480 frame", 704, 480, 19, 704, 240},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto library = std::make_shared<FakeXvid>();
    std::vector<uint8_t> output(std::size_t(c.width) * c.height * 3, 0x5A);
    VideoDecoder decoder(library);
    ASSERT_EQ(decoder.create(c.width, c.height, output.data()), 0);
    for (int frame = 0; frame < 2; ++frame) {
      ASSERT_EQ(decoder.decodeFrame(makeFrame(c.code, {0, 0, 1, 0xB6}).header), 0);
      const std::vector<uint8_t> expected = expectedPattern(c.codedWidth, c.codedHeight, frame);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), output.begin())) << "frame " << frame;
      // The rows below the coded picture keep what they held.
      EXPECT_TRUE(
          std::all_of(output.begin() + expected.size(), output.end(), [](uint8_t b) { return b == 0x5A; }));
    }
  }
}

// ---- The real library ----

TEST(DynamicXvidLibrary, ReportsMissingFileAndEveryMissingEntryPoint) {
  DynamicXvidLibrary absent("libqmv2avi-no-such-library.so.0");
  const XvidLoadResult noFile = absent.load();
  EXPECT_FALSE(noFile.ok);
  EXPECT_TRUE(noFile.libraryMissing);

  // A library that exists but is not Xvid lacks both entry points; both are reported.
#ifdef _WIN32
  DynamicXvidLibrary other("kernel32.dll");
#else
  DynamicXvidLibrary other("libm.so.6");
#endif
  const XvidLoadResult noSymbols = other.load();
  EXPECT_FALSE(noSymbols.ok);
  EXPECT_FALSE(noSymbols.libraryMissing);
  EXPECT_EQ(noSymbols.missingSymbols, (std::vector<std::string>{"xvid_global", "xvid_decore"}));
  EXPECT_EQ(other.load().missingSymbols, noSymbols.missingSymbols);  // still loaded, still lacking

  // The same through the decoder, with the real loader.
  std::vector<uint8_t> output(352 * 288 * 3);
  VideoDecoder decoder(std::make_shared<DynamicXvidLibrary>("libqmv2avi-no-such-library.so.0"));
  EXPECT_EQ(decoder.create(352, 288, output.data()), VideoDecoder::kErrFail);
  EXPECT_EQ(loadMessages(decoder), (std::vector<Message>{{"xvidcore.dll not found!", "Error!"}}));
}

bool realXvidAvailable() { return DynamicXvidLibrary().load().ok; }

// Two conforming decoders and two YUV-to-BGR conversions agree at 50.4 dB or more on every generator frame
// (each run prints its lowest). The faults land far below: flipped rows under 11 dB, red and blue swapped
// under 12 dB, and a library instance fixed at the buffer's size instead of the stream header's 8.5 to 43 dB.
constexpr double kSamePicturePsnr = 45.0;
constexpr double kWrongPicturePsnr = 20.0;

// Decodes generator frames of one format code with the given decoder and compares each picture's coded area
// with libavcodec's decode of the same frames, after the same stream header's VOL.
void decodeAndCompare(VideoDecoder& decoder, uint8_t code, int frameCount,
                      const std::vector<uint8_t>& output) {
  SCOPED_TRACE(::testing::Message() << "format " << int(code));
  const auto coded = gen::codedSizeForFormat(code);
  ASSERT_TRUE(coded.has_value());
  const auto [width, height] = *coded;
  gen::TestVideoEncoder encoder(width, height, 5, 7 + code);
  ASSERT_TRUE(encoder.ok());
  const StreamHeader header = makeStreamHeader(findDecoderSize(code)->sizeWord);
  test::ReferenceMpeg4Decoder reference(header.data(), kVolPartSize, width, height);
  ASSERT_TRUE(reference.ok());

  double minPsnr = 1e9, maxFlipped = 0, maxSwapped = 0;
  for (int i = 0; i < frameCount; ++i) {
    SCOPED_TRACE(::testing::Message() << "frame " << i);
    const gen::TestVideoEncoder::Frame frame = encoder.next();
    ASSERT_EQ(decoder.decodeFrame(makeFrame(code, frame.vop).header), VideoDecoder::kOk);
    const std::vector<uint8_t> expected = reference.decode(frame.vop);
    ASSERT_EQ(expected.size(), std::size_t(width) * height * 3);
    const double psnr = test::psnrBgr(output.data(), expected.data(), width, height);
    EXPECT_GE(psnr, kSamePicturePsnr);
    minPsnr = std::min(minPsnr, psnr);
    // What a wrong row order or colour order would give.
    const auto flipped = test::flipRowsBgr(expected.data(), width, height);
    const auto swapped = test::swapRedBlueBgr(expected.data(), width, height);
    maxFlipped = std::max(maxFlipped, test::psnrBgr(output.data(), flipped.data(), width, height));
    maxSwapped = std::max(maxSwapped, test::psnrBgr(output.data(), swapped.data(), width, height));
  }
  EXPECT_LT(maxFlipped, kWrongPicturePsnr);
  EXPECT_LT(maxSwapped, kWrongPicturePsnr);
  std::cout << "format " << int(code) << ", " << frameCount << " frames: lowest PSNR " << minPsnr
            << " dB; against flipped at most " << maxFlipped << " dB, against swapped at most " << maxSwapped
            << " dB\n";
}

class RealXvid : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!realXvidAvailable()) GTEST_SKIP() << DynamicXvidLibrary::kDefaultFileName << " cannot be loaded";
  }
};

class RealXvidByCode : public RealXvid, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(RealXvidByCode, DecodesGeneratorFramesLikeLibavcodec) {
  const DecoderSize* entry = findDecoderSize(GetParam());
  ASSERT_NE(entry, nullptr);
  std::vector<uint8_t> output(std::size_t(entry->width) * entry->height * 3);
  VideoDecoder decoder;
  ASSERT_EQ(decoder.create(entry->width, entry->height, output.data()), VideoDecoder::kOk);
  decodeAndCompare(decoder, GetParam(), 12, output);
}

INSTANTIATE_TEST_SUITE_P(FormatCodes, RealXvidByCode, ::testing::Values(2, 3, 4, 18, 19, 20),
                         [](const auto& info) { return "Code" + std::to_string(info.param); });

TEST_F(RealXvid, Code3StandardizedFillsTheUpperHalfOfA704x576Frame) {
  std::vector<uint8_t> output(704 * 576 * 3);  // zero-filled, as the writer allocates it
  VideoDecoder decoder;
  ASSERT_EQ(decoder.create(704, 576, output.data()), VideoDecoder::kOk);
  decodeAndCompare(decoder, 3, 8, output);
  const std::size_t upper = 704 * 288 * 3;
  EXPECT_TRUE(std::all_of(output.begin() + upper, output.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(RealXvid, FormatChangesMidStreamDecodeAtEachCodedSize) {
  std::vector<uint8_t> output(704 * 576 * 3);
  VideoDecoder decoder;
  ASSERT_EQ(decoder.create(704, 576, output.data()), VideoDecoder::kOk);
  // Each run starts with a key frame of its own stream, as a recorder's format change does.
  for (uint8_t code : {4, 3, 2, 20, 4}) decodeAndCompare(decoder, code, 6, output);
}

}  // namespace
}  // namespace qmv
