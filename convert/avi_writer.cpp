// AviWriter: one AVI output file (video pass-through or re-encoded, optional PCM audio) over libavformat.
#include "convert/avi_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>

#include "convert/caption_burner.h"
#include "convert/ffmpeg_handles.h"
#include "convert/picture_scaler.h"
#include "convert/video_encoder.h"
#include "recording/file_descriptor.h"

namespace qmv {

AviRate rateFromByte(uint8_t rateByte) {
  if (rateByte == 0) return AviRate{0, 1};
  const uint32_t g = std::gcd(uint32_t(rateByte), 4u);
  return AviRate{rateByte / g, 4u / g};
}

namespace {

constexpr int kAudioBitRate = kAudioSampleRate * 16;  // the muxer derives the byte rate from it
constexpr int kAudioBlockAlign = 2;                   // one 16-bit mono sample

std::string quoteName(const std::string& name) { return "'" + name + "'"; }

// Past this many bytes of output, the writer looks again whether its file is still where it was.
constexpr int64_t kPresenceCheckBytes = int64_t(8) << 20;

// The file as it was created; a later stat that differs means it was removed or replaced.
struct FileIdentity {
  bool known = false;  // false for a device such as /dev/null: nothing to check or repair
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return FileIdentity{true, st.st_dev, st.st_ino};
}

// One packet the muxer took, in file order: the repair gives each chunk back its key flag from it.
struct PacketNote {
  uint32_t size = 0;
  uint8_t stream = 0;
  bool key = false;
  bool counted = false;  // a recorded frame, not an empty chunk for a skipped position
};

// ---- Repair of a file whose writing failed part-way -------------------------------------------------
//
// After a failed write libavformat's file I/O writes nothing more, so its trailer cannot fix the header
// or add the index: the file ends with a partial chunk and header sizes of 0. The repair reads back what
// reached the disk, cuts the file after its last complete chunk, writes an idx1 for the chunks it keeps
// and patches the header fields the trailer would have set. OpenDML files are cut at the end of their
// first RIFF list.

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr std::size_t kMaxHeaderBytes = std::size_t(1) << 20;  // our header lists take a few KiB
constexpr std::size_t kAvihBytes = 56;
constexpr std::size_t kStrhBytes = 56;
constexpr std::size_t kAvihFlags = 12, kAvihTotalFrames = 16;
constexpr std::size_t kStrhType = 0, kStrhLength = 32, kStrhSampleSize = 44;
constexpr std::size_t kIndexEntryBytes = 16;
constexpr int kIndexAttempts = 4;

constexpr uint32_t tag(const char (&t)[5]) {
  return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
         uint32_t(uint8_t(t[3])) << 24;
}
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

std::size_t preadAll(int fd, uint8_t* out, std::size_t count, uint64_t at) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd, out + done, count - done, off_t(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += std::size_t(got);
  }
  return done;
}

// Bytes written before the first failure (count when all went).
std::size_t pwriteAll(int fd, const uint8_t* data, std::size_t count, uint64_t at) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t put = ::pwrite(fd, data + done, count - done, off_t(at + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += std::size_t(put);
  }
  return done;
}

struct AviLayout {
  uint64_t avih = 0;               // avih data
  std::vector<uint64_t> strh;      // each stream's strh data, in stream order
  std::vector<bool> video;
  std::vector<uint32_t> sampleSize;
  uint64_t movi = 0;               // the 'movi' type of the LIST that holds the chunks
};

// Chunks of the range [begin, end) of h, each given as (position, id, size of its data as far as it lies in h).
template <typename Visit>
void forEachChunk(const std::vector<uint8_t>& h, std::size_t begin, std::size_t end, Visit visit) {
  std::size_t pos = begin;
  while (pos + 8 <= end) {
    const uint32_t size = le32(&h[pos + 4]);
    if (!visit(pos, le32(&h[pos]), std::min<uint64_t>(size, end - pos - 8))) return;
    pos += 8 + uint64_t(size) + (size & 1);
  }
}

std::optional<AviLayout> parseLayout(const std::vector<uint8_t>& h) {
  if (h.size() < 12 || le32(&h[0]) != tag("RIFF") || le32(&h[8]) != tag("AVI ")) return std::nullopt;
  AviLayout layout;
  bool found = false;
  forEachChunk(h, 12, h.size(), [&](std::size_t pos, uint32_t id, uint64_t size) {
    if (id != tag("LIST") || size < 4) return true;
    const uint32_t type = le32(&h[pos + 8]);
    if (type == tag("movi")) {
      layout.movi = pos + 8;
      found = true;
      return false;
    }
    if (type != tag("hdrl")) return true;
    forEachChunk(h, pos + 12, pos + 8 + std::size_t(size), [&](std::size_t at, uint32_t inner, uint64_t innerSize) {
      if (inner == tag("avih") && innerSize >= kAvihBytes) layout.avih = at + 8;
      if (inner != tag("LIST") || innerSize < 4 || le32(&h[at + 8]) != tag("strl")) return true;
      forEachChunk(h, at + 12, at + 8 + std::size_t(innerSize), [&](std::size_t s, uint32_t sid, uint64_t ssize) {
        if (sid != tag("strh") || ssize < kStrhBytes) return true;
        layout.strh.push_back(s + 8);
        layout.video.push_back(le32(&h[s + 8 + kStrhType]) == tag("vids"));
        layout.sampleSize.push_back(le32(&h[s + 8 + kStrhSampleSize]));
        return false;
      });
      return true;
    });
    return true;
  });
  if (!found || layout.avih == 0 || layout.strh.empty() || layout.strh.size() > 99) return std::nullopt;
  return layout;
}

struct Chunk {
  uint64_t end = 0;  // past its pad byte
  uint32_t id = 0;
  uint32_t size = 0;
  uint8_t stream = 0;
};

// The complete data chunks ("NNdc", "NNwb", ...) from the start of movi's data up to fileSize.
std::vector<Chunk> completeChunks(int fd, const AviLayout& layout, uint64_t fileSize) {
  std::vector<Chunk> chunks;
  uint64_t pos = layout.movi + 4;
  uint8_t head[8];
  while (pos + 8 <= fileSize && preadAll(fd, head, 8, pos) == 8) {
    const bool digits = head[0] >= '0' && head[0] <= '9' && head[1] >= '0' && head[1] <= '9';
    const unsigned stream = unsigned(head[0] - '0') * 10 + unsigned(head[1] - '0');
    if (!digits || stream >= layout.strh.size()) break;  // idx1, an OpenDML index, or bytes that never landed
    const uint32_t size = le32(head + 4);
    const uint64_t end = pos + 8 + size + (size & 1);
    if (end > fileSize) break;
    chunks.push_back(Chunk{end, le32(head), size, uint8_t(stream)});
    pos = end;
  }
  return chunks;
}

struct Repair {
  bool repaired = false;  // the header now describes the chunks kept; frames and keyFrames count them
  bool removed = false;   // nothing playable had reached the file, so it is gone
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t audioSamples = 0;
  std::string problem;  // why the file could not be made complete
};

Repair repairAvi(const std::string& path, const std::vector<PacketNote>& notes, int videoStream) {
  Repair repair;
  const FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    repair.problem = std::string("it could not be reopened: ") + std::strerror(errno);
    return repair;
  }
  const uint64_t fileSize = uint64_t(std::max<off_t>(st.st_size, 0));
  std::vector<uint8_t> header(std::size_t(std::min<uint64_t>(fileSize, kMaxHeaderBytes)));
  header.resize(preadAll(fd.get(), header.data(), header.size(), 0));
  const std::optional<AviLayout> layout = parseLayout(header);
  if (!layout || layout->movi + 4 > fileSize) {
    std::error_code ec;
    repair.removed = std::filesystem::remove(path, ec);
    if (!repair.removed) repair.problem = "it holds no complete header";
    return repair;
  }
  const std::vector<Chunk> chunks = completeChunks(fd.get(), *layout, fileSize);

