// qmv2avi-fuzz-seeds DIR: writes small seed inputs for every fuzz target into DIR/<target>/.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/generator/prng.h"
#include "tools/generator/recording_generator.h"

namespace {

using namespace qmv::gen;
namespace fs = std::filesystem;

bool put(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  if (!writeFile((dir / name).string(), bytes)) {
    std::fprintf(stderr, "qmv2avi-fuzz-seeds: cannot write %s\n", (dir / name).c_str());
    return false;
  }
  return true;
}

// Stand-ins for MPEG-4 frames: pass-through copies them without decoding, so a few bytes do.
std::vector<uint8_t> fakeVop(bool key, uint8_t tag) {
  return {0x00, 0x00, 0x01, 0xB6, uint8_t(key ? 0x10 : 0x50), tag, 0x33, 0x44, 0x55};
}

Record video(int channel, bool key, uint8_t formatCode, uint8_t tag, uint8_t timeDelta) {
  Record r;
  r.type = Record::Type::Video;
  r.channel = channel;
  r.frameType = key ? 0x10 : 0x20;
  r.formatCode = formatCode;
  r.data = fakeVop(key, tag);
  r.timeDelta = timeDelta;
  return r;
}

Record audio(int input, std::size_t bytes, uint8_t seed, uint8_t timeDelta) {
  Record r;
  r.type = Record::Type::Audio;
  r.channel = input;
  r.source = uint8_t(input);
  r.flagNibble = 8;
  r.timeDelta = timeDelta;
  for (std::size_t i = 0; i < bytes; ++i) r.data.push_back(uint8_t(seed * 37 + i * 11));
  return r;
}

Record aux(bool channelled, uint8_t timeDelta) {
  Record r;
  r.type = channelled ? Record::Type::AuxChannel : Record::Type::Aux;
  r.channel = 1;
  r.frameType = 0x55;
  r.data = {1, 2, 3, 4, 5, 6, 7, 8};
  r.timeDelta = timeDelta;
  return r;
}

// Three channels (one starting on a non-key frame, one of a code without a geometry), two audio inputs
// shared by three channels, aux records, filler words, slack and an over-long word count, in two blocks.
Scenario tinyScenario(uint8_t audioFormat, uint8_t modelCode) {
  Scenario s;
  s.header.audioFormat = audioFormat;
  s.header.modelCode = modelCode;
  s.header.audioSource[0] = 0;
  s.header.audioSource[1] = 0;
  s.header.audioSource[5] = 1;
  s.header.channelRate[5] = 30;
  Block first;
  first.baseTime = 10;
  first.records = {video(0, true, 2, 1, 0), audio(0, 32, 1, 0), video(1, false, 18, 2, 0),
                   video(5, true, 7, 3, 1), aux(true, 1),       video(1, true, 18, 4, 1)};
  first.records[2].padWords = 2;
  first.records[3].slackWords = 3;
  Block second;
  second.baseTime = 12;
  second.records = {audio(1, 16, 2, 0), video(0, false, 2, 5, 0), aux(false, 1), video(1, false, 18, 6, 1),
                    audio(0, 8, 3, 2)};
  second.records[1].wordCountOverride = 40;  // claims more words than its extent holds
  s.blocks = {first, second};
  return s;
}

// Real MPEG-4 video at the smallest decoder size, two channels with audio.
Scenario smallRealScenario() {
  BodyPlan plan;
  plan.seconds = 2;
  plan.recordsPerBlock = 12;
  plan.reuseFrames = true;
  plan.audioWordsPerRecord = 25;
  plan.auxEverySeconds = 1;
  plan.channels = {{0, 18, 16, 0, 4}, {3, 18, 12, 0, 3, true}};
  return planScenario(plan);
}

bool writeRecordings(const fs::path& openDir, const fs::path& convertDir) {
  struct Named {
    std::string name;
    Scenario scenario;
  };
  std::vector<Named> bases = {{"ima-reversed", tinyScenario(3, 7)},
                              {"ima", tinyScenario(3, 9)},
                              {"multi", tinyScenario(0, 9)},
                              {"multi-old-model", tinyScenario(11, 2)},
                              {"real-video", smallRealScenario()}};
  bool ok = true;
  for (const Named& base : bases) {
    const GeneratedRecording plain = buildRecording(base.scenario);
    ok = put(openDir, base.name + ".qmv", plain.bytes) && ok;
    ok = put(convertDir, base.name + ".qmv", plain.bytes) && ok;
  }

  // The player executable forms, on the smallest base.
  const Scenario& tiny = bases[1].scenario;
  struct Wrapped {
    std::string name;
    ExecutableWrapper wrapper;
  };
  std::vector<Wrapped> wrappers(3);
  wrappers[0] = {"mz-marker-trailing.exe", {}};
  wrappers[0].wrapper.prefixSize = 64;
  wrappers[0].wrapper.trailingSize = 100;
  wrappers[1] = {"zm-marker.exe", {}};
  wrappers[1].wrapper.zmMagic = true;
  wrappers[1].wrapper.prefixSize = 200;
  wrappers[2] = {"mz-no-marker.exe", {}};
  wrappers[2].wrapper.withMarker = false;
  wrappers[2].wrapper.prefixSize = 96;
  for (const Wrapped& w : wrappers) {
    Scenario s = tiny;
    s.wrapper = w.wrapper;
    const GeneratedRecording wrapped = buildRecording(s);
    ok = put(openDir, w.name, wrapped.bytes) && ok;
    ok = put(convertDir, w.name, wrapped.bytes) && ok;
  }

  // Every kind of damage the reader must reject, on the two-block base.
  const GeneratedRecording base = buildRecording(tiny);
  for (int d = int(Damage::BadTrailer); d <= int(Damage::ItemCountWraps); ++d)
    ok = put(openDir, "damaged-" + std::to_string(d) + ".qmv", applyDamage(base, Damage(d))) && ok;
  return ok;
}

// Salvage: the damaged variants of both bases, cuts at several places and zeroed stretches of the body.
bool writeSalvageSeeds(const fs::path& dir) {
  bool ok = true;
  const GeneratedRecording bases[] = {buildRecording(tinyScenario(3, 9)),
                                      buildRecording(smallRealScenario())};
  for (int b = 0; b < 2; ++b) {
    const GeneratedRecording& base = bases[b];
    const std::string name = b == 0 ? "tiny" : "real";
    for (int d = int(Damage::BadTrailer); d <= int(Damage::ItemCountWraps); ++d)
      ok = put(dir, name + "-damaged-" + std::to_string(d), applyDamage(base, Damage(d))) && ok;
    for (int percent : {30, 60, 90}) {
      std::vector<uint8_t> cut = base.bytes;
      cut.resize(cut.size() * std::size_t(percent) / 100);
      ok = put(dir, name + "-cut-" + std::to_string(percent), cut) && ok;
    }
    std::vector<uint8_t> zeroed = base.bytes;
    std::fill(zeroed.begin() + std::ptrdiff_t(zeroed.size() / 3),
              zeroed.begin() + std::ptrdiff_t(zeroed.size() / 2), 0);
    ok = put(dir, name + "-zeroed", zeroed) && ok;
  }
  return ok;
}

// Scripts of the ADPCM target: op % 3 picks IMA, multi-mode or geometry; then that call's bytes.
bool writeAdpcmSeeds(const fs::path& dir) {
  Prng prng(7);
  bool ok = true;
  std::vector<uint8_t> ima = {0, 1, 80, 0x00, 0x40};
  for (int i = 0; i < 32; ++i) ima.push_back(prng.byte());
  ok = put(dir, "ima", ima) && ok;
  // Multi-mode: reset, then decodes under the coding types 0..5 and 13 (type byte = type + 2).
  std::vector<uint8_t> multi = {1, 0, 0, 2, 0, 0, 0, 0};
  for (uint8_t type : {0, 1, 2, 3, 4, 5, 13}) {
    multi.insert(multi.end(), {1, 4, uint8_t(1 + (type & 1)), uint8_t(type + 2), 0, 0, 0, 24});
    for (int i = 0; i < 24; ++i) multi.push_back(prng.byte());
    multi.insert(multi.end(), {1, 1, 1, uint8_t(type + 2), 0, 0, 0, 0});  // a single step
  }
  ok = put(dir, "multi", multi) && ok;
  ok = put(dir, "text", {1, 112, 0, 2, 0, 0, 0, 0, 1, 113, 0, 2, 0, 0, 0, 0}) && ok;
  ok = put(dir, "absurd-length", {1, 4, 1, 2, 0x80, 0, 0, 0, 1, 2, 3, 4}) && ok;
  ok = put(dir, "geometry", {2, 2, 2, 3, 2, 9, 2, 24, 2, 255}) && ok;
  return ok;
}

// Scripts of the video decoder target: setup, width and height picks, then per frame op, frameType,
// format code, word count (2 bytes), pad words, stream words, and one result pick per decode.
bool writeVideoSeeds(const fs::path& dir) {
  TestVideoEncoder encoder(352, 240, 3);
  bool ok = true;
  for (int variant = 0; variant < 3; ++variant) {
    std::vector<uint8_t> script = {0, 5, uint8_t(variant == 2 ? 7 : 2)};
    for (int f = 0; f < 4; ++f) {
      std::vector<uint8_t> vop =
          encoder.ok() ? encoder.next().vop : std::vector<uint8_t>{0, 0, 1, 0xB6, 0x10};
      vop.resize(std::min<std::size_t>(vop.size(), 256));
      const std::size_t words = (vop.size() + 3) / 4 + 1;
      script.insert(script.end(), {1, uint8_t(f == 0 ? 0x10 : 0x20), uint8_t(variant == 1 ? 5 : 3),
                                   uint8_t(words >> 8), uint8_t(words), 1});
      vop.resize(words * 4, 0xEE);
      script.insert(script.end(), vop.begin(), vop.end());
      script.push_back(uint8_t(4 + f));
    }
    if (variant == 1) script.insert(script.end(), {0xFE, 7, 8, 0xFD, 1, 0x10, 3, 0, 1, 0});
    ok = put(dir, "frames-" + std::to_string(variant), script) && ok;
  }
  return ok;
}

// Reports in the shape the writer gives them, small: verify's reader starts from real members.
bool writeReportSeeds(const fs::path& dir) {
  const std::string digest(64, 'a');
  const std::string sample = "{\"position\": 0, \"size\": 10, \"output\": \"" + digest + "\"}";
  const std::string output =
      "{\"channel\": 1, \"path\": \"/x/cam_00.avi\", \"pathHex\": \"2f78\", \"size\": 10, "
      "\"sha256\": \"" +
      digest + "\", \"frameMap\": {\"samples\": [" + sample + ", " + sample + "]}}";
  const std::string input =
      "{\"path\": \"/x/cam.exe\", \"size\": 100, \"sha256\": \"" + digest +
      "\", \"wrapped\": true, \"recording\": {\"offset\": 64, \"size\": 30, \"sha256\": null}}";
  const std::string reports[] = {
      "{\"schemaVersion\": 1, \"input\": " + input + ", \"outputs\": [" + output +
          "], \"sideFiles\": [{\"path\": "
          "\"/x/cam_00.srt\", \"size\": 3, \"sha256\": \"" +
          digest + "\"}]}",
      "{\"schemaVersion\": 1, \"input\": {\"path\": \"a\"}, \"outputs\": []}",
  };
  for (std::size_t i = 0; i < std::size(reports); ++i) {
    std::ofstream out(dir / ("report-" + std::to_string(i) + ".json"), std::ios::binary);
    out << reports[i];
    if (!out) return false;
  }
  return true;
}

// fuzz_clock's inputs: rate bytes, audio, container, gap limit, then (kind, time) per record. The clocks a
// sender would try: a second record 65535 s after the first, a second crowded with frames, a rate byte of 0,
// auxiliary records over a pause, a clock that steps back.
bool writeClockSeeds(const fs::path& dir) {
  using Clock = std::vector<std::pair<uint8_t, uint16_t>>;  // kind (0 key CH-01 .. 5 aux), time
  const auto seed = [](uint8_t rate, uint8_t container, uint8_t gap, const Clock& records) {
    std::vector<uint8_t> bytes{rate, rate, 3, container, gap};
    for (const auto& [kind, time] : records)
      bytes.insert(bytes.end(), {kind, uint8_t(time >> 8), uint8_t(time)});
    return bytes;
  };
  Clock crowded{{0, 0}}, aux{{0, 0}, {2, 0}, {4, 0}}, stepBack{{0, 30}, {4, 30}};
  for (int i = 0; i < 80; ++i) crowded.push_back({1, 0});
  crowded.push_back({1, 3599});
  for (uint16_t t = 5; t < 600; t += 5) aux.push_back({5, t});
  aux.push_back({1, 600});
  for (uint16_t t = 20; t < 23; ++t) stepBack.insert(stepBack.end(), {{1, t}, {4, t}});
  return put(dir, "late", seed(120, 0, 0, {{0, 0}, {4, 0}, {1, 65535}, {4, 65535}})) &&
         put(dir, "crowded", seed(120, 1, 0, crowded)) && put(dir, "rate-0", seed(0, 2, 0, crowded)) &&
         put(dir, "aux-pause", seed(120, 0, 21, aux)) && put(dir, "step-back", seed(120, 2, 0, stepBack));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmv2avi-fuzz-seeds DIR\n");
    return 64;
  }
  const fs::path root = argv[1];
  const fs::path open = root / "fuzz_recording_open", convert = root / "fuzz_convert",
                 adpcm = root / "fuzz_adpcm", video = root / "fuzz_video_decoder",
                 salvage = root / "fuzz_salvage", report = root / "fuzz_verify_report",
                 clock = root / "fuzz_clock";
  std::error_code error;
  for (const fs::path& dir : {open, convert, adpcm, video, salvage, report, clock})
    fs::create_directories(dir, error);
  const bool ok = writeRecordings(open, convert) && writeAdpcmSeeds(adpcm) && writeVideoSeeds(video) &&
                  writeSalvageSeeds(salvage) && writeReportSeeds(report) && writeClockSeeds(clock);
  return ok ? 0 : 1;
}
