// The cell class row and its look-up: what a class of cell supplies (the size of its run-time
// record and the operations that build and serve it, an empty slot meaning "none"), the table
// of rows that the simulation layer registers at start-up (sim/components/registry.cpp), the
// look-up of a type name's row, the binding of a component's slots and row, and the wrappers
// through which the rest of the program calls those slots (an empty slot is never called; the
// wrapper gives the neutral answer instead). The field, collision and inside wrappers run for
// every nearby component at every step; everything else once per cell or per event.
#pragma once

#include <cstdint>

#include "base/field.h"
#include "lattice/cell.h"

// What a component's collision detection found, handed to the commit operation of every
// component whose detection reported an event in the step (sim/stepping.cpp). Detection has
// no side effects; whatever a component records or changes because a particle crossed it
// (an output row, moment sums, a synchronised phase) it does in its commit.
struct CollisionEvent {
  const Particle* before;      // the particle at t0
  const Particle* after;       // the same particle pushed to t1 with nothing intervening
  double t0, t1;               // s, the part of the step that was searched
  unsigned thread;             // the tracking thread (0 = the calling thread)
  const ScatterData* material; // the material of the step, or none
  const Simulation* sim;
  // The event that won (the earliest): the particle's real path is `after`'s path up to
  // tend, and from there the winner's particle `out` carries on.
  const Particle* out;
  double tend;                 // s, the winning event's time
  bool won;                    // this component's own event is the winning one
  bool rfsync;                 // found by the synchronising collision (RF synchronisation mode)
};

using CellCommitFn = void (*)(void* data, const Cell* cell, const CollisionEvent* ev);
using CellSynchroniseFn = int (*)(Simulation* sim);  // 1 done, 0 failed (reported)
using CellFieldMapsFn = void (*)(Cell* cell);

// Empty slots are none; a row names only the operations its class has.
struct CellClass {
  const char* key = nullptr;                  // lower case but "RF"; compared without case
  uint32_t datasize = 0;                      // bytes of the run-time record
  CellFieldFn field = nullptr;                // field at a point (V/m, T)
  CellCollisionFn collisiondetect = nullptr;  // intervention during (t0, t1]; no side effects
  CellInsideFn inside = nullptr;              // point inside the component's material
  CellPlotFn plot = nullptr;                  // display only
  CellBoundingBoxFn boundingbox = nullptr;    // writes the cell's bounding box
  CellConstructorFn constructor = nullptr;    // builds the run-time record from the attributes
  CellDestructorFn destructor = nullptr;      // releases memory the record owns
  // Classes whose record owns memory (they have a destructor) cannot come back from the bytes
  // of a saved record. Such a class may supply `restore`, which Cell_read calls after the bytes
  // are read to rebuild what the record owns (returns 1 on success); without it Cell_read
  // refuses the record.
  int (*restore)(Cell* cell, const Simulation* sim) = nullptr;
  // Applies what a detected crossing did to the component (see CollisionEvent). Called on the
  // tracking thread of the particle, after the step's winning event is known, for every
  // component of the particle's nearby list whose detection (or synchronising detection)
  // reported an event; it acts on its own event when `won`, otherwise only on a crossing that
  // came strictly before tend. Must be safe from every tracking thread at once.
  CellCommitFn commit = nullptr;
  // The collision detection used instead of `collisiondetect` in the RF synchronisation mode
  // of the stepping; only classes with this slot are asked in that mode. No side effects.
  CellCollisionFn synccollision = nullptr;
  // Once per machine, after the proximity grid is built, when a top-level component belongs to
  // the row: synchronises the class's components (RF phases). Returns 0 after reporting why
  // the machine cannot run.
  CellSynchroniseFn synchronise = nullptr;
  // Once per machine, before placement, for the last top-level cell whose type name is the
  // row's key itself (without case): loads the field maps the class's components share.
  CellFieldMapsFn loadfieldmaps = nullptr;
};

// ---- the table ----

// Registers the table of rows that every look-up below searches (the simulation layer does
// this at start-up, sim/components/registry.h; tests may register their own). The rows must
// outlive every cell bound to them. Until a table is registered no type name has a row.
void cellclass_settable(const CellClass* rows, int n);
// The registered rows (count in *n), or none with *n = 0.
const CellClass* cellclass_table(int* n);

