// The `convert` subcommand: one video file per channel of each recording, pass-through or re-encoded.
#include "cli/convert_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/batch_runner.h"
#include "cli/console.h"
#include "cli/convert_options.h"
#include "cli/exit_codes.h"
#include "cli/text_format.h"
#include "convert/recorded_moment.h"
#include "convert/recorded_time.h"
#include "job/conversion_job.h"
#include "output/encoder_fit.h"
#include "recording/recording_format.h"
#include "recording/utf8_path.h"
#include "transcode/caption_burner.h"
#include "transcode/compress_options.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv::cli {
namespace {

// Each job holds a decoder, an encoder and open files per channel; more than this only thrashes.
constexpr int kMaxJobs = 64;

// The command line as given; checked into ConvertOptions by prepareOptions.
struct ConvertArguments {
  std::vector<std::string> paths;
  std::string outputDir;
  std::string channels;
  std::string codec = "xvid";
  std::string format = "avi";
  std::string reencode;
  std::optional<int> quality;
  std::optional<std::string> bitRate;
  std::optional<int> keyInterval;
  bool burnIn = false;
  bool forWeb = false;
  bool listEncoders = false;
  bool overwrite = false;
  bool noTimestamps = false;
  bool frameTimes = false;
  bool salvage = false;
  std::string report;
  bool reportGiven = false;
  std::string progress = "bar";
  std::optional<int> jobs;  // none: one per core
  std::string timing = "declared";
  std::optional<uint32_t> maxGap;
  std::optional<std::string> utcOffset;
  std::string from;
  std::string to;
  bool join = false;
};

int usageError(const std::string& message) {
  std::cerr << "qmv2avi-cli convert: " << consoleText(message) << "\n";
  return kExitUsage;
}

// "800000", "800k", "2.5M" bits per second.
std::optional<int64_t> parseBitRate(const std::string& text) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  double scale = 1;
  const std::string unit = text.substr(used);
  if (unit == "k" || unit == "K") {
    scale = 1e3;
  } else if (unit == "m" || unit == "M") {
    scale = 1e6;
  } else if (!unit.empty()) {
    return std::nullopt;
  }
  const double bits = value * scale;
  if (!(bits >= 1000 && bits <= 1e10)) return std::nullopt;
  return int64_t(bits);
}

// libavformat's own complaints while encoders are tried against muxers: the tool says what it found itself.
class QuietLibav {
 public:
  QuietLibav() : level_(av_log_get_level()) { av_log_set_level(AV_LOG_QUIET); }
  ~QuietLibav() { av_log_set_level(level_); }
  QuietLibav(const QuietLibav&) = delete;
  QuietLibav& operator=(const QuietLibav&) = delete;

 private:
  int level_;
};

void listEncoders() {
  const QuietLibav quiet;
  for (const EncoderInfo& encoder : availableEncoders()) {
    std::string traits;
    if (encoder.lossless) traits += " lossless";
    if (encoder.usesQuality) traits += " --quality";
    if (encoder.usesBitRate) traits += " --bitrate";
    std::string containers;
    for (const Container container : containersFitting(encoder.name))
      containers += std::string(containers.empty() ? "" : ",") + containerName(container);
    std::printf("%-14s %s  %s%s%s  (--format %s)\n", encoder.name.c_str(),
                fourccToString(encoder.fourcc).c_str(), encoder.description.c_str(),
                traits.empty() ? "" : " [", traits.empty() ? "" : (traits.substr(1) + "]").c_str(),
                containers.empty() ? "none" : containers.c_str());
  }
}

