// The pusher and the solenoid field over W particles at once (W = 1, 2, 4, 8): one RK4 step of
// W particles that share one nearby list, each lane doing exactly the operations of the
// one-particle pusher in the same order (no fused multiply-add, correctly rounded square roots
// and divisions, masks where the one-particle code branches), so every width gives the same
// bits; and the collision step's bore test, the same way. Included only by the pusher's
// translation units, each of which is compiled for one instruction set: everything here lives
// in that unit's anonymous namespace and calls no inline function of another header, so no
// code built for a wider instruction set can be shared with (and picked by the linker for)
// code that runs on every machine.
// The including unit defines lanes_sqrt<W> for the widths it instantiates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/kinematics.h"
#include "lattice/cell.h"
#include "sim/components/solenoid.h"
#include "sim/particle.h"
#include "sim/pusher.h"
#include "sim/species.h"

namespace {

template <int W>
struct Lanes {
  typedef double vd __attribute__((vector_size(W * 8)));
  typedef long long vm __attribute__((vector_size(W * 8)));
};

template <int W>
using vd = typename Lanes<W>::vd;
template <int W>
using vm = typename Lanes<W>::vm;

// Correctly rounded square root of every lane; defined by the including unit with the
// instructions of its instruction set.
template <int W>
vd<W> lanes_sqrt(vd<W> x);

template <int W>
inline vd<W> lanes_splat(double x) {
  vd<W> v;
  for (int i = 0; i < W; i++) v[i] = x;
  return v;
}

template <int W>
inline bool lanes_any(vm<W> m) {
  long long a = 0;
  for (int i = 0; i < W; i++) a |= m[i];
  return a != 0;
}

// Three lanes of a vector quantity.
template <int W>
struct LV3 {
  vd<W> x, y, z;
};

// Adds the solenoid field at the lanes' points (time t) to B, as solfield computes it for each
// point: zero where the coil does not exist at t or the point is beyond 1.2 radii.
template <int W>
inline void lanes_solfield(const Solenoid& s, const LV3<W>& p, double t, LV3<W>* B) {
  const vd<W> zero = lanes_splat<W>(0.0);
  bool exists;
  if (s.ontime < s.offtime) exists = s.ontime < t && t <= s.offtime;
  else exists = t <= s.offtime || t > s.ontime;
  if (s.field == 0 || !(s.radius > 0) || !exists) {
    // The one-particle sum adds a zero field.
    B->x += zero;
    B->y += zero;
    B->z += zero;
    return;
  }
  const vd<W> dx = p.x - s.startx, dy = p.y - s.starty, dz = p.z - s.startz;
  const vd<W> sa = dx * s.ux + dy * s.uy + dz * s.uz;
  const vd<W> rx = dx - sa * s.ux, ry = dy - sa * s.uy, rz = dz - sa * s.uz;
  const vd<W> rho2 = rx * rx + ry * ry + rz * rz;
  const double a = s.radius, a2 = a * a;

  const double lim = 1.44 * a2;
  vm<W> beyond = rho2 >= lim * 0.9999999999;
  if (lanes_any<W>(beyond)) {
    vm<W> far = rho2 > lim * 1.0000000001;
    if (lanes_any<W>(beyond & ~far)) far |= lanes_sqrt<W>(rho2) / a > 1.2;
    beyond &= far;
  }

  const vd<W> d1 = sa, d2 = s.length - sa;
  const vd<W> q1 = a2 + d1 * d1, q2 = a2 + d2 * d2;
  const vd<W> iq = 1.0 / (q1 * q2);
  const double ia = 1.0 / a;
  const vd<W> c1 = a2 * q2 * iq, c2 = a2 * q1 * iq;
  const vd<W> s1 = lanes_sqrt<W>(c1), s2 = lanes_sqrt<W>(c2);
  const vd<W> u1 = d1 * ia;
  const vd<W> u2 = d2 * ia;
  const vd<W> r2 = rho2 * (ia * ia);
  const vd<W> us1 = u1 * s1, us2 = u2 * s2;
  const vd<W> c1sq = c1 * c1, c2sq = c2 * c2;
  const vd<W> s1c1 = s1 * c1, s2c2 = s2 * c2;

  const vd<W> Bz = s.field * 0.5 * (us1 + us2 + 0.75 * r2 * (us2 * c2sq + us1 * c1sq));
  const vd<W> br = s.field * 0.25 * ia *
                   (s2c2 - s1c1 +
                    0.375 * r2 *
                        ((4.0 * u1 * u1 - 1.0) * s1c1 * c1sq - (4.0 * u2 * u2 - 1.0) * s2c2 * c2sq));
  B->x += beyond ? zero : Bz * s.ux + br * rx;
  B->y += beyond ? zero : Bz * s.uy + br * ry;
  B->z += beyond ? zero : Bz * s.uz + br * rz;
}

// The field sum of the one-particle pusher over the lanes: the nearby components from the last
// to the first. Lanes of width above 1 take only lists whose fields are all solenoid fields
// (lanes_batchable); width 1 also calls any other field operation.
template <int W>
inline void lanes_fieldsum(Cell* const* nearby, uint32_t n, const LV3<W>& p, double t, LV3<W>* E,
                           LV3<W>* B) {
  const vd<W> zero = lanes_splat<W>(0.0);
  *E = LV3<W>{zero, zero, zero};
  *B = LV3<W>{zero, zero, zero};
  for (uint32_t i = n; i-- > 0;) {
    const Cell* c = nearby[i];
    if (!c->field) continue;
    if (c->field == solfield) {
      lanes_solfield<W>(*static_cast<const Solenoid*>(static_cast<const void*>(c->rtd)), p, t, B);
    } else if constexpr (W == 1) {
      EB f = c->field(c->rtd, p.x[0], p.y[0], p.z[0], t);
      E->x[0] += f.E.x;
      E->y[0] += f.E.y;
      E->z[0] += f.E.z;
      B->x[0] += f.B.x;
      B->y[0] += f.B.y;
      B->z[0] += f.B.z;
    }
  }
}

// 1/gamma = c / sqrt(|V|² + c²).
template <int W>
inline vd<W> lanes_invgamma(const LV3<W>& V) {
  return c_light / lanes_sqrt<W>(V.x * V.x + V.y * V.y + V.z * V.z + c_sq);
}

// One stage: the increments of r and V at state (r, V) with its 1/gamma g and field (E, B).
template <int W>
inline void lanes_stage(const LV3<W>& V, vd<W> g, const LV3<W>& E, const LV3<W>& B, double dt,
                        vd<W> k, LV3<W>* dr, LV3<W>* dV) {
  const vd<W> dtg = dt * g;
  dr->x = V.x * dtg;
  dr->y = V.y * dtg;
  dr->z = V.z * dtg;
  dV->x = k * (E.x + (V.y * B.z - V.z * B.y) * g);
  dV->y = k * (E.y + (V.z * B.x - V.x * B.z) * g);
  dV->z = k * (E.z + (V.x * B.y - V.y * B.x) * g);
}

template <int W>
inline LV3<W> lanes_add(const LV3<W>& a, const LV3<W>& b) {
  return LV3<W>{a.x + b.x, a.y + b.y, a.z + b.z};
}
template <int W>
inline LV3<W> lanes_addhalf(const LV3<W>& a, const LV3<W>& b) {
  return LV3<W>{a.x + b.x * 0.5, a.y + b.y * 0.5, a.z + b.z * 0.5};
}

// The lanes whose step from a to b (starting at t0) may cross a surface of coil s: the first
// test of its collision check (CDsolenoid) on the same values, the coil's end planes and its
// inner and outer cylinders evaluated at both ends as the check evaluates them. A coil that
// does not exist at t0 is crossed by no lane.
template <int W>
inline vm<W> lanes_coilmaycross(const Solenoid& s, const LV3<W>& a, const LV3<W>& b, double t0) {
  bool exists;
  if (s.ontime < s.offtime) exists = s.ontime < t0 && t0 <= s.offtime;
  else exists = t0 <= s.offtime || t0 > s.ontime;
  vm<W> none;
  for (int i = 0; i < W; i++) none[i] = 0;
  if (!exists) return none;
  const double d0 = -(s.ux * s.startx + s.uy * s.starty + s.uz * s.startz);
  const double d1 = d0 - s.length;
  const double a2 = s.radius * s.radius, b2 = s.outerradius * s.outerradius;
  // !(fa * fb > 0 || fa == 0), lane by lane.
  auto maycross = [](vd<W> fa, vd<W> fb) -> vm<W> { return ~((fa * fb > 0) | (fa == 0)); };
  auto plane = [&](const LV3<W>& p, double d) {
    return d + s.ux * p.x + s.uy * p.y + s.uz * p.z;
  };
  // Squared distance from the axis (before subtracting the radius squared).
  auto rho2 = [&](const LV3<W>& p) {
    const vd<W> wx = p.x - s.startx, wy = p.y - s.starty, wz = p.z - s.startz;
    const vd<W> sa = wx * s.ux + wy * s.uy + wz * s.uz;
    const vd<W> rx = wx - sa * s.ux, ry = wy - sa * s.uy, rz = wz - sa * s.uz;
    return rx * rx + ry * ry + rz * rz;
  };
  const vd<W> ra = rho2(a), rb = rho2(b);
  return maycross(plane(a, d0), plane(b, d0)) | maycross(plane(a, d1), plane(b, d1)) |
         maycross(ra - a2, rb - a2) | maycross(ra - b2, rb - b2);
}

// Advances ps[0 … count-1] (1 <= count <= W, all with the nearby list of ps[0]) from t to t + dt
// in place, as advanceparticle_merged2a does each of them. Lanes beyond count carry a copy of
// the first particle whose result is discarded. With `coils`, coils[i] becomes 1 when particle
// i's step may cross a surface of a nearby coil (lanes_coilmaycross), else 0.
template <int W>
void lanes_push(Particle* const* ps, int count, double t, double dt, uint8_t* coils = nullptr) {
  const Particle* p0 = ps[0];
  Cell* const* nearby = p0->nearby;
  const uint32_t n = p0->nnearby;
  LV3<W> r, V;
  vd<W> k;
  for (int i = 0; i < W; i++) {
    const Particle* p = ps[i < count ? i : 0];
    r.x[i] = p->x;
    r.y[i] = p->y;
    r.z[i] = p->z;
    V.x[i] = p->Vx;
    V.y[i] = p->Vy;
    V.z[i] = p->Vz;
    if (i > 0 && p->species == ps[i - 1 < count ? i - 1 : 0]->species) {
      k[i] = k[i - 1];  // the same species gives the same quotient
    } else {
      const double q = charge[p->species];
      k[i] = q != 0 ? q * dt / speciesmass[p->species] : 0.0;
    }
  }
  const vd<W> g0 = lanes_invgamma<W>(V);
  const double th = t + dt * 0.5;

  LV3<W> dr1, dV1, dr2, dV2, dr3, dV3, dr4, dV4, E, B;
  if (n == 0) {
    // No field: every stage sees the start state, so the stages are identical; this gives the
    // same bits as the general path with a zero field.
    const vd<W> zero = lanes_splat<W>(0.0);
    E = B = LV3<W>{zero, zero, zero};
    lanes_stage<W>(V, g0, E, B, dt, k, &dr1, &dV1);
    dr2 = dr3 = dr4 = dr1;
    dV2 = dV3 = dV4 = dV1;
  } else {
    lanes_fieldsum<W>(nearby, n, r, t, &E, &B);
    lanes_stage<W>(V, g0, E, B, dt, k, &dr1, &dV1);

    LV3<W> r2 = lanes_addhalf<W>(r, dr1), V2 = lanes_addhalf<W>(V, dV1);
    lanes_fieldsum<W>(nearby, n, r2, th, &E, &B);
    lanes_stage<W>(V2, lanes_invgamma<W>(V2), E, B, dt, k, &dr2, &dV2);

    LV3<W> r3 = lanes_addhalf<W>(r, dr2), V3v = lanes_addhalf<W>(V, dV2);
    lanes_fieldsum<W>(nearby, n, r3, th, &E, &B);
    lanes_stage<W>(V3v, lanes_invgamma<W>(V3v), E, B, dt, k, &dr3, &dV3);

    LV3<W> r4 = lanes_add<W>(r, dr3), V4 = lanes_add<W>(V, dV3);
    lanes_fieldsum<W>(nearby, n, r4, t + dt, &E, &B);
    lanes_stage<W>(V4, lanes_invgamma<W>(V4), E, B, dt, k, &dr4, &dV4);
  }

  const double sixth = 0.16666666666666666;
  const vd<W> Drx = (dr1.x + 2.0 * dr2.x + 2.0 * dr3.x + dr4.x) * sixth;
  const vd<W> Dry = (dr1.y + 2.0 * dr2.y + 2.0 * dr3.y + dr4.y) * sixth;
  const vd<W> Drz = (dr1.z + 2.0 * dr2.z + 2.0 * dr3.z + dr4.z) * sixth;
  const vd<W> DVx = (dV1.x + 2.0 * dV2.x + 2.0 * dV3.x + dV4.x) * sixth;
  const vd<W> DVy = (dV1.y + 2.0 * dV2.y + 2.0 * dV3.y + dV4.y) * sixth;
  const vd<W> DVz = (dV1.z + 2.0 * dV2.z + 2.0 * dV3.z + dV4.z) * sixth;
  const vd<W> x = r.x + Drx, y = r.y + Dry, z = r.z + Drz;
  const vd<W> Vx = V.x + DVx, Vy = V.y + DVy, Vz = V.z + DVz;
  const vd<W> dtau = dt * g0;
  if (coils) {
    const LV3<W> e{x, y, z};
    vm<W> m;
    for (int i = 0; i < W; i++) m[i] = 0;
    for (uint32_t i = 0; i < n; i++)
      if (nearby[i]->collisiondetect == CDsolenoid)
        m |= lanes_coilmaycross<W>(
            *static_cast<const Solenoid*>(static_cast<const void*>(nearby[i]->rtd)), r, e, t);
    for (int i = 0; i < count; i++) coils[i] = m[i] != 0;
  }
  for (int i = 0; i < count; i++) {
    Particle* p = ps[i];
    p->x = x[i];
    p->y = y[i];
    p->z = z[i];
    p->Vx = Vx[i];
    p->Vy = Vy[i];
    p->Vz = Vz[i];
    p->propertime += dtau[i];
  }
}

// A vector of the W values f(0) ... f(W-1), built in registers.
template <int W, class F, std::size_t... I>
inline vd<W> lanes_make(F f, std::index_sequence<I...>) {
  return vd<W>{f(I)...};
}

// The collision step's segment search and bore test over the lanes, for particles whose search
// ends in the segment they start in: each lane computes the particle's local position in that
// segment as Cell_sr does (the entrance frame's transposed matrix times the offset from its
// origin, the same operations in the same order, and a correctly rounded square root), so the
// distance from the axis and the verdict are those of the one-particle search (see
// boreparticles in sim/pusher.h).
template <int W>
void lanes_bore(const Particle* const* ps, int count, const Cell* machine,
                const SegmentFrame* frames, int32_t* seg, uint8_t* verdict) {
  const Particle* p[W];
  const SegmentFrame* fr[W];
  int32_t sg[W];
  const int32_t n = machine->n;
  for (int i = 0; i < W; i++) {
    p[i] = ps[i < count ? i : 0];
    const int32_t s = p[i]->segment < 0 ? 0 : p[i]->segment >= n ? n - 1 : p[i]->segment;
    sg[i] = s;
    fr[i] = frames + s;
  }
  const auto lanes = std::make_index_sequence<W>();
#define ORDAX_LANES(expr) lanes_make<W>([&](std::size_t i) { return (expr); }, lanes)
  const vd<W> dx = ORDAX_LANES(p[i]->x) - ORDAX_LANES(fr[i]->ox);
  const vd<W> dy = ORDAX_LANES(p[i]->y) - ORDAX_LANES(fr[i]->oy);
  const vd<W> dz = ORDAX_LANES(p[i]->z) - ORDAX_LANES(fr[i]->oz);
  const vd<W> lx = ORDAX_LANES(fr[i]->m00) * dx + ORDAX_LANES(fr[i]->m10) * dy +
                   ORDAX_LANES(fr[i]->m20) * dz;
  const vd<W> ly = ORDAX_LANES(fr[i]->m01) * dx + ORDAX_LANES(fr[i]->m11) * dy +
                   ORDAX_LANES(fr[i]->m21) * dz;
  const vd<W> lz = ORDAX_LANES(fr[i]->m02) * dx + ORDAX_LANES(fr[i]->m12) * dy +
                   ORDAX_LANES(fr[i]->m22) * dz;
  const vd<W> r = lanes_sqrt<W>(lx * lx + ly * ly);
  const vd<W> bore = ORDAX_LANES(fr[i]->bore);
  const vd<W> len = ORDAX_LANES(fr[i]->length);
  const vd<W> bent = ORDAX_LANES(fr[i]->angle);
#undef ORDAX_LANES
  const vm<W> outside = (bore > 0.0) & (r > bore);
  const vm<W> beyond = lz >= len, before = lz < 0.0, curved = bent != 0.0;
  for (int i = 0; i < count; i++) {
    seg[i] = sg[i];
    const bool moves = (beyond[i] && sg[i] + 1 < n) || (before[i] && sg[i] > 0);
    verdict[i] = p[i]->beamline != machine || moves || curved[i] ? 2 : outside[i] ? 1 : 0;
  }
}

}  // namespace
