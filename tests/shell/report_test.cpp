// Tests of the report channel: console line handling, warnings and their answers, fatal
// exits (death tests), the graphics-mode history, the graphics error log, the non-blocking
// message box and the date, time, duration and byte-count texts.
#include "shell/report.h"
#include "base/timetext.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/platform.h"
#include "display/sideview.h"
#include "display/terminal.h"
#include "shell/runstate.h"
#include "tests/support/helpers.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

using namespace testsupport;

// A console line model: "\n" starts a line, "\r" returns to its start, ESC[K blanks to its
// end, anything else overwrites the cell under the cursor. Trailing blanks are dropped.
std::vector<std::string> playlines(const std::string& bytes) {
  std::vector<std::string> lines(1);
  size_t col = 0;
  for (size_t i = 0; i < bytes.size(); i++) {
    char c = bytes[i];
    std::string& l = lines.back();
    if (c == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (c == '\r') {
      col = 0;
    } else if (bytes.compare(i, 3, "\x1b[K") == 0) {
      if (l.size() > col) l.resize(col);
      i += 2;
    } else {
      if (l.size() <= col) l.resize(col + 1, ' ');
      l[col++] = c;
    }
  }
  for (std::string& l : lines) l.erase(l.find_last_not_of(' ') + 1);
  return lines;
}

// Answers taken from a script, one per question; −1 once it runs out.
struct Script {
  std::string keys;
  size_t next = 0;
  int asked = 0;
};
int scriptedanswer(void* context) {
  Script* s = (Script*)context;
  s->asked++;
  return s->next < s->keys.size() ? (unsigned char)s->keys[s->next++] : -1;
}

// Every test starts in console mode with a fresh channel writing to a temporary file.
class ReportFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedmode = displaymode;
    savedstop = simstop;
    displaymode = 1;
    simstop = 0;
    report_installfront();
    report_setsink(nullptr, nullptr);
    report_setanswersource(nullptr, nullptr);
    report_resetwarnings();
    while (display_takekey() >= 0) {
    }
    reports_initialise();
    out = tmpfile();
    ASSERT_NE(out, nullptr);
    report_setoutput(out);
  }
  void TearDown() override {
    report_setoutput(nullptr);
    report_setanswersource(nullptr, nullptr);
    report_setmessagebox(nullptr);
    report_setexithook(nullptr);
    display_setkeysource(nullptr, nullptr);
    report_resetwarnings();
    while (display_takekey() >= 0) {
    }
    reports_initialise();
    fclose(out);
    displaymode = savedmode;
    simstop = savedstop;
  }
  std::string written() { return streamtext(out); }
  FILE* out = nullptr;
  int savedmode = 0;
  int savedstop = 0;
};

using ReportConsole = ReportFixture;
using ReportWarning = ReportFixture;
using ReportGraphics = ReportFixture;
using ReportToSink = ReportFixture;
using ReportDeathTest = ReportFixture;
using GraphicsErrorLog = ReportFixture;

}  // namespace

TEST_F(ReportConsole, UpdateRewritesTheNewestLineAndTheNextReportStartsANewOne) {
  report("abc");
  reportupdate("b");
  std::vector<std::string> lines = playlines(written());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "b");  // the longer "abc" must not show through

  report("next");
  reportupdate("t = 1.00ns");
  reportupdate("t = 2.5ns");
  lines = playlines(written());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "b");
  EXPECT_EQ(lines[2], "t = 2.5ns");
  EXPECT_EQ(written().compare(0, 6, "\nabc\rb"), 0);
}

TEST_F(ReportConsole, NullMessagesAndBackgroundModeShowNothing) {
  report(nullptr);
  reportupdate(nullptr);
  EXPECT_EQ(written(), "");
  displaymode = 2;
  Script s{"n"};
  report_setanswersource(scriptedanswer, &s);
  WorkDir work("ordax_bgwarning");
  report("hello");
  reportupdate("progress");
  report("[WARNING] Field map missing");  // background never asks: the warning is logged
  platform_setmessagelog(false);
  EXPECT_EQ(written(), "");
  EXPECT_EQ(s.asked, 0);
  EXPECT_EQ(work.read("messages.log"), "[Ordax Warning] [WARNING] Field map missing\n");
}

