#include "sim/components/multipole.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "sim/components/registry.h"
#include "sim/particle.h"
#include "sim/pusher.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

using testsupport::Messages;
const double pi = std::numbers::pi;

using testsupport::Attr;

// A multipole cell constructed through the class table, as the machine set-up does.
struct MultipoleCell : testsupport::Component {
  explicit MultipoleCell(const std::vector<Attr>& attrs, AffineFrame f = AffineFrame_identity())
      : Component("Multipole", attrs, f, "M1") {}
  const MultipoleMag* mag() const { return &record<Multipole>()->mag; }
  V3 local(double x, double y, double z) const { return MultipoleMag_field_maps(mag(), x, y, z); }
  V3 series(double x, double y, double z) const {
    return MultipoleMag_field_series(mag(), x, y, z);
  }
};

// By + i Bx of a hard-edged magnet with strength a + ib of order n at (x, y).
std::complex<double> hardedge(int n, double a, double b, double x, double y) {
  return std::complex<double>(a, b) * std::pow(std::complex<double>(x, y), n - 1);
}

// ---- construction ----

TEST(Multipole, NamedAndNumberedStrengths) {
  struct Case {
    std::vector<Attr> attrs;
    int n;
    double a, b;
  };
  const std::vector<Case> cases = {
      {{{"p4", 1}, {"Quad", 2}, {"Quadrupole", 3}}, 2, 3, 0},
      {{{"Quad", 2}}, 2, 2, 0},
      {{{"p4", 1}}, 2, 1, 0},
      {{{"Quadrupole", 1.5}, {"QuadrupoleAngle", pi / 2}}, 2, 0, 1.5},
      {{{"Di", 0.4}, {"SkewDipole", 0.3}}, 1, 0.4, 0.3},
      {{{"Sext", 7}, {"SextAngle", pi}}, 3, -7, 0},
      {{{"p40", 2}, {"p40s", -1}}, 20, 2, -1},
      {{{"Dodecapole", 5}, {"p12angle", pi / 2}}, 6, 0, 5},
  };
  for (const Case& k : cases) {
    std::vector<Attr> attrs = k.attrs;
    attrs.push_back({"Fringe", 0.05});
    attrs.push_back({"Length", 0.2});
    MultipoleCell m(attrs);
    SCOPED_TRACE("order " + std::to_string(k.n) + " from " + k.attrs[0].name);
    ASSERT_EQ(m.mag()->N, k.n);
    EXPECT_NEAR(m.mag()->normal[k.n - 1], k.a, 1e-14);
    EXPECT_NEAR(m.mag()->skew[k.n - 1], k.b, 1e-14);
  }
}

TEST(Multipole, RefusedFringeAndLength) {
  struct Case {
    std::vector<Attr> attrs;
    const char* message;
  };
  const double inf = INFINITY;
  const std::vector<Case> cases = {
      {{{"Quad", 1}}, "[FATAL] A non-zero Fringe length is required in Multipole 'M1'"},
      {{{"Fringe", 0}}, "[FATAL] A non-zero Fringe length is required in Multipole 'M1'"},
      {{{"Fringe", -0.1}},
       "[FATAL] Fringe length -0.1 of Multipole 'M1' is not a positive finite length"},
      {{{"Fringe", NAN}},
       "[FATAL] Fringe length nan of Multipole 'M1' is not a positive finite length"},
      {{{"Fringe", inf}},
       "[FATAL] Fringe length inf of Multipole 'M1' is not a positive finite length"},
      {{{"Fringe", 0.1}, {"Length", inf}},
       "[FATAL] Length inf of Multipole 'M1' is not a finite length"},
      {{{"Fringe", 0.1}, {"p6", NAN}},
       "[FATAL] Strength of order 3 of Multipole 'M1' is not a finite number"},
      {{{"Fringe", 0, "5"}}, "[FATAL] A non-zero Fringe length is required in Multipole 'M1'"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message);
    Messages msgs;
    MultipoleCell m(k.attrs);
    EXPECT_TRUE(msgs.has(k.message));
    // Refused: no tables, no field, never near a particle.
    EXPECT_EQ(m.mag()->end, nullptr);
    EXPECT_EQ(m.c->field, nullptr);
    Cell_bbreset(m.c);
    Cell_buildboundingbox(m.c);
    EXPECT_TRUE(Cell_bbempty(m.c));
  }
}

