// The OpenGL window (see window.h). Fixed-function OpenGL through GLFW: the machine is a mesh
// built once per run from the components' placement (tubes along their reference curve, discs
// for the apertures), the particles a point list copied from the beam each frame, the text
// the X11 misc-fixed 6×13 font drawn as one-pixel points. The scene takes the upper part of the
// window; the report panel, its notice and the status line the lower part, so that neither
// hides the other.
#include "display/window.h"

#include <cmath>

#if ORDAX_HAVE_GLFW
#include <GLFW/glfw3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/text.h"
#include "display/sideview.h"
#include "display/terminal.h"
#include "lattice/cell.h"
#include "lattice/frames.h"
#include "sim/simulation.h"
#include "sim/species.h"
#endif

bool screensaver_moved(double x, double y, int width, int height) {
  return std::hypot(x - width / 2.0, y - height / 2.0) > width / 10.0;
}

#if !ORDAX_HAVE_GLFW

bool window_built() {
  return false;
}
bool window_open(const WindowOptions&) {
  return false;
}
bool window_active() {
  return false;
}
void window_frame(const Simulation&, const SideViewState&, bool) {}
void window_clearscene() {}

#else

namespace {

#include "display/fontdata.inc"

constexpr double FRAMEGAP = 0.1;  // s: at most 10 frames a second
constexpr int LINEH = FONTH + 1;   // pixels per text line
constexpr int RULEH = 4;           // the panel's blue rules
constexpr int PANELLINES = 20;

struct Rgb {
  float r, g, b;
};

// Species colours, as on the terminal: muons red, pions green, electrons blue, protons
// magenta, anything else grey.
Rgb speciescolour(int species) {
  switch (species) {
    case MuPlus: case MuMinus: return {1.0f, 0.24f, 0.24f};
    case PiPlus: case PiMinus: return {0.24f, 0.9f, 0.24f};
    case Positron: case Electron: return {0.31f, 0.55f, 1.0f};
    case Proton: case AntiProton: return {0.9f, 0.31f, 0.9f};
    default: return {0.75f, 0.75f, 0.75f};
  }
}

// A component's colour by its type; none (alpha 0) for drifts, which show only as rings.
struct Look {
  Rgb colour;
  bool solid;  // a tube with a translucent surface
  bool disc;   // an aperture or a thin plate: a ring and a faint disc
};
Look lookof(const Cell* c) {
  const char* t = c->type_name ? c->type_name : "";
  std::string type = t;
  for (char& ch : type) ch = (char)lc((unsigned char)ch);
  auto has = [&](const char* part) { return type.find(part) != std::string::npos; };
  if (has("aperture")) return {{1.0f, 0.85f, 0.2f}, false, true};
  if (has("drift")) return {{0.45f, 0.5f, 0.6f}, false, false};
  if (has("solenoid")) return {{0.95f, 0.55f, 0.15f}, true, false};
  if (has("rf")) return {{0.2f, 0.8f, 0.85f}, true, false};
  if (has("bend") || has("dipole")) return {{0.6f, 0.4f, 0.95f}, true, false};
  if (has("multipole") || has("quad")) return {{0.3f, 0.75f, 0.6f}, true, false};
  if (has("block") || has("absorber")) return {{0.8f, 0.8f, 0.85f}, true, false};
  return {{0.55f, 0.6f, 0.75f}, true, false};
}

double radiusof(const Cell* c, double bore) {
  for (const char* a : {"Bore", "Radius", "radius", "OuterRadius"}) {
    Attribute at = Cell_attribute(c, a);
    if (at.type == AttributeType::Number && at.value > 0) return at.value;
  }
  return bore > 0 ? bore : 0.1;
}

struct Mesh {
  std::vector<float> tri, tricol;    // xyz, rgba per vertex
  std::vector<float> line, linecol;  // the rings at the ends, opaque
  double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
  void extend(double x, double y, double z) {
    double p[3] = {x, y, z};
    for (int i = 0; i < 3; i++) lo[i] = std::min(lo[i], p[i]), hi[i] = std::max(hi[i], p[i]);
  }
};

void pushv(std::vector<float>& v, double x, double y, double z) {
  v.push_back((float)x), v.push_back((float)y), v.push_back((float)z);
}
void pushc(std::vector<float>& v, Rgb c, float shade, float a) {
  v.push_back(c.r * shade), v.push_back(c.g * shade), v.push_back(c.b * shade), v.push_back(a);
}

// One component: a tube of its bore along its reference curve (in pieces on a bend), rings at
// its ends, or a disc for an aperture.
void addcomponent(Mesh& m, const Cell* c, double bore) {
  constexpr int AROUND = 24;
  const Look look = lookof(c);
  const double r = radiusof(c, bore);
  const double len = std::max(0.0, Cell_length(c));
  const int pieces = c->angle != 0 ? 16 : 1;
  auto at = [&](double s, double phi, double rr, double* x, double* y, double* z) {
    Cell_unsxy(c, s, rr * std::cos(phi), rr * std::sin(phi), x, y, z);
  };
  // A fixed light: a face towards it is bright, one away from it half as bright.
  const double L[3] = {0.35, 0.8, 0.48};
  for (int k = 0; k < AROUND; k++) {
    double a0 = 2 * M_PI * k / AROUND, a1 = 2 * M_PI * (k + 1) / AROUND;
    double p[3], q[3], cx, cy, cz;
    for (double s : {0.0, len}) {  // the end rings
      at(s, a0, r, &p[0], &p[1], &p[2]);
      at(s, a1, r, &q[0], &q[1], &q[2]);
      pushv(m.line, p[0], p[1], p[2]);
      pushv(m.line, q[0], q[1], q[2]);
      pushc(m.linecol, look.colour, 1.0f, 1.0f);
      pushc(m.linecol, look.colour, 1.0f, 1.0f);
      m.extend(p[0], p[1], p[2]);
      if (len == 0) break;
    }
    if (look.disc) {  // a faint disc filling the ring
      at(0, 0, 0, &cx, &cy, &cz);
      pushv(m.tri, cx, cy, cz), pushv(m.tri, p[0], p[1], p[2]), pushv(m.tri, q[0], q[1], q[2]);
      for (int i = 0; i < 3; i++) pushc(m.tricol, look.colour, 0.8f, 0.25f);
    }
    if (!look.solid || len == 0) continue;
    for (int j = 0; j < pieces; j++) {
      double s0 = len * j / pieces, s1 = len * (j + 1) / pieces;
      double v[4][3];
      at(s0, a0, r, &v[0][0], &v[0][1], &v[0][2]);
      at(s1, a0, r, &v[1][0], &v[1][1], &v[1][2]);
      at(s1, a1, r, &v[2][0], &v[2][1], &v[2][2]);
      at(s0, a1, r, &v[3][0], &v[3][1], &v[3][2]);
      // The outward normal: from the axis to the middle of the face.
      double mid[3];
      at(0.5 * (s0 + s1), 0.5 * (a0 + a1), r, &mid[0], &mid[1], &mid[2]);
      at(0.5 * (s0 + s1), 0, 0, &cx, &cy, &cz);
      double n[3] = {mid[0] - cx, mid[1] - cy, mid[2] - cz};
      double nn = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      double d = nn > 0 ? (n[0] * L[0] + n[1] * L[1] + n[2] * L[2]) / nn : 0;
      float shade = (float)(0.5 + 0.5 * std::fabs(d));
      for (int i : {0, 1, 2, 0, 2, 3}) {
        pushv(m.tri, v[i][0], v[i][1], v[i][2]);
        pushc(m.tricol, look.colour, shade, 0.55f);
      }
    }
  }
}

void addcell(Mesh& m, const Cell* c, double bore, int depth) {
  if (!c || depth > 16) return;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++) addcell(m, c->children[i], bore, depth + 1);
  } else if (c->t == Component) {
    addcomponent(m, c, bore);
  }
}

