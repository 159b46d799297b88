#include "sim/beam.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/random.h"
#include "lattice/cell.h"
#include "tests/support/support.h"

namespace {

Particle make(ParticleSpecies s, uint32_t id, ParticleState state = Active) {
  Particle p = Particle_new(s);
  p.id = id;
  p.state = state;
  return p;
}

std::vector<uint32_t> ids(const Beam& b, int32_t from, int32_t to) {
  std::vector<uint32_t> v;
  for (int32_t i = from; i < to; i++) v.push_back(b.particles[i].id);
  return v;
}

TEST(Beam, CapacityGrowsByTheLargerOfTenAndThirtyPercent) {
  Beam b = Beam_new();
  EXPECT_EQ(b.capacity, 0);
  ASSERT_NE(b.particles, nullptr);  // one record allocated all the same
  // Hand-worked: 0 → 10 → 20 → 30 → 40 → 52 (3·40/10 = 12) → 67 (3·52/10 = 15) → 87.
  std::map<int, int> growth;  // M before the add → capacity after it
  int last = 0;
  for (uint32_t i = 0; i < 70; i++) {
    int M = b.M;
    Beam_addparticle(&b, MuPlus, nullptr);
    if (b.capacity != last) growth[M] = b.capacity;
    last = b.capacity;
  }
  EXPECT_EQ(growth, (std::map<int, int>{{0, 10}, {10, 20}, {20, 30}, {30, 40}, {40, 52},
                                        {52, 67}, {67, 87}}));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.particles) % 64, 0u);
  Beam_free(&b);
  EXPECT_EQ(b.particles, nullptr);
  EXPECT_EQ(b.M, 0);
  EXPECT_EQ(b.capacity, 0);
}

TEST(Beam, NewParticlesJoinTheLiveSectionAndTheDeadSectionKeepsItsMembers) {
  Beam b = Beam_new();
  for (uint32_t id = 1; id <= 4; id++) {
    Particle p = make(MuMinus, id);
    Beam_addparticle(&b, PiPlus, &p);  // the species argument is ignored for a given particle
  }
  b.m = 2;  // live 1 2, dead 3 4
  Particle* added = Beam_addparticle(&b, KPlus, nullptr);
  EXPECT_EQ(added, &b.particles[2]);
  EXPECT_EQ(added->species, KPlus);
  added->id = 5;
  EXPECT_EQ(Beam_m(&b), 3);
  EXPECT_EQ(Beam_M(&b), 5);
  EXPECT_EQ(ids(b, 0, 5), (std::vector<uint32_t>{1, 2, 5, 4, 3}));
  EXPECT_EQ(b.particles[0].species, MuMinus);
  // Adding a copy of a record of the beam itself while the array grows.
  while (b.M < b.capacity) Beam_addparticle(&b, PiPlus, nullptr);
  Particle* again = Beam_addparticle(&b, PiPlus, &b.particles[0]);
  EXPECT_EQ(again->id, 1u);
  EXPECT_EQ(again->species, MuMinus);
  Beam_extendalloc(&b, 100);
  EXPECT_EQ(ids(b, 0, 3), (std::vector<uint32_t>{1, 2, 5}));
  EXPECT_EQ(b.capacity, 120);
  Beam_extendalloc(&b, -1000);  // never below the records held
  EXPECT_EQ(b.capacity, b.M);
  EXPECT_EQ(ids(b, 0, 3), (std::vector<uint32_t>{1, 2, 5}));
  Beam_free(&b);
  // A record that was only declared is an empty beam too.
  Beam fresh;
  EXPECT_EQ(Beam_M(&fresh), 0);
  Beam_addparticle(&fresh, MuPlus, nullptr);
  EXPECT_EQ(fresh.capacity, 10);
  Beam_free(&fresh);
}

