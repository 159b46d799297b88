// The auto-save file: a saved and restored run continues bit for bit like the run that was
// never stopped; damaged, truncated, foreign and unwritable files change nothing; the timed
// wrappers' texts.
#include "results/autosave.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "language/genome.h"
#include "lattice/cell.h"
#include "results/checkval.h"
#include "results/queue.h"
#include "results_testdir.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

using resultstest::readfile;
using resultstest::writefile;

const char* const VERSION = "v4.47_dev";

// Pions decaying along a row of short solenoids: decays, nearby lists that change along the
// way and ended particles all occur within the first few hundred steps.
const char* const LATTICE =
    "t_max=12ns\n"
    "seedbase=99\n"
    "{twiss-beam(B) species Energy(MeV) EnergySpread(MeV) TransEmitGeom(mm) betax(m) betay(m) "
    "population TimeSpread(ns)}\n"
    "B \"pi+\" 250 100 2 0.3 0.3 60 1\n"
    "{Solenoid(S) Radius(cm) Field(T) Length(cm)}\n"
    "S 6 2 10\n"
    "{Drift(D) Length(cm) Bore(cm)}\n"
    "D 20 6\n"
    "{Finish-aperture(F) radius(cm) minenergy(MeV) maxenergy(MeV)}\n"
    "F 5 140 180\n"
    "line: B,S,D,S,D,S,D,S,D,S,D,S,D,S,D,S,D,F;\n";

class Autosave : public resultstest::ResultsDir {
 protected:
  void SetUp() override {
    ResultsDir::SetUp();
    // Nearby lists refreshed every 100 steps: between refreshes a particle's list is well out
    // of date, and a restored run must keep it so.
    SimOptions options;
    options.refreshsteps = 100;
    Simulation_defaultdefault(options);
    lattice("run", LATTICE);
    q.queuefile = "queue.txt";
  }
  void TearDown() override {
    Simulation_free(&sim);
    Simulation_free(&back);
    QuarantineInfo_free(&q);
    Genome_free(genome);
    Simulation_defaultdefault();
    ResultsDir::TearDown();
  }
  // Builds the run and takes `steps` steps.
  void start(int steps) {
    sim = Simulation_new("run", &genome, "ordax");
    ASSERT_NE(sim.lattice, nullptr);
    for (int i = 0; i < steps; i++) Simulation_advance(&sim, 1, 1, 1);
  }
  Simulation sim{}, back{};
  Genome genome = Genome_new();
  QuarantineInfo q;
};

int childindex(const Cell* machine, const Cell* c) {
  for (int i = 0; i < machine->n; i++)
    if (machine->children[i] == c) return i;
  return c == machine ? -1 : -2;
}

// Every particle field equal (bit for bit), beam lines and nearby lists the same cells.
void expectsamebeam(const Simulation& a, const Simulation& b) {
  ASSERT_EQ(a.beam.m, b.beam.m);
  ASSERT_EQ(a.beam.M, b.beam.M);
  for (int32_t k = 0; k < a.beam.M; k++) {
    SCOPED_TRACE("particle " + std::to_string(k));
    const Particle& p = a.beam.particles[k];
    const Particle& r = b.beam.particles[k];
    const double pv[] = {p.weight, p.x, p.y, p.z, p.Vx, p.Vy, p.Vz, p.propertime, p.tstart,
                         p.nextdecay};
    const double rv[] = {r.weight, r.x, r.y, r.z, r.Vx, r.Vy, r.Vz, r.propertime, r.tstart,
                         r.nextdecay};
    EXPECT_EQ(std::memcmp(pv, rv, sizeof pv), 0);
    EXPECT_EQ(p.id, r.id);
    EXPECT_EQ(p.species, r.species);
    EXPECT_EQ(p.state, r.state);
    EXPECT_EQ(p.segment, r.segment);
    EXPECT_EQ(p.decaysleft, r.decaysleft);
    EXPECT_EQ(p.seed, r.seed);
    EXPECT_EQ(p.seq, r.seq);
    EXPECT_EQ(p.beamline == a.lattice, r.beamline == b.lattice);
    ASSERT_EQ(p.nnearby, r.nnearby);
    for (uint32_t i = 0; i < p.nnearby; i++)
      EXPECT_EQ(childindex(a.lattice, p.nearby[i]), childindex(b.lattice, r.nearby[i]));
  }
}

