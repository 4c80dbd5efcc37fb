// The integrity report written in-process, without the CLI, and checked by checkReport: a verdict per file
// that names what an edit changed. Also the report's JSON layout.
#include "report/report_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "convert/conversion_worker.h"
#include "recording/utf8_path.h"
#include "report/integrity_report.h"
#include "report/json_stream.h"
#include "support/test_files.h"
#include "tools/generator/recording_generator.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;
using test::slurp;

// Two channels, one second, converted with a report as the dialog would write one; the report's path.
std::string convertWithReport(const std::string& dir) {
  gen::BodyPlan plan;
  plan.channels = {{0, 2, 40, 0, 5}, {2, 18, 20, -1, 4}};
  plan.seconds = 1;
  plan.reuseFrames = true;
  const std::string input = dir + "cam.qmv";
  EXPECT_TRUE(gen::writeRecordingFile(gen::planScenario(plan), input));
  RecordingFile recording;
  EXPECT_TRUE(recording.open(input));

  IntegrityReport report(recording, input,
                         ReportSetup{"report_check_test", "1", {"report_check_test"}, true, ""});
  ConversionContext context;
  context.settings.selectedChannels = 0x5;
  context.settings.destinationDir = dir;
  context.settings.baseName = "cam";
  context.observer = &report;
  report.start();
  const ConversionReport converted = runConversion(recording, context);
  EXPECT_FALSE(converted.outputError);
  const Status written = report.finish(converted, dir + "cam.report.json");
  EXPECT_TRUE(written) << (written ? "" : written.error().message);
  return dir + "cam.report.json";
}

nlohmann::json readJson(const std::string& path) { return nlohmann::json::parse(slurp(path)); }

TEST(ReportCheckTest, InProcessReportVerifiesAndEachEditIsNamed) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "report-check");
  const std::string reportPath = convertWithReport(dir);
  const nlohmann::json report = readJson(reportPath);

  const Result<ReportCheck> intact = checkReport(reportPath);
  ASSERT_TRUE(intact) << intact.error().message;
  EXPECT_TRUE(intact->passed());
  ASSERT_EQ(intact->outputs.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const nlohmann::json& samples = report.at("outputs").at(i).at("frameMap").at("samples");
    EXPECT_EQ(intact->outputs[i].verdict, FileVerdict::kMatches) << intact->outputs[i].problems;
    EXPECT_GT(samples.size(), 0u);
    EXPECT_EQ(intact->outputs[i].frames, samples.size());
  }
  EXPECT_EQ(intact->input.verdict, FileVerdict::kMatches);
  // The same file: the report records a full path, verify names the place from the report's own path
  // (on Windows one is "Z:\dir\cam.qmv", the other "\dir\cam.qmv").
  EXPECT_TRUE(fs::equivalent(pathFromUtf8(intact->input.path),
                             pathFromUtf8(report.at("input").at("path").get<std::string>())))
      << intact->input.path << " is not " << report.at("input").at("path");

  // Each edit of the report changes one claim about CH-01's file; the verdict names exactly that.
  const nlohmann::json& first = report.at("outputs").at(0);
  const uint64_t size = first.at("size");
  const uint64_t frames = first.at("frameMap").at("samples").size();
  const int64_t thirdPosition = first.at("frameMap").at("samples").at(2).at("position");
  struct Edit {
    const char* name;
    std::function<void(nlohmann::json&)> apply;
    FileVerdict verdict;
    std::string problems;
  };
  const Edit edits[] = {
      {"sample digest",
       [](nlohmann::json& o) { o["frameMap"]["samples"][2]["output"] = std::string(64, '0'); },
       FileVerdict::kDiffers,
       "1 of " + std::to_string(frames) + " frames differ (first at sample position " +
           std::to_string(thirdPosition) + ")"},
      {"file size", [](nlohmann::json& o) { o["size"] = o["size"].get<uint64_t>() + 1; },
       FileVerdict::kDiffers, "size " + std::to_string(size) + ", report " + std::to_string(size + 1)},
      {"file digest", [](nlohmann::json& o) { o["sha256"] = std::string(64, 'a'); }, FileVerdict::kDiffers,
       "SHA-256 differs"},
      {"path", [&](nlohmann::json& o) { o["path"] = dir + "elsewhere/gone.avi"; }, FileVerdict::kMissing, ""},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.name);
    nlohmann::json edited = report;
    edit.apply(edited["outputs"][0]);
    std::ofstream(dir + "edited.json") << edited.dump(2);
    const Result<ReportCheck> check = checkReport(dir + "edited.json");
    ASSERT_TRUE(check) << check.error().message;
    EXPECT_FALSE(check->passed());
    EXPECT_EQ(check->outputs[0].verdict, edit.verdict);
    EXPECT_EQ(check->outputs[0].problems, edit.problems);
    EXPECT_EQ(check->outputs[1].verdict, FileVerdict::kMatches);
  }

  // The input often stays on the machine that made the report: not finding it fails nothing.
  fs::rename(dir + "cam.qmv", dir + "cam.kept");
  const Result<ReportCheck> withoutInput = checkReport(reportPath);
  ASSERT_TRUE(withoutInput);
  EXPECT_EQ(withoutInput->input.verdict, FileVerdict::kMissing);
  EXPECT_TRUE(withoutInput->passed());

  nlohmann::json newer = report;
  newer["schemaVersion"] = 2;
  std::ofstream(dir + "newer.json") << newer.dump();
  const Result<ReportCheck> refused = checkReport(dir + "newer.json");
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("report schema version 2"), std::string::npos)
      << refused.error().message;

  // Numbers out of their member's range make the report unreadable; none is narrowed into a claim.
  const std::pair<const char*, std::function<void(nlohmann::json&)>> outOfRange[] = {
      {"position", [](nlohmann::json& o) { o["frameMap"]["samples"][0]["position"] = 1e300; }},
      {"position", [](nlohmann::json& o) { o["frameMap"]["samples"][0]["position"] = 2.5; }},
      {"size", [](nlohmann::json& o) { o["size"] = -1; }},
      {"num",
       [](nlohmann::json& o) {
         o["positionRate"] = {{"num", 1e20}, {"den", 1}};
       }},
      {"den",
       [](nlohmann::json& o) {
         o["positionRate"] = {{"num", 25}, {"den", 4294967296}};
       }},
  };
  for (const auto& [member, apply] : outOfRange) {
    SCOPED_TRACE(member);
    nlohmann::json edited = report;
    apply(edited["outputs"][0]);
    std::ofstream(dir + "edited.json") << edited.dump(2);
    const Result<ReportCheck> check = checkReport(dir + "edited.json");
    ASSERT_FALSE(check);
    EXPECT_EQ(check.error().code, 2);
    EXPECT_NE(check.error().message.find(std::string("\"") + member + "\" is not a whole number"),
              std::string::npos)
        << check.error().message;
  }
}

