// Multipole magnets: a straight magnet with any mix of normal and skew terms from the dipole
// (order 1) to the 40-pole (order 20), with soft ends. Each end rises over a fringe length f
// as g(z) = tanh(z/f)/2, and the field off the axis is the full three-dimensional expansion
// of that profile (a series in r² whose terms make the field free of divergence and curl).
// The series is summed once per fringe length into three tables over a grid of longitudinal
// position and r², shared by every multipole of the process with that fringe length; the
// field operation only interpolates them. The tables are built and released on the main
// thread while machines are built and freed, and only read while tracking threads run.
// Particles whose step ends in the pole region (2.1 f² < r² < 4.2 f² within the magnet's
// length) are stopped there and charged to the cell.
#pragma once

#include <cstdint>

#include "base/field.h"
#include "base/vec.h"
#include "lattice/cell.h"

constexpr int MULTIPOLE_MAXORDER = 20;  // the 40-pole
constexpr int MULTIPOLE_KMAX = 20;      // terms of the r² series
constexpr int MULTIPOLE_NZ = 2000;      // longitudinal grid intervals over -10 f … 10 f
constexpr int MULTIPOLE_NR2 = 20;       // r² grid intervals over 0 … 2 f²

// The tables of one fringe length: for order n (1 … norders), longitudinal point j (z_j =
// z0 + j·dz) and r² point i (i·dr2) the three sums T1, T2, T3 of one end (the end's profile
// g(z) = tanh(z/f)/2 and its derivatives), stored together per grid point.
struct MultipoleEnd {
  double f;      // m, fringe length
  double dr2;    // m², r² step (f²/10)
  double z0;     // m, first longitudinal point (-10 f)
  double dz;     // m, longitudinal step (f/100)
  double* t;     // owned: [n-1][j][i][3] with 2001 × 21 points per order
  int32_t norders;
  int32_t kmax;  // series terms the sums were built with
  int32_t refs;  // magnets using these tables
};

struct MultipoleMag {
  double L;             // m, magnetic length ("MagLength", else "Length")
  double f;             // m, fringe length ("Fringe")
  int32_t kmax;         // 20
  int32_t N;            // orders held (the highest set, at least 1)
  double* normal;       // owned, a_n at [n-1]: T·m^(1-n)
  double* skew;         // owned, b_n at [n-1]
  MultipoleEnd* end;    // shared tables for f, at least N orders
};

struct Multipole {
  MultipoleMag mag;
  AffineFrame frame;  // the cell's axis frame: the body runs along local z from 0 to L
};
constexpr uint32_t MULTIPOLE_DATASIZE = sizeof(Multipole);

// ---- the shared tables (main thread only) ----

// Tables for fringe length f with at least `count` orders and `kmax` terms: the newest one of
// the process that fits (its reference count raised), else new ones (reference count 1).
MultipoleEnd* MultipoleEnd_new(double f, int count, int kmax);
// Reference count - 1; at 0 the tables are freed. None does nothing.
void MultipoleEnd_free(MultipoleEnd* e);
// Number of table sets in use in the process.
int MultipoleEnd_count();

// ---- the magnet ----

// Sets a_n and b_n (1 <= n <= 20); extends the strength arrays and fetches tables with
// enough orders when n > N. The magnet must hold tables (its f set).
void MultipoleMag_setns(MultipoleMag* m, int n, double normal, double skew);
// Releases the tables and frees the strength arrays; the record is left empty.
void MultipoleMag_free(MultipoleMag* m);
// B (T) at local (x, y, z) from the tables: zero for -10 f >= z, z >= L + 10 f, r² >= 2 f² and
// for a point that is not a number. No allocation, no transcendental function.
V3 MultipoleMag_field_maps(const MultipoleMag* m, double x, double y, double z);
// The same field summed from the series itself at the point (the tables' reference; each call
// evaluates tanh twice and the derivative polynomials, so it is for checks, not tracking).
V3 MultipoleMag_field_series(const MultipoleMag* m, double x, double y, double z);

// ---- the cell class ----

// Builds the record from "Fringe" (required: "[FATAL] A non-zero Fringe length is required in
// Multipole '%s'"; a negative or non-finite one: "[FATAL] Fringe length %lg of Multipole '%s'
// is not a positive finite length"), "MagLength" or "Length", and the strengths: for each
// order n (20 down to 1) "p<2n>", "p<2n>s" and "p<2n>angle", overridden for orders 1 … 6 by
// the named forms (Di/Dipole, Quad/Quadrupole, Sext/Sextupole, Oct/Octupole, Deca/Decapole,
// Dodeca/Dodecapole, each also as "Skew<name>" and "<name>Angle", the long name winning); the
// angle turns a_n + i b_n by e^(iθ). A refused magnet has no field and no tables.
void Multipole_constructor(Cell* cell, Simulation* sim);
void Multipole_destructor(void* data);
// After Cell_read: the record's pointers belonged to the writing process; the strengths and
// tables are rebuilt from the attributes. 0 when the attributes are refused.
int Multipole_restore(Cell* cell, const Simulation* sim);
// The field at a global point: E = 0, B from the tables; t is not used. Any thread.
EB Multipole_field(const void* data, double x, double y, double z, double t);
// 1 in the pole region: 0 < z < L and 2.1 f² < x² + y² < 4.2 f² (local, strict).
int Multipole_inside(const void* data, double x, double y, double z, double t);
// 1 with *out = *end Stopped when the step ends in the pole region or at a position that is not
// a number, *tout = t1; otherwise 0 (also *out = *end, *tout = t1). No crossing search.
int Multipole_collisiondetect(const void* data, const Particle* start, const Particle* end,
                              double t0, double t1, unsigned thread, const ScatterData* material,
                              const Simulation* sim, Particle* out, double* tout);
// Extends the box by the circles of radius √4.2·f at z = -10 f and z = L + 10 f (local).
void Multipole_buildboundingbox(void* data, Cell* cell);