TEST_F(ReportToSink, SinkReceivesTextsAndSeverityIsLeftToTheCaller) {
  std::vector<std::pair<std::string, int>> got;
  report_setsink(
      [](const char* m, int isupdate, void* c) {
        ((std::vector<std::pair<std::string, int>>*)c)->push_back({m, isupdate});
      },
      &got);
  Script s{"n"};
  report_setanswersource(scriptedanswer, &s);
  report("[FATAL] Cannot open lattice");  // must return, not exit
  report("[WARNING] Odd value");          // must not ask
  reportupdate("step 3");
  report_setsink(nullptr, nullptr);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::make_pair(std::string("[FATAL] Cannot open lattice"), 0));
  EXPECT_EQ(got[1], std::make_pair(std::string("[WARNING] Odd value"), 0));
  EXPECT_EQ(got[2], std::make_pair(std::string("step 3"), 1));
  EXPECT_EQ(s.asked, 0);
  EXPECT_EQ(written(), "");
}

TEST_F(ReportWarning, TheseWavesThatWarningWhateverItsCaseButNoOther) {
  Script s{"tYy"};
  report_setanswersource(scriptedanswer, &s);
  report("[WARNING] Low field");
  EXPECT_EQ(s.asked, 1);
  report("[WARNING] low FIELD");  // waved: differs only in case
  EXPECT_EQ(s.asked, 1);
  report("[WARNING] Low field strength");  // a different message is asked
  EXPECT_EQ(s.asked, 2);
  report("[WARNING] Low field strength");  // "Y" waves nothing
  EXPECT_EQ(s.asked, 3);
  report("[WARNING] Low field");
  EXPECT_EQ(s.asked, 3);

  std::vector<std::string> lines = playlines(written());
  std::vector<std::string> expected = {"",
                                       "[WARNING] Low field",
                                       "Continue (Y/N/These/All)? ",
                                       "These",
                                       "[WARNING] low FIELD",
                                       "[WARNING] Low field strength",
                                       "Continue (Y/N/These/All)? ",
                                       "Y",
                                       "[WARNING] Low field strength",
                                       "Continue (Y/N/These/All)? ",
                                       "Y",
                                       "[WARNING] Low field"};
  for (std::string& e : expected) e.erase(e.find_last_not_of(' ') + 1);
  EXPECT_EQ(lines, expected);
}

TEST_F(ReportWarning, AllWavesEveryLaterWarningUntilReset) {
  Script s{"Ay"};
  report_setanswersource(scriptedanswer, &s);
  report("[WARNING] first");
  report("[WARNING] second");
  report("[WARNING] third");
  EXPECT_EQ(s.asked, 1);
  EXPECT_NE(written().find("\nAll"), std::string::npos);
  report_resetwarnings();
  report("[WARNING] second");
  EXPECT_EQ(s.asked, 2);
}

TEST_F(ReportDeathTest, AnswersOtherThanYesTheseAllExitWithCodeTwo) {
  // −1 stands for "no terminal can answer" (no tty, end of input).
  for (const char* keys : {"n", "N", "x", "\r", ""}) {
    SCOPED_TRACE(std::string("answer '") + keys + "'");
    Script s{keys};
    report_setanswersource(scriptedanswer, &s);
    EXPECT_EXIT(report("[WARNING] Aperture outside the world"), ::testing::ExitedWithCode(2), "");
  }
}

TEST_F(ReportDeathTest, NoAnswerReportsNBeforeExiting) {
  TempDir tmp("ordax_warnexit");
  const fs::path& dir = tmp.path();
  std::string file = (dir / "out.txt").string();
  Script s{""};
  report_setanswersource(scriptedanswer, &s);
  EXPECT_EXIT(
      {
        report_setoutput(fopen(file.c_str(), "w"));
        report("[WARNING] Aperture outside the world");
      },
      ::testing::ExitedWithCode(2), "");
  std::vector<std::string> lines = playlines(readfile(file));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[2], "Continue (Y/N/These/All)?");
  EXPECT_EQ(lines[3], "N");
}

