// ContactSheet: stills scaled to one tile size, captioned with drawtext and laid out row by row.
#include "incident/contact_sheet.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "transcode/caption_burner.h"
#include "transcode/picture_scaler.h"

namespace qmv {

Result<SheetPicture> composeContactSheet(const std::vector<std::vector<SheetCell>>& rows) {
  if (rows.empty() || rows[0].empty()) return Error{EINVAL, "a contact sheet needs at least one still"};
  const std::size_t columns = rows[0].size();
  SheetPicture sheet;
  sheet.width = kSheetTileWidth * int(columns);
  sheet.height = kSheetTileHeight * int(rows.size());
  sheet.bgr.assign(std::size_t(sheet.width) * std::size_t(sheet.height) * 3, 0);
  const std::size_t tileRow = std::size_t(kSheetTileWidth) * 3;
  std::vector<uint8_t> tile(tileRow * kSheetTileHeight);
  PictureScaler scaler;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != columns) return Error{EINVAL, "the contact sheet's rows differ in length"};
    // A row is one camera: one burner serves its tiles.
    auto burner = CaptionBurner::open(kSheetTileWidth, kSheetTileHeight, rows[r][0].cameraName);
    if (!burner) return burner.error();
    for (std::size_t t = 0; t < columns; ++t) {
      const SheetCell& cell = rows[r][t];
      std::fill(tile.begin(), tile.end(), uint8_t(0));
      if (cell.still != nullptr) {
        if (Status st = scaler.scale(cell.still->bgr.data(), cell.still->width, cell.still->height,
                                     tile.data(), kSheetTileWidth, kSheetTileHeight);
            !st)
          return st.error();
      }
      if (Status st = burner.value()->draw(tile.data(), cell.timeText); !st) return st.error();
      for (int y = 0; y < kSheetTileHeight; ++y) {
        uint8_t* out = sheet.bgr.data() +
                       (std::size_t(r) * kSheetTileHeight + std::size_t(y)) * std::size_t(sheet.width) * 3 +
                       t * tileRow;
        std::memcpy(out, tile.data() + std::size_t(y) * tileRow, tileRow);
      }
    }
  }
  return sheet;
}

}  // namespace qmv
