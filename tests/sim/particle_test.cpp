#include "sim/particle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/random.h"
#include "tests/support/support.h"

namespace {

const double c = 299792458.0;
const double MeV = 1.602176462e-13;  // J
const uint32_t ALL = (1u << NSPECIES) - 1;

Particle seeded(ParticleSpecies s, uint32_t base, uint32_t id) {
  Particle p = Particle_new(s);
  Particle_setseed(&p, base, id);
  return p;
}

// Makes the particle's next decay due now and decays it.
std::vector<Particle> forcedecay(Particle* p, uint32_t allowed = ALL, int n_decays = 1) {
  std::vector<Particle> out;
  p->propertime = p->nextdecay;
  decayparticle(p, &out, allowed, n_decays);
  return out;
}

double gamma_of(const Particle& p) {
  return std::sqrt(1 + (p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz) / (c * c));
}

double momentum_mev(const Particle& p) {  // |p| c in MeV
  return std::sqrt(p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz) * speciesmass[p.species] * c / MeV;
}

TEST(ParticleState, EveryNameParsesBackIgnoringCase) {
  struct Case {
    int value;
    const char* name;
  } cases[] = {{-1, "Finished"},    {0, "Active"},      {1, "Stopped"},  {3, "Reimpact"},
               {4, "WrongEnergy"},  {5, "ScatterSlow"}, {6, "ScatterFast"}, {10, "Decayed"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ASSERT_NE(ParticleState_name(k.value), nullptr);
    EXPECT_STREQ(ParticleState_name(k.value), k.name);
    EXPECT_EQ(ParticleState_fromstring(k.name), k.value);
    std::string upper = k.name, lower = k.name;
    for (char& ch : upper) ch = (char)toupper(ch);
    for (char& ch : lower) ch = (char)tolower(ch);
    EXPECT_EQ(ParticleState_fromstring(upper.c_str()), k.value);
    EXPECT_EQ(ParticleState_fromstring(lower.c_str()), k.value);
  }
  for (int unnamed : {2, 7, 8, 9, -2, 11, 100}) EXPECT_EQ(ParticleState_name(unnamed), nullptr);
  for (const char* text : {"", "Unreleased", "Activ", "Active ", "Decayed2"})
    EXPECT_EQ(ParticleState_fromstring(text), -2) << text;
  EXPECT_EQ(ParticleState_fromstring(nullptr), -2);
}

TEST(Particle, KineticEnergyFromProperVelocity) {
  for (double ke_mev : {0.0, 1e-3, 10.0, 200.0, 8000.0}) {
    SCOPED_TRACE(ke_mev);
    Particle p = Particle_new(Proton);
    double gamma = 1 + ke_mev / 938.272029;
    double V = c * std::sqrt(gamma * gamma - 1);
    p.Vx = 0.6 * V;  // direction does not matter
    p.Vz = -0.8 * V;
    EXPECT_NEAR(Particle_ke(&p) / MeV, ke_mev, 1e-9 * ke_mev + 1e-12);
  }
}

TEST(ParticleNearby, StorageIsReusedWhileItFitsAndAliasedListsSurvive) {
  Cell* cells[9];
  for (int i = 0; i < 9; i++) cells[i] = reinterpret_cast<Cell*>(0x1000 + 16 * i);
  Particle p = Particle_new(MuPlus);
  Particle_setnearby(&p, cells, 3);
  Cell** first = p.nearby;
  ASSERT_EQ(p.nnearby, 3u);
  Particle_setnearby(&p, cells + 1, 4);  // room for 4 whatever the count
  EXPECT_EQ(p.nearby, first);
  Particle_setnearby(&p, cells, 9);
  EXPECT_EQ(std::vector<Cell*>(p.nearby, p.nearby + 9), std::vector<Cell*>(cells, cells + 9));
  // Setting a list from the particle's own storage.
  Particle_setnearby(&p, p.nearby + 2, 5);
  EXPECT_EQ(std::vector<Cell*>(p.nearby, p.nearby + 5), std::vector<Cell*>(cells + 2, cells + 7));
  Particle q = Particle_new(MuPlus);
  Particle_setnearby(&q, cells, 2);
  Particle_setnearby(&q, q.nearby, 2);
  EXPECT_EQ(q.nearby[1], cells[1]);
  Particle_setnearby(&p, nullptr, 0);
  EXPECT_EQ(p.nearby, nullptr);
  EXPECT_EQ(p.nnearby, 0u);
  Particle_free(&q);
  Particle_free(&q);  // freeing twice is harmless
}

TEST(ParticleStream, ExponentialDrawHasUnitMeanAndAFullTail) {
  const uint32_t base = 20240611;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 400000;
  double sum = 0, tailsum = 0;
  int tail = 0;
  for (int i = 0; i < N; i++) {
    Particle p = seeded(MuPlus, base, (uint32_t)i);
    double x = Particle_expvariate(&p);
    EXPECT_EQ(p.seq, 1u);
    ASSERT_GT(x, 0.0);
    sum += x;
    if (x > 5) {
      tail++;
      tailsum += x - 5;
    }
  }
  EXPECT_NEAR(sum / N, 1.0, 5 / std::sqrt((double)N));
  const double pt = std::exp(-5.0);
  EXPECT_NEAR(tail / (double)N, pt, 5 * std::sqrt(pt / N));
  // Memorylessness: beyond 5 the excess is again a unit exponential.
  EXPECT_NEAR(tailsum / tail, 1.0, 5 / std::sqrt((double)tail));
}

TEST(ParticleDecay, StableSpeciesGetNoDecayCopies) {
  for (ParticleSpecies s : {Proton, Electron, Positron, Neutron, He4, NuMu}) {
    SCOPED_TRACE(ParticleSpecies_name[s]);
    Particle p = seeded(s, 5, 9);
    Particle_initdecays(&p, 4);
    EXPECT_EQ(p.decaysleft, 0u);
    EXPECT_EQ(p.nextdecay, 1e20);
    EXPECT_EQ(p.seq, 0u);  // nothing drawn
    std::vector<Particle> out;
    p.propertime = 1e30;
    decayparticle(&p, &out, ALL, 4);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(p.state, Active);
    EXPECT_EQ(p.weight, 1.0);
  }
}

TEST(ParticleDecay, MeanProperLifetimeMatchesTheTable) {
  const uint32_t base = 777;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const double taus[] = {2.6033e-08, 2.19703e-06, 1.2385e-08};
  const ParticleSpecies species[] = {PiPlus, MuPlus, KPlus};
  for (int k = 0; k < 3; k++) {
    SCOPED_TRACE(ParticleSpecies_name[species[k]]);
    const double tau = taus[k];
    // One copy: the first decay time is the lifetime.
    const int N = 100000;
    double sum = 0;
    for (int i = 0; i < N; i++) {
      Particle p = seeded(species[k], base, (uint32_t)i);
      Particle_initdecays(&p, 1);
      ASSERT_EQ(p.decaysleft, 1u);
      sum += p.nextdecay;
    }
    EXPECT_NEAR(sum / N, tau, 5 * tau / std::sqrt((double)N));
  }
}

TEST(ParticleDecay, FourDecayCopiesDecayLikeFourParticles) {
  // The four decay times are the sorted lifetimes of four independent pions, so their mean is
  // again tau, and the first comes at tau/4 on average.
  const double tau = 2.6033e-08;
  const uint32_t base = 778;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 20000;
  double all = 0, first = 0;
  for (int i = 0; i < N; i++) {
    Particle p = seeded(PiPlus, base, (uint32_t)i);
    Particle_initdecays(&p, 4);
    double previous = 0;
    for (int d = 0; d < 4; d++) {
      ASSERT_EQ(p.state, Active);
      ASSERT_GE(p.nextdecay, previous);
      previous = p.nextdecay;
      all += p.nextdecay;
      if (d == 0) first += p.nextdecay;
      forcedecay(&p, 0, 4);  // no daughters wanted here
    }
    EXPECT_EQ(p.state, Decayed);
  }
  EXPECT_NEAR(all / (4.0 * N), tau, 5 * tau / std::sqrt(4.0 * N));
  EXPECT_NEAR(first / N, tau / 4, 5 * (tau / 4) / std::sqrt((double)N));
}

// A copy's decay handled late (at the end of the step in which it fell due) leaves the next
// decay where it would have been had it been handled on time: the copies left have been
// waiting since the first was due.
TEST(ParticleDecay, LateHandledDecayDoesNotDelayTheNextCopy) {
  for (double late : {1e-12, 3e-10}) {
    SCOPED_TRACE(late);
    Particle ontime = seeded(PiPlus, 779, 5), handled = ontime;
    Particle_initdecays(&ontime, 4);
    Particle_initdecays(&handled, 4);
    forcedecay(&ontime, 0, 4);
    std::vector<Particle> out;
    handled.propertime = handled.nextdecay + late;
    decayparticle(&handled, &out, 0, 4);
    EXPECT_EQ(handled.decaysleft, 3u);
    EXPECT_EQ(handled.nextdecay, ontime.nextdecay);
  }
}

TEST(ParticleDecay, WeightIsSharedAcrossDecayCopies) {
  // Four copies: w → 3w/4 → w/2 → w/4 → Decayed, each decay's muon carrying w/4.
  const double w = 0.8;
  Particle p = seeded(PiPlus, 31, 4);
  p.weight = w;
  Particle_initdecays(&p, 4);
  const double parent[] = {0.75 * w, 0.5 * w, 0.25 * w, 0.25 * w};
  for (int d = 0; d < 4; d++) {
    SCOPED_TRACE(d);
    std::vector<Particle> out = forcedecay(&p, ALL, 4);
    ASSERT_EQ(out.size(), 1u);  // the muon; its neutrino is massless and not tracked
    EXPECT_DOUBLE_EQ(out[0].weight, w / 4);
    EXPECT_EQ(out[0].decaysleft, 4u);  // a muon decays too, with n_decays copies
    EXPECT_DOUBLE_EQ(p.weight, parent[d]);
    EXPECT_EQ(p.decaysleft, 3u - d);
    EXPECT_EQ(p.state, d < 3 ? Active : Decayed);
  }
  // One copy: a single decay ends the record and the daughter takes the whole weight.
  Particle q = seeded(PiPlus, 31, 5);
  q.weight = w;
  Particle_initdecays(&q, 1);
  std::vector<Particle> out = forcedecay(&q, ALL, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].weight, w);
  EXPECT_EQ(q.state, Decayed);
  EXPECT_EQ(q.decaysleft, 0u);
}

TEST(ParticleDecay, NothingHappensBeforeTheDecayTime) {
  Particle p = seeded(PiPlus, 8, 8);
  Particle_initdecays(&p, 1);
  Particle before = p;
  std::vector<Particle> out;
  p.propertime = std::nextafter(p.nextdecay, 0.0);
  before.propertime = p.propertime;
  decayparticle(&p, &out, ALL, 1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(memcmp(&p, &before, sizeof p), 0);
}

TEST(ParticleDecay, PionAtRestGivesTheTwoBodyMuonMomentum) {
  // p* = (M² - m²)/(2M) for a massless neutrino: 29.79 MeV/c.
  const double M = 139.5702, m = 105.658357;  // MeV, as published
  ASSERT_NEAR((M * M - m * m) / (2 * M), 29.79, 0.005);
  // The same from the stored rest energies, which carry more digits than the MeV column.
  const double Mj = E0[PiPlus] / MeV, mj = E0[MuPlus] / MeV;
  const double pstar = (Mj * Mj - mj * mj) / (2 * Mj);
  const uint32_t base = 99;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 20000;
  double cz = 0, cz2 = 0;
  int muons = 0;
  for (int i = 0; i < N; i++) {
    Particle p = seeded(PiPlus, base, (uint32_t)i);
    p.x = 1.5, p.y = -2, p.z = 3;
    Particle_initdecays(&p, 1);
    std::vector<Particle> out = forcedecay(&p);
    ASSERT_EQ(out.size(), 1u);
    const Particle& d = out[0];
    if (d.species == Positron) continue;  // the rare e+ nu_e channel
    ASSERT_EQ(d.species, MuPlus);
    muons++;
    ASSERT_NEAR(momentum_mev(d), pstar, 1e-9 * pstar);
    EXPECT_EQ(d.x, 1.5);
    EXPECT_EQ(d.y, -2.0);
    EXPECT_EQ(d.z, 3.0);
    double cosz = d.Vz / std::sqrt(d.Vx * d.Vx + d.Vy * d.Vy + d.Vz * d.Vz);
    cz += cosz;
    cz2 += cosz * cosz;
  }
  EXPECT_GE(muons, N - 10);
  // Isotropic: <cos> = 0 (variance 1/3), <cos²> = 1/3 (variance 4/45).
  EXPECT_NEAR(cz / muons, 0.0, 5 * std::sqrt(1.0 / 3 / muons));
  EXPECT_NEAR(cz2 / muons, 1.0 / 3, 5 * std::sqrt(4.0 / 45 / muons));
}

TEST(ParticleDecay, KaonChannelsFollowTheBranchingRatios) {
  // The daughters (last product first, neutrinos never tracked) identify the channel.
  std::map<std::vector<int>, int> channel = {
      {{MuPlus}, 0},         {{Positron, Pi0}, 1},         {{MuPlus, Pi0}, 2},
      {{Pi0, PiPlus}, 3},    {{Pi0, Pi0, PiPlus}, 4},      {{PiMinus, PiPlus, PiPlus}, 5}};
  const double listed[] = {0.6339, 0.0493, 0.033, 0.2103, 0.01757, 0.0559};
  double total = 0;
  for (double r : listed) total += r;
  const uint32_t base = 4242;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 20000;
  int count[6] = {};
  for (int i = 0; i < N; i++) {
    Particle p = seeded(KPlus, base, (uint32_t)i);
    Particle_initdecays(&p, 1);
    std::vector<Particle> out = forcedecay(&p);
    std::vector<int> key;
    for (const Particle& d : out) key.push_back(d.species);
    auto it = channel.find(key);
    ASSERT_NE(it, channel.end());
    count[it->second]++;
  }
  for (int k = 0; k < 6; k++) {
    SCOPED_TRACE(k);
    double want = listed[k] / total;
    EXPECT_NEAR(count[k] / (double)N, want, 5 * std::sqrt(want * (1 - want) / N));
  }
}

TEST(ParticleDecay, DaughtersInFlightCarryTheParentsFourMomentum) {
  // Kaon channels without neutrinos: every product is tracked, so the daughters' energies and
  // momenta must add up to the kaon's.
  Cell* near[3] = {reinterpret_cast<Cell*>(0x40), reinterpret_cast<Cell*>(0x80),
                   reinterpret_cast<Cell*>(0xC0)};
  const uint32_t base = 1234;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  int checked = 0;
  for (uint32_t i = 0; i < 3000; i++) {
    Particle k = seeded(KPlus, base, i);
    k.Vx = 0.3 * c, k.Vy = -1.1 * c, k.Vz = 2.5 * c;
    k.id = 17;
    k.tstart = 4e-9;
    k.segment = 3;
    Particle_setnearby(&k, near, 3);
    Particle_initdecays(&k, 1);
    const Particle parent = k;
    std::vector<Particle> out = forcedecay(&k);
    bool neutrinofree = true;  // the channels with a neutrino are those with a mu+ or an e+
    for (const Particle& d : out)
      if (d.species == MuPlus || d.species == Positron) neutrinofree = false;
    if (neutrinofree) {
      double E = 0, px = 0, py = 0, pz = 0;
      for (const Particle& d : out) {
        E += gamma_of(d) * E0[d.species];
        px += speciesmass[d.species] * d.Vx;
        py += speciesmass[d.species] * d.Vy;
        pz += speciesmass[d.species] * d.Vz;
      }
      double Ek = gamma_of(parent) * E0[KPlus];
      double m = speciesmass[KPlus];
      EXPECT_NEAR(E, Ek, 1e-10 * Ek);
      EXPECT_NEAR(px, m * parent.Vx, 1e-10 * Ek / c);
      EXPECT_NEAR(py, m * parent.Vy, 1e-10 * Ek / c);
      EXPECT_NEAR(pz, m * parent.Vz, 1e-10 * Ek / c);
      checked++;
    }
    for (const Particle& d : out) {
      EXPECT_EQ(d.id, 17u);
      EXPECT_EQ(d.segment, 3);
      EXPECT_EQ(d.tstart, 0.0);
      EXPECT_EQ(d.propertime, 0.0);
      EXPECT_EQ(d.state, Active);
      EXPECT_NE(d.seed, parent.seed);
      ASSERT_EQ(d.nnearby, 3u);
      EXPECT_NE(d.nearby, k.nearby);  // its own copy
      EXPECT_EQ(std::vector<Cell*>(d.nearby, d.nearby + 3), std::vector<Cell*>(near, near + 3));
      // An unstable daughter draws its first decay time from its fresh stream.
      EXPECT_EQ(d.decaysleft, ParticleSpecies_decay()[d.species].meanlife > 0 ? 1u : 0u);
      EXPECT_EQ(d.seq, d.decaysleft);
    }
    for (Particle& d : out) Particle_free(&d);
    Particle_free(&k);
  }
  EXPECT_GT(checked, 500);
}

TEST(ParticleDecay, Pi0WithoutProductsJustEnds) {
  const uint32_t base = 55;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 40000;
  int pairs = 0;
  for (int i = 0; i < N; i++) {
    Particle p = seeded(Pi0, base, (uint32_t)i);
    Particle_initdecays(&p, 1);
    std::vector<Particle> out = forcedecay(&p);
    EXPECT_EQ(p.state, Decayed);
    if (out.empty()) continue;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].species, Electron);  // last product first
    EXPECT_EQ(out[1].species, Positron);
    pairs++;
  }
  const double want = 0.01198 / (0.98798 + 0.01198);
  EXPECT_NEAR(pairs / (double)N, want, 5 * std::sqrt(want / N));
}

