// Three-dimensional magnets: dipole-like magnets (straight, rectangular or sector) whose field on
// the mid-plane y = 0 is Field × f1(s1)·f2(s2)·f3(s3), each profile f_i taken along its own
// direction of the (x, z) plane, s_i = g_i·((x, z) - c_i). Above and below the mid-plane the
// field is the off-plane series of that mid-plane field, the power series in y of a scalar
// potential that satisfies Laplace's equation, summed order by order until it settles. The
// profiles are chosen by name: "IntGaussian" (the normal distribution function), "Exponential",
// "Polynomial" and "Interpolant" (Gaussians through tabulated values); each gives its derivatives
// of any order up to MAGNET3_MAXDERIV. The body is a rectangular frame, 10 % of the gap's width
// and height thick, around the gap, along the straight axis or along the arc of a sector that
// follows the cell's reference curve; a particle whose step ends in it is stopped on its
// surface and charged to the cell.
//
// Tracking threads call the field, inside and collision operations at once; they read only the
// record, its coefficient tables and the constant table of normal-density polynomials, which is
// computed when the program is compiled, so nothing is built or locked while they run.
#pragma once

#include <cstdint>

#include "base/field.h"
#include "base/vec.h"
#include "lattice/cell.h"

constexpr int MAGNET3_N = 50;         // highest order of the off-plane series
constexpr int MAGNET3_MAXDERIV = 63;  // highest derivative order a profile gives
constexpr int MAGNET3_MAXDIVS = 64;   // most divisions of an "Interpolant" (its nodes' exponentials
                                      // are kept on the stack of every field call)
constexpr int MAGNET3_MAXDEGREE = 63; // highest degree of a "Polynomial"

// G_m(s) (degree m) with d^m φ(s)/ds^m = G_m(s)·e^(-s²/2), φ the normal density:
// G_0 = 1/√(2π), G_m = G'_(m-1) - s·G_(m-1). Coefficient i of G_m, for m <= MAGNET3_MAXDERIV.
double normaldensitycoeff(int m, int i);
// G_m(s) by Horner's rule.
double normaldensitypoly(int m, double s);

enum class ProfileKind : int32_t { None = 0, IntGaussian, Exponential, Polynomial, Interpolant };

// A profile and its parameters (`coef` owned: the polynomial's coefficients, or the
// interpolant's weights).
struct Magnet3Profile {
  ProfileKind kind;
  int32_t n;       // polynomial degree, or interpolant divisions
  double k;        // exponential: rate (1/unit of s); interpolant: first node x0
  double offset;   // exponential: offset; interpolant: node step dx
  double sigma;    // interpolant: Gaussian width dx/√2
  double* coef;
};

// What every derivative order of a profile shares at one argument (computed once per point).
struct ProfileAt {
  double s;
  double e;                         // e^(-s²/2), e^(k s), or unused
  double ex[MAGNET3_MAXDIVS + 1];   // interpolant: e^(-u_j²/2) per node
};
void Magnet3Profile_prepare(const Magnet3Profile* p, double s, ProfileAt* at);
// f^(m) at the prepared argument (0 beyond MAGNET3_MAXDERIV, and beyond a polynomial's degree).
double Magnet3Profile_derivative(const Magnet3Profile* p, const ProfileAt* at, int m);
// out[m] = f^(m)(s) for m = from … to (to <= MAGNET3_MAXDERIV). Allocates nothing.
void fringe_derivs(const Magnet3Profile* p, double s, double* out, int from, int to);
// Reads the profile named `name` (without case) with its parameters from `params` (the cell of
// the parameter attributes, Cell_arrayattrib). Returns 1, or 0 after reporting why it is
// refused (the profile is then empty): no name "[FATAL] Magnet3 '%s' lacks its profile
// function '%s'", an unknown one "[FATAL] Unknown profile function '%s' for '%s' in Magnet3
// '%s'", parameters that are not usable "[FATAL] Profile '%s' of Magnet3 '%s': %s".
// `cellname` and `attr` only name the magnet and the attribute in messages.
int fringe_derivs_select(const char* name, const Cell* params, Magnet3Profile* out,
                         const char* cellname, const char* attr);
