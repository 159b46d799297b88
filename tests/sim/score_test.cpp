#include "sim/score.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "lattice/cell.h"
#include "base/report.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

using Captured = testsupport::AllMessages;

// A straight machine of `n` drifts of 1 m along z, the last one a "Finish-aperture", with an
// empty beam whose particles the tests add.
struct ScoreFixture : ::testing::Test {
  Simulation sim{};
  void SetUp() override {
    build(10);
  }
  void build(int n) {
    Cell* m = Cell_new(Composite, "machine");
    for (int i = 0; i < n; i++) {
      Cell* c = testsupport::cellof(("C" + std::to_string(i)).c_str(),
                                    i == n - 1 ? "Finish-aperture" : "Drift", 1.0);
      c->length = 1.0;
      c->s = i;
      c->entrance = AffineFrame_identity();
      c->entrance.origin.z = i;
      c->axis = c->entrance;
      Cell_add(m, c, -1);
    }
    sim.lattice = m;
  }
  void TearDown() override { Simulation_free(&sim); }
  Particle* add(ParticleSpecies s, ParticleState st, double w, double z = 9.5) {
    Particle* p = Beam_addparticle(&sim.beam, s, nullptr);
    p->state = st;
    p->weight = w;
    p->z = z;
    p->Vz = 1e8;
    p->beamline = sim.lattice;
    p->segment = std::min(9, (int)std::floor(z));
    return p;
  }
  // Compacts as the stepping does, so that non-active particles are in the dead section.
  void settle() { Beam_sortdeadparticles(&sim.beam); }
  Cell* finish() { return sim.lattice->children[sim.lattice->n - 1]; }
};

using Score = ScoreFixture;

TEST_F(Score, ThirtyPercentFinishingMuonsScoreThirty) {
  for (int i = 0; i < 10; i++)
    add(i < 2 ? MuPlus : i < 3 ? MuMinus : PiPlus, i < 6 ? Finished : Stopped, 0.1);
  settle();
  EXPECT_NEAR(Simulation_score(&sim), 30.0, 1e-9);  // finished pions do not count
}

TEST_F(Score, DistanceRampWhenNoMuonFinishes) {
  // Muons of weight 0.0004 at s = 8.5 and 6.5 (furthest first), and more further back; the
  // furthest 0.001 of weight: 0.0004 at 8.5, 0.0004 at 6.5, then 0.0004 at 2.5 (stops there).
  add(MuPlus, Stopped, 0.0004, 8.5);
  add(MuMinus, Active, 0.0004, 6.5);
  add(MuPlus, Active, 0.0004, 2.5);
  add(MuPlus, Active, 0.5, 1.5);
  add(PiPlus, Active, 0.4984, 9.9);  // pions never count
  settle();
  double expected = -2 + (8.5 + 6.5 + 2.5) * 0.0004 / (10 * 0.0012);
  EXPECT_NEAR(Simulation_score(&sim), expected, 1e-12);
  EXPECT_GE(expected, -2);
  EXPECT_LE(expected, -1);
}

TEST_F(Score, DistanceRampWithoutMuonsOrMachineIsMinusTwo) {
  add(PiPlus, Active, 1.0, 5);
  EXPECT_EQ(Simulation_scorerampdistance(&sim, 0.001, false), -2);
  EXPECT_NEAR(Simulation_scorerampdistance(&sim, 0.001, true), -2 + 0.5, 1e-12);
  Cell_freeref(sim.lattice, 0);
  sim.lattice = Cell_new(Composite, "empty");
  Beam_setbeamline(&sim.beam, sim.lattice);
  EXPECT_EQ(Simulation_scorerampdistance(&sim, 0.001, true), -2);
}

TEST_F(Score, EnergyRampFromTheStoredRatios) {
  struct Case {
    double a, b, expected;
  } cases[] = {{0.9, 0, -0.1}, {0, 1.25, -0.2}, {0.5, 2.0, -0.5}, {1.2, 0.8, 0.0}, {0, 0, 0.0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.a << " " << k.b);
    Beam_free(&sim.beam);
    Particle* p = add(MuPlus, WrongEnergy, 0.002);
    p->nextdecay = k.a;
    p->tstart = k.b;
    add(PiPlus, Stopped, 0.998);
    EXPECT_NEAR(Simulation_scorerampenergy(&sim), k.expected, 1e-12);
    EXPECT_NEAR(Simulation_score(&sim), k.expected, 1e-12);  // Wwe >= 0.001: R1 = E
  }
  Beam_free(&sim.beam);
  EXPECT_EQ(Simulation_scorerampenergy(&sim), -1);
}

