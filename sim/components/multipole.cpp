// Multipole magnets with soft ends: the shared end tables (series coefficients, tanh-derivative
// polynomials, the three sums per order over z and r²), the magnet's strengths and the cell
// operations. The scalar potential of order n is
//   Φ_n = Σ_k c[n][k] · G^(2k)(z) · r^(2k) · Im[P_n (x + iy)^n],   P_n = (a_n + i b_n)/n,
// with G(z) = g(z) + g(L - z), g(z) = tanh(z/f)/2 and c[n][k] = c[n][k-1]/(-4k(n + k)), which
// makes ΔΦ = 0 term by term; B = ∇Φ. Writing V = P w^(n-1), W = P w^n, U = P w^(n+1) with
// w = x + iy, the gradient is
//   Bx = Im V·T1 + Im U·T2,  By = Re V·T1 - Re U·T2,  Bz = Im W·T3,
//   T1 = Σ (n + k) c_k G^(2k) r^(2k),  T2 = Σ k c_k G^(2k) r^(2k-2),  T3 = Σ c_k G^(2k+1) r^(2k).
// Each end's part of T1, T2, T3 is tabulated; the exit end's odd derivatives change sign.
#include "sim/components/multipole.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/report.h"
#include "sim/particle.h"

namespace {

constexpr int NZPTS = MULTIPOLE_NZ + 1;
constexpr int NRPTS = MULTIPOLE_NR2 + 1;
constexpr size_t ORDERSTRIDE = (size_t)NZPTS * NRPTS * 3;

// The table sets in use (main thread only).
std::vector<MultipoleEnd*>& endlist() {
  static std::vector<MultipoleEnd*> list;
  return list;
}

// c[k] of order n for k = 0 … K: c[0] = 1, c[k] = c[k-1]/(-4k(n + k)).
std::vector<double> seriescoefficients(int n, int K) {
  std::vector<double> c(K + 1);
  c[0] = 1;
  for (int k = 1; k <= K; k++) c[k] = c[k - 1] / (-4.0 * k * (n + k));
  return c;
}

// The polynomials P_m (m = 0 … M) with d^m tanh(s)/ds^m = P_m(tanh s): P_0 = u and
// P_m = (1 - u²)·dP_(m-1)/du; P_m has degree m + 1. Coefficients from the constant term up.
std::vector<std::vector<double>> tanhderivatives(int M) {
  std::vector<std::vector<double>> P(M + 1);
  P[0] = {0.0, 1.0};
  for (int m = 1; m <= M; m++) {
    const std::vector<double>& p = P[m - 1];
    const int deg = (int)p.size() - 1;
    std::vector<double> d(deg > 0 ? deg : 1, 0.0);  // dp/du
    for (int i = 1; i <= deg; i++) d[i - 1] = i * p[i];
    std::vector<double> q(deg + 2, 0.0);  // (1 - u²)·d
    for (int i = 0; i < (int)d.size(); i++) {
      q[i] += d[i];
      q[i + 2] -= d[i];
    }
    P[m] = q;
  }
  return P;
}

double horner(const std::vector<double>& p, double u) {
  double s = 0;
  for (int i = (int)p.size(); i-- > 0;) s = s * u + p[i];
  return s;
}

// f^m · g^(m)(z) for m = 0 … M, g(z) = tanh(z/f)/2 (the derivatives in units of the fringe).
void profilederivatives(const std::vector<std::vector<double>>& P, double z, double f,
                        double* out) {
  const double u = std::tanh(z / f);
  for (size_t m = 0; m < P.size(); m++) out[m] = 0.5 * horner(P[m], u);
}

// One end's sums for order n at scaled radius squared q = r²/f², from the scaled derivatives
// gd: T1 (dimensionless), T2 (1/m²), T3 (1/m).
void endsums(int n, const std::vector<double>& c, const double* gd, double q, double f,
             double* T) {
  const int K = (int)c.size() - 1;
  double t1 = 0, t2 = 0, t3 = 0, qk = 1, qk1 = 0;  // q^k and q^(k-1)
  for (int k = 0; k <= K; k++) {
    t1 += (n + k) * c[k] * gd[2 * k] * qk;
    if (k > 0) t2 += k * c[k] * gd[2 * k] * qk1;
    t3 += c[k] * gd[2 * k + 1] * qk;
    qk1 = qk;
    qk *= q;
  }
  T[0] = t1;
  T[1] = t2 / (f * f);
  T[2] = t3 / f;
}

MultipoleEnd* buildend(double f, int N, int K) {
  MultipoleEnd* e = static_cast<MultipoleEnd*>(std::calloc(1, sizeof(MultipoleEnd)));
  e->f = f;
  e->dr2 = 2 * f * f / MULTIPOLE_NR2;
  e->z0 = -10 * f;
  e->dz = 20 * f / MULTIPOLE_NZ;
  e->norders = N;
  e->kmax = K;
  e->refs = 1;
  e->t = static_cast<double*>(std::malloc(sizeof(double) * ORDERSTRIDE * N));
  const std::vector<std::vector<double>> P = tanhderivatives(2 * K + 1);
  std::vector<std::vector<double>> c(N + 1);
  for (int n = 1; n <= N; n++) c[n] = seriescoefficients(n, K);
  std::vector<double> gd(2 * K + 2);
  for (int j = 0; j < NZPTS; j++) {
    profilederivatives(P, e->z0 + j * e->dz, f, gd.data());
    for (int n = 1; n <= N; n++)
      for (int i = 0; i < NRPTS; i++) {
        double* T = e->t + (n - 1) * ORDERSTRIDE + ((size_t)j * NRPTS + i) * 3;
        endsums(n, c[n], gd.data(), i * 2.0 / MULTIPOLE_NR2, f, T);  // r²/f² = i/10
      }
  }
  return e;
}

// Combines the three sums of every order with the powers of w = x + iy (see the file's head).
V3 combine(const MultipoleMag* m, double x, double y, const double (*T)[3]) {
  double bx = 0, by = 0, bz = 0;
  double pr = 1, pi = 0;  // w^(n-1)
  for (int n = 1; n <= m->N; n++) {
    const double a = m->normal[n - 1], b = m->skew[n - 1];
    if (a != 0 || b != 0) {
      const double Pr = a / n, Pi = b / n;
      const double vr = Pr * pr - Pi * pi, vi = Pr * pi + Pi * pr;  // V
      const double wr = vr * x - vi * y, wi = vr * y + vi * x;      // W
      const double ur = wr * x - wi * y, ui = wr * y + wi * x;      // U
      bx += vi * T[n - 1][0] + ui * T[n - 1][1];
      by += vr * T[n - 1][0] - ur * T[n - 1][1];
      bz += wi * T[n - 1][2];
    }
    const double nr = pr * x - pi * y;
    pi = pr * y + pi * x;
    pr = nr;
  }
  return V3{bx, by, bz};
}

// A number attribute, or `def` when the attribute is absent or a text.
double numattrib(const Cell* cell, const char* name, double def) {
  return Cell_attribtype(cell, name) == AttributeType::Number ? Cell_attrib(cell, name, def) : def;
}

const char* const shortnames[6] = {"Di", "Quad", "Sext", "Oct", "Deca", "Dodeca"};
const char* const longnames[6] = {"Dipole", "Quadrupole", "Sextupole",
                                  "Octupole", "Decapole", "Dodecapole"};

// The strength a + ib of order n from the cell's attributes, turned by its angle.
void orderstrength(const Cell* cell, int n, double* a, double* b) {
  char name[32];
  std::snprintf(name, sizeof name, "p%d", 2 * n);
  *a = numattrib(cell, name, 0);
  std::snprintf(name, sizeof name, "p%ds", 2 * n);
  *b = numattrib(cell, name, 0);
  std::snprintf(name, sizeof name, "p%dangle", 2 * n);
  double theta = numattrib(cell, name, 0);
  if (n <= 6) {
    for (const char* base : {shortnames[n - 1], longnames[n - 1]}) {
      *a = numattrib(cell, base, *a);
      std::snprintf(name, sizeof name, "Skew%s", base);
      *b = numattrib(cell, name, *b);
      std::snprintf(name, sizeof name, "%sAngle", base);
      theta = numattrib(cell, name, theta);
    }
  }
  if (theta != 0) {
    const double c = std::cos(theta), s = std::sin(theta);
    const double ra = *a * c - *b * s, rb = *b * c + *a * s;
    *a = ra;
    *b = rb;
  }
}

// Fills *m from the attributes; 0 after reporting when they are refused (*m then empty).
int buildmag(const Cell* cell, MultipoleMag* m) {
  std::memset(m, 0, sizeof *m);
  const char* name = cell->name ? cell->name : "";
  const double f = numattrib(cell, "Fringe", 0);
  if (f == 0) {
    reportf("[FATAL] A non-zero Fringe length is required in Multipole '%s'", name);
    return 0;
  }
  if (!(f > 0) || !std::isfinite(f)) {
    reportf("[FATAL] Fringe length %lg of Multipole '%s' is not a positive finite length", f,
            name);
    return 0;
  }
  const double L = numattrib(cell, "MagLength", numattrib(cell, "Length", 0));
  if (!std::isfinite(L)) {
    reportf("[FATAL] Length %lg of Multipole '%s' is not a finite length", L, name);
    return 0;
  }
  double a[MULTIPOLE_MAXORDER], b[MULTIPOLE_MAXORDER];
  int N = 1;
  for (int n = MULTIPOLE_MAXORDER; n >= 1; n--) {
    orderstrength(cell, n, &a[n - 1], &b[n - 1]);
    if (!std::isfinite(a[n - 1]) || !std::isfinite(b[n - 1])) {
      reportf("[FATAL] Strength of order %d of Multipole '%s' is not a finite number", n, name);
      return 0;
    }
    if (N == 1 && (a[n - 1] != 0 || b[n - 1] != 0)) N = n;
  }
  m->L = L;
  m->f = f;
  m->kmax = MULTIPOLE_KMAX;
  m->N = N;
  m->normal = static_cast<double*>(std::malloc(sizeof(double) * N));
  m->skew = static_cast<double*>(std::malloc(sizeof(double) * N));
  for (int n = 1; n <= N; n++) {
    m->normal[n - 1] = a[n - 1];
    m->skew[n - 1] = b[n - 1];
  }
  m->end = MultipoleEnd_new(f, N, MULTIPOLE_KMAX);
  return 1;
}

}  // namespace

