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
  CheckedFile input;
  bool inputWrapped = false;  // a player executable: the carved recording's digest was compared too
  // Every output matches; the input matches or is missing (it often stays on the machine that made
  // the report).
  bool passed() const;
};

// Checks every output the report at reportPath names (file SHA-256, then each video sample's SHA-256 by
// position) and the input when it is still where the report says. An output moved together with its
// report is found beside it. An error when the report cannot be read as an integrity report.
Result<ReportCheck> checkReport(const std::string& reportPath);

}  // namespace qmv
