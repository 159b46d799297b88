// Tests of console text: the exact bytes of each form, above all the whole lines a log file or
// a pipe receives from progress rewrites.
#include "display/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/helpers.h"

namespace {

double fakenow = 0;
double fakeclock() {
  return fakenow;
}

struct Step {
  double t;
  bool update;  // rewrite, else a new line
  const char* text;
};

std::string play(ConsoleForm form, const std::vector<Step>& steps, bool finish) {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  console_setclock(fakeclock);
  console_setoutput(f, form);
  for (const Step& s : steps) {
    fakenow = s.t;
    if (s.update) console_update(s.text);
    else console_line(s.text);
  }
  if (finish) console_finish();
  console_setoutput(nullptr, ConsoleForm::Terminal);
  console_setclock(nullptr);
  std::string r = testsupport::streamtext(f);
  fclose(f);
  return r;
}

}  // namespace

TEST(ConsoleLog, ProgressAndLoadingBecomeWholeLines) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool finish;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"a quick load shows its outcome once, after its start",
       {{0, false, "Loading 'results.dat'..."},
        {0.1, true, "Loading 'results.dat'... 100 (10.0%)"},
        {0.2, true, "Loading 'results.dat'... 900 (90.0%)"},
        {0.3, true, "Loading 'results.dat'... OK (1000 results)"},
        {0.4, false, "New simulation"}},
       false,
       "\nLoading 'results.dat'... OK (1000 results)\nNew simulation"},
      {"a slow load writes a counter after the interval, then its outcome on a line of its own",
       {{0, false, "Loading 'results.dat'..."},
        {1, true, "Loading 'results.dat'... 100 (10.0%)"},
        {5.5, true, "Loading 'results.dat'... 600 (60.0%)"},
        {6, true, "Loading 'results.dat'... OK (1000 results)"},
        {6.5, false, "Done"}},
       false,
       "\nLoading 'results.dat'... 600 (60.0%)\nLoading 'results.dat'... OK (1000 results)\nDone"},
      {"the progress line of a run: one line per interval, the last one before the score",
       {{0, false, "- Starting -"},
        {0, false, ""},
        {0.05, true, "t = 0.01ns (10/10 particles) 0.0 Mpts"},
        {5.0, true, "t = 1.00ns (10/10 particles) 0.1 Mpts"},
        {5.05, true, "t = 1.01ns (10/10 particles) 0.1 Mpts"},
        {9.9, true, "t = 1.90ns (9/10 particles) 0.2 Mpts"},
        {10.0, true, "t = 2.00ns (8/10 particles) 0.2 Mpts"},
        {10.05, true, "t = 2.01ns (8/10 particles) 0.2 Mpts"},
        {10.1, false, "Score 12.5 (0.2 Mpts)"}},
       false,
       "\n- Starting -\nt = 1.00ns (10/10 particles) 0.1 Mpts\nt = 2.00ns (8/10 particles) 0.2 Mpts"
       "\nt = 2.01ns (8/10 particles) 0.2 Mpts\nScore 12.5 (0.2 Mpts)"},
      {"a rewrite still held when the program ends is written then",
       {{0, false, "Auto-saving..."}, {0.5, true, "Auto-saving... Done"}},
       true,
       "\nAuto-saving... Done"},
      {"a rewrite equal to the line adds nothing",
       {{0, false, "Text saved 5 results"}, {9, true, "Text saved 5 results"}},
       true,
       "\nText saved 5 results"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(play(ConsoleForm::Log, c.steps, c.finish), c.expected);
  }
}

TEST(ConsoleBlanks, RewriteBlanksTheRestOfTheLongerOldText) {
  // UTF-8 text takes one column per character, so "µs" needs one blank less than its bytes.
  std::vector<Step> steps = {{0, false, "abcdef"}, {0, true, "\xc2\xb5s"}, {0, true, "x"},
                             {0, false, "next"}};
  EXPECT_EQ(play(ConsoleForm::Blanks, steps, true), "\nabcdef\r\xc2\xb5s    \rx \nnext");
}
