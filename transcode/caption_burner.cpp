// CaptionBurner: the camera name and the recorded date and time drawn into each picture with libavfilter's
// drawtext.
#include "transcode/caption_burner.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace qmv {
namespace {

constexpr int kMinFontSize = 12;
constexpr int kHeightPerFontPixel = 20;
// DejaVu Sans Mono: every glyph advances 0.602 em, and a line (ascent + descent) takes 1.164 em.
constexpr double kAdvancePerEm = 0.602;
constexpr double kLinePerEm = 1.2;
constexpr int kLines = 2;
constexpr std::size_t kTimeTextLength = 19;  // "YYYY-MM-DD HH:MM:SS"
// The caption reaches drawtext through the frame's metadata, so no text is ever parsed as filter options.
constexpr char kCaptionKey[] = "caption";

Error filterError(const std::string& what, int code) {
  return Error{code, what + ": " + ff::errorText(code)};
}

}  // namespace

CaptionLayout captionLayout(int width, int height, std::size_t longestLine) {
  CaptionLayout layout;
  const double chars = double(std::max<std::size_t>(longestLine, 1));
  int size = std::max(kMinFontSize, height / kHeightPerFontPixel);
  // The margins take about 0.9 em in all: the box border and the gap to the picture's edge.
  const int fitting = int(double(width) / (kAdvancePerEm * chars + 0.9));
  size = std::max(1, std::min(size, fitting));
  layout.fontSize = size;
  layout.border = std::max(2, size / 5);
  layout.x = layout.border + std::max(2, size / 4);
  layout.y = layout.x;
  layout.right = std::min(width, layout.x + int(std::ceil(kAdvancePerEm * size * chars)) + layout.border + 2);
  layout.bottom = std::min(height, layout.y + int(std::ceil(kLinePerEm * size * kLines)) + layout.border + 2);
  return layout;
}

std::string cameraCaptionName(const std::string& systemName, int channel) {
  std::string name = systemName.substr(0, systemName.find('\0'));
  for (char& ch : name)
    if (uint8_t(ch) < 0x20 || uint8_t(ch) > 0x7E) ch = '?';
  const std::size_t first = name.find_first_not_of(' ');
  name =
      first == std::string::npos ? std::string() : name.substr(first, name.find_last_not_of(' ') - first + 1);
  const std::string channelText = fmt::format("CH-{:02d}", channel + 1);
  return name.empty() ? channelText : name + " " + channelText;
}

struct CaptionBurner::Impl {
  ff::FilterGraph graph;
  AVFilterContext* source = nullptr;  // owned by graph
  AVFilterContext* sink = nullptr;    // owned by graph
  ff::Frame in;
  ff::Frame out;
  int width = 0;
  int height = 0;
  int64_t pts = 0;
  std::string cameraName;
  CaptionLayout layout;
};

CaptionBurner::CaptionBurner() : impl_(std::make_unique<Impl>()) {}
CaptionBurner::~CaptionBurner() = default;
const CaptionLayout& CaptionBurner::layout() const { return impl_->layout; }

bool CaptionBurner::available() { return avfilter_get_by_name("drawtext") != nullptr; }