  // Each chunk gets its flag from the packet written in its place.
  std::vector<bool> key(chunks.size()), counted(chunks.size());
  for (std::size_t i = 0, n = 0; i < chunks.size(); ++i) {
    if (n < notes.size() && notes[n].stream == chunks[i].stream && notes[n].size == chunks[i].size) {
      key[i] = notes[n].key;
      counted[i] = notes[n].counted;
      ++n;
    }
  }
  const uint64_t dataStart = layout->movi + 4;
  auto cutAfter = [&](std::size_t keep) { return keep > 0 ? chunks[keep - 1].end : dataStart; };

  // The index goes right after the last chunk kept. Where the space ends before it is complete,
  // fewer chunks are kept, so that they and their index fit.
  std::size_t keep = chunks.size();
  bool indexed = false;
  std::vector<uint8_t> index;
  for (int attempt = 0; attempt < kIndexAttempts && !indexed; ++attempt) {
    const uint64_t cut = cutAfter(keep);
    index.assign(8 + kIndexEntryBytes * keep, 0);
    putLe32(&index[0], tag("idx1"));
    putLe32(&index[4], uint32_t(kIndexEntryBytes * keep));
    for (std::size_t i = 0; i < keep; ++i) {
      uint8_t* e = &index[8 + kIndexEntryBytes * i];
      const uint64_t chunkStart = chunks[i].end - 8 - chunks[i].size - (chunks[i].size & 1);
      putLe32(e, chunks[i].id);
      putLe32(e + 4, key[i] ? kAviifKeyFrame : 0);
      putLe32(e + 8, uint32_t(chunkStart - layout->movi));  // offsets count from the 'movi' type
      putLe32(e + 12, chunks[i].size);
    }
    const std::size_t written = pwriteAll(fd.get(), index.data(), index.size(), cut);
    if (written == index.size()) {
      indexed = true;
      break;
    }
    const uint64_t limit = cut + written;
    std::size_t fit = keep;
    while (fit > 0 && cutAfter(fit) + 8 + kIndexEntryBytes * fit > limit) --fit;
    if (fit == keep || fit == 0) break;
    keep = fit;
  }
  if (!indexed) keep = chunks.size();  // without an index, keep every frame that landed
  const uint64_t cut = cutAfter(keep);
  const uint64_t end = indexed ? cut + index.size() : cut;
  if (::ftruncate(fd.get(), off_t(end)) != 0) repair.problem = std::string("it could not be cut: ") + std::strerror(errno);

