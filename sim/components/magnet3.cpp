// Three-dimensional magnets: the profile functions and their derivatives, the off-plane series
// (its coefficient tables and its sum), the magnet's geometry along the reference curve, and the
// cell operations.
//
// The potential Φ = Σ_(n odd) y^n A_n(x, z), A_1 = F = f1·f2·f3, A_n = -Δ A_(n-2)/(n(n-1))
// (Δ over x and z) satisfies Laplace's equation and gives By = F on the mid-plane. Since each
// f_i depends on x and z only through s_i = g_i·((x, z) - c_i), every x or z derivative raises
// one profile's derivative order and brings a gradient component, so the term of order m (the
// power of y) of B is a sum over a + b + c = m of K[a][b][c]·f1^(a)·f2^(b)·f3^(c)·y^m.
#include "sim/components/magnet3.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/arrays.h"
#include "base/matrix.h"
#include "base/report.h"
#include "base/text.h"
#include "sim/components/crossing.h"
#include "sim/particle.h"

namespace {

// ---- the normal-density polynomials, computed by the compiler ----

constexpr int NDORDERS = MAGNET3_MAXDERIV + 1;

struct NormalDensityTable {
  double c[NDORDERS][NDORDERS];  // [m][i]: coefficient of s^i in G_m
};

constexpr NormalDensityTable makenormaldensity() {
  NormalDensityTable t{};
  t.c[0][0] = 0.3989422804014327;  // 1/√(2π)
  for (int m = 1; m < NDORDERS; m++)
    for (int i = 0; i <= m; i++) {
      // G_m = G'_(m-1) - s·G_(m-1)
      const double d = i + 1 < m ? (i + 1) * t.c[m - 1][i + 1] : 0.0;
      const double s = i >= 1 ? t.c[m - 1][i - 1] : 0.0;
      t.c[m][i] = d - s;
    }
  return t;
}

// Read-only for the life of the process: no thread ever writes it.
constexpr NormalDensityTable normaldensity = makenormaldensity();
static_assert(normaldensity.c[2][2] == 0.3989422804014327 &&
                  normaldensity.c[2][0] == -0.3989422804014327,
              "G_2(s) = (s² - 1)/√(2π)");

constexpr double SQRT2PI = 2.5066282746310002;

// ---- attributes ----

double numattrib(const Cell* cell, const char* name, double def) {
  return Cell_attribtype(cell, name) == AttributeType::Number ? Cell_attrib(cell, name, def) : def;
}

// ---- the series coefficients ----

inline int triindex(int m, int a, int b) {
  return m * (m + 1) * (m + 2) / 6 + a * (m + 1) - a * (a - 1) / 2 + b;
}
inline int tricount(int N) {
  return (N + 1) * (N + 2) * (N + 3) / 6;
}
// K[a][b][m - a - b] of order m, 0 when an index is below 0.
inline double tri(const double* K, int m, int a, int b) {
  if (m < 0 || a < 0 || b < 0 || a + b > m) return 0;
  return K[triindex(m, a, b)];
}

}  // namespace

double normaldensitycoeff(int m, int i) {
  if (m < 0 || m >= NDORDERS || i < 0 || i > m) return 0;
  return normaldensity.c[m][i];
}

double normaldensitypoly(int m, double s) {
  const double* c = normaldensity.c[m];
  double v = 0;
  for (int i = m; i >= 0; i--) v = v * s + c[i];
  return v;
}

// ---- profiles ----

void Magnet3Profile_prepare(const Magnet3Profile* p, double s, ProfileAt* at) {
  at->s = s;
  switch (p->kind) {
    case ProfileKind::IntGaussian:
      at->e = std::exp(-0.5 * s * s);
      break;
    case ProfileKind::Exponential:
      at->e = std::exp(p->k * s);
      break;
    case ProfileKind::Interpolant:
      for (int j = 0; j <= p->n; j++) {
        const double u = (s - (p->k + j * p->offset)) / p->sigma;
        at->ex[j] = std::exp(-0.5 * u * u);
      }
      break;
    default:
      break;
  }
}