TEST(BeamCompaction, SwapsAndRemovesAsDescribedOnSmallCases) {
  struct Case {
    const char* name;
    std::vector<int> states;  // per record, ids 1, 2, 3, …
    int m;
    std::vector<uint32_t> want;  // ids of all records after
    int wantm;
  } cases[] = {
      {"stopped first", {Stopped, Active, Active}, 3, {3, 2, 1}, 2},
      {"decayed first", {Decayed, Active, Active, Stopped}, 3, {3, 2, 4}, 2},
      {"all active", {Active, Active}, 2, {1, 2}, 2},
      {"none active", {Stopped, Finished}, 2, {1, 2}, 0},
      {"decayed passed over from the back", {Active, Decayed}, 2, {1}, 1},
      {"decayed at the back with a dead section", {Active, Decayed, Stopped, Finished}, 2,
       {1, 4, 3}, 1},
      {"only decayed", {Decayed, Decayed}, 2, {}, 0},
      {"empty", {}, 0, {}, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Beam b = Beam_new();
    for (size_t i = 0; i < k.states.size(); i++) {
      Particle p = make(PiPlus, (uint32_t)i + 1, (ParticleState)k.states[i]);
      Beam_addparticle(&b, PiPlus, &p);
    }
    b.m = k.m;
    Beam_sortdeadparticles(&b);
    EXPECT_EQ(ids(b, 0, b.M), k.want);
    EXPECT_EQ(b.m, k.wantm);
    Beam_free(&b);
  }
}

TEST(BeamCompaction, RandomBeamsKeepEveryoneButTheDecayed) {
  const unsigned seed = 4711;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  Cell* someone = reinterpret_cast<Cell*>(0x100);
  const int states[] = {Active, Active, Active, Stopped, Decayed, Finished, ScatterSlow};
  for (int trial = 0; trial < 300; trial++) {
    SCOPED_TRACE(trial);
    Beam b = Beam_new();
    int n = (int)(rng() % 40);
    int m = n ? (int)(rng() % (n + 1)) : 0;
    std::vector<uint32_t> active, kept;
    for (int i = 0; i < n; i++) {
      // The dead section holds only records that have left the tracking (never Decayed).
      int st = i < m ? states[rng() % 7] : (rng() % 2 ? Stopped : Finished);
      Particle p = make(MuPlus, (uint32_t)i, (ParticleState)st);
      Particle_setnearby(&p, &someone, 1);  // decayed records must free theirs (LSan)
      Beam_addparticle(&b, MuPlus, &p);
      if (st == Active) active.push_back((uint32_t)i);
      if (st != Active && st != Decayed) kept.push_back((uint32_t)i);
    }
    b.m = m;
    Beam_sortdeadparticles(&b);
    std::vector<uint32_t> live = ids(b, 0, b.m), dead = ids(b, b.m, b.M);
    std::sort(live.begin(), live.end());
    std::sort(dead.begin(), dead.end());
    EXPECT_EQ(live, active);
    EXPECT_EQ(dead, kept);
    for (int32_t i = 0; i < b.M; i++) EXPECT_NE(b.particles[i].state, Decayed);
    Beam_free(&b);
  }
}

TEST(Beam, SortOrdersTheLiveSectionOnly) {
  Beam b = Beam_new();
  const double xs[] = {3, -1, 2, 0.5, -7};
  for (uint32_t i = 0; i < 5; i++) {
    Particle p = make(PiPlus, i);
    p.x = xs[i];
    p.y = -xs[i];
    p.z = xs[i] * xs[i];
    Beam_addparticle(&b, PiPlus, &p);
  }
  b.m = 4;  // the last (x = -7) is dead and stays put
  Beam_sort(&b, Particle_xcmp);
  EXPECT_EQ(ids(b, 0, 5), (std::vector<uint32_t>{1, 3, 2, 0, 4}));
  Beam_sort(&b, Particle_ycmp);
  EXPECT_EQ(ids(b, 0, 5), (std::vector<uint32_t>{0, 2, 3, 1, 4}));
  Beam_sort(&b, Particle_zcmp);
  EXPECT_EQ(ids(b, 0, 5), (std::vector<uint32_t>{3, 1, 2, 0, 4}));
  Beam_free(&b);
}

TEST(Beam, LongitudinalSortUsesSegmentsAndPutsUnplacedParticlesFirst) {
  // A straight beam line of two 10 m children along z.
  Cell* line = Cell_new(Composite, "line");
  for (int k = 0; k < 2; k++) {
    Cell* child = Cell_new(Component, k ? "second" : "first");
    Cell_setattrib(child, "length", 10);
    child->s = 10.0 * k;
    child->entrance = AffineFrame_identity() + V3{0, 0, 10.0 * k};
    Cell_add(line, child, -1);
  }
  Beam b = Beam_new();
  struct Case {
    Cell* beamline;
    int segment;
    double z;
  } specs[] = {{line, 1, 10.5}, {line, 0, 9.0}, {nullptr, 1, 0}, {line, -1, 100},
               {line, 1, 19},   {line, 2, 30}};
  for (uint32_t i = 0; i < 6; i++) {
    Particle p = make(MuPlus, i);
    p.beamline = specs[i].beamline;
    p.segment = specs[i].segment;
    p.x = 0.01 * i;  // off axis: s does not depend on it in a straight piece
    p.z = specs[i].z;
    Beam_addparticle(&b, MuPlus, &p);
  }
  EXPECT_DOUBLE_EQ(Particle_s(&b.particles[0]), 10.5);
  EXPECT_DOUBLE_EQ(Particle_s(&b.particles[1]), 9.0);
  EXPECT_EQ(Particle_s(&b.particles[2]), -9e99);  // no beam line
  EXPECT_EQ(Particle_s(&b.particles[3]), -9e99);  // segment unknown
  EXPECT_EQ(Particle_s(&b.particles[5]), -9e99);  // no such child
  Beam_sort(&b, Particle_scmp);
  std::vector<uint32_t> order = ids(b, 0, 6);
  // The three unplaced ones come first in any order, then s = 9, 10.5, 19.
  EXPECT_EQ(std::vector<uint32_t>(order.begin() + 3, order.end()),
            (std::vector<uint32_t>{1, 0, 4}));
  Beam_free(&b);
  Cell_freeref(line, 0);
}

TEST(Beam, NormalisationCoversBothSections) {
  Beam b = Beam_new();
  const ParticleSpecies sp[] = {MuPlus, MuMinus, Pi0, He4, PiPlus};
  const double w[] = {1, 2, 3, 4, 5};
  for (int i = 0; i < 5; i++) {
    Particle p = make(sp[i], (uint32_t)i, i < 3 ? Active : Stopped);
    p.weight = w[i];
    Beam_addparticle(&b, sp[i], &p);
  }
  b.m = 3;
  ASSERT_EQ(Beam_normalisewt(&b), 1);
  for (int i = 0; i < 5; i++) EXPECT_DOUBLE_EQ(b.particles[i].weight, w[i] / 15);
  // Charges in units of e: +1, -1, 0, +2, +1 → sum q·w = (1 - 2 + 0 + 8 + 5)/15 e.
  const double e = 1.602176462e-19, Q = 3e-12;
  ASSERT_EQ(Beam_normalisecharge(&b, Q), 1);
  double total = 0;
  const int q[] = {1, -1, 0, 2, 1};
  for (int i = 0; i < 5; i++) {
    total += q[i] * e * b.particles[i].weight;
    EXPECT_DOUBLE_EQ(b.particles[i].weight, w[i] * Q / (12 * e));
  }
  EXPECT_NEAR(total, Q, 1e-14 * Q);
  Beam_free(&b);
}

TEST(Beam, NormalisingAWeightlessOrChargelessBeamLeavesItAlone) {
  Beam b = Beam_new();
  Particle p = make(MuPlus, 1), n = make(MuMinus, 2);
  p.weight = n.weight = 0.25;
  Beam_addparticle(&b, MuPlus, &p);
  Beam_addparticle(&b, MuMinus, &n);
  EXPECT_EQ(Beam_normalisecharge(&b, 1e-9), 0);  // +e/4 - e/4
  EXPECT_EQ(b.particles[0].weight, 0.25);
  b.particles[0].weight = b.particles[1].weight = 0;
  EXPECT_EQ(Beam_normalisewt(&b), 0);
  EXPECT_EQ(b.particles[0].weight, 0.0);
  Beam empty = Beam_new();
  EXPECT_EQ(Beam_normalisewt(&empty), 0);
  Beam_free(&empty);
  Beam_free(&b);
}

TEST(Beam, MinimumReleaseTimeOfTheLiveSectionAndBeamLine) {
  Beam b = Beam_new();
  EXPECT_EQ(Beam_mintstart(&b), 1e20);
  const double ts[] = {4e-9, 2e-9, 3e-9, 1e-9};
  for (uint32_t i = 0; i < 4; i++) {
    Particle p = make(PiPlus, i);
    p.tstart = ts[i];
    Beam_addparticle(&b, PiPlus, &p);
  }
  b.m = 3;  // 1e-9 is dead and does not count
  EXPECT_EQ(Beam_mintstart(&b), 2e-9);
  b.m = 0;
  EXPECT_EQ(Beam_mintstart(&b), 1e20);
  Cell* line = reinterpret_cast<Cell*>(0x300);
  Beam_setbeamline(&b, line);
  for (int i = 0; i < 4; i++) EXPECT_EQ(b.particles[i].beamline, line);
  Beam_free(&b);
}

// ---- the binary beam ----

Beam samplebeam(int n, uint32_t base) {
  Beam b = Beam_new();
  for (int i = 0; i < n; i++) {
    Particle p = make((ParticleSpecies)drnd(NSPECIES, base, 3 * i), (uint32_t)i + 100);
    p.state = (ParticleState)(i % 3 == 2 ? Stopped : Active);
    p.x = dfrnd(1, base, 3 * i + 1);
    p.Vz = dfrnd(3e8, base, 3 * i + 2);
    p.weight = 0.5 + i;
    p.seed = drnda(base, i);
    p.seq = (uint32_t)i;
    Beam_addparticle(&b, PiPlus, &p);
  }
  b.m = (n * 2) / 3;
  return b;
}

std::vector<unsigned char> beambytes(const Beam& b) {
  return testsupport::writtenby([&](FILE* f) { EXPECT_EQ(Beam_write(&b, f), 1); });
}
using testsupport::streamwith;

TEST(BeamFile, RoundTripsWithTheDocumentedCapacity) {
  struct Case {
    int n;
    int capacity;
  } cases[] = {{0, 5000}, {1, 5000}, {7, 5000}, {3999, 5000}, {4000, 10000}, {9000, 15000}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.n);
    Beam b = samplebeam(k.n, 161);
    std::vector<unsigned char> bytes = beambytes(b);
    // m and M lead the file, little-endian.
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24, b.m);
    EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16 | bytes[7] << 24, b.M);
    FILE* f = streamwith(bytes);
    Beam r;
    ASSERT_EQ(Beam_read(f, &r), 1);
    EXPECT_EQ(ftell(f), (long)bytes.size());
    fclose(f);
    EXPECT_EQ(r.m, b.m);
    EXPECT_EQ(r.M, b.M);
    EXPECT_EQ(r.capacity, k.capacity);
    for (int i = 0; i < b.M; i++) {
      const Particle &p = b.particles[i], &q = r.particles[i];
      ASSERT_EQ(q.id, p.id);
      ASSERT_EQ(q.species, p.species);
      ASSERT_EQ(q.state, p.state);
      ASSERT_EQ(q.weight, p.weight);
      ASSERT_EQ(q.x, p.state == Active ? p.x : (double)(float)p.x);
      ASSERT_EQ(q.seed, p.state == Active ? p.seed : 0u);
    }
    Beam_free(&r);
    Beam_free(&b);
  }
}

