// The surface crossing search shared by every component with material surfaces (coils,
// apertures, blockages, magnets, the production target): the implicit surface functions
// ("iso" functions: negative on one side, positive on the other) with their coefficient
// records, and scatterparticle_isocd, a bracketing root search in time that re-advances the
// particle with the ordinary transport so the crossing lies on its true path. Owns nothing.
// Called from the components' collision detection for every particle step near a surface;
// each search costs a few dozen partial pushes.
#pragma once

#include "base/vec.h"
#include "sim/particle.h"

struct ScatterData;

// A surface function: the value at the particle's position (only x, y, z are used).
using IsoFunction = double (*)(Particle, const void* coeffs);

// Plane: d + n·x, n a unit normal, so the value is the signed distance.
struct lineariso_coeffs {
  double d, nx, ny, nz;
};
// Cylinder of radius √r2 about the line through (px, py, pz) with unit direction (ax, ay, az):
// squared distance from the line minus r2.
struct boreiso_coeffs {
  double px, py, pz;  // m, a point on the axis
  double ax, ay, az;  // unit axis direction
  double r2;          // m², radius squared
};
// Elliptic cylinder along the frame's third axis: (u1/a)² + (u2/b)² − 1, u = Mᵀ(x − origin).
struct cylinderiso_coeffs {
  double a, b;  // m, semi-axes along the frame's first and second axes
  AffineFrame frame;
};
// Ellipsoid: (u1/a)² + (u2/b)² + (u3/c)² − 1, u = Mᵀ(x − origin).
struct spheroidiso_coeffs {
  double a, b, c;  // m, semi-axes
  AffineFrame frame;
};
// Tube bent round the frame's third axis: major radii R1, R2 along the frame's first and
// second axes, half-height c along the third, radial half-width h. Negative only inside.
struct toroidiso_coeffs {
  double R1, R2, c, h;  // m
  AffineFrame frame;
};

double lineariso(Particle p, const void* coeffs);
double boreiso(Particle p, const void* coeffs);
double cylinderiso(Particle p, const void* coeffs);
double spheroidiso(Particle p, const void* coeffs);
double toroidiso(Particle p, const void* coeffs);

// The same functions of the coordinates directly.
inline double linearisoxyz(double x, double y, double z, const lineariso_coeffs* c) {
  return c->d + c->nx * x + c->ny * y + c->nz * z;
}
inline double boreisoxyz(double x, double y, double z, const boreiso_coeffs* c) {
  double wx = x - c->px, wy = y - c->py, wz = z - c->pz;
  double a = wx * c->ax + wy * c->ay + wz * c->az;
  double rx = wx - a * c->ax, ry = wy - a * c->ay, rz = wz - a * c->az;
  return rx * rx + ry * ry + rz * rz - c->r2;
}
double cylinderisoxyz(double x, double y, double z, const cylinderiso_coeffs* c);
double spheroidisoxyz(double x, double y, double z, const spheroidiso_coeffs* c);
double toroidisoxyz(double x, double y, double z, const toroidiso_coeffs* c);

// A plane given in a component's local frame, in global coordinates: n' = M·n, d' = d − n'·o.
lineariso_coeffs lineariso_affine(lineariso_coeffs local, AffineFrame f);
// A bore given in a local frame, in global coordinates: the axis point by the full frame
// mapping, the axis direction by the rotation only (so it stays a unit vector); r2 kept.
boreiso_coeffs boreiso_affine(boreiso_coeffs local, AffineFrame f);
// The plane through the frame's origin whose normal is the frame's third (beam) axis: the
// value is the distance downstream of the origin along that axis.
lineariso_coeffs lineariso_unaffineZ(AffineFrame f);

// Looks for the first time in (ta, tb] at which a step reaches the far side of surface f.
// pa is the particle at ta, pb the same particle at tb (already advanced by the caller);
// trial particles are advanced with scatterparticle(…, material) from the lower end of the
// bracket as it stood at the start of each iteration (secant point, overshoot point, nudge
// off a bracket end, bisection; at most 199 iterations).
// Returns 0 when the step does not cross: *out = pb, *tout = tb. That includes a step whose
// values at both ends have the same sign, and a step that starts exactly on the surface
// (f(pa) = 0: the step that ended there has already reported that crossing). A step that
// ends exactly on the surface (f(pb) = 0) is a crossing.
// Returns 1 for a crossing: *out is the particle just beyond the surface (on the side of
// f(pb), or exactly on it when only tb is) and *tout its time, with the bracket narrowed to
// adjacent doubles. Returns -1 when the iterations ran out: *out, *tout are the best upper
// bracket (callers treat any non-zero result as a hit).
int scatterparticle_isocd(const Particle& pa, const Particle& pb, double ta, double tb,
                          IsoFunction f, const void* coeffs, const ScatterData* material,
                          Particle* out, double* tout);

// Whether a step whose surface values are fa at its start and fb at its end can cross the
// surface: the first test of scatterparticle_isocd, on the same values. Collision checks
// evaluate the surface at the step's two ends themselves and call the search only when this
// holds (the search then finds the same values and goes on).
inline bool iso_maycross(double fa, double fb) {
  return !(fa * fb > 0 || fa == 0);
}
