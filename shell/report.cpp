// The report channel (see report.h): showing messages in the three display modes, the
// "[FATAL]" and "[WARNING]" handling, the graphics-mode history and typed-key queue, the
// console helpers, date and time texts, the graphics error log and the non-blocking message
// box. Owns the history texts and the waved warnings for the life of the process.
// Main thread only (AsyncMessageBox's thread touches nothing but its own copies).
#include "shell/report.h"

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "base/platform.h"
#include "display/terminal.h"
#include "shell/runstate.h"

namespace {
ReportSink sink = nullptr;
void* sinkcontext = nullptr;
ReportAnswerSource answersource = nullptr;
void* answercontext = nullptr;
void (*exithook)() = nullptr;
FILE* output = nullptr;  // nullptr: stdout
void (*boxfunction)(const char*, const char*) = nullptr;

// Columns of text on the console line that report() last wrote; reportupdate blanks up to
// here when it cannot use a terminal escape.
size_t linecolumns = 0;

char* history[20] = {};
std::vector<std::string> waved;  // whole warning texts answered with "These"
bool allwarnings = false;
std::deque<unsigned char> keyqueue;

char datetimebuffer[KVT_BUFSIZE];  // the last text built by newlogsection, gwarn, gerror

FILE* out() {
  return output ? output : stdout;
}

void showbox(const char* text, const char* title) {
  (boxfunction ? boxfunction : platform_messagebox)(text, title);
}

// Columns a text takes on a terminal: UTF-8 continuation bytes take none.
size_t columns(const char* s, size_t n) {
  size_t c = 0;
  for (size_t i = 0; i < n; i++)
    if (((unsigned char)s[i] & 0xC0) != 0x80) c++;
  return c;
}

// Columns after the last newline of the text.
size_t lastlinecolumns(const char* s) {
  const char* nl = strrchr(s, '\n');
  const char* start = nl ? nl + 1 : s;
  return columns(start, strlen(start));
}

// Graphics mode without an active terminal display shows messages as the console does.
bool printsasconsole() {
  return displaymode == 1 || (displaymode == 0 && !display_active());
}

void consoleline(const char* message) {
  FILE* f = out();
  fprintf(f, "\n%s", message);
  fflush(f);
  linecolumns = lastlinecolumns(message);
}

void consolerewrite(const char* message) {
  FILE* f = out();
  fprintf(f, "\r%s", message);
  size_t now = lastlinecolumns(message);
  if (f == stdout && platform_stdout_isterminal()) {
    fflush(f);
    platform_clreol();
  } else {
    for (size_t i = now; i < linecolumns; i++) fputc(' ', f);
  }
  fflush(f);
  linecolumns = now;
}

void runexithook() {
  void (*hook)() = exithook;
  exithook = nullptr;
  if (hook) hook();
}

[[noreturn]] void reportexit(int code) {
  runexithook();
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

bool sametextignoringcase(const char* a, const char* b) {
  for (;; a++, b++) {
    int ca = (unsigned char)*a, cb = (unsigned char)*b;
    if (ca >= 'A' && ca <= 'Z') ca += 32;
    if (cb >= 'A' && cb <= 'Z') cb += 32;
    if (ca != cb) return false;
    if (!ca) return true;
  }
}

bool iswaved(const char* message) {
  if (allwarnings) return true;
  for (const std::string& w : waved)
    if (sametextignoringcase(w.c_str(), message)) return true;
  return false;
}

// One answer key, or −1 when none can be had.
int readanswer() {
  if (answersource) return answersource(answercontext);
  if (displaymode == 0) {
    // Graphics: the typed-key queue, polling the keyboard while it is empty.
    for (;;) {
      int k = report_takekey();
      if (k >= 0) return k;
      if (!display_haskeys()) break;  // nothing could fill the queue: ask the terminal
      if (dealwithmessages()) return -1;  // the user is ending the program
      platform_sleep(20);
    }
  }
  return platform_getkey();
}

void askaboutwarning(const char* message) {
  report("Continue (Y/N/These/All)? ");
  int k = readanswer();
  if (k >= 'A' && k <= 'Z') k += 32;
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

const char* monthname(const SystemTime& st) {
  static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return months[st.month >= 1 && st.month <= 12 ? st.month - 1 : 0];
}

void formatdate(const SystemTime& st, char* out) {
  snprintf(out, KVT_BUFSIZE, "%04d-%s-%02d", st.year, monthname(st), st.day);
}

void formattime(const SystemTime& st, char* out) {
  snprintf(out, KVT_BUFSIZE, "%02d:%02d:%02d", st.hour, st.minute, st.second);
}

void formatdatetime(const SystemTime& st, char* out) {
  snprintf(out, KVT_BUFSIZE, "%04d-%s-%02d %02d:%02d:%02d", st.year, monthname(st), st.day,
           st.hour, st.minute, st.second);
}

SystemTime presentlocal() {
  double now = platform_walltime();
  PlatformTime lt = platform_localtime(now);
  SystemTime st{};
  st.year = (uint16_t)lt.year;
  st.month = (uint16_t)lt.month;
  st.dayofweek = (uint16_t)lt.weekday;
  st.day = (uint16_t)lt.day;
  st.hour = (uint16_t)lt.hour;
  st.minute = (uint16_t)lt.minute;
  st.second = (uint16_t)lt.second;
  st.milliseconds = (uint16_t)((now - std::floor(now)) * 1000);
  return st;
}

// The calendar record a formatter shows for t.
SystemTime calendarfor(double t) {
  if (t == KVT_NOTIME || std::isnan(t)) return presentlocal();
  SystemTime st;
  MakeSystemTime(t, &st);
  return st;
}
}  // namespace

// ---- seams ----

void report_setsink(ReportSink s, void* context) {
  sink = s;
  sinkcontext = context;
}

void report_setanswersource(ReportAnswerSource source, void* context) {
  answersource = source;
  answercontext = context;
}

void report_resetwarnings() {
  waved.clear();
  allwarnings = false;
}

void report_pushkey(int key) {
  if (key >= 1 && key <= 255) keyqueue.push_back((unsigned char)key);
}

int report_takekey() {
  if (keyqueue.empty()) return -1;
  int k = keyqueue.front();
  keyqueue.pop_front();
  return k;
}

void report_setexithook(void (*hook)()) {
  exithook = hook;
}

void report_setoutput(FILE* f) {
  output = f;
  linecolumns = 0;
}

void report_setmessagebox(void (*box)(const char*, const char*)) {
  boxfunction = box;
}

// ---- the channel ----

void report(const char* message) {
  if (!message) return;
  if (sink) {
    sink(message, 0, sinkcontext);
    return;
  }
  if (displaymode == 0) {
    historypush(message);
    reports_plot();
  }
  if (printsasconsole()) consoleline(message);

  if (strstr(message, "[FATAL]")) {
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
  if (strstr(message, "[WARNING]")) {
    if (displaymode == 2 || iswaved(message)) return;
    askaboutwarning(message);
  }
}

void reportupdate(const char* message) {
  if (!message) return;
  if (sink) {
    sink(message, 1, sinkcontext);
    return;
  }
  if (displaymode == 0) {
    free(history[19]);
    history[19] = strdup(message);
    reports_plot();
  }
  if (printsasconsole()) consolerewrite(message);
}

void reportf(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  report(buf);
}

void reportupdatef(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  reportupdate(buf);
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

// ---- times ----

uint64_t MakeFileTime(double t) {
  long double v = ((long double)t + 11644473600.0L) * 1e7L;
  if (!(v >= 0)) return 0;
  if (v >= 0x1p64L) return UINT64_MAX;
  long double high = floorl(v * 0x1p-32L);
  long double low = floorl(v - high * 0x1p32L);
  return ((uint64_t)high << 32) | (uint64_t)low;
}

SystemTime systemtime_fromfiletime(uint64_t ft) {
  uint64_t secs = ft / 10000000u;
  uint64_t days1601 = secs / 86400u;
  uint32_t sod = (uint32_t)(secs % 86400u);
  // Days since 1970-01-01 to a proleptic Gregorian date (era arithmetic over 400 years).
  int64_t z = (int64_t)days1601 - 134774 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = yoe + era * 400 + (m <= 2);
  SystemTime st;
  st.year = (uint16_t)y;
  st.month = (uint16_t)m;
  st.dayofweek = (uint16_t)((days1601 + 1) % 7);  // 1601-01-01 was a Monday
  st.day = (uint16_t)d;
  st.hour = (uint16_t)(sod / 3600);
  st.minute = (uint16_t)(sod / 60 % 60);
  st.second = (uint16_t)(sod % 60);
  st.milliseconds = (uint16_t)(ft % 10000000u / 10000u);
  return st;
}

void MakeSystemTime(double t, SystemTime* out) {
  *out = systemtime_fromfiletime(MakeFileTime(t));
}

char* kvtdatetime(double t, char* out) {
  formatdatetime(calendarfor(t), out);
  return out;
}

char* kvtdatetime_fromfiletime(uint64_t ft, char* out) {
  formatdatetime(systemtime_fromfiletime(ft), out);
  return out;
}

char* kvtdate(double t, char* out) {
  formatdate(calendarfor(t), out);
  return out;
}

char* kvttime(double t, char* out) {
  formattime(calendarfor(t), out);
  return out;
}

const char* timefmt(double seconds) {
  static char buffers[10][100];
  static int next = 0;
  char* b = buffers[next];
  next = (next + 1) % 10;
  if (seconds < 1e-6) snprintf(b, 100, "%.1lf ns", seconds * 1e9);
  else if (seconds < 0.001) snprintf(b, 100, "%.2lf us", seconds * 1e6);
  else snprintf(b, 100, "%.3lf ms", seconds * 1000);
  return b;
}

char* printbytes(unsigned n, char* out) {
  // The scale factors are single-precision powers of two; the product is exact in double,
  // as it was in extended precision.
  if (n < 1024) snprintf(out, 16, "%u bytes", n);
  else if (n < 1048576) snprintf(out, 16, "%.1f KB", (double)n * (double)0x1p-10f);
  else if (n > 1073741823) snprintf(out, 16, "%.3f GB", (double)n * (double)0x1p-30f);
  else snprintf(out, 16, "%.2f MB", (double)n * (double)0x1p-20f);
  return out;
}
