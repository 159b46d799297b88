#include "sim/components/magnet3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "sim/components/registry.h"
#include "sim/particle.h"
#include "sim/pusher.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

using testsupport::Messages;
const double pi = std::numbers::pi;

using testsupport::Attr;

// The edge profiles of a sector or rectangle: integrated Gaussians; the horizontal one uniform.
const std::vector<Attr> gaussedges = {{"FringeFunc", 0, "IntGaussian"},
                                      {"func3", 0, "Polynomial"},
                                      {"func3degree", 0},
                                      {"func3c0", 1}};

struct Magnet3Cell : testsupport::Component {
  Magnet3Cell(const char* type, const std::vector<Attr>& attrs,
              AffineFrame f = AffineFrame_identity())
      : Component(type, attrs, f, "G1") {}
  const Magnet3* rec() const { return record<Magnet3>(); }
  V3 B(V3 p) const { return Magnet3_field(c->rtd, p.x, p.y, p.z, 0).B; }
};

std::vector<Attr> with(std::vector<Attr> a, const std::vector<Attr>& more) {
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// A profile read from attributes under the prefix "f".
struct Profile {
  Magnet3Profile p{};
  int ok;
  Profile(const char* name, std::vector<Attr> params) {
    Cell* c = Cell_new(Component, "P");
    for (const Attr& a : params) Cell_setattrib(c, a.name, a.value);
    ok = fringe_derivs_select(name, c, &p, "P", "f");
    Cell_freeref(c, 0);
  }
  ~Profile() { Magnet3Profile_free(&p); }
  double d(double s, int m) const {
    double out[MAGNET3_MAXDERIV + 1];
    fringe_derivs(&p, s, out, m, m);
    return out[m];
  }
};

// ---- profiles ----

TEST(Magnet3, ProfileDerivativesMatchClosedForms) {
  const double phi = [] { return 1 / std::sqrt(2 * pi); }();
  struct Case {
    const char* kind;
    std::vector<Attr> params;
    double s;
    int m;
    double want;
  };
  const std::vector<Case> cases = {
      {"IntGaussian", {}, 0, 0, 0.5},
      {"IntGaussian", {}, 1.0, 0, 0.8413447460685429},
      {"IntGaussian", {}, 0, 1, phi},
      {"IntGaussian", {}, 0.7, 2, -0.7 * phi * std::exp(-0.245)},
      {"IntGaussian", {}, 0.7, 3, (0.49 - 1) * phi * std::exp(-0.245)},
      {"Exponential", {{"k", 2}, {"offset", 1}}, 0, 0, 2},
      {"Exponential", {{"k", 2}, {"offset", 1}}, 0, 1, 2},
      {"Exponential", {{"k", 2}, {"offset", 1}}, 0, 2, 4},
      {"Exponential", {{"k", 2}, {"offset", 1}}, 0.3, 3, 8 * std::exp(0.6)},
      {"Polynomial", {{"degree", 2}, {"c0", 1}, {"c1", 2}, {"c2", 3}}, 2, 0, 17},
      {"Polynomial", {{"degree", 2}, {"c0", 1}, {"c1", 2}, {"c2", 3}}, 2, 1, 14},
      {"Polynomial", {{"degree", 2}, {"c0", 1}, {"c1", 2}, {"c2", 3}}, 2, 2, 6},
      {"Polynomial", {{"degree", 2}, {"c0", 1}, {"c1", 2}, {"c2", 3}}, 2, 3, 0},
      {"Polynomial", {{"degree", 5.2}, {"c5", 1}}, 1.5, 3, 60 * 2.25},
      {"polynomial", {{"degree", 5}, {"c5", 1}, {"c4", -2}}, -0.5, 5, 120},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.kind) + " order " + std::to_string(k.m) + " at " +
                 std::to_string(k.s));
    Profile p(k.kind, k.params);
    ASSERT_EQ(p.ok, 1);
    EXPECT_NEAR(p.d(k.s, k.m), k.want, 1e-13 * std::max(1.0, std::fabs(k.want)));
  }
}

