// The integrity report's schema version and the member names that both its writer and `verify` use.
#pragma once

namespace qmv {

inline constexpr int kReportSchemaVersion = 1;

// Members `verify` reads back; the writer writes them under these names.
namespace report_key {
inline constexpr const char* kSchemaVersion = "schemaVersion";
inline constexpr const char* kInput = "input";
inline constexpr const char* kOutputs = "outputs";
inline constexpr const char* kPath = "path";
// The path's bytes in hex beside it: a name that is not UTF-8 reads back as U+FFFD in "path", losslessly
// here.
inline constexpr const char* kPathHex = "pathHex";
// The subtitle and frame-log files, hashed like the videos: evidence of the recorded time.
inline constexpr const char* kSideFiles = "sideFiles";
// The report's own path when it was written ("path", "pathHex"): verify finds each output by its place
// relative to that, beside the report wherever the set was copied.
inline constexpr const char* kWrittenAs = "writtenAs";
inline constexpr const char* kSize = "size";
inline constexpr const char* kSha256 = "sha256";
inline constexpr const char* kWrapped = "wrapped";
inline constexpr const char* kRecording =
    "recording";  // input: the recording carved from a player executable
inline constexpr const char* kOffset = "offset";
inline constexpr const char* kFrameMap = "frameMap";
inline constexpr const char* kSamples = "samples";
inline constexpr const char* kPosition = "position";
inline constexpr const char* kOutput = "output";  // a sample's digest as read back from the output file
// An output's video positions per second, {"num", "den"}: how MKV and MP4 sample times become positions.
inline constexpr const char* kPositionRate = "positionRate";
inline constexpr const char* kNum = "num";
inline constexpr const char* kDen = "den";
}  // namespace report_key

}  // namespace qmv
