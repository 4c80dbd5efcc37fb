// Numbers as the CLI prints them to people: byte counts in binary units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "job/damage_text.h"

namespace qmv::cli {

using qmv::humanBytes;  // job/damage_text.h

// Text that came from a recording, a report or a file name, as the console may show it: control characters
// (C0, DEL, C1) and bytes that are not UTF-8 are written as escapes (`\n`, `\x1B`, `\u009B`), and a
// backslash as `\\`, so that such text can neither drive the terminal nor start a line of its own.
std::string consoleText(std::string_view text);

}  // namespace qmv::cli
