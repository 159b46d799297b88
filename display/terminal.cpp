// The terminal display of graphics mode (see terminal.h): the report panel, notice and status
// line drawn with ANSI escapes on the alternate screen, key polling into the report channel's
// typed-key queue, and the quit-signal handler. Owns the terminal modes it changes (restored
// by display_release on every exit path). Main thread; redraws at each report and status
// update (at most about 20 a second), each a few kilobytes of output.
#include "display/terminal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "base/platform.h"

namespace {
bool active = false;
FILE* dout = nullptr;
int fixedcols = 0, fixedrows = 0;  // 0: ask the terminal
int drawncols = -1, drawnrows = -1;
bool platformkeys = false;          // the key source is the terminal in raw mode
bool atexitregistered = false;
std::string statustext, noticetext;
int (*keysource)(void*) = nullptr;
void* keycontext = nullptr;
bool (*keyfilter)(int, void*) = nullptr;  // the side view's keys
void* filtercontext = nullptr;
std::vector<std::string> viewlines;  // the side view above the panel, or none
int rowoffset = 0;                   // rows the panel layout is moved down by
std::deque<unsigned char> keyqueue;  // typed keys not yet taken
char* const* history = nullptr;      // the report history drawn in the panel (not owned)
DisplaySurface surface{};            // the window, when one is set (surface.redraw != nullptr)
int answering = 0;                   // report questions waiting for their answer

bool hassurface() {
  return surface.redraw != nullptr;
}

const char* const kEnter = "\x1b[?1049h\x1b[?25l\x1b[0m\x1b[2J";
const char* const kLeave = "\x1b[0m\x1b[?25h\x1b[?1049l";
const char* const kPanelText = "\x1b[0;97;40m";  // bright white on black
const char* const kRule = "\x1b[0;44m";          // dark blue band
const char* const kNotice = "\x1b[0;93m";        // yellow
const char* const kPlain = "\x1b[0m";

int platformkey(void*) {
  return platform_pollkey();
}

void terminalsize(int& cols, int& rows) {
  cols = fixedcols > 0 ? fixedcols : platform_terminal_columns();
  rows = fixedrows > 0 ? fixedrows : platform_terminal_rows();
}

void emit(const std::string& s) {
  if (!dout) return;
  fwrite(s.data(), 1, s.size(), dout);
  fflush(dout);
}

void moveto(std::string& s, int row) {  // row 0-based, column 1
  s += "\x1b[" + std::to_string(row + rowoffset + 1) + ";1H";
}

// A message as it may be shown on one row: up to its first line break, control characters
// as blanks, bytes that are not well-formed UTF-8 (and C1 controls) as '?', at most maxcols
// columns. Returns the bytes; *width receives the columns used.
std::string fittext(const char* text, int maxcols, int* width) {
  std::string r;
  int w = 0;
  const unsigned char* p = (const unsigned char*)(text ? text : "");
  while (*p && *p != '\n' && *p != '\r' && w < maxcols) {
    unsigned c = *p;
    int more = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xC2 && c <= 0xDF ? 1 : 0;
    if (c < 0x80) {
      r += (c < 0x20 || c == 0x7F) ? ' ' : (char)c;
      p++;
    } else if (more == 0) {
      r += '?';
      p++;
    } else {
      bool ok = true;
      for (int i = 1; i <= more && ok; i++)
        if ((p[i] & 0xC0) != 0x80) ok = false;
      if (!ok) {
        r += '?';
        p++;
      } else if (c == 0xC2 && p[1] < 0xA0) {  // U+0080..U+009F: C1 controls
        r += '?';
        p += 2;
      } else {
        r.append((const char*)p, more + 1);
        p += more + 1;
      }
    }
    w++;
  }
  *width = w;
  return r;
}

// One full row of cols cells: the text centred in the given colours.
void centredrow(std::string& s, int row, int cols, const char* colours, const char* text) {
  int w;
  std::string t = fittext(text, cols, &w);
  int left = (cols - w) / 2;
  moveto(s, row);
  s += colours;
  s.append(left, ' ');
  s += t;
  s.append(cols - w - left, ' ');
}

void statusrow(std::string& s, const char* text, int cols, int rows) {
  int w;
  moveto(s, rows - 1);
  s += kPlain;
  s += fittext(text, std::max(cols - 1, 0), &w);  // never the last cell: it would scroll
  s += "\x1b[K";
}

// Draws the whole screen; clears it first when forced or when the terminal changed size.
void redraw(char* const* history, bool force) {
  if (!active) return;
  if (hassurface()) {
    surface.redraw(surface.context);
    return;
  }
  int cols, rows;
  terminalsize(cols, rows);
  std::string s;
  if (force || cols != drawncols || rows != drawnrows) s = std::string(kPlain) + "\x1b[2J";
  drawncols = cols;
  drawnrows = rows;
  // The side view takes the upper rows (never more than leaves the panel 8 rows).
  int vh = std::min((int)viewlines.size(), std::max(0, rows - 8));
  for (int r = 0; r < vh; r++) {
    moveto(s, r);
    s += viewlines[r];
  }
  rowoffset = vh;
  s += display_render(history, noticetext.c_str(), statustext.c_str(), cols, rows - vh);
  rowoffset = 0;
  emit(s);
}

void begin() {
  active = true;
  drawncols = drawnrows = -1;
  emit(kEnter);
  if (!atexitregistered) {
    atexitregistered = true;
    atexit(display_release);
  }
  redraw(history, true);
}

void onquitsignal() {
  simstop = 2;
}
}  // namespace

