#include "sim/species.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/report.h"
#include "tests/support/support.h"

namespace {

// Collects every reported message while it lives.
using Captured = testsupport::AllMessages;

// The published table, written out independently of the code: name, charge in units of e,
// rest energy in MeV, mean life (s), PDG, MARS and ICOOL numbers (0 for "none" in PDG).
struct Row {
  const char* name;
  int q;
  double mev;
  double tau;
  int pdg, mars, icool;
};
const Row table[NSPECIES] = {
    {"pi+", 1, 139.5702, 2.6033e-08, 211, 3, 3},
    {"mu+", 1, 105.658357, 2.19703e-06, -13, 7, 2},
    {"pi-", -1, 139.5702, 2.6033e-08, -211, 4, -3},
    {"mu-", -1, 105.658357, 2.19703e-06, 13, 8, -2},
    {"p", 1, 938.272029, 0, 2212, 1, 5},
    {"pbar", -1, 938.272029, 0, -2212, 12, -5},
    {"K+", 1, 493.677, 1.2385e-08, 321, 5, 4},
    {"K-", -1, 493.677, 1.2385e-08, -321, 6, -4},
    {"e+", 1, 0.510999, 0, -11, 11, 1},
    {"e-", -1, 0.510999, 0, 11, 10, -1},
    {"nu_e", 0, 0, 0, 12, 20, -9999},
    {"nu_ebar", 0, 0, 0, -12, 21, -9999},
    {"nu_mu", 0, 0, 0, 14, 18, -9999},
    {"nu_mubar", 0, 0, 0, -14, 19, -9999},
    {"pi0", 0, 134.9766, 8.4e-17, 111, 13, -9999},
    {"n", 0, 939.56536, 0, 2112, 2, -9999},
    {"H-", -1, 939.293976, 0, 0, -9999, -9999},
    {"B5+", 5, 10329, 0, 0, 5006, -9999},
    {"O8+", 8, 15024, 0, 0, 8008, -9999},
    {"Na11+", 11, 21597, 0, 0, 11012, -9999},
    {"He4", 2, 3727.379109, 0, 0, 17, -9999},
    {"t", 1, 2809.431818, 0, 0, 15, -9999},
    {"d", 1, 1875.612793, 0, 0, 14, 6},
    {"He3", 2, 2809.413281, 0, 0, 16, 7},
    {"Li7", 3, 6535.366339, 0, 0, 3004, 8},
};

TEST(SpeciesTable, AgreesWithThePublishedColumns) {
  const double c = 299792458.0;
  for (int s = 0; s < NSPECIES; s++) {
    SCOPED_TRACE(table[s].name);
    EXPECT_STREQ(ParticleSpecies_name[s], table[s].name);
    EXPECT_EQ(charge[s], table[s].q * 1.602176462e-19);
    // The MeV column is the joule value divided by 1.602176462e-13, rounded to its digits.
    EXPECT_NEAR(E0[s] / 1.602176462e-13, table[s].mev, 1e-6 * table[s].mev + 1e-9);
    EXPECT_NEAR(speciesmass[s], E0[s] / (c * c), 1e-15 * speciesmass[s]);
    EXPECT_EQ(ParticleSpecies_decay()[s].meanlife, table[s].tau);
    EXPECT_EQ(ParticleSpecies_marspid[s], table[s].mars);
    EXPECT_EQ(ParticleSpecies_icoolpid[s], table[s].icool);
    if (s < NPDGSPECIES) {
      EXPECT_EQ(ParticleSpecies_pdgpid[s], table[s].pdg);
    }
    EXPECT_EQ(speciespid(s, PIDPdg), s < NPDGSPECIES ? table[s].pdg : -9999);
  }
}

TEST(SpeciesFromPid, EveryNumberedSpeciesIsFoundInEachScheme) {
  Captured cap;
  for (int s = 0; s < NSPECIES; s++) {
    SCOPED_TRACE(table[s].name);
    if (s < NPDGSPECIES) {
      EXPECT_EQ(speciesfrompid(table[s].pdg, PIDPdg), s);
    }
    if (table[s].mars != -9999) {
      EXPECT_EQ(speciesfrompid(table[s].mars, PIDMars), s);
    }
    if (table[s].icool != -9999) {
      EXPECT_EQ(speciesfrompid(table[s].icool, PIDIcool), s);
    }
  }
  EXPECT_TRUE(cap.all.empty());
}

TEST(SpeciesFromPid, UnknownNumbersAreReportedByScheme) {
  struct Case {
    int pid, style, want;
    const char* message;  // none: no message
  } cases[] = {
      {-13, PIDPdg, MuPlus, nullptr},
      {7, PIDMars, MuPlus, nullptr},
      {3, PIDPdg, -1, "[WARNING] Unrecognised PDG PID 3"},
      {999, PIDMars, -1, "[WARNING] Unrecognised MARS PID 999"},
      {99, PIDIcool, -1, "[WARNING] Unrecognised invalid type PID 99"},
      // PDG has numbers for species 0 to 15 only: the MARS number of He4 is not a PDG number.
      {17, PIDPdg, -1, "[WARNING] Unrecognised PDG PID 17"},
      // -9999 marks "no number": it must not pick one of the species that lack one.
      {-9999, PIDIcool, -1, "[WARNING] Unrecognised invalid type PID -9999"},
      {-9999, PIDMars, -1, "[WARNING] Unrecognised MARS PID -9999"},
      {211, 0, -1, nullptr},
      {211, 4, -1, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.pid << " style " << k.style);
    Captured cap;
    EXPECT_EQ(speciesfrompid(k.pid, k.style), k.want);
    if (k.message) {
      ASSERT_EQ(cap.all.size(), 1u);
      EXPECT_EQ(cap.all[0], k.message);
    } else {
      EXPECT_TRUE(cap.all.empty());
    }
  }
}

TEST(SpeciesFromString, ExactAndLooseMatchingInKeywordOrder) {
  struct Case {
    const char* text;
    int loose;
    int want;
  } cases[] = {
      {"mu+", 0, MuPlus},        {"MU+", 0, MuPlus},       {"Muon", 0, MuPlus},
      {"MUON", 0, MuPlus},       {"pion", 0, PiPlus},      {"Proton", 0, Proton},
      {"neutron", 0, Neutron},   {"Electron", 0, Electron}, {"positron", 0, Positron},
      {"p", 0, Proton},          {"pbar", 0, AntiProton},  {"PI0", 0, Pi0},
      {"nu_mubar", 0, NuMuBar},  {"li7", 0, Li7},          {"d", 0, Deuteron},
      // Loose: containment; the keywords come first, then names from species 24 down.
      {"a Muon beam", 1, MuPlus},
      {"Pion and Muon", 1, PiPlus},        // "Pion" is tried before "Muon"
      {"antiproton", 1, Proton},           // keyword "Proton" before the name "pbar"
      {"deuteron", 1, Deuteron},           // "d" (22) is tried before "t" (21) and "n" (15)
      {"triton", 1, Triton},
      {"pbar beam", 1, AntiProton},        // "pbar" (5) before "p" (4)
      {"He3 ions", 1, He3},
      {"mu-", 1, MuMinus},
  };
  Captured cap;
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "'" << k.text << "' loose " << k.loose);
    EXPECT_EQ(speciesfromstring(k.text, k.loose), k.want);
  }
  EXPECT_TRUE(cap.all.empty());
}

