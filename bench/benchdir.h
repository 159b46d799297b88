// Shared by the benchmarks that run bundled lattices: finds the source tree from the
// working directory, and runs a whole lattice the way a client run does.
#pragma once

#include <benchmark/benchmark.h>

#include <filesystem>

#include "base/random.h"
#include "base/report.h"
#include "language/genome.h"
#include "sim/simulation.h"

// Moves into the first of the working directory and its three parents that holds
// "lattices/decaychannel.txt". Returns true when one was found (and is now the working
// directory), false otherwise (the working directory is unchanged).
inline bool gotolattices() {
  std::filesystem::path p = std::filesystem::current_path();
  for (int i = 0; i < 4; i++) {
    if (std::filesystem::exists(p / "lattices" / "decaychannel.txt")) {
      std::filesystem::current_path(p);
      return true;
    }
    if (!p.has_parent_path()) break;
    p = p.parent_path();
  }
  return false;
}

// Builds `lattice` from the same random genome every iteration, steps it until no particle is
// active or its end time is reached, and scores it, on state.range(0) tracking threads, which
// choose between one thread and all of them as a client run does unless state.range(1) is
// nonzero (then all of them at every step large enough; the command line may carry -param:
// overrides). Counters: Mpts of the run, its score and Mpts
// per second. Skipped when the bundled lattices cannot be found. Messages are dropped.
inline void runlatticebench(benchmark::State& state, const char* lattice,
                            const char* commandline = "") {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  SimOptions options;
  options.threads = (int)state.range(0);
  options.fixedthreads = state.range(1) != 0;
  Simulation_defaultdefault(options);
  double mpts = 0, score = 0;
  for (auto _ : state) {
    srand15(7);  // the same genome every time
    Genome g = Genome_new();
    Simulation sim = Simulation_new(lattice, &g, commandline);
    while (sim.lattice && sim.beam.m > 0 && sim.t < sim.t_max) Simulation_advance(&sim, 1, 1, 1);
    score = Simulation_score(&sim);
    mpts = sim.Mpts;
    Simulation_free(&sim);
    Genome_free(g);
  }
  state.counters["Mpts"] = mpts;
  state.counters["score"] = score;
  state.counters["Mpts/s"] =
      benchmark::Counter(mpts * state.iterations(), benchmark::Counter::kIsRate);
  report_setsink(nullptr, nullptr);
}
