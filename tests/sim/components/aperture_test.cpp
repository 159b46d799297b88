#include "sim/components/aperture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/kinematics.h"
#include "base/platform.h"
#include "lattice/cellclass.h"
#include "base/report.h"
#include "sim/simulation.h"
#include "sim/components/beamdef.h"
#include "sim/components/registry.h"
#include "sim/beam.h"
#include "sim/particle.h"
#include "sim/pusher.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;

const double MeV = 1.602176462e-13;  // J
const double pi = std::numbers::pi;

using Num = testsupport::Attr;
struct Text {
  const char* name;
  const char* text;
};

// The plane of the tests: through (0, 0, 0.5), normal along z, unless a frame is given.
AffineFrame planeframe() {
  return AffineFrame{V3{0, 0, 0.5}, M3x3_identity()};
}

std::vector<Num> attrsof(std::vector<Num> nums, const std::vector<Text>& texts) {
  for (const Text& t : texts) nums.push_back({t.name, 0, t.text});
  return nums;
}

// A constructed aperture cell (bound and built through the class table).
struct ApertureCell : testsupport::Component {
  ApertureCell(const char* type, const std::vector<Num>& nums,
               const std::vector<Text>& texts = {}, AffineFrame f = planeframe(),
               const char* name = "A1")
      : Component(type, attrsof(nums, texts), f, name) {
    EXPECT_EQ(constructed, 1);
  }
  Aperture* rec() const { return record<Aperture>(); }
};

Particle particle(ParticleSpecies sp, V3 r, V3 pmev, double weight = 1.0) {
  Particle p = testsupport::particleof(sp, r, pmev);
  p.weight = weight;
  return p;
}

struct Crossing {
  int result;
  Particle start, end, out;
  double tout;
};

// The simulation the crossings belong to: only its thread setting matters here.
Simulation runsim;

// One straight step of `dt` from t0 = 1e-9 (no field) in which the aperture is the only
// component asked: its event, when it reports one, is the winner and is committed.
Crossing cross(Cell* c, Particle p, double dt = 1e-9, unsigned thread = 0) {
  Crossing k;
  k.start = p;
  k.end = p;
  advanceparticle(&k.end, 1e-9, dt);
  k.result = Cell_collisiondetect(c, &k.start, &k.end, 1e-9, 1e-9 + dt, thread, nullptr,
                                  &runsim, &k.out, &k.tout);
  if (k.result) {
    const CollisionEvent ev{&k.start, &k.end, 1e-9, 1e-9 + dt, thread, nullptr, &runsim,
                            &k.out,   k.tout, true,  false};
    Cell_commit(c, &ev);
  }
  return k;
}
Crossing cross(const ApertureCell& a, Particle p, double dt = 1e-9, unsigned thread = 0) {
  return cross(a.c, p, dt, thread);
}

// The time at which a particle from z0 moving along z at its speed reaches the plane z = 0.5.
double planetime(const Particle& p) {
  return 1e-9 + (0.5 - p.z) / (p.Vz * invgamma_from_Vxyz(p.Vx, p.Vy, p.Vz));
}

double ke(double pmev, ParticleSpecies sp) {
  return ke_from_p(pmev * MeV / c_light, E0[sp]);
}

struct ThreadSetting {
  int saved = runsim.threads;
  explicit ThreadSetting(int n) { runsim.threads = n; }
  ~ThreadSetting() { runsim.threads = saved; }
};

using testsupport::TempDir;

std::vector<std::string> lines(const std::string& name) { return testsupport::readlines(name); }

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> v;
  std::string field;
  std::istringstream in(s);
  while (std::getline(in, field, sep)) v.push_back(field);
  if (!s.empty() && s.back() == sep) v.push_back("");
  return v;
}

using Captured = testsupport::AllMessages;

// ---- construction ----

