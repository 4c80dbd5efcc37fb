// UTF-8 names and std::filesystem paths (utf8_path_posix.cpp or utf8_path_windows.cpp, the latter under
// Wine, where a path's own narrow conversions use the system's code page and refuse these names).
#include "recording/utf8_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "output/output_name.h"
#include "recording/file_descriptor.h"
#include "support/scratch_dir.h"

namespace qmv {
namespace {

namespace fs = std::filesystem;

TEST(Utf8Path, NamesKeepTheirCharactersThroughPathsAndTheFileSystem) {
  const fs::path dir = test::currentTestDir(QMV2AVI_TEST_TMP, "utf8_path_test") / pathFromUtf8("증거 café");
  fs::remove_all(dir);
  fs::create_directories(dir);
  // Hangul, accented Latin (precomposed), a character outside the BMP (a UTF-16 surrogate pair), ASCII.
  const std::vector<std::string> leaves{"녹화 é.qmv", "Ünïcode ø.avi", "cam \xF0\x9F\x93\xB9.mkv",
                                        "plain.mp4"};
  for (const std::string& leaf : leaves) {
    const std::string name = utf8FromPath(dir / pathFromUtf8(leaf));
    EXPECT_EQ(utf8FromPath(pathFromUtf8(name).filename()), leaf);
    EXPECT_EQ(utf8FromPath(pathFromUtf8(name).parent_path()), utf8FromPath(dir));
    ASSERT_GE(FileDescriptor(output_name::createNew(name)).get(), 0) << name;
  }
  std::vector<std::string> listed;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir))
    listed.push_back(utf8FromPath(entry.path().filename()));
  EXPECT_EQ(listed.size(), leaves.size());
  for (const std::string& leaf : leaves) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), leaf), listed.end())
        << leaf << " is not listed as such";
    uint64_t size = 1;
    EXPECT_TRUE(openRegularFile(utf8FromPath(dir) + "/" + leaf, size)) << leaf;
    EXPECT_TRUE(fs::is_regular_file(pathFromUtf8(utf8FromPath(dir) + "/" + leaf))) << leaf;
  }
}

TEST(Utf8Path, MalformedTextStillMakesAPath) {
  // A name from a damaged report: a lone continuation byte, a cut sequence, an encoded surrogate.
  for (const std::string text : {"\x80.avi", "cut \xE4\xB8", "\xED\xA0\x80.mkv"}) {
    fs::path path;
    EXPECT_NO_THROW(path = pathFromUtf8(text));
    EXPECT_FALSE(path.empty());
    EXPECT_NO_THROW((void)utf8FromPath(path));
  }
}

}  // namespace
}  // namespace qmv
