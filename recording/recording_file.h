// RecordingFile: finds a recording in its file, validates the index chain and builds the frame index.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/byte_source.h"
#include "recording/recording_format.h"
#include "recording/recording_index.h"
#include "recording/result.h"

namespace qmv {

// A channel's video entries in the frame index, counted once when the recording is opened.
struct ChannelSummary {
  uint64_t frames = 0;     // the channel's video entries
  uint16_t firstTime = 0;  // earliest and latest index time of those entries; 0 without entries
  uint16_t lastTime = 0;
  // Index times count whole seconds: the seconds from the first entry's to the last's, both counted.
  uint32_t spanSeconds() const { return frames > 0 ? uint32_t(lastTime - firstTime) + 1 : 0; }
  // frames / spanSeconds; 0 without entries.
  double deliveredRate() const { return frames > 0 ? double(frames) / spanSeconds() : 0.0; }
};

// Larger records are damage: no recorder frame comes near this.
inline constexpr uint64_t kMaxRecordBytes = uint64_t(16) << 20;

// Where an entry's record lies: from its offset up to the next entry's offset.
struct RecordExtent {
  uint32_t offset = 0;  // relative to recordingStart
  uint64_t size = 0;    // 0 when the extent is unusable
  std::string
      problem;  // empty when usable; else why not, e.g. "a record of N bytes is beyond any recorder frame"
  bool usable() const { return problem.empty(); }
};

// The five description texts, formatted as the dialog shows them.
struct RecordingDescription {
  std::string systemName;     // "%s"
  std::string version;        // "%d.%d.%d"
  std::string macAddress;     // "%02X-%02X-%02X-%02X-%02X-%02X"
  std::string languageVideo;  // "%02X, %s" (PAL / NTSC)
  std::string recordedTime;   // "%04d.%02d.%02d %02d:%02d:%02d ~ %02d:%02d:%02d"
};

class RecordingFile {
 public:
  RecordingFile() = default;
  RecordingFile(RecordingFile&&) noexcept = default;
  RecordingFile& operator=(RecordingFile&&) noexcept = default;
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;
  // A recording read from source: its index as readIndex or salvageIndex found it.
  RecordingFile(std::unique_ptr<ByteSource> source, RecordingIndex index);

  // Opens path. On success this object holds the new recording; on failure it
  // keeps whatever it held before and the error says why the file was rejected.
  Status open(const std::string& path);
  // The same from an already opened source (tests read recordings from memory).
  Status open(std::unique_ptr<ByteSource> source);
  void close();
  // Salvage (salvageIndex in recording/salvage.h): a whole recording opens as open() opens it, with no
  // salvage report; a damaged one opens with the records that pass every check, gap entries (kKindGap) where
  // bytes were unreadable, and a report. Fails only when no record at all can be recovered.
  Status openSalvage(const std::string& path);
  Status openSalvage(std::unique_ptr<ByteSource> source);

  bool isOpen() const { return source_ != nullptr; }
  ByteSource& source() const { return *source_; }
  const std::string& path() const;

  uint64_t fileLength() const { return index_.fileLength; }
  uint64_t recordingStart() const { return index_.recordingStart; }
  uint32_t trailingSize() const { return index_.trailingSize; }
  // True when the file starts like a player executable ("MZ" or "ZM").
  bool isWrapped() const { return index_.wrapped; }
  // Bytes of the recording itself: fileLength - recordingStart - trailingSize.
  uint64_t recordingLength() const { return index_.recordingLength; }

  const std::array<uint8_t, format::kHeaderSize>& header() const { return index_.header; }
  const SystemInfo& info() const { return index_.info; }
  // entryCount + 1 entries; the last one is a spare that is never read.
  const std::vector<FrameIndexEntry>& entries() const { return index_.entries; }
  uint32_t entryCount() const { return index_.entryCount; }
  uint32_t blockCount() const { return index_.blockCount; }
  uint32_t videoMask() const { return index_.videoMask; }
  uint16_t firstTime() const { return firstTime_; }
  uint16_t lastTime() const { return lastTime_; }
  const RecordingDescription& description() const { return description_; }
  // Channel c's entries among entries 0 .. entryCount - 1.
  const std::array<ChannelSummary, format::kChannelCount>& channelSummaries() const { return summaries_; }
  // Entry k's record (k + 1 <= entryCount): usable when the next entry does not lie before it, the
  // record ends inside the recording and is no larger than kMaxRecordBytes.
  RecordExtent recordExtent(uint32_t k) const;
  // Null unless openSalvage found damage.
  const SalvageReport* salvageReport() const { return index_.salvage.get(); }
  // Entry k's time is an estimate: salvage found its record by its head alone.
  bool timeEstimated(uint32_t k) const;
  // False when salvage found the header damaged: info() then holds no rates and no audio sources.
  bool headerKnown() const { return index_.headerKnown; }

 private:
  // Opens source with read (readIndex or salvageIndex); keeps this object as it was on failure.
  Status openWith(std::unique_ptr<ByteSource> source, Result<RecordingIndex> (*read)(ByteSource&));
  // Fills summaries_ from entries 0 .. entryCount - 1.
  void summarize();

  std::unique_ptr<ByteSource> source_;
  RecordingIndex index_;
  uint16_t firstTime_ = 0;
  uint16_t lastTime_ = 0;
  RecordingDescription description_;
  std::array<ChannelSummary, format::kChannelCount> summaries_{};
};

// Formats the five description texts from the header fields and the time span.
RecordingDescription describeRecording(const SystemInfo& info, uint16_t firstTime, uint16_t lastTime);

}  // namespace qmv
