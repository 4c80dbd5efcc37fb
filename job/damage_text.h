// The words both front ends use for a damaged recording: the refusal, the salvage summary, and the numbers
// in them.
#pragma once

#include <cstdint>
#include <string>

#include "recording/recording_file.h"

namespace qmv {

// "512 bytes", "1.5 KiB", "2.25 MiB", "1.00 GiB".
std::string humanBytes(uint64_t bytes);

// "1,204"
std::string groupedNumber(uint64_t value);

// "the file looks cut short or damaged: DETAIL"
std::string damageText(const std::string& detail);

// "salvaged 1,204 of about 1,290 records; 2 unreadable ranges, 3.10 MiB"
std::string salvageSummary(const RecordingFile& recording);

}  // namespace qmv
