// Tests of the designer's plots: round-number axes, the data-to-pixel mapping of the SVG
// charts, the crossing estimator of the run record on a beam with an exact answer, and the
// optimiser-progress data read from result records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "base/lset.h"
#include "display/plotreport.h"
#include "display/runrecord.h"
#include "display/svgplot.h"
#include "lattice/cell.h"
#include "results/results.h"
#include "sim/simulation.h"
#include "sim/species.h"

TEST(PlotAxis, TicksAreRoundStepsCoveringTheRange) {
  struct Case {
    double lo, hi;
    int most;
    double step, alo, ahi;
  };
  const Case cases[] = {
      {0, 10, 7, 2, 0, 10},      {0, 1, 5, 0.2, 0, 1},        {0.13, 0.87, 4, 0.2, 0, 1},
      {-3.2, 41, 5, 10, -10, 50}, {75.05, 76.95, 7, 0.5, 75, 77}, {0, 21.4, 7, 5, 0, 25},
      {5, 5, 5, 0.2, 4.4, 5.6},  {0, 0, 4, 0.5, -1, 1},        {1e-9, 3e-9, 4, 5e-10, 1e-9, 3e-9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lo) + " .. " + std::to_string(c.hi));
    Axis a = niceaxis(c.lo, c.hi, c.most);
    EXPECT_NEAR(a.step, c.step, c.step * 1e-12);
    EXPECT_NEAR(a.lo, c.alo, c.step * 1e-9);
    EXPECT_NEAR(a.hi, c.ahi, c.step * 1e-9);
    ASSERT_FALSE(a.ticks.empty());
    EXPECT_NEAR(a.ticks.front(), a.lo, c.step * 1e-9);
    EXPECT_NEAR(a.ticks.back(), a.hi, c.step * 1e-9);
    EXPECT_LE((int)a.ticks.size() - 1, c.most + 2);  // widening adds at most one step per end
  }
  const struct {
    double value, step;
    const char* label;
  } labels[] = {{0.6000000000000001, 0.2, "0.6"}, {-0.0, 0.2, "0"}, {20, 10, "20"},
                {2.5e-7, 1e-7, "2.5e-07"}};
  for (const auto& l : labels) EXPECT_EQ(ticklabel(l.value, l.step), l.label);
}

TEST(PlotSvg, PointsLandWhereTheAxesPutThemAndTextIsEscaped) {
  Plot p;
  p.title = "a<b & \"c\"";
  PlotSeries s;
  s.style = PlotSeries::Points;
  s.colour = "red";
  s.x = {0, 10, NAN, 5};
  s.y = {0, 100, 3, INFINITY};
  p.series.push_back(s);
  std::string svg = svg_plot(p);
  // 640 × 360 with margins 64/16 and 28/44: x 0 … 10 → 64 … 624, y 0 … 100 → 316 … 28.
  std::regex circle("<circle cx=\"([0-9.]+)\" cy=\"([0-9.]+)\"");
  std::vector<std::pair<std::string, std::string>> got;
  for (std::sregex_iterator i(svg.begin(), svg.end(), circle), e; i != e; ++i)
    got.emplace_back((*i)[1], (*i)[2]);
  ASSERT_EQ(got.size(), 2u);  // the non-finite pairs are left out
  EXPECT_EQ(got[0], std::make_pair(std::string("64.0"), std::string("316.0")));
  EXPECT_EQ(got[1], std::make_pair(std::string("624.0"), std::string("28.0")));
  EXPECT_NE(svg.find("a&lt;b &amp; &quot;c&quot;"), std::string::npos);
  EXPECT_EQ(svg.find("a<b"), std::string::npos);
}

namespace {
// A straight 2 m machine of one drift, beam line of the particles.
Cell* drift2m() {
  Cell* m = Cell_new(Composite, "line");
  Cell* d = Cell_new(Component, "D");
  Cell_settypename(d, "Drift");
  Cell_setattrib(d, "length", 2.0);
  Cell_setattrib(d, "Bore", 0.1);
  d->entrance = AffineFrame_identity();
  d->axis = d->entrance;
  d->s = 0;
  Cell_add(m, d, -1);
  return m;
}
}  // namespace