TEST(ParticleDecay, OnlyAllowedMassiveSpeciesBecomeDaughters) {
  Particle p = seeded(PiPlus, 3, 3);
  Particle_initdecays(&p, 2);
  // mu+ not allowed: no daughter, but the decay copy is still used up.
  std::vector<Particle> out = forcedecay(&p, ALL & ~(1u << MuPlus), 2);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(p.decaysleft, 1u);
  EXPECT_DOUBLE_EQ(p.weight, 0.5);
  // Neutrinos allowed explicitly are still never made (they have no proper velocity).
  Particle mu = seeded(MuMinus, 3, 4);
  Particle_initdecays(&mu, 1);
  out = forcedecay(&mu, ALL, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].species, Electron);
  EXPECT_TRUE(std::isfinite(out[0].Vx) && std::isfinite(out[0].Vy) && std::isfinite(out[0].Vz));
}

TEST(ParticleDecay, DaughterStreamIsKeyedByTheParentsNextIndex) {
  // The last decay copy draws nothing after its daughters, so the muon's key is the parent's
  // last-used index, and the daughter starts its own stream at 0 (then draws its decay time).
  for (uint32_t id = 0; id < 20; id++) {
    Particle p = seeded(PiPlus, 515, id);
    Particle_initdecays(&p, 1);
    std::vector<Particle> out = forcedecay(&p, 1u << MuPlus, 1);
    ASSERT_EQ(p.state, Decayed);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].seed, drnda(p.seed, p.seq - 1));
    EXPECT_EQ(out[0].seq, 1u);
  }
}

