#include "sim/components/crossing.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "base/kinematics.h"
#include "sim/material.h"
#include "sim/pusher.h"

namespace {

// Exact straight-line motion at the particle's speed.
void straightpusher(Particle* p, double, double dt) {
  double ig = invgamma_from_Vxyz(p->Vx, p->Vy, p->Vz);
  p->x += dt * p->Vx * ig;
  p->y += dt * p->Vy * ig;
  p->z += dt * p->Vz * ig;
  p->propertime += dt * ig;
}

// Exact helix in a uniform field along z with a fixed angular frequency (rad/s of lab time):
// dv/dt = omega (vy, -vx, 0).
constexpr double OMEGA = 2.0e10;
Particle helix(Particle p, double dt) {
  double ig = invgamma_from_Vxyz(p.Vx, p.Vy, p.Vz);
  double vx = p.Vx * ig, vy = p.Vy * ig, vz = p.Vz * ig;
  double c = std::cos(OMEGA * dt), s = std::sin(OMEGA * dt);
  p.x += (vx * s + vy * (1.0 - c)) / OMEGA;
  p.y += (vy * s - vx * (1.0 - c)) / OMEGA;
  p.z += vz * dt;
  double Vx = p.Vx * c + p.Vy * s, Vy = p.Vy * c - p.Vx * s;
  p.Vx = Vx;
  p.Vy = Vy;
  p.propertime += dt * ig;
  return p;
}
void helixpusher(Particle* p, double, double dt) { *p = helix(*p, dt); }

// Every call of the pusher: start time, duration, and the particle it produced.
struct Call {
  double t, dt;
  Particle after;
};
std::vector<Call> calls;
PusherFn inner = straightpusher;
void recordingpusher(Particle* p, double t, double dt) {
  inner(p, t, dt);
  calls.push_back(Call{t, dt, *p});
}

class CrossingSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = advanceparticle;
    advanceparticle = straightpusher;
    scatteringsuppressed = false;
    calls.clear();
  }
  void TearDown() override {
    advanceparticle = saved;
    scatteringsuppressed = false;
  }
  PusherFn saved = nullptr;
};

Particle particleat(V3 r, V3 V) {
  Particle p = Particle_new(MuPlus);
  p.x = r.x, p.y = r.y, p.z = r.z;
  p.Vx = V.x, p.Vy = V.y, p.Vz = V.z;
  p.seed = 12345;
  return p;
}

bool samestate(const Particle& a, const Particle& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.Vx == b.Vx && a.Vy == b.Vy &&
         a.Vz == b.Vz && a.propertime == b.propertime;
}

double ulp(double t) { return std::nextafter(std::fabs(t), INFINITY) - std::fabs(t); }

TEST_F(CrossingSearch, StraightTrackCrossesPlaneWithinUlps) {
  unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n = 0; n < 200; n++) {
    SCOPED_TRACE("case " + std::to_string(n));
    V3 normal = V3_normalise(V3{u(rng), u(rng), u(rng)});
    lineariso_coeffs plane{1e-3 * u(rng), normal.x, normal.y, normal.z};
    double ta = 1e-9 * (1.0 + 0.5 * u(rng)), dt = 1e-11;
    // Velocity with a definite component across the plane, either way.
    V3 V = V3{u(rng), u(rng), u(rng)} * 1e8;
    double across = 5e7 * (1.0 + std::fabs(u(rng)));
    double dir = u(rng) < 0 ? -1.0 : 1.0;
    V += (dir * across - V * normal) * normal;
    Particle pa = particleat(V3{0, 0, 0}, V);
    double vn = (V * normal) * invgamma_from_Vxyz(V.x, V.y, V.z);
    // Start somewhere before the plane so that the crossing falls inside the step.
    double frac = 0.05 + 0.9 * (0.5 + 0.5 * u(rng));
    double f0 = -vn * dt * frac;  // value at the start
    V3 shift = (f0 - lineariso(pa, &plane)) * normal;
    pa.x += shift.x, pa.y += shift.y, pa.z += shift.z;
    Particle pb = pa;
    straightpusher(&pb, ta, dt);
    long double tc = (long double)ta - (long double)lineariso(pa, &plane) / (long double)vn;

    Particle out;
    double tout;
    int r = scatterparticle_isocd(pa, pb, ta, ta + dt, lineariso, &plane, nullptr, &out, &tout);
    ASSERT_EQ(r, 1);
    // A few ulps of the step's times, plus the time the track needs to cross the rounding of
    // its coordinates (about 1e-3 m here, so far below an ulp of the time).
    double tolerance = 4 * ulp(ta + dt) + 8 * DBL_EPSILON * 2e-3 / std::fabs(vn);
    EXPECT_LE(std::fabs((long double)tout - tc), tolerance);
    // The reported particle is already on the far side.
    EXPECT_GT(dir * lineariso(out, &plane), 0);
    EXPECT_GT(tout, ta);
    EXPECT_LE(tout, ta + dt);
  }
}