double Magnet3Profile_derivative(const Magnet3Profile* p, const ProfileAt* at, int m) {
  if (m < 0 || m > MAGNET3_MAXDERIV) return 0;
  const double s = at->s;
  switch (p->kind) {
    case ProfileKind::IntGaussian:
      // Beyond s = 8.3 the distribution function is 1 to within half a unit in the last place
      // (1 - Φ(8.3) = 5e-17): the body of a magnet needs no erfc.
      if (m == 0) return s > 8.3 ? 1.0 : 0.5 * std::erfc(-s * 0.7071067811865475);
      return normaldensitypoly(m - 1, s) * at->e;
    case ProfileKind::Exponential: {
      if (m == 0) return at->e + p->offset;
      double km = 1;
      for (int i = 0; i < m; i++) km *= p->k;
      return km * at->e;
    }
    case ProfileKind::Polynomial: {
      const int d = p->n;
      if (m > d) return 0;
      // Σ_(i >= m) c_i·i!/(i-m)!·s^(i-m) by Horner's rule; the falling factorial i!/(i-m)!
      // goes down with i by the factor (i - m)/i.
      double ff = 1;
      for (int j = 0; j < m; j++) ff *= d - j;
      double v = 0;
      for (int i = d; i >= m; i--) {
        v = v * s + p->coef[i] * ff;
        if (i > m) ff = ff * (i - m) / i;
      }
      return v;
    }
    case ProfileKind::Interpolant: {
      double sum = 0;
      for (int j = 0; j <= p->n; j++) {
        if (at->ex[j] == 0) continue;
        const double u = (s - (p->k + j * p->offset)) / p->sigma;
        sum += p->coef[j] * normaldensitypoly(m, u) * at->ex[j];
      }
      double sm = 1;
      for (int i = 0; i < m; i++) sm /= p->sigma;
      return sm * SQRT2PI * sum;
    }
    default:
      return 0;
  }
}

void fringe_derivs(const Magnet3Profile* p, double s, double* out, int from, int to) {
  ProfileAt at;
  Magnet3Profile_prepare(p, s, &at);
  for (int m = from; m <= to; m++) out[m] = Magnet3Profile_derivative(p, &at, m);
}

void Magnet3Profile_free(Magnet3Profile* p) {
  std::free(p->coef);
  std::memset(p, 0, sizeof *p);
}

int fringe_derivs_select(const char* name, const Cell* params, Magnet3Profile* out,
                         const char* cellname, const char* attr) {
  std::memset(out, 0, sizeof *out);
  if (!name) {
    reportf("[FATAL] Magnet3 '%s' lacks its profile function '%s'", cellname, attr);
    return 0;
  }
  auto refuse = [&](const char* why) {
    reportf("[FATAL] Profile '%s' of Magnet3 '%s': %s", attr, cellname, why);
    Magnet3Profile_free(out);
    return 0;
  };
  if (equalnocase(name, "IntGaussian")) {
    out->kind = ProfileKind::IntGaussian;
    return 1;
  }
  if (equalnocase(name, "Exponential")) {
    out->kind = ProfileKind::Exponential;
    out->k = numattrib(params, "k", 0);
    out->offset = numattrib(params, "offset", 0);
    if (!std::isfinite(out->k) || !std::isfinite(out->offset))
      return refuse("k and offset must be finite numbers");
    return 1;
  }
  if (equalnocase(name, "Polynomial")) {
    out->kind = ProfileKind::Polynomial;
    const double d = std::round(numattrib(params, "degree", 0));
    if (!(d >= 0 && d <= MAGNET3_MAXDEGREE)) return refuse("the degree must be 0 to 63");
    out->n = (int)d;
    out->coef = static_cast<double*>(std::malloc(sizeof(double) * (out->n + 1)));
    for (int i = 0; i <= out->n; i++) {
      char key[16];
      std::snprintf(key, sizeof key, "c%d", i);
      out->coef[i] = numattrib(params, key, 0);
      if (!std::isfinite(out->coef[i])) return refuse("a coefficient is not a finite number");
    }
    return 1;
  }
  if (equalnocase(name, "Interpolant")) {
    out->kind = ProfileKind::Interpolant;
    const double nd = std::round(numattrib(params, "divs", 0));
    if (!(nd >= 1 && nd <= MAGNET3_MAXDIVS)) return refuse("divs must be 1 to 64");
    const int n = (int)nd;
    double dx = numattrib(params, "dx", 0), x0 = numattrib(params, "x0", 0);
    if (Cell_hasattrib(params, "x1")) dx = (numattrib(params, "x1", 0) - x0) / n;
    if (Cell_hasattrib(params, "width")) dx = numattrib(params, "width", 0) / n;
    if (Cell_hasattrib(params, "halfwidth")) dx = 2 * numattrib(params, "halfwidth", 0) / n;
    if (Cell_hasattrib(params, "centre")) x0 = numattrib(params, "centre", 0) - n * dx / 2;
    else if (!Cell_hasattrib(params, "x0")) x0 = -n * dx / 2;
    if (!(dx != 0) || !std::isfinite(dx) || !std::isfinite(x0))
      return refuse("the node step must be finite and not zero");
    out->n = n;
    out->k = x0;
    out->offset = dx;
    out->sigma = dx * 0.7071067811865475;
    // Weights w with Σ_j w_j e^(-(i-j)²) = v_i: the Gaussians pass through every value.
    double** M = array_2d(n + 1, n + 1);
    for (int i = 0; i <= n; i++)
      for (int j = 0; j <= n; j++) M[i][j] = std::exp(-(double)((i - j) * (i - j)));
    const int ok = invertmatrix(M);
    out->coef = static_cast<double*>(std::calloc(n + 1, sizeof(double)));
    bool finite = true;
    for (int i = 0; i <= n && ok; i++) {
      char key[16];
      std::snprintf(key, sizeof key, "v%d", i);
      const double v = numattrib(params, key, 0);
      finite = finite && std::isfinite(v);
      for (int j = 0; j <= n; j++) out->coef[j] += M[j][i] * v;
    }
    array_2d_free(M);
    if (!ok) return refuse("the node values cannot be interpolated");
    if (!finite) return refuse("a value is not a finite number");
    return 1;
  }
  reportf("[FATAL] Unknown profile function '%s' for '%s' in Magnet3 '%s'", name, attr, cellname);
  return 0;
}

