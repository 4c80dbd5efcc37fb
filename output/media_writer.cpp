// MediaWriter: one output file, AVI, MKV or MP4 (video pass-through or re-encoded, optional audio,
// recorded-time subtitles in MKV and MP4) over libavformat's own muxers.
#include "output/media_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>

#include "output/avi/avi_repair.h"
#include "output/media_streams.h"
#include "output/output_file.h"
#include "output/shared_aac.h"
#include "recording/utf8_path.h"
#include "transcode/caption_burner.h"
#include "transcode/ffmpeg_handles.h"
#include "transcode/picture_scaler.h"
#include "transcode/video_encoder.h"

namespace qmv {

namespace {

constexpr int kAudioBitRate = kAudioSampleRate * 16;  // the muxer derives the byte rate from it
constexpr int kAudioBlockAlign = 2;                   // one 16-bit mono sample

std::string quoteName(const std::string& name) { return "'" + name + "'"; }

// Past this many bytes of output, the writer looks again whether its file is still where it was.
constexpr int64_t kPresenceCheckBytes = int64_t(8) << 20;

// Output waits in FdAvio's buffer until a block is full; a slow stream (the silence of a long pause) is
// written once it covers this much recorded time, so that the file grows with the run.
constexpr int64_t kFlushSeconds = 60;

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

}  // namespace

struct MediaWriter::Impl {
  std::string fileName;
  const std::atomic<bool>* stop = nullptr;
  Container container = Container::kAvi;
  bool compress = false;
  int width = 0;
  int height = 0;
  AVRational positionTimeBase{1, 1};  // one tick per video sample position

  // Declared in creation order; finish() releases them in the reverse order.
  std::unique_ptr<VideoDecoder> decoder;
  std::unique_ptr<OutputFile> file;
  std::unique_ptr<FdAvio> avio;  // out's pb; outlives out
  ff::OutputContext out;
  AVStream* video = nullptr;     // owned by out
  AVStream* audio = nullptr;     // owned by out
  AVStream* subtitle = nullptr;  // owned by out; MKV and MP4 only
  std::unique_ptr<VideoEncoder> encoder;
  std::unique_ptr<AacMembership> aac;  // MP4's audio
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
  // Per stream (video, audio, subtitles): its latest time in seconds, and its time when the file was last
  // written to.
  static constexpr int64_t kNoTime = INT64_MIN;
  std::array<int64_t, 3> streamSeconds{kNoTime, kNoTime, kNoTime};
  std::array<int64_t, 3> writtenSeconds{};
  uint64_t seenWrites = 0;
  std::vector<PacketNote> notes;  // AVI only: what a repair after a write error goes by

  // Subtitle cues not yet written, by start position, and the start of the last one written.
  struct Cue {
    int64_t end = 0;
    std::string text;
  };
  std::multimap<int64_t, Cue> cues;
  int64_t cueHold = 0;  // positions a cue is held for one that may still come before it
  int64_t lastCueStart = 0;
  int64_t lastCueEnd = -1;  // -1: no cue written
  ff::Packet cuePacket;

  bool isAvi() const { return container == Container::kAvi; }

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
    if (identityOf(file->writtenPath()) != identity)
      recordWriteError(AVERROR(ENOENT), "the file was removed while it was written");
  }

  // AVI: the muxer takes records in file order as they come. MKV and MP4: libavformat interleaves the
  // streams by time (a cue is written after the pictures it spans); pkt is blank afterwards.
  bool writePacket(AVPacket& pkt, bool counted) {
    const PacketNote note{uint32_t(pkt.size), uint8_t(pkt.stream_index), (pkt.flags & AV_PKT_FLAG_KEY) != 0,
                          counted};
    const int64_t seconds = pkt.dts == AV_NOPTS_VALUE
                                ? kNoTime
                                : av_rescale_q(pkt.dts, out->streams[pkt.stream_index]->time_base, {1, 1});
    const int r = isAvi() ? av_write_frame(out.get(), &pkt) : av_interleaved_write_frame(out.get(), &pkt);
    if (r < 0) {
      recordWriteError(r, ff::errorText(r));
      return false;
    }
    if (isAvi()) notes.push_back(note);
    checkPresence();
    flushSlowStream(note.stream, seconds);
    return true;
  }

