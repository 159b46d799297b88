#include "sim/components/solenoid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "base/report.h"
#include "sim/components/registry.h"
#include "sim/particle.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

const double MeV = 1.602176462e-13;  // J
const double pi = std::numbers::pi;

using testsupport::Attr;

// A constructed solenoid cell (through the class table, as the machine set-up does).
struct SolenoidCell : testsupport::Component {
  SolenoidCell(const std::vector<Attr>& attrs, AffineFrame frame = AffineFrame_identity())
      : Component("Solenoid", attrs, frame, "S1") {
    EXPECT_EQ(constructed, 1);
  }
  const Solenoid* rec() const { return record<Solenoid>(); }
  EB B(V3 p, double t = 0) const { return solfield(c->rtd, p.x, p.y, p.z, t); }
};

// On-axis field of a current sheet of radius a from 0 to L (B0 = mu0 K) by Simpson's rule over
// its current loops: dBz = B0/2 · a²/(a² + ζ²)^(3/2) dz'.
double sheetonaxis(double B0, double a, double L, double s) {
  const int n = 20000;
  const double h = L / n;
  double sum = 0;
  for (int i = 0; i <= n; i++) {
    const double zeta = s - i * h;
    const double f = a * a / std::pow(a * a + zeta * zeta, 1.5);
    sum += f * (i == 0 || i == n ? 1 : (i % 2 ? 4 : 2));
  }
  return B0 * 0.5 * sum * h / 3;
}

// The field of the same sheet at (rho, 0, s) by Biot-Savart over the sheet (Simpson along the
// axis, the periodic trapezoid rule round it). Returns (Br, 0, Bz).
V3 sheetbiotsavart(double B0, double a, double L, double rho, double s) {
  const int nz = 1000, nphi = 32;
  const double h = L / nz;
  double bx = 0, bz = 0;
  for (int i = 0; i <= nz; i++) {
    const double zp = i * h;
    const double wz = (i == 0 || i == nz ? 1 : (i % 2 ? 4 : 2)) * h / 3;
    for (int k = 0; k < nphi; k++) {
      const double phi = 2 * pi * k / nphi;
      const double Rx = rho - a * std::cos(phi), Ry = -a * std::sin(phi), Rz = s - zp;
      const double dlx = -a * std::sin(phi), dly = a * std::cos(phi);
      const double R3 = std::pow(Rx * Rx + Ry * Ry + Rz * Rz, 1.5);
      bx += wz * (dly * Rz) / R3;
      bz += wz * (dlx * Ry - dly * Rx) / R3;
    }
  }
  const double f = B0 / (4 * pi) * (2 * pi / nphi);
  return V3{bx * f, 0, bz * f};
}

// A particle with momentum components (MeV/c) at a point, with `cell` as its only nearby
// component.
Particle muon(ParticleSpecies sp, V3 r, V3 pmev, Cell* cell) {
  return testsupport::particleof(sp, r, pmev, cell);
}

// ---- field ----

TEST(Solenoid, OnAxisFieldMatchesCurrentSheet) {
  const double B0 = 2.5, a = 0.2, L = 2.0;
  // Placed off the origin and tilted, so that the axis and frame handling are part of the test.
  AffineFrame f{V3{0.3, -0.2, 1.5}, M3x3_Rxyz(V3{0.3, -0.5, 0.2})};
  SolenoidCell s({{"length", L}, {"field", B0}, {"radius", a}}, f);
  const V3 u = M3x3_column(f.M, 2);
  for (double sa : {-3.0, -0.5, -0.05, 0.0, 0.03, 0.4, 1.0, 1.7, 1.99, 2.0, 2.2, 4.0}) {
    SCOPED_TRACE("s = " + std::to_string(sa));
    const double expected = sheetonaxis(B0, a, L, sa);
    // The closed form B0/2·(cos θ1 + cos θ2), angles seen from the point to each end's rim.
    const double closed = B0 / 2 * (sa / std::hypot(sa, a) + (L - sa) / std::hypot(L - sa, a));
    EXPECT_NEAR(closed, expected, 1e-9);
    const EB e = s.B(f.origin + sa * u);
    EXPECT_NEAR(e.B * u, expected, 1e-9);
    EXPECT_NEAR(V3_norm(e.B - (e.B * u) * u), 0, 1e-12);  // no radial part on the axis
    EXPECT_EQ(V3_norm(e.E), 0);
  }
}

