// The out-of-line parts of the geometry vocabulary: the 3x3 matrix exponential and the rotation
// from a rotation vector, the transport of a frame along an arc (used when placing every cell of
// the machine), the Lorentz boost of decay products, the unit waterbag draw and the debug dumps
// into "tech/log.txt". None of these is called per pusher step; they allocate nothing.
#include "base/vec.h"

#include <cstdio>

#include "base/kinematics.h"
#include "base/random.h"

M3x3 M3x3_exp(M3x3 a) {
  M3x3 sum = M3x3_identity() + a;
  M3x3 term = a;
  int n = 2;
  for (;;) {
    double size = M3x3_supnorm(term);
    if (size <= 1e-15) return sum;
    if (!std::isfinite(size)) return M3x3_zero();  // overflowed: it can never converge
    term = term * a / n;
    sum += term;
    if (n > 1000) return M3x3_zero();
    n += 1;
  }
}

M3x3 M3x3_Rxyz(V3 w) {
  M3x3 g{{{0, w.z, -w.y}, {-w.z, 0, w.x}, {w.y, -w.x, 0}}};
  return M3x3_exp(g);
}

char* M3x3_print(M3x3 a, char* buf, size_t size) {
  if (size == 0) return buf;
  snprintf(buf, size, "[%lf %lf %lf\n%lf %lf %lf\n%lf %lf %lf]\n", a.m[0][0], a.m[0][1],
           a.m[0][2], a.m[1][0], a.m[1][1], a.m[1][2], a.m[2][0], a.m[2][1], a.m[2][2]);
  return buf;
}

// The debug log: appended to, created when absent. Null when it cannot be opened (for example
// when the "tech" directory does not exist).
static FILE* debuglog() { return fopen("tech/log.txt", "a"); }

void M3x3_DEBUG(M3x3 a) {
  FILE* f = debuglog();
  if (!f) return;
  fprintf(f, "\t[%lf %lf %lf]\n\t[%lf %lf %lf]\n\t[%lf %lf %lf]\n", a.m[0][0], a.m[0][1],
          a.m[0][2], a.m[1][0], a.m[1][1], a.m[1][2], a.m[2][0], a.m[2][1], a.m[2][2]);
  fclose(f);
}

void AffineFrame_DEBUG(AffineFrame f) {
  FILE* out = debuglog();
  if (!out) return;
  const M3x3& M = f.M;
  fprintf(out,
          "(%lf,%lf,%lf)\n[%p-%p] %p %p %p %p %p %p %p %p %p\n\t[%lf %lf %lf]\n\t[%lf %lf "
          "%lf]\n\t[%lf %lf %lf]\n",
          f.origin.x, f.origin.y, f.origin.z, (void*)&f, (void*)(&f + 1), (void*)&M.m[0][0],
          (void*)&M.m[0][1], (void*)&M.m[0][2], (void*)&M.m[1][0], (void*)&M.m[1][1],
          (void*)&M.m[1][2], (void*)&M.m[2][0], (void*)&M.m[2][1], (void*)&M.m[2][2], M.m[0][0],
          M.m[0][1], M.m[0][2], M.m[1][0], M.m[1][1], M.m[1][2], M.m[2][0], M.m[2][1],
          M.m[2][2]);
  fclose(out);
}

AffineFrame AffineFrame_transportarc(AffineFrame f, double L, double theta, double phi) {
  // Chord of the arc in local coordinates.
  double h = theta / 2;
  double k = sinxoverx(h);
  double dz = L * k * std::cos(h);
  double A = L * k * std::sin(h);
  double cphi = std::cos(phi), sphi = std::sin(phi);
  double dx = A * cphi;
  double dy = A * sphi;
  AffineFrame r;
  r.origin = f.origin + f.M * V3{dx, dy, dz};

  // Turn x and y by phi about z, then x and z by theta in the bend plane.
  V3 X = M3x3_column(f.M, 0), Y = M3x3_column(f.M, 1), Z = M3x3_column(f.M, 2);
  V3 x1 = cphi * X + sphi * Y;
  V3 y1 = cphi * Y - sphi * X;
  double ct = std::cos(theta), st = std::sin(theta);
  V3 x2 = ct * x1 - st * Z;
  V3 z2 = st * x1 + ct * Z;

  // Re-orthonormalise symmetrically, from dot products taken before any change.
  double dxy = x2 * y1, dxz = x2 * z2, dyz = y1 * z2;
  V3 xn = x2 - (dxz * z2 + dxy * y1) / 2;
  V3 yn = y1 - (dyz * z2 + dxy * x2) / 2;
  V3 zn = z2 - (dxz * x2 + dyz * y1) / 2;
  r.M = M3x3_fromcolumns(V3_normalise(xn), V3_normalise(yn), V3_normalise(zn));
  return r;
}

std::array<double, 16> unaffine_glmatrix(AffineFrame f) {
  std::array<double, 16> g{};
  const M3x3& M = f.M;
  V3 t = -(f.origin * M);  // -transpose(M) × origin
  for (int c = 0; c < 3; c++)
    for (int r = 0; r < 3; r++) g[c * 4 + r] = M.m[c][r];  // (r, c) of transpose(M)
  g[12] = t.x;
  g[13] = t.y;
  g[14] = t.z;
  g[15] = 1;
  return g;
}

V3 V3_boost(V3 p, double m, V3 u) {
  double E = std::sqrt(V3_normsq(p) + m * m);
  double uu = V3_normsq(u);
  double gamma = std::sqrt(1 + uu);
  double up = u * p;
  double f = uu == 0 ? E + (gamma - 1) * up : E + (gamma - 1) * up / uu;
  return p + f * u;
}

// One coordinate in [-1, 1) from two successive 15-bit draws a then b.
static double waterbagcoordinate() {
  int a = rand15();
  int b = rand15();
  return ((b + a / 32768.0) / 16384) - 1;
}

PV2 PV2_unitwaterbag() {
  PV2 p;
  do {
    p.x = waterbagcoordinate();
    p.xp = waterbagcoordinate();
    p.y = waterbagcoordinate();
    p.yp = waterbagcoordinate();
  } while (p.x * p.x + p.xp * p.xp + p.y * p.y + p.yp * p.yp > 1);
  return p;
}
