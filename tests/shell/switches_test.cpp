#include "shell/switches.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lattice/cell.h"
#include "lattice/latextable.h"
#include "language/genome.h"
#include "language/parser.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

using namespace testsupport;

// In a death-test child: messages go to stderr so the parent can match them.
void tostderr(const char* message, int, void*) {
  fprintf(stderr, "%s\n", message);
}

// Fresh switch state, captured messages, and a temporary working directory.
class SwitchesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    switches = SwitchState{};
    settings = RunSettings{};
    displaymode = 0;
    runsleft = -1;
    adaptivesteps = 1;
    autoscale = 1;
  }
  void TearDown() override {
    parseoptions = ParseOptions{};
    for (FILE** log : {&switches.loadbalancelog, &switches.threadoverheadlog})
      if (*log) fclose(*log), *log = nullptr;
  }
  WorkDir work{"ordax_switches"};
  const fs::path& dir = work.path();
  AllMessages captured;
};

TEST(Switches, HasSwitchMatchesWholeWordsWithoutCase) {
  struct Case {
    const char* line;
    const char* name;
    int expected;
  } cases[] = {
      {"ordax -c", "c", 1},
      {"ordax -C", "c", 1},
      {"ordax -c -b", "c", 1},
      {"ordax -c\t-b", "c", 1},
      {"ordax -cfg:net", "c", 0},
      {"ordax x-c", "c", 0},        // needs the blank before the dash
      {"ordax", "c", 0},
      {"ordax -savebeam -s", "s", 1},  // a later occurrence counts too
      {"ordax -sx", "s", 0},
      {"ordax -l42", "l", 0},
      {"ordax -l42", "l42", 1},
      {"ordax -ONCE", "once", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " / " + c.name);
    EXPECT_EQ(hasswitch(c.line, c.name), c.expected);
  }
  EXPECT_EQ(hasswitch(nullptr, "c"), 0);
}

TEST(Switches, ArgumentsHonourQuotes) {
  const char* line = "\"/opt/my dir/ordax\" -bintotxt  \"in file.bin\" out.txt 42";
  EXPECT_EQ(getargc(line), 5);
  EXPECT_EQ(getargv(line, 0), "/opt/my dir/ordax");
  EXPECT_EQ(getargv(line, 1), "-bintotxt");
  EXPECT_EQ(getargv(line, 2), "in file.bin");
  EXPECT_EQ(getargv(line, 3), "out.txt");
  EXPECT_EQ(getargv_int(line, 4), 42);
  EXPECT_EQ(getargv(line, 5), "");
  EXPECT_EQ(getargv_int(line, 9), 0);
  EXPECT_EQ(getargc(""), 0);
  EXPECT_EQ(getargc("  a\t b  "), 2);
  EXPECT_EQ(getargv("a \"unterminated quote", 1), "unterminated quote");
}

