// Checking an integrity report: re-reads the files it names and compares every hash in it.
#include "convert/report_check.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "convert/avi_read_back.h"
#include "convert/report_schema.h"
#include "convert/sha256.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
namespace key = report_key;
using Json = nlohmann::json;

struct ExpectedFrame {
  int64_t position = 0;
  Sha256Digest output{};
};

struct ExpectedOutput {
  std::string path;
  std::optional<uint64_t> size;
  std::optional<Sha256Digest> sha256;
  std::vector<ExpectedFrame> frames;
};

struct ExpectedInput {
  std::string path;
  std::optional<uint64_t> size;
  std::optional<Sha256Digest> sha256;
  bool wrapped = false;
  uint64_t recordingOffset = 0, recordingSize = 0;
  std::optional<Sha256Digest> recordingSha256;
};

struct ExpectedReport {
  ExpectedInput input;
  std::vector<ExpectedOutput> outputs;
};

std::optional<Sha256Digest> digestField(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  const std::optional<Sha256Digest> digest = digestFromHex(it->get<std::string>());
  if (!digest) throw std::runtime_error(std::string("\"") + name + "\" is not a SHA-256 digest in hex");
  return digest;
}

std::optional<uint64_t> sizeField(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return it->get<uint64_t>();
}

// The frame maps can hold hundreds of thousands of samples: each is taken out as the parser meets
// it and dropped from the document, so only the compact form stays in memory.
Result<ExpectedReport> readReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error{1, path + ": cannot open the report"};
  ExpectedReport report;
  std::vector<ExpectedFrame> pending;
  try {
    const Json::parser_callback_t take = [&](int, Json::parse_event_t event, Json& parsed) {
      if (event != Json::parse_event_t::object_end) return true;
      if (parsed.contains(key::kPosition) && parsed.contains(key::kOutput)) {
        ExpectedFrame frame;
        frame.position = parsed.at(key::kPosition).get<int64_t>();
        const std::optional<Sha256Digest> digest = digestField(parsed, key::kOutput);
        if (!digest) throw std::runtime_error("a frame-map sample has no output digest");
        frame.output = *digest;
        pending.push_back(frame);
        return false;
      }
      if (parsed.contains(key::kFrameMap) && parsed.contains(key::kPath)) {
        ExpectedOutput output;
        output.path = parsed.at(key::kPath).get<std::string>();
        output.size = sizeField(parsed, key::kSize);
        output.sha256 = digestField(parsed, key::kSha256);
        output.frames = std::move(pending);
        pending.clear();
        report.outputs.push_back(std::move(output));
        return false;
      }
      return true;
    };
    const Json doc = Json::parse(in, take);
    if (!doc.is_object() || !doc.contains(key::kSchemaVersion))
      return Error{2, path + ": not an integrity report"};
    const int version = doc.at(key::kSchemaVersion).get<int>();
    if (version != kReportSchemaVersion) {
      return Error{2, path + ": report schema version " + std::to_string(version) +
                          "; this tool reads version " + std::to_string(kReportSchemaVersion)};
    }
    if (!doc.contains(key::kOutputs) || !doc.at(key::kOutputs).is_array())
      return Error{2, path + ": the report lists no outputs"};
    const Json& input = doc.at(key::kInput);
    report.input.path = input.at(key::kPath).get<std::string>();
    report.input.size = sizeField(input, key::kSize);
    report.input.sha256 = digestField(input, key::kSha256);
    report.input.wrapped = input.value(key::kWrapped, false);
    if (report.input.wrapped) {
      const Json& carved = input.at(key::kRecording);
      report.input.recordingOffset = carved.at(key::kOffset).get<uint64_t>();
      report.input.recordingSize = carved.at(key::kSize).get<uint64_t>();
      report.input.recordingSha256 = digestField(carved, key::kSha256);
    }
  } catch (const std::exception& e) {
    return Error{2, path + ": not a readable integrity report: " + e.what()};
  }
  return report;
}

