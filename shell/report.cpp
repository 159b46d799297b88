// The program's front of the report channel (see report.h): showing messages in the three
// display modes, the "[FATAL]" and "[WARNING]" handling, the graphics-mode history, the
// console helpers, the graphics error log and the non-blocking message
// box. Owns the history texts and the waved warnings for the life of the process.
// Main thread only (AsyncMessageBox's thread touches nothing but its own copies).
#include "shell/report.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "base/text.h"
#include "display/console.h"
#include "display/terminal.h"
#include "shell/runstate.h"

namespace {
ReportAnswerSource answersource = nullptr;
void* answercontext = nullptr;
void (*exithook)() = nullptr;
FILE* output = nullptr;  // nullptr: stdout
void (*boxfunction)(const char*, const char*) = nullptr;

char* history[20] = {};
std::vector<std::string> waved;  // whole warning texts answered with "These"
bool allwarnings = false;

char datetimebuffer[KVT_BUFSIZE];  // the last text built by newlogsection, gwarn, gerror

FILE* out() {
  return output ? output : stdout;
}

void showbox(const char* text, const char* title) {
  (boxfunction ? boxfunction : platform_messagebox)(text, title);
}

// Graphics mode without an active terminal display shows messages as the console does.
bool printsasconsole() {
  return displaymode == 1 || (displaymode == 0 && !display_active());
}

void consoleline(const char* message) {
  console_line(message);
}

void consolerewrite(const char* message) {
  console_update(message);
}

void runexithook() {
  void (*hook)() = exithook;
  exithook = nullptr;
  if (hook) hook();
}

[[noreturn]] void reportexit(int code) {
  runexithook();
  display_release();  // restores the terminal when the panel display is active
  console_finish();
  if (printsasconsole()) fputc('\n', out());  // the shell's prompt starts on its own line
  fflush(out());
  fflush(stdout);
  exit(code);
}

void historypush(const char* message) {
  free(history[0]);
  memmove(history, history + 1, 19 * sizeof history[0]);
  history[19] = strdup(message);
}

bool iswaved(const char* message) {
  if (allwarnings) return true;
  for (const std::string& w : waved)
    if (equalnocase(w.c_str(), message)) return true;
  return false;
}

// One answer key, or −1 when none can be had.
int readanswer() {
  if (answersource) return answersource(answercontext);
  if (displaymode == 0) {
    // Graphics: the typed-key queue, polling the keyboard while it is empty. The view's keys
    // (y, x, space …) are answers while the question waits, not view commands.
    display_answering(true);
    for (;;) {
      int k = display_takekey();
      if (k >= 0) {
        display_answering(false);
        return k;
      }
      if (!display_haskeys()) break;  // nothing could fill the queue: ask the terminal
      if (dealwithmessages()) {
        display_answering(false);
        return -1;  // the user is ending the program
      }
      platform_sleep(20);
    }
    display_answering(false);
  }
  return platform_getkey();
}

void askaboutwarning(const char* message) {
  report("Continue (Y/N/These/All)? ");
  int k = readanswer();
  k = lc(k);
  if (k == 't') {
    report("These");
    waved.emplace_back(message);
  } else if (k == 'a') {
    report("All");
    allwarnings = true;
  } else if (k == 'y') {
    report("Y");
  } else {
    report("N");
    reportexit(2);
  }
}

}  // namespace

// ---- seams ----


void report_setanswersource(ReportAnswerSource source, void* context) {
  answersource = source;
  answercontext = context;
}

void report_resetwarnings() {
  waved.clear();
  allwarnings = false;
}

void report_setexithook(void (*hook)()) {
  exithook = hook;
}

void report_setoutput(FILE* f) {
  output = f;
  console_setoutput(f, ConsoleForm::Blanks);
}

void report_setmessagebox(void (*box)(const char*, const char*)) {
  boxfunction = box;
}

// ---- the channel ----

void report_installfront() {
  display_sethistory(history);
  report_setfront(report_front, nullptr);
}

void report_front(const char* message, int isupdate, void*) {
  if (!message) return;
  if (isupdate) {
    if (displaymode == 0) {
      free(history[19]);
      history[19] = strdup(message);
      reports_plot();
    }
    if (printsasconsole()) consolerewrite(message);
    return;
  }
  if (displaymode == 0) {
    historypush(message);
    reports_plot();
  }
  if (printsasconsole()) consoleline(message);

  if (report_isfatal(message)) {
    if (displaymode == 2) {
      platform_setmessagelog(true);
      showbox(message, "Ordax Error");
    } else if (displaymode == 0 && display_active()) {
      for (int i = 0; i < 7; i++) {  // keep the message on the panel for 3.5 s
        platform_sleep(500);
        dealwithmessages();
      }
      runexithook();
      display_release();
      // The panel is gone with the alternate screen; leave the reason on the terminal.
      fputs(message, out());
    }
    reportexit(1);
  }
  if (report_iswarning(message)) {
    if (iswaved(message)) return;
    if (displaymode == 2) {  // no one to ask: the warning goes to "messages.log"
      platform_setmessagelog(true);
      showbox(message, "Ordax Warning");
      return;
    }
    askaboutwarning(message);
  }
}

char** reports_initialise() {
  for (char*& slot : history) {
    free(slot);
    slot = nullptr;
  }
  return history;
}

char** reports_history() {
  return history;
}

void reports_plot() {
  if (!display_active()) return;
  display_drawreports(history);
  dealwithmessages();
}

// ---- console ----

void gotoxy(int x, int y) {
  platform_gotoxy(x, y);
}

void clreol() {
  platform_clreol();
}

void clrscr() {
  platform_clrscr();
}

// ---- logs and message boxes ----

void gwarn(const char* message) {
  FILE* f = fopen("graphics_error.log", "a");
  if (!f) return;
  fprintf(f, "%s %s\n", kvtdatetime(KVT_NOTIME, datetimebuffer), message ? message : "");
  fclose(f);
}

void gerror(const char* message) {
  gwarn(message);
  showbox(message ? message : "", "Oh sod it");
  runexithook();
  display_release();
  reportexit(1);
}

int newlogsection(FILE* log) {
  if (!log) return -1;
  return fprintf(log, "\n---------- Started %s ----------\n",
                 kvtdatetime(KVT_NOTIME, datetimebuffer));
}

void AsyncMessageBox(const char* text, const char* title) {
  std::string t = text ? text : "", ti = title ? title : "";
  void (*box)(const char*, const char*) = boxfunction ? boxfunction : platform_messagebox;
  try {
    std::thread([t, ti, box] { box(t.c_str(), ti.c_str()); }).detach();
  } catch (...) {
    box(t.c_str(), ti.c_str());  // no thread to be had: show it here rather than lose it
  }
}

