// The encoder-and-container trial: what the muxers refuse is known before a run, and what they take works.
#include "output/encoder_fit.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

namespace qmv {
namespace {

struct FitCase {
  const char* encoder;
  Container container;
  bool fits;
};

class EncoderFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(EncoderFitTest, IsWhatTheMuxerSays) {
  const FitCase c = GetParam();
  if (!findEncoder(c.encoder)) GTEST_SKIP() << c.encoder << " is not in this libavcodec";
  av_log_set_level(AV_LOG_QUIET);
  const Status fits = checkEncoderFits(c.encoder, c.container);
  EXPECT_EQ(bool(fits), c.fits) << (fits ? "" : fits.error().message);
  if (!fits) {
    EXPECT_EQ(fits.error().message.find(c.encoder), 0u) << fits.error().message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, EncoderFitTest,
    ::testing::Values(FitCase{"mpeg4", Container::kMp4, true}, FitCase{"libx264", Container::kMkv, true},
                      FitCase{"huffyuv", Container::kAvi, true},
                      // MKV stores HuffYUV under its AVI code, where libavformat's tag table says no
                      FitCase{"huffyuv", Container::kMkv, true}, FitCase{"huffyuv", Container::kMp4, false},
                      FitCase{"ffv1", Container::kMp4, false},
                      // Matroska takes raw video only as YUV; re-encoding feeds it RGB
                      FitCase{"rawvideo", Container::kMkv, false},
                      FitCase{"rawvideo", Container::kAvi, true}),
    [](const auto& info) {
      return std::string(info.param.encoder) + "_" + containerName(info.param.container);
    });

TEST(EncoderFit, EveryOfferedEncoderFitsAvi) {
  av_log_set_level(AV_LOG_QUIET);
  for (const EncoderInfo& encoder : availableEncoders()) {
    const auto fitting = containersFitting(encoder.name);
    ASSERT_FALSE(fitting.empty()) << encoder.name;
    EXPECT_EQ(fitting.front(), Container::kAvi) << encoder.name;
  }
}

}  // namespace
}  // namespace qmv
