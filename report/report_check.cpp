// Checking an integrity report: re-reads the files it names and compares every hash in it.
#include "report/report_check.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "recording/file_descriptor.h"
#include "recording/hex_text.h"
#include "report/output_read_back.h"
#include "report/report_schema.h"
#include "report/sha256.h"

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
  FrameRate positionRate;  // MKV, MP4: how sample times become positions
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
  std::optional<std::string> writtenAs;  // where the report was written, when it says so
  ExpectedInput input;
  std::vector<ExpectedOutput> outputs;
  std::vector<ExpectedOutput> sideFiles;  // no frames
};

// What a report may make verify keep: the members it reads, and strings no longer than a path can be.
// Everything else is parsed and dropped at once, so a hostile report costs memory for its samples only.
constexpr std::size_t kMaxKeptString = 64 * 1024;
bool neededMember(const std::string& name) {
  static const char* const kNeeded[] = {key::kSchemaVersion, key::kInput,   key::kOutputs,   key::kSideFiles,
                                        key::kWrittenAs,     key::kPath,    key::kPathHex,   key::kSize,
                                        key::kSha256,        key::kWrapped, key::kRecording, key::kOffset,
                                        key::kFrameMap,      key::kSamples, key::kPosition,  key::kOutput,
                                        key::kPositionRate,  key::kNum,     key::kDen};
  return std::any_of(std::begin(kNeeded), std::end(kNeeded), [&](const char* k) { return name == k; });
}

// The path as written. A name that was not UTF-8 reads back with U+FFFD in "path"; its bytes are then
// taken from the hex beside it.
std::string pathField(const Json& object) {
  std::string path = object.at(key::kPath).get<std::string>();
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const auto hex = object.find(key::kPathHex);
  if (path.find(kReplacement) != std::string::npos && hex != object.end() && hex->is_string()) {
    if (std::optional<std::string> bytes = bytesFromHexText(hex->get<std::string>())) return *bytes;
  }
  return path;
}

std::optional<Sha256Digest> digestField(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  const std::optional<Sha256Digest> digest = digestFromHex(it->get<std::string>());
  if (!digest) throw std::runtime_error(std::string("\"") + name + "\" is not a SHA-256 digest in hex");
  return digest;
}

// A whole number in T's range, or an error naming the member: a report's 1e300 or -1 must not pass
// through a narrowing conversion (a double beyond the range is not even a defined conversion).
template <typename T>
T integerField(const Json& value, const char* name) {
  if (value.is_number_unsigned()) {
    const uint64_t v = value.get<uint64_t>();
    if (v <= uint64_t(std::numeric_limits<T>::max())) return T(v);
  } else if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    if (v >= int64_t(std::numeric_limits<T>::min()) &&
        (v < 0 || uint64_t(v) <= uint64_t(std::numeric_limits<T>::max())))
      return T(v);
  }
  throw std::runtime_error(std::string("\"") + name + "\" is not a whole number in range: " + value.dump());
}

std::optional<uint64_t> sizeField(const Json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return integerField<uint64_t>(*it, name);
}

