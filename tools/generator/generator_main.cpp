// qmv2avi-gen: writes test recordings (the demo, or a planned body) as .qmv or wrapped in a player
// executable.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "tools/generator/recording_generator.h"

namespace {

using namespace qmv::gen;

// CH:FORMAT:RATE[:AUDIO[:KEYINTERVAL]], comma-separated; AUDIO -1 or omitted means none.
bool parseChannels(const std::string& text, std::vector<ChannelPlan>& out, std::string& error) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    std::vector<int> values;
    std::stringstream fields(item);
    std::string field;
    while (std::getline(fields, field, ':')) {
      try {
        std::size_t used = 0;
        values.push_back(std::stoi(field, &used));
        if (used != field.size()) throw std::invalid_argument(field);
      } catch (const std::exception&) {
        error = "channel '" + item + "': '" + field + "' is not a number";
        return false;
      }
    }
    if (values.size() < 3 || values.size() > 5) {
      error = "channel '" + item + "': expected CH:FORMAT:RATE[:AUDIO[:KEYINTERVAL]]";
      return false;
    }
    ChannelPlan channel;
    channel.channel = values[0];
    channel.formatCode = uint8_t(values[1]);
    channel.rateByte = uint8_t(values[2]);
    if (values.size() > 3) channel.audioInput = values[3];
    if (values.size() > 4) channel.keyInterval = values[4];
    if (channel.channel < 0 || channel.channel > 15 || values[1] < 0 || values[1] > 255 || values[2] < 0 ||
        values[2] > 255 || channel.audioInput < -1 || channel.audioInput > 15 || channel.keyInterval < 1) {
      error = "channel '" + item + "': a value is out of range";
      return false;
    }
    out.push_back(channel);
  }
  if (out.empty()) {
    error = "no channels given";
    return false;
  }
  return true;
}

// N,N,... (frames in consecutive seconds, repeated), each 0..255.
bool parsePattern(const std::string& text, std::vector<int>& out, std::string& error) {
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    try {
      std::size_t used = 0;
      const int n = std::stoi(item, &used);
      if (used != item.size() || n < 0 || n > 255) throw std::invalid_argument(item);
      out.push_back(n);
    } catch (const std::exception&) {
      error = "frames per second '" + item + "' is not a number from 0 to 255";
      return false;
    }
  }
  if (out.empty()) error = "no frames per second given";
  return !out.empty();
}

// AT:SECONDS, both whole seconds.
bool parseGap(const std::string& text, BodyPlan& plan, std::string& error) {
  const std::size_t colon = text.find(':');
  try {
    std::size_t usedAt = 0, usedLength = 0;
    if (colon == std::string::npos) throw std::invalid_argument(text);
    const std::string at = text.substr(0, colon), length = text.substr(colon + 1);
    plan.gapAt = std::stoi(at, &usedAt);
    plan.gapSeconds = std::stoi(length, &usedLength);
    if (usedAt != at.size() || usedLength != length.size() || plan.gapAt < 0 || plan.gapSeconds < 0)
      throw std::invalid_argument(text);
  } catch (const std::exception&) {
    error = "gap '" + text + "': expected AT:SECONDS, two whole seconds";
    return false;
  }
  return true;
}

// "2007-06-15": the header's recorded date.
bool parseDate(const std::string& text, HeaderFields& header, std::string& error) {
  int year = 0, month = 0, day = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3 || year < 1970 ||
      year > 1970 + 255 || month < 1 || month > 12 || day < 1 || day > 31) {
    error = "date '" + text + "': expected YYYY-MM-DD from 1970 to 2225";
    return false;
  }
  header.year = uint16_t(year), header.month = uint8_t(month), header.day = uint8_t(day);
  return true;
}

// "AB-CD-EF": the last three bytes of the MAC address (the first three are the recorder maker's).
bool parseMacTail(const std::string& text, HeaderFields& header, std::string& error) {
  unsigned a = 0, b = 0, c = 0;
  char tail = 0;
  if (text.size() != 8 || std::sscanf(text.c_str(), "%2x-%2x-%2x%c", &a, &b, &c, &tail) != 3) {
    error = "MAC '" + text + "': expected its last three bytes as XX-XX-XX";
    return false;
  }
  header.macTail = {uint8_t(a), uint8_t(b), uint8_t(c)};
  return true;
}

