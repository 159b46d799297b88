// The report channel: every user-visible message goes through report()/reportupdate(). This
// layer only routes a message; what a message does is decided by whoever listens: a test's
// sink, or the front the program installs (shell/report.h shows it in the display mode, ends
// the process on "[FATAL]" and asks on "[WARNING]"). Library code therefore always reports
// and then returns its own failure value. With no listener a message is printed on stderr.
// Holds two function pointers for the whole process; a few messages per run plus progress.
#pragma once

// Sends a message: to the sink when one is set, else to the front, else to stderr as
// "\n%s". A null message does nothing.
void report(const char* message);
// Replaces the newest line (progress): the same routing with isupdate = 1.
void reportupdate(const char* message);
// printf-style conveniences: format into a 4 kB buffer, then report / reportupdate.
void reportf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void reportupdatef(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A listener receives the text and whether it replaces the newest line.
using ReportSink = void (*)(const char* message, int isupdate, void* context);
// The capture seam: a sink receives every message instead of the front, so tests can check the
// exact text while the reporting code goes on to its failure return. nullptr removes it.
void report_setsink(ReportSink sink, void* context);
// The program's front (installed once by the shell at start-up). nullptr removes it.
void report_setfront(ReportSink front, void* context);

// Holds back warnings on the calling thread: while on, a message carrying "[WARNING]" is
// counted instead of sent (a "[FATAL]" one still goes). For reading untrusted files of many
// records, where one summary line is worth more than a question per record. Calls nest; the
// count starts at the outermost on. Returns the number held back so far.
int report_holdwarnings(bool on);

// 1 when the text carries the fatal marker "[FATAL]", else 0 (also for none).
int report_isfatal(const char* message);
// 1 when the text carries "[WARNING]", else 0 (also for none).
int report_iswarning(const char* message);
