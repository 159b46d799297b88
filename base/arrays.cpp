// Heap arrays of one to three dimensions and the binary array format. Each array is one header
// block (the counts, then the first-level data or pointer table) plus, for two and three
// dimensions, separate blocks for every row (and every second-level table). The handle points
// just past the counts. Allocation failure is reported as "[FATAL] Out of memory." and gives
// null. Called when field maps, material tables and matrices are built, not per step.
#include "base/arrays.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "base/report.h"

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "the binary array format holds IEEE-754 doubles");

// Header sizes in bytes: the counts sit in the last 4, 8 or 12 bytes, just before the handle,
// and every header keeps the data behind it 8-byte aligned.
static constexpr size_t HEADER1 = 8, HEADER2 = 8, HEADER3 = 16;

static void* allocate(size_t bytes) {
  void* p = malloc(bytes ? bytes : 1);
  if (!p) report("[FATAL] Out of memory.");
  return p;
}

static uint32_t* counts(void* handle) { return static_cast<uint32_t*>(handle); }

// ---- one dimension ------------------------------------------------------------------------------

double* array_1d(uint32_t n) {
  char* block = static_cast<char*>(allocate(HEADER1 + size_t(n) * sizeof(double)));
  if (!block) return nullptr;
  double* a = reinterpret_cast<double*>(block + HEADER1);
  counts(a)[-1] = n;
  return a;
}

double* array_1d_zeroed(uint32_t n) {
  double* a = array_1d(n);
  if (a) array_1d_zero(a);
  return a;
}

void array_1d_free(double* a) {
  if (a) free(reinterpret_cast<char*>(a) - HEADER1);
}

double* array_1d_fromCSV(const char* text) {
  std::vector<std::string> pieces = explode(",", text);
  double* a = array_1d(static_cast<uint32_t>(pieces.size()));
  if (!a) return nullptr;
  for (size_t i = 0; i < pieces.size(); i++) a[i] = atof(pieces[i].c_str());
  return a;
}

void array_1d_zero(double* a) {
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) a[i] = 0;
}

double* array_1d_copy(const double* a) {
  double* b = array_1d(array_1d_count(a));
  if (b) array_1d_eq(b, a);
  return b;
}

void array_1d_eq(double* dst, const double* src) {
  uint32_t n = std::min(array_1d_count(dst), array_1d_count(src));  // never past either end
  memcpy(dst, src, size_t(n) * sizeof(double));
}

void array_1d_extendby(double** a, uint32_t k) {
  uint32_t n = array_1d_count(*a);
  double* b = array_1d(n + k);
  if (!b) return;
  memcpy(b, *a, size_t(n) * sizeof(double));
  array_1d_free(*a);
  *a = b;
}

void array_1d_extendzeroed(double** a, uint32_t k) {
  uint32_t n = array_1d_count(*a);
  array_1d_extendby(a, k);
  if (array_1d_count(*a) != n + k) return;  // allocation failed; *a is unchanged
  for (uint32_t i = n; i < n + k; i++) (*a)[i] = 0;
}

void array_1d_scale(double* a, double s) {
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) a[i] *= s;
}

void array_1d_add(double* a, const double* b) {
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) a[i] += b[i];
}

void array_1d_addsc(double* a, double s, const double* b) {
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) a[i] += s * b[i];
}

void array_1d_mul(double* a, const double* b) {
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) a[i] *= b[i];
}

double array_1d_max(const double* a) {
  double m = -HUGE_VAL;
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++)
    if (a[i] > m) m = a[i];
  return m;
}

double array_1d_sum(const double* a) {
  double s = 0;
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) s += a[i];
  return s;
}

double array_1d_mean(const double* a) { return array_1d_sum(a) / array_1d_count(a); }

double array_1d_sumsq(const double* a) {
  double s = 0;
  for (uint32_t i = 0, n = array_1d_count(a); i < n; i++) s += a[i] * a[i];
  return s;
}

double array_1d_norm(const double* a) { return std::sqrt(array_1d_sumsq(a)); }

double array_1d_rms(const double* a) { return std::sqrt(array_1d_sumsq(a) / array_1d_count(a)); }

void array_1d_qsort(double* a) {
  // NaNs go last, so the ordering stays a strict weak order whatever the data.
  std::sort(a, a + array_1d_count(a),
            [](double u, double v) { return u < v || (!std::isnan(u) && std::isnan(v)); });
}

// ---- two dimensions -----------------------------------------------------------------------------

double** array_2d_norows(uint32_t rows, uint32_t cols) {
  char* block = static_cast<char*>(allocate(HEADER2 + size_t(rows) * sizeof(double*)));
  if (!block) return nullptr;
  double** a = reinterpret_cast<double**>(block + HEADER2);
  counts(a)[-2] = rows;
  counts(a)[-1] = cols;
  for (uint32_t i = 0; i < rows; i++) a[i] = nullptr;
  return a;
}

