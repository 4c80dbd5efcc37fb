// Salvage of damaged recordings: the recovery table (cuts, zeroed and random ranges, header damage) and the
// CLI.
#include "recording/salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"
#include "recording/recording_file.h"
#include "support/avi_probe.h"
#include "support/cli_run.h"
#include "support/generated_records.h"
#include "support/test_files.h"
#include "tools/generator/prng.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using namespace format;

// One video frame as the generator wrote it.
struct WrittenFrame {
  int channel = 0;
  uint64_t begin = 0, end = 0;  // the record's extent, file positions
  bool key = false;
  std::vector<uint8_t> stream;  // the stream bytes a pass-through output holds for it
};

// The fixture recording: three channels of different sizes and rates, audio on two of them, auxiliary
// records, 60 records to a block; about 1.7 MB, so a 1 MiB zeroed range leaves something on both sides.
struct Fixture {
  gen::GeneratedRecording recording;
  std::vector<WrittenFrame> frames;

  Fixture() : Fixture(defaultPlan()) {}
  explicit Fixture(const gen::BodyPlan& plan) {
    const gen::Scenario scenario = gen::planScenario(plan);
    recording = gen::buildRecording(scenario);
    const gen::Layout& layout = recording.layout;
    std::size_t r = 0;
    for (std::size_t b = 0; b < scenario.blocks.size(); ++b) {
      const auto& records = scenario.blocks[b].records;
      for (std::size_t i = 0; i < records.size(); ++i, ++r) {
        const uint64_t end =
            i + 1 < records.size() ? layout.recordPositions[r + 1] : layout.blockPositions[b];
        if (records[i].type != gen::Record::Type::Video) continue;
        frames.push_back(WrittenFrame{records[i].channel, layout.recordPositions[r], end,
                                      isKeyFrameType(records[i].frameType),
                                      test::paddedToWords(records[i].data)});
      }
    }
  }
  static gen::BodyPlan defaultPlan();
};

gen::BodyPlan Fixture::defaultPlan() {
  gen::BodyPlan plan;
  plan.channels = {{0, 4, 60, 0, 10}, {1, 2, 120, 1, 12}, {2, 18, 30, -1, 6}};
  plan.seconds = 14;
  plan.recordsPerBlock = 60;
  plan.auxEverySeconds = 3;
  return plan;
}

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

struct RecoveryCase {
  std::string name;
  std::function<std::vector<uint8_t>(const gen::GeneratedRecording&)> damage;
  bool recoverable = true;
};
// CTest lists each case by its name, not by its bytes.
void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> cutAt(const gen::GeneratedRecording& g, uint64_t length) {
  return std::vector<uint8_t>(g.bytes.begin(),
                              g.bytes.begin() + std::ptrdiff_t(std::min<uint64_t>(length, g.bytes.size())));
}

std::vector<uint8_t> overwrite(const gen::GeneratedRecording& g, uint64_t at, uint64_t length, bool random) {
  std::vector<uint8_t> bytes = g.bytes;
  gen::Prng prng(uint32_t(at + length));
  for (uint64_t i = at; i < std::min<uint64_t>(at + length, bytes.size()); ++i)
    bytes[i] = random ? prng.byte() : 0;
  return bytes;
}