  // A stream whose recorded time ran kFlushSeconds past where it was when the file was last written to
  // has its bytes written now.
  void flushSlowStream(int stream, int64_t seconds) {
    if (stream < 0 || std::size_t(stream) >= streamSeconds.size()) return;
    if (avio->writes() != seenWrites) {
      seenWrites = avio->writes();
      writtenSeconds = streamSeconds;
    }
    if (streamSeconds[std::size_t(stream)] == kNoTime) writtenSeconds[std::size_t(stream)] = seconds;
    streamSeconds[std::size_t(stream)] = seconds;
    if (seconds - writtenSeconds[std::size_t(stream)] < kFlushSeconds) return;
    if (const int r = avio->flush(); r < 0) recordWriteError(r, ff::errorText(r));
  }

  // Writes pkt as the sample at position, first filling the positions before it with empty chunks.
  void writeVideoPacket(AVPacket& pkt, int64_t position, bool counted) {
    if (!writable() || position < videoSlots) return;
    // Only AVI, with its constant rate, needs a sample at every position.
    while (isAvi() && videoSlots < position) {
      if (stop != nullptr && stop->load()) return;
      AVPacket& empty = *emptyPacket;
      empty.flags = 0;
      if (!writeVideoSlot(empty, videoSlots, false)) return;
    }
    const bool key = (pkt.flags & AV_PKT_FLAG_KEY) != 0;
    if (!writeVideoSlot(pkt, position, counted)) return;
    if (counted) {
      ++frames;
      if (key) ++keyFrames;
    }
  }

  bool writeVideoSlot(AVPacket& pkt, int64_t position, bool counted) {
    pkt.stream_index = video->index;
    pkt.pts = pkt.dts = av_rescale_q(position, positionTimeBase, video->time_base);
    pkt.duration = av_rescale_q(1, positionTimeBase, video->time_base);
    if (!writePacket(pkt, counted)) return false;
    videoSlots = position + 1;
    return true;
  }

  // Audio packets: pts and duration in audio samples.
  void writeAudioPacket(AVPacket& pkt) {
    const AVRational sampleTimeBase{1, kAudioSampleRate};
    pkt.stream_index = audio->index;
    pkt.pts = pkt.dts = av_rescale_q(pkt.pts, sampleTimeBase, audio->time_base);
    pkt.duration = av_rescale_q(pkt.duration, sampleTimeBase, audio->time_base);
    writePacket(pkt, false);
  }

  // Writes the held cues that start before limit, in order of start.
  void writeCues(int64_t limit) {
    while (!cues.empty() && cues.begin()->first < limit) {
      auto node = cues.extract(cues.begin());
      // One that came later than the hold allows starts where the last one written did.
      const int64_t start = std::max(node.key(), lastCueStart);
      const Cue& cue = node.mapped();
      if (cue.end <= start || !writable()) continue;
      if (!writeTextSample(cue.text, start, cue.end)) return;
      lastCueStart = start;
      lastCueEnd = std::max(lastCueEnd, cue.end);
    }
  }

  // One subtitle sample shown from video position start up to end; false when it could not be made.
  bool writeTextSample(const std::string& text, int64_t start, int64_t end) {
    const std::vector<uint8_t> sample = subtitleSample(container, text);
    AVPacket& pkt = *cuePacket;
    if (av_new_packet(&pkt, int(sample.size())) < 0) {
      recordWriteError(AVERROR(ENOMEM), "out of memory");
      return false;
    }
    std::memcpy(pkt.data, sample.data(), sample.size());
    pkt.stream_index = subtitle->index;
    pkt.pts = pkt.dts = av_rescale_q(start, positionTimeBase, subtitle->time_base);
    pkt.duration = av_rescale_q(end, positionTimeBase, subtitle->time_base) - pkt.pts;
    pkt.flags = AV_PKT_FLAG_KEY;
    writePacket(pkt, false);
    av_packet_unref(&pkt);
    return true;
  }

  // 3GPP text: the last cue ends with an empty sample. The muxer adds one itself, but without a duration,
  // and in a fragment it then guesses one from the sample before, which makes the text track (and the
  // file) outlast the pictures. An empty sample of our own at the cue's end, lasting nothing, leaves
  // nothing to guess.
  void endTimedText() {
    if (container != Container::kMp4 || !subtitle || lastCueEnd < 0 || !writable()) return;
    writeTextSample("", lastCueEnd, lastCueEnd);
  }

