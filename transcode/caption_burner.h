// CaptionBurner: the camera name and the recorded date and time drawn into each picture with libavfilter's
// drawtext.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "recording/result.h"

namespace qmv {

// The font the captions are drawn in: fixed-width, so the clock's digits do not move (Debian's
// fonts-dejavu-core).
inline constexpr char kCaptionFontFile[] = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf";

// Where a caption goes in a width x height picture: two lines at the top left, on a dark box.
struct CaptionLayout {
  int fontSize = 0;  // pixels
  int x = 0;         // top left of the first line
  int y = 0;
  int border = 0;  // of the box around the text
  int right = 0;   // the caption, box included, lies within columns [0, right) and rows [0, bottom)
  int bottom = 0;
};
// The font grows with the picture's height (1/20 of it, at least 12 pixels, which stays legible at 160 x 120)
// and shrinks where the longest line would not fit the width.
CaptionLayout captionLayout(int width, int height, std::size_t longestLine);

// "CH-01", or "<system name> CH-01" when the recorder has a name. Bytes that are not printable ASCII become
// '?': the name's character set is not recorded.
std::string cameraCaptionName(const std::string& systemName, int channel);

class CaptionBurner {
 public:
  // Whether this FFmpeg build can draw text at all (the Windows build has no font renderer).
  static bool available();
  // For width x height packed BGR24 pictures; every caption starts with cameraName.
  static Result<std::unique_ptr<CaptionBurner>> open(int width, int height, const std::string& cameraName);
  ~CaptionBurner();
  CaptionBurner(const CaptionBurner&) = delete;
  CaptionBurner& operator=(const CaptionBurner&) = delete;

  // Draws the camera name and, below it, timeText into the picture (rows top-down, no padding).
  Status draw(uint8_t* bgr, const std::string& timeText);
  const CaptionLayout& layout() const;

 private:
  CaptionBurner();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qmv
