#include "base/matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {

Array2d frominit(std::initializer_list<std::initializer_list<double>> rows) {
  uint32_t r = uint32_t(rows.size()), c = uint32_t(rows.begin()->size());
  Array2d a(array_2d(r, c));
  uint32_t i = 0;
  for (auto& row : rows) {
    uint32_t j = 0;
    for (double v : row) a.get()[i][j++] = v;
    i++;
  }
  return a;
}

// A random matrix made well-conditioned by a dominant diagonal.
Array2d wellconditioned(std::mt19937& g, uint32_t n) {
  std::uniform_real_distribution<double> u(-1, 1);
  Array2d a(array_2d(n, n));
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j < n; j++) a.get()[i][j] = u(g) + (i == j ? (u(g) < 0 ? -n : n) : 0);
  return a;
}

Array2d hilbert(uint32_t n) {
  Array2d h(array_2d(n, n));
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j < n; j++) h.get()[i][j] = 1.0 / (i + j + 1);
  return h;
}

double distancefromidentity(double* const* a) {
  Array2d id(matrixid(array_2d_rows(a)));
  return matrixsupmetric(a, id.get());
}

TEST(Matrix, ProductsInPlaceAndAliased) {
  Array2d a = frominit({{1, 2}, {3, 4}}), b = frominit({{0, 1}, {-1, 2}});
  Array2d ab(matrixmul(a.get(), b.get()));
  Array2d want = frominit({{-2, 5}, {-4, 11}});
  EXPECT_EQ(matrixsupmetric(ab.get(), want.get()), 0);
  Array2d c(array_2d_copy(a.get()));
  matrixmulby(c.get(), b.get());  // c = a b
  EXPECT_EQ(matrixsupmetric(c.get(), want.get()), 0);
  array_2d_eq(c.get(), b.get());
  matrixmulay(a.get(), c.get());  // c = a b
  EXPECT_EQ(matrixsupmetric(c.get(), want.get()), 0);
  array_2d_eq(c.get(), a.get());
  matrixmulinto(c.get(), c.get(), c.get());  // c = a a
  Array2d aa = frominit({{7, 10}, {15, 22}});
  EXPECT_EQ(matrixsupmetric(c.get(), aa.get()), 0);
  // Rectangular: (2x3)(3x1).
  Array2d r = frominit({{1, 0, 2}, {0, 3, -1}}), col = frominit({{1}, {2}, {3}});
  Array2d rc(matrixmul(r.get(), col.get()));
  ASSERT_EQ(array_2d_rows(rc.get()), 2u);
  ASSERT_EQ(array_2d_cols(rc.get()), 1u);
  EXPECT_EQ(rc.get()[0][0], 7);
  EXPECT_EQ(rc.get()[1][0], 3);
  // Vector, scaling, transpose, norms.
  Array1d v(array_1d_fromCSV("1,-1"));
  matrixmulvectorby(a.get(), v.get());
  EXPECT_EQ(v.get()[0], -1);
  EXPECT_EQ(v.get()[1], -1);
  matrixscal(-2, a.get());
  matrixtranspose(a.get());
  EXPECT_EQ(a.get()[0][1], -6);
  EXPECT_EQ(a.get()[1][0], -4);
  EXPECT_EQ(matrixsupnorm(a.get()), 8);
  Array2d rtr(matrixata(r.get())), rrt(matrixaat(r.get()));
  ASSERT_EQ(array_2d_rows(rtr.get()), 3u);
  ASSERT_EQ(array_2d_rows(rrt.get()), 2u);
  Array2d rt(array_2d_transpose(r.get()));
  Array2d ref1(matrixmul(rt.get(), r.get())), ref2(matrixmul(r.get(), rt.get()));
  EXPECT_EQ(matrixsupmetric(rtr.get(), ref1.get()), 0);
  EXPECT_EQ(matrixsupmetric(rrt.get(), ref2.get()), 0);
}

TEST(Matrix, InverseOfWellConditionedMatrices) {
  unsigned seed = 20240601;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 g(seed);
  for (uint32_t n : {1u, 2u, 3u, 6u, 12u}) {
    SCOPED_TRACE("n " + std::to_string(n));
    Array2d a = wellconditioned(g, n);
    for (int uselong = 0; uselong < 2; uselong++) {
      Array2d inv(array_2d_copy(a.get()));
      ASSERT_NE(uselong ? invertmatrix_long(inv.get()) : invertmatrix(inv.get()), 0);
      Array2d p(matrixmul(a.get(), inv.get())), q(matrixmul(inv.get(), a.get()));
      EXPECT_LT(distancefromidentity(p.get()), 1e-14);
      EXPECT_LT(distancefromidentity(q.get()), 1e-14);
    }
  }
  // A zero leading element needs the row exchange.
  Array2d swap = frominit({{0, 2}, {3, 0}});
  ASSERT_NE(invertmatrix(swap.get()), 0);
  Array2d want = frominit({{0, 1.0 / 3}, {0.5, 0}});
  EXPECT_EQ(matrixsupmetric(swap.get(), want.get()), 0);
}