TEST(SpeciesFromString, NoMatchIsReportedAndEmptyTextIsSilent) {
  Captured cap;
  EXPECT_EQ(speciesfromstring("a Muon beam", 0), -1);  // exact mode wants equality
  EXPECT_EQ(speciesfromstring("photon", 0), -1);
  EXPECT_EQ(speciesfromstring("XYZ", 1), -1);
  ASSERT_EQ(cap.all.size(), 3u);
  EXPECT_EQ(cap.all[0], "[WARNING] Unrecognised particle species 'a Muon beam'");
  EXPECT_EQ(cap.all[1], "[WARNING] Unrecognised particle species 'photon'");
  EXPECT_EQ(cap.all[2], "[WARNING] Unrecognised particle species 'XYZ'");
  cap.all.clear();
  EXPECT_EQ(speciesfromstring("", 0), -1);
  EXPECT_EQ(speciesfromstring(nullptr, 1), -1);
  EXPECT_TRUE(cap.all.empty());
}

std::vector<int> products(const DecayChannel& ch) {
  return std::vector<int>(ch.products, ch.products + ch.nproducts);
}

TEST(DecayTable, StandardChannelsWithNormalisedRatios) {
  struct Expected {
    int parent;
    std::vector<std::vector<int>> channels;
    std::vector<double> ratios;  // as listed, before normalisation
  } expected[] = {
      {PiPlus, {{MuPlus, NuMu}, {Positron, NuE}}, {0.999877, 0.000123}},
      {PiMinus, {{MuMinus, NuMuBar}, {Electron, NuEBar}}, {0.999877, 0.000123}},
      {MuPlus, {{Positron, NuE, NuMuBar}}, {1.0}},
      {MuMinus, {{Electron, NuEBar, NuMu}}, {1.0}},
      {KPlus,
       {{MuPlus, NuMu}, {Pi0, Positron, NuE}, {Pi0, MuPlus, NuMu}, {PiPlus, Pi0},
        {PiPlus, Pi0, Pi0}, {PiPlus, PiPlus, PiMinus}},
       {0.6339, 0.0493, 0.033, 0.2103, 0.01757, 0.0559}},
      {KMinus,
       {{MuMinus, NuMuBar}, {Pi0, Electron, NuEBar}, {Pi0, MuMinus, NuMuBar}, {PiMinus, Pi0},
        {PiMinus, Pi0, Pi0}, {PiMinus, PiMinus, PiPlus}},
       {0.6339, 0.0493, 0.033, 0.2103, 0.01757, 0.0559}},
      {Pi0, {{}, {Positron, Electron}}, {0.98798, 0.01198}},
  };
  bool hasdecays[NSPECIES] = {};
  for (const Expected& e : expected) {
    SCOPED_TRACE(ParticleSpecies_name[e.parent]);
    hasdecays[e.parent] = true;
    const LSet& set = ParticleSpecies_decay()[e.parent].channels;
    ASSERT_EQ(set.count, e.channels.size());
    double listed = 0;
    for (double r : e.ratios) listed += r;
    double sum = 0;
    for (uint32_t k = 0; k < set.count; k++) {
      const DecayChannel& ch = LSet_at<DecayChannel>(set, k);
      EXPECT_EQ(products(ch), e.channels[k]);
      EXPECT_NEAR(ch.ratio, e.ratios[k] / listed, 1e-15);
      sum += ch.ratio;
    }
    EXPECT_NEAR(sum, 1.0, 1e-15);
  }
  for (int s = 0; s < NSPECIES; s++)
    if (!hasdecays[s]) {
      EXPECT_EQ(ParticleSpecies_decay()[s].channels.count, 0u) << s;
    }
}