TEST(PlotRunRecord, CrossingsAndSizesOfAUniformBeamAreExact) {
  Simulation sim;
  sim.lattice = drift2m();
  sim.beam = Beam_new();
  sim.dt = 0.5e-9;
  // Every particle moves 0.0625 m per step; samples every 2 steps fall 4 times in each 0.5 m
  // slice (at 0.03125, 0.15625, ... m), so the estimate is exact: each slice is crossed by the
  // whole weight.
  const double v = 0.0625 / sim.dt;
  const double V = v / std::sqrt(1 - v * v / (299792458.0 * 299792458.0));
  struct Start {
    ParticleSpecies sp;
    double w, x, y, z, Vz, tstart;
  };
  const Start starts[] = {
      {MuPlus, 0.25, 0.01, 0.02, -0.09375, V, 0},   {MuMinus, 0.25, -0.01, -0.02, -0.09375, V, 0},
      {PiPlus, 0.5, 0, 0, -0.09375, V, 0},
      {PiMinus, 0.5, 0.05, 0.05, -0.09375, V, 1},  // released after the run: never counted
  };
  for (const Start& s : starts) {
    Particle* p = Beam_addparticle(&sim.beam, s.sp, nullptr);
    p->weight = s.w, p->x = s.x, p->y = s.y, p->z = s.z, p->Vz = s.Vz, p->tstart = s.tstart;
    p->beamline = sim.lattice;
    p->segment = 0;
  }
  RunRecord r;
  RunRecord_begin(&r, &sim, 4, 2);
  EXPECT_DOUBLE_EQ(r.initialweight, 1.5);
  ASSERT_EQ(r.parts.size(), 1u);
  EXPECT_EQ(r.parts[0].radius, 0.1);
  for (int step = 0; step < 40; step++) {
    for (int i = 0; i < sim.beam.m; i++) sim.beam.particles[i].z += v * sim.dt;
    sim.t += sim.dt;
    RunRecord_sample(&r, &sim);
  }
  EXPECT_EQ(r.samples, 20);
  for (int b = 0; b < 4; b++) {
    SCOPED_TRACE(b);
    EXPECT_NEAR(r.flux[FluxAll][b], 1.0, 1e-6);
    EXPECT_NEAR(r.flux[FluxMuons][b], 0.5, 1e-6);
    EXPECT_NEAR(r.flux[FluxPions][b], 0.5, 1e-6);
    EXPECT_NEAR(RunRecord_rms(r, 0, b), std::sqrt(0.5e-4), 1e-9);
    EXPECT_NEAR(RunRecord_rms(r, 1, b), std::sqrt(2e-4), 1e-9);
  }
  // A particle going backwards takes its weight off.
  sim.beam.particles[2].Vz = -V;
  sim.beam.particles[2].z = 1.03125;  // four samples in slice 1
  for (int i : {0, 1}) sim.beam.particles[i].z = 5;  // beyond the machine: not counted
  for (int step = 0; step < 8; step++) {
    sim.beam.particles[2].z -= v * sim.dt;
    sim.t += sim.dt;
    RunRecord_sample(&r, &sim);
  }
  EXPECT_NEAR(r.flux[FluxPions][1], 0.0, 1e-6);
  EXPECT_NEAR(r.flux[FluxPions][0], 0.5, 1e-6);
  Simulation_free(&sim);
}

TEST(PlotProgress, ResultsOfTheLatticeInFileOrderWithTheirTrialType) {
  struct Case {
    const char* genome;
    const char* line;
    double score;
  };
  const Case rows[] = {
      {"#gen=3;A=100;", "1.5 (2.0 Mpts) [v4.47_dev] <Chan>", 1.5},
      {"A=200;", "0.5 (2.0 Mpts) [v4.47_dev] <other>", 0.5},
      {"A=300;#GEN=12;", "2.5 (2.0 Mpts) [v4.47_dev] <chan>", 2.5},
      {"A=400;", "-1e300 (2.0 Mpts) [v4.47_dev] <chan>", -1e300},
      {"#gen=x;A=500;", "0.25 (2.0 Mpts) [v4.47_dev] <CHAN>", 0.25},
  };
  LSet set = LSet_new(sizeof(Result));
  for (const Case& c : rows) LSet_addv(&set, Result{strdup(c.genome), strdup(c.line), c.score});
  std::vector<ProgressPoint> v = progresspoints(set, "chan");
  ASSERT_EQ(v.size(), 3u);
  const ProgressPoint expected[] = {{1.5, 3}, {2.5, 12}, {0.25, -1}};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(v[i].score, expected[i].score);
    EXPECT_EQ(v[i].trialtype, expected[i].trialtype);
  }
  EXPECT_EQ(progresspoints(set, "").size(), 4u);
  // One legend entry per trial type present, with its count.
  std::string svg = plot_progress(v, "chan", "t");
  for (const char* label : {"Interpolate (1)", "CellCommute (1)", "untagged (1)", "best so far"})
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  EXPECT_EQ(svg.find("Random ("), std::string::npos);
  Results_free(set);
}
