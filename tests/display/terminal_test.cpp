// Tests of the terminal display: the report panel layout played through a small terminal
// model, hostile and oversized texts, the status line and notice, terminal restore on release
// and on a fatal exit, key handling and the quit signals.
#include "display/terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/platform.h"
#include "shell/report.h"
#include "shell/runstate.h"
#include "tests/support/helpers.h"

namespace fs = std::filesystem;

namespace {

// A terminal model: cursor moves (CSI H), erase (CSI K, CSI 2J), colours (CSI m), the
// alternate screen and cursor visibility (CSI ? 1049 / 25 h/l), carriage return, line feed
// with scrolling, deferred autowrap and one cell per UTF-8 character. Anything else it does
// not know counts as stray; erase fills with the present background colour.
struct Cell {
  std::string ch = " ";
  int fg = 39, bg = 49;
};

class Screen {
 public:
  Screen(int cols, int rows) : cols(cols), rows(rows), cells(rows, std::vector<Cell>(cols)) {}

  void play(const std::string& b) {
    for (size_t i = 0; i < b.size();) {
      unsigned char c = b[i];
      if (c == 0x1b) {
        i = escape(b, i);
      } else if (c == '\r') {
        col = 0, i++;
      } else if (c == '\n') {
        col = 0, linefeed(), i++;
      } else if (c < 0x20 || c == 0x7f) {
        stray++, i++;
      } else {
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        std::string ch = b.substr(i, n);
        if (c >= 0x80 && c < 0xC0) stray++;  // a continuation byte on its own
        for (size_t k = 1; k < ch.size(); k++)
          if (((unsigned char)ch[k] & 0xC0) != 0x80) stray++;
        put(ch);
        i += n;
      }
    }
  }
  std::string text(int r) const {
    std::string s;
    for (const Cell& c : cells[r]) s += c.ch;
    return s;
  }
  std::string trimmed(int r) const {
    std::string s = text(r);
    s.erase(s.find_last_not_of(' ') + 1);
    size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? "" : s.substr(first);
  }
  int leading(int r) const {
    int n = 0;
    while (n < cols && cells[r][n].ch == " ") n++;
    return n;
  }
  bool rowall(int r, int fg, int bg) const {  // every cell in these colours (fg −1: any)
    for (const Cell& c : cells[r])
      if ((fg >= 0 && c.fg != fg) || c.bg != bg) return false;
    return true;
  }
  bool rowblankdefault(int r) const {
    for (const Cell& c : cells[r])
      if (c.ch != " " || c.bg != 49) return false;
    return true;
  }

  int cols, rows;
  std::vector<std::vector<Cell>> cells;
  int row = 0, col = 0, fg = 39, bg = 49;
  bool alt = false, cursorvisible = true;
  int stray = 0, scrolled = 0;