// The stream lays a document out as nlohmann-json's dump(2) does, whatever is nested or empty, and
// writes line elements on one line each.
TEST(ReportCheckTest, JsonStreamLaysOutLikeDump) {
  const std::string dir = test::freshTestDir(QMV2AVI_TEST_TMP, "report-check");
  Json doc;
  doc["n"] = 1;
  doc["text"] = "quote \" and \xC7\xD1 (not UTF-8)";
  doc["empty object"] = Json::object();
  doc["empty array"] = Json::array();
  doc["nested"] = Json{{"list", Json{1, Json{{"a", nullptr}}, Json::array()}}, {"rate", 7.5}};

  JsonStream out(std::fopen((dir + "doc.json").c_str(), "wb"));
  out.open({}, '{');
  out.putMembers(doc);
  out.open("lines", '[');
  out.putLine(Json{{"entry", 1}, {"key", true}, {"output", "ab"}});
  out.putLine(Json{{"entry", 2}, {"key", false}, {"output", "cd"}});
  out.close();
  out.open("none", '[');
  out.close();
  ASSERT_TRUE(out.finish()) << out.error();

  Json expected = doc;
  expected["lines"] = Json::array();
  expected["none"] = Json::array();
  std::string layout = expected.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  const std::string lines =
      "\"lines\": [\n    {\"entry\": 1, \"key\": true, \"output\": \"ab\"},\n"
      "    {\"entry\": 2, \"key\": false, \"output\": \"cd\"}\n  ]";
  layout.replace(layout.find("\"lines\": []"), std::string("\"lines\": []").size(), lines);
  EXPECT_EQ(slurp(dir + "doc.json"), layout);
}

}  // namespace
}  // namespace qmv