struct State {
  GLFWwindow* win = nullptr;
  WindowOptions options;
  std::deque<int> keys;  // typed keys, taken by the display's key polling
  // The scene.
  const Cell* machine = nullptr;
  Mesh mesh;
  std::vector<float> points, pointcol;
  double beamcentre[3] = {0, 0, 0};
  bool beamcentred = false;
  SideViewState view;
  // The camera: orbit angles (degrees) and the wheel's zoom on top of the view's.
  double yaw = -20, pitch = 12, wheel = 1;
  bool dragging = false;
  double dragx = 0, dragy = 0;
  // Drawing.
  bool dirty = true;
  double lastdraw = -1e30, lastshot = -1e30, opened = 0;
};
State* st = nullptr;

void markdirty() {
  if (st) st->dirty = true;
}

void onkey(GLFWwindow*, int key, int, int action, int) {
  if (action == GLFW_RELEASE) return;
  if (st->options.screensaver) {
    simstop = 2;
    return;
  }
  switch (key) {
    case GLFW_KEY_ESCAPE: st->keys.push_back(27); break;
    case GLFW_KEY_ENTER: case GLFW_KEY_KP_ENTER: st->keys.push_back('\r'); break;
    case GLFW_KEY_BACKSPACE: st->keys.push_back(8); break;
    case GLFW_KEY_TAB: st->keys.push_back('\t'); break;
    case GLFW_KEY_LEFT: st->yaw -= 5, markdirty(); break;
    case GLFW_KEY_RIGHT: st->yaw += 5, markdirty(); break;
    case GLFW_KEY_UP: st->pitch = std::min(89.0, st->pitch + 5), markdirty(); break;
    case GLFW_KEY_DOWN: st->pitch = std::max(-89.0, st->pitch - 5), markdirty(); break;
    case GLFW_KEY_PAGE_UP: st->wheel *= 1.25, markdirty(); break;
    case GLFW_KEY_PAGE_DOWN: st->wheel /= 1.25, markdirty(); break;
    default: break;
  }
}

