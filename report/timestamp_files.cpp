// Files written beside each AVI file from the worker's events: recorded-time subtitles (.srt) and frame logs
// (.csv).
#include "report/timestamp_files.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

#include "convert/rate_check.h"
#include "convert/recorded_moment.h"
#include "convert/recorded_time.h"
#include "recording/file_descriptor.h"

namespace qmv {
namespace {

bool validChannel(int channel) { return channel >= 0 && channel < format::kChannelCount; }

// "HH:MM:SS,mmm" of position samples at rate; hours grow past 99 if they must.
std::string srtTime(int64_t position, const FrameRate& rate) {
  const double seconds = double(position) * rate.den / rate.num;
  const int64_t ms = std::llround(seconds * 1000.0);
  return fmt::format("{:02d}:{:02d}:{:02d},{:03d}", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
}

}  // namespace

std::string sideFileName(const std::string& videoPath, const std::string& extension) {
  for (const ContainerTraits& traits : allContainers()) {
    const std::string_view video = traits.extension;
    if (videoPath.size() >= video.size() &&
        videoPath.compare(videoPath.size() - video.size(), video.size(), video) == 0) {
      return videoPath.substr(0, videoPath.size() - video.size()) + extension;
    }
  }
  return videoPath + extension;
}

bool TextFile::create(const std::string& path, bool replace) {
  path_ = path;
  created_ = false;
  error_.reset();
  file_.reset();
  auto output = OutputFile::create(path, replace ? Creation::kReplace : Creation::kNewAside);
  if (!output) {
    error_ = output.error();
    return false;
  }
  output_ = std::move(output).value();
  const int fd = ::dup(output_->fd());
  file_.reset(fd >= 0 ? ::fdopen(fd, "wb") : nullptr);
  if (!file_) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    output_->discard();
    error_ = Error{error, "cannot create " + path + ": " + std::strerror(error)};
    return false;
  }
  created_ = true;
  return true;
}

void TextFile::write(const char* text, std::size_t size) {
  if (!file_ || error_) return;
  if (std::fwrite(text, 1, size, file_.get()) != size) failWith(errno);
}

void TextFile::cutRowsFrom(std::size_t skip, uint64_t limit) {
  if (!file_ || error_) return;
  if (std::fflush(file_.get()) != 0) return failWith(errno);
  uint64_t size = 0;
  auto in = openRegularFile(output_->writtenPath(), size);
  if (!in) return failWith(in.error().code);
  std::vector<char> block(64 * 1024);
  uint64_t lineStart = 0;
  std::size_t line = 0;
  uint64_t number = 0;
  bool digits = true;  // the line so far is all digits
  for (uint64_t at = 0; at < size;) {
    const Transfer got = readFully(in.value()->get(), block.data(), block.size(), at);
    if (got.error != 0) return failWith(got.error);
    if (got.bytes == 0) break;
    for (std::size_t i = 0; i < got.bytes; ++i) {
      const char c = block[i];
      if (c >= '0' && c <= '9' && digits) {
        number = number * 10 + uint64_t(c - '0');
      } else if (c == '\n') {
        lineStart = at + i + 1;
        ++line;
        number = 0;
        digits = true;
      } else {
        if (line >= skip && digits && number >= limit && lineStart < size) {
          if (const int cut = truncateDescriptor(output_->fd(), lineStart); cut != 0) failWith(cut);
          return;
        }
        digits = false;
      }
    }
    at += got.bytes;
  }
}

void TextFile::failWith(int error) {
  if (!error_)
    error_ = Error{error, "cannot write to " + path_ + ": " + std::strerror(error != 0 ? error : EIO)};
}

Status TextFile::close() {
  if (file_) {
    std::FILE* f = file_.release();
    if (std::fflush(f) != 0) failWith(errno);
    if (std::fclose(f) != 0) failWith(errno);
  }
  if (output_) {
    // A file cut short by a failed write is no evidence of the recorded time: it never takes its name, and
    // files() no longer lists it, so no summary or report names it.
    if (error_) {
      if (output_->discard()) error_->message += "; the unfinished file was removed";
      created_ = false;
    } else if (Status placed = output_->commit(); !placed) {
      error_ = placed.error();
      created_ = false;
    }
    output_.reset();
  }
  if (error_) return *error_;
  return okStatus();
}

void SubtitleFiles::outputOpened(int channel, const std::string& path) {
  if (!validChannel(channel)) return;
  Track& track = tracks_[std::size_t(channel)];
  track.cues.clear();
  track.builder = CueTrack{};
  track.file.create(sideFileName(path, ".srt"), replace_);
}

void SubtitleFiles::videoSample(const VideoSampleEvent& event) {
  addSample(event.channel, event.time, event.position, event.secondEnd, event.timeEstimated,
            event.pausedFrom);
}

void SubtitleFiles::frameDropped(const DroppedFrameEvent& event) {
  addSample(event.channel, event.time, event.position, event.secondEnd, event.timeEstimated,
            event.pausedFrom);
}

void SubtitleFiles::gapNote(const GapNoteEvent& event) {
  if (!validChannel(event.channel)) return;
  Track& track = tracks_[std::size_t(event.channel)];
  if (!track.file.isOpen()) return;
  for (Cue& cue : track.builder.note(event.start, event.end, event.text))
    track.cues.push_back(std::move(cue));
}

void SubtitleFiles::addSample(int channel, uint16_t time, int64_t position, int64_t secondEnd, bool estimated,
                              std::optional<uint16_t> pausedFrom) {
  if (!validChannel(channel)) return;
  Track& track = tracks_[std::size_t(channel)];
  if (!track.file.isOpen()) return;
  if (std::optional<Cue> closed = track.builder.sample(time, position, secondEnd, estimated, pausedFrom))
    track.cues.push_back(std::move(*closed));
}

Status SubtitleFiles::finish(const ConversionReport& report) {
  std::optional<Error> first;
  for (int c = 0; c < format::kChannelCount; ++c) {
    Track& track = tracks_[std::size_t(c)];
    if (track.file.path().empty()) continue;
    FrameRate rate;
    int64_t held = INT64_MAX;  // the positions a video cut short holds
    for (const OutputFileReport& file : report.files) {
      if (file.channel != c) continue;
      rate = file.rate;
      if (file.writeFault) held = int64_t(std::min<uint64_t>(file.positions, INT64_MAX));
    }
    if (std::optional<Cue> last = track.builder.close()) track.cues.push_back(std::move(*last));
    // A video cut short by a write fault: no cue for what it no longer holds.
    std::erase_if(track.cues, [held](const Cue& cue) { return cue.start >= held; });
    for (Cue& cue : track.cues) cue.end = std::min(cue.end, held);
    if (rate.num != 0 && rate.den != 0) {
      std::string text;
      for (std::size_t i = 0; i < track.cues.size(); ++i) {
        const Cue& cue = track.cues[i];
        text.clear();
        text += std::to_string(i + 1) + "\r\n";
        text += srtTime(cue.start, rate) + " --> " + srtTime(cue.end, rate) + "\r\n";
        text += cueText(info_, cue) + "\r\n";
        // A window's first cue also says what was asked for: the picture starts at the key frame before it.
        if (i == 0 && (report.window.from || report.window.to))
          text += "window " + windowText(info_, report.window) + "\r\n";
        text += "\r\n";
        track.file.write(text.data(), text.size());
      }
    }
    if (Status closed = track.file.close(); !closed && !first) first = closed.error();
    track.cues.clear();
  }
  if (first) return *first;
  return okStatus();
}

std::vector<std::string> SubtitleFiles::files() const {
  std::vector<std::string> paths;
  for (const Track& track : tracks_) {
    if (track.file.created()) paths.push_back(track.file.path());
  }
  return paths;
}

void FrameLogFiles::outputOpened(int channel, const std::string& path) {
  if (!validChannel(channel)) return;
  TextFile& file = files_[std::size_t(channel)];
  lastPosition_[std::size_t(channel)] = -1;
  if (!file.create(sideFileName(path, ".csv"), replace_)) return;
  static constexpr char kHeader[] = "position,recorded_time,key_frame,bytes,source_offset\n";
  file.write(kHeader, sizeof kHeader - 1);
}

void FrameLogFiles::videoSample(const VideoSampleEvent& event) {
  if (!validChannel(event.channel)) return;
  TextFile& file = files_[std::size_t(event.channel)];
  if (!file.isOpen()) return;
  lastPosition_[std::size_t(event.channel)] = event.position;
  if (cachedTime_ != int(event.time)) {
    cachedTime_ = event.time;
    cachedText_ = recordedTimeText(info_, event.time);
  }
  fmt::memory_buffer row;
  fmt::format_to(std::back_inserter(row), "{},{},{},{},{}\n", event.position, cachedText_, event.key ? 1 : 0,
                 event.size, event.sourceOffset);
  file.write(row.data(), row.size());
}

Status FrameLogFiles::finish(const ConversionReport& report) {
  std::optional<Error> first;
  for (const OutputFileReport& video : report.files) {
    if (!validChannel(video.channel)) continue;
    const std::size_t c = std::size_t(video.channel);
    if (video.writeFault && lastPosition_[c] >= 0 && uint64_t(lastPosition_[c]) >= video.positions)
      files_[c].cutRowsFrom(1, video.positions);  // under the header
  }
  for (TextFile& file : files_) {
    if (file.path().empty()) continue;
    if (Status closed = file.close(); !closed && !first) first = closed.error();
  }
  if (first) return *first;
  return okStatus();
}

std::vector<std::string> FrameLogFiles::files() const {
  std::vector<std::string> paths;
  for (const TextFile& file : files_) {
    if (file.created()) paths.push_back(file.path());
  }
  return paths;
}

}  // namespace qmv
