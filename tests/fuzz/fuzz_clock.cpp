// Fuzz target: the recorded clock as a sender may set it. The input chooses rate bytes, records' kinds and
// 16-bit times, the container and the gap limit; the recording is laid from them, opened (salvaged when it
// is refused) and converted on the recorded clock. The files may never hold more than the clock's rules
// allow: the rules' span at the highest rate, plus a fixed share per byte of the recording.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/byte_source.h"
#include "recording/clock_rules.h"
#include "recording/recording_file.h"
#include "tests/fuzz/output_dir.h"
#include "tools/generator/recording_generator.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// Record kinds an input byte picks from (modulo).
enum Kind : uint8_t { kKey0, kFrame0, kKey1, kFrame1, kSound, kAux, kKinds };

constexpr std::size_t kHeadBytes = 5;    // rate bytes of CH-01 and CH-02, audio, container, gap limit
constexpr std::size_t kRecordBytes = 3;  // kind, time (big-endian)
constexpr std::size_t kMaxRecords = 4096;

qmv::gen::Record record(uint8_t kind) {
  qmv::gen::Record r;
  switch (kind % kKinds) {
    case kKey0:
    case kFrame0:
    case kKey1:
    case kFrame1:
      r.type = qmv::gen::Record::Type::Video;
      r.channel = (kind % kKinds) / 2;
      r.frameType = (kind % kKinds) % 2 == 0 ? 0x10 : 0x20;
      r.data = {0x00, 0x00, 0x01, 0xB6, 0x10, 0x20, 0x30, kind};
      break;
    case kSound:
      r.type = qmv::gen::Record::Type::Audio;
      r.flagNibble = 8;
      r.data.assign(40, kind);
      break;
    default:
      r.type = qmv::gen::Record::Type::Aux;
      r.data.assign(8, kind);
  }
  return r;
}

const qmv::fuzz::OutputDir& outputDir() {
  static const qmv::fuzz::OutputDir dir("fuzz-clock");
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kHeadBytes) return 0;
  qmv::gen::Scenario scenario;
  scenario.header.channelRate[0] = data[0];
  scenario.header.channelRate[1] = data[1];
  if ((data[2] & 1) != 0) scenario.header.audioSource[0] = 0;
  if ((data[2] & 2) != 0) scenario.header.audioSource[1] = 0;
  // Records in input order, each in a block of its own: the block's base time is the record's time.
  for (std::size_t at = kHeadBytes; at + kRecordBytes <= size && scenario.blocks.size() < kMaxRecords;
       at += kRecordBytes) {
    qmv::gen::Block block;
    block.baseTime = uint32_t(data[at + 1]) << 8 | data[at + 2];
    block.records.push_back(record(data[at]));
    scenario.blocks.push_back(std::move(block));
  }
  if (scenario.blocks.empty()) return 0;
  const qmv::gen::GeneratedRecording laid = qmv::gen::buildRecording(scenario);

  qmv::RecordingFile recording;
  if (!recording.open(qmv::makeMemorySource(laid.bytes, "fuzz")).ok() &&
      !recording.openSalvage(qmv::makeMemorySource(laid.bytes, "fuzz")).ok())
    return 0;
  // Whatever opened keeps the rules.
  uint16_t earliest = UINT16_MAX, latest = 0;
  for (uint32_t k = 0; k < recording.entryCount(); ++k) {
    const uint16_t time = recording.entries()[k].time;
    require(time <= qmv::kLatestTime);
    earliest = std::min(earliest, time);
    latest = std::max(latest, time);
  }

  qmv::ConversionContext context;
  qmv::ConversionSettings& settings = context.settings;
  settings.selectedChannels = 0x3;
  settings.videoMode = qmv::VideoMode::kPassThrough;
  settings.timing = qmv::Timing::kRecorded;
  settings.container = data[3] % 3 == 0   ? qmv::Container::kAvi
                       : data[3] % 3 == 1 ? qmv::Container::kMkv
                                          : qmv::Container::kMp4;
  // AAC encodes every second of a pause's silence: over the rules' whole span that takes longer than an
  // input may (under the sanitizers), so MP4 gets the recordings of up to two minutes.
  if (settings.container == qmv::Container::kMp4 && latest > earliest + 120)
    settings.container = qmv::Container::kMkv;
  settings.maxGapSeconds = data[4] % 2 == 0 ? 0 : data[4] / 2u;
  settings.destinationDir = outputDir().path().string() + "/";
  settings.baseName = "fuzz";
  const std::atomic<bool> stop{false};
  context.stop = &stop;
  const qmv::ConversionReport report = qmv::runConversion(recording, context);
  const uint64_t written = outputDir().clear();

  // Per file: the span the rules allow, each second with its audio (8000 16-bit samples) and
  // kMaxFramesPerSecond positions (an AVI's empty chunk and index entry: 24 bytes); per recording byte a
  // fixed share (its frames, copied, with their chunk heads and cues).
  constexpr uint64_t kPerSecond = 8000 * 2 + qmv::kMaxFramesPerSecond * 24;
  constexpr uint64_t kPerFile = (uint64_t(qmv::kLatestTime) + 1) * kPerSecond + (uint64_t(1) << 20);
  require(written <= report.files.size() * kPerFile + 64 * laid.bytes.size());
  for (const qmv::OutputFileReport& file : report.files) {
    require(file.rate.num <= qmv::kMaxFramesPerSecond * file.rate.den);
    require(file.positions <= (uint64_t(qmv::kLatestTime) + 1) * qmv::kMaxFramesPerSecond + file.frames);
  }
  return 0;
}
