// ConversionWorker: one pass over the frame index, writing one output file (AVI, MKV or MP4) per selected
// channel with video.
#include "convert/conversion_worker.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "convert/audio_distribution.h"
#include "convert/cue_track.h"
#include "convert/joined_recordings.h"
#include "convert/rate_check.h"
#include "convert/recorded_time.h"
#include "convert/window_range.h"
#include "decode/frame_geometry.h"
#include "decode/vol_header.h"
#include "output/shared_aac.h"
#include "recording/clock_rules.h"
#include "recording/frame_record.h"
#include "recording/record_reader.h"
#include "recording/recording_format.h"
#include "transcode/caption_burner.h"

namespace qmv {

// PCM goes to the file as the decoders produce it; AVI wants little-endian samples.
static_assert(std::endian::native == std::endian::little, "PCM samples are written in host order");

namespace {

// Past this many, repairs are only counted so a badly damaged file cannot flood the report.
constexpr std::size_t kMaxWarnings = 200;

// The run's warnings: listed in the report and handed to the message sink as they happen.
class WarningList {
 public:
  WarningList(std::vector<std::string>& out, MessageSink* sink) : out_(out), sink_(sink) {}
  // channel: 0-based, or -1 when the warning concerns no single channel.
  void add(int channel, std::string_view text) {
    if (out_.size() < kMaxWarnings) {
      out_.push_back(withContext({}, channel, text));
      if (sink_ != nullptr) sink_->message(Message{MessageKind::kWarning, out_.back(), {}, channel});
    } else {
      ++suppressed_;
    }
  }
  void close() {
    if (suppressed_ > 0) {
      out_.push_back(fmt::format("{} further repairs not listed", suppressed_));
      if (sink_ != nullptr) sink_->message(Message{MessageKind::kWarning, out_.back(), {}, -1});
    }
  }

