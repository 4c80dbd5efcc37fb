// Fuzz target: RecordingFile::open on arbitrary bytes, plain and wrapped, and a walk of what it exposes.
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
#include "tests/fuzz/trickle_source.h"

namespace {

volatile uint64_t sink;  // keeps the walk from being optimised away

void require(bool condition) {
  if (!condition) std::abort();
}

// Touches every byte the reader hands out, so a dangling or short table is a sanitizer report.
uint64_t walk(const qmv::RecordingFile& file) {
  uint64_t sum = file.recordingStart() + file.trailingSize() + file.videoMask();
  for (const qmv::FrameIndexEntry& e : file.entries()) sum += e.kind + e.flags + e.time + e.offset;
  const qmv::RecordingDescription& d = file.description();
  for (const std::string* text :
       {&d.systemName, &d.version, &d.macAddress, &d.languageVideo, &d.recordedTime})
    for (char c : *text) sum += static_cast<uint8_t>(c);
  return sum + file.info().systemName.size();
}

// What every accepted recording promises its readers.
void checkInvariants(const qmv::RecordingFile& file, std::size_t size) {
  require(file.isOpen());
  require(file.fileLength() == size);
  require(uint64_t(file.recordingStart()) + file.trailingSize() + file.recordingLength() == size);
  require(file.entries().size() == uint64_t(file.entryCount()) + 1);
  require(file.info().systemName.size() <= 16);
  require((file.videoMask() & ~0xFFFFu) == 0);
  if (file.entryCount() > 0) {
    require(file.firstTime() == file.entries()[0].time);
    require(file.lastTime() == file.entries()[file.entryCount() - 1].time);
    require(file.entries()[file.entryCount() - 1].kind == 0xFF);  // the last block's own entry
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);

  qmv::RecordingFile mapped;
  const qmv::Status mappedStatus = mapped.open(qmv::makeMemorySource(bytes, "fuzz"));
  if (mappedStatus.ok()) {
    checkInvariants(mapped, size);
    sink = walk(mapped);
  } else {
    require(!mapped.isOpen());
    require(!mappedStatus.error().message.empty());
  }

  // The same bytes read a few at a time must give the same answer.
  qmv::RecordingFile trickled;
  const qmv::Status trickledStatus = trickled.open(std::make_unique<qmv::fuzz::TrickleSource>(bytes, 7));
  require(trickledStatus.ok() == mappedStatus.ok());
  if (trickledStatus.ok()) {
    require(trickled.entryCount() == mapped.entryCount());
    require(trickled.videoMask() == mapped.videoMask());
    require(std::equal(trickled.entries().begin(), trickled.entries().end(), mapped.entries().begin(),
                       mapped.entries().end(),
                       [](const qmv::FrameIndexEntry& a, const qmv::FrameIndexEntry& b) {
                         return std::memcmp(&a, &b, sizeof a) == 0;
                       }));
    require(trickled.description().recordedTime == mapped.description().recordedTime);
  }

  // A rejected open keeps what the object held before.
  if (mappedStatus.ok()) {
    const uint32_t before = mapped.entryCount();
    require(!mapped.open(qmv::makeMemorySource({}, "empty")).ok());
    require(mapped.isOpen() && mapped.entryCount() == before);
  }
  return 0;
}
