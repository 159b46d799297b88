#include "sim/material.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/report.h"
#include "sim/pusher.h"
#include "tests/support/support.h"

namespace fs = std::filesystem;

namespace {

// ---- test pusher, particles, material files ----

int pushes = 0;
// Exact straight-line motion at the particle's speed.
void straightpusher(Particle* p, double, double dt) {
  pushes++;
  double ig = invgamma_from_Vxyz(p->Vx, p->Vy, p->Vz);
  p->x += dt * p->Vx * ig;
  p->y += dt * p->Vy * ig;
  p->z += dt * p->Vz * ig;
  p->propertime += dt * ig;
}

double mass() { return speciesmass[MuPlus]; }

// A muon of momentum p (MeV/c) along direction dir, with its own stream.
Particle muon(double p, V3 dir, uint32_t seed) {
  Particle q = Particle_new(MuPlus);
  V3 V = V3_normalise(dir) * (p * KGMS_PER_MEVC / mass());
  q.Vx = V.x, q.Vy = V.y, q.Vz = V.z;
  q.x = 0.1, q.y = -0.2, q.z = 0.3;
  q.seed = seed;
  q.seq = 7;
  return q;
}

double momentumof(const Particle& q) {
  return std::sqrt(q.Vx * q.Vx + q.Vy * q.Vy + q.Vz * q.Vz) * mass() * MEVC_PER_KGMS;
}
double speedof(const Particle& q) { return v_from_Vxyz(q.Vx, q.Vy, q.Vz); }

bool samestate(const Particle& a, const Particle& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z && a.Vx == b.Vx && a.Vy == b.Vy &&
         a.Vz == b.Vz && a.propertime == b.propertime && a.seq == b.seq && a.state == b.state;
}

fs::path layerfile(const fs::path& dir, int k) { return dir / ("t_" + std::to_string(k) + ".dat"); }

struct FileLayer {
  double p, meanloss, lossvar, transvar;
  std::vector<ScatterRecord> records;
};

ScatterRecord record(float rate, float along, float across, uint8_t kind) {
  ScatterRecord r{};
  r.rate = rate;
  r.dpalong = along;
  r.dpacross = across;
  r.kind = kind;
  return r;
}

void writebytes(const fs::path& path, const std::vector<unsigned char>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

void putfloat(std::vector<unsigned char>* b, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  for (int i = 0; i < 4; i++) b->push_back((unsigned char)(u >> (8 * i)));
}

// Writes dir/<prefix>0.dat (index) and dir/<prefix>k.dat (layers); the pattern is
// <prefix>%d.dat.
void writematerial(const fs::path& dir, const std::string& prefix,
                   const std::vector<FileLayer>& layers) {
  FILE* f = std::fopen((dir / (prefix + "0.dat")).c_str(), "w");
  ASSERT_NE(f, nullptr);
  for (const FileLayer& l : layers)
    std::fprintf(f, "%.17g\t%.17g\t%.17g\t%.17g\n", l.p, l.meanloss, l.lossvar, l.transvar);
  std::fclose(f);
  for (size_t k = 0; k < layers.size(); k++) {
    std::vector<unsigned char> bytes;
    for (const ScatterRecord& r : layers[k].records) {
      putfloat(&bytes, r.rate);
      putfloat(&bytes, r.dpalong);
      putfloat(&bytes, r.dpacross);
      bytes.push_back(r.kind);
      bytes.insert(bytes.end(), {0, 0, 0});
    }
    writebytes(dir / (prefix + std::to_string(k + 1) + ".dat"), bytes);
  }
}

// Three layers with discrete records whose total mean losses all differ.
std::vector<FileLayer> threelayers() {
  return {
      {100, 30, 4, 9, {record(20, 0.5f, 0.25f, 1), record(5, 2.0f, 0.5f, 2)}},
      {200, 20, 3, 6, {record(40, 0.25f, 0.125f, 2)}},
      {400, 15, 2, 3, {record(10, 1.0f, 0.0f, 3), record(10, 0.5f, 0.5f, 3)}},
  };
}

// Fixture: a fresh directory, captured reports, the straight-line pusher in the slot.
class MaterialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedpusher = advanceparticle;
    advanceparticle = straightpusher;
    pushes = 0;
    scatteringsuppressed = false;
    dirtext = dir.string() + "/";
  }
  void TearDown() override {
    advanceparticle = savedpusher;
    scatteringsuppressed = false;
  }
  ScatterData load(const std::string& pattern) {
    return loadelms2_from(dirtext.c_str(), pattern.c_str());
  }
  PusherFn savedpusher = nullptr;
  testsupport::TempDir tmp{"ordax_material"};
  const fs::path& dir = tmp.path();
  testsupport::AllMessages captured;
  std::vector<std::string>& messages = captured.all;
  std::string dirtext;
};

