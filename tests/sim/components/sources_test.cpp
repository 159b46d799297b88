#include "sim/components/sources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "sim/components/beamdef.h"
#include "sim/components/registry.h"
#include "sim/simulation.h"
#include "sim/species.h"
#include "sim/stepping.h"
#include "tests/support/support.h"

using testsupport::Messages;
using testsupport::WorkDir;

namespace {

// A simulation without a machine, for the loaders.
struct Sim {
  Simulation sim;
  explicit Sim(int divisor = 1) {
    Simulation_defaultdefault();
    sim = Simulation_default;
    sim.seed = 99;
    sim.divisor = divisor;
    sim.beam = Beam_new();
  }
  ~Sim() { Simulation_free(&sim); }
  const Particle& operator[](int i) const { return sim.beam.particles[i]; }
  int size() const { return sim.beam.M; }
};

using testsupport::Attr;

// A cell of type `type` named "T1" with these attributes.
Cell* makecell(const char* type, const std::vector<Attr>& attrs) {
  registry_install();
  return testsupport::cellwith("T1", type, attrs);
}

// Runs the rod-source constructor on such a cell.
void rodsource(Simulation* sim, const std::vector<Attr>& attrs) {
  Cell* c = makecell("rodsource", attrs);
  conrodsource(c, sim);
  Cell_freeref(c, 0);
}

std::string krecord(double ke, double w, V3 r, V3 d, double t) {
  char line[300];
  snprintf(line, sizeof line, "%.12g,%.12g,%.12g,%.12g,%.12g,%.12g,%.12g,%.12g,%.12g\n", ke, w,
           r.x, r.y, r.z, d.x, d.y, d.z, t);
  return line;
}

double speed(const Particle& p) { return std::sqrt(p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz); }

}  // namespace

TEST(Sources, KineticEnergyGivesTheSpeedInEveryLayout) {
  WorkDir dir;
  dir.write("datafiles/k.csv", "k\n" + krecord(200, 1, {0.01, 0, 0.1}, {1, 0, 0}, 0));
  dir.write("datafiles/cm.csv", "energy,w,dx,dy,dz,x,y,z\n200,1,0,0,2,1,0,10\n");
  dir.write("datafiles/m.dat", "header\n1 3 0.2 1 1 0 10 0 0 1 0\n");
  Sim s;
  rodsource(&s.sim, {{"file", 0, "k"}});
  rodsource(&s.sim, {{"file", 0, "cm.txt"}});  // the extension becomes csv
  ASSERT_EQ(loadbeam_marssource(AffineFrame_identity(), "datafiles/m.dat", 0, 0, 0, &s.sim, 0), 1);
  ASSERT_EQ(s.size(), 3);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s[i].species, PiPlus);
    EXPECT_NEAR(speed(s[i]), 6.649277e8, 0.0000005e8);  // π+ of 200 MeV
  }
}

TEST(Sources, RodPlacementFollowsRodangleAndZ) {
  // A record on the rod's downstream edge, moving along local x, for rods at several tilts:
  // it must sit at centre + (L/2)·axis + R·(cos a, 0, −sin a), moving along that last vector.
  WorkDir dir;
  dir.write("datafiles/edge.csv", "k\n" + krecord(200, 1, {0.01, 0, 0.2}, {1, 0, 0}, 1e-9));
  for (double a : {0.0, 0.3, -1.2}) {
    SCOPED_TRACE(a);
    Sim s;
    rodsource(&s.sim, {{"file", 0, "edge"}, {"z", 1.5}, {"rodangle", a}});
    ASSERT_EQ(s.size(), 1);
    const V3 axis{std::sin(a), 0, std::cos(a)}, out{std::cos(a), 0, -std::sin(a)};
    EXPECT_NEAR(s[0].x, 0.1 * axis.x + 0.01 * out.x, 1e-15);
    EXPECT_NEAR(s[0].y, 0, 1e-15);
    EXPECT_NEAR(s[0].z, 1.5 + 0.1 * axis.z + 0.01 * out.z, 1e-15);
    EXPECT_NEAR(s[0].Vx / speed(s[0]), out.x, 1e-15);
    EXPECT_NEAR(s[0].Vz / speed(s[0]), out.z, 1e-15);
    EXPECT_DOUBLE_EQ(s[0].tstart, 6e-9);  // the file's time + 5 ns
  }
}

