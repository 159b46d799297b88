#include "sim/components/blockage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/report.h"
#include "lattice/cellclass.h"
#include "sim/components/registry.h"
#include "sim/material.h"
#include "sim/particle.h"
#include "sim/proximity.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/stepping.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

const double MeV = 1.602176462e-13;  // J

using Captured = testsupport::AllMessages;

using Num = testsupport::Attr;

// A frame turned by 30° about x, then 50° about y, with its origin off the axes.
AffineFrame turnedframe() {
  const double a = 30 * M_PI / 180, b = 50 * M_PI / 180;
  const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b);
  M3x3 rx{{{1, 0, 0}, {0, ca, -sa}, {0, sa, ca}}};
  M3x3 ry{{{cb, 0, sb}, {0, 1, 0}, {-sb, 0, cb}}};
  M3x3 m{};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)
      for (int k = 0; k < 3; k++) m.m[i][j] += ry.m[i][k] * rx.m[k][j];
  return AffineFrame{V3{0.3, -0.2, 1.1}, m};
}

struct BlockageCell : testsupport::Component {
  BlockageCell(const char* type, const std::vector<Num>& nums, AffineFrame f = turnedframe())
      : Component(type, nums, f, "B1") {
    EXPECT_EQ(constructed, 1);
  }
  const Blockage* rec() const { return record<Blockage>(); }
  bool inside(V3 local) const {
    affine(c->axis, &local);
    return Cell_inside(c, local.x, local.y, local.z, 0) != 0;
  }
};

Particle muon(V3 r, V3 pmev) {
  Particle p = testsupport::particleof(MuPlus, r, pmev);
  Particle_setseed(&p, 7, 1);
  return p;
}

double speedof(const Particle& p) {
  return std::sqrt(p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz) *
         invgamma_from_Vxyz(p.Vx, p.Vy, p.Vz);
}

