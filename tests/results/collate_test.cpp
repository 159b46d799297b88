#include <gtest/gtest.h>

#include <filesystem>

#include "base/files.h"
#include "results/autosave.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

class Collate : public ::testing::Test {
 protected:
  static void write(const char* name, const std::string& text) { testsupport::writefile(name, text); }
  static std::string read(const char* name) { return testsupport::readfile(name); }
  testsupport::WorkDir work{"ordax_collate"};
  const fs::path& dir = work.path();
};

TEST_F(Collate, ThreadFilesAreAppendedToTheirMainFileAndRemoved) {
  write("out.csv", "header\n");
  write("out.csv$thread$0", "a\n");
  write("out.csv$THREAD$1", "b\n");
  write("other.txt", "untouched\n");
  EXPECT_EQ(foreachfilein(".", collatethreadoutputfile, nullptr), 4);
  std::string merged = read("out.csv");
  // Listing order decides which thread comes first; both lines follow the header once.
  EXPECT_TRUE(merged == "header\na\nb\n" || merged == "header\nb\na\n") << merged;
  EXPECT_FALSE(fs::exists("out.csv$thread$0"));
  EXPECT_FALSE(fs::exists("out.csv$THREAD$1"));
  EXPECT_EQ(read("other.txt"), "untouched\n");
}

TEST_F(Collate, EmptyThreadFileIsLeftAndMissingTargetIsCreated) {
  write("e$thread$3", "");
  collatethreadoutputfile("e$thread$3", nullptr);
  EXPECT_TRUE(fs::exists("e$thread$3"));
  EXPECT_FALSE(fs::exists("e"));
  write("new$thread$0", "x");
  collatethreadoutputfile("new$thread$0", nullptr);
  EXPECT_EQ(read("new"), "x");
  EXPECT_FALSE(fs::exists("new$thread$0"));
}

TEST_F(Collate, UnwritableTargetKeepsTheThreadFile) {
  fs::create_directories("blocked");  // a directory cannot be opened for appending
  write("blocked$thread$0", "data");
  collatethreadoutputfile("blocked$thread$0", nullptr);
  EXPECT_EQ(read("blocked$thread$0"), "data");
}

}  // namespace
