// Dense-matrix library on two-dimensional heap arrays (base/arrays.h): products, inversion by
// Gauss-Jordan elimination (in double and in 80-bit long double), powers, the exponential, the
// dominant eigenvalue, Cholesky and QR factorisations, the invariant quadratic form of a
// transfer matrix, and a polished linear solve. Functions returning arrays return new ones that
// the caller frees with array_2d_free / array_1d_free; functions whose first array argument is
// not const change it in place. Used for optics and matching, far from the pusher's loop.
#pragma once

#include <cstdint>

#include "base/arrays.h"

double** matrixid(uint32_t n);
// A×B (A is r×k, B is k×c; the result r×c).
double** matrixmul(double* const* A, double* const* B);
// C = A×B into an existing C of the right size; C may be A or B.
void matrixmulinto(double** C, double* const* A, double* const* B);
void matrixmulby(double** A, double* const* B);  // A = A×B (square)
void matrixmulay(double* const* B, double** A);  // A = B×A (square)
void matrixmulvectorby(double* const* A, double* v);  // v = A×v, v a one-dimensional array
void matrixscal(double s, double** A);                // A *= s
void matrixtranspose(double** A);                     // in place, square
// Largest absolute element (difference); NaN when any element (difference) is NaN.
double matrixsupnorm(double* const* A);
double matrixsupmetric(double* const* A, double* const* B);

// Inverse in place by Gauss-Jordan elimination with partial pivoting (the largest absolute
// element of the column at or below the diagonal, the first such on ties). Returns 0 and
// leaves A unchanged when a pivot is exactly zero; nonzero on success.
int invertmatrix(double** A);
// The same elimination carried out in long double (64-bit mantissa), rounded once at the end.
int invertmatrix_long(double** A);

// A^k as a new array; k = 0 gives the identity, a negative k uses the inverse. Null when k < 0
// and A is singular.
double** matrixpow(double* const* A, int k);
// Exponential by its Taylor series, stopping when a term's sup norm is at most 1e-16 times the
// sum's. A new all-zero matrix when 1000 terms do not pass that test or a term overflows.
double** matrixexp(double* const* A);
// Magnitude of the dominant eigenvalue, by repeated normalised squaring; 0 for a zero (or
// nilpotent) matrix. When vec is not null, *vec receives a new one-dimensional array: the unit
// dominant eigenvector (zero for a zero matrix).
double maxeigenvalue(double* const* A, double** vec);

// In-place Cholesky factorisation of a symmetric A into the upper-triangular U with
// transpose(U)×U = A (elements below the diagonal set to zero). Returns 1; -1 when a negative
// diagonal pivot was replaced by its absolute value; 0 when a pivot is zero (A is then only
// partly factored).
int cholesky(double** A);
// Inverse of an upper-triangular matrix in place. Returns 0 (A unchanged) when a diagonal
// element is zero, else 1.
int invertuppermatrix(double** A);
double** matrixata(double* const* A);  // transpose(A)×A
double** matrixaat(double* const* A);  // A×transpose(A)
// QR factorisation of an r×c A (r >= c) by modified Gram-Schmidt on the columns: *Q (r×c, with
// orthonormal columns) and *R (c×c, upper triangular) are new arrays with Q×R = A. Returns 1, or
// 0 when the columns are linearly dependent (a zero column of Q and a zero diagonal in R).
int matrixqr(double* const* A, double*** Q, double*** R);

// Index of element (i, j) in packed symmetric storage (lower triangle row by row).
inline uint32_t sympair(uint32_t i, uint32_t j) {
  uint32_t hi = i > j ? i : j, lo = i > j ? j : i;
  return hi * (hi + 1) / 2 + lo;
}
// The lower triangle of A row by row, n(n+1)/2 elements, as a new one-dimensional array.
double* sympack(double* const* A);
// The symmetric Q with transpose(M)×Q×M = Q, scaled so that Q[0][0] = 1, found by solving the
// n(n+1)/2 - 1 remaining equations for the other packed elements through invertmatrix. Null
// when that system is singular.
double** getinvarquad(double* const* M);
// Solves A×x = b (b one-dimensional): inverts a copy of A (invertmatrix_long when useLong),
// then from x = 0 repeats r = b - A×x, e = |r|², x += inverse×r, stopping after a round whose e
// is 0, not finite, or not at least 1.1 times smaller than the round before. Returns x as a new
// array, or null when A is singular.
double* invertsolvepolish(double* const* A, const double* b, int useLong);
