// Damaged recordings through qmv2avi-cli info and convert: each case is rejected in one line or converts
// soundly.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "recording/recording_format.h"
#include "support/scratch_dir.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"
#include "transcode/ffmpeg_handles.h"

extern "C" {
#include <libavformat/avformat.h>
}

extern char** environ;

namespace qmv {
namespace {

namespace fs = std::filesystem;
using namespace format;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The limit counts the processor time the tool spends, so that a busy machine shared with other builds
// does not fail a case; a child that waits instead of working is caught by the wall-clock limit.
// Address and undefined-behaviour checks make the tool several times slower (and its start-up, which
// maps the shadow memory, slower still): a factor of 4 keeps both limits meaningful there.
constexpr double kSanitizerFactor = kSanitized ? 4 : 1;
constexpr double kTimeLimitSeconds = 5.0 * kSanitizerFactor;
constexpr double kWallLimitSeconds = 30.0 * kSanitizerFactor;
constexpr long kMemoryLimitKiB = 1024L * 1024L;  // 1 GiB

// --- Child processes under a watchdog ---

struct ChildRun {
  int status = -1;  // exit status, -1 when it did not exit normally
  int signal = 0;
  bool overTime = false;
  bool overMemory = false;
  double seconds = 0;  // processor time
  double wallSeconds = 0;
  long maxRssKiB = 0;
  std::string out, err;
};

using test::lines;
using test::slurp;

// User plus system time of a running process, from /proc/PID/stat (fields 14 and 15, after the name).
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat(std::istreambuf_iterator<char>(in), {});
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return 0;
  std::istringstream fields(stat.substr(nameEnd + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  unsigned long long user = 0, system = 0;
  fields >> user >> system;
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

long residentKiB(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs the CLI with args; kills it when it outlives the time limit or grows past the memory limit.
ChildRun runCli(const std::vector<std::string>& args, const fs::path& scratch) {
  const fs::path outPath = scratch / "stdout.txt", errPath = scratch / "stderr.txt";
  std::vector<std::string> argv0 = {QMV2AVI_CLI_PATH};
  argv0.insert(argv0.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv0) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ChildRun run;
  if (spawned != 0) {
    run.err = "posix_spawn failed";
    return run;
  }

  const auto started = std::chrono::steady_clock::now();
  int status = 0;
  struct rusage usage {};
  for (int tick = 0;; ++tick) {
    if (wait4(pid, &status, WNOHANG, &usage) == pid) break;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (elapsed > kWallLimitSeconds) run.overTime = true;
    if (tick % 4 == 0) {
      if (cpuSeconds(pid) > kTimeLimitSeconds) run.overTime = true;
      if (residentKiB(pid) > kMemoryLimitKiB) run.overMemory = true;
    }
    if (run.overTime || run.overMemory) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      break;
    }
    const timespec pause{0, 2'000'000};
    nanosleep(&pause, nullptr);
  }
  run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  // posix_spawn's child shares this process's memory until it executes the tool, so the peak
  // includes this process's own peak up to then: an upper bound, which is the safe side here.
  run.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.out = slurp(outPath);
  run.err = slurp(errPath);
  fs::remove(outPath);
  fs::remove(errPath);
  return run;
}

// --- What a sound AVI is: libavformat opens it and reads every packet up to a clean end ---

std::string aviFault(const fs::path& path) {
  ff::InputContext input;
  if (ff::openInput(path.string(), "avi", input) < 0) return "does not open";
  bool video = false;
  for (unsigned i = 0; i < input->nb_streams; ++i)
    video |= input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  if (!video) return "has no video stream";
  ff::Packet packet(av_packet_alloc());
  int read = 0;
  while ((read = av_read_frame(input.get(), packet.get())) >= 0) av_packet_unref(packet.get());
  if (read != AVERROR_EOF) return "stops with a read error before its end";
  return {};
}

// --- Cases ---

enum class Expect { kAny, kReject, kAccept };

struct DamageCase {
  std::string name;
  std::string extension;  // ".qmv" or ".exe"
  Expect expect = Expect::kAny;
  std::function<bool(const fs::path&)> write;  // writes the damaged file
};

std::string outcomeText(const ChildRun& run) {
  std::string text = "exit " + std::to_string(run.status);
  if (run.signal) text += ", signal " + std::to_string(run.signal);
  if (run.overTime) text += ", killed over its time limit";
  if (run.overMemory) text += ", killed above 1 GiB";
  return text +
         fmt::format(", {:.2f} s processor time, {:.2f} s wall, peak {} MiB", run.seconds, run.wallSeconds,
                     run.maxRssKiB / 1024) +
         "; stderr:\n" + run.err;
}

std::string limitFault(const ChildRun& run) {
  if (run.overTime || run.overMemory || run.seconds > kTimeLimitSeconds || run.maxRssKiB > kMemoryLimitKiB) {
    return "over its limits";
  }
  if (run.signal != 0) return "killed by a signal";
  return {};
}

// A rejection is exactly one stderr line: "qmv2avi-cli: FILE: reason".
std::string rejectionFault(const ChildRun& run, const std::string& file) {
  const auto errLines = lines(run.err);
  if (errLines.size() != 1) return "rejected with " + std::to_string(errLines.size()) + " stderr lines";
  const std::string prefix = "qmv2avi-cli: " + file + ": ";
  if (errLines[0].rfind(prefix, 0) != 0 || errLines[0].size() <= prefix.size() + 3) {
    return "rejection line does not name the file and a reason";
  }
  return {};
}

// Anything on stderr of an accepted file is one of the tool's own lines (warnings, notes).
std::string acceptedStderrFault(const ChildRun& run) {
  for (const std::string& line : lines(run.err)) {
    if (line.rfind("qmv2avi-cli: ", 0) != 0) return "stray stderr line \"" + line + "\"";
  }
  return {};
}

struct Tally {
  int accepted = 0, rejected = 0;
  int avis = 0;  // AVI files written by accepted cases
  // The heaviest child seen, to show how close the group comes to the limits.
  double maxSeconds = 0;
  long maxRssKiB = 0;
  std::string slowest, largest;
  void saw(const std::string& name, const ChildRun& run) {
    if (run.seconds > maxSeconds) maxSeconds = run.seconds, slowest = name;
    if (run.maxRssKiB > maxRssKiB) maxRssKiB = run.maxRssKiB, largest = name;
  }
};

// Runs info and convert on one case; returns what went wrong, or nothing.
std::string checkCase(const DamageCase& c, const fs::path& dir, Tally& tally) {
  fs::remove_all(dir);
  fs::create_directories(dir / "out");
  const fs::path file = dir / ("rec" + c.extension);
  if (!c.write(file)) return "could not write the damaged file";

  const ChildRun info = runCli({"info", file.string()}, dir);
  tally.saw(c.name + " (info)", info);
  if (std::string fault = limitFault(info); !fault.empty()) return "info " + fault + ": " + outcomeText(info);
  const ChildRun convert = runCli({"convert", file.string(), "-o", (dir / "out").string()}, dir);
  tally.saw(c.name + " (convert)", convert);
  if (std::string fault = limitFault(convert); !fault.empty())
    return "convert " + fault + ": " + outcomeText(convert);

  if (info.status != 0 && info.status != 2) return "info: " + outcomeText(info);
  if (convert.status != 0 && convert.status != 2) return "convert: " + outcomeText(convert);
  if (info.status != convert.status) {
    return "info and convert disagree: info " + outcomeText(info) + "\nconvert " + outcomeText(convert);
  }
  std::vector<fs::path> written;
  for (const auto& entry : fs::directory_iterator(dir / "out")) written.push_back(entry.path());

  if (convert.status == 2) {
    ++tally.rejected;
    if (c.expect == Expect::kAccept) return "rejected a sound file: " + outcomeText(convert);
    if (std::string fault = rejectionFault(info, file.string()); !fault.empty())
      return "info " + fault + ":\n" + info.err;
    if (std::string fault = rejectionFault(convert, file.string()); !fault.empty()) {
      return "convert " + fault + ":\n" + convert.err;
    }
    if (!written.empty()) return "rejected, but left " + written.front().filename().string() + " behind";
    return {};
  }

  ++tally.accepted;
  if (c.expect == Expect::kReject) return "accepted: " + outcomeText(convert);
  if (info.out.find("Index: ") == std::string::npos) return "info printed no description:\n" + info.out;
  if (std::string fault = acceptedStderrFault(info); !fault.empty()) return "info " + fault;
  if (std::string fault = acceptedStderrFault(convert); !fault.empty()) return "convert " + fault;
  for (const fs::path& out : written) {
    if (out.extension() != ".avi") continue;
    ++tally.avis;
    if (std::string fault = aviFault(out); !fault.empty()) return out.filename().string() + " " + fault;
  }
  return {};
}

// Runs every case of a group, two at a time, naming each failing case; scratch folders of passing cases
// are removed, those of failing ones kept.
Tally runCases(const std::vector<DamageCase>& cases) {
  const fs::path root = test::currentTestDir(QMV2AVI_TEST_TMP, "damaged");
  fs::remove_all(root);
  av_log_set_level(AV_LOG_QUIET);  // the demuxer's notes about damaged streams are no verdict
  std::set<std::string> names;
  for (const DamageCase& c : cases) EXPECT_TRUE(names.insert(c.name).second) << "two cases named " << c.name;

  constexpr int kWorkers = 2;
  std::vector<std::string> faults(cases.size());
  std::vector<Tally> tallies(kWorkers);
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (std::size_t i; (i = next++) < cases.size();) {
        const fs::path dir = root / std::to_string(i);
        faults[i] = checkCase(cases[i], dir, tallies[std::size_t(w)]);
        if (faults[i].empty()) fs::remove_all(dir);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  Tally total;
  for (const Tally& t : tallies) {
    total.accepted += t.accepted;
    total.rejected += t.rejected;
    total.avis += t.avis;
    if (t.maxSeconds > total.maxSeconds) total.maxSeconds = t.maxSeconds, total.slowest = t.slowest;
    if (t.maxRssKiB > total.maxRssKiB) total.maxRssKiB = t.maxRssKiB, total.largest = t.largest;
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!faults[i].empty()) {
      ADD_FAILURE() << cases[i].name << " (files in " << (root / std::to_string(i)).string()
                    << "): " << faults[i];
    }
  }
  std::printf(
      "%zu cases: %d accepted (%d AVI files), %d rejected; most processor time %.2f s (%s), largest %ld MiB "
      "(%s)\n",
      cases.size(), total.accepted, total.avis, total.rejected, total.maxSeconds, total.slowest.c_str(),
      total.maxRssKiB / 1024, total.largest.c_str());
  return total;
}

// --- The recordings that get damaged ---

struct Fixture {
  std::string name;
  std::string extension;
  gen::GeneratedRecording recording;

  const std::vector<uint8_t>& bytes() const { return recording.bytes; }
  const gen::Layout& layout() const { return recording.layout; }
  uint64_t fileOf(uint64_t relative) const { return layout().recordingStart + relative; }
  uint64_t recordingEnd() const { return layout().recordingStart + layout().recordingLength; }
  std::size_t blockCount() const { return layout().blockPositions.size(); }
  uint32_t blockAt(std::size_t b) const { return layout().blockPositions[b]; }
  uint32_t itemCount(std::size_t b) const {
    return readBe32(bytes().data() + fileOf(blockAt(b)) + kBlockItemCountOffset);
  }
  uint32_t entryEnd(std::size_t b) const {
    return readBe32(bytes().data() + fileOf(blockAt(b)) + kBlockEntryEndOffset);
  }
  // Records of block b, as indexes into layout().recordPositions.
  std::size_t firstRecordOf(std::size_t b) const { return entryEnd(b) - itemCount(b) - b; }
  // Where record r ends: the next record, or the block that follows it.
  uint32_t recordEnd(std::size_t r) const {
    const auto& records = layout().recordPositions;
    for (uint32_t block : layout().blockPositions) {
      if (block > records[r] && (r + 1 == records.size() || block < records[r + 1])) return block;
    }
    return records[r + 1];
  }
};

bool writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  return gen::writeFile(path.string(), bytes);
}

// Two channels with IMA audio (words stored reversed), aux records, several blocks.
Fixture imaFixture() {
  gen::BodyPlan plan;
  plan.header.audioFormat = kAudioFormatIma;
  plan.header.modelCode = 7;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 40, .audioInput = 0, .keyInterval = 5},
                   {.channel = 2, .formatCode = 18, .rateByte = 20, .audioInput = -1, .keyInterval = 3}};
  plan.seconds = 2;
  plan.recordsPerBlock = 12;
  plan.auxEverySeconds = 1;
  plan.reuseFrames = true;
  return {"ima", ".qmv", gen::buildRecording(gen::planScenario(plan))};
}

// Multi-mode audio shared by two channels, inside a player executable with trailing bytes.
Fixture exeFixture() {
  gen::BodyPlan plan;
  plan.header.audioFormat = 0;
  plan.channels = {{.channel = 1, .formatCode = 3, .rateByte = 40, .audioInput = 1, .keyInterval = 4},
                   {.channel = 5, .formatCode = 2, .rateByte = 40, .audioInput = 1, .keyInterval = 4}};
  plan.seconds = 1;
  plan.recordsPerBlock = 10;
  plan.auxEverySeconds = 0;
  plan.reuseFrames = true;
  plan.seed = 7;
  gen::Scenario scenario = gen::planScenario(plan);
  gen::ExecutableWrapper wrapper;
  wrapper.prefixSize = 1000;
  wrapper.trailingSize = 100;
  scenario.wrapper = wrapper;
  return {"exe", ".exe", gen::buildRecording(scenario)};
}

const std::vector<Fixture>& fixtures() {
  static const std::vector<Fixture> all = {imaFixture(), exeFixture()};
  return all;
}

DamageCase bytesCase(const Fixture& f, std::string name, Expect expect,
                     std::function<void(std::vector<uint8_t>&)> damage) {
  return {f.name + ": " + std::move(name), f.extension, expect, [&f, damage](const fs::path& path) {
            std::vector<uint8_t> bytes = f.bytes();
            damage(bytes);
            return writeBytes(path, bytes);
          }};
}

std::string hex(uint64_t value) { return fmt::format("0x{:X}", value); }

// --- Truncation at every structural boundary and just inside it ---

std::vector<DamageCase> truncationCases() {
  std::vector<DamageCase> cases;
  for (const Fixture& f : fixtures()) {
    std::vector<std::pair<uint64_t, std::string>> cuts = {{0, "empty"}, {1, "1 byte"}, {3, "3 bytes"}};
    const uint64_t start = f.layout().recordingStart;
    if (start > 0) {
      for (uint64_t at : {uint64_t(2), uint64_t(30), uint64_t(60), start - 1})
        cuts.push_back({at, "in the wrapper"});
    }
    for (uint64_t at : {uint64_t(1), uint64_t(100), uint64_t(511), uint64_t(512)}) {
      cuts.push_back({start + at, "header + " + std::to_string(at)});
    }
    for (std::size_t b = 0; b < f.blockCount(); ++b) {
      const std::string block = "block " + std::to_string(b);
      // The block's first record: inside its head, at the head's end, inside the payload.
      const std::size_t r = f.firstRecordOf(b);
      const uint32_t record = f.layout().recordPositions[r];
      for (uint32_t at : {record + 6, record + 12, record + (f.recordEnd(r) - record) / 2}) {
        cuts.push_back(
            {f.fileOf(at), block + " record " + std::to_string(r) + " + " + std::to_string(at - record)});
      }
      // The block itself: its head, its items, its terminator, and right after it.
      const uint32_t pos = f.blockAt(b), n = f.itemCount(b);
      const uint32_t terminator = pos + uint32_t(kBlockHeadSize) + 4 * (n - 1);
      for (uint32_t at : {pos, pos + 4, pos + 16, pos + 32, pos + 34, pos + 32 + 4 * (n / 2), terminator,
                          terminator + 2, terminator + 4}) {
        cuts.push_back({f.fileOf(at), block + " + " + std::to_string(at - pos)});
      }
    }
    const uint64_t end = f.recordingEnd();
    for (uint64_t back : {1, 2, 3}) cuts.push_back({end - back, "trailer - " + std::to_string(back)});
    if (end < f.bytes().size()) {
      for (uint64_t at : {end, end + 1, uint64_t(f.bytes().size() - 1)})
        cuts.push_back({at, "in the trailing bytes"});
    }

    std::set<uint64_t> seen;
    for (const auto& [cut, where] : cuts) {
      if (cut >= f.bytes().size() || !seen.insert(cut).second) continue;
      // Too short to hold a header and a block; a plain recording cut right after a block is a shorter
      // recording; anything else may go either way.
      Expect expect = Expect::kAny;
      if (cut < start + kMinRecordingLength) expect = Expect::kReject;
      for (std::size_t b = 0; b < f.blockCount(); ++b) {
        if (start == 0 && cut == f.fileOf(f.blockAt(b)) + kBlockHeadSize + 4 * f.itemCount(b))
          expect = Expect::kAccept;
      }
      cases.push_back(bytesCase(f, "cut at " + hex(cut) + " (" + where + ")", expect,
                                [cut](std::vector<uint8_t>& bytes) { bytes.resize(cut); }));
    }
  }
  return cases;
}

// --- Flipped bytes in every index field ---

struct Mutation {
  const char* name;
  std::function<void(uint8_t* field, std::size_t width)> apply;
};

uint64_t fieldValue(const uint8_t* p, std::size_t width) {
  uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}
void setField(uint8_t* p, std::size_t width, uint64_t v) {
  for (std::size_t i = width; i-- > 0; v >>= 8) p[i] = uint8_t(v);
}

const std::vector<Mutation>& mutations() {
  static const std::vector<Mutation> all = {
      {"xor FF",
       [](uint8_t* p, std::size_t w) {
         for (std::size_t i = 0; i < w; ++i) p[i] ^= 0xFF;
       }},
      {"set 00", [](uint8_t* p, std::size_t w) { setField(p, w, 0); }},
      {"set FF", [](uint8_t* p, std::size_t w) { setField(p, w, ~uint64_t(0)); }},
      {"plus 1", [](uint8_t* p, std::size_t w) { setField(p, w, fieldValue(p, w) + 1); }},
      {"minus 1", [](uint8_t* p, std::size_t w) { setField(p, w, fieldValue(p, w) - 1); }},
  };
  return all;
}

struct Field {
  std::string name;
  uint64_t at;  // file position
  std::size_t width;
};

std::vector<DamageCase> flippedIndexCases() {
  std::vector<DamageCase> cases;
  for (const Fixture& f : fixtures()) {
    std::vector<Field> fields;
    // The first block (linked to the header), one in the middle, and the last (its terminator is the
    // trailer); in the executable, whose offsets differ only by the wrapper, the last block alone.
    std::set<std::size_t> blocks = {0, f.blockCount() / 2, f.blockCount() - 1};
    if (f.layout().recordingStart > 0) blocks = {f.blockCount() - 1};
    for (std::size_t b : blocks) {
      const std::string block = "block " + std::to_string(b) + " ";
      const uint64_t pos = f.fileOf(f.blockAt(b));
      const uint32_t n = f.itemCount(b);
      fields.push_back({block + "prevBlock", pos + kBlockPrevOffset, 4});
      fields.push_back({block + "itemCount", pos + kBlockItemCountOffset, 4});
      fields.push_back({block + "entryEnd", pos + kBlockEntryEndOffset, 4});
      fields.push_back({block + "baseTime", pos + kBlockBaseTimeOffset, 4});
      std::set<uint32_t> items = {0, n >= 2 ? n - 2 : 0};
      for (uint32_t i : items) {
        const uint64_t item = pos + kBlockHeadSize + 4 * uint64_t(i);
        const std::string name = block + "item " + std::to_string(i) + " ";
        fields.push_back({name + "code", item + kItemCodeOffset, 1});
        fields.push_back({name + "timeDelta", item + kItemTimeDeltaOffset, 1});
        fields.push_back({name + "length", item + kItemLengthOffset, 2});
      }
      const uint64_t terminator = pos + kBlockHeadSize + 4 * uint64_t(n - 1);
      const bool last = b + 1 == f.blockCount();
      fields.push_back({block + (last ? "trailer mark" : "terminator mark"), terminator, 2});
      fields.push_back({block + (last ? "trailer length" : "terminator length"), terminator + 2, 2});
    }
    if (f.layout().recordingStart > 0) {
      fields.push_back({"wrapper magic", 0, 2});
      fields.push_back({"wrapper marker", kWrapperMarkerOffset, 4});
      fields.push_back({"wrapper recordingStart", kWrapperStartOffset, 4});
      fields.push_back({"wrapper trailingSize", kWrapperTrailingOffset, 4});
    }
    for (const Field& field : fields) {
      // Mutations that give the field bytes it already had, or that an earlier mutation gave, add nothing.
      std::set<std::vector<uint8_t>> tried = {
          {f.bytes().begin() + field.at, f.bytes().begin() + field.at + field.width}};
      for (const Mutation& m : mutations()) {
        std::vector<uint8_t> value(f.bytes().begin() + field.at, f.bytes().begin() + field.at + field.width);
        m.apply(value.data(), value.size());
        if (!tried.insert(value).second) continue;
        cases.push_back(bytesCase(
            f, field.name + " " + m.name, Expect::kAny, [field, value](std::vector<uint8_t>& bytes) {
              std::copy(value.begin(), value.end(), bytes.begin() + std::ptrdiff_t(field.at));
            }));
        // Times only place records in time; one change of each says enough.
        if (field.name.find("Time") != std::string::npos) break;
      }
    }
  }
  return cases;
}

// --- Absurd counts and lengths ---

std::vector<DamageCase> absurdCountCases() {
  std::vector<DamageCase> cases;
  for (const Fixture& f : fixtures()) {
    const std::size_t lastBlock = f.blockCount() - 1;
    const uint64_t last = f.fileOf(f.blockAt(lastBlock));
    const uint64_t earlier = f.fileOf(f.blockAt(lastBlock - 1));
    const uint32_t n = f.itemCount(lastBlock), m = f.entryEnd(lastBlock);
    const uint64_t length = f.layout().recordingLength;
    auto set32 = [&](std::string name, Expect expect, uint64_t at, uint32_t value) {
      cases.push_back(bytesCase(f, name + " = " + hex(value), expect,
                                [at, value](std::vector<uint8_t>& b) { writeBe32(&b[at], value); }));
    };
    for (uint32_t v : {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, n + 0x40000000u, m, m + 1}) {
      set32("last itemCount", Expect::kReject, last + kBlockItemCountOffset, v);
    }
    for (uint32_t v :
         {0xFFFFFFFFu, 0xFFFFFFF0u, uint32_t(length / 4), uint32_t(length / 4 + 1), 2 * m, m - n}) {
      set32("last entryEnd", Expect::kReject, last + kBlockEntryEndOffset, v);
    }
    set32("earlier entryEnd", Expect::kReject, earlier + kBlockEntryEndOffset, 0xFFFFFFFFu);
    // itemCount and entryEnd grown together by 2^30: 4 * itemCount wraps onto the true terminator.
    cases.push_back(
        {f.name + ": itemCount and entryEnd wrap", f.extension, Expect::kReject, [&f](const fs::path& p) {
           return writeBytes(p, gen::applyDamage(f.recording, gen::Damage::ItemCountWraps));
         }});
    cases.push_back({f.name + ": absurd entry count", f.extension, Expect::kReject, [&f](const fs::path& p) {
                       return writeBytes(p, gen::applyDamage(f.recording, gen::Damage::AbsurdEntryCount));
                     }});

    // Record heads: the reader accepts them, the conversion clips or skips what does not fit.
    const auto& records = f.layout().recordPositions;
    std::vector<std::pair<std::string, std::size_t>> picked;
    for (std::size_t r = 0; r < records.size(); ++r) {
      const uint8_t frameType = f.bytes()[f.fileOf(records[r]) + kRecFrameType];
      const std::string kind = frameType == kFrameTypeAudio ? "audio" : "video";
      if (std::none_of(picked.begin(), picked.end(), [&](const auto& p) { return p.first == kind; })) {
        picked.push_back({kind, r});
      }
    }
    picked.push_back({"last", records.size() - 1});
    for (const auto& [kind, r] : picked) {
      const uint64_t head = f.fileOf(records[r]);
      const std::string name = kind + " record " + std::to_string(r) + " ";
      const uint32_t extentWords = (f.recordEnd(r) - records[r]) / 4;
      for (uint32_t words : {0xFFFFu, 0x8000u, 0u, extentWords - 2, extentWords}) {
        cases.push_back(bytesCase(f, name + "wordCount " + std::to_string(words), Expect::kAccept,
                                  [head, words](std::vector<uint8_t>& b) {
                                    writeBe16(&b[head + kRecWordCount], uint16_t(words));
                                  }));
      }
      const uint16_t wordCount = readBe16(&f.bytes()[head + kRecWordCount]);
      for (uint32_t pad : {0xFFu, uint32_t(wordCount & 0xFF), uint32_t((wordCount + 1) & 0xFF)}) {
        cases.push_back(
            bytesCase(f, name + "padWords " + std::to_string(pad), Expect::kAccept,
                      [head, pad](std::vector<uint8_t>& b) { b[head + kRecPadWords] = uint8_t(pad); }));
      }
      for (uint8_t type : {uint8_t(0x80), uint8_t(0x10), uint8_t(0x00)}) {
        cases.push_back(bytesCase(f, name + "frameType " + hex(type), Expect::kAccept,
                                  [head, type](std::vector<uint8_t>& b) { b[head + kRecFrameType] = type; }));
      }
      cases.push_back(bytesCase(f, name + "formatCode 0xFF", Expect::kAccept,
                                [head](std::vector<uint8_t>& b) { b[head + kRecFormatCode] = 0xFF; }));
      cases.push_back(bytesCase(f, name + "source 0x0F", Expect::kAccept,
                                [head](std::vector<uint8_t>& b) { b[head + kRecSource] = 0x0F; }));
      cases.push_back(
          bytesCase(f, name + "payload xor FF", Expect::kAccept, [head, &f, r = r](std::vector<uint8_t>& b) {
            const uint64_t end = f.fileOf(f.recordEnd(r));
            for (uint64_t i = head + kRecordHeadSize; i < end; ++i) b[i] ^= 0xFF;
          }));
    }

    // Item lengths: a record that swallows its neighbours, reaches into the header, or has no head.
    const uint64_t firstItem = last + kBlockHeadSize;
    for (uint32_t words : {0u, 1u, 2u, 0xFFFFu}) {
      cases.push_back(bytesCase(f, "last block item 0 length " + std::to_string(words), Expect::kAny,
                                [firstItem, words](std::vector<uint8_t>& b) {
                                  writeBe16(&b[firstItem + kItemLengthOffset], uint16_t(words));
                                }));
    }
    const uint64_t lastItem = last + kBlockHeadSize + 4 * uint64_t(n - 2);
    cases.push_back(bytesCase(
        f, "last item length 0xFFFF", Expect::kAny,
        [lastItem](std::vector<uint8_t>& b) { writeBe16(&b[lastItem + kItemLengthOffset], 0xFFFF); }));

    // Wrapper positions near 2^32.
    if (f.layout().recordingStart > 0) {
      const uint32_t size = uint32_t(f.bytes().size());
      for (uint32_t v : {0xFFFFFFFFu, 0xFFFFFFF0u, size, size - 36, size - 548}) {
        cases.push_back(bytesCase(f, "wrapper recordingStart " + hex(v), Expect::kReject,
                                  [v](std::vector<uint8_t>& b) { writeLe32(&b[kWrapperStartOffset], v); }));
      }
      for (uint32_t v : {0xFFFFFFFFu, 0x80000000u, size, size - 4, size - 1000 - 548}) {
        cases.push_back(
            bytesCase(f, "wrapper trailingSize " + hex(v), Expect::kReject,
                      [v](std::vector<uint8_t>& b) { writeLe32(&b[kWrapperTrailingOffset], v); }));
      }
      for (uint32_t v : {0xFFFFFFFFu, 0u, 64u}) {
        cases.push_back(bytesCase(f, "wrapper without marker, start " + hex(v), Expect::kReject,
                                  [v](std::vector<uint8_t>& b) { writeLe32(&b[kWrapperMarkerOffset], v); }));
      }
    }
  }

  // A recording of nearly 4 GiB (sparse): one more block at its very end, linked to the real last
  // block; and one whose length reaches 2^32, which 32-bit positions cannot address.
  const Fixture& f = fixtures().front();
  for (uint64_t length : {uint64_t(0xFFFFFF24), uint64_t(1) << 32}) {
    const Expect expect = length < kMaxRecordingLength ? Expect::kAccept : Expect::kReject;
    cases.push_back({f.name + ": recording of " + hex(length) + " bytes", f.extension, expect,
                     [&f, length](const fs::path& path) {
                       if (!writeBytes(path, f.bytes())) return false;
                       const std::size_t last = f.blockCount() - 1;
                       std::vector<uint8_t> block(kBlockHeadSize + kItemSize, 0);
                       writeBe32(&block[kBlockPrevOffset], f.blockAt(last));
                       writeBe32(&block[kBlockItemCountOffset], 1);
                       writeBe32(&block[kBlockEntryEndOffset], f.entryEnd(last) + 1);
                       block[kBlockHeadSize] = block[kBlockHeadSize + 1] = kTerminatorMark;
                       writeBe16(&block[kBlockHeadSize + 2], uint16_t(1 + kTerminatorExtraWords));
                       std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
                       out.seekp(std::streamoff(length - block.size()));
                       out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
                       return bool(out);
                     }});
  }
  // Header fields the conversion takes its set-up from: rates below one frame per second (the rate
  // then comes from the index times, here scattered: a block's 32-bit base time wraps to late in the hour's
  // overrun), audio sources that name no input, other codings.
  const Fixture& g = fixtures().back();
  struct HeaderChange {
    const char* name;
    std::size_t offset;
    uint8_t value;
  };
  const HeaderChange changes[] = {
      {"rate bytes 0", kHdrChannelRate, 0},          {"rate bytes 3", kHdrChannelRate, 3},
      {"rate bytes 255", kHdrChannelRate, 255},      {"audio sources 0x10", kHdrAudioSource, 0x10},
      {"audio sources 0x7F", kHdrAudioSource, 0x7F}, {"audio format 3 (IMA)", kHdrAudioFormat, 0x30},
      {"audio format 15", kHdrAudioFormat, 0xF0},
  };
  for (const HeaderChange& change : changes) {
    cases.push_back(bytesCase(g, std::string("header ") + change.name + ", times scattered", Expect::kAccept,
                              [&g, change](std::vector<uint8_t>& b) {
                                uint8_t* header = &b[g.layout().recordingStart];
                                const std::size_t count =
                                    change.offset == kHdrAudioFormat ? 1 : kChannelCount;
                                std::fill_n(header + change.offset, count, change.value);
                                const uint64_t middle = g.fileOf(g.blockAt(g.blockCount() / 2));
                                writeBe32(&b[middle + kBlockBaseTimeOffset], 0xFFFF0F00u);
                                b[middle + kBlockHeadSize + kItemTimeDeltaOffset] = 0xFF;
                              }));
  }
  // Times past the hour and its overrun are damage, wherever the header's fields lie.
  cases.push_back(bytesCase(g, "block base time 0xFFFFFFF0, times past the hour", Expect::kReject,
                            [&g](std::vector<uint8_t>& b) {
                              const uint64_t middle = g.fileOf(g.blockAt(g.blockCount() / 2));
                              writeBe32(&b[middle + kBlockBaseTimeOffset], 0xFFFFFFF0u);
                            }));

  // Sparse files of the largest blocks, their items all zero: sound chains of empty records. Nearly
  // 4 GiB of them would make a billion entries; 256 of them stay just within what an hour can hold.
  auto largestBlocks = [&f](uint32_t blockLimit) {
    return [&f, blockLimit](const fs::path& path) {
      constexpr uint32_t kItems = 0xFFFF - kTerminatorExtraWords;
      constexpr uint32_t kBlockBytes = kBlockHeadSize + 4 * kItems;
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(f.bytes().data()), kHeaderSize);
      std::vector<uint8_t> head(kBlockHeadSize, 0);
      // The first block links to 512, so it lies after it (4 bytes of body before it).
      uint32_t position = kFirstRecordPosition + 4, previous = kFirstBlockLink, entryEnd = 0;
      for (uint32_t b = 0; b < blockLimit && uint64_t(position) + kBlockBytes <= kMaxRecordingLength;
           ++b, position += kBlockBytes) {
        entryEnd += kItems;
        writeBe32(&head[kBlockPrevOffset], previous);
        writeBe32(&head[kBlockItemCountOffset], kItems);
        writeBe32(&head[kBlockEntryEndOffset], entryEnd);
        out.seekp(position);
        out.write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
        const uint8_t terminator[4] = {kTerminatorMark, kTerminatorMark, 0xFF, 0xFF};
        out.seekp(std::streamoff(position) + kBlockBytes - 4);
        out.write(reinterpret_cast<const char*>(terminator), 4);
        previous = position;
      }
      return bool(out);
    };
  };
  cases.push_back({"a billion index entries", ".qmv", Expect::kReject, largestBlocks(~0u)});
  cases.push_back({"16.7 million index entries", ".qmv", Expect::kAny, largestBlocks(256)});
  return cases;
}