// The frame maps can hold hundreds of thousands of samples: each is taken out as the parser meets
// it and dropped from the document, so only the compact form stays in memory.
Result<ExpectedReport> readReport(const std::string& path) {
  uint64_t reportSize = 0;
  auto opened = openRegularFile(path, reportSize);
  if (!opened) return Error{1, opened.error().message};
  const int dup = ::dup(opened.value()->get());
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(dup >= 0 ? ::fdopen(dup, "rb") : nullptr,
                                                           &std::fclose);
  if (!in) {
    if (dup >= 0) ::close(dup);
    return Error{1, path + ": cannot open the report"};
  }
  ExpectedReport report;
  std::vector<ExpectedFrame> pending;
  // memberAt[d]: a key at depth d was met and its value has not come yet; a value without one is an array
  // element, and a scalar element is nothing verify reads.
  std::vector<bool> memberAt;
  try {
    const Json::parser_callback_t take = [&](int depth, Json::parse_event_t event, Json& parsed) {
      const auto at = std::size_t(depth);
      if (memberAt.size() <= at) memberAt.resize(at + 1, false);
      switch (event) {
        case Json::parse_event_t::key:
          memberAt[at] = true;
          return neededMember(parsed.get<std::string>());
        case Json::parse_event_t::object_start:
        case Json::parse_event_t::array_start:
          memberAt[at] = false;
          return true;
        case Json::parse_event_t::value: {
          const bool member = memberAt[at] || depth == 0;
          memberAt[at] = false;
          if (parsed.is_string() && parsed.get_ref<const std::string&>().size() > kMaxKeptString) {
            throw std::runtime_error("a string of " +
                                     std::to_string(parsed.get_ref<const std::string&>().size()) +
                                     " bytes, longer than any member of a report");
          }
          return member;
        }
        case Json::parse_event_t::array_end:
          return true;
        case Json::parse_event_t::object_end:
          break;
      }
      if (parsed.contains(key::kPosition) && parsed.contains(key::kOutput)) {
        ExpectedFrame frame;
        frame.position = integerField<int64_t>(parsed.at(key::kPosition), key::kPosition);
        const std::optional<Sha256Digest> digest = digestField(parsed, key::kOutput);
        if (!digest) throw std::runtime_error("a frame-map sample has no output digest");
        frame.output = *digest;
        pending.push_back(frame);
        return false;
      }
      if (parsed.contains(key::kFrameMap) && parsed.contains(key::kPath)) {
        ExpectedOutput output;
        output.path = pathField(parsed);
        output.size = sizeField(parsed, key::kSize);
        output.sha256 = digestField(parsed, key::kSha256);
        if (const auto rate = parsed.find(key::kPositionRate); rate != parsed.end() && rate->is_object()) {
          const auto part = [&](const char* name) {
            const auto it = rate->find(name);
            return it == rate->end() ? uint32_t(0) : integerField<uint32_t>(*it, name);
          };
          output.positionRate.num = part(key::kNum);
          output.positionRate.den = part(key::kDen);
        }
        output.frames = std::move(pending);
        pending.clear();
        report.outputs.push_back(std::move(output));
        return false;
      }
      return true;
    };
    const Json doc = Json::parse(in.get(), take);
    if (!doc.is_object() || !doc.contains(key::kSchemaVersion))
      return Error{2, path + ": not an integrity report"};
    // Exactly the integer: 1.9 or 4294967297 must not pass for 1 through a narrowing conversion.
    const Json& version = doc.at(key::kSchemaVersion);
    if (!version.is_number_integer() || version.get<int64_t>() != kReportSchemaVersion) {
      return Error{2, path + ": report schema version " + version.dump() + "; this tool reads version " +
                          std::to_string(kReportSchemaVersion)};
    }
    if (!doc.contains(key::kOutputs) || !doc.at(key::kOutputs).is_array())
      return Error{2, path + ": the report lists no outputs"};
    if (const auto sides = doc.find(key::kSideFiles); sides != doc.end() && sides->is_array()) {
      for (const Json& side : *sides) {
        ExpectedOutput file;
        file.path = pathField(side);
        file.size = sizeField(side, key::kSize);
        file.sha256 = digestField(side, key::kSha256);
        report.sideFiles.push_back(std::move(file));
      }
    }
    if (const auto written = doc.find(key::kWrittenAs); written != doc.end() && written->is_object())
      report.writtenAs = pathField(*written);
    const Json& input = doc.at(key::kInput);
    report.input.path = pathField(input);
    report.input.size = sizeField(input, key::kSize);
    report.input.sha256 = digestField(input, key::kSha256);
    report.input.wrapped = input.value(key::kWrapped, false);
    if (report.input.wrapped) {
      const Json& carved = input.at(key::kRecording);
      report.input.recordingOffset = integerField<uint64_t>(carved.at(key::kOffset), key::kOffset);
      report.input.recordingSize = integerField<uint64_t>(carved.at(key::kSize), key::kSize);
      report.input.recordingSha256 = digestField(carved, key::kSha256);
    }
  } catch (const std::exception& e) {
    return Error{2, path + ": not a readable integrity report: " + e.what()};
  }
  return report;
}

