// The program's front of the report channel (base/report.h): shows each message in the
// present display mode, ends the process on "[FATAL]" (exit code 1) and asks on "[WARNING]"
// (declining exits with code 2). Also the graphics error log and the non-blocking message
// box. Owns the graphics-mode history (20 heap texts) and the waved warnings for the whole
// process; answers in graphics mode come from the display's typed-key queue. Main thread
// only; a few messages per run plus progress.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/report.h"
#include "base/timetext.h"

// Installs the front below as the channel's listener (the program does this at start-up).
void report_installfront();
// The front: shows a message in the present display mode (displaymode in shell/runstate.h):
//   graphics (0): the message becomes the newest line of the 20-line history and the panel
//     is redrawn; with no terminal display active (stdout not a terminal) it is also printed
//     as in console mode;
//   console (1): printed as "\n%s" (the cursor stays at the end of the line);
//   background (2): not shown.
// "[FATAL]" anywhere in the text ends the process with exit code 1 (background: a message box
// titled "Ordax Error" first; graphics: the message stays on the panel for 3.5 s). A text
// with "[WARNING]" asks "Continue (Y/N/These/All)? " unless the user has waved it; anything
// but y/t/a (or no answer at all) exits with code 2. A text with both markers is fatal.
// An update (isupdate) replaces the newest line: graphics: history slot 19, then redraw;
// console: "\r%s" and the rest of the line blanked; background: nothing. Severity markers
// are not looked at in updates.
void report_front(const char* message, int isupdate, void* context);

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

// ---- seams for tests and for the terminal display ----
// The source of answers to "[WARNING]" questions (default: the terminal in console mode, the
// typed-key queue in graphics mode). Returns a character, or −1 when no answer can be had
// (which counts as "N"). nullptr restores the default.
using ReportAnswerSource = int (*)(void* context);
void report_setanswersource(ReportAnswerSource source, void* context);
// Forgets waved warnings and the all-warnings flag (tests).
void report_resetwarnings();
// Called once just before the process exits through report() or gerror() (before the
// terminal display is restored). nullptr removes it.
void report_setexithook(void (*hook)());
// Where console-form text goes (nullptr: stdout). When it is not a terminal, the rest of a
// rewritten line is blanked with spaces instead of a terminal escape.
void report_setoutput(FILE* out);
// The message box used by report, gerror and AsyncMessageBox (nullptr: platform_messagebox).
void report_setmessagebox(void (*box)(const char* text, const char* title));