TEST(Matrix, SingularMatrixIsRefusedAndKept) {
  for (int uselong = 0; uselong < 2; uselong++) {
    Array2d s = frominit({{1, 2, 3}, {2, 4, 6}, {0, 1, 1}});
    Array2d before(array_2d_copy(s.get()));
    EXPECT_EQ(uselong ? invertmatrix_long(s.get()) : invertmatrix(s.get()), 0);
    EXPECT_EQ(matrixsupmetric(s.get(), before.get()), 0);
    Array2d z(array_2d_zeroed(2, 2));
    EXPECT_EQ(uselong ? invertmatrix_long(z.get()) : invertmatrix(z.get()), 0);
  }
  Array2d s = frominit({{1, 2}, {2, 4}});
  EXPECT_EQ(matrixpow(s.get(), -1), nullptr);
  Array1d b(array_1d_fromCSV("1,2"));
  EXPECT_EQ(invertsolvepolish(s.get(), b.get(), 0), nullptr);
}

TEST(Matrix, ExtendedPrecisionInverseIsMoreAccurate) {
  Array2d h = hilbert(9);
  Array2d d(array_2d_copy(h.get())), l(array_2d_copy(h.get()));
  ASSERT_NE(invertmatrix(d.get()), 0);
  ASSERT_NE(invertmatrix_long(l.get()), 0);
  Array2d pd(matrixmul(h.get(), d.get())), pl(matrixmul(h.get(), l.get()));
  double ed = distancefromidentity(pd.get()), el = distancefromidentity(pl.get());
  EXPECT_LT(el, ed / 10) << "double " << ed << " long " << el;
}

TEST(Matrix, IntegerPowers) {
  Array2d a = frominit({{1, 1}, {1, 0}});  // Fibonacci
  Array2d p(matrixpow(a.get(), 10));
  Array2d want = frominit({{89, 55}, {55, 34}});
  EXPECT_EQ(matrixsupmetric(p.get(), want.get()), 0);
  Array2d zero(matrixpow(a.get(), 0));
  EXPECT_EQ(distancefromidentity(zero.get()), 0);
  Array2d m(matrixpow(a.get(), -10));
  Array2d prod(matrixmul(m.get(), p.get()));
  EXPECT_LT(distancefromidentity(prod.get()), 1e-9);
  Array2d a3(matrixpow(a.get(), 3)), ref(matrixmul(a.get(), a.get()));
  matrixmulby(ref.get(), a.get());
  EXPECT_EQ(matrixsupmetric(a3.get(), ref.get()), 0);
}

TEST(Matrix, ExponentialClosedForms) {
  double t = 1.3;
  Array2d gen = frominit({{0, t}, {-t, 0}});
  Array2d e(matrixexp(gen.get()));
  Array2d rot = frominit({{std::cos(t), std::sin(t)}, {-std::sin(t), std::cos(t)}});
  EXPECT_LT(matrixsupmetric(e.get(), rot.get()), 1e-15);
  Array2d diag = frominit({{2, 0, 0}, {0, -5, 0}, {0, 0, 0}});
  Array2d ed(matrixexp(diag.get()));
  EXPECT_NEAR(ed.get()[0][0] / std::exp(2.0), 1, 1e-15);
  EXPECT_NEAR(ed.get()[1][1] / std::exp(-5.0), 1, 1e-12);  // alternating series: cancellation
  EXPECT_EQ(ed.get()[2][2], 1);
  EXPECT_EQ(ed.get()[0][1], 0);
  // The relative test converges for large norms too ...
  Array2d big = frominit({{30}});
  Array2d eb(matrixexp(big.get()));
  EXPECT_NEAR(eb.get()[0][0] / std::exp(30.0), 1, 1e-14);
  // ... but a series that overflows never passes it: the zero matrix.
  Array2d huge = frominit({{800, 0}, {0, 1}});
  Array2d eh(matrixexp(huge.get()));
  EXPECT_EQ(matrixsupnorm(eh.get()), 0);
}