TEST(Solenoid, OffAxisFieldMatchesBiotSavartToFourthOrder) {
  // The field is the on-axis field with its second-order off-axis terms; what remains is of
  // order r⁴ in Bz and r⁵ in Br (r in radii), with coefficients below 0.2 for a sheet.
  const double B0 = 1.0, a = 0.2, L = 2.0;
  SolenoidCell s({{"length", L}, {"field", B0}, {"radius", a}});
  for (double r : {0.1, 0.2, 0.3}) {
    for (double sa : {-0.3, -0.05, 0.0, 0.1, 1.0, 1.95, 2.0, 2.4}) {
      SCOPED_TRACE("r = " + std::to_string(r) + ", s = " + std::to_string(sa));
      const V3 ref = sheetbiotsavart(B0, a, L, r * a, sa);
      // Rotated about the axis: the field turns with the point.
      const double phi = 0.7;
      const EB e = s.B(V3{r * a * std::cos(phi), r * a * std::sin(phi), sa});
      EXPECT_NEAR(e.B.z, ref.z, 0.2 * std::pow(r, 4) * B0 + 1e-8);
      const double br = e.B.x * std::cos(phi) + e.B.y * std::sin(phi);
      EXPECT_NEAR(br, ref.x, 0.2 * std::pow(r, 5) * B0 + 1e-8);
      EXPECT_NEAR(-e.B.x * std::sin(phi) + e.B.y * std::cos(phi), 0, 1e-15);
    }
  }
}

