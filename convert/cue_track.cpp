// CueTrack: subtitle cues of one channel.
#include "convert/cue_track.h"

#include <algorithm>

#include "convert/rate_check.h"
#include "convert/recorded_time.h"

namespace qmv {

// A cue's second may end before the cue began (the clock stepped back and its frames took later
// positions): the cue then lasts one position, never less.
int64_t CueTrack::endAt(int64_t end) const { return std::max(end, open_->start + 1); }

std::optional<Cue> CueTrack::sample(uint16_t time, int64_t position, int64_t limit, bool estimated,
                                    std::optional<uint16_t> pausedFrom) {
  std::optional<Cue> closed;
  if (open_ && (open_->time != time || open_->estimated != estimated || pausedFrom)) {
    // position > start: positions only grow, so the cue never reaches into the next.
    open_->end = std::min(position, endAt(limit_ >= 0 ? std::min(position, limit_) : position));
    closed = std::move(open_);
    open_.reset();
  }
  if (!open_) open_ = Cue{position, position, time, {}, pausedFrom, estimated};
  last_ = position;
  limit_ = limit;
  return closed;
}

std::vector<Cue> CueTrack::note(int64_t start, int64_t end, std::string text) {
  std::vector<Cue> cues;
  if (open_) {
    open_->end = std::max(open_->start + 1, limit_ >= 0 ? std::min(limit_, start) : start);
    cues.push_back(std::move(*open_));
    open_.reset();
  }
  cues.push_back(Cue{start, end, 0, std::move(text), std::nullopt, false});
  return cues;
}

std::optional<Cue> CueTrack::closeReached(int64_t position) {
  if (!open_ || limit_ < 0 || limit_ > position || open_->start >= position) return std::nullopt;
  open_->end = endAt(limit_);
  std::optional<Cue> closed = std::move(open_);
  open_.reset();
  return closed;
}

std::optional<Cue> CueTrack::close() {
  if (!open_) return std::nullopt;
  open_->end = last_ + 1;
  std::optional<Cue> closed = std::move(open_);
  open_.reset();
  return closed;
}

std::string cueText(const SystemInfo& info, const Cue& cue) {
  if (!cue.note.empty()) return cue.note;
  std::string text = recordedTimeText(info, cue.time);
  if (cue.estimated) text += kEstimatedMark;
  if (cue.pausedFrom)
    text += " [joined up: " + pauseSpanText(info, ChannelPause{*cue.pausedFrom, cue.time}) + "]";
  return text;
}

}  // namespace qmv