// The copy beside the report first, and the path as recorded only when nothing is there: a copied folder
// is checked as itself, never through the originals it was copied from. Beside means at the output's place
// relative to where the report was written (its file name alone when the report does not say). Anything
// present at a path counts (a FIFO is then refused with its reason, not passed over).
std::optional<std::string> locate(const std::string& recorded, const std::string& reportPath,
                                  const std::optional<std::string>& writtenAs) {
  std::error_code ec;
  fs::path relative = fs::path(recorded).filename();
  if (writtenAs) {
    const fs::path fromReport = fs::path(recorded).lexically_normal().lexically_relative(
        fs::path(*writtenAs).lexically_normal().parent_path());
    if (!fromReport.empty()) relative = fromReport;
  }
  // Normal form, so that the line naming the copy reads "copy/videos/x.avi", not
  // "copy/reports/../videos/x.avi".
  const fs::path beside = (fs::path(reportPath).parent_path() / relative).lexically_normal();
  if (fs::exists(fs::symlink_status(beside, ec))) return beside.string();
  if (fs::exists(fs::symlink_status(recorded, ec))) return recorded;
  return std::nullopt;
}

std::string joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return text;
}

// Empty when the file matches; otherwise what differs. A video is read back and its frames compared too.
std::string checkOutput(const ExpectedOutput& expected, const std::string& path, bool video = true) {
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

  // A file that cannot be hashed is not read back either: it may be a FIFO that would never end.
  if (!digests || !video) return joined(problems);
  const Result<OutputReadBack> back = readBackOutput(path, expected.positionRate);
  if (!back) {
    problems.push_back(std::string("not readable as ") + containerTitle(containerOfName(path)) +
                       ", so no frame could be checked");
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
  for (const CheckedFile& f : sideFiles) {
    if (f.verdict != FileVerdict::kMatches) return false;
  }
  return input.verdict != FileVerdict::kDiffers;
}

Result<ReportListing> readReportListing(const std::string& reportPath) {
  Result<ExpectedReport> report = readReport(reportPath);
  if (!report) return report.error();
  ReportListing listing;
  listing.outputs = report->outputs.size();
  for (const ExpectedOutput& output : report->outputs) listing.frames += output.frames.size();
  listing.sideFiles = report->sideFiles.size();
  return listing;
}

Result<ReportCheck> checkReport(const std::string& reportPath) {
  Result<ExpectedReport> report = readReport(reportPath);
  if (!report) return report.error();
  ReportCheck check;
  for (const ExpectedOutput& output : report->outputs) {
    const std::optional<std::string> path = locate(output.path, reportPath, report->writtenAs);
    if (!path) {
      check.outputs.push_back(CheckedFile{output.path, FileVerdict::kMissing, {}, output.frames.size()});
    } else {
      check.outputs.push_back(verdict(*path, checkOutput(output, *path), output.frames.size()));
    }
  }
  for (const ExpectedOutput& side : report->sideFiles) {
    const std::optional<std::string> path = locate(side.path, reportPath, report->writtenAs);
    if (!path) {
      check.sideFiles.push_back(CheckedFile{side.path, FileVerdict::kMissing, {}, 0});
    } else {
      check.sideFiles.push_back(verdict(*path, checkOutput(side, *path, false)));
    }
  }
  const ExpectedInput& input = report->input;
  check.inputWrapped = input.wrapped;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(input.path, ec))) {
    check.input = CheckedFile{input.path, FileVerdict::kMissing, {}, 0};
  } else {
    check.input = verdict(input.path, checkInput(input, input.path));
  }
  return check;
}

}  // namespace qmv
