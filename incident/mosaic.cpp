// Mosaic: one libavfilter graph lays the tiles out (scale, pad, drawtext, xstack) and adds the strip with
// the recorded time (drawtext, vstack); the pictures come from one decoder per camera and go to the MP4
// writer's H.264 encoder.
#include "incident/mosaic.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <tuple>
#include <utility>

#include "convert/conversion_context.h"
#include "convert/recorded_time.h"
#include "convert/timing_plan.h"
#include "decode/frame_geometry.h"
#include "decode/video_decoder.h"
#include "incident/video_record.h"
#include "output/media_writer.h"
#include "recording/recording_format.h"
#include "transcode/caption_burner.h"
#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace qmv {
namespace {

constexpr int kNameFontSize = 18;
constexpr int kTimeFontSize = 24;
// The time reaches drawtext through the strip picture's metadata, so no text is parsed as filter options.
constexpr char kTimeKey[] = "mosaic_time";

Error filterError(const std::string& what, int code) {
  return Error{code, what + ": " + ff::errorText(code)};
}

// What one grid cell shows: a camera's pictures at its decoded size, fitted into the tile, or nothing.
struct CellSource {
  int width = kMosaicTileWidth;  // of the pictures pushed in
  int height = kMosaicTileHeight;
  int fitWidth = kMosaicTileWidth;  // the picture's size inside the tile, its shape kept
  int fitHeight = kMosaicTileHeight;
  std::string name;  // empty: an empty cell
};

using FilterOption = std::pair<const char*, std::string>;

class MosaicGraph {
 public:
  static Result<std::unique_ptr<MosaicGraph>> open(const MosaicLayout& layout,
                                                   const std::vector<CellSource>& cells);

  // One picture: pictures[i] (bgr24 at cell i's size) in cell i, timeText in the strip. out receives the
  // mosaic as BGR24 rows top-down.
  Status compose(const std::vector<const AVFrame*>& pictures, const std::string& timeText,
                 std::vector<uint8_t>& out);

 private:
  MosaicGraph() = default;
  Result<AVFilterContext*> add(const char* filter, const std::string& name,
                               std::initializer_list<FilterOption> options);
  Status push(AVFilterContext* source, const AVFrame& picture);