// The row for a type name: the last row whose key equals it without case, else the row that
// cellclass_findsubstring gives. So "rectangular-aperture" finds "-aperture" and "rf" finds "RF".
const CellClass* cellclass_find(const char* type_name);
// The row whose key (without case) occurs in the type name, else none. A key that occurs as a
// whole word (not run into letters or digits on either side; a key that begins or ends with
// another character counts as bounded there) wins over one that occurs inside a word, the last
// such row winning; without a whole-word key the longest key wins, then the last row. So
// "Surface-blockage" finds "blockage" rather than "RF", "beamparticle" finds "particle" and
// "RFcavity" finds "RF". The second scan alone is the one the simulation set-up builds
// components with.
const CellClass* cellclass_findsubstring(const char* type_name);

// The row of a Component cell (none for other kinds, a none type name or no match): the row
// kept in the cell once it was bound, else the look-up of its type name.
const CellClass* Cell_getclass(const Cell* c);
// The row's data size in bytes, 0 when there is no row.
uint32_t rtd_size(const Cell* c);
// Binds a component's row and its field, collision, inside, plot and destructor slots from it
// (all none when no row matches; the graphics display alone calls plot); recurses
// into the children of a composite; leaves non-machine cells alone.
void init_funcpointers(Cell* c);
// Reports "[FATAL] Cell type '%s' has run-time data size %d bytes > RTD_SIZE=%d" for every
// registered row whose data size exceeds RTD_SIZE, and goes on. Returns the number of rows
// reported.
int rtd_check();
int rtd_checkrows(const CellClass* rows, int n);

// ---- calling a component's operations ----

// The field of the component at (x, y, z) (m, global) and time t (s): its field slot, or the
// zero field when it has none.
inline EB Cell_field(const Cell* c, double x, double y, double z, double t) {
  return c->field ? c->field(c->rtd, x, y, z, t) : EB_zero();
}
// Asks the component whether it intervenes between t0 and t1 (the particle `before` at t0,
// `after` pushed to t1); nonzero with *out and *tout filled when it does. 0 without a slot.
inline int Cell_collisiondetect(const Cell* c, const Particle* before, const Particle* after,
                                double t0, double t1, unsigned thread,
                                const ScatterData* scatter, const Simulation* sim, Particle* out,
                                double* tout) {
  if (!c->collisiondetect) return 0;
  return c->collisiondetect(c->rtd, before, after, t0, t1, thread, scatter, sim, out, tout);
}
// The same through the row's synchronising collision detection; 0 for a cell whose class has
// none (which then takes no part in the RF synchronisation mode).
inline int Cell_synccollision(const Cell* c, const Particle* before, const Particle* after,
                              double t0, double t1, unsigned thread, const ScatterData* scatter,
                              const Simulation* sim, Particle* out, double* tout) {
  if (!c->cls || !c->cls->synccollision) return 0;
  return c->cls->synccollision(c->rtd, before, after, t0, t1, thread, scatter, sim, out, tout);
}
// Lets the component apply what its reported event did (CellClass::commit); nothing without
// a slot.
inline void Cell_commit(Cell* c, const CollisionEvent* ev) {
  if (c->cls && c->cls->commit) c->cls->commit(c->rtd, c, ev);
}
// Nonzero when (x, y, z, t) lies inside the component's material; 0 without a slot.
inline int Cell_inside(const Cell* c, double x, double y, double z, double t) {
  return c->inside ? c->inside(c->rtd, x, y, z, t) : 0;
}
// Draws the component (display only); nothing without a slot.
void Cell_plot(const Cell* c, const Simulation* sim);
// Runs the constructor of the row that the type name contains (the substring scan), keeping
// the row in the cell. Returns 1 when a row was found (whether or not it has a constructor),
// 0 when none matches.
int Cell_construct(Cell* c, Simulation* sim);
// Lets the component's row write the cell's bounding box. Returns 1 when the row has that
// operation, 0 otherwise (the box is then left as it was).
int Cell_buildboundingbox(Cell* c);
// Calls the bound destructor on the run-time data, once (the slot is then cleared).
void Cell_destruct(Cell* c);
// For every row with field maps: loads them for the last top-level cell of composite
// `machine` whose type name is the row's key (without case). Nothing for other cells.
void Cell_loadfieldmaps(Cell* machine);
// For every row with a synchronise operation of which composite `machine` has a top-level
// component (its bound row, else the look-up of its type name): runs it once on `sim`. Returns
// the number of rows run, or -1 when one of them failed (the others still run).
int Cell_synchronise(const Cell* machine, Simulation* sim);
