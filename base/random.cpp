// The 15-bit process-wide generator and the deterministic seed-hash family.
#include "base/random.h"

namespace {
uint32_t randseed = 1;
}

int rand15() {
  randseed = randseed * 214013u + 2531011u;
  return (int)((randseed >> 16) & 0x7fff);
}

void srand15(uint32_t seed) {
  randseed = seed;
}