std::vector<RecoveryCase> recoveryCases() {
  std::vector<RecoveryCase> cases;
  const gen::Layout& layout = fixture().recording.layout;
  const uint64_t length = layout.recordingLength;
  // Cut where each block begins (its records whole, the block lost) and where it ends (a whole, shorter
  // recording).
  for (std::size_t b = 0; b < layout.blockPositions.size(); ++b) {
    const uint64_t at = layout.blockPositions[b];
    cases.push_back({"cut before block " + std::to_string(b), [at](const auto& g) { return cutAt(g, at); }});
    const uint64_t blockEnd = b + 1 < layout.blockPositions.size() ? 0 : length;
    if (b + 1 < layout.blockPositions.size()) {
      // The next block's records begin where this block ends.
      const auto next = std::find_if(layout.recordPositions.begin(), layout.recordPositions.end(),
                                     [at](uint32_t p) { return p > at; });
      const uint64_t end = next != layout.recordPositions.end() ? *next : length;
      cases.push_back(
          {"cut after block " + std::to_string(b), [end](const auto& g) { return cutAt(g, end); }});
    } else {
      cases.push_back({"cut after the last block", [blockEnd](const auto& g) { return cutAt(g, blockEnd); }});
    }
  }
  for (int percent : {10, 35, 50, 80, 99}) {
    const std::size_t r = layout.recordPositions.size() * std::size_t(percent) / 100;
    const uint64_t mid = layout.recordPositions[r] + 26;  // inside the record, past its head
    cases.push_back(
        {"cut inside record " + std::to_string(r), [mid](const auto& g) { return cutAt(g, mid); }});
  }
  cases.push_back({"last 40 % never arrived", [length](const auto& g) { return cutAt(g, length * 6 / 10); }});
  for (uint64_t at : {uint64_t(100), uint64_t(511), uint64_t(520)}) {
    cases.push_back({"cut inside the header at " + std::to_string(at),
                     [at](const auto& g) { return cutAt(g, at); }, false});
  }
  for (uint64_t size : {uint64_t(4) << 10, uint64_t(64) << 10, uint64_t(1) << 20}) {
    for (int percent : {0, 30, 70}) {
      const uint64_t at = std::min<uint64_t>(kHeaderSize + (length - kHeaderSize) * uint64_t(percent) / 100,
                                             length - size - 4096);
      cases.push_back({"zeroed " + std::to_string(size >> 10) + " KiB at " + std::to_string(percent) + " %",
                       [at, size](const auto& g) { return overwrite(g, at, size, false); }});
    }
  }
  // A block lost with the last records it describes: the records before them lost their index too, and
  // lie before the next intact block, so they are walked.
  for (std::size_t b : {std::size_t(1), layout.blockPositions.size() / 2}) {
    const uint64_t end = layout.blockPositions[b] + 64;
    for (uint64_t before : {uint64_t(4) << 10, uint64_t(56) << 10}) {
      const uint64_t at = end - before;
      cases.push_back(
          {"zeroed block " + std::to_string(b) + " with " + std::to_string(before >> 10) + " KiB before it",
           [at, before](const auto& g) { return overwrite(g, at, before, false); }});
    }
  }
  cases.push_back({"random bytes over the trailer",
                   [length](const auto& g) { return overwrite(g, length - 16, 16, true); }});
  for (std::size_t b : {std::size_t(0), layout.blockPositions.size() / 2, layout.blockPositions.size() - 1}) {
    const uint64_t at = layout.blockPositions[b];
    cases.push_back({"random bytes over block " + std::to_string(b),
                     [at](const auto& g) { return overwrite(g, at, 64, true); }});
  }
  cases.push_back({"zeroed header", [](const auto& g) { return overwrite(g, 0, kHeaderSize, false); }});
  cases.push_back({"random header", [](const auto& g) { return overwrite(g, 0, kHeaderSize, true); }});
  // The generator's own damaged variants, each breaking one rule of the index chain.
  using gen::Damage;
  const std::pair<const char*, Damage> variants[] = {
      {"BadTrailer", Damage::BadTrailer},
      {"BackLinkNotBefore", Damage::BackLinkNotBefore},
      {"BackLinkBelow512", Damage::BackLinkBelow512},
      {"TerminatorLengthOff", Damage::TerminatorLengthOff},
      {"TerminatorMarkBroken", Damage::TerminatorMarkBroken},
      {"ItemCountAboveEntryEnd", Damage::ItemCountAboveEntryEnd},
      {"Truncated", Damage::Truncated},
      {"AbsurdEntryCount", Damage::AbsurdEntryCount},
      {"EntryEndBelowItems", Damage::EntryEndBelowItems},
      {"EntryEndAboveCount", Damage::EntryEndAboveCount},
      {"ItemCountWraps", Damage::ItemCountWraps},
  };
  for (const auto& [name, damage] : variants) {
    cases.push_back({std::string("generator damage ") + name,
                     [damage](const auto& g) { return gen::applyDamage(g, damage); }});
  }
  cases.push_back({"generator damage TooShort",
                   [](const auto& g) { return gen::applyDamage(g, Damage::TooShort); }, false});
  return cases;
}

// Byte positions the damage changed or took away: a frame is undamaged when none lies in its extent.
std::vector<uint64_t> damagedPositions(const std::vector<uint8_t>& original,
                                       const std::vector<uint8_t>& damaged) {
  std::vector<uint64_t> positions;
  for (uint64_t i = 0; i < original.size(); ++i) {
    if (i >= damaged.size() || damaged[i] != original[i]) positions.push_back(i);
  }
  return positions;
}

bool anyIn(const std::vector<uint64_t>& sorted, uint64_t begin, uint64_t end) {
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), begin);
  return it != sorted.end() && *it < end;
}

