// Salvage: what a cut-short or damaged recording still holds, found through every check the reader makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/recording_index.h"

namespace qmv {

// Bytes of the recording, positions relative to its start.
struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// How a frame index entry of a salvaged recording was found.
enum class Found : uint8_t {
  kChain,         // through the index chain followed back from the trailer
  kScannedBlock,  // through an intact index block found by scanning forward
  kWalked,        // by its own record head, where no intact block describes it; its time is estimated
  kGap,           // the start of an unreadable range (kKindGap)
};
const char* foundText(Found found);

struct SalvageReport {
  bool headerKnown = false;           // the 512-byte header passed its checks
  uint32_t chainBlocks = 0;           // intact blocks through the trailer's chain
  uint32_t scannedBlocks = 0;         // further intact blocks found by scanning
  std::vector<ByteRange> unreadable;  // skipped, in file order
  std::vector<ByteRange> recovered;   // runs of recovered records and blocks, in file order
  std::vector<Found> found;           // per frame index entry
  uint64_t records = 0;               // recovered records (index blocks and gaps not counted)
  uint64_t aboutRecords = 0;          // records the recording held, as far as its bytes tell
  uint64_t unreadableBytes = 0;
  // Records found by their heads alone (no intact block describes them).
  uint64_t recordsTimedFromBlock = 0;
  // Of those, the ones whose time is an estimate (salvage_times.h): all of them.
  uint64_t recordsTimeEstimated = 0;
  // When the trailer's chain broke: why, as the normal reader would have rejected the file.
  std::string damage;
};

// A whole recording reads as readIndex reads it, with no salvage report; a damaged one yields the records
// that pass every check, gap entries (kKindGap) where bytes were unreadable, and a report. Fails only when
// no record at all can be recovered.
Result<RecordingIndex> salvageIndex(ByteSource& source);

}  // namespace qmv
