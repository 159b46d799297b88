// Surface functions and the crossing search: components describe each material surface by an
// implicit function and ask scatterparticle_isocd for the first instant a step reaches its far
// side. Called from collision detection for particles near surfaces, on any tracking thread;
// nothing here allocates or keeps state.
#include "sim/components/crossing.h"

#include <cmath>

#include "sim/material.h"

double cylinderisoxyz(double x, double y, double z, const cylinderiso_coeffs* c) {
  unaffine(c->frame, &x, &y, &z);
  double u = x / c->a, v = y / c->b;
  return u * u + v * v - 1.0;
}

double spheroidisoxyz(double x, double y, double z, const spheroidiso_coeffs* c) {
  unaffine(c->frame, &x, &y, &z);
  double u = x / c->a, v = y / c->b, w = z / c->c;
  return u * u + v * v + w * w - 1.0;
}

// Between the outer rim (R + q) and the inner rim (R − q) at height u3, where the tube's
// half-width is q = h·√(1 − (u3/c)²); 1 above or below the tube.
double toroidisoxyz(double x, double y, double z, const toroidiso_coeffs* c) {
  unaffine(c->frame, &x, &y, &z);
  double w = z / c->c;
  w *= w;
  if (1.0 - w < 0) return 1.0;
  double q = c->h * std::sqrt(1.0 - w);
  double o1 = x / (c->R1 + q), o2 = y / (c->R2 + q);
  double i1 = x / (c->R1 - q), i2 = y / (c->R2 - q);
  return (o1 * o1 + o2 * o2 - 1.0) * (i1 * i1 + i2 * i2 - 1.0);
}

double lineariso(Particle p, const void* coeffs) {
  return linearisoxyz(p.x, p.y, p.z, static_cast<const lineariso_coeffs*>(coeffs));
}
double boreiso(Particle p, const void* coeffs) {
  return boreisoxyz(p.x, p.y, p.z, static_cast<const boreiso_coeffs*>(coeffs));
}
double cylinderiso(Particle p, const void* coeffs) {
  return cylinderisoxyz(p.x, p.y, p.z, static_cast<const cylinderiso_coeffs*>(coeffs));
}
double spheroidiso(Particle p, const void* coeffs) {
  return spheroidisoxyz(p.x, p.y, p.z, static_cast<const spheroidiso_coeffs*>(coeffs));
}
double toroidiso(Particle p, const void* coeffs) {
  return toroidisoxyz(p.x, p.y, p.z, static_cast<const toroidiso_coeffs*>(coeffs));
}

lineariso_coeffs lineariso_affine(lineariso_coeffs local, AffineFrame f) {
  V3 n{local.nx, local.ny, local.nz};
  affine_no_trans(f, &n);
  return lineariso_coeffs{local.d - n * f.origin, n.x, n.y, n.z};
}

boreiso_coeffs boreiso_affine(boreiso_coeffs local, AffineFrame f) {
  V3 p{local.px, local.py, local.pz};
  V3 a{local.ax, local.ay, local.az};
  affine(f, &p);
  affine_no_trans(f, &a);
  return boreiso_coeffs{p.x, p.y, p.z, a.x, a.y, a.z, local.r2};
}

lineariso_coeffs lineariso_unaffineZ(AffineFrame f) {
  V3 n = M3x3_column(f.M, 2);
  return lineariso_coeffs{-(n * f.origin), n.x, n.y, n.z};
}

namespace {

// The bracket of the search: the lower end on the starting side of the surface, the upper end
// on the far side (s·f > 0).
struct Bracket {
  double s;  // +1 when f grows across the surface, −1 when it falls
  double tlo, thi, flo, fhi;
  Particle plo, phi;

  void update(double t, const Particle& p, double g) {
    if (s * g > 0) {
      thi = t;
      phi = p;
      fhi = g;
    } else {
      tlo = t;
      plo = p;
      flo = g;
    }
  }
};

}  // namespace

int scatterparticle_isocd(const Particle& pa, const Particle& pb, double ta, double tb,
                          IsoFunction f, const void* coeffs, const ScatterData* material,
                          Particle* out, double* tout) {
  double fa = f(pa, coeffs), fb = f(pb, coeffs);
  // Same sign at both ends: no crossing. Starting exactly on the surface is not a crossing
  // either: that crossing belonged to the step that ended there.
  if (!iso_maycross(fa, fb)) {
    *out = pb;
    *tout = tb;
    return 0;
  }
  Bracket b{fa < fb ? 1.0 : -1.0, ta, tb, fa, fb, pa, pb};
  // The particle at time t, advanced from the iteration's lower end (p0 at t0).
  auto trial = [&](const Particle& p0, double t0, double t, Particle* pt) {
    *pt = p0;
    scatterparticle(pt, t0, t - t0, material);
    return f(*pt, coeffs);
  };
  for (int iteration = 0; iteration < 199; iteration++) {
    const double T0 = b.tlo, T1 = b.thi, F0 = b.flo, F1 = b.fhi;
    const Particle P0 = b.plo;
    Particle pt;
    double tstar = (T0 * F1 - T1 * F0) / (F1 - F0);
    if (tstar > T0 && tstar < T1) {
      double g = trial(P0, T0, tstar, &pt);
      b.update(tstar, pt, g);
      double tover = tstar - 2.0 * g * (T1 - T0) / (F1 - F0);
      if (tover > b.tlo && tover < b.thi) {
        g = trial(P0, T0, tover, &pt);
        b.update(tover, pt, g);
      }
    } else if (tstar == T0 || tstar == T1) {
      double delta = std::sqrt((T1 - T0) * (std::fabs(T1) + std::fabs(T0)) * 2e-18);
      double tnudge = tstar == T0 ? T0 + delta : T1 - delta;
      if (tnudge > b.tlo && tnudge < b.thi) {
        double g = trial(P0, T0, tnudge, &pt);
        b.update(tnudge, pt, g);
      }
    }
    double mid = (b.tlo + b.thi) * 0.5;
    if (!(mid > b.tlo && mid < b.thi)) {
      // The bracket is two adjacent doubles: the far side is the crossing.
      if (ta < b.thi) {
        *out = b.phi;
        *tout = b.thi;
        return 1;
      }
      *out = pb;
      *tout = tb;
      return 0;
    }
    double g = trial(P0, T0, mid, &pt);
    b.update(mid, pt, g);
  }
  *out = b.phi;
  *tout = b.thi;
  return -1;
}