TEST(Magnet3, HighGaussianDerivativesFollowHermitePolynomials) {
  // d^m Φ/ds^m = (-1)^(m-1) He_(m-1)(s) φ(s), He by its own three-term recurrence. The
  // monomial coefficients of G_m cancel at high orders: measured 2.3e-9 relative at m = 47,
  // s = 3.
  Profile p("IntGaussian", {});
  for (double s : {-2.1, 0.4, 1.3, 3.0}) {
    double he[51] = {1, s};
    for (int k = 1; k < 50; k++) he[k + 1] = s * he[k] - k * he[k - 1];
    for (int m = 1; m <= 50; m++) {
      const double sign = (m - 1) % 2 ? -1 : 1;
      const double want = sign * he[m - 1] * std::exp(-s * s / 2) / std::sqrt(2 * pi);
      SCOPED_TRACE("s = " + std::to_string(s) + ", m = " + std::to_string(m));
      EXPECT_NEAR(p.d(s, m), want, 1e-8 * std::max(1.0, std::fabs(want)));
    }
  }
}

TEST(Magnet3, InterpolantPassesThroughItsValues) {
  struct Case {
    std::vector<Attr> params;
    double x0, dx;  // the nodes the parameters should give
  };
  const std::vector<Attr> values = {{"v0", 0.1}, {"v1", 0.5}, {"v2", 1.0}, {"v3", 0.9},
                                    {"v4", 0.2}};
  const std::vector<Case> cases = {
      {{{"dx", 0.1}, {"x0", -0.3}}, -0.3, 0.1},
      {{{"x0", 1}, {"x1", 2}}, 1, 0.25},
      {{{"width", 2}}, -1, 0.5},
      {{{"halfwidth", 0.5}, {"centre", 3}}, 2.5, 0.25},
      {{{"dx", -0.2}}, 0.4, -0.2},
  };
  for (const Case& k : cases) {
    Profile p("Interpolant", with(with({{"divs", 4}}, k.params), values));
    ASSERT_EQ(p.ok, 1);
    for (int i = 0; i <= 4; i++) {
      SCOPED_TRACE("node " + std::to_string(i) + " of x0 = " + std::to_string(k.x0));
      EXPECT_NEAR(p.d(k.x0 + i * k.dx, 0), values[i].value, 1e-12);
    }
    // Its derivative against central differences between the nodes.
    const double s = k.x0 + 1.5 * k.dx, h = 1e-5 * std::fabs(k.dx);
    EXPECT_NEAR(p.d(s, 1), (p.d(s + h, 0) - p.d(s - h, 0)) / (2 * h),
                1e-6 / std::fabs(k.dx));
    EXPECT_NEAR(p.d(s, 3), (p.d(s + h, 2) - p.d(s - h, 2)) / (2 * h),
                1e-4 / std::pow(std::fabs(k.dx), 3));
  }
}

// ---- construction ----