TEST_F(CrossingSearch, BoreCrossingMatchesTheAnalyticRoot) {
  // From the axis outwards through a cylinder of radius 0.1 m: root of |r⊥(t)|² = r².
  boreiso_coeffs bore{0.01, -0.02, 0.3, 0, 0, 1, 0.01};
  Particle pa = particleat(V3{0.01 + 0.06, -0.02, 0.0}, V3{2e8, 1e8, 1e8});
  double ta = 2e-9, dt = 1e-9;
  Particle pb = pa;
  straightpusher(&pb, ta, dt);
  double ig = invgamma_from_Vxyz(pa.Vx, pa.Vy, pa.Vz);
  long double vx = pa.Vx * ig, vy = pa.Vy * ig, x0 = 0.06L, y0 = 0;
  long double a = vx * vx + vy * vy, b = 2 * (x0 * vx + y0 * vy), c = x0 * x0 - 0.01L;
  long double tc = ta + (-b + std::sqrt(b * b - 4 * a * c)) / (2 * a);
  Particle out;
  double tout;
  ASSERT_EQ(scatterparticle_isocd(pa, pb, ta, ta + dt, boreiso, &bore, nullptr, &out, &tout), 1);
  EXPECT_LE(std::fabs((long double)tout - tc), 8 * ulp(ta + dt));
  EXPECT_GT(boreiso(out, &bore), 0);
}

TEST_F(CrossingSearch, StepEndingExactlyOnTheSurfaceIsACrossing) {
  Particle pa = particleat(V3{0.1, 0.2, 0.3}, V3{1e7, -2e7, 2e8});
  double ta = 5e-9, tb = 5.01e-9;
  Particle pb = pa;
  straightpusher(&pb, ta, tb - ta);
  for (double sign : {1.0, -1.0}) {
    SCOPED_TRACE(sign);
    lineariso_coeffs plane{-sign * pb.z, 0, 0, sign};  // zero exactly at pb
    ASSERT_EQ(lineariso(pb, &plane), 0.0);
    Particle out;
    double tout;
    EXPECT_EQ(scatterparticle_isocd(pa, pb, ta, tb, lineariso, &plane, nullptr, &out, &tout), 1);
    EXPECT_EQ(tout, tb);
    EXPECT_TRUE(samestate(out, pb));
  }
}

TEST_F(CrossingSearch, StepStartingExactlyOnTheSurfaceIsNoCrossing) {
  double ta = 5e-9, tb = 5.01e-9;
  for (double vz : {2e8, -2e8}) {
    SCOPED_TRACE(vz);
    Particle pa = particleat(V3{0.1, 0.2, 0.3}, V3{1e7, -2e7, vz});
    Particle pb = pa;
    straightpusher(&pb, ta, tb - ta);
    lineariso_coeffs plane{-pa.z, 0, 0, 1};  // zero exactly at pa
    ASSERT_EQ(lineariso(pa, &plane), 0.0);
    Particle out = pa;
    double tout = 0;
    EXPECT_EQ(scatterparticle_isocd(pa, pb, ta, tb, lineariso, &plane, nullptr, &out, &tout), 0);
    EXPECT_EQ(tout, tb);
    EXPECT_TRUE(samestate(out, pb));
  }
}

TEST_F(CrossingSearch, NoSignChangeIsNoCrossing) {
  double ta = 1e-9, tb = 1.2e-9;
  // A chord through a sphere: in and out within the step, same sign at both ends.
  spheroidiso_coeffs ball{0.01, 0.01, 0.01, AffineFrame_identity()};
  Particle pa = particleat(V3{0.001, 0.0, -0.03}, V3{0, 0, 3e8});
  Particle pb = pa;
  straightpusher(&pb, ta, tb - ta);
  ASSERT_GT(spheroidiso(pa, &ball), 0);
  ASSERT_GT(spheroidiso(pb, &ball), 0);
  Particle out;
  double tout;
  calls.clear();
  advanceparticle = recordingpusher;
  inner = straightpusher;
  EXPECT_EQ(scatterparticle_isocd(pa, pb, ta, tb, spheroidiso, &ball, nullptr, &out, &tout), 0);
  EXPECT_TRUE(samestate(out, pb));
  EXPECT_EQ(tout, tb);
  EXPECT_TRUE(calls.empty());
}

