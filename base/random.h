// Random numbers. Two families:
//  - the process-wide 15-bit generator (rand15/srand15: results 0 … 32767, the classic linear
//    congruential step) used by the optimiser, results code and beam set-up, with frnd, rnd and
//    randomchar built on two successive draws;
//  - the deterministic family (drnda, drndb, durnd, drnd, dfrnd, dexpvariate): pure functions
//    of two 32-bit seeds, safe from any thread, so that a particle's history does not depend on
//    the thread or the order of particles. Called for every particle drawn and every
//    scattering step: the hash is ten rounds of 32-bit multiplies, shifts and adds.
#pragma once

#include <cstdint>

// ---- the process-wide 15-bit generator (main thread only) ----

int rand15();                 // 0 … 32767; not thread-safe (main thread only)
void srand15(uint32_t seed);

// From two successive draws r1 then r2: (r2 + r1·2^−15)·x·2^−15, in [0, x).
double frnd(double x);
// floor((r2 + r1·2^−15)·n·2^−15), then at most n − 1 and at least 0.
int rnd(int n);
// One of A-Z, a-z, 0-9, chosen by i = floor((r2 + r1·2^−15)·62·2^−15) from two draws.
char randomchar();

// ---- the deterministic family: functions of a seed k and an index s ----
// The hash leaves two 32-bit words: B (= drnda) and A + (B >> 16) (= drndb). The real-valued
// members use the 64-bit number B + drndb·2^−32, scaled in extended precision (long double).

uint32_t drnda(uint32_t k, uint32_t s);
uint32_t drndb(uint32_t k, uint32_t s);
// (B + drndb·2^−32)·2^−32: a double in [0, 1) carrying 64 bits of the hash.
double durnd(uint32_t k, uint32_t s);
// floor((B + drndb·2^−32)·n·2^−32): an integer in [0, n) (0 when n is 0).
uint32_t drnd(uint32_t n, uint32_t k, uint32_t s);
// (B + drndb·2^−32)·range·2^−32: a double in [0, range) for range > 0.
double dfrnd(double range, uint32_t k, uint32_t s);
// An exponentially distributed number of mean 1, exact in its tail: u = durnd(k, s); −ln u if
// u ≥ e^−5, else 5 + dexpvariate(k, drnd(100000000, k, s + 1) + s + 1).
double dexpvariate(uint32_t k, uint32_t s);

// The scalings above from the two hash words hi = B and lo = drndb, for callers (and tests)
// that already hold them. Rounding to double that would reach the upper bound (possible only
// for hi = 0xFFFFFFFF and lo near its top) gives the largest value below it instead.
double durnd_words(uint32_t hi, uint32_t lo);
uint32_t drnd_words(uint32_t n, uint32_t hi, uint32_t lo);
double dfrnd_words(double range, uint32_t hi, uint32_t lo);