  void writeRaw(const uint8_t* data, std::size_t size, bool key, AVStream* stream, int64_t pts,
                int64_t duration) {
    AVPacket& pkt = *packet;
    pkt.data = const_cast<uint8_t*>(data);
    pkt.size = int(size);
    pkt.flags = key ? AV_PKT_FLAG_KEY : 0;
    if (stream == video) {
      writeVideoPacket(pkt, pts, true);
    } else {
      pkt.stream_index = stream->index;
      pkt.pts = pkt.dts = pts;
      pkt.duration = duration;
      writePacket(pkt, false);
    }
    pkt.data = nullptr;
    pkt.size = 0;
  }

  // A file whose header never got written holds nothing playable; it is removed. Only a regular
  // file: the name may be a device such as /dev/null.
  void abandon() {
    encoder.reset();
    aac.reset();
    if (out) out->pb = nullptr;  // avio's, freed next
    out.reset();
    avio.reset();
    video = audio = subtitle = nullptr;  // they went with out
    if (fileCreated) {
      file->discard();
      fileCreated = false;
    }
  }

  // libavformat writes it as AVI's 'vprp' chunk, MKV's display size and MP4's 'pasp' box; a square one is
  // left unset, so that square-pixel outputs carry none of them.
  void setPixelAspect(PixelAspect aspect) {
    if (aspect == PixelAspect{}) return;
    video->sample_aspect_ratio = video->codecpar->sample_aspect_ratio = AVRational{aspect.num, aspect.den};
  }

  Status open(const MediaWriterParams& p);
  Status addPassThroughVideo(const MediaWriterParams& p);
  Status addEncodedVideo(const MediaWriterParams& p);
  // Draws the caption (burnIn) into the picture and encodes it at the current position.
  Status encodePicture(uint8_t* bgr);
  Status addAudio(const MediaWriterParams& p);
};

MediaWriter::MediaWriter() : impl_(std::make_unique<Impl>()) {
  impl_->packet.reset(av_packet_alloc());
  impl_->emptyPacket.reset(av_packet_alloc());
  impl_->cuePacket.reset(av_packet_alloc());
}

MediaWriter::~MediaWriter() { finish(); }

Status MediaWriter::open(const MediaWriterParams& params) {
  Impl& s = *impl_;
  if (s.out || s.headerWritten || s.finished)
    return Error{AVERROR(EINVAL), "the writer for " + quoteName(s.fileName) + " was already opened"};
  s.fileName = params.fileName;
  s.stop = params.stop;
  Status r = s.open(params);
  if (!r) s.abandon();
  return r;
}