  ff::FilterGraph graph_;
  std::vector<AVFilterContext*> sources_;  // owned by graph_
  AVFilterContext* strip_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  ff::Frame stripPicture_;
  ff::Frame pushed_;
  ff::Frame out_;
  MosaicLayout layout_;
  int64_t pts_ = 0;
};

Result<AVFilterContext*> MosaicGraph::add(const char* filter, const std::string& name,
                                          std::initializer_list<FilterOption> options) {
  const AVFilter* f = avfilter_get_by_name(filter);
  if (!f)
    return Error{AVERROR_FILTER_NOT_FOUND, std::string("this FFmpeg build has no ") + filter + " filter"};
  AVFilterContext* context = avfilter_graph_alloc_filter(graph_.get(), f, name.c_str());
  if (!context) return Error{AVERROR(ENOMEM), "out of memory for the mosaic's filters"};
  for (const auto& [key, value] : options) {
    if (int r = av_opt_set(context, key, value.c_str(), AV_OPT_SEARCH_CHILDREN); r < 0)
      return filterError(std::string("cannot set the mosaic's ") + filter + " " + key, r);
  }
  if (int r = avfilter_init_str(context, nullptr); r < 0)
    return filterError(std::string("cannot start the mosaic's ") + filter + " filter", r);
  return context;
}

Result<std::unique_ptr<MosaicGraph>> MosaicGraph::open(const MosaicLayout& layout,
                                                       const std::vector<CellSource>& cells) {
  std::unique_ptr<MosaicGraph> g(new MosaicGraph);
  g->layout_ = layout;
  g->graph_.reset(avfilter_graph_alloc());
  g->pushed_.reset(av_frame_alloc());
  g->out_.reset(av_frame_alloc());
  g->stripPicture_.reset(av_frame_alloc());
  if (!g->graph_ || !g->pushed_ || !g->out_ || !g->stripPicture_)
    return Error{AVERROR(ENOMEM), "out of memory for the mosaic's filters"};
  const auto size = [](int w, int h) { return fmt::format("{}x{}", w, h); };
  const auto link = [](AVFilterContext* from, AVFilterContext* to, unsigned pad) -> Status {
    if (int r = avfilter_link(from, 0, to, pad); r < 0)
      return filterError("cannot link the mosaic's filters", r);
    return okStatus();
  };
  const int columns = layout.columns;
  auto stack = g->add("xstack", "tiles",
                      {{"inputs", std::to_string(columns * columns)}, {"grid", size(columns, columns)}});
  if (!stack) return stack.error();
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const CellSource& cell = cells[i];
    auto source = g->add("buffer", fmt::format("cell{}", i),
                         {{"video_size", size(cell.width, cell.height)},
                          {"pix_fmt", "bgr24"},
                          {"time_base", "1/1"},
                          {"pixel_aspect", "1/1"}});
    if (!source) return source.error();
    g->sources_.push_back(source.value());
    AVFilterContext* last = source.value();
    if (!cell.name.empty()) {
      auto scale = g->add("scale", fmt::format("scale{}", i),
                          {{"w", std::to_string(cell.fitWidth)}, {"h", std::to_string(cell.fitHeight)}});
      if (!scale) return scale.error();
      auto pad = g->add("pad", fmt::format("pad{}", i),
                        {{"width", std::to_string(kMosaicTileWidth)},
                         {"height", std::to_string(kMosaicTileHeight)},
                         {"x", std::to_string((kMosaicTileWidth - cell.fitWidth) / 2)},
                         {"y", std::to_string((kMosaicTileHeight - cell.fitHeight) / 2)},
                         {"color", "black"}});
      if (!pad) return pad.error();
      // The name as it is: expansion off, so no '%' in a recorder's name is read as a directive.
      auto name = g->add("drawtext", fmt::format("name{}", i),
                         {{"fontfile", kCaptionFontFile},
                          {"text", cell.name},
                          {"expansion", "none"},
                          {"fontsize", std::to_string(kNameFontSize)},
                          {"fontcolor", "white"},
                          {"box", "1"},
                          {"boxcolor", "black@0.65"},
                          {"boxborderw", "4"},
                          {"x", "8"},
                          {"y", "8"}});
      if (!name) return name.error();
      for (AVFilterContext* next : {scale.value(), pad.value(), name.value()}) {
        if (Status st = link(last, next, 0); !st) return st.error();
        last = next;
      }
    }
    if (Status st = link(last, stack.value(), unsigned(i)); !st) return st.error();
  }
  auto strip = g->add("buffer", "strip",
                      {{"video_size", size(layout.width, kMosaicStripHeight)},
                       {"pix_fmt", "bgr24"},
                       {"time_base", "1/1"},
                       {"pixel_aspect", "1/1"}});
  if (!strip) return strip.error();
  g->strip_ = strip.value();
  auto time = g->add("drawtext", "time",
                     {{"fontfile", kCaptionFontFile},
                      {"text", std::string("%{metadata:") + kTimeKey + "}"},
                      {"fontsize", std::to_string(kTimeFontSize)},
                      {"fontcolor", "white"},
                      {"x", "(w-text_w)/2"},
                      {"y", "(h-text_h)/2"}});
  if (!time) return time.error();
  auto whole = g->add("vstack", "whole", {{"inputs", "2"}});
  if (!whole) return whole.error();
  if (int r = avfilter_graph_create_filter(&g->sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                           nullptr, g->graph_.get());
      r < 0)
    return filterError("cannot set up the mosaic's output", r);
  const AVPixelFormat formats[] = {AV_PIX_FMT_BGR24, AV_PIX_FMT_NONE};
  if (int r = av_opt_set_int_list(g->sink_, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN);
      r < 0)
    return filterError("cannot set the mosaic's picture format", r);
  for (const auto& [from, to, pad] :
       {std::tuple{strip.value(), time.value(), 0u}, std::tuple{stack.value(), whole.value(), 0u},
        std::tuple{time.value(), whole.value(), 1u}, std::tuple{whole.value(), g->sink_, 0u}}) {
    if (Status st = link(from, to, pad); !st) return st.error();
  }
  if (int r = avfilter_graph_config(g->graph_.get(), nullptr); r < 0)
    return filterError("cannot configure the mosaic's filters", r);

