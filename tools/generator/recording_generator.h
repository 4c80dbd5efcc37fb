// The test-recording generator: writes recordings (and player-executable wrappers) from a scenario.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recording/recording_format.h"

namespace qmv::gen {

// Every field of the 512-byte header record. Unused areas are written as zero.
struct HeaderFields {
  uint8_t modelCode = 9;
  uint8_t audioFormat = 3;  // 0..15, stored in bits 4..7 of byte 1
  uint8_t versionMajor = 1, versionMinor = 2, versionBuild = 5;
  std::array<uint8_t, 3> macTail{0x12, 0x34, 0x56};
  std::string systemName = "TEST-DVR";                       // up to 16 bytes; 16 means no NUL
  uint8_t videoStandard = 0;                                 // 0 PAL, 1 NTSC (bit 4 of byte 296)
  std::array<uint8_t, format::kChannelCount> channelRate{};  // quarter frames per second
  std::array<uint8_t, format::kChannelCount> audioSource{};  // 0xFF = none
  uint16_t year = 2007;                                      // stored as year - 1970
  uint8_t month = 1, day = 1, hour = 0;
  uint8_t languageCode = 0;

  HeaderFields() {
    channelRate.fill(120);
    audioSource.fill(format::kNoAudioSource);
  }
};

// One record of the body, described by its index item and its content.
struct Record {
  enum class Type { Video, Audio, Aux, AuxChannel };
  Type type = Type::Video;
  int channel = 0;         // video channel / audio input / aux channel, 0..15
  uint8_t flagNibble = 0;  // item code high nibble for video (0..7) and audio (8..15 other than B, D)
  uint8_t timeDelta = 0;   // added to the block's baseTime
  // Video: frameType byte (0x10..0x1F key, anything else but 0x80 non-key), format code,
  // pad words (filler words stored after the stream words, as they are). A video record's source
  // byte is its channel. Aux records store frameType and data as given (formatCode, padWords 0).
  uint8_t frameType = 0x10;
  uint8_t formatCode = 2;
  uint8_t padWords = 0;
  // Audio: the record's source byte (the audio input it came from).
  uint8_t source = 0;
  // Video: MPEG-4 stream bytes in stream order (zero-padded to whole words when stored).
  // Audio: ADPCM coded bytes a0 a1 a2 a3 ... in coded order (a multiple of 4 bytes).
  // Aux: raw content.
  // Stored wordCount and item length are 16-bit: a payload must stay below 256 KiB.
  std::vector<uint8_t> data;
  // Extra bytes of extent after the payload (a record may be longer than 12 + 4 * wordCount).
  uint32_t slackWords = 0;
  // Overrides for damaged variants: the stored wordCount instead of the computed one.
  std::optional<uint16_t> wordCountOverride;

