#include "shell/ordax.h"
#include "lattice/latticefiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/random.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

using namespace testsupport;

// Fresh run state, captured messages, and a temporary working directory.
class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    switches = SwitchState{};
    settings = RunSettings{};
    displaymode = 1;
    runsleft = -1;
    simstop = 0;
    username.clear();
    lattice_exists(LATTICE_EXISTS_RESET);
  }
  void TearDown() override {
    lattice_exists(LATTICE_EXISTS_RESET);
    settings = RunSettings{};
    switches = SwitchState{};
    displaymode = 1;
    simstop = 0;
  }
  // Lattice files that can never be built here: each asks for a newer program version.
  void lattices(std::initializer_list<const char*> files) {
    fs::create_directories("lattices");
    for (const char* f : files) writefile(fs::path("lattices") / f, "!MINVER 99\nline\n");
  }
  // A whole start of the program from its own directory, as user "tester".
  int runmain(const char* args) {
    writefile(dir / "user.txt", "tester");
    std::string line = (dir / "ordax").string() + args;
    return TAVLIB_main2(line.data());
  }
  WorkDir work{"ordax_cycle"};
  const fs::path& dir = work.path();
  const fs::path& oldcwd = work.cwd.previous();
  AllMessages captured;
};

TEST(Cycle, HomeDirectoryIsTheProgramsDirectory) {
  struct Case {
    const char* line;
    const char* dir;
  } cases[] = {
      {"\"/opt/my dir/ordax\" -c", "/opt/my dir"},
      {"/usr/local/bin/ordax", "/usr/local/bin"},
      {"C:\\Program Files\\Ordax\\ordax.exe -c", "C:"},  // unquoted: the first word only
      {"\"C:\\Program Files\\Ordax\\ordax.exe\" -c", "C:/Program Files/Ordax"},
      {"./ordax -once", "."},
      {"/ordax", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(gethomedir(c.line), c.dir);
  }
  // A bare program name (found on the search path) falls back to the executable's directory.
  fs::path exe = platform_exepath();
  EXPECT_EQ(gethomedir("ordax -c"), exe.parent_path().string());
}

TEST_F(CycleTest, SetCwdMovesIntoTheProgramsDirectory) {
  fs::create_directories("sub dir");
  std::string line = "\"" + (dir / "sub dir" / "ordax").string() + "\" -c";
  EXPECT_EQ(setcwdtohomedir(line.c_str()), 1);
  EXPECT_EQ(fs::current_path(), fs::canonical(dir / "sub dir"));
}

TEST_F(CycleTest, LatticeListingSkipsUnderscoresDirectoriesAndOtherFiles) {
  lattices({"beta.txt", "Alpha.txt", "_hidden.txt", "notes.dat", "gamma.TXT", ".txt"});
  fs::create_directories("lattices/folder.txt");
  std::vector<std::string> names = getlatticeshere("lattices");
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta"}));
  // The directory is created when missing.
  EXPECT_TRUE(getlatticeshere("elsewhere").empty());
  EXPECT_TRUE(fs::is_directory("elsewhere"));
}

TEST_F(CycleTest, PreferredLatticesNarrowTheChoiceOrFallBackToAll) {
  lattices({"a.txt", "b.txt", "c.txt", "d.txt"});
  struct Case {
    const char* preferred;
    std::vector<std::string> names;
  } cases[] = {
      {"none", {"a", "b", "c", "d"}},
      {"x,y", {"a", "b", "c", "d"}},  // none of them exists
      {"B", {"b"}},
      {" b", {"a", "b", "c", "d"}},  // blanks are not trimmed
      // a name left out is replaced by the last entry, so the order is a, b, c, d → d, b, c → d, b
      {"d,b", {"d", "b"}},
      {"c,a,d", {"a", "d", "c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.preferred);
    settings.preferredlattices = c.preferred;
    EXPECT_EQ(getlatticenames(), c.names);
  }
}

TEST(Cycle, RandomLatticeIndexFollowsTheTwoDrawFormula) {
  // (r2 + r1/32768) × n / 32768, truncated: the low draw decides at a boundary.
  struct Case {
    int n, r1, r2, index;
  } cases[] = {
      {7, 32767, 32767, 6}, {200, 32767, 32767, 199}, {5, 0, 16384, 2},
      {10, 32767, 3276, 1}, {10, 0, 3276, 0},          {0, 5, 5, 0},  // never below 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << " " << c.r1 << " " << c.r2);
    EXPECT_EQ(randomlatticeindex(c.n, c.r1, c.r2), c.index);
  }
}

TEST_F(CycleTest, RandomLatticeNameUsesTwoDrawsOfTheProcessGenerator) {
  lattices({"l0.txt", "l1.txt", "l2.txt", "l3.txt", "l4.txt"});
  for (uint32_t seed : {1u, 42u, 20240607u, 4000000000u}) {
    SCOPED_TRACE(seed);
    srand15(seed);
    int r1 = rand15();
    int r2 = rand15();
    int after = rand15();
    srand15(seed);
    std::string name = getrandomlatticename();
    EXPECT_EQ(name, "l" + std::to_string(((32768LL * r2 + r1) * 5) >> 30));
    EXPECT_EQ(rand15(), after) << "exactly two draws";
  }
  fs::remove_all("lattices");
  EXPECT_EQ(getrandomlatticename(), "");
}

TEST_F(CycleTest, LatticeExistsKeepsItsListUntilEmptied) {
  lattices({"First.txt", "_Check.txt"});
  EXPECT_EQ(lattice_exists("first"), 1);
  EXPECT_EQ(lattice_exists("_check"), 1);  // run only when named, but there
  EXPECT_EQ(lattice_exists("FIRST"), 1);
  EXPECT_EQ(lattice_exists(nullptr), 0);
  lattices({"second.txt"});
  EXPECT_EQ(lattice_exists("second"), 0);  // the cached list
  EXPECT_EQ(lattice_exists(LATTICE_EXISTS_RESET), 2);
  EXPECT_EQ(lattice_exists("second"), 1);
  EXPECT_EQ(lattice_exists("third"), 0);
}

TEST_F(CycleTest, LatticeNameTakesTheFilesLetterCase) {
  lattices({"MyLattice.txt", "_Secret.txt", "Exact.txt", "exact.txt"});
  fs::create_directories("lattices/sub");
  writefile("lattices/sub/DeepOne.txt", "x");
  fs::create_directories("lattices/Folder.txt");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"mylattice", "MyLattice"},
      {"MYLATTICE", "MyLattice"},
      {"sub\\deepone", "sub/DeepOne"},
      {"sub/DEEPONE", "sub/DeepOne"},
      {"_secret", "_secret"},    // underscore files are not lattices
      {"folder", "folder"},      // nor are directories
      {"unknown", "unknown"},
      {"exact", "exact"},        // an exact spelling is kept
      {"EXACT", "Exact"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    std::string name = c.in;
    latticenamefixcase(name.data());
    EXPECT_EQ(name, c.out);
  }
}

TEST_F(CycleTest, LatticeNameFromTheCommandLine) {
  lattices({"MyLattice.txt"});
  struct Case {
    const char* line;
    const char* name;
  } cases[] = {
      {"\"/x y/ordax\" -c mylattice -once", "MyLattice"},
      {"ordax -c", ""},
      {"ordax  -c   other", "other"},
      {"ordax -param:x=\"a b\" -c", ""},
      {"ordax \"-quoted\" name", "name"},
      {"ordax", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(latticenamefromcmdline(c.line), c.name);
  }
}

TEST_F(CycleTest, HoursSinceModification) {
  writefile("fresh.txt", "x");
  float h = hoursfilemodified("fresh.txt");
  EXPECT_GE(h, -0.01f);
  EXPECT_LT(h, 0.01f);
  fs::last_write_time("fresh.txt", fs::last_write_time("fresh.txt") - std::chrono::hours(30));
  EXPECT_NEAR(hoursfilemodified("fresh.txt"), 30.0, 0.01);
  // A missing file counts as written in 1601.
  EXPECT_GT(hoursfilemodified("missing.txt"), 3.5e6f);
}

TEST(Cycle, ThrottleSleepsInProportionToWork) {
  struct Case {
    int throttle;
    double elapsed;
    int ms;
  } cases[] = {
      {100, 0.1, 0},    {100, 0.001, 0},  // never sleeps at 100 %
      {50, 0.1, 100},   {25, 0.2, 600},  {75, 0.3, 100},
      {99, 1.0, 10},    {1, 0.02, 1980},  {50, 4.999, 4999},
      {50, 0.019, -1},  // the interval keeps growing
      {50, 5.0, 0},     // too long an interval: no sleep, a new one starts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.throttle) + "% " + std::to_string(c.elapsed));
    EXPECT_EQ(throttlesleepms(c.throttle, c.elapsed), c.ms);
  }
}

TEST(Cycle, AdaptiveStepsAimAtAThirdOfASecond) {
  struct Case {
    int old;
    int steps;
    double elapsed;
    int expected;
  } cases[] = {
      {100, 30, 0.3, 30},  // on target
      {100, 10, 0.05, 60},  // fast steps: six times as many
      {10, 10, 0.05, 20},   // but at most twice the old count
      {5, 10, 0.6, 5},      // slow: half
      {5, 1, 1.0, 1},       // never below 1
      {5, 0, 1.0, 1},
      {1, 1, 0.0, 2},       // an instant frame doubles
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.steps) + " steps in " + std::to_string(c.elapsed));
    EXPECT_EQ(adaptivestepsperframe(c.old, c.steps, c.elapsed), c.expected);
  }
}

TEST_F(CycleTest, UserNameIsReadAndTrimmed) {
  writefile("user.txt", "alice  \t\r\nsecond line\n");
  ASSERT_EQ(getusername(), 1);
  EXPECT_EQ(username, "alice");
  EXPECT_TRUE(captured.has("Hello, alice"));
}

TEST_F(CycleTest, BadCharacterInUserNameIsFatal) {
  for (char c : std::string("/\\:?*<>|")) {
    std::string name = std::string("ab") + c + "cd";
    SCOPED_TRACE(name);
    captured.all.clear();
    writefile("user.txt", name + "\n");
    EXPECT_EQ(getusername(), 0);
    ASSERT_EQ(captured.all.size(), 1u);
    EXPECT_EQ(captured.all[0],
              std::string("[FATAL] Bad character '") + c + "' found in username '" + name + "'");
  }
  captured.all.clear();
  writefile("user.txt", "x:y/z");
  EXPECT_EQ(getusername(), 0);
  EXPECT_EQ(captured.all,
            (std::vector<std::string>{"[FATAL] Bad character '/' found in username 'x:y/z'",
                                      "[FATAL] Bad character ':' found in username 'x:y/z'"}));
}

TEST_F(CycleTest, ConsolePromptWritesTheNameOrCancels) {
  FILE* in = tmpfile();
  ASSERT_NE(in, nullptr);
  fputs("carol\nignored\n", in);
  rewind(in);
  EXPECT_EQ(nousername_console(in), 1);
  EXPECT_EQ(readfile("user.txt"), "carol");  // no line end added
  fs::remove("user.txt");
  EXPECT_EQ(nousername_console(in), 1);
  EXPECT_EQ(readfile("user.txt"), "ignored");
  fs::remove("user.txt");
  EXPECT_EQ(nousername_console(in), 0);  // end of input: an empty answer
  EXPECT_FALSE(fs::exists("user.txt"));
  fclose(in);
  FILE* empty = tmpfile();
  fputs("\n", empty);
  rewind(empty);
  EXPECT_EQ(nousername_console(empty), 0);
  EXPECT_FALSE(fs::exists("user.txt"));
  fclose(empty);
}

TEST_F(CycleTest, EmptyUserFileAsksForAName) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  writefile("user.txt", "   \n");
  writefile("answer.txt", "dave\n");
  // Console mode: the answer comes from standard input.
  EXPECT_EXIT(
      {
        if (!freopen("answer.txt", "r", stdin)) exit(90);
        int ok = getusername();
        exit(ok && username == "dave" ? 7 : 8);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(readfile("user.txt"), "dave");
  // End of input cancels with exit code 0.
  writefile("user.txt", "");
  EXPECT_EXIT(
      {
        if (!freopen("/dev/null", "r", stdin)) exit(90);
        getusername();
        exit(8);
      },
      ::testing::ExitedWithCode(0), "");
  // Background mode shows the message box and exits with 0.
  displaymode = 2;
  platform_setmessagelog(false);  // the box goes to standard error
  EXPECT_EXIT(
      {
        getusername();
        exit(8);
      },
      ::testing::ExitedWithCode(0),
      "Ordax Error: No username specified.*Please create a file called 'user.txt' in your Ordax "
      "directory and write your desired project username in it.");
  fs::remove("user.txt");  // a missing file asks too
  EXPECT_EXIT(
      {
        getusername();
        exit(8);
      },
      ::testing::ExitedWithCode(0), "No username specified");
}

TEST_F(CycleTest, SettingsAreReloadedWhenTheFileChangesAndSwitchesWinAgain) {
  const char* line = "ordax -c -singlethread";
  writefile("config.txt", "CPU throttle (%): 40\nThreads (number or 'auto'): 4\n");
  uint64_t recorded = 0;
  EXPECT_EQ(settingsreloadcheck(&recorded, line), 1);
  EXPECT_EQ(settings.cputhrottle, 40);
  EXPECT_EQ(settings.threads, 1);  // -singlethread over the file's 4
  EXPECT_EQ(displaymode, 1);
  EXPECT_EQ(recorded, platform_filemodified("config.txt"));
  EXPECT_EQ(settingsreloadcheck(&recorded, line), 0);  // the rewrite does not count as a change
  std::string text = readfile("config.txt");
  size_t at = text.find("CPU throttle (%): 40");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, strlen("CPU throttle (%): 40"), "CPU throttle (%): 60");
  writefile("config.txt", text);
  fs::last_write_time("config.txt", fs::last_write_time("config.txt") + std::chrono::seconds(2));
  EXPECT_EQ(settingsreloadcheck(&recorded, line), 1);
  EXPECT_EQ(settings.cputhrottle, 60);
  EXPECT_EQ(settings.threads, 1);
}

TEST_F(CycleTest, StartWithoutLatticesCreatesTheDirectoryAndEnds) {
  fs::current_path(oldcwd);  // the program moves into its own directory
  EXPECT_EQ(runmain(" -c"), 1);
  EXPECT_EQ(fs::current_path(), fs::canonical(dir));
  EXPECT_TRUE(fs::is_directory(dir / "lattices"));
  EXPECT_TRUE(fs::exists(dir / "config.txt"));
  ASSERT_GE(captured.all.size(), 2u);
  EXPECT_EQ(captured.all[0], "No settings file config.txt: default settings are used and "
                             "written to it");
  EXPECT_EQ(captured.all[1], "Ordax initialising...");
  EXPECT_TRUE(captured.has("Hello, tester"));
  EXPECT_TRUE(captured.has("New simulation"));
  EXPECT_TRUE(captured.has("Searching for auto-saved file..."));
  EXPECT_TRUE(captured.has("No file present"));
  EXPECT_EQ(captured.all.back(), "[FATAL] No lattice files in lattices directory.");
  EXPECT_EQ(switches.queuefile, "queuecli.txt");
}

TEST_F(CycleTest, UnusableLatticesEndAfterAThousandTries) {
  lattices({"demo.txt"});
  EXPECT_EQ(runmain(" -c"), 1);
  const std::string& last = captured.all.back();
  EXPECT_EQ(last.rfind("[FATAL] No lattices found compatible with your current Ordax version.\n",
                       0),
            0u)
      << last;
  EXPECT_NE(last.find("http"), std::string::npos) << "names the download page";
  int news = 0;
  for (const std::string& m : captured.all) news += m == "New simulation";
  EXPECT_EQ(news, 1) << "all tries belong to one run";
}

TEST_F(CycleTest, NamedLatticeSkipsTheAutoSaveRestore) {
  lattices({"Demo.txt"});
  EXPECT_EQ(runmain(" -c demo"), 1);
  EXPECT_FALSE(captured.has("Searching for auto-saved file..."));
  EXPECT_FALSE(captured.has("No file present"));
}

TEST_F(CycleTest, AutoSaveOffDeletesTheAutoSaveFile) {
  writefile("config.txt", "Auto-save interval (seconds; 0 for no save): 0\n");
  writefile("autocli.sav", "old state");
  EXPECT_EQ(runmain(" -c"), 1);
  EXPECT_FALSE(fs::exists("autocli.sav"));
  EXPECT_FALSE(captured.has("Searching for auto-saved file..."));
}

TEST_F(CycleTest, QuitBeforeTheFirstRunEndsQuietly) {
  lattices({"demo.txt"});
  simstop = 2;  // as after Ctrl-C during start-up
  EXPECT_EQ(runmain(" -c"), 0);
  EXPECT_FALSE(captured.has("New simulation"));
}

}  // namespace
