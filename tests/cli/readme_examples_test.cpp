// The README's examples are the programs' real output: each marked example is run again and compared, so
// that the text a user copies from cannot drift from what the tool prints.
//
// A session (indented block after "<!-- example-session DIR -->") is a list of "$ command" lines, each
// followed by the standard output it prints; the commands run in a fresh folder that stands for DIR.
// A report (```json block after "<!-- example-report DIR ARGS -->") is an abridged integrity report of
// "qmv2avi-cli convert ARGS" run in DIR: every member it shows must be in the real report with that value,
// an array's elements being the real array's first ones. Times and the version only need to be there.
//
// QMV2AVI_UPDATE_README=1 writes the sessions' real output into README.md instead of failing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/cli_run.h"
#include "support/test_files.h"

namespace qmv::test {
namespace {

namespace fs = std::filesystem;

const fs::path kReadme = fs::path(QMV2AVI_FIXTURES) / ".." / ".." / "README.md";
constexpr std::string_view kIndent = "    ";

struct Example {
  std::string kind;                 // "session" or "report"
  std::string dir;                  // the folder the README says it ran in
  std::string args;                 // report: the convert command's arguments
  std::size_t first = 0, last = 0;  // the block's lines in the README, last excluded
};

// One word for the shell, whatever it holds.
std::string shellWord(const std::string& text) {
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

bool startsWith(std::string_view text, std::string_view head) { return text.substr(0, head.size()) == head; }

std::vector<Example> examplesIn(const std::vector<std::string>& readme) {
  std::vector<Example> found;
  for (std::size_t i = 0; i < readme.size(); ++i) {
    const std::string& line = readme[i];
    if (!startsWith(line, "<!-- example-") || line.find("-->") == std::string::npos) continue;
    std::string words = line.substr(13, line.find("-->") - 13);
    Example e;
    e.kind = words.substr(0, words.find(' '));
    words = words.substr(e.kind.size() + 1);
    e.dir = words.substr(0, words.find(' '));
    if (words.size() > e.dir.size()) e.args = words.substr(e.dir.size() + 1);
    while (!e.args.empty() && e.args.back() == ' ') e.args.pop_back();
    std::size_t at = i + 1;
    while (at < readme.size() && readme[at].empty()) ++at;
    if (e.kind == "report") {
      if (at < readme.size() && readme[at] == "```json") ++at;
      e.first = at;
      while (at < readme.size() && readme[at] != "```") ++at;
    } else {
      e.first = at;
      while (at < readme.size() && startsWith(readme[at], kIndent)) ++at;
    }
    e.last = at;
    found.push_back(e);
  }
  return found;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// A README command line as the shell here runs it: the programs from this build.
std::string runnable(const std::string& command) {
  const std::string generator = "build/tools/generator/qmv2avi-gen";
  if (startsWith(command, generator)) return shellWord(QMV2AVI_GEN_PATH) + command.substr(generator.size());
  if (startsWith(command, "qmv2avi-cli ")) return shellWord(cliPath()) + command.substr(11);
  return command;
}

// The session's commands run in scratch; the lines they print, as the README would show them.
std::vector<std::string> runSession(const std::vector<std::string>& block, const fs::path& scratch,
                                    const std::string& shownDir) {
  std::vector<std::string> shown;
  for (const std::string& line : block) {
    if (!startsWith(line, std::string(kIndent) + "$ ")) continue;
    shown.push_back(line);
    const std::string command = line.substr(kIndent.size() + 2);
    const CliResult r = runProgram(
        "/bin/sh", "-c " + shellWord("cd " + shellWord(scratch.string()) + " && " + runnable(command)),
        scratch.parent_path());
    EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
    for (const std::string& out : lines(replaceAll(r.out, scratch.string(), shownDir)))
      shown.push_back(std::string(kIndent) + out);
  }
  return shown;
}

bool volatileMember(const std::string& key) {
  return key == "startTime" || key == "endTime" || key == "modified" || key == "version";
}

// Every member of shown is in real with the same value; arrays compare their first elements.
void expectShownIn(const nlohmann::json& shown, const nlohmann::json& real, const std::string& where) {
  if (shown.is_object()) {
    ASSERT_TRUE(real.is_object()) << where;
    for (const auto& [key, value] : shown.items()) {
      ASSERT_TRUE(real.contains(key)) << where << "." << key << " is not in the real report";
      if (volatileMember(key))
        EXPECT_EQ(value.type(), real[key].type()) << where << "." << key;
      else
        expectShownIn(value, real[key], where + "." + key);
    }
  } else if (shown.is_array()) {
    ASSERT_TRUE(real.is_array()) << where;
    ASSERT_LE(shown.size(), real.size()) << where;
    for (std::size_t i = 0; i < shown.size(); ++i)
      expectShownIn(shown[i], real[i], where + "[" + std::to_string(i) + "]");
  } else {
    EXPECT_EQ(shown, real) << where;
  }
}

TEST(ReadmeExamples, AreWhatTheProgramsPrint) {
  std::vector<std::string> readme = lines(slurp(kReadme));
  ASSERT_FALSE(readme.empty()) << kReadme;
  const std::vector<Example> examples = examplesIn(readme);
  ASSERT_GE(examples.size(), 2u) << "the README's marked examples are gone";
  const bool update = std::getenv("QMV2AVI_UPDATE_README") != nullptr;
  const fs::path root = freshTestDir(QMV2AVI_TEST_TMP, "readme");

  // Replaced from the last so that earlier blocks keep their line numbers.
  for (auto e = examples.rbegin(); e != examples.rend(); ++e) {
    const fs::path scratch = root / ("ex" + std::to_string(e->first));
    fs::create_directories(scratch);
    const std::vector<std::string> block(readme.begin() + long(e->first), readme.begin() + long(e->last));
    SCOPED_TRACE("README.md line " + std::to_string(e->first + 1));
    if (e->kind == "session") {
      const std::vector<std::string> real = runSession(block, fs::canonical(scratch), e->dir);
      if (update) {
        readme.erase(readme.begin() + long(e->first), readme.begin() + long(e->last));
        readme.insert(readme.begin() + long(e->first), real.begin(), real.end());
      } else {
        EXPECT_EQ(block, real);
      }
    } else {
      ASSERT_EQ(e->kind, "report");
      const std::string dir = fs::canonical(scratch).string();
      ASSERT_EQ(runProgram(QMV2AVI_GEN_PATH, "demo " + quote(dir + "/demo.qmv"), scratch).status, 0);
      const CliResult r = runProgram(
          "/bin/sh",
          "-c " + shellWord("cd " + shellWord(dir) + " && " + runnable("qmv2avi-cli convert " + e->args)),
          root);
      ASSERT_EQ(r.status, 0) << r.err;
      std::string shownText;
      for (const std::string& line : block) shownText += line + "\n";
      const auto shown = nlohmann::json::parse(shownText, nullptr, false);
      ASSERT_FALSE(shown.is_discarded()) << "the README's report is not JSON";
      auto real = nlohmann::json::parse(replaceAll(slurp(scratch / "demo.report.json"), dir, e->dir));
      // The README shows the program by its name, as a user types it.
      if (real["command"].is_array() && !real["command"].empty())
        real["command"][0] = fs::path(real["command"][0].get<std::string>()).filename().string();
      expectShownIn(shown, real, "report");
    }
  }
  if (update) {
    std::ofstream out(kReadme, std::ios::binary | std::ios::trunc);
    for (const std::string& line : readme) out << line << "\n";
  }
}

}  // namespace
}  // namespace qmv::test
