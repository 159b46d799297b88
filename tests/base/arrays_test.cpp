#include "base/arrays.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;

using Scratch = testsupport::TempDir;
using testsupport::readfile;
using testsupport::writefile;

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  for (int k = 0; k < 4; k++) s[k] = char(v >> (8 * k));
  return s;
}

std::string f64(double d) {
  uint64_t b;
  memcpy(&b, &d, 8);
  std::string s(8, '\0');
  for (int k = 0; k < 8; k++) s[k] = char(b >> (8 * k));
  return s;
}

TEST(Array1d, CountsCopiesAndGrowth) {
  Array1d a(array_1d_zeroed(5));
  ASSERT_EQ(array_1d_count(a.get()), 5u);
  for (int i = 0; i < 5; i++) EXPECT_EQ(a.get()[i], 0);
  for (int i = 0; i < 5; i++) a.get()[i] = i + 1;
  Array1d b(array_1d_copy(a.get()));
  b.get()[0] = 100;
  EXPECT_EQ(a.get()[0], 1);  // a separate block
  double* c = b.release();
  array_1d_extendzeroed(&c, 3);
  ASSERT_EQ(array_1d_count(c), 8u);
  EXPECT_EQ(c[0], 100);
  EXPECT_EQ(c[4], 5);
  EXPECT_EQ(c[5], 0);
  EXPECT_EQ(c[7], 0);
  array_1d_extendby(&c, 2);
  ASSERT_EQ(array_1d_count(c), 10u);
  EXPECT_EQ(c[4], 5);
  Array1d d(array_1d(10));
  array_1d_eq(d.get(), c);
  EXPECT_EQ(memcmp(d.get(), c, 10 * sizeof(double)), 0);
  array_1d_free(c);
}

TEST(Array1d, FromCSVKeepsEmptyPieces) {
  struct Case {
    const char* text;
    std::vector<double> want;
  } cases[] = {
      {"1,2.5,-3e2", {1, 2.5, -300}},
      {"a,,7", {0, 0, 7}},
      {"", {0}},
      {" 4 ,5x", {4, 5}},
      {",", {0, 0}},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.text);
    Array1d a(array_1d_fromCSV(tc.text));
    ASSERT_EQ(array_1d_count(a.get()), tc.want.size());
    for (size_t i = 0; i < tc.want.size(); i++) EXPECT_EQ(a.get()[i], tc.want[i]);
  }
}

TEST(Array1d, ArithmeticAndStatistics) {
  Array1d a(array_1d_fromCSV("3,-4,0,12"));
  Array1d b(array_1d_fromCSV("1,2,3,4"));
  EXPECT_EQ(array_1d_sum(a.get()), 11);
  EXPECT_EQ(array_1d_mean(a.get()), 2.75);
  EXPECT_EQ(array_1d_sumsq(a.get()), 169);
  EXPECT_EQ(array_1d_norm(a.get()), 13);
  EXPECT_EQ(array_1d_rms(a.get()), 6.5);
  EXPECT_EQ(array_1d_max(a.get()), 12);
  Array1d empty(array_1d(0));
  EXPECT_EQ(array_1d_max(empty.get()), -HUGE_VAL);
  array_1d_addsc(a.get(), 2, b.get());  // 5, 0, 6, 20
  array_1d_mul(a.get(), b.get());       // 5, 0, 18, 80
  array_1d_add(a.get(), b.get());       // 6, 2, 21, 84
  array_1d_scale(a.get(), 0.5);         // 3, 1, 10.5, 42
  std::vector<double> got(a.get(), a.get() + 4);
  EXPECT_EQ(got, (std::vector<double>{3, 1, 10.5, 42}));
  array_1d_zero(a.get());
  EXPECT_EQ(array_1d_sumsq(a.get()), 0);
}

TEST(Array1d, SortsAscendingWithNaNsLast) {
  unsigned seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 g(seed);
  std::normal_distribution<double> d;
  Array1d a(array_1d(1000));
  std::vector<double> ref;
  for (int i = 0; i < 1000; i++) ref.push_back(a.get()[i] = (i % 97 == 0) ? NAN : d(g));
  array_1d_qsort(a.get());
  std::vector<double> finite;
  for (double v : ref)
    if (!std::isnan(v)) finite.push_back(v);
  std::sort(finite.begin(), finite.end());
  for (size_t i = 0; i < finite.size(); i++) ASSERT_EQ(a.get()[i], finite[i]) << i;
  for (size_t i = finite.size(); i < 1000; i++) EXPECT_TRUE(std::isnan(a.get()[i]));
}

Array2d counting(uint32_t rows, uint32_t cols) {
  Array2d a(array_2d(rows, cols));
  for (uint32_t i = 0; i < rows; i++)
    for (uint32_t j = 0; j < cols; j++) a.get()[i][j] = 10.0 * i + j;
  return a;
}