// A plane tilted against the helix of pa, through the point it reaches after `dt`.
lineariso_coeffs tiltedplane(const Particle& pa, double dt) {
  const V3 n = V3_normalise(V3{1, 0.3, 0.1});
  const Particle mid = helix(pa, dt);
  return lineariso_coeffs{-(n * V3{mid.x, mid.y, mid.z}), n.x, n.y, n.z};
}

TEST_F(CrossingSearch, CurvedCrossingLiesOnTheFullStepTrajectory) {
  advanceparticle = helixpusher;
  double ta = 3e-9, dt = 1e-10;  // a quarter of a turn or so
  Particle pa = particleat(V3{0.02, -0.01, 0.5}, V3{2.5e8, 0.5e8, 1e8});
  Particle pb = helix(pa, dt);
  // A plane tilted against the curve, crossed part-way through the step.
  lineariso_coeffs plane = tiltedplane(pa, 0.37 * dt);
  ASSERT_LT(lineariso(pa, &plane) * lineariso(pb, &plane), 0);
  Particle out;
  double tout;
  ASSERT_EQ(scatterparticle_isocd(pa, pb, ta, ta + dt, lineariso, &plane, nullptr, &out, &tout),
            1);
  Particle onpath = helix(pa, tout - ta);
  EXPECT_NEAR(out.x, onpath.x, 1e-15);
  EXPECT_NEAR(out.y, onpath.y, 1e-15);
  EXPECT_NEAR(out.z, onpath.z, 1e-15);
  EXPECT_NEAR(out.Vx, onpath.Vx, 1e-6);
  EXPECT_NEAR(out.Vy, onpath.Vy, 1e-6);
  EXPECT_NEAR(std::fabs(lineariso(out, &plane)), 0.0, 1e-15);
  EXPECT_GT(lineariso(out, &plane) * lineariso(pb, &plane), 0);  // far side
}

TEST_F(CrossingSearch, TrialsAdvanceFromTheBracketsLowerEnd) {
  advanceparticle = recordingpusher;
  inner = helixpusher;
  double ta = 3e-9, dt = 1e-10;
  Particle pa = particleat(V3{0.02, -0.01, 0.5}, V3{2.5e8, 0.5e8, 1e8});
  Particle pb = helix(pa, dt);
  lineariso_coeffs plane = tiltedplane(pa, 0.23 * dt);
  ASSERT_LT(lineariso(pa, &plane) * lineariso(pb, &plane), 0);
  double s = lineariso(pb, &plane) > 0 ? 1.0 : -1.0;
  Particle out;
  double tout;
  ASSERT_EQ(scatterparticle_isocd(pa, pb, ta, ta + dt, lineariso, &plane, nullptr, &out, &tout),
            1);
  ASSERT_FALSE(calls.empty());
  EXPECT_LE(calls.size(), 3u * 199u);
  // Each trial starts at the step's start or at an earlier trial that stayed on the near side,
  // never goes backwards in time, and once the bracket has moved no trial starts at ta again.
  std::vector<double> nearside{ta};
  double laststart = ta;
  bool moved = false;
  for (const Call& c : calls) {
    EXPECT_GT(c.dt, 0);
    EXPECT_GE(c.t, laststart);
    bool known = false;
    for (double t : nearside) known |= t == c.t;
    EXPECT_TRUE(known) << "trial started at " << c.t;
    if (moved) {
      EXPECT_GT(c.t, ta);
    }
    if (c.t > ta) moved = true;
    laststart = c.t;
    if (s * lineariso(c.after, &plane) <= 0) nearside.push_back(c.t + c.dt);
  }
  EXPECT_TRUE(moved);
}

// A surface that jumps from -1 to +1 at x = 1e-200 m: every secant point is a midpoint and
// every overshoot leaves the bracket, so 199 iterations halve the bracket only 398 times, far
// too few to narrow (0, 1 s) down to the crossing near 1e-200 s.
double stepsurface(Particle p, const void*) { return p.x < 1e-200 ? -1.0 : 1.0; }

