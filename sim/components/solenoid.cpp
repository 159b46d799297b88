// The solenoid's construction, field, inside test, collision detection and bounding box. The
// field is the hot path: it works on a local copy of the record, exits early where the coil is
// off or the point is beyond 1.2 radii, and otherwise costs two square roots and two divisions.
#include "sim/components/solenoid.h"

#include <cmath>
#include <cstring>

#include "base/kinematics.h"
#include "base/vec.h"
#include "sim/components/crossing.h"
#include "sim/pusher.h"
#include "sim/particle.h"

namespace {

// A numeric attribute, 0 when it is absent, a text or NaN.
double numberattrib(const Cell* cell, const char* name) {
  double v = Cell_attrib(cell, name, 0);
  return v == v ? v : 0.0;
}

// The same for a geometric quantity, where an infinite value is as meaningless as NaN.
double finiteattrib(const Cell* cell, const char* name) {
  double v = Cell_attrib(cell, name, 0);
  return std::isfinite(v) ? v : 0.0;
}

}  // namespace

void consolenoid(Cell* cell, Simulation* /*sim*/) {
  Solenoid s{};
  const double length = finiteattrib(cell, "length");
  s.field = finiteattrib(cell, "field");
  s.radius = finiteattrib(cell, "radius");

  const V3 start = cell->axis.origin;
  const V3 e3 = M3x3_column(cell->axis.M, 2);
  const V3 axis = (start + length * e3) - start;
  s.startx = start.x;
  s.starty = start.y;
  s.startz = start.z;
  s.axisx = axis.x;
  s.axisy = axis.y;
  s.axisz = axis.z;
  s.length = V3_norm(axis);
  // A zero length would leave the axis direction undefined (and every field value NaN); the
  // frame's beam axis is the direction such a coil has.
  const V3 u = s.length > 0 ? axis / s.length : e3;
  s.ux = u.x;
  s.uy = u.y;
  s.uz = u.z;

  s.outerradius = Cell_hasattrib(cell, "outerradius") ? finiteattrib(cell, "outerradius")
                                                      : 5.0 * s.radius;
  s.offtime = Cell_hasattrib(cell, "OffTime") ? numberattrib(cell, "OffTime") : 1e20;
  s.ontime = Cell_hasattrib(cell, "OnTime") ? numberattrib(cell, "OnTime") : -1e20;

  // Without current (or without a sheet to carry it) the coil adds no field but still stops
  // particles.
  if (s.field == 0 || !(s.radius > 0)) cell->field = nullptr;

  std::memcpy(cell->rtd, &s, sizeof s);
}

EB solfield(const void* data, double x, double y, double z, double t) {
  const Solenoid s = *static_cast<const Solenoid*>(data);
  EB f = EB_zero();
  if (s.field == 0 || !(s.radius > 0) || !Solenoid_exists(&s, t)) return f;

  const double dx = x - s.startx, dy = y - s.starty, dz = z - s.startz;
  const double sa = dx * s.ux + dy * s.uy + dz * s.uz;  // along the axis from the upstream end
  const double rx = dx - sa * s.ux, ry = dy - sa * s.uy, rz = dz - sa * s.uz;
  const double rho2 = rx * rx + ry * ry + rz * rz;
  const double a = s.radius, a2 = a * a;

  // Beyond r = ρ/a = 1.2 the field is exactly zero, and r = 1.2 itself still has field. The
  // test on squares settles every point but a thin shell about the boundary, where r decides.
  const double lim = 1.44 * a2;
  if (rho2 >= lim * 0.9999999999) {
    if (rho2 > lim * 1.0000000001 || std::sqrt(rho2) / a > 1.2) return f;
  }

  // With d1, d2 the distances from the two ends, c = 1/(1 + u²) = a²/(a² + d²) for both ends
  // with one division (σ = √c); 1/a is divided out alongside, off that chain.
  const double d1 = sa, d2 = s.length - sa;
  const double q1 = a2 + d1 * d1, q2 = a2 + d2 * d2;
  const double iq = 1.0 / (q1 * q2);
  const double ia = 1.0 / a;
  const double c1 = a2 * q2 * iq, c2 = a2 * q1 * iq;
  const double s1 = std::sqrt(c1), s2 = std::sqrt(c2);
  const double u1 = d1 * ia;  // distance from the upstream end, in radii
  const double u2 = d2 * ia;  // distance to the downstream end, in radii
  const double r2 = rho2 * (ia * ia);
  const double us1 = u1 * s1, us2 = u2 * s2;  // cos θ1, cos θ2
  const double c1sq = c1 * c1, c2sq = c2 * c2;
  const double s1c1 = s1 * c1, s2c2 = s2 * c2;

  const double Bz = s.field * 0.5 * (us1 + us2 + 0.75 * r2 * (us2 * c2sq + us1 * c1sq));
  // Br along r⃗/ρ is B0/4 · r · [...]; with r = ρ/a that is B0/(4a) · [...] times r⃗ itself, so
  // ρ is never needed (and on the axis the radial part vanishes with r⃗).
  const double br = s.field * 0.25 * ia *
                    (s2c2 - s1c1 +
                     0.375 * r2 *
                         ((4.0 * u1 * u1 - 1.0) * s1c1 * c1sq - (4.0 * u2 * u2 - 1.0) * s2c2 * c2sq));
  f.B.x = Bz * s.ux + br * rx;
  f.B.y = Bz * s.uy + br * ry;
  f.B.z = Bz * s.uz + br * rz;
  return f;
}

