// What the `convert` command line asks for, checked once and shared by every input of a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "convert/conversion_worker.h"

namespace qmv::cli {

struct ConvertOptions {
  std::vector<std::string> inputs;      // recordings, player executables or folders
  std::string outputDir;                // empty: next to each input
  std::optional<uint32_t> channelMask;  // bit c = CH-(c+1); nullopt: every channel with video
  bool overwrite = false;
  bool timestamps = true;             // <base>_NN.srt with the recorded time beside each video file
  bool frameTimes = false;            // <base>_NN.csv with one row per written video sample
  std::optional<std::string> report;  // integrity report; "" = <DIR>/<base>.report.json
  bool jsonProgress = false;          // one JSON object per line on stderr instead of the bar
  int jobs = 1;                       // recordings converted at once
  bool salvage = false;               // convert what is left of cut-short or damaged recordings
  std::string from;                   // the window's start as typed; empty: the recording's start
  std::string to;                     // its end; empty: the recording's end
  bool join = false;                  // the inputs are hours of one recorder: one output per channel
  // Pass-through (and its four-character code) or re-encode, and the encoder's settings; per-input
  // fields are filled later.
  ConversionSettings settings;
};

}  // namespace qmv::cli