TEST(Aperture, ConstructionFollowsClassAndAttributes) {
  struct Case {
    const char* what;
    const char* type;
    std::vector<Num> nums;
    std::vector<Text> texts;
    int hit, wronge, miss, shape;
    double p1, p2, p3, p4;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {"defaults", "Circle-aperture", {}, {}, 0, 4, 1, 2, 0, 0, 1.0, 0},
      {"finish", "Finish-aperture", {}, {}, -1, 4, 1, 2, 0, 0, 1.0, 0},
      {"finish that stops", "finish-aperture", {{"stopping", 1}}, {}, 1, 4, 1, 2, 0, 0, 1, 0},
      {"match", "Match-aperture", {}, {}, 1, 4, 1, 2, 0, 0, 1.0, 0},
      {"named states", "x-aperture", {}, {{"hit", "finished"}, {"wronge", "Stopped"},
                                          {"miss", "Reimpact"}}, -1, 1, 3, 2, 0, 0, 1, 0},
      {"unknown name", "x-aperture", {}, {{"miss", "vanished"}}, 0, 4, -2, 2, 0, 0, 1, 0},
      {"numeric actions", "x-aperture", {{"action", 4.7}, {"altaction", -1.2}}, {}, 4, -1, 1, 2,
       0, 0, 1, 0},
      {"NaN action", "x-aperture", {{"action", nan}}, {}, -2, 4, 1, 2, 0, 0, 1, 0},
      {"huge action", "x-aperture", {{"altaction", 1e12}}, {}, 0, -2, 1, 2, 0, 0, 1, 0},
      {"text action ignored", "x-aperture", {}, {{"action", "4"}}, 0, 4, 1, 2, 0, 0, 1, 0},
      {"action then finish", "finish-aperture", {{"action", 4}}, {}, -1, 4, 1, 2, 0, 0, 1, 0},
      {"circle", "Circular-aperture", {{"centrex", 0.1}, {"centrey", -0.2}, {"radius", 0.3}}, {},
       0, 4, 1, 2, 0.1, -0.2, 0.3, 0},
      {"rectangle", "Rectangular-aperture",
       {{"x1", -0.1}, {"y1", -0.2}, {"x2", 0.3}, {"y2", 0.4}, {"radius", 9}}, {}, 0, 4, 1, 1,
       -0.1, -0.2, 0.3, 0.4},
      {"edge", "Edge-aperture", {{"distance", 0.05}, {"normalx", 0.6}, {"normaly", 0.8}}, {}, 0,
       4, 1, 3, 0.05, 0.6, 0.8, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const ApertureCell cell(k.type, k.nums, k.texts);
    const Aperture* a = cell.rec();
    EXPECT_EQ(std::tuple(a->hitaction, a->wrongeaction, a->missaction, (int)a->shape),
              std::tuple(k.hit, k.wronge, k.miss, k.shape));
    EXPECT_EQ(std::tuple(a->p1, a->p2, a->p3, a->p4), std::tuple(k.p1, k.p2, k.p3, k.p4));
    EXPECT_EQ(a->outputfile, nullptr);
    EXPECT_EQ(a->moments.w, -1);
    EXPECT_EQ(a->frame.origin.z, 0.5);
  }
  ApertureCell m("Moments-aperture", {{"minenergy", 1e-12}, {"maxenergy", 3e-12}});
  EXPECT_EQ(m.rec()->moments.w, 0);
  EXPECT_EQ(m.rec()->momentson, 1);
  EXPECT_EQ(m.rec()->minenergy, 1e-12);
  EXPECT_EQ(m.rec()->maxenergy, 3e-12);
}

TEST(Aperture, OutputFileNamesComeFromTheCellOrTheClock) {
  {
    ApertureCell a("x-aperture", {}, {{"outputfile", "runs\\beam\\a.csv"}});
    ASSERT_NE(a.rec()->outputfile, nullptr);
    EXPECT_STREQ(a.rec()->outputfile, "runs/beam/a.csv");
  }
  {
    const PlatformTime before = platform_localtime(platform_walltime());
    ApertureCell a("Output-aperture", {}, {}, planeframe(), "Out7");
    ASSERT_NE(a.rec()->outputfile, nullptr);
    const std::string name = a.rec()->outputfile;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        name, m,
        std::regex(R"(output_Out7_(\d{4})-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-)"
                   R"((\d{2})_(\d{2})-(\d{2})-(\d{2})\.csv)")))
        << name;
    EXPECT_EQ(std::stoi(m[1]), before.year);
    // Kept with the cell, so a restored run continues the same file.
    EXPECT_STREQ(Cell_stringattrib(a.c, "outputfile"), name.c_str());
  }
  {
    // A name given in the lattice wins over the clock.
    ApertureCell a("Output-aperture", {}, {{"outputfile", "mine.csv"}});
    EXPECT_STREQ(a.rec()->outputfile, "mine.csv");
  }
}

// ---- collision detection ----

TEST(Aperture, PlateStopsAndOpeningPasses) {
  struct Case {
    const char* what;
    const char* type;
    std::vector<Num> nums;
    double x, y;
    int state;  // of the particle after the crossing
  };
  const Case cases[] = {
      {"circle: through the opening", "finish-aperture", {{"radius", 0.1}}, 0.05, 0, Finished},
      {"circle: plate at 0.5 m", "finish-aperture", {{"radius", 0.1}}, 0.5, 0, Stopped},
      {"circle: on the rim", "finish-aperture", {{"radius", 0.1}}, 0, 0.1, Stopped},
      {"circle: outer edge of the plate", "finish-aperture", {{"radius", 0.1}}, 1.1, 0, Stopped},
      {"circle: beyond the plate at 1.5 m", "finish-aperture", {{"radius", 0.1}}, 1.5, 0,
       Finished},
      {"circle: centre attributes do not move it", "finish-aperture",
       {{"radius", 0.1}, {"centrex", 0.5}}, 0.5, 0, Stopped},
      {"rectangle: inside", "rectangular-aperture",
       {{"x1", -0.1}, {"y1", -0.1}, {"x2", 0.2}, {"y2", 0.1}, {"stopping", 0}}, 0.15, 0.05,
       Active},
      {"rectangle: on the rim x = x1", "rectangular-aperture",
       {{"x1", -0.1}, {"y1", -0.1}, {"x2", 0.2}, {"y2", 0.1}}, -0.1, 0, Stopped},
      {"rectangle: on the rim y = y2", "rectangular-aperture",
       {{"x1", -0.1}, {"y1", -0.1}, {"x2", 0.2}, {"y2", 0.1}}, 0, 0.1, Stopped},
      {"rectangle: plate corner", "rectangular-aperture",
       {{"x1", -0.1}, {"y1", -0.1}, {"x2", 0.2}, {"y2", 0.1}}, 1.2, -1.1, Stopped},
      {"rectangle: beyond the plate", "rectangular-aperture",
       {{"x1", -0.1}, {"y1", -0.1}, {"x2", 0.2}, {"y2", 0.1}}, 1.25, 0, Active},
      {"edge: never a plate", "edge-aperture", {{"distance", 0.0}, {"action", -1}}, 0.5, 0.3,
       Finished},
      {"plate before hit action", "x-aperture", {{"radius", 0.1}, {"action", -1}}, 0.3, 0,
       Stopped},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ApertureCell a(k.type, k.nums);
    const Particle p = particle(MuPlus, V3{k.x, k.y, 0.4}, V3{0, 0, 200});
    const Crossing c = cross(a, p);
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.out.state, k.state);
    if (k.state != Active) {
      EXPECT_NEAR(c.tout, planetime(p), 1e-18);
      EXPECT_GE(c.out.z, 0.5);  // just beyond the plane
      EXPECT_NEAR(c.out.z, 0.5, 1e-9);
    } else {
      EXPECT_EQ(c.tout, 2e-9);  // nothing to do: the end of the step
      EXPECT_EQ(c.out.z, c.end.z);
    }
  }
}