TEST_F(CrossingSearch, ExhaustedSearchReportsTheBestUpperBracket) {
  Particle pa = particleat(V3{0, 0, 0}, V3{1, 0, 0});  // 1 m/s along x
  Particle pb = pa;
  straightpusher(&pb, 0, 1);
  Particle out;
  double tout;
  EXPECT_EQ(scatterparticle_isocd(pa, pb, 0.0, 1.0, stepsurface, nullptr, nullptr, &out, &tout),
            -1);
  EXPECT_EQ(stepsurface(out, nullptr), 1.0);
  EXPECT_GT(tout, 1e-200);
  EXPECT_LT(tout, 1e-100);
  EXPECT_DOUBLE_EQ(out.x, tout);
}

TEST_F(CrossingSearch, MaterialTrialsGoThroughTheTransport) {
  // A material with the same total mean loss in every layer: with scattering suppressed the
  // crossing particle has lost exactly that loss times the path to the surface.
  ScatterData m;
  m.n = 3;
  m.p = {50, 150, 400};
  for (int i = 0; i < 3; i++) {
    ScatterLayer L{};
    L.meanloss = 40.0;
    L.totalloss = 40.0;
    m.layer.push_back(L);
  }
  scatteringsuppressed = true;
  double mass = speciesmass[MuPlus];
  double p0 = 200.0;
  Particle pa = particleat(V3{0, 0, 0}, V3{0, 0, p0 * KGMS_PER_MEVC / mass});
  double ta = 0, dt = 1e-9;
  Particle pb = pa;
  scatterparticle(&pb, ta, dt, &m);
  lineariso_coeffs plane{-0.1, 0, 0, 1};  // z = 0.1 m
  Particle out;
  double tout;
  ASSERT_EQ(scatterparticle_isocd(pa, pb, ta, ta + dt, lineariso, &plane, &m, &out, &tout), 1);
  double pout = out.Vz * mass * MEVC_PER_KGMS;
  EXPECT_NEAR(p0 - pout, 40.0 * 0.1, 40.0 * 0.1 * 1e-3);
  EXPECT_LT(pout, p0);
}

// ---- surface functions ----

AffineFrame someframe(double a, double b, double c, V3 origin) {
  return AffineFrame{origin, M3x3_Rz(a) * M3x3_Ry(b) * M3x3_Rx(c)};
}

