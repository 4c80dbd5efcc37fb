// Mosaic: the chosen channels side by side in one video on the recorded clock, each tile with its camera's
// name and the recorded date and time along the bottom, composed by libavfilter and encoded for browsers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decode/xvid_library.h"
#include "recording/frame_rate.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

// Every tile is a CIF picture, the recorder's own quarter picture; a camera's picture keeps its shape inside
// it (black bars where the shapes differ).
inline constexpr int kMosaicTileWidth = 352;
inline constexpr int kMosaicTileHeight = 288;
inline constexpr int kMosaicStripHeight = 40;  // the recorded date and time, under the tiles

struct MosaicLayout {
  int columns = 0;  // and as many rows: 2, 3 or 4
  int width = 0;    // columns tiles wide
  int height = 0;   // columns tiles high, and the strip
};
// 2 x 2 for up to 4 channels, 3 x 3 up to 9, 4 x 4 up to 16; tiles fill row by row.
MosaicLayout mosaicLayout(int channels);

struct MosaicRequest {
  uint32_t channels = 0;  // bit c = channel c; channels without video take no tile
  uint16_t from = 0;      // recorded seconds as the index counts them, both shown; from <= to
  uint16_t to = 0;
  std::string outputPath;  // an MP4 file
  bool overwrite = false;  // false: a file at outputPath is left alone and the mosaic refused
  const std::atomic<bool>* stop = nullptr;   // raised: the file ends at the next picture, complete
  std::shared_ptr<XvidLibrary> xvidLibrary;  // tests: another library; null = the real one
};

struct MosaicResult {
  std::vector<int> tileChannels;  // tile i shows channel tileChannels[i] (0-based)
  MosaicLayout layout;
  FrameRate rate;      // pictures per second: the fastest tile's rate on the recorded clock
  int64_t frames = 0;  // pictures written
  uint64_t bytes = 0;  // the file's size
  bool stopped = false;
  std::vector<std::string> warnings;
};

// Whether this FFmpeg build has the filters a mosaic is composed with (xstack, scale, pad, drawtext).
bool mosaicAvailable();

// Writes request.outputPath: H.264 as convert --for-web writes it, in MP4 with a subtitle track of the
// recorded time. Picture j shows the moment from + j / rate on the recorded clock: each tile the last frame
// its camera recorded by then, decoded from the key frame before the window. A camera with no picture yet,
// or none for more than a second (and two of its frame intervals), shows black with its name.
Result<MosaicResult> writeMosaic(const RecordingFile& recording, const MosaicRequest& request);

}  // namespace qmv
