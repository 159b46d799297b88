// The Beam: a growable array of particles split into a live section [0, m) (the particles being
// tracked) and a dead section [m, M) (those that have left the tracking), with its binary and
// CSV writers (EB, the field sample that components return to the pusher, is base/field.h's).
// A Beam owns its array (64-byte aligned, so each particle is exactly two cache lines) and
// every record's nearby list; Beam_free releases them. Beams are built by beam definitions and
// the stepping code, compacted after every step, and written by the auto-save and the
// -savebeam switch.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/field.h"
#include "base/vec.h"
#include "sim/particle.h"

// ---- the beam ----
// A zeroed record (as in a freshly declared one) is an empty beam that has not yet allocated.
struct Beam {
  Particle* particles = nullptr;  // capacity records (at least one allocated), owned
  int32_t m = 0;                  // end of the live section
  int32_t M = 0;                  // end of all particles
  int32_t capacity = 0;           // records the array can hold
};

inline int32_t Beam_m(const Beam* beam) { return beam->m; }
inline int32_t Beam_M(const Beam* beam) { return beam->M; }

// An empty beam: capacity 0, with room for one record allocated.
Beam Beam_new();
// Frees every record's nearby list (all M records) and the array; zeroes the four fields.
void Beam_free(Beam* beam);
// Appends a particle to the live section and returns it: Particle_new(species) when p is none,
// else a copy of *p (the copy takes over p's nearby list pointer). When M + 1 exceeds the
// capacity, the array grows by max(10, 3M/10) records. The first dead record moves to the end,
// so the dead section keeps its members in a different order. The pointer stays valid until
// the array next grows.
Particle* Beam_addparticle(Beam* beam, ParticleSpecies species, const Particle* p);
// Capacity grows by k records; the M records are kept (a negative k never takes the
// capacity below M).
void Beam_extendalloc(Beam* beam, int32_t k);
// Compacts after a step: Active records come first and m becomes their count; Decayed records
// in the live section leave the beam (their nearby lists freed, M shrinks); other records go
// to the dead section. Order is not kept.
void Beam_sortdeadparticles(Beam* beam);
// Sorts the live section with qsort and `cmp` (Particle_xcmp, …).
void Beam_sort(Beam* beam, int (*cmp)(const void*, const void*));
// Scales every weight of [0, M) so that the weights add up to 1. Returns 1, or 0 (weights
// unchanged) when they add up to zero.
int Beam_normalisewt(Beam* beam);
// Scales every weight of [0, M) so that sum(charge × weight) becomes Q (C). Returns 1, or 0
// (weights unchanged) when the beam's charge is zero.
int Beam_normalisecharge(Beam* beam, double Q);
// Smallest tstart of the live section; 1e20 when it is empty.
double Beam_mintstart(const Beam* beam);
// Sets every record's beam line (all M records).
void Beam_setbeamline(Beam* beam, Cell* cell);

// Binary beam: m (4 bytes), M (4 bytes), then M particle records (Particle_write).
// Returns 1 when everything was written, else 0.
int Beam_write(const Beam* beam, FILE* file);
// Reads a binary beam into *beam (capacity ((M + 6000)/5000)·5000 records). Returns 1 on
// success. Returns 0, with *beam an empty beam, when the counts are negative or m exceeds M,
// or when the data ends before M records have been read; memory is taken only for records
// actually present in the file, so an absurd count cannot exhaust it.
int Beam_read(FILE* file, Beam* beam);

// CSV export flag bits.
enum {
  CSV_ALL = 1,          // every particle, whatever its state (with a state column)
  CSV_ID = 2,           // id column first
  CSV_PROPERTIME = 4,   // proper-time column
  CSV_FINISHED = 8,     // Finished particles (with a state column)
  CSV_NOACTIVE = 16,    // leave out Active particles (unless CSV_ALL)
  CSV_UNRELEASED = 32,  // "Unreleased" for tstart later than t (with a state column)
  CSV_SEED = 64,        // seed and seq columns
  CSV_HEX = 128,        // weight, position, V as the 16 hex digits of their IEEE-754 bits
};
// Writes the beam as CSV to file `name`. style: the particle column as the species name (0),
// MARS (1), PDG (2) or ICOOL (3) number; a species with no number in the chosen scheme is
// written as -9999. Returns 1, or 0 when the file cannot be created.
int Beam_savecsv(const Beam* beam, const char* name, int style, int flags, double t);