// ---- the shared tables ----

MultipoleEnd* MultipoleEnd_new(double f, int count, int kmax) {
  std::vector<MultipoleEnd*>& list = endlist();
  for (size_t i = list.size(); i-- > 0;) {
    MultipoleEnd* e = list[i];
    if (e->f == f && e->norders >= count && e->kmax == kmax) {
      e->refs++;
      return e;
    }
  }
  MultipoleEnd* e = buildend(f, count, kmax);
  list.push_back(e);
  return e;
}

void MultipoleEnd_free(MultipoleEnd* e) {
  if (!e || --e->refs > 0) return;
  std::vector<MultipoleEnd*>& list = endlist();
  for (size_t i = list.size(); i-- > 0;)
    if (list[i] == e) {
      list.erase(list.begin() + (long)i);
      break;
    }
  std::free(e->t);
  std::free(e);
}

int MultipoleEnd_count() {
  return (int)endlist().size();
}

// ---- the magnet ----

void MultipoleMag_setns(MultipoleMag* m, int n, double normal, double skew) {
  if (n < 1 || n > MULTIPOLE_MAXORDER) return;
  if (n > m->N) {
    MultipoleEnd_free(m->end);
    m->normal = static_cast<double*>(std::realloc(m->normal, sizeof(double) * n));
    m->skew = static_cast<double*>(std::realloc(m->skew, sizeof(double) * n));
    for (int k = m->N; k < n; k++) m->normal[k] = m->skew[k] = 0;
    m->N = n;
    m->end = MultipoleEnd_new(m->f, n, m->kmax);
  }
  m->normal[n - 1] = normal;
  m->skew[n - 1] = skew;
}

