// Random numbers. Two families:
//  - the process-wide 15-bit generator (rand15/srand15: results 0 … 32767, the classic linear
//    congruential step) used by the optimiser, results code and beam set-up, with frnd, rnd and
//    randomchar built on two successive draws;
//  - the deterministic family (drnda, drndb, durnd, drnd, dfrnd, dexpvariate): pure functions
//    of two 32-bit seeds, safe from any thread, so that a particle's history does not depend on
//    the thread or the order of particles.
#pragma once

#include <cstdint>

int rand15();                 // 0 … 32767; not thread-safe (main thread only)
void srand15(uint32_t seed);
