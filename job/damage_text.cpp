// The words for a damaged recording, shared by the command line and the dialog.
#include "job/damage_text.h"

#include <fmt/format.h>

#include "recording/salvage.h"

namespace qmv {

std::string humanBytes(uint64_t bytes) {
  if (bytes >= (uint64_t(1) << 30))
    return fmt::format("{:.2f} GiB", double(bytes) / double(uint64_t(1) << 30));
  if (bytes >= (uint64_t(1) << 20))
    return fmt::format("{:.2f} MiB", double(bytes) / double(uint64_t(1) << 20));
  if (bytes >= 1024) return fmt::format("{:.1f} KiB", double(bytes) / 1024.0);
  return fmt::format("{} bytes", bytes);
}

std::string groupedNumber(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(std::size_t(at), ",");
  return digits;
}

std::string damageText(const std::string& detail) { return "the file looks cut short or damaged: " + detail; }

std::string salvageSummary(const RecordingFile& recording) {
  const SalvageReport* report = recording.salvageReport();
  if (report == nullptr) return "the recording is whole; nothing needed salvage";
  const std::size_t ranges = report->unreadable.size();
  return "salvaged " + groupedNumber(report->records) + " of about " + groupedNumber(report->aboutRecords) +
         " records; " + groupedNumber(ranges) +
         (ranges == 1 ? " unreadable range, " : " unreadable ranges, ") + humanBytes(report->unreadableBytes);
}

}  // namespace qmv