 private:
  std::vector<std::string>& out_;
  MessageSink* sink_;
  uint64_t suppressed_ = 0;
};

std::string entryText(uint32_t entry, uint32_t offset) {
  return fmt::format("entry {} at 0x{:08X}", entry, offset);
}

struct Channel {
  std::unique_ptr<MediaWriter> writer;
  FrameRate rate;
  bool keySeen = false;
  bool skipped = false;                    // its writer could not be made for a geometry-less format code
  uint8_t formatCode = 0;                  // the file's, from the channel's first frame
  uint64_t otherSizeFrames = 0;            // pass-through frames of another picture size, left out
  std::optional<uint8_t> otherFormatCode;  // the first such frame's code
  CueTrack cues;                           // the recorded time, for containers with a subtitle track
  std::optional<StreamHeaderChoice> streamHeader;  // pass-through: the header its stream was given
  std::vector<ChannelPause> pauses;                // the declared clock: the pauses it joins up
  std::size_t nextPause = 0;
  bool framesVisited = false;
  uint64_t audioLead = 0;
  std::optional<uint16_t> firstFrameTime;
};

// "[gap 00:23:41]": how long nothing was recorded where a gap was closed.
std::string gapNoteText(uint32_t seconds) {
  return fmt::format("[gap {:02d}:{:02d}:{:02d}]", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

// One recording of the pass: the entries of it the pass visits, and where its times lie on the timeline.
struct Segment {
  std::size_t part = 0;  // its place among the parts joined
  const RecordingFile* recording = nullptr;
  int64_t offset = 0;     // its index times + offset: seconds on the timeline
  bool windowed = false;  // a window's end lies inside it: range is less than the whole recording
  WindowRange range;
};

// The parts that hold some of the window, each with the entries of it the window covers. A window's start
// applies in the part it lies in, its end in the part it lies in; an overlap a part repeats is left out.
std::vector<Segment> segmentsOf(const std::vector<JoinedPart>& parts, const ConversionSettings& settings) {
  const RecordedWindow& window = settings.window;
  std::vector<Segment> segments;
  for (std::size_t index = 0; index < parts.size(); ++index) {
    const JoinedPart& part = parts[index];
    const RecordingFile& recording = *part.recording;
    const int64_t first = part.offset + recording.firstTime(), last = part.offset + recording.lastTime();
    if ((window.to && *window.to < first) || (window.from && *window.from > last)) continue;
    RecordedWindow local;
    if (window.from && *window.from > first) local.from = *window.from - part.offset;
    if (window.to && *window.to < last) local.to = *window.to - part.offset;
    Segment segment{index, &recording, part.offset, local.from || local.to, {}};
    segment.range = segment.windowed ? windowRange(recording, local, settings.selectedChannels)
                                     : wholeRecording(recording);
    WindowRange& range = segment.range;
    range.begin = std::min(std::max(range.begin, part.firstEntry), range.end);
    for (uint32_t& start : range.channelStart) start = std::min(std::max(start, part.firstEntry), range.end);
    segments.push_back(segment);
  }
  return segments;
}

class Worker {
 public:
  Worker(const std::vector<JoinedPart>& parts, const ConversionContext& context, ConversionReport& report)
      : segments_(segmentsOf(parts, context.settings)),
        first_(parts.front().recording),
        recording_(first_),
        settings_(context.settings),
        context_(context),
        report_(report),
        warnings_(report.warnings, context.messages),
        joined_(parts.size() > 1),
        partCount_(parts.size()),
        audio_(first_->info()) {}

  void run();

 private:
  bool visitEntry(uint32_t k);
  uint32_t primeMask(uint32_t k) const;
  void primeAudio();
  bool stopRequested() const { return context_.stop != nullptr && context_.stop->load(); }
  bool handleVideo(const FrameIndexEntry& entry, const FrameHeader& head, const uint8_t* payload,
                   uint32_t wordCount);
  enum class Created { kOpened, kSkipped, kFailed };
  Created createWriter(int c, uint8_t formatCode);
  bool checkWriteErrors();
  void reportSkipped(uint32_t k, const FrameIndexEntry& entry, bool clipped, const std::string& why);
  void reportDecoderLoad(int c, const MediaWriter& writer);
  void reportAudio(uint32_t k, const FrameIndexEntry& entry);
  uint64_t sourceOffset(const FrameIndexEntry& entry) const {
    return uint64_t(recording_->recordingStart()) + entry.offset;
  }
  // An entry's time on the timeline (joinRecordings keeps it within 16 bits).
  uint16_t timeOf(const FrameIndexEntry& entry) const { return uint16_t(entry.time + segment_->offset); }
  void planTimeline();
  bool runSegment(const Segment& segment, std::size_t index, uint32_t& done);
  void fail(Error error);
  void failInput(Error error);
  void finishAll();
  void placeFrame(int c, const FrameIndexEntry& entry, int64_t& secondEnd);
  void noteGaps(uint16_t time);
  void addCue(Channel& channel, std::optional<Cue> cue);
  void fillPause(uint8_t source, uint16_t time);
  void measureLead(int c, const MediaWriter& writer, uint16_t time);

  std::vector<Segment> segments_;
  const RecordingFile* first_;  // the first part: its header names the outputs and dates them
  // The recording of the segment being visited.
  const RecordingFile* recording_;
  const Segment* segment_ = nullptr;
  const ConversionSettings& settings_;
  const ConversionContext& context_;
  ConversionReport& report_;
  WarningList warnings_;
  bool joined_;  // more than one recording
  std::size_t partCount_;
  WindowRange range_;  // the entries of the segment the pass visits; nothing past range_.readEnd is read
  std::optional<RecordReader> reader_;
  AudioDistributor audio_;
  // Channels of one audio input get the same samples, and so the same AAC packets, from one encoder.
  std::shared_ptr<AacEncoderPool> aac_ = std::make_shared<AacEncoderPool>();
  std::array<Channel, format::kChannelCount> channels_;
  uint32_t writerMask_ = 0;
  std::vector<uint8_t> stream_;  // one frame's payload in stream order, plus decoder padding
  // Observer bookkeeping; untouched when there is no observer.
  ConversionObserver* observer_ = nullptr;
  uint32_t current_ = 0;       // the entry being visited
  uint32_t audioTouched_ = 0;  // output channels that took samples of the current audio record
  std::array<int64_t, format::kChannelCount> audioFirst_{};
  std::array<std::size_t, format::kChannelCount> audioCount_{};
  std::vector<TimingPlan> plans_;  // the recorded clock, one per segment
  TimingPlan* plan_ = nullptr;     // the segment's
  uint16_t zero_ = 0;              // the timeline's second at the outputs' start (the recorded clock)
  std::size_t nextGap_ = 0;        // the segment's first closed gap not yet passed
};

void Worker::run() {
  observer_ = context_.observer;
  report_.parts.resize(partCount_);
  uint32_t total = 0;
  for (const Segment& segment : segments_) total += segment.range.end - segment.range.begin;
  // A whole recording: 0 .. entryCount, the last index block's own entry counted though not visited.
  if (!joined_ && segments_.size() == 1 && !segments_.front().windowed) total = first_->entryCount();
  if (context_.progress != nullptr) context_.progress->progressRange(total);

  for (std::size_t c = 0; c < channels_.size(); ++c) channels_[c].rate = channelRate(*first_, int(c));
  if (settings_.timing == Timing::kDeclared && !joined_) {
    for (ChannelTiming& timing : checkChannelRates(*first_))
      channels_[std::size_t(timing.channel)].pauses = std::move(timing.pauses);
  }
  report_.timing = settings_.timing;
  report_.window = settings_.window;
  report_.utcOffsetMinutes = settings_.utcOffsetMinutes;
  if (settings_.timing == Timing::kRecorded) planTimeline();

  uint32_t done = 0;
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    if (!runSegment(segments_[i], i, done)) break;
  }
  finishAll();
  warnings_.close();
}

// The recorded clock over every segment: each keeps its own pauses, and the next starts after the time
// between them (closed to the gap limit, if any). A channel's rate is the highest any segment needs.
void Worker::planTimeline() {
  report_.maxGapSeconds = settings_.maxGapSeconds;
  std::optional<int64_t> end,
      lastSecond;  // of the segments so far: output second after them, timeline second
  for (const Segment& segment : segments_) {
    TimingPlan& plan = plans_.emplace_back(*segment.recording, settings_.maxGapSeconds, segment.range);
    if (plan.empty()) continue;
    const int64_t first = segment.offset + plan.firstSecond();
    if (!end) {
      zero_ = uint16_t(first);
    } else {
      int64_t pause = std::max<int64_t>(first - *lastSecond - 1, 0);
      if (settings_.maxGapSeconds > 0) pause = std::min<int64_t>(pause, settings_.maxGapSeconds);
      plan.shiftBy(*end + pause);
    }
    end = plan.outputSecond(plan.lastSecond()) + 1;
    lastSecond = segment.offset + plan.lastSecond();
    for (ClosedGap gap : plan.closedGaps()) {
      gap.firstEmpty = uint16_t(gap.firstEmpty + segment.offset);
      gap.resume = uint16_t(gap.resume + segment.offset);
      report_.closedGaps.push_back(gap);
    }
  }
  for (std::size_t c = 0; c < channels_.size(); ++c) {
    const FrameRate declared = channels_[c].rate;
    for (const TimingPlan& plan : plans_) {
      const FrameRate fitted = plan.fitRate(int(c), declared);
      FrameRate& rate = channels_[c].rate;
      if (uint64_t(fitted.num) * rate.den > uint64_t(rate.num) * fitted.den) rate = fitted;
    }
  }
}

// One recording's entries; false ends the pass. A recording starts afresh: its audio decoders from their
// start state, and every channel at its next key frame.
bool Worker::runSegment(const Segment& segment, std::size_t index, uint32_t& done) {
  segment_ = &segment;
  recording_ = segment.recording;
  range_ = segment.range;
  reader_.emplace(recording_->source(), recording_->recordingStart(), range_.readEnd);
  plan_ = index < plans_.size() ? &plans_[index] : nullptr;
  nextGap_ = 0;
  if (index > 0) {
    audio_.prepare(recording_->info());
    for (Channel& channel : channels_) channel.keySeen = false;
  }
  primeAudio();
  for (uint32_t k = range_.begin; k < range_.end; ++k) {
    if (stopRequested()) {
      report_.stopped = true;
      return false;
    }
    ++done;
    if (context_.progress != nullptr) context_.progress->progressPosition(done);
    report_.entriesDone = done;
    if (!visitEntry(k)) return false;
  }
  return true;
}

// A window's channels that start after entry k: the audio they take is decoded up to their start but not
// written, so that their decoders hold the state the recording's own audio left there.
uint32_t Worker::primeMask(uint32_t k) const {
  if (!segment_->windowed) return 0;
  uint32_t mask = 0;
  for (int c = 0; c < format::kChannelCount; ++c) {
    const uint32_t start = range_.channelStart[std::size_t(c)];
    if (((settings_.selectedChannels >> c) & 1u) && k < start && start < range_.end) mask |= 1u << c;
  }
  return mask;
}

// ADPCM samples are differences from the ones before: sound cut out of the middle of a recording decodes
// right only from the decoders' state at its start. So a window's audio decoders run over the audio records
// before it (and only those: small records, read one by one through the index), their samples not written.
void Worker::primeAudio() {
  const uint32_t mask = primeMask(0);
  if (mask == 0 || range_.begin == 0) return;
  uint32_t inputs = 0;  // IMA decodes only the inputs the window's channels take
  for (int c = 0; c < format::kChannelCount; ++c)
    if ((mask >> c) & 1u) inputs |= 1u << (recording_->info().audioSource[std::size_t(c)] & 0x0F);
  std::vector<uint8_t> record;
  ByteSource& source = recording_->source();
  const auto ignore = [](int, const int16_t*, std::size_t) {};
  for (uint32_t k = 0; k < range_.begin && !stopRequested(); ++k) {
    const FrameIndexEntry& entry = recording_->entries()[k];
    if (entry.kind < format::kKindAudioBase || entry.kind >= format::kKindAudioBase + format::kChannelCount)
      continue;
    if (audio_.imaCoding() && ((inputs >> (entry.kind - format::kKindAudioBase)) & 1u) == 0) continue;
    const RecordExtent extent = recording_->recordExtent(k);
    if (!extent.usable() || extent.size < format::kRecordHeadSize) continue;
    record.resize(std::size_t(extent.size));
    // One read each, not through the file's map: faults would bring in (and keep) the pages of the frames
    // around every record.
    if (!source.readExact(sourceOffset(entry), record.data(), record.size())) continue;
    const FrameHeader head = readFrameHead(record.data(), record.size());
    if (head.frameType != format::kFrameTypeAudio) continue;
    const uint32_t words =
        std::min<uint32_t>(head.wordCount, uint32_t((record.size() - format::kRecordHeadSize) / 4));
    audio_.distribute(AudioRecord{head.source, words, record.data() + format::kRecordHeadSize}, primeMask(k),
                      ignore);
  }
}

// False ends the pass (an output failed).
bool Worker::visitEntry(uint32_t k) {
  const auto& entries = recording_->entries();
  const FrameIndexEntry& entry = entries[k];
  if (entry.kind == format::kKindBlock) return true;  // an index block, not a record
  if (!range_.writes(k, entry)) return true;          // a window's channel before its key frame
  // Salvaged recordings only: the bytes up to the next entry were unreadable and may have held frames of
  // any channel, so every channel waits for its next key frame: no picture that refers to a lost frame
  // is decoded or copied.
  if (entry.kind == format::kKindGap) {
    for (Channel& channel : channels_) channel.keySeen = false;
    return true;
  }
  current_ = k;
  PartSpan& span = report_.parts[segment_->part];
  span.first = span.any ? std::min(span.first, timeOf(entry)) : timeOf(entry);
  span.last = span.any ? std::max(span.last, timeOf(entry)) : timeOf(entry);
  span.any = true;
  if (plan_) noteGaps(entry.time);

  const RecordExtent extent = recording_->recordExtent(k);
  if (!extent.usable()) {
    const std::string why = extent.problem + "; skipped";
    warnings_.add(-1, entryText(k, entry.offset) + ": " + why);
    reportSkipped(k, entry, false, why);
    return true;
  }

  const std::size_t size = std::size_t(extent.size);
  const uint8_t* record = reader_->read(entry.offset, size);
  if (reader_->sourceError()) {
    failInput(*reader_->sourceError());
    return false;
  }
  if (reader_->lastReadShort()) {
    static const std::string kShort =
        "the file gave fewer bytes than the record holds; the rest reads as zero";
    warnings_.add(-1, entryText(k, entry.offset) + ": " + kShort);
    reportSkipped(k, entry, true, kShort);
  }
  // A record shorter than its head reads as zeros beyond its end.
  const FrameHeader head = readFrameHead(record, size);
  const std::size_t payloadBytes = size > format::kRecordHeadSize ? size - format::kRecordHeadSize : 0;
  const uint8_t* payload = payloadBytes > 0 ? record + format::kRecordHeadSize : nullptr;

  const bool isAudio = head.frameType == format::kFrameTypeAudio;
  if (!isAudio) {
    // Only selected video channels look further.
    if (entry.kind >= format::kChannelCount || ((settings_.selectedChannels >> entry.kind) & 1u) == 0)
      return true;
    if (channels_[entry.kind].skipped) return true;
  }

  uint32_t wordCount = head.wordCount;
  if (uint64_t(wordCount) * 4 > payloadBytes) {
    const std::string why =
        fmt::format("wordCount {} claims more than the {} payload bytes; clipped to {} words", wordCount,
                    payloadBytes, payloadBytes / 4);
    warnings_.add(-1, entryText(k, entry.offset) + ": " + why);
    reportSkipped(k, entry, true, why);
    wordCount = uint32_t(payloadBytes / 4);
  }

  if (isAudio) {
    uint32_t placed = 0;  // a long record reaches a channel in several parts; only its first is placed
    if (plan_ && wordCount > 0) fillPause(head.source, entry.time);
    audio_.distribute(AudioRecord{head.source, wordCount, payload}, writerMask_ | primeMask(k),
                      [this, &entry, &placed](int c, const int16_t* samples, std::size_t count) {
                        if (((writerMask_ >> c) & 1u) == 0) return;  // primed only
                        MediaWriter& writer = *channels_[std::size_t(c)].writer;
                        if (plan_ && ((placed >> c) & 1u) == 0) {
                          placed |= 1u << c;
                          measureLead(c, writer, entry.time);
                        }
                        // Stopped inside the silence: the samples would play before their time.
                        if (report_.stopped) return;
                        if (observer_ != nullptr) {
                          if (((audioTouched_ >> c) & 1u) == 0) {
                            audioTouched_ |= 1u << c;
                            audioFirst_[std::size_t(c)] = writer.audioPosition();
                            audioCount_[std::size_t(c)] = 0;
                          }
                          audioCount_[std::size_t(c)] += count;
                        }
                        writer.writeAudio(reinterpret_cast<const uint8_t*>(samples), count * sizeof(int16_t));
                      });
    if (observer_ != nullptr) reportAudio(k, entry);
    return checkWriteErrors();
  }
  return handleVideo(entry, head, payload, wordCount);
}

bool Worker::handleVideo(const FrameIndexEntry& entry, const FrameHeader& head, const uint8_t* payload,
                         uint32_t wordCount) {
  const int c = entry.kind;
  Channel& channel = channels_[std::size_t(c)];
  const bool estimated = recording_->timeEstimated(current_);
  if (!channel.writer) {
    const Created created = createWriter(c, head.formatCode);
    if (created == Created::kFailed) return false;
    if (created == Created::kSkipped) return true;
    channel.formatCode = head.formatCode;
  }
  // The declared clock joins a pause up: the first frame after it says so in its cue.
  std::optional<uint16_t> pausedFrom;
  while (channel.nextPause < channel.pauses.size() && entry.time >= channel.pauses[channel.nextPause].to) {
    pausedFrom = channel.pauses[channel.nextPause].from;
    ++channel.nextPause;
  }
  // A window's first frame may follow a pause before the window: no joint lies within the file.
  if (!channel.framesVisited) pausedFrom.reset();
  channel.framesVisited = true;
  const bool passThrough = settings_.videoMode == VideoMode::kPassThrough;
  if (passThrough && head.formatCode != channel.formatCode &&
      !sameCodedSize(head.formatCode, channel.formatCode)) {
    // A file's stream header holds one picture size: a frame of another would be copied bit-exact into a
    // stream no player can decode. It keeps its place in time, and the channel waits for a key frame of
    // the file's size again.
    ++channel.otherSizeFrames;
    if (!channel.otherFormatCode) channel.otherFormatCode = head.formatCode;
    channel.keySeen = false;
    const int64_t position = channel.writer->videoPosition();
    channel.writer->skipVideo();
    if (observer_ != nullptr)
      observer_->frameDropped(DroppedFrameEvent{c, current_, sourceOffset(entry), timeOf(entry), position, -1,
                                                estimated, pausedFrom});
    return true;
  }
  int64_t secondEnd = -1;
  if (plan_) {
    placeFrame(c, entry, secondEnd);
    // Stopped inside the empty positions: the frame would land before its time.
    if (report_.stopped) return true;
  }
  addCue(channel, channel.cues.sample(timeOf(entry), channel.writer->videoPosition(), secondEnd, estimated,
                                      pausedFrom));
  const uint8_t frameType = head.frameType;
  const bool key = format::isKeyFrameType(frameType);
  if (key) channel.keySeen = true;
  if (!channel.keySeen) {
    // Nothing decodes before the channel's first key frame. The frame still keeps its place in time:
    // collapsing it would put every later picture ahead of the audio recorded with it.
    const int64_t position = channel.writer->videoPosition();
    channel.writer->skipVideo();
    if (observer_ != nullptr)
      observer_->frameDropped(DroppedFrameEvent{c, current_, sourceOffset(entry), timeOf(entry), position,
                                                secondEnd, estimated, pausedFrom});
    return true;
  }

  const uint8_t padWords = head.padWords;
  const uint32_t streamWords = padWords < wordCount ? wordCount - padWords : 0;
  const int64_t position = channel.writer->videoPosition();
  if (!channel.firstFrameTime) channel.firstFrameTime = timeOf(entry);
  if (passThrough) {
    if (stream_.size() < std::size_t(streamWords) * 4) stream_.resize(std::size_t(streamWords) * 4);
    copyStreamWords(payload, streamWords, stream_.data());
    channel.writer->writeRawVideo(stream_.data(), std::size_t(streamWords) * 4, key);
  } else {
    const FrameHeader frame = decoderFrame(head, payload, wordCount, stream_);
    if (settings_.burnIn)
      channel.writer->setCaption(recordedTimeText(first_->info(), timeOf(entry)) +
                                 (estimated ? kEstimatedMark : ""));
    channel.writer->writeDecodedVideo(frame);
  }
  // A stop request may end the writer's fill of empty positions before the frame's own. (An encoder may hold
  // frames back, so only a copied frame is known to be in the file.)
  const bool written =
      !channel.writer->writeError() && (!passThrough || channel.writer->videoSamples() > position);
  if (observer_ != nullptr && written) {
    VideoSampleEvent event;
    event.channel = c;
    event.entry = current_;
    event.sourceOffset = sourceOffset(entry);
    event.time = timeOf(entry);
    event.key = key;
    event.position = position;
    event.data = stream_.data();
    event.size = std::size_t(streamWords) * 4;
    event.passThrough = passThrough;
    event.secondEnd = secondEnd;
    event.timeEstimated = estimated;
    event.pausedFrom = pausedFrom;
    observer_->videoSample(event);
  }
  return checkWriteErrors();
}

// A writer that cannot be opened fails the conversion, unless the channel's format code has no
// picture size: then only that channel is left out.
Worker::Created Worker::createWriter(int c, uint8_t formatCode) {
  Channel& channel = channels_[std::size_t(c)];
  const FrameGeometry geometry = getFrameGeometry(formatCode, settings_.standardize);
  const SystemInfo& info = first_->info();

  MediaWriterParams params;
  params.container = settings_.container;
  params.fileName = outputFileName(settings_.destinationDir, settings_.baseName, c, settings_.container);
  params.title = cameraCaptionName(info.systemName, c);
  // The file's date is the recorded time of its position 0: the recording's first second on the recorded
  // clock, the channel's first record on the declared one; a window starts each at the first second it
  // writes. The recorder states no zone: the containers' dates are UTC, so one is written only when the user
  // gave the clock's offset; the local time always goes into a tag that claims no zone.
  const bool wholeOne = !joined_ && !segment_->windowed;
  uint16_t zero = settings_.timing == Timing::kRecorded ? (wholeOne ? first_->firstTime() : zero_)
                  : wholeOne                            ? first_->channelSummaries()[std::size_t(c)].firstTime
                                                        : timeOf(recording_->entries()[current_]);
  const RecordedTime started = recordedTime(info, zero);
  if (settings_.utcOffsetMinutes) {
    const RecordedTime utc = toUtc(started, *settings_.utcOffsetMinutes);
    params.creationTime = fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}.000000Z", utc.year,
                                      utc.month, utc.day, utc.hour, utc.minute, utc.second);
  }
  params.recordedLocalTime = formatRecordedTime(started);
  params.width = geometry.width;
  params.height = geometry.height;
  params.pixelAspect = geometry.pixelAspect;
  params.rate = channel.rate;
  // Sources 0x80..0xFF (0xFF = none) never match a record, so such channels get no audio stream.
  params.withAudio = int8_t(info.audioSource[std::size_t(c)]) >= 0;
  params.fourcc = fourccOf(settings_.passThroughFourcc);
  params.compress = settings_.videoMode == VideoMode::kReEncode;
  if (params.compress) {
    params.options = settings_.compressOptions;
    params.burnIn = settings_.burnIn;
    params.cameraName = params.title;
  } else {
    // The stream keeps the frames as coded: the BITMAPINFOHEADER and the VOL in its extra data both
    // give the coded size (the unstandardized layout), and a half-height picture gets its shape from
    // the 1:2 pixel aspect in both, so players show it at its pair's full height.
    // Where the stored header states another size than the picture, the channel's first key frame
    // decides which of the two its frames are coded at.
    const StreamHeaderChoice header = chooseChannelStreamHeader(*recording_, c, formatCode, current_);
    params.width = header.width;
    params.height = header.height;
    params.pixelAspect = header.pixelAspect;
    params.videoExtraData = header.header;
    channel.streamHeader = header;
    if (header.basis == StreamHeaderChoice::Basis::kNeitherDecodes)
      warnings_.add(c, "stream header " + streamHeaderText(header) + "; the file may not decode");
  }
  params.overwrite = settings_.overwrite;
  params.xvidLibrary = settings_.xvidLibrary;
  params.aacPool = aac_;
  params.audioInput = info.audioSource[std::size_t(c)];
  params.stop = context_.stop;