Status MediaWriter::Impl::open(const MediaWriterParams& p) {
  // Arguments first: nothing is created for a request that cannot succeed.
  if (!packet || !emptyPacket || !cuePacket) return fail("out of memory", AVERROR(ENOMEM));
  if (p.width <= 0 || p.height <= 0)
    return fail("the picture size " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                    " is unknown (a format code without a known geometry)",
                AVERROR(EINVAL));
  if (p.rate.num == 0 || p.rate.den == 0) return fail("the frame rate is 0", AVERROR(EINVAL));
  if (p.compress && p.options.empty())
    return fail("re-encoding was chosen without an encoder", AVERROR(EINVAL));
  container = p.container;
  const std::string kind = containerTitle(container);
  const AVOutputFormat* muxer = av_guess_format(muxerName(container), nullptr, nullptr);
  if (!muxer) return fail("this FFmpeg build has no " + kind + " muxer", AVERROR_MUXER_NOT_FOUND);

  compress = p.compress;
  width = p.width;
  height = p.height;
  positionTimeBase = AVRational{int(p.rate.den), int(p.rate.num)};
  cueHold = av_rescale_q(kCueHoldSeconds, AVRational{1, 1}, positionTimeBase);

  // 1. The file: created by us, exclusively, and handed to the muxer as a descriptor, never as a name.
  auto created = OutputFile::create(fileName, p.overwrite ? Creation::kReplace : Creation::kNewAside);
  if (!created) {
    const Error& e = created.error();
    if (e.code == EEXIST) return Error{AVERROR(EEXIST), quoteName(fileName) + " already exists"};
    return Error{AVERROR(e.code), "cannot create " + quoteName(fileName) + ": " + std::strerror(e.code)};
  }
  file = std::move(created).value();
  fileCreated = true;
  avio = FdAvio::create(file->fd());
  if (!avio) return fail("out of memory", AVERROR(ENOMEM));
  AVFormatContext* raw = nullptr;
  if (int r = avformat_alloc_output_context2(&raw, muxer, nullptr, nullptr); r < 0 || !raw)
    return fail("cannot set up the " + kind + " muxer: " + ff::errorText(r), r);
  out.reset(raw);
  out->flags |=
      AVFMT_FLAG_BITEXACT | AVFMT_FLAG_CUSTOM_IO;  // no muxer version string: same input, same bytes
  out->pb = avio->get();
  identity = identityOf(file->writtenPath());

  // 2.-4. The video stream and its format.
  video = avformat_new_stream(out.get(), nullptr);
  if (!video) return fail("cannot add the video stream", AVERROR(ENOMEM));
  video->time_base = positionTimeBase;
  video->avg_frame_rate = AVRational{int(p.rate.num), int(p.rate.den)};
  if (Status st = compress ? addEncodedVideo(p) : addPassThroughVideo(p); !st) return st;

  // 5. The audio stream, then the subtitles and what the file says about itself.
  if (p.withAudio)
    if (Status st = addAudio(p); !st) return st;
  auto sub = addSubtitleStream(*out, container);
  if (!sub) return fail(sub.error().message, sub.error().code);
  subtitle = sub.value();
  if (!isAvi()) setFileMetadata(*out, p.title, p.creationTime, p.recordedLocalTime);

  AVDictionary* options = nullptr;
  setMuxerOptions(container, &options);
  const int header = avformat_write_header(out.get(), &options);
  av_dict_free(&options);
  if (header < 0) return fail("the " + kind + " muxer refused the streams: " + ff::errorText(header), header);
  headerWritten = true;

  // Positions used before open become empty chunks, so the first frame keeps its place.
  if (videoPosition > 0 && isAvi()) {
    AVPacket& empty = *emptyPacket;
    empty.flags = 0;
    writeVideoPacket(empty, videoPosition - 1, false);
  }
  return okStatus();
}

Status MediaWriter::Impl::addPassThroughVideo(const MediaWriterParams& p) {
  AVCodecParameters& par = *video->codecpar;
  par.codec_type = AVMEDIA_TYPE_VIDEO;
  par.codec_id = AV_CODEC_ID_MPEG4;
  par.codec_tag = isAvi() ? p.fourcc : 0;  // MKV and MP4 name the codec by their own ids
  par.width = p.width;
  par.height = p.height;
  par.bits_per_coded_sample = 24;
  setPixelAspect(p.pixelAspect);
  if (!p.videoExtraData.empty()) {
    // AVI appends it to the BITMAPINFOHEADER, MKV makes it the codec private data, MP4 the decoder
    // configuration in 'esds'.
    const std::size_t n = p.videoExtraData.size();
    par.extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par.extradata) return fail("out of memory", AVERROR(ENOMEM));
    std::memcpy(par.extradata, p.videoExtraData.data(), n);
    par.extradata_size = int(n);
  }
  return okStatus();
}

