// The particle pusher and the field sum. The pusher is the width-1 case of the lane pusher
// (sim/pushlanes.h), so one particle pushed alone and the same particle pushed among others at
// any width take the same bits; the wider cases are dispatched by the processor's features.
#include "sim/pusher.h"

#include <atomic>
#include <cmath>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "sim/components/solenoid.h"
#include "sim/pushlanes.h"
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

// The width-1 and width-2 square roots use the instructions every machine has.
template <int W>
vd<W> lanes_sqrt(vd<W> x) {
  for (int i = 0; i < W; i++) x[i] = std::sqrt(x[i]);
  return x;
}

// The lane widths this machine runs, widest first, and the one in use.
int widestwidth() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return 8;
  if (__builtin_cpu_supports("avx2")) return 4;
#endif
  return 2;
}

// 0 until first asked: then the widest. Atomic because every stepping thread asks for it.
std::atomic<int> width{0};

}  // namespace

#if defined(__x86_64__)
// Built for wider instruction sets in their own units (pusher_avx2.cpp, pusher_avx512.cpp);
// called only where the processor has them.
void pushlanes4(Particle* const* ps, int count, double t, double dt, uint8_t* coils);
void pushlanes8(Particle* const* ps, int count, double t, double dt, uint8_t* coils);
void borelanes4(const Particle* const* ps, int count, const Cell* machine,
                const SegmentFrame* frames, int32_t* seg, uint8_t* verdict);
void borelanes8(const Particle* const* ps, int count, const Cell* machine,
                const SegmentFrame* frames, int32_t* seg, uint8_t* verdict);
#endif

void advanceparticle_merged2a(Particle* p, double t, double dt) {
  Particle* const ps[1] = {p};
  lanes_push<1>(ps, 1, t, dt);
}

int pusher_maxwidth() {
  static const int widest = widestwidth();
  return widest;
}

int pusher_width() {
  int w = width.load(std::memory_order_relaxed);
  if (w == 0) {
    w = pusher_maxwidth();
    width.store(w, std::memory_order_relaxed);
  }
  return w;
}

int pusher_setwidth(int w) {
  int widest = pusher_maxwidth();
  const int chosen = w >= 8 && widest >= 8 ? 8 : w >= 4 && widest >= 4 ? 4 : w >= 2 ? 2 : 1;
  width.store(chosen, std::memory_order_relaxed);
  return chosen;
}

bool pusher_batchable(Cell* const* nearby, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (nearby[i]->field && nearby[i]->field != solfield) return false;
  return true;
}

void advanceparticles(Particle* const* ps, int count, double t, double dt, uint8_t* coils) {
  switch (pusher_width()) {
#if defined(__x86_64__)
    case 8:
      pushlanes8(ps, count, t, dt, coils);
      return;
    case 4:
      pushlanes4(ps, count, t, dt, coils);
      return;
#endif
    case 2:
      lanes_push<2>(ps, count, t, dt, coils);
      return;
    default:
      for (int i = 0; i < count; i++) lanes_push<1>(ps + i, 1, t, dt, coils ? coils + i : nullptr);
  }
}

void boreparticles(const Particle* const* ps, int count, const Cell* machine,
                   const SegmentFrame* frames, int32_t* seg, uint8_t* verdict) {
  switch (pusher_width()) {
#if defined(__x86_64__)
    case 8:
      borelanes8(ps, count, machine, frames, seg, verdict);
      return;
    case 4:
      borelanes4(ps, count, machine, frames, seg, verdict);
      return;
#endif
    case 2:
      lanes_bore<2>(ps, count, machine, frames, seg, verdict);
      return;
    default:
      for (int i = 0; i < count; i++)
        lanes_bore<1>(ps + i, 1, machine, frames, seg + i, verdict + i);
  }
}

SegmentFrame SegmentFrame_of(const Cell* c, double bore) {
  const AffineFrame& f = c->entrance;
  return SegmentFrame{f.origin.x,  f.origin.y,  f.origin.z,  f.M.m[0][0], f.M.m[1][0],
                      f.M.m[2][0], f.M.m[0][1], f.M.m[1][1], f.M.m[2][1], f.M.m[0][2],
                      f.M.m[1][2], f.M.m[2][2], c->length,   bore,        c->angle,
                      0};
}
