#include "sim/components/beamdef.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cell.h"
#include "base/report.h"
#include "sim/simulation.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

using Captured = testsupport::AllMessages;

// A working directory with a datafiles/ folder, restored afterwards.
struct DataDir {
  testsupport::WorkDir work{"ordax_beamdef"};
  void write(const char* name, const std::string& text) {
    work.write(std::string("datafiles/") + name, text);
  }
};

struct SimFixture : ::testing::Test {
  Simulation sim{};
  std::vector<Cell*> cells;
  void SetUp() override {
    sim.seed = 12345;
    sim.allowedspecies = ~0u;
  }
  void TearDown() override {
    for (Cell* c : cells) Cell_freeref(c, 0);
    Beam_free(&sim.beam);
  }
  Cell* cell(const char* type, const std::vector<testsupport::Attr>& attrs = {},
             const char* name = "B") {
    Cell* c = testsupport::cellwith(name, type, attrs);
    c->axis = AffineFrame_identity();
    cells.push_back(c);
    return c;
  }
};

double ke(const Particle& p) { return Particle_ke(&p); }

using BeamTwiss = SimFixture;

TEST_F(BeamTwiss, PopulationIsTruncatedAndCellLeavesTheMachine) {
  Cell* c = cell("twiss-beam", {{"species", 0, "mu+"}, {"population", 2.9}, {"Energy", 1e-11}});
  conbeam(c, &sim);
  EXPECT_EQ(sim.beam.M, 2);
  EXPECT_EQ(c->t, Nonmachine);
}

TEST_F(BeamTwiss, WaterbagStaysInsideItsFourBallAndEnergiesNeverGoNegative) {
  const double emit = 1e-4, bx = 0.5, by = 2.0, E0v = 5e-12, dE = 2e-11, t0 = 1e-9, dt = 2e-10;
  Beam b = Beam_twiss(MuPlus, 2000, Waterbag, emit, 0, bx, emit, 0, by, Uniform, E0v, dE, t0,
                      dt, 99);
  ASSERT_EQ(b.M, 2000);
  int atrest = 0;
  double maxr = 0;
  for (int i = 0; i < b.M; i++) {
    const Particle& p = b.particles[i];
    double V = p.Vz;
    double k = ke(p);
    EXPECT_GE(k, 0);
    EXPECT_LE(k, E0v + dE * (1 + 1e-12));
    if (k == 0) {
      atrest++;
      continue;
    }
    double u1 = p.x / std::sqrt(bx * emit), u3 = p.y / std::sqrt(by * emit);
    double u2 = p.Vx / (V * std::sqrt(emit / bx)), u4 = p.Vy / (V * std::sqrt(emit / by));
    double r = u1 * u1 + u2 * u2 + u3 * u3 + u4 * u4;
    maxr = std::max(maxr, r);
    EXPECT_LE(r, 1 + 1e-9);
    EXPECT_EQ(p.z, 0);
    EXPECT_GE(p.tstart, t0 - dt);
    EXPECT_LE(p.tstart, t0 + dt);
  }
  // Energies below zero are a third of the uniform band: many particles sit at rest.
  EXPECT_GT(atrest, 400);
  EXPECT_LT(atrest, 1000);
  EXPECT_GT(maxr, 0.9);  // the ball is filled, not shrunk
  // The same seed gives the same beam; another seed another one.
  Beam again = Beam_twiss(MuPlus, 2000, Waterbag, emit, 0, bx, emit, 0, by, Uniform, E0v, dE,
                          t0, dt, 99);
  Beam other = Beam_twiss(MuPlus, 2000, Waterbag, emit, 0, bx, emit, 0, by, Uniform, E0v, dE,
                          t0, dt, 100);
  EXPECT_EQ(again.particles[1999].x, b.particles[1999].x);
  EXPECT_NE(other.particles[1999].x, b.particles[1999].x);
  Beam_free(&b);
  Beam_free(&again);
  Beam_free(&other);
}

