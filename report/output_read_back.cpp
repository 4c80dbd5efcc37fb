// Read-back of a written output file (AVI, MKV, MP4) through libavformat: its streams and the SHA-256 of
// every video sample by position.
#include "report/output_read_back.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "output/output_file.h"
#include "recording/file_descriptor.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {

Result<OutputReadBack> readBackOutput(const std::string& path, FrameRate positionRate) {
  const Container container = containerOfName(path);
  // MP4 is read by libavformat's QuickTime demuxer; the choice is by name, never by what the bytes claim.
  const char* demuxer = traitsOf(container).demuxer;
  const std::string kind = containerTitle(container);
  const bool timed = !traitsOf(container).constantRate;
  if (timed && (positionRate.num == 0 || positionRate.den == 0 || positionRate.num > INT32_MAX ||
                positionRate.den > INT32_MAX))
    return Error{EINVAL, path + ": no frame rate to count " + kind + " sample positions at"};
  const AVRational positionTimeBase{int(positionRate.den), int(positionRate.num)};
  // Opened here, as a regular file only, and read by libavformat through the descriptor: the name never
  // reaches it as a URL, and nothing put at the name since (a FIFO) can make the read-back wait forever.
  uint64_t size = 0;
  auto file = openRegularFile(path, size);
  if (!file)
    return Error{file.error().code, path + ": not readable as " + kind + ": " + file.error().message};
  const std::unique_ptr<FdAvio> avio = FdAvio::create(file.value()->get(), false);
  if (!avio) return Error{ENOMEM, "out of memory"};
  // Declared after the descriptor and its I/O context, so that it is closed before them.
  ff::InputContext input;
  if (const int opened = ff::openInput(avio->get(), demuxer, input); opened < 0)
    return Error{opened, path + ": not readable as " + kind + ": " + ff::errorText(opened)};

  OutputReadBack back;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* st = input->streams[i];
    const AVCodecParameters* par = st->codecpar;
    ReadBackStream s;
    const char* type = av_get_media_type_string(par->codec_type);
    s.type = type != nullptr ? type : "unknown";
    s.codec = avcodec_get_name(par->codec_id);
    s.tag = par->codec_tag;
    s.width = par->width;
    s.height = par->height;
    // AVI: one tick of the stream's time base is one sample.
    s.rateNum = timed ? int(positionRate.num) : st->time_base.den;
    s.rateDen = timed ? int(positionRate.den) : st->time_base.num;
    s.sampleRate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    s.bitsPerSample = par->bits_per_coded_sample;
    s.declaredSamples = st->nb_frames;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && back.videoStream < 0) back.videoStream = int(i);
    back.streams.push_back(std::move(s));
  }

  Sha256 sha;
  if (!sha.ok()) return Error{ENOMEM, "no SHA-256 digest can be made"};
  ff::Packet pkt(av_packet_alloc());
  if (!pkt) return Error{ENOMEM, "out of memory"};
  int read = 0;
  while ((read = av_read_frame(input.get(), pkt.get())) >= 0) {
    if (pkt->stream_index == back.videoStream && pkt->size > 0) {
      int64_t position = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      if (timed) {
        const AVRational timeBase = input->streams[pkt->stream_index]->time_base;
        position = av_rescale_q_rnd(position, timeBase, positionTimeBase,
                                    AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
      }
      ReadBackSample sample;
      sample.size = uint32_t(pkt->size);
      sample.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      const std::optional<Sha256Digest> digest = sha.digest(pkt->data, std::size_t(pkt->size));
      if (!digest) return Error{EIO, "a SHA-256 digest failed"};
      sample.digest = *digest;
      if (!back.video.emplace(position, sample).second) ++back.repeatedPositions;
    }
    av_packet_unref(pkt.get());
  }
  if (read != AVERROR_EOF) back.error = "reading stopped early: " + ff::errorText(read);
  return back;
}

const Sha256Digest& emptyDigest() {
  static const Sha256Digest kEmpty = [] {
    Sha256 sha;
    return sha.finish().value_or(Sha256Digest{});
  }();
  return kEmpty;
}

}  // namespace qmv
