// What the CLI says about damaged recordings: the rejection line, the salvage summary and info's salvage
// section.
#include "cli/salvage_text.h"

#include <fmt/format.h>

#include <array>

#include "cli/text_format.h"
#include "recording/salvage.h"
#include "report/salvage_json.h"

namespace qmv::cli {
namespace {

// Text output lists this many ranges of each sort; the JSON lists all.
constexpr std::size_t kRangesShown = 20;

std::string rangeText(const ByteRange& range) {
  return fmt::format("0x{:X}..0x{:X} ({})", range.offset, range.offset + range.length,
                     humanBytes(range.length));
}

void printRanges(std::ostream& out, const char* title, const std::vector<ByteRange>& ranges) {
  out << title << ": " << ranges.size() << (ranges.size() == 1 ? " range" : " ranges");
  for (std::size_t i = 0; i < ranges.size() && i < kRangesShown; ++i)
    out << (i ? ", " : ": ") << rangeText(ranges[i]);
  if (ranges.size() > kRangesShown) out << ", and " << ranges.size() - kRangesShown << " more";
  out << "\n";
}

std::string minutesText(uint16_t time) { return fmt::format("{:02d}:{:02d}", time / 60, time % 60); }

}  // namespace

std::string rejectionText(const Error& error, bool salvageTried) {
  if (!looksDamaged(error)) return error.message;
  return damageText(error.message) + (salvageTried ? "" : " (try --salvage)");
}

void printSalvage(std::ostream& out, const RecordingFile& recording) {
  const SalvageReport* report = recording.salvageReport();
  if (report == nullptr) {
    out << "Salvage: the recording is whole\n";
    return;
  }
  out << "Salvage: " << damageText(report->damage) << "\n"
      << "Salvage: " << salvageSummary(recording) << "\n"
      << "Found: " << report->chainBlocks << " index blocks through the trailer's chain, "
      << report->scannedBlocks << " more by scanning, " << groupedNumber(report->recordsTimedFromBlock)
      << " records by their heads alone (times estimated from their order, their channel's rate and the "
         "nearest indexed times; marked as estimated)\n";
  if (!report->headerKnown)
    out << "Header: damaged; system name, version, address, date, rates and audio are unknown\n";
  printRanges(out, "Recovered bytes", report->recovered);
  printRanges(out, "Unreadable bytes", report->unreadable);
  out << "Recovered time span: " << minutesText(recording.firstTime()) << " ~ "
      << minutesText(recording.lastTime()) << " (minutes and seconds in the recorded hour)\n";
  const auto counts = countSalvagedChannels(recording);
  for (int c = 0; c < format::kChannelCount; ++c) {
    if (counts[std::size_t(c)].records == 0) continue;
    out << fmt::format("Recovered CH-{:02d}: {} records, {} frames, {} key frames\n", c + 1,
                       groupedNumber(counts[std::size_t(c)].records),
                       groupedNumber(counts[std::size_t(c)].frames),
                       groupedNumber(counts[std::size_t(c)].keyFrames));
  }
}

}  // namespace qmv::cli
