// RecordingIndex: what reading a recording's index yields (placement, header, frame index), read whole or
// salvaged.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/byte_source.h"
#include "recording/recording_format.h"
#include "recording/result.h"

namespace qmv {

struct SystemInfo {
  uint8_t modelCode = 0;
  uint8_t audioFormat = 0;  // 0..15
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint8_t versionBuild = 0;
  std::array<uint8_t, 6> macAddress{};
  uint8_t languageCode = 0;
  uint8_t videoStandard = 0;  // 0 PAL, 1 NTSC
  std::string systemName;     // at most 16 characters
  uint16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t hour = 0;
  std::array<uint8_t, format::kChannelCount> channelRate{};
  std::array<uint8_t, format::kChannelCount> audioSource{};
};

struct FrameIndexEntry {
  uint8_t kind = 0xFF;
  uint8_t flags = 0xFF;
  uint16_t time = 0xFFFF;
  uint32_t offset = 0xFFFFFFFF;  // relative to recordingStart
};
static_assert(sizeof(FrameIndexEntry) == 8);

struct SalvageReport;

// Everything a RecordingFile is built from; readIndex and salvageIndex (recording/salvage.h) each make one.
struct RecordingIndex {
  uint64_t fileLength = 0;
  // 64 bits: a start near 4 GiB plus a position in the recording passes the 32-bit range.
  uint64_t recordingStart = 0;
  uint32_t trailingSize = 0;
  bool wrapped = false;          // the file starts like a player executable ("MZ" or "ZM")
  uint64_t recordingLength = 0;  // fileLength - recordingStart - trailingSize
  std::array<uint8_t, format::kHeaderSize> header{};
  SystemInfo info;
  // False when salvage found the header damaged: info then holds no rates and no audio sources.
  bool headerKnown = true;
  // entryCount + 1 entries; the last one is a spare that is never read.
  std::vector<FrameIndexEntry> entries;
  uint32_t entryCount = 0;
  uint32_t blockCount = 0;
  uint32_t videoMask = 0;  // bit c: channel c has a video entry
  // Set only when salvage found damage.
  std::shared_ptr<const SalvageReport> salvage;
};

// Reads a whole recording's index: the wrapper, the trailer, the index chain and the header, each checked.
Result<RecordingIndex> readIndex(ByteSource& in);

// True when readIndex rejected the file for damage to its trailer, index or size, which salvage may get past.
bool looksDamaged(const Error& error);

// Decodes the 512-byte header record.
SystemInfo decodeHeader(const std::array<uint8_t, format::kHeaderSize>& header);

}  // namespace qmv
