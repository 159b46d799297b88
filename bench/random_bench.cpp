// Per-call cost of the deterministic random family, drawn once or more for every particle
// generated, scattered or decayed on the worker threads.
#include <benchmark/benchmark.h>

#include "base/random.h"

namespace {

void BM_drnd(benchmark::State& state) {
  uint32_t s = 0;
  for (auto _ : state) benchmark::DoNotOptimize(drnd(100000000u, 12345u, s++));
}
BENCHMARK(BM_drnd);

void BM_durnd(benchmark::State& state) {
  uint32_t s = 0;
  for (auto _ : state) benchmark::DoNotOptimize(durnd(12345u, s++));
}
BENCHMARK(BM_durnd);

void BM_dfrnd(benchmark::State& state) {
  uint32_t s = 0;
  for (auto _ : state) benchmark::DoNotOptimize(dfrnd(6.283185307179586, 12345u, s++));
}
BENCHMARK(BM_dfrnd);

void BM_dexpvariate(benchmark::State& state) {
  uint32_t s = 0;
  for (auto _ : state) benchmark::DoNotOptimize(dexpvariate(12345u, s++));
}
BENCHMARK(BM_dexpvariate);

void BM_frnd(benchmark::State& state) {
  srand15(1);
  for (auto _ : state) benchmark::DoNotOptimize(frnd(1.0));
}
BENCHMARK(BM_frnd);

}  // namespace