// ---- the series ----

void MagnetProduct3_calcK(MagnetProduct3* p, int N) {
  if (N > MAGNET3_N) N = MAGNET3_N;
  std::free(p->K1);
  std::free(p->K2);
  p->N = N;
  p->K1 = static_cast<double*>(std::calloc(tricount(N), sizeof(double)));
  p->K2 = static_cast<double*>(std::calloc(tricount(N), sizeof(double)));
  const double(*g)[2] = p->g;
  const double gg[3][3] = {
      {g[0][0] * g[0][0] + g[0][1] * g[0][1], g[0][0] * g[1][0] + g[0][1] * g[1][1],
       g[0][0] * g[2][0] + g[0][1] * g[2][1]},
      {0, g[1][0] * g[1][0] + g[1][1] * g[1][1], g[1][0] * g[2][0] + g[1][1] * g[2][1]},
      {0, 0, g[2][0] * g[2][0] + g[2][1] * g[2][1]}};
  p->K1[0] = 1;
  for (int m = 1; m <= N; m++)
    for (int a = 0; a <= m; a++)
      for (int b = 0; b <= m - a; b++) {
        const int idx = triindex(m, a, b);
        const int c = m - a - b;
        const double* K = p->K1;
        if (m % 2) {
          const int q = m - 1;
          p->K1[idx] = (g[0][0] * tri(K, q, a - 1, b) + g[1][0] * tri(K, q, a, b - 1) +
                        (c > 0 ? g[2][0] * tri(K, q, a, b) : 0.0)) /
                       m;
          p->K2[idx] = (g[0][1] * tri(K, q, a - 1, b) + g[1][1] * tri(K, q, a, b - 1) +
                        (c > 0 ? g[2][1] * tri(K, q, a, b) : 0.0)) /
                       m;
        } else {
          const int q = m - 2;
          // The c - 1 and c - 2 entries of order q: K[a][b][c - k] is tri(q, a, b) with the
          // order's total fixing c.
          double v = gg[0][0] * tri(K, q, a - 2, b) + gg[1][1] * tri(K, q, a, b - 2) +
                     2 * gg[0][1] * tri(K, q, a - 1, b - 1);
          if (c >= 2) v += gg[2][2] * tri(K, q, a, b);
          if (c >= 1) v += 2 * gg[0][2] * tri(K, q, a - 1, b) + 2 * gg[1][2] * tri(K, q, a, b - 1);
          p->K1[idx] = -v / ((m - 1) * m);
        }
      }
}

