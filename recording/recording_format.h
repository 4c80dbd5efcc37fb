// The recorder's on-disk format in one place: wrapper, header record, index blocks, frame records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmv::format {

// Byte order helpers. Everything inside a recording is big-endian; only the
// three fields of a player executable's wrapper are little-endian.
inline uint16_t readBe16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t readBe32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint32_t readLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void writeBe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void writeBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void writeLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// --- Player executable wrapper (first 64 bytes of the file, little-endian fields) ---
inline constexpr std::size_t kWrapperProbeSize = 64;
inline constexpr uint8_t kExeMagicMz[2] = {'M', 'Z'};
inline constexpr uint8_t kExeMagicZm[2] = {'Z', 'M'};
inline constexpr std::size_t kWrapperMarkerOffset = 28;    // marker, or recordingStart without it
inline constexpr uint32_t kWrapperMarker = 0x77ABBA77;     // stored 77 BA AB 77
inline constexpr std::size_t kWrapperStartOffset = 44;     // recordingStart (with marker)
inline constexpr std::size_t kWrapperTrailingOffset = 56;  // trailingSize (with marker)

// --- Header record (512 bytes at recording position 0) ---
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kHdrModelCode = 0;
inline constexpr std::size_t kHdrAudioFormat = 1;  // bits 4..7
inline constexpr std::size_t kHdrVersionBuild = 2;
inline constexpr std::size_t kHdrVersionMajorMinor = 3;  // major bits 4..7, minor bits 0..3
inline constexpr std::size_t kHdrMacTail = 4;            // 3 bytes: MAC bytes 4, 5, 6
inline constexpr std::size_t kHdrSystemName = 8;         // 16 bytes, NUL-terminated when shorter
inline constexpr std::size_t kSystemNameSize = 16;
inline constexpr std::size_t kHdrVideoStandard = 296;  // bit 4: 0 PAL, 1 NTSC
inline constexpr uint8_t kVideoStandardBit = 0x10;
inline constexpr std::size_t kHdrChannelRate = 312;  // 16 bytes, quarter frames per second
inline constexpr std::size_t kHdrAudioSource = 360;  // 16 bytes, 0xFF = none
inline constexpr std::size_t kHdrYear = 376;         // year - 1970
inline constexpr std::size_t kHdrMonth = 377;
inline constexpr std::size_t kHdrDay = 378;
inline constexpr std::size_t kHdrHour = 379;
inline constexpr std::size_t kHdrLanguageCode = 382;
inline constexpr int kYearBase = 1970;
inline constexpr uint8_t kMacPrefix[3] = {0x02, 0x3C, 0x91};
inline constexpr uint8_t kNoAudioSource = 0xFF;
inline constexpr int kChannelCount = 16;

// --- Index blocks ---
// A block is a 32-byte head, then itemCount 4-byte items; the last item is the
// terminator FF FF <block length in words, big-endian> = itemCount + 8.
// The last block's terminator is the recording's last 4 bytes (the trailer).
inline constexpr std::size_t kBlockHeadSize = 32;
inline constexpr std::size_t kBlockPrevOffset = 0;
inline constexpr std::size_t kBlockItemCountOffset = 4;
inline constexpr std::size_t kBlockEntryEndOffset = 8;
inline constexpr std::size_t kBlockBaseTimeOffset = 12;
inline constexpr std::size_t kBlockHeadReadSize = 16;  // the part of the head that is read
inline constexpr std::size_t kItemSize = 4;
inline constexpr uint32_t kTerminatorExtraWords = 8;   // 32-byte head = 8 words
inline constexpr uint8_t kTerminatorMark = 0xFF;       // first two bytes of a terminator
inline constexpr uint32_t kFirstBlockLink = 512;       // prevBlock of the first block
inline constexpr uint32_t kFirstRecordPosition = 512;  // records start right after the header
// The smallest recording: the header and one block that holds only its terminator.
inline constexpr uint64_t kMinRecordingLength = kHeaderSize + kBlockHeadSize + kItemSize;
// Positions inside a recording are unsigned 32-bit, so no recording can be longer.
inline constexpr uint64_t kMaxRecordingLength = 0xFFFFFFFFull;

// Index item: code, timeDelta, length (big-endian, in 4-byte words, record head included).
inline constexpr std::size_t kItemCodeOffset = 0;
inline constexpr std::size_t kItemTimeDeltaOffset = 1;
inline constexpr std::size_t kItemLengthOffset = 2;

// Item codes (c = low nibble).
inline constexpr uint8_t kCodeAudioBit = 0x80;    // 0x00..0x7F video of channel c
inline constexpr uint8_t kCodeAuxChannel = 0xB0;  // 0xB0..0xBF auxiliary of channel c
inline constexpr uint8_t kCodeAux = 0xD0;         // 0xD0..0xDF auxiliary, no channel
// Frame index entry kinds.
inline constexpr uint8_t kKindAuxChannelBase = 0x10;
inline constexpr uint8_t kKindAux = 0x2F;
inline constexpr uint8_t kKindAudioBase = 0x40;
inline constexpr uint8_t kKindBlock = 0xFF;
// Salvage only: bytes up to the next entry could not be read as records. Whatever a channel decoded
// before it may be missing frames, so the channel waits for its next key frame.
inline constexpr uint8_t kKindGap = 0xFE;
inline constexpr uint8_t kFlagsAux = 1;

// --- Frame records ---
inline constexpr std::size_t kRecordHeadSize = 12;
inline constexpr std::size_t kRecSource = 0;
inline constexpr std::size_t kRecFrameType = 1;
inline constexpr std::size_t kRecWordCount = 2;  // big-endian, payload words
inline constexpr std::size_t kRecFormatCode = 10;
inline constexpr std::size_t kRecPadWords = 11;
inline constexpr uint8_t kFrameTypeAudio = 0x80;
inline constexpr uint8_t kFrameTypeKeyNibble = 0x10;  // high nibble 1: key frame
inline constexpr uint8_t kAudioFormatIma = 3;         // audioFormat 3: IMA coding
inline constexpr uint8_t kModelCodeAudioAsCoded = 8;  // IMA words stored as coded from model 8 on

// Every picture format code the recorder writes is below this; a larger byte is not a frame head.
inline constexpr uint8_t kFormatCodeLimit = 32;
// Stored stream data begins with an MPEG-4 start code prefix, 00 00 01, once its words are reversed.
inline constexpr uint8_t kStartCodePrefix[3] = {0x00, 0x00, 0x01};
// The 16-bit terminator length bounds a block: at most 65535 - 8 items.
inline constexpr uint32_t kMaxBlockItems = 0xFFFF - kTerminatorExtraWords;

inline bool isKeyFrameType(uint8_t frameType) { return (frameType & 0xF0) == kFrameTypeKeyNibble; }

}  // namespace qmv::format
