// Tests of burned-in captions: where they go at each picture size, that they stay there, and the camera name.
#include "transcode/caption_burner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/generated_records.h"

namespace qmv {
namespace {

// The columns and rows a caption changed, and how many pixels.
struct Changed {
  int pixels = 0;
  int right = 0;  // one past the rightmost changed column
  int bottom = 0;
};

Changed compare(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, int width,
                int height) {
  Changed c;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t at = (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
      if (before[at] != after[at] || before[at + 1] != after[at + 1] || before[at + 2] != after[at + 2]) {
        ++c.pixels;
        c.right = std::max(c.right, x + 1);
        c.bottom = std::max(c.bottom, y + 1);
      }
    }
  return c;
}

// From the smallest picture a recorder codes to the largest, and a half-height one kept at its coded rows.
TEST(CaptionBurner, StaysInItsCornerAndFitsEverySize) {
  const std::string name = "DEMO-DVR CH-16";
  struct Size {
    int width, height;
  };
  for (const Size size : {Size{160, 120}, Size{176, 144}, Size{352, 288}, Size{704, 240}, Size{704, 576}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    auto burner = CaptionBurner::open(size.width, size.height, name);
    ASSERT_TRUE(burner) << burner.error().message;
    const CaptionLayout& layout = burner.value()->layout();
    EXPECT_GE(layout.fontSize, 12);
    EXPECT_LE(layout.right, size.width);
    EXPECT_LE(layout.bottom, size.height / 2) << "the caption leaves most of the picture free";

    const std::vector<uint8_t> picture =
        test::randomBytes(std::size_t(size.width) * std::size_t(size.height) * 3, 7);
    std::vector<uint8_t> first = picture, second = picture;
    ASSERT_TRUE(burner.value()->draw(first.data(), "2026-12-10 13:45:07"));
    ASSERT_TRUE(burner.value()->draw(second.data(), "2026-12-10 13:45:08"));
    const Changed changed = compare(picture, first, size.width, size.height);
    // The box covers the text lines: a solid area, not a few glyph pixels.
    EXPECT_GT(changed.pixels, layout.fontSize * layout.fontSize * 10);
    EXPECT_LE(changed.right, layout.right);
    EXPECT_LE(changed.bottom, layout.bottom);
    // Not clipped: the text ends before the picture's edge.
    EXPECT_LT(changed.right, size.width);
    // Each picture shows its own time.
    const Changed between = compare(first, second, size.width, size.height);
    EXPECT_GT(between.pixels, 0);
    EXPECT_LE(between.bottom, layout.bottom);
  }
}

TEST(CaptionBurner, RefusesAPictureWithoutSize) {
  EXPECT_FALSE(CaptionBurner::open(0, 120, "CH-01"));
  EXPECT_FALSE(CaptionBurner::open(160, -1, "CH-01"));
}

TEST(CaptionBurner, CameraName) {
  struct Case {
    std::string systemName;
    int channel;
    std::string name;
  };
  const Case cases[] = {
      {"", 0, "CH-01"},
      {"DEMO-DVR", 9, "DEMO-DVR CH-10"},
      {"   ", 15, "CH-16"},
      {std::string("GATE\0junk", 9), 1, "GATE CH-02"},  // a name field ends at its NUL
      {" Yard\x01\xB0 ", 2, "Yard?? CH-03"},            // no character set is recorded
  };
  for (const Case& c : cases) EXPECT_EQ(cameraCaptionName(c.systemName, c.channel), c.name) << c.systemName;
}

}  // namespace
}  // namespace qmv
