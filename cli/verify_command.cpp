// The `verify` subcommand: re-reads the files an integrity report names and checks every hash in it.
#include "cli/verify_command.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>
#include <vector>

#include "cli/integrity_report.h"
#include "cli/sha256.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qmv::cli {
namespace {

namespace fs = std::filesystem;
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

std::optional<Sha256Digest> digestField(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  const std::optional<Sha256Digest> digest = digestFromHex(it->get<std::string>());
  if (!digest) throw std::runtime_error(std::string("\"") + key + "\" is not a SHA-256 digest in hex");
  return digest;
}

std::optional<uint64_t> sizeField(const Json& object, const char* key) {
  const auto it = object.find(key);
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
      if (parsed.contains("position") && parsed.contains("output")) {
        ExpectedFrame frame;
        frame.position = parsed.at("position").get<int64_t>();
        const std::optional<Sha256Digest> digest = digestField(parsed, "output");
        if (!digest) throw std::runtime_error("a frame-map sample has no output digest");
        frame.output = *digest;
        pending.push_back(frame);
        return false;
      }
      if (parsed.contains("frameMap") && parsed.contains("path")) {
        ExpectedOutput output;
        output.path = parsed.at("path").get<std::string>();
        output.size = sizeField(parsed, "size");
        output.sha256 = digestField(parsed, "sha256");
        output.frames = std::move(pending);
        pending.clear();
        report.outputs.push_back(std::move(output));
        return false;
      }
      return true;
    };
    const Json doc = Json::parse(in, take);
    if (!doc.is_object() || !doc.contains("schemaVersion"))
      return Error{2, path + ": not an integrity report"};
    const int version = doc.at("schemaVersion").get<int>();
    if (version != kReportSchemaVersion) {
      return Error{2, path + ": report schema version " + std::to_string(version) +
                          "; this tool reads version " + std::to_string(kReportSchemaVersion)};
    }
    if (!doc.contains("outputs") || !doc.at("outputs").is_array())
      return Error{2, path + ": the report lists no outputs"};
    const Json& input = doc.at("input");
    report.input.path = input.at("path").get<std::string>();
    report.input.size = sizeField(input, "size");
    report.input.sha256 = digestField(input, "sha256");
    report.input.wrapped = input.value("wrapped", false);
    if (report.input.wrapped) {
      const Json& carved = input.at("recording");
      report.input.recordingOffset = carved.at("offset").get<uint64_t>();
      report.input.recordingSize = carved.at("size").get<uint64_t>();
      report.input.recordingSha256 = digestField(carved, "sha256");
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

  static const Sha256Digest kEmptyDigest = [] {
    Sha256 sha;
    return sha.finish().value_or(Sha256Digest{});
  }();
  const Result<AviReadBack> back = readBackAvi(path);
  if (!back) {
    problems.push_back("not readable as AVI, so no frame could be checked");
  } else {
    uint64_t differing = 0;
    int64_t first = -1;
    for (const ExpectedFrame& frame : expected.frames) {
      const auto found = back->video.find(frame.position);
      const Sha256Digest& actual = found != back->video.end() ? found->second.digest : kEmptyDigest;
      if (actual != frame.output) {
        if (differing++ == 0) first = frame.position;
      }
    }
    if (differing > 0) {
      problems.push_back(std::to_string(differing) + " of " + std::to_string(expected.frames.size()) +
                         " frames differ (first at sample position " + std::to_string(first) + ")");
    }
  }
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return text;
}

std::string checkInput(const ExpectedInput& expected, const std::string& path) {
  if (!expected.sha256) return "the report holds no SHA-256 for it";
  std::optional<uint64_t> range;
  if (expected.wrapped) range = expected.recordingSize;
  const Result<FileDigests> digests = hashFile(path, expected.recordingOffset, range);
  if (!digests) return digests.error().message;
  std::string text;
  if (expected.size && *expected.size != digests->size) {
    text = "size " + std::to_string(digests->size) + ", report " + std::to_string(*expected.size) + "; ";
  }
  if (*expected.sha256 != digests->whole) text += "SHA-256 differs; ";
  if (expected.wrapped && expected.recordingSha256 && digests->range != expected.recordingSha256) {
    text += "the carved recording's SHA-256 differs; ";
  }
  if (!text.empty()) text.erase(text.size() - 2);
  return text;
}

}  // namespace

int verifyReport(const std::string& reportPath, std::ostream& out, std::ostream& err) {
  const Result<ExpectedReport> report = readReport(reportPath);
  if (!report) {
    err << "qmv2avi-cli verify: " << report.error().message << "\n";
    return kExitVerifyBadReport;
  }
  int status = 0;
  for (const ExpectedOutput& output : report->outputs) {
    const std::optional<std::string> path = locate(output.path, reportPath);
    if (!path) {
      out << "MISMATCH " << output.path << ": missing\n";
      status = kExitVerifyMismatch;
      continue;
    }
    const std::string problems = checkOutput(output, *path);
    if (problems.empty()) {
      out << "OK " << *path << ": SHA-256 and " << output.frames.size() << " frames match\n";
    } else {
      out << "MISMATCH " << *path << ": " << problems << "\n";
      status = kExitVerifyMismatch;
    }
  }

  // The input often stays behind on the machine that made the report: not finding it is no failure.
  std::error_code ec;
  const ExpectedInput& input = report->input;
  if (!fs::is_regular_file(input.path, ec)) {
    out << "NOT CHECKED input " << input.path << ": not found\n";
  } else if (const std::string problems = checkInput(input, input.path); problems.empty()) {
    out << "OK input " << input.path
        << (input.wrapped ? ": SHA-256 of the file and of the carved recording match\n"
                          : ": SHA-256 matches\n");
  } else {
    out << "MISMATCH input " << input.path << ": " << problems << "\n";
    status = kExitVerifyMismatch;
  }
  out.flush();
  return status;
}

void addVerifyCommand(CLI::App& app, int& exitCode) {
  auto report = std::make_shared<std::string>();
  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check the outputs (and the input, when present) against an integrity report; exit 0 when all match");
  verify->add_option("report", *report, "The .report.json file that `convert --report` wrote")->required();
  verify->callback([report, &exitCode] {
    // The demuxer's complaints about a damaged file would interleave with the verdict lines.
    av_log_set_level(AV_LOG_QUIET);
    exitCode = verifyReport(*report, std::cout, std::cerr);
  });
}

}  // namespace qmv::cli