  AVFrame& s = *g->stripPicture_;
  s.format = AV_PIX_FMT_BGR24;
  s.width = layout.width;
  s.height = kMosaicStripHeight;
  if (int r = av_frame_get_buffer(&s, 0); r < 0) return filterError("cannot allocate the mosaic's strip", r);
  for (int y = 0; y < s.height; ++y)
    std::memset(s.data[0] + std::ptrdiff_t(y) * s.linesize[0], 0, s.width * 3);
  return g;
}

// A new reference to picture at the next time; the source takes it over.
Status MosaicGraph::push(AVFilterContext* source, const AVFrame& picture) {
  AVFrame& f = *pushed_;
  if (int r = av_frame_ref(&f, &picture); r < 0) return filterError("cannot pass a picture to the mosaic", r);
  f.pts = pts_;
  if (int r = av_buffersrc_add_frame(source, &f); r < 0) {
    av_frame_unref(&f);
    return filterError("the mosaic's filters refused a picture", r);
  }
  return okStatus();
}

Status MosaicGraph::compose(const std::vector<const AVFrame*>& pictures, const std::string& timeText,
                            std::vector<uint8_t>& out) {
  for (std::size_t i = 0; i < sources_.size(); ++i)
    if (Status st = push(sources_[i], *pictures[i]); !st) return st;
  // The strip's metadata is set on a fresh reference: the picture's buffer is shared, its metadata is not.
  AVFrame& strip = *pushed_;
  if (int r = av_frame_ref(&strip, stripPicture_.get()); r < 0)
    return filterError("cannot pass the strip to the mosaic", r);
  strip.pts = pts_;
  if (int r = av_dict_set(&strip.metadata, kTimeKey, timeText.c_str(), 0); r < 0) {
    av_frame_unref(&strip);
    return filterError("cannot attach the recorded time", r);
  }
  if (int r = av_buffersrc_add_frame(strip_, &strip); r < 0) {
    av_frame_unref(&strip);
    return filterError("the mosaic's filters refused the strip", r);
  }
  ++pts_;
  AVFrame& o = *out_;
  if (int r = av_buffersink_get_frame(sink_, &o); r < 0)
    return filterError("the mosaic's filters gave no picture", r);
  if (o.width != layout_.width || o.height != layout_.height || o.format != AV_PIX_FMT_BGR24) {
    av_frame_unref(&o);
    return Error{AVERROR(EINVAL), "the mosaic's filters changed the picture's format"};
  }
  const std::size_t row = std::size_t(o.width) * 3;
  out.resize(row * std::size_t(o.height));
  for (int y = 0; y < o.height; ++y)
    std::memcpy(out.data() + std::size_t(y) * row, o.data[0] + std::ptrdiff_t(y) * o.linesize[0], row);
  av_frame_unref(&o);
  return okStatus();
}

// A bgr24 frame of width x height, black, or holding a copy of bgr (rows top-down, no padding).
Result<ff::Frame> bgrFrame(int width, int height, const uint8_t* bgr) {
  ff::Frame f(av_frame_alloc());
  if (!f) return Error{AVERROR(ENOMEM), "out of memory for a mosaic picture"};
  f->format = AV_PIX_FMT_BGR24;
  f->width = width;
  f->height = height;
  if (int r = av_frame_get_buffer(f.get(), 0); r < 0)
    return filterError("cannot allocate a mosaic picture", r);
  const std::size_t row = std::size_t(width) * 3;
  for (int y = 0; y < height; ++y) {
    uint8_t* to = f->data[0] + std::ptrdiff_t(y) * f->linesize[0];
    if (bgr != nullptr) {
      std::memcpy(to, bgr + std::size_t(y) * row, row);
    } else {
      std::memset(to, 0, row);
    }
  }
  return f;
}

// The largest even size of width:height's shape inside the tile.
std::pair<int, int> fitInTile(int width, int height) {
  if (width <= 0 || height <= 0) return {kMosaicTileWidth, kMosaicTileHeight};
  if (int64_t(width) * kMosaicTileHeight >= int64_t(height) * kMosaicTileWidth) {
    const int h = int(int64_t(height) * kMosaicTileWidth / width) & ~1;
    return {kMosaicTileWidth, std::max(2, h)};
  }
  const int w = int(int64_t(width) * kMosaicTileHeight / height) & ~1;
  return {std::max(2, w), kMosaicTileHeight};
}