TEST(ParticleDecay, SameStreamGivesTheSameDaughters) {
  for (uint32_t id = 0; id < 50; id++) {
    Particle a = seeded(KMinus, 60606, id);
    a.Vz = 1e8;
    Particle_initdecays(&a, 3);
    Particle b = a;
    std::vector<Particle> da = forcedecay(&a, ALL, 2), db = forcedecay(&b, ALL, 2);
    ASSERT_EQ(da.size(), db.size());
    EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
    for (size_t k = 0; k < da.size(); k++) EXPECT_EQ(memcmp(&da[k], &db[k], sizeof da[k]), 0);
  }
}

TEST(DecayKinematics, MuonDecayConservesEnergyMomentumAndFillsTheDalitzPlotEvenly) {
  // Pure three-body phase space: the Dalitz plot is uniform, so for (nearly) massless
  // products each x = 2E/M has density 2x: mean 2/3 and P(x < 1/2) = 1/4.
  const double M = speciesmass[MuPlus];
  const double m[3] = {speciesmass[Positron], 0, 0};
  const uint32_t base = 31337;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 30000;
  double xsum[3] = {}, below[3] = {};
  for (int i = 0; i < N; i++) {
    Particle pt = seeded(MuPlus, base, (uint32_t)i);
    V3 p[3];
    gendecay(3, 0, 1, M, m, p, &pt);
    V3 total = p[0] + p[1] + p[2];
    double E = 0;
    for (int k = 0; k < 3; k++) {
      double pk = V3_norm(p[k]) / c;  // kg
      double Ek = std::sqrt(pk * pk + m[k] * m[k]);
      E += Ek;
      xsum[k] += 2 * Ek / M;
      below[k] += 2 * Ek / M < 0.5;
    }
    ASSERT_NEAR(E, M, 1e-12 * M);
    ASSERT_LT(V3_norm(total), 1e-12 * M * c);
  }
  for (int k = 0; k < 3; k++) {
    SCOPED_TRACE(k);
    EXPECT_NEAR(xsum[k] / N, 2.0 / 3, 5 * std::sqrt(1.0 / 18 / N));
    EXPECT_NEAR(below[k] / N, 0.25, 5 * std::sqrt(0.25 * 0.75 / N));
  }
}