TEST(Matrix, DominantEigenvalueAndVector) {
  // Q diag(5, 2, -1) Qᵀ with an orthonormal Q: eigenvalue 5, eigenvector Q's first column.
  double c = std::cos(0.6), s = std::sin(0.6);
  Array2d q = frominit({{c, -s, 0}, {s, c, 0}, {0, 0, 1}});
  Array2d d = frominit({{5, 0, 0}, {0, 2, 0}, {0, 0, -1}});
  Array2d qt(array_2d_transpose(q.get()));
  Array2d a(matrixmul(q.get(), d.get()));
  matrixmulby(a.get(), qt.get());
  double* vec = nullptr;
  EXPECT_NEAR(maxeigenvalue(a.get(), &vec), 5, 1e-11);
  ASSERT_NE(vec, nullptr);
  EXPECT_NEAR(std::fabs(vec[0] * c + vec[1] * s), 1, 1e-12);
  EXPECT_NEAR(vec[2], 0, 1e-12);
  array_1d_free(vec);
  // A non-symmetric diagonalisable matrix: eigenvalues 3 and 1.
  Array2d ns = frominit({{2, 1}, {1, 2}});
  ns.get()[0][1] = 2;
  ns.get()[1][0] = 0.5;  // [[2,2],[0.5,2]]: eigenvalues 2 ± 1
  EXPECT_NEAR(maxeigenvalue(ns.get(), nullptr), 3, 1e-11);
  // Zero and nilpotent matrices give 0 and a zero vector.
  Array2d z(array_2d_zeroed(3, 3));
  EXPECT_EQ(maxeigenvalue(z.get(), &vec), 0);
  EXPECT_EQ(array_1d_sumsq(vec), 0);
  array_1d_free(vec);
  Array2d nil = frominit({{0, 4}, {0, 0}});
  EXPECT_EQ(maxeigenvalue(nil.get(), nullptr), 0);
}

TEST(Matrix, CholeskyFactorOfSPDMatrix) {
  Array2d a = frominit({{4, 12, -16}, {12, 37, -43}, {-16, -43, 98}});
  Array2d u(array_2d_copy(a.get()));
  ASSERT_EQ(cholesky(u.get()), 1);
  Array2d want = frominit({{2, 6, -8}, {0, 1, 5}, {0, 0, 3}});
  EXPECT_LT(matrixsupmetric(u.get(), want.get()), 1e-14);
  Array2d ut(array_2d_transpose(u.get()));
  Array2d back(matrixmul(ut.get(), u.get()));
  EXPECT_LT(matrixsupmetric(back.get(), a.get()), 1e-12);
  // A negative pivot is taken by its absolute value and flagged; a zero pivot stops.
  Array2d neg = frominit({{-4, 2}, {2, 5}});
  EXPECT_EQ(cholesky(neg.get()), -1);
  EXPECT_EQ(neg.get()[0][0], 2);
  EXPECT_EQ(neg.get()[0][1], 1);
  EXPECT_EQ(neg.get()[1][0], 0);
  Array2d zero = frominit({{1, 1}, {1, 1}});
  EXPECT_EQ(cholesky(zero.get()), 0);
}

TEST(Matrix, UpperTriangularInverse) {
  Array2d u = frominit({{2, -1, 3, 0.5}, {0, 4, 1, -2}, {0, 0, -1, 7}, {0, 0, 0, 0.25}});
  Array2d inv(array_2d_copy(u.get()));
  ASSERT_EQ(invertuppermatrix(inv.get()), 1);
  Array2d p(matrixmul(u.get(), inv.get()));
  EXPECT_LT(distancefromidentity(p.get()), 1e-14);
  for (int i = 1; i < 4; i++)
    for (int j = 0; j < i; j++) EXPECT_EQ(inv.get()[i][j], 0);
  Array2d sing = frominit({{1, 2}, {0, 0}});
  EXPECT_EQ(invertuppermatrix(sing.get()), 0);
  EXPECT_EQ(sing.get()[0][0], 1);
}