TEST(Aperture, StepThatDoesNotReachThePlaneIsLeftAlone) {
  ApertureCell a("finish-aperture", {{"radius", 0.1}});
  const Particle p = particle(MuPlus, V3{0.5, 0, 0.1}, V3{0, 0, 200});
  const Crossing c = cross(a, p, 1e-10);
  EXPECT_EQ(c.result, 0);
  EXPECT_EQ(c.out.z, c.end.z);
  EXPECT_EQ(c.out.state, Active);
  EXPECT_EQ(c.tout, 1e-9 + 1e-10);
}

TEST(Aperture, LocalCoordinatesFollowTheFrame) {
  // Frame turned a quarter turn about z and tilted: the opening x in (0, 0.5), |y| < 0.05 of
  // the frame lies along the global y axis near the origin.
  const M3x3 M = M3x3_Rxyz(V3{0, 0, pi / 2}) * M3x3_Rxyz(V3{0.2, 0, 0});
  const AffineFrame f{V3{0.1, -0.2, 0.5}, M};
  ApertureCell a("rectangular-aperture", {{"x1", 0}, {"y1", -0.05}, {"x2", 0.5}, {"y2", 0.05},
                                          {"action", -1}},
                 {}, f);
  struct Case {
    double lx, ly;
    int state;
  };
  for (const Case& k : {Case{0.3, 0.0, Finished}, Case{0.0, 0.3, Stopped},
                        Case{-0.3, 0.0, Stopped}, Case{0.3, 0.06, Stopped}}) {
    SCOPED_TRACE(std::to_string(k.lx) + "," + std::to_string(k.ly));
    double x = k.lx, y = k.ly, z = -0.1;  // 0.1 m before the plane, along its normal
    affine(f, &x, &y, &z);
    const V3 n = M3x3_column(M, 2);
    const Particle p = particle(MuPlus, V3{x, y, z}, 200 * n);
    const Crossing c = cross(a, p);
    ASSERT_EQ(c.result, 1);
    EXPECT_EQ(c.out.state, k.state);
  }
}

TEST(Aperture, EnergyWindowDecidesBetweenHitAndWrongEnergy) {
  struct Case {
    const char* what;
    const char* type;
    double minE, maxE;  // MeV
    double pmev;        // momentum of the muon
    int state;
    bool ratios;
  };
  const Case cases[] = {
      {"no window", "finish-aperture", 0, 0, 30, Finished, false},
      {"no window, fast", "finish-aperture", 0, 0, 3000, Finished, false},
      {"inside", "finish-aperture", 100, 200, 220, Finished, false},
      {"below", "finish-aperture", 100, 200, 150, WrongEnergy, true},
      {"above", "finish-aperture", 100, 200, 320, WrongEnergy, true},
      {"below, no upper bound", "finish-aperture", 100, 0, 150, WrongEnergy, true},
      {"above, no lower bound", "finish-aperture", 0, 200, 320, WrongEnergy, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ApertureCell a(k.type, {{"radius", 0.2}, {"minenergy", k.minE * MeV}, {"maxenergy", k.maxE * MeV}});
    const Particle p = particle(MuPlus, V3{0.05, 0, 0.4}, V3{0, 0, k.pmev});
    const Crossing c = cross(a, p, 5e-9);  // long enough for the slowest to reach the plane
    ASSERT_EQ(c.result, 1);
    EXPECT_EQ(c.out.state, k.state);
    EXPECT_NEAR(c.tout, planetime(p), 1e-18);
    EXPECT_EQ(c.out.propertime, c.tout);  // the crossing time replaces the proper time
    const double KE = ke(k.pmev, MuPlus);
    if (k.ratios) {
      EXPECT_NEAR(c.out.nextdecay, k.minE > 0 ? KE / (k.minE * MeV) : 0, 1e-12);
      EXPECT_NEAR(c.out.tstart, k.maxE > 0 ? KE / (k.maxE * MeV) : 0, 1e-12);
    } else {
      EXPECT_EQ(c.out.nextdecay, p.nextdecay);
      EXPECT_EQ(c.out.tstart, p.tstart);
    }
  }
  {
    // Without a wrong-energy action the particle goes on untouched, but the event is reported.
    ApertureCell a("finish-aperture", {{"minenergy", 100 * MeV}, {"altaction", 0}});
    const Crossing c = cross(a, particle(MuPlus, V3{0, 0, 0.4}, V3{0, 0, 150}));
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.out.state, Active);
    EXPECT_EQ(c.tout, 2e-9);
  }
  {
    // Another wrong-energy action: no ratios.
    ApertureCell a("finish-aperture", {{"minenergy", 100 * MeV}}, {{"wronge", "Stopped"}});
    const Particle p = particle(MuPlus, V3{0, 0, 0.4}, V3{0, 0, 150});
    const Crossing c = cross(a, p);
    EXPECT_EQ(c.out.state, Stopped);
    EXPECT_EQ(c.out.nextdecay, p.nextdecay);
  }
}

