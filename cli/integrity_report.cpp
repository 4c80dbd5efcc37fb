// The integrity report: per-record observer, input and output hashes, read-back frame map, versioned JSON.
#include "cli/integrity_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>

#include "cli/salvage_text.h"
#include "convert/ffmpeg_handles.h"
#include "convert/rate_check.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::vector<std::string>& commandLineStore() {
  static std::vector<std::string> args;
  return args;
}

struct InputClose {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using InputContext = std::unique_ptr<AVFormatContext, InputClose>;

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

std::string isoTime(int64_t seconds) {
  const std::time_t t = std::time_t(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
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

std::string hexBytes(const std::string& bytes) {
  std::string text;
  char two[3];
  for (unsigned char ch : bytes) {
    std::snprintf(two, sizeof two, "%02x", ch);
    text += two;
  }
  return text;
}

// Texts from the recording (its system name is 8-bit) need not be UTF-8: bad bytes become U+FFFD.
std::string dumpJson(const Json& value, int indent) {
  const std::string text = value.dump(2, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    out += ch;
    if (ch == '\n') out.append(std::size_t(indent), ' ');
  }
  return out;
}

// An object dumped without its closing brace, so that members written by hand can follow.
std::string openObject(const Json& value, int indent) {
  std::string text = dumpJson(value, indent);
  const std::size_t close = text.rfind('}');
  const std::size_t lineEnd = text.rfind('\n', close);
  text.erase(lineEnd == std::string::npos ? close : lineEnd);
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

// Writes text in large pieces; the first failure sticks.
class ReportFile {
 public:
  explicit ReportFile(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) error_ = errno;
  }
  bool ok() const { return file_ && error_ == 0; }
  int error() const { return error_; }
  void put(const std::string& text) {
    buffer_ += text;
    if (buffer_.size() >= (std::size_t(1) << 20)) flush();
  }
  bool close() {
    flush();
    if (file_ && std::fclose(file_.release()) != 0 && error_ == 0) error_ = errno;
    return error_ == 0;
  }

 private:
  void flush() {
    if (ok() && !buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_.get()) != buffer_.size()) {
      error_ = errno != 0 ? errno : EIO;
    }
    buffer_.clear();
  }
  File file_;
  int error_ = 0;
  std::string buffer_;
};

}  // namespace

void setCommandLine(int argc, const char* const* argv) {
  std::vector<std::string>& args = commandLineStore();
  args.assign(argv, argv + argc);
}

const std::vector<std::string>& commandLine() { return commandLineStore(); }

std::string integrityReportPath(const std::string& requested, const std::string& dir,
                                const std::string& baseName) {
  const std::string name = baseName + ".report.json";
  if (requested.empty()) return dir + name;
  std::error_code ec;
  if (fs::is_directory(requested, ec)) return (fs::path(requested) / name).string();
  return requested;
}

Result<AviReadBack> readBackAvi(const std::string& path) {
  AVFormatContext* raw = nullptr;
  const int opened = avformat_open_input(&raw, path.c_str(), av_find_input_format("avi"), nullptr);
  if (opened < 0) return Error{opened, path + ": not readable as AVI: " + ff::errorText(opened)};
  InputContext input(raw);

  AviReadBack back;
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
    // One tick of the stream's time base is one sample.
    s.rateNum = st->time_base.den;
    s.rateDen = st->time_base.num;
    s.sampleRate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    s.bitsPerSample = par->bits_per_coded_sample;
    s.declaredSamples = st->nb_frames;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && back.videoStream < 0) back.videoStream = int(i);
    back.streams.push_back(std::move(s));
  }

  Sha256 sha;
  if (!sha.ok()) return Error{ENOMEM, "OpenSSL gives no SHA-256 digest"};
  ff::Packet pkt(av_packet_alloc());
  if (!pkt) return Error{ENOMEM, "out of memory"};
  int read = 0;
  while ((read = av_read_frame(input.get(), pkt.get())) >= 0) {
    if (pkt->stream_index == back.videoStream && pkt->size > 0) {
      const int64_t position = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      ReadBackSample sample;
      sample.size = uint32_t(pkt->size);
      sample.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      const std::optional<Sha256Digest> digest = sha.digest(pkt->data, std::size_t(pkt->size));
      if (!digest) return Error{EIO, "OpenSSL failed to compute a SHA-256 digest"};
      sample.digest = *digest;
      if (!back.video.emplace(position, sample).second) ++back.repeatedPositions;
    }
    av_packet_unref(pkt.get());
  }
  if (read != AVERROR_EOF) back.error = "reading stopped early: " + ff::errorText(read);
  return back;
}