void MultipoleMag_free(MultipoleMag* m) {
  MultipoleEnd_free(m->end);
  std::free(m->normal);
  std::free(m->skew);
  std::memset(m, 0, sizeof *m);
}

V3 MultipoleMag_field_maps(const MultipoleMag* m, double x, double y, double z) {
  const V3 zero{0, 0, 0};
  const MultipoleEnd* e = m->end;
  if (!e) return zero;
  const double z0 = e->z0;
  const double zexit = m->L - z;
  // Also refuses coordinates that are not numbers.
  if (!(z0 < z && z0 < zexit)) return zero;
  const double r2 = x * x + y * y;
  if (!(r2 < MULTIPOLE_NR2 * e->dr2)) return zero;

  const double ri = r2 / e->dr2;
  int i = (int)ri;
  if (i > MULTIPOLE_NR2 - 1) i = MULTIPOLE_NR2 - 1;
  const double w = ri - i;

  // The sums of both ends for every order held.
  double T[MULTIPOLE_MAXORDER][3];
  const double top = z0 + MULTIPOLE_NZ * e->dz;
  auto endvalues = [&](double zz, double sign) {
    if (zz < top) {
      const double zj = (zz - z0) / e->dz;
      int j = (int)zj;
      if (j > MULTIPOLE_NZ - 1) j = MULTIPOLE_NZ - 1;
      const double v = zj - j;
      const double c00 = (1 - w) * (1 - v), c10 = (1 - w) * v, c01 = w * (1 - v), c11 = w * v;
      const double* p = e->t + ((size_t)j * NRPTS + i) * 3;
      for (int n = 0; n < m->N; n++, p += ORDERSTRIDE) {
        const double* q = p + NRPTS * 3;  // the next z point
        T[n][0] += c00 * p[0] + c10 * q[0] + c01 * p[3] + c11 * q[3];
        T[n][1] += c00 * p[1] + c10 * q[1] + c01 * p[4] + c11 * q[4];
        T[n][2] += sign * (c00 * p[2] + c10 * q[2] + c01 * p[5] + c11 * q[5]);
      }
    } else {
      for (int n = 0; n < m->N; n++) T[n][0] += 0.5 * (n + 1);
    }
  };
  for (int n = 0; n < m->N; n++) T[n][0] = T[n][1] = T[n][2] = 0;
  endvalues(z, 1);
  endvalues(zexit, -1);
  return combine(m, x, y, T);
}

