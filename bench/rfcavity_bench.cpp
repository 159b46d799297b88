// Cost of one RF cavity collision check (CDrfcavity) per particle step: a step that stays on one
// side of the gap plane (the common case: two plane evaluations and a return), and a step that
// crosses it (the crossing search with its re-pushes, then the kick). A 200 MeV mu+ on a
// 10 MV, 201.25 MHz gap, 1e-11 s steps, no fields near.
#include <benchmark/benchmark.h>

#include "base/kinematics.h"
#include "sim/components/rfcavity.h"
#include "sim/pusher.h"
#include "sim/species.h"

namespace {

constexpr double MeV = 1.602176462e-13;  // J

void rfcheck(benchmark::State& state, double zstart) {
  const RFCavity rf{0, 0, 0, 0, 0, 1, 1e7, 2 * 3.141592653589793 * 201.25e6, 0, 0.3};
  Particle a = Particle_new(MuPlus);
  a.x = 0.01;
  a.z = zstart;
  a.Vz = V_from_ke(200 * MeV, E0[MuPlus]);
  Particle b = a;
  const double dt = 1e-11;
  advanceparticle(&b, 0, dt);
  Particle out;
  double tout;
  for (auto _ : state) {
    benchmark::DoNotOptimize(CDrfcavity(&rf, &a, &b, 0, dt, 0, nullptr, nullptr, &out, &tout));
    benchmark::ClobberMemory();
  }
}

void BM_RFCheckNoCrossing(benchmark::State& state) { rfcheck(state, -0.1); }
void BM_RFCheckCrossing(benchmark::State& state) { rfcheck(state, -0.001); }
BENCHMARK(BM_RFCheckNoCrossing);
BENCHMARK(BM_RFCheckCrossing);

}  // namespace