TEST(DecayKinematics, KaonToThreePionsIsSymmetricAndConserving) {
  // Three products of equal mass share the kinetic energy Q = M - 3m evenly on average, and
  // phase space treats them alike: the product drawn on its own (k = 2) must look like the
  // pair that closes the event (i = 0, j = 1).
  const double M = speciesmass[KPlus];
  const double m[3] = {speciesmass[PiPlus], speciesmass[PiPlus], speciesmass[PiMinus]};
  const double Q = M - 3 * m[0];
  const uint32_t base = 8080;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  const int N = 3000;
  double tsum[3] = {}, tsq[3] = {};
  for (uint32_t i = 0; i < N; i++) {
    Particle pt = seeded(KPlus, base, i);
    V3 p[3];
    gendecay(3, 0, 1, M, m, p, &pt);
    double E = 0;
    for (int k = 0; k < 3; k++) {
      double pk = V3_norm(p[k]) / c;
      double Ek = std::sqrt(pk * pk + m[k] * m[k]);
      E += Ek;
      tsum[k] += (Ek - m[k]) / Q;
      tsq[k] += (Ek - m[k]) * (Ek - m[k]) / (Q * Q);
    }
    ASSERT_NEAR(E, M, 1e-12 * M) << i;
    ASSERT_LT(V3_norm(p[0] + p[1] + p[2]), 1e-12 * M * c) << i;
  }
  for (int k = 0; k < 3; k++) {
    SCOPED_TRACE(k);
    double mean = tsum[k] / N, var = tsq[k] / N - mean * mean;
    EXPECT_NEAR(mean, 1.0 / 3, 5 * std::sqrt(var / N));
    EXPECT_NEAR(var, tsq[0] / N - (tsum[0] / N) * (tsum[0] / N), 0.15 * var);
  }
}