TEST_F(Autosave, RestoredRunContinuesExactlyLikeTheUninterruptedOne) {
  start(170);  // 70 steps since the nearby lists were made
  sim.FOM = strdup("Straightness");
  gassign(&genome, "gap", 412);
  q.active = 1;
  q.calc = 2.5;
  q.scores = static_cast<double*>(malloc(2 * sizeof(double)));
  q.scores[0] = 1.25;
  q.scores[1] = 1.5;
  q.count = 2;
  ASSERT_EQ(saveall("auto.sav", VERSION, &sim, nullptr, genome, &q, autosave_checksum), 1);
  EXPECT_FALSE(std::filesystem::exists("auto.sav.new"));
  EXPECT_EQ(verifyfile("auto.sav", autosave_checksum), 1);

  Genome g2 = Genome_none();
  QuarantineInfo q2;
  q2.queuefile = "queue.txt";
  ASSERT_EQ(loadall("auto.sav", VERSION, &back, nullptr, &g2, &q2, autosave_checksum), 1);
  EXPECT_TRUE(Genome_identical(genome, g2));
  EXPECT_EQ(q2.active, 1);
  ASSERT_EQ(q2.count, 2);
  EXPECT_EQ(q2.scores[1], 1.5);
  EXPECT_EQ(q2.calc, 2.5);
  EXPECT_STREQ(q2.queuefile, "queue.txt");
  ASSERT_NE(back.FOM, nullptr);
  EXPECT_STREQ(back.FOM, "Straightness");
  EXPECT_EQ(back.t, sim.t);
  EXPECT_EQ(back.steps, sim.steps);
  EXPECT_EQ(back.Mpts, sim.Mpts);
  EXPECT_EQ(back.seed, sim.seed);
  expectsamebeam(sim, back);

  // Both go on to the end; the restored run ends exactly where the other does.
  free(sim.FOM);
  sim.FOM = nullptr;
  free(back.FOM);
  back.FOM = nullptr;
  while (sim.t < sim.t_max && sim.beam.m > 0) Simulation_advance(&sim, 1, 1, 1);
  while (back.t < back.t_max && back.beam.m > 0) Simulation_advance(&back, 1, 1, 1);
  EXPECT_EQ(back.steps, sim.steps);
  expectsamebeam(sim, back);
  EXPECT_EQ(Simulation_score(&back), Simulation_score(&sim));
  Genome_free(g2);
  QuarantineInfo_free(&q2);
}

