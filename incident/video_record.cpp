// VideoRecord: one video record of a recording read for the decoder, outside the conversion pass.
#include "incident/video_record.h"

#include <algorithm>
#include <cstring>

namespace qmv {

std::optional<ReadRecord> readVideoRecord(const RecordingFile& recording, uint32_t k) {
  const RecordExtent extent = recording.recordExtent(k);
  if (!extent.usable() || extent.size < format::kRecordHeadSize) return std::nullopt;
  const uint64_t at = recording.recordingStart() + uint64_t(recording.entries()[k].offset);
  std::vector<uint8_t> record(extent.size);
  if (!recording.source().readExact(at, record.data(), record.size())) return std::nullopt;
  ReadRecord r;
  std::memcpy(r.head, record.data(), format::kRecordHeadSize);
  if (r.head[format::kRecFrameType] == format::kFrameTypeAudio) return std::nullopt;
  const std::size_t payloadBytes = record.size() - format::kRecordHeadSize;
  // A word count past the record is clipped to the words that are there, as the conversion does.
  const uint32_t wordCount =
      std::min<uint32_t>(format::readBe16(r.head + format::kRecWordCount), uint32_t(payloadBytes / 4));
  r.frame = decoderFrame(readFrameHead(r.head, sizeof r.head), record.data() + format::kRecordHeadSize,
                         wordCount, r.stream);
  return r;
}

}  // namespace qmv
