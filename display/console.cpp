// Console text in its three forms (see console.h). The state is the text of the line written
// last (what the output shows after its last line break), its column count and, in the Log
// form, the rewrite held back and the time the line was last written.
#include "display/console.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/platform.h"

namespace {
FILE* chosen = nullptr;  // nullptr: standard output
ConsoleForm chosenform = ConsoleForm::Terminal;
double (*clockfn)() = nullptr;

std::string written;       // the newest line as the output shows it
size_t writtencolumns = 0;  // its columns on a terminal
bool haveheld = false;      // Log form: a rewrite is held back
std::string held;
double lastwrite = -1e300;  // Log form: when the newest line was last written
bool finishregistered = false;

double steadyseconds() {
  int64_t f = platform_perffrequency();
  return f > 0 ? (double)platform_perfcounter() / (double)f : platform_tickcount() * 0.001;
}

double now() {
  return clockfn ? clockfn() : steadyseconds();
}

FILE* out() {
  return chosen ? chosen : stdout;
}

ConsoleForm form() {
  if (chosen) return chosenform;
  return platform_stdout_isterminal() ? ConsoleForm::Terminal : ConsoleForm::Log;
}

// Columns a text takes on a terminal: UTF-8 continuation bytes take none.
size_t columns(const std::string& s) {
  size_t c = 0;
  for (unsigned char ch : s)
    if ((ch & 0xC0) != 0x80) c++;
  return c;
}

// The part of a text after its last line break: what stays on the newest line.
std::string lastline(const char* text) {
  const char* nl = strrchr(text, '\n');
  return nl ? nl + 1 : text;
}

void remember(const char* text) {
  written = lastline(text);
  writtencolumns = columns(written);
}

// Log form: writes a rewrite now, as the rest of the line when it only adds to what the line
// shows, else as a line of its own.
void logwrite(const std::string& text) {
  FILE* f = out();
  if (text.compare(0, written.size(), written) == 0 && text.find('\n', written.size()) == std::string::npos) {
    fputs(text.c_str() + written.size(), f);
  } else {
    fputc('\n', f);
    fputs(text.c_str(), f);
  }
  fflush(f);
  remember(text.c_str());
  haveheld = false;
  held.clear();
  lastwrite = now();
}

void registerfinish() {
  if (finishregistered) return;
  finishregistered = true;
  atexit(console_finish);
}
}  // namespace

void console_line(const char* text) {
  if (!text) return;
  console_finish();
  FILE* f = out();
  fprintf(f, "\n%s", text);
  fflush(f);
  remember(text);
  lastwrite = now();
}

void console_update(const char* text) {
  if (!text) return;
  FILE* f = out();
  switch (form()) {
    case ConsoleForm::Terminal:
    case ConsoleForm::Blanks: {
      fprintf(f, "\r%s", text);
      std::string line = lastline(text);
      size_t cols = columns(line);
      if (form() == ConsoleForm::Terminal && f == stdout) {
        fflush(f);
        platform_clreol();
      } else {
        for (size_t i = cols; i < writtencolumns; i++) fputc(' ', f);
      }
      fflush(f);
      written = line;
      writtencolumns = cols;
      break;
    }
    case ConsoleForm::Log:
      registerfinish();
      if (text == written && !haveheld) return;
      if (now() - lastwrite >= CONSOLE_LOGINTERVAL) {
        logwrite(text);
      } else {
        held = text;
        haveheld = true;
      }
      break;
  }
}

void console_finish() {
  if (!haveheld) return;
  std::string text = held;
  if (text == written) {
    haveheld = false;
    held.clear();
    return;
  }
  logwrite(text);
}

void console_setoutput(FILE* f, ConsoleForm fm) {
  haveheld = false;
  held.clear();
  chosen = f;
  chosenform = fm;
  written.clear();
  writtencolumns = 0;
  lastwrite = -1e300;
}

void console_setclock(double (*clock)()) {
  clockfn = clock;
}