IntegrityReport::IntegrityReport(const RecordingFile& recording, const std::string& inputPath,
                                 const ConversionSettings& settings)
    : recording_(recording), inputPath_(inputPath), passThrough_(settings.defaultCodec != 0) {
  if (!passThrough_) encoder_ = settings.compressOptions.encoder;
}

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
  if (passThrough_) {
    // A failed digest leaves zeros, which no output sample matches: the map then shows the frame as
    // differing.
    if (const std::optional<Sha256Digest> digest = frameHash_.digest(event.data, event.size))
      frame.source = *digest;
  }
  channels_[event.channel].frames.push_back(frame);
}

void IntegrityReport::frameDropped(const DroppedFrameEvent& event) {
  channels_[event.channel].dropped.push_back(Dropped{event.entry, event.sourceOffset});
}

void IntegrityReport::audioRecord(const AudioRecordEvent& event) {
  ChannelLog& log = channels_[event.channel];
  ++log.audioRecords;
  log.audioSamples += event.samples;
}

void IntegrityReport::recordSkipped(const SkippedRecordEvent& event) { skipped_.push_back(event); }

Status IntegrityReport::finish(const ConversionReport& report, const std::string& path) {
  const int64_t endTime = int64_t(std::time(nullptr));
  if (!inputDigests_.valid()) start();
  const Result<FileDigests> input = inputDigests_.get();

  Json doc;
  doc["schemaVersion"] = kReportSchemaVersion;
  doc["tool"] = Json{{"name", "qmv2avi-cli"}, {"version", QMV2AVI_VERSION}};
  doc["command"] = commandLine();
  doc["startTime"] = isoTime(startTime_);
  doc["endTime"] = isoTime(endTime);

  Json outcome;
  if (report.outputError) {
    outcome["status"] = "output-error";
    outcome["message"] = report.outputError->message;
  } else if (report.inputError) {
    outcome["status"] = "input-error";
    outcome["message"] = report.inputError->message;
  } else if (report.stopped) {
    outcome["status"] = "stopped";
    outcome["message"] = nullptr;
  } else {
    outcome["status"] = "completed";
    outcome["message"] = nullptr;
  }
  outcome["entriesDone"] = report.entriesDone;
  outcome["entryCount"] = recording_.entryCount();
  doc["outcome"] = outcome;
  doc["hashes"] = Json{{"file", "SHA-256"}, {"frame", "SHA-256"}};

  Json in;
  in["path"] = absolutePath(inputPath_);
  if (input) {
    in["size"] = input->size;
    in["sha256"] = toHex(input->whole);
  } else {
    in["size"] = recording_.fileLength();
    in["sha256"] = nullptr;
    in["hashError"] = input.error().message;
  }
  if (struct stat st{}; ::stat(inputPath_.c_str(), &st) == 0) in["modified"] = isoTime(int64_t(st.st_mtime));
  in["wrapped"] = recording_.isWrapped();
  if (recording_.isWrapped()) {
    Json carved;
    carved["offset"] = recording_.recordingStart();
    carved["size"] = recording_.recordingLength();
    carved["trailingSize"] = recording_.trailingSize();
    carved["sha256"] = input && input->range ? Json(toHex(*input->range)) : Json(nullptr);
    in["recording"] = carved;
  }
  doc["input"] = in;

  const RecordingDescription& d = recording_.description();
  doc["description"] = Json{{"systemName", d.systemName},
                            {"systemNameHex", hexBytes(recording_.info().systemName)},
                            {"version", d.version},
                            {"macAddress", d.macAddress},
                            {"languageVideo", d.languageVideo},
                            {"recordedTime", d.recordedTime}};
  // Salvaged recordings: unreadable and recovered byte ranges, and every recovered record's file offset
  // and how it was found. Null for a whole recording.
  doc["salvage"] = Json::parse(salvageJson(recording_, true).dump());
  Json settings;
  settings["video"] = passThrough_ ? "pass-through" : "re-encode";
  settings["encoder"] = passThrough_ ? Json(nullptr) : Json(encoder_);
  doc["settings"] = settings;
  doc["warnings"] = report.warnings;

  Json unassigned = Json::array();
  for (const SkippedRecordEvent& e : skipped_) {
    if (e.channel < 0 || !channels_.contains(e.channel)) unassigned.push_back(skippedJson(e));
  }
  doc["skippedRecords"] = unassigned;

  std::map<int, ChannelTiming> timings;
  for (const ChannelTiming& t : checkChannelRates(recording_)) timings[t.channel] = t;

  std::error_code ec;
  const std::string temporary = path + ".part";
  ReportFile out(temporary);
  if (!out.ok()) {
    return Error{out.error(), temporary + ": cannot create the report: " + std::strerror(out.error())};
  }
  out.put(openObject(doc, 0) + ",\n  \"outputs\": [");

  static const Sha256Digest kEmptyDigest = [] {
    Sha256 sha;
    return sha.finish().value_or(Sha256Digest{});
  }();
  bool firstOutput = true;
  for (const auto& [channel, log] : channels_) {
    if (log.path.empty()) continue;  // events of a channel whose file never opened
    const OutputFileReport* written = nullptr;
    for (const OutputFileReport& f : report.files) {
      if (f.channel == channel) written = &f;
    }
    Json file;
    file["channel"] = channel + 1;
    file["path"] = absolutePath(log.path);
    // The file's digest and the read-back are two reads of the same fresh file: run them side by side.
    std::future<Result<FileDigests>> hashing =
        std::async(std::launch::async, [&path = log.path] { return hashFile(path); });
    Result<AviReadBack> back = readBackAvi(log.path);
    const Result<FileDigests> digests = hashing.get();
    file["size"] = digests ? Json(digests->size) : Json(nullptr);
    file["sha256"] = digests ? Json(toHex(digests->whole)) : Json(nullptr);
    if (!digests) file["hashError"] = digests.error().message;

    Json streams = Json::array();
    if (back) {
      for (const ReadBackStream& s : back->streams) streams.push_back(streamJson(s));
    }
    file["streams"] = streams;

    uint64_t keys = 0;
    for (const Frame& f : log.frames) keys += f.key ? 1 : 0;
    Json video;
    video["framesWritten"] = written != nullptr ? written->frames : uint64_t(log.frames.size());
    video["keyFrames"] = written != nullptr ? written->keyFrames : keys;
    video["droppedBeforeFirstKey"] = log.dropped.size();
    Json dropped = Json::array();
    for (const Dropped& dr : log.dropped)
      dropped.push_back(Json{{"entry", dr.entry}, {"sourceOffset", dr.sourceOffset}});
    video["dropped"] = dropped;
    file["video"] = video;
    if (written != nullptr ? written->hasAudio : log.audioRecords > 0) {
      file["audio"] = Json{{"recordsWritten", log.audioRecords}, {"samples", log.audioSamples}};
    } else {
      file["audio"] = nullptr;
    }
    Json skipped = Json::array();
    for (const SkippedRecordEvent& e : skipped_) {
      if (e.channel == channel) skipped.push_back(skippedJson(e));
    }
    file["skippedRecords"] = skipped;
    const auto timing = timings.find(channel);
    file["timing"] = timing != timings.end() ? timingJson(timing->second) : Json(nullptr);

    // Each source frame against the sample at its position; an absent sample reads as empty bytes.
    static const std::map<int64_t, ReadBackSample> kNothing;
    const std::map<int64_t, ReadBackSample>& samples = back ? back->video : kNothing;
    uint64_t differing = 0, matched = 0;
    std::string lines;
    char line[512];
    for (std::size_t i = 0; i < log.frames.size(); ++i) {
      const Frame& f = log.frames[i];
      const auto found = samples.find(f.position);
      const Sha256Digest& output = found != samples.end() ? found->second.digest : kEmptyDigest;
      if (found != samples.end()) ++matched;
      if (passThrough_) {
        if (output != f.source) ++differing;
        std::snprintf(line, sizeof line,
                      "%s\n          {\"entry\": %" PRIu32 ", \"sourceOffset\": %" PRIu64
                      ", \"time\": %u, \"key\": %s, "
                      "\"position\": %" PRId64 ", \"size\": %" PRIu32
                      ", \"source\": \"%s\", \"output\": \"%s\"}",
                      i == 0 ? "" : ",", f.entry, f.sourceOffset, unsigned(f.time), f.key ? "true" : "false",
                      f.position, f.size, toHex(f.source).c_str(), toHex(output).c_str());
      } else {
        const uint32_t size = found != samples.end() ? found->second.size : 0;
        const bool key = found != samples.end() && found->second.key;
        std::snprintf(line, sizeof line,
                      "%s\n          {\"entry\": %" PRIu32 ", \"sourceOffset\": %" PRIu64
                      ", \"time\": %u, \"key\": %s, "
                      "\"position\": %" PRId64 ", \"size\": %" PRIu32 ", \"output\": \"%s\"}",
                      i == 0 ? "" : ",", f.entry, f.sourceOffset, unsigned(f.time), key ? "true" : "false",
                      f.position, size, toHex(output).c_str());
      }
      lines += line;
    }
    const uint64_t unmatched = back ? uint64_t(samples.size()) - std::min<uint64_t>(matched, samples.size()) +
                                          back->repeatedPositions
                                    : 0;
    Json map;
    map["bitExact"] = passThrough_ && back && !back->error && differing == 0 && unmatched == 0;
    map["sourceHashOf"] =
        passThrough_ ? Json("the frame's stream bytes taken from the record") : Json(nullptr);
    map["outputHashOf"] = "the video sample's bytes read back from the AVI file by position";
    map["differing"] = passThrough_ ? Json(differing) : Json(nullptr);
    map["unmatchedOutputSamples"] = unmatched;
    map["readBackError"] = !back         ? Json(back.error().message)
                           : back->error ? Json(*back->error)
                                         : Json(nullptr);

    out.put(std::string(firstOutput ? "\n" : ",\n") + "    " + openObject(file, 4) +
            ",\n      \"frameMap\": " + openObject(map, 6) + ",\n        \"samples\": [" + lines +
            (lines.empty() ? "]" : "\n        ]") + "\n      }\n    }");
    firstOutput = false;
  }
  out.put(firstOutput ? "]\n}\n" : "\n  ]\n}\n");
  if (!out.close()) {
    fs::remove(temporary, ec);
    return Error{out.error(), temporary + ": cannot write the report: " + std::strerror(out.error())};
  }
  fs::rename(temporary, path, ec);
  if (ec) {
    Error error{ec.value(), path + ": cannot write the report: " + ec.message()};
    fs::remove(temporary, ec);
    return error;
  }
  return okStatus();
}

}  // namespace qmv::cli
