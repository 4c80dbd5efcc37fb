// A `convert` run over several recordings: input expansion, the job pool, the shared stop and the summary.
#include "cli/batch_runner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <streambuf>
#include <string_view>
#include <system_error>
#include <thread>

#include "cli/convert_job.h"
#include "cli/exit_codes.h"
#include "cli/progress_display.h"
#include "cli/text_format.h"
#include "decode/message_notifier.h"

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTool = "qmv2avi-cli: ";

bool isRecordingName(const fs::path& name) {
  std::string ext = name.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext == ".qmv" || ext == ".exe";
}

// Where a path leads, for telling the same file apart under two spellings.
std::string identity(const fs::path& path) {
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(path, ec);
  return ec ? fs::absolute(path, ec).lexically_normal().string() : resolved.string();
}

int severity(int status) {
  if (status == kExitOk) return 0;
  if (status == kExitSalvaged) return 1;
  if (status == kExitBadInput) return 2;
  if (status == kExitOutputFile) return 4;
  if (status > kExitSignalBase && status < kExitSignalBase + 64) return 5;
  return 3;
}

// "qmv2avi-cli: TEXT" becomes "qmv2avi-cli: INPUT: TEXT" unless TEXT already starts with the input.
std::string withInput(const std::string& line, const std::string& input) {
  std::string_view rest = line;
  if (rest.starts_with(kTool)) rest.remove_prefix(kTool.size());
  if (rest.starts_with(input) && rest.substr(input.size()).starts_with(":")) return line;
  return std::string(kTool) + input + ": " + std::string(rest);
}

// std::cerr for the length of a batch: every thread's text is gathered into whole lines, which go out
// through the batch display (one lock, bar cleared first) with the line's input named when there are
// several. The per-input code keeps writing to std::cerr as it does for a single recording.
class CerrLines : public std::streambuf {
 public:
  CerrLines(BatchProgress& progress, bool nameInputs)
      : progress_(progress), nameInputs_(nameInputs), previous_(std::cerr.rdbuf(this)) {}
  ~CerrLines() override {
    flushThread();
    std::cerr.rdbuf(previous_);
  }
  CerrLines(const CerrLines&) = delete;
  CerrLines& operator=(const CerrLines&) = delete;

  // Hands on what the calling thread left without a line end.
  void flushThread() {
    if (!pending().empty()) emit("\n", 1);
  }

 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    emit(&c, 1);
    return ch;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    emit(text, std::size_t(count));
    return count;
  }

 private:
  static std::string& pending() {
    thread_local std::string text;
    return text;
  }

  void emit(const char* text, std::size_t count) {
    std::string& line = pending();
    for (std::size_t i = 0; i < count; ++i) {
      if (text[i] != '\n') {
        line += text[i];
        continue;
      }
      const std::ptrdiff_t input = BatchJobScope::currentInput();
      const bool named = nameInputs_ && input >= 0;
      progress_.writeLine(stderr, input,
                          named ? withInput(line, progress_.inputName(std::size_t(input))) : line);
      line.clear();
    }
  }

  BatchProgress& progress_;
  bool nameInputs_;
  std::streambuf* previous_;
};

// Inputs that would write the same output names (same folder, same base name) as another input:
// for each, the index of one it clashes with.
std::vector<std::optional<std::size_t>> findNameClashes(const ConvertOptions& options,
                                                        const std::vector<std::string>& inputs) {
  std::vector<std::optional<std::size_t>> clashes(inputs.size());
  std::map<std::string, std::size_t> firstByName;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const fs::path input(inputs[i]);
    fs::path dir = options.outputDir.empty() ? input.parent_path() : fs::path(options.outputDir);
    if (dir.empty()) dir = ".";
    const auto [at, inserted] = firstByName.emplace(identity(dir) + "/" + input.stem().string(), i);
    if (inserted) continue;
    clashes[i] = at->second;
    if (!clashes[at->second]) clashes[at->second] = i;
  }
  return clashes;
}

std::string outputPattern(const ConvertOptions& options, const std::string& input) {
  const fs::path path(input);
  std::string dir = options.outputDir.empty() ? path.parent_path().string() : options.outputDir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + path.stem().string() + "_NN.avi";
}

struct InputResult {
  bool started = false;  // convertInput ran (a stop may leave later inputs untouched)
  bool refused = false;  // its output names clash with another input's
  InputOutcome outcome;
};

std::string summaryLine(const std::string& input, const InputResult& result) {
  const ConversionReport& report = result.outcome.report;
  uint64_t bytes = 0;
  for (const OutputFileReport& file : report.files) bytes += file.bytes;
  std::string state;
  if (!result.started) {
    state = result.refused ? "not converted: output names clash with another input" : "not started";
  } else if (result.outcome.exitStatus == kExitSalvaged) {
    state = "salvaged from a damaged recording";
  } else if (result.outcome.exitStatus != kExitOk) {
    state = "failed, exit status " + std::to_string(result.outcome.exitStatus);
  } else if (report.stopped) {
    state = "stopped";
  } else if (!report.started) {
    state = "nothing to convert";
  } else {
    state = "converted";
  }
  if (!report.files.empty()) {
    state += ", " + std::to_string(report.files.size()) +
             (report.files.size() == 1 ? " file, " : " files, ") + humanBytes(bytes);
  }
  return input + ": " + state;
}

}  // namespace

