// What the CLI says about damaged recordings: the rejection line, the salvage summary and info's salvage
// section.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "job/damage_text.h"
#include "recording/recording_file.h"
#include "recording/result.h"

namespace qmv::cli {

// The reason a file was not opened. Damage gets plain words first and the way out last, all on one line:
// "the file looks cut short or damaged: DETAIL (try --salvage)".
std::string rejectionText(const Error& error, bool salvageTried = false);

using qmv::groupedNumber;
using qmv::salvageSummary;

// info --salvage: what would be recovered (salvageJson in convert/ gives the same as JSON).
void printSalvage(std::ostream& out, const RecordingFile& recording);

}  // namespace qmv::cli