void onchar(GLFWwindow*, unsigned int codepoint) {
  if (st->options.screensaver) return;  // the key itself has ended the program
  if (codepoint >= 32 && codepoint < 256) st->keys.push_back((int)codepoint);
}

void onbutton(GLFWwindow* w, int button, int action, int) {
  if (st->options.screensaver) {
    simstop = 2;
    return;
  }
  if (button != GLFW_MOUSE_BUTTON_LEFT) return;
  st->dragging = action == GLFW_PRESS;
  glfwGetCursorPos(w, &st->dragx, &st->dragy);
}

void oncursor(GLFWwindow* w, double x, double y) {
  if (st->options.screensaver) {
    // The pointer was centred when the window opened; the first events may still report
    // where it was before.
    int ww, wh;
    glfwGetWindowSize(w, &ww, &wh);
    if (eithertime() - st->opened > 0.3 && screensaver_moved(x, y, ww, wh)) simstop = 2;
    return;
  }
  if (!st->dragging) return;
  st->yaw += 0.3 * (x - st->dragx);
  st->pitch = std::clamp(st->pitch + 0.3 * (y - st->dragy), -89.0, 89.0);
  st->dragx = x, st->dragy = y;
  markdirty();
}

void onscroll(GLFWwindow*, double, double dy) {
  st->wheel = std::clamp(st->wheel * std::pow(1.2, dy), 0.05, 200.0);
  markdirty();
}

void onclose(GLFWwindow*) {
  simstop = 2;
}

void onresize(GLFWwindow*, int, int) {
  markdirty();
}

// ---- drawing ----

// Printable ASCII of a message's first line; other bytes (and each UTF-8 sequence) as '?'.
std::string asciiline(const char* text, size_t maxchars) {
  std::string r;
  for (const unsigned char* p = (const unsigned char*)(text ? text : "");
       *p && *p != '\n' && *p != '\r' && r.size() < maxchars; p++) {
    if (*p >= 0x80 && *p < 0xC0) continue;  // continuation bytes of a character already shown
    r += *p < 32 ? ' ' : *p < 127 ? (char)*p : '?';
  }
  return r;
}

// Text at pixel (x, y) of a GL_ORTHO (0..W, 0..H) overlay, y being the line's bottom: each set
// pixel of the glyphs becomes a one-pixel point, drawn together by flushtext (one call for the
// whole overlay is far cheaper for a software renderer than a bitmap per character).
std::vector<float> textpts, textcol;
void drawtext(int x, int y, const std::string& s, Rgb c) {
  for (size_t i = 0; i < s.size(); i++) {
    unsigned char ch = (unsigned char)s[i];
    int g = ch >= 32 && ch < 127 ? ch - 32 : '?' - 32;
    for (int r = 0; r < FONTH; r++) {
      uint16_t bits = FONTROWS[g][r];
      for (int col = 0; bits && col < FONTW; col++) {
        if (!(bits & (0x8000 >> col))) continue;
        textpts.push_back((float)(x + (int)i * FONTW + col) + 0.5f);
        textpts.push_back((float)(y + FONTH - 1 - r) + 0.5f);
        textcol.push_back(c.r), textcol.push_back(c.g), textcol.push_back(c.b);
      }
    }
  }
}

