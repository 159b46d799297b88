// A whole run of a bundled design: building the machine from a fixed random genome, stepping
// until no particle is active or the end time is reached, and scoring, on one thread
// (-singlethread), on automatic threads (two, or one where that is faster) and on two threads
// at every step; the default design (lattices/frontend.txt), whose run should take 5 to 20 s
// on one thread, and the simpler decay channel. Counters: Mpts of the run, its score and Mpts per
// second of wall time. Looks for the lattice in the working directory and up to
// three levels above it (run from the build directory of the source tree); skipped when it
// cannot be found.
#include <benchmark/benchmark.h>

#include "bench/benchdir.h"

namespace {

void BM_LatticeRun(benchmark::State& state, const char* lattice) {
  runlatticebench(state, lattice, "-param:seedbase=777");  // the same beam every time
}
BENCHMARK_CAPTURE(BM_LatticeRun, frontend, "frontend")
    ->ArgNames({"threads", "fixed"})->Args({1, 0})->Args({2, 0})->Args({2, 1})->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_LatticeRun, decaychannel, "decaychannel")
    ->ArgNames({"threads", "fixed"})->Args({1, 0})->Args({2, 0})->Args({2, 1})->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