TEST(Matrix, QRFactorisation) {
  unsigned seed = 555;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 g(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  for (uint32_t cols : {5u, 3u}) {
    Array2d a(array_2d(5, cols));
    for (uint32_t i = 0; i < 5; i++)
      for (uint32_t j = 0; j < cols; j++) a.get()[i][j] = u(g);
    double **q, **r;
    ASSERT_EQ(matrixqr(a.get(), &q, &r), 1);
    Array2d Q(q), R(r);
    ASSERT_EQ(array_2d_cols(Q.get()), cols);
    Array2d qr(matrixmul(Q.get(), R.get()));
    EXPECT_LT(matrixsupmetric(qr.get(), a.get()), 1e-14);
    Array2d qtq(matrixata(Q.get()));
    EXPECT_LT(distancefromidentity(qtq.get()), 1e-14);
    for (uint32_t i = 1; i < cols; i++)
      for (uint32_t j = 0; j < i; j++) EXPECT_EQ(R.get()[i][j], 0);
  }
  Array2d dep = frominit({{1, 2}, {2, 4}});
  double **q, **r;
  EXPECT_EQ(matrixqr(dep.get(), &q, &r), 0);
  array_2d_free(q);
  array_2d_free(r);
}

TEST(Matrix, PackedSymmetricStorage) {
  struct {
    uint32_t i, j, k;
  } cases[] = {{0, 0, 0}, {1, 0, 1}, {0, 1, 1}, {1, 1, 2}, {2, 0, 3}, {2, 2, 5}, {1, 3, 7}, {3, 3, 9}};
  for (auto& c : cases) EXPECT_EQ(sympair(c.i, c.j), c.k) << c.i << "," << c.j;
  Array2d a = frominit({{1, 9, 9}, {2, 3, 9}, {4, 5, 6}});
  Array1d p(sympack(a.get()));
  ASSERT_EQ(array_1d_count(p.get()), 6u);
  for (int k = 0; k < 6; k++) EXPECT_EQ(p.get()[k], k + 1);
}

TEST(Matrix, InvariantQuadraticFormOfATransferMatrix) {
  // One-turn matrix with Twiss parameters alpha, beta, gamma and phase mu: the invariant is
  // gamma x² + 2 alpha x x' + beta x'², scaled here to Q(0,0) = 1.
  double alpha = -0.7, beta = 3.2, gamma = (1 + alpha * alpha) / beta, mu = 0.9;
  double c = std::cos(mu), s = std::sin(mu);
  Array2d m = frominit({{c + alpha * s, beta * s}, {-gamma * s, c - alpha * s}});
  Array2d q(getinvarquad(m.get()));
  ASSERT_NE(q.get(), nullptr);
  EXPECT_EQ(q.get()[0][0], 1);
  EXPECT_NEAR(q.get()[0][1], alpha / gamma, 1e-13);
  EXPECT_EQ(q.get()[0][1], q.get()[1][0]);
  EXPECT_NEAR(q.get()[1][1], beta / gamma, 1e-13);
  Array2d mt(array_2d_transpose(m.get()));
  Array2d mqm(matrixmul(mt.get(), q.get()));
  matrixmulby(mqm.get(), m.get());
  EXPECT_LT(matrixsupmetric(mqm.get(), q.get()), 1e-13);
  // The identity leaves every form invariant: the system is singular.
  Array2d id(matrixid(3));
  EXPECT_EQ(getinvarquad(id.get()), nullptr);
}

TEST(Matrix, PolishedSolve) {
  unsigned seed = 8;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 g(seed);
  Array2d a = wellconditioned(g, 7);
  Array1d b(array_1d(7));
  for (int i = 0; i < 7; i++) b.get()[i] = i - 3.5;
  for (int uselong = 0; uselong < 2; uselong++) {
    Array1d x(invertsolvepolish(a.get(), b.get(), uselong));
    ASSERT_NE(x.get(), nullptr);
    Array1d ax(array_1d_copy(x.get()));
    matrixmulvectorby(a.get(), ax.get());
    array_1d_addsc(ax.get(), -1, b.get());
    EXPECT_LT(array_1d_norm(ax.get()), 1e-14);
  }
  // On an ill-conditioned system the polish beats the bare inverse.
  Array2d h = hilbert(8);
  Array1d hb(array_1d(8));
  for (int i = 0; i < 8; i++) hb.get()[i] = 1;
  Array2d inv(array_2d_copy(h.get()));
  ASSERT_NE(invertmatrix(inv.get()), 0);
  Array1d plain(array_1d_copy(hb.get()));
  matrixmulvectorby(inv.get(), plain.get());
  Array1d polished(invertsolvepolish(h.get(), hb.get(), 0));
  auto residual = [&](const double* x) {
    Array1d r(array_1d_copy(x));
    matrixmulvectorby(h.get(), r.get());
    array_1d_addsc(r.get(), -1, hb.get());
    return array_1d_norm(r.get());
  };
  EXPECT_LE(residual(polished.get()), residual(plain.get()));
}

}  // namespace
