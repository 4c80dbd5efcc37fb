// MKV and MP4 outputs read back with libavformat/libavcodec: codecs, the stream header, bit-exact frames at
// their times, audio, the recorded-time subtitle track, title, date and pixel shape; a cut-short MP4; and
// the command line's --format with report, verify, side files and re-encode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "convert/conversion_context.h"
#include "convert/recorded_time.h"
#include "decode/frame_geometry.h"
#include "decode/vol_header.h"
#include "output/media_streams.h"
#include "output/media_writer.h"
#include "output/output_name.h"
#include "support/avi_probe.h"
#include "support/cli_process.h"
#include "support/cli_run.h"
#include "support/generated_records.h"
#include "support/scratch_dir.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"
#include "transcode/compress_options.h"

extern "C" {
#include <libavutil/rational.h>
}

namespace qmv {
namespace {

namespace fs = std::filesystem;

struct ContainerCase {
  const char* name;  // also the extension
  Container container;
  AVCodecID audio;
  AVCodecID subtitle;  // AV_CODEC_ID_NONE: no subtitle track
};

const ContainerCase kCases[] = {
    {"mkv", Container::kMkv, AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_SUBRIP},
    {"mp4", Container::kMp4, AV_CODEC_ID_AAC, AV_CODEC_ID_MOV_TEXT},
};

std::string scratchDir(const std::string& name) {
  return test::freshTestDir(QMV2AVI_TEST_TMP, "media-container", name);
}

// Seconds of a packet time.
double seconds(int64_t pts, AVRational timeBase) { return double(pts) * av_q2d(timeBase); }

// A packet's video position at frames per second rate.
int64_t positionOf(const test::ProbedPacket& p, AVRational timeBase, AVRational rate) {
  return std::llround(seconds(p.pts, timeBase) * av_q2d(rate));
}

int streamOf(const test::ProbedFile& file, AVMediaType type) {
  for (std::size_t i = 0; i < file.streams.size(); ++i)
    if (file.streams[i].type == type) return int(i);
  return -1;
}

// The cue text of a subtitle sample: 3GPP text has its 16-bit length first.
std::string cueText(const test::ProbedPacket& p, AVCodecID codec) {
  const std::size_t skip = codec == AV_CODEC_ID_MOV_TEXT ? 2 : 0;
  if (p.data.size() <= skip) return {};
  return std::string(p.data.begin() + std::ptrdiff_t(skip), p.data.end());
}

// Pass-through with audio at rate byte rateByte, the stream header for width x height.
MediaWriterParams passThroughParams(Container container, const std::string& path, int width, int height,
                                    uint8_t rateByte) {
  MediaWriterParams p;
  p.container = container;
  p.fileName = path;
  p.width = width;
  p.height = height;
  p.rate = rateFromByte(rateByte);
  p.withAudio = true;
  p.videoExtraData = makeVolHeader(width, height, PixelAspect{});
  return p;
}

class ContainerOutput : public ::testing::TestWithParam<ContainerCase> {};

// Positions 0, 1 and 5 are skipped (frames before the first key frame, a frame left out); cues come late and
// out of order.
TEST_P(ContainerOutput, PassThroughFramesAudioCuesAndFileDetailsReadBack) {
  const ContainerCase& c = GetParam();
  const std::string path = scratchDir(std::string("pass_") + c.name) + "out." + c.name;
  const std::vector<uint8_t> vol = makeVolHeader(352, 144, PixelAspect{1, 2});
  const std::vector<std::vector<uint8_t>> frames = {test::randomBytes(400, 1), test::randomBytes(120, 2),
                                                    test::randomBytes(90, 3), test::randomBytes(380, 4)};
  const std::vector<int64_t> positions = {2, 3, 4, 6};
  const std::vector<bool> keys = {true, false, false, true};
  std::vector<int16_t> pcm(8000);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(8000.0 * std::sin(double(i) * 0.25));
  {
    MediaWriter w;
    MediaWriterParams p = passThroughParams(c.container, path, 352, 144, 30);  // 7.5 fps
    p.pixelAspect = PixelAspect{1, 2};
    p.videoExtraData = vol;
    p.title = "SYSTEMNAME CH-05";
    p.creationTime = "2007-06-15T13:10:00.000000Z";
    ASSERT_TRUE(w.open(p));
    w.skipVideo();
    w.skipVideo();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (positions[i] == 6) w.skipVideo();
      w.writeRawVideo(frames[i].data(), frames[i].size(), keys[i]);
    }
    for (std::size_t at = 0; at < pcm.size(); at += 400)
      w.writeAudio(reinterpret_cast<const uint8_t*>(pcm.data() + at), 400 * sizeof(int16_t));
    w.addCue(3, 7, "2007-06-15 13:10:01");
    w.addCue(0, 3, "2007-06-15 13:10:00");
    ASSERT_TRUE(w.finish());
    EXPECT_EQ(w.framesWritten(), 4u);
    EXPECT_EQ(w.keyFramesWritten(), 2u);
    EXPECT_EQ(w.videoSamples(), 7);
    EXPECT_EQ(w.audioPosition(), 8000);
  }