TEST_F(ReportDeathTest, FatalExitsWithCodeOneAndRunsTheExitHook) {
  Script s{"yyyy"};
  report_setanswersource(scriptedanswer, &s);
  report_setexithook([] { fputs("exit hook ran\n", stderr); });
  EXPECT_EXIT(report("[FATAL] No lattice files in lattices directory."),
              ::testing::ExitedWithCode(1), "exit hook ran");
  // Both markers: fatal wins even though the answer would be "yes".
  EXPECT_EXIT(report("[WARNING] [FATAL] both"), ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT(report("[FATAL] [WARNING] both"), ::testing::ExitedWithCode(1), "");
}

TEST_F(ReportDeathTest, BackgroundFatalAppendsAMessageBoxToMessagesLog) {
  TempDir tmp("ordax_background");
  const fs::path& dir = tmp.path();
  displaymode = 2;
  EXPECT_EXIT(
      {
        fs::current_path(dir);
        report("[FATAL] Cannot write results.dat");
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(readfile(dir / "messages.log"), "[Ordax Error] [FATAL] Cannot write results.dat\n");
  EXPECT_EQ(written(), "");
}

TEST_F(ReportDeathTest, GerrorLogsShowsItsBoxAndExitsWithCodeOne) {
  TempDir tmp("ordax_gerror");
  const fs::path& dir = tmp.path();
  report_setmessagebox([](const char* text, const char* title) {
    fprintf(stderr, "box <%s> <%s>\n", title, text);
  });
  EXPECT_EXIT(
      {
        fs::current_path(dir);
        gerror("Bad pixel format");
      },
      ::testing::ExitedWithCode(1), "box <Oh sod it> <Bad pixel format>");
  std::string log = readfile(dir / "graphics_error.log");
  ASSERT_EQ(log.size(), 20u + 1 + 16 + 1);
  EXPECT_EQ(log.substr(20), " Bad pixel format\n");
}

TEST_F(GraphicsErrorLog, GwarnAppendsDatedLines) {
  TempDir tmp("ordax_gwarn");
  const fs::path& dir = tmp.path();
  char before[KVT_BUFSIZE], after[KVT_BUFSIZE];
  {
    CwdGuard cwd(dir);
    kvtdate(KVT_NOTIME, before);
    gwarn("first");
    gwarn("second one");
    kvtdate(KVT_NOTIME, after);
  }
  std::vector<std::string> lines = readlines(dir / "graphics_error.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(20), " first");
  EXPECT_EQ(lines[1].substr(20), " second one");
  for (const std::string& l : lines) {
    std::string date = l.substr(0, 11);
    EXPECT_TRUE(date == before || date == after) << l;
    EXPECT_EQ(l[11], ' ');
    EXPECT_TRUE(l[14] == ':' && l[17] == ':' && l[20] == ' ') << l;
  }
}

TEST_F(ReportGraphics, HistoryKeepsTheNewestTwentyLines) {
  displaymode = 0;  // no terminal display attached: also printed as in console mode
  char** h = reports_history();
  for (int i = 0; i < 20; i++) EXPECT_EQ(h[i], nullptr);
  for (int i = 0; i < 25; i++) reportf("line %d", i);
  for (int i = 0; i < 20; i++) {
    SCOPED_TRACE(i);
    ASSERT_NE(h[i], nullptr);
    EXPECT_EQ(std::string(h[i]), "line " + std::to_string(i + 5));
  }
  reportupdate("replaced");
  EXPECT_STREQ(h[19], "replaced");
  EXPECT_STREQ(h[18], "line 23");
  std::vector<std::string> lines = playlines(written());
  EXPECT_EQ(lines.back(), "replaced");
  EXPECT_EQ(lines.size(), 26u);
  EXPECT_EQ(reports_initialise(), h);
  for (int i = 0; i < 20; i++) EXPECT_EQ(h[i], nullptr);
}

namespace {
struct Keys {
  std::string bytes;
  size_t next = 0;
};
int keysfrom(void* context) {
  Keys* k = (Keys*)context;
  return k->next < k->bytes.size() ? (unsigned char)k->bytes[k->next++] : -1;
}
}  // namespace

TEST_F(ReportGraphics, WarningIsAnsweredFromTheTypedKeyQueue) {
  displaymode = 0;
  // A key typed earlier answers at once.
  display_pushkey('T');
  report("[WARNING] Beam empty");
  EXPECT_STREQ(reports_history()[19], "These");
  EXPECT_STREQ(reports_history()[18], "Continue (Y/N/These/All)? ");
  // Otherwise the keyboard is polled: the arrow key's sequence is not an answer.
  Keys k{"\x1b[Aa"};
  display_setkeysource(keysfrom, &k);
  report("[WARNING] Something else");
  EXPECT_STREQ(reports_history()[19], "All");
  EXPECT_EQ(k.next, k.bytes.size());
  EXPECT_EQ(simstop, 0);
  EXPECT_EQ(display_takekey(), -1);
}

// While a run is on screen the view takes its keys (x, y, +, -, space); a warning raised
// during the run must still be answered by them, and the view gets them back afterwards.
TEST_F(ReportGraphics, WarningDuringARunIsAnsweredWithTheViewsKeys) {
  displaymode = 0;
  SideViewState view;
  display_setkeyfilter([](int key, void* v) { return sideview_key((SideViewState*)v, key); },
                       &view);
  // (The 't' after it would be the answer if the view took the 'y'.)
  Keys k{"yt"};
  display_setkeysource(keysfrom, &k);
  report("[WARNING] Field map coarse");
  EXPECT_STREQ(reports_history()[19], "Y");
  EXPECT_EQ(view.axis, 0);  // the 'y' was the answer, not the view's projection
  EXPECT_EQ(display_takekey(), 't');
  Keys after{"y"};
  display_setkeysource(keysfrom, &after);
  dealwithmessages();
  EXPECT_EQ(view.axis, 1);  // no question waiting: the view takes it again
  EXPECT_EQ(display_takekey(), -1);
  display_setkeyfilter(nullptr, nullptr);
}

TEST_F(ReportDeathTest, GraphicsWarningAnsweredByQuitKeyExitsWithCodeTwo) {
  displaymode = 0;
  Keys k{"q"};
  display_setkeysource(keysfrom, &k);
  EXPECT_EXIT(report("[WARNING] Beam empty"), ::testing::ExitedWithCode(2), "");
}

namespace {
std::mutex boxlock;
std::condition_variable boxcv;
bool boxreleased = false, boxdone = false, boxtimedout = false;
std::string boxtext, boxtitle;
void blockingbox(const char* text, const char* title) {
  std::unique_lock<std::mutex> lk(boxlock);
  boxtimedout = !boxcv.wait_for(lk, std::chrono::seconds(10), [] { return boxreleased; });
  boxtext = text;
  boxtitle = title;
  boxdone = true;
  boxcv.notify_all();
}
}  // namespace

TEST(AsyncMessageBox, ReturnsBeforeTheBoxClosesAndKeepsItsOwnCopies) {
  report_setmessagebox(blockingbox);
  char text[64] = "Upload failed", title[64] = "Ordax";
  AsyncMessageBox(text, title);
  // The box is still open (it waits for the release below), yet the call has returned.
  strcpy(text, "overwritten");
  strcpy(title, "gone");
  {
    std::unique_lock<std::mutex> lk(boxlock);
    boxreleased = true;
    boxcv.notify_all();
    ASSERT_TRUE(boxcv.wait_for(lk, std::chrono::seconds(20), [] { return boxdone; }));
  }
  report_setmessagebox(nullptr);
  EXPECT_FALSE(boxtimedout) << "AsyncMessageBox waited for the box to close";
  EXPECT_EQ(boxtext, "Upload failed");
  EXPECT_EQ(boxtitle, "Ordax");
}

TEST(NewLogSection, WritesADatedHeader) {
  int n = 0;
  const Bytes b = writtenby([&](FILE* f) { n = newlogsection(f); });
  const std::string s(b.begin(), b.end());
  EXPECT_EQ(n, (int)s.size());
  ASSERT_EQ(s.size(), 20u + 20 + 12);
  EXPECT_EQ(s.substr(0, 20), "\n---------- Started ");
  EXPECT_EQ(s.substr(40), " ----------\n");
  EXPECT_EQ(newlogsection(nullptr), -1);
}

// ---- times ----

TEST(MakeFileTime, MatchesExactIntegerArithmetic) {
  EXPECT_EQ(MakeFileTime(0), 116444736000000000ull);
  EXPECT_EQ(MakeFileTime(-11644473600.0), 0ull);
  EXPECT_EQ(MakeFileTime(1.5), 116444736015000000ull);
  // Before 1601 and NaN have no file time.
  EXPECT_EQ(MakeFileTime(-11644473601.0), 0ull);
  EXPECT_EQ(MakeFileTime(NAN), 0ull);
  EXPECT_EQ(MakeFileTime(1e300), UINT64_MAX);

  uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int64_t> secs(-11644473600LL, 4102444800LL);
  for (int i = 0; i < 1000; i++) {
    int64_t t = secs(rng);
    uint64_t exact = (uint64_t)(t + 11644473600LL) * 10000000ull;
    ASSERT_EQ(MakeFileTime((double)t), exact) << t;
    // A fraction of 2^-20 s is 9.54 units: only an extended-precision product floors it to 9.
    if (t > 0) {
      ASSERT_EQ(MakeFileTime((double)t + 0x1p-20), exact + 9) << t;
    }
  }
}

TEST(Kvtdatetime, KnownInstantsInUtc) {
  struct Case {
    double t;
    const char* text;
    int dayofweek;
  } cases[] = {
      {1796593200, "2026-Dec-06 21:40:00", 0}, {1709208000, "2024-Feb-29 12:00:00", 4},
      {978307199, "2000-Dec-31 23:59:59", 0},  {-1, "1969-Dec-31 23:59:59", 3},
      {0.999, "1970-Jan-01 00:00:00", 4},      {-11644473600.0, "1601-Jan-01 00:00:00", 1},
      {4107542400, "2100-Mar-01 00:00:00", 1}, {-2203891201.0, "1900-Feb-28 23:59:59", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char buf[KVT_BUFSIZE];
    EXPECT_STREQ(kvtdatetime(c.t, buf), c.text);
    EXPECT_EQ(std::string(kvtdate(c.t, buf)), std::string(c.text).substr(0, 11));
    EXPECT_EQ(std::string(kvttime(c.t, buf)), std::string(c.text).substr(12));
    EXPECT_STREQ(kvtdatetime_fromfiletime(MakeFileTime(c.t), buf), c.text);
    SystemTime st;
    MakeSystemTime(c.t, &st);
    EXPECT_EQ(st.dayofweek, c.dayofweek);
  }
}

namespace {
// A calendar time as the date-time texts spell it.
std::string datetimetext(const PlatformTime& t) {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char s[64];
  snprintf(s, sizeof s, "%04d-%s-%02d %02d:%02d:%02d", t.year, months[t.month - 1], t.day,
           t.hour, t.minute, t.second);
  return s;
}
}  // namespace

TEST(Kvtdatetime, AgreesWithTheSystemCalendarOnRandomInstants) {
  uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int64_t> secs(-11644473600LL, 32503680000LL);
  for (int i = 0; i < 2000; i++) {
    int64_t t = secs(rng);
    PlatformTime ref = platform_utctime((double)t);
    char buf[KVT_BUFSIZE];
    ASSERT_EQ(kvtdatetime((double)t, buf), datetimetext(ref)) << t;
    SystemTime st;
    MakeSystemTime((double)t + 0.25, &st);
    ASSERT_EQ(st.dayofweek, ref.weekday) << t;
    ASSERT_EQ(st.milliseconds, 250) << t;
  }
}

TEST(Kvtdatetime, NoTimeAndNanMeanThePresentLocalTime) {
  auto localnow = [] { return datetimetext(platform_localtime(platform_walltime())); };
  for (double t : {KVT_NOTIME, (double)NAN}) {
    std::string before = localnow();
    char buf[KVT_BUFSIZE];
    std::string got = kvtdatetime(t, buf);
    std::string after = localnow();
    EXPECT_TRUE(got == before || got == after) << got << " vs " << before;
  }
}

TEST(Timefmt, UnitsAtTheirBoundaries) {
  struct Case {
    double s;
    const char* text;
  } cases[] = {{5e-7, "500.0 ns"}, {0.002, "2.000 ms"}, {0, "0.0 ns"},
               {9.9994e-7, "999.9 ns"}, {1e-6, "1.00 us"}, {1.5e-5, "15.00 us"},
               {0.000999, "999.00 us"}, {0.001, "1.000 ms"}, {2.5, "2500.000 ms"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_STREQ(timefmt(c.s), c.text);
  }
}

TEST(Timefmt, TenResultsStayValidAtOnce) {
  const char* p[11];
  for (int i = 0; i < 11; i++) p[i] = timefmt((i + 1) * 1e-9);
  for (int i = 0; i < 10; i++) {
    char expect[32];
    snprintf(expect, sizeof expect, "%.1f ns", (i + 1) * 1.0);
    if (i == 0) continue;  // the eleventh call reused the first buffer
    EXPECT_STREQ(p[i], expect);
  }
  EXPECT_EQ(p[10], p[0]);
  EXPECT_STREQ(p[0], "11.0 ns");
}

TEST(Printbytes, UnitsAtTheirBoundaries) {
  struct Case {
    unsigned n;
    const char* text;
  } cases[] = {{0, "0 bytes"},           {1023, "1023 bytes"},        {1024, "1.0 KB"},
               {1536, "1.5 KB"},         {1048575, "1024.0 KB"},      {1048576, "1.00 MB"},
               {3407872, "3.25 MB"},     {1073741823, "1024.00 MB"},  {1073741824, "1.000 GB"},
               {4294967295u, "4.000 GB"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char buf[16];
    EXPECT_STREQ(printbytes(c.n, buf), c.text);
  }
}