TEST(Sources, CopiesShareTheWeightAndTheDivisorTakesTheFirstRecords) {
  WorkDir dir;
  std::string file = "k\n";
  for (int i = 0; i < 30; i++) file += krecord(100 + i, 2, {0.01, 0, 0.05}, {1, 0, 1}, 0);
  dir.write("datafiles/p.csv", file);
  struct Case { double axial, spread; int copies, divisor; };
  for (Case c : {Case{4, 0, 4, 1}, Case{4, 3, 12, 1}, Case{0, 0, 1, 10}}) {
    SCOPED_TRACE(c.copies);
    Sim s(c.divisor);
    // A second source in the same run never repeats a number (numbers key the streams).
    for (int k = 0; k < 2; k++)
      rodsource(&s.sim, {{"file", 0, "p"}, {"axial", c.axial}, {"timespread", c.spread}});
    const int n = 30 / c.divisor;
    ASSERT_EQ(s.size(), 2 * n * c.copies);
    std::set<uint32_t> ids;
    std::set<double> angles;
    for (int i = 0; i < s.size(); i++) {
      ids.insert(s[i].id);
      EXPECT_DOUBLE_EQ(s[i].weight, 2.0 / c.copies);
      EXPECT_NEAR(std::hypot(s[i].x, s[i].y), 0.01, 1e-15);
      const double gamma = std::sqrt(1 + speed(s[i]) * speed(s[i]) * inv_c_sq);
      EXPECT_NEAR((gamma - 1) * E0[PiPlus] / 1.602176462e-13, 100 + i % n, 1e-9);
      if (i < s.size() / 2) angles.insert(std::atan2(s[i].y, s[i].x));
    }
    EXPECT_EQ((int)ids.size(), s.size());
    EXPECT_EQ((int)angles.size(), c.axial > 0 ? s.size() / 2 : 1);
  }
}

TEST(Sources, TimeSpreadIsFiveNanosecondsWithOneNanosecondSigmaAndIndependentOfTheAngle) {
  // 10,000 copies of one record, each at its own azimuth and release time. Angles and times
  // drawn from one running index would tie small angles to long delays.
  WorkDir dir;
  dir.write("datafiles/one.csv", "k\n" + krecord(200, 1, {0.01, 0, 0.1}, {1, 0, 0}, 3e-9));
  Sim s;
  rodsource(&s.sim, {{"file", 0, "one"}, {"axial", 100}, {"timespread", 100}});
  ASSERT_EQ(s.size(), 10000);
  double st = 0, st2 = 0, sa = 0, sa2 = 0, sd = 0, sd2 = 0, sad = 0;
  for (int i = 0; i < s.size(); i++) {
    const double t = s[i].tstart * 1e9, a = std::atan2(-s[i].y, s[i].x), d = std::fabs(t - 5);
    st += t, st2 += t * t, sa += a, sa2 += a * a, sd += d, sd2 += d * d, sad += a * d;
  }
  const double n = s.size(), mt = st / n, sigma = std::sqrt(st2 / n - mt * mt);
  EXPECT_NEAR(mt, 5.0, 0.04);
  EXPECT_NEAR(sigma, 1.0, 0.03);
  const double cov = sad / n - sa / n * sd / n;
  const double corr = cov / std::sqrt((sa2 / n - sa * sa / n / n) * (sd2 / n - sd * sd / n / n));
  EXPECT_LT(std::fabs(corr), 0.04);
  // A source at another place in the machine (another index base) has times of its own.
  Rodsource rod{ROD_RADIUS, ROD_LENGTH, 0, 0, 0, 0};
  loadbeam_rodsource(&rod, "datafiles/one.csv", 100, 0, PiPlus, &s.sim, 7654321u);
  for (int i = 0; i < 100; i++) EXPECT_NE(s[10000 + i].tstart, s[i].tstart);
}

