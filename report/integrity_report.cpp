// The integrity report: a per-record observer, input and output hashes, the read-back frame map, versioned
// JSON.
#include "report/integrity_report.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "convert/rate_check.h"
#include "convert/recorded_time.h"
#include "output/output_file.h"
#include "recording/hex_text.h"
#include "report/json_stream.h"
#include "report/output_read_back.h"
#include "report/report_schema.h"
#include "report/salvage_json.h"

namespace qmv {
namespace {

constexpr const char* kSalvage = "salvage";

namespace fs = std::filesystem;
namespace key = report_key;

std::string isoTime(int64_t seconds) {
  namespace chrono = std::chrono;
  const chrono::sys_seconds t{chrono::seconds(seconds)};
  const chrono::sys_days day = chrono::floor<chrono::days>(t);
  const chrono::year_month_day date{day};
  const chrono::hh_mm_ss time{t - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", int(date.year()), unsigned(date.month()),
                     unsigned(date.day()), time.hours().count(), time.minutes().count(),
                     time.seconds().count());
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

// The path made absolute, with its bytes in hex beside it.
void putPath(Json& object, const std::string& path) {
  const std::string absolute = absolutePath(path);
  object[key::kPath] = absolute;
  object[key::kPathHex] = hexText({reinterpret_cast<const uint8_t*>(absolute.data()), absolute.size()});
}

// Null when the code is not four printable characters.
Json fourccJson(uint32_t tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const char ch = char((tag >> (8 * i)) & 0xFF);
    if (ch < 0x20 || ch >= 0x7F) return nullptr;
    text += ch;
  }
  return text;
}

Json streamJson(const ReadBackStream& s) {
  Json j;
  j["type"] = s.type;
  j["codec"] = s.codec;
  if (s.type == "video") {
    j["fourcc"] = fourccJson(s.tag);
    j["width"] = s.width;
    j["height"] = s.height;
    j["rate"] = Json{{"num", s.rateNum}, {"den", s.rateDen}};
  } else if (s.type == "audio") {
    j["formatTag"] = s.tag;
    j["sampleRate"] = s.sampleRate;
    j["channels"] = s.channels;
    j["bitsPerSample"] = s.bitsPerSample;
  }
  j["declaredSamples"] = s.declaredSamples;
  return j;
}

Json skippedJson(const SkippedRecordEvent& e) {
  Json j;
  j["entry"] = e.entry;
  j["sourceOffset"] = e.sourceOffset;
  j["channel"] = e.channel >= 0 ? Json(e.channel + 1) : Json(nullptr);
  j["clipped"] = e.clipped;
  j["reason"] = e.reason;
  return j;
}

Json timingJson(const ChannelTiming& t) {
  Json j;
  j["rateByte"] = t.rateByte;
  j["declaredRate"] = t.declaredRate;
  j["deliveredRate"] = t.deliveredRate;
  j["indexFrames"] = t.frames;
  j["firstTime"] = t.firstTime;
  j["lastTime"] = t.lastTime;
  j["spanSeconds"] = t.spanSeconds;
  j["warning"] = t.warning ? Json(rateWarningText(t)) : Json(nullptr);
  return j;
}

Json outcomeJson(const ConversionReport& report, uint32_t entryCount) {
  Json outcome;
  if (report.outputError) {
    outcome["status"] = "output-error";
    outcome["message"] = report.outputError->message;
  } else if (report.inputError) {
    outcome["status"] = "input-error";
    outcome["message"] = report.inputError->message;
  } else {
    outcome["status"] = report.stopped ? "stopped" : "completed";
    outcome["message"] = nullptr;
  }
  outcome["entriesDone"] = report.entriesDone;
  outcome["entryCount"] = entryCount;
  return outcome;
}

Json inputJson(const RecordingFile& recording, const std::string& path, const Result<FileDigests>& digests) {
  Json in;
  putPath(in, path);
  if (digests) {
    in[key::kSize] = digests->size;
    in[key::kSha256] = toHex(digests->whole);
  } else {
    in[key::kSize] = recording.fileLength();
    in[key::kSha256] = nullptr;
    in["hashError"] = digests.error().message;
  }
  std::error_code unknown;
  if (const fs::file_time_type modified = fs::last_write_time(path, unknown); !unknown) {
    const auto since = std::chrono::file_clock::to_sys(modified).time_since_epoch();
    in["modified"] = isoTime(std::chrono::floor<std::chrono::seconds>(since).count());
  }
  in[key::kWrapped] = recording.isWrapped();
  if (recording.isWrapped()) {
    Json carved;
    carved[key::kOffset] = recording.recordingStart();
    carved[key::kSize] = recording.recordingLength();
    carved["trailingSize"] = recording.trailingSize();
    carved[key::kSha256] = digests && digests->range ? Json(toHex(*digests->range)) : Json(nullptr);
    in[key::kRecording] = carved;
  }
  return in;
}

Json descriptionJson(const RecordingFile& recording) {
  const RecordingDescription& d = recording.description();
  const std::string& systemName = recording.info().systemName;
  return Json{
      {"systemName", d.systemName},
      {"systemNameHex", hexText({reinterpret_cast<const uint8_t*>(systemName.data()), systemName.size()})},
      {"version", d.version},
      {"macAddress", d.macAddress},
      {"languageVideo", d.languageVideo},
      {"recordedTime", d.recordedTime}};
}

// One output file as it is on disk: its digest and what libavformat reads back from it.
struct WrittenOutput {
  Result<FileDigests> digests;
  Result<OutputReadBack> back;
};

WrittenOutput readOutput(const std::string& path, FrameRate positionRate) {
  // The file's digest and the read-back are two reads of the same fresh file: run them side by side.
  std::future<Result<FileDigests>> hashing =
      std::async(std::launch::async, [&path] { return hashFile(path); });
  Result<OutputReadBack> back = readBackOutput(path, positionRate);
  return WrittenOutput{hashing.get(), std::move(back)};
}

// What a file cut short by a write fault still holds of what was written to it: the frames and left-out
// frames before its positions, and no more audio than it has.
IntegrityReport::ChannelLog heldPart(const IntegrityReport::ChannelLog& log,
                                     const OutputFileReport& written) {
  IntegrityReport::ChannelLog held = log;
  const auto past = [&written](const auto& f) {
    return f.position < 0 || uint64_t(f.position) >= written.positions;
  };
  std::erase_if(held.frames, past);
  std::erase_if(held.dropped, past);
  held.audioSamples = std::min(held.audioSamples, written.audioSamples);
  return held;
}

// An output's members before its frame map. written is the worker's account of the file, null when the
// worker never finished it.
Json outputJson(int channel, const IntegrityReport::ChannelLog& log, const OutputFileReport* written,
                const WrittenOutput& output, const std::vector<SkippedRecordEvent>& skippedRecords,
                const ChannelTiming* timing, bool timingRecorded) {
  Json file;
  file["channel"] = channel + 1;
  putPath(file, log.path);
  file[key::kSize] = output.digests ? Json(output.digests->size) : Json(nullptr);
  if (written != nullptr)
    file[key::kPositionRate] = Json{{key::kNum, written->rate.num}, {key::kDen, written->rate.den}};
  file[key::kSha256] = output.digests ? Json(toHex(output.digests->whole)) : Json(nullptr);
  if (!output.digests) file["hashError"] = output.digests.error().message;
  file["streams"] = Json::array();
  if (output.back) {
    for (const ReadBackStream& s : output.back->streams) file["streams"].push_back(streamJson(s));
  }
  const auto keys =
      uint64_t(std::count_if(log.frames.begin(), log.frames.end(), [](const auto& f) { return f.key; }));
  Json dropped = Json::array();
  for (const auto& d : log.dropped)
    dropped.push_back(
        Json{{"entry", d.entry}, {"sourceOffset", d.sourceOffset}, {key::kPosition, d.position}});
  file["video"] = Json{{"framesWritten", written != nullptr ? written->frames : uint64_t(log.frames.size())},
                       {"keyFrames", written != nullptr ? written->keyFrames : keys},
                       {"droppedBeforeFirstKey", log.dropped.size()},
                       {"dropped", dropped}};
  // Where the stored stream header states another size than the picture: which one the stream got.
  if (written != nullptr && written->streamHeader &&
      written->streamHeader->basis != StreamHeaderChoice::Basis::kSingle) {
    const StreamHeaderChoice& h = *written->streamHeader;
    file["video"]["streamHeader"] = Json{{"width", h.width},
                                         {"height", h.height},
                                         {"source", streamHeaderSourceName(h)},
                                         {"basis", streamHeaderBasisName(h.basis)},
                                         {"reason", streamHeaderText(h)}};
  }
  const bool audio = written != nullptr ? written->hasAudio : log.audioRecords > 0;
  file["audio"] = audio
                      ? Json{{"recordsWritten", log.audioRecords},
                             {"samples", log.audioSamples},
                             // The recorded clock: how far the audio ran past its recorded second at most.
                             {"leadSeconds", written != nullptr && timingRecorded
                                                 ? Json(double(written->audioLeadSamples) / kAudioSampleRate)
                                                 : Json(nullptr)}}
                      : Json(nullptr);
  Json skipped = Json::array();
  for (const SkippedRecordEvent& e : skippedRecords) {
    if (e.channel == channel) skipped.push_back(skippedJson(e));
  }
  file["skippedRecords"] = skipped;
  file["timing"] = timing != nullptr ? timingJson(*timing) : Json(nullptr);
  return file;
}

// Each source frame against the sample at its position; an absent sample reads as empty bytes.
struct FrameComparison {
  std::vector<const ReadBackSample*> samples;  // per frame, null where the file has none
  uint64_t differing = 0;                      // pass-through: frames whose bytes differ
  uint64_t unmatched = 0;                      // samples no frame accounts for
};

FrameComparison compareFrames(const std::vector<IntegrityReport::Frame>& frames,
                              const Result<OutputReadBack>& back, bool passThrough) {
  FrameComparison c;
  uint64_t matched = 0;
  for (const IntegrityReport::Frame& f : frames) {
    const ReadBackSample* sample = nullptr;
    if (back) {
      const auto found = back->video.find(f.position);
      if (found != back->video.end()) sample = &found->second;
    }
    if (sample) ++matched;
    if (passThrough && (sample ? sample->digest : emptyDigest()) != f.source) ++c.differing;
    c.samples.push_back(sample);
  }
  if (back)
    c.unmatched = uint64_t(back->video.size()) - std::min<uint64_t>(matched, back->video.size()) +
                  back->repeatedPositions;
  return c;
}

Json frameMapJson(const FrameComparison& c, const Result<OutputReadBack>& back, bool passThrough) {
  Json map;
  map["bitExact"] = passThrough && back && !back->error && c.differing == 0 && c.unmatched == 0;
  map["sourceHashOf"] = passThrough ? Json("the frame's stream bytes taken from the record") : Json(nullptr);
  map["outputHashOf"] = "the video sample's bytes read back from the output file by position";
  map["differing"] = passThrough ? Json(c.differing) : Json(nullptr);
  map["unmatchedOutputSamples"] = c.unmatched;
  map["readBackError"] = !back         ? Json(back.error().message)
                         : back->error ? Json(*back->error)
                                       : Json(nullptr);
  return map;
}

// Pass-through: the source's size, key flag and digest beside the output's digest. Re-encode: the
// output sample's size and key flag.
Json sampleJson(const IntegrityReport::Frame& f, const ReadBackSample* sample, bool passThrough) {
  Json j;
  j["entry"] = f.entry;
  j["sourceOffset"] = f.sourceOffset;
  j["time"] = f.time;
  if (f.timeEstimated) j["timeEstimated"] = true;
  j["key"] = passThrough ? f.key : sample && sample->key;
  j[key::kPosition] = f.position;
  j[key::kSize] = passThrough ? f.size : sample ? sample->size : 0;
  if (passThrough) j["source"] = toHex(f.source);
  j[key::kOutput] = toHex(sample ? sample->digest : emptyDigest());
  return j;
}

// The report goes to a temporary name first, so that a reader never sees half of it.
Status commitReport(JsonStream& out, OutputFile& file) {
  if (!out.finish()) {
    file.discard();
    return Error{out.error(), file.path() + ": cannot write the report: " + std::strerror(out.error())};
  }
  if (Status placed = file.commit(); !placed) {
    return Error{placed.error().code, file.path() + ": cannot write the report: " + placed.error().message};
  }
  return okStatus();
}

}  // namespace

IntegrityReport::IntegrityReport(const RecordingFile& recording, const std::string& inputPath,
                                 ReportSetup setup)
    : recording_(recording), inputPath_(inputPath), setup_(std::move(setup)) {}

IntegrityReport::~IntegrityReport() {
  if (inputDigests_.valid()) inputDigests_.wait();
}

void IntegrityReport::start() {
  startTime_ = int64_t(std::time(nullptr));
  std::optional<uint64_t> carved;
  if (recording_.isWrapped()) carved = recording_.recordingLength();
  inputDigests_ =
      std::async(std::launch::async, [path = inputPath_, offset = uint64_t(recording_.recordingStart()),
                                      carved] { return hashFile(path, offset, carved); });
}

void IntegrityReport::outputOpened(int channel, const std::string& path) { channels_[channel].path = path; }

void IntegrityReport::videoSample(const VideoSampleEvent& event) {
  Frame frame;
  frame.entry = event.entry;
  frame.sourceOffset = event.sourceOffset;
  frame.position = event.position;
  frame.size = uint32_t(event.size);
  frame.time = event.time;
  frame.key = event.key;
  frame.timeEstimated = event.timeEstimated;
  if (setup_.passThrough) {
    // A failed digest leaves zeros, which no output sample matches: the map then shows the frame as
    // differing.
    if (const std::optional<Sha256Digest> digest = frameHash_.digest(event.data, event.size))
      frame.source = *digest;
  }
  channels_[event.channel].frames.push_back(frame);
}

void IntegrityReport::frameDropped(const DroppedFrameEvent& event) {
  channels_[event.channel].dropped.push_back(Dropped{event.entry, event.sourceOffset, event.position});
}

void IntegrityReport::audioRecord(const AudioRecordEvent& event) {
  ChannelLog& log = channels_[event.channel];
  ++log.audioRecords;
  log.audioSamples += event.samples;
}

void IntegrityReport::recordSkipped(const SkippedRecordEvent& event) { skipped_.push_back(event); }

Json IntegrityReport::headJson(const ConversionReport& report, const Result<FileDigests>& input,
                               int64_t endTime) const {
  const bool passThrough = setup_.passThrough;
  Json head;
  head[key::kSchemaVersion] = kReportSchemaVersion;
  head["tool"] = Json{{"name", setup_.toolName}, {"version", setup_.toolVersion}};
  head["command"] = setup_.command;
  head["startTime"] = isoTime(startTime_);
  head["endTime"] = isoTime(endTime);
  head["outcome"] = outcomeJson(report, recording_.entryCount());
  head["hashes"] = Json{{"file", "SHA-256"}, {"frame", "SHA-256"}};
  head[key::kInput] = inputJson(recording_, inputPath_, input);
  head["description"] = descriptionJson(recording_);
  // Salvaged recordings: unreadable and recovered byte ranges; finish() adds every recovered record. Null for
  // a whole recording.
  head[kSalvage] = Json::parse(salvageJson(recording_).dump());
  const bool recorded = report.timing == Timing::kRecorded;
  head["settings"] = Json{
      {"video", passThrough ? "pass-through" : "re-encode"},
      {"encoder", passThrough ? Json(nullptr) : Json(setup_.encoder)},
      {"timing", recorded ? "recorded" : "declared"},
      {"maxGapSeconds", recorded && report.maxGapSeconds > 0 ? Json(report.maxGapSeconds) : Json(nullptr)},
      // Recorded times are the recorder's local clock; the offset is the user's statement, never the file's.
      {"utcOffset",
       report.utcOffsetMinutes ? Json(formatUtcOffset(*report.utcOffsetMinutes)) : Json(nullptr)}};
  // Pauses the gap limit shortened: the output shows closedTo seconds where nothing was recorded for seconds.
  Json gaps = Json::array();
  for (const ClosedGap& gap : report.closedGaps) {
    gaps.push_back(Json{{"from", recordedTimeText(recording_.info(), gap.firstEmpty)},
                        {"to", recordedTimeText(recording_.info(), gap.resume)},
                        {"seconds", gap.seconds},
                        {"closedTo", gap.closedTo},
                        {"outputSecond", gap.outputSecond}});
  }
  head["closedGaps"] = gaps;
  head["warnings"] = report.warnings;
  Json unassigned = Json::array();
  for (const SkippedRecordEvent& e : skipped_) {
    if (e.channel < 0 || !channels_.contains(e.channel)) unassigned.push_back(skippedJson(e));
  }
  head["skippedRecords"] = unassigned;
  return head;
}

Status IntegrityReport::finish(const ConversionReport& report, const std::string& path, bool replace) {
  const int64_t endTime = int64_t(std::time(nullptr));
  if (!inputDigests_.valid()) start();
  const Result<FileDigests> input = inputDigests_.get();
  const bool passThrough = setup_.passThrough;

  Json head = headJson(report, input, endTime);
  Json writtenAs;
  putPath(writtenAs, path);
  head[key::kWrittenAs] = writtenAs;

  auto created = OutputFile::create(path, replace ? Creation::kReplace : Creation::kNewAside);
  if (!created)
    return Error{created.error().code, path + ": cannot create the report: " + created.error().message};
  OutputFile& file = *created.value();
  const int fd = ::dup(file.fd());
  JsonStream out(fd >= 0 ? ::fdopen(fd, "wb") : nullptr);
  if (out.error() != 0) {
    if (fd >= 0) ::close(fd);
    return Error{errno, path + ": cannot create the report: " + std::strerror(errno)};
  }
  out.open({}, '{');
  for (const auto& [name, value] : head.items()) {
    if (name != kSalvage || !value.is_object()) {
      out.put(name, value);
      continue;
    }
    out.open(name, '{');
    out.putMembers(value);
    out.open("recordsRecovered", '[');
    forEachRecoveredRecord(recording_, [&out](const nlohmann::json& record) { out.putLine(Json(record)); });
    out.close();
    out.close();
  }
  out.open(key::kOutputs, '[');

  std::map<int, ChannelTiming> timings;
  for (const ChannelTiming& t : checkChannelRates(recording_)) timings[t.channel] = t;
  for (const auto& [channel, log] : channels_) {
    if (log.path.empty()) continue;  // events of a channel whose file never opened
    const OutputFileReport* written = nullptr;
    for (const OutputFileReport& f : report.files) {
      if (f.channel == channel) written = &f;
    }
    const WrittenOutput output = readOutput(log.path, written != nullptr ? written->rate : FrameRate{});
    // A file cut short by a write fault: only what it still holds.
    const bool cut = written != nullptr && written->writeFault;
    const ChannelLog held = cut ? heldPart(log, *written) : ChannelLog{};
    const ChannelLog& shown = cut ? held : log;

    const auto timing = timings.find(channel);
    const Json file =
        outputJson(channel, shown, written, output, skipped_,
                   timing != timings.end() ? &timing->second : nullptr, report.timing == Timing::kRecorded);
    const FrameComparison comparison = compareFrames(shown.frames, output.back, passThrough);
    out.open({}, '{');
    out.putMembers(file);
    out.open(key::kFrameMap, '{');
    out.putMembers(frameMapJson(comparison, output.back, passThrough));
    out.open(key::kSamples, '[');
    for (std::size_t i = 0; i < shown.frames.size(); ++i)
      out.putLine(sampleJson(shown.frames[i], comparison.samples[i], passThrough));
    out.close();
    out.close();
    out.close();
  }
  out.close();  // outputs
  out.open(key::kSideFiles, '[');
  for (const std::string& side : sideFiles_) {
    Json entry;
    putPath(entry, side);
    const Result<FileDigests> digests = hashFile(side);
    entry[key::kSize] = digests ? Json(digests->size) : Json(nullptr);
    entry[key::kSha256] = digests ? Json(toHex(digests->whole)) : Json(nullptr);
    if (!digests) entry["hashError"] = digests.error().message;
    out.putLine(entry);
  }
  return commitReport(out, file);
}

}  // namespace qmv