TEST(Array2d, DimensionsCopyTransposeAndArithmetic) {
  Array2d a = counting(3, 4);
  EXPECT_EQ(array_2d_rows(a.get()), 3u);
  EXPECT_EQ(array_2d_cols(a.get()), 4u);
  Array2d t(array_2d_transpose(a.get()));
  ASSERT_EQ(array_2d_rows(t.get()), 4u);
  ASSERT_EQ(array_2d_cols(t.get()), 3u);
  EXPECT_EQ(t.get()[3][2], 23);
  Array2d c(array_2d_copy(a.get()));
  c.get()[1][1] = -1;
  EXPECT_EQ(a.get()[1][1], 11);
  array_2d_eq(c.get(), a.get());
  EXPECT_EQ(c.get()[1][1], 11);
  array_2d_addsc(c.get(), -2, a.get());  // -a
  array_2d_mul(c.get(), a.get());        // -a²
  array_2d_scale(c.get(), -1);           // a²
  EXPECT_EQ(c.get()[2][3], 23.0 * 23);
  array_2d_zero(c.get());
  EXPECT_EQ(c.get()[2][3], 0);
  Array2d z(array_2d_zeroed(2, 2));
  EXPECT_EQ(z.get()[1][1], 0);
}

TEST(Array2d, NoRowsTakesAttachedRows) {
  double** a = array_2d_norows(2, 3);
  ASSERT_EQ(array_2d_rows(a), 2u);
  EXPECT_EQ(a[0], nullptr);
  for (int i = 0; i < 2; i++) {
    a[i] = static_cast<double*>(malloc(3 * sizeof(double)));
    for (int j = 0; j < 3; j++) a[i][j] = i + j;
  }
  EXPECT_EQ(a[1][2], 3);
  array_2d_free(a);  // frees the attached rows too (the sanitizer build checks)
}

TEST(Array2d, BilinearLookup) {
  Array2d a = counting(3, 4);
  for (uint32_t i = 0; i < 3; i++)
    for (uint32_t j = 0; j < 4; j++) EXPECT_EQ(array_2d_bilinear(a.get(), i, j), a.get()[i][j]);
  // A linear table is reproduced inside; past the last row or column the index pair collapses
  // onto that row or column, so the value is held there.
  for (double x : {0.25, 1.5, 2.0, 2.75, 4.0})
    for (double y : {0.5, 2.2, 3.0, 3.5, 6.0}) {
      SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
      EXPECT_NEAR(array_2d_bilinear(a.get(), x, y), 10 * std::min(x, 2.0) + std::min(y, 3.0), 1e-12);
    }
  // Negative indices are raised to 0.
  EXPECT_EQ(array_2d_bilinear(a.get(), -3, 1.5), array_2d_bilinear(a.get(), 0, 1.5));
  EXPECT_EQ(array_2d_bilinear(a.get(), 1, -0.5), a.get()[1][0]);
  // A non-linear cell: the mean of its corners at its centre.
  a.get()[1][1] = 100;
  EXPECT_NEAR(array_2d_bilinear(a.get(), 0.5, 0.5), (0 + 1 + 10 + 100) / 4.0, 1e-12);
  EXPECT_TRUE(std::isnan(array_2d_bilinear(a.get(), NAN, 1)));
  // A single element: constant.
  Array2d one(array_2d(1, 1));
  one.get()[0][0] = 7;
  EXPECT_EQ(array_2d_bilinear(one.get(), 5.5, 1e12), 7);
}

TEST(Array2d, BinaryFormatIsExact) {
  Scratch s("ordax_arrays");
  Array2d a(array_2d(2, 3));
  double v[6] = {1.0, -2.5, 0.1, 1e300, -0.0, 5e-324};
  for (int k = 0; k < 6; k++) a.get()[k / 3][k % 3] = v[k];
  ASSERT_EQ(array_2d_save(a.get(), (s / "a.bin").c_str()), 1);
  std::string want = u32(2) + u32(3);
  for (double d : v) want += f64(d);
  std::string got = readfile(s / "a.bin");
  EXPECT_EQ(got, want);
  EXPECT_EQ(got.substr(0, 16), std::string("\x02\0\0\0\x03\0\0\0\0\0\0\0\0\0\xf0\x3f", 16));

  Array2d b(array_2d_load((s / "a.bin").c_str()));
  ASSERT_NE(b.get(), nullptr);
  ASSERT_EQ(array_2d_rows(b.get()), 2u);
  ASSERT_EQ(array_2d_cols(b.get()), 3u);
  for (int k = 0; k < 6; k++) EXPECT_EQ(memcmp(&b.get()[k / 3][k % 3], &v[k], 8), 0) << k;

  // readinto fills an array of the same shape and refuses any other.
  Array2d same(array_2d_zeroed(2, 3)), other(array_2d_zeroed(3, 2));
  FILE* f = fopen((s / "a.bin").c_str(), "rb");
  EXPECT_EQ(array_2d_readinto(f, same.get()), 1);
  rewind(f);
  EXPECT_EQ(array_2d_readinto(f, other.get()), 0);
  fclose(f);
  EXPECT_EQ(same.get()[1][0], 1e300);
  EXPECT_EQ(other.get()[0][0], 0);

  // Arrays written back to back read back in order from one stream.
  f = fopen((s / "two.bin").c_str(), "wb");
  Array2d small = counting(1, 2);
  ASSERT_EQ(array_2d_write(a.get(), f), 1);
  ASSERT_EQ(array_2d_write(small.get(), f), 1);
  fclose(f);
  f = fopen((s / "two.bin").c_str(), "rb");
  Array2d r1(array_2d_read(f)), r2(array_2d_read(f));
  fclose(f);
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(r1.get()[0][1], -2.5);
  EXPECT_EQ(array_2d_cols(r2.get()), 2u);
  EXPECT_EQ(r2.get()[0][1], 1);
}

