// Cost of tracking: one RK4 pusher step with 1, 3 and 6 nearby solenoid fields, and whole time
// steps of a 10,000-particle beam in a solenoid channel on one and two threads (items per
// second = particle steps per second), with a bare loop of pushes over the same particles as
// the floor that the stepping machinery adds to.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "base/kinematics.h"
#include "base/random.h"
#include "lattice/cell.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/stepping.h"

namespace {

const double MeV = 1.602176462e-13;  // J

void quiet() {
  report_setsink([](const char*, int, void*) {}, nullptr);
}

Cell* solenoid(double length, double radius, double field) {
  Cell* c = Cell_new(Component, "S");
  Cell_settypename(c, "solenoid");
  Cell_setattrib(c, "length", length);
  Cell_setattrib(c, "radius", radius);
  Cell_setattrib(c, "outerradius", radius + 0.1);
  Cell_setattrib(c, "field", field);
  return c;
}

Cell* drift(double length) {
  Cell* c = Cell_new(Component, "D");
  Cell_settypename(c, "Drift");
  Cell_setattrib(c, "length", length);
  return c;
}

// A channel of `n` solenoids (0.4 m long, 0.3 m radius, 2 T, alternating) with 0.1 m gaps.
Simulation channel(int n) {
  quiet();
  Simulation_defaultdefault();
  Simulation sim = Simulation_default;
  sim.seed = 4711;
  sim.lattice = Cell_new(Composite, "channel");
  for (int i = 0; i < n; i++) {
    Cell_add(sim.lattice, solenoid(0.4, 0.3, i % 2 ? -2.0 : 2.0), -1);
    Cell_add(sim.lattice, drift(0.1), -1);
  }
  Simulation_initmachine(&sim, AffineFrame_identity());
  return sim;
}

// The beam: pions and muons of 150 to 250 MeV/c near the axis, spread over the first metres.
void addbeam(Simulation* sim, int n) {
  uint32_t s = 1;
  auto u = [&s]() { return durnd(99, s++); };
  for (int i = 0; i < n; i++) {
    ParticleSpecies sp = i % 2 ? MuPlus : PiPlus;
    Particle* p = addparticlecon(sim, sp, i + 1, nullptr, 0);
    double k = MeV / c_light / speciesmass[sp];
    p->x = 0.05 * (u() - 0.5);
    p->y = 0.05 * (u() - 0.5);
    p->z = 0.5 + 3.0 * u();
    p->Vx = 40 * (u() - 0.5) * k;
    p->Vy = 40 * (u() - 0.5) * k;
    p->Vz = (150 + 100 * u()) * k;
  }
  Beam_nearbythings(&sim->beam);
}

void BM_Pusher(benchmark::State& state) {
  const int nfields = (int)state.range(0);
  Simulation sim = channel(8);
  std::vector<Cell*> near;
  for (int i = 0; i < sim.lattice->n && (int)near.size() < nfields; i++)
    if (sim.lattice->children[i]->field) near.push_back(sim.lattice->children[i]);
  Particle p0 = Particle_new(MuPlus);
  Particle_setnearby(&p0, near.data(), (uint32_t)near.size());
  p0.x = 0.02;
  p0.z = 1.0;
  p0.Vx = 1e7;
  p0.Vz = 2e8;
  double t = 0;
  for (auto _ : state) {
    Particle p = p0;
    advanceparticle(&p, t, 1e-11);
    benchmark::DoNotOptimize(p);
    t += 1e-11;
  }
  state.SetItemsProcessed(state.iterations());
  Particle_free(&p0);
  Simulation_free(&sim);
}
BENCHMARK(BM_Pusher)->Arg(1)->Arg(3)->Arg(6);

// Whole steps (decays on, full collision mode). The beam is rebuilt, untimed, every 100 steps
// so that it keeps its size and place in the channel.
void BM_SimulationAdvance(benchmark::State& state) {
  const int threads = (int)state.range(0);
  const int mode = (int)state.range(1);
  Simulation sim = channel(40);
  sim.threads = threads;
  sim.fixedthreads = true;  // the given count, not the faster of one and all
  sim.particlesperthread = 35;
  addbeam(&sim, 10000);
  int64_t particlesteps = 0;
  int steps = 0;
  for (auto _ : state) {
    if (++steps % 100 == 0) {
      state.PauseTiming();
      Beam_free(&sim.beam);
      sim.t = 0;
      sim.steps = 0;
      addbeam(&sim, 10000);
      state.ResumeTiming();
    }
    particlesteps += sim.beam.m;
    Simulation_advance(&sim, 1, mode, 1);
  }
  state.SetItemsProcessed(particlesteps);
  state.counters["nearby"] = 0;
  double nearby = 0;
  for (int i = 0; i < sim.beam.m; i++) nearby += sim.beam.particles[i].nnearby;
  if (sim.beam.m) state.counters["nearby"] = nearby / sim.beam.m;
  Simulation_free(&sim);
}
BENCHMARK(BM_SimulationAdvance)
    ->ArgNames({"threads", "mode"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({1, 0})
    ->Args({2, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The floor: the same pushes with no stepping around them (one thread).
void BM_BarePushLoop(benchmark::State& state) {
  Simulation sim = channel(40);
  addbeam(&sim, 10000);
  int64_t particlesteps = 0;
  double t = 0;
  int steps = 0;
  for (auto _ : state) {
    if (++steps % 100 == 0) {
      state.PauseTiming();
      Beam_free(&sim.beam);
      addbeam(&sim, 10000);
      t = 0;
      state.ResumeTiming();
    }
    Particle* P = sim.beam.particles;
    for (int i = 0; i < sim.beam.m; i++) advanceparticle(&P[i], t, 1e-11);
    particlesteps += sim.beam.m;
    t += 1e-11;
  }
  state.SetItemsProcessed(particlesteps);
  Simulation_free(&sim);
}
BENCHMARK(BM_BarePushLoop)->Unit(benchmark::kMillisecond);

}  // namespace