  // The header fields the trailer would have written.
  std::vector<uint64_t> count(layout->strh.size()), bytes(layout->strh.size());
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
  for (std::size_t n = 0; n < layout->strh.size(); ++n) {
    const bool bySize = !layout->video[n] && layout->sampleSize[n] > 0;
    fields.emplace_back(layout->strh[n] + kStrhLength, uint32_t(bySize ? bytes[n] / layout->sampleSize[n] : count[n]));
    if (bySize) repair.audioSamples += bytes[n] / layout->sampleSize[n];
    if (layout->video[n]) totalFrames = std::max(totalFrames, count[n]);
  }
  uint32_t flags = le32(&header[layout->avih + kAvihFlags]);
  flags = indexed ? (flags | kAvifHasIndex) : (flags & ~kAvifHasIndex);
  fields.emplace_back(4, uint32_t(std::min<uint64_t>(end - 8, UINT32_MAX)));
  fields.emplace_back(layout->movi - 4, uint32_t(std::min<uint64_t>(cut - layout->movi, UINT32_MAX)));
  fields.emplace_back(layout->avih + kAvihFlags, flags);
  fields.emplace_back(layout->avih + kAvihTotalFrames, uint32_t(totalFrames));
  for (const auto& [at, value] : fields) {
    uint8_t field[4];
    putLe32(field, value);
    if (pwriteAll(fd.get(), field, 4, at) != 4 && repair.problem.empty()) {
      repair.problem = std::string("its header could not be updated: ") + std::strerror(errno);
    }
  }
  if (!indexed && repair.problem.empty()) repair.problem = "there was no room left for its index";
  repair.repaired = true;
  return repair;
}

}  // namespace

struct AviWriter::Impl {
  std::string fileName;
  bool compress = false;
  int width = 0;
  int height = 0;
  AVRational positionTimeBase{1, 1};  // one tick per video sample position

  // Declared in creation order; finish() releases them in the reverse order.
  std::unique_ptr<VideoDecoder> decoder;
  ff::OutputContext out;
  AVStream* video = nullptr;  // owned by out
  AVStream* audio = nullptr;  // owned by out
  std::unique_ptr<VideoEncoder> encoder;
  std::vector<uint8_t> picture;
  PictureScaler scaler;
  std::vector<uint8_t> scaled;  // the decoded picture at the output size, when the two differ
  std::unique_ptr<CaptionBurner> captions;
  std::string caption;
  ff::Packet packet;       // wraps the caller's bytes for one write
  ff::Packet emptyPacket;  // the empty chunk of a skipped position
  bool withAudio = false;