  uint8_t itemCode() const;
};

struct Block {
  uint32_t baseTime = 0;
  std::vector<Record> records;
};

struct ExecutableWrapper {
  bool zmMagic = false;        // "ZM" instead of "MZ"
  bool withMarker = true;      // 0x77ABBA77 at 28, recordingStart at 44, trailingSize at 56
  uint32_t prefixSize = 4096;  // bytes before the recording (raised to 64 when smaller), arbitrary content
  uint32_t trailingSize = 0;   // bytes after the recording (marker only)
  // Without the marker the word at 28 is recordingStart; set this to store another value there.
  std::optional<uint32_t> storedStartOverride;
};

struct Scenario {
  HeaderFields header;
  std::vector<Block> blocks;
  std::optional<ExecutableWrapper> wrapper;
};

// Where the generator put things, for tests to compare against.
struct Layout {
  uint32_t recordingStart = 0;
  uint32_t trailingSize = 0;
  uint64_t recordingLength = 0;
  std::vector<uint32_t> blockPositions;   // relative to the recording start
  std::vector<uint32_t> recordPositions;  // every record, file order, relative
  uint32_t entryCount = 0;                // records + blocks
  bool tooLarge = false;                  // a record or block would begin past the 32-bit positions
};

struct GeneratedRecording {
  std::vector<uint8_t> bytes;
  Layout layout;
};

// Writes the scenario as the recorder would: header, then each block's records followed by the block.
GeneratedRecording buildRecording(const Scenario& scenario);
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The same bytes as buildRecording, streamed to a file (large recordings need no second copy in memory).
bool writeRecordingFile(const Scenario& scenario, const std::string& path, Layout* layout = nullptr);

// The 512-byte header record alone.
std::vector<uint8_t> buildHeader(const HeaderFields& header);

// Stored forms of payloads.
std::vector<uint8_t> storeVideoPayload(const std::vector<uint8_t>& stream, uint8_t padWords,
                                       uint32_t seed = 1);
std::vector<uint8_t> storeAudioPayload(const std::vector<uint8_t>& coded, uint8_t audioFormat,
                                       uint8_t modelCode);

// Real MPEG-4 Part 2 video: VOPs only (no VOS/VO/VOL headers), coded at the decoder-table size
// of the format code, time base 1/30, no B-frames, a moving test pattern.
class TestVideoEncoder {
 public:
  // keyInterval: a key frame every keyInterval frames (the first frame is always key).
  // Any even size of at least 16 x 16; ok() is false otherwise or when the encoder cannot open.
  TestVideoEncoder(int width, int height, int keyInterval = 12, uint32_t seed = 1);
  ~TestVideoEncoder();
  TestVideoEncoder(const TestVideoEncoder&) = delete;
  TestVideoEncoder& operator=(const TestVideoEncoder&) = delete;

  bool ok() const;
  struct Frame {
    std::vector<uint8_t> vop;
    bool key = false;
  };
  Frame next();
  // The next frame with its kind chosen by the caller: key forces an intra frame, otherwise the
  // encoder predicts it from the previous one. bright codes a flat bright picture instead of the
  // pattern (a mark that a read-back finds by its mean level).
  Frame next(bool key, bool bright);
  // The picture of the last frame encoded, packed BGR24 top-down (width * height * 3).
  const std::vector<uint8_t>& lastPictureBgr() const;
  int width() const;
  int height() const;

