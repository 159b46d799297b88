// The bundled check lattices of the multipole and three-dimensional magnets, built and run as
// the program runs them, with the outcomes their descriptions promise.
#include <gtest/gtest.h>

#include <string>

#include "lattice/cell.h"
#include "sim/simulation.h"
#include "sim/stepping.h"
#include "tests/support/support.h"

namespace {

std::string bundled(const char* name) {
  return testsupport::readfile(std::string(ORDAX_SOURCE_DIR) + "/lattices/" + name + ".txt");
}

struct Outcome {
  double score;
  double lost;       // weight lost in the machine's cells
  double lostmagnet; // of which in cells whose type name contains `magnet`
};

// Runs the machine to its end time with `threads` stepping threads.
Outcome run(testsupport::Machine& m, const char* magnet, int threads = 1) {
  testsupport::Messages quiet;
  Simulation& sim = m.sim;
  sim.threads = threads;
  while (sim.t < sim.t_max && sim.beam.m > 0) Simulation_advance(&sim, 1, StepCollide, 1);
  Outcome o{Simulation_score(&sim), 0, 0};
  for (int i = 0; i < sim.lattice->n; i++) {
    const Cell* c = sim.lattice->children[i];
    o.lost += c->lostweight;
    if (c->type_name && std::string(c->type_name).find(magnet) != std::string::npos)
      o.lostmagnet += c->lostweight;
  }
  return o;
}

TEST(MagnetLatticesSlow, QuadrupoleLensFocusesOnePlaneOntoTheAperture) {
  testsupport::Machine m(bundled("_quadlens"), "-param:seedbase=3");
  ASSERT_TRUE(m.built());
  ASSERT_EQ(m.sim.beam.m, 3);
  const Outcome o = run(m, "Multipole");
  // The on-axis and the horizontal muon finish, the vertical one is stopped by the aperture.
  EXPECT_NEAR(o.score, 100.0 * 2 / 3, 1e-6);
  EXPECT_EQ(o.lostmagnet, 0);
}

TEST(MagnetLatticesSlow, FodoChannelKeepsTheBeamWithinItsStabilityLimit) {
  for (const char* g : {"0.5", "2"}) {
    SCOPED_TRACE(std::string("g = ") + g);
    const std::string params = std::string("-param:seedbase=5 -param:g=") + g;
    testsupport::Machine m(bundled("_focusing"), params.c_str());
    ASSERT_TRUE(m.built());
    const Outcome o = run(m, "Multipole");
    EXPECT_GT(o.score, 97.0);  // the rest decays
    EXPECT_LT(o.lostmagnet, 0.01);
  }
  testsupport::Machine m(bundled("_overfocusing"), "-param:seedbase=5");
  ASSERT_TRUE(m.built());
  const Outcome o = run(m, "Multipole");
  EXPECT_LT(o.score, 5.0);
  EXPECT_GT(o.lostmagnet, 0.5 * o.lost);  // most of it on the poles
}

TEST(MagnetLatticesSlow, SectorArcKeepsItsBeamWithAnyThreadCount) {
  double scores[2];
  for (int threads : {1, 2}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    testsupport::Machine m(bundled("_sector"), "-param:seedbase=9");
    ASSERT_TRUE(m.built());
    const Outcome o = run(m, "Magnet3", threads);
    EXPECT_GT(o.score, 99.0);  // the rest decays
    EXPECT_EQ(o.lostmagnet, 0);
    scores[threads - 1] = o.score;
  }
  EXPECT_EQ(scores[0], scores[1]);
}

}  // namespace