TEST(Solenoid, DivergenceVanishesNearAxis) {
  const double B0 = 3.0, a = 0.25, L = 1.2;
  AffineFrame f{V3{-0.1, 0.2, 0.4}, M3x3_Rxyz(V3{0.4, 0.1, -0.3})};
  SolenoidCell s({{"length", L}, {"field", B0}, {"radius", a}}, f);
  const double h = 1e-5;
  for (double r : {0.0, 0.05, 0.15, 0.3}) {
    for (double sa : {-0.4, -0.02, 0.0, 0.1, 0.6, 1.19, 1.5}) {
      SCOPED_TRACE("r = " + std::to_string(r) + ", s = " + std::to_string(sa));
      double x = r * a * 0.6, y = r * a * 0.8, z = sa;
      affine(f, &x, &y, &z);
      const V3 p{x, y, z};
      double div = 0;
      const V3 dirs[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
      for (int i = 0; i < 3; i++) {
        const V3 plus = s.B(p + h * dirs[i]).B, minus = s.B(p - h * dirs[i]).B;
        div += ((plus - minus) * dirs[i]) / (2 * h);
      }
      // Each derivative is of order B0/a; central differences leave (h/a)² of it.
      EXPECT_NEAR(div * a / B0, 0, 1e-7);
    }
  }
}

TEST(Solenoid, FieldIsExactlyZeroBeyondOnePointTwoRadii) {
  const double a = 0.5;  // so that the point at 0.6 m is exactly r = 1.2
  SolenoidCell s({{"length", 1.0}, {"field", 4.0}, {"radius", a}});
  ASSERT_EQ(std::sqrt(0.6 * 0.6) / a, 1.2);
  for (double sa : {-5.0, -0.3, 0.0, 0.5, 1.0, 1.4, 30.0}) {
    SCOPED_TRACE("s = " + std::to_string(sa));
    const EB at = s.B(V3{0.6, 0, sa});
    EXPECT_NE(at.B.z, 0);  // r = 1.2 still has field
    for (V3 p : {V3{std::nextafter(0.6, 1.0), 0, sa}, V3{0, -0.61, sa}, V3{0.5, 0.5, sa},
                 V3{2.4, 0.1, sa}, V3{1e6, 0, sa}}) {
      const EB e = s.B(p);
      EXPECT_EQ(e.B.x, 0);
      EXPECT_EQ(e.B.y, 0);
      EXPECT_EQ(e.B.z, 0);
    }
  }
}

TEST(Solenoid, SwitchingRuleGovernsFieldCoilAndCollisions) {
  struct Case {
    double on, off, t;
    bool exists;
  };
  const Case cases[] = {
      {0, 1e-9, 0, false},     {0, 1e-9, 5e-10, true},  {0, 1e-9, 1e-9, true},
      {0, 1e-9, 2e-9, false},  {0, 1e-9, -1e-9, false}, {1e-9, 0, 0, true},
      {1e-9, 0, 5e-10, false}, {1e-9, 0, 1e-9, false},  {1e-9, 0, 2e-9, true},
      {1e-9, 0, -1, true},     {-1e20, 1e20, 1e-6, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE("on " + std::to_string(k.on) + " off " + std::to_string(k.off) + " t " +
                 std::to_string(k.t));
    SolenoidCell s({{"length", 1}, {"field", 2}, {"radius", 0.2}, {"OnTime", k.on},
                    {"OffTime", k.off}});
    EXPECT_EQ(Solenoid_exists(s.rec(), k.t), k.exists);
    EXPECT_EQ(s.B(V3{0.01, 0, 0.5}, k.t).B.z != 0, k.exists);
    EXPECT_EQ(insolenoid(s.c->rtd, 0.5, 0, 0.5, k.t), k.exists ? 1 : 0);
    // A particle flying out through the coil during a step that starts at t.
    Particle a = muon(MuPlus, V3{0.1, 0, 0.5}, V3{100, 0, 0}, nullptr);
    Particle b = a;
    advanceparticle(&b, k.t, 2e-9);
    Particle out;
    double tout;
    EXPECT_EQ(CDsolenoid(s.c->rtd, &a, &b, k.t, k.t + 2e-9, 0, nullptr, nullptr, &out, &tout),
              k.exists ? 1 : 0);
  }
}

// ---- construction ----

TEST(Solenoid, ConstructionReadsAttributesWithDefaults) {
  AffineFrame f{V3{1, 2, 3}, M3x3_Rxyz(V3{0, 0.5, 0})};
  const V3 e3 = M3x3_column(f.M, 2);
  {
    SolenoidCell s({{"length", 0.8}, {"field", 1.5}, {"radius", 0.1}}, f);
    const Solenoid* r = s.rec();
    EXPECT_EQ(V3_norm(V3{r->startx, r->starty, r->startz} - f.origin), 0);
    EXPECT_NEAR(V3_norm(V3{r->axisx, r->axisy, r->axisz} - 0.8 * e3), 0, 1e-15);
    EXPECT_NEAR(r->length, 0.8, 1e-15);
    EXPECT_NEAR(V3_norm(V3{r->ux, r->uy, r->uz} - e3), 0, 1e-15);
    EXPECT_EQ(r->field, 1.5);
    EXPECT_EQ(r->radius, 0.1);
    EXPECT_EQ(r->outerradius, 0.5);  // five radii without "outerradius"
    EXPECT_EQ(r->offtime, 1e20);
    EXPECT_EQ(r->ontime, -1e20);
    EXPECT_EQ(s.c->field, (CellFieldFn)solfield);
  }
  {
    SolenoidCell s({{"length", 0.8}, {"field", 1.5}, {"radius", 0.1}, {"outerradius", 0.13},
                    {"OffTime", 3e-9}, {"OnTime", 1e-9}});
    EXPECT_EQ(s.rec()->outerradius, 0.13);
    EXPECT_EQ(s.rec()->offtime, 3e-9);
    EXPECT_EQ(s.rec()->ontime, 1e-9);
  }
  {
    // Text values read as 0; present "OffTime" as a text makes the off time 0.
    testsupport::Component s("solenoid", {{"length", 1}, {"radius", 0.2}, {"field", 0, "strong"},
                                           {"outerradius", 0, "wide"}, {"OffTime", 0, "later"}});
    const Solenoid* r = s.record<Solenoid>();
    EXPECT_EQ(r->field, 0);
    EXPECT_EQ(r->outerradius, 0);
    EXPECT_EQ(r->offtime, 0);
    EXPECT_EQ(s.c->field, nullptr);
  }
  {
    // A negative length runs the coil backwards from the frame origin.
    SolenoidCell s({{"length", -0.5}, {"field", 1}, {"radius", 0.1}}, f);
    EXPECT_NEAR(s.rec()->length, 0.5, 1e-15);
    EXPECT_NEAR(V3_norm(V3{s.rec()->ux, s.rec()->uy, s.rec()->uz} + e3), 0, 1e-15);
    const V3 e1 = M3x3_column(f.M, 0);
    const V3 behind = f.origin - 0.25 * e3 + 0.2 * e1, ahead = f.origin + 0.25 * e3 + 0.2 * e1;
    EXPECT_EQ(insolenoid(s.c->rtd, behind.x, behind.y, behind.z, 0), 1);
    EXPECT_EQ(insolenoid(s.c->rtd, ahead.x, ahead.y, ahead.z, 0), 0);
  }
}

TEST(Solenoid, ZeroFieldCoilHasNoFieldButStops) {
  SolenoidCell s({{"length", 1}, {"field", 0}, {"radius", 0.2}});
  EXPECT_EQ(s.c->field, nullptr);
  EXPECT_EQ(Cell_field(s.c, 0.05, 0, 0.5, 0).B.z, 0);
  Particle a = muon(MuPlus, V3{0.15, 0, 0.5}, V3{150, 0, 0}, nullptr);
  Particle b = a;
  advanceparticle(&b, 0, 1e-9);
  Particle out;
  double tout;
  ASSERT_EQ(CDsolenoid(s.c->rtd, &a, &b, 0, 1e-9, 0, nullptr, nullptr, &out, &tout), 1);
  EXPECT_EQ(out.state, Stopped);
  EXPECT_NEAR(out.x, 0.2, 1e-12);
}

TEST(Solenoid, DegenerateCoilsGiveNoFieldInsteadOfNaN) {
  // No length: a thin plate, whose two end fields cancel. No radius: no sheet at all.
  SolenoidCell thin({{"length", 0}, {"field", 2}, {"radius", 0.2}});
  EXPECT_EQ(thin.rec()->uz, 1);
  SolenoidCell norad({{"length", 1}, {"field", 2}}) ;
  EXPECT_EQ(norad.c->field, nullptr);
  for (V3 p : {V3{0, 0, 0}, V3{0.01, 0.02, 0.3}, V3{0, 0, -0.1}}) {
    for (const SolenoidCell* s : {&thin, &norad}) {
      const EB e = s->B(p);
      EXPECT_TRUE(std::isfinite(e.B.x) && std::isfinite(e.B.y) && std::isfinite(e.B.z));
      EXPECT_NEAR(V3_norm(e.B), 0, 1e-15);
    }
  }
  // The thin coil still stops what crosses its annulus.
  Particle a = muon(MuPlus, V3{0.3, 0, -0.01}, V3{0, 0, 200}, nullptr);
  Particle b = a;
  advanceparticle(&b, 0, 1e-10);
  Particle out;
  double tout;
  EXPECT_EQ(CDsolenoid(thin.c->rtd, &a, &b, 0, 1e-10, 0, nullptr, nullptr, &out, &tout), 1);
}

// ---- coil ----

TEST(Solenoid, InsideTestCoversTheCoilIncludingItsSurfaces) {
  SolenoidCell s({{"length", 1.0}, {"field", 1}, {"radius", 0.25}, {"outerradius", 0.5}});
  struct Case {
    double x, y, z;
    int inside;
  };
  const Case cases[] = {
      {0.25, 0, 0.5, 1},  {0, -0.5, 0.5, 1},  {0.3, 0.2, 0.0, 1},  {0.3, 0.2, 1.0, 1},
      {0.24, 0, 0.5, 0},  {0.51, 0, 0.5, 0},  {0.3, 0, -1e-9, 0},  {0.3, 0, 1.000001, 0},
      {0, 0, 0.5, 0},     {0.4, 0, 0.5, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.x) + "," + std::to_string(k.y) + "," + std::to_string(k.z));
    EXPECT_EQ(insolenoid(s.c->rtd, k.x, k.y, k.z, 0), k.inside);
  }
}

struct Flight {
  const char* what;
  V3 r;        // start, m
  V3 p;        // momentum, MeV/c
  double dt;   // s
  int hit;
  double tex;  // expected crossing time (from t0 = 0) when hit
};

TEST(Solenoid, CollisionDetectionStopsAtTheFirstCoilSurface) {
  // Coil from z = 0 to 1, radii 0.2 and 0.4; straight flights (no field in the pusher).
  SolenoidCell s({{"length", 1.0}, {"field", 1}, {"radius", 0.2}, {"outerradius", 0.4}});
  const double v = v_from_p(200 * MeV / c_light, E0[MuPlus]);  // speed at 200 MeV/c
  const Flight flights[] = {
      {"into the bore through the upstream plane", {0.1, 0, -0.05}, {0, 0, 200}, 1e-9, 0, 0},
      {"through the bore and out downstream", {0.0, 0.19, 0.95}, {0, 0, 200}, 1e-9, 0, 0},
      {"onto the upstream face", {0.3, 0, -0.06}, {0, 0, 200}, 1e-9, 1, 0.06 / v},
      {"onto the upstream face just outside the bore, short step", {0.205, 0, -0.05},
       {0, 0, 200}, 2e-10, 1, 0.05 / v},
      {"into the bore near the axis, short step", {0.05, 0, -0.01}, {0, 0, 200}, 1e-10, 0, 0},
      {"onto the downstream face from beyond", {0, -0.25, 1.09}, {0, 0, -200}, 1e-9, 1, 0.09 / v},
      {"outward through the inner cylinder", {0.1, 0, 0.5}, {200, 0, 0}, 1e-9, 1, 0.1 / v},
      {"inward through the outer cylinder", {0, 0.5, 0.3}, {0, -200, 0}, 1e-9, 1, 0.1 / v},
      {"past the coil outside", {0.45, 0, -0.2}, {0, 0, 200}, 1e-8, 0, 0},
      {"along the bore wall inside", {0.1999, 0, 0.1}, {0, 0, 200}, 1e-9, 0, 0},
      {"out through both cylinders in one step", {0.1, 0, 0.5}, {200, 0, 0}, 3e-9, 1, 0.1 / v},
      {"in by the upstream face, on through the inner cylinder", {0.3, 0, -0.05},
       {-200 / std::sqrt(2.0), 0, 200 / std::sqrt(2.0)}, 1e-9, 1, 0.05 * std::sqrt(2.0) / v},
      {"through the coil material from face to face", {0.3, 0, -0.05}, {0, 0, 200}, 5e-9, 1,
       0.05 / v},
      {"in by the outer cylinder, on through the downstream face", {0.45, 0, 0.9},
       {-200 / std::sqrt(2.0), 0, 200 / std::sqrt(2.0)}, 1e-9, 1, 0.05 * std::sqrt(2.0) / v},
  };
  for (const Flight& f : flights) {
    SCOPED_TRACE(f.what);
    Particle a = muon(MuPlus, f.r, f.p, nullptr);
    Particle b = a;
    advanceparticle(&b, 0, f.dt);
    Particle out;
    double tout = -1;
    const int hit = CDsolenoid(s.c->rtd, &a, &b, 0, f.dt, 3, nullptr, nullptr, &out, &tout);
    EXPECT_EQ(hit, f.hit);
    if (f.hit) {
      EXPECT_EQ(out.state, Stopped);
      EXPECT_NEAR(tout, f.tex, 1e-15);
      // Stopped at the surface, on the path.
      EXPECT_NEAR(out.x, a.x + (b.x - a.x) * tout / f.dt, 1e-9);
      EXPECT_NEAR(out.z, a.z + (b.z - a.z) * tout / f.dt, 1e-9);
      EXPECT_EQ(insolenoid(s.c->rtd, out.x, out.y, out.z, tout), 1);
    } else {
      EXPECT_EQ(out.state, Active);
      EXPECT_EQ(tout, f.dt);
      EXPECT_EQ(std::memcmp(&out, &b, sizeof out), 0);
    }
  }
}

TEST(Solenoid, EarliestCrossingWinsWhateverTheSurfaceOrder) {
  // Inward from outside the coil: the outer cylinder (tried last) is crossed before the inner
  // one (tried before it), and the inner one lies within the same step.
  SolenoidCell s({{"length", 1.0}, {"field", 1}, {"radius", 0.2}, {"outerradius", 0.3}});
  Particle a = muon(MuMinus, V3{0.35, 0, 0.5}, V3{-300, 0, 50}, nullptr);
  Particle b = a;
  const double dt = 1e-9;
  advanceparticle(&b, 0, dt);
  ASSERT_LT(std::fabs(b.x), 0.2);  // the step ends in the bore
  Particle out;
  double tout;
  ASSERT_EQ(CDsolenoid(s.c->rtd, &a, &b, 0, dt, 0, nullptr, nullptr, &out, &tout), 1);
  EXPECT_NEAR(out.x, 0.3, 1e-12);
  EXPECT_NEAR(tout, dt * 0.05 / (a.x - b.x), 1e-15);

  // In through the outer cylinder near the upstream end, then out through the upstream face
  // within the annulus: the face (tried first) is crossed later and must not win.
  Particle c = muon(MuPlus, V3{0.32, 0, 0.03}, V3{-100, 0, -100}, nullptr);
  Particle d = c;
  advanceparticle(&d, 0, 2 * dt);
  ASSERT_LT(d.z, 0);
  ASSERT_EQ(CDsolenoid(s.c->rtd, &c, &d, 0, 2 * dt, 0, nullptr, nullptr, &out, &tout), 1);
  EXPECT_NEAR(out.x, 0.3, 1e-12);
  EXPECT_NEAR(out.z, 0.01, 1e-12);
}

TEST(Solenoid, BoundingBoxHoldsCoilAndFringe) {
  const double a = 0.1, b = 0.3, L = 0.7;
  {
    SolenoidCell s({{"length", L}, {"field", 1}, {"radius", a}, {"outerradius", b}});
    Cell_bbreset(s.c);
    BBsolenoid(s.c->rtd, s.c);
    EXPECT_DOUBLE_EQ(s.c->zmin, -13 * a);
    EXPECT_DOUBLE_EQ(s.c->zmax, L + 13 * a);
    EXPECT_DOUBLE_EQ(s.c->xmax, b);  // angle 0 is sampled
    // The sampled circle reaches within b(1 - cos 0.05) of the true one on the other sides.
    for (double v : {-s.c->xmin, s.c->ymax, -s.c->ymin}) {
      EXPECT_LE(v, b);
      EXPECT_GE(v, b * std::cos(0.05));
    }
  }
  {
    AffineFrame f{V3{2, -1, 5}, M3x3_Rxyz(V3{0.6, 0.3, 1.1})};
    SolenoidCell s({{"length", L}, {"field", 1}, {"radius", a}, {"outerradius", b}}, f);
    Cell_bbreset(s.c);
    BBsolenoid(s.c->rtd, s.c);
    const double slack = b * (1 - std::cos(0.05)) + 1e-12;
    for (int k = 0; k < 720; k++) {
      const double th = 2 * pi * k / 720;
      for (double z : {-13 * a, 0.0, L, L + 13 * a}) {
        double x = b * std::cos(th), y = b * std::sin(th), zz = z;
        affine(f, &x, &y, &zz);
        EXPECT_GE(x, s.c->xmin - slack);
        EXPECT_LE(x, s.c->xmax + slack);
        EXPECT_GE(y, s.c->ymin - slack);
        EXPECT_LE(y, s.c->ymax + slack);
        EXPECT_GE(zz, s.c->zmin - slack);
        EXPECT_LE(zz, s.c->zmax + slack);
      }
    }
  }
}

// ---- tracking through the field ----

// f(s) on the axis and its second derivative, for the vector potential A_θ = r f/2 − r³ f''/16
// of an axisymmetric field whose expansion stops at these terms.
void onaxis(double B0, double a, double L, double s, double* f, double* f2) {
  auto g = [](double u, double* g0, double* g2) {
    const double q = 1 + u * u;
    *g0 = u / std::sqrt(q);
    *g2 = -3 * u / std::pow(q, 2.5);
  };
  double g01, g21, g02, g22;
  g(s / a, &g01, &g21);
  g((L - s) / a, &g02, &g22);
  *f = B0 / 2 * (g01 + g02);
  *f2 = B0 / (2 * a * a) * (g21 + g22);
}

TEST(Solenoid, BuschTheoremHoldsForAMuonLaunchedOnAxis) {
  // Launched on the axis upstream with a transverse kick: its canonical angular momentum
  // γm(x vy − y vx) + q r A_θ starts at 0 and must stay there through fringe and body.
  const double B0 = 2.0, a = 0.3, L = 4.0;
  SolenoidCell s({{"length", L}, {"field", B0}, {"radius", a}});
  Particle p = muon(MuPlus, V3{0, 0, -1.0}, V3{25, 10, 200}, s.c);
  const double m = speciesmass[MuPlus], q = charge[MuPlus];
  const double dt = 1e-11;
  double maxmech = 0, maxcanon = 0;
  for (int i = 0; i < 2500 && p.z < L + 1.0; i++) {
    advanceparticle(&p, i * dt, dt);
    const double mech = m * (p.x * p.Vy - p.y * p.Vx);
    const double r2 = p.x * p.x + p.y * p.y;
    double f, f2;
    onaxis(B0, a, L, p.z, &f, &f2);
    const double canon = mech + q * (r2 * f / 2 - r2 * r2 * f2 / 16);
    maxmech = std::max(maxmech, std::fabs(mech));
    maxcanon = std::max(maxcanon, std::fabs(canon));
  }
  EXPECT_GT(p.z, L);                   // it went all the way through
  EXPECT_GT(maxmech, 0);
  EXPECT_LT(maxcanon, 1e-7 * maxmech);  // RK4 with ~800 steps per turn
  Particle_free(&p);
}

TEST(Solenoid, LarmorOrbitHasTheExpectedRadiusPeriodAndSense) {
  // Transverse motion in the middle of a long solenoid, where Br = 0 and Bz is uniform.
  const double B0 = 1.5, a = 0.5, L = 100.0;
  SolenoidCell s({{"length", L}, {"field", B0}, {"radius", a}});
  const double Bc = B0 * (L / 2 / a) / std::sqrt(1 + (L / 2 / a) * (L / 2 / a));
  for (ParticleSpecies sp : {MuPlus, MuMinus}) {
    SCOPED_TRACE(ParticleSpecies_name[sp]);
    const V3 r0{0.05, 0, L / 2};
    Particle p = muon(sp, r0, V3{0, 60, 0}, s.c);
    const double m = speciesmass[sp], q = charge[sp];
    const double V = p.Vy;
    const double R = m * V / (std::fabs(q) * Bc);
    const double gamma = std::sqrt(1 + V * V / c_sq);
    const double T = 2 * pi * gamma * m / (std::fabs(q) * Bc);
    // V × B for V along +y and B along +z points along +x: a positive charge circles about a
    // centre on the +x side.
    const V3 centre = r0 + V3{q > 0 ? R : -R, 0, 0};
    const int n = 2000;
    const double dt = T / n;
    double worst = 0;
    for (int i = 0; i < n; i++) {
      advanceparticle(&p, i * dt, dt);
      worst = std::max(worst, std::fabs(std::hypot(p.x - centre.x, p.y - centre.y) - R));
      if (i == n / 2 - 1) {
        EXPECT_NEAR(p.x, r0.x + 2 * (centre.x - r0.x), 1e-7 * R);  // half a turn: across
      }
    }
    EXPECT_LT(worst, 1e-7 * R);
    EXPECT_NEAR(p.x, r0.x, 1e-7 * R);  // back after one period
    EXPECT_NEAR(p.y, r0.y, 1e-7 * R);
    EXPECT_NEAR(p.z, r0.z, 1e-9);
    Particle_free(&p);
  }
}

// ---- in a machine ----

TEST(SolenoidChannel, BoreParticlesFinishAndCoilStrikesStopThroughTheStepping) {
  // A coil followed by a finish aperture at its downstream end, built and tracked the way a
  // run does it: class table, bounding boxes, proximity grid, collision steps.
  testsupport::AllMessages captured;
  const std::vector<std::string>& messages = captured.all;
  Simulation_defaultdefault();
  Simulation sim = Simulation_default;
  sim.lattice = Cell_new(Composite, "channel");
  Cell* coil = testsupport::cellwith(
      "S1", "Solenoid", {{"length", 1.0}, {"field", 2.0}, {"radius", 0.3}, {"outerradius", 0.5}});
  Cell* finish = testsupport::cellwith("END", "Finish-aperture", {{"radius", 0.3}});
  Cell_add(sim.lattice, coil, -1);
  Cell_add(sim.lattice, finish, -1);
  Simulation_initmachine(&sim, AffineFrame_identity());
  ASSERT_EQ(sim.lattice->n, 2);

  struct Launch {
    const char* what;
    V3 r, p;  // m, MeV/c
    int state;
  } launches[] = {
      {"near the axis", {0.01, 0, 0.05}, {0, 0, 200}, Finished},
      {"into the bore through the upstream plane", {0.1, 0.05, -0.2}, {0, 0, 200}, Finished},
      {"out through the coil", {0.2, 0, 0.3}, {120, 0, 20}, Stopped},
  };
  uint32_t id = 1;
  for (const Launch& l : launches) {
    Particle tmpl = muon(MuPlus, l.r, l.p, nullptr);
    Particle* p = addparticlecon(&sim, MuPlus, id++, &tmpl, 0);
    Particle_nearbythings(p);
  }
  for (int i = 0; i < 5000 && sim.beam.m > 0; i++) Simulation_advance(&sim, 0, 1, 0);
  EXPECT_EQ(sim.beam.m, 0);
  for (uint32_t k = 0; k < 3; k++) {
    SCOPED_TRACE(launches[k].what);
    const Particle* found = nullptr;
    for (int32_t i = 0; i < sim.beam.M; i++)
      if (sim.beam.particles[i].id == k + 1) found = &sim.beam.particles[i];
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->state, launches[k].state);
    const double r = std::hypot(found->x, found->y);
    if (launches[k].state == Finished) {
      EXPECT_NEAR(found->z, 1.0, 1e-9);  // on the aperture plane
      EXPECT_LT(r, 0.3);
    } else {
      EXPECT_NEAR(r, 0.3, 1e-9);  // on the inner surface of the coil
      EXPECT_GT(found->z, 0);
      EXPECT_LT(found->z, 1);
    }
  }
  EXPECT_EQ(coil->lostweight, 1.0);    // the one that struck the coil
  EXPECT_EQ(finish->lostweight, 2.0);  // the two that finished
  Simulation_free(&sim);
  for (const std::string& m : messages) EXPECT_EQ(m.find("WARNING"), std::string::npos) << m;
}

}  // namespace
