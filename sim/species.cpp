// The species table, the identifier tables and the decay table (see species.h).
#include "sim/species.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/report.h"

const char* const ParticleSpecies_name[NSPECIES] = {
    "pi+", "mu+",     "pi-",   "mu-",    "p",   "pbar", "K+", "K-", "e+",
    "e-",  "nu_e",    "nu_ebar", "nu_mu", "nu_mubar", "pi0", "n", "H-", "B5+",
    "O8+", "Na11+",   "He4",   "t",      "d",   "He3",  "Li7"};

const double charge[NSPECIES] = {
    1 * ELEMENTARY_CHARGE,  1 * ELEMENTARY_CHARGE,  -1 * ELEMENTARY_CHARGE,
    -1 * ELEMENTARY_CHARGE, 1 * ELEMENTARY_CHARGE,  -1 * ELEMENTARY_CHARGE,
    1 * ELEMENTARY_CHARGE,  -1 * ELEMENTARY_CHARGE, 1 * ELEMENTARY_CHARGE,
    -1 * ELEMENTARY_CHARGE, 0,                      0,
    0,                      0,                      0,
    0,                      -1 * ELEMENTARY_CHARGE, 5 * ELEMENTARY_CHARGE,
    8 * ELEMENTARY_CHARGE,  11 * ELEMENTARY_CHARGE, 2 * ELEMENTARY_CHARGE,
    1 * ELEMENTARY_CHARGE,  1 * ELEMENTARY_CHARGE,  2 * ELEMENTARY_CHARGE,
    3 * ELEMENTARY_CHARGE};

constexpr double E0[NSPECIES] = {
    2.2361608923663242e-11,  // pi+
    1.6928333227855763e-11,  // mu+
    2.2361608923663242e-11,  // pi-
    1.6928333227855763e-11,  // mu-
    1.5032773598167815e-10,  // p
    1.5032773598167815e-10,  // pbar
    7.909576692307741e-11,   // K+
    7.909576692307741e-11,   // K-
    8.187104385270682e-14,   // e+
    8.187104385270682e-14,   // e-
    0,                       // nu_e
    0,                       // nu_ebar
    0,                       // nu_mu
    0,                       // nu_mubar
    2.162563314407892e-11,   // pi0
    1.5053495043025564e-10,  // n
    1.504914699245593e-10,   // H-
    1.6548880675998002e-09,  // B5+
    2.4071099165088003e-09,  // O8+
    3.4602205049814e-09,     // Na11+
    5.971919073390333e-10,   // He4
    4.501205530320052e-10,   // t
    3.0050626683102445e-10,  // d
    4.5011758312057103e-10,  // He3
    1.0470810118485684e-09,  // Li7
};

const int32_t ParticleSpecies_pdgpid[NPDGSPECIES] = {211,  -13, -211, 13, 2212, -2212, 321,  -321,
                                                     -11,  11,  12,   -12, 14,  -14,   111,  2112};
const int32_t ParticleSpecies_marspid[NSPECIES] = {3,  7,  4,  8,  1,     12,   5,     6,  11,
                                                   10, 20, 21, 18, 19,    13,   2,     PID_NONE,
                                                   5006, 8008, 11012, 17, 15, 14, 16, 3004};
const int32_t ParticleSpecies_icoolpid[NSPECIES] = {
    3,        2,        -3,       -2,       5,        -5,       4,        -4,       1,
    -1,       PID_NONE, PID_NONE, PID_NONE, PID_NONE, PID_NONE, PID_NONE, PID_NONE, PID_NONE,
    PID_NONE, PID_NONE, PID_NONE, PID_NONE, 6,        7,        8};