TEST(Sources, MarsFileAndRodFilesOfTheBundledEventsGiveTheSameParticles) {
  const std::string data = std::string(ORDAX_SOURCE_DIR) + "/datafiles/";
  Rodsource rod{ROD_RADIUS, ROD_LENGTH, 0.1, 0, 0, 0};
  rodsource_lookups(&rod);
  Sim r, m;
  Messages quiet;
  ASSERT_EQ(loadbeam_rodsource(&rod, (data + "target_piplus.csv").c_str(), 0, 0, PiPlus, &r.sim, 0), 1);
  ASSERT_EQ(loadbeam_rodsource(&rod, (data + "target_piminus.csv").c_str(), 0, 0, PiMinus, &r.sim, 0), 1);
  ASSERT_EQ(loadbeam_marssource(AffineFrame_identity(), (data + "target_mars.dat").c_str(), 0, 0, 0,
                                &m.sim, 0), 1);
  ASSERT_EQ(r.size(), 8000);
  ASSERT_EQ(m.size(), 8000);
  auto key = [](const Particle& p) { return std::make_tuple(p.species, p.z, p.x, p.y); };
  std::vector<const Particle*> a, b;
  for (int i = 0; i < 8000; i++) a.push_back(&r[i]), b.push_back(&m[i]);
  auto order = [&](const Particle* p, const Particle* q) { return key(*p) < key(*q); };
  std::sort(a.begin(), a.end(), order);
  std::sort(b.begin(), b.end(), order);
  for (int i = 0; i < 8000; i++) {
    const Particle &p = *a[i], &q = *b[i];
    ASSERT_EQ(p.species, q.species);
    for (double d : {p.x - q.x, p.y - q.y, p.z - q.z}) ASSERT_LT(std::fabs(d), 1e-11);
    for (double d : {p.Vx - q.Vx, p.Vy - q.Vy, p.Vz - q.Vz}) ASSERT_LT(std::fabs(d), 1e-8 * speed(p));
    ASSERT_NEAR(p.tstart, q.tstart + 5e-9, 1e-18);
    ASSERT_EQ(p.weight, q.weight);
  }
}

TEST(Sources, DamagedLinesUnknownSpeciesAndNumbersAreSkippedOrRefused) {
  WorkDir dir;
  const std::string good = krecord(200, 1, {0.01, 0, 0.1}, {1, 0, 0}, 0);
  dir.write("datafiles/bad.csv", "k\n" + good +
                                     "some text\r\n\r\n"           // text, CR LF blank line
                                     "200,1,0.01,0,0.1,1,0,0\n"    // 8 of 9 values
                                     "200,1,0.01,nan,0.1,1,0,0,0\n"
                                     "-300,1,0.01,0,0.1,1,0,0,0\n"  // beyond -2 mc²
                                     "-10,1,0.01,0,0.1,1,0,0,0\n"
                                     "200,1,0.01,0,0.1,0,0,0,0\n"   // no direction
                                     "200,-1,0.01,0,0.1,1,0,0,0\n"  // negative weight
                                     "200,1,0.01,0,0.1,1,0,0,0 x\n" + good);
  dir.write("datafiles/bad.dat", "h\n1 3 0.2 1 1 0 10 1 0 0 0\n1 3 0.2 1 1 0 10 1 0\n"
                                 "1.5 3 0.2 1 1 0 10 1 0 0 0\n1 3 0.2 1 1 0 10 1 0 0 0\r\n");
  Sim s;
  Messages m;
  rodsource(&s.sim, {{"file", 0, "bad"}});
  EXPECT_EQ(s.size(), 2);
  EXPECT_EQ(m.count("[WARNING] 9 unusable lines skipped in datafiles/bad.csv"), 1);
  EXPECT_EQ(loadbeam_marssource(AffineFrame_identity(), "datafiles/bad.dat", 0, 0, 0, &s.sim, 0), 1);
  EXPECT_EQ(s.size(), 4);
  EXPECT_EQ(m.count("[WARNING] 2 unusable lines skipped in datafiles/bad.dat"), 1);
  // An unknown species on the cell is refused; an unknown MARS number is reported once per
  // number; a species that is not allowed (e-) is skipped silently.
  dir.write("datafiles/ids.dat", "h\n1 99 0.2 1 1 0 10 1 0 0 0\n2 99 0.2 1 1 0 10 1 0 0 0\n"
                                 "3 -1 0.2 1 1 0 10 1 0 0 0\n4 4 0.2 1 1 0 10 1 0 0 0\n"
                                 "5 10 0.2 1 1 0 10 1 0 0 0\n");
  rodsource(&s.sim, {{"file", 0, "bad"}, {"species", 0, "pion+"}});
  EXPECT_EQ(s.size(), 4);
  EXPECT_TRUE(m.has("[FATAL] Rod source 'T1': unknown particle species 'pion+'"));
  EXPECT_EQ(loadbeam_marssource(AffineFrame_identity(), "datafiles/ids.dat", 0, 0, 0, &s.sim, 0), 1);
  ASSERT_EQ(s.size(), 5);
  EXPECT_EQ(s[4].species, PiMinus);
  EXPECT_EQ(m.count("[WARNING] Unrecognised MARS PID 99"), 1);
  EXPECT_EQ(m.count("[WARNING] Unrecognised MARS PID -1"), 1);
}

