// The lane pusher at width 8, built for AVX512F (this unit alone is compiled with that
// instruction set); pusher.cpp calls it only on processors that have it.
#if defined(__AVX512F__)
#include <immintrin.h>

#include "sim/pushlanes.h"

namespace {

template <>
vd<8> lanes_sqrt<8>(vd<8> x) {
#if defined(__clang__)
  return (vd<8>)_mm512_sqrt_pd((__m512d)x);  // clang (the fuzzing build) has no masked builtin
#else
  // The masked form with every lane selected (the unmasked intrinsic trips a false
  // uninitialised-value warning in GCC 12).
  return (vd<8>)__builtin_ia32_sqrtpd512_mask((__v8df)x, (__v8df)x, (__mmask8)0xff,
                                              _MM_FROUND_CUR_DIRECTION);
#endif
}

}  // namespace

void pushlanes8(Particle* const* ps, int count, double t, double dt, uint8_t* coils) {
  lanes_push<8>(ps, count, t, dt, coils);
}

void borelanes8(const Particle* const* ps, int count, const Cell* machine,
                const SegmentFrame* frames, int32_t* seg, uint8_t* verdict) {
  lanes_bore<8>(ps, count, machine, frames, seg, verdict);
}
#endif