TEST(Multipole, TablesSharedByFringeLength) {
  const int before = MultipoleEnd_count();
  {
    MultipoleCell a({{"Fringe", 0.031}, {"Quad", 1}, {"Length", 0.3}});
    MultipoleCell b({{"Fringe", 0.031}, {"Di", 1}, {"Length", 0.5}});
    EXPECT_EQ(a.mag()->end, b.mag()->end);  // two orders cover one
    EXPECT_EQ(MultipoleEnd_count(), before + 1);
    MultipoleCell c({{"Fringe", 0.031}, {"Oct", 1}});
    EXPECT_NE(c.mag()->end, a.mag()->end);  // more orders: tables of its own
    MultipoleCell d({{"Fringe", 0.032}, {"Di", 1}});
    EXPECT_NE(d.mag()->end, a.mag()->end);
    EXPECT_EQ(MultipoleEnd_count(), before + 3);
    // A later order set on a magnet fetches tables that hold it.
    MultipoleMag* m = &reinterpret_cast<Multipole*>(b.c->rtd)->mag;
    MultipoleMag_setns(m, 4, 0.5, 0);
    EXPECT_EQ(m->end, c.mag()->end);
    EXPECT_EQ(m->N, 4);
    EXPECT_EQ(m->normal[0], 1);
    EXPECT_EQ(m->normal[2], 0);
  }
  EXPECT_EQ(MultipoleEnd_count(), before);  // all released with their magnets
}

TEST(Multipole, RestoredRecordGivesTheSameField) {
  MultipoleCell m({{"Fringe", 0.04}, {"Quad", 1.3}, {"SkewSext", 4}, {"Length", 0.4}});
  Cell* back = testsupport::restored(m.c);
  ASSERT_NE(back, nullptr);
  testsupport::expectsamefield(m.c, back,
                               {{0.01, -0.02, 0.0}, {0.03, 0.01, 0.2}, {-0.02, 0.02, 0.45}});
  Cell_freeref(back, 0);
}

// ---- field ----

TEST(Multipole, BodyFieldIsTheHardEdgeField) {
  // More than 10 fringe lengths inside both ends the sums are exact: By + iBx = (a + ib)w^(n-1)
  // and Bz = 0, which also scales as r^(n-1).
  const double f = 0.02, L = 1.0;
  for (int n : {1, 2, 3, 4, 7, 20}) {
    char na[8], nb[8];
    std::snprintf(na, sizeof na, "p%d", 2 * n);
    std::snprintf(nb, sizeof nb, "p%ds", 2 * n);
    const double a = 1.7, b = -0.6;
    MultipoleCell m({{"Fringe", f}, {"Length", L}, {na, a}, {nb, b}});
    for (double r : {0.0, 0.004, 0.01, 0.0282}) {
      for (double phi : {0.0, 0.9, 2.5}) {
        SCOPED_TRACE("n = " + std::to_string(n) + ", r = " + std::to_string(r));
        const double x = r * std::cos(phi), y = r * std::sin(phi);
        const V3 B = m.local(x, y, 0.5);
        const std::complex<double> h = hardedge(n, a, b, x, y);
        const double scale = std::abs(std::complex<double>(a, b)) * std::pow(r, n - 1);
        EXPECT_NEAR(B.y, h.real(), 1e-12 * scale + 1e-300);
        EXPECT_NEAR(B.x, h.imag(), 1e-12 * scale + 1e-300);
        EXPECT_NEAR(B.z, 0, 1e-12 * scale + 1e-300);
      }
    }
  }
}