Result<std::unique_ptr<CaptionBurner>> CaptionBurner::open(int width, int height,
                                                           const std::string& cameraName) {
  if (width <= 0 || height <= 0)
    return Error{AVERROR(EINVAL), "captions need a picture size, not " + std::to_string(width) + " x " +
                                      std::to_string(height)};
  std::error_code ec;
  if (!std::filesystem::is_regular_file(kCaptionFontFile, ec))
    return Error{AVERROR(ENOENT), std::string("the caption font ") + kCaptionFontFile +
                                      " is missing (Debian package fonts-dejavu-core)"};
  const AVFilter* drawtext = avfilter_get_by_name("drawtext");
  if (!drawtext)
    return Error{AVERROR_FILTER_NOT_FOUND, "this FFmpeg build has no drawtext filter for captions"};

  std::unique_ptr<CaptionBurner> burner(new CaptionBurner);
  Impl& s = *burner->impl_;
  s.width = width;
  s.height = height;
  s.cameraName = cameraName;
  s.layout = captionLayout(width, height, std::max(cameraName.size(), kTimeTextLength));
  s.graph.reset(avfilter_graph_alloc());
  s.in.reset(av_frame_alloc());
  s.out.reset(av_frame_alloc());
  if (!s.graph || !s.in || !s.out) return Error{AVERROR(ENOMEM), "out of memory for the caption filter"};
  s.graph->nb_threads = 1;  // one picture at a time; the conversion already runs beside other work

  const std::string sourceArgs = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                                 ":pix_fmt=bgr24:time_base=1/1:pixel_aspect=1/1";
  if (int r = avfilter_graph_create_filter(&s.source, avfilter_get_by_name("buffer"), "in",
                                           sourceArgs.c_str(), nullptr, s.graph.get());
      r < 0)
    return filterError("cannot set up the caption filter's input", r);
  if (int r = avfilter_graph_create_filter(&s.sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                           nullptr, s.graph.get());
      r < 0)
    return filterError("cannot set up the caption filter's output", r);
  const AVPixelFormat formats[] = {AV_PIX_FMT_BGR24, AV_PIX_FMT_NONE};
  if (int r = av_opt_set_int_list(s.sink, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN);
      r < 0)
    return filterError("cannot set the caption filter's picture format", r);

  AVFilterContext* text = avfilter_graph_alloc_filter(s.graph.get(), drawtext, "caption");
  if (!text) return Error{AVERROR(ENOMEM), "out of memory for the caption filter"};
  const CaptionLayout& l = s.layout;
  const std::string textOption = std::string("%{metadata:") + kCaptionKey + "}";
  const std::pair<const char*, std::string> options[] = {
      {"fontfile", kCaptionFontFile},
      {"text", textOption},
      {"fontsize", std::to_string(l.fontSize)},
      {"fontcolor", "white"},
      {"box", "1"},
      {"boxcolor", "black@0.65"},
      {"boxborderw", std::to_string(l.border)},
      {"x", std::to_string(l.x)},
      {"y", std::to_string(l.y)},
  };
  for (const auto& [name, value] : options) {
    if (int r = av_opt_set(text, name, value.c_str(), AV_OPT_SEARCH_CHILDREN); r < 0)
      return filterError(std::string("cannot set the caption filter's ") + name, r);
  }
  if (int r = avfilter_init_str(text, nullptr); r < 0)
    return filterError("cannot start the caption filter", r);
  if (int r = avfilter_link(s.source, 0, text, 0); r < 0)
    return filterError("cannot link the caption filter", r);
  if (int r = avfilter_link(text, 0, s.sink, 0); r < 0)
    return filterError("cannot link the caption filter", r);
  if (int r = avfilter_graph_config(s.graph.get(), nullptr); r < 0)
    return filterError("cannot configure the caption filter", r);
  return burner;
}

Status CaptionBurner::draw(uint8_t* bgr, const std::string& timeText) {
  Impl& s = *impl_;
  const std::size_t rowBytes = std::size_t(s.width) * 3;
  AVFrame& in = *s.in;
  in.format = AV_PIX_FMT_BGR24;
  in.width = s.width;
  in.height = s.height;
  if (int r = av_frame_get_buffer(&in, 0); r < 0) return filterError("cannot allocate a caption picture", r);
  for (int y = 0; y < s.height; ++y)
    std::memcpy(in.data[0] + std::ptrdiff_t(y) * in.linesize[0], bgr + y * rowBytes, rowBytes);
  in.pts = s.pts++;
  const std::string caption = s.cameraName + "\n" + timeText;
  if (int r = av_dict_set(&in.metadata, kCaptionKey, caption.c_str(), 0); r < 0) {
    av_frame_unref(&in);
    return filterError("cannot attach the caption", r);
  }
  // The source takes over the frame's buffers and leaves in empty.
  if (int r = av_buffersrc_add_frame(s.source, &in); r < 0) {
    av_frame_unref(&in);
    return filterError("the caption filter refused a picture", r);
  }
  AVFrame& out = *s.out;
  if (int r = av_buffersink_get_frame(s.sink, &out); r < 0)
    return filterError("the caption filter gave no picture", r);
  if (out.width != s.width || out.height != s.height || out.format != AV_PIX_FMT_BGR24) {
    av_frame_unref(&out);
    return Error{AVERROR(EINVAL), "the caption filter changed the picture's format"};
  }
  for (int y = 0; y < s.height; ++y)
    std::memcpy(bgr + y * rowBytes, out.data[0] + std::ptrdiff_t(y) * out.linesize[0], rowBytes);
  av_frame_unref(&out);
  return okStatus();
}

}  // namespace qmv