void flushtext() {
  if (!textpts.empty()) {
    glPointSize(1);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, textpts.data());
    glColorPointer(3, GL_FLOAT, 0, textcol.data());
    glDrawArrays(GL_POINTS, 0, (GLsizei)(textpts.size() / 2));
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
  }
  textpts.clear();
  textcol.clear();
}

void fillrect(int x, int y, int w, int h, Rgb c, float alpha) {
  glColor4f(c.r, c.g, c.b, alpha);
  glBegin(GL_QUADS);
  glVertex2i(x, y), glVertex2i(x + w, y), glVertex2i(x + w, y + h), glVertex2i(x, y + h);
  glEnd();
}

struct Layout {
  int W, H;
  int statush, panellines, panelh, noticeh, sceneh;
};

Layout layout(int W, int H) {
  Layout l{W, H, LINEH + 4, 0, 0, 3 * LINEH, 0};
  int room = H - l.statush - l.noticeh - 2 * RULEH - 120;  // the scene keeps 120 pixels
  l.panellines = std::clamp(room / LINEH, 0, PANELLINES);
  l.panelh = l.panellines > 0 ? l.panellines * LINEH + 2 * RULEH : 0;
  l.sceneh = std::max(1, H - l.statush - l.panelh - l.noticeh);
  return l;
}

void drawscene(const Layout& l) {
  if (!st->machine) return;
  const Mesh& m = st->mesh;
  glViewport(0, l.H - l.sceneh, l.W, l.sceneh);
  double length = std::max({m.hi[2] - m.lo[2], m.hi[0] - m.lo[0], 1e-3});
  double c[3];
  for (int i = 0; i < 3; i++) c[i] = 0.5 * (m.lo[i] + m.hi[i]);
  const int zoom = std::max(1, st->view.zoom);
  if (zoom > 1 && st->beamcentred)
    for (int i = 0; i < 3; i++) c[i] = st->beamcentre[i];
  const double fovy = 30 * M_PI / 180, aspect = (double)l.W / l.sceneh;
  const double halfw = std::tan(fovy / 2) * aspect;
  double dist = 0.75 * length / halfw / zoom / st->wheel + 0.5 * (m.hi[1] - m.lo[1]);
  double nearz = dist * 0.01, farz = dist * 4 + length;

  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  double t = nearz * std::tan(fovy / 2);
  glFrustum(-t * aspect, t * aspect, -t, t, nearz, farz);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glTranslated(0, 0, -dist);
  glRotated(st->pitch, 1, 0, 0);
  glRotated(st->yaw, 0, 1, 0);
  // The beam direction (global z) across the screen, the chosen transverse axis upwards.
  GLfloat basis[16] = {0};
  if (st->view.axis == 0) {
    basis[0 * 4 + 1] = 1, basis[1 * 4 + 2] = 1, basis[2 * 4 + 0] = 1;
  } else {
    basis[0 * 4 + 2] = -1, basis[1 * 4 + 1] = 1, basis[2 * 4 + 0] = 1;
  }
  basis[15] = 1;
  glMultMatrixf(basis);
  glTranslated(-c[0], -c[1], -c[2]);

  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_COLOR_ARRAY);
  // Rings first with depth, then the translucent surfaces without writing depth, then the
  // particles on top of everything (they are inside the tubes).
  glEnable(GL_DEPTH_TEST);
  glVertexPointer(3, GL_FLOAT, 0, m.line.data());
  glColorPointer(4, GL_FLOAT, 0, m.linecol.data());
  glDrawArrays(GL_LINES, 0, (GLsizei)(m.line.size() / 3));
  glDepthMask(GL_FALSE);
  glVertexPointer(3, GL_FLOAT, 0, m.tri.data());
  glColorPointer(4, GL_FLOAT, 0, m.tricol.data());
  glDrawArrays(GL_TRIANGLES, 0, (GLsizei)(m.tri.size() / 3));
  glDepthMask(GL_TRUE);
  glDisable(GL_DEPTH_TEST);
  if (!st->points.empty()) {
    glPointSize(3);
    glVertexPointer(3, GL_FLOAT, 0, st->points.data());
    glColorPointer(3, GL_FLOAT, 0, st->pointcol.data());
    glDrawArrays(GL_POINTS, 0, (GLsizei)(st->points.size() / 3));
  }
  glDisableClientState(GL_COLOR_ARRAY);
  glDisableClientState(GL_VERTEX_ARRAY);
}