// One camera's tile: its decoder, the frames placed but not yet decoded, and the picture it shows.
struct Tile {
  int channel = 0;
  FrameRate rate;
  int64_t holdFrames = 0;  // mosaic pictures a camera's picture is shown for without a newer one
  uint8_t formatCode = 0;  // the frames this tile decodes: the first in the window with a picture size
  int codedWidth = 0;
  int codedHeight = 0;
  std::unique_ptr<VideoDecoder> decoder;
  std::vector<uint8_t> decoded;
  bool keySeen = false;
  uint32_t otherSize = 0;  // frames of another picture size, left out
  struct Placed {
    int64_t picture;  // the first mosaic picture at or after the frame's time (before 0: before the window)
    uint32_t entry;
  };
  std::deque<Placed> placed;
  ff::Frame picture;  // the last decoded picture; null: none yet
  int64_t shownSince = 0;
  ff::Frame black;
};

class MosaicWriter {
 public:
  MosaicWriter(const RecordingFile& recording, const MosaicRequest& request)
      : recording_(recording), request_(request), plan_(recording, 0) {}
  Result<MosaicResult> run();

 private:
  Status setUpTiles();
  uint32_t firstEntry();
  Status place(uint32_t k);
  // Writes the mosaic's pictures before `end` (a picture index), each tile decoding what is placed by then.
  Status writeUpTo(int64_t end);
  Status decode(Tile& tile, uint32_t entry);
  void warn(int channel, const std::string& text) {
    result_.warnings.push_back(withContext({}, channel, text));
  }

  const RecordingFile& recording_;
  const MosaicRequest& request_;
  TimingPlan plan_;
  MosaicResult result_;
  std::vector<Tile> tiles_;
  std::unique_ptr<MosaicGraph> graph_;
  MediaWriter writer_;
  int64_t rate_ = 1;         // mosaic pictures per second
  int64_t startSecond_ = 0;  // the window's first second on the plan's timeline
  int64_t total_ = 0;        // pictures in the window
  int64_t written_ = 0;
  std::vector<uint8_t> composed_;
  ff::Frame emptyCell_;
};

Status MosaicWriter::setUpTiles() {
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (!(request_.channels & recording_.videoMask() & (1u << c))) continue;
    Tile tile;
    tile.channel = c;
    tile.rate = plan_.fitRate(c, channelRate(recording_, c));
    rate_ = std::max<int64_t>(rate_, (int64_t(tile.rate.num) + tile.rate.den - 1) / tile.rate.den);
    tiles_.push_back(std::move(tile));
    result_.tileChannels.push_back(c);
  }
  if (tiles_.empty()) return Error{EINVAL, "none of the chosen channels has video"};
  for (Tile& tile : tiles_) {
    // A picture stays a second, and two of its camera's frame intervals, after the camera's last frame.
    const int64_t twoIntervals = (2 * rate_ * tile.rate.den + tile.rate.num - 1) / tile.rate.num;
    tile.holdFrames = std::max(rate_, twoIntervals);
  }
  return okStatus();
}

// The entry to start reading at: the first of the second that holds the earliest of the tiles' last key
// frames at or before the window, so every tile's first picture is whole and its frames are placed in
// their second as the conversion places them.
uint32_t MosaicWriter::firstEntry() {
  const auto& entries = recording_.entries();
  uint32_t inWindow = 0;
  while (inWindow < recording_.entryCount() && entries[inWindow].time < request_.from) ++inWindow;
  uint32_t start = inWindow;
  for (const Tile& tile : tiles_) {
    for (uint32_t k = inWindow; k-- > 0;) {
      if (entries[k].kind != tile.channel) continue;
      const std::optional<ReadRecord> r = readVideoRecord(recording_, k);
      if (r && r->key()) {
        start = std::min(start, k);
        break;
      }
    }
  }
  while (start > 0 && start < recording_.entryCount() && entries[start - 1].time == entries[start].time)
    --start;
  return start;
}

Status MosaicWriter::place(uint32_t k) {
  const FrameIndexEntry& e = recording_.entries()[k];
  for (Tile& tile : tiles_) {
    if (tile.channel != e.kind) continue;
    const int64_t position = plan_.placeFrame(tile.channel, e.time, tile.rate);
    // The first picture at or after position / rate seconds.
    const int64_t scaled = position * int64_t(tile.rate.den) * rate_;
    const int64_t picture =
        (scaled + int64_t(tile.rate.num) - 1) / int64_t(tile.rate.num) - startSecond_ * rate_;
    tile.placed.push_back(Tile::Placed{picture, k});
  }
  return okStatus();
}