TEST(SurfaceFunctions, ValuesAtKnownPoints) {
  lineariso_coeffs plane{-1.0, 1.0 / 3, 2.0 / 3, 2.0 / 3};
  boreiso_coeffs bore{1, 2, 3, 0, 0, 1, 4};
  AffineFrame f = someframe(0.3, -0.7, 1.1, V3{0.5, -0.25, 2});
  cylinderiso_coeffs cyl{0.2, 0.1, f};
  spheroidiso_coeffs sph{0.2, 0.1, 0.4, f};
  toroidiso_coeffs tor{2.0, 3.0, 0.5, 0.5, AffineFrame_identity()};
  auto at = [](AffineFrame fr, V3 local) {
    affine(fr, &local);
    return local;
  };
  struct Case {
    const char* name;
    double value, want, tolerance;
  };
  V3 c1 = at(f, V3{0.2 * std::cos(0.4), 0.1 * std::sin(0.4), 7.0});
  V3 c2 = at(f, V3{0, 0, -3.0});
  V3 s1 = at(f, V3{0.2 * 0.6, 0.0, 0.4 * 0.8});
  V3 s2 = at(f, V3{0.1, 0.05, 0.2});
  const Case cases[] = {
      {"plane through (3,0,0)", linearisoxyz(3, 0, 0, &plane), 0.0, 1e-15},
      {"plane signed distance", linearisoxyz(1, 2, 2, &plane), 2.0, 1e-15},
      {"plane behind", linearisoxyz(0, 0, 0, &plane), -1.0, 0},
      {"bore on axis", boreisoxyz(1, 2, 100, &bore), -4.0, 0},
      {"bore 3 m off axis", boreisoxyz(1, 5, -7, &bore), 5.0, 0},
      {"cylinder rim", cylinderisoxyz(c1.x, c1.y, c1.z, &cyl), 0.0, 1e-13},
      {"cylinder axis", cylinderisoxyz(c2.x, c2.y, c2.z, &cyl), -1.0, 1e-13},
      {"spheroid surface", spheroidisoxyz(s1.x, s1.y, s1.z, &sph), 0.0, 1e-13},
      {"spheroid inside", spheroidisoxyz(s2.x, s2.y, s2.z, &sph), -0.25, 1e-13},
      // (2/2.5)² − 1 = −0.36 and (2/1.5)² − 1 = 7/9: the centre of the tube.
      {"torus tube centre", toroidisoxyz(2, 0, 0, &tor), -0.36 * 7.0 / 9.0, 1e-15},
      {"torus above the tube", toroidisoxyz(2, 0, 0.51, &tor), 1.0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(c.value, c.want, c.tolerance);
  }
  // The Particle forms are the same functions.
  Particle p = Particle_new(MuPlus);
  p.x = c1.x, p.y = c1.y, p.z = c1.z;
  EXPECT_EQ(cylinderiso(p, &cyl), cylinderisoxyz(c1.x, c1.y, c1.z, &cyl));
  EXPECT_EQ(spheroidiso(p, &sph), spheroidisoxyz(c1.x, c1.y, c1.z, &sph));
  EXPECT_EQ(toroidiso(p, &tor), toroidisoxyz(c1.x, c1.y, c1.z, &tor));
  EXPECT_EQ(lineariso(p, &plane), linearisoxyz(c1.x, c1.y, c1.z, &plane));
  EXPECT_EQ(boreiso(p, &bore), boreisoxyz(c1.x, c1.y, c1.z, &bore));
}

TEST(SurfaceFunctions, TorusIsNegativeOnlyInsideTheTube) {
  // Tube of half-width h = 0.5 at height 0, q = h·√(1 − (z/c)²) at height z.
  AffineFrame f = someframe(0.2, 0.4, -0.3, V3{1, 2, 3});
  toroidiso_coeffs tor{2.0, 3.0, 0.5, 0.5, f};
  struct Case {
    double u1, u2, u3;
    bool inside;
  };
  const Case cases[] = {
      {2.45, 0, 0, true},  {2.55, 0, 0, false}, {1.55, 0, 0, true},  {1.45, 0, 0, false},
      {0, 3.45, 0, true},  {0, 3.55, 0, false}, {0, -2.55, 0, true}, {0, -2.45, 0, false},
      {2.35, 0, 0.3, true}, {2.45, 0, 0.3, false},  // q = 0.4 at z = 0.3
      {0, 0, 0, false},    {2, 0, 0.49, true},  {2, 0, 0.51, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.u1 << "," << c.u2 << "," << c.u3);
    V3 g{c.u1, c.u2, c.u3};
    affine(f, &g);
    EXPECT_EQ(toroidisoxyz(g.x, g.y, g.z, &tor) < 0, c.inside);
  }
}

TEST(SurfaceFunctions, AffineFormsAgreeWithTheLocalForms) {
  unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n = 0; n < 100; n++) {
    AffineFrame f = someframe(3 * u(rng), 3 * u(rng), 3 * u(rng), V3{u(rng), u(rng), 5 * u(rng)});
    V3 nl = V3_normalise(V3{u(rng), u(rng), u(rng)});
    lineariso_coeffs local{u(rng), nl.x, nl.y, nl.z};
    V3 al = V3_normalise(V3{u(rng), u(rng), u(rng)});
    boreiso_coeffs bl{u(rng), u(rng), u(rng), al.x, al.y, al.z, 0.01};
    V3 pl{u(rng), u(rng), u(rng)};
    V3 pg = pl;
    affine(f, &pg);
    lineariso_coeffs global = lineariso_affine(local, f);
    EXPECT_NEAR(linearisoxyz(pg.x, pg.y, pg.z, &global), linearisoxyz(pl.x, pl.y, pl.z, &local),
                1e-13);
    boreiso_coeffs bg = boreiso_affine(bl, f);
    EXPECT_NEAR(boreisoxyz(pg.x, pg.y, pg.z, &bg), boreisoxyz(pl.x, pl.y, pl.z, &bl), 1e-13);
    EXPECT_NEAR(bg.ax * bg.ax + bg.ay * bg.ay + bg.az * bg.az, 1.0, 1e-14);
    EXPECT_EQ(bg.r2, 0.01);
    // The beam-axis plane: the value is the local third coordinate.
    lineariso_coeffs z = lineariso_unaffineZ(f);
    EXPECT_NEAR(linearisoxyz(pg.x, pg.y, pg.z, &z), pl.z, 1e-13);
  }
}

}  // namespace