void Magnet3Profile_free(Magnet3Profile* p);

struct MagnetProduct3 {
  double* K1;        // owned, triangular: [m][a][b] for a + b + c = m <= N
  double* K2;        // owned, same layout
  int32_t N;
  int32_t pad;
  Magnet3Profile f[3];
  double c[3][2];    // m, reference point (x, z) of each profile
  double g[3][2];    // 1/m, gradient (x, z) of each profile's argument
};

// Builds K1 and K2 up to order N (<= MAGNET3_N) from the gradients.
void MagnetProduct3_calcK(MagnetProduct3* p, int N);
// The series sum at (x, z, y) (local; the height third), in units of the profiles' product:
// (Bx, Bz, By). The marker (-99, -99, -99) when it did not settle (two successive orders each
// changing B by at most tol relative to max(1, |B|)) within N orders. *orders (when given)
// receives the highest order summed.
V3 MagnetProduct3_fieldtol(const MagnetProduct3* p, V3 xzy, double tol, int* orders = nullptr);

struct Magnet3 {
  MagnetProduct3 product;
  AffineFrame frame;   // the cell's axis frame
  double Length;       // m
  double Angle;        // rad; not 0: the body follows the reference arc of radius Length/Angle
  double x1, x2;       // m, horizontal extent of the gap
  double y1, y2;       // m, vertical extent of the gap
  double FringeLimit;  // m, reach of the box beyond the ends
  double Field;        // T, field scale
};
constexpr uint32_t MAGNET3_DATASIZE = sizeof(Magnet3);

// The local point at arc length s along the magnet's reference curve (straight before the
// entrance and beyond the exit, an arc of radius Length/Angle between) with offsets X (along
// the curve's local x) and Y.
V3 Magnet3_curvepoint(const Magnet3* m, double s, double X, double Y);

// Builds the record. Type "Magnet3": c1x … g3z and func1 … func3 from the attributes.
// "Magnet3Sector" and "Magnet3Rect": the entrance edge is the plane z = 0 with fringe f1
// ("Fringe1", else "Fringe"), the exit edge the line through the reference curve's exit point
// across it, with fringe f2 ("Fringe2", else "Fringe"); a fringe of 0 or none is 1; the third
// profile along x (c3x … g3z override); "FringeFunc" names both edge profiles, else "func1" and
// "func2"; "func3" the third. Gap from "x1", "x2", "y1", "y2" or "HalfWidth", "HalfHeight";
// "FringeLimit" (6 × the larger fringe length when absent), "Field" (1 when absent). Refused
// with a "[FATAL]" message (no field, no box): an unknown type name, a missing or unknown
// profile, unusable profile parameters, a fringe length or FringeLimit that is negative or not
// finite, a length, angle or gap that is not finite, an angle without a length. A magnet whose
// series does not settle somewhere along its gap's corners is reported with "[WARNING] Magnet3
// '%s' has no field at %d of %d points along its gap's corners (first at x = %lg, y = %lg, s =
// %lg m): its gap is too tall for its fringe lengths".
void Magnet3_constructor(Cell* cell, Simulation* sim);
void Magnet3_destructor(void* data);
// After Cell_read: rebuilds the owned tables and profiles from the attributes (0 when refused).
int Magnet3_restore(Cell* cell, const Simulation* sim);
EB Magnet3_field(const void* data, double x, double y, double z, double t);
// 1 inside the body (the frame round the gap, within the magnet's length or arc).
int Magnet3_inside(const void* data, double x, double y, double z, double t);
// 1 when the step ends in the body (*out the particle on the body's surface, Stopped, at *tout)
// or at a position that is not a number (*out = *end Stopped, *tout = t1); otherwise 0.
int Magnet3_collisiondetect(const void* data, const Particle* start, const Particle* end,
                            double t0, double t1, unsigned thread, const ScatterData* material,
                            const Simulation* sim, Particle* out, double* tout);
// Extends the box over the body from FringeLimit before the entrance to FringeLimit beyond the
// exit, along the arc for a sector of either sign.
void Magnet3_buildboundingbox(void* data, Cell* cell);
