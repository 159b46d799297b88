// A whole run of a bundled design: building the machine from a fixed random genome, stepping
// until no particle is active or the end time is reached, and scoring, on one and two tracking
// threads; the default design (lattices/frontend.txt), whose run should take 5 to 20 s on one
// thread, and the simpler decay channel. Counters: Mpts of the run, its score and Mpts per
// second of wall time. Looks for the lattice in the working directory and up to
// three levels above it (run from the build directory of the source tree); skipped when it
// cannot be found.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "base/random.h"
#include "language/genome.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "bench/benchdir.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

void BM_LatticeRun(benchmark::State& state, const char* lattice) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  SimOptions options;
  options.threads = (int)state.range(0);
  Simulation_defaultdefault(options);
  double mpts = 0, score = 0;
  for (auto _ : state) {
    srand15(7);  // the same genome every time, and below the same beam
    Genome g = Genome_new();
    Simulation sim = Simulation_new(lattice, &g, "-param:seedbase=777");  // the same beam
    while (sim.lattice && sim.beam.m > 0 && sim.t < sim.t_max) Simulation_advance(&sim, 1, 1, 1);
    score = Simulation_score(&sim);
    mpts = sim.Mpts;
    Simulation_free(&sim);
    Genome_free(g);
  }
  state.counters["Mpts"] = mpts;
  state.counters["score"] = score;
  state.counters["Mpts/s"] = benchmark::Counter(mpts * state.iterations(), benchmark::Counter::kIsRate);
  report_setsink(nullptr, nullptr);
}
BENCHMARK_CAPTURE(BM_LatticeRun, frontend, "frontend")
    ->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_LatticeRun, decaychannel, "decaychannel")
    ->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
