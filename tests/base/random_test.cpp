#include "base/random.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- reference model of the seed hash, written with 64-bit words masked to 32 bits ----

constexpr uint64_t kMask = 0xFFFFFFFFull;

struct RefHash {
  uint64_t B, b;  // drnda, drndb
};

RefHash refhash(uint64_t k, uint64_t s) {
  uint64_t x = (s + (1ull << 32) - 0x76543211ull) & kMask;
  uint64_t y = ((k + 0x01234567ull) * x) & kMask;
  for (int round = 1; round <= 9; round++) {
    uint64_t a = (x * y) & kMask;
    uint64_t b = (y + (a >> 16)) & kMask;
    x = (a + (b >> 16) + s) & kMask;
    y = ((b + k) * x) & kMask;
  }
  uint64_t A = (x * y) & kMask;
  uint64_t B = (y + (A >> 16)) & kMask;
  return RefHash{B, (A + (B >> 16)) & kMask};
}

// floor((B·2^32 + b)·n / 2^64) exactly, in 128-bit integers.
uint32_t refdrnd(uint32_t n, uint32_t k, uint32_t s) {
  RefHash h = refhash(k, s);
  unsigned __int128 v = ((unsigned __int128)((h.B << 32) | h.b)) * n;
  return (uint32_t)(v >> 64);
}

TEST(Rand15, ClassicSequenceForSeedOne) {
  srand15(1);
  std::vector<int> got;
  for (int i = 0; i < 5; i++) got.push_back(rand15());
  EXPECT_EQ(got, (std::vector<int>{41, 18467, 6334, 26500, 19169}));
  srand15(1);
  EXPECT_EQ(rand15(), 41);  // reseeding restarts the sequence
}

TEST(Rand15Family, FirstDrawsFollowTheTwoDrawFormula) {
  // For seed 1 the draws are r1 = 41, r2 = 18467.
  const double u = (18467 + 41 / 32768.0) / 32768.0;
  srand15(1);
  EXPECT_DOUBLE_EQ(frnd(10.0), u * 10.0);
  srand15(1);
  EXPECT_EQ(rnd(1000), (int)std::floor(u * 1000));
  srand15(1);
  EXPECT_EQ(randomchar(), 'a' + (int)std::floor(u * 62) - 26);  // i = 34 → 'i'
}

TEST(Rand15Family, RangesAndAlphabet) {
  srand15(4242);
  std::set<int> seen;
  for (int t = 0; t < 20000; t++) {
    double f = frnd(3.5);
    ASSERT_GE(f, 0.0);
    ASSERT_LT(f, 3.5);
    int r = rnd(7);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 7);
    seen.insert(r);
    ASSERT_EQ(rnd(1), 0);
  }
  EXPECT_EQ(seen.size(), 7u);
  EXPECT_EQ(rnd(0), 0);  // a result ≥ n becomes n − 1 = −1, then not below 0
  EXPECT_EQ(rnd(-5), 0);

  std::set<char> chars;
  for (int t = 0; t < 20000; t++) {
    char c = randomchar();
    ASSERT_TRUE(std::isalnum((unsigned char)c)) << (int)c;
    chars.insert(c);
  }
  EXPECT_EQ(chars.size(), 62u);
}

TEST(Drnd, HashMatchesReferenceModel) {
  // Seeds near the wrap-around points of the constants as well as ordinary ones.
  const uint32_t seeds[] = {0, 1, 2, 0x76543211u, 0x76543210u, 0xFEDCBA99u, 0xFFFFFFFFu, 12345};
  for (uint32_t k : seeds)
    for (uint32_t s : seeds) {
      RefHash h = refhash(k, s);
      ASSERT_EQ(drnda(k, s), h.B) << k << " " << s;
      ASSERT_EQ(drndb(k, s), h.b) << k << " " << s;
    }
  for (uint32_t i = 0; i < 20000; i++) {
    uint32_t k = i * 2654435761u, s = i * 40503u + 7;
    RefHash h = refhash(k, s);
    ASSERT_EQ(drnda(k, s), h.B) << k << " " << s;
    ASSERT_EQ(drndb(k, s), h.b) << k << " " << s;
  }
}

// Values worked out with exact rational arithmetic outside this code base (seed pairs k, s).
TEST(Drnd, KnownValuesAreStable) {
  struct Case {
    uint32_t k, s, a, b;
    double u;
    uint32_t d1000, d1e8;
    double e;
  };
  const Case cases[] = {
      {0, 0, 0xb688eceeu, 0xae9faf88u, 0.7130268175811796, 713, 71302681, 0.3382362469593466},
      {1, 0, 0x8fd42d6eu, 0xd8c46a87u, 0.5618313212987843, 561, 56183132, 0.576553614177232},
      {0, 1, 0x8043de2au, 0x6fe536a1u, 0.5010355809789829, 501, 50103558, 0.6910781605009376},
      {12345, 678, 0x1e9a1bbcu, 0xde57c94bu, 0.11953900681541464, 119, 11953900,
       2.124112544007572},
      {0xFFFFFFFFu, 0xFFFFFFFFu, 0xa8a384c7u, 0xfde86023u, 0.6587450969945237, 658, 65874509,
       0.4174186220468271},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.k) + "," + std::to_string(c.s));
    EXPECT_EQ(drnda(c.k, c.s), c.a);
    EXPECT_EQ(drndb(c.k, c.s), c.b);
    EXPECT_EQ(durnd(c.k, c.s), c.u);
    EXPECT_EQ(drnd(1000, c.k, c.s), c.d1000);
    EXPECT_EQ(drnd(100000000, c.k, c.s), c.d1e8);
    EXPECT_NEAR(dexpvariate(c.k, c.s), c.e, 1e-15 * c.e);
    EXPECT_EQ(dfrnd(2.0, c.k, c.s), 2.0 * c.u);
  }
  // Calls do not disturb each other: the family has no state.
  double first = durnd(0, 0);
  for (int i = 0; i < 100; i++) durnd(i, i);
  EXPECT_EQ(durnd(0, 0), first);
}

