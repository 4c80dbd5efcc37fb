// WindowRange: the index entries a time window covers, each channel from its last key frame at or before the
// window's start.
#pragma once

#include <array>
#include <cstdint>

#include "convert/recorded_moment.h"
#include "recording/recording_file.h"

namespace qmv {

struct WindowRange {
  uint32_t begin = 0;  // the first entry the pass visits
  uint32_t end = 0;    // one past the last; nothing recorded after the window's end lies before it
  // Channel c's first entry to write: its last key frame at or before the window's start (its first key frame
  // inside the window when it has none before), so that its first picture is whole; end when it has no key
  // frame up to the window's end. Its audio starts there too.
  std::array<uint32_t, format::kChannelCount> channelStart{};
  // The recording position where the window's records end: the pass reads nothing from there on.
  uint64_t readEnd = 0;

  bool writes(uint32_t k, const FrameIndexEntry& entry) const {
    return entry.kind >= format::kChannelCount || k >= channelStart[entry.kind];
  }
};

// The whole recording: entries 0 .. entryCount - 2 (the last is the last index block's own).
WindowRange wholeRecording(const RecordingFile& recording);

// The part of recording that window names, for the channels in the mask. Only the heads of the channels'
// frames from their key frames to the window's start are read (a frame's key flag is in its record, not in
// the index); the body elsewhere is not touched.
WindowRange windowRange(const RecordingFile& recording, const RecordedWindow& window, uint32_t channels);

}  // namespace qmv