Status MediaWriter::Impl::addEncodedVideo(const MediaWriterParams& p) {
  auto opened = VideoEncoder::open(p.options, p.width, p.height, positionTimeBase, 0,
                                   AVRational{p.pixelAspect.num, p.pixelAspect.den},
                                   (out->oformat->flags & AVFMT_GLOBALHEADER) != 0);
  if (!opened) return fail(opened.error().message, opened.error().code);
  encoder = std::move(opened.value());

  const AVCodec* codec = avcodec_find_encoder_by_name(p.options.encoder.c_str());
  uint32_t fourcc = isAvi() ? defaultFourcc(*codec) : 0;
  if (p.options.fourcc != 0 && isAvi()) {
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

Status MediaWriter::Impl::addAudio(const MediaWriterParams& p) {
  audio = avformat_new_stream(out.get(), nullptr);
  if (!audio) return fail("cannot add the audio stream", AVERROR(ENOMEM));
  audio->time_base = AVRational{1, kAudioSampleRate};
  withAudio = true;
  if (container == Container::kMp4) {
    // Players take no PCM in MP4.
    const bool globalHeader = (out->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    auto opened = p.aacPool ? p.aacPool->join(p.audioInput, globalHeader)
                            : AacEncoderPool().join(p.audioInput, globalHeader);
    if (!opened) return fail(opened.error().message, opened.error().code);
    aac = std::move(opened.value());
    return aac->fillParameters(*audio->codecpar);
  }
  AVCodecParameters& par = *audio->codecpar;
  par.codec_type = AVMEDIA_TYPE_AUDIO;
  par.codec_id = AV_CODEC_ID_PCM_S16LE;
  par.format = AV_SAMPLE_FMT_S16;
  par.sample_rate = kAudioSampleRate;
  av_channel_layout_default(&par.ch_layout, 1);
  par.block_align = kAudioBlockAlign;
  par.bits_per_coded_sample = 16;
  par.bit_rate = kAudioBitRate;  // without it the header states half the rate
  return okStatus();
}

void MediaWriter::writeRawVideo(const uint8_t* data, std::size_t size, bool key) {
  Impl& s = *impl_;
  // In re-encode mode the plain stream sits under the encoder; raw samples do not go into it.
  if (s.writable() && s.video && !s.compress && size <= std::size_t(INT32_MAX))
    s.writeRaw(data, size, key, s.video, s.videoPosition, 1);
  ++s.videoPosition;
  if (!s.cues.empty()) s.writeCues(s.videoPosition - s.cueHold);
}

void MediaWriter::writeDecodedVideo(const FrameHeader& frame) {
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
    if (st) st = s.encodePicture(picture);
    if (!st) s.recordWriteError(st.error().code, st.error().message);
  }
  ++s.videoPosition;
  if (!s.cues.empty()) s.writeCues(s.videoPosition - s.cueHold);
}

void MediaWriter::writePicture(const uint8_t* bgr) {
  Impl& s = *impl_;
  if (s.writable() && s.encoder) {
    s.picture.assign(bgr, bgr + s.picture.size());
    if (Status st = s.encodePicture(s.picture.data()); !st)
      s.recordWriteError(st.error().code, st.error().message);
  }
  ++s.videoPosition;
  if (!s.cues.empty()) s.writeCues(s.videoPosition - s.cueHold);
}

Status MediaWriter::Impl::encodePicture(uint8_t* bgr) {
  if (captions)
    if (Status st = captions->draw(bgr, caption); !st) return st;
  const AVRational encoderTimeBase = encoder->timeBase();
  return encoder->encode(bgr, videoPosition, [&](AVPacket& pkt) {
    writeVideoPacket(pkt, av_rescale_q(pkt.pts, encoderTimeBase, positionTimeBase), true);
  });
}

void MediaWriter::addCue(int64_t start, int64_t end, std::string text) {
  Impl& s = *impl_;
  if (s.subtitle && s.writable() && end > start) s.cues.emplace(start, Impl::Cue{end, std::move(text)});
}

void MediaWriter::skipVideo() {
  Impl& s = *impl_;
  ++s.videoPosition;
  if (!s.cues.empty()) s.writeCues(s.videoPosition - s.cueHold);
}

void MediaWriter::setCaption(std::string text) { impl_->caption = std::move(text); }

void MediaWriter::writeAudio(const uint8_t* data, std::size_t size) {
  Impl& s = *impl_;
  const std::size_t samples = size / kAudioBlockAlign;
  if (samples > 0 && s.writable() && s.aac) {
    const Status st = s.aac->write(reinterpret_cast<const int16_t*>(data), samples,
                                   [&](AVPacket& pkt) { s.writeAudioPacket(pkt); });
    if (!st) s.recordWriteError(st.error().code, st.error().message);
  } else if (samples > 0 && s.writable() && s.audio && size <= std::size_t(INT32_MAX)) {
    const AVRational sampleTimeBase{1, kAudioSampleRate};
    // Every PCM block stands on its own: each is a key sample.
    s.writeRaw(data, samples * kAudioBlockAlign, true, s.audio,
               av_rescale_q(s.audioPosition, sampleTimeBase, s.audio->time_base),
               av_rescale_q(int64_t(samples), sampleTimeBase, s.audio->time_base));
  }
  s.audioPosition += int64_t(samples);
}

Status MediaWriter::finish() {
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
      if (s.aac && !s.writeError) {
        Status st = s.aac->flush([&](AVPacket& pkt) { s.writeAudioPacket(pkt); });
        if (!st) s.recordWriteError(st.error().code, st.error().message);
      }
      s.writeCues(INT64_MAX);
      s.endTimedText();
      s.finished = true;
      // The trailer fixes the header sizes and writes the index, also after a write error.
      if (int r = av_write_trailer(s.out.get()); r < 0) s.recordWriteError(r, ff::errorText(r));
    }
    s.finished = true;
    // Release order: compressing stream, the streams with their file, the picture, the decoder.
    s.encoder.reset();
    s.aac.reset();
    s.captions.reset();
    if (s.out && s.out->pb) {
      if (int r = s.avio->flush(); r < 0) s.recordWriteError(r, ff::errorText(r));
      s.out->pb = nullptr;
    }
    const int videoIndex = s.video ? s.video->index : 0;
    s.out.reset();
    s.avio.reset();
    s.video = s.audio = s.subtitle = nullptr;
    s.picture.clear();
    s.picture.shrink_to_fit();
    s.scaled.clear();
    s.scaled.shrink_to_fit();
    bool incomplete = false;  // an AVI whose header the repair could not update never takes the name
    if (s.headerWritten && s.identity.known) {
      if (identityOf(s.file->writtenPath()) != s.identity) {
        s.recordWriteError(AVERROR(ENOENT), "the file was removed while it was written");
      } else if (s.writeError && s.isAvi()) {
        // MKV is readable front to back without its index, and an MP4 up to its last complete fragment.
        const AviRepair repair = repairAvi(s.file->writtenPath(), s.notes, videoIndex);
        if (repair.repaired || repair.removed) {
          s.frames = repair.frames;
          s.keyFrames = repair.keyFrames;
          s.videoSlots = int64_t(repair.videoSamples);
          if (s.withAudio) s.audioPosition = int64_t(repair.audioSamples);
        }
        if (repair.removed) {
          s.writeError->message += "; nothing playable had been written, so the file was removed";
        } else if (!repair.problem.empty()) {
          s.writeError->message +=
              "; the file could not be completed (" + repair.problem + "), so it was removed";
          incomplete = true;
        }
      }
    }
    s.notes.clear();
    s.notes.shrink_to_fit();
    if (s.headerWritten) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(pathFromUtf8(s.file->writtenPath()), ec);
      s.bytes = ec ? 0 : uint64_t(size);
    }
    // Only a finished file takes the final name (a replaced one is renamed over the old file now).
    if (s.file && incomplete) {
      s.file->discard();
    } else if (s.file) {
      if (Status put = s.file->commit(); !put)
        s.recordWriteError(AVERROR(put.error().code), put.error().message);
    }
    if (s.decoder) s.decoder->release();
    s.decoder.reset();
  }
  if (s.writeError) return *s.writeError;
  return okStatus();
}

bool MediaWriter::isOpen() const { return impl_->headerWritten && !impl_->finished; }
bool MediaWriter::hasAudio() const { return impl_->withAudio && impl_->headerWritten; }
int64_t MediaWriter::videoPosition() const { return impl_->videoPosition; }
int64_t MediaWriter::videoSamples() const { return impl_->videoSlots; }
int64_t MediaWriter::audioPosition() const { return impl_->audioPosition; }
uint64_t MediaWriter::framesWritten() const { return impl_->frames; }
uint64_t MediaWriter::keyFramesWritten() const { return impl_->keyFrames; }
uint64_t MediaWriter::bytesWritten() const {
  const Impl& s = *impl_;
  if (s.finished) return s.bytes;
  return s.out && s.out->pb ? uint64_t(std::max<int64_t>(0, avio_tell(s.out->pb))) : 0;
}
const std::optional<Error>& MediaWriter::writeError() const { return impl_->writeError; }
const std::string& MediaWriter::fileName() const { return impl_->fileName; }

std::optional<XvidLoadResult> MediaWriter::decoderLoadFailure() const {
  if (!impl_->decoder || impl_->decoder->loadResult().ok) return std::nullopt;
  return impl_->decoder->loadResult();
}

}  // namespace qmv
