// The dense-matrix library on two-dimensional heap arrays. Square matrices unless a function
// says otherwise; dimensions come from the array headers and are not checked. Every temporary
// is freed before return; returned arrays belong to the caller.
#include "base/matrix.h"

#include <cmath>
#include <cstring>
#include <vector>

double** matrixid(uint32_t n) {
  double** I = array_2d_zeroed(n, n);
  if (!I) return nullptr;
  for (uint32_t i = 0; i < n; i++) I[i][i] = 1;
  return I;
}

// C = A×B with C distinct from A and B.
static void mulnoalias(double** C, double* const* A, double* const* B) {
  uint32_t r = array_2d_rows(A), k = array_2d_cols(A), c = array_2d_cols(B);
  for (uint32_t i = 0; i < r; i++)
    for (uint32_t j = 0; j < c; j++) {
      double s = 0;
      for (uint32_t l = 0; l < k; l++) s += A[i][l] * B[l][j];
      C[i][j] = s;
    }
}

double** matrixmul(double* const* A, double* const* B) {
  double** C = array_2d(array_2d_rows(A), array_2d_cols(B));
  if (C) mulnoalias(C, A, B);
  return C;
}

void matrixmulinto(double** C, double* const* A, double* const* B) {
  if (C != A && C != B) {
    mulnoalias(C, A, B);
    return;
  }
  double** T = matrixmul(A, B);
  if (!T) return;
  array_2d_eq(C, T);
  array_2d_free(T);
}

void matrixmulby(double** A, double* const* B) { matrixmulinto(A, A, B); }

void matrixmulay(double* const* B, double** A) { matrixmulinto(A, B, A); }

void matrixmulvectorby(double* const* A, double* v) {
  uint32_t r = array_2d_rows(A), c = array_2d_cols(A);
  std::vector<double> out(r);
  for (uint32_t i = 0; i < r; i++) {
    double s = 0;
    for (uint32_t j = 0; j < c; j++) s += A[i][j] * v[j];
    out[i] = s;
  }
  for (uint32_t i = 0; i < r; i++) v[i] = out[i];
}

void matrixscal(double s, double** A) { array_2d_scale(A, s); }

void matrixtranspose(double** A) {
  uint32_t n = array_2d_rows(A);
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = i + 1; j < n; j++) {
      double t = A[i][j];
      A[i][j] = A[j][i];
      A[j][i] = t;
    }
}

double matrixsupnorm(double* const* A) {
  double s = 0;
  for (uint32_t i = 0, r = array_2d_rows(A), c = array_2d_cols(A); i < r; i++)
    for (uint32_t j = 0; j < c; j++) {
      double v = std::fabs(A[i][j]);
      if (v > s || v != v) s = v;
      if (s != s) return s;
    }
  return s;
}

double matrixsupmetric(double* const* A, double* const* B) {
  double s = 0;
  for (uint32_t i = 0, r = array_2d_rows(A), c = array_2d_cols(A); i < r; i++)
    for (uint32_t j = 0; j < c; j++) {
      double v = std::fabs(A[i][j] - B[i][j]);
      if (v > s || v != v) s = v;
      if (s != s) return s;
    }
  return s;
}

// Gauss-Jordan elimination on [A | I] in the arithmetic type T; A is overwritten only on success.
template <class T>
static int gaussjordan(double** A) {
  uint32_t n = array_2d_rows(A);
  std::vector<T> a(size_t(n) * n), inv(size_t(n) * n, T(0));
  for (uint32_t i = 0; i < n; i++) {
    for (uint32_t j = 0; j < n; j++) a[size_t(i) * n + j] = A[i][j];
    inv[size_t(i) * n + i] = 1;
  }
  auto at = [n](std::vector<T>& m, uint32_t i, uint32_t j) -> T& { return m[size_t(i) * n + j]; };
  for (uint32_t c = 0; c < n; c++) {
    uint32_t p = c;
    T best = std::fabs(at(a, c, c));
    for (uint32_t r = c + 1; r < n; r++) {
      T v = std::fabs(at(a, r, c));
      if (v > best) {
        best = v;
        p = r;
      }
    }
    if (at(a, p, c) == 0) return 0;
    if (p != c)
      for (uint32_t j = 0; j < n; j++) {
        std::swap(at(a, p, j), at(a, c, j));
        std::swap(at(inv, p, j), at(inv, c, j));
      }
    T d = at(a, c, c);
    for (uint32_t j = 0; j < n; j++) {
      at(a, c, j) /= d;
      at(inv, c, j) /= d;
    }
    for (uint32_t r = 0; r < n; r++) {
      if (r == c) continue;
      T f = at(a, r, c);
      if (f == 0) continue;
      for (uint32_t j = 0; j < n; j++) {
        at(a, r, j) -= f * at(a, c, j);
        at(inv, r, j) -= f * at(inv, c, j);
      }
    }
  }
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j < n; j++) A[i][j] = static_cast<double>(at(inv, i, j));
  return 1;
}

