// Fuzz target: salvage of arbitrary bytes, from memory and a few bytes at a time, and what it promises the
// worker.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "recording/byte_source.h"
#include "recording/recording_file.h"
#include "recording/recording_format.h"
#include "recording/salvage.h"
#include "tests/fuzz/trickle_source.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Entries in file order inside the recording, records with room for their head, ranges in order and apart.
void checkInvariants(const qmv::RecordingFile& file) {
  const auto& entries = file.entries();
  require(entries.size() == uint64_t(file.entryCount()) + 1);
  require(file.entryCount() >= 2);
  require(file.videoMask() != 0 && (file.videoMask() & ~0xFFFFu) == 0);
  for (uint32_t k = 0; k + 1 < file.entryCount(); ++k) {
    require(entries[k].offset <= entries[k + 1].offset);
    require(entries[k + 1].offset <= file.recordingLength());
    if (entries[k].kind < 16)
      require(entries[k + 1].offset - entries[k].offset >= qmv::format::kRecordHeadSize);
  }
  const qmv::SalvageReport* report = file.salvageReport();
  if (report == nullptr) return;
  require(report->found.size() == entries.size());
  uint64_t end = 0, bytes = 0;
  for (const qmv::ByteRange& range : report->unreadable) {
    require(range.length > 0 && range.offset >= end && range.offset + range.length <= file.recordingLength());
    end = range.offset + range.length;
    bytes += range.length;
  }
  require(bytes == report->unreadableBytes);
  end = 0;
  for (const qmv::ByteRange& range : report->recovered) {
    require(range.offset >= end && range.offset + range.length <= file.recordingLength());
    end = range.offset + range.length;
  }
  require(report->records <= report->aboutRecords);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  qmv::RecordingFile mapped;
  const qmv::Status mappedStatus = mapped.openSalvage(qmv::makeMemorySource(bytes, "fuzz"));
  if (mappedStatus.ok()) {
    checkInvariants(mapped);
  } else {
    require(!mapped.isOpen() && !mappedStatus.error().message.empty());
  }

  qmv::RecordingFile trickled;
  const qmv::Status trickledStatus =
      trickled.openSalvage(std::make_unique<qmv::fuzz::TrickleSource>(bytes, 5));
  require(trickledStatus.ok() == mappedStatus.ok());
  if (trickledStatus.ok()) {
    require(trickled.entryCount() == mapped.entryCount());
    require(std::equal(trickled.entries().begin(), trickled.entries().end(), mapped.entries().begin(),
                       mapped.entries().end(),
                       [](const qmv::FrameIndexEntry& a, const qmv::FrameIndexEntry& b) {
                         return std::memcmp(&a, &b, sizeof a) == 0;
                       }));
  }
  return 0;
}
