// Material transport: the tables that describe a material (per momentum layer: continuous mean
// momentum loss, its straggling, multiple-scattering spread, and a list of discrete
// interactions), their loading from "datafiles/" and a process-wide cache of loaded materials,
// and scatterparticle, which moves a particle through fields and matter for one time step.
// A ScatterData owns its vectors; the cache owns every material it loaded for the life of the
// process and hands out read-only pointers. scatterparticle is called by the time stepping for
// every particle that starts a step inside a material, and by the crossing search per trial.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/particle.h"

// One discrete interaction as stored in a layer file: 16 bytes, little-endian.
struct ScatterRecord {
  float rate;      // per metre
  float dpalong;   // MeV/c taken from the particle along its direction of flight
  float dpacross;  // MeV/c given to the particle across its direction of flight
  uint8_t kind;    // ScatterKind
  uint8_t spare[3];
};
static_assert(sizeof(ScatterRecord) == 16, "layer file records are 16 bytes");

enum ScatterKind : uint8_t {
  ScatterNone = 0,
  ScatterNuclear = 1,
  ScatterHardElectron = 2,
  ScatterSoftElectron = 3,
  ScatterResonance = 4,
  ScatterDiscrete = 5,
  ScatterCherenkov = 6,
};
constexpr int NSCATTERKINDS = 7;
// "None", "Nuclear", "Hard electron", "Soft electron", "Resonance", "Discrete", "Cherenkov".
extern const char* const ScatterKind_name[NSCATTERKINDS];

// One momentum layer of a material.
struct ScatterLayer {
  double meanloss;   // MeV/c per m, continuous mean momentum loss
  double lossvar;    // (MeV/c)² per m, variance of that loss
  double transvar;   // (MeV/c)² per m, variance of each transverse momentum component
  double totalloss;  // MeV/c per m, meanloss + Σ rate × dpalong over the records
  std::vector<ScatterRecord> records;
  std::vector<double> cumrate;  // per m; entry i = Σ rate of records 0 … i (last = total rate)
};

// A material: n layers at ascending momenta. n = 0 is the failure value of the loaders.
struct ScatterData {
  int n = 0;
  std::vector<double> p;             // MeV/c, n values, strictly ascending
  std::vector<ScatterLayer> layer;   // n layers
};

// Layer files larger than this many records are refused as absurd.
constexpr uint32_t SCATTER_MAXRECORDS = 1u << 20;

// Reads a material from directory `dir` (ending in '/'; "" for the working directory).
// `pattern` is a printf pattern with exactly one integer conversion (d, i, u, o, x or X, with
// optional flags, width and precision, no length modifier) and no other conversion but "%%";
// '\' in it counts as '/'. The pattern with 0 names the index file (one line per layer:
// momentum, mean loss, loss variance, transverse variance, read as "%lg\t%lg\t%lg\t%lg\n");
// with k = 1, 2, … it names the binary layer files. The layer list ends at the first layer
// file that is missing, whose length is not a whole number of records, or that holds more
// than SCATTER_MAXRECORDS records or a record with a negative or non-finite value, and at the
// first index line that does not parse, is not finite, has a negative variance or a momentum
// not above the one before. No byte past the end of a file is ever read.
// Failure (n = 0): a bad pattern ("[FATAL] Material pattern '%s' must hold exactly one integer
// conversion"), a missing index file ("[FATAL] Failed to load material '%s': cannot open
// '%s'"), or fewer than two usable layers ("[FATAL] Failed to load material '%s': %d usable
// layers"). With `counts` (the program asks for them in graphics mode) a loaded material also
// shows "Loaded %s: %d records" and "%s: %d" per interaction kind that occurs.
ScatterData loadelms2_from(const char* dir, const char* pattern, bool counts = false);
// The same from "datafiles/" (the material named by a component's "ScatterData" attribute).
ScatterData loadelms2(const char* pattern, bool counts = false);
// The material already loaded under `name`, else loads it (loadelms2) and keeps it for the rest
// of the process. Returns none when it cannot be loaded (reported by loadelms2; not cached, so a
// later call tries again). Safe from any thread; the returned material is read-only and lives
// until the process ends.
const ScatterData* loadelms2cached(const char* name, bool counts = false);

// The layer for momentum p (MeV/c): -1 below the first layer (or p not a number), n at or
// above the last; otherwise, with p[lo] <= p < p[hi] neighbours, hi when
// dfrnd(p[hi] - p[lo], seed, seq) < p - p[lo], else lo (one draw from the particle's stream).
int ScatterData_momlayer(const ScatterData* material, double p, Particle* particle);

// Set by the time stepping for a whole step (RF synchronisation, or the simulation's
// scattering_off): while set, scatterparticle applies only the total mean loss, with no
// straggling, no deflection and no discrete interactions. Written only between steps.
extern bool scatteringsuppressed;

// Advances *p from time t to t + dt (s) in place. With no material: exactly one call of the
// pusher slot (advanceparticle, sim/pusher.h). With a material: pushes in segments that end
// at discrete interactions drawn from the particle's own stream, applying after each segment
// the continuous loss, straggling and scattering over its length and then the interaction.
// A particle whose momentum falls below the table ends in ScatterSlow, at or above it in
// ScatterFast (at once, without being moved, when that holds at the start). Safe from any
// thread for distinct particles.
void scatterparticle(Particle* p, double t, double dt, const ScatterData* material);

// Momentum conversions used by the transport (m: the species mass in kg).
constexpr double MEVC_PER_KGMS = 1.8711575479380623e21;  // (MeV/c) per (kg m/s)
constexpr double KGMS_PER_MEVC = 5.344285418948064e-22;  // (kg m/s) per (MeV/c)