class RecoveryTable : public ::testing::TestWithParam<RecoveryCase> {};

// Salvages the damaged bytes, converts what it recovers, and checks that every frame of f that the damage
// left whole, after a key frame left whole, comes back in order, and nothing else.
void checkRecovery(const Fixture& f, const RecoveryCase& c) {
  const std::vector<uint8_t> bytes = c.damage(f.recording);
  RecordingFile recording;
  const Status opened = recording.openSalvage(makeMemorySource(bytes, c.name));
  if (!c.recoverable) {
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().message.find("nothing can be recovered"), std::string::npos)
        << opened.error().message;
    std::printf("[ recovery ] %-36s nothing recoverable: %s\n", c.name.c_str(),
                opened.error().message.c_str());
    return;
  }
  ASSERT_TRUE(opened.ok()) << opened.error().message;

  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "salvage");
  ConversionContext context;
  context.settings.selectedChannels = recording.videoMask();
  context.settings.destinationDir = dir;
  context.settings.baseName = "out";
  const ConversionReport report = runConversion(recording, context);
  ASSERT_FALSE(report.outputError) << report.outputError->message;

  // Frames the salvage must bring back: undamaged, with an undamaged key frame of their channel before
  // them and no damaged byte in between.
  const std::vector<uint64_t> damaged = damagedPositions(f.recording.bytes, bytes);
  std::map<int, std::vector<const WrittenFrame*>> byChannel;
  for (const WrittenFrame& w : f.frames) byChannel[w.channel].push_back(&w);
  std::size_t expected = 0, recovered = 0;
  for (const auto& [channel, written] : byChannel) {
    std::vector<bool> required(written.size(), false);
    std::optional<uint64_t> keyBegin;
    for (std::size_t i = 0; i < written.size(); ++i) {
      const WrittenFrame& w = *written[i];
      if (anyIn(damaged, w.begin, w.end)) {
        keyBegin.reset();
        continue;
      }
      if (w.key) keyBegin = w.begin;
      if (keyBegin && anyIn(damaged, *keyBegin, w.end))
        keyBegin = w.key ? std::optional(w.begin) : std::nullopt;
      required[i] = keyBegin.has_value();
      expected += required[i];
    }

    const std::string path = dir + "out_" + (channel < 10 ? "0" : "") + std::to_string(channel) + ".avi";
    if (!fs::exists(path)) {
      EXPECT_EQ(std::count(required.begin(), required.end(), true), 0)
          << "CH-" << channel + 1 << " has no output";
      continue;
    }
    const auto probed = test::probeMedia(path, true);
    ASSERT_TRUE(probed) << path;
    // Each packet is the next of the channel's frames with the same bytes; after a frame left out, the
    // output goes on only with a key frame.
    std::vector<bool> found(written.size(), false);
    std::size_t next = 0;
    for (const test::ProbedPacket& packet : probed->packetsOf(0)) {
      if (packet.data.empty()) continue;
      std::size_t j = next;
      while (j < written.size() && written[j]->stream != packet.data) ++j;
      ASSERT_LT(j, written.size()) << "CH-" << channel + 1 << ": a frame at pts " << packet.pts
                                   << " is not one the generator wrote for the channel, in order";
      if (j != next || next == 0) {
        EXPECT_TRUE(written[j]->key) << "CH-" << channel + 1 << ": frame " << j << " follows a gap";
      }
      found[j] = true;
      next = j + 1;
      ++recovered;
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
      EXPECT_TRUE(!required[i] || found[i])
          << "CH-" << channel + 1 << ": intact frame " << i << " at file position " << written[i]->begin
          << " was not recovered";
    }
    int errors = 0;
    EXPECT_GE(test::decodeAllFrames(path, 0, &errors), 0) << path;
    EXPECT_EQ(errors, 0) << path;
  }
  const SalvageReport* salvage = recording.salvageReport();
  std::printf(
      "[ recovery ] %-36s %5.1f %% of %zu frames (%zu of %zu intact after a key frame); %zu unreadable "
      "ranges, %llu bytes\n",
      c.name.c_str(), 100.0 * double(recovered) / double(f.frames.size()), f.frames.size(), recovered,
      expected, salvage ? salvage->unreadable.size() : std::size_t(0),
      static_cast<unsigned long long>(salvage ? salvage->unreadableBytes : 0));
}

TEST_P(RecoveryTable, RecoversEveryIntactFrameAndNothingElse) { checkRecovery(fixture(), GetParam()); }