V3 MagnetProduct3_fieldtol(const MagnetProduct3* p, V3 xzy, double tol, int* orders) {
  const double x = xzy.x, z = xzy.y, y = xzy.z;
  ProfileAt at[3];
  for (int i = 0; i < 3; i++)
    Magnet3Profile_prepare(&p->f[i], p->g[i][0] * (x - p->c[i][0]) + p->g[i][1] * (z - p->c[i][1]),
                           &at[i]);
  double D[3][MAGNET3_N + 1];
  double bx = 0, by = 0, bz = 0, ym = 1;
  int settled = 0;
  const double tol2 = tol * tol;
  for (int m = 0; m <= p->N; m++) {
    for (int i = 0; i < 3; i++) D[i][m] = Magnet3Profile_derivative(&p->f[i], &at[i], m) * ym;
    ym *= y;
    double dx = 0, dy = 0, dz = 0;
    // Terms whose third or first factor is zero (a uniform or polynomial profile, the
    // mid-plane) are passed over.
    for (int c = 0; c <= m; c++) {
      if (D[2][c] == 0) continue;
      for (int a = 0; a <= m - c; a++) {
        if (D[0][a] == 0) continue;
        const double t = D[0][a] * D[1][m - a - c] * D[2][c];
        const int idx = triindex(m, a, m - a - c);
        if (m % 2) {
          dx += p->K1[idx] * t;
          dz += p->K2[idx] * t;
        } else {
          dy += p->K1[idx] * t;
        }
      }
    }
    bx += dx;
    by += dy;
    bz += dz;
    const double b2 = bx * bx + by * by + bz * bz;
    if (dx * dx + dy * dy + dz * dz <= tol2 * std::max(1.0, b2)) {
      if (++settled == 2) {
        if (orders) *orders = m;
        return V3{bx, bz, by};
      }
    } else {
      settled = 0;
    }
  }
  if (orders) *orders = p->N;
  return V3{-99, -99, -99};
}

// ---- geometry ----

V3 Magnet3_curvepoint(const Magnet3* m, double s, double X, double Y) {
  if (m->Angle == 0 || s <= 0) return V3{X, Y, s};
  const double A = m->Angle, R = m->Length / A;
  if (s >= m->Length) {
    const double ca = std::cos(A), sa = std::sin(A);
    const double d = s - m->Length;
    return V3{R * (1 - ca) + d * sa + X * ca, Y, R * sa + d * ca - X * sa};
  }
  const double phi = s / R;
  return V3{R - (R - X) * std::cos(phi), Y, (R - X) * std::sin(phi)};
}