// ---- transport ----

TEST_F(MaterialTest, NoMaterialIsExactlyOnePush) {
  // The test pusher (counted) and the program's own pusher.
  for (PusherFn pusher : {(PusherFn)straightpusher, savedpusher}) {
    advanceparticle = pusher;
    pushes = 0;
    Particle a = muon(200, V3{0.1, 0.2, 1}, 99), b = a;
    scatterparticle(&a, 1e-9, 1e-11, nullptr);
    if (pusher == straightpusher) {
      EXPECT_EQ(pushes, 1);
    }
    advanceparticle(&b, 1e-9, 1e-11);
    EXPECT_TRUE(samestate(a, b));
    EXPECT_NE(a.z, 0.3);  // it did move
    EXPECT_EQ(a.seq, 7u);  // no random draw
  }
}

TEST_F(MaterialTest, OutsideTheTableEndsAtOnceWithoutMoving) {
  writematerial(dir, "t_", threelayers());
  ScatterData m = load("t_%d.dat");
  ASSERT_EQ(m.n, 3);
  struct Case {
    double p;
    ParticleState want;
  };
  for (Case c : {Case{50, ScatterSlow}, Case{99.99, ScatterSlow}, Case{400, ScatterFast},
                 Case{1000, ScatterFast}}) {
    SCOPED_TRACE(c.p);
    pushes = 0;
    Particle q = muon(c.p, V3{0, 0.3, 1}, 5), before = q;
    scatterparticle(&q, 0, 1e-10, &m);
    EXPECT_EQ(q.state, c.want);
    EXPECT_EQ(pushes, 0);
    EXPECT_TRUE(q.x == before.x && q.y == before.y && q.z == before.z);
    EXPECT_TRUE(q.Vx == before.Vx && q.Vy == before.Vy && q.Vz == before.Vz);
  }
}