// --- Back links: to itself, forward, past blocks, and long chains of tiny blocks ---

std::vector<DamageCase> backLinkCases() {
  std::vector<DamageCase> cases;
  for (const Fixture& f : fixtures()) {
    const std::size_t lastBlock = f.blockCount() - 1;
    auto link = [&](std::string name, Expect expect, std::size_t b, uint32_t target) {
      const uint64_t at = f.fileOf(f.blockAt(b)) + kBlockPrevOffset;
      cases.push_back(
          bytesCase(f, "block " + std::to_string(b) + " links to " + name, expect,
                    [at, target](std::vector<uint8_t>& bytes) { writeBe32(&bytes[at], target); }));
    };
    for (std::size_t b = 0; b <= lastBlock; ++b) {
      const uint32_t pos = f.blockAt(b);
      link("itself", Expect::kReject, b, pos);
      link("itself + 4", Expect::kReject, b, pos + 4);
      link("the end", Expect::kReject, b, uint32_t(f.layout().recordingLength - 4));
      if (b < lastBlock) link("the next block", Expect::kReject, b, f.blockAt(b + 1));
      link("its last record", Expect::kAny, b,
           f.layout().recordPositions[f.firstRecordOf(b) + f.itemCount(b) - 2]);
      link("the header", Expect::kReject, b, 0);
      link("511", Expect::kReject, b, 511);
      if (b > 0) link("513", Expect::kAny, b, 513);
      if (b > 1) link("512, past earlier blocks", Expect::kAny, b, 512);
      if (b > 1) link("the block before the previous", Expect::kAny, b, f.blockAt(b - 2));
    }
    // Two blocks pointing at each other: the later one must not be followed forward.
    cases.push_back(bytesCase(f, "first two blocks link to each other", Expect::kReject,
                              [&f](std::vector<uint8_t>& bytes) {
                                writeBe32(&bytes[f.fileOf(f.blockAt(0))], f.blockAt(1));
                                writeBe32(&bytes[f.fileOf(f.blockAt(1))], f.blockAt(0));
                              }));
  }

  // Long chains: many blocks that hold only their terminators, after a few real records.
  auto tinyBlocks = [](int count, bool brokenEntries) {
    gen::BodyPlan plan;
    plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 40, .audioInput = 0, .keyInterval = 5}};
    plan.seconds = 1;
    plan.recordsPerBlock = 8;
    plan.reuseFrames = true;
    gen::Scenario scenario = gen::planScenario(plan);
    gen::Block tiny;
    tiny.baseTime = 1;
    scenario.blocks.insert(scenario.blocks.end(), std::size_t(count), tiny);
    gen::GeneratedRecording rec = gen::buildRecording(scenario);
    if (brokenEntries) {
      // Every tiny block claims the same entries: the chain is sound, the frame index is not.
      const uint32_t lastReal = rec.layout.blockPositions[rec.layout.blockPositions.size() - count - 1];
      const uint32_t entryEnd = readBe32(&rec.bytes[lastReal + kBlockEntryEndOffset]) + 1;
      for (std::size_t b = rec.layout.blockPositions.size() - count; b < rec.layout.blockPositions.size();
           ++b) {
        writeBe32(&rec.bytes[rec.layout.blockPositions[b] + kBlockEntryEndOffset], entryEnd);
      }
    }
    return rec.bytes;
  };
  cases.push_back({"chain of 200000 tiny blocks", ".qmv", Expect::kAccept,
                   [tinyBlocks](const fs::path& p) { return writeBytes(p, tinyBlocks(200000, false)); }});
  cases.push_back({"chain of 200000 tiny blocks with overlapping entries", ".qmv", Expect::kReject,
                   [tinyBlocks](const fs::path& p) { return writeBytes(p, tinyBlocks(200000, true)); }});
  return cases;
}

TEST(DamagedFileTest, UndamagedFixturesConvert) {
  std::vector<DamageCase> cases;
  for (const Fixture& f : fixtures()) {
    ASSERT_GE(f.blockCount(), 3u) << f.name;
    cases.push_back({f.name + " as generated", f.extension, Expect::kAccept,
                     [&f](const fs::path& p) { return writeBytes(p, f.bytes()); }});
  }
  // Both channels of both recordings: the checks above look at real files.
  EXPECT_EQ(runCases(cases).avis, 4);
}

TEST(DamagedFileTest, Truncation) { runCases(truncationCases()); }
TEST(DamagedFileTest, FlippedIndexBytes) { runCases(flippedIndexCases()); }
TEST(DamagedFileTest, AbsurdCounts) { runCases(absurdCountCases()); }
TEST(DamagedFileTest, BackLinks) { runCases(backLinkCases()); }

}  // namespace
}  // namespace qmv