Status MosaicWriter::decode(Tile& tile, uint32_t entry) {
  std::optional<ReadRecord> r = readVideoRecord(recording_, entry);
  if (!r) return okStatus();  // an unreadable record: the tile decodes on without it
  if (!tile.keySeen && !r->key()) return okStatus();
  // The tile's buffers fit its format code's pictures only.
  const uint8_t formatCode = r->frame.formatCode;
  if (formatCode != tile.formatCode) {
    if (tile.otherSize++ == 0)
      warn(tile.channel, fmt::format("frames of format code {} (the tile shows format code {}) are left out",
                                     formatCode, tile.formatCode));
    return okStatus();
  }
  if (!tile.decoder) {
    const FrameGeometry geometry = getFrameGeometry(formatCode, true);
    tile.decoded.assign(std::size_t(geometry.width) * std::size_t(geometry.height) * 3, 0);
    tile.decoder = request_.xvidLibrary ? std::make_unique<VideoDecoder>(request_.xvidLibrary)
                                        : std::make_unique<VideoDecoder>();
    if (tile.decoder->create(geometry.width, geometry.height, tile.decoded.data()) != VideoDecoder::kOk) {
      if (const std::optional<XvidLoadMessage> message = loadFailureMessage(tile.decoder->loadResult()))
        return Error{VideoDecoder::kErrFail, message->text};
      return Error{VideoDecoder::kErrFail, "the video decoder could not be created"};
    }
  }
  if (!tile.keySeen) tile.keySeen = true;
  if (tile.decoder->decodeFrame(r->frame) != VideoDecoder::kOk) return okStatus();
  // The decoder leaves a picture of its coded size at the start of its buffer.
  auto picture = bgrFrame(tile.codedWidth, tile.codedHeight, tile.decoded.data());
  if (!picture) return picture.error();
  tile.picture = std::move(picture).value();
  return okStatus();
}

Status MosaicWriter::writeUpTo(int64_t end) {
  end = std::min(end, total_);
  std::vector<const AVFrame*> cells(std::size_t(result_.layout.columns * result_.layout.columns),
                                    emptyCell_.get());
  for (; written_ < end; ++written_) {
    if (request_.stop != nullptr && request_.stop->load()) {
      result_.stopped = true;
      return okStatus();
    }
    for (std::size_t i = 0; i < tiles_.size(); ++i) {
      Tile& tile = tiles_[i];
      while (!tile.placed.empty() && tile.placed.front().picture <= written_) {
        const Tile::Placed next = tile.placed.front();
        tile.placed.pop_front();
        if (Status st = decode(tile, next.entry); !st) return st;
        if (tile.picture) tile.shownSince = next.picture;
      }
      const bool showing = tile.picture && written_ - tile.shownSince < tile.holdFrames;
      cells[i] = showing ? tile.picture.get() : tile.black.get();
    }
    const uint32_t second = uint32_t(request_.from + written_ / rate_);
    const std::string timeText = recordedTimeText(recording_.info(), second);
    if (Status st = graph_->compose(cells, timeText, composed_); !st) return st;
    if (written_ % rate_ == 0) writer_.addCue(written_, written_ + rate_, timeText);
    writer_.writePicture(composed_.data());
    if (writer_.writeError()) return *writer_.writeError();
  }
  return okStatus();
}