TEST(Multipole, FieldZeroOutsideItsReachAndHalfAtTheEntrance) {
  const double f = 0.05, L = 1.2, B0 = 0.8;
  MultipoleCell m({{"Fringe", f}, {"Length", L}, {"Dipole", B0}});
  EXPECT_NEAR(m.local(0, 0, 0).y, B0 / 2, 1e-12);
  EXPECT_NEAR(m.local(0, 0, L).y, B0 / 2, 1e-12);
  const double r = std::sqrt(2.0) * f;
  for (V3 p : {V3{0, 0, -10 * f}, V3{0, 0, -10.5 * f}, V3{0, 0, L + 10 * f}, V3{r, 0, 0.6},
               V3{0.6 * r, 0.8 * r, 0.6}, V3{NAN, 0, 0.6}, V3{0, 0, NAN}, V3{INFINITY, 0, 0.6}}) {
    const V3 B = m.local(p.x, p.y, p.z);
    EXPECT_EQ(B.x, 0);
    EXPECT_EQ(B.y, 0);
    EXPECT_EQ(B.z, 0);
  }
  EXPECT_GT(m.local(0, 0, -9.9 * f).y, 0);
  EXPECT_GT(m.local(0.99 * r, 0, 0.6).y, 0);
}

TEST(Multipole, TablesFollowTheSeriesWithinInterpolationError) {
  // Bilinear interpolation over steps of f/100 and f²/10 against the series summed at the point,
  // relative to the body field at the edge of the reach (r² = 2 f²). Measured on a fine z scan
  // (the worst at the ends, z = 0 and L): dipole 1.3e-4 at r² = 1.5 f², 5.1e-4 at 1.9 f²,
  // 2.3e-3 at 1.99 f², where the r² terms are largest; quadrupole and sextupole below 3e-4.
  const double f = 0.05, L = 0.3;
  struct Band {
    double r2max;  // f²
    double tol;
  };
  for (Band band : {Band{1.5, 2e-4}, Band{1.9, 8e-4}, Band{1.99, 3e-3}}) {
    for (int n = 1; n <= 3; n++) {
      char name[8];
      std::snprintf(name, sizeof name, "p%d", 2 * n);
      MultipoleCell m({{"Fringe", f}, {"Length", L}, {name, 1.0}});
      const double r = std::sqrt(band.r2max) * f;
      const double scale = std::pow(std::sqrt(2.0) * f, n - 1);
      double worst = 0;
      for (double z = -0.5; z < 0.8; z += 0.000731)
        for (double q : {0.3, 0.7, 1.0}) {
          const double x = q * r * 0.6, y = -q * r * 0.8;
          worst = std::max(worst, V3_norm(m.local(x, y, z) - m.series(x, y, z)) / scale);
        }
      SCOPED_TRACE("order " + std::to_string(n) + ", r² up to " + std::to_string(band.r2max));
      EXPECT_LT(worst, band.tol);
    }
  }
}

TEST(Multipole, SeriesFieldIsFreeOfDivergenceAndCurl) {
  const double f = 0.04, L = 0.25;
  MultipoleCell m({{"Fringe", f}, {"Length", L}, {"Di", 0.3}, {"Quad", 2}, {"SkewOct", 50}});
  const double h = 1e-5;
  for (double z : {-0.08, -0.02, 0.0, 0.015, 0.125, 0.27}) {
    for (V3 p : {V3{0.01, 0.0, 0}, V3{0.02, -0.015, 0}, V3{-0.03, 0.025, 0}}) {
      SCOPED_TRACE("z = " + std::to_string(z) + ", x = " + std::to_string(p.x));
      auto B = [&](double dx, double dy, double dz) {
        return m.series(p.x + dx, p.y + dy, z + dz);
      };
      const V3 dBdx = (B(h, 0, 0) - B(-h, 0, 0)) / (2 * h);
      const V3 dBdy = (B(0, h, 0) - B(0, -h, 0)) / (2 * h);
      const V3 dBdz = (B(0, 0, h) - B(0, 0, -h)) / (2 * h);
      // Gradients here are up to about 10 T/m; the series and the differences leave 1e-6.
      EXPECT_NEAR(dBdx.x + dBdy.y + dBdz.z, 0, 1e-5);
      EXPECT_NEAR(dBdy.z - dBdz.y, 0, 1e-5);
      EXPECT_NEAR(dBdz.x - dBdx.z, 0, 1e-5);
      EXPECT_NEAR(dBdx.y - dBdy.x, 0, 1e-5);
    }
  }
}

