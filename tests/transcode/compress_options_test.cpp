// CompressOptions: four-character codes, the encoder list, and the Default Codec state logic with a fake
// chooser.
#include "transcode/compress_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "convert/conversion_context.h"

namespace qmv {
namespace {

TEST(Fourcc, PassThroughCodes) {
  EXPECT_EQ(fourccToString(fourccOf(PassThroughFourcc::kXvid)), "XVID");
  EXPECT_EQ(fourccToString(fourccOf(PassThroughFourcc::kDivx)), "DIVX");
  // File order: the first character is the lowest byte.
  EXPECT_EQ(makeFourcc('X', 'V', 'I', 'D'), 0x44495658u);
  EXPECT_EQ(fourccToString(0), "");
  EXPECT_EQ(fourccToString(makeFourcc('a', '\x01', 'b', ' ')), "a.b ");
}

TEST(AvailableEncoders, OffersTheUsualSoftwareEncodersAndNoHardwareOnes) {
  const std::vector<EncoderInfo> list = availableEncoders();
  std::set<std::string> names;
  for (const auto& e : list) {
    EXPECT_TRUE(names.insert(e.name).second) << "listed twice: " << e.name;
    EXPECT_FALSE(e.description.empty()) << e.name;
  }
  for (const char* wanted : {"libx264", "mpeg4", "mjpeg", "ffv1", "huffyuv", "rawvideo"})
    EXPECT_TRUE(names.count(wanted)) << wanted;
  for (const auto& name : names)
    for (const char* hw : {"_vaapi", "_nvenc", "_qsv", "_v4l2m2m", "_amf", "_vulkan", "_omx", "_cuvid"})
      EXPECT_EQ(name.find(hw), std::string::npos) << name;

  const struct {
    const char* name;
    const char* fourcc;
    bool lossless;
  } facts[] = {{"libx264", "H264", false}, {"mpeg4", "XVID", false},  {"mjpeg", "MJPG", false},
               {"ffv1", "FFV1", true},     {"huffyuv", "HFYU", true}, {"rawvideo", "", true}};
  for (const auto& f : facts) {
    auto e = findEncoder(f.name);
    ASSERT_TRUE(e) << f.name;
    EXPECT_EQ(fourccToString(e->fourcc), f.fourcc) << f.name;
    EXPECT_EQ(e->lossless, f.lossless) << f.name;
    EXPECT_EQ(e->usesQuality, !f.lossless) << f.name;
  }
  EXPECT_FALSE(findEncoder("no-such-encoder"));
  EXPECT_EQ(list.front().name, "libx264");  // the usual choices lead the list
}

TEST(CompressOptionsValue, CopiesAreIndependent) {
  CompressOptions a;
  EXPECT_TRUE(a.empty());
  a.encoder = "ffv1";
  a.fourcc = makeFourcc('F', 'F', 'V', '1');
  CompressOptions b = a;
  b.encoder = "mjpeg";
  EXPECT_EQ(a.encoder, "ffv1");
  EXPECT_FALSE(a == b);
  b = a;
  EXPECT_TRUE(a == b);
}

// The chooser stands in for the options dialog: it answers as told and counts its calls.
struct FakeChooser {
  std::optional<CompressOptions> answer;
  int calls = 0;
  OptionsChooser function() {
    return [this](const CompressOptions&) {
      ++calls;
      return answer;
    };
  }
};

CompressOptions x264() {
  CompressOptions o;
  o.encoder = "libx264";
  o.fourcc = makeFourcc('H', '2', '6', '4');
  o.quality = 70;
  return o;
}

TEST(DefaultCodec, StateTable) {
  const CodecChoice reEncoding{VideoMode::kReEncode, x264()};
  const CodecChoice passThrough{VideoMode::kPassThrough, {}};
  const struct Case {
    const char* name;
    CodecChoice before;
    bool boxChecked;
    std::optional<CompressOptions> answer;
    int chooserCalls;
    CodecChoice after;
  } cases[] = {
      {"uncheck and accept", passThrough, false, x264(), 1, reEncoding},
      {"uncheck and cancel", passThrough, false, std::nullopt, 1, passThrough},
      {"uncheck and accept nothing", passThrough, false, CompressOptions{}, 1, passThrough},
      {"check again clears the options", reEncoding, true, x264(), 0, passThrough},
      {"check from pass-through", passThrough, true, std::nullopt, 0, passThrough},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodecChoice choice = c.before;
    FakeChooser chooser{c.answer};
    onDefaultCodec(choice, c.boxChecked, chooser.function());
    EXPECT_EQ(chooser.calls, c.chooserCalls);
    EXPECT_EQ(choice.mode, c.after.mode);
    EXPECT_TRUE(choice.compressOptions == c.after.compressOptions);
  }
}

TEST(DefaultCodec, LeavesNoProbeFileBehind) {
  const auto dir = std::filesystem::path(QMV2AVI_TEST_TMP) / "default_codec";
  std::filesystem::create_directories(dir);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  CodecChoice choice;
  FakeChooser chooser{x264()};
  onDefaultCodec(choice, false, chooser.function());
  EXPECT_FALSE(std::filesystem::exists(dir / "temp.avi"));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace qmv
