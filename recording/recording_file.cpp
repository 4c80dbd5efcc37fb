// RecordingFile: a recording opened whole or salvaged, with its frame index, description and channel
// summaries.
#include "recording/recording_file.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "recording/reader_checks.h"
#include "recording/salvage.h"

namespace qmv {

using namespace format;

RecordingDescription describeRecording(const SystemInfo& info, uint16_t firstTime, uint16_t lastTime) {
  RecordingDescription text;
  text.systemName = info.systemName;
  text.version = fmt::format("{}.{}.{}", info.versionMajor, info.versionMinor, info.versionBuild);
  const auto& mac = info.macAddress;
  text.macAddress = fmt::format("{:02X}-{:02X}-{:02X}-{:02X}-{:02X}-{:02X}", mac[0], mac[1], mac[2], mac[3],
                                mac[4], mac[5]);
  text.languageVideo = fmt::format("{:02X}, {}", info.languageCode, info.videoStandard == 0 ? "PAL" : "NTSC");
  // Both ends start from the header's hour; the index gives seconds from it, which may run past the hour
  // (3609 is one hour and nine seconds on, never "60:09"), as the subtitles count them.
  const auto clock = [&](uint32_t seconds) {
    return fmt::format("{:02d}:{:02d}:{:02d}", (info.hour + seconds / 3600) % 24, seconds / 60 % 60,
                       seconds % 60);
  };
  text.recordedTime = fmt::format("{:04d}.{:02d}.{:02d} {} ~ {}", info.year, info.month, info.day,
                                  clock(firstTime), clock(lastTime));
  return text;
}

RecordingFile::RecordingFile(std::unique_ptr<ByteSource> source, RecordingIndex index)
    : source_(std::move(source)), index_(std::move(index)) {
  if (index_.entryCount > 0) {
    firstTime_ = index_.entries[0].time;
    lastTime_ = index_.entries[index_.entryCount - 1].time;
  }
  description_ = describeRecording(index_.info, firstTime_, lastTime_);
  if (!index_.headerKnown) {
    RecordingDescription& d = description_;
    d.systemName = d.version = d.macAddress = d.languageVideo = "unknown";
    // Minutes and seconds come from the index; the date and the hour only from the header.
    d.recordedTime = fmt::format("unknown date and hour, minutes {:02d}:{:02d} ~ {:02d}:{:02d}",
                                 firstTime_ / 60, firstTime_ % 60, lastTime_ / 60, lastTime_ % 60);
  }
  summarize();
}

const std::string& RecordingFile::path() const {
  static const std::string none;
  return source_ ? source_->name() : none;
}

void RecordingFile::close() { *this = RecordingFile(); }

Status RecordingFile::openWith(std::unique_ptr<ByteSource> source,
                               Result<RecordingIndex> (*read)(ByteSource&)) {
  if (!source) return Error{kCannotOpen, "no file to read"};
  // Read aside and moved in only when everything checks out, so a rejected file leaves the current
  // recording as it was.
  auto index = read(*source);
  if (!index) return index.error();
  *this = RecordingFile(std::move(source), std::move(index).value());
  return okStatus();
}

namespace {

// The first bytes of a source, as a source of their own: what a refusal probes with salvage.
class PrefixSource : public ByteSource {
 public:
  PrefixSource(ByteSource& whole, uint64_t size) : whole_(whole), size_(std::min(size, whole.size())) {}
  uint64_t size() const override { return size_; }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= size_) return 0;
    return whole_.readAt(offset, destination, std::size_t(std::min<uint64_t>(count, size_ - offset)));
  }
  const std::string& name() const override { return whole_.name(); }
  bool copyFromView(uint64_t offset, void* destination, std::size_t count) override {
    return offset <= size_ && count <= size_ - offset && whole_.copyFromView(offset, destination, count);
  }

 private:
  ByteSource& whole_;
  uint64_t size_;
};

// Salvage looks at this much of a refused file to tell damage it can recover from the rest: a fraction of a
// second, however large the file claims to be.
constexpr uint64_t kProbeBytes = uint64_t(64) << 20;

// The reader's refusal, and whether salvage could do anything with the file: "try --salvage" is offered
// only where it recovers something, and a file that was never a recording is called that. Past the probe's
// reach nothing is ruled out, and the refusal stays as the reader gave it.
Result<RecordingIndex> readIndexOrExplain(ByteSource& source) {
  auto whole = readIndex(source);
  if (whole || !looksDamaged(whole.error())) return whole;
  PrefixSource probe(source, kProbeBytes);
  const auto salvaged = salvageIndex(probe);
  if (salvaged || probe.size() < source.size()) return whole.error();
  if (salvaged.error().code == kNotARecording) return salvaged.error();
  return Error{kNothingRecovered, "the file looks cut short or damaged: " + whole.error().message +
                                      "; salvage finds no intact video frame in it"};
}

}  // namespace

Status RecordingFile::open(std::unique_ptr<ByteSource> source) {
  return openWith(std::move(source), readIndexOrExplain);
}

Status RecordingFile::openSalvage(std::unique_ptr<ByteSource> source) {
  return openWith(std::move(source), salvageIndex);
}

Status RecordingFile::open(const std::string& path) {
  auto source = openFileSource(path);
  if (!source) return Error{kCannotOpen, source.error().message};
  return open(std::move(source).value());
}

Status RecordingFile::openSalvage(const std::string& path) {
  auto source = openFileSource(path);
  if (!source) return Error{kCannotOpen, source.error().message};
  return openSalvage(std::move(source).value());
}

void RecordingFile::summarize() {
  summaries_ = {};
  for (uint32_t k = 0; k < index_.entryCount; ++k) {
    const FrameIndexEntry& e = index_.entries[k];
    if (e.kind >= kChannelCount) continue;
    ChannelSummary& summary = summaries_[e.kind];
    if (summary.frames++ == 0) {
      summary.firstTime = summary.lastTime = e.time;
    } else {
      summary.firstTime = std::min(summary.firstTime, e.time);
      summary.lastTime = std::max(summary.lastTime, e.time);
    }
  }
}

RecordExtent RecordingFile::recordExtent(uint32_t k) const {
  RecordExtent extent;
  if (uint64_t(k) + 1 >= index_.entries.size()) {
    extent.problem = "it has no entry after it";
    return extent;
  }
  extent.offset = index_.entries[k].offset;
  const uint32_t next = index_.entries[k + 1].offset;
  if (next < extent.offset) {
    extent.problem = fmt::format("the next entry's offset 0x{:08X} lies before it", next);
    return extent;
  }
  const uint64_t size = uint64_t(next) - extent.offset;
  if (size > kMaxRecordBytes) {
    extent.problem = fmt::format("a record of {} bytes is beyond any recorder frame", size);
  } else if (uint64_t(extent.offset) + size > index_.recordingLength) {
    extent.problem =
        fmt::format("its {} bytes run past the recording's end at 0x{:X}", size, index_.recordingLength);
  } else {
    extent.size = size;
  }
  return extent;
}

bool RecordingFile::timeEstimated(uint32_t k) const {
  const SalvageReport* salvage = index_.salvage.get();
  return salvage != nullptr && k < salvage->found.size() && salvage->found[k] == Found::kWalked;
}

}  // namespace qmv