TEST_F(Autosave, DamagedFilesRestoreNothingAndChangeNothing) {
  start(5);
  ASSERT_EQ(saveall("auto.sav", VERSION, &sim, nullptr, genome, &q, autosave_checksum), 1);
  const std::string good = readfile("auto.sav");
  const size_t body = good.size() - 40;
  std::string flipped = good;
  flipped[body - 60] ^= 1;
  // Signed files whose records ask for what no run of this program writes: a proximity grid as
  // large as the grid maker allows (a 500-cell cube), and a time step that is refused.
  const auto savedwith = [&](int resolution, double half, double dt) {
    Cell* m = sim.lattice;  // the machine's box is changed for the save only
    const Cell box = *m;
    if (half > 0) m->xmin = m->ymin = m->zmin = -half, m->xmax = m->ymax = m->zmax = half;
    Simulation s = sim;
    s.gridresolution = resolution;
    s.dt = dt;
    EXPECT_EQ(saveall("auto.sav", VERSION, &s, nullptr, genome, &q, autosave_checksum), 1);
    m->xmin = box.xmin, m->ymin = box.ymin, m->zmin = box.zmin;
    m->xmax = box.xmax, m->ymax = box.ymax, m->zmax = box.zmax;
    return readfile("auto.sav");
  };
  const std::string biggrid = savedwith(500, 5.0, sim.dt);
  const std::string tinystep = savedwith(sim.gridresolution, 0, 1e-300);
  struct Case {
    const char* what;
    std::string bytes;
    bool resign;  // the cut is signed again: the parts' own bounds must refuse it
  } cases[] = {
      {"empty", "", false},
      {"half the file", good.substr(0, good.size() / 2), false},
      {"signature cut", good.substr(0, good.size() - 1), false},
      {"one byte changed", flipped, false},
      {"signed cut in the simulation block", good.substr(0, 40), true},
      {"signed cut at a third", good.substr(0, body / 3), true},
      {"signed cut in the beam", good.substr(0, body - 50), true},
      {"signed trailing byte", good.substr(0, body) + "x", true},
      {"largest proximity grid", biggrid, false},
      {"time step that is refused", tinystep, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writefile(dir / "auto.sav", c.bytes);
    if (c.resign) {
      ASSERT_EQ(signfile("auto.sav", autosave_checksum), 1);
    }
    Genome g = Genome_new();
    gassign(&g, "keep", 7);
    QuarantineInfo q2;
    Simulation s{};
    EXPECT_EQ(loadall("auto.sav", VERSION, &s, nullptr, &g, &q2, autosave_checksum), 0);
    EXPECT_EQ(s.lattice, nullptr);
    EXPECT_EQ(s.beam.M, 0);
    EXPECT_EQ(g.count, 1);
    EXPECT_EQ(graw(&g, "keep"), 7);
    EXPECT_EQ(q2.active, 0);
    EXPECT_TRUE(std::filesystem::exists("auto.sav"));
    Genome_free(g);
  }
  std::filesystem::remove("auto.sav");
  EXPECT_EQ(loadall("auto.sav", VERSION, &back, nullptr, &genome, &q, autosave_checksum), 0);
  EXPECT_EQ(signfile("auto.sav", autosave_checksum), 0);  // nothing to sign
  EXPECT_EQ(verifyfile("auto.sav", autosave_checksum), 0);
}

TEST_F(Autosave, AnotherVersionIsDeletedOnTheAttempt) {
  start(1);
  ASSERT_EQ(saveall("auto.sav", "v4.46", &sim, nullptr, genome, &q, autosave_checksum), 1);
  EXPECT_EQ(loadall("auto.sav", VERSION, &back, nullptr, &genome, &q, autosave_checksum), 0);
  EXPECT_FALSE(std::filesystem::exists("auto.sav"));
  // The version compares without letter case.
  ASSERT_EQ(saveall("auto.sav", "V4.47_DEV", &sim, nullptr, genome, &q, autosave_checksum), 1);
  EXPECT_EQ(loadall("auto.sav", VERSION, &back, nullptr, &genome, &q, autosave_checksum), 1);
}

TEST_F(Autosave, AFailedSaveKeepsTheOldFile) {
  start(1);
  ASSERT_EQ(saveall("auto.sav", VERSION, &sim, nullptr, genome, &q, autosave_checksum), 1);
  const std::string old = readfile("auto.sav");
  Simulation_advance(&sim, 1, 1, 1);
  const std::string message = "Could not write the auto-save file 'auto.sav'; the previous one "
                              "is kept";
  // A full disk (every write to /dev/full fails with ENOSPC), then a temp name that cannot be
  // opened at all.
  std::filesystem::create_symlink("/dev/full", "auto.sav.new");
  EXPECT_EQ(saveall("auto.sav", VERSION, &sim, nullptr, genome, &q, autosave_checksum), 0);
  EXPECT_FALSE(std::filesystem::is_symlink("auto.sav.new"));
  std::filesystem::create_directory("auto.sav.new");
  EXPECT_EQ(saveall("auto.sav", VERSION, &sim, nullptr, genome, &q, autosave_checksum), 0);
  EXPECT_EQ(messages.count(message), 2);
  EXPECT_EQ(readfile("auto.sav"), old);
  EXPECT_FALSE(messages.anywarning());
}

double fakenow = 0;
double fakeclock() {
  return fakenow;
}

TEST_F(Autosave, TimedSaveAndRestoreTexts) {
  start(3);
  messages.all.clear();
  AutosaveOptions o;
  o.file = "autocli.sav";
  o.version = VERSION;
  o.interval = 10;
  o.clock = fakeclock;
  double last = 100;
  fakenow = 105;
  EXPECT_EQ(autosave(o, &last, &sim, nullptr, genome, &q, autosave_checksum, 0), 0);
  EXPECT_TRUE(messages.all.empty());
  fakenow = 110;
  EXPECT_EQ(autosave(o, &last, &sim, nullptr, genome, &q, autosave_checksum, 0), 1);
  EXPECT_EQ(last, 110);
  EXPECT_EQ(messages.all, (std::vector<std::string>{"Auto-saving...", "Done"}));

  messages.all.clear();
  fakenow = 111;
  ASSERT_EQ(autoload(o, &last, &back, nullptr, &genome, &q, autosave_checksum), 1);
  EXPECT_EQ(last, 111);
  char restored[64];
  snprintf(restored, sizeof restored, "Restored simulation at %.1fns", sim.t * 1e9);
  ASSERT_FALSE(messages.all.empty());
  EXPECT_EQ(messages.all.front(), "Searching for auto-saved file...");
  EXPECT_EQ(messages.all.back(), restored);
  EXPECT_EQ(std::count(messages.updates.begin(), messages.updates.end(),
                       "Found auto-save file: loading..."),
            1);

  // Off: the file goes, nothing is said or restored.
  messages.all.clear();
  o.interval = 0;
  Simulation_free(&back);
  EXPECT_EQ(autoload(o, &last, &back, nullptr, &genome, &q, autosave_checksum), 0);
  EXPECT_FALSE(std::filesystem::exists("autocli.sav"));
  EXPECT_TRUE(messages.all.empty());
  o.interval = 10;
  EXPECT_EQ(autoload(o, &last, &back, nullptr, &genome, &q, autosave_checksum), 0);
  EXPECT_EQ(messages.all.back(), "No file present");
}

}  // namespace
