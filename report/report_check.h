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
  kMissing,  // neither where the report says nor beside the report
};

struct CheckedFile {
  std::string path;  // where it was found; the report's path when it was not
  FileVerdict verdict = FileVerdict::kMissing;
  std::string problems;  // kDiffers: what differs, "; " between the items
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
// position), the subtitle and frame-log files, and the input when it is still where the report says. Each
// output is looked for beside the report first, and at the path the report names only when nothing is
// there: a copied set is checked as itself. An error when the report cannot be read as an integrity report.
Result<ReportCheck> checkReport(const std::string& reportPath);

// What checkReport reads of the report itself, and nothing of the files it names: the outputs and side
// files it lists, or why it is not a report verify can use.
struct ReportListing {
  std::size_t outputs = 0, frames = 0, sideFiles = 0;
};
Result<ReportListing> readReportListing(const std::string& reportPath);

}  // namespace qmv
