// PngStill: a packed BGR24 picture as a PNG file with text chunks that trace it back to its record.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "recording/result.h"

namespace qmv {

// Keyword and text of one tEXt chunk: Latin-1, keywords of 1 to 79 characters.
using PngText = std::pair<std::string, std::string>;

// The PNG bytes of a width x height BGR24 picture (rows top-down), with texts in tEXt chunks after IHDR.
Result<std::vector<uint8_t>> encodePng(const uint8_t* bgr, int width, int height,
                                       const std::vector<PngText>& texts);

// Writes bytes to path, replacing a file that is there.
Status writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace qmv
