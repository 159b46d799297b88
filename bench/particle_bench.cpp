// Cost of the particle-level work done outside the pusher: one decay (channel choice, decay
// kinematics, daughters) for the common parents, and compacting a beam after a step.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "sim/beam.h"

namespace {

void decayof(benchmark::State& state, ParticleSpecies species) {
  std::vector<Particle> out;
  out.reserve(16);
  uint32_t id = 0;
  for (auto _ : state) {
    Particle p = Particle_new(species);
    Particle_setseed(&p, 12345, id++);
    p.Vz = 2e8;
    Particle_initdecays(&p, 1);
    p.propertime = p.nextdecay;
    out.clear();
    decayparticle(&p, &out, (1u << NSPECIES) - 1, 1);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DecayPion(benchmark::State& state) { decayof(state, PiPlus); }
void BM_DecayMuon(benchmark::State& state) { decayof(state, MuPlus); }
void BM_DecayKaon(benchmark::State& state) { decayof(state, KPlus); }
BENCHMARK(BM_DecayPion);
BENCHMARK(BM_DecayMuon);
BENCHMARK(BM_DecayKaon);

// A beam of n live particles of which one in 20 stopped and one in 50 decayed in the step.
void BM_SortDeadParticles(benchmark::State& state) {
  const int n = (int)state.range(0);
  Beam proto = Beam_new();
  for (int i = 0; i < n; i++) {
    Particle p = Particle_new(MuPlus);
    p.state = i % 20 == 7 ? Stopped : (i % 50 == 3 ? Decayed : Active);
    Beam_addparticle(&proto, MuPlus, &p);
  }
  Beam b = Beam_new();
  Beam_extendalloc(&b, n);
  for (auto _ : state) {
    state.PauseTiming();
    memcpy(b.particles, proto.particles, sizeof(Particle) * n);
    b.m = b.M = n;
    state.ResumeTiming();
    Beam_sortdeadparticles(&b);
    benchmark::DoNotOptimize(b.m);
  }
  state.SetItemsProcessed(state.iterations() * n);
  b.m = b.M = 0;
  Beam_free(&b);
  Beam_free(&proto);
}
BENCHMARK(BM_SortDeadParticles)->Arg(10000);

}  // namespace
