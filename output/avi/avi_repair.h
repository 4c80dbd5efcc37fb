// Repair of an AVI file whose writing failed part-way: cut after the last whole chunk, index, header counts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmv {

// One packet the muxer took, in file order: the repair gives each chunk back its key flag from it.
struct PacketNote {
  uint32_t size = 0;
  uint8_t stream = 0;
  bool key = false;
  bool counted = false;  // a recorded frame, not an empty chunk for a skipped position
};

struct AviRepair {
  bool repaired = false;  // the header now describes the chunks kept; frames and keyFrames count them
  bool removed = false;   // nothing playable had reached the file, so it is gone
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t audioSamples = 0;
  uint64_t videoSamples = 0;  // the video chunks kept, the empty ones included
  std::string problem;        // why the file could not be made complete
  bool unfinished = false;    // its header could not be updated: it does not describe the file
};

// After a failed write libavformat's file I/O writes nothing more, so its trailer cannot fix the header
// or add the index: the file ends with a partial chunk and header sizes of 0. The repair reads back what
// reached the disk, cuts the file after its last complete chunk, writes an idx1 for the chunks it keeps
// and patches the header fields the trailer would have set. OpenDML files are cut at the end of their
// first RIFF list. notes are the packets written, in order; videoStream is the stream whose counted
// packets are frames.
AviRepair repairAvi(const std::string& path, const std::vector<PacketNote>& notes, int videoStream);

}  // namespace qmv