 private:
  void linefeed() {
    if (row == rows - 1) {
      cells.erase(cells.begin());
      cells.emplace_back(cols);
      scrolled++;
    } else {
      row++;
    }
  }
  void put(const std::string& ch) {
    if (col >= cols) {
      col = 0;
      linefeed();
    }
    cells[row][col++] = Cell{ch, fg, bg};
  }
  void erase(int r, int from) {
    for (int c = from; c < cols; c++) cells[r][c] = Cell{" ", fg, bg};
  }
  size_t escape(const std::string& b, size_t i) {
    if (i + 1 >= b.size() || b[i + 1] != '[') {
      stray++;
      return i + 1;
    }
    size_t j = i + 2;
    bool priv = j < b.size() && b[j] == '?';
    if (priv) j++;
    std::vector<int> p;
    std::string num;
    while (j < b.size() && (isdigit((unsigned char)b[j]) || b[j] == ';')) {
      if (b[j] == ';') p.push_back(num.empty() ? 0 : std::stoi(num)), num.clear();
      else num += b[j];
      j++;
    }
    if (!num.empty() || !p.empty()) p.push_back(num.empty() ? 0 : std::stoi(num));
    if (j >= b.size()) {
      stray++;
      return j;
    }
    char f = b[j];
    auto arg = [&](size_t k, int dflt) { return k < p.size() && p[k] ? p[k] : dflt; };
    if (priv && (f == 'h' || f == 'l')) {
      for (int v : p) {
        if (v == 1049) alt = f == 'h';
        else if (v == 25) cursorvisible = f == 'h';
        else stray++;
      }
    } else if (f == 'H') {
      row = std::min(arg(0, 1), rows) - 1;
      col = std::min(arg(1, 1), cols) - 1;
    } else if (f == 'K' && arg(0, 0) == 0) {
      erase(row, std::min(col, cols));
    } else if (f == 'J' && arg(0, 0) == 2) {
      for (int r = 0; r < rows; r++) erase(r, 0);
    } else if (f == 'm') {
      if (p.empty()) p.push_back(0);
      for (int v : p) {
        if (v == 0) fg = 39, bg = 49;
        else if ((v >= 30 && v <= 37) || (v >= 90 && v <= 97) || v == 39) fg = v;
        else if ((v >= 40 && v <= 47) || (v >= 100 && v <= 107) || v == 49) bg = v;
        else stray++;
      }
    } else {
      stray++;
    }
    return j + 1;
  }
};

// A screen filled with junk in odd colours, so that a row the display fails to write shows.
Screen junkscreen(int cols, int rows) {
  Screen s(cols, rows);
  for (auto& r : s.cells)
    for (Cell& c : r) c = Cell{"#", 31, 42};
  return s;
}

struct History {
  std::vector<std::string> texts;
  char* slots[20] = {};
  explicit History(const std::vector<const char*>& t) {
    texts.reserve(20);
    for (int i = 0; i < 20; i++) {
      const char* s = i < (int)t.size() ? t[i] : nullptr;
      if (!s) continue;
      texts.emplace_back(s);
      slots[i] = texts.back().data();
    }
  }
};

using testsupport::streamtext;

struct Keys {
  std::string bytes;
  size_t next = 0;
};
int keysfrom(void* context) {
  Keys* k = (Keys*)context;
  return k->next < k->bytes.size() ? (unsigned char)k->bytes[k->next++] : -1;
}

class DisplayFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedmode = displaymode;
    savedstop = simstop;
    report_installfront();
    simstop = 0;
    reports_initialise();
    console = tmpfile();
    ASSERT_NE(console, nullptr);
    report_setoutput(console);
    while (display_takekey() >= 0) {
    }
  }
  void TearDown() override {
    display_release();
    display_status(nullptr);
    display_notice(nullptr);
    display_setkeysource(nullptr, nullptr);
    report_setoutput(nullptr);
    report_setexithook(nullptr);
    reports_initialise();
    while (display_takekey() >= 0) {
    }
    fclose(console);
    displaymode = savedmode;
    simstop = savedstop;
  }
  FILE* console = nullptr;
  int savedmode = 0, savedstop = 0;
};

using TerminalDisplay = DisplayFixture;
using TerminalKeys = DisplayFixture;
using QuitSignals = DisplayFixture;
using TerminalDisplayDeathTest = DisplayFixture;

}  // namespace

TEST(TerminalPanel, TwentyLinesCentredOnABlackBandBetweenBlueRules) {
  std::vector<const char*> t;
  std::vector<std::string> names;
  for (int i = 0; i < 20; i++) names.push_back("report line number " + std::to_string(i));
  for (int i = 0; i < 20; i++) t.push_back(names[i].c_str());
  t[3] = nullptr;
  t[5] = "\nstarts with a newline";
  t[7] = "";
  History h(t);
  const int cols = 80, rows = 30;
  Screen s = junkscreen(cols, rows);
  s.play(display_render(h.slots, nullptr, nullptr, cols, rows));
  EXPECT_EQ(s.stray, 0);
  EXPECT_EQ(s.scrolled, 0);

  int top = -1;
  for (int r = 0; r < rows && top < 0; r++)
    if (s.rowall(r, -1, 44)) top = r;
  ASSERT_GE(top, 0) << "no blue rule";
  ASSERT_LT(top + 21, rows - 1);
  EXPECT_TRUE(s.rowall(top + 21, -1, 44)) << "no blue rule below the band";
  EXPECT_EQ(s.trimmed(top), "");
  EXPECT_EQ(s.trimmed(top + 21), "");
  // Centred vertically in the rows above the status line.
  int above = top, below = (rows - 1) - (top + 22);
  EXPECT_LE(std::abs(above - below), 1) << above << " above, " << below << " below";

  for (int i = 0; i < 20; i++) {
    SCOPED_TRACE(i);
    int r = top + 1 + i;
    bool blank = i == 3 || i == 5 || i == 7;
    std::string expect = blank ? "" : names[i];
    EXPECT_EQ(s.trimmed(r), expect);
    EXPECT_TRUE(s.rowall(r, 97, 40)) << "not white on black across the row";
    if (!blank) {
      EXPECT_EQ(s.leading(r), (cols - (int)expect.size()) / 2);
    }
  }
  for (int r = 0; r < rows; r++) {
    if (r < top || r > top + 21) {
      EXPECT_TRUE(s.rowblankdefault(r)) << "row " << r;
    }
  }
}