// Sixteen channels of four frames, four blocks: the second block zeroed with the 56 KiB of records before
// it. The records before the zeroed range lost their index block but lie before the next intact one.
TEST(Salvage, RecordsThatLostTheirBlockAreWalked) {
  gen::BodyPlan plan;
  for (int ch = 0; ch < kChannelCount; ++ch)
    plan.channels.push_back({ch, uint8_t(ch % 2 == 0 ? 4 : 2), 4, -1, 2});
  plan.seconds = 4;
  plan.recordsPerBlock = 16;
  plan.auxEverySeconds = 0;
  const Fixture f(plan);
  const gen::Layout& layout = f.recording.layout;
  ASSERT_EQ(layout.blockPositions.size(), 4u);
  const uint64_t end = layout.blockPositions[1] + kBlockHeadSize + 17 * kItemSize;
  const uint64_t at = end - std::min<uint64_t>(end - kHeaderSize, 56 << 10);
  checkRecovery(f, {"zeroed block 1 with 56 KiB before it",
                    [at, end](const auto& g) { return overwrite(g, at, end - at, false); }});
}

// A recording cut before its last index block: the records of that block are found by their heads, and their
// times are estimated near the ones the recorder noted, not all put in the last block's second. On the
// recorded clock picture and sound then end together; subtitles and the report mark the estimates.
TEST(Salvage, WalkedRecordsGetEstimatedTimes) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 10}, {1, 2, 20, -1, 5}};
  plan.seconds = 12;
  plan.recordsPerBlock = 150;  // 300 records: the cut leaves the last 6 s without their block
  plan.auxEverySeconds = 0;
  const gen::Scenario scenario = gen::planScenario(plan);
  const gen::GeneratedRecording g = gen::buildRecording(scenario);
  ASSERT_EQ(g.layout.blockPositions.size(), 2u);
  const std::vector<uint8_t> cut = cutAt(g, g.layout.blockPositions.back());
  // The recorder's own time of every record, by its position.
  std::map<uint64_t, uint32_t> truth;
  std::size_t r = 0;
  for (const gen::Block& block : scenario.blocks)
    for (const gen::Record& record : block.records)
      truth[g.layout.recordPositions[r++]] = block.baseTime + record.timeDelta;

  RecordingFile recording;
  ASSERT_TRUE(recording.openSalvage(makeMemorySource(cut, "cut")));
  uint64_t estimated = 0;
  for (uint32_t k = 0; k < recording.entryCount(); ++k) {
    if (!recording.timeEstimated(k)) continue;
    const FrameIndexEntry& e = recording.entries()[k];
    ASSERT_TRUE(truth.count(e.offset)) << "entry " << k;
    EXPECT_LE(std::abs(int(e.time) - int(truth[e.offset])), 1)
        << "entry " << k << " kind " << int(e.kind) << " at 0x" << std::hex << e.offset;
    ++estimated;
  }
  EXPECT_GE(estimated, 140u) << "the last block's records are walked";

  ConversionContext context;
  context.settings.selectedChannels = 0b11;
  context.settings.destinationDir = test::freshTestDir(QMV2AVI_TEST_TMP, "salvage", "estimated");
  context.settings.baseName = "cut";
  context.settings.timing = Timing::kRecorded;
  const ConversionReport report = runConversion(recording, context);
  ASSERT_FALSE(report.outputError);
  ASSERT_FALSE(report.files.empty());
  const OutputFileReport& file = report.files[0];
  ASSERT_TRUE(file.hasAudio);
  const double picture = double(file.positions) * file.rate.den / file.rate.num;
  const double sound = double(file.audioSamples) / 8000.0;
  EXPECT_NEAR(picture, sound, 1.0) << "picture and sound end together";

  const std::string dir = context.settings.destinationDir;
  ASSERT_TRUE(gen::writeFile(dir + "cut.qmv", cut));
  fs::create_directories(dir + "cli");
  const test::CliResult run =
      test::runCli("convert --salvage --report " + test::quote(dir + "cli.report.json") + " -o " +
                       test::quote(dir + "cli") + " " + test::quote(dir + "cut.qmv"),
                   dir);
  EXPECT_EQ(run.status, 4) << run.err;
  const std::string srt = test::slurp(dir + "cli/cut_00.srt");
  EXPECT_NE(srt.find(" (estimated)\r\n"), std::string::npos)
      << srt.substr(srt.size() > 400 ? srt.size() - 400 : 0);
  const auto json = nlohmann::json::parse(test::slurp(dir + "cli.report.json"), nullptr, false);
  ASSERT_FALSE(json.is_discarded());
  uint64_t marked = 0;
  for (const auto& sample : json["outputs"][0]["frameMap"]["samples"])
    marked += sample.value("timeEstimated", false);
  EXPECT_GT(marked, 20u);
}