// ---- the binary record ----

std::vector<unsigned char> writebytes(const Particle& p) {
  return testsupport::writtenby([&](FILE* f) { EXPECT_EQ(Particle_write(&p, f), 1); });
}
using testsupport::streamwith;

TEST(ParticleRecord, CompactFormHasTheDocumentedBytes) {
  Particle p = Particle_new(MuMinus);
  p.weight = 1.0;
  p.id = 0x01020304;
  p.state = Stopped;
  p.x = 1.0, p.y = -2.0, p.z = 0.5;
  p.Vx = 0, p.Vy = 3.0, p.Vz = 1e8;  // 1e8 is exactly 0x4CBEBC20 as a float
  p.segment = -1;
  const std::vector<unsigned char> want = {
      0, 0, 0, 0, 0, 0, 0xF0, 0x3F,  // weight 1.0
      4, 3, 2, 1,                    // id
      3, 1,                          // species mu-, state Stopped
      0, 0, 0x80, 0x3F,              // 1.0f
      0, 0, 0, 0xC0,                 // -2.0f
      0, 0, 0, 0x3F,                 // 0.5f
      0, 0, 0, 0,                    // 0.0f
      0, 0, 0x40, 0x40,              // 3.0f
      0x20, 0xBC, 0xBE, 0x4C,        // 1e8f
      0xFF, 0xFF, 0xFF, 0xFF,        // segment -1
  };
  EXPECT_EQ(writebytes(p), want);
  ASSERT_EQ(want.size(), (size_t)PARTICLE_COMPACTBYTES);
}