TEST(Blockage, ShapesInsideAndOutsideInATurnedFrame) {
  struct Case {
    const char* type;
    std::vector<Num> nums;
    std::vector<V3> in, out;  // local points
  };
  const std::vector<Case> cases = {
      {"cuboid-blockage", {{"Xsize", 0.1}, {"Ysize", 0.2}, {"Zsize", 0.3}},
       {{0.05, 0.1, 0.15}, {0.099, 0.199, 0.299}, {0.001, 0.001, 0.001}},
       {{-0.001, 0.1, 0.15}, {0.05, 0.201, 0.15}, {0.05, 0.1, 0.301}}},
      // radius 0.1: a cube of side 0.2 with a corner at the origin
      {"Cuboid-blockage", {{"radius", 0.1}}, {{0.19, 0.19, 0.19}}, {{0.19, 0.19, 0.21}}},
      {"Cylinder-blockage", {{"Xsize", 0.1}, {"Ysize", 0.05}, {"Length", 0.2}},
       {{0.099, 0, 0.1}, {0, 0.049, 0.01}, {0.07, 0.035, 0.19}},
       {{0.101, 0, 0.1}, {0, 0.051, 0.1}, {0.075, 0.035, 0.1}, {0, 0, -0.001}, {0, 0, 0.201}}},
      {"Cylinder-blockage", {{"radius", 0.05}, {"Length", 0.2}},
       {{0.035, 0.035, 0.199}}, {{0.036, 0.036, 0.1}}},
      {"Spheroid-blockage", {{"Xsize", 0.1}, {"Ysize", 0.2}, {"Zsize", 0.3}},
       {{0.099, 0, 0}, {0, -0.199, 0}, {0, 0, -0.299}, {0.05, 0.1, 0.2}},
       {{0.101, 0, 0}, {0, 0, 0.301}, {0.06, 0.12, 0.18}}},
      {"Annulus-blockage", {{"OuterRadius", 0.1}, {"InnerRadius", 0.06}, {"Length", 0.2}},
       {{0.08, 0, 0.1}, {0, -0.099, 0.001}, {0.05, 0.05, 0.199}},
       {{0.05, 0, 0.1}, {0.101, 0, 0.1}, {0.08, 0, -0.001}, {0.08, 0, 0.201}}},
      {"Toroid-blockage", {{"MajorRadius", 0.5}, {"MinorRadius", 0.1}},
       {{0.5, 0, 0}, {0, -0.59, 0}, {0.41, 0, 0}, {0.5, 0, 0.099}, {0.3, 0.4, 0.05}},
       {{0.39, 0, 0}, {0.61, 0, 0}, {0.5, 0, 0.101}, {0, 0, 0}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.type);
    BlockageCell b(k.type, k.nums);
    for (const V3& u : k.in) EXPECT_TRUE(b.inside(u)) << u.x << " " << u.y << " " << u.z;
    for (const V3& u : k.out) EXPECT_FALSE(b.inside(u)) << u.x << " " << u.y << " " << u.z;
  }
}

TEST(Blockage, SizesThatMakeNoBodyGiveOneWarningAndNoShape) {
  struct Case {
    const char* type;
    std::vector<Num> nums;
  };
  const std::vector<Case> cases = {
      {"cuboid-blockage", {{"Xsize", 0.1}, {"Ysize", 0}, {"Zsize", 0.3}}},
      {"Cylinder-blockage", {{"radius", -0.05}, {"Length", 0.2}}},
      {"Cylinder-blockage", {{"radius", 0.05}}},  // no length
      {"Spheroid-blockage", {{"Xsize", 0.1}, {"Ysize", 0.1}, {"Zsize", -1}}},
      {"Annulus-blockage", {{"radius", 0.1}, {"InnerRadius", 0.1}, {"Length", 0.2}}},
      {"Toroid-blockage", {{"MajorRadius", 0.1}, {"MinorRadius", 0.1}}},
      {"Toroid-blockage", {{"MajorRadius", 0.1}, {"MinorRadius", 0.2}}},
      {"Toroid-blockage", {{"MajorRadius", 0.5}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.type);
    Captured log;
    BlockageCell b(k.type, k.nums);
    ASSERT_EQ(log.all.size(), 1u);
    EXPECT_EQ(log.all[0].rfind("[WARNING] Blockage 'B1' has no valid ", 0), 0u)
        << log.all[0];
    EXPECT_EQ(b.rec()->shape, BlockageNone);
    EXPECT_FALSE(b.inside({0, 0, 0.01}));
    Cell_bbreset(b.c);
    EXPECT_EQ(Cell_buildboundingbox(b.c), 1);
    EXPECT_GT(b.c->xmin, b.c->xmax);  // still empty
  }
  Captured log;
  BlockageCell unknown("Pyramid-blockage", {{"radius", 0.1}});
  EXPECT_TRUE(log.all.empty());
  EXPECT_EQ(unknown.rec()->shape, BlockageNone);
}

TEST(Blockage, StraightStepIsCutAtEntryAndExit) {
  // A cylinder of radius 5 cm from z = 0 to 0.2 m (identity frame), a muon along z.
  BlockageCell b("Cylinder-blockage", {{"radius", 0.05}, {"Length", 0.2}, {"AbsorptionLength", 1e9}},
                 AffineFrame_identity());
  for (double zend : {0.0, 0.2}) {
    SCOPED_TRACE(zend);
    Particle start = muon({0.01, 0, zend - 0.1}, {0, 0, 200}), end = start, out;
    const double v = speedof(start), dt = 0.25 / v;
    advanceparticle(&end, 0, dt);
    double tout;
    ASSERT_EQ(CDblockage(b.c->rtd, &start, &end, 0, dt, 0, nullptr, nullptr, &out, &tout), 1);
    EXPECT_NEAR(tout, 0.1 / v, 1e-15);
    EXPECT_NEAR(out.z, zend, 1e-9);
    EXPECT_EQ(out.state, Active);
  }
  // Passing beside the body: no cut, no draw.
  Particle start = muon({0.06, 0, -0.1}, {0, 0, 200}), end = start, out;
  advanceparticle(&end, 0, 1e-9);
  double tout;
  EXPECT_EQ(CDblockage(b.c->rtd, &start, &end, 0, 1e-9, 0, nullptr, nullptr, &out, &tout), 0);
  EXPECT_EQ(out.seq, start.seq);
}

// A 200 MeV/c mu+ beam along z through a cylinder one absorption length long, stepped by the
// ordinary time stepping with step dt. Returns the fraction stopped.
double absorbedfraction(double dt, int n) {
  Simulation_defaultdefault();
  Simulation sim = Simulation_default;
  sim.seed = 4321;
  sim.dt = dt;
  sim.global_bore = 0;
  sim.lattice = testsupport::compositeof(
      "line", {testsupport::cellof("before", "Drift", 0.2),
               testsupport::cellwith("absorber", "Cylinder-blockage",
                                     {{"radius", 0.3}, {"Length", 0.3}, {"AbsorptionLength", 0.3}}),
               testsupport::cellof("after", "Drift", 1.0)});
  {
    Captured quiet;
    Simulation_initmachine(&sim, AffineFrame_identity());
  }
  const double k = MeV / c_light / speciesmass[MuPlus];
  for (int i = 0; i < n; i++) {
    Particle* p = addparticlecon(&sim, MuPlus, i + 1, nullptr, 0);
    p->x = 0.2 * std::cos(i * 0.7) * (i % 7) / 7;
    p->y = 0.2 * std::sin(i * 0.7) * (i % 7) / 7;
    p->z = 0.05;
    p->Vz = 200 * k;
  }
  Beam_nearbythings(&sim.beam);
  const double v = 200 * k * invgamma_from_Vxyz(0, 0, 200 * k);
  const int steps = (int)std::ceil(0.6 / v / dt) + 2;
  for (int s = 0; s < steps; s++) Simulation_advance(&sim, 0, StepCollide, 1);
  int stopped = 0, beyond = 0;
  for (int i = 0; i < sim.beam.M; i++) {
    const Particle& p = sim.beam.particles[i];
    // Beyond the absorber a particle flies on, or ends where it leaves the machine.
    stopped += p.state == Stopped && p.z <= 0.5;
    beyond += p.z > 0.5;
  }
  EXPECT_EQ(stopped + beyond, n);
  Simulation_free(&sim);
  return (double)stopped / n;
}

TEST(Blockage, AbsorbedFractionIsOneMinusInverseEWhateverTheStep) {
  // Each step inside the body must draw afresh: a draw that is thrown away with an uneventful
  // step gives every later step the same number (and a few per cent absorbed instead of 63 %).
  for (double dt : {1e-11, 1e-10, 5e-10}) {
    SCOPED_TRACE(dt);
    EXPECT_NEAR(absorbedfraction(dt, 20000), 1 - std::exp(-1.0), 0.015);
  }
}

TEST(Blockage, ZeroAbsorptionLengthStopsOnTheFirstStepInside) {
  BlockageCell b("Cylinder-blockage", {{"radius", 0.05}, {"Length", 0.2}, {"AbsorptionLength", 0}},
                 AffineFrame_identity());
  Particle start = muon({0, 0, 0.1}, {0, 0, 200}), end = start, out;
  advanceparticle(&end, 0, 1e-11);
  double tout;
  ASSERT_EQ(CDblockage(b.c->rtd, &start, &end, 0, 1e-11, 0, nullptr, nullptr, &out, &tout), 1);
  EXPECT_EQ(out.state, Stopped);
  EXPECT_EQ(tout, 0);
}

// Steps q through the blockage in material m (where inside it) with steps of `dt`, each cut at
// the body's surfaces, until it is no longer active or has passed zend.
void transport(const BlockageCell& b, Particle& q, const ScatterData* material, double dt,
               double zend) {
  double t = 0;
  for (int s = 0; s < 100000 && q.state == Active && q.z < zend; s++) {
    Particle end = q, out;
    const ScatterData* m = inblockage(b.c->rtd, q.x, q.y, q.z, t) ? material : nullptr;
    scatterparticle(&end, t, dt, m);
    double tout;
    if (!CDblockage(b.c->rtd, &q, &end, t, t + dt, 0, m, nullptr, &out, &tout)) out = end;
    q = out;
    t = tout < t + dt ? tout : t + dt;
  }
}

TEST(Blockage, MomentumLossThroughASlabIsTheTablesMeanLoss) {
  Captured quiet;
  ScatterData al = loadelms2_from(ORDAX_SOURCE_DIR "/datafiles/", "mat_Al_%d.dat");
  ASSERT_GT(al.n, 2);
  const double thick = 0.002, p0 = 210;
  BlockageCell b("Cylinder-blockage",
                 {{"radius", 0.5}, {"Length", thick}, {"AbsorptionLength", 1e12}},
                 AffineFrame_identity());
  // The table's loss, interpolated linearly in momentum, integrated along the slab.
  auto loss = [&](double p) {
    int hi = 1;
    while (hi < al.n - 1 && al.p[hi] <= p) hi++;
    const double f = (p - al.p[hi - 1]) / (al.p[hi] - al.p[hi - 1]);
    return al.layer[hi - 1].totalloss + f * (al.layer[hi].totalloss - al.layer[hi - 1].totalloss);
  };
  double p = p0;
  const int nseg = 1000;
  for (int i = 0; i < nseg; i++) p -= loss(p) * thick / nseg;
  const double expected = p0 - p;

  scatteringsuppressed = true;
  const double k = MeV / c_light / speciesmass[MuPlus];
  double sum = 0;
  const int n = 4000;
  for (int i = 0; i < n; i++) {
    Particle q = muon({0, 0, -0.0103}, {0, 0, p0});
    Particle_setseed(&q, 99, i + 1);
    // Steps of 0.5 mm (the transport takes each step's loss rate from its start, so longer
    // steps would lose less); the material acts on steps starting inside.
    transport(b, q, &al, 0.0005 / speedof(q), 0.01);
    EXPECT_EQ(q.state, Active);
    EXPECT_EQ(q.x, 0);
    sum += p0 - q.Vz / k;
  }
  scatteringsuppressed = false;
  EXPECT_NEAR(sum / n / expected, 1.0, 1e-3) << expected;
}

TEST(Blockage, BoundingBoxHoldsTheTurnedBody) {
  BlockageCell b("Toroid-blockage", {{"MajorRadius", 0.5}, {"MinorRadius", 0.1}});
  Cell_bbreset(b.c);
  ASSERT_EQ(Cell_buildboundingbox(b.c), 1);
  for (double th = 0; th < 6.3; th += 0.1)
    for (double zr : {-0.1, 0.1}) {
      V3 u{0.6 * std::cos(th), 0.6 * std::sin(th), zr};
      affine(b.c->axis, &u);
      EXPECT_TRUE(u.x >= b.c->xmin && u.x <= b.c->xmax && u.y >= b.c->ymin && u.y <= b.c->ymax &&
                  u.z >= b.c->zmin && u.z <= b.c->zmax);
    }
}

TEST(Blockage, MuonRangeInThickLithiumHydrideIsTheBetheRange) {
  // 200 MeV/c mu+ stop (below the table's 20 MeV/c) inside a 1 m LiH cylinder after the mean
  // loss alone: the continuous-slowing-down range from the Bethe mean loss is 0.503 m.
  Captured quiet;
  ScatterData lih = loadelms2_from(ORDAX_SOURCE_DIR "/datafiles/", "mat_LiH_%d.dat");
  ASSERT_GT(lih.n, 2);
  BlockageCell b("Cylinder-blockage", {{"radius", 0.5}, {"Length", 1.0}, {"AbsorptionLength", 1e12}},
                 AffineFrame_identity());
  scatteringsuppressed = true;
  double sum = 0;
  const int n = 50;
  for (int i = 0; i < n; i++) {
    Particle q = muon({0, 0, -0.01}, {0, 0, 200});
    Particle_setseed(&q, 17, i + 1);
    transport(b, q, &lih, 0.002 / speedof(q), 1.0);
    EXPECT_EQ(q.state, ScatterSlow);
    sum += q.z;
  }
  scatteringsuppressed = false;
  EXPECT_NEAR(sum / n, 0.503, 0.02 * 0.503);
}

}  // namespace