INSTANTIATE_TEST_SUITE_P(Damage, RecoveryTable, ::testing::ValuesIn(recoveryCases()),
                         [](const ::testing::TestParamInfo<RecoveryCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

// Header damage: the description says unknown, the rates come from the frames, no audio is guessed.
TEST(Salvage, DamagedHeaderFieldsAreUnknown) {
  const auto bytes = overwrite(fixture().recording, 0, kHeaderSize, false);
  RecordingFile recording;
  ASSERT_TRUE(recording.openSalvage(makeMemorySource(bytes)).ok());
  ASSERT_NE(recording.salvageReport(), nullptr);
  EXPECT_FALSE(recording.headerKnown());
  EXPECT_EQ(recording.description().systemName, "unknown");
  EXPECT_EQ(recording.description().recordedTime.rfind("unknown date and hour", 0), 0u);
  EXPECT_EQ(recording.info().channelRate[0], 0);
  EXPECT_EQ(recording.info().audioSource[0], kNoAudioSource);
  EXPECT_EQ(recording.videoMask(), 0b111u);
}

// A whole recording opens as open() opens it.
TEST(Salvage, WholeRecordingHasNoReport) {
  RecordingFile whole, plain;
  ASSERT_TRUE(whole.openSalvage(makeMemorySource(fixture().recording.bytes)).ok());
  ASSERT_TRUE(plain.open(makeMemorySource(fixture().recording.bytes)).ok());
  EXPECT_EQ(whole.salvageReport(), nullptr);
  EXPECT_EQ(whole.entryCount(), plain.entryCount());
}

// Through the CLI: the rejection hint, info --salvage, convert --salvage with its summary, report and
// exit statuses 4, 2 and 0.
TEST(Salvage, CommandLine) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "salvage");
  const gen::GeneratedRecording& g = fixture().recording;
  const std::string cut = dir + "cut.qmv", whole = dir + "whole.qmv", header = dir + "header.qmv";
  ASSERT_TRUE(gen::writeFile(cut, cutAt(g, g.layout.recordingLength * 6 / 10)));
  ASSERT_TRUE(gen::writeFile(whole, g.bytes));
  ASSERT_TRUE(gen::writeFile(header, cutAt(g, 300)));

  const test::CliResult rejected = test::runCli("info " + test::quote(cut), dir);
  EXPECT_EQ(rejected.status, 2);
  const auto errLines = test::lines(rejected.err);
  ASSERT_EQ(errLines.size(), 1u) << rejected.err;
  EXPECT_EQ(errLines[0].rfind("qmv2avi-cli: " + cut + ": the file looks cut short or damaged: ", 0), 0u)
      << errLines[0];
  EXPECT_TRUE(errLines[0].ends_with(" (try --salvage)")) << errLines[0];

  const test::CliResult info = test::runCli("info --salvage " + test::quote(cut), dir);
  EXPECT_EQ(info.status, 4) << info.err;
  for (const char* line : {"Salvage: salvaged ", "Unreadable bytes: 1 range: ", "Recovered bytes: ",
                           "Recovered time span: ", "Recovered CH-01: ", "Recovered CH-03: "}) {
    EXPECT_NE(info.out.find(std::string("\n") + line), std::string::npos) << line << " missing:\n"
                                                                          << info.out;
  }

  const test::CliResult converted =
      test::runCli("convert --salvage " + test::quote(cut) + " -o " + test::quote(dir) + " --report", dir);
  EXPECT_EQ(converted.status, 4) << converted.err;
  EXPECT_NE(converted.out.find(cut + ": salvaged "), std::string::npos) << converted.out;
  EXPECT_NE(converted.out.find(" of about "), std::string::npos) << converted.out;
  const auto reportJson = nlohmann::json::parse(test::slurp(dir + "cut.report.json"), nullptr, false);
  ASSERT_FALSE(reportJson.is_discarded());
  const auto& salvage = reportJson["salvage"];
  ASSERT_TRUE(salvage.is_object());
  EXPECT_EQ(salvage["unreadable"].size(), 1u);
  ASSERT_FALSE(salvage["recordsRecovered"].empty());
  EXPECT_EQ(salvage["recordsRecovered"][0]["fileOffset"], 512);

  EXPECT_EQ(test::runCli("convert --salvage " + test::quote(header) + " -o " + test::quote(dir), dir).status,
            2);

  // Every key frame zeroed: the frames left cannot start a file, and a run that keeps no picture says why.
  std::vector<uint8_t> keyless = g.bytes;
  for (const WrittenFrame& w : fixture().frames) {
    if (w.key)
      std::fill(keyless.begin() + std::ptrdiff_t(w.begin), keyless.begin() + std::ptrdiff_t(w.end), 0);
  }
  const std::string noKeys = dir + "nokeys.qmv";
  ASSERT_TRUE(gen::writeFile(noKeys, keyless));
  fs::create_directories(dir + "nokeys");
  const test::CliResult nothing =
      test::runCli("convert --salvage " + test::quote(noKeys) + " -o " + test::quote(dir + "nokeys"), dir);
  EXPECT_EQ(nothing.status, 2) << nothing.out << nothing.err;
  EXPECT_NE(
      nothing.err.find(noKeys + ": no picture written: none of the video frames recovered for the selected "
                                "channels follows a key frame"),
      std::string::npos)
      << nothing.err;
  EXPECT_NE(nothing.out.find("nokeys_00.avi: 0 frames, 0.00 s at 15 fps, audio 13.90 s"), std::string::npos)
      << nothing.out;
  const test::CliResult wholeRun = test::runCli("info --salvage " + test::quote(whole), dir);
  EXPECT_EQ(wholeRun.status, 0);
  EXPECT_NE(wholeRun.out.find("Salvage: the recording is whole"), std::string::npos);
}

