// Particle species: the fixed table of the 25 species Ordax tracks (names, charges, rest
// energies, masses, the identifier numbers used by external beam files) and the per-species
// decay table (mean life and decay channels), built on its first use. Owns the decay channels'
// product arrays for the life of the process. The tables are read by every part of the
// simulation (charge and mass at every pusher stage) and never change once built, so any
// thread may read them.
#pragma once

#include <cstdint>

#include "base/lset.h"

// Species numbers are indices into every table below.
enum ParticleSpecies : int32_t {
  PiPlus = 0,
  MuPlus = 1,
  PiMinus = 2,
  MuMinus = 3,
  Proton = 4,
  AntiProton = 5,
  KPlus = 6,
  KMinus = 7,
  Positron = 8,
  Electron = 9,
  NuE = 10,
  NuEBar = 11,
  NuMu = 12,
  NuMuBar = 13,
  Pi0 = 14,
  Neutron = 15,
  HMinus = 16,
  B5Plus = 17,
  O8Plus = 18,
  Na11Plus = 19,
  He4 = 20,
  Triton = 21,
  Deuteron = 22,
  He3 = 23,
  Li7 = 24,
};
constexpr int NSPECIES = 25;
constexpr int NPDGSPECIES = 16;         // species 0 … 15 have a PDG number
constexpr int32_t PID_NONE = -9999;     // "no number in this scheme"
constexpr double ELEMENTARY_CHARGE = 1.602176462e-19;  // C

extern const char* const ParticleSpecies_name[NSPECIES];
extern const double charge[NSPECIES];  // C
extern const double E0[NSPECIES];      // J, rest energy
extern const int32_t ParticleSpecies_pdgpid[NPDGSPECIES];
extern const int32_t ParticleSpecies_marspid[NSPECIES];
extern const int32_t ParticleSpecies_icoolpid[NSPECIES];
extern const double speciesmass[NSPECIES];  // kg, E0 / c²

// One way a species can decay.
struct DecayChannel {
  double ratio;               // branching ratio; a species' ratios add up to 1 after init
  int32_t nproducts;          // 0 … ; 0 means the decay just ends the particle
  ParticleSpecies* products;  // nproducts entries, owned by the channel (malloc)
};

// What one species does when it decays.
struct SpeciesDecay {
  double meanlife;  // s, proper mean life; 0 = stable
  LSet channels;    // of DecayChannel, in the order they were added
};
// The decay table: the mean lives and the standard channels, each species' ratios divided by
// their sum. Built on the first call (from any thread; concurrent first calls wait for one
// build) and unchanged afterwards.
const SpeciesDecay* ParticleSpecies_decay();

// Parses "PARENT --> A B C" (split at " --> ", then the product side at " "; an empty product
// side gives no products), looks every name up with speciesfromstring in exact mode and
// appends a channel with `ratio` to the parent's list in `table`. Ratios are not normalised
// here. Returns 1 when the channel was added. A text without " --> ", an unknown name, a
// channel of exactly one product, or products at least as heavy as the parent (no decay
// kinematics exists for them) is reported as "[WARNING] Bad decay channel '%s'" (after any
// warning about the unknown name) and gives 0, adding nothing.
int ParticleSpecies_decayaddto(SpeciesDecay* table, const char* text, double ratio);
// Divides the ratios of every species of `table` by their sum (species without channels or
// with a zero sum are left as they are).
void ParticleSpecies_normaliseratios(SpeciesDecay* table);
// Frees every channel of `table` and empties its lists (for tables made by callers).
void ParticleSpecies_freetable(SpeciesDecay* table);

// The species number for a text, or -1. A none or empty text gives -1 silently. loose = 0:
// case-insensitive equality; otherwise case-insensitive containment of a keyword in `text`.
// Keywords are tried in order "Pion", "Muon", "Proton", "Neutron", "Electron", "Positron",
// then the 25 names from species 24 down to 0; the first match wins. No match reports
// "[WARNING] Unrecognised particle species '%s'" and gives -1.
int speciesfromstring(const char* text, int loose);

// Identifier styles: 0 the species name (CSV output only), 1 MARS, 2 PDG, 3 ICOOL.
enum PIDStyle : int32_t { PIDName = 0, PIDMars = 1, PIDPdg = 2, PIDIcool = 3 };

// The species whose number in the chosen scheme equals `pid`, searched from the highest
// species down (PDG over its 16 entries only), or -1. The marker -9999 ("no number") never
// matches. No match reports "[WARNING] Unrecognised %s PID %d" with "MARS", "PDG" or, for
// ICOOL, "invalid type"; a style other than 1, 2, 3 gives -1 at once without a message.
int speciesfrompid(int32_t pid, int style);

// The number of `species` in the chosen scheme, or -9999 when it has none (PDG species 16 to
// 24) or when the style is not 1, 2 or 3.
int32_t speciespid(int species, int style);
