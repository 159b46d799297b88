// Small fixed-size geometry: V3, V2, PV2 (transverse phase-space point), M3x3 (row by row) and
// AffineFrame (origin + orientation; global = M·local + origin). Plain aggregates passed and
// returned by value; nothing here allocates or keeps state. These sit in the innermost loop of
// the particle pusher and the field evaluation, so every operator is inline; only the series
// (M3x3_exp), the arc transport, the boost, the waterbag draw and the debug dumps live in vec.cpp.
// None of the operations checks its input: normalising a zero vector gives non-finite values.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

// ---------------------------------------------------------------------------------------------
// V3: positions (m), velocities, momenta, fields.
struct V3 {
  double x, y, z;
};

inline V3 V3_new(double x, double y, double z) { return V3{x, y, z}; }

inline bool operator==(V3 a, V3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool operator!=(V3 a, V3 b) { return !(a == b); }
inline V3 operator+(V3 a, V3 b) { return V3{a.x + b.x, a.y + b.y, a.z + b.z}; }
inline V3 operator-(V3 a, V3 b) { return V3{a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 operator-(V3 a) { return V3{-a.x, -a.y, -a.z}; }
inline V3& operator+=(V3& a, V3 b) {
  a.x += b.x;
  a.y += b.y;
  a.z += b.z;
  return a;
}
inline V3& operator-=(V3& a, V3 b) {
  a.x -= b.x;
  a.y -= b.y;
  a.z -= b.z;
  return a;
}
inline V3 operator*(double s, V3 a) { return V3{s * a.x, s * a.y, s * a.z}; }
inline V3 operator*(V3 a, double s) { return V3{a.x * s, a.y * s, a.z * s}; }
inline V3& operator*=(V3& a, double s) {
  a.x *= s;
  a.y *= s;
  a.z *= s;
  return a;
}
// Division multiplies by the reciprocal, computed once. An integer divisor converts exactly to
// double, so a / n gives the same bits as a / (double)n.
inline V3 operator/(V3 a, double s) {
  double r = 1.0 / s;
  return V3{a.x * r, a.y * r, a.z * r};
}
inline V3& operator/=(V3& a, double s) {
  double r = 1.0 / s;
  a.x *= r;
  a.y *= r;
  a.z *= r;
  return a;
}
// Dot product.
inline double operator*(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
// Cross product. Mind the precedence of ^: write (a ^ b) inside larger expressions.
inline V3 operator^(V3 a, V3 b) {
  return V3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double V3_normsq(V3 a) { return a.x * a.x + a.y * a.y + a.z * a.z; }
inline double V3_norm(V3 a) { return std::sqrt(V3_normsq(a)); }
inline double V3_dd(V3 a, V3 b) { return V3_normsq(a - b); }
inline double V3_dist(V3 a, V3 b) { return std::sqrt(V3_dd(a, b)); }
// a × 1/|a|; the zero vector gives non-finite components.
inline V3 V3_normalise(V3 a) { return a * (1.0 / V3_norm(a)); }
inline V3 V3_min(V3 a, V3 b) {
  return V3{a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y, a.z < b.z ? a.z : b.z};
}
inline V3 V3_max(V3 a, V3 b) {
  return V3{a.x > b.x ? a.x : b.x, a.y > b.y ? a.y : b.y, a.z > b.z ? a.z : b.z};
}

// Lorentz boost of momentum p of a particle of mass m (same units, c = 1) by the boost whose
// gamma×beta vector is u: takes p from the moving frame into the frame in which that frame
// moves with u. u = 0 returns p unchanged.
V3 V3_boost(V3 p, double m, V3 u);

// ---------------------------------------------------------------------------------------------
// V2
struct V2 {
  double x, y;
};

inline V2 V2_new(double x, double y) { return V2{x, y}; }
inline V2 operator+(V2 a, V2 b) { return V2{a.x + b.x, a.y + b.y}; }
inline V2 operator-(V2 a, V2 b) { return V2{a.x - b.x, a.y - b.y}; }
inline V2 operator*(double s, V2 a) { return V2{s * a.x, s * a.y}; }
inline V2 operator*(V2 a, double s) { return V2{a.x * s, a.y * s}; }
inline V2 operator/(V2 a, double s) {
  double r = 1.0 / s;
  return V2{a.x * r, a.y * r};
}
inline double operator*(V2 a, V2 b) { return a.x * b.x + a.y * b.y; }
// Scalar cross product.
inline double operator^(V2 a, V2 b) { return a.x * b.y - a.y * b.x; }
inline double V2_normsq(V2 a) { return a.x * a.x + a.y * a.y; }
inline double V2_norm(V2 a) { return std::sqrt(V2_normsq(a)); }
inline double V2_dd(V2 a, V2 b) { return V2_normsq(a - b); }
inline V2 V2_normalise(V2 a) { return a * (1.0 / V2_norm(a)); }
inline V2 V2_min(V2 a, V2 b) { return V2{a.x < b.x ? a.x : b.x, a.y < b.y ? a.y : b.y}; }

// ---------------------------------------------------------------------------------------------
// PV2: a point of transverse phase space: position (m) and slope in each transverse plane.
struct PV2 {
  double x, xp, y, yp;
};

inline PV2 operator+(PV2 a, PV2 b) { return PV2{a.x + b.x, a.xp + b.xp, a.y + b.y, a.yp + b.yp}; }
inline PV2& operator+=(PV2& a, PV2 b) {
  a.x += b.x;
  a.xp += b.xp;
  a.y += b.y;
  a.yp += b.yp;
  return a;
}
inline PV2 operator*(double s, PV2 a) { return PV2{s * a.x, s * a.xp, s * a.y, s * a.yp}; }
inline PV2 operator*(PV2 a, double s) { return PV2{a.x * s, a.xp * s, a.y * s, a.yp * s}; }
inline PV2 operator/(PV2 a, double s) {
  double r = 1.0 / s;
  return PV2{a.x * r, a.xp * r, a.y * r, a.yp * r};
}
inline bool operator==(PV2 a, PV2 b) {
  return a.x == b.x && a.xp == b.xp && a.y == b.y && a.yp == b.yp;
}
// Drift over length s: positions advance by slope × s, slopes unchanged.
inline PV2 operator>>(PV2 a, double s) { return PV2{a.x + a.xp * s, a.xp, a.y + a.yp * s, a.yp}; }

// A point drawn uniformly inside the unit ball of the four-dimensional phase space, by rejection,
// from the process-wide 15-bit generator (rand15). Main thread only.
PV2 PV2_unitwaterbag();

// ---------------------------------------------------------------------------------------------
// M3x3: nine doubles stored row by row; m[i][j] is row i, column j.
struct M3x3 {
  double m[3][3];
};

inline M3x3 M3x3_identity() { return M3x3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }
inline M3x3 M3x3_zero() { return M3x3{{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}}; }
// Column j as a vector (for a frame's orientation: its local x, y or z axis in global terms).
inline V3 M3x3_column(M3x3 a, int j) { return V3{a.m[0][j], a.m[1][j], a.m[2][j]}; }
inline M3x3 M3x3_fromcolumns(V3 x, V3 y, V3 z) {
  return M3x3{{{x.x, y.x, z.x}, {x.y, y.y, z.y}, {x.z, y.z, z.z}}};
}

inline M3x3 operator+(M3x3 a, M3x3 b) {
  M3x3 r;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) r.m[i][j] = a.m[i][j] + b.m[i][j];
  return r;
}
inline M3x3& operator+=(M3x3& a, M3x3 b) {
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) a.m[i][j] += b.m[i][j];
  return a;
}
inline M3x3 operator*(M3x3 a, M3x3 b) {
  M3x3 r;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
  return r;
}
// Matrix times column vector: rows with v.
inline V3 operator*(M3x3 a, V3 v) {
  return V3{a.m[0][0] * v.x + a.m[0][1] * v.y + a.m[0][2] * v.z,
            a.m[1][0] * v.x + a.m[1][1] * v.y + a.m[1][2] * v.z,
            a.m[2][0] * v.x + a.m[2][1] * v.y + a.m[2][2] * v.z};
}
// Row vector times matrix: v with columns, the same as transpose(a) × v.
inline V3 operator*(V3 v, M3x3 a) {
  return V3{v.x * a.m[0][0] + v.y * a.m[1][0] + v.z * a.m[2][0],
            v.x * a.m[0][1] + v.y * a.m[1][1] + v.z * a.m[2][1],
            v.x * a.m[0][2] + v.y * a.m[1][2] + v.z * a.m[2][2]};
}
// Every element times 1.0/n (n is usually an integer; it converts exactly).
inline M3x3 operator/(M3x3 a, double n) {
  double r = 1.0 / n;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) a.m[i][j] *= r;
  return a;
}
inline M3x3 M3x3_transpose(M3x3 a) {
  M3x3 r;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) r.m[i][j] = a.m[j][i];
  return r;
}
inline M3x3 M3x3_Rx(double a) {
  double c = std::cos(a), s = std::sin(a);
  return M3x3{{{1, 0, 0}, {0, c, s}, {0, -s, c}}};
}
inline M3x3 M3x3_Ry(double a) {
  double c = std::cos(a), s = std::sin(a);
  return M3x3{{{c, 0, -s}, {0, 1, 0}, {s, 0, c}}};
}
inline M3x3 M3x3_Rz(double a) {
  double c = std::cos(a), s = std::sin(a);
  return M3x3{{{c, s, 0}, {-s, c, 0}, {0, 0, 1}}};
}
// Largest absolute element; NaN when any element is NaN (so that a series test on it fails).
inline double M3x3_supnorm(M3x3 a) {
  double s = 0;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      double v = std::fabs(a.m[i][j]);
      if (v > s || v != v) s = v;
      if (s != s) return s;
    }
  return s;
}

