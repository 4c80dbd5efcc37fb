// Trial of an encoder and a muxer in memory.
#include "output/encoder_fit.h"

#include <cerrno>

#include "output/media_streams.h"
#include "transcode/ffmpeg_handles.h"
#include "transcode/video_encoder.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace qmv {

namespace {

// A muxer over a growing buffer in memory; the buffer goes with the context.
struct MemoryMuxer {
  AVFormatContext* context = nullptr;
  ~MemoryMuxer() {
    if (!context) return;
    if (context->pb) {
      uint8_t* bytes = nullptr;
      avio_close_dyn_buf(context->pb, &bytes);
      av_free(bytes);
      context->pb = nullptr;
    }
    avformat_free_context(context);
  }
};

}  // namespace

Status checkEncoderFits(const std::string& encoder, Container container) {
  const ContainerTraits& traits = traitsOf(container);
  const std::string pair = encoder + " in " + traits.title;
  MemoryMuxer muxer;
  if (avformat_alloc_output_context2(&muxer.context, nullptr, traits.muxer, nullptr) < 0 || !muxer.context)
    return Error{ENOMEM, pair + ": no " + traits.title + " muxer"};
  if (avio_open_dyn_buf(&muxer.context->pb) < 0) return Error{ENOMEM, pair + ": out of memory"};

  CompressOptions options;
  options.encoder = encoder;
  // A small picture of the shape every recorder format has: an encoder that takes it takes them all.
  constexpr int kWidth = 64, kHeight = 48;
  auto opened = VideoEncoder::open(options, kWidth, kHeight, AVRational{1, 25}, 1, AVRational{1, 1},
                                   (muxer.context->oformat->flags & AVFMT_GLOBALHEADER) != 0);
  if (!opened) return Error{opened.error().code, pair + ": " + opened.error().message};
  AVStream* stream = avformat_new_stream(muxer.context, nullptr);
  if (!stream) return Error{ENOMEM, pair + ": out of memory"};
  stream->time_base = AVRational{1, 25};
  if (Status st = opened.value()->fillParameters(*stream->codecpar, 0); !st) return st;

  AVDictionary* muxerOptions = nullptr;
  setMuxerOptions(container, &muxerOptions);
  const int header = avformat_write_header(muxer.context, &muxerOptions);
  av_dict_free(&muxerOptions);
  if (header < 0) return Error{EINVAL, encoder + " does not fit " + traits.title + " files"};
  return okStatus();
}

std::vector<Container> containersFitting(const std::string& encoder) {
  std::vector<Container> fitting;
  for (const ContainerTraits& traits : allContainers())
    if (checkEncoderFits(encoder, traits.container)) fitting.push_back(traits.container);
  return fitting;
}

}  // namespace qmv
