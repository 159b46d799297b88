// The lane pusher against the one-particle pusher (every width must give the same bits), and
// whole runs of the bundled lattices and a generated solenoid channel at every lane width this
// machine has and on 1, 2 and 4 threads: the final beams and the scores must be identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/random.h"
#include "lattice/cell.h"
#include "lattice/frames.h"
#include "sim/components/solenoid.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/stepping.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Machine;

const double MeV = 1.602176462e-13;  // J

// The widths to compare: 1 and every wider one the processor runs.
std::vector<int> widths() {
  std::vector<int> w;
  for (int k : {1, 2, 4, 8})
    if (k <= pusher_maxwidth()) w.push_back(k);
  return w;
}

// Keeps the width in use for the test's duration.
struct WidthGuard {
  int saved = pusher_width();
  ~WidthGuard() { pusher_setwidth(saved); }
};

Cell* solenoidcell(double z, double length, double radius, double field) {
  Cell* c = testsupport::cellwith("S", "solenoid",
                                  {{"length", length}, {"radius", radius}, {"field", field}});
  c->axis = AffineFrame_identity();
  c->axis.origin.z = z;
  c->field = solfield;
  consolenoid(c, nullptr);
  return c;
}

TEST(Lanes, EveryWidthPushesEachParticleAsTheOneParticlePusher) {
  WidthGuard guard;
  // Three coils with overlapping fringes, the last one switched off after 5 ns.
  Cell* coils[3] = {solenoidcell(0, 0.5, 0.3, 2), solenoidcell(0.6, 0.5, 0.3, -2.5),
                    solenoidcell(1.2, 0.4, 0.2, 3)};
  Cell_setattrib(coils[2], "OffTime", 5e-9);
  consolenoid(coils[2], nullptr);
  struct Case {
    const char* what;
    ParticleSpecies species;
    double x, y, z, px, py, pz;  // m, MeV/c
  } cases[] = {
      {"on the axis", MuPlus, 0, 0, 0.3, 0, 0, 200},
      {"off the axis", MuMinus, 0.05, -0.02, 0.55, 10, -20, 180},
      {"at 1.2 radii of the first coil", PiPlus, 0.36, 0, 0.2, 0, 5, 150},
      {"beyond 1.2 radii", PiMinus, 0.5, 0.1, 0.3, -3, 0, 220},
      {"just inside the 1.2-radius shell", MuPlus, 0.3599999999, 0, 0.25, 1, 1, 190},
      {"uncharged", Neutron, 0.01, 0.02, 0.7, 5, 5, 300},
      {"in the switched coil", Proton, 0.02, 0.0, 1.3, 0, 2, 400},
      {"slow and far from the axis", MuMinus, 0.2, 0.2, 1.0, 30, -30, 40},
      {"backwards", PiPlus, -0.1, 0.05, 0.9, 0, 0, -120},
  };
  const int ncases = (int)(sizeof cases / sizeof cases[0]);
  std::vector<Particle> start;
  for (const Case& k : cases) {
    Particle p = Particle_new(k.species);
    Particle_setnearby(&p, coils, 3);
    const double f = MeV / c_light / speciesmass[k.species];
    p.x = k.x, p.y = k.y, p.z = k.z;
    p.Vx = k.px * f, p.Vy = k.py * f, p.Vz = k.pz * f;
    start.push_back(p);
  }
  // Before and after the coil switches off.
  for (double t : {1e-9, 6e-9}) {
    std::vector<Particle> alone = start;
    for (Particle& p : alone)
      for (int s = 0; s < 3; s++) advanceparticle_merged2a(&p, t + s * 2e-11, 2e-11);
    for (int w : widths()) {
      ASSERT_EQ(pusher_setwidth(w), w);
      // Every batch size up to the width, so the padded lanes are exercised too.
      for (int count = 1; count <= w; count++) {
        SCOPED_TRACE(testing::Message() << "t " << t << ", width " << w << ", batch " << count);
        std::vector<Particle> lanes = start;
        for (int s = 0; s < 3; s++)
          for (int first = 0; first < ncases; first += count) {
            std::vector<Particle*> batch;
            for (int i = first; i < ncases && i < first + count; i++) batch.push_back(&lanes[i]);
            advanceparticles(batch.data(), (int)batch.size(), t + s * 2e-11, 2e-11);
          }
        for (int i = 0; i < ncases; i++)
          EXPECT_EQ(memcmp(&lanes[i], &alone[i], sizeof(Particle)), 0)
              << cases[i].what << ": x " << lanes[i].x << " / " << alone[i].x;
      }
    }
  }
  for (Particle& p : start) Particle_free(&p);
  for (Cell* c : coils) Cell_freeref(c, 0);
}