TEST(Array2d, BadFilesGiveNone) {
  Scratch s("ordax_arrays");
  std::string good = u32(2) + u32(2) + f64(1) + f64(2) + f64(3) + f64(4);
  struct Case {
    const char* name;
    std::string bytes;
    bool ok;
  } cases[] = {
      {"empty", "", false},
      {"short header", u32(2), false},
      {"no data", u32(2) + u32(2), false},
      {"truncated", good.substr(0, good.size() - 1), false},
      {"absurd counts", u32(4000000000u) + u32(4000000000u) + f64(1), false},
      {"absurd rows", u32(4000000000u) + u32(1) + f64(1), false},
      {"absurd empty rows", u32(4000000000u) + u32(0), false},
      {"good", good, true},
      {"good with trailing bytes", good + "xyz", true},
      {"empty array", u32(3) + u32(0), true},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    writefile(s / "bad.bin", tc.bytes);
    Array2d a(array_2d_load((s / "bad.bin").c_str()));
    EXPECT_EQ(a != nullptr, tc.ok);
    // The same through a stream that cannot seek.
    std::string cmd = "cat '" + (s / "bad.bin") + "'";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    Array2d b(array_2d_read(p));
    pclose(p);
    EXPECT_EQ(b != nullptr, tc.ok);
    if (tc.ok && array_2d_cols(a.get()) == 2) {
      EXPECT_EQ(a.get()[1][0], 3);
      EXPECT_EQ(b.get()[1][1], 4);
    }
  }
  EXPECT_EQ(array_2d_load((s / "missing.bin").c_str()), nullptr);
  Array2d a(array_2d_zeroed(2, 2));
  writefile(s / "bad.bin", good.substr(0, 20));
  FILE* f = fopen((s / "bad.bin").c_str(), "rb");
  EXPECT_EQ(array_2d_readinto(f, a.get()), 0);
  fclose(f);
}

TEST(Array2d, TextOutputs) {
  Scratch s("ordax_arrays");
  Array2d a(array_2d(2, 2));
  a.get()[0][0] = 1;
  a.get()[0][1] = -2.5;
  a.get()[1][0] = 1e-7;
  a.get()[1][1] = 300000;
  ASSERT_EQ(array_2d_printfile(a.get(), "%s/t%d.csv", ',', s.path().c_str(), 7), 1);
  EXPECT_EQ(readfile(s / "t7.csv"), "1,-2.5\n1e-07,300000\n");

  testing::internal::CaptureStdout();
  array_2d_print(a.get(), "%6.1f");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "   1.0  -2.5\n   0.0300000.0\n\n");

  Array2d b(array_2d(2, 3));
  double v[6] = {0.001, 500, 3, -3, 0, -0.02};
  for (int k = 0; k < 6; k++) b.get()[k / 3][k % 3] = v[k];
  testing::internal::CaptureStdout();
  array_2d_printstructure(b.get(), 0.01);
  array_2d_printstructure(b.get(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ".*+\n-.-\n\n+++\n-#-\n\n");
}

TEST(Array3d, ShapeAndElementwiseOperations) {
  Array3d a(array_3d_zeroed(2, 3, 4));
  ASSERT_EQ(array_3d_depth(a.get()), 2u);
  ASSERT_EQ(array_3d_rows(a.get()), 3u);
  ASSERT_EQ(array_3d_cols(a.get()), 4u);
  for (int d = 0; d < 2; d++)
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 4; j++) a.get()[d][i][j] = 100 * d + 10 * i + j;
  Array3d b(array_3d_copy(a.get()));
  b.get()[1][2][3] = -1;
  EXPECT_EQ(a.get()[1][2][3], 123);
  array_3d_eq(b.get(), a.get());
  EXPECT_EQ(b.get()[1][2][3], 123);
  array_3d_add(b.get(), a.get());          // 2a
  array_3d_addmul(b.get(), a.get(), 0.5);  // 2.5a
  array_3d_subtract(b.get(), a.get());     // 1.5a
  array_3d_mul(b.get(), a.get());          // 1.5a²
  array_3d_mul(b.get(), 2.0);              // 3a²
  EXPECT_EQ(b.get()[1][2][3], 3.0 * 123 * 123);
  EXPECT_EQ(b.get()[0][1][2], 3.0 * 12 * 12);
  array_3d_zero(b.get());
  EXPECT_EQ(b.get()[1][2][3], 0);
}

}  // namespace