TEST(Multipole, IntegratedFieldIsStrengthTimesLengthWhateverTheFringe) {
  const double L = 0.4, G = 2.5, x = 0.004, y = 0.003;
  for (double f : {0.01, 0.04, 0.1, 0.3}) {
    SCOPED_TRACE("fringe " + std::to_string(f));
    MultipoleCell m({{"Fringe", f}, {"Length", L}, {"Quad", G}});
    // Simpson over the whole reach of the field.
    const int n = 20000;
    const double z0 = -10 * f, z1 = L + 10 * f, step = (z1 - z0) / n;
    double by = 0, bx = 0;
    for (int i = 0; i <= n; i++) {
      const double w = (i == 0 || i == n) ? 1 : (i % 2 ? 4 : 2);
      const V3 B = m.local(x, y, z0 + i * step);
      by += w * B.y;
      bx += w * B.x;
    }
    by *= step / 3;
    bx *= step / 3;
    EXPECT_NEAR(by, G * x * L, 1e-6 * G * x * L);
    EXPECT_NEAR(bx, G * y * L, 1e-6 * G * y * L);
  }
}

TEST(Multipole, GlobalFieldTurnsWithTheFrame) {
  const AffineFrame F{V3{0.2, -0.1, 3.0}, M3x3_Rxyz(V3{0.2, -0.4, 0.7})};
  MultipoleCell m({{"Fringe", 0.05}, {"Length", 0.5}, {"Quad", 1.5}, {"SkewDi", 0.2}}, F);
  for (V3 l : {V3{0.01, 0.02, 0.1}, V3{-0.03, 0.01, 0.6}}) {
    const V3 g = F.M * l + F.origin;
    const EB e = Cell_field(m.c, g.x, g.y, g.z, 0);
    const V3 want = F.M * m.local(l.x, l.y, l.z);
    EXPECT_NEAR(V3_norm(e.B - want), 0, 1e-13);
    EXPECT_EQ(V3_norm(e.E), 0);
  }
}

// ---- poles ----