// The bore test in lanes against the one-particle search (Cell_sr on the particle's segment and
// the search's moves to a neighbour), at every width and batch size: the lanes decide exactly
// where the particle stays in its straight segment of the machine and leave the rest undecided.
TEST(Lanes, BoreTestDecidesAsTheOneParticleSearchOrLeavesItToIt) {
  WidthGuard guard;
  // Four children: two tilted straight ones, a bent one, a last straight one without a bore.
  Cell* machine = Cell_new(Composite, "M");
  const double lengths[4] = {1.0, 0.5, 1.0, 0.8}, angles[4] = {0, 0, 0.2, 0};
  AffineFrame f = AffineFrame_identity();
  f.M = M3x3_Rxyz(V3{0.03, -0.2, 0.1});
  f.origin = V3{0.1, -0.05, 0.3};
  for (int k = 0; k < 4; k++) {
    Cell* c = Cell_new(Component, "C");
    c->length = lengths[k];
    c->angle = angles[k];
    c->entrance = f;
    Cell_add(machine, c, -1);
    f = AffineFrame_transportarc(f, lengths[k], angles[k], 0.3);
  }
  Cell* other = Cell_new(Composite, "Other");
  std::vector<SegmentFrame> frames;
  // A point of child k at arc length s and offsets (X, Y) (global), and its distance r there.
  auto at = [&](int k, double s, double X, double Y, double* r) {
    double x, y, z;
    Cell_unsxy(machine->children[k], s, X, Y, &x, &y, &z);
    Cell_sr(machine->children[k], x, y, z, nullptr, r);
    return V3{x, y, z};
  };
  double r0, r1;
  const V3 onbore = at(0, 0.4, 0.03, -0.04, &r0), offaxis = at(1, 0.2, 0.1, 0.02, &r1);
  // Child 0's bore is the distance of `onbore` exactly (inside), child 1's a hair below that of
  // `offaxis` (outside); child 2 is bent, child 3 has no bore.
  const double bores[4] = {r0, std::nextafter(r1, 0.0), 0.2, 0};
  for (int k = 0; k < 4; k++) frames.push_back(SegmentFrame_of(machine->children[k], bores[k]));
  struct Case {
    const char* what;
    V3 pos;
    int segment;
    Cell* line;
    int verdict, seg;  // expected; seg only where decided
  } cases[] = {
      {"on the bore", onbore, 0, machine, 0, 0},
      {"a hair outside", offaxis, 1, machine, 1, 1},
      {"segment unknown", onbore, -1, machine, 0, 0},
      {"segment beyond the machine", at(3, 0.1, 0.5, 0.5, &r0), 7, machine, 0, 3},
      {"far out, no bore", at(3, 0.7, 3.0, 1.0, &r0), 3, machine, 0, 3},
      {"before the first child", at(0, -0.2, 0.01, 0, &r0), 0, machine, 0, 0},
      {"beyond the last child", at(3, 1.5, 0.01, 0, &r0), 3, machine, 0, 3},
      {"already in the next child", at(1, 0.1, 0.0, 0.01, &r0), 0, machine, 2, 0},
      {"still in the last child", at(0, 0.9, 0.0, 0.01, &r0), 1, machine, 2, 0},
      {"in the bent child", at(2, 0.5, 0.01, 0.01, &r0), 2, machine, 2, 0},
      {"on another beam line", onbore, 0, other, 2, 0},
  };
  const int ncases = (int)(sizeof cases / sizeof cases[0]);
  std::vector<Particle> ps;
  for (const Case& c : cases) {
    Particle p = Particle_new(MuPlus);
    p.x = c.pos.x, p.y = c.pos.y, p.z = c.pos.z;
    p.segment = c.segment;
    p.beamline = c.line;
    ps.push_back(p);
  }
  for (int w : widths()) {
    ASSERT_EQ(pusher_setwidth(w), w);
    for (int count = 1; count <= w; count++)
      for (int first = 0; first < ncases; first += count) {
        const int n = std::min(count, ncases - first);
        const Particle* batch[8];
        int32_t seg[8];
        uint8_t verdict[8];
        for (int i = 0; i < n; i++) batch[i] = &ps[(size_t)(first + i)];
        boreparticles(batch, n, machine, frames.data(), seg, verdict);
        for (int i = 0; i < n; i++) {
          const Case& c = cases[first + i];
          EXPECT_EQ(verdict[i], c.verdict) << c.what << ", width " << w << ", batch " << count;
          if (c.verdict < 2) {
            EXPECT_EQ(seg[i], c.seg) << c.what;
          }
        }
      }
  }
  // Points all over child 1, each with the bore set to its distance from the axis (inside) and
  // a hair below (outside): a lane value off by one rounding shows.
  std::vector<SegmentFrame> one = frames;
  uint32_t seed = 1;
  for (int w : widths()) {
    ASSERT_EQ(pusher_setwidth(w), w);
    for (int k = 0; k < 200; k++) {
      const double s = 0.5 * durnd(5, seed), X = 0.3 * (durnd(5, seed + 1) - 0.5),
                   Y = 0.3 * (durnd(5, seed + 2) - 0.5);
      seed += 3;
      double r;
      const V3 q = at(1, s, X, Y, &r);
      Particle p = ps[1];
      p.x = q.x, p.y = q.y, p.z = q.z;
      const Particle* batch[8];
      for (int i = 0; i < w; i++) batch[i] = &p;
      int32_t seg[8];
      uint8_t verdict[8];
      for (double bore : {r, std::nextafter(r, 0.0)}) {
        one[1].bore = bore;
        boreparticles(batch, w, machine, one.data(), seg, verdict);
        EXPECT_EQ(verdict[w - 1], bore == r ? 0 : 1) << "width " << w << ", point " << k;
      }
    }
  }
  for (Particle& p : ps) Particle_free(&p);
  Cell_freeref(machine, 0);
  Cell_freeref(other, 0);
}

