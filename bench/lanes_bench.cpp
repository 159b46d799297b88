// Tracking speed at each lane width, beside a plain reference: whole collision steps of 5000
// muons in a channel of 16 solenoids (ns per particle step = 1e9 / items per second) at lane
// widths 1, 2, 4, 8 (those the processor runs) on one thread and at the widest on two threads
// (always two); the same steps on automatic threads (two, or one where that is faster) while
// another thread keeps a core busy; and as the
// yardstick a plain array-of-structures RK4 over the same particles through three summed
// finite-sheet solenoid fields, written here without any of the program's machinery.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/kinematics.h"
#include "base/random.h"
#include "base/report.h"
#include "lattice/cell.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/stepping.h"

namespace {

const double MeVc = 1.602176462e-13 / 299792458.0;  // kg m/s per MeV/c

Cell* coil(double field) {
  Cell* c = Cell_new(Component, "S");
  Cell_settypename(c, "solenoid");
  Cell_setattrib(c, "length", 0.5);
  Cell_setattrib(c, "radius", 0.3);
  Cell_setattrib(c, "outerradius", 0.4);
  Cell_setattrib(c, "field", field);
  return c;
}

Cell* gap() {
  Cell* c = Cell_new(Component, "D");
  Cell_settypename(c, "Drift");
  Cell_setattrib(c, "length", 0.1);
  return c;
}

// 16 coils of 0.5 m (radius 0.3 m, ±2 T alternating) with 0.1 m gaps; `particles` mu+ of
// 150-250 MeV/c near the axis, spread over the first 3 m.
Simulation channel(int threads, int particles = 5000, bool fixedthreads = true) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  Simulation_defaultdefault();
  Simulation sim = Simulation_default;
  sim.seed = 4711;
  sim.threads = threads;
  sim.fixedthreads = fixedthreads;
  sim.lattice = Cell_new(Composite, "channel");
  for (int i = 0; i < 16; i++) {
    Cell_add(sim.lattice, coil(i % 2 ? -2.0 : 2.0), -1);
    Cell_add(sim.lattice, gap(), -1);
  }
  Simulation_initmachine(&sim, AffineFrame_identity());
  uint32_t s = 1;
  auto u = [&s]() { return durnd(99, s++); };
  for (int i = 0; i < particles; i++) {
    Particle* p = addparticlecon(&sim, MuPlus, i + 1, nullptr, 0);
    const double k = MeVc / speciesmass[MuPlus];
    p->x = 0.04 * (u() - 0.5);
    p->y = 0.04 * (u() - 0.5);
    p->z = 0.3 + 3.0 * u();
    p->Vx = 30 * (u() - 0.5) * k;
    p->Vy = 30 * (u() - 0.5) * k;
    p->Vz = (150 + 100 * u()) * k;
  }
  Beam_nearbythings(&sim.beam);
  return sim;
}

// Whole steps; the beam is rebuilt, untimed, every 200 steps so it keeps its size and place
// (and the automatic threads start their choice anew, as at the start of a run).
void steps(benchmark::State& state, int threads, int width, bool fixedthreads) {
  const int saved = pusher_width();
  if (pusher_setwidth(width) != width) {
    state.SkipWithError("this processor has no such lane width");
    return;
  }
  Simulation sim = channel(threads, 5000, fixedthreads);
  int64_t particlesteps = 0;
  int n = 0;
  for (auto _ : state) {
    if (++n % 200 == 0) {
      state.PauseTiming();
      Simulation_free(&sim);
      sim = channel(threads, 5000, fixedthreads);
      state.ResumeTiming();
    }
    particlesteps += sim.beam.m;
    Simulation_advance(&sim, 1, StepCollide, 1);
  }
  state.SetItemsProcessed(particlesteps);
  double nearby = 0;
  for (int i = 0; i < sim.beam.m; i++) nearby += sim.beam.particles[i].nnearby;
  state.counters["nearby"] = sim.beam.m ? nearby / sim.beam.m : 0;
  Simulation_free(&sim);
  pusher_setwidth(saved);
}

void BM_StepAtWidth(benchmark::State& state) {
  steps(state, (int)state.range(1), (int)state.range(0), true);
}
BENCHMARK(BM_StepAtWidth)
    ->ArgNames({"width", "threads"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({4, 1})
    ->Args({8, 1})
    ->Args({4, 2})
    ->Args({8, 2})
    ->UseRealTime();

// Automatic threads (two) against one thread while another thread spins on a core.
void BM_StepWithABusyCore(benchmark::State& state) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    volatile double x = 1;
    while (!stop.load(std::memory_order_relaxed)) x = x * 1.0000001;
  });
  steps(state, (int)state.range(0), pusher_maxwidth(), false);
  stop = true;
  busy.join();
}
BENCHMARK(BM_StepWithABusyCore)->ArgName("threads")->Arg(1)->Arg(2)->UseRealTime();