TEST(ParticleRecord, FullFormHasTheDocumentedBytes) {
  Particle p = Particle_new(PiPlus);
  p.weight = 2.0;
  p.id = 7;
  p.x = 1.0, p.y = 1.0, p.z = 1.0, p.Vx = 1.0, p.Vy = 1.0, p.Vz = 1.0;
  p.segment = 5;
  p.propertime = 0.5;
  p.tstart = -2.0;
  p.nextdecay = 1.0;
  p.decaysleft = 4;
  p.seed = 0xAABBCCDD;
  p.seq = 0x100;
  std::vector<unsigned char> want = {0, 0, 0, 0, 0, 0, 0, 0x40, 7, 0, 0, 0, 0, 0};
  for (int k = 0; k < 6; k++) want.insert(want.end(), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
  want.insert(want.end(), {5, 0, 0, 0});
  want.insert(want.end(), {0, 0, 0, 0, 0, 0, 0xE0, 0x3F});  // proper time 0.5
  want.insert(want.end(), {0, 0, 0, 0, 0, 0, 0, 0xC0});     // tstart -2
  want.insert(want.end(), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});  // next decay 1
  want.insert(want.end(), {4, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA, 0, 1, 0, 0});
  EXPECT_EQ(writebytes(p), want);
  ASSERT_EQ(want.size(), (size_t)PARTICLE_FULLBYTES);
}