// The path as recorded, or else the same name beside the report (a folder moved as a whole).
std::optional<std::string> locate(const std::string& recorded, const std::string& reportPath) {
  std::error_code ec;
  if (fs::is_regular_file(recorded, ec)) return recorded;
  const fs::path beside = fs::path(reportPath).parent_path() / fs::path(recorded).filename();
  if (fs::is_regular_file(beside, ec)) return beside.string();
  return std::nullopt;
}

std::string joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return text;
}

// Empty when the file matches; otherwise what differs.
std::string checkOutput(const ExpectedOutput& expected, const std::string& path) {
  std::vector<std::string> problems;
  const Result<FileDigests> digests = hashFile(path);
  if (!digests) {
    problems.push_back(digests.error().message);
  } else {
    if (expected.size && *expected.size != digests->size) {
      problems.push_back("size " + std::to_string(digests->size) + ", report " +
                         std::to_string(*expected.size));
    }
    if (!expected.sha256) {
      problems.push_back("the report holds no SHA-256 for it");
    } else if (*expected.sha256 != digests->whole) {
      problems.push_back("SHA-256 differs");
    }
  }

  const Result<AviReadBack> back = readBackAvi(path);
  if (!back) {
    problems.push_back("not readable as AVI, so no frame could be checked");
  } else {
    uint64_t differing = 0;
    int64_t first = -1;
    for (const ExpectedFrame& frame : expected.frames) {
      const auto found = back->video.find(frame.position);
      const Sha256Digest& actual = found != back->video.end() ? found->second.digest : emptyDigest();
      if (actual != frame.output && differing++ == 0) first = frame.position;
    }
    if (differing > 0) {
      problems.push_back(std::to_string(differing) + " of " + std::to_string(expected.frames.size()) +
                         " frames differ (first at sample position " + std::to_string(first) + ")");
    }
  }
  return joined(problems);
}

std::string checkInput(const ExpectedInput& expected, const std::string& path) {
  if (!expected.sha256) return "the report holds no SHA-256 for it";
  std::optional<uint64_t> range;
  if (expected.wrapped) range = expected.recordingSize;
  const Result<FileDigests> digests = hashFile(path, expected.recordingOffset, range);
  if (!digests) return digests.error().message;
  std::vector<std::string> problems;
  if (expected.size && *expected.size != digests->size) {
    problems.push_back("size " + std::to_string(digests->size) + ", report " +
                       std::to_string(*expected.size));
  }
  if (*expected.sha256 != digests->whole) problems.push_back("SHA-256 differs");
  if (expected.wrapped && expected.recordingSha256 && digests->range != expected.recordingSha256) {
    problems.push_back("the carved recording's SHA-256 differs");
  }
  return joined(problems);
}

CheckedFile verdict(std::string path, std::string problems, uint64_t frames = 0) {
  const FileVerdict v = problems.empty() ? FileVerdict::kMatches : FileVerdict::kDiffers;
  return CheckedFile{std::move(path), v, std::move(problems), frames};
}

}  // namespace

bool ReportCheck::passed() const {
  for (const CheckedFile& f : outputs) {
    if (f.verdict != FileVerdict::kMatches) return false;
  }
  return input.verdict != FileVerdict::kDiffers;
}

Result<ReportCheck> checkReport(const std::string& reportPath) {
  Result<ExpectedReport> report = readReport(reportPath);
  if (!report) return report.error();
  ReportCheck check;
  for (const ExpectedOutput& output : report->outputs) {
    const std::optional<std::string> path = locate(output.path, reportPath);
    if (!path) {
      check.outputs.push_back(CheckedFile{output.path, FileVerdict::kMissing, {}, output.frames.size()});
    } else {
      check.outputs.push_back(verdict(*path, checkOutput(output, *path), output.frames.size()));
    }
  }
  const ExpectedInput& input = report->input;
  check.inputWrapped = input.wrapped;
  std::error_code ec;
  if (!fs::is_regular_file(input.path, ec)) {
    check.input = CheckedFile{input.path, FileVerdict::kMissing, {}, 0};
  } else {
    check.input = verdict(input.path, checkInput(input, input.path));
  }
  return check;
}

}  // namespace qmv
