#include "base/files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/debuglog.h"
#include "base/random.h"
#include "tests/support/helpers.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory per test, removed afterwards.
class FilesTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return tmp / name; }
  void write(const std::string& name, const std::string& bytes) const { tmp.write(name, bytes); }
  testsupport::TempDir tmp{"ordax_files"};
  const fs::path& dir = tmp.path();
};

using testsupport::streamwith;

std::vector<std::string> alllines(FILE* f) {
  std::vector<std::string> lines;
  while (std::optional<std::string> l = fgetline(f)) lines.push_back(*l);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(Fgetline, EveryKindOfLineEnd) {
  struct Case {
    const char* name;
    std::string bytes;
    Lines want;
  };
  const Case cases[] = {
      {"mixed", std::string("a\r\nb\rc\nd\0e", 11), {"a", "b", "c", "d", "e"}},
      {"blank lines", "\r\n\r\n", {"", ""}},
      {"LF CR is two ends", "\n\r", {"", ""}},
      {"CR CR", "x\r\ry", {"x", "", "y"}},
      {"CR at end of file", "x\r", {"x"}},
      {"no final end", "last", {"last"}},
      {"empty file", "", {}},
      {"zero bytes", std::string("\0\0", 2), {"", ""}},
      {"high bytes", "\xb0\x89\xff\n", {"\xb0\x89\xff"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* f = streamwith(c.bytes);
    EXPECT_EQ(alllines(f), c.want);
    EXPECT_FALSE(fgetline(f).has_value());  // stays at end of file
    fclose(f);
  }
}

TEST(Fgetline, VeryLongLines) {
  std::string big(10u << 20, 'q');
  big[12345] = 'Z';
  FILE* f = streamwith(big + "\r\nz");
  std::optional<std::string> first = fgetline(f);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->size(), big.size());
  EXPECT_EQ((*first)[12345], 'Z');
  EXPECT_EQ(fgetline(f), std::optional<std::string>("z"));
  fclose(f);
}

TEST(Fgetstring, RoundTripAndTruncation) {
  FILE* f = tmpfile();
  for (const char* s : {"abc", "", "genome 1 2 3", "\xb0"}) ASSERT_EQ(fputstr(s, f), 1);
  fputs("cut", f);  // no terminating zero
  rewind(f);
  EXPECT_EQ(fgetstring(f), std::optional<std::string>("abc"));
  EXPECT_EQ(fgetstring(f), std::optional<std::string>(""));
  EXPECT_EQ(fgetstring(f), std::optional<std::string>("genome 1 2 3"));
  EXPECT_EQ(fgetstring(f), std::optional<std::string>("\xb0"));
  EXPECT_FALSE(fgetstring(f).has_value());  // cut by end of file
  EXPECT_FALSE(fgetstring(f).has_value());  // at end of file
  fclose(f);
}

TEST(Fgetstring, UnterminatedHugeStringIsRefused) {
  FILE* f = streamwith(std::string(FGETSTRING_MAX + 100, 'x') + std::string("\0ok\0", 4));
  EXPECT_FALSE(fgetstring(f).has_value());
  EXPECT_LE((size_t)ftell(f), FGETSTRING_MAX + 1);  // stopped at the cap, did not read on
  fclose(f);
  // A string of exactly the cap is still accepted.
  f = streamwith(std::string(FGETSTRING_MAX, 'y') + std::string("\0", 1));
  std::optional<std::string> s = fgetstring(f);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->size(), FGETSTRING_MAX);
  fclose(f);
}

TEST(Fgetsc, BytesAsSignedCharacters) {
  FILE* f = streamwith(std::string("\x7f\x80\xff\x00\x41", 5));
  EXPECT_EQ(fgetsc(f), 127);
  EXPECT_EQ(fgetsc(f), -128);
  EXPECT_EQ(fgetsc(f), -1);
  EXPECT_EQ(fgetsc(f), 0);
  EXPECT_EQ(fgetsc(f), 65);
  EXPECT_EQ(fgetsc(f), -1);  // end of file
  fclose(f);
}

TEST_F(FilesTest, WholeFileReaders) {
  std::string bin("a\r\nb\0c\r\rd\r\n", 12);
  write("data.bin", bin);
  write("empty", "");
  EXPECT_EQ(filedata(path("data.bin").c_str()), std::vector<unsigned char>(bin.begin(), bin.end()));
  EXPECT_TRUE(filedata(path("empty").c_str()).empty());
  EXPECT_TRUE(filedata(path("missing").c_str()).empty());
  EXPECT_TRUE(filedata(dir.string().c_str()).empty());

  EXPECT_EQ(filestring(path("data.bin").c_str(), "rb"), std::optional<std::string>(bin));
  EXPECT_EQ(filestring(path("data.bin").c_str(), "r"),
            std::optional<std::string>(std::string("a\nb\0c\r\rd\n", 10)));
  EXPECT_EQ(filestring(path("empty").c_str(), "r"), std::optional<std::string>(""));
  EXPECT_FALSE(filestring(path("missing").c_str(), "r").has_value());
  EXPECT_FALSE(filestring(dir.string().c_str(), "rb").has_value());
}

TEST_F(FilesTest, ExistenceSizeAndTime) {
  write("five", "12345");
  EXPECT_EQ(fileexists(path("five").c_str()), 1);
  EXPECT_EQ(fileexists(path("missing").c_str()), 0);
  EXPECT_EQ(fileexists(dir.string().c_str()), 0);  // a directory is not a file
  EXPECT_EQ(filesize(path("five").c_str()), 5u);
  EXPECT_EQ(filesize(path("missing").c_str()), 0u);
  EXPECT_EQ(filemodified(path("missing").c_str()), 0u);

  // 2020-01-01 00:00:00 UTC is 1577836800 s after 1970, and 1970 is 11644473600 s after 1601.
  using namespace std::chrono;
  auto when = file_clock::from_sys(sys_seconds(seconds(1577836800)));
  fs::last_write_time(path("five"), when);
  EXPECT_EQ(filemodified(path("five").c_str()), (1577836800ull + 11644473600ull) * 10000000ull);
  write("newer", "x");
  EXPECT_GT(filemodified(path("newer").c_str()), filemodified(path("five").c_str()));
}

TEST(Setextension, ReplacesOrAppends) {
  struct Case {
    const char *name, *ext, *want;
  };
  const Case cases[] = {
      {".profile", "txt", ".profile.txt"},
      {"a.b.c", "txt", "a.b.txt"},
      {"results", "bin", "results.bin"},
      {"results.dat", "bin", "results.bin"},
      {"x.", "txt", "x.txt"},
      {"../results", "bin", "../results.bin"},     // dots of directories are not extensions
      {"lat.d/run", "csv", "lat.d/run.csv"},
      {"lat.d/.hidden", "csv", "lat.d/.hidden.csv"},
      {"lat.d\\beam.txt", "csv", "lat.d\\beam.csv"},
      {"", "txt", ".txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(setextension(c.name, c.ext), c.want);
  }
}

TEST_F(FilesTest, GetextensionOfFileOrByLookingForOne) {
  write("foo.txt", "x");
  write("a.b.c", "x");
  write("foobar.txt", "x");
  write("bar.zz", "x");
  fs::create_directory(dir / "bar.d");  // directories are skipped ("bar.d" sorts first)
  write("plain", "x");
  std::string out = "unchanged";
  ASSERT_EQ(getextension(path("foo.txt").c_str(), &out), 1);
  EXPECT_EQ(out, "txt");
  ASSERT_EQ(getextension(path("a.b.c").c_str(), &out), 1);
  EXPECT_EQ(out, "b.c");  // after the first dot
  ASSERT_EQ(getextension(path("foo").c_str(), &out), 1);
  EXPECT_EQ(out, "txt");  // found foo.txt, not foobar.txt
  ASSERT_EQ(getextension((dir.string() + "\\foo").c_str(), &out), 1);
  EXPECT_EQ(out, "txt");  // a Windows-style separator before the name
  ASSERT_EQ(getextension(path("bar").c_str(), &out), 1);
  EXPECT_EQ(out, "zz");
  ASSERT_EQ(getextension(path("plain").c_str(), &out), 1);
  EXPECT_EQ(out, "");
  out = "unchanged";
  EXPECT_EQ(getextension(path("fooba").c_str(), &out), 0);
  EXPECT_EQ(getextension(path("none").c_str(), &out), 0);
  EXPECT_EQ(getextension((dir.string() + "/").c_str(), &out), 0);
  EXPECT_EQ(out, "unchanged");
}

TEST_F(FilesTest, CreatedirchainMakesEveryLevel) {
  std::string base = dir.string();
  EXPECT_EQ(createdirchain((base + "/a\\b/c").c_str(), 1), 1);
  EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
  EXPECT_EQ(createdirchain((base + "/x/y/file.txt").c_str(), 0), 1);
  EXPECT_TRUE(fs::is_directory(dir / "x" / "y"));
  EXPECT_FALSE(fs::exists(dir / "x" / "y" / "file.txt"));
  EXPECT_EQ(createdirchain((base + "/p//q/").c_str(), 1), 1);
  EXPECT_TRUE(fs::is_directory(dir / "p" / "q"));
  EXPECT_EQ(createdirchain((base + "/a/b/c").c_str(), 1), 1);  // existing: not an error
  write("plainfile", "x");
  EXPECT_EQ(createdirchain((base + "/plainfile/sub").c_str(), 1), 0);
}

void collect(const char* path, void* argument) {
  static_cast<std::vector<std::string>*>(argument)->push_back(path);
}

TEST_F(FilesTest, ForeachfileinVisitsFilesInNameOrder) {
  write("b.txt", "");
  write("a.txt", "");
  write("C", "");
  fs::create_directory(dir / "sub");
  write("sub/inner", "");
  std::string base = dir.string();
  std::vector<std::string> seen;
  EXPECT_EQ(foreachfilein(base.c_str(), collect, &seen), 3);
  EXPECT_EQ(seen, (std::vector<std::string>{base + "/C", base + "/a.txt", base + "/b.txt"}));
  seen.clear();
  foreachfilein((base + "/").c_str(), collect, &seen);
  EXPECT_EQ(seen.front(), base + "/C");
  seen.clear();
  EXPECT_EQ(foreachfilein((base + "/missing").c_str(), collect, &seen), 0);
}

TEST_F(FilesTest, TempfilenameDrawsAgainWhenTaken) {
  std::string prefix = path("t_");
  srand15(5);
  std::string first, second;
  for (int i = 0; i < 6; i++) first += randomchar();
  for (int i = 0; i < 6; i++) second += randomchar();

  srand15(5);
  std::string a = tempfilename(prefix.c_str(), ".tmp", 6);
  EXPECT_EQ(a, prefix + first + ".tmp");
  write("t_" + first + ".tmp", "taken");
  srand15(5);
  EXPECT_EQ(tempfilename(prefix.c_str(), ".tmp", 6), prefix + second + ".tmp");

  // Every name taken: an empty result instead of an endless loop.
  write("fixed", "");
  EXPECT_EQ(tempfilename(path("fixed").c_str(), "", 0), "");
}

}  // namespace

namespace {

// Debug logs stop at their limit: the write that passes it is cut there, one closing line
// follows, later writes fail; an appended file counts what it already held.
TEST(Debuglog, StopsAtItsLimitWithOneClosingLine) {
  testsupport::WorkDir dir("ordax_debuglog");
  const uint64_t saved = debuglog_maxbytes;
  const std::string cut = "*** Log cut here: it reached its limit of 8 bytes ***\n";
  const struct {
    const char* mode;
    std::string before;
    std::vector<std::string> writes;
    std::string after;
    bool fails;
  } cases[] = {
      {"w", "", {"abc", "defgh"}, "abcdefgh", false},
      {"w", "", {"abc", "defghij", "more"}, "abcdefgh\n" + cut, true},
      {"wb", "old", {"abcdefg\n", "x"}, "abcdefg\n" + cut, true},
      {"a", "01234", {"5", "6789"}, "01234567\n" + cut, true},
      {"ab", "0123456789", {"x"}, "0123456789", true},
  };
  debuglog_maxbytes = 8;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " after '" + c.before + "'");
    testsupport::writefile("log.txt", c.before);
    FILE* f = debuglog_open("log.txt", c.mode);
    ASSERT_NE(f, nullptr);
    for (const std::string& w : c.writes) {
      std::fputs(w.c_str(), f);
      std::fflush(f);
    }
    EXPECT_EQ(std::ferror(f) != 0, c.fails);
    std::fclose(f);
    EXPECT_EQ(testsupport::readfile("log.txt"), c.after);
  }
  debuglog_maxbytes = saved;
}

}  // namespace