// Matrix exponential by its Taylor series with an absolute test (a term of sup norm <= 1e-15
// ends it). Returns the zero matrix when the series has not converged after 1000 terms or has
// overflowed (a term no longer finite).
M3x3 M3x3_exp(M3x3 a);
// Rotation from a rotation vector w: the exponential of rows (0, wz, -wy), (-wz, 0, wx),
// (wy, -wx, 0), so that M3x3_Rxyz((a,0,0)) = M3x3_Rx(a) and likewise for y and z.
M3x3 M3x3_Rxyz(V3 w);
// Writes "[%lf %lf %lf\n%lf %lf %lf\n%lf %lf %lf]\n" into buf (at most size bytes, always
// terminated) and returns buf.
char* M3x3_print(M3x3 a, char* buf, size_t size);
template <size_t N>
inline char* M3x3_print(M3x3 a, char (&buf)[N]) {
  return M3x3_print(a, buf, N);
}
// Appends the three rows to the debug log "tech/log.txt" (nothing when it cannot be opened).
void M3x3_DEBUG(M3x3 a);

// ---------------------------------------------------------------------------------------------
// AffineFrame: a point with local coordinates l lies at global M×l + origin. The columns of M
// are the local x, y and z axes in global coordinates; local z is the beam direction of the
// component the frame places. M stays orthonormal under every operation here that rotates it.
struct AffineFrame {
  V3 origin;  // m, global position of the local origin
  M3x3 M;     // orientation, orthonormal
};

