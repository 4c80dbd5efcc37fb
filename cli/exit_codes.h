// Exit statuses shared by every qmv2avi-cli subcommand.
#pragma once

namespace qmv::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput =
    2;  // the input file is not a recording the tool can read, or it changed while read
inline constexpr int kExitOutputFile = 3;  // convert: an output file could not be created or written
// --salvage: the recording was damaged; what could be recovered was used
inline constexpr int kExitSalvaged = 4;
inline constexpr int kExitSignalBase = 128;  // convert: stopped by a signal; 130 for SIGINT, 143 for SIGTERM
inline constexpr int kExitUsage = 64;        // the command line itself is wrong (sysexits EX_USAGE)
inline constexpr int kExitOutputError = 74;  // the output could not be written (sysexits EX_IOERR)

}  // namespace qmv::cli