int invertmatrix(double** A) { return gaussjordan<double>(A); }

int invertmatrix_long(double** A) { return gaussjordan<long double>(A); }

double** matrixpow(double* const* A, int k) {
  uint32_t n = array_2d_rows(A);
  double** base = array_2d_copy(A);
  if (!base) return nullptr;
  long long e = k;
  if (e < 0) {
    if (!invertmatrix(base)) {
      array_2d_free(base);
      return nullptr;
    }
    e = -e;
  }
  double** result = matrixid(n);
  // Binary powering: result × base^e stays A^k.
  while (result && e > 0) {
    if (e & 1) matrixmulby(result, base);
    e >>= 1;
    if (e) matrixmulby(base, base);
  }
  array_2d_free(base);
  return result;
}

double** matrixexp(double* const* A) {
  uint32_t n = array_2d_rows(A);
  double** sum = matrixid(n);
  double** term = array_2d_copy(A);
  double** next = array_2d(n, n);
  if (!sum || !term || !next) {
    array_2d_free(sum);
    array_2d_free(term);
    array_2d_free(next);
    return nullptr;
  }
  array_2d_addsc(sum, 1.0, A);
  bool converged = false;
  for (int k = 2; k < 1000; k++) {
    double size = matrixsupnorm(term);
    if (!std::isfinite(size)) break;  // overflowed: it can never converge
    if (size <= 1e-16 * matrixsupnorm(sum)) {
      converged = true;
      break;
    }
    mulnoalias(next, term, A);
    array_2d_scale(next, 1.0 / k);
    double** t = term;
    term = next;
    next = t;
    array_2d_addsc(sum, 1.0, term);
  }
  if (!converged) array_2d_zero(sum);
  array_2d_free(term);
  array_2d_free(next);
  return sum;
}

double maxeigenvalue(double* const* A, double** vec) {
  uint32_t n = array_2d_rows(A);
  double** B = array_2d_copy(A);
  double** T = array_2d(n, n);
  double estimate = 1, weight = 1;
  bool zero = false;
  while (weight >= 1e-12) {
    double s = matrixsupnorm(B);
    if (s == 0) {
      zero = true;
      break;
    }
    array_2d_scale(B, 1.0 / s);
    estimate *= std::pow(s, weight);
    mulnoalias(T, B, B);
    double** t = B;
    B = T;
    T = t;
    weight /= 2;
  }
  if (vec) {
    double* v = array_1d_zeroed(n);
    if (!zero) {
      // The column holding the largest absolute element of the final matrix.
      uint32_t col = 0;
      double best = -1;
      for (uint32_t i = 0; i < n; i++)
        for (uint32_t j = 0; j < n; j++)
          if (std::fabs(B[i][j]) > best) {
            best = std::fabs(B[i][j]);
            col = j;
          }
      for (uint32_t i = 0; i < n; i++) v[i] = B[i][col];
      array_1d_scale(v, 1.0 / array_1d_norm(v));
    }
    *vec = v;
  }
  array_2d_free(B);
  array_2d_free(T);
  return zero ? 0 : estimate;
}

int cholesky(double** A) {
  uint32_t n = array_2d_rows(A);
  int result = 1;
  for (uint32_t i = 0; i < n; i++) {
    double d = A[i][i];
    for (uint32_t k = 0; k < i; k++) d -= A[k][i] * A[k][i];
    if (d < 0) {
      d = -d;
      result = -1;
    }
    if (d == 0) return 0;
    double u = std::sqrt(d);
    A[i][i] = u;
    for (uint32_t j = i + 1; j < n; j++) {
      double s = A[i][j];
      for (uint32_t k = 0; k < i; k++) s -= A[k][i] * A[k][j];
      A[i][j] = s / u;
    }
    for (uint32_t j = 0; j < i; j++) A[i][j] = 0;
  }
  return result;
}

int invertuppermatrix(double** A) {
  uint32_t n = array_2d_rows(A);
  for (uint32_t i = 0; i < n; i++)
    if (A[i][i] == 0) return 0;
  // Columns from the right, each bottom-up: X(i,j) = -(sum over k in (i, j] of U(i,k) X(k,j)) /
  // U(i,i). Every U entry this reads lies in a column not yet overwritten, or above row i in
  // column j itself.
  for (uint32_t jj = n; jj-- > 0;) {
    A[jj][jj] = 1.0 / A[jj][jj];
    for (uint32_t ii = jj; ii-- > 0;) {
      double s = 0;
      for (uint32_t k = ii + 1; k <= jj; k++) s += A[ii][k] * A[k][jj];
      A[ii][jj] = -s / A[ii][ii];
    }
  }
  return 1;
}

double** matrixata(double* const* A) {
  uint32_t r = array_2d_rows(A), c = array_2d_cols(A);
  double** C = array_2d(c, c);
  if (!C) return nullptr;
  for (uint32_t i = 0; i < c; i++)
    for (uint32_t j = 0; j < c; j++) {
      double s = 0;
      for (uint32_t k = 0; k < r; k++) s += A[k][i] * A[k][j];
      C[i][j] = s;
    }
  return C;
}