  bool fileCreated = false;
  bool headerWritten = false;
  bool finished = false;

  int64_t videoPosition = 0;
  int64_t videoSlots = 0;  // video positions present in the file
  int64_t audioPosition = 0;
  uint64_t frames = 0;
  uint64_t keyFrames = 0;
  uint64_t bytes = 0;
  std::optional<Error> writeError;
  FileIdentity identity;
  int64_t nextPresenceCheck = kPresenceCheckBytes;
  std::vector<PacketNote> notes;

  bool writable() const { return headerWritten && !finished && !writeError; }

  Error fail(const std::string& what, int code) {
    return Error{code, "cannot write " + quoteName(fileName) + ": " + what};
  }

  void recordWriteError(int code, const std::string& reason) {
    if (!writeError) writeError = Error{code, "cannot write to " + quoteName(fileName) + ": " + reason};
  }

  // A folder removed under a running conversion leaves the writes going to a file nobody can reach.
  void checkPresence() {
    if (!identity.known || !out || !out->pb || avio_tell(out->pb) < nextPresenceCheck) return;
    nextPresenceCheck = avio_tell(out->pb) + kPresenceCheckBytes;
    if (identityOf(fileName) != identity) recordWriteError(AVERROR(ENOENT), "the file was removed while it was written");
  }

  // After a muxer call that succeeded.
  void noteWritten(const AVPacket& pkt, bool counted) {
    notes.push_back(PacketNote{uint32_t(pkt.size), uint8_t(pkt.stream_index), (pkt.flags & AV_PKT_FLAG_KEY) != 0, counted});
    checkPresence();
  }

  // Writes pkt as the sample at position, first filling the positions before it with empty chunks.
  void writeVideoPacket(AVPacket& pkt, int64_t position, bool counted) {
    if (!writable() || position < videoSlots) return;
    while (videoSlots < position) {
      AVPacket& empty = *emptyPacket;
      empty.flags = 0;
      if (!writeVideoSlot(empty, videoSlots, false)) return;
    }
    if (!writeVideoSlot(pkt, position, counted)) return;
    if (counted) {
      ++frames;
      if (pkt.flags & AV_PKT_FLAG_KEY) ++keyFrames;
    }
  }

  bool writeVideoSlot(AVPacket& pkt, int64_t position, bool counted) {
    pkt.stream_index = video->index;
    pkt.pts = pkt.dts = av_rescale_q(position, positionTimeBase, video->time_base);
    pkt.duration = av_rescale_q(1, positionTimeBase, video->time_base);
    // av_write_frame, not the interleaving call: records already come in file order.
    if (int r = av_write_frame(out.get(), &pkt); r < 0) {
      recordWriteError(r, ff::errorText(r));
      return false;
    }
    videoSlots = position + 1;
    noteWritten(pkt, counted);
    return true;
  }

  void writeRaw(const uint8_t* data, std::size_t size, uint32_t flags, AVStream* stream, int64_t pts,
                int64_t duration) {
    AVPacket& pkt = *packet;
    pkt.data = const_cast<uint8_t*>(data);
    pkt.size = int(size);
    pkt.flags = (flags & kAviKeyFrame) ? AV_PKT_FLAG_KEY : 0;
    if (stream == video) {
      writeVideoPacket(pkt, pts, true);
    } else {
      pkt.stream_index = stream->index;
      pkt.pts = pkt.dts = pts;
      pkt.duration = duration;
      if (int r = av_write_frame(out.get(), &pkt); r < 0) {
        recordWriteError(r, ff::errorText(r));
      } else {
        noteWritten(pkt, false);
      }
    }
    pkt.data = nullptr;
    pkt.size = 0;
  }

  // A file whose header never got written holds nothing playable; it is removed. Only a regular
  // file: the name may be a device such as /dev/null.
  void abandon() {
    encoder.reset();
    out.reset();
    video = audio = nullptr;  // they went with out
    if (fileCreated) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(fileName, ec)) std::filesystem::remove(fileName, ec);
      fileCreated = false;
    }
  }

  // libavformat writes the 'vprp' chunk from the stream's ratio; a square one is left unset, as before.
  void setPixelAspect(PixelAspect aspect) {
    if (aspect == PixelAspect{}) return;
    video->sample_aspect_ratio = video->codecpar->sample_aspect_ratio = AVRational{aspect.num, aspect.den};
  }

  Status open(const AviOpenParams& p);
  Status addPassThroughVideo(const AviOpenParams& p);
  Status addEncodedVideo(const AviOpenParams& p);
  Status addAudio();
};

