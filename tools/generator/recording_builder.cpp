// Writes a scenario as the recorder lays it out: header, records, index blocks, optional executable wrapper.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "tools/generator/prng.h"
#include "tools/generator/recording_generator.h"

namespace qmv::gen {

using namespace qmv::format;

namespace {

bool validAudioNibble(uint8_t nibble) {
  return nibble >= 8 && nibble <= 15 && nibble != 0xB && nibble != 0xD;
}

void padToWords(std::vector<uint8_t>& bytes) {
  while (bytes.size() % 4 != 0) bytes.push_back(0);
}

// The record as stored: 12-byte head, payload, slack words.
std::vector<uint8_t> recordBytes(const Record& record, const HeaderFields& header, uint32_t fillerSeed) {
  std::vector<uint8_t> payload;
  uint8_t source = uint8_t(record.channel);
  uint8_t frameType = record.frameType;
  uint8_t formatCode = 0;
  uint8_t padWords = 0;
  switch (record.type) {
    case Record::Type::Video:
      payload = storeVideoPayload(record.data, record.padWords, fillerSeed);
      formatCode = record.formatCode;
      padWords = record.padWords;
      break;
    case Record::Type::Audio:
      payload = storeAudioPayload(record.data, header.audioFormat, header.modelCode);
      source = record.source;
      frameType = kFrameTypeAudio;
      break;
    case Record::Type::Aux:
    case Record::Type::AuxChannel:
      payload = record.data;
      padToWords(payload);
      break;
  }
  const uint32_t payloadWords = uint32_t(payload.size() / 4);
  std::vector<uint8_t> out(kRecordHeadSize + payload.size() + 4 * std::size_t(record.slackWords), 0);
  out[kRecSource] = source;
  out[kRecFrameType] = frameType;
  writeBe16(&out[kRecWordCount],
            record.wordCountOverride ? *record.wordCountOverride : uint16_t(payloadWords));
  out[kRecFormatCode] = formatCode;
  out[kRecPadWords] = padWords;
  if (!payload.empty()) std::memcpy(&out[kRecordHeadSize], payload.data(), payload.size());
  // Slack is filler the recorder left behind; non-zero so that reading it as payload shows.
  Prng prng(fillerSeed ^ 0x5151u);
  for (std::size_t i = kRecordHeadSize + payload.size(); i < out.size(); ++i)
    out[i] = uint8_t(prng.byte() | 0x01);
  return out;
}

std::vector<uint8_t> wrapperPrefix(const ExecutableWrapper& wrapper) {
  const uint32_t size =
      wrapper.prefixSize < kWrapperProbeSize ? uint32_t(kWrapperProbeSize) : wrapper.prefixSize;
  std::vector<uint8_t> prefix(size);
  Prng prng(size + 77);
  for (auto& b : prefix) b = prng.byte();
  const uint8_t* magic = wrapper.zmMagic ? kExeMagicZm : kExeMagicMz;
  prefix[0] = magic[0];
  prefix[1] = magic[1];
  if (wrapper.withMarker) {
    writeLe32(&prefix[kWrapperMarkerOffset], kWrapperMarker);
    writeLe32(&prefix[kWrapperStartOffset], size);
    writeLe32(&prefix[kWrapperTrailingOffset], wrapper.trailingSize);
  } else {
    writeLe32(&prefix[kWrapperMarkerOffset],
              wrapper.storedStartOverride ? *wrapper.storedStartOverride : size);
  }
  return prefix;
}

using Emit = std::function<bool(const uint8_t*, std::size_t)>;

bool emitRecording(const Scenario& scenario, Layout& layout, const Emit& emit) {
  layout = Layout{};
  auto put = [&](const std::vector<uint8_t>& bytes) {
    return bytes.empty() || emit(bytes.data(), bytes.size());
  };

  if (scenario.wrapper) {
    const auto prefix = wrapperPrefix(*scenario.wrapper);
    layout.recordingStart = uint32_t(prefix.size());
    if (scenario.wrapper->withMarker) layout.trailingSize = scenario.wrapper->trailingSize;
    if (!put(prefix)) return false;
  }

  if (!put(buildHeader(scenario.header))) return false;
  uint64_t position = kHeaderSize;
  uint32_t previousBlock = kFirstBlockLink;
  uint32_t entryEnd = 0;
  uint32_t recordNumber = 0;
  // Positions are 32-bit offsets from the recording's start: nothing may begin past 4 GiB.
  const auto positionFits = [&] {
    layout.tooLarge = position > UINT32_MAX;
    return !layout.tooLarge;
  };
  for (const Block& block : scenario.blocks) {
    std::vector<uint8_t> items;
    items.reserve(4 * (block.records.size() + 1));
    for (const Record& record : block.records) {
      const auto bytes = recordBytes(record, scenario.header, ++recordNumber);
      if (!positionFits()) return false;
      layout.recordPositions.push_back(uint32_t(position));
      position += bytes.size();
      if (!put(bytes)) return false;
      const uint8_t item[4] = {record.itemCode(), record.timeDelta, 0, 0};
      items.insert(items.end(), item, item + 4);
      writeBe16(&items[items.size() - 2], uint16_t(bytes.size() / 4));
    }
    const uint32_t itemCount = uint32_t(block.records.size() + 1);
    entryEnd += itemCount;
    std::vector<uint8_t> head(kBlockHeadSize + items.size() + kItemSize, 0);
    writeBe32(&head[kBlockPrevOffset], previousBlock);
    writeBe32(&head[kBlockItemCountOffset], itemCount);
    writeBe32(&head[kBlockEntryEndOffset], entryEnd);
    writeBe32(&head[kBlockBaseTimeOffset], block.baseTime);
    if (!items.empty()) std::memcpy(&head[kBlockHeadSize], items.data(), items.size());
    uint8_t* terminator = &head[head.size() - kItemSize];
    terminator[0] = kTerminatorMark;
    terminator[1] = kTerminatorMark;
    writeBe16(terminator + 2, uint16_t(itemCount + kTerminatorExtraWords));
    if (!positionFits()) return false;
    layout.blockPositions.push_back(uint32_t(position));
    previousBlock = uint32_t(position);
    position += head.size();
    if (!put(head)) return false;
  }
  layout.recordingLength = position;
  layout.entryCount = entryEnd;

  if (layout.trailingSize > 0) {
    std::vector<uint8_t> trailing(layout.trailingSize);
    Prng prng(layout.trailingSize + 99);
    for (auto& b : trailing) b = prng.byte();
    if (!put(trailing)) return false;
  }
  return true;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

uint8_t Record::itemCode() const {
  const uint8_t c = uint8_t(channel & 0x0F);
  switch (type) {
    case Type::Video:
      return uint8_t(((flagNibble & 0x7) << 4) | c);
    case Type::Audio:
      return uint8_t(((validAudioNibble(flagNibble) ? flagNibble : 8) << 4) | c);
    case Type::AuxChannel:
      return uint8_t(kCodeAuxChannel | c);
    case Type::Aux:
      return uint8_t(kCodeAux | c);
  }
  return c;
}

std::vector<uint8_t> buildHeader(const HeaderFields& h) {
  std::vector<uint8_t> out(kHeaderSize, 0);
  out[kHdrModelCode] = h.modelCode;
  out[kHdrAudioFormat] = uint8_t((h.audioFormat & 0x0F) << 4);
  out[kHdrVersionBuild] = h.versionBuild;
  out[kHdrVersionMajorMinor] = uint8_t(((h.versionMajor & 0x0F) << 4) | (h.versionMinor & 0x0F));
  std::memcpy(&out[kHdrMacTail], h.macTail.data(), 3);
  std::memcpy(&out[kHdrSystemName], h.systemName.data(), std::min(h.systemName.size(), kSystemNameSize));
  out[kHdrVideoStandard] = h.videoStandard ? kVideoStandardBit : 0;
  std::memcpy(&out[kHdrChannelRate], h.channelRate.data(), kChannelCount);
  std::memcpy(&out[kHdrAudioSource], h.audioSource.data(), kChannelCount);
  out[kHdrYear] = uint8_t(h.year - kYearBase);
  out[kHdrMonth] = h.month;
  out[kHdrDay] = h.day;
  out[kHdrHour] = h.hour;
  out[kHdrLanguageCode] = h.languageCode;
  return out;
}

std::vector<uint8_t> storeVideoPayload(const std::vector<uint8_t>& stream, uint8_t padWords, uint32_t seed) {
  std::vector<uint8_t> out(stream);
  padToWords(out);
  for (std::size_t i = 0; i < out.size(); i += 4) {
    std::swap(out[i], out[i + 3]);
    std::swap(out[i + 1], out[i + 2]);
  }
  // Filler words are stored as they are; no zero bytes, so filler that leaks into a stream shows.
  Prng prng(seed);
  for (std::size_t i = 0; i < 4u * padWords; ++i) {
    const uint8_t b = prng.byte();
    out.push_back(b == 0 ? 0xA5 : b);
  }
  return out;
}

std::vector<uint8_t> storeAudioPayload(const std::vector<uint8_t>& coded, uint8_t audioFormat,
                                       uint8_t modelCode) {
  std::vector<uint8_t> out(coded);
  padToWords(out);
  for (std::size_t i = 0; i < out.size(); i += 4) {
    if (audioFormat != kAudioFormatIma) {
      std::swap(out[i], out[i + 2]);
      std::swap(out[i + 1], out[i + 3]);
    } else if (modelCode < kModelCodeAudioAsCoded) {
      std::swap(out[i], out[i + 3]);
      std::swap(out[i + 1], out[i + 2]);
    }
  }
  return out;
}

std::optional<std::pair<int, int>> codedSizeForFormat(uint8_t formatCode) {
  switch (formatCode) {
    case 2:
      return std::pair{352, 288};
    case 3:
      return std::pair{704, 288};
    case 4:
      return std::pair{704, 576};
    case 18:
      return std::pair{352, 240};
    case 19:
      return std::pair{704, 240};
    case 20:
      return std::pair{704, 480};
    default:
      return std::nullopt;
  }
}

GeneratedRecording buildRecording(const Scenario& scenario) {
  GeneratedRecording out;
  emitRecording(scenario, out.layout, [&](const uint8_t* data, std::size_t size) {
    out.bytes.insert(out.bytes.end(), data, data + size);
    return true;
  });
  return out;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  return std::fclose(file.release()) == 0;
}

bool writeRecordingFile(const Scenario& scenario, const std::string& path, Layout* layout) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  Layout local;
  const bool written = emitRecording(
      scenario, layout ? *layout : local,
      [&](const uint8_t* data, std::size_t size) { return std::fwrite(data, 1, size, file.get()) == size; });
  return std::fclose(file.release()) == 0 && written;
}

}  // namespace qmv::gen
