// The proximity grid of a machine and the particles' nearby lists. The grid stores child
// indices in one flat array (counted, then filled), so a copy of the tree can share its layout
// and the look-up walks one contiguous list. Main thread when built; CellSubMap_nearby from
// every tracking thread on refresh steps, reading only.
#include "sim/proximity.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/report.h"
#include "lattice/cell.h"
#include "sim/particle.h"
#include "sim/simulation.h"

namespace {

bool boxcontains(const Cell* c, double x, double y, double z) {
  return x >= c->xmin && x <= c->xmax && y >= c->ymin && y <= c->ymax && z >= c->zmin &&
         z <= c->zmax;
}

// The grid of a machine read back by Cell_read, within the bound for read records.
CellSubMap* makeforread(Cell* machine, const Simulation* sim) {
  return CellSubMap_makebounded(
      machine, sim ? sim->gridresolution : Simulation_default.gridresolution,
      CELLSUBMAP_READENTRIES);
}

// Index of the grid cell along one axis of a point at offset d from the grid's minimum corner
// (d >= 0): trunc(d·n/extent). A point exactly on the maximum face belongs to the last cell; a
// point beyond it gives -1.
int gridindex(double d, int n, double extent) {
  if (!(extent > 0)) return d <= 0 ? 0 : -1;
  double v = d * n / extent;
  if (v < n) return (int)v;
  return d <= extent ? n - 1 : -1;
}

// The range of grid cells a box edge pair [lo, hi] covers along one axis, clamped.
void gridrange(double lo, double hi, double origin, int n, double extent, int* i0, int* i1) {
  if (!(extent > 0)) {
    *i0 = *i1 = 0;
    return;
  }
  double a = (lo - origin) * n / extent, b = (hi - origin) * n / extent;
  auto clampi = [n](double v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= n - 1) return n - 1;
    return (int)v;
  };
  *i0 = clampi(a);
  *i1 = clampi(b);
}

}  // namespace

CellSubMap* CellSubMap_make(Cell* machine, int resolution) {
  return CellSubMap_makebounded(machine, resolution, SIZE_MAX);
}