void drawoverlay(const Layout& l) {
  glViewport(0, 0, l.W, l.H);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(0, l.W, 0, l.H, -1, 1);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_DEPTH_TEST);
  const size_t maxchars = (size_t)std::max(1, l.W / FONTW - 1);
  const Rgb white{1, 1, 1}, yellow{1, 1, 0}, black{0, 0, 0}, blue{0, 0, 0.5f}, grey{0.8f, 0.8f, 0.8f};
  // The status line at the bottom.
  fillrect(0, 0, l.W, l.statush, black, 1);
  drawtext(4, 3, asciiline(display_statustext().c_str(), maxchars), grey);
  // The panel above it: a black band between two blue rules, newest line at the bottom.
  if (l.panellines > 0) {
    int y0 = l.statush;
    fillrect(0, y0, l.W, RULEH, blue, 1);
    fillrect(0, y0 + RULEH, l.W, l.panellines * LINEH, black, 1);
    fillrect(0, y0 + RULEH + l.panellines * LINEH, l.W, RULEH, blue, 1);
    char* const* h = display_history();
    for (int i = 0; i < l.panellines && h; i++) {
      const char* text = h[PANELLINES - 1 - i];
      if (!text || text[0] == '\n') continue;
      std::string s = asciiline(text, maxchars);
      drawtext((l.W - (int)s.size() * FONTW) / 2, y0 + RULEH + i * LINEH + 2, s, white);
    }
  }
  // The notice (up to three lines) above the panel, in yellow on black.
  int ny = l.statush + l.panelh;
  fillrect(0, ny, l.W, l.noticeh, black, 1);
  const std::string& notice = display_noticetext();
  std::vector<std::string> lines;
  for (size_t p = 0; p <= notice.size() && lines.size() < 3 && !notice.empty();) {
    size_t e = notice.find('\n', p);
    if (e == std::string::npos) e = notice.size();
    lines.push_back(asciiline(notice.substr(p, e - p).c_str(), maxchars));
    p = e + 1;
  }
  for (size_t i = 0; i < lines.size(); i++) {
    int y = ny + (int)(lines.size() - 1 - i) * LINEH + 1;
    drawtext((l.W - (int)lines[i].size() * FONTW) / 2, y, lines[i], yellow);
  }
  flushtext();
}

void writeshot(int W, int H) {
  std::vector<unsigned char> px((size_t)W * H * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, W, H, GL_RGB, GL_UNSIGNED_BYTE, px.data());
  std::string tmp = st->options.shotfile + ".part";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return;
  bool ok = fprintf(f, "P6\n%d %d\n255\n", W, H) > 0;
  for (int y = H - 1; y >= 0 && ok; y--)  // the file's first row is the top
    ok = fwrite(px.data() + (size_t)y * W * 3, 1, (size_t)W * 3, f) == (size_t)W * 3;
  if (fclose(f) != 0) ok = false;
  if (ok) platform_rename(tmp.c_str(), st->options.shotfile.c_str());
  else platform_remove(tmp.c_str());
}

void drawframe() {
  int W, H;
  glfwGetFramebufferSize(st->win, &W, &H);
  if (W <= 0 || H <= 0) return;
  Layout l = layout(W, H);
  glViewport(0, 0, W, H);
  glClearColor(0.04f, 0.05f, 0.1f, 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  drawscene(l);
  drawoverlay(l);
  double now = eithertime();
  if (!st->options.shotfile.empty() && !st->points.empty() && now - st->lastshot >= 0.5) {
    st->lastshot = now;
    writeshot(W, H);
  }
  glfwSwapBuffers(st->win);
  st->lastdraw = now;
  st->dirty = false;
}

void drawifdue() {
  if (st->dirty && eithertime() - st->lastdraw >= FRAMEGAP) drawframe();
}

// ---- the display surface ----

// The panel or status changed. During a run the next frame of the run draws it (the run's
// loop calls window_frame every pass); otherwise it is drawn now, at most 10 times a second.
void surfaceredraw(void*) {
  st->dirty = true;
  if (!st->machine) drawifdue();
}

int surfacekey(void*) {
  if (st->keys.empty()) {
    glfwPollEvents();
    drawifdue();
  }
  if (st->keys.empty()) return -1;
  int k = st->keys.front();
  st->keys.pop_front();
  return k;
}

void surfacewait(uint32_t ms, void*) {
  if (st->keys.empty()) glfwWaitEventsTimeout(ms / 1000.0);
  drawifdue();
}

void surfacerelease(void*) {
  if (!st) return;
  glfwDestroyWindow(st->win);
  glfwTerminate();
  delete st;
  st = nullptr;
}

void onglfwerror(int, const char*) {
  // Failures show in the return values (no display server: glfwInit fails); nothing to say.
}

}  // namespace