// ---- output files ----

// Fields of one output line.
struct OutLine {
  double x, y, t, Vx, Vy, Vz, w;
  std::string species;
};
OutLine parseline(const std::string& s) {
  std::vector<std::string> f = split(s, ',');
  EXPECT_EQ(f.size(), 8u) << s;
  OutLine o{};
  if (f.size() != 8) return o;
  o.x = std::stod(f[0]);
  o.y = std::stod(f[1]);
  o.t = std::stod(f[2]);
  o.Vx = std::stod(f[3]);
  o.Vy = std::stod(f[4]);
  o.Vz = std::stod(f[5]);
  o.species = f[6];
  o.w = std::stod(f[7]);
  return o;
}

TEST(Aperture, OutputFileGetsItsHeaderOnceAndALinePerCrossing) {
  ThreadSetting one(1);
  TempDir dir("ordax_aperture");
  const std::string name = dir / "beam.csv";
  ApertureCell a("output-aperture", {{"radius", 0.2}}, {{"outputfile", name.c_str()}});
  const Particle p1 = particle(MuPlus, V3{0.05, -0.02, 0.4}, V3{10, -5, 200}, 0.25);
  const Particle p2 = particle(PiMinus, V3{-0.01, 0.03, 0.4}, V3{0, 0, 300}, 0.5);
  const Particle miss = particle(MuPlus, V3{0.6, 0, 0.4}, V3{0, 0, 200});  // on the plate
  const Crossing c1 = cross(a, p1);
  cross(a, miss);
  cross(a, p2);
  EXPECT_EQ(c1.out.state, Active);  // an output aperture lets particles through
  const std::vector<std::string> l = lines(name);
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0], "x,y(m),t(s),Vx,Vy,Vz(gamma m/s),species,wt");
  const Particle* ps[2] = {&p1, &p2};
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    const OutLine o = parseline(l[i + 1]);
    // The crossing point and time, V along the frame's axes (here the global ones).
    const double tc = planetime(*ps[i]);
    const double f = (tc - 1e-9) * invgamma_from_Vxyz(ps[i]->Vx, ps[i]->Vy, ps[i]->Vz);
    EXPECT_NEAR(o.x, ps[i]->x + ps[i]->Vx * f, 1e-11);
    EXPECT_NEAR(o.y, ps[i]->y + ps[i]->Vy * f, 1e-11);
    EXPECT_NEAR(o.t, tc, 1e-20);
    EXPECT_NEAR(o.Vx, ps[i]->Vx, 1e-11 * std::fabs(ps[i]->Vz));
    EXPECT_NEAR(o.Vy, ps[i]->Vy, 1e-11 * std::fabs(ps[i]->Vz));
    EXPECT_NEAR(o.Vz, ps[i]->Vz, 1e-11 * std::fabs(ps[i]->Vz));
    EXPECT_EQ(o.species, ParticleSpecies_name[ps[i]->species]);
    EXPECT_EQ(o.w, ps[i]->weight);
  }
  EXPECT_EQ(parseline(l[1]).species, "mu+");
  EXPECT_EQ(parseline(l[2]).species, "pi-");

  // A file that already exists gets no second header (a later run appends).
  ApertureCell again("output-aperture", {{"radius", 0.2}}, {{"outputfile", name.c_str()}});
  cross(again, p1);
  const std::vector<std::string> l2 = lines(name);
  ASSERT_EQ(l2.size(), 4u);
  EXPECT_EQ(l2[3], l2[1]);
}

// A file an output aperture wrote, read back as an aperture-CSV beam, gives the particles that
// crossed: the crossing point (z = 0 of the beam's frame), the crossing time as release
// time, V (γv, here above c for the fast ones), species and weight; the header is no particle.
TEST(Aperture, OutputFileReadBackAsABeamGivesTheCrossingParticles) {
  ThreadSetting one(1);
  testsupport::WorkDir dir("ordax_aperture");
  fs::create_directories("datafiles");
  ApertureCell a("output-aperture", {{"radius", 0.2}}, {{"outputfile", "datafiles/out.csv"}});
  const Particle ps[] = {particle(MuPlus, V3{0.05, -0.02, 0.4}, V3{10, -5, 200}, 0.25),
                         particle(PiMinus, V3{-0.01, 0.03, 0.4}, V3{30, 0, 900}, 0.5),
                         particle(Proton, V3{0, 0.01, 0.47}, V3{-20, 5, 150}, 2)};
  for (const Particle& p : ps) cross(a, p);
  Beam b = Beam_apertureCSV("out.csv", 0);
  ASSERT_EQ(b.M, 3);
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    const Particle& r = b.particles[i];
    const double tc = planetime(ps[i]);
    const double f = (tc - 1e-9) * invgamma_from_Vxyz(ps[i].Vx, ps[i].Vy, ps[i].Vz);
    EXPECT_NEAR(r.x, ps[i].x + ps[i].Vx * f, 1e-11);
    EXPECT_NEAR(r.y, ps[i].y + ps[i].Vy * f, 1e-11);
    EXPECT_EQ(r.z, 0);
    EXPECT_NEAR(r.tstart, tc, 1e-20);
    EXPECT_NEAR(r.Vx, ps[i].Vx, 1e-11 * ps[i].Vz);
    EXPECT_NEAR(r.Vy, ps[i].Vy, 1e-11 * ps[i].Vz);
    EXPECT_NEAR(r.Vz, ps[i].Vz, 1e-11 * ps[i].Vz);
    EXPECT_EQ(r.species, ps[i].species);
    EXPECT_EQ(r.weight, ps[i].weight);
  }
  Beam_free(&b);
}