TEST(TerminalPanel, LongAndHostileTextsStayOnTheirOwnRow) {
  std::string longtext(50, 'A');
  std::vector<const char*> t(20, "keep");
  t[19] = longtext.c_str();
  t[18] = "bad\x1b[2Jname\ttab\a";
  t[17] = "x\xB0y";          // a Latin-1 degree sign is not UTF-8
  t[16] = "2\xC2\xB0" "C";   // UTF-8 degree sign: one column
  t[15] = "two\nlines";
  t[14] = "c1\xC2\x9B" "2J";  // C1 control introducer, UTF-8 encoded
  History h(t);
  const int cols = 30, rows = 25;
  Screen s = junkscreen(cols, rows);
  s.play(display_render(h.slots, nullptr, nullptr, cols, rows));
  EXPECT_EQ(s.stray, 0);
  EXPECT_EQ(s.scrolled, 0);
  int top = 0;
  while (top < rows && !s.rowall(top, -1, 44)) top++;
  ASSERT_LT(top + 21, rows);
  EXPECT_EQ(s.text(top + 20), std::string(30, 'A'));
  EXPECT_TRUE(s.rowall(top + 21, -1, 44)) << "the long line spilled into the rule";
  EXPECT_EQ(s.trimmed(top + 19), "bad [2Jname tab");
  EXPECT_EQ(s.trimmed(top + 18), "x?y");
  EXPECT_EQ(s.trimmed(top + 17), "2\xC2\xB0" "C");
  EXPECT_EQ(s.leading(top + 17), (30 - 3) / 2);
  EXPECT_EQ(s.trimmed(top + 16), "two");
  EXPECT_EQ(s.trimmed(top + 15), "c1?2J");
  for (int i = 0; i < 14; i++) EXPECT_EQ(s.trimmed(top + 1 + i), "keep") << i;
}

TEST(TerminalPanel, SmallTerminalsShowTheNewestLinesWithoutScrolling) {
  std::vector<std::string> names;
  std::vector<const char*> t;
  for (int i = 0; i < 20; i++) names.push_back("msg " + std::to_string(i));
  for (int i = 0; i < 20; i++) t.push_back(names[i].c_str());
  History h(t);
  for (int rows : {1, 2, 3, 4, 5, 10, 22, 23, 24, 60}) {
    for (int cols : {1, 8, 80}) {
      SCOPED_TRACE("rows " + std::to_string(rows) + " cols " + std::to_string(cols));
      Screen s = junkscreen(cols, rows);
      s.play(display_render(h.slots, nullptr, "status", cols, rows));
      EXPECT_EQ(s.stray, 0);
      EXPECT_EQ(s.scrolled, 0);
      EXPECT_EQ(s.trimmed(rows - 1), std::string("status").substr(0, cols - 1));
      int shown = std::min(20, rows - 3);
      if (shown < 1) continue;
      int top = 0;
      while (top < rows && !s.rowall(top, -1, 44)) top++;
      ASSERT_LT(top + shown + 1, rows - 1);
      EXPECT_TRUE(s.rowall(top + shown + 1, -1, 44));
      for (int i = 0; i < shown; i++)
        EXPECT_EQ(s.trimmed(top + 1 + i), names[20 - shown + i].substr(0, cols));
    }
  }
}

TEST(TerminalPanel, NoticeLinesInYellowJustAboveThePanel) {
  History h({"one"});
  const int cols = 100, rows = 40;
  Screen s = junkscreen(cols, rows);
  std::string line1 =
      "New version v4.48 available from website!  (You are using version v4.47_dev)";
  s.play(display_render(h.slots, (line1 + "\n\nServer closed for maintenance").c_str(), nullptr,
                        cols, rows));
  int top = 0;
  while (top < rows && !s.rowall(top, -1, 44)) top++;
  ASSERT_GE(top, 3);
  EXPECT_EQ(s.trimmed(top - 3), line1);
  EXPECT_EQ(s.leading(top - 3), (cols - (int)line1.size()) / 2);
  EXPECT_EQ(s.trimmed(top - 2), "");
  EXPECT_EQ(s.trimmed(top - 1), "Server closed for maintenance");
  for (int r = top - 3; r < top; r++) EXPECT_TRUE(s.rowall(r, 93, 49)) << r;
  for (int r = 0; r < top - 3; r++) EXPECT_TRUE(s.rowblankdefault(r)) << r;
}