  const auto file = test::probeMedia(path, true);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->metadata.count("title") ? file->metadata.at("title") : "", "SYSTEMNAME CH-05");
  ASSERT_TRUE(file->metadata.count("creation_time"));
  EXPECT_EQ(file->metadata.at("creation_time").substr(0, 19), "2007-06-15T13:10:00");

  const int v = streamOf(*file, AVMEDIA_TYPE_VIDEO), a = streamOf(*file, AVMEDIA_TYPE_AUDIO),
            s = streamOf(*file, AVMEDIA_TYPE_SUBTITLE);
  ASSERT_GE(v, 0);
  ASSERT_GE(a, 0);
  ASSERT_EQ(s >= 0, c.subtitle != AV_CODEC_ID_NONE);
  const test::ProbedStream& video = file->streams[std::size_t(v)];
  EXPECT_EQ(video.codec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(video.extradata, vol);
  EXPECT_EQ(av_cmp_q(video.sampleAspect, AVRational{1, 2}), 0)
      << video.sampleAspect.num << ":" << video.sampleAspect.den;

  // Every frame bit-exact, at its own time.
  const auto packets = file->packetsOf(v);
  ASSERT_EQ(packets.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(packets[i].data, frames[i]) << "frame " << i;
    EXPECT_EQ(packets[i].key, keys[i]) << "frame " << i;
    EXPECT_EQ(positionOf(packets[i], video.timeBase, AVRational{15, 2}), positions[i]) << "frame " << i;
  }

  const test::ProbedStream& audio = file->streams[std::size_t(a)];
  EXPECT_EQ(audio.codec, c.audio);
  EXPECT_EQ(audio.sampleRate, 8000);
  EXPECT_EQ(audio.channels, 1);
  const auto audioPackets = file->packetsOf(a);
  ASSERT_FALSE(audioPackets.empty());
  // Sample 0 plays at 0 s: PCM starts there; AAC's first packet holds the encoder's 1024 priming samples
  // before it, which the file's edit list places before 0.
  const double priming = c.audio == AV_CODEC_ID_AAC ? 1024.0 / 8000 : 0.0;
  EXPECT_NEAR(seconds(audioPackets.front().pts, audio.timeBase), -priming, 1e-9);
  if (c.audio == AV_CODEC_ID_PCM_S16LE) {
    std::vector<uint8_t> bytes;
    for (const auto& p : audioPackets) bytes.insert(bytes.end(), p.data.begin(), p.data.end());
    EXPECT_EQ(bytes.size(), pcm.size() * 2);
    EXPECT_EQ(std::memcmp(bytes.data(), pcm.data(), std::min(bytes.size(), pcm.size() * 2)), 0);
  }

  if (s < 0) return;
  EXPECT_EQ(file->streams[std::size_t(s)].codec, c.subtitle);
  std::vector<std::pair<double, std::string>> cues;
  for (const auto& p : file->packetsOf(s)) {
    const std::string text = cueText(p, c.subtitle);
    if (!text.empty()) cues.emplace_back(seconds(p.pts, file->streams[std::size_t(s)].timeBase), text);
  }
  ASSERT_EQ(cues.size(), 2u);
  EXPECT_EQ(cues[0].second, "2007-06-15 13:10:00");
  EXPECT_NEAR(cues[0].first, 0.0, 0.001);
  EXPECT_EQ(cues[1].second, "2007-06-15 13:10:01");
  EXPECT_NEAR(cues[1].first, 3 / 7.5, 0.001);
}

// A file cut short (a full disk, a killed process) still opens and gives every frame before the cut,
// bit-exact at its time: MP4 is fragmented at key frames, MKV needs no index to be read front to back.
TEST_P(ContainerOutput, CutShortPlaysUpToTheCut) {
  const ContainerCase& c = GetParam();
  const std::string dir = scratchDir(std::string("cut_") + c.name);
  const std::string path = dir + "cut." + c.name;
  std::vector<std::vector<uint8_t>> frames;
  {
    MediaWriter w;
    MediaWriterParams p = passThroughParams(c.container, path, 352, 288, 40);  // 10 fps
    ASSERT_TRUE(w.open(p));
    const std::vector<int16_t> tenth(800, 100);
    for (int i = 0; i < 100; ++i) {
      frames.push_back(test::randomBytes(2000 + std::size_t(i), uint32_t(i + 10)));
      w.writeRawVideo(frames.back().data(), frames.back().size(), i % 10 == 0);
      w.writeAudio(reinterpret_cast<const uint8_t*>(tenth.data()), tenth.size() * 2);
    }
    ASSERT_TRUE(w.finish());
  }
  const uintmax_t size = fs::file_size(path);
  fs::resize_file(path, size * 6 / 10);
  const auto file = test::probeMedia(path, true);
  ASSERT_TRUE(file) << "a cut file must still open";
  const int v = streamOf(*file, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(v, 0);
  const auto packets = file->packetsOf(v);
  EXPECT_GE(packets.size(), 40u);
  EXPECT_LT(packets.size(), 70u);
  // The fragment the cut went through (from the last key frame on) may give its frames cut short, their
  // present bytes intact; every frame before it is whole.
  const std::size_t lastFragment = (packets.size() - 1) / 10 * 10;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (i < lastFragment) {
      ASSERT_EQ(packets[i].data, frames[i]) << "frame " << i;
    } else {
      const std::size_t n = std::min(packets[i].data.size(), frames[i].size());
      EXPECT_TRUE(
          std::equal(frames[i].begin(), frames[i].begin() + std::ptrdiff_t(n), packets[i].data.begin()))
          << "frame " << i;
    }
    EXPECT_EQ(positionOf(packets[i], file->streams[0].timeBase, AVRational{10, 1}), int64_t(i));
  }
  EXPECT_FALSE(file->packetsOf(streamOf(*file, AVMEDIA_TYPE_AUDIO)).empty());
}

// A pause without pictures (only audio, as the silence that fills a pause of the recorded clock) reaches
// the file as it is written: neither the muxer nor the writer's output block holds it until the next picture
// or the end.
TEST_P(ContainerOutput, APausesAudioReachesTheFileAsItGoes) {
  const ContainerCase& c = GetParam();
  const std::string dir = scratchDir(std::string("pause_") + c.name);
  const std::string path = dir + "pause." + c.name;
  MediaWriter w;
  ASSERT_TRUE(w.open(passThroughParams(c.container, path, 352, 288, 40)));
  const std::vector<uint8_t> frame = test::randomBytes(2000, 7);
  w.writeRawVideo(frame.data(), frame.size(), true);
  const std::vector<int16_t> second(kAudioSampleRate, 0);
  // The file's size on disk, under its temporary name while it is written.
  auto sizeOnDisk = [&path] {
    const std::vector<std::string> written = output_name::temporariesOf(path);
    return written.size() == 1 ? fs::file_size(written[0]) : uintmax_t(0);
  };
  std::vector<uintmax_t> sizes;
  for (int minute = 0; minute < 60; ++minute) {
    for (int s = 0; s < 60; ++s)
      w.writeAudio(reinterpret_cast<const uint8_t*>(second.data()), second.size() * 2);
    if (minute % 20 == 19) sizes.push_back(sizeOnDisk());
  }
  ASSERT_FALSE(w.writeError());
  EXPECT_GT(sizes[0], 0u) << "the first 20 minutes of the pause are still held back";
  EXPECT_GT(sizes[1], sizes[0]);
  EXPECT_GT(sizes[2], sizes[1]);
  ASSERT_TRUE(w.finish());
  EXPECT_GT(fs::file_size(path), sizes[2]);
}

// ---- the command line ------------------------------------------------------------------------------

// CH-01: 10 fps with audio; CH-05: 7.5 fps, audio, first records before its first key frame. Three seconds.
// The file's comment; MKV spells its tag names in capitals.
std::string commentOf(const test::ProbedFile& file) {
  for (const char* key : {"comment", "COMMENT"})
    if (file.metadata.count(key)) return file.metadata.at(key);
  return "";
}

std::string writeRecording(const std::string& dir, const std::string& name = "cam.qmv") {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}, {4, 2, 30, 1, 5, true}};
  plan.seconds = 3;
  plan.reuseFrames = true;
  const std::string path = dir + name;
  EXPECT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), path));
  return path;
}

