// Repair of an AVI file whose writing failed part-way: cut after the last whole chunk, index, header counts.
#include "output/avi/avi_repair.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "output/avi/avi_layout.h"
#include "recording/file_descriptor.h"
#include "recording/utf8_path.h"

namespace qmv {
namespace {

constexpr int kIndexAttempts = 4;
constexpr std::size_t kMaxStreams = 99;  // chunk ids hold the stream number in two digits

// The file being repaired, read through the descriptor that also writes it.
class DescriptorSource final : public ByteSource {
 public:
  DescriptorSource(int fd, uint64_t size, std::string name) : fd_(fd), size_(size), name_(std::move(name)) {}
  uint64_t size() const override { return size_; }
  const std::string& name() const override { return name_; }
  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    return readFully(fd_, destination, count, offset).bytes;
  }

 private:
  int fd_;
  uint64_t size_;
  std::string name_;
};

struct StreamFacts {
  uint64_t strh = 0;  // its data
  bool video = false;
  uint32_t sampleSize = 0;
};

struct RepairLayout {
  uint64_t avih = 0;  // its data
  uint32_t avihFlags = 0;
  std::vector<StreamFacts> streams;
  avi::Chunk movi;
};

// What the repair needs of the header: nothing when the file holds no complete header.
std::optional<RepairLayout> repairLayout(ByteSource& file) {
  const std::optional<avi::Layout> layout = avi::readLayout(file);
  if (!layout || layout->riff.listType != MKTAG('A', 'V', 'I', ' ') || !layout->avih || !layout->movi) {
    return std::nullopt;
  }
  RepairLayout r;
  r.movi = *layout->movi;
  const std::vector<uint8_t> avih = avi::readData(file, *layout->avih, avi::kAvihBytes);
  if (avih.size() < avi::kAvihBytes) return std::nullopt;
  r.avih = layout->avih->data();
  r.avihFlags = AV_RL32(&avih[avi::kAvihFlags]);
  for (const avi::Layout::Stream& s : layout->streams) {
    if (!s.strh) return std::nullopt;
    const std::vector<uint8_t> strh = avi::readData(file, *s.strh, avi::kStrhBytes);
    if (strh.size() < avi::kStrhBytes) return std::nullopt;
    r.streams.push_back(StreamFacts{s.strh->data(),
                                    AV_RL32(&strh[avi::kStrhType]) == MKTAG('v', 'i', 'd', 's'),
                                    AV_RL32(&strh[avi::kStrhSampleSize])});
  }
  if (r.streams.empty() || r.streams.size() > kMaxStreams || r.movi.data() + 4 > file.size())
    return std::nullopt;
  return r;
}

struct DataChunk {
  uint64_t offset = 0;
  uint64_t end = 0;  // past its pad byte
  uint32_t id = 0;
  uint32_t size = 0;
  uint8_t stream = 0;
};

// The complete data chunks ("NNdc", "NNwb", ...) from the start of movi's data up to the file's end.
std::vector<DataChunk> completeChunks(ByteSource& file, const RepairLayout& layout) {
  std::vector<DataChunk> chunks;
  avi::forEachChunk(file, layout.movi.data() + 4, file.size(), [&](const avi::Chunk& c) {
    const int stream = avi::streamOfChunk(c.id);
    // idx1, an OpenDML index, or bytes that never landed end the data.
    if (stream < 0 || std::size_t(stream) >= layout.streams.size() || c.end() > file.size()) return false;
    chunks.push_back(DataChunk{c.offset, c.end(), c.id, c.size, uint8_t(stream)});
    return true;
  });
  return chunks;
}

}  // namespace