// Takes the arguments into options. The option validators have checked every value already; what is
// left is what no single option can say.
std::optional<int> prepareOptions(const ConvertArguments& args, ConvertOptions& options) {
  // "--report demo.qmv" gives --report its optional FILE and leaves no recording: say so, not that none was
  // given.
  if (args.paths.empty() && args.reportGiven && !args.report.empty())
    return usageError("--report took \"" + args.report +
                      "\" as the report's FILE, and no recording is left; write --report=FILE, or put the "
                      "recording first: convert " +
                      args.report + " --report");
  if (args.paths.empty()) return usageError("a recording FILE is required");
  options.inputs = args.paths;
  options.outputDir = args.outputDir;
  options.overwrite = args.overwrite;
  options.timestamps = !args.noTimestamps;
  options.frameTimes = args.frameTimes;
  options.salvage = args.salvage;
  options.from = args.from;
  options.to = args.to;
  options.join = args.join;
  if (args.join && args.paths.size() < 2) return usageError("--join wants two or more recordings");
  if (args.join && (args.jobs || args.salvage))
    return usageError(std::string("--join makes one job of whole recordings; leave out ") +
                      (args.salvage ? "--salvage" : "--jobs"));
  if (args.reportGiven) options.report = args.report;
  options.jsonProgress = args.progress == "json";
  options.jobs =
      args.jobs ? *args.jobs : int(std::clamp(std::thread::hardware_concurrency(), 1u, unsigned(kMaxJobs)));
  if (!args.channels.empty()) options.channelMask = parseChannelList(args.channels);
  options.settings.container = containerNamed(args.format).value_or(Container::kAvi);
  options.settings.passThroughFourcc =
      args.codec == "divx" || args.codec == "DIVX" ? PassThroughFourcc::kDivx : PassThroughFourcc::kXvid;

  ConversionSettings& settings = options.settings;
  settings.timing = args.timing == "recorded" ? Timing::kRecorded : Timing::kDeclared;
  if (args.utcOffset) settings.utcOffsetMinutes = parseUtcOffset(*args.utcOffset);
  if (args.maxGap) {
    // The declared clock has no pauses: its records follow one another at the declared rate.
    if (settings.timing != Timing::kRecorded) return usageError("--max-gap goes with --timing recorded");
    settings.maxGapSeconds = *args.maxGap;
  }
  if (args.burnIn && !CaptionBurner::available())
    return usageError("--burn-in needs FFmpeg's drawtext filter, which this build of the tool lacks");
  if (args.forWeb) {
    if (!findEncoder(webCompressOptions().encoder))
      return usageError("--for-web needs the " + webCompressOptions().encoder +
                        " encoder, which this build of the tool lacks");
    chooseForWeb(settings);
    settings.burnIn = args.burnIn;
    return std::nullopt;
  }
  if (args.reencode.empty()) {
    // Pass-through keeps every recorded frame as it is; a caption would change them.
    if (args.burnIn)
      return usageError("--burn-in goes with --reencode or --for-web: pass-through never changes a frame");
    return std::nullopt;
  }
  const std::optional<EncoderInfo> encoder = findEncoder(args.reencode);
  if (!encoder) return usageError("unknown encoder \"" + args.reencode + "\" (see --list-encoders)");
  // A muxer that refuses the encoder's stream would fail on the first file; say so before anything starts.
  const QuietLibav quiet;
  if (const Status fits = checkEncoderFits(encoder->name, settings.container); !fits) {
    std::string fitting;
    for (const EncoderInfo& other : availableEncoders())
      if (checkEncoderFits(other.name, settings.container))
        fitting += (fitting.empty() ? "" : ", ") + other.name;
    return usageError(fits.error().message + "; encoders for " + containerTitle(settings.container) +
                      " files: " + fitting);
  }
  settings.videoMode = VideoMode::kReEncode;
  settings.compressOptions.encoder = encoder->name;
  settings.compressOptions.fourcc = encoder->fourcc;
  settings.burnIn = args.burnIn;
  if (args.quality) settings.compressOptions.quality = *args.quality;
  if (args.bitRate) {
    if (const std::optional<int64_t> bits = parseBitRate(*args.bitRate)) {
      settings.compressOptions.bitRate = *bits;
    }
  }
  if (args.keyInterval) settings.compressOptions.keyFrameInterval = *args.keyInterval;
  return std::nullopt;
}