const std::map<std::string, Damage> kDamageNames = {
    {"bad-trailer", Damage::BadTrailer},
    {"back-link-not-before", Damage::BackLinkNotBefore},
    {"back-link-below-512", Damage::BackLinkBelow512},
    {"terminator-length-off", Damage::TerminatorLengthOff},
    {"terminator-mark-broken", Damage::TerminatorMarkBroken},
    {"item-count-above-entry-end", Damage::ItemCountAboveEntryEnd},
    {"truncated", Damage::Truncated},
    {"absurd-entry-count", Damage::AbsurdEntryCount},
    {"entry-end-below-items", Damage::EntryEndBelowItems},
    {"entry-end-above-count", Damage::EntryEndAboveCount},
    {"too-short", Damage::TooShort},
    {"item-count-wraps", Damage::ItemCountWraps},
};

struct Output {
  std::string path;
  bool exe = false;
  bool noMarker = false;
  bool zm = false;
  uint32_t prefixSize = 4096;
  uint32_t trailing = 0;
  std::string damage;
};

void addOutputOptions(CLI::App& command, Output& output) {
  command.add_option("output", output.path, "File to write")->required();
  command.add_flag("--exe", output.exe, "Wrap the recording in a player executable");
  command.add_flag("--no-marker", output.noMarker, "Executable without the marker (recordingStart at 28)");
  command.add_flag("--zm", output.zm, "Executable magic ZM instead of MZ");
  command.add_option("--prefix-size", output.prefixSize, "Executable bytes before the recording")
      ->check(CLI::Range(64u, 1u << 30));
  command.add_option("--trailing", output.trailing, "Bytes after the recording (executable with marker)");
  std::string names;
  for (const auto& [name, value] : kDamageNames) names += (names.empty() ? "" : ", ") + name;
  command.add_option("--damage", output.damage, "Write a damaged copy: " + names);
}