namespace {

// Transverse coordinate u (along the curve's local x) and whether the local point lies
// within the magnet's length or arc; `lon` (when given) receives how far outside it the point
// lies along the curve (negative within).
bool bodycoords(const Magnet3* m, V3 l, double* u, double* lon) {
  if (m->Angle == 0) {
    *u = l.x;
    if (lon) *lon = std::max(-l.z, l.z - m->Length);
    return 0 <= l.z && l.z <= m->Length;
  }
  const double R = m->Length / m->Angle;
  const double rho = R > 0 ? R - l.x : l.x - R;
  const double theta = std::atan2(l.z, rho);
  const double d = std::sqrt(l.z * l.z + rho * rho);
  *u = R > 0 ? R - d : R + d;
  if (lon) *lon = std::max(-theta, theta - std::fabs(m->Angle)) * std::fabs(R);
  return 0 <= theta && theta < std::fabs(m->Angle);
}

inline V3 localpoint(const Magnet3* m, double x, double y, double z) {
  const double dx = x - m->frame.origin.x, dy = y - m->frame.origin.y, dz = z - m->frame.origin.z;
  const double(*M)[3] = m->frame.M.m;
  return V3{M[0][0] * dx + M[1][0] * dy + M[2][0] * dz, M[0][1] * dx + M[1][1] * dy + M[2][1] * dz,
            M[0][2] * dx + M[1][2] * dy + M[2][2] * dz};
}

// Negative inside the body, positive outside (the crossing search's surface function).
double bodyiso(Particle p, const void* coeffs) {
  const Magnet3* m = static_cast<const Magnet3*>(coeffs);
  const V3 l = localpoint(m, p.x, p.y, p.z);
  double u, lon;
  bodycoords(m, l, &u, &lon);
  const double mx = 0.1 * (m->x2 - m->x1), my = 0.1 * (m->y2 - m->y1);
  const double uc = 0.5 * (m->x1 + m->x2), hw = 0.5 * (m->x2 - m->x1);
  const double yc = 0.5 * (m->y1 + m->y2), hh = 0.5 * (m->y2 - m->y1);
  const double outer = std::max(std::fabs(u - uc) - hw - mx, std::fabs(l.y - yc) - hh - my);
  const double inner = std::max(std::fabs(u - uc) - hw, std::fabs(l.y - yc) - hh);
  return std::max(std::max(outer, -inner), lon);
}

void freerecord(Magnet3* m) {
  std::free(m->product.K1);
  std::free(m->product.K2);
  for (Magnet3Profile& f : m->product.f) Magnet3Profile_free(&f);
  m->product.K1 = m->product.K2 = nullptr;
}

// Reads profile `attr` (or the one named by `nameattr` with its parameters) into *f.
int readprofile(const Cell* cell, const char* nameattr, Magnet3Profile* f) {
  Cell* params = Cell_arrayattrib(cell, nameattr);
  const int ok = fringe_derivs_select(Cell_stringattrib(cell, nameattr), params, f,
                                      cell->name ? cell->name : "", nameattr);
  Cell_freeref(params, 0);
  return ok;
}

// Fills the record (frame already set) from the attributes; 0 after reporting a refusal, with
// nothing owned left behind.
int buildrecord(const Cell* cell, Magnet3* m) {
  const char* name = cell->name ? cell->name : "";
  const char* type = cell->type_name ? cell->type_name : "";
  MagnetProduct3& p = m->product;
  std::memset(&p, 0, sizeof p);
  const bool general = equalnocase(type, "Magnet3");
  const bool edges = equalnocase(type, "Magnet3Sector") || equalnocase(type, "Magnet3Rect");
  if (!general && !edges) {
    reportf("[FATAL] Unknown three-dimensional magnet type '%s' of '%s'", type, name);
    return 0;
  }
  m->Length = numattrib(cell, "Length", 0);
  m->Angle = numattrib(cell, "Angle", 0);
  if (!std::isfinite(m->Length) || !std::isfinite(m->Angle)) {
    reportf("[FATAL] Length and Angle of Magnet3 '%s' must be finite numbers", name);
    return 0;
  }
  if (m->Angle != 0 && m->Length == 0) {
    reportf("[FATAL] Magnet3 '%s' has an angle but no length", name);
    return 0;
  }
  double fringe = 0;  // the larger fringe length
  if (general) {
    static const char* const keys[3][4] = {{"c1x", "c1z", "g1x", "g1z"},
                                           {"c2x", "c2z", "g2x", "g2z"},
                                           {"c3x", "c3z", "g3x", "g3z"}};
    for (int i = 0; i < 3; i++) {
      p.c[i][0] = numattrib(cell, keys[i][0], 0);
      p.c[i][1] = numattrib(cell, keys[i][1], 0);
      p.g[i][0] = numattrib(cell, keys[i][2], 0);
      p.g[i][1] = numattrib(cell, keys[i][3], 0);
    }
    for (int i = 0; i < 2; i++) {
      const double gn = std::hypot(p.g[i][0], p.g[i][1]);
      if (gn > 0) fringe = std::max(fringe, 1 / gn);
    }
  } else {
    double f[2];
    const char* keys[2] = {"Fringe1", "Fringe2"};
    for (int i = 0; i < 2; i++) {
      f[i] = Cell_hasattrib(cell, keys[i]) ? numattrib(cell, keys[i], 0)
                                           : numattrib(cell, "Fringe", 0);
      if (!(f[i] >= 0) || !std::isfinite(f[i])) {
        reportf("[FATAL] Fringe length %lg of Magnet3 '%s' is not a positive finite length",
                f[i], name);
        return 0;
      }
      if (f[i] == 0) f[i] = 1;
      fringe = std::max(fringe, f[i]);
    }
    // Entrance edge: the plane z = 0. Exit edge: the line across the reference curve at its
    // exit point, the profile falling beyond it.
    p.g[0][1] = 1 / f[0];
    const V3 exitpoint = Magnet3_curvepoint(m, m->Length, 0, 0);
    p.c[1][0] = exitpoint.x;
    p.c[1][1] = exitpoint.z;
    p.g[1][0] = -std::sin(m->Angle) / f[1];
    p.g[1][1] = -std::cos(m->Angle) / f[1];
    p.g[2][0] = 1;
    if (Cell_hasattrib(cell, "c3x")) p.c[2][0] = numattrib(cell, "c3x", 0);
    if (Cell_hasattrib(cell, "c3z")) p.c[2][1] = numattrib(cell, "c3z", 0);
    if (Cell_hasattrib(cell, "g3x")) p.g[2][0] = numattrib(cell, "g3x", 0);
    if (Cell_hasattrib(cell, "g3z")) p.g[2][1] = numattrib(cell, "g3z", 0);
  }
  for (auto& row : p.c)
    for (double v : row)
      if (!std::isfinite(v)) {
        reportf("[FATAL] Profile reference points of Magnet3 '%s' must be finite", name);
        return 0;
      }
  for (auto& row : p.g)
    for (double v : row)
      if (!std::isfinite(v)) {
        reportf("[FATAL] Profile gradients of Magnet3 '%s' must be finite", name);
        return 0;
      }

  const bool shared = edges && Cell_stringattrib(cell, "FringeFunc");
  const char* names[3] = {shared ? "FringeFunc" : "func1", shared ? "FringeFunc" : "func2",
                          "func3"};
  for (int i = 0; i < 3; i++)
    if (!readprofile(cell, names[i], &p.f[i])) {
      freerecord(m);
      return 0;
    }

  m->x1 = numattrib(cell, "x1", 0);
  m->x2 = numattrib(cell, "x2", 0);
  m->y1 = numattrib(cell, "y1", 0);
  m->y2 = numattrib(cell, "y2", 0);
  if (Cell_hasattrib(cell, "HalfWidth")) {
    m->x2 = numattrib(cell, "HalfWidth", 0);
    m->x1 = -m->x2;
  }
  if (Cell_hasattrib(cell, "HalfHeight")) {
    m->y2 = numattrib(cell, "HalfHeight", 0);
    m->y1 = -m->y2;
  }
  m->FringeLimit =
      Cell_hasattrib(cell, "FringeLimit") ? numattrib(cell, "FringeLimit", 0) : 6 * fringe;
  m->Field = numattrib(cell, "Field", 1);
  const double geometry[6] = {m->x1, m->x2, m->y1, m->y2, m->FringeLimit, m->Field};
  for (double v : geometry)
    if (!std::isfinite(v)) {
      reportf("[FATAL] Gap, FringeLimit and Field of Magnet3 '%s' must be finite numbers", name);
      freerecord(m);
      return 0;
    }
  if (m->FringeLimit < 0) {
    reportf("[FATAL] FringeLimit %lg of Magnet3 '%s' is negative", m->FringeLimit, name);
    freerecord(m);
    return 0;
  }
  MagnetProduct3_calcK(&p, MAGNET3_N);
  return 1;
}

// The series must settle wherever a particle in the gap can be: along the four corners of the
// gap from FringeLimit before the entrance to FringeLimit beyond the exit.
void checkholes(const Cell* cell, const Magnet3* m) {
  double step = 1e300;
  for (int i = 0; i < 2; i++) {
    const double gn = std::hypot(m->product.g[i][0], m->product.g[i][1]);
    if (gn > 0) step = std::min(step, 0.25 / gn);
  }
  const double s0 = -m->FringeLimit, s1 = m->Length + m->FringeLimit;
  const int maxpoints = 2000;
  if (!(step < 1e300) || (s1 - s0) / step > maxpoints) step = (s1 - s0) / maxpoints;
  const int n = step > 0 ? (int)std::ceil((s1 - s0) / step) : 0;
  int bad = 0, total = 0;
  double bx = 0, by = 0, bs = 0;
  for (int k = 0; k <= n; k++) {
    const double s = n > 0 ? s0 + (s1 - s0) * k / n : s0;
    for (double X : {m->x1, m->x2})
      for (double Y : {m->y1, m->y2}) {
        const V3 l = Magnet3_curvepoint(m, s, X, Y);
        const V3 b = MagnetProduct3_fieldtol(&m->product, V3{l.x, l.z, l.y}, 1e-8);
        total++;
        if (b.x == -99 && b.y == -99 && b.z == -99 && bad++ == 0) {
          bx = X;
          by = Y;
          bs = s;
        }
      }
  }
  if (bad)
    reportf("[WARNING] Magnet3 '%s' has no field at %d of %d points along its gap's corners "
            "(first at x = %lg, y = %lg, s = %lg m): its gap is too tall for its fringe lengths",
            cell->name ? cell->name : "", bad, total, bx, by, bs);
}

}  // namespace