TEST_F(Score, BlendsAreContinuousAtBothEnds) {
  // Finished muon weight W swept across 0.0005 … 0.001 with a fixed WrongEnergy part.
  auto scoreat = [&](double W) {
    Beam_free(&sim.beam);
    add(MuPlus, Finished, W, 9.9);
    Particle* p = add(MuMinus, WrongEnergy, 0.0007, 9.9);
    p->nextdecay = 0.8;
    add(MuPlus, Stopped, 0.01, 3.5);
    add(PiPlus, Stopped, 1 - W - 0.0107, 1.0);
    settle();
    return Simulation_score(&sim);
  };
  double eps = 1e-12;
  EXPECT_NEAR(scoreat(0.0005 - eps), scoreat(0.0005 + eps), 1e-6);
  EXPECT_NEAR(scoreat(0.001 - eps), scoreat(0.001 + eps), 1e-6);
  EXPECT_NEAR(scoreat(0.001), 0.1, 1e-12);
  double low = scoreat(0.0005 - eps);
  double mid = scoreat(0.0008);
  EXPECT_GT(mid, low);
  EXPECT_LT(mid, 0.1);
  // R1 itself blends E and D by the WrongEnergy weight: in [-2, 0] and continuous.
  auto r1at = [&](double wwe) {
    Beam_free(&sim.beam);
    Particle* p = add(MuMinus, WrongEnergy, wwe, 9.9);
    p->nextdecay = 0.8;
    add(MuPlus, Stopped, 0.01, 3.5);
    add(PiPlus, Stopped, 1 - wwe - 0.01, 1.0);
    settle();
    return Simulation_scoreramp1(&sim);
  };
  EXPECT_NEAR(r1at(0.0005 - eps), r1at(0.0005 + eps), 1e-6);
  EXPECT_NEAR(r1at(0.001 - eps), r1at(0.001 + eps), 1e-6);
  EXPECT_NEAR(r1at(0.002), -0.2, 1e-12);
  for (double w : {0.0001, 0.0006, 0.0009}) {
    double r = r1at(w);
    EXPECT_GE(r, -2);
    EXPECT_LE(r, 0);
  }
}

TEST_F(Score, StraightnessFigure) {
  sim.FOM = strdup("straightness");
  // Slopes +0.01 and -0.01: RMS 0.01, every particle finished: 100.
  add(MuPlus, Finished, 0.5)->Vx = 1e6;
  add(MuPlus, Finished, 0.5)->Vx = -1e6;
  {
    Captured cap;
    EXPECT_NEAR(Simulation_score(&sim), 100, 1e-9);
    EXPECT_TRUE(cap.has("Special figure of merit: \"straightness\""));
    EXPECT_TRUE(cap.has("Finished particle weight = 1 (100%)"));
    EXPECT_TRUE(cap.has("RMS(x') of finished particles = 0.01"));
  }
  add(PiPlus, Stopped, 1.0);
  Captured cap;
  EXPECT_NEAR(Simulation_score(&sim), 0.5, 1e-12);
  // Without a finishing line the slopes are measured at the machine's end.
  Cell_settypename(finish(), "Drift");
  EXPECT_NEAR(Simulation_score(&sim), 0.5, 1e-12);
}

TEST_F(Score, UnknownFigureScores123) {
  sim.FOM = strdup("Luminosity");
  add(MuPlus, Finished, 1.0);
  Captured cap;
  EXPECT_EQ(Simulation_score(&sim), 123.0);
  EXPECT_TRUE(cap.has("[WARNING] Figure of merit unknown"));
}

TEST_F(Score, OnAxisFigure) {
  Cell_setstringattrib(finish(), "FOM", "OnAxis");
  Cell_setattrib(finish(), "OnAxisBeta", 2.0);
  Particle* a = add(MuPlus, Finished, 0.5);
  add(MuPlus, Finished, 0.5);
  EXPECT_NEAR(Simulation_score(&sim), 100, 1e-12);  // exactly on axis
  a->x = 0.003;
  a->Vy = 0.002 * a->Vz;  // amplitude sqrt(0.003² + (2·0.002)²) = 0.005
  EXPECT_NEAR(Simulation_score(&sim), 100 * (1 - 0.005), 1e-9);
  a->segment = -1;  // no segment: offsets from the finishing line's axis, the same here
  EXPECT_NEAR(Simulation_score(&sim), 100 * (1 - 0.005), 1e-9);
  a->x = 2;  // amplitude beyond 1: never below 0
  EXPECT_EQ(Simulation_score(&sim), 0);
  // One particle not finished: the distance ramp over all species, weight limit 1.
  Beam_free(&sim.beam);
  add(MuPlus, Finished, 0.5, 9.5);
  add(PiPlus, Stopped, 0.5, 3.5);
  EXPECT_NEAR(Simulation_score(&sim), -2 + (9.5 + 3.5) / 2 / 10, 1e-12);
}

}  // namespace