// A channel of 16 alternating coils with a muon beam, written in the lattice language; the
// coils' bore is narrow enough that part of the beam strikes them, and the gaps' bore (a
// centimetre inside the coils') stops part of it.
const char* const generatedchannel =
    "t_max=20ns\n"
    "{twiss-beam(B) species Energy(MeV) EnergySpread(MeV) TransEmitGeom(mm) betax(m) betay(m)"
    " population TimeSpread(ns)}\n"
    "BMu \"mu+\" 200 60 6 0.3 0.3 1500 0.5\n"
    "{Solenoid(S) Radius(cm) Field(T) Length(cm) OuterRadius(cm)}\n"
    "{Drift(D) Length(cm) Bore(cm)}\n"
    "#for (i = 1; i <= 16; i = i + 1) {#\n"
    "S#i# 12 #(i % 2) * 4 - 2# 50 22\n"
    "D#i# 10 11\n"
    "#}#\n"
    "channel: BMu#for (i = 1; i <= 16; i = i + 1) {#,S#i#,D#i##}#;\n";

// What a run leaves: a hash of every final record (pointers left out) and the score; and the
// steps the load-balance log shows on one thread and on several.
struct Outcome {
  uint64_t hash = 0;
  double score = 0;
  int32_t records = 0;
  int32_t stopped = 0;  // records that struck matter
  int onethread = 0, several = 0;
};

uint64_t fnv(uint64_t h, const void* data, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; i++) h = (h ^ b[i]) * 1099511628211ull;
  return h;
}

using Files = std::vector<std::pair<std::string, std::string>>;

