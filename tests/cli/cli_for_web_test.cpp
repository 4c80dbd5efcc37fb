// convert --for-web: H.264 Main profile in 4:2:0 with AAC in MP4, what browsers and phones play (the browser
// test plays it in Chromium), and the choices it cannot be combined with.
#include <gtest/gtest.h>

#include <string>

#include "support/cli_run.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {
namespace {

struct StreamFacts {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int profile = FF_PROFILE_UNKNOWN;
  int format = -1;  // pixel or sample format
};

std::vector<StreamFacts> streamsOf(const std::string& path) {
  ff::InputContext input;
  std::vector<StreamFacts> facts;
  if (ff::openInput(path, nullptr, input) < 0 || avformat_find_stream_info(input.get(), nullptr) < 0)
    return facts;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters& p = *input->streams[i]->codecpar;
    facts.push_back({p.codec_id, p.profile, p.format});
  }
  return facts;
}

TEST(CliForWeb, WritesMainProfileH264AndAacInMp4) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "cli");
  gen::BodyPlan plan;
  plan.seconds = 2;
  plan.channels = {{.channel = 0, .formatCode = 2, .rateByte = 40, .audioInput = 0}};
  ASSERT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), dir + "rec.qmv"));
  const test::CliResult r = test::runCli("convert " + test::quote(dir + "rec.qmv") + " --for-web", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<StreamFacts> streams = streamsOf(dir + "rec_00.mp4");
  ASSERT_GE(streams.size(), 2u);
  EXPECT_EQ(streams[0].codec, AV_CODEC_ID_H264);
  EXPECT_EQ(streams[0].profile, FF_PROFILE_H264_MAIN);
  EXPECT_EQ(streams[0].format, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(streams[1].codec, AV_CODEC_ID_AAC);

  struct Case {
    const char* args;
    const char* says;
  };
  for (const Case& c : {Case{"--for-web --format mkv", "--format excludes --for-web"},
                        Case{"--for-web --reencode mpeg4", "--reencode excludes --for-web"},
                        Case{"--burn-in", "--burn-in goes with --reencode or --for-web"}}) {
    const test::CliResult refused = test::runCli(
        "convert " + test::quote(dir + "rec.qmv") + " -o " + test::quote(dir) + " " + c.args, dir);
    EXPECT_EQ(refused.status, 64) << c.args;
    EXPECT_NE(refused.err.find(c.says), std::string::npos) << c.args << ": " << refused.err;
  }
}

}  // namespace
}  // namespace qmv
