// A `convert` run over several recordings: input expansion, the job pool, the shared stop and the summary.
#include "cli/batch_runner.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/convert_job.h"
#include "cli/exit_codes.h"
#include "cli/progress_display.h"
#include "cli/text_format.h"
#include "recording/utf8_path.h"

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTool = "qmv2avi-cli: ";

bool isRecordingName(const fs::path& name) {
  std::string ext = utf8FromPath(name.extension());
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext == ".qmv" || ext == ".exe";
}

// Where a path leads, for telling the same file apart under two spellings.
std::string identity(const fs::path& path) {
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(path, ec);
  return utf8FromPath(ec ? fs::absolute(path, ec).lexically_normal() : resolved);
}

int severity(int status) {
  if (status == kExitOk) return 0;
  if (status == kExitSalvaged) return 1;
  if (status == kExitBadInput) return 2;
  if (status == kExitOutputFile) return 4;
  if (status > kExitSignalBase && status < kExitSignalBase + 64) return 5;
  return 3;
}

// An input whose outputs would take the names of another input's.
struct NameClash {
  std::size_t other = 0;  // the input it clashes with
  // What both would write: "output files DIR/cam_NN.avi would be those" or "report PATH would be that".
  std::string files;
};

std::string outputPattern(const ConvertOptions& options, const std::string& input);

// Inputs that would write the same output names (same folder, same base name, or one report path) as
// another input: for each, one it clashes with.
std::vector<std::optional<NameClash>> findNameClashes(const ConvertOptions& options,
                                                      const std::vector<std::string>& inputs) {
  std::vector<std::optional<NameClash>> clashes(inputs.size());
  std::map<std::string, std::size_t> firstByName;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const fs::path input = pathFromUtf8(inputs[i]);
    fs::path dir = options.outputDir.empty() ? input.parent_path() : pathFromUtf8(options.outputDir);
    if (dir.empty()) dir = ".";
    const std::string stem = utf8FromPath(input.stem());
    std::vector<std::pair<std::string, std::string>> names{
        {identity(dir) + "/" + stem,
         "output files " + outputPattern(options, inputs[i]) + " would be those"}};
    // Reports gathered into one folder clash by their own names even when the videos go apart.
    if (options.report) {
      const std::string report = reportPathFor(*options.report, utf8FromPath(dir) + "/", stem);
      names.emplace_back("report " + identity(pathFromUtf8(report)), "report " + report + " would be that");
    }
    for (const auto& [name, files] : names) {
      const auto [at, inserted] = firstByName.emplace(name, i);
      if (inserted || clashes[i]) continue;
      clashes[i] = NameClash{at->second, files};
      if (!clashes[at->second]) clashes[at->second] = NameClash{i, files};
    }
  }
  return clashes;
}

std::string outputPattern(const ConvertOptions& options, const std::string& input) {
  const fs::path path = pathFromUtf8(input);
  std::string dir = options.outputDir.empty() ? utf8FromPath(path.parent_path()) : options.outputDir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + utf8FromPath(path.stem()) + "_NN" + containerExtension(options.settings.container);
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
    if (seen.insert(identity(pathFromUtf8(path))).second) expanded.inputs.push_back(path);
  };
  for (const std::string& argument : arguments) {
    std::error_code ec;
    const fs::path folder = pathFromUtf8(argument);
    if (!fs::is_directory(folder, ec)) {
      add(argument);  // a missing or unreadable file is reported by its conversion
      continue;
    }
    expanded.fromFolder = true;
    std::vector<std::string> found;
    fs::directory_iterator entries(folder, ec);
    for (; !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
      std::error_code typeError;
      if (isRecordingName(entries->path().filename()) && entries->is_regular_file(typeError)) {
        found.push_back(utf8FromPath(folder / entries->path().filename()));
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

int runBatch(const ConvertOptions& options, const ExpandedInputs& expanded, BatchStop& stop) {
  const auto started = std::chrono::steady_clock::now();
  const std::vector<std::string>& inputs = expanded.inputs;
  const std::size_t count = inputs.size();
  std::vector<uint64_t> sizes(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(pathFromUtf8(inputs[i]), ec);
    sizes[i] = ec ? 0 : uint64_t(size);
  }
  const ProgressStyle style = options.jsonProgress ? ProgressStyle::kJson
                              : stderrIsTerminal() ? ProgressStyle::kBar
                                                   : ProgressStyle::kNone;
  BatchProgress progress(style, inputs, sizes);
  std::vector<InputResult> results(count);
  int status = kExitOk;
  for (const std::string& problem : expanded.problems) {
    progress.writeLine(stderr, -1, problem);
    status = worseExitStatus(status, kExitBadInput);
  }
  // Joined: the inputs are one job, whose outputs are named after the earliest.
  if (options.join && status == kExitOk && count > 0) {
    JobOutput output(progress, 0, false);
    const InputOutcome outcome = convertJoined(options, inputs, output, stop.flag());
    if (outcome.report.stopped) stop.markCutShort();
    progress.inputFinished(0, outcome.exitStatus, outcome.report);
    status = outcome.exitStatus;
  } else if (!options.join) {
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
                         std::string(kTool) + inputs[i] + ": its " + clashes[i]->files + " of " +
                             inputs[clashes[i]->other] +
                             " as well; not converted (convert them one at a time into different folders)");
      progress.inputFinished(i, kExitOutputFile, results[i].outcome.report);
    }

    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        if (results[i].refused) continue;
        if (stop.stopRequested()) {
          stop.markCutShort();
          return;
        }
        JobOutput output(progress, i, count > 1);
        results[i].outcome = convertInput(options, inputs[i], output, stop.flag());
        results[i].started = true;
        if (results[i].outcome.report.stopped) stop.markCutShort();
        progress.inputFinished(i, results[i].outcome.exitStatus, results[i].outcome.report);
      }
    };
    const std::size_t jobs =
        std::min(std::size_t(std::max(options.jobs, 1)), std::max<std::size_t>(runnable, 1));
    if (jobs == 1) {
      work();
    } else {
      std::vector<std::jthread> pool;
      for (std::size_t job = 0; job < jobs; ++job) pool.emplace_back(work);
    }

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
      progress.writeLine(
          stdout, -1,
          fmt::format("{} of {} recordings converted, {} files, {} in {:.1f} s", converted, count, files,
                      humanBytes(bytes),
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()));
    }
  }
  progress.batchFinished(status);
  return status;
}

}  // namespace qmv::cli