ExpandedInputs expandInputs(const std::vector<std::string>& arguments) {
  ExpandedInputs expanded;
  std::set<std::string> seen;
  const auto add = [&](const std::string& path) {
    if (seen.insert(identity(path)).second) expanded.inputs.push_back(path);
  };
  for (const std::string& argument : arguments) {
    std::error_code ec;
    if (!fs::is_directory(argument, ec)) {
      add(argument);  // a missing or unreadable file is reported by its conversion
      continue;
    }
    expanded.fromFolder = true;
    std::vector<std::string> found;
    fs::directory_iterator entries(argument, ec);
    for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
      std::error_code typeError;
      if (isRecordingName(entries->path().filename()) && entries->is_regular_file(typeError)) {
        found.push_back((fs::path(argument) / entries->path().filename()).string());
      }
    }
    if (ec) {
      expanded.problems.push_back(std::string(kTool) + argument +
                                  ": cannot read this folder: " + ec.message());
      continue;
    }
    if (found.empty()) {
      expanded.problems.push_back(std::string(kTool) + argument + ": no .qmv or .exe file in this folder");
      continue;
    }
    std::sort(found.begin(), found.end());
    for (const std::string& path : found) add(path);
  }
  return expanded;
}

int worseExitStatus(int a, int b) { return severity(b) > severity(a) ? b : a; }

BatchStop::BatchStop(std::size_t jobs)
    : jobs_(std::max<std::size_t>(jobs, 1)), flags_(std::make_unique<std::atomic<int>[]>(jobs_)) {}

void BatchStop::requestStop() noexcept {
  // The flag first: a job that raises its own flag checks it afterwards and does not start.
  stop_.store(1);
  for (std::size_t j = 0; j < jobs_; ++j) flags_[j].store(0);
}

int runBatch(const ConvertOptions& options, const ExpandedInputs& expanded, BatchStop& stop) {
  const auto started = std::chrono::steady_clock::now();
  const std::vector<std::string>& inputs = expanded.inputs;
  const std::size_t count = inputs.size();
  std::vector<uint64_t> sizes(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(inputs[i], ec);
    sizes[i] = ec ? 0 : uint64_t(size);
  }
  const ProgressStyle style = options.jsonProgress         ? ProgressStyle::kJson
                              : isatty(STDERR_FILENO) != 0 ? ProgressStyle::kBar
                                                           : ProgressStyle::kNone;
  BatchProgress progress(style, inputs, sizes);
  std::vector<InputResult> results(count);
  int status = kExitOk;
  for (const std::string& problem : expanded.problems) {
    progress.writeLine(stderr, -1, problem);
    status = worseExitStatus(status, kExitBadInput);
  }
  {
    CerrLines lines(progress, count > 1);
    // One notifier for the whole batch. convertInput installs and restores its own around each
    // conversion, so with several jobs the one in place at any moment may be another job's; every
    // one of them writes a whole line to std::cerr, which names the calling thread's input.
    MessageNotifier previous = setMessageNotifier([](const std::string& text, const std::string& caption) {
      std::cerr << (std::string(kTool) + caption + ": " + text + "\n");
    });

    const auto clashes = findNameClashes(options, inputs);
    std::size_t runnable = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!clashes[i]) {
        ++runnable;
        continue;
      }
      results[i].refused = true;
      results[i].outcome.exitStatus = kExitOutputFile;
      progress.writeLine(stderr, std::ptrdiff_t(i),
                         std::string(kTool) + inputs[i] + ": its output files " +
                             outputPattern(options, inputs[i]) + " would be those of " + inputs[*clashes[i]] +
                             " as well; not converted (convert them one at a time into different folders)");
      progress.inputFinished(i, kExitOutputFile, results[i].outcome.report);
    }

    std::atomic<std::size_t> next{0};
    const auto work = [&](std::size_t job) {
      std::atomic<int>& running = stop.flag(job);
      for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        if (results[i].refused) continue;
        running.store(1);
        if (stop.stopRequested()) return;
        {
          BatchJobScope scope(progress, i);
          results[i].outcome = convertInput(options, inputs[i], running);
          lines.flushThread();
        }
        results[i].started = true;
        progress.inputFinished(i, results[i].outcome.exitStatus, results[i].outcome.report);
      }
    };
    const std::size_t jobs = std::clamp<std::size_t>(
        std::size_t(std::max(options.jobs, 1)), 1, std::min(stop.jobs(), std::max<std::size_t>(runnable, 1)));
    if (jobs == 1) {
      work(0);
    } else {
      std::vector<std::jthread> pool;
      for (std::size_t job = 0; job < jobs; ++job) pool.emplace_back(work, job);
    }
    setMessageNotifier(std::move(previous));

    for (const InputResult& result : results) status = worseExitStatus(status, result.outcome.exitStatus);
    if (count > 1) {
      std::size_t converted = 0, files = 0;
      uint64_t bytes = 0;
      for (std::size_t i = 0; i < count; ++i) {
        const InputResult& result = results[i];
        progress.writeLine(stdout, -1, summaryLine(inputs[i], result));
        const int status = result.outcome.exitStatus;
        if (result.started && (status == kExitOk || status == kExitSalvaged) &&
            result.outcome.report.started && !result.outcome.report.stopped) {
          ++converted;
        }
        files += result.outcome.report.files.size();
        for (const OutputFileReport& file : result.outcome.report.files) bytes += file.bytes;
      }
      char total[160];
      std::snprintf(total, sizeof total, "%zu of %zu recordings converted, %zu files, %s in %.1f s",
                    converted, count, files, humanBytes(bytes).c_str(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      progress.writeLine(stdout, -1, total);
    }
  }
  progress.batchFinished(status);
  return status;
}

}  // namespace qmv::cli