Outcome runlattice(const std::string& text, const char* name, int width, int threads,
                   const Files& datafiles) {
  pusher_setwidth(width);
  srand15(7);  // the same free parameters every time
  Machine m(text, "-param:seedbase=777", name, datafiles);
  Outcome o;
  if (!m.built()) return o;
  Simulation& sim = m.sim;
  sim.threads = threads;
  sim.particlesperthread = 1;
  FILE* log = std::tmpfile();
  sim.loadbalancelog = log;
  // Enough steps to carry the beams through their machines, bounded for the test's time.
  for (int step = 0; step < 600 && sim.beam.m > 0 && sim.t < sim.t_max; step++)
    Simulation_advance(&sim, 1, StepCollide, 1);
  sim.loadbalancelog = nullptr;
  o.hash = 14695981039346656037ull;
  o.records = sim.beam.M;
  for (int32_t i = 0; i < sim.beam.M; i++) {
    Particle p = sim.beam.particles[i];
    o.stopped += p.state == Stopped;
    p.nearby = nullptr;
    p.beamline = nullptr;
    o.hash = fnv(o.hash, &p, sizeof p);
  }
  o.score = Simulation_score(&sim);
  // Each step's first line holds one tab-led share per thread it ran on.
  std::rewind(log);
  char line[512];
  while (std::fgets(line, sizeof line, log))
    if (line[0] == '\t' && line[1] >= '0' && line[1] <= '9')
      (std::count(line, line + std::strlen(line), '\t') > 1 ? o.several : o.onethread)++;
  std::fclose(log);
  return o;
}

TEST(LanesSlow, BundledLatticesAndAChannelGiveTheSameBeamAtEveryWidthAndThreadCount) {
  WidthGuard guard;
  const fs::path source = ORDAX_SOURCE_DIR;
  struct Lattice {
    std::string name, text;
    Files datafiles;
  };
  std::vector<Lattice> lattices = {{"generated", generatedchannel, {}}};
  for (const char* name : {"decaychannel", "_pencil", "_absorber", "_chicane", "_rf"})
    lattices.push_back({name, testsupport::readfile(source / "lattices" / (std::string(name) + ".txt")), {}});
  // The front end with the first 600 pions of its production file (the whole file is a run of
  // seconds): they leave the target rod at the start of the steps.
  const std::vector<std::string> pions =
      testsupport::readlines(source / "datafiles" / "target_piplus.csv");
  std::string head;
  for (size_t i = 0; i < pions.size() && i <= 600; i++) head += pions[i] + "\n";
  lattices.push_back({"frontend", testsupport::readfile(source / "lattices" / "frontend.txt"),
                      {{"target_piplus.csv", head}}});
  // Runs at every width on one thread, then at the widest on 2 and 4 threads, which choose at
  // run time between one thread and all of them.
  std::vector<std::pair<int, int>> runs;
  for (int w : widths()) runs.push_back({w, 1});
  for (int threads : {2, 4}) runs.push_back({widths().back(), threads});
  for (const Lattice& l : lattices) {
    SCOPED_TRACE(l.name);
    ASSERT_FALSE(l.text.empty());
    testsupport::Messages quiet;
    const Outcome reference = runlattice(l.text, l.name.c_str(), 1, 1, l.datafiles);
    ASSERT_GT(reference.records, 0) << "the lattice built no beam";
    if (l.name == "generated" || l.name == "frontend") {
      ASSERT_GT(reference.stopped, 0) << "no particle struck matter";
    }
    for (auto [w, threads] : runs) {
      SCOPED_TRACE(testing::Message() << "width " << w << ", threads " << threads);
      const Outcome o = runlattice(l.text, l.name.c_str(), w, threads, l.datafiles);
      EXPECT_EQ(o.records, reference.records);
      EXPECT_EQ(o.hash, reference.hash);
      EXPECT_EQ(o.score, reference.score);
      // The channel's beam is large enough for several threads at every step: the steps on one
      // thread are the choice's looks at it.
      if (l.name == "generated" && threads > 1) {
        EXPECT_GT(o.onethread, 0);
        EXPECT_GT(o.several, 0);
      }
    }
  }
}

}  // namespace