  // The stream header travels in the extra data only: the channel's first recorded record takes
  // position 0, so the first picture plays together with the audio recorded with it.
  auto writer = std::make_unique<MediaWriter>();
  Status opened = writer->open(params);
  if (opened) {
    reportDecoderLoad(c, *writer);
    channel.writer = std::move(writer);
    writerMask_ |= 1u << c;
    if (observer_ != nullptr) observer_->outputOpened(c, params.fileName);
    return Created::kOpened;
  }
  if (geometry.width == 0 || geometry.height == 0) {
    const std::string why =
        fmt::format("format code {} has no picture size and the writer refused it ({}); channel skipped",
                    formatCode, opened.error().message);
    warnings_.add(c, why);
    if (observer_ != nullptr) {
      const FrameIndexEntry& entry = recording_->entries()[current_];
      observer_->recordSkipped(
          SkippedRecordEvent{current_, sourceOffset(entry), c, false, withContext({}, c, why)});
    }
    channel.skipped = true;
    return Created::kSkipped;
  }
  fail(opened.error());
  return Created::kFailed;
}

bool Worker::checkWriteErrors() {
  for (uint32_t mask = writerMask_; mask != 0; mask &= mask - 1) {
    const MediaWriter& writer = *channels_[std::size_t(std::countr_zero(mask))].writer;
    if (writer.writeError()) {
      fail(*writer.writeError());
      return false;
    }
  }
  return true;
}

void Worker::reportSkipped(uint32_t k, const FrameIndexEntry& entry, bool clipped, const std::string& why) {
  if (observer_ == nullptr) return;
  SkippedRecordEvent event;
  event.entry = k;
  event.sourceOffset = sourceOffset(entry);
  event.channel = entry.kind < format::kChannelCount ? int(entry.kind) : -1;
  event.clipped = clipped;
  event.reason = why;
  observer_->recordSkipped(event);
}

void Worker::reportAudio(uint32_t k, const FrameIndexEntry& entry) {
  for (uint32_t mask = audioTouched_; mask != 0; mask &= mask - 1) {
    const int c = std::countr_zero(mask);
    if (channels_[std::size_t(c)].writer->writeError()) continue;
    observer_->audioRecord(AudioRecordEvent{c, k, sourceOffset(entry), audioFirst_[std::size_t(c)],
                                            audioCount_[std::size_t(c)]});
  }
  audioTouched_ = 0;
}

// The decoder library loads when a re-encoding writer opens; a library that is missing or incomplete
// leaves that channel's pictures undecoded, which the user must hear about.
void Worker::reportDecoderLoad(int c, const MediaWriter& writer) {
  const std::optional<XvidLoadResult> failure = writer.decoderLoadFailure();
  if (!failure || context_.messages == nullptr) return;
  const std::optional<XvidLoadMessage> message = loadFailureMessage(*failure);
  if (!message) return;
  const MessageKind kind =
      failure->libraryMissing ? MessageKind::kDecoderLibraryMissing : MessageKind::kDecoderEntryPointMissing;
  context_.messages->message(Message{kind, message->text, message->caption, c});
}

// The recorded clock: empty positions up to where the frame's recorded second puts it. A frame whose clock
// stepped back takes the next free position: a stream's positions only grow. A stop request ends a long run
// of empty positions as it ends the pass.
void Worker::placeFrame(int c, const FrameIndexEntry& entry, int64_t& secondEnd) {
  Channel& channel = channels_[std::size_t(c)];
  const int64_t target = plan_->placeFrame(c, entry.time, channel.rate);
  secondEnd = TimingPlan::secondStart(plan_->outputSecond(entry.time) + 1, channel.rate);
  while (channel.writer->videoPosition() < target && !stopRequested()) channel.writer->skipVideo();
  if (channel.writer->videoPosition() < target) report_.stopped = true;
}

// Each closed gap the pass has reached gets a note on every output open so far; the picture holds and the
// audio stays silent over it.
void Worker::noteGaps(uint16_t time) {
  const std::vector<ClosedGap>& gaps = plan_->closedGaps();
  for (; nextGap_ < gaps.size() && time >= gaps[nextGap_].resume; ++nextGap_) {
    const ClosedGap& gap = gaps[nextGap_];
    for (uint32_t mask = writerMask_; mask != 0; mask &= mask - 1) {
      const int c = std::countr_zero(mask);
      Channel& channel = channels_[std::size_t(c)];
      GapNoteEvent note;
      note.channel = c;
      note.start =
          std::max(TimingPlan::secondStart(gap.outputSecond, channel.rate), channel.writer->videoPosition());
      note.end =
          std::max(note.start + 1, TimingPlan::secondStart(gap.outputSecond + gap.closedTo, channel.rate));
      note.text = gapNoteText(gap.seconds);
      for (Cue& cue : channel.cues.note(note.start, note.end, note.text)) addCue(channel, std::move(cue));
      if (observer_ != nullptr) observer_->gapNote(note);
    }
  }
}

void Worker::addCue(Channel& channel, std::optional<Cue> cue) {
  if (!cue) return;
  channel.writer->addCue(cue->start, cue->end, cueText(first_->info(), *cue));
}

// The recorded clock: an audio record is never placed earlier than its recorded second; silence fills the
// time up to it, on every channel that takes the record, a second at a time on each in turn: the outputs of
// one audio input share their AAC encoding, and none may run a pause ahead and leave its packets held for
// the others. Audio running on past its second is not cut, only measured (measureLead).
void Worker::fillPause(uint8_t source, uint16_t time) {
  static const std::array<int16_t, kAudioSampleRate> kSilence{};
  const int64_t target = plan_->outputSecond(time) * kAudioSampleRate;
  uint32_t filling = 0;
  for (uint32_t mask = writerMask_; mask != 0; mask &= mask - 1) {
    const int c = std::countr_zero(mask);
    Channel& channel = channels_[std::size_t(c)];
    if (int(int8_t(recording_->info().audioSource[std::size_t(c)])) != int(source) ||
        channel.writer->audioPosition() >= target)
      continue;
    // A cue before a pause ends where its second does; given now, it goes into the file ahead of the
    // pause's silence instead of after it.
    addCue(channel,
           channel.cues.closeReached(TimingPlan::secondStart(plan_->outputSecond(time), channel.rate)));
    filling |= 1u << c;
  }
  // A pause may hold an hour of silence: a stop request ends the fill as it ends the pass.
  while (filling != 0 && !stopRequested()) {
    for (uint32_t mask = filling; mask != 0; mask &= mask - 1) {
      const int c = std::countr_zero(mask);
      MediaWriter& writer = *channels_[std::size_t(c)].writer;
      const int64_t position = writer.audioPosition();
      if (position >= target || writer.writeError()) {
        filling &= ~(1u << c);
        continue;
      }
      const std::size_t count = std::size_t(std::min<int64_t>(target - position, int64_t(kSilence.size())));
      writer.writeAudio(reinterpret_cast<const uint8_t*>(kSilence.data()), count * sizeof(int16_t));
    }
  }
  // Cut short by a stop request: the run is stopped, and the record after the pause is not written early.
  if (filling != 0) report_.stopped = true;
}

void Worker::measureLead(int c, const MediaWriter& writer, uint16_t time) {
  const int64_t target = plan_->outputSecond(time) * kAudioSampleRate;
  Channel& channel = channels_[std::size_t(c)];
  if (writer.audioPosition() > target)
    channel.audioLead = std::max(channel.audioLead, uint64_t(writer.audioPosition() - target));
}

void Worker::fail(Error error) {
  if (!report_.outputError) report_.outputError = std::move(error);
}

void Worker::failInput(Error error) {
  if (!report_.inputError) report_.inputError = std::move(error);
}

void Worker::finishAll() {
  for (int c = 0; c < format::kChannelCount; ++c) {
    Channel& channel = channels_[std::size_t(c)];
    if (!channel.writer) continue;
    MediaWriter& writer = *channel.writer;
    addCue(channel, channel.cues.close());
    if (channel.otherSizeFrames > 0) {
      const FrameGeometry file = getFrameGeometry(channel.formatCode, false);
      const FrameGeometry other = getFrameGeometry(*channel.otherFormatCode, false);
      const bool one = channel.otherSizeFrames == 1;
      warnings_.add(
          c, fmt::format("{} {} recorded at another picture size (format {}, {}x{}) {} left out "
                         "of this file of format {} ({}x{}): one file's stream holds one picture size",
                         channel.otherSizeFrames, one ? "frame" : "frames", *channel.otherFormatCode,
                         other.width, other.height, one ? "was" : "were", channel.formatCode, file.width,
                         file.height));
    }
    Status finished = writer.finish();
    if (!finished) fail(finished.error());
    OutputFileReport file;
    file.channel = c;
    file.path = writer.fileName();
    file.frames = writer.framesWritten();
    file.keyFrames = writer.keyFramesWritten();
    file.positions = uint64_t(std::max<int64_t>(writer.videoSamples(), 0));
    file.rate = channel.rate;
    file.hasAudio = writer.hasAudio();
    file.audioSamples = uint64_t(std::max<int64_t>(writer.audioPosition(), 0));
    file.audioLeadSamples = channel.audioLead;
    file.firstFrameTime = channel.firstFrameTime;
    file.bytes = writer.bytesWritten();
    file.writeFault = writer.writeError().has_value();
    file.streamHeader = channel.streamHeader;
    report_.files.push_back(std::move(file));
    channel.writer.reset();
  }
  writerMask_ = 0;
}

}  // namespace