TEST(ParticleRecord, RoundTripsInBothForms) {
  const uint32_t base = 2718;
  SCOPED_TRACE(testing::Message() << "seed base " << base);
  for (uint32_t i = 0; i < 200; i++) {
    Particle p = seeded((ParticleSpecies)drnd(NSPECIES, base, 10 * i), base, i);
    p.x = dfrnd(2, base, 10 * i + 1) - 1, p.y = dfrnd(10, base, 10 * i + 2), p.z = -1e3 * i;
    p.Vx = dfrnd(3e8, base, 10 * i + 3), p.Vy = -1.5e7, p.Vz = dfrnd(1e9, base, 10 * i + 4);
    p.weight = durnd(base, 10 * i + 5);
    p.segment = (int)i - 3;
    p.propertime = 1e-9 * i, p.tstart = 2e-9 * i, p.nextdecay = 3e-9 * i;
    p.decaysleft = i % 5;
    p.seq = i * 7;
    const int states[] = {Active, Finished, Stopped, 2, Reimpact, Decayed, ScatterFast};
    p.state = (ParticleState)states[i % 7];
    p.beamline = reinterpret_cast<Cell*>(0x10);
    std::vector<unsigned char> b = writebytes(p);
    FILE* f = streamwith(b);
    Particle q;
    ASSERT_EQ(Particle_read(f, &q), 1);
    EXPECT_EQ(ftell(f), (long)b.size());
    fclose(f);
    SCOPED_TRACE(i);
    // The full form keeps every tracked field; the compact one keeps positions in single
    // precision and gives the rest Particle_new's defaults. Links are never stored.
    Particle want = p;
    want.beamline = nullptr;
    if (p.state != Active) {
      const Particle d = Particle_new(p.species);
      for (double* v : {&want.x, &want.y, &want.z, &want.Vx, &want.Vy, &want.Vz})
        *v = (double)(float)*v;
      want.propertime = d.propertime, want.tstart = d.tstart, want.nextdecay = d.nextdecay;
      want.decaysleft = d.decaysleft, want.seed = d.seed, want.seq = d.seq;
    }
    auto fields = [](const Particle& r) {
      return std::make_tuple(r.weight, r.id, r.species, r.state, r.segment, r.x, r.y, r.z, r.Vx,
                             r.Vy, r.Vz, r.propertime, r.tstart, r.nextdecay, r.decaysleft,
                             r.seed, r.seq, r.beamline, r.nearby, r.nnearby);
    };
    EXPECT_EQ(b.size(), (size_t)(p.state == Active ? PARTICLE_FULLBYTES : PARTICLE_COMPACTBYTES));
    EXPECT_EQ(fields(q), fields(want));
  }
}