TEST(BeamFile, TruncatedFilesFailWithoutReadingPastTheData) {
  Beam b = samplebeam(5, 9);
  std::vector<unsigned char> bytes = beambytes(b);
  for (size_t cut = 0; cut < bytes.size(); cut++) {
    SCOPED_TRACE(cut);
    FILE* f = streamwith(std::vector<unsigned char>(bytes.begin(), bytes.begin() + cut));
    Beam r;
    EXPECT_EQ(Beam_read(f, &r), 0);
    EXPECT_LE(ftell(f), (long)cut);
    EXPECT_EQ(r.M, 0);
    EXPECT_EQ(r.m, 0);
    fclose(f);
    Beam_free(&r);
  }
  Beam_free(&b);
}

TEST(BeamFile, AbsurdOrInconsistentCountsAreRefused) {
  struct Case {
    const char* name;
    int32_t m, M;
    int records;  // records actually present after the counts
  } cases[] = {
      {"two billion records announced, two present", 0, 2000000000, 2},
      {"live section beyond the end", 3, 2, 2},
      {"negative count", -1, 2, 2},
      {"negative total", 0, -5, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<unsigned char> bytes;
    for (int32_t v : {k.m, k.M})
      for (int i = 0; i < 4; i++) bytes.push_back((unsigned char)((uint32_t)v >> (8 * i)));
    Beam small = samplebeam(k.records, 3);
    std::vector<unsigned char> recs = beambytes(small);
    bytes.insert(bytes.end(), recs.begin() + 8, recs.end());
    Beam_free(&small);
    FILE* f = streamwith(bytes);
    Beam r;
    EXPECT_EQ(Beam_read(f, &r), 0);
    EXPECT_EQ(r.M, 0);
    EXPECT_LE(r.capacity, 1);  // nothing was set aside for the announced records
    fclose(f);
    Beam_free(&r);
  }
}

// ---- CSV export ----

// Three records: an Active mu+ released at 2 ns, a Finished e- and a Stopped He4 (no PDG
// number), then an unnamed state 2 on a pi-.
Beam csvbeam() {
  Beam b = Beam_new();
  Particle a = make(MuPlus, 7);
  a.weight = 0.5;
  a.x = 1, a.y = -2, a.z = 0.25;
  a.Vx = 0, a.Vy = 1e8, a.Vz = 123456789.5;
  a.propertime = 1.5e-9;
  a.tstart = 2e-9;
  a.seed = 4000000000u, a.seq = 12;
  Particle f = make(Electron, 8, Finished);
  f.weight = 1;
  f.x = 0.1;
  f.Vz = -3;
  Particle s = make(He4, 9, Stopped);
  s.weight = 2;
  Particle u = make(PiMinus, 10, (ParticleState)2);
  u.weight = 0.125;
  for (const Particle* p : {&a, &f, &s, &u}) Beam_addparticle(&b, PiPlus, p);
  b.m = 1;
  return b;
}

const char* const ROW_A = "0.5, 1,-2,0.25, 0,100000000,123456790";  // %.9lg
const char* const ROW_F = "1, 0.1,0,0, 0,0,-3";
const char* const ROW_S = "2, 0,0,0, 0,0,0";
const char* const ROW_U = "0.125, 0,0,0, 0,0,0";
const char* const HEAD = " weight, x,y,z (metres), Vx,Vy,Vz (gamma m/s)";

TEST(BeamCsv, EachFlagBitShapesHeaderAndRows) {
  std::string H = HEAD;
  struct Case {
    const char* name;
    int style, flags;
    double t;
    std::string want;
  } cases[] = {
      {"no flags: active only, no state column", 0, 0, 0,
       "particle," + H + "\nmu+, " + ROW_A + "\n"},
      {"1: everyone with state", 0, 1, 0,
       "particle,state," + H + "\nmu+,Active, " + ROW_A + "\ne-,Finished, " + ROW_F +
           "\nHe4,Stopped, " + ROW_S + "\npi-,2, " + ROW_U + "\n"},
      {"2: id first", 0, 2, 0, "id,particle," + H + "\n7,mu+, " + ROW_A + "\n"},
      {"4: proper time", 0, 4, 0,
       "particle," + H + ", proper time (s)\nmu+, " + ROW_A + ", 1.5e-09\n"},
      {"8: finished too", 0, 8, 0,
       "particle,state," + H + "\nmu+,Active, " + ROW_A + "\ne-,Finished, " + ROW_F + "\n"},
      {"16: no active", 0, 16, 0, "particle," + H + "\n"},
      {"16+8: finished only", 0, 24, 0,
       "particle,state," + H + "\ne-,Finished, " + ROW_F + "\n"},
      {"16+1: all wins", 0, 17, 0,
       "particle,state," + H + "\nmu+,Active, " + ROW_A + "\ne-,Finished, " + ROW_F +
           "\nHe4,Stopped, " + ROW_S + "\npi-,2, " + ROW_U + "\n"},
      {"32 before release", 0, 32, 1e-9,
       "particle,state," + H + "\nmu+,Unreleased, " + ROW_A + "\n"},
      {"32 after release", 0, 32, 2e-9, "particle,state," + H + "\nmu+,Active, " + ROW_A + "\n"},
      {"64: seed and seq", 0, 64, 0,
       "particle," + H + ", seed,seq\nmu+, " + ROW_A + ", 4000000000,12\n"},
      {"128: hex", 0, 128, 0,
       "particle," + H +
           "\nmu+, 3FE0000000000000, 3FF0000000000000,C000000000000000,3FD0000000000000, "
           "0000000000000000,4197D78400000000,419D6F3456000000\n"},
      {"the -savebeam form: 1+4", 0, 5, -1,
       "particle,state," + H + ", proper time (s)\nmu+,Active, " + ROW_A +
           ", 1.5e-09\ne-,Finished, " + ROW_F + ", 0\nHe4,Stopped, " + ROW_S +
           ", 0\npi-,2, " + ROW_U + ", 0\n"},
      {"MARS numbers", 1, 8, 0,
       "particle,state," + H + "\n7,Active, " + ROW_A + "\n10,Finished, " + ROW_F + "\n"},
      {"PDG numbers, none for He4", 2, 3, 0,
       "id,particle,state," + H + "\n7,-13,Active, " + ROW_A + "\n8,11,Finished, " + ROW_F +
           "\n9,-9999,Stopped, " + ROW_S + "\n10,-211,2, " + ROW_U + "\n"},
      {"ICOOL numbers", 3, 1, 0,
       "particle,state," + H + "\n2,Active, " + ROW_A + "\n-1,Finished, " + ROW_F +
           "\n-9999,Stopped, " + ROW_S + "\n-3,2, " + ROW_U + "\n"},
  };
  Beam b = csvbeam();
  testsupport::TempDir dir("ordax_beam");
  std::string path = dir / "flags.csv";
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ASSERT_EQ(Beam_savecsv(&b, path.c_str(), k.style, k.flags, k.t), 1);
    EXPECT_EQ(testsupport::readfile(path), k.want);
  }
  Beam_free(&b);
}

TEST(BeamCsv, EveryRowHasAsManyFieldsAsTheHeader) {
  Beam b = csvbeam();
  testsupport::TempDir dir("ordax_beam");
  std::string path = dir / "fields.csv";
  for (int flags = 0; flags < 256; flags++) {
    SCOPED_TRACE(flags);
    ASSERT_EQ(Beam_savecsv(&b, path.c_str(), flags % 4, flags, 1e-9), 1);
    std::string text = testsupport::readfile(path);
    size_t start = 0;
    long fields = -1;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      ASSERT_NE(end, std::string::npos);
      long n = std::count(text.begin() + start, text.begin() + end, ',') + 1;
      if (fields < 0) fields = n;
      EXPECT_EQ(n, fields) << text.substr(start, end - start);
      start = end + 1;
    }
  }
  Beam_free(&b);
}

TEST(BeamCsv, UnwritableFileIsAFailure) {
  Beam b = csvbeam();
  EXPECT_EQ(Beam_savecsv(&b, "/nonexistent-directory/beam.csv", 0, 0, 0), 0);
  Beam_free(&b);
}

}  // namespace