std::string outputFileName(const std::string& destinationDir, const std::string& baseName, int channel,
                           Container container) {
  const std::string suffix = fmt::format("_{:02d}{}", channel, containerExtension(container));
  std::string base = baseName;
  for (char& ch : base) {
    if (ch == '/' || ch == '\\' || ch == '\0') ch = '_';
  }
  // ".._00.avi" stays in the folder, but would be hidden and read like a folder reference.
  if (!base.empty() && base.find_first_not_of('.') == std::string::npos) base = "_" + base;
  return destinationDir + base + suffix;
}

ConversionReport runConversion(const RecordingFile& recording, const ConversionContext& context) {
  return runJoinedConversion(singlePart(recording), context);
}

ConversionReport runJoinedConversion(const std::vector<JoinedPart>& parts, const ConversionContext& context) {
  ConversionReport report;
  constexpr uint32_t kChannelBits = (1u << format::kChannelCount) - 1;
  if (parts.empty() || (context.settings.selectedChannels & kChannelBits) == 0) return report;
  for (const JoinedPart& part : parts)
    if (part.recording == nullptr || !part.recording->isOpen()) return report;
  report.started = true;
  {
    Worker worker(parts, context, report);
    worker.run();
  }
  if (context.progress != nullptr) context.progress->conversionDone(report);
  return report;
}

}  // namespace qmv
