// The lane pusher at width 4, built for AVX2 (this unit alone is compiled with that
// instruction set); pusher.cpp calls it only on processors that have it.
#if defined(__AVX2__)
#include <immintrin.h>

#include "sim/pushlanes.h"

namespace {

template <>
vd<4> lanes_sqrt<4>(vd<4> x) {
  return (vd<4>)_mm256_sqrt_pd(x);
}

}  // namespace

void pushlanes4(Particle* const* ps, int count, double t, double dt, uint8_t* coils) {
  lanes_push<4>(ps, count, t, dt, coils);
}

void borelanes4(const Particle* const* ps, int count, const Cell* machine,
                const SegmentFrame* frames, int32_t* seg, uint8_t* verdict) {
  lanes_bore<4>(ps, count, machine, frames, seg, verdict);
}
#endif
