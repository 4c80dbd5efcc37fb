// ContactSheet: stills laid out as one picture, channels as rows and times as columns, each captioned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "incident/still_capture.h"
#include "recording/result.h"

namespace qmv {

inline constexpr int kSheetTileWidth = 320;
inline constexpr int kSheetTileHeight = 240;

struct SheetPicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgr;
};

struct SheetCell {
  const StillPicture* still = nullptr;  // null: the channel shows nothing at that time (a black tile)
  std::string cameraName;               // the same along a row: a row is one camera
  std::string timeText;
};

// rows[r][t]: the cell of row r at column t; every row has the same number of columns. Each still is scaled
// to one tile and captioned with its row's camera name and its time.
Result<SheetPicture> composeContactSheet(const std::vector<std::vector<SheetCell>>& rows);

}  // namespace qmv