double** array_2d(uint32_t rows, uint32_t cols) {
  double** a = array_2d_norows(rows, cols);
  if (!a) return nullptr;
  for (uint32_t i = 0; i < rows; i++) {
    a[i] = static_cast<double*>(allocate(size_t(cols) * sizeof(double)));
    if (!a[i]) {
      array_2d_free(a);
      return nullptr;
    }
  }
  return a;
}

double** array_2d_zeroed(uint32_t rows, uint32_t cols) {
  double** a = array_2d(rows, cols);
  if (a) array_2d_zero(a);
  return a;
}

void array_2d_free(double** a) {
  if (!a) return;
  for (uint32_t i = 0, rows = array_2d_rows(a); i < rows; i++) free(a[i]);
  free(reinterpret_cast<char*>(a) - HEADER2);
}

void array_2d_zero(double** a) {
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++)
    for (uint32_t j = 0; j < cols; j++) a[i][j] = 0;
}

double** array_2d_copy(double* const* a) {
  double** b = array_2d(array_2d_rows(a), array_2d_cols(a));
  if (b) array_2d_eq(b, a);
  return b;
}

void array_2d_eq(double** dst, double* const* src) {
  uint32_t rows = std::min(array_2d_rows(dst), array_2d_rows(src));
  size_t bytes = size_t(std::min(array_2d_cols(dst), array_2d_cols(src))) * sizeof(double);
  for (uint32_t i = 0; i < rows; i++) memcpy(dst[i], src[i], bytes);
}

void array_2d_scale(double** a, double s) {
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++)
    for (uint32_t j = 0; j < cols; j++) a[i][j] *= s;
}

void array_2d_addsc(double** a, double s, double* const* b) {
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++)
    for (uint32_t j = 0; j < cols; j++) a[i][j] += s * b[i][j];
}

void array_2d_mul(double** a, double* const* b) {
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++)
    for (uint32_t j = 0; j < cols; j++) a[i][j] *= b[i][j];
}

double** array_2d_transpose(double* const* a) {
  uint32_t rows = array_2d_rows(a), cols = array_2d_cols(a);
  double** t = array_2d(cols, rows);
  if (!t) return nullptr;
  for (uint32_t i = 0; i < rows; i++)
    for (uint32_t j = 0; j < cols; j++) t[j][i] = a[i][j];
  return t;
}

void array_2d_print(double* const* a, const char* fmt) {
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++) {
    for (uint32_t j = 0; j < cols; j++) printf(fmt, a[i][j]);
    printf("\n");
  }
  printf("\n");
}

int array_2d_printfile(double* const* a, const char* namefmt, int sep, ...) {
  va_list args, again;
  va_start(args, sep);
  va_copy(again, args);
  int len = vsnprintf(nullptr, 0, namefmt, args);
  va_end(args);
  std::string name(len > 0 ? size_t(len) : 0, '\0');
  if (len > 0) vsnprintf(name.data(), name.size() + 1, namefmt, again);
  va_end(again);
  FILE* f = fopen(name.c_str(), "w");
  if (!f) return 0;
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++)
    for (uint32_t j = 0; j < cols; j++)
      fprintf(f, "%lg%c", a[i][j], j + 1 < cols ? sep : '\n');
  return fclose(f) == 0;
}

void array_2d_printstructure(double* const* a, double t) {
  for (uint32_t i = 0, rows = array_2d_rows(a), cols = array_2d_cols(a); i < rows; i++) {
    for (uint32_t j = 0; j < cols; j++) {
      double v = a[i][j], m = std::fabs(v);
      char c;
      if (m < t)
        c = '.';
      else if (m * t > 1)
        c = '*';
      else if (v > 0)
        c = '+';
      else if (v < 0)
        c = '-';
      else
        c = '#';
      putchar(c);
    }
    putchar('\n');
  }
  putchar('\n');
}

// ---- binary array format ------------------------------------------------------------------------

int array_2d_write(double* const* a, FILE* f) {
  uint32_t rows = array_2d_rows(a), cols = array_2d_cols(a);
  ByteWriter w = bytewriter_file(f);
  bw_u32(&w, rows);
  bw_u32(&w, cols);
  for (uint32_t i = 0; i < rows && cols != 0 && w.ok; i++) bw_f64s(&w, a[i], cols);
  return w.ok ? 1 : 0;
}

int array_2d_save(double* const* a, const char* name) {
  FILE* f = fopen(name, "wb");
  if (!f) return 0;
  int ok = array_2d_write(a, f);
  if (fclose(f) != 0) ok = 0;
  return ok;
}

static bool readcounts(ByteReader* r, uint32_t* rows, uint32_t* cols) {
  return br_u32(r, rows) && br_u32(r, cols);
}

// Reads rows × cols doubles into a, row after row. False on a short read.
static bool readrows(ByteReader* r, double** a, uint32_t rows, uint32_t cols) {
  for (uint32_t i = 0; i < rows && r->ok; i++) br_f64s(r, a[i], cols);
  return r->ok;
}