Result<MosaicResult> MosaicWriter::run() {
  if (request_.from > request_.to) return Error{EINVAL, "the mosaic's window ends before it begins"};
  if (Status st = setUpTiles(); !st) return st.error();
  result_.layout = mosaicLayout(int(tiles_.size()));
  result_.rate = FrameRate{uint32_t(rate_), 1};
  startSecond_ = plan_.outputSecond(request_.from);
  total_ = (plan_.outputSecond(request_.to) + 1 - startSecond_) * rate_;
  const uint32_t start = firstEntry();

  // Each tile's pictures keep the size of the first format code it meets in the window; the filters fit it
  // into the tile at the shape its geometry gives.
  std::vector<CellSource> cells(std::size_t(result_.layout.columns * result_.layout.columns));
  for (std::size_t i = 0; i < tiles_.size(); ++i) {
    Tile& tile = tiles_[i];
    CellSource& cell = cells[i];
    cell.name = cameraCaptionName(recording_.info().systemName, tile.channel);
    for (uint32_t k = start; k < recording_.entryCount(); ++k) {
      if (recording_.entries()[k].kind != tile.channel) continue;
      const std::optional<ReadRecord> r = readVideoRecord(recording_, k);
      const FrameGeometry geometry = r ? getFrameGeometry(r->frame.formatCode, true) : FrameGeometry{};
      if (geometry.width <= 0 || geometry.height <= 0) continue;
      tile.formatCode = r->frame.formatCode;
      const DecoderSize* coded = findDecoderSize(tile.formatCode);
      cell.width = coded ? coded->width : geometry.width;
      cell.height = coded ? coded->height : geometry.height;
      std::tie(cell.fitWidth, cell.fitHeight) = fitInTile(geometry.width, geometry.height);
      break;
    }
    tile.codedWidth = cell.width;
    tile.codedHeight = cell.height;
    auto black = bgrFrame(cell.width, cell.height, nullptr);
    if (!black) return black.error();
    tile.black = std::move(black).value();
  }
  auto empty = bgrFrame(kMosaicTileWidth, kMosaicTileHeight, nullptr);
  if (!empty) return empty.error();
  emptyCell_ = std::move(empty).value();
  auto graph = MosaicGraph::open(result_.layout, cells);
  if (!graph) return graph.error();
  graph_ = std::move(graph).value();

  MediaWriterParams params;
  params.fileName = request_.outputPath;
  params.container = Container::kMp4;
  // "DEMO-DVR mosaic": the system name as the cameras' names give it.
  const std::string camera = cameraCaptionName(recording_.info().systemName, 0);
  params.title = camera.substr(0, camera.rfind("CH-")) + "mosaic";
  params.recordedLocalTime = recordedTimeText(recording_.info(), request_.from);
  params.width = result_.layout.width;
  params.height = result_.layout.height;
  params.rate = result_.rate;
  params.compress = true;
  params.options = webCompressOptions();
  params.overwrite = request_.overwrite;
  params.xvidLibrary = request_.xvidLibrary;
  params.stop = request_.stop;
  if (Status st = writer_.open(params); !st) return st.error();

  Status st = okStatus();
  for (uint32_t k = start; k < recording_.entryCount() && st && !result_.stopped; ++k) {
    const FrameIndexEntry& e = recording_.entries()[k];
    if (e.kind >= format::kChannelCount || e.time > request_.to) continue;
    // A later second: every picture before it is settled, since a frame is placed within its own second.
    st = writeUpTo((plan_.outputSecond(e.time) - startSecond_) * rate_);
    if (st) st = place(k);
  }
  if (st && !result_.stopped) st = writeUpTo(total_);
  // The file is finished whatever happened, so that what was written plays.
  const Status finished = writer_.finish();
  if (!st) return st.error();
  if (!finished) return finished.error();
  for (const Tile& tile : tiles_)
    if (!tile.keySeen) warn(tile.channel, "no key frame in the window or before it: the tile stays black");
  result_.frames = written_;
  result_.bytes = writer_.bytesWritten();
  return result_;
}

}  // namespace

MosaicLayout mosaicLayout(int channels) {
  MosaicLayout layout;
  layout.columns = channels <= 4 ? 2 : channels <= 9 ? 3 : 4;
  layout.width = layout.columns * kMosaicTileWidth;
  layout.height = layout.columns * kMosaicTileHeight + kMosaicStripHeight;
  return layout;
}

bool mosaicAvailable() {
  for (const char* name : {"xstack", "vstack", "scale", "pad", "drawtext", "buffer", "buffersink"})
    if (!avfilter_get_by_name(name)) return false;
  return true;
}

Result<MosaicResult> writeMosaic(const RecordingFile& recording, const MosaicRequest& request) {
  if (!mosaicAvailable())
    return Error{
        AVERROR_FILTER_NOT_FOUND,
        "this build of the tool has no FFmpeg xstack and drawtext filters, which a mosaic is composed "
        "with"};
  MosaicWriter writer(recording, request);
  return writer.run();
}

}  // namespace qmv
