// The braille side view (see sideview.h).
#include "display/sideview.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "lattice/cell.h"
#include "lattice/frames.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

// Dot (dx, dy) of a 2 × 4 braille cell as its bit in U+2800 + bits.
const uint8_t DOTBIT[4][2] = {{0x01, 0x08}, {0x02, 0x10}, {0x04, 0x20}, {0x40, 0x80}};

// A cell shows the species with the most particles in it (ties: the later in this list), or
// the machine when it holds no particle.
enum Ink : uint8_t { InkNone = 0, InkMachine, InkOther, InkProton, InkElectron, InkPion, InkMuon };
const char* const INKCOLOUR[] = {"\x1b[0m", "\x1b[0;90m", "\x1b[0;37m", "\x1b[0;95m",
                                 "\x1b[0;94m", "\x1b[0;92m", "\x1b[0;91m"};

Ink inkof(int species) {
  switch (species) {
    case MuPlus: case MuMinus: return InkMuon;
    case PiPlus: case PiMinus: return InkPion;
    case Positron: case Electron: return InkElectron;
    case Proton: case AntiProton: return InkProton;
    default: return InkOther;
  }
}

struct Canvas {
  int cols, rows;
  std::vector<uint8_t> dots, ink;
  std::vector<uint32_t> counts;  // per cell, particles of each ink
  Canvas(int c, int r) : cols(c), rows(r), dots(c * r, 0), ink(c * r, InkNone), counts(c * r * 7, 0) {}
  void set(int px, int py, Ink k) {  // px 0 … 2·cols−1, py 0 … 4·rows−1
    if (px < 0 || py < 0 || px >= 2 * cols || py >= 4 * rows) return;
    int i = (py / 4) * cols + px / 2;
    dots[i] |= DOTBIT[py % 4][px % 2];
    uint32_t* n = &counts[7 * i];
    n[k]++;
    if (k == InkMachine) {
      if (ink[i] == InkNone) ink[i] = InkMachine;
    } else if (ink[i] <= InkMachine || n[k] > n[ink[i]] || (n[k] == n[ink[i]] && k > ink[i])) {
      ink[i] = k;
    }
  }
};

void utf8(std::string& s, unsigned cp) {
  s += (char)(0xE0 | (cp >> 12));
  s += (char)(0x80 | ((cp >> 6) & 0x3F));
  s += (char)(0x80 | (cp & 0x3F));
}

}  // namespace

bool sideview_key(SideViewState* v, int key) {
  switch (key) {
    case 'x': case 'X': v->axis = 0; return true;
    case 'y': case 'Y': v->axis = 1; return true;
    case '+': case '=': v->zoom = std::min(64, v->zoom * 2); return true;
    case '-': case '_': v->zoom = std::max(1, v->zoom / 2); return true;
    case ' ': v->paused = !v->paused; return true;
    default: return false;
  }
}

std::vector<std::string> sideview_rows(const Simulation& sim, const SideViewState& v, int cols,
                                       int rows) {
  cols = std::max(cols, 1);
  rows = std::max(rows, 1);
  Canvas cv(cols, rows);
  const Cell* m = sim.lattice;
  double length = 0, rmax = 0;
  if (m && m->t == Composite)
    for (int i = 0; i < m->n; i++) {
      const Cell* c = m->children[i];
      length = std::max(length, c->s + Cell_length(c));
    }
  if (length <= 0) length = 1;
  const double bore = sim.global_bore > 0 ? sim.global_bore : 1;
  auto radiusof = [&](const Cell* c) {
    for (const char* a : {"Bore", "Radius"}) {
      Attribute at = Cell_attribute(c, a);
      if (at.type == AttributeType::Number && at.value > 0) return at.value;
    }
    return bore;
  };
  if (m && m->t == Composite)
    for (int i = 0; i < m->n; i++) rmax = std::max(rmax, radiusof(m->children[i]));
  if (rmax <= 0) rmax = bore;
  rmax *= 1.05;

  // The s window: the whole machine, or length/zoom centred on the live beam's mean s.
  double window = length / std::max(1, v.zoom), s0 = 0;
  const Beam& b = sim.beam;
  if (v.zoom > 1 && b.m > 0) {
    double sum = 0;
    int n = 0;
    for (int32_t i = 0; i < b.m; i++) {
      double s = Particle_s(&b.particles[i]);
      if (s > -1e99) sum += s, n++;
    }
    double centre = n ? sum / n : 0;
    s0 = std::clamp(centre - window / 2, 0.0, std::max(0.0, length - window));
  }
  const int W = 2 * cols, H = 4 * rows;
  auto px = [&](double s) { return (int)std::floor((s - s0) / window * W); };
  auto py = [&](double u) { return (int)std::floor((0.5 - u / (2 * rmax)) * H); };

  // The machine: upper and lower bore edge of each component (drawn every other dot).
  if (m && m->t == Composite)
    for (int i = 0; i < m->n; i++) {
      const Cell* c = m->children[i];
      double r = radiusof(c);
      int a = px(c->s), e = px(c->s + Cell_length(c));
      for (int x = std::max(a, 0); x <= std::min(e, W - 1); x += 2) {
        cv.set(x, py(r), InkMachine);
        cv.set(x, py(-r), InkMachine);
      }
    }
  // The particles.
  for (int32_t i = 0; i < b.m; i++) {
    const Particle& p = b.particles[i];
    if (p.tstart > sim.t) continue;
    const Cell* c = Cell_segmentcell(p.beamline, p.segment);
    if (!c) continue;
    double s, X, Y;
    Cell_sxy(c, p.x, p.y, p.z, &s, &X, &Y);
    cv.set(px(c->s + s), py(v.axis == 0 ? X : Y), inkof(p.species));
  }

  std::vector<std::string> out;
  for (int r = 0; r < rows; r++) {
    std::string line;
    uint8_t last = 255;
    for (int c = 0; c < cols; c++) {
      int i = r * cols + c;
      if (cv.dots[i] == 0) {
        line += ' ';
        continue;
      }
      if (cv.ink[i] != last) line += INKCOLOUR[cv.ink[i]], last = cv.ink[i];
      utf8(line, 0x2800 + cv.dots[i]);
    }
    line += "\x1b[0m";
    out.push_back(line);
  }
  return out;
}