TEST(Magnet3, RefusedDefinitions) {
  const std::vector<Attr> gap = {{"Length", 1}, {"HalfWidth", 0.1}, {"HalfHeight", 0.05}};
  struct Case {
    const char* type;
    std::vector<Attr> attrs;
    const char* message;
  };
  const double inf = INFINITY;
  const std::vector<Case> cases = {
      {"Magnet3Sector", with(gap, {{"FringeFunc", 0, "IntGaussian"}}),
       "[FATAL] Magnet3 'G1' lacks its profile function 'func3'"},
      {"Magnet3Rect", with(gap, {{"func3", 0, "Polynomial"}}),
       "[FATAL] Magnet3 'G1' lacks its profile function 'func1'"},
      {"Magnet3Rect", with(gap, {{"FringeFunc", 0, "Gauss"}, {"func3", 0, "Polynomial"}}),
       "[FATAL] Unknown profile function 'Gauss' for 'FringeFunc' in Magnet3 'G1'"},
      {"Magnet3Rect", with(gaussedges, {{"func3", 0, "Interpolant"}}),
       "[FATAL] Profile 'func3' of Magnet3 'G1': divs must be 1 to 64"},
      {"Magnet3Rect", with(gaussedges, {{"func3", 0, "Interpolant"}, {"func3divs", 4}}),
       "[FATAL] Profile 'func3' of Magnet3 'G1': the node step must be finite and not zero"},
      {"Magnet3Rect",
       with(gaussedges, {{"func3", 0, "Interpolant"}, {"func3divs", 4}, {"func3width", NAN}}),
       "[FATAL] Profile 'func3' of Magnet3 'G1': the node step must be finite and not zero"},
      {"Magnet3Rect", with(gaussedges, {{"func3degree", -1}}),
       "[FATAL] Profile 'func3' of Magnet3 'G1': the degree must be 0 to 63"},
      {"Magnet3Rect", with(gaussedges, {{"Fringe", -0.1}}),
       "[FATAL] Fringe length -0.1 of Magnet3 'G1' is not a positive finite length"},
      {"Magnet3Rect", with(gaussedges, {{"Fringe2", NAN}}),
       "[FATAL] Fringe length nan of Magnet3 'G1' is not a positive finite length"},
      {"Magnet3Rect", with(gaussedges, {{"Fringe1", inf}}),
       "[FATAL] Fringe length inf of Magnet3 'G1' is not a positive finite length"},
      {"Magnet3Sector", with(gaussedges, {{"Length", 1}, {"Angle", inf}}),
       "[FATAL] Length and Angle of Magnet3 'G1' must be finite numbers"},
      {"Magnet3Sector", with(gaussedges, {{"Angle", 0.5}}),
       "[FATAL] Magnet3 'G1' has an angle but no length"},
      {"Magnet3Rect", with(gaussedges, {{"FringeLimit", -1}}),
       "[FATAL] FringeLimit -1 of Magnet3 'G1' is negative"},
      {"Magnet3Bent", gaussedges, "[FATAL] Unknown three-dimensional magnet type 'Magnet3Bent' of 'G1'"},
      {"Magnet3", {{"func1", 0, "IntGaussian"}, {"func2", 0, "IntGaussian"}},
       "[FATAL] Magnet3 'G1' lacks its profile function 'func3'"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message);
    Messages msgs;
    Magnet3Cell m(k.type, k.attrs);
    EXPECT_TRUE(msgs.has(k.message));
    EXPECT_EQ(m.c->field, nullptr);
    EXPECT_EQ(m.c->collisiondetect, nullptr);
    Cell_bbreset(m.c);
    Cell_buildboundingbox(m.c);
    EXPECT_TRUE(Cell_bbempty(m.c));
  }
}

TEST(Magnet3, RestoredRecordGivesTheSameField) {
  Magnet3Cell m("Magnet3Sector", with(gaussedges, {{"Length", 1}, {"Angle", 0.4}, {"Field", 0.7},
                                                   {"Fringe", 0.06}, {"HalfWidth", 0.1},
                                                   {"HalfHeight", 0.05}}));
  Cell* back = testsupport::restored(m.c);
  ASSERT_NE(back, nullptr);
  testsupport::expectsamefield(m.c, back,
                               {{0.01, 0.02, -0.05}, {0.05, -0.03, 0.5}, {0.2, 0.01, 1.0}});
  Cell_freeref(back, 0);
}

// ---- field ----

TEST(Magnet3, MidPlaneFieldIsTheProductOfTheProfiles) {
  const double L = 1.0, f = 0.05, B0 = 1.3;
  Magnet3Cell m("Magnet3Rect",
                {{"Length", L}, {"Fringe1", f}, {"Fringe2", 2 * f}, {"Field", B0},
                 {"FringeFunc", 0, "IntGaussian"}, {"func3", 0, "Polynomial"}, {"func3degree", 2},
                 {"func3c0", 1}, {"func3c2", -3}, {"HalfWidth", 0.1}, {"HalfHeight", 0.05}});
  auto Phi = [](double s) { return 0.5 * std::erfc(-s / std::sqrt(2.0)); };
  for (double x : {-0.08, 0.0, 0.05})
    for (double z : {-0.1, 0.0, 0.3, 1.0, 1.15}) {
      const V3 b = m.B(V3{x, 0, z});
      EXPECT_NEAR(b.y, B0 * Phi(z / f) * Phi((L - z) / (2 * f)) * (1 - 3 * x * x), 1e-14);
      EXPECT_EQ(b.x, 0);
      EXPECT_EQ(b.z, 0);
    }
  EXPECT_NEAR(m.B(V3{0, 0, 0}).y, B0 * 0.5, 1e-12);  // half on the entrance edge
}