TEST(Aperture, ThreadFilesHoldTheLinesAndTheOutputFileTheHeader) {
  ThreadSetting two(2);
  TempDir dir("ordax_aperture");
  const std::string name = dir / "split.csv";
  ApertureCell a("output-aperture", {{"radius", 0.2}}, {{"outputfile", name.c_str()}});
  const Particle p = particle(MuPlus, V3{0.05, 0, 0.4}, V3{0, 0, 200});
  cross(a, p, 1e-9, 1);  // thread 1 comes first
  cross(a, p, 1e-9, 1);
  cross(a, p, 1e-9, 0);
  EXPECT_EQ(lines(name), std::vector<std::string>{APERTURE_CSVHEADER});
  EXPECT_EQ(lines(name + "$thread$1").size(), 2u);
  ASSERT_EQ(lines(name + "$thread$0").size(), 1u);
  EXPECT_EQ(parseline(lines(name + "$thread$0")[0]).species, "mu+");

  char buf[256];
  Aperture_threadfilename("f.csv", 3, 2, buf, sizeof buf);
  EXPECT_STREQ(buf, "f.csv$thread$3");
  Aperture_threadfilename("f.csv", 0, 1, buf, sizeof buf);
  EXPECT_STREQ(buf, "f.csv");
}

TEST(Aperture, UnopenableOutputFileIsSkippedAndRememberedPerThread) {
  ThreadSetting two(2);
  TempDir dir("ordax_aperture");
  const std::string name = dir / "later/out.csv";  // the directory does not exist yet
  ApertureCell a("finish-aperture", {{"radius", 0.2}}, {{"outputfile", name.c_str()}});
  const Particle p = particle(MuPlus, V3{0.05, 0, 0.4}, V3{0, 0, 200});
  const Crossing c = cross(a, p, 1e-9, 0);
  EXPECT_EQ(c.result, 1);
  EXPECT_EQ(c.out.state, Finished);  // the action still applies
  // Once the directory exists, thread 0 (which failed) no longer tries; thread 1 writes.
  fs::create_directories(dir.path() / "later");
  cross(a, p, 1e-9, 0);
  cross(a, p, 1e-9, 1);
  EXPECT_FALSE(fs::exists(name + "$thread$0"));
  EXPECT_EQ(lines(name + "$thread$1").size(), 1u);
  EXPECT_EQ(lines(name), std::vector<std::string>{APERTURE_CSVHEADER});
}

// ---- moments ----

TEST(Aperture, MomentSumsAddTheCrossingParticles) {
  ApertureCell a("moments-aperture", {{"radius", 0.3}, {"minenergy", 50 * MeV}});
  const uint32_t seed = 20240611;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(-0.5, 0.5);
  auto u = [&] { return dist(gen); };
  ApertureMoments ref;
  ApertureMoments_zero(&ref);
  for (int i = 0; i < 40; i++) {
    // Every tenth is below the window (15.9 MeV at 60 MeV/c); the rest are well inside it.
    const double pz = i % 10 == 0 ? 60 : 250 + 100 * u();
    const Particle p = particle(MuPlus, V3{0.2 * u(), 0.2 * u(), 0.4}, V3{20 * u(), 20 * u(), pz},
                                0.5 + u());
    const Crossing c = cross(a, p);
    ASSERT_EQ(c.result, 1);
    if (i % 10 == 0) {
      EXPECT_EQ(c.out.state, WrongEnergy);
      continue;
    }
    // The reference from the crossing particle's own state.
    const double tc = planetime(p);
    const double f = (tc - 1e-9) * invgamma_from_Vxyz(p.Vx, p.Vy, p.Vz);
    const double x = p.x + p.Vx * f, y = p.y + p.Vy * f;
    const double V = std::sqrt(p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz);
    const double E = ke_from_Vxyz(p.Vx, p.Vy, p.Vz, E0[MuPlus]) / 1.602176462e-19;
    const double av[4] = {x, y, p.Vx / c_light, p.Vy / c_light};
    ref.w += p.weight;
    ref.wx += p.weight * av[0];
    ref.wy += p.weight * av[1];
    ref.wbgx += p.weight * av[2];
    ref.wbgy += p.weight * av[3];
    for (int r = 0; r < 4; r++)
      for (int s = 0; s < 4; s++) ref.waa[r][s] += p.weight * av[r] * av[s];
    ref.wbg += p.weight * V / c_light;
    ref.wE += p.weight * E;
    ref.wt += p.weight * tc;
    ref.wEE += p.weight * E * E;
    ref.wEt += p.weight * E * tc;
    ref.wtt += p.weight * tc * tc;
  }
  // The 27 sums, in their declared order.
  double got[27], want[27];
  std::memcpy(got, &a.rec()->moments, sizeof got);
  std::memcpy(want, &ref, sizeof want);
  for (int i = 0; i < 27; i++)
    EXPECT_NEAR(got[i], want[i], 1e-9 * std::fabs(want[i]) + 1e-30) << "sum " << i;

  // Apertures without moments keep w at -1.
  ApertureCell plain("finish-aperture", {});
  cross(plain, particle(MuPlus, V3{0, 0, 0.4}, V3{0, 0, 200}));
  EXPECT_EQ(plain.rec()->moments.w, -1);
  EXPECT_EQ(plain.rec()->moments.wx, 0);
}

