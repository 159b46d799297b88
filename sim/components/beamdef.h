// Beam definitions: the constructors of the `beam` class (Twiss, circular, pencil, aperture-CSV
// and ICOOL beams) and the `particle` class (one particle, or the synchronous reference
// particle of the RF phasing), the beam generators and file readers they use, and the
// distribution-type names. Called once per beam cell while the Simulation is built (main
// thread); the generators are plain loops over the requested particle count. Owns nothing
// beyond the beams it returns (the caller frees them with Beam_free).
#pragma once

#include <cstdint>

#include "sim/beam.h"

struct Cell;
struct Simulation;

// Run-time records of both classes are empty: the cells leave the machine after construction.
constexpr uint32_t BEAM_DATASIZE = 0;
constexpr uint32_t PARTICLE_DATASIZE = 0;

// Largest number of particles one generated beam (Twiss, circular, pencil) may hold; a larger
// request is cut to this many with "[WARNING] %s beam of %lg particles cut to %d".
constexpr int32_t BEAM_MAXGENERATED = 10000000;

enum DistributionType : int32_t {
  InvalidDist = 0,
  Waterbag = 1,
  KV = 2,
  Gaussian = 3,
  Uniform = 4,
  ExpTails = 5,
};
extern const char* const DistributionType_name[6];

// Name look-ups (without case). Each returns the type, or 0 (InvalidDist) after its "[FATAL]"
// message when the name is none or not accepted:
//   transverse "Waterbag", "KV", "Gaussian": "[FATAL] Unknown transverse distribution type '%s'"
//   longitudinal "Uniform", "Gaussian": "[FATAL] Unknown longitudinal distribution type '%s'"
//   error: any named type: "[FATAL] Unknown error distribution type '%s'"
//   any: the whole table from "ExpTails" down to "Waterbag", else the transverse message.
DistributionType TransDist_fromstring(const char* text);
DistributionType LongDist_fromstring(const char* text);
DistributionType ErrorDist_fromstring(const char* text);
DistributionType DistributionType_fromstring(const char* text);

// A four-dimensional waterbag of n particles at the origin plane (z = 0) in local coordinates:
// emittances (m rad) and betas (m) per plane, kinetic energy uniform in E0 ± dE (J, clamped at
// 0), release time uniform in t0 ± dt (s). Random numbers from the stream (seed, 0, 1, …).
// The distribution types and alphas are accepted but do not change the particles.
Beam Beam_twiss(ParticleSpecies species, int32_t n, DistributionType transdist, double emitx,
                double alphax, double betax, double emity, double alphay, double betay,
                DistributionType longdist, double E0, double dE, double t0, double dt,
                uint32_t seed);
// A uniform disc of `radius` (m) spread over [0, length) in z, kinetic energy uniform in
// [Emin, Emax) (J), slopes uniform over a disc of `divergence` (rad), released at t_start.
Beam Beam_circular(ParticleSpecies species, int32_t n, double radius, double divergence,
                   double length, double Emin, double Emax, double t_start, uint32_t seed);
// Particles at the origin along direction (vx, vy, vz) ((0, 0, 1) when all are zero) with
// kinetic energies Emin, Emin + Estep, … while below Emax + Estep/2; empty when
// Emax + Estep/2 <= Emin. A step <= 0 (which would never reach Emax) gives the single particle
// at Emin when Emin <= Emax, else an empty beam.
Beam Beam_pencil(ParticleSpecies species, double vx, double vy, double vz, double Emin,
                 double Emax, double Estep);
// Reads "datafiles/<file>" as lines of 8 comma-separated fields x, y, t, vx, vy, vz (m/s),
// species (a name for style 0, a MARS id for 1, a PDG id for 2), weight; lines with another
// field count are skipped and reported. A first line whose first field is not a number is a
// header; when its sixth field mentions "gamma" (the output apertures' header) the velocity
// columns hold γv and are taken as the particles' V, otherwise they are plain velocities.
// Lines with a number that is not finite or a plain speed at or above c are skipped
// ("[WARNING] apertureCSVbeam: %d unusable lines skipped in %s").
// Messages: "[FATAL] apertureCSVbeam: data file %s not found" (empty beam returned),
// "[WARNING] apertureCSVbeam: no particles added from %s".
Beam Beam_apertureCSV(const char* file, int pidstyle);
// Reads "datafiles/<file>" in the ICOOL form: two header lines, then lines of 4 integers and
// 11 numbers (the third integer the ICOOL particle type; time, weight, x, y, z, px, py, pz in
// GeV/c, three ignored); other lines are passed over. Lines whose values are not finite or
// whose species has no mass are skipped (the same warning as above with "ICOOLbeam").
// Messages: "[FATAL] ICOOLbeam: data file %s not found", "[WARNING] ICOOLbeam: no particles
// added from %s".
Beam Beam_ICOOL(const char* file);

// Class constructors (the class table's `beam` and `particle` rows). Both read the cell's
// attributes, hand particles (or the synchronous attributes) to the simulation and make the
// cell non-machine.
void conbeam(Cell* cell, Simulation* sim);
void conparticle(Cell* cell, Simulation* sim);