TEST(Magnet3, OffPlaneFieldIsFreeOfDivergenceAndCurl) {
  // Central differences over 1e-4 m: measured |div|, |curl| up to 2e-5 T/m against gradients
  // of up to 7 T/m in the fringes (the differences' own error; the series is cut at 1e-8).
  const AffineFrame F{V3{0.3, 0.1, -0.5}, M3x3_Rxyz(V3{0.1, 0.5, -0.2})};
  Magnet3Cell m("Magnet3Sector",
                {{"Length", 0.8}, {"Angle", 0.5}, {"Fringe", 0.06}, {"Field", 1.1},
                 {"FringeFunc", 0, "IntGaussian"}, {"func3", 0, "Interpolant"}, {"func3divs", 4},
                 {"func3width", 0.4}, {"func3v0", 0.8}, {"func3v1", 1}, {"func3v2", 1},
                 {"func3v3", 1}, {"func3v4", 0.7}, {"HalfWidth", 0.15}, {"HalfHeight", 0.06}},
                F);
  const double h = 1e-4;
  for (double s : {-0.1, 0.0, 0.03, 0.4, 0.78, 0.85})
    for (double X : {-0.1, 0.0, 0.07})
      for (double Y : {0.01, -0.04, 0.06}) {
        SCOPED_TRACE("s = " + std::to_string(s) + ", X = " + std::to_string(X) +
                     ", Y = " + std::to_string(Y));
        const V3 p = F.M * Magnet3_curvepoint(m.rec(), s, X, Y) + F.origin;
        auto B = [&](double dx, double dy, double dz) { return m.B(V3{p.x + dx, p.y + dy, p.z + dz}); };
        const V3 gx = (B(h, 0, 0) - B(-h, 0, 0)) / (2 * h);
        const V3 gy = (B(0, h, 0) - B(0, -h, 0)) / (2 * h);
        const V3 gz = (B(0, 0, h) - B(0, 0, -h)) / (2 * h);
        EXPECT_NEAR(gx.x + gy.y + gz.z, 0, 1e-4);
        EXPECT_NEAR(gy.z - gz.y, 0, 1e-4);
        EXPECT_NEAR(gz.x - gx.z, 0, 1e-4);
        EXPECT_NEAR(gx.y - gy.x, 0, 1e-4);
      }
}

TEST(Magnet3, GeneralFormWithTheEdgesOfARectangleGivesItsField) {
  const double L = 0.8, f = 0.04;
  const std::vector<Attr> common = {{"Length", L},       {"Field", 0.9},
                                    {"HalfWidth", 0.1},  {"HalfHeight", 0.05},
                                    {"func3", 0, "Polynomial"}, {"func3degree", 1},
                                    {"func3c0", 1},      {"func3c1", 0.5}};
  Magnet3Cell rect("Magnet3Rect", with(common, {{"Fringe", f}, {"FringeFunc", 0, "IntGaussian"}}));
  Magnet3Cell general("Magnet3", with(common, {{"func1", 0, "IntGaussian"},
                                               {"func2", 0, "IntGaussian"},
                                               {"g1z", 1 / f},
                                               {"c2z", L},
                                               {"g2z", -1 / f},
                                               {"g3x", 1}}));
  for (V3 p : {V3{0.02, 0.03, -0.05}, V3{-0.07, -0.04, 0.01}, V3{0.05, 0.02, 0.79}}) {
    const V3 a = rect.B(p), b = general.B(p);
    EXPECT_NEAR(V3_norm(a - b), 0, 1e-15);
    EXPECT_GT(V3_norm(a), 0.1);
  }
}

