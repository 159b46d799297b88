// The report channel: every user-visible message goes through report()/reportupdate().
// "[FATAL]" in a message ends the program (exit code 1); "[WARNING]" asks whether to go on
// (declining exits with code 2). Also the console helpers, date/time texts for logs and file
// names, the graphics error log and the non-blocking message box. Owns the graphics-mode
// history (20 heap texts), the waved warnings and the typed-key queue for the whole process.
// Called from the main thread only; a few messages per run plus progress updates.
#pragma once

#include <cstdint>
#include <cstdio>

// Shows a message in the present display mode (displaymode in shell/runstate.h):
//   graphics (0): the message becomes the newest line of the 20-line history and the panel
//     is redrawn; with no terminal display active (stdout not a terminal) it is also printed
//     as in console mode;
//   console (1): printed as "\n%s" (the cursor stays at the end of the line);
//   background (2): not shown.
// "[FATAL]" anywhere in the text ends the process with exit code 1 (background: a message box
// titled "Ordax Error" first; graphics: the message stays on the panel for 3.5 s). A text
// with "[WARNING]" asks "Continue (Y/N/These/All)? " unless the user has waved it; anything
// but y/t/a (or no answer at all) exits with code 2. A text with both markers is fatal.
// A null message does nothing. With a sink set (report_setsink) none of this happens.
void report(const char* message);
// Replaces the newest line: graphics: history slot 19, then redraw; console: "\r%s" and the
// rest of the line blanked; background: nothing. Severity markers are not looked at.
void reportupdate(const char* message);
// printf-style conveniences: format into a 4 kB buffer, then report / reportupdate.
void reportf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void reportupdatef(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The graphics-mode history: 20 slots, slot 0 oldest, slot 19 newest, each a heap copy owned
// by the history or null.
char** reports_initialise();  // empties the history (freeing its texts); returns it
char** reports_history();     // the present history (exists from the start, all empty)
void reports_plot();          // draws the history panel when the terminal display is active

void gotoxy(int x, int y);  // 1-based column and row of standard output
void clreol();              // blanks from the cursor to the end of the line; cursor stays
void clrscr();              // blanks the screen, cursor to the top left

// Appends "%s %s\n" (local "yyyy-MMM-dd HH:mm:ss", message) to "graphics_error.log".
// A log that cannot be opened is skipped silently.
void gwarn(const char* message);
// gwarn, then a message box titled "Oh sod it", restores the terminal, exits with code 1.
[[noreturn]] void gerror(const char* message);
// Writes "\n---------- Started %s ----------\n" with the present local date and time.
// Returns the fprintf result (bytes written, negative on error; −1 for a null log).
int newlogsection(FILE* log);
// Shows a message box on a new detached thread and returns at once. The texts are copied, so
// the caller's buffers may change or die as soon as the call returns. Null texts count as "".
void AsyncMessageBox(const char* text, const char* title);

// ---- times ----
// A time t is seconds since 1970-01-01 00:00 UTC; a file time counts 100 ns since 1601.
// Calendar record of a file time (UTC); month 1..12, dayofweek 0 = Sunday.
struct SystemTime {
  uint16_t year, month, dayofweek, day, hour, minute, second, milliseconds;
};
// (t + 11644473600) × 1e7 in extended precision, split into floored high and low 32-bit
// halves. NaN or a time before 1601 gives 0; a time past the 64-bit range gives UINT64_MAX.
uint64_t MakeFileTime(double t);
void MakeSystemTime(double t, SystemTime* out);
SystemTime systemtime_fromfiletime(uint64_t ft);
// The value of t that means "no time": the formatters then show the present local time.
constexpr double KVT_NOTIME = -9e99;
// Date/time texts: out must hold KVT_BUFSIZE bytes; each returns out. A t of KVT_NOTIME or NaN
// formats the present local time; any other t is shown as UTC (no zone shift).
enum { KVT_BUFSIZE = 40 };
char* kvtdatetime(double t, char* out);                  // "2026-Dec-06 21:40:00"
char* kvtdatetime_fromfiletime(uint64_t ft, char* out);  // the same from a file time
char* kvtdate(double t, char* out);                      // "2026-Dec-06"
char* kvttime(double t, char* out);                      // "21:40:00"
// Short duration text ("500.0 ns", "12.50 us", "2.000 ms") in one of 10 static buffers used
// in turn: a result stays valid until ten more calls.
const char* timefmt(double seconds);
// Byte count text ("1023 bytes", "1.5 KB", "3.25 MB", "1.000 GB"); out holds 16 bytes.
char* printbytes(unsigned n, char* out);

// ---- seams for tests and for the terminal display ----
// A sink receives every message instead of the screen. With a sink set, report() does not
// exit on "[FATAL]" nor ask on "[WARNING]": the sink sees the text and the caller goes on to
// its own failure return, so tests can check the exact message. nullptr removes the sink.
using ReportSink = void (*)(const char* message, int isupdate, void* context);
void report_setsink(ReportSink sink, void* context);
// The source of answers to "[WARNING]" questions (default: the terminal in console mode, the
// typed-key queue in graphics mode). Returns a character, or −1 when no answer can be had
// (which counts as "N"). nullptr restores the default.
using ReportAnswerSource = int (*)(void* context);
void report_setanswersource(ReportAnswerSource source, void* context);
// Forgets waved warnings and the all-warnings flag (tests).
void report_resetwarnings();
// The typed-key queue of graphics mode: the display appends keys (1..255), report() takes
// them from the front. report_takekey returns the first key, or −1 when the queue is empty.
void report_pushkey(int key);
int report_takekey();
// Called once just before the process exits through report() or gerror() (the terminal
// display uses it to restore the terminal). nullptr removes it.
void report_setexithook(void (*hook)());
// Where console-form text goes (nullptr: stdout). When it is not a terminal, the rest of a
// rewritten line is blanked with spaces instead of a terminal escape.
void report_setoutput(FILE* out);
// The message box used by report, gerror and AsyncMessageBox (nullptr: platform_messagebox).
void report_setmessagebox(void (*box)(const char* text, const char* title));
