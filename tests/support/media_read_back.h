// Test read-back of converted files in any container, through libavformat and libavcodec alone: when each
// picture and each audio sample is presented, how bright each picture is, and what the libraries complained
// of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmv::test {

struct ReadBackPacket {
  double time = 0;  // presentation time in seconds, the container's own start offset included
  int size = 0;
  bool key = false;
  uint32_t crc = 0;  // CRC-32 of the packet bytes
};

struct ReadBackPicture {
  double time = 0;  // the decoded frame's presentation time in seconds
  double meanLuma = 0;
};

struct MediaReadBack {
  std::string container;  // the demuxer's name: "avi", "matroska,webm", "mov,mp4,m4a,3gp,3g2,mj2"
  std::vector<ReadBackPacket> packets;  // the video stream's non-empty packets, in file order
  std::vector<ReadBackPicture> pictures;
  bool hasAudio = false;
  int sampleRate = 0;
  double audioStart = 0;  // the time of samples[0]
  // The first audio stream decoded to mono 16-bit levels on one timeline: a decoded frame is placed at its
  // own presentation time, and anything between frames reads as silence.
  std::vector<int16_t> samples;
  // The most seconds a packet is stored behind the latest time stored before it: how far back a player
  // reading the file front to back must reach for it.
  double mostBehind = 0;
  // The packets of every subtitle stream as text (a mov_text packet keeps its 2-byte length in front).
  std::vector<std::string> subtitles;
  // Every message the libraries logged at error level or worse while the file was opened and decoded:
  // what `ffmpeg -v error` would print.
  std::vector<std::string> errors;

  // The time of the first audio sample whose level reaches threshold; nullopt when none does.
  std::optional<double> firstAudioAtLeast(int threshold) const;
  // The time of the first picture whose mean luma reaches level; nullopt when none does.
  std::optional<double> firstPictureAtLeast(double level) const;
};

// Opens path with whatever demuxer libavformat picks, reads every packet and decodes the first video
// stream and the first audio stream. nullopt when the file does not open or has no video stream.
std::optional<MediaReadBack> readBackMedia(const std::string& path);

}  // namespace qmv::test
