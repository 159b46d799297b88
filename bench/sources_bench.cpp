// Cost of the particle sources: the rod's collision check for one particle step (a pion
// leaving the rod's surface, the most common case after release; a step passing beside the
// rod; a step that crosses back into it, with its crossing search), the loading of the
// bundled pion files, and a whole run of the bundled _target lattice (8,000 pions from the
// rod through the capture solenoids) on one and two tracking threads.
#include <benchmark/benchmark.h>

#include <cmath>

#include "base/kinematics.h"
#include "base/report.h"
#include "bench/benchdir.h"
#include "sim/components/sources.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

const double MeV = 1.602176462e-13;  // J

// range(0): 0 leaving the surface, 1 beside the rod, 2 crossing back into it.
void BM_RodSourceCollision(benchmark::State& state) {
  Rodsource rod{ROD_RADIUS, ROD_LENGTH, 0.1, 0, 0, 0};
  rodsource_lookups(&rod);
  const double x0[3] = {0.01, 0.05, 0.0105}, vx[3] = {1, 0, -1};
  Particle p = Particle_new(PiPlus);
  p.x = x0[state.range(0)];
  p.z = 0.1;
  const double V = 200 * MeV / c_light / speciesmass[PiPlus];
  p.Vx = V * vx[state.range(0)] * 0.6;
  p.Vz = V * 0.8;
  Particle end = p, out;
  const double dt = 1e-11;
  advanceparticle(&end, 0, dt);
  double tout;
  for (auto _ : state)
    benchmark::DoNotOptimize(CDrodsource(&rod, &p, &end, 0, dt, 0, nullptr, nullptr, &out, &tout));
}
BENCHMARK(BM_RodSourceCollision)->Arg(0)->Arg(1)->Arg(2);

void BM_LoadBundledPionFiles(benchmark::State& state) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("source tree not found");
    return;
  }
  Simulation_defaultdefault();
  Rodsource rod{ROD_RADIUS, ROD_LENGTH, 0.1, 0, 0, 0};
  rodsource_lookups(&rod);
  for (auto _ : state) {
    Simulation sim = Simulation_default;
    sim.beam = Beam_new();
    loadbeam_rodsource(&rod, "datafiles/target_piplus.csv", 0, 0, PiPlus, &sim, 0);
    loadbeam_marssource(AffineFrame_identity(), "datafiles/target_mars.dat", 0, 0, 0, &sim, 0);
    benchmark::DoNotOptimize(sim.beam.M);
    Simulation_free(&sim);
  }
  report_setsink(nullptr, nullptr);
}
BENCHMARK(BM_LoadBundledPionFiles)->Unit(benchmark::kMillisecond);

void BM_TargetLatticeRun(benchmark::State& state) {
  runlatticebench(state, "_target", "-param:seedbase=777");
}
BENCHMARK(BM_TargetLatticeRun)
    ->ArgNames({"threads", "fixed"})->Args({1, 0})->Args({2, 0})->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