int insolenoid(const void* data, double x, double y, double z, double t) {
  const Solenoid* s = static_cast<const Solenoid*>(data);
  if (!Solenoid_exists(s, t)) return 0;
  const double dx = x - s->startx, dy = y - s->starty, dz = z - s->startz;
  const double sa = dx * s->ux + dy * s->uy + dz * s->uz;
  const double rx = dx - sa * s->ux, ry = dy - sa * s->uy, rz = dz - sa * s->uz;
  const double rho2 = rx * rx + ry * ry + rz * rz;
  return 0 <= sa && sa <= s->length && s->radius * s->radius <= rho2 &&
         rho2 <= s->outerradius * s->outerradius;
}

int CDsolenoid(const void* data, const Particle* start, const Particle* end, double t0, double t1,
               unsigned /*thread*/, const ScatterData* material, const Simulation* /*sim*/,
               Particle* out, double* tout) {
  const Solenoid* s = static_cast<const Solenoid*>(data);
  *out = *end;
  *tout = t1;
  if (!Solenoid_exists(s, t0)) return 0;

  const V3 p0{s->startx, s->starty, s->startz};
  const V3 u{s->ux, s->uy, s->uz};
  const V3 p1 = p0 + V3{s->axisx, s->axisy, s->axisz};
  const double a2 = s->radius * s->radius;
  const double b2 = s->outerradius * s->outerradius;

  const lineariso_coeffs upstream{-(u * p0), u.x, u.y, u.z};
  const lineariso_coeffs downstream{-(u * p0) - s->length, u.x, u.y, u.z};
  const boreiso_coeffs inner{p0.x, p0.y, p0.z, u.x, u.y, u.z, a2};
  const boreiso_coeffs outer{p0.x, p0.y, p0.z, u.x, u.y, u.z, b2};

  // Each surface's values at the step's two ends decide whether its crossing search runs at
  // all (the search's own first test on the same values); almost every step crosses none.
  double best = 9e99;
  int hit = 0;
  Particle p;
  double tc;
  // A step through vacuum moved by the program's pusher stays within `reach` of its start
  // (every stage moves at less than c, with room for rounding), and so do the points that the
  // crossing search pushes to from the start.
  const bool vacuum = !material && advanceparticle == advanceparticle_merged2a;
  const double reach = c_light * (t1 - t0) * 1.000001;
  const double inside = s->radius * (1 - 1e-9) - reach;
  // An end plane counts where the crossing lies on the annulus about that end's centre.
  auto endplane = [&](const lineariso_coeffs* plane, V3 centre) {
    if (!iso_maycross(linearisoxyz(start->x, start->y, start->z, plane),
                      linearisoxyz(end->x, end->y, end->z, plane)))
      return;
    // A step that stays well inside the sheet's radius about the centre meets the plane inside
    // the annulus's hole, wherever the search would find the crossing: nothing to search for.
    if (vacuum && inside > 0 && V3_dd(V3{start->x, start->y, start->z}, centre) < inside * inside &&
        V3_dd(V3{end->x, end->y, end->z}, centre) < inside * inside)
      return;
    if (!scatterparticle_isocd(*start, *end, t0, t1, lineariso, plane, material, &p, &tc)) return;
    if (!(tc < best)) return;
    const double d2 = V3_dd(V3{p.x, p.y, p.z}, centre);
    if (a2 <= d2 && d2 <= b2) {
      best = tc;
      *out = p;
      out->state = Stopped;
      *tout = tc;
      hit = 1;
    }
  };
  // A cylinder counts where the crossing lies between the two ends.
  auto cylinder = [&](const boreiso_coeffs* bore) {
    if (!iso_maycross(boreisoxyz(start->x, start->y, start->z, bore),
                      boreisoxyz(end->x, end->y, end->z, bore)))
      return;
    if (!scatterparticle_isocd(*start, *end, t0, t1, boreiso, bore, material, &p, &tc)) return;
    if (!(tc < best)) return;
    const double sa = (V3{p.x, p.y, p.z} - p0) * u;
    if (0 <= sa && sa <= s->length) {
      best = tc;
      *out = p;
      out->state = Stopped;
      *tout = tc;
      hit = 1;
    }
  };
  endplane(&upstream, p0);
  endplane(&downstream, p1);
  cylinder(&inner);
  cylinder(&outer);
  return hit;
}

void BBsolenoid(void* data, Cell* cell) {
  const Solenoid* s = static_cast<const Solenoid*>(data);
  const V3 e1 = M3x3_column(cell->axis.M, 0);
  const V3 e2 = M3x3_column(cell->axis.M, 1);
  const V3 u{s->ux, s->uy, s->uz};
  const V3 p0 = V3{s->startx, s->starty, s->startz};
  const V3 p1 = p0 + V3{s->axisx, s->axisy, s->axisz};
  const double reach = 13.0 * s->radius;
  const V3 before = p0 - reach * u;
  const V3 beyond = p1 + reach * u;
  const double R = s->outerradius;
  // The angle steps in single precision, as the box has always been sampled.
  for (float th = 0; th < 6.283185307179586; th += 0.1f) {
    const V3 off = R * (std::cos((double)th) * e1 + std::sin((double)th) * e2);
    const V3 a = before + off, b = beyond + off;
    Cell_bbextend(cell, a.x, a.y, a.z);
    Cell_bbextend(cell, b.x, b.y, b.z);
  }
}