// What a refused file is called, and where --salvage is offered: only where it recovers something.
TEST(Salvage, FilesThatAreNotRecordingsAreCalledThat) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "salvage");
  const gen::GeneratedRecording& g = fixture().recording;
  ASSERT_TRUE(gen::writeFile(dir + "whole.qmv", g.bytes));
  for (const char* format : {"avi", "mp4"}) {
    ASSERT_EQ(test::runCli("convert --overwrite --channels 1 --format " + std::string(format) + " " +
                               test::quote(dir + "whole.qmv"),
                           dir)
                  .status,
              0);
    fs::rename(dir + "whole_00." + format, dir + format + ".qmv");
  }
  gen::Prng prng(7);
  std::vector<uint8_t> random(100'000);
  for (uint8_t& b : random) b = prng.byte();
  ASSERT_TRUE(gen::writeFile(dir + "random.qmv", random));
  ASSERT_TRUE(gen::writeFile(dir + "empty.qmv", {}));
  ASSERT_TRUE(gen::writeFile(dir + "cut.qmv", cutAt(g, g.layout.recordingLength / 2)));
  ASSERT_TRUE(gen::writeFile(dir + "header.qmv", cutAt(g, 600)));

  const std::string notOne =
      "not a recording of this DVR: it has no recording header, and no video record anywhere";
  const struct {
    const char* file;
    std::string plain, salvaged;  // what info says without and with --salvage; empty: it opens
  } cases[] = {
      {"avi.qmv", notOne, notOne},
      {"mp4.qmv", notOne, notOne},
      {"random.qmv", notOne, notOne},
      // Too short to hold a header: it may be a recording cut to nothing, so no more is claimed.
      {"empty.qmv", "the recording holds 0 bytes", "nothing can be recovered: "},
      {"cut.qmv", "the file looks cut short or damaged: ", ""},
      {"header.qmv", "salvage finds no intact video frame in it",
       "nothing can be recovered: no intact video frame is left ("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const test::CliResult plain = test::runCli("info " + test::quote(dir + c.file), dir);
    EXPECT_EQ(plain.status, 2);
    EXPECT_NE(plain.err.find(c.plain), std::string::npos) << plain.err;
    // --salvage is offered exactly where it recovers something.
    EXPECT_EQ(plain.err.find("(try --salvage)") != std::string::npos, c.salvaged.empty()) << plain.err;
    const test::CliResult salvaged = test::runCli("info --salvage " + test::quote(dir + c.file), dir);
    EXPECT_EQ(salvaged.status, c.salvaged.empty() ? 4 : 2) << salvaged.err;
    if (!c.salvaged.empty()) EXPECT_NE(salvaged.err.find(c.salvaged), std::string::npos) << salvaged.err;
    EXPECT_EQ(salvaged.err.find("()"), std::string::npos) << salvaged.err;
  }
}

}  // namespace
}  // namespace qmv