AviWriter::AviWriter() : impl_(std::make_unique<Impl>()) {
  impl_->packet.reset(av_packet_alloc());
  impl_->emptyPacket.reset(av_packet_alloc());
}

AviWriter::~AviWriter() { finish(); }

Status AviWriter::open(const AviOpenParams& params) {
  Impl& s = *impl_;
  if (s.out || s.headerWritten || s.finished)
    return Error{AVERROR(EINVAL), "the writer for " + quoteName(s.fileName) + " was already opened"};
  s.fileName = params.fileName;
  Status r = s.open(params);
  if (!r) s.abandon();
  return r;
}

Status AviWriter::Impl::open(const AviOpenParams& p) {
  // Arguments first: nothing is created for a request that cannot succeed.
  if (!packet || !emptyPacket) return fail("out of memory", AVERROR(ENOMEM));
  if (p.width <= 0 || p.height <= 0)
    return fail("the picture size " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                    " is unknown (a format code without a known geometry)",
                AVERROR(EINVAL));
  if (p.rate.num == 0 || p.rate.den == 0) return fail("the frame rate is 0", AVERROR(EINVAL));
  if (p.compress && p.options.empty())
    return fail("re-encoding was chosen without an encoder", AVERROR(EINVAL));
  const AVOutputFormat* avi = av_guess_format("avi", nullptr, nullptr);
  if (!avi) return fail("this FFmpeg build has no AVI muxer", AVERROR_MUXER_NOT_FOUND);

  compress = p.compress;
  width = p.width;
  height = p.height;
  positionTimeBase = AVRational{int(p.rate.den), int(p.rate.num)};

  // 1. The file.
  if (!p.overwrite) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
      if (errno == EEXIST) return Error{AVERROR(EEXIST), quoteName(fileName) + " already exists"};
      return Error{AVERROR(errno), "cannot create " + quoteName(fileName) + ": " + std::strerror(errno)};
    }
    ::close(fd);
    fileCreated = true;
  }
  AVFormatContext* raw = nullptr;
  if (int r = avformat_alloc_output_context2(&raw, avi, nullptr, fileName.c_str()); r < 0 || !raw)
    return fail("cannot set up the AVI muxer: " + ff::errorText(r), r);
  out.reset(raw);
  out->flags |= AVFMT_FLAG_BITEXACT;  // no muxer version string: same input, same bytes
  // The "file:" prefix keeps a name with a colon from being taken for a protocol.
  if (int r = avio_open(&out->pb, ("file:" + fileName).c_str(), AVIO_FLAG_WRITE); r < 0)
    return Error{r, "cannot create " + quoteName(fileName) + ": " + ff::errorText(r)};
  fileCreated = true;
  identity = identityOf(fileName);

  // 2.-4. The video stream and its format.
  video = avformat_new_stream(out.get(), nullptr);
  if (!video) return fail("cannot add the video stream", AVERROR(ENOMEM));
  video->time_base = positionTimeBase;
  video->avg_frame_rate = AVRational{int(p.rate.num), int(p.rate.den)};
  if (Status st = compress ? addEncodedVideo(p) : addPassThroughVideo(p); !st) return st;

  // 5. The audio stream.
  if (p.withAudio)
    if (Status st = addAudio(); !st) return st;

  if (int r = avformat_write_header(out.get(), nullptr); r < 0)
    return fail("the AVI muxer refused the streams: " + ff::errorText(r), r);
  headerWritten = true;

  // Positions used before open (the stream header the worker hands over first) become empty chunks,
  // so position 0 exists and the first frame keeps its place.
  if (videoPosition > 0) {
    AVPacket& empty = *emptyPacket;
    empty.flags = 0;
    writeVideoPacket(empty, videoPosition - 1, false);
  }
  return okStatus();
}