bool window_built() {
  return true;
}

bool window_open(const WindowOptions& o) {
  if (st) return true;
  glfwSetErrorCallback(onglfwerror);
  if (!glfwInit()) return false;
  GLFWmonitor* monitor = o.fullscreen ? glfwGetPrimaryMonitor() : nullptr;
  int w = o.width > 0 ? o.width : 1024, h = o.height > 0 ? o.height : 768;
  if (monitor) {
    const GLFWvidmode* mode = glfwGetVideoMode(monitor);
    if (mode && (o.width <= 0 || o.height <= 0)) w = mode->width, h = mode->height;
  }
  glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
  glfwWindowHint(GLFW_DEPTH_BITS, 24);
  GLFWwindow* win = glfwCreateWindow(w, h, "Ordax", monitor, nullptr);
  if (!win) {
    glfwTerminate();
    return false;
  }
  st = new State;
  st->win = win;
  st->options = o;
  st->opened = eithertime();
  glfwMakeContextCurrent(win);
  glfwSwapInterval(0);  // never wait for the display's refresh: the run goes on meanwhile
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glfwSetKeyCallback(win, onkey);
  glfwSetCharCallback(win, onchar);
  glfwSetMouseButtonCallback(win, onbutton);
  glfwSetCursorPosCallback(win, oncursor);
  glfwSetScrollCallback(win, onscroll);
  glfwSetWindowCloseCallback(win, onclose);
  glfwSetFramebufferSizeCallback(win, onresize);
  if (o.screensaver) {
    int ww, wh;
    glfwGetWindowSize(win, &ww, &wh);
    glfwSetInputMode(win, GLFW_CURSOR, GLFW_CURSOR_HIDDEN);
    glfwSetCursorPos(win, ww / 2.0, wh / 2.0);
  }
  DisplaySurface s{surfaceredraw, surfacekey, surfacewait, surfacerelease, nullptr};
  display_setsurface(&s);
  drawframe();
  return true;
}

bool window_active() {
  return st != nullptr;
}

void window_frame(const Simulation& sim, const SideViewState& view, bool moving) {
  if (!st) return;
  glfwPollEvents();
  if (!st) return;
  // A new machine is taken at once (from then on the panel's changes wait for the frames).
  if (st->machine != sim.lattice) {
    st->mesh = Mesh{};
    st->machine = sim.lattice;
    addcell(st->mesh, sim.lattice, sim.global_bore, 0);
    if (st->mesh.line.empty()) st->mesh.extend(0, 0, 0), st->mesh.extend(0, 0, 1);
    st->dirty = true;
  }
  if (moving || view.axis != st->view.axis || view.zoom != st->view.zoom) st->dirty = true;
  if (!st->dirty || eithertime() - st->lastdraw < FRAMEGAP) return;
  st->view = view;
  st->points.clear();
  st->pointcol.clear();
  double sum[3] = {0, 0, 0};
  int n = 0;
  const Beam& b = sim.beam;
  for (int32_t i = 0; i < b.m; i++) {
    const Particle& p = b.particles[i];
    if (p.tstart > sim.t) continue;  // not released yet
    pushv(st->points, p.x, p.y, p.z);
    Rgb c = speciescolour(p.species);
    st->pointcol.push_back(c.r), st->pointcol.push_back(c.g), st->pointcol.push_back(c.b);
    sum[0] += p.x, sum[1] += p.y, sum[2] += p.z, n++;
  }
  st->beamcentred = n > 0;
  for (int i = 0; i < 3 && n > 0; i++) st->beamcentre[i] = sum[i] / n;
  drawframe();
}

void window_clearscene() {
  if (!st) return;
  st->machine = nullptr;
  st->mesh = Mesh{};
  st->points.clear();
  st->pointcol.clear();
  st->dirty = true;
}

#endif
