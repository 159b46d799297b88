// The cost of what the display adds to a run, measured against the run itself: a whole run of
// the bundled default lattice on one thread, with the -plot recording sampled every N time
// steps (0: none). Counters: the seconds spent in the recording and their share of the run.
// Looks for the lattice in the working directory and up to three levels above it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>

#include "base/random.h"
#include "base/report.h"
#include "display/runrecord.h"
#include "display/sideview.h"
#include "language/genome.h"
#include "shell/runstate.h"
#include "bench/benchdir.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void BM_RunWithPlotRecording(benchmark::State& state) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  Simulation_defaultdefault();  // one stepping thread
  const int every = (int)state.range(0);
  double recording = 0, total = 0;
  for (auto _ : state) {
    srand15(7);
    Genome g = Genome_new();
    double t0 = seconds();
    Simulation sim = Simulation_new("decaychannel", &g, "");
    RunRecord r;
    if (every > 0) RunRecord_begin(&r, &sim, 400, every);
    while (sim.lattice && sim.beam.m > 0 && sim.t < sim.t_max) {
      Simulation_advance(&sim, 1, 1, 1);
      if (every > 0) {
        double a = seconds();
        RunRecord_sample(&r, &sim);
        recording += seconds() - a;
      }
    }
    double score = Simulation_score(&sim);
    if (every > 0) {
      double a = seconds();
      RunRecord_finish(&r, &sim, score, 5000);
      recording += seconds() - a;
    }
    total += seconds() - t0;
    Simulation_free(&sim);
    Genome_free(g);
  }
  state.counters["recording_s"] = recording / state.iterations();
  state.counters["share_%"] = total > 0 ? 100 * recording / total : 0;
  report_setsink(nullptr, nullptr);
}
BENCHMARK(BM_RunWithPlotRecording)->Arg(10)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// One frame of the terminal's side view (80 × 12 cells) of the default lattice's beam after
// 2,000 steps (about 3,000 live particles). The view draws at most 10 frames a second, so
// the share of the run's time it takes is at most the frame time × 10 per second.
void BM_SideViewFrame(benchmark::State& state) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  Simulation_defaultdefault();  // one stepping thread
  srand15(7);
  Genome g = Genome_new();
  Simulation sim = Simulation_new("decaychannel", &g, "");
  for (int i = 0; i < 2000 && sim.lattice && sim.beam.m > 0; i++) Simulation_advance(&sim, 1, 1, 1);
  SideViewState v;
  for (auto _ : state) {
    std::vector<std::string> rows = sideview_rows(sim, v, 80, 12);
    benchmark::DoNotOptimize(rows);
  }
  state.counters["live"] = sim.beam.m;
  Simulation_free(&sim);
  Genome_free(g);
  report_setsink(nullptr, nullptr);
}
BENCHMARK(BM_SideViewFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
