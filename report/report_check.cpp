// Checking an integrity report: re-reads the files it names and compares every hash in it.
#include "report/report_check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <istream>
#include <iterator>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <streambuf>
#include <string_view>
#include <system_error>

#include "recording/file_descriptor.h"
#include "recording/hex_text.h"
#include "recording/utf8_path.h"
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

// A report of sixteen channels over a recording's hour is well under 200 MB, and nests six levels deep.
constexpr uint64_t kMaxReportBytes = uint64_t(1) << 30;
constexpr int kMaxDepth = 16;

// The report's bytes, and never more than the size it had when opened: a kernel file that says it is empty
// and never ends (verify /proc/kmsg) reads as empty.
class BoundedFileBuffer : public std::streambuf {
 public:
  BoundedFileBuffer(int fd, uint64_t size) : fd_(fd), left_(size) {}
  int failed() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (left_ == 0) return traits_type::eof();
    const Transfer got =
        readFully(fd_, block_.data(), std::size_t(std::min<uint64_t>(block_.size(), left_)), at_);
    if (got.error != 0) error_ = got.error;
    if (got.bytes == 0) {
      left_ = 0;
      return traits_type::eof();
    }
    at_ += got.bytes;
    left_ -= got.bytes;
    setg(block_.data(), block_.data(), block_.data() + got.bytes);
    return traits_type::to_int_type(*gptr());
  }

 private:
  int fd_;
  uint64_t left_, at_ = 0;
  int error_ = 0;
  std::array<char, 1 << 16> block_{};
};

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
  if (reportSize > kMaxReportBytes) {
    return Error{2, path + ": " + std::to_string(reportSize) +
                        " bytes, larger than any integrity report this tool writes"};
  }
  BoundedFileBuffer buffer(opened.value()->get(), reportSize);
  std::istream in(&buffer);
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
          // Before the parser keeps a level: a run of brackets costs nothing past this depth.
          if (depth >= kMaxDepth) throw std::runtime_error("nested deeper than any member of a report");
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
    const Json doc = Json::parse(in, take);
    if (buffer.failed())
      return Error{1, path + ": cannot read the report: " + std::strerror(buffer.failed())};
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

// Where verify may look for a file the report names: under one folder, the report's own unless the user
// names another, and nowhere else. The place comes from the report's layout, never from its absolute paths:
// a copied set is checked as itself, and a hostile report cannot make verify open /etc/shadow or /proc/kmsg.
struct Located {
  std::string path;  // the place looked at, or the report's path when there is none
  FileVerdict verdict = FileVerdict::kMissing;  // kMatches here means "present, to be read"
  std::string reason;                           // kRefused: why it is not opened
};

class VerifyScope {
 public:
  VerifyScope(const std::string& reportPath, const std::optional<std::string>& writtenAs,
              const std::string& root)
      : reportDir_(pathFromUtf8(reportPath).parent_path()), writtenAs_(writtenAs) {
    std::error_code ec;
    const fs::path chosen = root.empty() ? reportDir_ : pathFromUtf8(root);
    root_ = fs::weakly_canonical(fs::absolute(chosen.empty() ? fs::path(".") : chosen, ec), ec);
    if (ec) root_.clear();
    ownFolder_ = root.empty();
  }

  // At the file's place relative to where the report was written (its file name alone when the report
  // does not say), counted from where the report is now.
  Located locate(const std::string& recorded) const {
    fs::path relative = pathFromUtf8(recorded).filename();
    if (writtenAs_) {
      const fs::path fromReport = pathFromUtf8(recorded).lexically_normal().lexically_relative(
          pathFromUtf8(*writtenAs_).lexically_normal().parent_path());
      if (!fromReport.empty()) relative = fromReport;
    }
    // Normal form, so that the line naming the copy reads "copy/videos/x.avi", not
    // "copy/reports/../videos/x.avi".
    const fs::path place = (reportDir_ / relative).lexically_normal();
    Located found{utf8FromPath(place), FileVerdict::kMissing, {}};
    if (place.filename().empty()) {
      found.path = recorded;
      return found;
    }
    std::error_code ec;
    // The folder as the file system resolves it, links and all: a linked folder inside cannot lead out.
    const fs::path parent = place.parent_path().empty() ? fs::path(".") : place.parent_path();
    const fs::path folder = fs::weakly_canonical(fs::absolute(parent, ec), ec);
    if (ec || root_.empty() || !inside(folder)) {
      found.verdict = FileVerdict::kRefused;
      found.reason = ownFolder_ ? "outside the report's folder, so not opened (--root DIR names a folder "
                                  "that holds the whole set)"
                                : "outside " + utf8FromPath(root_) + ", so not opened";
      return found;
    }
    const fs::file_status status = fs::symlink_status(place, ec);
    if (!fs::exists(status)) return found;
    if (fs::is_symlink(status)) {
      found.verdict = FileVerdict::kRefused;
      found.reason = "a link, not the file itself, so not opened";
      return found;
    }
    // Anything else present counts: a FIFO or a device is then refused with its reason, not passed over.
    found.verdict = FileVerdict::kMatches;
    return found;
  }

 private:
  bool inside(const fs::path& folder) const {
    auto r = root_.begin(), f = folder.begin();
    for (; r != root_.end(); ++r, ++f) {
      if (r->empty() && std::next(r) == root_.end()) break;  // a trailing separator
      if (f == folder.end() || *r != *f) return false;
    }
    return true;
  }

  fs::path reportDir_;
  std::optional<std::string> writtenAs_;
  fs::path root_;
  bool ownFolder_ = true;
};

std::string joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
  return text;
}

// Empty when the file matches; otherwise what differs. A video is read back and its frames compared too.
std::string checkOutput(const ExpectedOutput& expected, const std::string& path, bool video = true) {
  std::vector<std::string> problems;
  const Result<FileDigests> digests = hashFile(path, 0, std::nullopt, expected.size);
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
  const Result<FileDigests> digests = hashFile(path, expected.recordingOffset, range, expected.size);
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

Result<ReportCheck> checkReport(const std::string& reportPath, const std::string& root) {
  Result<ExpectedReport> report = readReport(reportPath);
  if (!report) return report.error();
  const VerifyScope scope(reportPath, report->writtenAs, root);
  // A file found is read and judged; one refused or missing is named with its reason.
  const auto check = [&](const ExpectedOutput& expected, bool video) {
    const Located place = scope.locate(expected.path);
    const uint64_t frames = video ? expected.frames.size() : 0;
    if (place.verdict != FileVerdict::kMatches)
      return CheckedFile{place.path, place.verdict, place.reason, frames};
    return verdict(place.path, checkOutput(expected, place.path, video), frames);
  };
  ReportCheck result;
  for (const ExpectedOutput& output : report->outputs) result.outputs.push_back(check(output, true));
  for (const ExpectedOutput& side : report->sideFiles) result.sideFiles.push_back(check(side, false));

  const ExpectedInput& input = report->input;
  result.inputWrapped = input.wrapped;
  const Located place = scope.locate(input.path);
  if (place.verdict == FileVerdict::kMatches) {
    result.input = verdict(place.path, checkInput(input, place.path));
  } else {
    result.input = CheckedFile{place.path, place.verdict, place.reason, 0};
  }
  return result;
}

}  // namespace qmv