Status AviWriter::Impl::addPassThroughVideo(const AviOpenParams& p) {
  AVCodecParameters& par = *video->codecpar;
  par.codec_type = AVMEDIA_TYPE_VIDEO;
  par.codec_id = AV_CODEC_ID_MPEG4;
  par.codec_tag = fourccForCodecIndex(p.codecIndex);
  par.width = p.width;
  par.height = p.height;
  par.bits_per_coded_sample = 24;
  setPixelAspect(p.pixelAspect);
  if (!p.videoExtraData.empty()) {
    // The muxer appends extradata to the BITMAPINFOHEADER.
    const std::size_t n = p.videoExtraData.size();
    par.extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par.extradata) return fail("out of memory", AVERROR(ENOMEM));
    std::memcpy(par.extradata, p.videoExtraData.data(), n);
    par.extradata_size = int(n);
  }
  return okStatus();
}

Status AviWriter::Impl::addEncodedVideo(const AviOpenParams& p) {
  auto opened = VideoEncoder::open(p.options, p.width, p.height, positionTimeBase, 0,
                                   AVRational{p.pixelAspect.num, p.pixelAspect.den});
  if (!opened) return fail(opened.error().message, opened.error().code);
  encoder = std::move(opened.value());

  const AVCodec* codec = avcodec_find_encoder_by_name(p.options.encoder.c_str());
  uint32_t fourcc = defaultFourcc(*codec);
  if (p.options.fourcc != 0) {
    if (!fourccNamesCodec(p.options.fourcc, codec->id))
      return fail("the four-character code '" + fourccToString(p.options.fourcc) + "' does not name " +
                      (codec->long_name ? codec->long_name : codec->name) + " in AVI",
                  AVERROR(EINVAL));
    fourcc = p.options.fourcc;
  }

  picture.assign(std::size_t(p.width) * std::size_t(p.height) * 3, 0);
  decoder = p.xvidLibrary ? std::make_unique<VideoDecoder>(p.xvidLibrary) : std::make_unique<VideoDecoder>();
  // A decoder that cannot be created makes every later decode fail; the file is still written.
  decoder->create(p.width, p.height, picture.data());
  if (p.burnIn) {
    auto burner = CaptionBurner::open(p.width, p.height, p.cameraName);
    if (!burner) return fail(burner.error().message, burner.error().code);
    captions = std::move(burner.value());
  }

  if (Status st = encoder->fillParameters(*video->codecpar, fourcc); !st) return st;
  setPixelAspect(p.pixelAspect);
  return okStatus();
}

Status AviWriter::Impl::addAudio() {
  audio = avformat_new_stream(out.get(), nullptr);
  if (!audio) return fail("cannot add the audio stream", AVERROR(ENOMEM));
  AVCodecParameters& par = *audio->codecpar;
  par.codec_type = AVMEDIA_TYPE_AUDIO;
  par.codec_id = AV_CODEC_ID_PCM_S16LE;
  par.format = AV_SAMPLE_FMT_S16;
  par.sample_rate = kAudioSampleRate;
  av_channel_layout_default(&par.ch_layout, 1);
  par.block_align = kAudioBlockAlign;
  par.bits_per_coded_sample = 16;
  par.bit_rate = kAudioBitRate;  // without it the header states half the rate
  audio->time_base = AVRational{1, kAudioSampleRate};
  withAudio = true;
  return okStatus();
}

void AviWriter::writeRawVideo(const uint8_t* data, std::size_t size, uint32_t flags) {
  Impl& s = *impl_;
  // In re-encode mode the plain stream sits under the encoder; raw samples do not go into it.
  if (s.writable() && s.video && !s.compress && size <= std::size_t(INT32_MAX))
    s.writeRaw(data, size, flags, s.video, s.videoPosition, 1);
  ++s.videoPosition;
}

void AviWriter::writeDecodedVideo(const FrameHeader& frame) {
  Impl& s = *impl_;
  if (s.writable() && s.encoder && s.decoder && s.decoder->decodeFrame(frame) == VideoDecoder::kOk) {
    Status st = okStatus();
    uint8_t* picture = s.picture.data();
    // The decoder leaves a picture of its coded size at the start of the buffer.
    if (const DecoderSize* coded = findDecoderSize(frame.formatCode);
        coded && (coded->width != s.width || coded->height != s.height)) {
      s.scaled.resize(s.picture.size());
      st = s.scaler.scale(picture, coded->width, coded->height, s.scaled.data(), s.width, s.height);
      picture = s.scaled.data();
    }
    if (st && s.captions) st = s.captions->draw(picture, s.caption);
    const AVRational encoderTimeBase = s.encoder->timeBase();
    if (st) st = s.encoder->encode(picture, s.videoPosition, [&](AVPacket& pkt) {
      s.writeVideoPacket(pkt, av_rescale_q(pkt.pts, encoderTimeBase, s.positionTimeBase), true);
    });
    if (!st) s.recordWriteError(st.error().code, st.error().message);
  }
  ++s.videoPosition;
}