AviRepair repairAvi(const std::string& path, const std::vector<PacketNote>& notes, int videoStream) {
  AviRepair repair;
  const FileDescriptor fd(openForUpdate(path));
  if (fd.get() < 0) {
    repair.problem = std::string("it could not be reopened: ") + std::strerror(errno);
    return repair;
  }
  const Result<DescriptorFacts> facts = describeDescriptor(fd.get());
  if (!facts) {
    repair.problem = "it could not be reopened: " + facts.error().message;
    return repair;
  }
  DescriptorSource file(fd.get(), facts.value().size, path);
  const std::optional<RepairLayout> layout = repairLayout(file);
  if (!layout) {
    std::error_code ec;
    repair.removed = std::filesystem::remove(pathFromUtf8(path), ec);
    if (!repair.removed) repair.problem = "it holds no complete header";
    return repair;
  }
  const std::vector<DataChunk> chunks = completeChunks(file, *layout);

  // Each chunk gets its flag from the packet written in its place.
  std::vector<bool> key(chunks.size()), counted(chunks.size());
  for (std::size_t i = 0, n = 0; i < chunks.size(); ++i) {
    if (n < notes.size() && notes[n].stream == chunks[i].stream && notes[n].size == chunks[i].size) {
      key[i] = notes[n].key;
      counted[i] = notes[n].counted;
      ++n;
    }
  }
  const uint64_t moviType = layout->movi.data();
  const uint64_t dataStart = moviType + 4;
  auto cutAfter = [&](std::size_t keep) { return keep > 0 ? chunks[keep - 1].end : dataStart; };

  // The index goes right after the last chunk kept. Where the space ends before it is complete,
  // fewer chunks are kept, so that they and their index fit.
  std::size_t keep = chunks.size();
  bool indexed = false;
  std::vector<uint8_t> index;
  for (int attempt = 0; attempt < kIndexAttempts && !indexed; ++attempt) {
    const uint64_t cut = cutAfter(keep);
    index.assign(8 + avi::kIndexEntryBytes * keep, 0);
    AV_WL32(&index[0], MKTAG('i', 'd', 'x', '1'));
    AV_WL32(&index[4], uint32_t(avi::kIndexEntryBytes * keep));
    for (std::size_t i = 0; i < keep; ++i) {
      uint8_t* e = &index[8 + avi::kIndexEntryBytes * i];
      AV_WL32(e, chunks[i].id);
      AV_WL32(e + 4, key[i] ? avi::kIndexKeyFrame : 0);
      AV_WL32(e + 8, uint32_t(chunks[i].offset - moviType));  // offsets count from the 'movi' type
      AV_WL32(e + 12, chunks[i].size);
    }
    const std::size_t written = writeFully(fd.get(), index.data(), index.size(), cut).bytes;
    if (written == index.size()) {
      indexed = true;
      break;
    }
    const uint64_t limit = cut + written;
    std::size_t fit = keep;
    while (fit > 0 && cutAfter(fit) + 8 + avi::kIndexEntryBytes * fit > limit) --fit;
    if (fit == keep || fit == 0) break;
    keep = fit;
  }
  if (!indexed) keep = chunks.size();  // without an index, keep every frame that landed
  const uint64_t cut = cutAfter(keep);
  const uint64_t end = indexed ? cut + index.size() : cut;
  if (const int cut = truncateDescriptor(fd.get(), end); cut != 0)
    repair.problem = std::string("it could not be cut: ") + std::strerror(cut);

  // The header fields the trailer would have written.
  const std::vector<StreamFacts>& streams = layout->streams;
  std::vector<uint64_t> count(streams.size()), bytes(streams.size());
  for (std::size_t i = 0; i < keep; ++i) {
    ++count[chunks[i].stream];
    bytes[chunks[i].stream] += chunks[i].size;
    if (chunks[i].stream == videoStream && counted[i]) {
      ++repair.frames;
      if (key[i]) ++repair.keyFrames;
    }
  }
  uint64_t totalFrames = 0;
  std::vector<std::pair<uint64_t, uint32_t>> fields;
  for (std::size_t n = 0; n < streams.size(); ++n) {
    const bool bySize = !streams[n].video && streams[n].sampleSize > 0;
    const uint64_t length = bySize ? bytes[n] / streams[n].sampleSize : count[n];
    fields.emplace_back(streams[n].strh + avi::kStrhLength, uint32_t(length));
    if (bySize) repair.audioSamples += length;
    if (streams[n].video) totalFrames = std::max(totalFrames, count[n]);
    if (int(n) == videoStream) repair.videoSamples = count[n];
  }
  const uint32_t flags =
      indexed ? (layout->avihFlags | avi::kAvifHasIndex) : (layout->avihFlags & ~avi::kAvifHasIndex);
  fields.emplace_back(4, uint32_t(std::min<uint64_t>(end - 8, UINT32_MAX)));
  fields.emplace_back(layout->movi.offset + 4, uint32_t(std::min<uint64_t>(cut - moviType, UINT32_MAX)));
  fields.emplace_back(layout->avih + avi::kAvihFlags, flags);
  fields.emplace_back(layout->avih + avi::kAvihTotalFrames, uint32_t(totalFrames));
  for (const auto& [at, value] : fields) {
    uint8_t field[4];
    AV_WL32(field, value);
    const Transfer put = writeFully(fd.get(), field, 4, at);
    if (put.bytes != 4) repair.unfinished = true;
    if (put.bytes != 4 && repair.problem.empty()) {
      repair.problem = std::string("its header could not be updated: ") +
                       std::strerror(put.error != 0 ? put.error : ENOSPC);
    }
  }
  if (!indexed && repair.problem.empty()) repair.problem = "there was no room left for its index";
  repair.repaired = true;
  return repair;
}

}  // namespace qmv