// The hand-off cost: steps of a beam of `particles` muons with the thread-overhead log on, which
// runs the steps on one and on two threads in turn whatever their size. Counters: the median
// wall time of a step on one thread (us1) and on two (us2), in µs, and the hand-off cost that
// the two-thread step adds to half the one-thread step (handoff = us2 - us1 / 2). Two threads
// pay for a step from the size at which us2 falls below us1 (STEP_PARALLEL_MIN).
void BM_HandOff(benchmark::State& state) {
  const int particles = (int)state.range(0);
  FILE* log = tmpfile();
  if (!log) {
    state.SkipWithError("no temporary file for the thread-overhead log");
    return;
  }
  Simulation sim = channel(2, particles);
  sim.threadoverheadlog = log;
  int n = 0;
  for (auto _ : state) {
    if (++n % 200 == 0) {
      state.PauseTiming();
      Simulation_free(&sim);
      sim = channel(2, particles);
      sim.threadoverheadlog = log;
      state.ResumeTiming();
    }
    Simulation_advance(&sim, 1, StepCollide, 1);
  }
  Simulation_free(&sim);
  // Lines "threads,work,seconds" separated by ',' within a cycle and '\n' after it.
  rewind(log);
  std::vector<double> times[2];
  int threads, work;
  double seconds;
  char sep;
  while (fscanf(log, "%d,%d,%lg%c", &threads, &work, &seconds, &sep) == 4)
    if (threads == 1 || threads == 2) times[threads - 1].push_back(seconds * 1e6);
  fclose(log);
  double median[2] = {0, 0};
  for (int k = 0; k < 2; k++) {
    if (times[k].empty()) continue;
    std::nth_element(times[k].begin(), times[k].begin() + times[k].size() / 2, times[k].end());
    median[k] = times[k][times[k].size() / 2];
  }
  state.counters["us1"] = median[0];
  state.counters["us2"] = median[1];
  state.counters["handoff"] = median[1] - median[0] / 2;
}
BENCHMARK(BM_HandOff)->ArgName("particles")->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Arg(1024)
    ->Arg(2048)->UseRealTime();

// ---- the yardstick: plain array-of-structures RK4, three summed finite-sheet solenoids ----

struct Sheet {
  double z0, L, a, B0;
};

struct State6 {
  double x, y, z, Vx, Vy, Vz;
};

// B of a finite current sheet along z (its on-axis field and second-order off-axis terms),
// added to b; nothing beyond 1.2 radii.
void sheet(const Sheet& s, double x, double y, double z, double* b) {
  const double rho2 = x * x + y * y;
  if (rho2 > 1.44 * s.a * s.a) return;
  const double u1 = (z - s.z0) / s.a, u2 = (s.z0 + s.L - z) / s.a, r2 = rho2 / (s.a * s.a);
  const double c1 = 1 / (1 + u1 * u1), c2 = 1 / (1 + u2 * u2);
  const double s1 = std::sqrt(c1), s2 = std::sqrt(c2);
  b[2] += s.B0 * 0.5 * (u1 * s1 + u2 * s2 + 0.75 * r2 * (u2 * s2 * c2 * c2 + u1 * s1 * c1 * c1));
  const double br = s.B0 * 0.25 / s.a *
                    (s2 * c2 - s1 * c1 +
                     0.375 * r2 * ((4 * u1 * u1 - 1) * s1 * c1 * c1 * c1 -
                                   (4 * u2 * u2 - 1) * s2 * c2 * c2 * c2));
  b[0] += br * x;
  b[1] += br * y;
}

void deriv(const Sheet* sheets, double qm, const State6& y, State6* d) {
  double b[3] = {0, 0, 0};
  for (int i = 0; i < 3; i++) sheet(sheets[i], y.x, y.y, y.z, b);
  const double g = c_light / std::sqrt(y.Vx * y.Vx + y.Vy * y.Vy + y.Vz * y.Vz + c_sq);
  *d = State6{y.Vx * g, y.Vy * g, y.Vz * g, qm * g * (y.Vy * b[2] - y.Vz * b[1]),
              qm * g * (y.Vz * b[0] - y.Vx * b[2]), qm * g * (y.Vx * b[1] - y.Vy * b[0])};
}

State6 axpy(const State6& s, double h, const State6& k) {
  return State6{s.x + h * k.x, s.y + h * k.y, s.z + h * k.z,
                s.Vx + h * k.Vx, s.Vy + h * k.Vy, s.Vz + h * k.Vz};
}

void BM_ReferenceAoSRK4(benchmark::State& state) {
  const Sheet sheets[3] = {{0, 0.5, 0.3, 2}, {0.6, 0.5, 0.3, -2}, {1.2, 0.5, 0.3, 2}};
  const double qm = charge[MuPlus] / speciesmass[MuPlus];
  const double dt = 1e-11;
  uint32_t s = 1;
  auto u = [&s]() { return durnd(99, s++); };
  std::vector<State6> start(5000);
  const double k = MeVc / speciesmass[MuPlus];
  for (State6& p : start)
    p = State6{0.04 * (u() - 0.5), 0.04 * (u() - 0.5), 0.3 + 1.2 * u(), 30 * (u() - 0.5) * k,
               30 * (u() - 0.5) * k, (150 + 100 * u()) * k};
  std::vector<State6> beam = start;
  int n = 0;
  for (auto _ : state) {
    for (State6& y : beam) {
      State6 k1, k2, k3, k4;
      deriv(sheets, qm, y, &k1);
      deriv(sheets, qm, axpy(y, 0.5 * dt, k1), &k2);
      deriv(sheets, qm, axpy(y, 0.5 * dt, k2), &k3);
      deriv(sheets, qm, axpy(y, dt, k3), &k4);
      const double h = dt / 6;
      y = State6{y.x + h * (k1.x + 2 * k2.x + 2 * k3.x + k4.x),
                 y.y + h * (k1.y + 2 * k2.y + 2 * k3.y + k4.y),
                 y.z + h * (k1.z + 2 * k2.z + 2 * k3.z + k4.z),
                 y.Vx + h * (k1.Vx + 2 * k2.Vx + 2 * k3.Vx + k4.Vx),
                 y.Vy + h * (k1.Vy + 2 * k2.Vy + 2 * k3.Vy + k4.Vy),
                 y.Vz + h * (k1.Vz + 2 * k2.Vz + 2 * k3.Vz + k4.Vz)};
    }
    if (++n % 200 == 0) beam = start;
    benchmark::DoNotOptimize(beam.data());
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)beam.size());
}
BENCHMARK(BM_ReferenceAoSRK4);

}  // namespace
