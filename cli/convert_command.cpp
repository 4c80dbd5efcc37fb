// The `convert` subcommand: one AVI file per channel, pass-through or re-encoded, with a progress bar.
#include "cli/convert_command.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>
#include <vector>

#include "cli/exit_codes.h"
#include "convert/compress_options.h"
#include "convert/conversion_worker.h"
#include "decode/message_notifier.h"
#include "recording/recording_file.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

struct ConvertOptions {
  std::string path;
  std::string outputDir;
  std::string channels;
  std::string codec = "xvid";
  std::string reencode;
  std::optional<int> quality;
  std::optional<std::string> bitRate;
  std::optional<int> keyInterval;
  bool listEncoders = false;
  bool overwrite = false;
};

int usageError(const std::string& message) {
  std::cerr << "qmv2avi-cli convert: " << message << "\n";
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

std::string humanBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t(1) << 30)) {
    std::snprintf(text, sizeof text, "%.2f GiB", double(bytes) / double(uint64_t(1) << 30));
  } else if (bytes >= (uint64_t(1) << 20)) {
    std::snprintf(text, sizeof text, "%.2f MiB", double(bytes) / double(uint64_t(1) << 20));
  } else if (bytes >= 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

std::string rateText(const AviRate& rate) {
  char text[32];
  if (rate.den == 1) {
    std::snprintf(text, sizeof text, "%u fps", rate.num);
  } else {
    std::snprintf(text, sizeof text, "%.3g fps", double(rate.num) / double(rate.den));
  }
  return text;
}

void listEncoders() {
  for (const EncoderInfo& encoder : availableEncoders()) {
    std::string traits;
    if (encoder.lossless) traits += " lossless";
    if (encoder.usesQuality) traits += " --quality";
    if (encoder.usesBitRate) traits += " --bitrate";
    std::printf("%-14s %s  %s%s%s\n", encoder.name.c_str(), fourccToString(encoder.fourcc).c_str(),
                encoder.description.c_str(), traits.empty() ? "" : " [", traits.empty() ? "" : (traits.substr(1) + "]").c_str());
  }
}

// The signal handler's only way to the conversion: lowering the same flag the Stop button lowers.
std::atomic<int>* gRunning = nullptr;
volatile std::sig_atomic_t gInterrupted = 0;
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is lowered from a signal handler");

extern "C" void onStopSignal(int) {
  gInterrupted = 1;
  if (gRunning != nullptr) gRunning->store(0);
}

class SignalGuard {
 public:
  explicit SignalGuard(std::atomic<int>& running) {
    gInterrupted = 0;
    gRunning = &running;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~SignalGuard() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    gRunning = nullptr;
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

// The worker's host for a terminal: the codec choice, and a progress line on stderr when it is a tty.
class TerminalHost : public ConversionHost {
 public:
  TerminalHost(const RecordingFile& recording, int codecIndex)
      : recording_(recording), codecIndex_(codecIndex), showProgress_(isatty(STDERR_FILENO) != 0) {}

  int compressorIndex() override { return codecIndex_; }
  void enableControls(bool) override {}
  void setProgressRange(uint32_t maximum) override {
    maximum_ = maximum;
    start_ = Clock::now();
  }
  void setProgressPosition(uint32_t position) override {
    if (!showProgress_) return;
    const auto now = Clock::now();
    // At most ten redraws a second; the worker calls this once per entry.
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;
    draw(position, now);
  }
  void conversionDone(const ConversionReport&) override {
    if (drawn_) std::fprintf(stderr, "\r\033[K");
  }

 private:
  using Clock = std::chrono::steady_clock;

  void draw(uint32_t position, Clock::time_point now) {
    const auto& entries = recording_.entries();
    const uint64_t bytes = position < entries.size() ? entries[position].offset : 0;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double percent = maximum_ > 0 ? 100.0 * position / maximum_ : 100.0;
    // Speed and time left mean nothing in the first half second.
    const bool settled = position > 0 && seconds > 0.5;
    char speed[32] = "   -- MB/s";
    if (settled) std::snprintf(speed, sizeof speed, "%5.1f MB/s", double(bytes) / seconds / 1e6);
    char left[32] = "--:--";
    if (settled) {
      const auto remaining = uint64_t(seconds * double(maximum_ - std::min(position, maximum_)) / position);
      std::snprintf(left, sizeof left, "%llu:%02llu", static_cast<unsigned long long>(remaining / 60),
                    static_cast<unsigned long long>(remaining % 60));
    }
    constexpr int kBarWidth = 30;
    const int filled = int(percent * kBarWidth / 100.0);
    std::string bar(std::size_t(std::clamp(filled, 0, kBarWidth)), '#');
    bar.resize(kBarWidth, '.');
    std::fprintf(stderr, "\r[%s] %u/%u entries %5.1f%% %s  %s left\033[K", bar.c_str(), position, maximum_, percent,
                 speed, left);
    std::fflush(stderr);
  }

  const RecordingFile& recording_;
  int codecIndex_;
  bool showProgress_;
  uint32_t maximum_ = 0;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_{};
  bool drawn_ = false;
};

void printSummary(const ConversionReport& report) {
  for (const OutputFileReport& file : report.files) {
    const double duration = file.rate.num > 0 ? double(file.frames) * file.rate.den / file.rate.num : 0.0;
    char audio[48] = "no audio";
    if (file.hasAudio) {
      std::snprintf(audio, sizeof audio, "audio %.2f s", double(file.audioSamples) / kAudioSampleRate);
    }
    std::printf("%s: %llu frames, %.2f s at %s, %s, %s\n", file.path.c_str(),
                static_cast<unsigned long long>(file.frames), duration, rateText(file.rate).c_str(), audio,
                humanBytes(file.bytes).c_str());
  }
  std::fflush(stdout);
}

int runConvert(const ConvertOptions& options) {
  // Encoder probing and muxing chatter would bury the tool's own lines.
  av_log_set_level(AV_LOG_ERROR);
  if (options.listEncoders) {
    listEncoders();
    return kExitOk;
  }
  if (options.path.empty()) return usageError("a recording FILE is required");

  std::optional<uint32_t> channelMask;
  if (!options.channels.empty()) {
    channelMask = parseChannelList(options.channels);
    if (!channelMask) {
      return usageError("--channels wants channel numbers 1 to 16 and ranges, like 1,3,5-8; got \"" +
                        options.channels + "\"");
    }
  }
  int codecIndex = 0;
  if (options.codec == "xvid" || options.codec == "XVID") {
    codecIndex = 0;
  } else if (options.codec == "divx" || options.codec == "DIVX") {
    codecIndex = 1;
  } else {
    return usageError("--codec is xvid or divx, not \"" + options.codec + "\"");
  }

  ConversionSettings settings;
  if (options.reencode.empty()) {
    if (options.quality || options.bitRate || options.keyInterval) {
      return usageError("--quality, --bitrate and --keyint go with --reencode");
    }
  } else {
    const std::optional<EncoderInfo> encoder = findEncoder(options.reencode);
    if (!encoder) return usageError("unknown encoder \"" + options.reencode + "\" (see --list-encoders)");
    settings.defaultCodec = 0;
    settings.compressOptions.encoder = encoder->name;
    settings.compressOptions.fourcc = encoder->fourcc;
    if (options.quality) {
      if (*options.quality < 0 || *options.quality > 100) return usageError("--quality is 0 to 100");
      settings.compressOptions.quality = *options.quality;
    }
    if (options.bitRate) {
      const std::optional<int64_t> bits = parseBitRate(*options.bitRate);
      if (!bits) return usageError("--bitrate wants bits per second like 800000, 800k or 2.5M");
      settings.compressOptions.bitRate = *bits;
    }
    if (options.keyInterval) {
      if (*options.keyInterval < 1) return usageError("--keyint is at least 1");
      settings.compressOptions.keyFrameInterval = *options.keyInterval;
    }
  }

  RecordingFile recording;
  if (Status opened = recording.open(options.path); !opened) {
    std::cerr << "qmv2avi-cli: " << options.path << ": " << opened.error().message << "\n";
    return kExitBadInput;
  }

  const fs::path input(options.path);
  std::string dir = options.outputDir.empty() ? input.parent_path().string() : options.outputDir;
  std::error_code ec;
  if (!dir.empty() && !fs::is_directory(dir, ec)) {
    std::cerr << "qmv2avi-cli: " << dir << ": not a folder that output files can go into\n";
    return kExitOutputFile;
  }
  if (!dir.empty() && dir.back() != '/') dir += '/';

  const uint32_t wanted = channelMask.value_or(recording.videoMask());
  for (int c = 0; c < format::kChannelCount; ++c) {
    if ((wanted >> c) & 1u && !((recording.videoMask() >> c) & 1u)) {
      std::cerr << "qmv2avi-cli: CH-" << (c < 9 ? "0" : "") << (c + 1) << " has no video; no file for it\n";
    }
  }
  settings.selectedChannels = wanted & recording.videoMask();
  settings.destinationDir = dir;
  settings.baseName = input.stem().string();
  settings.overwrite = options.overwrite;
  if (settings.selectedChannels == 0) {
    std::cerr << "qmv2avi-cli: nothing to convert: no selected channel has video\n";
    return kExitOk;
  }

  // Refuse before writing anything, so an existing file never leaves a half-done set behind.
  if (!options.overwrite) {
    bool exists = false;
    for (int c = 0; c < format::kChannelCount; ++c) {
      if (!((settings.selectedChannels >> c) & 1u)) continue;
      const std::string name = outputFileName(settings.destinationDir, settings.baseName, c);
      if (fs::exists(name, ec)) {
        std::cerr << "qmv2avi-cli: " << name << " exists (use --overwrite to replace it)\n";
        exists = true;
      }
    }
    if (exists) return kExitOutputFile;
  }

  MessageNotifier previous = setMessageNotifier([](const std::string& text, const std::string& caption) {
    std::cerr << "qmv2avi-cli: " << caption << ": " << text << "\n";
  });
  std::atomic<int> running{1};
  TerminalHost host(recording, codecIndex);
  ConversionReport report;
  {
    SignalGuard signals(running);
    report = runConversion(recording, settings, host, running);
  }
  setMessageNotifier(std::move(previous));

  for (const std::string& warning : report.warnings) std::cerr << "qmv2avi-cli: warning: " << warning << "\n";
  printSummary(report);
  if (report.outputError) {
    std::cerr << "qmv2avi-cli: " << report.outputError->message << "\n";
    return kExitOutputFile;
  }
  if (gInterrupted) {
    std::cerr << "qmv2avi-cli: stopped after " << report.entriesDone << " of " << recording.entryCount()
              << " entries; the files written so far are complete\n";
    return kExitInterrupted;
  }
  return kExitOk;
}

}  // namespace

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
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* convert = app.add_subcommand("convert", "Write one AVI file per channel (CH-01 becomes <name>_00.avi)");
  convert->add_option("file", options->path, "Recording (.qmv) or player executable (.exe) with a recording");
  convert->add_option("-o,--output", options->outputDir, "Folder for the AVI files (default: the input's folder)");
  convert->add_option("--channels", options->channels, "Channels to convert, 1-based: 1,3,5-8 (default: all with video)");
  convert->add_option("--codec", options->codec, "Four-character code of pass-through video: xvid or divx")
      ->capture_default_str();
  convert->add_option("--reencode", options->reencode, "Decode the video and re-encode it with ENCODER");
  convert->add_option("--quality", options->quality, "Re-encode quality 0 (smallest) to 100 (best)");
  convert->add_option("--bitrate", options->bitRate, "Re-encode bit rate: 800000, 800k, 2.5M");
  convert->add_option("--keyint", options->keyInterval, "Re-encode: frames between key frames");
  convert->add_flag("--list-encoders", options->listEncoders, "List the encoders --reencode accepts and exit");
  convert->add_flag("--overwrite", options->overwrite, "Replace existing output files");
  convert->callback([options, &exitCode] { exitCode = runConvert(*options); });
}

}  // namespace qmv::cli
