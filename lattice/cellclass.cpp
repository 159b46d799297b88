// The cell class table, the look-up of a cell's row and the wrappers that call a component's
// operations. The table is a compile-time constant; each row's data size is checked against
// RTD_SIZE when the program is built and again by rtd_check at start-up.
#include "lattice/cellclass.h"

#include <string>

#include "base/text.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "sim/beam.h"
#include "sim/components/aperture.h"
#include "sim/components/beamdef.h"
#include "sim/components/solenoid.h"

// Rows marked "provisional" carry the record size of the class's description until the
// component's own header exists; the component then states <CLASS>_DATASIZE = sizeof(record)
// and its row takes that constant and its operations (see lattice/cellclass.h).
constexpr CellClass cellclasses[NCELLCLASSES] = {
    {.key = "rodsource", .datasize = 48},    // provisional: rod source (sim/components)
    {.key = "marssource", .datasize = 0},    // provisional: particle-file source
    {.key = "blockage", .datasize = 144},    // provisional: blockage
    {.key = "beam", .datasize = BEAM_DATASIZE, .constructor = conbeam},
    {.key = "solenoid",
     .datasize = SOLENOID_DATASIZE,
     .field = solfield,
     .collisiondetect = CDsolenoid,
     .inside = insolenoid,
     .boundingbox = BBsolenoid,
     .constructor = consolenoid},
    {.key = "bmagnet", .datasize = 56},      // provisional: bending magnet
    {.key = "-aperture",
     .datasize = APERTURE_DATASIZE,
     .collisiondetect = CDaperture,
     .boundingbox = BBaperture,
     .constructor = conaperture,
     .destructor = Aperture_free,  // the record owns its output-file name
     .restore = Aperture_restore},
    {.key = "RF", .datasize = 80},           // provisional: RF cavity
    {.key = "magnet3", .datasize = 296},     // provisional: three-dimensional magnet
    {.key = "multipole", .datasize = 128},   // provisional: multipole magnet
    {.key = "matchscan", .datasize = 408},   // provisional: matching scan
    {.key = "dxfimport", .datasize = 128},   // provisional: drawing import (display)
    {.key = "particle", .datasize = PARTICLE_DATASIZE, .constructor = conparticle},
    {.key = "drift", .datasize = 0},         // a drift has no run-time data and no operations
};

namespace {

constexpr bool everyrowfits() {
  for (const CellClass& row : cellclasses)
    if (row.datasize > (uint32_t)RTD_SIZE) return false;
  return true;
}
static_assert(everyrowfits(), "a class record is larger than RTD_SIZE (lattice/cell.h)");

std::string lowercase(const char* text) {
  std::string s = text;
  for (char& ch : s) ch = (char)lc((unsigned char)ch);
  return s;
}

}  // namespace

const CellClass* cellclass_findsubstring(const char* type_name) {
  if (!type_name) return nullptr;
  std::string name = lowercase(type_name);
  for (int i = NCELLCLASSES; i-- > 0;)
    if (name.find(lowercase(cellclasses[i].key)) != std::string::npos) return &cellclasses[i];
  return nullptr;
}

const CellClass* cellclass_find(const char* type_name) {
  if (!type_name) return nullptr;
  for (int i = NCELLCLASSES; i-- > 0;)
    if (strnullcmpi(cellclasses[i].key, type_name) == 0) return &cellclasses[i];
  return cellclass_findsubstring(type_name);
}

const CellClass* Cell_getclass(const Cell* c) {
  if (!c || c->t != Component) return nullptr;
  return cellclass_find(c->type_name);
}

uint32_t rtd_size(const Cell* c) {
  const CellClass* row = Cell_getclass(c);
  return row ? row->datasize : 0;
}

void init_funcpointers(Cell* c) {
  if (!c) return;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++) init_funcpointers(c->children[i]);
    return;
  }
  if (c->t != Component) return;
  const CellClass* row = Cell_getclass(c);
  c->field = row ? row->field : nullptr;
  c->collisiondetect = row ? row->collisiondetect : nullptr;
  c->inside = row ? row->inside : nullptr;
  c->plot = (row && displaymode == 0) ? row->plot : nullptr;
  c->destructor = row ? row->destructor : nullptr;
}

int rtd_checkrows(const CellClass* rows, int n) {
  int reported = 0;
  for (int i = 0; i < n; i++) {
    if (rows[i].datasize > (uint32_t)RTD_SIZE) {
      reportf("[FATAL] Cell type '%s' has run-time data size %d bytes > RTD_SIZE=%d", rows[i].key,
              (int)rows[i].datasize, RTD_SIZE);
      reported++;
    }
  }
  return reported;
}

int rtd_check() {
  return rtd_checkrows(cellclasses, NCELLCLASSES);
}

// ---- calling a component's operations ----

EB Cell_field(const Cell* c, double x, double y, double z, double t) {
  return c->field ? c->field(c->rtd, x, y, z, t) : EB_zero();
}

int Cell_collisiondetect(const Cell* c, const Particle* before, const Particle* after,
                         double t0, double t1, unsigned thread, const ScatterData* scatter,
                         const Simulation* sim, Particle* out, double* tout) {
  if (!c->collisiondetect) return 0;
  return c->collisiondetect(c->rtd, before, after, t0, t1, thread, scatter, sim, out, tout);
}

int Cell_inside(const Cell* c, double x, double y, double z, double t) {
  return c->inside ? c->inside(c->rtd, x, y, z, t) : 0;
}

void Cell_plot(const Cell* c, const Simulation* sim) {
  if (c->plot) c->plot(c->rtd, sim);
}

int Cell_construct(Cell* c, Simulation* sim) {
  const CellClass* row = cellclass_findsubstring(c->type_name);
  if (!row) return 0;
  if (row->constructor) row->constructor(c, sim);
  return 1;
}

int Cell_buildboundingbox(Cell* c) {
  const CellClass* row = cellclass_findsubstring(c->type_name);
  if (!row || !row->boundingbox) return 0;
  row->boundingbox(c->rtd, c);
  return 1;
}

void Cell_destruct(Cell* c) {
  CellDestructorFn d = c->destructor;
  if (!d) return;
  c->destructor = nullptr;
  d(c->rtd);
}
