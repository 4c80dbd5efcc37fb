// Checking an integrity report: re-reads the files it names and compares every hash in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recording/result.h"

namespace qmv {

enum class FileVerdict {
  kMatches,
  kDiffers,  // problems says what
  kMissing,  // not at its place relative to the report
  kRefused,  // not opened: outside the folder verify may read, or a link; problems says which
};

struct CheckedFile {
  std::string path;  // where it was found; the report's path when it was not
  FileVerdict verdict = FileVerdict::kMissing;
  std::string problems;  // kDiffers: what differs, "; " between the items; kRefused: why
  uint64_t frames = 0;   // outputs: the samples its frame map lists
};

struct ReportCheck {
  std::vector<CheckedFile> outputs;
  std::vector<CheckedFile> sideFiles;  // subtitles and frame logs: SHA-256 and size only
  CheckedFile input;
  bool inputWrapped = false;  // a player executable: the carved recording's digest was compared too
  // Every output matches; the input matches or is missing (it often stays on the machine that made
  // the report).
  bool passed() const;
};

// Checks every output the report at reportPath names (file SHA-256, then each video sample's SHA-256 by
// position), the subtitle and frame-log files, and the input when it is present. Each file is looked for at
// its place relative to the report, as the report was laid out when written, and only under root (the
// report's own folder when empty): nothing outside it, no link and no special file is opened, and no file is
// read past the size the report states. An error when the report cannot be read as an integrity report.
Result<ReportCheck> checkReport(const std::string& reportPath, const std::string& root = {});

// What checkReport reads of the report itself, and nothing of the files it names: the outputs and side
// files it lists, or why it is not a report verify can use.
struct ReportListing {
  std::size_t outputs = 0, frames = 0, sideFiles = 0;
};
Result<ReportListing> readReportListing(const std::string& reportPath);

}  // namespace qmv