TEST_F(BeamTwiss, UnknownDistributionsAndSpeciesAreFatal) {
  struct Case {
    const char* attr;
    const char* value;
    const char* message;
  } cases[] = {
      {"TransDist", "Flat", "[FATAL] Unknown transverse distribution type 'Flat'"},
      {"LongDist", "KV", "[FATAL] Unknown longitudinal distribution type 'KV'"},
      {"species", "gluon", "[FATAL] Unrecognised particle species for beam in lattice file"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.attr);
    Cell* c = cell("twiss-beam");
    if (std::string(k.attr) != "species") Cell_setstringattrib(c, "species", "mu+");
    Cell_setstringattrib(c, k.attr, k.value);
    Cell_setattrib(c, "population", 5);
    Captured cap;
    conbeam(c, &sim);
    EXPECT_TRUE(cap.has(k.message));
    EXPECT_EQ(sim.beam.M, 0);
  }
  Cell* c = cell("odd-beam");
  Captured cap;
  conbeam(c, &sim);
  EXPECT_TRUE(cap.has("[FATAL] Beam type not specified"));
}

TEST(DistributionType, NameTables) {
  Captured cap;
  EXPECT_EQ(TransDist_fromstring("kv"), KV);
  EXPECT_EQ(TransDist_fromstring("Uniform"), InvalidDist);
  EXPECT_EQ(LongDist_fromstring("gaussian"), Gaussian);
  EXPECT_EQ(LongDist_fromstring("Waterbag"), InvalidDist);
  EXPECT_EQ(DistributionType_fromstring("ExpTails"), ExpTails);
  EXPECT_EQ(DistributionType_fromstring("InvalidDist"), InvalidDist);
  EXPECT_EQ(ErrorDist_fromstring("nonsense"), InvalidDist);
  EXPECT_TRUE(cap.has("[FATAL] Unknown transverse distribution type 'InvalidDist'"));
  EXPECT_TRUE(cap.has("[FATAL] Unknown error distribution type 'nonsense'"));
}

using BeamPencil = SimFixture;