double** matrixaat(double* const* A) {
  uint32_t r = array_2d_rows(A), c = array_2d_cols(A);
  double** C = array_2d(r, r);
  if (!C) return nullptr;
  for (uint32_t i = 0; i < r; i++)
    for (uint32_t j = 0; j < r; j++) {
      double s = 0;
      for (uint32_t k = 0; k < c; k++) s += A[i][k] * A[j][k];
      C[i][j] = s;
    }
  return C;
}

int matrixqr(double* const* A, double*** Qout, double*** Rout) {
  uint32_t r = array_2d_rows(A), c = array_2d_cols(A);
  double** Q = array_2d_copy(A);
  double** R = array_2d_zeroed(c, c);
  int full = 1;
  for (uint32_t j = 0; j < c; j++) {
    // Remove the components along the columns already made orthonormal (modified Gram-Schmidt).
    for (uint32_t i = 0; i < j; i++) {
      double d = 0;
      for (uint32_t k = 0; k < r; k++) d += Q[k][i] * Q[k][j];
      R[i][j] = d;
      for (uint32_t k = 0; k < r; k++) Q[k][j] -= d * Q[k][i];
    }
    double len = 0;
    for (uint32_t k = 0; k < r; k++) len += Q[k][j] * Q[k][j];
    len = std::sqrt(len);
    R[j][j] = len;
    if (len == 0) {
      full = 0;
      continue;
    }
    double inv = 1.0 / len;
    for (uint32_t k = 0; k < r; k++) Q[k][j] *= inv;
  }
  *Qout = Q;
  *Rout = R;
  return full;
}

double* sympack(double* const* A) {
  uint32_t n = array_2d_rows(A);
  double* p = array_1d(n * (n + 1) / 2);
  if (!p) return nullptr;
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j <= i; j++) p[sympair(i, j)] = A[i][j];
  return p;
}

double** getinvarquad(double* const* M) {
  uint32_t n = array_2d_rows(M);
  uint32_t m = n * (n + 1) / 2;
  // Packed index -> (row, col) of the lower triangle.
  std::vector<uint32_t> pi(m), pj(m);
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j <= i; j++) {
      pi[sympair(i, j)] = i;
      pj[sympair(i, j)] = j;
    }
  // Coefficient of packed unknown u = Q(k,l) in equation e: (transpose(M) Q M - Q)(i,j) = 0.
  auto coefficient = [&](uint32_t e, uint32_t u) {
    uint32_t i = pi[e], j = pj[e], k = pi[u], l = pj[u];
    double c = M[k][i] * M[l][j];
    if (k != l) c += M[l][i] * M[k][j];
    if (e == u) c -= 1;
    return c;
  };
  double** Q = array_2d(n, n);
  if (!Q) return nullptr;
  std::vector<double> q(m, 0.0);
  q[0] = 1;  // Q(0,0) fixed; its equation is the one left out
  if (m > 1) {
    double** S = array_2d(m - 1, m - 1);
    double* rhs = array_1d(m - 1);
    for (uint32_t e = 1; e < m; e++) {
      for (uint32_t u = 1; u < m; u++) S[e - 1][u - 1] = coefficient(e, u);
      rhs[e - 1] = -coefficient(e, 0);
    }
    int ok = invertmatrix(S);
    if (ok) {
      matrixmulvectorby(S, rhs);
      for (uint32_t u = 1; u < m; u++) q[u] = rhs[u - 1];
    }
    array_2d_free(S);
    array_1d_free(rhs);
    if (!ok) {
      array_2d_free(Q);
      return nullptr;
    }
  }
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j < n; j++) Q[i][j] = q[sympair(i, j)];
  return Q;
}

double* invertsolvepolish(double* const* A, const double* b, int useLong) {
  uint32_t n = array_2d_rows(A);
  double** inv = array_2d_copy(A);
  if (!inv) return nullptr;
  if (!(useLong ? invertmatrix_long(inv) : invertmatrix(inv))) {
    array_2d_free(inv);
    return nullptr;
  }
  double* x = array_1d_zeroed(n);
  double* r = array_1d(n);
  double preve = 0;
  for (bool first = true;; first = false) {
    for (uint32_t i = 0; i < n; i++) {
      double s = b[i];
      for (uint32_t j = 0; j < n; j++) s -= A[i][j] * x[j];
      r[i] = s;
    }
    double e = array_1d_sumsq(r);
    matrixmulvectorby(inv, r);
    array_1d_add(x, r);
    // Stop when the residual vanished, went non-finite, or no longer shrinks by 1.1 a round.
    if (e == 0 || !std::isfinite(e) || (!first && !(1.1 * e < preve))) break;
    preve = e;
  }
  array_1d_free(r);
  array_2d_free(inv);
  return x;
}
