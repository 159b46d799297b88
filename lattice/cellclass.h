// The cell class table: one row per class of cell (14 rows), keyed by a lower-case text found
// in the element type word, with the size of the class's run-time record and the operations
// that build and serve it. Also the look-up of a cell's row, the binding of a component's
// function slots, and the wrappers through which the rest of the program calls those slots
// (an empty slot is never called; the wrappers give the neutral answer instead). The table is
// constant; the field and collision wrappers run for every nearby component at every step.
//
// Plugging a class in: the component's header declares its record and its operations (each
// taking the record as `const void*` / `void*` and casting it on its first line) and states
//   constexpr uint32_t <CLASS>_DATASIZE = sizeof(<Record>);
// Its row in lattice/cellclass.cpp then includes that header and replaces the provisional size
// and empty slots with `.datasize = <CLASS>_DATASIZE, .field = ..., ...`. A record larger than
// RTD_SIZE stops the build (static_assert there); raise RTD_SIZE in lattice/cell.h if so.
#pragma once

#include <cstdint>

#include "lattice/cell.h"

// Empty slots are none; a row names only the operations its class has.
struct CellClass {
  const char* key = nullptr;                  // lower case but "RF"; compared without case
  uint32_t datasize = 0;                      // bytes of the run-time record
  CellFieldFn field = nullptr;                // field at a point (V/m, T)
  CellCollisionFn collisiondetect = nullptr;  // intervention during (t0, t1]
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
};

constexpr int NCELLCLASSES = 14;
extern const CellClass cellclasses[NCELLCLASSES];

// The row for a type name: the last row whose key equals it without case, else the last row
// whose key (lower-cased) occurs in the lower-cased type name, else none. So
// "rectangular-aperture" finds "-aperture" and "rf" finds "RF".
const CellClass* cellclass_find(const char* type_name);
// The second scan alone (the one the simulation set-up builds components with).
const CellClass* cellclass_findsubstring(const char* type_name);

// The row of a Component cell (none for other kinds, a none type name or no match).
const CellClass* Cell_getclass(const Cell* c);
// The row's data size in bytes, 0 when there is no row.
uint32_t rtd_size(const Cell* c);
// Binds a component's field, collision, inside, plot and destructor slots from its row (all
// none when no row matches; plot only when the display is on, displaymode 0); recurses into
// the children of a composite; leaves non-machine cells alone.
void init_funcpointers(Cell* c);
// Reports "[FATAL] Cell type '%s' has run-time data size %d bytes > RTD_SIZE=%d" for every row
// whose data size exceeds RTD_SIZE, and goes on. Returns the number of rows reported.
int rtd_check();
int rtd_checkrows(const CellClass* rows, int n);

// ---- calling a component's operations ----

// The field of the component at (x, y, z) (m, global) and time t (s): its field slot, or the
// zero field when it has none. (EB is defined in sim/beam.h.)
EB Cell_field(const Cell* c, double x, double y, double z, double t);
// Asks the component whether it intervenes between t0 and t1 (the particle `before` at t0,
// `after` pushed to t1); nonzero with *out and *tout filled when it does. 0 without a slot.
int Cell_collisiondetect(const Cell* c, const Particle* before, const Particle* after,
                         double t0, double t1, unsigned thread, const ScatterData* scatter,
                         const Simulation* sim, Particle* out, double* tout);
// Nonzero when (x, y, z, t) lies inside the component's material; 0 without a slot.
int Cell_inside(const Cell* c, double x, double y, double z, double t);
// Draws the component (display only); nothing without a slot.
void Cell_plot(const Cell* c, const Simulation* sim);
// Runs the constructor of the row that the type name contains (the substring scan). Returns 1
// when a row was found (whether or not it has a constructor), 0 when none matches.
int Cell_construct(Cell* c, Simulation* sim);
// Lets the component's row write the cell's bounding box. Returns 1 when the row has that
// operation, 0 otherwise (the box is then left as it was).
int Cell_buildboundingbox(Cell* c);
// Calls the bound destructor on the run-time data, once (the slot is then cleared).
void Cell_destruct(Cell* c);