std::vector<std::string> nonEmptyLines(const std::string& text) {
  std::vector<std::string> out;
  for (std::string line : test::lines(text)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

class CliFormat : public ::testing::TestWithParam<ContainerCase> {};

// The same recording as AVI and in the container: the same frames at the same positions, the same audio
// (PCM) or as long (AAC); side files, report and verify work; libavcodec decodes every picture without an
// error.
TEST_P(CliFormat, SameFramesAsTheAviWithSideFilesReportAndVerify) {
  const ContainerCase& c = GetParam();
  const std::string dir = scratchDir(std::string("cli_") + c.name);
  const std::string input = writeRecording(dir);
  fs::create_directories(dir + "avi");
  fs::create_directories(dir + "out");
  ASSERT_EQ(test::runCli("convert " + test::quote(input) + " -o " + test::quote(dir + "avi"), dir).status, 0);
  const test::CliResult r = test::runCli("convert " + test::quote(input) + " -o " + test::quote(dir + "out") +
                                             " --format " + c.name + " --report --frame-times",
                                         dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string ext = std::string(".") + c.name;
  EXPECT_EQ(test::filesIn(dir + "out"),
            (std::vector<std::string>{"cam.report.json", "cam_00.csv", "cam_00" + ext, "cam_00.srt",
                                      "cam_04.csv", "cam_04" + ext, "cam_04.srt"}));
  EXPECT_NE(r.out.find("cam_04" + ext + ": "), std::string::npos) << r.out;

  const test::CliResult verified = test::runCli("verify " + test::quote(dir + "out/cam.report.json"), dir);
  EXPECT_EQ(verified.status, 0) << verified.out << verified.err;
  EXPECT_NE(verified.out.find("OK " + dir + "out/cam_04" + ext), std::string::npos) << verified.out;

  for (const char* stem : {"cam_00", "cam_04"}) {
    SCOPED_TRACE(stem);
    const std::string path = dir + "out/" + stem + ext;
    const auto avi = test::probeMedia(dir + "avi/" + stem + ".avi", true);
    const auto file = test::probeMedia(path, true);
    ASSERT_TRUE(avi && file);
    ASSERT_GE(file->streams.size(), 2u);
    const test::ProbedStream& video = file->streams[0];
    EXPECT_EQ(video.codec, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(video.extradata, avi->streams[0].extradata);  // the stream header
    EXPECT_EQ(video.width, avi->streams[0].width);
    const AVRational rate{avi->streams[0].timeBase.den, avi->streams[0].timeBase.num};
    const auto expected = avi->packetsOf(0);
    const auto packets = file->packetsOf(0);
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
      EXPECT_EQ(positionOf(packets[i], video.timeBase, rate), expected[i].pts) << "frame " << i;
      EXPECT_EQ(packets[i].crc, expected[i].crc) << "frame " << i;
      EXPECT_EQ(packets[i].key, expected[i].key) << "frame " << i;
    }
    EXPECT_EQ(file->streams[1].codec, c.audio);
    EXPECT_EQ(file->streams[1].sampleRate, 8000);
    int64_t samples = 0, aviSamples = 0;
    for (const auto& p : avi->packetsOf(1)) aviSamples += p.size / 2;
    for (const auto& p : file->packetsOf(1)) samples += c.audio == AV_CODEC_ID_AAC ? p.duration : p.size / 2;
    // AAC: whole frames of 1024 samples, the priming frame among them.
    EXPECT_GE(samples, aviSamples);
    EXPECT_LE(samples, aviSamples + 2048);
    EXPECT_EQ(file->metadata.count("title")
                  ? file->metadata.at("title").substr(file->metadata.at("title").size() - 5)
                  : "",
              std::string(stem) == "cam_00" ? "CH-01" : "CH-05");
    // No zone was given: no date field that readers take for UTC, the local start in the comment.
    EXPECT_FALSE(file->metadata.count("creation_time"));
    EXPECT_EQ(commentOf(*file).substr(0, 9), "recorded ");

    int errors = -1;
    EXPECT_EQ(test::decodeAllFrames(path, 0, &errors), int(expected.size()));
    EXPECT_EQ(errors, 0);

    // The subtitle track holds the .srt file's cues.
    if (c.subtitle == AV_CODEC_ID_NONE) continue;
    ASSERT_EQ(file->streams.size(), 3u);
    std::vector<std::string> texts;
    // 3GPP text ends the last cue with an empty sample.
    for (const auto& p : file->packetsOf(2))
      if (std::string text = cueText(p, c.subtitle); !text.empty()) texts.push_back(std::move(text));
    std::vector<std::string> srtTexts;
    for (const std::string& line : nonEmptyLines(test::slurp(dir + "out/" + stem + ".srt")))
      if (line.size() == 19 && line[4] == '-') srtTexts.push_back(line);
    EXPECT_EQ(texts, srtTexts);
    EXPECT_EQ(texts.size(), 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CliFormat, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// With --utc-offset the file's date is the recorded start moved to UTC, and the report says which offset
// the user stated; the comment keeps the local time either way.
TEST(CliUtcOffset, DatesAreUtcOnlyWhenTheOffsetIsGiven) {
  const std::string dir = scratchDir("utc_offset");
  const std::string input = writeRecording(dir);
  for (const char* format : {"mkv", "mp4"}) {
    SCOPED_TRACE(format);
    const std::string out = dir + format + "/";
    fs::create_directories(out);
    const test::CliResult r =
        test::runCli("convert " + test::quote(input) + " -o " + test::quote(out) + " --channels 1 --format " +
                         format + " --utc-offset -05:30 --report",
                     dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto file = test::probeMedia(out + "cam_00." + format, false);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->metadata.count("creation_time"));
    // "recorded YYYY-MM-DD HH:MM:SS, ...": five and a half hours later in UTC.
    const std::string local = commentOf(*file).substr(9, 19);
    RecordedTime t{};
    ASSERT_EQ(std::sscanf(local.c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                          &t.second),
              6)
        << local;
    const RecordedTime utc = toUtc(t, -330);
    EXPECT_EQ(file->metadata.at("creation_time").substr(0, 19), formatRecordedTime(utc).replace(10, 1, "T"));
    const auto report = nlohmann::json::parse(test::slurp(out + "cam.report.json"));
    EXPECT_EQ(report["settings"]["utcOffset"], "-05:30");
  }
  // Anything but +HH:MM within the zones on Earth is a usage error.
  for (const char* bad : {"+2", "UTC+02:00", "+15:00", "+02:60", "02:00"})
    EXPECT_EQ(test::runCli("convert " + test::quote(input) + " --utc-offset " + bad, dir).status, 64) << bad;
}

// Re-encoded into MKV and MP4: H.264 4:2:0 with its headers in the extra data (avc1 in MP4, what browsers
// play), the audio as in pass-through.
TEST_P(CliFormat, ReencodesToH264WithAGlobalHeader) {
  const ContainerCase& c = GetParam();
  const std::string dir = scratchDir(std::string("x264_") + c.name);
  const std::string input = writeRecording(dir);
  const test::CliResult r = test::runCli(
      "convert " + test::quote(input) + " --channels 1 --format " + c.name + " --reencode libx264", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string path = dir + "cam_00." + c.name;
  const auto file = test::probeMedia(path);
  ASSERT_TRUE(file);
  ASSERT_GE(file->streams.size(), 2u);
  const test::ProbedStream& video = file->streams[0];
  EXPECT_EQ(video.codec, AV_CODEC_ID_H264);
  EXPECT_EQ(video.format, AV_PIX_FMT_YUV420P);
  EXPECT_FALSE(video.extradata.empty());
  if (c.container == Container::kMp4) {
    EXPECT_EQ(video.codecTag, makeFourcc('a', 'v', 'c', '1'));
  }
  EXPECT_EQ(file->streams[1].codec, c.audio);
  int errors = -1;
  EXPECT_EQ(test::decodeAllFrames(path, 0, &errors), 30);
  EXPECT_EQ(errors, 0);
  // Every picture at its own time: 10 fps from 0.
  const auto packets = file->packetsOf(0);
  for (std::size_t i = 0; i < packets.size(); ++i)
    EXPECT_EQ(positionOf(packets[i], video.timeBase, AVRational{10, 1}), int64_t(i)) << "frame " << i;
}

// Ctrl-C in the middle of a re-encode: exit status 130, and the file it stopped in plays every picture
// written, without a decoding error.
TEST_P(CliFormat, CtrlCLeavesAPlayableFile) {
  const ContainerCase& c = GetParam();
  if (const std::string why = test::slowReencodeUnavailable(); !why.empty()) GTEST_SKIP() << why;
  const std::string dir = scratchDir(std::string("sigint_") + c.name);
  const std::string input = dir + "long.qmv";
  ASSERT_TRUE(test::writeSlowReencodeRecording(input, 60));
  const std::string path = dir + "long_00." + c.name;
  test::CliProcess cli({"convert", input, "--format", c.name, "--reencode", "libx264"}, dir);
  cli.signalOnceWritten({path}, SIGINT);
  const int status = cli.wait();
  ASSERT_NE(status, -1) << "ended by signal " << cli.endSignal();
  EXPECT_EQ(status, 130) << cli.err();
  int errors = -1;
  const int pictures = test::decodeAllFrames(path, 0, &errors);
  EXPECT_EQ(errors, 0);
  EXPECT_GT(pictures, 0);
  EXPECT_LT(pictures, 60 * 30);  // stopped early
  const auto summary = test::lines(cli.out());
  ASSERT_EQ(summary.size(), 1u) << cli.out();
  EXPECT_NE(summary[0].find(std::to_string(pictures) + " frames"), std::string::npos) << summary[0];
}

// A batch with JSON progress writes every recording's files under the container's extension.
// The encoder runs on its own thread: however the samples arrive, the packets come back complete, in
// order, and the same as from one write; far more frames than it queues make the caller wait on it.
TEST(AacEncoderThread, PacketsInOrderAndTheSameForAnyPieces) {
  std::vector<int16_t> pcm(8000 * 12 + 333);
  for (std::size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = int16_t(8000 * std::sin(double(i) * 0.07) + (i % 97) * 40);
  struct Got {
    int64_t pts, duration;
    std::vector<uint8_t> data;
    bool operator==(const Got&) const = default;
  };
  const auto encode = [&](const std::vector<std::size_t>& pieces) {
    std::vector<Got> got;
    auto enc = AacEncoder::open(false);
    EXPECT_TRUE(enc);
    if (!enc) return got;
    const auto sink = [&](AVPacket& p) { got.push_back(Got{p.pts, p.duration, {p.data, p.data + p.size}}); };
    std::size_t at = 0;
    for (std::size_t i = 0; at < pcm.size(); ++i) {
      const std::size_t n = std::min(pieces[i % pieces.size()], pcm.size() - at);
      EXPECT_TRUE(enc.value()->write(pcm.data() + at, n, sink));
      at += n;
    }
    EXPECT_TRUE(enc.value()->flush(sink));
    EXPECT_FALSE(enc.value()->write(pcm.data(), 1, sink));
    return got;
  };
  const std::vector<Got> whole = encode({pcm.size()});
  // The priming frame, then one packet per 1024 samples, the last one short, each where the last ended.
  ASSERT_EQ(whole.size(), (pcm.size() + 1023) / 1024 + 1);
  EXPECT_EQ(whole.front().pts, -1024);
  for (std::size_t i = 1; i < whole.size(); ++i)
    EXPECT_EQ(whole[i].pts, whole[i - 1].pts + whole[i - 1].duration);
  EXPECT_EQ(whole.back().pts + whole.back().duration, int64_t(pcm.size()));
  EXPECT_TRUE(encode({1, 7, 1023, 1025, 3000}) == whole);
  EXPECT_TRUE(encode({160}) == whole);
}

TEST(CliFormatBatch, BatchAndJsonProgressNameTheContainersFiles) {
  const std::string dir = scratchDir("batch");
  writeRecording(dir, "a.qmv");
  writeRecording(dir, "b.qmv");
  const test::CliResult r = test::runCli("convert " + test::quote(dir + "a.qmv") + " " +
                                             test::quote(dir + "b.qmv") + " --format mkv --progress json",
                                         dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::filesIn(dir, ".mkv"),
            (std::vector<std::string>{"a_00.mkv", "a_04.mkv", "b_00.mkv", "b_04.mkv"}));
  const std::vector<std::string> events = test::lines(r.err);
  ASSERT_FALSE(events.empty());
  const nlohmann::json done = nlohmann::json::parse(events.back());
  EXPECT_EQ(done.value("event", ""), "done") << events.back();
  EXPECT_EQ(done.value("files", 0), 4) << events.back();
  EXPECT_EQ(done.value("status", -1), 0) << events.back();
}

INSTANTIATE_TEST_SUITE_P(Formats, ContainerOutput, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qmv