TEST(Multipole, StepsEndingInThePolesAreStopped) {
  const double f = 0.05, L = 0.5;
  const AffineFrame F{V3{0.1, 0, 2}, M3x3_Rxyz(V3{0, 0.3, 0})};
  MultipoleCell m({{"Fringe", f}, {"Length", L}, {"Quad", 1}}, F);
  struct Case {
    double r2;  // in f²
    double z;
    bool stopped;
  };
  const std::vector<Case> cases = {
      {3, 0.25, true}, {2.11, 0.01, true}, {4.19, 0.49, true}, {2, 0.25, false},
      {3, 0.51, false}, {3, -0.01, false}, {4.3, 0.25, false}, {1, 0.25, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE("r² = " + std::to_string(k.r2) + " f², z = " + std::to_string(k.z));
    const double r = std::sqrt(k.r2) * f;
    const V3 g = F.M * V3{r * 0.6, r * 0.8, k.z} + F.origin;
    Particle a = Particle_new(MuPlus), b = a, out;
    b.x = g.x, b.y = g.y, b.z = g.z;
    double tout = 0;
    EXPECT_EQ(Multipole_collisiondetect(m.c->rtd, &a, &b, 0, 1e-9, 0, nullptr, nullptr, &out,
                                        &tout),
              k.stopped ? 1 : 0);
    EXPECT_EQ(out.state, k.stopped ? Stopped : Active);
    EXPECT_EQ(tout, 1e-9);
  }
  Particle a = Particle_new(MuPlus), b = a, out;
  b.x = NAN;
  double tout;
  EXPECT_EQ(Multipole_collisiondetect(m.c->rtd, &a, &b, 0, 1e-9, 0, nullptr, nullptr, &out, &tout),
            1);
  EXPECT_EQ(out.state, Stopped);
}

// ---- tracking ----

// A mu+ of momentum p (MeV/c) along +z at (x, y, z0), tracked through the cell until it is past
// zend; returns position and slopes there (straight back to zend, where there is no field).
struct Exit {
  double x, y, xp, yp;
};
Exit track(Cell* cell, double pmev, double x, double y, double z0, double zend) {
  Particle p = testsupport::particleof(MuPlus, {x, y, z0}, {0, 0, pmev}, cell);
  const double dt = 2e-12;
  for (int i = 0; i < 1000000 && p.z < zend; i++) advanceparticle(&p, i * dt, dt);
  const double back = (p.z - zend) / p.Vz;
  Exit e{p.x - p.Vx * back, p.y - p.Vy * back, p.Vx / p.Vz, p.Vy / p.Vz};
  Particle_free(&p);
  return e;
}

TEST(Multipole, QuadrupoleFocalLengthsMatchTheLensFormulas) {
  const double pmev = 200, brho = pmev * 1e6 / c_light;  // T·m
  struct Case {
    double G, L, f;
    bool thin;
  };
  const std::vector<Case> cases = {{2, 0.3, 0.01, false}, {4, 0.5, 0.02, false},
                                   {10, 0.02, 0.01, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("G = " + std::to_string(c.G) + ", L = " + std::to_string(c.L));
    MultipoleCell m({{"Fringe", c.f}, {"Length", c.L}, {"Quad", c.G}});
    const double x0 = 0.001;
    const Exit ex = track(m.c, pmev, x0, 0, -10 * c.f - 0.01, c.L + 10 * c.f);
    const Exit ey = track(m.c, pmev, 0, x0, -10 * c.f - 0.01, c.L + 10 * c.f);
    const double k = c.G / brho, sk = std::sqrt(k);
    const double invfx = c.thin ? k * c.L : sk * std::sin(sk * c.L);
    const double invfy = c.thin ? -k * c.L : -sk * std::sinh(sk * c.L);
    EXPECT_NEAR(-ex.xp / x0, invfx, 0.005 * std::fabs(invfx));
    EXPECT_NEAR(-ey.yp / x0, invfy, 0.005 * std::fabs(invfy));
    EXPECT_NEAR(ex.y, 0, 1e-12);
  }
}

TEST(Multipole, DipoleBendsWithRadiusMomentumOverChargeField) {
  const double pmev = 200, B = 0.01, L = 1.0, f = 0.05;
  const double rho = pmev * 1e6 / c_light / B;  // m
  MultipoleCell m({{"Fringe", f}, {"Length", L}, {"Dipole", B}});
  // Exit slope: the transverse momentum gained is q∫B dz = qBL.
  const Exit e = track(m.c, pmev, 0, 0, -0.51, L + 0.51);
  EXPECT_NEAR(e.xp / std::sqrt(1 + e.xp * e.xp), -L / rho, 1e-4 * L / rho);
  // Curvature in the body from three points of the path.
  Particle p = testsupport::particleof(MuPlus, {0, 0, -0.51}, {0, 0, pmev}, m.c);
  std::vector<V3> pts;
  const double dt = 1e-12;
  for (double zs : {0.35, 0.5, 0.65}) {
    for (int i = 0; i < 1000000 && p.z < zs; i++) advanceparticle(&p, 0, dt);
    pts.push_back(V3{p.x, p.y, p.z});
  }
  Particle_free(&p);
  const double a = V3_norm(pts[1] - pts[0]), b = V3_norm(pts[2] - pts[1]),
               c = V3_norm(pts[2] - pts[0]);
  const double area = 0.5 * V3_norm((pts[1] - pts[0]) ^ (pts[2] - pts[0]));
  EXPECT_NEAR(a * b * c / (4 * area), rho, 1e-3 * rho);
}

}  // namespace