// ---- the cell class ----

void Magnet3_constructor(Cell* cell, Simulation* /*sim*/) {
  Magnet3* m = reinterpret_cast<Magnet3*>(cell->rtd);
  m->frame = cell->axis;
  if (!buildrecord(cell, m)) {
    cell->field = nullptr;
    cell->collisiondetect = nullptr;
    cell->inside = nullptr;
    return;
  }
  checkholes(cell, m);
}

void Magnet3_destructor(void* data) {
  freerecord(static_cast<Magnet3*>(data));
}

int Magnet3_restore(Cell* cell, const Simulation* /*sim*/) {
  Magnet3* m = reinterpret_cast<Magnet3*>(cell->rtd);
  // The pointers read back belonged to the process that wrote the record; the frame is kept.
  std::memset(&m->product, 0, sizeof m->product);
  return buildrecord(cell, m);
}

EB Magnet3_field(const void* data, double x, double y, double z, double /*t*/) {
  const Magnet3* m = static_cast<const Magnet3*>(data);
  EB f = EB_zero();
  if (!m->product.K1) return f;
  const V3 l = localpoint(m, x, y, z);
  if (!std::isfinite(l.x) || !std::isfinite(l.y) || !std::isfinite(l.z)) return f;
  const V3 b = MagnetProduct3_fieldtol(&m->product, V3{l.x, l.z, l.y}, 1e-8);
  if (b.x == -99 && b.y == -99 && b.z == -99) return f;
  f.B = m->frame.M * (m->Field * V3{b.x, b.z, b.y});
  return f;
}

