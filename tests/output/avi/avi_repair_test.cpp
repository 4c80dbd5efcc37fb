// The RIFF chunk walker on hand-laid bytes, and the repair of AVI files whose writing stopped part-way.
#include "output/avi/avi_repair.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "output/avi/avi_layout.h"
#include "output/media_writer.h"
#include "recording/byte_source.h"
#include "support/avi_probe.h"
#include "support/generated_records.h"
#include "support/test_files.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

void appendChunk(std::vector<uint8_t>& bytes, const char* id, const std::vector<uint8_t>& data,
                 uint32_t size) {
  bytes.insert(bytes.end(), id, id + 4);
  for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(size >> (8 * i)));
  bytes.insert(bytes.end(), data.begin(), data.end());
}

std::vector<uint8_t> withPad(std::vector<uint8_t> data) {
  if (data.size() % 2) data.push_back(0);
  return data;
}

struct Seen {
  uint64_t offset;
  uint32_t id, size, listType;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> walk(ByteSource& file, uint64_t begin, uint64_t end) {
  std::vector<Seen> seen;
  avi::forEachChunk(file, begin, end, [&](const avi::Chunk& c) {
    seen.push_back(Seen{c.offset, c.id, c.size, c.listType});
    return true;
  });
  return seen;
}

// Odd sizes skip their pad byte, lists report their type, and a chunk that claims more than the file
// holds is reported once and ends the walk.
TEST(AviRepairTest, ChunkWalkerFollowsPaddingListsAndTruncation) {
  std::vector<uint8_t> strl = {'s', 't', 'r', 'l'};
  appendChunk(strl, "strh", withPad({7}), 1);
  std::vector<uint8_t> bytes;
  appendChunk(bytes, "odd ", withPad({1, 2, 3}), 3);        // at 0, next at 12
  appendChunk(bytes, "LIST", strl, uint32_t(strl.size()));  // at 12, list data 14 bytes
  appendChunk(bytes, "cut ", {1, 2, 3, 4}, 100);            // at 34: 96 bytes never landed
  const auto file = makeMemorySource(bytes);
  const uint32_t strlTag = MKTAG('s', 't', 'r', 'l');

  EXPECT_EQ(walk(*file, 0, bytes.size()), (std::vector<Seen>{{0, MKTAG('o', 'd', 'd', ' '), 3, 0},
                                                             {12, MKTAG('L', 'I', 'S', 'T'), 14, strlTag},
                                                             {34, MKTAG('c', 'u', 't', ' '), 100, 0}}));
  // Inside the list, after its type.
  EXPECT_EQ(walk(*file, 24, 34), (std::vector<Seen>{{24, MKTAG('s', 't', 'r', 'h'), 1, 0}}));
  // A head that does not lie wholly before end is not read.
  EXPECT_EQ(walk(*file, 0, 19), (std::vector<Seen>{{0, MKTAG('o', 'd', 'd', ' '), 3, 0}}));
  EXPECT_EQ(avi::readData(*file, avi::Chunk{34, 0, 100, 0}, 1000), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(avi::streamOfChunk(MKTAG('0', '1', 'w', 'b')), 1);
  EXPECT_EQ(avi::streamOfChunk(MKTAG('i', 'x', '0', '0')), -1);
}

// An empty movi list (size 4, its type alone) is followed by the index; a movi size of 0, as a failed
// write leaves it, hides whatever follows.
TEST(AviRepairTest, LayoutFindsTheIndexBehindAnEmptyMoviOnly) {
  for (const uint32_t moviSize : {4u, 0u}) {
    SCOPED_TRACE(moviSize);
    std::vector<uint8_t> hdrl = {'h', 'd', 'r', 'l'};
    appendChunk(hdrl, "avih", std::vector<uint8_t>(avi::kAvihBytes), uint32_t(avi::kAvihBytes));
    std::vector<uint8_t> body = {'A', 'V', 'I', ' '};
    appendChunk(body, "LIST", hdrl, uint32_t(hdrl.size()));
    const uint64_t moviAt = 12 + body.size() - 4;
    appendChunk(body, "LIST", {'m', 'o', 'v', 'i'}, moviSize);
    appendChunk(body, "idx1", {}, 0);
    std::vector<uint8_t> bytes;
    appendChunk(bytes, "RIFF", body, uint32_t(body.size()));
    const auto file = makeMemorySource(bytes);

    const auto layout = avi::readLayout(*file);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->riff.listType, MKTAG('A', 'V', 'I', ' '));
    ASSERT_TRUE(layout->avih);
    ASSERT_TRUE(layout->movi);
    EXPECT_EQ(layout->movi->offset, moviAt);
    EXPECT_EQ(layout->idx1.has_value(), moviSize == 4);
  }
}

constexpr int kFrames = 8;
constexpr std::size_t kAudioBytes = 320;  // 160 samples

struct Written {
  std::vector<std::vector<uint8_t>> video;
  std::vector<PacketNote> notes;
};

// Video of odd and even sizes, a key frame every fourth, each followed by an audio chunk.
Written writeComplete(const std::string& path) {
  Written w;
  MediaWriter writer;
  MediaWriterParams p;
  p.fileName = path;
  p.width = 352;
  p.height = 288;
  p.rate = rateFromByte(120);
  p.withAudio = true;
  EXPECT_TRUE(writer.open(p));
  for (int i = 0; i < kFrames; ++i) {
    w.video.push_back(test::randomBytes(101 + 37 * std::size_t(i), uint32_t(i)));
    const bool key = i % 4 == 0;
    writer.writeRawVideo(w.video.back().data(), w.video.back().size(), key);
    w.notes.push_back(PacketNote{uint32_t(w.video.back().size()), 0, key, true});
    const std::vector<uint8_t> pcm = test::randomBytes(kAudioBytes, 100 + uint32_t(i));
    writer.writeAudio(pcm.data(), pcm.size());
    w.notes.push_back(PacketNote{uint32_t(kAudioBytes), 1, false, false});
  }
  EXPECT_TRUE(writer.finish());
  return w;
}

void putLe32(std::string& bytes, uint64_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[std::size_t(at) + std::size_t(i)] = char(value >> (8 * i));
}

// The file as a failed write leaves it: cut at cut, the index gone, the sizes and counts the trailer
// writes still 0, and no index flag.
void leaveAsFailed(const std::string& path, uint64_t cut) {
  auto source = openFileSource(path);
  ASSERT_TRUE(source);
  const auto layout = avi::readLayout(*source.value());
  ASSERT_TRUE(layout && layout->avih && layout->movi);
  std::string bytes = test::slurp(path).substr(0, std::size_t(cut));
  auto zero = [&](uint64_t at) {
    if (at + 4 <= bytes.size()) putLe32(bytes, at, 0);
  };
  zero(4);
  zero(layout->movi->offset + 4);
  zero(layout->avih->data() + avi::kAvihFlags);
  zero(layout->avih->data() + avi::kAvihTotalFrames);
  for (const auto& s : layout->streams) zero(s.strh->data() + avi::kStrhLength);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Offsets of the video chunks in a complete file.
std::vector<avi::Chunk> videoChunks(const std::string& path) {
  auto source = openFileSource(path);
  if (!source) return {};
  ByteSource& file = *source.value();
  const auto layout = avi::readLayout(file);
  std::vector<avi::Chunk> chunks;
  avi::forEachChunk(file, layout->movi->data() + 4, layout->movi->end(), [&](const avi::Chunk& c) {
    if (avi::streamOfChunk(c.id) == 0) chunks.push_back(c);
    return true;
  });
  return chunks;
}

// Cut inside a chunk, at a chunk boundary, or inside the header: the repair keeps the whole chunks
// before the cut, indexes them with their key flags and fixes the counts; a file without a complete
// header is removed.
TEST(AviRepairTest, FailedFileIsCutIndexedAndCounted) {
  struct Case {
    const char* name;
    int framesKept;  // -1: the file is removed
    bool midChunk;   // cut inside video chunk framesKept, else at its start
  };
  const Case cases[] = {
      {"inside a chunk", 5, true}, {"at a chunk boundary", 3, false}, {"inside the header", -1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "avi-repair", c.name);
    const std::string path = dir + "cut.avi";
    const Written written = writeComplete(path);
    const std::vector<avi::Chunk> chunks = videoChunks(path);
    ASSERT_EQ(chunks.size(), std::size_t(kFrames));
    const uint64_t cut =
        c.framesKept < 0 ? 100 : chunks[std::size_t(c.framesKept)].offset + (c.midChunk ? 20 : 0);
    leaveAsFailed(path, cut);

    const AviRepair repair = repairAvi(path, written.notes, 0);
    EXPECT_TRUE(repair.problem.empty()) << repair.problem;
    if (c.framesKept < 0) {
      EXPECT_TRUE(repair.removed);
      EXPECT_FALSE(fs::exists(path));
      continue;
    }
    const auto kept = std::size_t(c.framesKept);
    EXPECT_TRUE(repair.repaired);
    EXPECT_EQ(repair.frames, kept);
    EXPECT_EQ(repair.keyFrames, (kept + 3) / 4);
    EXPECT_EQ(repair.audioSamples, kept * kAudioBytes / 2);

    const auto headers = test::readAviHeaders(path);
    ASSERT_TRUE(headers);
    EXPECT_TRUE(headers->hasIdx1);
    EXPECT_EQ(headers->riffCount, 1);
    EXPECT_EQ(headers->totalFrames, kept);
    ASSERT_EQ(headers->streams.size(), 2u);
    EXPECT_EQ(headers->streams[0].length, kept);
    EXPECT_EQ(headers->streams[1].length, kept * kAudioBytes / 2);
    const auto index = headers->indexOf(0);
    ASSERT_EQ(index.size(), kept);
    for (std::size_t i = 0; i < kept; ++i) EXPECT_EQ(index[i].key, i % 4 == 0) << i;

    const auto probed = test::probeMedia(path);
    ASSERT_TRUE(probed);
    const auto video = probed->packetsOf(0);
    ASSERT_EQ(video.size(), kept);
    for (std::size_t i = 0; i < kept; ++i) {
      EXPECT_EQ(video[i].crc, test::crc32Of(written.video[i].data(), written.video[i].size())) << i;
      EXPECT_EQ(video[i].key, i % 4 == 0) << i;
    }
  }
}

}  // namespace
}  // namespace qmv