int write(Scenario scenario, const Output& output) {
  if (output.exe || output.noMarker || output.zm) {
    ExecutableWrapper wrapper;
    wrapper.zmMagic = output.zm;
    wrapper.withMarker = !output.noMarker;
    wrapper.prefixSize = output.prefixSize;
    wrapper.trailingSize = output.noMarker ? 0 : output.trailing;
    scenario.wrapper = wrapper;
  }
  Layout layout;
  if (output.damage.empty()) {
    if (!writeRecordingFile(scenario, output.path, &layout)) {
      std::fprintf(stderr, "qmv2avi-gen: cannot write %s%s\n", output.path.c_str(),
                   layout.tooLarge ? ": a recording holds at most 4 GiB (32-bit positions)" : "");
      std::remove(output.path.c_str());  // a cut-short recording must not pass for a whole one
      return 1;
    }
  } else {
    const auto found = kDamageNames.find(output.damage);
    if (found == kDamageNames.end()) {
      std::fprintf(stderr, "qmv2avi-gen: unknown damage '%s'\n", output.damage.c_str());
      return 2;
    }
    const GeneratedRecording recording = buildRecording(scenario);
    layout = recording.layout;
    if (!writeFile(output.path, applyDamage(recording, found->second))) {
      std::fprintf(stderr, "qmv2avi-gen: cannot write %s\n", output.path.c_str());
      return 1;
    }
  }
  std::printf("%s: recording of %llu bytes at %u, %zu blocks, %u index entries\n", output.path.c_str(),
              static_cast<unsigned long long>(layout.recordingLength), layout.recordingStart,
              layout.blockPositions.size(), layout.entryCount);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes test recordings for qmv2avi"};
  app.require_subcommand(1);

  Output demoOutput;
  CLI::App* demo = app.add_subcommand("demo", "The demo recording: 4 channels, two with audio, one minute");
  addOutputOptions(*demo, demoOutput);

  Output planOutput;
  BodyPlan plan;
  std::string channels;
  int audioFormat = plan.header.audioFormat;
  int modelCode = plan.header.modelCode;
  bool ntsc = false;
  CLI::App* planCommand = app.add_subcommand("plan", "A recording from a plan");
  addOutputOptions(*planCommand, planOutput);
  planCommand
      ->add_option("--channels", channels, "CH:FORMAT:RATE[:AUDIO[:KEYINTERVAL]],... (RATE in quarter fps)")
      ->required();
  planCommand->add_option("--seconds", plan.seconds, "Length in seconds")->check(CLI::Range(0, 3600));
  // A block's terminator holds itemCount + 8 in 16 bits and itemCount counts the terminator too.
  planCommand->add_option("--records-per-block", plan.recordsPerBlock, "Records per index block")
      ->check(CLI::Range(1, 65535 - 8 - 1));
  planCommand->add_option("--start-time", plan.startTime, "First second within the hour")
      ->check(CLI::Range(0, 3599));
  planCommand->add_option("--hour", plan.header.hour, "Recorded hour")->check(CLI::Range(0, 23));
  planCommand->add_option("--audio-format", audioFormat, "Header audio format (3: IMA)")
      ->check(CLI::Range(0, 15));
  planCommand->add_option("--model-code", modelCode, "Header model code")->check(CLI::Range(0, 255));
  planCommand->add_option("--audio-words", plan.audioWordsPerRecord, "Payload words per audio record")
      ->check(CLI::Range(0, 16000));
  planCommand->add_option("--aux-every", plan.auxEverySeconds, "Seconds between auxiliary records (0: none)")
      ->check(CLI::Range(0, 3600));
  planCommand->add_option("--pad-words", plan.maxPadWords, "Most filler words per video record")
      ->check(CLI::Range(0, 255));
  planCommand->add_option("--name", plan.header.systemName, "System name (up to 16 characters)");
  std::string date, mac;
  planCommand->add_option("--date", date, "Recorded date, YYYY-MM-DD (default 2007-01-01)");
  planCommand->add_option("--mac", mac, "Last three bytes of the MAC address, XX-XX-XX (default 12-34-56)");
  planCommand->add_option("--seed", plan.seed, "Seed");
  planCommand->add_flag("--reuse-frames", plan.reuseFrames,
                        "Cycle one encoded GOP per format (fast, for large files)");
  planCommand->add_flag("--random-audio", plan.randomAudio, "Random ADPCM codes instead of a tone");
  planCommand->add_flag("--ntsc", ntsc, "Header video standard NTSC");
  int firstKeySecond = 0;
  std::string pattern, gap;
  planCommand
      ->add_option("--first-key-second", firstKeySecond,
                   "Every channel's frames before this second are non-key; its first key frame follows")
      ->check(CLI::Range(0, 3600));
  planCommand->add_option(
      "--frames-per-second-pattern", pattern,
      "N,N,...: frames of every channel in consecutive seconds, repeated (uneven delivery)");
  planCommand->add_option("--gap", gap, "AT:SECONDS: no records at all for SECONDS from second AT on");
  planCommand
      ->add_option(
          "--mark", plan.markSecond,
          "A second whose frames are bright and whose audio opens with a click (not with --reuse-frames)")
      ->check(CLI::Range(0, 3599));

  CLI11_PARSE(app, argc, argv);

  if (demo->parsed()) return write(demoScenario(), demoOutput);

  std::string error;
  if (!parseChannels(channels, plan.channels, error)) {
    std::fprintf(stderr, "qmv2avi-gen: %s\n", error.c_str());
    return 2;
  }
  if (!pattern.empty() && !parsePattern(pattern, plan.channels.front().framesPerSecond, error)) {
    std::fprintf(stderr, "qmv2avi-gen: %s\n", error.c_str());
    return 2;
  }
  if ((!date.empty() && !parseDate(date, plan.header, error)) ||
      (!mac.empty() && !parseMacTail(mac, plan.header, error))) {
    std::fprintf(stderr, "qmv2avi-gen: %s\n", error.c_str());
    return 2;
  }
  if (!gap.empty() && !parseGap(gap, plan, error)) {
    std::fprintf(stderr, "qmv2avi-gen: %s\n", error.c_str());
    return 2;
  }
  for (ChannelPlan& channel : plan.channels) {
    channel.firstKeySecond = firstKeySecond;
    channel.framesPerSecond = plan.channels.front().framesPerSecond;
  }
  // Index times are seconds within the header's hour.
  if (int64_t(plan.startTime) + plan.seconds + std::max(plan.gapSeconds, 0) > 3600) {
    std::fprintf(stderr, "qmv2avi-gen: the recording would run past the end of its hour\n");
    return 2;
  }
  if (plan.markSecond >= 0 && plan.reuseFrames) {
    std::fprintf(stderr, "qmv2avi-gen: --mark needs frames coded for it; leave out --reuse-frames\n");
    return 2;
  }
  plan.header.audioFormat = uint8_t(audioFormat);
  plan.header.modelCode = uint8_t(modelCode);
  plan.header.videoStandard = ntsc ? 1 : 0;
  return write(planScenario(plan), planOutput);
}