TEST_F(BeamPencil, EnergyLadderAndItsEnds) {
  struct Case {
    double Emin, Emax, Estep;
    std::vector<double> energies;
  } cases[] = {
      {1, 3, 1, {1, 2, 3}},
      {1, 0.4, 1, {}},
      {1, 3.4, 1, {1, 2, 3}},
      {1, 3.6, 1, {1, 2, 3, 4}},
      {1, 3, 0, {1}},    // no step: one particle, never an endless ladder
      {1, 3, -1, {1}},
      {3, 1, -1, {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.Emin << " " << k.Emax << " " << k.Estep);
    Beam b = Beam_pencil(Proton, 0, 3, 4, k.Emin * 1e-11, k.Emax * 1e-11, k.Estep * 1e-11);
    ASSERT_EQ(b.M, (int)k.energies.size());
    for (int i = 0; i < b.M; i++) {
      const Particle& p = b.particles[i];
      EXPECT_NEAR(ke(p), k.energies[i] * 1e-11, 1e-22);
      EXPECT_NEAR(p.Vy / p.Vz, 0.75, 1e-12);
      EXPECT_EQ(p.Vx, 0);
      EXPECT_EQ(p.x, 0);
      EXPECT_EQ(p.tstart, 0);
    }
    Beam_free(&b);
  }
}

TEST_F(BeamPencil, WithoutSpeciesIsFatalAndZeroDirectionGoesAlongZ) {
  Cell* c = cell("pencil-beam");
  Captured cap;
  conbeam(c, &sim);
  EXPECT_TRUE(cap.has("[FATAL] Particle species for pencilbeam not specified in lattice file"));
  Beam b = Beam_pencil(MuMinus, 0, 0, 0, 1e-11, 1e-11, 1e-12);
  ASSERT_EQ(b.M, 1);
  EXPECT_EQ(b.particles[0].Vx, 0);
  EXPECT_GT(b.particles[0].Vz, 0);
  Beam_free(&b);
}

using BeamCircular = SimFixture;

TEST_F(BeamCircular, EnergyOnlyIsMonoenergeticAndEverythingStaysInItsBounds) {
  Cell* c = cell("circular-beam", {{"species", 0, "pi+"}, {"energy", 3e-11}, {"population", 500},
                                   {"radius", 0.05}, {"divergence", 0.1}, {"length", 0.2},
                                   {"t_start", 2e-9}});
  conbeam(c, &sim);
  ASSERT_EQ(sim.beam.M, 500);
  double maxr = 0;
  for (int i = 0; i < sim.beam.M; i++) {
    const Particle& p = sim.beam.particles[i];
    EXPECT_NEAR(ke(p), 3e-11, 3e-11 * 1e-12);
    double r = std::hypot(p.x, p.y);
    maxr = std::max(maxr, r);
    EXPECT_LT(r, 0.05);
    EXPECT_GE(p.z, 0);
    EXPECT_LT(p.z, 0.2);
    EXPECT_LE(std::hypot(p.Vx, p.Vy) / p.Vz, 0.1 * (1 + 1e-12));
    EXPECT_EQ(p.tstart, 2e-9);
  }
  EXPECT_GT(maxr, 0.045);
  Cell* d = cell("circular-beam");
  Captured cap;
  conbeam(d, &sim);
  EXPECT_TRUE(cap.has("[FATAL] Particle species for circularbeam not specified in lattice file"));
}

TEST_F(BeamCircular, IgnoreTimesOnALaterCellZeroesEarlierBeams) {
  Cell* a = cell("circular-beam", {{"species", 0, "mu+"}, {"energy", 1e-11}, {"population", 3},
                                   {"t_start", 5e-9}});
  conbeam(a, &sim);
  Cell* b = cell("pencil-beam", {{"species", 0, "mu+"}, {"minenergy", 1e-11},
                                 {"maxenergy", 1e-11}, {"IgnoreTimes", 1}});
  conbeam(b, &sim);
  ASSERT_EQ(sim.beam.M, 4);
  for (int i = 0; i < sim.beam.M; i++) EXPECT_EQ(sim.beam.particles[i].tstart, 0);
}

TEST_F(BeamCircular, SpeciesJoinsTheAllowedSet) {
  sim.allowedspecies = 0;
  Cell* a = cell("circular-beam", {{"species", 0, "p"}, {"energy", 1e-11}, {"population", 2}});
  conbeam(a, &sim);
  EXPECT_EQ(sim.allowedspecies, 1u << Proton);
  EXPECT_EQ(sim.beam.M, 2);
}

using BeamFiles = SimFixture;

TEST_F(BeamFiles, ApertureCsvReportsLinesWithOtherFieldCountsAndReadsOn) {
  DataDir d;
  const double v = 0.6 * c_light;
  std::string line = "0.01,0.02,1e-9,0," + std::to_string(v) + ",0,mu+,0.5\n";
  d.write("a.csv", line + "0.03,0.04,2e-9,0,0," + std::to_string(v) + ",pi-,0.25\n" +
                       "1,2,3,4,5,6,7\n\n" + line + "1,2,3,4,5,6,7,8,9\n" + line);
  Captured cap;
  Beam b = Beam_apertureCSV("a.csv", PIDName);
  ASSERT_EQ(b.M, 4);
  EXPECT_EQ(cap.all, (std::vector<std::string>{"[WARNING] apertureCSVbeam: 2 line(s) of a.csv "
                                                 "without 8 fields skipped, the first at line 3"}));
  EXPECT_EQ(b.particles[0].species, MuPlus);
  EXPECT_EQ(b.particles[1].species, PiMinus);
  EXPECT_DOUBLE_EQ(b.particles[1].weight, 0.25);
  EXPECT_DOUBLE_EQ(b.particles[0].tstart, 1e-9);
  EXPECT_NEAR(b.particles[0].Vy, v / 0.8, 1e-6);  // gamma 1.25 at 0.6 c
  EXPECT_EQ(b.particles[1].z, 0);
  Beam_free(&b);
}

TEST_F(BeamFiles, ApertureCsvSkipsUnusableLinesAndReportsUnknownIds) {
  DataDir d;
  d.write("b.csv",
          "0,0,0,0,0,1e8,-13,1\n"            // MARS mu+? look-up by id
          "0,0,0,0,0,nan,-13,1\n"            // not finite: skipped
          "0,0,0,0,0,3e8,-13,1\n"            // faster than light: skipped
          "0,0,0,0,0,1e8,777,1\n");          // unknown id: species -1
  Captured cap;
  Beam b = Beam_apertureCSV("b.csv", PIDPdg);
  ASSERT_EQ(b.M, 2);
  EXPECT_EQ(b.particles[0].species, speciesfrompid(-13, PIDPdg));
  EXPECT_EQ(b.particles[1].species, -1);
  EXPECT_TRUE(cap.has("[WARNING] Unrecognised PDG PID 777"));
  EXPECT_TRUE(cap.has("[WARNING] apertureCSVbeam: 2 unusable lines skipped in b.csv"));
  Beam_free(&b);
  // Through the class: the unknown species is left out.
  Cell* c = cell("ApertureCSV-beam", {{"file", 0, "b.csv"}, {"PIDStyle", 0, "PDG"}});
  conbeam(c, &sim);
  EXPECT_EQ(sim.beam.M, 1);
}

TEST_F(BeamFiles, MissingAndEmptyFilesGiveTheirMessages) {
  DataDir d;
  d.write("empty.csv", "just,a,header\n");
  d.write("empty.icool", "title\nheader\n");
  Captured cap;
  Beam a = Beam_apertureCSV("nothere.csv", 0);
  Beam b = Beam_ICOOL("nothere.dat");
  Beam c = Beam_apertureCSV("empty.csv", 0);
  Beam e = Beam_ICOOL("empty.icool");
  EXPECT_EQ(a.M + b.M + c.M + e.M, 0);
  EXPECT_TRUE(cap.has("[FATAL] apertureCSVbeam: data file nothere.csv not found"));
  EXPECT_TRUE(cap.has("[FATAL] ICOOLbeam: data file nothere.dat not found"));
  EXPECT_TRUE(cap.has("[WARNING] apertureCSVbeam: no particles added from empty.csv"));
  EXPECT_TRUE(cap.has("[WARNING] ICOOLbeam: no particles added from empty.icool"));
  for (Beam* x : {&a, &b, &c, &e}) Beam_free(x);
}

TEST_F(BeamFiles, IcoolSkipsHeadersAndConvertsMomentum) {
  DataDir d;
  int mutype = speciespid(MuPlus, PIDIcool);
  std::string row = "1 0 " + std::to_string(mutype) +
                    " 0 3e-9 0.7 0.01 0.02 0.03 0.001 0.002 0.1 0 0 0\n";
  d.write("i.dat", row + row +  // two header lines, whatever they hold
                       row + "1 0 2 0 1 2 3\n" + "2 0 " + std::to_string(mutype) +
                       " 0 0 1 0 0 0 inf 0 0.1 0 0 0\n" + "3 0 9999 0 0 1 0 0 0 0 0 0.1 0 0 0\n" +
                       "4 0 9999 0 0 1e500 0 0 0 0 0 0.1 0 0 0\n" +  // not finite, unknown id
                       "5 0 " + std::to_string(mutype) + " 0 0 1 0 0 0 0 0 1e305 0 0 0\n");
  Captured cap;
  Beam b = Beam_ICOOL("i.dat");
  ASSERT_EQ(b.M, 2);
  const Particle& p = b.particles[0];
  EXPECT_EQ(p.species, MuPlus);
  EXPECT_DOUBLE_EQ(p.tstart, 3e-9);
  EXPECT_DOUBLE_EQ(p.weight, 0.7);
  EXPECT_DOUBLE_EQ(p.z, 0.03);
  // 0.1 GeV/c from first principles: p = 1e8 eV × e / c.
  double pz = 1e8 * 1.602176634e-19 / c_light;
  EXPECT_NEAR(p.Vz * speciesmass[MuPlus] / pz, 1.0, 1e-6);
  EXPECT_NEAR(p.Vx / p.Vz, 0.01, 1e-12);
  EXPECT_EQ(b.particles[1].species, -1);
  EXPECT_TRUE(cap.has("[WARNING] Unrecognised invalid type PID 9999"));
  EXPECT_TRUE(cap.has("[WARNING] ICOOLbeam: 3 unusable lines skipped in i.dat"));
  Beam_free(&b);
}

using ParticleCell = SimFixture;

TEST_F(ParticleCell, SpeciesFromAttributeOrNameAndTheFatalCases) {
  Cell* a = cell("particle", {}, "MuonProbe");
  conparticle(a, &sim);
  ASSERT_EQ(sim.beam.M, 1);
  EXPECT_EQ(sim.beam.particles[0].species, speciesfromstring("Muon", 1));
  struct Case {
    const char* species;
    const char* message;
  } cases[] = {{"quark", "[FATAL] Unrecognised particle species name in lattice file"},
               {nullptr, "[FATAL] Particle species not specified in lattice file"}};
  for (const Case& k : cases) {
    Cell* c = cell("particle", {}, "X1");
    if (k.species) Cell_setstringattrib(c, "species", k.species);
    Captured cap;
    conparticle(c, &sim);
    EXPECT_TRUE(cap.has(k.message));
  }
  EXPECT_EQ(sim.beam.M, 1);
}

TEST_F(ParticleCell, OrdinaryParticleTakesFrameEnergyAndDirection) {
  Cell* c = cell("particle", {{"species", 0, "p"}}, "P");
  // A frame turned a quarter turn about y, shifted to (1, 2, 3): local z is global x.
  c->axis.origin = V3{1, 2, 3};
  c->axis.M = M3x3{{{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}}};
  Cell_setattrib(c, "Vz", 5);
  Cell_setattrib(c, "Energy", 1e-10);
  Cell_setattrib(c, "t_start", 4e-9);
  Cell_setattrib(c, "id", 41.6);
  conparticle(c, &sim);
  ASSERT_EQ(sim.beam.M, 1);
  const Particle& p = sim.beam.particles[0];
  EXPECT_EQ(p.x, 1);
  EXPECT_EQ(p.z, 3);
  EXPECT_NEAR(ke(p), 1e-10, 1e-22);
  EXPECT_NEAR(p.Vz, 0, 1e-3);
  EXPECT_GT(p.Vx, 0);
  EXPECT_EQ(p.tstart, 4e-9);
  EXPECT_EQ(p.id, 42u);
  EXPECT_EQ(c->t, Nonmachine);
}

TEST_F(ParticleCell, SynchronousFormStoresSpeciesAndEnergyOnly) {
  Cell* c = cell("Synchronous-particle", {{"species", 0, "mu-"}, {"vz", 0.6 * c_light}}, "Ref");
  conparticle(c, &sim);
  EXPECT_EQ(sim.beam.M, 0);
  EXPECT_EQ(Cell_attrib(c, "SpeciesOrd", -1), MuMinus);
  EXPECT_NEAR(Cell_attrib(c, "Energy", 0), 0.25 * E0[MuMinus], 1e-9 * E0[MuMinus]);
  EXPECT_EQ(c->t, Nonmachine);
}

}  // namespace