TEST(Magnet3, PositionsThatAreNotNumbersGetNoFieldAndAreStopped) {
  Magnet3Cell m("Magnet3Rect", with(gaussedges, {{"Length", 1}, {"HalfWidth", 0.1},
                                                 {"HalfHeight", 0.05}}));
  for (V3 p : {V3{NAN, 0, 0.5}, V3{0, INFINITY, 0.5}, V3{0, 0, NAN}}) {
    EXPECT_EQ(V3_norm(m.B(p)), 0);
    Particle a = Particle_new(MuPlus), b = a, out;
    b.x = p.x, b.y = p.y, b.z = p.z;
    double tout;
    EXPECT_EQ(Magnet3_collisiondetect(m.c->rtd, &a, &b, 0, 1e-9, 0, nullptr, nullptr, &out,
                                      &tout),
              1);
    EXPECT_EQ(out.state, Stopped);
  }
}

// ---- body ----

TEST(Magnet3, BodyIsAFrameRoundTheGap) {
  Magnet3Cell m("Magnet3Rect",
                with(gaussedges, {{"Length", 1}, {"HalfWidth", 0.1}, {"HalfHeight", 0.05}}));
  struct Case {
    V3 p;
    int inside;
  };
  const std::vector<Case> cases = {{{0.105, 0, 0.5}, 1}, {{0.09, 0, 0.5}, 0},
                                   {{0.13, 0, 0.5}, 0},  {{0.105, 0, 1.2}, 0},
                                   {{0, 0.052, 0.5}, 1}, {{-0.105, -0.052, 0}, 1},
                                   {{0, -0.061, 0.5}, 0}};
  for (const Case& k : cases)
    EXPECT_EQ(Magnet3_inside(m.c->rtd, k.p.x, k.p.y, k.p.z, 0), k.inside)
        << k.p.x << " " << k.p.y << " " << k.p.z;
}

TEST(Magnet3, SectorBodyFollowsTheReferenceCurveEitherWay) {
  // The gap lies on the cell's reference curve along the whole arc, the body beside it, and the
  // exit edge passes through the reference exit point (half the field there).
  for (double A : {pi / 4, -pi / 4, 1.2}) {
    SCOPED_TRACE("angle " + std::to_string(A));
    const double L = 1.0;
    Magnet3Cell m("Magnet3Sector",
                  with(gaussedges, {{"Length", L}, {"Angle", A}, {"Fringe", 0.05},
                                    {"HalfWidth", 0.1}, {"HalfHeight", 0.05}}));
    Cell_bbreset(m.c);
    Cell_buildboundingbox(m.c);
    for (double s : {0.01, 0.3, 0.5, 0.99}) {
      double x, y, z;
      Cell_unsxy(m.c, s, 0, 0, &x, &y, &z);  // the reference curve
      EXPECT_EQ(Magnet3_inside(m.c->rtd, x, y, z, 0), 0);
      if (s > 0.2 && s < 0.8) {  // past the fringes
        EXPECT_NEAR(m.B(V3{x, y, z}).y, 1, 1e-6);
      }
      for (double X : {-0.105, 0.105}) {
        Cell_unsxy(m.c, s, X, 0.02, &x, &y, &z);
        EXPECT_EQ(Magnet3_inside(m.c->rtd, x, y, z, 0), 1) << "s = " << s << ", X = " << X;
        EXPECT_TRUE(m.c->xmin <= x && x <= m.c->xmax && m.c->zmin <= z && z <= m.c->zmax);
      }
    }
    double x, y, z;
    Cell_unsxy(m.c, L, 0, 0, &x, &y, &z);
    EXPECT_NEAR(m.B(V3{x, y, z}).y, 0.5, 1e-9);
  }
}

TEST(Magnet3, BoxReachesSixFringeLengthsBeyondTheEnds) {
  // Without a FringeLimit the box holds the field to 6 of the larger fringe lengths beyond each
  // end (where an integrated Gaussian is down to 1e-9); an explicit one is kept.
  for (double A : {0.0, 0.6, -0.6}) {
    Magnet3Cell m("Magnet3Sector",
                  with(gaussedges, {{"Length", 1}, {"Angle", A}, {"Fringe1", 0.04},
                                    {"Fringe2", 0.05}, {"HalfWidth", 0.1}, {"HalfHeight", 0.05}}));
    EXPECT_DOUBLE_EQ(m.rec()->FringeLimit, 0.3);
    Cell_bbreset(m.c);
    Cell_buildboundingbox(m.c);
    const V3 before = Magnet3_curvepoint(m.rec(), -0.299, 0, 0);
    const V3 beyond = Magnet3_curvepoint(m.rec(), 1.299, 0, 0);
    for (V3 p : {before, beyond})
      EXPECT_TRUE(m.c->xmin <= p.x && p.x <= m.c->xmax && m.c->zmin <= p.z && p.z <= m.c->zmax)
          << "angle " << A << ": " << p.x << " " << p.z;
  }
  Magnet3Cell m("Magnet3Rect", with(gaussedges, {{"Length", 1}, {"FringeLimit", 0.1}}));
  EXPECT_EQ(m.rec()->FringeLimit, 0.1);
}

