// The Simulation record: a machine (cell tree) with its beam, clock and work count, built from
// a lattice and a genome, advanced step by step, scored at the end. For now this header holds
// only what the run cycle uses; the simulation code completes the record and the functions in
// place (their definitions are placeholders in shell/seams.cpp until then).
#pragma once

#include <cstdint>

#include "sim/beam.h"

struct Cell;
struct Genome;

struct Simulation {
  Cell* lattice = nullptr;  // the machine cell, owned; none when the lattice could not be built
  Beam beam{};              // all particles
  double t = 0;             // s, current simulation time
  double t0 = 0;            // s, time at which tracking started
  double t_max = 1e20;      // s, end time
  double dt = 1e-11;        // s, time step
  double Mpts = 0;          // work done, millions of particle steps × 1.125
  int64_t steps = 0;        // time steps taken
};

// Builds the default record of every new simulation (after ParticleSpecies_init). Keeps the
// refresh-step count and particle divisor given by switches (switches.defaultrefreshsteps,
// switches.particledivisor).
void Simulation_defaultdefault();

// Parses lattice `latticename` ("lattices/<name>.txt") with `genome` (which receives the genes
// it lacks), applies the "-param:" words of `commandline`, and builds the machine. A lattice
// that cannot be used gives a simulation with no machine (lattice none); the caller then tries
// another lattice.
Simulation Simulation_new(const char* latticename, Genome* genome, const char* commandline);

// One time step (the run cycle passes decays 1, collision mode 1, multithread 1).
void Simulation_advance(Simulation* sim, int decays, int mode, int multithread);

// The figure of merit of the finished run (sorts the live section of the beam).
double Simulation_score(Simulation* sim);

// Frees the machine and everything it owns and the beam; leaves an empty record.
void Simulation_free(Simulation* sim);