TEST_F(MaterialTest, SuppressedLossIsLengthTimesTotalMeanLoss) {
  writematerial(dir, "t_", threelayers());
  ScatterData m = load("t_%d.dat");
  ASSERT_EQ(m.n, 3);
  // Total mean loss = continuous + Σ rate × along: 30 + 10 + 10, 20 + 10, 15 + 10 + 5.
  const double total[3] = {50, 30, 30};
  for (int k = 0; k < 3; k++) EXPECT_DOUBLE_EQ(m.layer[k].totalloss, total[k]);
  scatteringsuppressed = true;
  struct Case {
    double p;
    V3 dir;
  };
  const Case cases[] = {{120, {0, 0, 1}}, {150, {1, 2, -0.5}}, {250, {-0.3, 0.1, 1}},
                        {390, {0, 1, 0}}, {100, {1, 1, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.p);
    for (uint32_t seed = 1; seed <= 20; seed++) {
      pushes = 0;
      Particle q = muon(c.p, c.dir, seed), copy = q;
      int k = ScatterData_momlayer(&m, momentumof(q), &copy);
      ASSERT_GE(k, 0);
      ASSERT_LT(k, 3);
      double p0 = momentumof(q), L = speedof(q) * 2e-10;
      V3 V0{q.Vx, q.Vy, q.Vz};
      scatterparticle(&q, 1e-9, 2e-10, &m);
      EXPECT_EQ(q.state, Active);
      EXPECT_EQ(pushes, 1);
      EXPECT_NEAR(momentumof(q), p0 - L * total[k], 1e-12 * p0);
      V3 V1{q.Vx, q.Vy, q.Vz};
      EXPECT_LT(V3_norm(V0 ^ V1) / (V3_norm(V0) * V3_norm(V1)), 1e-15);  // no deflection
      EXPECT_NEAR(V3_dist(V3{q.x, q.y, q.z}, V3{0.1, -0.2, 0.3}), L, 1e-15);
    }
  }
}

TEST_F(MaterialTest, SameParticleTakesTheSamePath) {
  writematerial(dir, "t_", threelayers());
  ScatterData m = load("t_%d.dat");
  Particle a = muon(300, V3{0.2, 0, 1}, 4242), b = a, c = muon(300, V3{0.2, 0, 1}, 4243);
  for (int step = 0; step < 40; step++) {
    scatterparticle(&a, step * 1e-10, 1e-10, &m);
    scatterparticle(&b, step * 1e-10, 1e-10, &m);
    scatterparticle(&c, step * 1e-10, 1e-10, &m);
  }
  EXPECT_TRUE(samestate(a, b));
  EXPECT_GT(a.seq, 7u + 40 * 6);  // layers, distances, Gaussians, directions were drawn
  EXPECT_FALSE(samestate(a, c));
}

TEST_F(MaterialTest, MomentumLayerChoiceInterpolates) {
  writematerial(dir, "t_", threelayers());
  ScatterData m = load("t_%d.dat");
  struct Case {
    double p;
    int lo, hi;
    double hifraction;  // expected share of draws giving hi
  };
  const Case cases[] = {{100, 0, 1, 0.0}, {130, 0, 1, 0.3}, {350, 1, 2, 0.75}, {200, 1, 2, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.p);
    int hi = 0, n = 20000;
    for (int i = 0; i < n; i++) {
      Particle q = muon(c.p, V3{0, 0, 1}, 1000 + i);
      int k = ScatterData_momlayer(&m, c.p, &q);
      ASSERT_TRUE(k == c.lo || k == c.hi) << k;
      EXPECT_EQ(q.seq, 8u);  // one draw
      hi += k == c.hi;
    }
    EXPECT_NEAR((double)hi / n, c.hifraction, 5 * std::sqrt(0.25 / n));
  }
  // Outside the table: no draw.
  for (double p : {99.0, 400.0, 1e9, std::nan("")}) {
    Particle q = muon(200, V3{0, 0, 1}, 1);
    int k = ScatterData_momlayer(&m, p, &q);
    EXPECT_EQ(k, p >= 400 ? 3 : -1) << p;
    EXPECT_EQ(q.seq, 7u);
  }
}

TEST_F(MaterialTest, ContinuousLossAndSpreadFollowTheTable) {
  // No discrete records: the loss is Gaussian with mean L·meanloss and variance L·lossvar, and
  // each transverse momentum component has variance L·transvar.
  std::vector<FileLayer> layers;
  for (double p : {100.0, 200.0, 400.0}) layers.push_back(FileLayer{p, 40, 9, 25, {}});
  writematerial(dir, "c_", layers);
  ScatterData m = load("c_%d.dat");
  ASSERT_EQ(m.n, 3);
  const int n = 20000;
  double sum = 0, sum2 = 0, sx2 = 0, sy2 = 0, L = 0;
  for (int i = 0; i < n; i++) {
    Particle q = muon(250, V3{0, 0, 1}, 50000 + i);
    L = speedof(q) * 1e-10;
    scatterparticle(&q, 0, 1e-10, &m);
    double px = q.Vx * mass() * MEVC_PER_KGMS, py = q.Vy * mass() * MEVC_PER_KGMS;
    double dp = q.Vz * mass() * MEVC_PER_KGMS - 250;
    sum += dp, sum2 += dp * dp, sx2 += px * px, sy2 += py * py;
  }
  double mean = sum / n, var = sum2 / n - mean * mean;
  EXPECT_NEAR(mean, -L * 40, 5 * std::sqrt(L * 9 / n));
  EXPECT_NEAR(var / (L * 9), 1.0, 0.05);
  EXPECT_NEAR(sx2 / n / (L * 25), 1.0, 0.05);
  EXPECT_NEAR(sy2 / n / (L * 25), 1.0, 0.05);
}

TEST_F(MaterialTest, DiscreteInteractionsFollowTheirRates) {
  // Two kinds of interaction, 50/m taking 2 MeV/c and 150/m taking 0.5 MeV/c (and giving
  // 1 MeV/c across): the loss is compound Poisson with mean Σ r·a and variance Σ r·a² per
  // metre of path.
  std::vector<FileLayer> layers;
  for (double p : {100.0, 200.0, 400.0})
    layers.push_back(FileLayer{p, 0, 0, 0, {record(50, 2.0f, 0, 5), record(150, 0.5f, 1.0f, 5)}});
  writematerial(dir, "d_", layers);
  ScatterData m = load("d_%d.dat");
  ASSERT_EQ(m.n, 3);
  const int n = 20000;
  double sumloss = 0, sumloss2 = 0, sumpath = 0;
  for (int i = 0; i < n; i++) {
    Particle q = muon(300, V3{0, 0, 1}, 90000 + i);
    V3 r0{q.x, q.y, q.z};
    scatterparticle(&q, 0, 1e-10, &m);
    ASSERT_EQ(q.state, Active);
    double loss = 300 - momentumof(q);
    sumloss += loss, sumloss2 += loss * loss;
    sumpath += V3_dist(V3{q.x, q.y, q.z}, r0);
  }
  double path = sumpath / n, mean = sumloss / n, var = sumloss2 / n - mean * mean;
  EXPECT_NEAR(mean / (path * 175.0), 1.0, 0.02);
  EXPECT_NEAR(var / (path * 237.5), 1.0, 0.05);
}

TEST_F(MaterialTest, LossLargerThanTheMomentumStopsTheParticle) {
  std::vector<FileLayer> layers;
  for (double p : {100.0, 200.0, 400.0}) layers.push_back(FileLayer{p, 1e6, 0, 0, {}});
  writematerial(dir, "s_", layers);
  ScatterData m = load("s_%d.dat");
  scatteringsuppressed = true;
  Particle q = muon(300, V3{0, 0, 1}, 3);
  scatterparticle(&q, 0, 1e-10, &m);
  EXPECT_EQ(q.state, ScatterSlow);
  EXPECT_GT(q.Vz, 0);  // not turned round
}

// ---- loading ----

TEST_F(MaterialTest, RecordsAndLayersRoundTrip) {
  auto layers = threelayers();
  writematerial(dir, "t_", layers);
  ScatterData m = load("t_%d.dat");
  ASSERT_EQ(m.n, 3);
  EXPECT_TRUE(messages.empty());
  for (int k = 0; k < 3; k++) {
    SCOPED_TRACE(k);
    const FileLayer& w = layers[k];
    const ScatterLayer& l = m.layer[k];
    EXPECT_EQ(m.p[k], w.p);
    EXPECT_EQ(l.meanloss, w.meanloss);
    EXPECT_EQ(l.lossvar, w.lossvar);
    EXPECT_EQ(l.transvar, w.transvar);
    ASSERT_EQ(l.records.size(), w.records.size());
    ASSERT_EQ(l.cumrate.size(), w.records.size());
    double cum = 0, discrete = 0;
    for (size_t i = 0; i < w.records.size(); i++) {
      EXPECT_EQ(l.records[i].rate, w.records[i].rate);
      EXPECT_EQ(l.records[i].dpalong, w.records[i].dpalong);
      EXPECT_EQ(l.records[i].dpacross, w.records[i].dpacross);
      EXPECT_EQ(l.records[i].kind, w.records[i].kind);
      cum += w.records[i].rate;
      discrete += (double)w.records[i].rate * w.records[i].dpalong;
      EXPECT_EQ(l.cumrate[i], cum);
    }
    EXPECT_EQ(l.totalloss, w.meanloss + discrete);
  }
}

TEST_F(MaterialTest, GraphicsModeShowsTheRecordCounts) {
  writematerial(dir, "t_", threelayers());
  ScatterData m = loadelms2_from(dirtext.c_str(), "t_%d.dat", true);
  ASSERT_EQ(m.n, 3);
  EXPECT_EQ(messages, (std::vector<std::string>{"Loaded t_%d.dat: 5 records", "Nuclear: 1",
                                                "Hard electron: 2", "Soft electron: 2"}));
}

TEST_F(MaterialTest, PatternWithoutExactlyOneIntegerConversionIsRefused) {
  writematerial(dir, "t_", threelayers());
  const char* bad[] = {"t_.dat",      "t_%s.dat",    "t_%d_%d.dat", "t_%ld.dat", "t_%n.dat",
                       "t_%*d.dat",   "t_%1$d.dat",  "t_%d%",       "t_%f.dat",  "t_%1000d.dat",
                       "t_%.1000d",   "%%d",         "t_%c.dat"};
  for (const char* p : bad) {
    SCOPED_TRACE(p);
    messages.clear();
    ScatterData m = load(p);
    EXPECT_EQ(m.n, 0);
    EXPECT_EQ(messages, std::vector<std::string>{std::string("[FATAL] Material pattern '") + p +
                                                 "' must hold exactly one integer conversion"});
  }
  // Accepted forms: flags, width, precision, other integer conversions, "%%" and '\'.
  fs::create_directories(dir / "sub");
  writematerial(dir, "p%_00", threelayers());
  writematerial(dir / "sub", "h_", threelayers());
  for (const char* p : {"p%%_%03d.dat", "t_%i.dat", "t_%u.dat", "t_%-1x.dat", "sub\\h_%d.dat"}) {
    SCOPED_TRACE(p);
    messages.clear();
    EXPECT_EQ(load(p).n, 3);
    EXPECT_TRUE(messages.empty());
  }
}

TEST_F(MaterialTest, MissingIndexOrTooFewLayersIsFatal) {
  ScatterData m = load("none_%d.dat");
  EXPECT_EQ(m.n, 0);
  EXPECT_EQ(messages, std::vector<std::string>{"[FATAL] Failed to load material 'none_%d.dat': "
                                               "cannot open '" + dirtext + "none_0.dat'"});
  auto one = threelayers();
  one.resize(1);
  writematerial(dir, "one_", one);
  messages.clear();
  EXPECT_EQ(load("one_%d.dat").n, 0);
  EXPECT_EQ(messages, std::vector<std::string>{
                          "[FATAL] Failed to load material 'one_%d.dat': 1 usable layers"});
}

TEST_F(MaterialTest, DamagedFilesEndTheLayerList) {
  struct Case {
    const char* name;
    void (*damage)(const fs::path& dir);
    int n;
    const char* message;  // none, or the text after "Material 't_%d.dat': "
    int emptylayer = -1;  // a layer that loads without records
  };
  const Case cases[] = {
      {"sound", [](const fs::path&) {}, 5, nullptr},
      {"missing layer file 4", [](const fs::path& d) { fs::remove(layerfile(d, 4)); }, 3, nullptr},
      {"layer file 3 cut short",
       [](const fs::path& d) { fs::resize_file(layerfile(d, 3), 20); }, 2, "layer file 3"},
      {"layer file 2 absurdly long",
       [](const fs::path& d) {
         fs::resize_file(layerfile(d, 2), ((uint64_t)SCATTER_MAXRECORDS + 1) * sizeof(ScatterRecord));
       },
       1, "layer file 2"},
      {"layer file 4 empty", [](const fs::path& d) { fs::resize_file(layerfile(d, 4), 0); }, 5,
       nullptr, 3},
      {"negative rate in layer file 3",
       [](const fs::path& d) {
         std::vector<unsigned char> b;
         putfloat(&b, -1.0f), putfloat(&b, 1.0f), putfloat(&b, 1.0f);
         b.insert(b.end(), {1, 0, 0, 0});
         writebytes(layerfile(d, 3), b);
       },
       2, "layer file 3"},
      {"not-a-number along in layer file 5",
       [](const fs::path& d) {
         std::vector<unsigned char> b;
         putfloat(&b, 1.0f), putfloat(&b, NAN), putfloat(&b, 1.0f);
         b.insert(b.end(), {1, 0, 0, 0});
         writebytes(layerfile(d, 5), b);
       },
       4, "layer file 5"},
      {"index momenta not ascending",
       [](const fs::path& d) {
         FILE* f = std::fopen((d / "t_0.dat").c_str(), "w");
         std::fprintf(f, "100\t1\t1\t1\n200\t1\t1\t1\n300\t1\t1\t1\n250\t1\t1\t1\n500\t1\t1\t1\n");
         std::fclose(f);
       },
       3, "index line 4"},
      {"negative variance in the index",
       [](const fs::path& d) {
         FILE* f = std::fopen((d / "t_0.dat").c_str(), "w");
         std::fprintf(f, "100\t1\t1\t1\n200\t1\t1\t1\n300\t1\t-1\t1\n");
         std::fclose(f);
       },
       2, "index line 3"},
      {"index shorter than the layer files",
       [](const fs::path& d) {
         FILE* f = std::fopen((d / "t_0.dat").c_str(), "w");
         std::fprintf(f, "100\t1\t1\t1\n200\t1\t1\t1\n300\t1\t1\t1\nfour\n");
         std::fclose(f);
       },
       3, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<FileLayer> layers;
    for (int k = 0; k < 5; k++)
      layers.push_back(FileLayer{100.0 * (k + 1), 10, 1, 1, {record(2, 0.5f, 0.5f, 2)}});
    writematerial(dir, "t_", layers);
    fs::remove(layerfile(dir, 6));
    c.damage(dir);
    messages.clear();
    ScatterData m = load("t_%d.dat");
    if (c.n < 2) {
      EXPECT_EQ(m.n, 0);
      ASSERT_EQ(messages.size(), 2u);
      EXPECT_EQ(messages[1], "[FATAL] Failed to load material 't_%d.dat': 1 usable layers");
    } else {
      EXPECT_EQ(m.n, c.n);
      EXPECT_EQ(m.p.size(), (size_t)c.n);
      EXPECT_EQ(m.layer.size(), (size_t)c.n);
      EXPECT_EQ(messages.size(), c.message ? 1u : 0u);
    }
    if (c.message && !messages.empty()) {
      std::string want = std::string("Material 't_%d.dat': ") + c.message;
      if (std::string(c.message).rfind("layer file", 0) == 0) {
        int k = std::atoi(c.message + 11);
        want = "Material 't_%d.dat': layer file '" + layerfile(dir, k).string() +
               "' is damaged; the layer list ends before it";
      } else {
        want += " is not usable; the layer list ends before it";
      }
      EXPECT_EQ(messages[0], want);
    }
    // A layer that did load is whole.
    for (int k = 0; k < m.n; k++)
      EXPECT_EQ(m.layer[k].records.size(), k == c.emptylayer ? 0u : 1u) << "layer " << k;
  }
}

TEST_F(MaterialTest, CacheLoadsEachNameOnce) {
  testsupport::CwdGuard cwd(dir);
  fs::create_directories(dir / "datafiles" / "sub");
  std::string unique = std::to_string(std::random_device()());
  std::string a = "a" + unique + "_", b = "b" + unique + "_";
  writematerial(dir / "datafiles", a, threelayers());
  const ScatterData* first = loadelms2cached((a + "%d.dat").c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->n, 3);
  fs::remove_all(dir / "datafiles");  // a second call must not need the files
  EXPECT_EQ(loadelms2cached((a + "%d.dat").c_str()), first);
  // A failed load is reported, gives none and is not remembered.
  messages.clear();
  EXPECT_EQ(loadelms2cached((b + "%d.dat").c_str()), nullptr);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("[FATAL] Failed to load material", 0), 0u);
  fs::create_directories(dir / "datafiles" / "sub");
  writematerial(dir / "datafiles" / "sub", b, threelayers());
  const ScatterData* later = loadelms2cached(("sub\\" + b + "%d.dat").c_str());
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(loadelms2cached(("sub/" + b + "%d.dat").c_str()), later);
}

// A kick across the flight turns the momentum and leaves its size: a layer with transverse
// spread only keeps every muon's momentum (to rounding) while the directions spread.
TEST_F(MaterialTest, ScatteringTurnsTheMomentumWithoutChangingItsSize) {
  const double transvars[] = {1, 50, 1000};  // (MeV/c)² per m
  for (double tv : transvars) {
    SCOPED_TRACE(tv);
    std::string prefix = "turn" + std::to_string((int)tv) + "_";
    writematerial(dir, prefix, {{100, 0, 0, tv, {}}, {400, 0, 0, tv, {}}});
    ScatterData m = load(prefix + "%d.dat");
    ASSERT_EQ(m.n, 2);
    double sumangle2 = 0;
    const int n = 200;
    for (int i = 0; i < n; i++) {
      Particle q = muon(200, V3{0, 0, 1}, 900 + i);
      for (int step = 0; step < 10; step++) scatterparticle(&q, 0, 0.01 / speedof(q), &m);
      ASSERT_EQ(q.state, Active);
      EXPECT_NEAR(momentumof(q), 200.0, 200.0 * 1e-12);
      double cosangle = q.Vz / std::sqrt(q.Vx * q.Vx + q.Vy * q.Vy + q.Vz * q.Vz);
      sumangle2 += std::acos(std::min(1.0, cosangle)) * std::acos(std::min(1.0, cosangle));
    }
    // Two transverse components, each of variance tv·L: <θ²> = 2·tv·L/p².
    EXPECT_NEAR(sumangle2 / n / (2 * tv * 0.1 / (200.0 * 200.0)), 1.0, 0.25);
  }
}

// ---- the shipped tables against published stopping powers ----

// The mean energy loss of 200 MeV/c muons through 10 cm of beryllium, tracked with the full
// transport (continuous loss, straggling, knock-on electrons, scattering), against the Bethe
// formula integrated over the path here. Constants: PDG Review of Particle Physics, "Passage
// of particles through matter" (K = 0.307075 MeV mol⁻¹ cm², mₑc² = 0.51099895 MeV, the full
// Tmax), and PDG "Atomic and Nuclear Properties of Materials" for beryllium: Z/A = 0.44384,
// I = 63.7 eV, ρ = 1.848 g/cm³, Sternheimer density-effect parameters C̄ = 2.7847,
// x₀ = 0.0592, x₁ = 1.6922, a = 0.80392, k = 2.4339, δ₀ = 0.14.
TEST(MaterialTables, MeanLossThroughBerylliumMatchesTheBetheIntegral) {
  const double K = 0.307075, me = 0.51099895, ZA = 0.44384, I = 63.7e-6, rho = 1.848;
  const double Cbar = 2.7847, x0 = 0.0592, x1 = 1.6922, a = 0.80392, k = 2.4339, d0 = 0.14;
  const double M = speciesmass[MuPlus] * c_sq / 1.602176634e-13;  // MeV
  auto dEdx = [&](double E) {  // MeV per cm
    double gamma = E / M, bg2 = gamma * gamma - 1, b2 = bg2 / (gamma * gamma);
    double tmax = 2 * me * bg2 / (1 + 2 * gamma * me / M + (me / M) * (me / M));
    double x = 0.5 * std::log10(bg2), delta;
    if (x >= x1) delta = 2 * std::log(10.0) * x - Cbar;
    else if (x >= x0) delta = 2 * std::log(10.0) * x - Cbar + a * std::pow(x1 - x, k);
    else delta = d0 * std::pow(10.0, 2 * (x - x0));
    return K * ZA / b2 * rho *
           (0.5 * std::log(2 * me * bg2 * tmax / (I * I)) - b2 - delta / 2);
  };
  const double p0 = 200, L = 0.1, E0 = std::sqrt(p0 * p0 + M * M);
  double E = E0;
  const int steps = 10000;
  const double h = L * 100 / steps;  // cm
  for (int i = 0; i < steps; i++) {   // fourth-order Runge-Kutta in the path length
    double k1 = dEdx(E), k2 = dEdx(E - h / 2 * k1), k3 = dEdx(E - h / 2 * k2), k4 = dEdx(E - h * k3);
    E -= h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
  }
  const double bethe = E0 - E;

  PusherFn saved = advanceparticle;
  advanceparticle = straightpusher;
  ScatterData m = loadelms2_from(ORDAX_SOURCE_DIR "/datafiles/", "mat_Be_%d.dat");
  ASSERT_GE(m.n, 2);
  const int n = 6000;
  double sum = 0, sum2 = 0;
  for (int i = 0; i < n; i++) {
    Particle q = muon(p0, V3{0, 0, 1}, 40000 + i);
    // Steps of 1 mm of path, the last one cut to end at 10 cm.
    double path = 0;
    while (path < L - 1e-12 && q.state == Active) {
      double length = std::min(1e-3, L - path);
      V3 r0{q.x, q.y, q.z};
      scatterparticle(&q, 0, length / speedof(q), &m);
      path += V3_dist(V3{q.x, q.y, q.z}, r0);
    }
    ASSERT_EQ(q.state, Active);
    double p = momentumof(q), loss = E0 - std::sqrt(p * p + M * M);
    sum += loss;
    sum2 += loss * loss;
  }
  advanceparticle = saved;
  double mean = sum / n, err = std::sqrt((sum2 / n - mean * mean) / n);
  SCOPED_TRACE("tracked " + std::to_string(mean) + " ± " + std::to_string(err) +
               " MeV, Bethe " + std::to_string(bethe) + " MeV");
  EXPECT_NEAR(mean / bethe, 1.0, 0.003);
}

TEST(MaterialTables, MeanMomentumLossMatchesPdgStoppingPower) {
  // Reference mean energy loss of a muon, MeV cm²/g:
  //  - at T = 120 MeV (p = 199.4 MeV/c, β = 0.88361): the PDG muon energy-loss tables
  //    (Groom, Mokhov & Striganov, Atomic Data and Nuclear Data Tables 78 (2001) 183, PDG
  //    "Atomic and Nuclear Properties of Materials" layout), values as recomputed with the
  //    PDG density-effect parameters in the PUMAS muon tables;
  //  - at minimum ionisation: the PDG "Atomic and Nuclear Properties of Materials" pages.
  // dp/dx = (dE/dx)/β, times the density.
  struct Case {
    const char* pattern;
    double density;   // g/cm³
    double dedx120;   // MeV cm²/g at T = 120 MeV
    double dedxmin;   // MeV cm²/g at minimum ionisation
  };
  const Case cases[] = {
      {"mat_Be_%d.dat", 1.848, 1.743, 1.594},
      {"mat_LH2_%d.dat", 0.0708, 4.381, 4.034},
      {"mat_Al_%d.dat", 2.699, 1.731, 1.615},
      {"mat_LiH_%d.dat", 0.820, 2.093, 1.897},
  };
  PusherFn saved = advanceparticle;
  advanceparticle = straightpusher;
  const double beta120 = 0.88361, mmu = speciesmass[MuPlus] * c_sq / 1.602176462e-13;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    ScatterData m = loadelms2_from(ORDAX_SOURCE_DIR "/datafiles/", c.pattern);
    ASSERT_GE(m.n, 2);
    double reference = c.dedx120 * c.density * 100.0 / beta120;  // MeV/c per m
    // The table's layer at 200 MeV/c.
    int k = 0;
    while (k + 1 < m.n && m.p[k + 1] <= 200.0) k++;
    EXPECT_NEAR(m.p[k], 200.0, 20.0);
    EXPECT_NEAR(m.layer[k].totalloss / reference, 1.0, 0.05);
    // Tracked muons of 200 MeV/c, full transport, over about 1 % of their momentum.
    double L = 0.01 * 200.0 / reference, p0 = 200.0;
    const int n = 4000;
    double sumloss = 0, sumpath = 0;
    for (int i = 0; i < n; i++) {
      Particle q = muon(p0, V3{0.1, -0.2, 1}, 7000 + i);
      V3 r0{q.x, q.y, q.z};
      scatterparticle(&q, 0, L / speedof(q), &m);
      ASSERT_EQ(q.state, Active);
      sumloss += p0 - momentumof(q);
      sumpath += V3_dist(V3{q.x, q.y, q.z}, r0);
    }
    EXPECT_NEAR(sumloss / sumpath / reference, 1.0, 0.05);
    // Minimum ionisation over the table: dE/dx = β dp/dx.
    double best = 1e300;
    for (int j = 0; j < m.n; j++) {
      double E = std::sqrt(m.p[j] * m.p[j] + mmu * mmu);
      best = std::min(best, m.layer[j].totalloss * (m.p[j] / E) / (c.density * 100.0));
    }
    EXPECT_NEAR(best / c.dedxmin, 1.0, 0.03);
  }
  advanceparticle = saved;
}

}  // namespace