// 1 / c² in kg per joule.
constexpr double KG_PER_J = 1.1126500560536185e-17;
const double speciesmass[NSPECIES] = {
    E0[0] * KG_PER_J,  E0[1] * KG_PER_J,  E0[2] * KG_PER_J,  E0[3] * KG_PER_J,
    E0[4] * KG_PER_J,  E0[5] * KG_PER_J,  E0[6] * KG_PER_J,  E0[7] * KG_PER_J,
    E0[8] * KG_PER_J,  E0[9] * KG_PER_J,  E0[10] * KG_PER_J, E0[11] * KG_PER_J,
    E0[12] * KG_PER_J, E0[13] * KG_PER_J, E0[14] * KG_PER_J, E0[15] * KG_PER_J,
    E0[16] * KG_PER_J, E0[17] * KG_PER_J, E0[18] * KG_PER_J, E0[19] * KG_PER_J,
    E0[20] * KG_PER_J, E0[21] * KG_PER_J, E0[22] * KG_PER_J, E0[23] * KG_PER_J,
    E0[24] * KG_PER_J};

namespace {

// Proper mean lives (s) of the unstable species; every other species is stable.
struct MeanLife {
  const char* name;
  double tau;
};
const MeanLife meanlives[] = {{"pi+", 2.6033e-08}, {"mu+", 2.19703e-06}, {"pi-", 2.6033e-08},
                              {"mu-", 2.19703e-06}, {"K+", 1.2385e-08},  {"K-", 1.2385e-08},
                              {"pi0", 8.4e-17}};

struct ChannelText {
  const char* text;
  double ratio;
};
const ChannelText standardchannels[] = {
    {"pi+ --> mu+ nu_mu", 0.999877},       {"pi+ --> e+ nu_e", 0.000123},
    {"pi- --> mu- nu_mubar", 0.999877},    {"pi- --> e- nu_ebar", 0.000123},
    {"mu+ --> e+ nu_e nu_mubar", 1.0},     {"mu- --> e- nu_ebar nu_mu", 1.0},
    {"K+ --> mu+ nu_mu", 0.6339},          {"K+ --> pi0 e+ nu_e", 0.0493},
    {"K+ --> pi0 mu+ nu_mu", 0.033},       {"K+ --> pi+ pi0", 0.2103},
    {"K+ --> pi+ pi0 pi0", 0.01757},       {"K+ --> pi+ pi+ pi-", 0.0559},
    {"K- --> mu- nu_mubar", 0.6339},       {"K- --> pi0 e- nu_ebar", 0.0493},
    {"K- --> pi0 mu- nu_mubar", 0.033},    {"K- --> pi- pi0", 0.2103},
    {"K- --> pi- pi0 pi0", 0.01757},       {"K- --> pi- pi- pi+", 0.0559},
    {"pi0 --> ", 0.98798},                 {"pi0 --> e+ e-", 0.01198},
};

void badchannel(const char* text) {
  reportf("[WARNING] Bad decay channel '%s'", text ? text : "");
}

}  // namespace

namespace {

struct DecayTable {
  SpeciesDecay species[NSPECIES];
  DecayTable() {
    for (SpeciesDecay& d : species) {
      d.meanlife = 0;
      d.channels = LSet_new(sizeof(DecayChannel));
    }
    for (const MeanLife& m : meanlives) {
      int s = speciesfromstring(m.name, 0);
      if (s >= 0) species[s].meanlife = m.tau;
    }
    for (const ChannelText& c : standardchannels)
      ParticleSpecies_decayaddto(species, c.text, c.ratio);
    ParticleSpecies_normaliseratios(species);
  }
};

}  // namespace

const SpeciesDecay* ParticleSpecies_decay() {
  static const DecayTable table;
  return table.species;
}

