// The report channel: every user-visible message goes through report()/reportupdate().
// "[FATAL]" in a message ends the program (exit code 1); "[WARNING]" asks whether to go on.
// Also the console helpers, date/time texts for logs and file names, the graphics error log
// and the non-blocking message box. Called from the main thread only.
#pragma once

#include <cstdint>
#include <cstdio>

void report(const char* message);
void reportupdate(const char* message);
// printf-style conveniences: format into a buffer, then report / reportupdate.
void reportf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void reportupdatef(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

char** reports_initialise();  // a new 20-slot history, all empty (graphics mode)
char** reports_history();     // the present history (created on first use)
void reports_plot();          // draws the history panel (terminal display)

void gotoxy(int x, int y);
void clreol();
void clrscr();

void gwarn(const char* message);
void gerror(const char* message);
int newlogsection(FILE* log);
void AsyncMessageBox(const char* text, const char* title);

uint64_t MakeFileTime(double t);
char* kvtdatetime(double t, char* out);
char* kvtdatetime_fromfiletime(uint64_t ft, char* out);
char* kvtdate(double t, char* out);
char* kvttime(double t, char* out);
const char* timefmt(double seconds);
char* printbytes(unsigned n, char* out);

// ---- seams for tests and for the terminal display ----
// A sink receives every message instead of the screen. With a sink set, report() does not
// exit on "[FATAL]" nor ask on "[WARNING]": the sink sees the text and the caller goes on to
// its own failure return, so tests can check the exact message.
using ReportSink = void (*)(const char* message, int isupdate, void* context);
void report_setsink(ReportSink sink, void* context);
// The source of answers to "[WARNING]" questions (default: the terminal in console mode, the
// typed-key queue in graphics mode). Returns a character, or −1 when no answer can be had.
using ReportAnswerSource = int (*)(void* context);
void report_setanswersource(ReportAnswerSource source, void* context);
// Forgets waved warnings and the all-warnings flag (tests).
void report_resetwarnings();
// The typed-key queue of graphics mode: the display appends keys, report() takes them.
void report_pushkey(int key);
// Called just before the process exits through report() (restores the terminal).
void report_setexithook(void (*hook)());
