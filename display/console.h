// Console text: the lines of the report channel in console form and the progress line that
// rewrites the newest of them. On a terminal a rewrite returns to the start of the line and
// blanks what is left of the old text. On a log file or a pipe that would pile every rewrite
// onto one endless line, so there the output is kept to whole lines: a rewrite is written at
// most once per interval (5 s), a rewrite that only adds to the text already written adds
// just the new part, and the last rewrite held back is written when the next line starts or
// the program ends. Owns the output's state for the life of the process; main thread only.
#pragma once

#include <cstdio>

// A new line: "\n" and the text (the cursor stays at its end, so that a rewrite can follow).
void console_line(const char* text);
// Replaces the newest line with `text` (progress counters, "Loading ... OK").
void console_update(const char* text);
// Writes a rewrite still held back (log form); called before the program ends.
void console_finish();

// How rewrites reach the output.
enum class ConsoleForm {
  Terminal,  // "\r", the text, then the terminal's erase-to-end-of-line
  Blanks,    // "\r", the text, then blanks over the rest of the old text
  Log,       // whole lines, at most one rewrite per interval (see above)
};
// Sends console text to `out` in `form`; nullptr: standard output, in the Terminal form when
// it is a terminal and the Log form otherwise. Forgets the line written so far.
void console_setoutput(FILE* out, ConsoleForm form);
// The clock of the Log form's interval (seconds); nullptr: the process's steady clock.
void console_setclock(double (*clock)());
// Seconds between the rewrites written in the Log form.
constexpr double CONSOLE_LOGINTERVAL = 5.0;