int Magnet3_inside(const void* data, double x, double y, double z, double /*t*/) {
  const Magnet3* m = static_cast<const Magnet3*>(data);
  const V3 l = localpoint(m, x, y, z);
  double u;
  if (!bodycoords(m, l, &u, nullptr)) return 0;
  const double mx = 0.1 * (m->x2 - m->x1), my = 0.1 * (m->y2 - m->y1);
  const bool outer = m->x1 - mx < u && u < m->x2 + mx && m->y1 - my < l.y && l.y < m->y2 + my;
  const bool gap = m->x1 <= u && u <= m->x2 && m->y1 <= l.y && l.y <= m->y2;
  return outer && !gap;
}

int Magnet3_collisiondetect(const void* data, const Particle* start, const Particle* end,
                            double t0, double t1, unsigned /*thread*/, const ScatterData* material,
                            const Simulation* /*sim*/, Particle* out, double* tout) {
  *out = *end;
  *tout = t1;
  if (!std::isfinite(end->x) || !std::isfinite(end->y) || !std::isfinite(end->z)) {
    out->state = Stopped;
    return 1;
  }
  if (!Magnet3_inside(data, end->x, end->y, end->z, t1)) return 0;
  // Stopped where the path enters the body.
  Particle p;
  double tc;
  if (scatterparticle_isocd(*start, *end, t0, t1, bodyiso, data, material, &p, &tc)) {
    *out = p;
    *tout = tc;
  }
  out->state = Stopped;
  return 1;
}

void Magnet3_buildboundingbox(void* data, Cell* cell) {
  const Magnet3* m = static_cast<const Magnet3*>(data);
  if (!m->product.K1) return;  // a refused magnet is never near a particle
  const double mx = 0.1 * (m->x2 - m->x1), my = 0.1 * (m->y2 - m->y1);
  auto corners = [&](double s) {
    for (double X : {m->x1 - mx, m->x2 + mx})
      for (double Y : {m->y1 - my, m->y2 + my}) {
        const V3 g = m->frame.M * Magnet3_curvepoint(m, s, X, Y) + m->frame.origin;
        Cell_bbextend(cell, g.x, g.y, g.z);
      }
  };
  corners(-m->FringeLimit);
  corners(0);
  // Along the arc every 0.01 rad, whichever way it bends.
  const int n = (int)std::ceil(std::fabs(m->Angle) / 0.01);
  for (int k = 1; k < n; k++) corners(m->Length * k / n);
  corners(m->Length);
  corners(m->Length + m->FringeLimit);
}
