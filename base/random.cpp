// The 15-bit process-wide generator with frnd, rnd and randomchar, and the deterministic
// seed-hash family drnda … dexpvariate. The generator's state is one word used by the main
// thread only; the hash family has no state and runs on every worker thread, once or more per
// particle drawn, scattered or decayed.
#include "base/random.h"

#include <cmath>

namespace {

uint32_t randseed = 1;

// (r2 + r1·2^−15)·2^−15 from two successive draws, r1 first; exact in long double.
long double twodraws() {
  int r1 = rand15();
  int r2 = rand15();
  return ((long double)r2 + (long double)r1 * 0x1p-15L) * 0x1p-15L;
}

struct HashWords {
  uint32_t hi;  // B
  uint32_t lo;  // A + (B >> 16)
};

// Nine full rounds and a tenth half-round of 32-bit multiplies, shifts and adds (all modulo
// 2^32).
inline HashWords drndhash(uint32_t k, uint32_t s) {
  uint32_t x = s - 0x76543211u;
  uint32_t y = (k + 0x01234567u) * x;
  for (int round = 0; round < 9; round++) {
    uint32_t a = x * y;
    uint32_t b = y + (a >> 16);
    x = a + (b >> 16) + s;
    y = (b + k) * x;
  }
  uint32_t A = x * y;
  uint32_t B = y + (A >> 16);
  return HashWords{B, A + (B >> 16)};
}

// hi + lo·2^−32, exact in the 64-bit mantissa of long double.
inline long double words64(uint32_t hi, uint32_t lo) {
  return (long double)hi + (long double)lo * 0x1p-32L;
}

}  // namespace

int rand15() {
  randseed = randseed * 214013u + 2531011u;
  return (int)((randseed >> 16) & 0x7fff);
}

void srand15(uint32_t seed) {
  randseed = seed;
}

double frnd(double x) {
  return (double)(twodraws() * x);
}

int rnd(int n) {
  long double v = floorl(twodraws() * n);
  if (v >= n) v = (long double)n - 1;
  if (v < 0) v = 0;
  return (int)v;
}

char randomchar() {
  int i = (int)floorl(twodraws() * 62);
  if (i < 26) return (char)('A' + i);
  if (i < 52) return (char)('a' + (i - 26));
  if (i < 62) return (char)('0' + (i - 52));
  return '9';
}

uint32_t drnda(uint32_t k, uint32_t s) {
  return drndhash(k, s).hi;
}

uint32_t drndb(uint32_t k, uint32_t s) {
  return drndhash(k, s).lo;
}

double durnd_words(uint32_t hi, uint32_t lo) {
  double u = (double)(words64(hi, lo) * 0x1p-32L);
  return u < 1.0 ? u : 0x1.fffffffffffffp-1;
}

uint32_t drnd_words(uint32_t n, uint32_t hi, uint32_t lo) {
  if (n == 0) return 0;
  long double v = floorl(words64(hi, lo) * (long double)n * 0x1p-32L);
  return v < (long double)n ? (uint32_t)v : n - 1;
}

double dfrnd_words(double range, uint32_t hi, uint32_t lo) {
  double v = (double)(words64(hi, lo) * (long double)range * 0x1p-32L);
  if (range > 0 && v >= range) v = std::nextafter(range, 0.0);
  return v;
}

double durnd(uint32_t k, uint32_t s) {
  HashWords h = drndhash(k, s);
  return durnd_words(h.hi, h.lo);
}

uint32_t drnd(uint32_t n, uint32_t k, uint32_t s) {
  HashWords h = drndhash(k, s);
  return drnd_words(n, h.hi, h.lo);
}

double dfrnd(double range, uint32_t k, uint32_t s) {
  HashWords h = drndhash(k, s);
  return dfrnd_words(range, h.hi, h.lo);
}

double dexpvariate(uint32_t k, uint32_t s) {
  // Each level below e^−5 adds 5 and moves to a fresh index; the sums are rounded to double
  // level by level, innermost first, as the nested definition does.
  const double tailcut = 0.006737946999085467;  // e^−5
  int levels = 0;
  double u = durnd(k, s);
  while (u < tailcut) {
    s = drnd(100000000u, k, s + 1) + s + 1;
    u = durnd(k, s);
    levels++;
  }
  double r = -std::log(u);
  for (int i = 0; i < levels; i++) r = 5.0 + r;
  return r;
}