TEST(Aperture, ConcurrentCrossingsLoseNothing) {
  // Four tracking threads cross the same moments aperture with an output file at once. The
  // values are chosen so that every sum is exact in any order.
  const int nthreads = 4, per = 300;
  ThreadSetting threads(nthreads);
  TempDir dir("ordax_aperture");
  const std::string name = dir / "moments.csv";
  ApertureCell a("moments-aperture", {{"radius", 0.5}}, {{"outputfile", name.c_str()}});
  std::vector<std::thread> pool;
  for (int k = 0; k < nthreads; k++) {
    pool.emplace_back([&, k] {
      for (int i = 0; i < per; i++) {
        Particle p = particle(MuPlus, V3{0.125 * (k - 1.5), 0.0625, 0.4}, V3{0, 0, 200}, 0.5);
        cross(a, p, 1e-9, (unsigned)k);
        ApertureMoments_add(&a.rec()->moments, 0.25, 1, -2, 0, 0, 0, 3, 0);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  const ApertureMoments& m = a.rec()->moments;
  EXPECT_EQ(m.w, nthreads * per * (0.5 + 0.25));
  EXPECT_EQ(m.wy, nthreads * per * (0.5 * 0.0625 + 0.25 * -2));
  EXPECT_EQ(m.waa[1][1], nthreads * per * (0.5 * 0.0625 * 0.0625 + 0.25 * 4));
  // Σ x over threads is 0 for the crossings; the extra adds give 0.25 each.
  EXPECT_EQ(m.wx, nthreads * per * 0.25);
  size_t total = 0;
  for (int k = 0; k < nthreads; k++) total += lines(name + "$thread$" + std::to_string(k)).size();
  EXPECT_EQ(total, (size_t)(nthreads * per));
  EXPECT_EQ(lines(name), std::vector<std::string>{APERTURE_CSVHEADER});
}

TEST(Aperture, MomentSumsFromManyThreadsAddUpExactly) {
  // A tight loop on every thread, so that unguarded additions would lose some. Each value is a
  // small binary fraction, so the totals are exact in any order.
  const int nthreads = 4, per = 50000;
  ApertureMoments m;
  ApertureMoments_zero(&m);
  std::vector<std::thread> pool;
  for (int k = 0; k < nthreads; k++)
    pool.emplace_back([&m, k] {
      for (int i = 0; i < per; i++)
        ApertureMoments_add(&m, 0.5, k, 0.25, -1, 2, 1.5, 8, 0.125);
    });
  for (std::thread& t : pool) t.join();
  const double n = nthreads * per;
  EXPECT_EQ(m.w, 0.5 * n);
  EXPECT_EQ(m.wx, 0.5 * per * (0 + 1 + 2 + 3));
  EXPECT_EQ(m.wy, 0.125 * n);
  EXPECT_EQ(m.wbgx, -0.5 * n);
  EXPECT_EQ(m.waa[0][0], 0.5 * per * (0 + 1 + 4 + 9));
  EXPECT_EQ(m.waa[2][3], -1.0 * n);
  EXPECT_EQ(m.wbg, 0.75 * n);
  EXPECT_EQ(m.wEE, 32 * n);
  EXPECT_EQ(m.wEt, 0.5 * n);
  EXPECT_EQ(m.wtt, 0.0078125 * n);
}

TEST(Aperture, StatisticsRecoverTheTwissParametersOfAnEllipse) {
  // Particles spread evenly in phase on the ellipses of invariants Jx, Jy with known Twiss
  // parameters: the rms emittance is J, and β, α come back exactly.
  const double bx = 2.5, ax = -0.7, Jx = 3e-6, by = 0.8, ay = 1.3, Jy = 1e-6, bg = 1.9;
  const double mx = 0.01, my = -0.02, E = 2e8, t = 5e-9;
  ApertureMoments m;
  ApertureMoments_zero(&m);
  const int n = 64;
  for (int i = 0; i < n; i++) {
    const double phx = 2 * pi * i / n, phy = 2 * pi * ((i * 5) % n) / n + 0.3;
    const double x = std::sqrt(2 * Jx * bx) * std::cos(phx);
    const double xp = -std::sqrt(2 * Jx / bx) * (std::sin(phx) + ax * std::cos(phx));
    const double y = std::sqrt(2 * Jy * by) * std::cos(phy);
    const double yp = -std::sqrt(2 * Jy / by) * (std::sin(phy) + ay * std::cos(phy));
    // Energy and time correlated along a line, plus a spread: ±dE, ±dt on alternate particles.
    const double dE = (i % 2 ? 1 : -1) * 1e6, dt = (i % 4 < 2 ? 1 : -1) * 1e-11;
    ApertureMoments_add(&m, 2.0, mx + x, my + y, bg * xp, bg * yp, bg, E + dE, t + dt);
  }
  const ApertureStats s = ApertureMoments_stats(&m);
  EXPECT_DOUBLE_EQ(s.w, 2.0 * n);
  EXPECT_NEAR(s.mean[0], mx, 1e-15);
  EXPECT_NEAR(s.mean[1], my, 1e-15);
  EXPECT_NEAR(s.mean[2], 0, 1e-15);
  EXPECT_NEAR(s.sigma[0], std::sqrt(Jx * bx), 1e-12);
  EXPECT_NEAR(s.sigma[3], bg * std::sqrt(Jy * (1 + ay * ay) / by), 1e-12);
  EXPECT_NEAR(s.emitx, bg * Jx, 1e-6 * bg * Jx);  // normalised: βγ times the geometric one
  EXPECT_NEAR(s.emity, bg * Jy, 1e-6 * bg * Jy);
  EXPECT_NEAR(s.betax, bx, 1e-6 * bx);
  EXPECT_NEAR(s.alphax, ax, 1e-6);
  EXPECT_NEAR(s.betay, by, 1e-6 * by);
  EXPECT_NEAR(s.alphay, ay, 1e-6);
  EXPECT_NEAR(s.bg, bg, 1e-13);
  // The planes are uncorrelated (phases 5:1), so the 4-d emittance is the geometric mean.
  EXPECT_NEAR(s.emit4d, std::sqrt(s.emitx * s.emity), 1e-6 * s.emit4d);
  EXPECT_NEAR(s.meanE, E, 1e-6);
  EXPECT_NEAR(s.sigmaE, 1e6, 1e-3);
  EXPECT_NEAR(s.meant, t, 1e-20);
  EXPECT_NEAR(s.sigmat, 1e-11, 1e-17);
  EXPECT_NEAR(s.emitlong, 1e6 * 1e-11, 1e-6 * 1e-5);  // independent signs: no correlation

  ApertureMoments empty;
  ApertureMoments_zero(&empty);
  const ApertureStats e = ApertureMoments_stats(&empty);
  EXPECT_EQ(e.w, 0);
  EXPECT_TRUE(std::isnan(e.mean[0]) && std::isnan(e.betax) && std::isnan(e.emitlong));
}

TEST(Aperture, MomentReportListsTheMomentsAperturesOfTheMachine) {
  Cell* machine = Cell_new(Composite, "line");
  ApertureCell m1("moments-aperture", {{"radius", 0.5}}, {}, planeframe(), "M1");
  ApertureCell fin("finish-aperture", {}, {}, planeframe(), "F");
  ApertureCell m2("Moments-aperture", {}, {}, AffineFrame{V3{0, 0, 2.0}, M3x3_identity()}, "M2");
  m1.c->s = 0.2;  // entrance 0.3 m before the plane
  m1.c->entrance.origin = V3{0, 0, 0.2};
  m2.c->s = 2.0;
  Cell_add(machine, m1.release(), -1);
  Cell_add(machine, fin.release(), -1);
  Cell_add(machine, m2.release(), -1);
  Aperture* a1 = reinterpret_cast<Aperture*>(machine->children[0]->rtd);
  // x and bgx uncorrelated; nothing in y, so that plane has no emittance.
  for (double x : {0.01, -0.01})
    for (double bgx : {0.1, -0.1}) ApertureMoments_add(&a1->moments, 1.0, x, 0, bgx, 0, 1.5, 2e8, 1e-9);

  const testsupport::Bytes report = testsupport::writtenby(
      [&](FILE* f) { EXPECT_EQ(ApertureMoments_writereport(machine, f), 2); });
  std::vector<std::string> l = split(std::string(report.begin(), report.end()), '\n');
  if (!l.empty() && l.back().empty()) l.pop_back();
  ASSERT_EQ(l.size(), 3u);
  const std::vector<std::string> head = split(l[0], '\t');
  const std::vector<std::string> r1 = split(l[1], '\t'), r2 = split(l[2], '\t');
  ASSERT_EQ(r1.size(), head.size());
  ASSERT_EQ(r2.size(), head.size());
  auto col = [&](const char* h) {
    for (size_t i = 0; i < head.size(); i++)
      if (head[i] == h) return i;
    ADD_FAILURE() << "no column " << h;
    return (size_t)0;
  };
  EXPECT_EQ(r1[0], "M1");
  EXPECT_EQ(r2[0], "M2");
  EXPECT_DOUBLE_EQ(std::stod(r1[col("s(m)")]), 0.5);
  EXPECT_DOUBLE_EQ(std::stod(r2[col("s(m)")]), 2.0);
  EXPECT_EQ(std::stod(r1[col("weight")]), 4);
  EXPECT_DOUBLE_EQ(std::stod(r1[col("sigma x(m)")]), 0.01);
  EXPECT_DOUBLE_EQ(std::stod(r1[col("sigma bgx")]), 0.1);
  EXPECT_DOUBLE_EQ(std::stod(r1[col("mean E(eV)")]), 2e8);
  EXPECT_NEAR(std::stod(r1[col("emit x(m)")]), 1e-3, 1e-12);
  EXPECT_NEAR(std::stod(r1[col("beta x(m)")]), 1e-4 * 1.5 / 1e-3, 1e-9);
  EXPECT_NEAR(std::stod(r1[col("alpha x")]), 0, 1e-9);
  EXPECT_EQ(std::stod(r1[col("emit y(m)")]), 0);
  EXPECT_EQ(r1[col("beta y(m)")], "");  // zero emittance: no Twiss parameters
  EXPECT_EQ(std::stod(r2[col("weight")]), 0);
  EXPECT_EQ(r2[col("mean x(m)")], "");  // no particles: nothing defined

  TempDir dir("ordax_aperture");
  const std::string name = dir / "moments.txt";
  EXPECT_EQ(ApertureMoments_savereport(machine, name.c_str()), 2);
  const std::vector<std::string> saved = lines(name);
  ASSERT_EQ(saved.size(), 7u);  // report, a blank line, raw sums
  EXPECT_EQ(saved[0], l[0]);
  EXPECT_EQ(saved[3], "");
  const std::vector<std::string> sums = split(saved[5], '\t');
  ASSERT_EQ(sums.size(), 2u + 27u);
  EXPECT_EQ(std::stod(sums[2]), 4);                // w
  EXPECT_DOUBLE_EQ(std::stod(sums[2 + 5]), 4e-4);  // w·x·x
  Cell_freeref(machine, 0);
}

TEST(Aperture, MomentReportThatCannotBeWrittenIsReported) {
  Captured cap;
  Cell* machine = Cell_new(Composite, "line");
  EXPECT_EQ(ApertureMoments_savereport(machine, "/nonexistent-ordax-dir/m.txt"), -1);
  ASSERT_EQ(cap.all.size(), 1u);
  EXPECT_EQ(cap.all[0], "Could not write the moment report /nonexistent-ordax-dir/m.txt");
  Cell_freeref(machine, 0);
}

// ---- bounding box and restore ----

TEST(Aperture, BoundingBoxCoversThePlate) {
  const AffineFrame f{V3{1, 2, 3}, M3x3_Rxyz(V3{0.3, 0.2, 0.1})};
  auto local = [&](double x, double y) {
    double X = x, Y = y, Z = 0;
    affine(f, &X, &Y, &Z);
    return V3{X, Y, Z};
  };
  auto inbox = [](const Cell* c, V3 p, double slack) {
    return p.x >= c->xmin - slack && p.x <= c->xmax + slack && p.y >= c->ymin - slack &&
           p.y <= c->ymax + slack && p.z >= c->zmin - slack && p.z <= c->zmax + slack;
  };
  {
    ApertureCell a("rectangular-aperture", {{"x1", -0.1}, {"y1", -0.2}, {"x2", 0.3}, {"y2", 0.4}},
                   {}, f);
    Cell_bbreset(a.c);
    BBaperture(a.c->rtd, a.c);
    for (V3 p : {local(-1.1, -1.2), local(1.3, -1.2), local(-1.1, 1.4), local(1.3, 1.4)})
      EXPECT_TRUE(inbox(a.c, p, 1e-12));
    EXPECT_FALSE(inbox(a.c, local(1.4, 1.5), 0));
  }
  {
    ApertureCell a("circle-aperture", {{"radius", 0.2}}, {}, f);
    Cell_bbreset(a.c);
    BBaperture(a.c->rtd, a.c);
    // 16 points of the radius-1.2 circle: every point of it within the chord's sag.
    for (int k = 0; k < 360; k++) {
      const double th = 2 * pi * k / 360;
      EXPECT_TRUE(inbox(a.c, local(1.2 * std::cos(th), 1.2 * std::sin(th)),
                        1.2 * (1 - std::cos(pi / 16)) + 1e-12));
    }
  }
  {
    ApertureCell a("edge-aperture", {{"distance", -0.3}}, {}, f);
    Cell_bbreset(a.c);
    BBaperture(a.c->rtd, a.c);
    EXPECT_TRUE(inbox(a.c, f.origin, 0));
    EXPECT_TRUE(inbox(a.c, local(1.3, -1.3), 1e-12));
  }
}

TEST(Aperture, RestoredRecordTakesItsFileNameFromTheCell) {
  TempDir dir("ordax_aperture");
  const std::string name = dir / "r.csv";
  ApertureCell a("output-aperture", {{"radius", 0.2}}, {{"outputfile", name.c_str()}});
  a.rec()->outputfailed = 1;
  a.rec()->headerdone = 1;
  Cell* back = testsupport::restored(a.c);
  ASSERT_NE(back, nullptr);
  const Aperture* r = reinterpret_cast<const Aperture*>(back->rtd);
  ASSERT_NE(r->outputfile, nullptr);
  EXPECT_NE(r->outputfile, a.rec()->outputfile);  // its own copy, not the written pointer
  EXPECT_EQ(r->outputfile, std::string(name));
  EXPECT_EQ(r->outputfailed, 0u);
  EXPECT_EQ(r->headerdone, 0);
  EXPECT_EQ(r->p3, 0.2);
  EXPECT_EQ(back->collisiondetect, (CellCollisionFn)CDaperture);
  // The class row is found again, commit included: a crossing of the restored cell is written.
  ThreadSetting one(1);
  cross(back, particle(MuPlus, V3{0.05, 0, 0.4}, V3{0, 0, 200}));
  EXPECT_EQ(lines(name).size(), 2u);
  Cell_freeref(back, 0);
}

}  // namespace