TEST(Drnd, IntegerDrawsMatchExactFloor) {
  const uint32_t ns[] = {1, 2, 3, 10, 1000, 100000000, 0x80000001u, 0xFFFFFFFFu};
  for (uint32_t n : ns) {
    SCOPED_TRACE(n);
    for (uint32_t s = 0; s < 5000; s++) {
      uint32_t d = drnd(n, 99, s);
      ASSERT_LT(d, n);
      ASSERT_EQ(d, refdrnd(n, 99, s)) << "s " << s;
    }
  }
  EXPECT_EQ(drnd(0, 5, 5), 0u);
}

TEST(Drnd, UnitDrawsStayBelowOneAndAreUniform) {
  const int N = 200000, bins = 20;
  std::vector<int> count(bins, 0);
  double sum = 0;
  for (int i = 0; i < N; i++) {
    double u = durnd(31337, (uint32_t)i);
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
    sum += u;
    count[(int)(u * bins)]++;
  }
  EXPECT_NEAR(sum / N, 0.5, 0.005);  // standard error 0.00065
  double chi2 = 0, expect = (double)N / bins;
  for (int c : count) chi2 += (c - expect) * (c - expect) / expect;
  EXPECT_LT(chi2, 50.0);  // 19 degrees of freedom: 50 is far beyond the 99.9 % point (43.8)
}

// The largest hash words round to 1.0 (or n, or range) in double unless the bound is kept.
TEST(Drnd, TopWordsStayInsideTheRange) {
  EXPECT_LT(durnd_words(0xFFFFFFFFu, 0xFFFFFFFFu), 1.0);
  EXPECT_EQ(durnd_words(0xFFFFFFFFu, 0xFFFFFFFFu), std::nextafter(1.0, 0.0));
  EXPECT_LT(durnd_words(0xFFFFFFFFu, 0xFFFFFC00u), 1.0);
  EXPECT_EQ(durnd_words(0, 0), 0.0);
  EXPECT_EQ(durnd_words(0x80000000u, 0), 0.5);
  for (uint32_t n : {1u, 3u, 1000u, 100000000u, 0xFFFFFFFFu})
    EXPECT_EQ(drnd_words(n, 0xFFFFFFFFu, 0xFFFFFFFFu), n - 1) << n;
  for (double range : {1.0, 2.0, 6.283185307179586, 1e-300, 3e300}) {
    double v = dfrnd_words(range, 0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_LT(v, range) << range;
    EXPECT_GT(v, range * 0.999999) << range;
  }
}

TEST(Dexpvariate, TailLevelsAddFiveEach) {
  // For k = 7 these indices draw u < e^−5 first; values from exact outside arithmetic.
  struct Case {
    uint32_t s;
    double want;
  };
  const Case cases[] = {{121, 5.7631988787361905},
                        {228, 5.2727086402064245},
                        {250, 5.1537229055509375},
                        {405, 7.345848815249064}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_LT(durnd(7, c.s), std::exp(-5.0));
    EXPECT_NEAR(dexpvariate(7, c.s), c.want, 1e-14);
  }
}

// Exponential of mean 1: mean, survival beyond 5, 6 and 8, and memorylessness of the tail.
TEST(Dexpvariate, IsExponentialWithMeanOne) {
  const int N = 400000;
  double sum = 0, excess = 0;
  int beyond5 = 0, beyond6 = 0, beyond8 = 0;
  for (int i = 0; i < N; i++) {
    double x = dexpvariate(2024, (uint32_t)i);
    ASSERT_GT(x, 0.0);
    sum += x;
    if (x > 5) beyond5++, excess += x - 5;
    if (x > 6) beyond6++;
    if (x > 8) beyond8++;
  }
  EXPECT_NEAR(sum / N, 1.0, 0.01);  // standard error 0.0016
  // Expected counts N·e^−t with Poisson spread √(N·e^−t); allow 4.5 standard deviations.
  auto expectcount = [&](int got, double t) {
    double mean = N * std::exp(-t);
    EXPECT_NEAR(got, mean, 4.5 * std::sqrt(mean)) << "beyond " << t;
  };
  expectcount(beyond5, 5);
  expectcount(beyond6, 6);
  expectcount(beyond8, 8);
  EXPECT_NEAR(excess / beyond5, 1.0, 0.15);  // the tail beyond 5 is again exponential
}

}  // namespace