inline AffineFrame AffineFrame_identity() { return AffineFrame{V3{0, 0, 0}, M3x3_identity()}; }

// Local to global: p = M×p + origin.
inline void affine(AffineFrame f, double* x, double* y, double* z) {
  double lx = *x, ly = *y, lz = *z;
  *x = f.M.m[0][0] * lx + f.M.m[0][1] * ly + f.M.m[0][2] * lz + f.origin.x;
  *y = f.M.m[1][0] * lx + f.M.m[1][1] * ly + f.M.m[1][2] * lz + f.origin.y;
  *z = f.M.m[2][0] * lx + f.M.m[2][1] * ly + f.M.m[2][2] * lz + f.origin.z;
}
// Global to local: p = transpose(M)×(p - origin).
inline void unaffine(AffineFrame f, double* x, double* y, double* z) {
  double dx = *x - f.origin.x, dy = *y - f.origin.y, dz = *z - f.origin.z;
  *x = f.M.m[0][0] * dx + f.M.m[1][0] * dy + f.M.m[2][0] * dz;
  *y = f.M.m[0][1] * dx + f.M.m[1][1] * dy + f.M.m[2][1] * dz;
  *z = f.M.m[0][2] * dx + f.M.m[1][2] * dy + f.M.m[2][2] * dz;
}
// Directions, fields, velocities: p = M×p.
inline void affine_no_trans(AffineFrame f, double* x, double* y, double* z) {
  double lx = *x, ly = *y, lz = *z;
  *x = f.M.m[0][0] * lx + f.M.m[0][1] * ly + f.M.m[0][2] * lz;
  *y = f.M.m[1][0] * lx + f.M.m[1][1] * ly + f.M.m[1][2] * lz;
  *z = f.M.m[2][0] * lx + f.M.m[2][1] * ly + f.M.m[2][2] * lz;
}
// p = transpose(M)×p.
inline void unaffine_no_trans(AffineFrame f, double* x, double* y, double* z) {
  double gx = *x, gy = *y, gz = *z;
  *x = f.M.m[0][0] * gx + f.M.m[1][0] * gy + f.M.m[2][0] * gz;
  *y = f.M.m[0][1] * gx + f.M.m[1][1] * gy + f.M.m[2][1] * gz;
  *z = f.M.m[0][2] * gx + f.M.m[1][2] * gy + f.M.m[2][2] * gz;
}
// The same four on a V3 in place (same arithmetic, same results).
inline void affine(AffineFrame f, V3* p) { affine(f, &p->x, &p->y, &p->z); }
inline void unaffine(AffineFrame f, V3* p) { unaffine(f, &p->x, &p->y, &p->z); }
inline void affine_no_trans(AffineFrame f, V3* p) { affine_no_trans(f, &p->x, &p->y, &p->z); }
inline void unaffine_no_trans(AffineFrame f, V3* p) { unaffine_no_trans(f, &p->x, &p->y, &p->z); }

// The frame shifted by v in global coordinates.
inline AffineFrame operator+(AffineFrame f, V3 v) {
  f.origin += v;
  return f;
}
// The frame shifted by (dx, dy, dz) along its own axes; orientation unchanged.
inline AffineFrame AffineFrame_translatelocal(AffineFrame f, double dx, double dy, double dz) {
  f.origin += f.M * V3{dx, dy, dz};
  return f;
}

// The frame carried along an arc of path length L that turns through theta in the plane of
// its z axis and the transverse direction at angle phi from its x axis (towards y). After a
// tilted bend the new x axis is the bend direction (the frame is not turned back by -phi).
// The result is re-orthonormalised. theta = 0 is a straight piece: origin + L × z axis.
AffineFrame AffineFrame_transportarc(AffineFrame f, double L, double theta, double phi);
// Appends origin, addresses and matrix to the debug log "tech/log.txt".
void AffineFrame_DEBUG(AffineFrame f);
// The 4x4 global-to-local transform (rotation transpose(M), translation -transpose(M)×origin)
// as 16 doubles in column-major order, ready for a model-view matrix.
std::array<double, 16> unaffine_glmatrix(AffineFrame f);
