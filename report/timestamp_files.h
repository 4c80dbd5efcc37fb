// Files written beside each AVI file from the worker's events: recorded-time subtitles (.srt) and frame logs
// (.csv).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert/conversion_observer.h"
#include "convert/conversion_worker.h"
#include "convert/cue_track.h"
#include "output/output_file.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv {

// videoPath with its ".avi", ".mkv" or ".mp4" replaced by extension (".srt"); appended when the name has
// none of them.
std::string sideFileName(const std::string& videoPath, const std::string& extension);

// One text file written front to back; the first failure is kept and told by close.
class TextFile {
 public:
  // Created as OutputFile does it: exclusively, or (replace) aside and renamed over the old file on close.
  bool create(const std::string& path, bool replace = false);
  bool isOpen() const { return file_ != nullptr; }
  bool created() const { return created_; }
  void write(const char* text, std::size_t size);
  // Cuts the file before its first line (after the first skip lines) whose leading decimal number is at least
  // limit: the rows a cut-short video no longer holds.
  void cutRowsFrom(std::size_t skip, uint64_t limit);
  // Flushes and closes; the first error of create, write or close, if any.
  Status close();
  const std::string& path() const { return path_; }

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  void failWith(int error);
  std::unique_ptr<OutputFile> output_;
  std::unique_ptr<std::FILE, Closer> file_;
  std::string path_;
  bool created_ = false;
  std::optional<Error> error_;
};

// Both describe what the finished video holds: after a write fault, nothing at or past the positions the
// file kept (report.files' positions, writeFault).
//
// <base>_NN.srt: one cue per recorded second of the channel, showing the recorder's date and time.
// A cue starts at the first sample of its second (position / rate on the output's timeline) and ends
// where the next one starts (with the recorded clock, no later than its second ends); the last ends after
// its last sample. A new cue begins whenever the recorded second changes, so a clock that steps back gets a
// cue of its own. A closed gap gets a note cue. Lines end in CRLF, as SubRip files traditionally do.
class SubtitleFiles : public ConversionObserver {
 public:
  // replace: --overwrite, an existing file of the same name is replaced when the new one is complete.
  explicit SubtitleFiles(const SystemInfo& info, bool replace = false) : info_(info), replace_(replace) {}
  void outputOpened(int channel, const std::string& path) override;
  void videoSample(const VideoSampleEvent& event) override;
  // A frame left out before the first key frame keeps its place as an empty sample, and its second
  // its cue: the audio under it was recorded then.
  void frameDropped(const DroppedFrameEvent& event) override;
  void gapNote(const GapNoteEvent& event) override;
  // The rate of a channel is known for certain only from the finished conversion: cues are kept
  // until then and written here, timed at report.files' rates. The first error, if any.
  Status finish(const ConversionReport& report);
  // The files created, in channel order.
  std::vector<std::string> files() const;

 private:
  struct Track {
    TextFile file;
    CueTrack builder;
    std::vector<Cue> cues;
  };
  SystemInfo info_;
  void addSample(int channel, uint16_t time, int64_t position, int64_t secondEnd, bool estimated,
                 std::optional<uint16_t> pausedFrom);
  bool replace_;
  std::array<Track, format::kChannelCount> tracks_;
};

// <base>_NN.csv: one row per video sample written, under the header
// "position,recorded_time,key_frame,bytes,source_offset"; key_frame 1 or 0, the rest decimal.
// Lines end in LF.
class FrameLogFiles : public ConversionObserver {
 public:
  explicit FrameLogFiles(const SystemInfo& info, bool replace = false) : info_(info), replace_(replace) {}
  void outputOpened(int channel, const std::string& path) override;
  void videoSample(const VideoSampleEvent& event) override;
  // Closes every file, each cut to the positions its video holds; the first error, if any.
  Status finish(const ConversionReport& report);
  std::vector<std::string> files() const;

 private:
  SystemInfo info_;
  bool replace_;
  std::array<TextFile, format::kChannelCount> files_;
  std::array<int64_t, format::kChannelCount> lastPosition_{};  // of the last row written
  // Consecutive samples mostly share a second: its text is made once.
  int cachedTime_ = -1;
  std::string cachedText_;
};

}  // namespace qmv