double** array_2d_read(FILE* f) {
  uint32_t rows, cols;
  ByteReader r = bytereader_file(f);
  if (!f || !readcounts(&r, &rows, &cols)) return nullptr;
  uint64_t n = uint64_t(rows) * cols;
  if (n == 0) return rows <= 65536 ? array_2d(rows, cols) : nullptr;

  size_t left = br_remaining(&r);
  if (left != SIZE_MAX) {
    // Seekable: the data must all be there before anything is allocated.
    if (uint64_t(left) / sizeof(double) < n) return nullptr;
    double** a = array_2d(rows, cols);
    if (a && !readrows(&r, a, rows, cols)) {
      array_2d_free(a);
      return nullptr;
    }
    return a;
  }

  // A stream that cannot seek: gather what arrives, in bounded chunks, so memory follows the
  // data actually present rather than the counts.
  std::vector<double> data;
  const size_t chunk = 8192;
  while (data.size() < n) {
    size_t want = std::min<uint64_t>(chunk, n - data.size());
    size_t had = data.size();
    data.resize(had + want);
    if (!br_f64s(&r, data.data() + had, want)) return nullptr;
  }
  double** a = array_2d(rows, cols);
  if (!a) return nullptr;
  for (uint32_t i = 0; i < rows; i++)
    memcpy(a[i], data.data() + size_t(i) * cols, size_t(cols) * sizeof(double));
  return a;
}

double** array_2d_load(const char* name) {
  FILE* f = fopen(name, "rb");
  if (!f) return nullptr;
  double** a = array_2d_read(f);
  fclose(f);
  return a;
}

int array_2d_readinto(FILE* f, double** a) {
  uint32_t rows, cols;
  ByteReader r = bytereader_file(f);
  if (!f || !readcounts(&r, &rows, &cols)) return 0;
  if (rows != array_2d_rows(a) || cols != array_2d_cols(a)) return 0;
  return readrows(&r, a, rows, cols) ? 1 : 0;
}

// ---- three dimensions ---------------------------------------------------------------------------

double*** array_3d(uint32_t depth, uint32_t rows, uint32_t cols) {
  char* block = static_cast<char*>(allocate(HEADER3 + size_t(depth) * sizeof(double**)));
  if (!block) return nullptr;
  double*** a = reinterpret_cast<double***>(block + HEADER3);
  counts(a)[-4] = 0;
  counts(a)[-3] = depth;
  counts(a)[-2] = rows;
  counts(a)[-1] = cols;
  for (uint32_t d = 0; d < depth; d++) a[d] = nullptr;
  for (uint32_t d = 0; d < depth; d++) {
    a[d] = static_cast<double**>(allocate(size_t(rows) * sizeof(double*)));
    if (!a[d]) {
      array_3d_free(a);
      return nullptr;
    }
    for (uint32_t i = 0; i < rows; i++) a[d][i] = nullptr;
    for (uint32_t i = 0; i < rows; i++) {
      a[d][i] = static_cast<double*>(allocate(size_t(cols) * sizeof(double)));
      if (!a[d][i]) {
        array_3d_free(a);
        return nullptr;
      }
    }
  }
  return a;
}

double*** array_3d_zeroed(uint32_t depth, uint32_t rows, uint32_t cols) {
  double*** a = array_3d(depth, rows, cols);
  if (a) array_3d_zero(a);
  return a;
}

void array_3d_free(double*** a) {
  if (!a) return;
  uint32_t depth = array_3d_depth(a), rows = array_3d_rows(a);
  for (uint32_t d = 0; d < depth; d++) {
    if (!a[d]) continue;
    for (uint32_t i = 0; i < rows; i++) free(a[d][i]);
    free(a[d]);
  }
  free(reinterpret_cast<char*>(a) - HEADER3);
}

// Applies op(element of a, element of b) over every element.
template <class Op>
static void each3(double*** a, double** const* b, Op op) {
  uint32_t depth = array_3d_depth(a), rows = array_3d_rows(a), cols = array_3d_cols(a);
  for (uint32_t d = 0; d < depth; d++)
    for (uint32_t i = 0; i < rows; i++)
      for (uint32_t j = 0; j < cols; j++) op(a[d][i][j], b ? b[d][i][j] : 0.0);
}

double*** array_3d_copy(double** const* a) {
  double*** b = array_3d(array_3d_depth(a), array_3d_rows(a), array_3d_cols(a));
  if (b) array_3d_eq(b, a);
  return b;
}

void array_3d_eq(double*** dst, double** const* src) {
  each3(dst, src, [](double& x, double y) { x = y; });
}

void array_3d_zero(double*** a) {
  each3(a, nullptr, [](double& x, double) { x = 0; });
}

void array_3d_addmul(double*** a, double** const* b, double s) {
  each3(a, b, [s](double& x, double y) { x += s * y; });
}

void array_3d_mul(double*** a, double s) {
  each3(a, nullptr, [s](double& x, double) { x *= s; });
}

void array_3d_add(double*** a, double** const* b) {
  each3(a, b, [](double& x, double y) { x += y; });
}

void array_3d_subtract(double*** a, double** const* b) {
  each3(a, b, [](double& x, double y) { x -= y; });
}

void array_3d_mul(double*** a, double** const* b) {
  each3(a, b, [](double& x, double y) { x *= y; });
}