TEST(ParticleRecord, TruncatedRecordsFailWithoutReadingPastThem) {
  Particle a = Particle_new(MuPlus);
  a.Vz = 1e8;
  Particle s = a;
  s.state = Stopped;
  for (const Particle& p : {a, s}) {
    std::vector<unsigned char> b = writebytes(p);
    SCOPED_TRACE(b.size());
    for (size_t cut = 0; cut < b.size(); cut++) {
      std::vector<unsigned char> part(b.begin(), b.begin() + cut);
      FILE* f = streamwith(part);
      Particle q;
      q.weight = 123;
      EXPECT_EQ(Particle_read(f, &q), 0) << "cut at " << cut;
      EXPECT_LE(ftell(f), (long)cut);
      EXPECT_EQ(q.weight, 1.0);  // left as a default particle
      fclose(f);
    }
  }
}

TEST(ParticleRecord, SpeciesOutsideTheTableIsRefused) {
  for (int species : {25, 127, -1, -128}) {
    SCOPED_TRACE(species);
    Particle p = Particle_new(MuPlus);
    std::vector<unsigned char> b = writebytes(p);
    b[12] = (unsigned char)(int8_t)species;
    FILE* f = streamwith(b);
    Particle q;
    EXPECT_EQ(Particle_read(f, &q), 0);
    EXPECT_LE(ftell(f), 14L);  // the header only; the rest is not taken as a record
    fclose(f);
  }
}

}  // namespace