TEST_F(SwitchesTest, StartUpSwitchesSetModeRunsAndFiles) {
  struct Case {
    const char* line;
    int mode;
    int runs;
    int recheck;
    const char* queue;
    const char* autosave;
  } cases[] = {
      {"ordax", 0, -1, 0, "queuegfx.txt", "autogfx.sav"},
      {"ordax -c", 1, -1, 0, "queuecli.txt", "autocli.sav"},
      {"ordax -b", 2, -1, 0, "queue.txt", "auto.sav"},
      {"ordax -s -b", 2, -1, 0, "queue.txt", "auto.sav"},  // -b applies after -s
      {"ordax -s", 1, -1, 0, "queuecli.txt", "autocli.sav"},
      {"ordax -c -g", 0, -1, 0, "queuegfx.txt", "autogfx.sav"},  // -g applies last
      {"ordax -b -scr", 2, -1, 0, "queue.txt", "auto.sav"},
      {"ordax -rfsync", 1, -1, 0, "queuecli.txt", "autocli.sav"},  // not a recheck
      {"ordax -r5", 0, 5, 1, "queuegfx.txt", "autogfx.sav"},
      {"ordax -R", 0, -1, 1, "queuegfx.txt", "autogfx.sav"},
      {"ordax -r", 0, 1, 1, "queuegfx.txt", "autogfx.sav"},
      {"ordax -r -c", 1, 1, 1, "queuecli.txt", "autocli.sav"},
      {"ordax -rfsync -r2", 1, 2, 1, "queuecli.txt", "autocli.sav"},
      {"ordax -once", 0, 1, 0, "queuegfx.txt", "autogfx.sav"},
      {"ordax -best", 0, 1, 0, "queuegfx.txt", "autogfx.sav"},
      {"ordax -best -r3", 0, 3, 1, "queuegfx.txt", "autogfx.sav"},
      {"ordax -init -view", 0, -1, 0, "queuegfx.txt", "autogfx.sav"},
      {"ordax -l", 1, -1, 0, "queuecli.txt", "autocli.sav"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    switches = SwitchState{};
    runsleft = -1;
    detectswitches(c.line);
    EXPECT_EQ(displaymode, c.mode);
    EXPECT_EQ(runsleft, c.runs);
    EXPECT_EQ(switches.recheck, c.recheck);
    EXPECT_EQ(switches.queuefile, c.queue);
    EXPECT_EQ(switches.autosavefile, c.autosave);
  }
}

TEST(Switches, ProblemsNameUnknownAndMalformedSwitches) {
  const struct {
    const char* line;
    std::vector<std::string> problems;
  } cases[] = {
      {"ordax -c -once -r12 -R -/20 -L -param:dt=1e-12 -cfg:net -bounds_loop=5 _pencil", {}},
      {"ordax -x -Once", {"Unknown switch -x is ignored"}},
      {"ordax -r5x",
       {"Switch -r5x is not understood: -r re-runs the last result once, -R for ever, -r "
        "followed by a number that many times"}},
      {"ordax -rx -/0 -/abc",
       {"Unknown switch -rx is ignored",
        "Switch -/0 is not understood: -/ takes a whole number of 1 or more",
        "Switch -/abc is not understood: -/ takes a whole number of 1 or more"}},
      {"ordax -param:dt -bintotxt -in.bin", {"Unknown switch -param:dt is ignored"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(switchproblems(c.line), c.problems);
  }
}

TEST_F(SwitchesTest, FlagsAndValues) {
  detectswitches("ordax -s -q -parse -outerloop -savebeam -singlethread -w /x/ -/4 -bounds_loop=37");
  EXPECT_EQ(switches.sendandquit, 1);
  EXPECT_EQ(switches.queueonly, 1);
  EXPECT_EQ(switches.parsedebug, 1);
  EXPECT_EQ(switches.parselogname, "PARSEreport.log");
  EXPECT_EQ(switches.haltafterinit, 1);
  EXPECT_EQ(switches.outerloop, 1);
  EXPECT_EQ(switches.nocheck, 1);
  EXPECT_EQ(switches.savebeamstyle, 5);
  EXPECT_EQ(settings.threads, 1);
  EXPECT_EQ(switches.windowed, 1);
  EXPECT_EQ(displaymode, 0);  // -w after -parse's console mode
  EXPECT_EQ(switches.particledivisor, 4);
  EXPECT_EQ(switches.defaultrefreshsteps, 37);

  switches = SwitchState{};
  detectswitches("ordax -queue -view -scr");
  EXPECT_EQ(switches.queueonly, 1);
  EXPECT_EQ(switches.view, 1);
  EXPECT_EQ(switches.nocheck, 1);
  EXPECT_EQ(switches.screensaver, 1);
  EXPECT_EQ(switches.particledivisor, 0);
  EXPECT_EQ(switches.defaultrefreshsteps, 10);

  for (auto [line, steps] : {std::pair{"ordax -bounds_loop=5000", 1000},
                             std::pair{"ordax -bounds_loop=0", 1},
                             std::pair{"ordax -bounds_loop=-3", 1}}) {
    SCOPED_TRACE(line);
    switches = SwitchState{};
    detectswitches(line);
    EXPECT_EQ(switches.defaultrefreshsteps, steps);
  }
}

TEST_F(SwitchesTest, DebugLogsAreOpenedOnceForAppending) {
  writefile("load_balance.log", "earlier\n");
  detectswitches("ordax -loadbalancing -threadoverhead");
  ASSERT_NE(switches.loadbalancelog, nullptr);
  ASSERT_NE(switches.threadoverheadlog, nullptr);
  FILE* first = switches.loadbalancelog;
  detectswitches("ordax -loadbalancing -threadoverhead");  // after a settings reload
  EXPECT_EQ(switches.loadbalancelog, first);
  fputs("later\n", switches.loadbalancelog);
  fflush(switches.loadbalancelog);
  EXPECT_EQ(readfile("load_balance.log"), "earlier\nlater\n");
  EXPECT_TRUE(fs::exists("thread_overhead.csv"));
  EXPECT_EQ(displaymode, 1);
}

// The help text as the switch table gives it, one entry a line.
const char* const HELP =
    "Ordax Commandline Switches: (usually override configuration)\n"
    "-b\tBackground mode\n"
    "-c\tConsole output mode\n"
    "-w\tWindowed graphics mode\n"
    "-scr\tScreensaver mode\n"
    "-g\tSmooth graphics animation, shows every timestep\n"
    "-view\tLattice viewing mode (paused, no simulation)\n"
    "-pause\tPause at end of simulation\n"
    "-s\tSend results and quit\n"
    "-cfg:net -cfg:nonet\tApply pre-defined configuration sets\n"
    "-ver -version\tPrint version identifier\n"
    "Advanced options:\n"
    "-once\tDo one run and quit\n"
    "-q\tComplete what is in queue and quit\n"
    "-r\tRecheck last result in results.dat once, -R forever, -r123 times\n"
    "-best\tRerun best result in results.dat once\n"
    "-bintotxt file\tConvert a file from .bin to .txt format\n"
    "-txttobin file\tConvert a file from .txt to .bin format\n"
    "-l\tSave component list from last results.dat result, -L also shows coords\n"
    "-savebeam\tSave final beam as CSV file\n"
    "-moments\tSave the moment reports of the moments apertures to moments.txt\n"
    "-singlethread\tRun in single threaded mode\n"
    "-/123\tDivide number of particles by 123\n"
    "-param:name=value\tSet simulation parameter\n"
    "-param:cell.attrib=value\tSet lattice cell attribute\n"
    "Debugging:\n"
    "-init\tHalt after initialisation phases (at commandline, for debugging)\n"
    "-loadbalancing\tMultithread timing debugging output\n"
    "-outerloop\tOuter-loop debugging\n"
    "-parse\tLattice file parse debug output\n"
    "-rfsync\tPrint RF cavity synchronisation times to rfsync.log\n"
    "-threadoverhead\tThreading overhead debugging output\n";

// Runs detectswitches in a child whose standard output goes to `out` and whose standard input
// is empty.
void detectinchild(const char* line, const char* out) {
  report_setsink(tostderr, nullptr);
  if (!freopen("/dev/null", "r", stdin)) exit(90);
  if (!freopen(out, "w", stdout)) exit(91);
  detectswitches(line);
  exit(99);  // not reached when the switch ends the process
}

// Runs detectswitches_later in a child whose messages go to its standard error.
void laterinchild(const char* line, Cell* root, Genome* g) {
  report_setsink(tostderr, nullptr);
  detectswitches_later(line, root, g);
  exit(99);  // not reached when the switch ends the process
}

TEST_F(SwitchesTest, HelpIsPrintedForQuestionMarkAnywhereAndForHelp) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  for (const char* line : {"ordax -help", "\"/tmp/what?/ordax\" -c", "ordax -c -HELP"}) {
    SCOPED_TRACE(line);
    fs::remove("help.out");
    EXPECT_EXIT(detectinchild(line, "help.out"), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readfile("help.out"), HELP);
  }
}

TEST_F(SwitchesTest, VersionPrintsItsLineAndDoesNotHangAtEndOfInput) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  EXPECT_EXIT(detectinchild("ordax -ver", "ver.out"), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(readfile("ver.out"), "Ordax version identifier [v4.47_dev]\nPress any key to continue...\n");
  EXPECT_EXIT(detectinchild("ordax -version", "ver2.out"), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(readfile("ver2.out"), readfile("ver.out"));
}

TEST_F(SwitchesTest, PredefinedNetSetInCapitalsRewritesConfig) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  writefile("config.txt",
           "Auto-send results ([Y]es, [N]o): N\n"
           "Update lattice files from web every N hours (0=don't): 0\n"
           "CPU throttle (%): 40\n");
  EXPECT_EXIT(detectinchild("ordax -CFG:NET", "cfg.out"), ::testing::ExitedWithCode(0),
              "Applying predefined configuration settings...\nConfiguration set for always-online "
              "computer");
  EXPECT_EQ(readfile("config.txt"),
            "Auto-send results ([Y]es, [N]o): Y\n"
            "Update lattice files from web every N hours (0=don't): 12\n"
            "CPU throttle (%): 40\n"
            "Download sample results file after a number of days (0=don't): 3\n");
}

TEST_F(SwitchesTest, PredefinedSetsChangeOnlyTheirKeys) {
  writefile("config.txt", "Auto-send results ([Y]es, [N]o): Y\nUnrelated: kept\n");
  EXPECT_EQ(applyconfigset("nonet", "config.txt"), 1);
  EXPECT_EQ(readfile("config.txt"),
            "Auto-send results ([Y]es, [N]o): N\n"
            "Unrelated: kept\n"
            "Download sample results file after a number of days (0=don't): 0\n"
            "Update lattice files from web every N hours (0=don't): 0\n");
  ASSERT_EQ(captured.all.size(), 2u);
  EXPECT_EQ(captured.all[1],
            "Configuration set for seldom-online computer - use manualsend.bat");

  captured.all.clear();
  std::string before = readfile("config.txt");
  EXPECT_EQ(applyconfigset("nets", "config.txt"), 0);
  EXPECT_EQ(readfile("config.txt"), before);
  ASSERT_EQ(captured.all.size(), 2u);
  EXPECT_EQ(captured.all[1], "Unknown configuration set");
}

TEST_F(SwitchesTest, ConversionsGiveUsageOrConvertBothWays) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  EXPECT_EXIT(detectinchild("ordax -bintotxt", "c1.out"), ::testing::ExitedWithCode(0),
              "Usage: ordax -bintotxt binary_results_file \\[text_results_file\\]");
  EXPECT_EXIT(detectinchild("ordax -TXTTOBIN", "c2.out"), ::testing::ExitedWithCode(0),
              "Usage: ordax -txttobin text_results_file \\[binary_results_file\\]");
  // A missing binary file gives an empty text file.
  EXPECT_EXIT(detectinchild("ordax -bintotxt \"my results.bin\"", "c3.out"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(fs::exists("my results.txt"));
  EXPECT_EQ(readfile("my results.txt"), "");
  // The words after the switch name the files, wherever the switch stands.
  const std::string text =
      "zsrc=500;rotsrc=042;#runs=5;\r\n"
      "12.345679 (2345.7 Mpts) [v4.47_dev] <demo> {0C0B0A090807060504030201} \r\n";
  FILE* f = fopen("in.dat", "wb");
  ASSERT_NE(f, nullptr);
  fputs(text.c_str(), f);
  fclose(f);
  EXPECT_EXIT(detectinchild("ordax -c -txttobin in.dat", "c4.out"), ::testing::ExitedWithCode(0),
              "");
  EXPECT_EXIT(detectinchild("ordax -bintotxt in.bin back.txt -c", "c5.out"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(readfile("back.txt"),
            "rotsrc=042;zsrc=500;#runs=5;\r\n"
            "12.345679 (2345.7 Mpts) [v4.47_dev] <demo> {0C0B0A090807060504030201} \r\n");
}

TEST_F(SwitchesTest, PerRunSwitchesClearAnimationFlags) {
  struct Case {
    const char* line;
    int adaptive;
    int autoscaled;
  } cases[] = {
      {"ordax", 1, 1},       {"ordax -g", 0, 1},   {"ordax -view", 1, 0},
      {"ordax -r", 0, 0},    {"ordax -r5", 1, 1},  {"ordax -r -R", 1, 1},
      {"ordax -rfsync", 1, 1},
  };
  Genome g = Genome_new();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    adaptivesteps = 1;
    autoscale = 1;
    EXPECT_EQ(detectswitches_later(c.line, nullptr, &g), 1);
    EXPECT_EQ(adaptivesteps, c.adaptive);
    EXPECT_EQ(autoscale, c.autoscaled);
  }
  Genome_free(g);
}

// A genome whose old-layout genes all hold `raw`.
Genome oldlayout(int raw) {
  Genome g = Genome_new();
  gassign(&g, "zsrc", raw);
  gassign(&g, "rotsrc", raw);
  for (int n = 1; n <= 34; n++) {
    for (const char* f : {"S%df", "S%dr", "S%dl", "D%dl"}) {
      char name[16];
      snprintf(name, sizeof name, f, n);
      gassign(&g, name, raw);
    }
  }
  return g;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0, nl;
  while ((nl = text.find('\n', start)) != std::string::npos) {
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  EXPECT_EQ(start, text.size()) << "text ends with a line end";
  return out;
}

TEST(Switches, OldLayoutListRunsToThirtyMetresOrTheLastSolenoid) {
  // x = 0: solenoids 0.2 m and drifts 0.5 m never reach 30 m, so all 34 pairs are listed, and
  // the 34th drift is x itself. x = 1: the sum starts at −0.225 + 0.45 + 1.0 = 1.225 m and grows
  // by 1.6 m per pair, so it first reaches 30 m with pair 19 (1.225 + 18 × 1.6 = 30.025).
  struct Case {
    int raw;
    size_t pairs;
    std::vector<std::pair<int, const char*>> lines;  // index, text
  };
  const Case cases[] = {
      {0,
       34,
       {{0, "Z position of rod relative to centre of S1: -0.150000"},
        {1, "Rod angle: 0.000000"},
        {2, "S1: Field=0.000000 Length=0.200000 Radius=0.100000"},
        {3, "D1: Length=0.500000"},
        {4, "S2: Field=-5.000000 Length=0.200000 Radius=0.100000"},
        {8, "S4: Field=-5.000000 Length=0.200000 Radius=0.100000"},
        {10, "S5: Field=-4.000000 Length=0.200000 Radius=0.100000"},
        {66, "S33: Field=-4.000000 Length=0.200000 Radius=0.100000"},
        {67, "D33: Length=0.500000"},
        {69, "D34: Length=0.000000"}}},
      {999,
       19,
       {{0, "Z position of rod relative to centre of S1: 0.150000"},
        {1, "Rod angle: 0.500000"},
        {2, "S1: Field=20.000000 Length=0.450000 Radius=0.100000"},
        {3, "D1: Length=1.000000"},
        {4, "S2: Field=5.000000 Length=0.600000 Radius=0.400000"},
        {10, "S5: Field=4.000000 Length=0.600000 Radius=0.400000"},
        {38, "S19: Field=4.000000 Length=0.600000 Radius=0.400000"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    Genome g = oldlayout(c.raw);
    std::vector<std::string> l = lines(listcomponents42(&g));
    ASSERT_EQ(l.size(), 2u + 2 * c.pairs);
    for (const auto& [i, text] : c.lines) EXPECT_EQ(l[i], text);
    Genome_free(g);
  }
}

int32_t fixedgene(const char*, const Genome*) {
  return 1998;  // beyond the resolution: clamped to 999
}

TEST(Switches, OldLayoutListDrawsMissingGenes) {
  GnullFunction saved = gnull;
  gnull = fixedgene;
  Genome g = Genome_new();
  gassign(&g, "zsrc", 500);
  std::string text = listcomponents42(&g);
  gnull = saved;
  EXPECT_EQ(graw(&g, "zsrc"), 500);
  EXPECT_EQ(graw(&g, "rotsrc"), 999);
  EXPECT_EQ(graw(&g, "s1f"), 999);
  EXPECT_EQ(graw(&g, "d19l"), 999);
  EXPECT_EQ(ghas(&g, "s20f"), 0);
  EXPECT_NE(text.find("Z position of rod relative to centre of S1: 0.000150\n"), std::string::npos);
  Genome_free(g);
}

TEST_F(SwitchesTest, OldLayoutSwitchWritesTheListAndEnds) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  Genome g = oldlayout(250);
  Genome copy = Genome_copyof(g);
  EXPECT_EXIT(laterinchild("ordax -l42 demo", nullptr, &g), ::testing::ExitedWithCode(0),
              "Outputting listcomponents.txt...\nOutputting listcomponents.txt... Done");
  EXPECT_EQ(readfile("listcomponents.txt"), listcomponents42(&copy));
  Genome_free(g);
  Genome_free(copy);
}

// A machine of two components.
Cell* smallmachine() {
  return compositeof("demo", {cellwith("S1", "Solenoid", {{"Length", 1}, {"Field", 2}}),
                              cellwith("D1", "Drift", {{"Length", 0.5}})});
}

TEST_F(SwitchesTest, ComponentListSwitchesWriteTheMachineAndEnd) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the working directory
  Cell* root = smallmachine();
  Genome g = Genome_new();
  struct Case {
    const char* line;
    int withframes;
  } cases[] = {{"ordax -l demo", 0}, {"ordax -L demo", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    fs::remove("listcomponents.txt");
    EXPECT_EXIT(laterinchild(c.line, root, &g), ::testing::ExitedWithCode(0),
                "Outputting listcomponents.txt... Done");
    std::string expected = Cell_print(root, (char)c.withframes, 0);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(readfile("listcomponents.txt"), expected);
  }
  EXPECT_EXIT(laterinchild("ordax -latextable", root, &g), ::testing::ExitedWithCode(0),
              "Outputting table_demo_[0-9]{8}_[0-9]{6}.tex... Done");
  int tables = 0;
  for (const auto& e : fs::directory_iterator(".")) {
    std::string name = e.path().filename().string();
    if (name.rfind("table_demo_", 0) != 0) continue;
    tables++;
    EXPECT_EQ(name.size(), strlen("table_demo_yyyyMMdd_HHmmss.tex")) << name;
    EXPECT_EQ(readfile(e.path()), Cell_latextable(root, 1));
  }
  EXPECT_EQ(tables, 1);
  Genome_free(g);
  Cell_freeref(root, 0);
}

}  // namespace
