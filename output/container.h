// The output containers and every fact the writer, the read-back and the front ends need of each, in one
// table.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qmv {

// The output file format. Every one keeps the recorded frames as coded in pass-through mode.
enum class Container { kAvi, kMkv, kMp4 };

struct ContainerTraits {
  Container container;
  const char* name;       // what the command line and the dialog call it: "avi"
  const char* extension;  // with its dot: ".avi"
  const char* title;      // in messages: "AVI"
  const char* muxer;      // libavformat's muxer
  const char* demuxer;    // libavformat's demuxer that reads it back (MP4: the QuickTime one)
  // AVI counts samples at one constant rate and a skipped position is an empty chunk; MKV and MP4 samples
  // carry their own times, and a skipped position writes nothing.
  bool constantRate;
  bool subtitleTrack;  // the recorded time travels as a subtitle track inside the file
  bool aacAudio;       // audio is AAC; otherwise 16-bit PCM
};

// Every container, in Container's order.
std::span<const ContainerTraits> allContainers();
const ContainerTraits& traitsOf(Container container);
// The container a name from the command line or the dialog means ("avi", "mkv", "mp4"); none for others.
std::optional<Container> containerNamed(std::string_view name);
// The container an output's file name says: ".mkv" and ".mp4" (any case), otherwise AVI.
Container containerOfName(const std::string& path);

inline const char* containerExtension(Container container) { return traitsOf(container).extension; }
inline const char* containerName(Container container) { return traitsOf(container).name; }
inline const char* containerTitle(Container container) { return traitsOf(container).title; }
inline const char* muxerName(Container container) { return traitsOf(container).muxer; }

}  // namespace qmv