TEST_F(TerminalDisplay, ReportsAndStatusAreDrawnAndReleaseRestoresTheTerminal) {
  FILE* term = tmpfile();
  ASSERT_NE(term, nullptr);
  displaymode = 0;
  display_attach(term, 60, 24);
  EXPECT_TRUE(display_active());
  report("Ordax initialising...");
  report("New simulation");
  display_status("t = 1.00ns (5/10 particles) 0.1 Mpts");
  Screen s = junkscreen(60, 24);
  std::string drawn = streamtext(term);
  s.play(drawn);
  EXPECT_EQ(s.stray, 0);
  EXPECT_TRUE(s.alt);
  EXPECT_FALSE(s.cursorvisible);
  int top = 0;
  while (top < 24 && !s.rowall(top, -1, 44)) top++;
  ASSERT_LT(top + 21, 24);
  EXPECT_EQ(s.trimmed(top + 20), "New simulation");
  EXPECT_EQ(s.trimmed(top + 19), "Ordax initialising...");
  EXPECT_EQ(s.trimmed(23), "t = 1.00ns (5/10 particles) 0.1 Mpts");
  // With the panel active nothing goes to the console form.
  EXPECT_EQ(streamtext(console), "");

  display_release();
  EXPECT_FALSE(display_active());
  std::string all = streamtext(term);
  s.play(all.substr(drawn.size()));
  EXPECT_FALSE(s.alt);
  EXPECT_TRUE(s.cursorvisible);
  EXPECT_EQ(s.fg, 39);
  EXPECT_EQ(s.bg, 49);
  display_release();  // a second release writes nothing
  EXPECT_EQ(streamtext(term).size(), all.size());
  // Without the panel, graphics mode prints as the console does.
  report("after");
  EXPECT_EQ(streamtext(console), "\nafter");
  fclose(term);
}

TEST_F(TerminalDisplayDeathTest, FatalLeavesTheDisplayAndTheMessageOnTheTerminal) {
  testsupport::TempDir dir("ordax_terminal");
  std::string path = dir / "term.txt";
  displaymode = 0;
  EXPECT_EXIT(
      {
        FILE* f = fopen(path.c_str(), "w");
        report_setoutput(f);
        display_attach(f, 60, 24);
        report("[FATAL] Out of memory");
      },
      ::testing::ExitedWithCode(1), "");
  std::string bytes = testsupport::readfile(path);
  size_t leave = bytes.rfind("\x1b[?1049l");
  ASSERT_NE(leave, std::string::npos) << "the alternate screen was not left";
  EXPECT_NE(bytes.find("[FATAL] Out of memory", leave), std::string::npos);
  Screen s(60, 24);
  s.play(bytes);
  EXPECT_FALSE(s.alt);
  EXPECT_TRUE(s.cursorvisible);
}

TEST_F(TerminalKeys, EscapeAndQStopOtherKeysGoToTheQueue) {
  struct Case {
    const char* name;
    std::string input;
    std::string queued;
    int stop;
  } cases[] = {
      {"letters", "abc", "abc", 0},
      {"q", "xq", "x", 2},
      {"capital Q is a key", "Q", "Q", 0},
      {"escape alone", "\x1b", "", 2},
      {"arrow and F1 keys", "\x1b[A\x1bOPz", "z", 0},
      {"ctrl-arrow", "\x1b[1;5D", "", 0},
      {"escape then a key", "\x1b" "y", "y", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simstop = 0;
    Keys k{c.input};
    display_setkeysource(keysfrom, &k);
    EXPECT_TRUE(display_haskeys());
    int r = dealwithmessages();
    EXPECT_EQ(simstop, c.stop);
    EXPECT_EQ(r != 0, c.stop == 2);
    std::string got;
    for (int key; (key = display_takekey()) >= 0;) got += (char)key;
    EXPECT_EQ(got, c.queued);
  }
  display_setkeysource(nullptr, nullptr);
  EXPECT_FALSE(display_haskeys());
}

TEST_F(TerminalKeys, AFloodOfKeysDoesNotHoldTheFrame) {
  display_setkeysource([](void*) { return (int)'a'; }, nullptr);
  EXPECT_EQ(dealwithmessages(), 0);
  int n = 0;
  while (display_takekey() >= 0) n++;
  EXPECT_GT(n, 0);
  EXPECT_LE(n, 256);
}

TEST_F(QuitSignals, InterruptTerminateAndHangupSetSimstop) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    simstop = 0;
    installquitsignals();
    std::raise(sig);  // would end the test process without the handler
    EXPECT_EQ(simstop, 2);
    EXPECT_NE(dealwithmessages(), 0);
    std::signal(sig, SIG_DFL);
  }
}

TEST_F(TerminalDisplay, InitOutsideGraphicsModeTakesNoTerminal) {
  EXPECT_FALSE(display_init(1));
  EXPECT_FALSE(display_active());
  testsupport::WorkDir dir("ordax_bgbox");
  EXPECT_FALSE(display_init(2));
  platform_messagebox("Please create a file called 'user.txt'", "Ordax Error: No username specified");
  platform_setmessagelog(false);
  EXPECT_EQ(dir.read("messages.log"),
            "[Ordax Error: No username specified] Please create a file called 'user.txt'\n");
}