CellSubMap* CellSubMap_makebounded(Cell* machine, int resolution, size_t maxentries) {
  if (!machine || machine->t != Composite) return nullptr;
  report("Building proximity grid...");
  int res = resolution < 1 ? 1 : resolution > 500 ? 500 : resolution;
  CellSubMap* g = static_cast<CellSubMap*>(calloc(1, sizeof(CellSubMap)));
  if (!g) abort();
  g->x0 = machine->xmin;
  g->y0 = machine->ymin;
  g->z0 = machine->zmin;
  g->dx = machine->xmax - machine->xmin;
  g->dy = machine->ymax - machine->ymin;
  g->dz = machine->zmax - machine->zmin;
  double h = std::max(g->dx, std::max(g->dy, g->dz)) / res;
  // At most `res` cells along an axis. A box edge that is not a number (a damaged record) gives
  // one cell along its axis, and the cells along the others follow the largest extent that is.
  auto count = [h, res](double extent) {
    if (!(h > 0) || !std::isfinite(h)) return 1;
    double v = std::trunc(extent / h + 0.5);
    return !(v >= 1) ? 1 : v > res ? res : (int)v;
  };
  g->nx = count(g->dx);
  g->ny = count(g->dy);
  g->nz = count(g->dz);
  const long ncells = (long)g->nx * g->ny * g->nz;

  // Every child's range of grid cells; the grid's size (cells and entries) is known before
  // anything of that size is made, and a grid beyond `maxentries` is not made at all.
  struct Span {
    int i0, i1, j0, j1, k0, k1;
  };
  std::vector<Span> spans;
  double entries = (double)ncells;
  if (entries <= (double)maxentries) spans.resize((size_t)machine->n);
  for (int c = (int)spans.size(); c-- > 0;) {
    const Cell* child = machine->children[c];
    Span& sp = spans[(size_t)c];
    if (Cell_bbempty(child)) {
      sp = {0, -1, 0, -1, 0, -1};
      continue;
    }
    gridrange(child->xmin, child->xmax, g->x0, g->nx, g->dx, &sp.i0, &sp.i1);
    gridrange(child->ymin, child->ymax, g->y0, g->ny, g->dy, &sp.j0, &sp.j1);
    gridrange(child->zmin, child->zmax, g->z0, g->nz, g->dz, &sp.k0, &sp.k1);
    entries += (double)std::max(0, sp.i1 - sp.i0 + 1) * std::max(0, sp.j1 - sp.j0 + 1) *
               std::max(0, sp.k1 - sp.k0 + 1);
  }
  if (entries > (double)maxentries) {
    free(g);
    return nullptr;
  }
  reportupdatef("Building proximity grid %dx%dx%d (%d cells)...", g->nx, g->ny, g->nz,
                (int)ncells);

  // Two passes: count the entries of every grid cell, then fill them.
  std::vector<uint32_t> counts((size_t)ncells + 1, 0);
  for (int c = machine->n; c-- > 0;) {
    const Span& sp = spans[(size_t)c];
    for (int i = sp.i0; i <= sp.i1; i++)
      for (int j = sp.j0; j <= sp.j1; j++)
        for (int k = sp.k0; k <= sp.k1; k++) counts[((size_t)i * g->ny + j) * g->nz + k]++;
  }
  g->start = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * ((size_t)ncells + 1)));
  if (!g->start) abort();
  uint32_t total = 0;
  for (long i = 0; i < ncells; i++) {
    g->start[i] = total;
    total += counts[(size_t)i];
  }
  g->start[ncells] = total;
  g->nitems = total;
  g->items = static_cast<int32_t*>(malloc(sizeof(int32_t) * (total ? total : 1)));
  if (!g->items) abort();
  std::vector<uint32_t> fill(g->start, g->start + ncells);
  for (int c = machine->n; c-- > 0;) {
    const Span& sp = spans[(size_t)c];
    for (int i = sp.i0; i <= sp.i1; i++)
      for (int j = sp.j0; j <= sp.j1; j++)
        for (int k = sp.k0; k <= sp.k1; k++) g->items[fill[((size_t)i * g->ny + j) * g->nz + k]++] = c;
  }
  reportupdatef("Building proximity grid %dx%dx%d (%d cells)... Done", g->nx, g->ny, g->nz,
                (int)ncells);
  return g;
}

CellSubMap* CellSubMap_copy(const CellSubMap* grid) {
  if (!grid) return nullptr;
  CellSubMap* g = static_cast<CellSubMap*>(malloc(sizeof(CellSubMap)));
  if (!g) abort();
  *g = *grid;
  size_t ncells = (size_t)grid->nx * grid->ny * grid->nz;
  g->start = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (ncells + 1)));
  g->items = static_cast<int32_t*>(malloc(sizeof(int32_t) * (grid->nitems ? grid->nitems : 1)));
  if (!g->start || !g->items) abort();
  memcpy(g->start, grid->start, sizeof(uint32_t) * (ncells + 1));
  memcpy(g->items, grid->items, sizeof(int32_t) * grid->nitems);
  return g;
}

void CellSubMap_free(CellSubMap* grid) {
  if (!grid) return;
  free(grid->start);
  free(grid->items);
  free(grid);
}

void CellSubMap_removechild(CellSubMap* g, int index) {
  if (!g) return;
  size_t ncells = (size_t)g->nx * g->ny * g->nz;
  uint32_t w = 0;
  for (size_t cell = 0; cell < ncells; cell++) {
    uint32_t from = g->start[cell], to = g->start[cell + 1];
    g->start[cell] = w;
    for (uint32_t e = from; e < to; e++) {
      int32_t idx = g->items[e];
      if (idx == index) continue;
      g->items[w++] = idx > index ? idx - 1 : idx;
    }
  }
  g->start[ncells] = w;
  g->nitems = w;
}

