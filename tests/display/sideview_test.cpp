// Tests of the terminal's side view: the braille dots and colours of a known machine and
// particle, and the view keys.
#include "display/sideview.h"

#include <gtest/gtest.h>

#include "lattice/cell.h"
#include "sim/simulation.h"
#include "sim/species.h"

TEST(SideView, BoreEdgesAndAParticleLandOnTheirBrailleDots) {
  Simulation sim;
  sim.lattice = Cell_new(Composite, "line");
  Cell* d = Cell_new(Component, "D");
  Cell_settypename(d, "Drift");
  Cell_setattrib(d, "length", 2.0);
  Cell_setattrib(d, "Bore", 0.1);
  d->entrance = d->axis = AffineFrame_identity();
  Cell_add(sim.lattice, d, -1);
  sim.beam = Beam_new();
  Particle* p = Beam_addparticle(&sim.beam, MuPlus, nullptr);
  p->z = 1.0, p->y = 0.05, p->beamline = sim.lattice, p->segment = 0;
  // 10 × 2 cells = 20 × 8 dots over s 0 … 2 m and ±0.105 m: the bore edges fall on dot rows
  // floor((0.5 ∓ 0.1/0.21)·8) = 0 and 7 (every other dot column), the muon on dot column 10,
  // row 4 (x projection).
  SideViewState v;
  std::vector<std::string> rows = sideview_rows(sim, v, 10, 2);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], "\x1b[0;90m⠁⠁⠁⠁⠁⠁⠁⠁⠁⠁\x1b[0m");
  EXPECT_EQ(rows[1], "\x1b[0;90m⡀⡀⡀⡀⡀\x1b[0;91m⡁\x1b[0;90m⡀⡀⡀⡀\x1b[0m");
  // The y projection puts the muon at +0.05 m: dot row floor((0.5 − 0.05/0.21)·8) = 2.
  v.axis = 1;
  rows = sideview_rows(sim, v, 10, 2);
  EXPECT_EQ(rows[0], "\x1b[0;90m⠁⠁⠁⠁⠁\x1b[0;91m⠅\x1b[0;90m⠁⠁⠁⠁\x1b[0m");
  Simulation_free(&sim);
}

TEST(SideView, KeysSwitchAxisZoomAndPause) {
  struct Step {
    int key;
    bool taken;
    int axis, zoom;
    bool paused;
  };
  const Step steps[] = {{'y', true, 1, 1, false},  {'+', true, 1, 2, false}, {'+', true, 1, 4, false},
                        {'-', true, 1, 2, false},  {' ', true, 1, 2, true},  {'x', true, 0, 2, true},
                        {'n', false, 0, 2, true},  {'-', true, 0, 1, true},  {'-', true, 0, 1, true}};
  SideViewState v;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.key);
    EXPECT_EQ(sideview_key(&v, s.key), s.taken);
    EXPECT_EQ(v.axis, s.axis);
    EXPECT_EQ(v.zoom, s.zoom);
    EXPECT_EQ(v.paused, s.paused);
  }
  for (int i = 0; i < 10; i++) sideview_key(&v, '+');
  EXPECT_EQ(v.zoom, 64);
}