 private:
  struct Impl;
  Impl* impl_;
};

// Coded size for a format code from the decoder size table (2, 3, 4, 18, 19, 20); nullopt otherwise.
std::optional<std::pair<int, int>> codedSizeForFormat(uint8_t formatCode);

// IMA ADPCM encoder, the mirror of the converter's decoder: two codes per byte, high nibble first,
// starting where the decoder starts (predictor 15289, step index 80).
struct ImaEncoderState {
  int predictor = 15289;
  int stepIndex = 80;
};
// Encodes count samples (count even) into count / 2 bytes.
std::vector<uint8_t> imaAdpcmEncode(const int16_t* samples, std::size_t count, ImaEncoderState& state);

// A realistic body: interleaved channels at their rates with audio, split into blocks.
// Frame i of a channel lies at startSecond + 4 i / rateByte s, audio record j of an input at its first
// channel's startSecond + j * audioWordsPerRecord / 1000 s, aux records (alternately 0xB_ of the first
// channel and 0xD_) every auxEverySeconds. Records go in time order (ties: video by channel, audio by input,
// aux), recordsPerBlock to a block; a block also ends early when a timeDelta would exceed 255. baseTime =
// startTime + the block's first record's second. Key frames carry frameType 0x10, others 0x20. The header's
// channelRate and audioSource of planned channels are overwritten.
struct ChannelPlan {
  int channel = 0;
  uint8_t formatCode = 2;
  uint8_t rateByte = 120;  // quarter frames per second
  int audioInput = -1;     // -1: none; otherwise header audioSource of the channel
  int keyInterval = 12;
  bool startWithNonKey = false;  // the channel's first records are non-key frames
  uint8_t flagNibble = 0;        // item code high nibble of the channel's video records (0..7)
  // The channel's first key frame is its first frame recorded at or after this second (counted from its
  // startSecond); the frames before it are non-key. Then a key frame every keyInterval frames.
  int firstKeySecond = 0;
  // Seconds of the plan before the channel's first record (its video and its audio input's records).
  int startSecond = 0;
  // Uneven delivery: second k of the channel holds framesPerSecond[k mod size] frames, spread evenly over
  // it, whatever rateByte declares. Empty: frames at the declared rate.
  std::vector<int> framesPerSecond{};
  // The size the frames are coded at; 0 x 0: the format code's picture size. A camera may code the size
  // its stored stream header states instead.
  std::pair<int, int> codedSize{0, 0};
};
struct BodyPlan {
  HeaderFields header;
  std::vector<ChannelPlan> channels;
  int seconds = 10;
  int recordsPerBlock = 200;
  uint32_t startTime = 0;         // seconds within the hour
  int audioWordsPerRecord = 100;  // 800 samples = 0.1 s per audio record
  int auxEverySeconds = 5;        // 0: none
  bool reuseFrames = false;       // reuse a pool of encoded frames (fast, for large recordings)
  uint32_t seed = 1;
  int maxPadWords = 2;  // each video record gets 0..maxPadWords filler words (seeded)
  // Each video frame opens with a user_data section (start code 00 00 01 B2) of this many bytes that
  // decoders skip: large recordings within a recording's hour, at no encoding cost.
  int userDataBytes = 0;
  bool randomAudio = false;  // random ADPCM codes instead of an IMA-coded tone
  // A pause in the recording: no record of any kind in the gapSeconds from second gapAt (counted from
  // startTime) on; what the plan holds from gapAt on is recorded that much later. seconds counts the
  // recorded material, so the index spans seconds + gapSeconds.
  int gapAt = -1;
  int gapSeconds = 0;
  // A second (counted from startTime, on the recorded clock) whose video frames are flat bright pictures
  // and whose audio opens with a loud burst (kClickSamples at kClickLevel), on every channel and input: a
  // converted file shows picture and sound of one moment side by side. -1: none. Every channel then codes
  // its own frames (reuseFrames is not used).
  int markSecond = -1;
};
inline constexpr int kClickSamples = 400;
inline constexpr int kClickLevel = 28000;
inline constexpr int kToneLevel = 6000;  // the tone's amplitude, far below the click
Scenario planScenario(const BodyPlan& plan);

// The README's demo recording: 4 channels of different sizes and rates, two with audio, one minute.
Scenario demoScenario();

// Deliberately damaged copies of a generated recording. "An earlier block" is the one before the last;
// with a single block it is that block.
enum class Damage {
  BadTrailer,              // trailer does not start with FF FF
  BackLinkNotBefore,       // the last block's prevBlock points at itself
  BackLinkBelow512,        // the first block's prevBlock is 511
  TerminatorLengthOff,     // the last block's terminator says itemCount + 7
  TerminatorMarkBroken,    // an earlier block's terminator is not FF FF
  ItemCountAboveEntryEnd,  // the last block's itemCount exceeds its entryEnd (entryEnd lowered)
  Truncated,               // the file is cut in the middle of the body (trailer lost)
  AbsurdEntryCount,        // the last block's entryEnd is far above what the file can hold
  EntryEndBelowItems,  // an earlier block's entryEnd is itemCount - 1: its first item would go to index -1
  EntryEndAboveCount,  // an earlier block's entryEnd exceeds the last block's
  TooShort,            // a 40-byte file
  ItemCountWraps,      // the last block's itemCount and entryEnd grow by 2^30: 4 * itemCount wraps in 32 bits
};
std::vector<uint8_t> applyDamage(const GeneratedRecording& recording, Damage damage);

}  // namespace qmv::gen