V3 MultipoleMag_field_series(const MultipoleMag* m, double x, double y, double z) {
  const int K = m->kmax;
  const std::vector<std::vector<double>> P = tanhderivatives(2 * K + 1);
  std::vector<double> gin(2 * K + 2), gout(2 * K + 2);
  profilederivatives(P, z, m->f, gin.data());
  profilederivatives(P, m->L - z, m->f, gout.data());
  const double q = (x * x + y * y) / (m->f * m->f);
  double T[MULTIPOLE_MAXORDER][3];
  for (int n = 1; n <= m->N; n++) {
    const std::vector<double> c = seriescoefficients(n, K);
    double a[3], b[3];
    endsums(n, c, gin.data(), q, m->f, a);
    endsums(n, c, gout.data(), q, m->f, b);
    T[n - 1][0] = a[0] + b[0];
    T[n - 1][1] = a[1] + b[1];
    T[n - 1][2] = a[2] - b[2];
  }
  return combine(m, x, y, T);
}

// ---- the cell class ----

void Multipole_constructor(Cell* cell, Simulation* /*sim*/) {
  Multipole* mp = reinterpret_cast<Multipole*>(cell->rtd);
  mp->frame = cell->axis;
  if (!buildmag(cell, &mp->mag)) {
    // A refused magnet takes no part in tracking.
    cell->field = nullptr;
    cell->collisiondetect = nullptr;
    cell->inside = nullptr;
  }
}

void Multipole_destructor(void* data) {
  MultipoleMag_free(&static_cast<Multipole*>(data)->mag);
}

int Multipole_restore(Cell* cell, const Simulation* /*sim*/) {
  Multipole* mp = reinterpret_cast<Multipole*>(cell->rtd);
  // The pointers read back belonged to the process that wrote the record; the frame is kept.
  std::memset(&mp->mag, 0, sizeof mp->mag);
  return buildmag(cell, &mp->mag);
}

EB Multipole_field(const void* data, double x, double y, double z, double /*t*/) {
  const Multipole* mp = static_cast<const Multipole*>(data);
  const AffineFrame& F = mp->frame;
  const double dx = x - F.origin.x, dy = y - F.origin.y, dz = z - F.origin.z;
  const M3x3& M = F.M;
  // Local point = Mᵀ·(p - o).
  const double lx = M.m[0][0] * dx + M.m[1][0] * dy + M.m[2][0] * dz;
  const double ly = M.m[0][1] * dx + M.m[1][1] * dy + M.m[2][1] * dz;
  const double lz = M.m[0][2] * dx + M.m[1][2] * dy + M.m[2][2] * dz;
  const V3 b = MultipoleMag_field_maps(&mp->mag, lx, ly, lz);
  EB f = EB_zero();
  f.B = M * b;
  return f;
}

int Multipole_inside(const void* data, double x, double y, double z, double /*t*/) {
  const Multipole* mp = static_cast<const Multipole*>(data);
  const MultipoleEnd* e = mp->mag.end;
  if (!e) return 0;
  const V3 l = M3x3_transpose(mp->frame.M) * (V3{x, y, z} - mp->frame.origin);
  const double r2 = l.x * l.x + l.y * l.y;
  return 0 < l.z && l.z < mp->mag.L && 21 * e->dr2 < r2 && r2 < 42 * e->dr2;
}

int Multipole_collisiondetect(const void* data, const Particle* /*start*/, const Particle* end,
                              double /*t0*/, double t1, unsigned /*thread*/,
                              const ScatterData* /*material*/, const Simulation* /*sim*/,
                              Particle* out, double* tout) {
  *out = *end;
  *tout = t1;
  const bool lost = !std::isfinite(end->x) || !std::isfinite(end->y) || !std::isfinite(end->z);
  if (lost || Multipole_inside(data, end->x, end->y, end->z, t1)) {
    out->state = Stopped;
    return 1;
  }
  return 0;
}

void Multipole_buildboundingbox(void* data, Cell* cell) {
  const Multipole* mp = static_cast<const Multipole*>(data);
  const MultipoleEnd* e = mp->mag.end;
  if (!e) return;  // a refused magnet is never near a particle
  const double R = std::sqrt(42 * e->dr2);
  for (double a = 0; a < 6.283185307179586; a += 0.1)
    for (double z : {e->z0, mp->mag.L - e->z0}) {
      const V3 p = mp->frame.M * V3{R * std::cos(a), R * std::sin(a), z} + mp->frame.origin;
      Cell_bbextend(cell, p.x, p.y, p.z);
    }
}