TEST(Magnet3, TallGapForItsFringeIsReported) {
  const std::vector<Attr> base = with(gaussedges, {{"Length", 1}, {"Fringe", 0.02},
                                                   {"HalfWidth", 0.1}});
  {
    Messages msgs;
    Magnet3Cell ok("Magnet3Rect", with(base, {{"HalfHeight", 0.05}}));
    EXPECT_FALSE(msgs.anywarning());
  }
  Messages msgs;
  Magnet3Cell tall("Magnet3Rect", with(base, {{"HalfHeight", 0.1}}));
  ASSERT_EQ(msgs.all.size(), 1u);
  EXPECT_EQ(msgs.all[0].rfind("[WARNING] Magnet3 'G1' has no field at ", 0), 0u) << msgs.all[0];
  EXPECT_NE(msgs.all[0].find("its gap is too tall for its fringe lengths"), std::string::npos);
  // Such a point indeed gets no field, although the true field there is near half strength.
  EXPECT_EQ(V3_norm(tall.B(V3{0.1, 0.1, 0.0})), 0);
}

TEST(Magnet3, ParticleEnteringTheBodyStopsOnItsSurface) {
  const AffineFrame F{V3{0.2, 0, 1}, M3x3_Rxyz(V3{0, 0.4, 0})};
  Magnet3Cell m("Magnet3Rect",
                with(gaussedges, {{"Length", 1}, {"HalfWidth", 0.1}, {"HalfHeight", 0.05},
                                  {"Field", 0}}),
                F);
  struct Case {
    V3 from, velocity;  // local, velocity in units of c/2
    double surface;     // the local coordinate of the surface struck (x, or y when 2)
    int axis;
  };
  const std::vector<Case> cases = {{{0.09, 0, 0.5}, {1, 0, 0.2}, 0.1, 0},
                                   {{-0.05, 0.04, 0.3}, {0, 1, 0}, 0.05, 1},
                                   {{-0.095, 0.0, 0.7}, {-1, 0.1, 0}, -0.1, 0}};
  for (const Case& k : cases) {
    Particle a = Particle_new(MuPlus);
    const V3 g = F.M * k.from + F.origin;
    const V3 v = F.M * (k.velocity * (0.5 * c_light / std::sqrt(0.75)));
    a.x = g.x, a.y = g.y, a.z = g.z;
    a.Vx = v.x, a.Vy = v.y, a.Vz = v.z;
    Particle b = a;
    const double dt = 0.015 / (0.5 * c_light);  // 1.5 cm: past the surface, into the body
    advanceparticle(&b, 0, dt);
    Particle out;
    double tout;
    ASSERT_EQ(Magnet3_collisiondetect(m.c->rtd, &a, &b, 0, dt, 0, nullptr, nullptr, &out, &tout),
              1);
    EXPECT_EQ(out.state, Stopped);
    EXPECT_LT(tout, dt);
    const V3 l = M3x3_transpose(F.M) * (V3{out.x, out.y, out.z} - F.origin);
    EXPECT_NEAR(k.axis == 0 ? l.x : l.y, k.surface, 1e-9);
  }
}

// ---- tracking ----

