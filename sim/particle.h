// The particle record that the pusher advances, its fate states, its own random stream, the
// decay machinery (when a particle decays next, which channel, the daughters' momenta) and the
// binary particle record. A Particle owns its nearby list (freed by Particle_free); it is a
// plain record copied by value, so whoever copies one decides which copy keeps the list.
// The record is touched at every step for every particle: it is two 64-byte cache lines, the
// first holding everything the pusher reads at each of its four stages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/vec.h"
#include "sim/species.h"

struct Cell;

// How a particle's tracking ended (or Active while it goes on). Values 2, 7, 8, 9 are unnamed.
enum ParticleState : int32_t {
  Finished = -1,     // an aperture configured to give this state
  Active = 0,        // tracked
  Stopped = 1,       // struck matter, or outside the bore
  Reimpact = 3,      // re-entered the production target
  WrongEnergy = 4,   // an aperture configured to give this state
  ScatterSlow = 5,   // momentum below the material tables
  ScatterFast = 6,   // momentum above the material tables
  Decayed = 10,      // the record's last decay copy decayed; the record leaves the beam
};

// The name of state `s` ("Finished" … "Decayed"), or none for an unnamed or out-of-range value.
const char* ParticleState_name(int s);
// The state whose name equals `text` ignoring case, or -2 when none does (or text is none).
int ParticleState_fromstring(const char* text);

struct Particle {
  // First cache line: read at every pusher stage.
  double x, y, z;           // m, global position
  double Vx, Vy, Vz;        // m/s, proper velocity gamma·v
  Cell** nearby;            // owned (malloc), the components that can affect the particle now
  uint32_t nnearby;         // entries in nearby
  ParticleSpecies species;
  // Second cache line: read or written once per step.
  double propertime;        // s, proper time elapsed
  double nextdecay;         // s, proper time of the next decay; 1e20 when created
  double tstart;            // s, laboratory time at which the particle is released
  double weight;            // statistical weight, 1.0 when created
  Cell* beamline;           // the beam line along which s is measured, or none; not owned
  ParticleState state;
  int32_t segment;          // child of the beam line the particle is in, -1 when unknown
  uint32_t decaysleft;      // decay copies this record still stands for; 0 = never decays
  uint32_t id;              // particle number within the run
  uint32_t seed;            // the key of the particle's own random stream
  uint32_t seq;             // next index in that stream
};
static_assert(sizeof(Particle) == 128, "Particle should fill exactly two cache lines");

// A new particle: every field zero except weight 1.0, next decay 1e20, the species, state
// Active, segment -1; beam line and nearby list none.
Particle Particle_new(ParticleSpecies species);
// id = `id`, seed = drnda(base, id), seq = 0.
void Particle_setseed(Particle* p, uint32_t base, uint32_t id);
// Frees the nearby list and leaves it empty.
void Particle_free(Particle* p);
// Makes the nearby list a copy of list[0 … n-1]. The storage is reused when it is large enough:
// a list of n entries always has room for max(4, the power of two at or above n) entries, so
// callers must only ever set the list through this function (or free it).
void Particle_setnearby(Particle* p, Cell* const* list, uint32_t n);

// The unit exponential variate drawn from the particle's stream (advances seq): u = durnd;
// below e^-5 the tail beyond 5 is drawn afresh with dexpvariate, otherwise -ln u.
double Particle_expvariate(Particle* p);
// Decay copies: a stable species gets decays left 0 and nothing else (no draw). Otherwise
// decays left = n and the next decay comes at proper time + X·tau/n. A negative n counts as 0.
void Particle_initdecays(Particle* p, int n);
// One decay copy is used up: decays left decreases by one; at 0 the state becomes Decayed,
// otherwise the next decay is drawn at the proper time this one was due + X·tau/(decays left)
// (however late it is handled). Returns the species.
// A record with no copies left is not changed.
ParticleSpecies Particle_nextdecay(Particle* p);

// Decays `p` if it is due (decays left > 0 and proper time at or past the next decay time):
// picks a channel from the particle's stream, makes the products' rest-frame momenta with
// gendecay, and appends one daughter per product whose species bit is set in
// `allowedspecies` (bit s for species s; massless products are never made, since a record
// cannot hold them) to `newparticles`, from the last product to the first. Each daughter
// carries weight (parent weight)/(parent's decays left), its own stream and a copy of the
// nearby list, and n_decays decay copies if its species decays. The parent then loses one
// copy (Decayed after the last) and its weight shrinks so that the total is kept.
// Safe from any thread as long as `newparticles` belongs to the calling thread.
void decayparticle(Particle* p, std::vector<Particle>* newparticles, uint32_t allowedspecies,
                   int n_decays);

// Rest-frame momenta (kg m/s) of the n products of a particle of mass M (kg) whose products
// have masses m[0 … n-1] (kg). Products i and j close the event as a two-body system; every
// other product is drawn on its own; attempts repeat until one is accepted. Draws from
// particle's stream. Preconditions: n >= 2, i != j, sum of m below M.
void gendecay(int n, int i, int j, double M, const double* m, V3* p, Particle* particle);

// Kinetic energy (J): (gamma - 1)·E0 of the species.
double Particle_ke(const Particle* p);

// qsort comparisons of two Particles: -1, 0, 1 by ascending x, y, z, or s along the beam line.
int Particle_xcmp(const void* a, const void* b);
int Particle_ycmp(const void* a, const void* b);
int Particle_zcmp(const void* a, const void* b);
int Particle_scmp(const void* a, const void* b);

// Longitudinal position (m) of a particle along its beam line: the start position of child
// `segment` of the beam line plus that child's own arc length s of the particle's position
// (Cell_sr). -9e99 for a particle without a beam line, with a negative segment, or with a
// segment the beam line does not have.
double Particle_s(const Particle* p);
// Cell_sr and Cell_sxy (lattice/frames.h) for a particle in the cell it occupies (its beam
// line's child `segment`), with s measured from the start of the machine; without an occupied
// cell s is -9e99 and the other outputs are left unset.
void Particle_sr(const Particle* p, double* s, double* r);
void Particle_sxy(const Particle* p, double* s, double* X, double* Y);

// Binary particle record, little-endian: weight (8), id (4), species (1), state (1); then
// for a state other than Active the compact form x, y, z, Vx, Vy, Vz as 4-byte floats and
// segment (4); for Active the full form x … Vz as doubles, segment (4), proper time, tstart,
// next decay (8 each), decays left, seed, seq (4 each). 42 or 102 bytes.
constexpr int PARTICLE_COMPACTBYTES = 42;
constexpr int PARTICLE_FULLBYTES = 102;
// Returns 1 when every byte was written, 0 otherwise.
int Particle_write(const Particle* p, FILE* file);
// Reads one record into *p (the fields the compact form lacks get the Particle_new defaults;
// beam line and nearby list none). Returns 1 on success; 0 at the end of the data, on a
// truncated record or on a species number outside the table, with *p then Particle_new(0)
// and never a byte read past the record.
int Particle_read(FILE* file, Particle* p);