TEST(DecayTable, ChannelTextsAreParsedAndBadOnesRefused) {
  SpeciesDecay local[NSPECIES] = {};
  Captured cap;
  EXPECT_EQ(ParticleSpecies_decayaddto(local, "K- --> pi- pi0 pi0", 2.0), 1);
  EXPECT_EQ(ParticleSpecies_decayaddto(local, "k- --> MU- NU_MUBAR", 6.0), 1);
  EXPECT_EQ(ParticleSpecies_decayaddto(local, "pi0 --> ", 0.5), 1);
  EXPECT_TRUE(cap.all.empty());
  ASSERT_EQ(local[KMinus].channels.count, 2u);
  EXPECT_EQ(products(LSet_at<DecayChannel>(local[KMinus].channels, 0)),
            (std::vector<int>{PiMinus, Pi0, Pi0}));
  EXPECT_EQ(products(LSet_at<DecayChannel>(local[KMinus].channels, 1)),
            (std::vector<int>{MuMinus, NuMuBar}));
  ASSERT_EQ(local[Pi0].channels.count, 1u);
  EXPECT_EQ(LSet_at<DecayChannel>(local[Pi0].channels, 0).nproducts, 0);
  ParticleSpecies_normaliseratios(local);
  EXPECT_DOUBLE_EQ(LSet_at<DecayChannel>(local[KMinus].channels, 0).ratio, 0.25);
  EXPECT_DOUBLE_EQ(LSet_at<DecayChannel>(local[KMinus].channels, 1).ratio, 0.75);
  EXPECT_DOUBLE_EQ(LSet_at<DecayChannel>(local[Pi0].channels, 0).ratio, 1.0);

  struct Bad {
    const char* text;
    std::vector<std::string> messages;
  } bad[] = {
      {"pi+ -> mu+ nu_mu", {"[WARNING] Bad decay channel 'pi+ -> mu+ nu_mu'"}},
      {"pi+ --> mu+ photon",
       {"[WARNING] Unrecognised particle species 'photon'",
        "[WARNING] Bad decay channel 'pi+ --> mu+ photon'"}},
      {"kaon --> mu+ nu_mu",
       {"[WARNING] Unrecognised particle species 'kaon'",
        "[WARNING] Bad decay channel 'kaon --> mu+ nu_mu'"}},
      // One product cannot take both the energy and the momentum of the parent.
      {"pi+ --> mu+", {"[WARNING] Bad decay channel 'pi+ --> mu+'"}},
      // Products heavier than the parent: no event could ever be made.
      {"mu+ --> pi+ nu_mu", {"[WARNING] Bad decay channel 'mu+ --> pi+ nu_mu'"}},
      {"pi0 --> pi0 nu_e", {"[WARNING] Bad decay channel 'pi0 --> pi0 nu_e'"}},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    cap.all.clear();
    EXPECT_EQ(ParticleSpecies_decayaddto(local, b.text, 1.0), 0);
    EXPECT_EQ(cap.all, b.messages);
  }
  EXPECT_EQ(local[PiPlus].channels.count, 0u);
  EXPECT_EQ(local[MuPlus].channels.count, 0u);
  EXPECT_EQ(local[Pi0].channels.count, 1u);
  ParticleSpecies_freetable(local);
  for (int s = 0; s < NSPECIES; s++) LSet_free(local[s].channels);
}

}  // namespace