TEST(Magnet3, UniformStraightMagnetGivesTheHardEdgeBend) {
  const double pmev = 200, B0 = -0.1, L = 1.0;
  Magnet3Cell m("Magnet3Rect", with(gaussedges, {{"Length", L}, {"Fringe", 0.02}, {"Field", B0},
                                                 {"HalfWidth", 0.2}, {"HalfHeight", 0.05}}));
  Particle p = testsupport::particleof(MuPlus, {0, 0, -0.2}, {0, 0, pmev}, m.c);
  const double dt = 2e-12;
  for (int i = 0; i < 100000 && p.z < L + 0.2; i++) advanceparticle(&p, i * dt, dt);
  Particle_free(&p);
  // sin θ = q∫B dz / p = qB0 L / p, bending mu+ towards +x for a field along -y.
  const double want = -B0 * L * c_light / (pmev * 1e6);
  EXPECT_NEAR(p.Vx / std::hypot(p.Vx, p.Vz), want, 2e-4 * want);
  EXPECT_NEAR(p.Vy, 0, 1e-9 * p.Vz);
}

TEST(Magnet3, SectorTurnsItsDesignMomentumByItsAngle) {
  // A 45° sector of 1 m for 200 MeV/c: B = p/(qR), R = L/θ. Measured: 44.97° (the soft edges
  // of a sector with square faces focus slightly) and 2.4 mm off the reference axis 3.8 m
  // downstream.
  const double pmev = 200, A = pi / 4, L = 1.0, R = L / A;
  const double B0 = -pmev * 1e6 / c_light / R;
  Magnet3Cell m("Magnet3Sector",
                with(gaussedges, {{"Length", L}, {"Angle", A}, {"Fringe", 0.05}, {"Field", B0},
                                  {"HalfWidth", 0.1}, {"HalfHeight", 0.05}}));
  Particle p = testsupport::particleof(MuPlus, {0, 0, -0.4}, {0, 0, pmev}, m.c);
  const double dt = 2e-12;
  double s = -1;
  for (int i = 0; i < 100000 && s < L + 3.8; i++) {
    advanceparticle(&p, i * dt, dt);
    ASSERT_EQ(Magnet3_inside(m.c->rtd, p.x, p.y, p.z, 0), 0);
    const V3 e = Magnet3_curvepoint(m.rec(), L, 0, 0);  // beyond the exit: along its tangent
    s = L + (p.x - e.x) * std::sin(A) + (p.z - e.z) * std::cos(A);
  }
  Particle_free(&p);
  const double turned = std::atan2(p.Vx, p.Vz);
  EXPECT_NEAR(turned * 180 / pi, 45, 0.1);
  // Beyond the exit, the offset from the reference line (the exit tangent).
  const V3 e = Magnet3_curvepoint(m.rec(), L, 0, 0);
  const double off = (p.x - e.x) * std::cos(A) - (p.z - e.z) * std::sin(A);
  EXPECT_LT(std::fabs(off), 0.005);
}

// ---- threads ----

TEST(Magnet3Threads, FieldFromManyThreadsEqualsOneThread) {
  // Tracking threads read the record, its tables and the normal-density polynomials at once;
  // nothing is built or changed while they do (ThreadSanitizer runs this test).
  Magnet3Cell m("Magnet3Sector",
                {{"Length", 1}, {"Angle", 0.5}, {"Fringe", 0.05}, {"Field", 0.8},
                 {"FringeFunc", 0, "IntGaussian"}, {"func3", 0, "Interpolant"}, {"func3divs", 3},
                 {"func3width", 0.3}, {"func3v0", 1}, {"func3v1", 1}, {"func3v2", 1},
                 {"func3v3", 1}, {"HalfWidth", 0.1}, {"HalfHeight", 0.05}});
  std::vector<V3> pts;
  for (int i = 0; i < 400; i++)
    pts.push_back(Magnet3_curvepoint(m.rec(), -0.3 + 1.6 * i / 399.0, 0.08 * std::sin(i),
                                     0.045 * std::cos(0.7 * i)));
  std::vector<V3> want;
  for (const V3& p : pts) want.push_back(m.B(p));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int r = 0; r < 3; r++)
        for (size_t i = 0; i < pts.size(); i++) {
          const V3 b = m.B(pts[(i + 97 * t) % pts.size()]);
          const V3 w = want[(i + 97 * t) % pts.size()];
          if (b.x != w.x || b.y != w.y || b.z != w.z) mismatches[t]++;
        }
    });
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < 4; t++) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_GT(V3_norm(want[200]), 0.1);
}

}  // namespace