std::string display_render(char* const* history, const char* notice, const char* status,
                           int cols, int rows) {
  cols = std::max(cols, 1);
  rows = std::max(rows, 1);
  int avail = rows - 1;                        // the last row is the status line
  int shown = std::min(20, avail - 2);         // history lines that fit between the rules
  bool panel = shown >= 1;
  int height = panel ? shown + 2 : 0;
  int top = panel ? (avail - height) / 2 : avail;  // row of the upper rule

  std::vector<std::string> noticelines;
  for (const char* p = notice ? notice : ""; *p && noticelines.size() < 3;) {
    const char* nl = strchr(p, '\n');
    size_t n = nl ? (size_t)(nl - p) : strlen(p);
    noticelines.emplace_back(p, n);
    p += n + (nl ? 1 : 0);
  }
  int nnotice = std::min((int)noticelines.size(), top);

  std::string s;
  for (int r = 0; r < avail; r++) {
    if (panel && (r == top || r == top + height - 1)) {
      moveto(s, r);
      s += kRule;
      s.append(cols, ' ');
    } else if (panel && r > top && r < top + height - 1) {
      const char* text = history ? history[20 - shown + (r - top - 1)] : nullptr;
      centredrow(s, r, cols, kPanelText, text && text[0] != '\n' ? text : "");
    } else if (r >= top - nnotice && r < top) {
      centredrow(s, r, cols, kNotice, noticelines[r - (top - nnotice)].c_str());
    } else {
      moveto(s, r);
      s += kPlain;
      s += "\x1b[K";
    }
  }
  statusrow(s, status, cols, rows);
  s += kPlain;
  return s;
}

bool display_init(int mode) {
  if (mode == 2) {
    platform_setmessagelog(true);
    return false;
  }
  if (mode != 0) return false;
  if (active) return true;
  if (!platform_stdout_isterminal()) return false;
  dout = stdout;
  fixedcols = fixedrows = 0;
  if (platform_stdin_isterminal()) {
    platform_rawmode(true);
    keysource = platformkey;
    keycontext = nullptr;
    platformkeys = true;
  }
  begin();
  return true;
}

void display_attach(FILE* out, int cols, int rows) {
  display_release();
  dout = out;
  fixedcols = cols;
  fixedrows = rows;
  begin();
}

