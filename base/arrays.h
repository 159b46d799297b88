// Heap arrays of doubles in one, two and three dimensions whose handles index directly
// (a[i], a[i][j], a[i][j][k]) and carry their dimensions as 32-bit counts in a header just in
// front of the handle, so no size travels with them. Each array is owned by whoever holds the
// handle and freed with the matching _free (or held in the ArrayNd unique_ptr types below).
// Also the binary array file format (rows, cols as little-endian uint32, then the doubles row
// after row). Used by field maps, material tables and the dense-matrix library (base/matrix.h);
// not called per pusher step except array_2d_bilinear.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>

// ---- one dimension: handle -> n doubles; n in the header --------------------------------------
double* array_1d(uint32_t n);             // elements undefined
double* array_1d_zeroed(uint32_t n);
void array_1d_free(double* a);            // null is allowed
// n, read from the header.
inline uint32_t array_1d_count(const double* a) { return reinterpret_cast<const uint32_t*>(a)[-1]; }
// Splits text at "," (k commas give k+1 pieces, empty pieces kept) and converts each piece with
// atof (an empty or non-numeric piece gives 0).
double* array_1d_fromCSV(const char* text);
void array_1d_zero(double* a);
double* array_1d_copy(const double* a);
// Copies src into dst (equal lengths; never more than the shorter holds).
void array_1d_eq(double* dst, const double* src);
// Reallocate to n + k elements keeping the old ones; *a may move. The new elements are
// undefined (extendby) or zero (extendzeroed).
void array_1d_extendby(double** a, uint32_t k);
void array_1d_extendzeroed(double** a, uint32_t k);
void array_1d_scale(double* a, double s);
void array_1d_add(double* a, const double* b);
void array_1d_addsc(double* a, double s, const double* b);  // a += s×b
void array_1d_mul(double* a, const double* b);              // elementwise
double array_1d_max(const double* a);     // -HUGE_VAL for an empty array
double array_1d_sum(const double* a);
double array_1d_mean(const double* a);
double array_1d_sumsq(const double* a);
double array_1d_norm(const double* a);
double array_1d_rms(const double* a);
void array_1d_qsort(double* a);           // ascending, in place

// ---- two dimensions: handle -> table of row pointers; rows, cols in the header ----------------
double** array_2d(uint32_t rows, uint32_t cols);  // elements undefined
double** array_2d_zeroed(uint32_t rows, uint32_t cols);
// The header and row-pointer table only, every row null. The caller attaches rows made with
// malloc (cols doubles each); array_2d_free frees them with the table.
double** array_2d_norows(uint32_t rows, uint32_t cols);
void array_2d_free(double** a);           // null is allowed; frees every row and the table
inline uint32_t array_2d_rows(double* const* a) { return reinterpret_cast<const uint32_t*>(a)[-2]; }
inline uint32_t array_2d_cols(double* const* a) { return reinterpret_cast<const uint32_t*>(a)[-1]; }
void array_2d_zero(double** a);
double** array_2d_copy(double* const* a);
// Copies src into dst (equal dimensions; never more than the smaller holds).
void array_2d_eq(double** dst, double* const* src);
void array_2d_scale(double** a, double s);
void array_2d_addsc(double** a, double s, double* const* b);  // a += s×b
void array_2d_mul(double** a, double* const* b);              // elementwise
double** array_2d_transpose(double* const* a);                // new cols × rows array
// Each element printed with fmt on stdout, a newline after each row and one more at the end.
void array_2d_print(double* const* a, const char* fmt);
// Writes a text table to the file named by the printf format namefmt and its arguments: each
// element as "%lg%c" with sep between elements and '\n' ending each row. Returns 1, or 0 when
// the file cannot be opened.
int array_2d_printfile(double* const* a, const char* namefmt, int sep, ...)
    __attribute__((format(printf, 2, 4)));
// One character per element on stdout: "." when |v| < t, "*" when |v|·t > 1, otherwise "+",
// "-" or "#" for a positive, negative or zero element; a newline after each row and one more.
void array_2d_printstructure(double* const* a, double t);
// Bilinear lookup at fractional row index x and column index y (negatives raised to 0). At or
// beyond the last row (column) both corner indices are that row (column), so the lookup holds
// its values there; NaN in gives NaN out. The array
// has at least one row and one column. Called per field sample, hence inline.
inline double array_2d_bilinear(double* const* a, double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return x + y;
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  uint32_t lastrow = array_2d_rows(a) - 1, lastcol = array_2d_cols(a) - 1;
  double tx = std::trunc(x), ty = std::trunc(y);
  uint32_t i = tx >= lastrow ? lastrow : static_cast<uint32_t>(tx);
  uint32_t j = ty >= lastcol ? lastcol : static_cast<uint32_t>(ty);
  uint32_t i1 = i + 1 > lastrow ? lastrow : i + 1;
  uint32_t j1 = j + 1 > lastcol ? lastcol : j + 1;
  double fx = x - i, fy = y - j;
  return (1 - fx) * ((1 - fy) * a[i][j] + fy * a[i][j1]) +
         fx * ((1 - fy) * a[i1][j] + fy * a[i1][j1]);
}

// Binary array format. The writers return 1 on success, 0 on a write or open failure.
int array_2d_write(double* const* a, FILE* f);
int array_2d_save(double* const* a, const char* name);
// Readers never read past the data nor allocate more than the stream holds: a missing, short,
// truncated or absurd file (counts larger than the data) gives null. An array with no elements
// (rows or cols 0) is accepted up to 65536 rows.
double** array_2d_read(FILE* f);
double** array_2d_load(const char* name);
// Reads the counts and fills the existing array a. Returns 1 on success; 0 (a possibly partly
// filled) when the counts differ from a's dimensions or the data is short.
int array_2d_readinto(FILE* f, double** a);

// ---- three dimensions: handle -> depth pointers to tables of row pointers ----------------------
double*** array_3d(uint32_t depth, uint32_t rows, uint32_t cols);  // elements undefined
double*** array_3d_zeroed(uint32_t depth, uint32_t rows, uint32_t cols);
void array_3d_free(double*** a);          // null is allowed
inline uint32_t array_3d_depth(double** const* a) { return reinterpret_cast<const uint32_t*>(a)[-3]; }
inline uint32_t array_3d_rows(double** const* a) { return reinterpret_cast<const uint32_t*>(a)[-2]; }
inline uint32_t array_3d_cols(double** const* a) { return reinterpret_cast<const uint32_t*>(a)[-1]; }
double*** array_3d_copy(double** const* a);
void array_3d_eq(double*** dst, double** const* src);
void array_3d_zero(double*** a);
void array_3d_addmul(double*** a, double** const* b, double s);  // a += s×b
void array_3d_mul(double*** a, double s);
void array_3d_add(double*** a, double** const* b);
void array_3d_subtract(double*** a, double** const* b);
void array_3d_mul(double*** a, double** const* b);                // elementwise

// ---- owners for callers that prefer RAII ------------------------------------------------------
struct Array1dFree {
  void operator()(double* a) const { array_1d_free(a); }
};
struct Array2dFree {
  void operator()(double** a) const { array_2d_free(a); }
};
struct Array3dFree {
  void operator()(double*** a) const { array_3d_free(a); }
};
using Array1d = std::unique_ptr<double, Array1dFree>;
using Array2d = std::unique_ptr<double*, Array2dFree>;
using Array3d = std::unique_ptr<double**, Array3dFree>;