void AviWriter::setCaption(std::string text) { impl_->caption = std::move(text); }

void AviWriter::writeAudio(const uint8_t* data, std::size_t size, uint32_t flags) {
  Impl& s = *impl_;
  const std::size_t samples = size / kAudioBlockAlign;
  if (samples > 0 && s.writable() && s.audio && size <= std::size_t(INT32_MAX)) {
    const AVRational sampleTimeBase{1, kAudioSampleRate};
    s.writeRaw(data, samples * kAudioBlockAlign, flags, s.audio,
               av_rescale_q(s.audioPosition, sampleTimeBase, s.audio->time_base),
               av_rescale_q(int64_t(samples), sampleTimeBase, s.audio->time_base));
  }
  s.audioPosition += int64_t(samples);
}

Status AviWriter::finish() {
  Impl& s = *impl_;
  if (!s.finished) {
    if (s.headerWritten) {
      if (s.encoder && !s.writeError) {
        const AVRational encoderTimeBase = s.encoder->timeBase();
        Status st = s.encoder->flush([&](AVPacket& pkt) {
          s.writeVideoPacket(pkt, av_rescale_q(pkt.pts, encoderTimeBase, s.positionTimeBase), true);
        });
        if (!st) s.recordWriteError(st.error().code, st.error().message);
      }
      s.finished = true;
      // The trailer fixes the header sizes and writes the index, also after a write error.
      if (int r = av_write_trailer(s.out.get()); r < 0) s.recordWriteError(r, ff::errorText(r));
    }
    s.finished = true;
    // Release order: compressing stream, the streams with their file, the picture, the decoder.
    s.encoder.reset();
    s.captions.reset();
    if (s.out && s.out->pb) {
      if (int r = avio_closep(&s.out->pb); r < 0) s.recordWriteError(r, ff::errorText(r));
    }
    const int videoIndex = s.video ? s.video->index : 0;
    s.out.reset();
    s.video = s.audio = nullptr;
    s.picture.clear();
    s.picture.shrink_to_fit();
    s.scaled.clear();
    s.scaled.shrink_to_fit();
    if (s.headerWritten && s.identity.known) {
      if (identityOf(s.fileName) != s.identity) {
        s.recordWriteError(AVERROR(ENOENT), "the file was removed while it was written");
      } else if (s.writeError) {
        const Repair repair = repairAvi(s.fileName, s.notes, videoIndex);
        if (repair.repaired || repair.removed) {
          s.frames = repair.frames;
          s.keyFrames = repair.keyFrames;
          if (s.withAudio) s.audioPosition = int64_t(repair.audioSamples);
        }
        if (repair.removed) {
          s.writeError->message += "; nothing playable had been written, so the file was removed";
        } else if (!repair.problem.empty()) {
          s.writeError->message += "; the file could not be completed: " + repair.problem;
        }
      }
    }
    s.notes.clear();
    s.notes.shrink_to_fit();
    if (s.headerWritten) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(s.fileName, ec);
      s.bytes = ec ? 0 : uint64_t(size);
    }
    if (s.decoder) s.decoder->release();
    s.decoder.reset();
  }
  if (s.writeError) return *s.writeError;
  return okStatus();
}

bool AviWriter::isOpen() const { return impl_->headerWritten && !impl_->finished; }
bool AviWriter::hasAudio() const { return impl_->withAudio && impl_->headerWritten; }
int64_t AviWriter::videoPosition() const { return impl_->videoPosition; }
int64_t AviWriter::audioPosition() const { return impl_->audioPosition; }
uint64_t AviWriter::framesWritten() const { return impl_->frames; }
uint64_t AviWriter::keyFramesWritten() const { return impl_->keyFrames; }
uint64_t AviWriter::bytesWritten() const {
  const Impl& s = *impl_;
  if (s.finished) return s.bytes;
  return s.out && s.out->pb ? uint64_t(std::max<int64_t>(0, avio_tell(s.out->pb))) : 0;
}
const std::optional<Error>& AviWriter::writeError() const { return impl_->writeError; }
const std::string& AviWriter::fileName() const { return impl_->fileName; }

}  // namespace qmv