void display_release() {
  if (!active) return;
  if (hassurface()) {
    DisplaySurface s = surface;
    surface = DisplaySurface{};
    keysource = nullptr;
    active = false;
    if (s.release) s.release(s.context);
    return;
  }
  emit(kLeave);
  active = false;
  dout = nullptr;
  if (platformkeys) {
    platform_rawmode(false);
    platformkeys = false;
    keysource = nullptr;
  }
}

bool display_active() {
  return active;
}

void display_setkeysource(int (*source)(void*), void* context) {
  keysource = source;
  keycontext = context;
  platformkeys = false;
}

bool display_haskeys() {
  return keysource != nullptr;
}

void display_wait(uint32_t ms) {
  if (simstop == 2) return;
  if (hassurface()) {
    surface.wait(ms, surface.context);
    return;
  }
  platform_waitkey(ms, platformkeys);
}

int dealwithmessages() {
  // A bounded number of keys per call, so a flood of input cannot hold the frame up.
  for (int n = 0; keysource && n < 256; n++) {
    int k = keysource(keycontext);
    if (k < 0) break;
    if (k == 27) {
      int next = keysource(keycontext);
      if (next == '[' || next == 'O') {
        // The sequence of an arrow or function key: skip to its final byte.
        int c;
        do c = keysource(keycontext);
        while (c >= 0 && !(c >= 0x40 && c <= 0x7E));
        continue;
      }
      simstop = 2;  // Escape by itself (or followed by another key)
      if (next < 0) break;
      k = next;
    }
    if (k == 'q') simstop = 2;
    else if (answering > 0 || !(keyfilter && keyfilter(k, filtercontext))) display_pushkey(k);
  }
  if (active && !hassurface()) {
    int cols, rows;
    terminalsize(cols, rows);
    if (cols != drawncols || rows != drawnrows) redraw(history, true);
  }
  return simstop == 2;
}

void display_pushkey(int key) {
  if (key >= 1 && key <= 255) keyqueue.push_back((unsigned char)key);
}

int display_takekey() {
  if (keyqueue.empty()) return -1;
  int k = keyqueue.front();
  keyqueue.pop_front();
  return k;
}

void display_sethistory(char* const* reports) {
  history = reports;
}

void display_drawreports(char* const* reports) {
  history = reports;
  redraw(history, false);
}

void display_status(const char* text) {
  statustext = text ? text : "";
  if (!active) return;
  if (hassurface()) {
    surface.redraw(surface.context);
    return;
  }
  int cols, rows;
  terminalsize(cols, rows);
  if (cols != drawncols || rows != drawnrows) {
    redraw(history, true);
    return;
  }
  std::string s;
  statusrow(s, statustext.c_str(), cols, rows);
  emit(s);
}

void display_notice(const char* text) {
  noticetext = text ? text : "";
  redraw(history, false);
}

void installquitsignals() {
  platform_onquitsignal(onquitsignal);
}

void display_setkeyfilter(bool (*filter)(int key, void* context), void* context) {
  keyfilter = filter;
  filtercontext = context;
}

void display_view(const std::vector<std::string>& lines) {
  viewlines = lines;
  redraw(history, false);
}

void display_setsurface(const DisplaySurface* s) {
  if (!s) {
    if (hassurface()) {
      surface = DisplaySurface{};
      keysource = nullptr;
      active = false;
    }
    return;
  }
  display_release();
  surface = *s;
  keysource = s->key;
  keycontext = s->context;
  platformkeys = false;
  active = true;
  if (!atexitregistered) {
    atexitregistered = true;
    atexit(display_release);
  }
}

char* const* display_history() {
  return history;
}

const std::string& display_noticetext() {
  return noticetext;
}

const std::string& display_statustext() {
  return statustext;
}

void display_answering(bool on) {
  answering += on ? 1 : -1;
  if (answering < 0) answering = 0;
}

int display_rawkey() {
  return keysource ? keysource(keycontext) : -1;
}
