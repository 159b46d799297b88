// The terminal display of graphics mode: on a terminal it takes the alternate screen in raw
// mode and draws the 20-line report panel (centred, white on a black band, dark-blue rules
// above and below), an optional yellow notice above it and a status line at the bottom.
// Keys: Escape or 'q' ends the program (simstop = 2, base/platform.h); other keys go to the
// typed-key queue, which the program's report front reads for its answers. Also the quit
// signals. Owns the terminal state it changes (restored on every exit path) and the typed-key
// queue; draws a report history owned by its caller. Called from the main thread: once per
// frame by the cycle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Prepares the display for display mode `mode`; call once after the switches are known (and
// again if the mode changes).
//   0 graphics: with stdout a terminal, enters the alternate screen (raw keys when stdin is a
//     terminal), hides the cursor, draws the panel and returns true. Without a terminal it
//     does nothing and report() prints as in console mode.
//   1 console: nothing.
//   2 background: message boxes are appended to "messages.log" from now on.
// Returns whether the panel display is active.
bool display_init(int mode);
// Restores the terminal (colours, cursor, alternate screen, raw mode) if the display is
// active; otherwise does nothing. Idempotent. Also run by the program's exits through the
// report front and at exit.
void display_release();
bool display_active();

// Reads every waiting key: Escape (alone) or 'q' sets simstop = 2; the escape sequences of
// arrow and function keys are skipped; any other key is appended to the typed-key queue.
// Follows a change of the terminal's size. Returns non-zero when the user wants to stop
// (simstop == 2, which the quit signals also set), in every display mode. Never blocks.
int dealwithmessages();
// Whether dealwithmessages has a key source that a waiting report() may poll.
bool display_haskeys();
// Waits for the next frame of a display with nothing to advance: up to `ms` milliseconds,
// returning early when a key is pressed on the terminal or the user ends the program (a quit
// signal; at once when simstop is already 2).
void display_wait(uint32_t ms);

// The typed-key queue: dealwithmessages appends keys (1..255); display_takekey returns the
// first key and removes it, or −1 when the queue is empty.
void display_pushkey(int key);
int display_takekey();

// The report history the panel shows (20 slots, slot 19 newest; an empty slot or one
// starting with a newline is a blank line); the caller keeps it alive. None: an empty panel.
void display_sethistory(char* const* history);
// Makes `history` the panel's history and draws it. Called by reports_plot; draws nothing when
// the display is not active.
void display_drawreports(char* const* history);
// The status line at the bottom of the screen (e.g. "t = 1.23ns (500/1000 particles) 4.5
// Mpts"); kept and redrawn with the panel. Does nothing visible when not active.
void display_status(const char* text);
// A notice of up to three lines ('\n'-separated) shown in yellow just above the panel (e.g.
// the new-version message); null or "" removes it.
void display_notice(const char* text);

// The side view: rows of text (with colour escapes, each exactly as wide as the terminal)
// drawn above the panel, which moves down and keeps the rows left (at least 8); an empty list
// removes it. Redraws the screen.
void display_view(const std::vector<std::string>& lines);
// Keys the filter takes (returns true) do not go to the typed-key queue; nullptr: none.
void display_setkeyfilter(bool (*filter)(int key, void* context), void* context);

// A drawing surface other than the terminal (the window of display/window.h). While one is
// set the display is active: the panel, notice and status changes call `redraw`, keys come
// from `key` (which also handles the surface's pending events), display_wait calls `wait`,
// and display_release calls `release` and detaches it. nullptr detaches without a release.
struct DisplaySurface {
  void (*redraw)(void* context);
  int (*key)(void* context);
  void (*wait)(uint32_t ms, void* context);
  void (*release)(void* context);
  void* context;
};
void display_setsurface(const DisplaySurface* surface);
// What the panel shows, for a surface to draw: the history (may be null), notice and status.
char* const* display_history();
const std::string& display_noticetext();
const std::string& display_statustext();

// The next key straight from the key source (no Escape or 'q' handling, no filter, no
// queue), or −1 when none is waiting; for typing text such as the user name.
int display_rawkey();

// Asking: while a report question waits for its answer (answering > 0), the key filter is
// bypassed, so the view's keys ('y', 'x', space …) reach the answer. Nested calls count.
void display_answering(bool on);

// Ctrl-C, SIGTERM and SIGHUP set simstop = 2 (the handler does nothing else); the run then
// ends through the normal quit path. Call once at start-up, in every display mode.
void installquitsignals();

// ---- seams for tests ----
// Attaches the display to a stream with a fixed size instead of the terminal (no raw mode).
// display_release() detaches it again.
void display_attach(FILE* out, int cols, int rows);
// Replaces the key source (returns a key byte, or −1 when none is waiting); nullptr: none.
void display_setkeysource(int (*source)(void* context), void* context);
// The whole screen as terminal escapes for a cols × rows terminal: every row is written in
// full, so it can be drawn over anything. Pure; what display_drawreports writes.
std::string display_render(char* const* history, const char* notice, const char* status,
                           int cols, int rows);