int runConvert(const ConvertArguments& args) {
  // Encoder probing and muxing chatter would bury the tool's own lines.
  av_log_set_level(AV_LOG_ERROR);
  if (args.listEncoders) {
    listEncoders();
    return kExitOk;
  }
  ConvertOptions options;
  if (const std::optional<int> usage = prepareOptions(args, options)) return *usage;

  const ExpandedInputs expanded = expandInputs(options.inputs);
  std::error_code ec;
  if (options.report && !options.report->empty() && expanded.inputs.size() > 1 &&
      !std::filesystem::is_directory(pathFromUtf8(*options.report), ec)) {
    return usageError(
        "--report=FILE names one file for " + std::to_string(expanded.inputs.size()) +
        " recordings; give a folder, or --report alone for one report beside each input's files");
  }

  BatchStop stop;
  StopRequests requests(stop);
  const int status = runBatch(options, expanded, stop);
  // The exit status says what the files and the report say: only a run the signal cut short ends as 128+n.
  if (requests.received() != 0 && stop.cutShort()) return kExitSignalBase + requests.received();
  return status;
}

}  // namespace

CLI::Validator channelListValidator() {
  return CLI::Validator(
      [](std::string& list) -> std::string {
        if (parseChannelList(list)) return {};
        return "wants channel numbers 1 to 16 and ranges, like 1,3,5-8; got \"" + list + "\"";
      },
      "LIST");
}

std::optional<uint32_t> parseChannelList(const std::string& list) {
  uint32_t mask = 0;
  std::size_t at = 0;
  auto number = [&](int& value) {
    std::size_t digits = 0;
    value = 0;
    while (at < list.size() && list[at] >= '0' && list[at] <= '9' && digits < 3) {
      value = value * 10 + (list[at++] - '0');
      ++digits;
    }
    return digits > 0 && value >= 1 && value <= format::kChannelCount;
  };
  while (true) {
    int first = 0, last = 0;
    if (!number(first)) return std::nullopt;
    last = first;
    if (at < list.size() && list[at] == '-') {
      ++at;
      if (!number(last) || last < first) return std::nullopt;
    }
    for (int c = first; c <= last; ++c) mask |= 1u << (c - 1);
    if (at == list.size()) return mask;
    if (list[at] != ',') return std::nullopt;
    ++at;
  }
}

void addConvertCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ConvertArguments>();
  CLI::App* convert = app.add_subcommand(
      "convert", "Write one video file per channel (CH-01 becomes <name>_00.avi, .mkv, .mp4)");
  convert->add_option("file", options->paths,
                      "Recordings (.qmv), player executables (.exe) with a recording, or folders of them");
  convert->add_option("-o,--output", options->outputDir,
                      "Folder for the video files (default: the input's folder)");
  CLI::Option* format =
      convert
          ->add_option("--format", options->format,
                       "Container: avi; mkv (with a recorded-time subtitle track); mp4 (AAC audio; the "
                       "recorded MPEG-4 Part 2 video, which web browsers do not play: see --for-web)")
          ->capture_default_str()
          ->check(CLI::IsMember({"avi", "mkv", "mp4"}));
  convert
      ->add_option("--channels", options->channels,
                   "Channels to convert, 1-based: 1,3,5-8 (default: all with video)")
      ->check(channelListValidator());
  convert->add_option("--codec", options->codec, "Four-character code of pass-through video: xvid or divx")
      ->capture_default_str()
      ->check(CLI::IsMember({"xvid", "XVID", "divx", "DIVX"}));
  CLI::Option* reencode =
      convert->add_option("--reencode", options->reencode, "Decode the video and re-encode it with ENCODER");
  convert->add_option("--quality", options->quality, "Re-encode quality 0 (smallest) to 100 (best)")
      ->check(CLI::Range(0, 100))
      ->needs(reencode);
  convert->add_option("--bitrate", options->bitRate, "Re-encode bit rate: 800000, 800k, 2.5M")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return parseBitRate(text) ? "" : "wants bits per second like 800000, 800k or 2.5M";
          },
          "BITS"))
      ->needs(reencode);
  convert
      ->add_option("--utc-offset", options->utcOffset,
                   "The recorder's clock stood OFFSET from UTC: MKV and MP4 dates are then written in UTC. "
                   "Without it the recorded times claim no zone")
      ->type_name("+HH:MM")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return parseUtcOffset(text) ? "" : "wants +HH:MM or -HH:MM, from -14:00 to +14:00";
          },
          "+HH:MM"));
  convert->add_option("--keyint", options->keyInterval, "Re-encode: frames between key frames")
      ->check(CLI::Range(1, std::numeric_limits<int>::max()))
      ->needs(reencode);
  convert
      ->add_flag("--for-web", options->forWeb,
                 "MP4 for browsers and phones: re-encode to H.264 (Main profile, 4:2:0) with AAC audio")
      ->excludes(format)
      ->excludes(reencode);
  convert->add_flag(
      "--burn-in", options->burnIn,
      "Re-encode or --for-web: draw the camera name and the recorded date and time into each picture");
  convert->add_flag("--list-encoders", options->listEncoders,
                    "List the encoders --reencode accepts and exit");
  convert->add_flag("--overwrite", options->overwrite, "Replace existing output files");
  convert->add_flag("--no-timestamps", options->noTimestamps,
                    "Write no <name>_NN.srt with the recorded time");
  convert->add_flag("--frame-times", options->frameTimes,
                    "Also write <name>_NN.csv: position, recorded time, key frame, size, offset per frame");
  convert->add_flag(
      "--salvage", options->salvage,
      "Convert every intact frame of a cut-short or damaged recording (exit status 4 when it was damaged)");
  convert
      ->add_option(
          "--timing", options->timing,
          "Clock of the outputs: declared (frames follow one another at the declared rate) or recorded "
          "(every record at its recorded second; cameras line up, pauses stay real time)")
      ->capture_default_str()
      ->check(CLI::IsMember({"declared", "recorded"}));
  convert
      ->add_option("--max-gap", options->maxGap,
                   "With --timing recorded: shorten pauses longer than SECONDS to SECONDS, each marked by a "
                   "\"[gap HH:MM:SS]\" subtitle and listed in the report")
      ->type_name("SECONDS")
      ->check(CLI::Range(1u, 65535u));
  // Checked against each recording once it is open: HH:MM:SS means a time of that recording's day.
  const CLI::Validator timeText(
      [](std::string& text) -> std::string {
        return recordedSecondsFrom(SystemInfo{}, text)
                   ? ""
                   : "wants a recorded time, HH:MM:SS or \"YYYY-MM-DD HH:MM:SS\"; got \"" + text + "\"";
      },
      "TIME");
  convert
      ->add_option("--from", options->from,
                   "Convert from TIME on: each camera starts at its last key frame at or before it")
      ->check(timeText);
  convert->add_option("--to", options->to, "Convert up to TIME: nothing recorded after it is written")
      ->check(timeText);
  convert->add_flag("--join", options->join,
                    "The recordings are consecutive hours of one recorder: one file per channel on one "
                    "timeline, named after the earliest");
  CLI::Option* report = convert
                            ->add_option("--report", options->report,
                                         "Write an integrity report (default FILE: <DIR>/<name>.report.json)")
                            ->expected(0, 1);
  convert
      ->add_option("--progress", options->progress,
                   "Progress display: bar (on a terminal) or json (one object per line)")
      ->capture_default_str()
      ->check(CLI::IsMember({"bar", "json"}));
  convert->add_option("--jobs", options->jobs, "Recordings converted at once (default: one per core)")
      ->check(CLI::Range(1, kMaxJobs));
  convert->callback([options, report, &exitCode] {
    options->reportGiven = report->count() > 0;
    exitCode = runConvert(*options);
  });
}

}  // namespace qmv::cli