void CellSubMap_install() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  Cell_setsubmapops(CellSubMapOps{makeforread, CellSubMap_copy, CellSubMap_free});
}

uint32_t CellSubMap_nearby(const Cell* machine, double x, double y, double z, Cell** out) {
  const CellSubMap* g = machine->submap;
  if (!g) return 0;
  if (!(x >= g->x0 && y >= g->y0 && z >= g->z0)) return 0;
  int i = gridindex(x - g->x0, g->nx, g->dx);
  int j = gridindex(y - g->y0, g->ny, g->dy);
  int k = gridindex(z - g->z0, g->nz, g->dz);
  if (i < 0 || j < 0 || k < 0) return 0;
  size_t cell = ((size_t)i * g->ny + j) * g->nz + k;
  uint32_t n = 0;
  for (uint32_t e = g->start[cell + 1]; e-- > g->start[cell];) {
    int32_t idx = g->items[e];
    if (idx < 0 || idx >= machine->n) continue;
    Cell* c = machine->children[idx];
    if (boxcontains(c, x, y, z)) out[n++] = c;
  }
  return n;
}

bool CellSubMap_outofreach(const Cell* machine, double x, double y, double z, double Vx,
                           double Vy, double Vz, double margin) {
  if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z) && std::isfinite(Vx) &&
        std::isfinite(Vy) && std::isfinite(Vz)))
    return true;
  const CellSubMap* g = machine ? machine->submap : nullptr;
  if (!g) return false;
  // The path x + V·u for u >= 0 against the widened box, one axis (slab) at a time: the
  // interval of u inside every slab must not be empty.
  const double pos[3] = {x, y, z}, vel[3] = {Vx, Vy, Vz};
  const double lo[3] = {g->x0, g->y0, g->z0}, ext[3] = {g->dx, g->dy, g->dz};
  double enter = 0, leave = INFINITY;
  for (int a = 0; a < 3; a++) {
    const double l = lo[a] - margin, h = lo[a] + ext[a] + margin;
    // A machine whose components have no boxes (drifts alone) gives no extent to leave; its
    // particles end at the bores or at the end time.
    if (!(l <= h)) return false;
    if (vel[a] == 0) {
      if (pos[a] < l || pos[a] > h) return true;
      continue;
    }
    double u0 = (l - pos[a]) / vel[a], u1 = (h - pos[a]) / vel[a];
    if (u0 > u1) std::swap(u0, u1);
    enter = std::max(enter, u0);
    leave = std::min(leave, u1);
    if (enter > leave) return true;
  }
  return false;
}

void Particle_nearbythings(Particle* p) {
  const Cell* bl = p->beamline;
  if (!bl) {
    report("[WARNING] bl is NULL in Particle_nearbythings");
    return;
  }
  std::vector<Cell*> list(bl->t == Composite && bl->n > 0 ? (size_t)bl->n : 1);
  uint32_t n = bl->t == Composite ? CellSubMap_nearby(bl, p->x, p->y, p->z, list.data()) : 0;
  Particle_setnearby(p, list.data(), n);
}

void Particle_seg_nearbythings(Particle* first, Particle* end) {
  if (first >= end) return;
  const Cell* bl = first->beamline;
  if (!bl) {
    report("[WARNING] bl is NULL in Particle_seg_nearbythings");
    return;
  }
  std::vector<Cell*> list(bl->t == Composite && bl->n > 0 ? (size_t)bl->n : 1);
  for (Particle* p = first; p < end; p++) {
    uint32_t n = bl->t == Composite ? CellSubMap_nearby(bl, p->x, p->y, p->z, list.data()) : 0;
    Particle_setnearby(p, list.data(), n);
  }
}

void Beam_nearbythings(Beam* beam) {
  Particle* p = beam->particles;
  int32_t M = beam->M;
  for (int32_t i = 0; i < M;) {
    int32_t j = i + 1;
    while (j < M && p[j].beamline == p[i].beamline) j++;
    Particle_seg_nearbythings(p + i, p + j);
    i = j;
  }
}
