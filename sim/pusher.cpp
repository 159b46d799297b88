// The particle pusher and the field sum. The RK4 stages are written out on plain doubles (no
// particle copies per stage); the arithmetic of each stage is the same for every particle, so a
// particle's path does not depend on the thread that pushes it.
#include "sim/pusher.h"

#include <cmath>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "sim/species.h"

PusherFn advanceparticle = advanceparticle_merged2a;

EB fieldsum(Cell* const* nearby, uint32_t n, double x, double y, double z, double t) {
  EB f = EB_zero();
  for (uint32_t i = n; i-- > 0;) {
    const Cell* c = nearby[i];
    if (c->field) f += c->field(c->rtd, x, y, z, t);
  }
  return f;
}

EB fieldatparticle(const Particle* p, double t) {
  return fieldsum(p->nearby, p->nnearby, p->x, p->y, p->z, t);
}

namespace {

// 1/gamma = c / sqrt(|V|² + c²).
inline double invgamma(V3 V) {
  return c_light / std::sqrt(V.x * V.x + V.y * V.y + V.z * V.z + c_sq);
}

// One stage: the increments of r and V at state (r, V) with its 1/gamma g and field f.
inline void stage(V3 V, double g, const EB& f, double dt, double k, V3* dr, V3* dV) {
  *dr = V * (dt * g);
  *dV = k * (f.E + (V ^ f.B) * g);
}

}  // namespace

void advanceparticle_merged2a(Particle* p, double t, double dt) {
  Cell* const* nearby = p->nearby;
  const uint32_t n = p->nnearby;
  const double q = charge[p->species];
  const double k = q != 0 ? q * dt / speciesmass[p->species] : 0.0;
  const V3 r{p->x, p->y, p->z};
  const V3 V{p->Vx, p->Vy, p->Vz};
  const double g0 = invgamma(V);
  const double th = t + dt * 0.5;

  V3 dr1, dV1, dr2, dV2, dr3, dV3, dr4, dV4;
  if (n == 0) {
    // No field: every stage sees the start state, so the stages are identical; this gives the
    // same bits as the general path with a zero field.
    stage(V, g0, EB_zero(), dt, k, &dr1, &dV1);
    dr2 = dr3 = dr4 = dr1;
    dV2 = dV3 = dV4 = dV1;
  } else {
    EB f = fieldsum(nearby, n, r.x, r.y, r.z, t);
    stage(V, g0, f, dt, k, &dr1, &dV1);

    V3 r2 = r + dr1 * 0.5, V2 = V + dV1 * 0.5;
    f = fieldsum(nearby, n, r2.x, r2.y, r2.z, th);
    stage(V2, invgamma(V2), f, dt, k, &dr2, &dV2);

    V3 r3 = r + dr2 * 0.5, V3v = V + dV2 * 0.5;
    f = fieldsum(nearby, n, r3.x, r3.y, r3.z, th);
    stage(V3v, invgamma(V3v), f, dt, k, &dr3, &dV3);

    V3 r4 = r + dr3, V4 = V + dV3;
    f = fieldsum(nearby, n, r4.x, r4.y, r4.z, t + dt);
    stage(V4, invgamma(V4), f, dt, k, &dr4, &dV4);
  }

  const double sixth = 0.16666666666666666;
  V3 Dr = (dr1 + 2.0 * dr2 + 2.0 * dr3 + dr4) * sixth;
  V3 DV = (dV1 + 2.0 * dV2 + 2.0 * dV3 + dV4) * sixth;
  p->x = r.x + Dr.x;
  p->y = r.y + Dr.y;
  p->z = r.z + Dr.z;
  p->Vx = V.x + DV.x;
  p->Vy = V.y + DV.y;
  p->Vz = V.z + DV.z;
  p->propertime += dt * g0;
}
