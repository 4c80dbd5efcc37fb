// The chunks of an AVI file: one RIFF chunk walker, and where the headers, the data and the index lie.
#include "output/avi/avi_layout.h"

#include <algorithm>

namespace qmv::avi {

void forEachChunk(ByteSource& file, uint64_t begin, uint64_t end,
                  const std::function<bool(const Chunk&)>& visit) {
  end = std::min(end, file.size());
  uint64_t pos = begin;
  while (pos + 8 <= end) {
    uint8_t head[12];
    if (!file.readExact(pos, head, 8)) return;
    Chunk chunk{pos, AV_RL32(head), AV_RL32(head + 4), 0};
    const bool list = chunk.id == MKTAG('L', 'I', 'S', 'T') || chunk.id == MKTAG('R', 'I', 'F', 'F');
    // The type is read whatever the size says: a file whose writing failed has 0 in its RIFF and movi sizes.
    if (list && pos + 12 <= end && file.readExact(pos + 8, head + 8, 4)) chunk.listType = AV_RL32(head + 8);
    if (!visit(chunk)) return;
    pos = chunk.end();
  }
}

std::vector<uint8_t> readData(ByteSource& file, const Chunk& chunk, std::size_t count) {
  const uint64_t available = chunk.data() < file.size() ? file.size() - chunk.data() : 0;
  std::vector<uint8_t> bytes(std::size_t(std::min<uint64_t>({count, chunk.size, available})));
  if (!file.readExact(chunk.data(), bytes.data(), bytes.size())) bytes.clear();
  return bytes;
}

std::optional<Layout> readLayout(ByteSource& file) {
  std::optional<Layout> layout;
  forEachChunk(file, 0, 12, [&](const Chunk& riff) {
    if (riff.id == MKTAG('R', 'I', 'F', 'F')) layout = Layout{riff, {}, {}, {}, {}};
    return false;
  });
  if (!layout) return std::nullopt;
  const uint64_t riffEnd = layout->riff.size >= 4 ? layout->riff.end() : file.size();
  auto within = [](const Chunk& c) { return c.data() + c.size; };
  forEachChunk(file, 12, riffEnd, [&](const Chunk& top) {
    if (top.isList(MKTAG('h', 'd', 'r', 'l')) && !layout->avih) {
      forEachChunk(file, top.data() + 4, within(top), [&](const Chunk& h) {
        if (h.id == MKTAG('a', 'v', 'i', 'h')) layout->avih = h;
        if (h.isList(MKTAG('s', 't', 'r', 'l'))) {
          Layout::Stream& stream = layout->streams.emplace_back();
          forEachChunk(file, h.data() + 4, within(h), [&](const Chunk& s) {
            if (s.id == MKTAG('s', 't', 'r', 'h') && !stream.strh) stream.strh = s;
            if (s.id == MKTAG('s', 't', 'r', 'f') && !stream.strf) stream.strf = s;
            return true;
          });
        }
        return true;
      });
    } else if (top.isList(MKTAG('m', 'o', 'v', 'i')) && !layout->movi) {
      layout->movi = top;
      // The muxer writes list sizes last: after a failed write movi's is 0 and nothing behind it is known.
      return top.size >= 4;
    } else if (top.id == MKTAG('i', 'd', 'x', '1') && !layout->idx1) {
      layout->idx1 = top;
    }
    return true;
  });
  return layout;
}

int streamOfChunk(uint32_t id) {
  const int d0 = int(id & 0xFF) - '0', d1 = int((id >> 8) & 0xFF) - '0';
  if (d0 < 0 || d0 > 9 || d1 < 0 || d1 > 9) return -1;
  return d0 * 10 + d1;
}

}  // namespace qmv::avi