TEST(Sources, CopyCountsAreBoundedAndNumbersNeverWrap) {
  WorkDir dir;
  dir.write("datafiles/p.csv", "k\n" + krecord(200, 1, {0.01, 0, 0.1}, {1, 0, 0}, 0));
  Sim s;
  Messages m;
  rodsource(&s.sim, {{"file", 0, "p"}, {"axial", 25000}});
  EXPECT_TRUE(m.has("[WARNING] T1: axial 25000 cut to 10000"));
  EXPECT_EQ(s.size(), 10000);
  s.sim.beam.particles[0].id = 4294960000u;  // numbers continue after the largest
  rodsource(&s.sim, {{"file", 0, "p"}, {"axial", 10000}});
  EXPECT_EQ(s.size(), 10000);
  EXPECT_TRUE(m.has("[FATAL] datafiles/p.csv: 1 records in 10000 copies need particle numbers "
                    "beyond 4294967295"));
}

TEST(Sources, DataFileNamesMustStayInsideDatafiles) {
  struct Case { const char* name; int ok; };
  for (Case c : {Case{"a.csv", 1}, Case{"sub/a.csv", 1}, Case{"..a", 1}, Case{"", 0},
                 Case{"../a", 0}, Case{"sub\\..\\..\\a", 0}, Case{"a/..", 0}, Case{"/etc/x", 0},
                 Case{"\\x", 0}, Case{"C:x", 0}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(datafilename_ok(c.name), c.ok);
  }
  WorkDir dir;
  Sim s;
  Messages m;
  rodsource(&s.sim, {});
  rodsource(&s.sim, {{"file", 0, "../p"}});
  Beam a = Beam_ICOOL("/etc/passwd");
  Beam b = Beam_apertureCSV(nullptr, 0);
  EXPECT_EQ(s.size() + a.M + b.M, 0);
  Beam_free(&a);
  Beam_free(&b);
  for (const char* text :
       {"[FATAL] Rod source 'T1' lacks a 'file' attribute",
        "[FATAL] rodsource: data file name '../p' must be a relative path inside datafiles/",
        "[FATAL] ICOOLbeam: data file name '/etc/passwd' must be a relative path inside datafiles/",
        "[FATAL] apertureCSVbeam: no 'file' attribute"})
    EXPECT_TRUE(m.has(text)) << text;
}

TEST(Sources, PionSentBackAtTheRodIsStoppedJustInsideItsSurface) {
  // Zero field, straight steps: side, end face, and a start on the surface moving out.
  struct Case { double angle; V3 from, dir; V3 hit; int caught; };
  const double r = std::sqrt(0.99) * 0.01;
  const Case cases[] = {
      {0, {0.05, 0, 1.0}, {-1, 0, 0}, {r, 0, 1.0}, 1},
      {0, {0, 0.003, 1.14}, {0, 0, -1}, {0, 0.003, 1.099}, 1},
      {0.5, {0.05 * std::cos(0.5), 0, 1 - 0.05 * std::sin(0.5)}, {-std::cos(0.5), 0, std::sin(0.5)},
       {r * std::cos(0.5), 0, 1 - r * std::sin(0.5)}, 1},
      {0, {0.01, 0, 1.0}, {1, 0, 0}, {0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.angle + c.from.x);
    Rodsource rod{ROD_RADIUS, ROD_LENGTH, 1.0, c.angle, 0, 0};
    rodsource_lookups(&rod);
    Particle a = Particle_new(PiPlus);
    a.x = c.from.x, a.y = c.from.y, a.z = c.from.z;
    // Steps end inside the rod: a step that goes right through is beyond any search.
    const double V = 6.649277e8, v = V / std::sqrt(1 + V * V * inv_c_sq), dt = 0.045 / v;
    a.Vx = V * c.dir.x, a.Vy = V * c.dir.y, a.Vz = V * c.dir.z;
    Particle b = a;
    b.x += v * dt * c.dir.x, b.y += v * dt * c.dir.y, b.z += v * dt * c.dir.z;
    Particle out;
    double tout;
    ASSERT_EQ(CDrodsource(&rod, &a, &b, 0, dt, 0, nullptr, nullptr, &out, &tout), c.caught);
    if (!c.caught) continue;
    EXPECT_EQ(out.state, Reimpact);
    EXPECT_NEAR(out.x, c.hit.x, 1e-12);
    EXPECT_NEAR(out.y, c.hit.y, 1e-12);
    EXPECT_NEAR(out.z, c.hit.z, 1e-12);
    EXPECT_FALSE(inrodsource(&rod, a.x, a.y, a.z, 0));
    EXPECT_TRUE(inrodsource(&rod, b.x, b.y, b.z, 0));
  }
}

TEST(Sources, PionLeavingTheRodIn20TeslaComesBackWithinOneTurn) {
  WorkDir dir;
  // 50 MeV, nearly radial: a circle of 1.9 cm radius that passes back through the rod.
  dir.write("datafiles/p.csv", "k\n" + krecord(50, 1, {0.01, 0, 0.1}, {1, 0.2, 0.05}, 0));
  Simulation_defaultdefault();
  Simulation sim = Simulation_default;
  sim.dt = 2e-12;
  sim.lattice = Cell_new(Composite, "line");
  Cell_add(sim.lattice, makecell("rodsource", {{"file", 0, "p"}, {"z", 2.0}}), -1);
  Cell_add(sim.lattice, makecell("Solenoid", {{"Radius", 0.075}, {"Field", 20}, {"Length", 4}}), -1);
  {
    Messages quiet;
    ASSERT_EQ(Simulation_initmachine(&sim, AffineFrame_identity()), 1);
  }
  ASSERT_EQ(sim.beam.M, 1);
  Beam_nearbythings(&sim.beam);
  sim.t = sim.beam.particles[0].tstart;
  const double gamma = 1 + 50 / (E0[PiPlus] / 1.602176462e-13);
  const double turn = 2 * M_PI * gamma * speciesmass[PiPlus] / (ELEMENTARY_CHARGE * 20 * 0.99);
  while (sim.beam.particles[0].state == Active && sim.t < 5e-9 + 2 * turn)
    Simulation_advance(&sim, 0, StepCollide, 1);
  const Particle& p = sim.beam.particles[0];
  EXPECT_EQ(p.state, Reimpact);
  EXPECT_LT(sim.t - 5e-9, turn);
  EXPECT_NEAR(p.x * p.x + p.y * p.y, 0.99e-4, 1e-12);
  Simulation_free(&sim);
}