int ParticleSpecies_decayaddto(SpeciesDecay* table, const char* text, double ratio) {
  if (!text) {
    badchannel(text);
    return 0;
  }
  std::vector<std::string> sides = explode(" --> ", text);
  if (sides.size() != 2) {
    badchannel(text);
    return 0;
  }
  int parent = speciesfromstring(sides[0].c_str(), 0);
  if (parent < 0) {
    badchannel(text);
    return 0;
  }
  std::vector<int> products;
  if (!sides[1].empty()) {
    for (const std::string& name : explode(" ", sides[1])) {
      int s = speciesfromstring(name.c_str(), 0);
      if (s < 0) {
        badchannel(text);
        return 0;
      }
      products.push_back(s);
    }
  }
  // A single product cannot carry both the parent's energy and momentum, and products at least
  // as heavy as the parent leave no phase space: the decay kinematics would never finish.
  double productmass = 0;
  for (int s : products) productmass += E0[s];
  if (products.size() == 1 || (!products.empty() && productmass >= E0[parent])) {
    badchannel(text);
    return 0;
  }
  DecayChannel ch;
  ch.ratio = ratio;
  ch.nproducts = (int32_t)products.size();
  ch.products = nullptr;
  if (ch.nproducts > 0) {
    ch.products = (ParticleSpecies*)malloc(sizeof(ParticleSpecies) * products.size());
    for (size_t k = 0; k < products.size(); k++) ch.products[k] = (ParticleSpecies)products[k];
  }
  SpeciesDecay& d = table[parent];
  if (d.channels.size != sizeof(DecayChannel)) d.channels = LSet_new(sizeof(DecayChannel));
  LSet_add(&d.channels, &ch);
  return 1;
}

void ParticleSpecies_normaliseratios(SpeciesDecay* table) {
  for (int s = 0; s < NSPECIES; s++) {
    LSet& set = table[s].channels;
    if (set.size != sizeof(DecayChannel) || set.count == 0) continue;
    DecayChannel* ch = LSet_data<DecayChannel>(set);
    double sum = 0;
    for (uint32_t k = 0; k < set.count; k++) sum += ch[k].ratio;
    if (sum == 0) continue;
    for (uint32_t k = 0; k < set.count; k++) ch[k].ratio /= sum;
  }
}

void ParticleSpecies_freetable(SpeciesDecay* table) {
  for (int s = 0; s < NSPECIES; s++) {
    LSet& set = table[s].channels;
    if (set.size != sizeof(DecayChannel)) continue;
    DecayChannel* ch = LSet_data<DecayChannel>(set);
    for (uint32_t k = 0; k < set.count; k++) free(ch[k].products);
    LSet_free(set);
    set = LSet_new(sizeof(DecayChannel));
  }
}

int speciesfromstring(const char* text, int loose) {
  if (!text || !*text) return -1;
  struct Keyword {
    const char* word;
    int species;
  };
  static const Keyword keywords[] = {{"Pion", PiPlus},     {"Muon", MuPlus},
                                     {"Proton", Proton},   {"Neutron", Neutron},
                                     {"Electron", Electron}, {"Positron", Positron}};
  auto matches = [&](const char* word) {
    return loose ? strinstr(text, word) != 0 : equalnocase(text, word);
  };
  for (const Keyword& k : keywords)
    if (matches(k.word)) return k.species;
  for (int s = NSPECIES - 1; s >= 0; s--)
    if (matches(ParticleSpecies_name[s])) return s;
  reportf("[WARNING] Unrecognised particle species '%s'", text);
  return -1;
}

int speciesfrompid(int32_t pid, int style) {
  const int32_t* table;
  int n;
  const char* schemename;
  switch (style) {
    case PIDMars:
      table = ParticleSpecies_marspid, n = NSPECIES, schemename = "MARS";
      break;
    case PIDPdg:
      table = ParticleSpecies_pdgpid, n = NPDGSPECIES, schemename = "PDG";
      break;
    case PIDIcool:
      table = ParticleSpecies_icoolpid, n = NSPECIES, schemename = "invalid type";
      break;
    default:
      return -1;
  }
  if (pid != PID_NONE)
    for (int s = n - 1; s >= 0; s--)
      if (table[s] == pid) return s;
  reportf("[WARNING] Unrecognised %s PID %d", schemename, pid);
  return -1;
}

int32_t speciespid(int species, int style) {
  if (species < 0 || species >= NSPECIES) return PID_NONE;
  switch (style) {
    case PIDMars:
      return ParticleSpecies_marspid[species];
    case PIDPdg:
      return species < NPDGSPECIES ? ParticleSpecies_pdgpid[species] : PID_NONE;
    case PIDIcool:
      return ParticleSpecies_icoolpid[species];
    default:
      return PID_NONE;
  }
}
