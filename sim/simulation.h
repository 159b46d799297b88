// The Simulation: a machine (cell tree) with its beam, clock, seed and run parameters, built
// from a lattice and a genome (parse, overrides, parameters, placement of every component,
// constructors through the class table, bounding boxes, the proximity grid that gives each
// particle its nearby components (sim/proximity.h), beam normalisation), then advanced step
// by step (sim/stepping.h) and scored. Owns the machine cell tree, the beam with every particle's
// nearby list, the FOM text and the per-segment bore table; Simulation_free releases them.
// Construction runs once per evaluated design on the main thread; the nearby-list look-up also
// runs inside the time step, from every worker, every refresh steps steps.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/vec.h"
#include "sim/beam.h"
#include "sim/proximity.h"

struct Cell;
struct Genome;
struct StepContext;

// The run options a caller gives the simulations it builds (the program takes them from
// "config.txt" and the command-line switches); the defaults are those of a plain run.
struct SimOptions {
  int32_t refreshsteps = 10;          // steps between nearby-list refreshes; < 1 means 10
  int32_t divisor = 1;                // only every divisor-th beam particle; < 1 means 1
  int32_t threads = 1;                // stepping threads at most; < 1 means 1
  int32_t particlesperthread = 35;    // live particles per stepping thread; < 1 means 1
  // Steps that could share their particles among several threads do so always, instead of
  // measuring whether that is faster than one thread (benchmarks of a fixed thread count).
  bool fixedthreads = false;
  FILE* loadbalancelog = nullptr;     // one record per step of the threads' shares and times
  FILE* threadoverheadlog = nullptr;  // one record per step of threads, work and time
  bool materialcounts = false;        // material loads report their record counts
  bool rfsynclog = false;             // synchronous particles append to "rfsync.log"
};

// The most time steps a run may take: a time step so small that the first microsecond needs
// more is refused with the lattice, and the particles still flying after this many steps
// (trapped in a field, or in a machine without boxes to leave) end, charged as lost.
constexpr int64_t SIMULATION_MAXSTEPS = 100000000;

struct Simulation {
  Cell* lattice = nullptr;      // the machine cell, owned; none when the lattice could not be built
  Beam beam{};                  // all particles, owned
  uint32_t seedbase = 0;        // base of the random seed (millisecond tick at construction)
  uint32_t seedpitch = 0;       // seed step between the runs of a re-check series
  uint32_t seed = 0;            // key of every particle's stream (drnda(seed, id))
  int32_t divisor = 1;          // only every divisor-th particle of a beam definition is added
  int32_t n_decays = 1;         // decay copies per unstable particle
  int32_t refreshsteps = 10;    // steps between recomputations of the nearby lists
  int32_t gridresolution = 50;  // proximity-grid cells along the machine's largest extent
  double t = 0;                 // s, current simulation time
  double t0 = 0;                // s, time at which tracking started
  double t_max = 1e20;          // s, end time
  double dt = 1e-11;            // s, time step
  double Mpts = 0;              // work done, millions of particle steps × 1.125
  int64_t steps = 0;            // time steps taken
  int64_t maxsteps = SIMULATION_MAXSTEPS;  // steps after which the particles left end as lost
  double global_bore = 1.0;     // m, bore of beam-line children without a "Bore" attribute
  double totalcharge = 0;       // C; when nonzero the beam's total charge after normalisation
  double errrate = 1e-6;        // error-rate parameter (stored only)
  double twiss_interval = 0;    // m, spacing of automatically inserted moment loggers; 0 none
  uint32_t allowedspecies = 0;  // bit s set: species s may be created
  bool decays_off = false;      // no decays in this run
  bool scattering_off = false;  // no discrete material scattering in this run
  char* FOM = nullptr;          // owned (malloc): name of a special figure of merit, or none
  bool paramoverridden = false; // a "-param:" word of the command line was found

  // Run options (see SimOptions; the logs are not owned).
  int32_t threads = 1;
  int32_t particlesperthread = 35;
  bool fixedthreads = false;
  FILE* loadbalancelog = nullptr;
  FILE* threadoverheadlog = nullptr;
  bool materialcounts = false;
  bool rfsynclog = false;       // append the RF phase synchronisation to "rfsync.log" (-rfsync)

  // The stepping's worker pool and per-thread lists (sim/stepping.h): made at the first step,
  // owned, freed by Simulation_free. Two simulations never share one.
  StepContext* stepping = nullptr;

  // Bore radius (m) of each child of the machine, read from the attributes once per machine by
  // the stepping (attribute look-ups are too slow for every particle step). Owned (malloc).
  double* bores = nullptr;
  const Cell* boresof = nullptr;  // the machine the table was made for
  int32_t nbores = 0;
};

// The record every new simulation starts from; Simulation_defaultdefault fills it.
extern Simulation Simulation_default;

// Builds the default record of every new simulation: the run options of `options` (refresh
// steps and divisor clamped as described there), dt 1e-11, and the allowed species: every
// species with a nonzero mass except e+, e- and pi0. Also installs the class table
// (registry_install) and the proximity-grid operations in the cell tree, once per process.
// Main thread, before building simulations.
void Simulation_defaultdefault(const SimOptions& options = SimOptions{});

// Copies the run options of `from` that a built simulation does not record (threads,
// particles per thread, fixed threads, the logs, material counts, RF sync log) into *sim; a
// simulation read back from a file takes them from the default record this way.
void Simulation_copyoptions(Simulation* sim, const Simulation* from);

// Parses lattice `latticename` ("lattices/<name>.txt") with `genome` (which receives the genes
// it lacks), applies the "-param:" words of `commandline` (paramoverridden records that there
// were any: the caller then turns the result check off), reads the parameters cell, chooses
// the seed (seedbase, or seedbase + seedpitch × recheckrun for run `recheckrun` ≥ 0 of a
// re-check series when seedpitch is nonzero), applies
// the adjustments for named legacy lattices and the moment loggers, builds the machine, the
// nearby lists and normalises the beam; t = t0 = the earliest tstart. A lattice that cannot be
// used gives a simulation with no machine (lattice none; reported by the parser, or by a class
// whose synchronisation failed, such as RF cavities without a synchronous particle); the
// caller then tries another lattice.
Simulation Simulation_new(const char* latticename, Genome* genome, const char* commandline,
                          int32_t recheckrun = -1);

// Steps of Simulation_new, in the order it runs them.
// Applies every "-param:" word of `commandline` (a word runs to the next white space):
// NAME=VALUE sets the number atof(VALUE) on `parameters`; CELL.ATTR=VALUE sets ATTR on the
// machine itself (a component named CELL) or its first child named CELL (without case), as a
// text when VALUE begins with a quote (less the quote and the last character), else as a
// number; a missing cell changes nothing; a word without "=" is skipped. Returns the number of
// words found (the caller turns the result check off for any).
int Simulation_paramoverrides(const char* commandline, Cell* machine, Cell* parameters);
// The adjustments for legacy lattices known by `name` (bores of drifts, t_max, the two dome
// blockages at the front of the machine); also, for any lattice, the field maps of the classes
// that load them (Cell_loadfieldmaps: the last "BMagnet" cell's).
void Simulation_namedlattice(Simulation* sim, const char* name);
// Inserts a "moments-aperture" component named "auto-twiss" every `interval` metres along a
// composite machine, in front of the child of nonzero length that covers the position, with
// "Z" its offset into that child. Nothing for interval <= 0. At most 10000 are inserted
// ("[WARNING] twiss_interval %lg makes more than %ld moment loggers; the rest are left out").
void Simulation_momentloggers(Cell* machine, double interval);

// Reads the run parameters from the attributes of `parameters` (none leaves everything as it
// is): "t_max", "dt", "totalcharge", "errrate", "n_decays", "decays_off", "scattering_off",
// "seedbase", "seedpitch", "twiss_interval", "global_bore" (numbers; a text value leaves the
// field alone), "allow_<species>" (adds the species for a nonzero value, removes it for 0;
// unknown names ignored) and "FOM" (text).
void Simulation_setparameters(Simulation* sim, const Cell* parameters);

// Places and constructs the machine sim->lattice from `frame`: binds the function slots,
// empties the beam, places every cell (material, constructor, exit frame), builds the bounding
// boxes, and for a composite machine trims the solenoid boxes, builds the proximity grid,
// runs the classes' synchronisation (Cell_synchronise: the RF cavities' phases when there is
// an RF cavity), removes the non-machine children and
// zeroes the loss counters. A machine that is not a composite is reported with "[FATAL]
// machine cell is not Composite in BLfromcell: don't know what's going on" and has no grid.
// Returns 1, or 0 without a machine, when a component's size is not usable
// (Simulation_checksizes) or when a class's synchronisation failed (reported by it;
// Simulation_new then gives a simulation without a machine).
int Simulation_initmachine(Simulation* sim, AffineFrame frame);
// Checks the sizes of every component of the tree `cell`: each numeric radius, length, bore,
// half-width or size attribute (names in sim/simulation.cpp, compared without case) must be a
// finite number of zero or more. Reports each one that is not ("[WARNING] Cell 'NAME': ATTR =
// VALUE is not a size (a finite number of zero or more); the lattice cannot be run"). Signed
// attributes that a NaN would silently switch off (aperture corners, centre, plane and energy
// window, absorption length, coil field and times, placement shifts and rotations) must be
// finite, the energy window and times at least not NaN ("[WARNING] Cell 'NAME': ATTR = VALUE
// is not a finite number; the lattice cannot be run"). Returns how many were reported.
// Simulation_initmachine refuses a machine with any.
int Simulation_checksizes(const Cell* cell);
// Places `cell` from entrance frame `frame` at path length *s and returns its exit frame;
// *s grows by the cell's length. Components get their material ("ScatterData") and run their
// class's constructor; an unknown type reports "[WARNING] Unknown cell type: <type>".
AffineFrame Simulation_initmachine_inner(AffineFrame frame, Cell* cell, double* s,
                                         Simulation* sim);

// Bounding boxes (global): a composite's is the union of its children's; a component's is what
// its class's buildboundingbox writes (empty without one), widened on every side by
// refreshsteps × dt × c. Non-machine cells get an empty box.
void init_boundingbox(Cell* cell, const Simulation* sim);
// Trims the boxes of the machine's "solenoid" children against each other and extends each
// to the cube of half-width 1.5·sqrt(radius² + (length/2)²) around its centre.
void Simulation_clipsolenoidsbounds(Simulation* sim);

// ---- adding particles ----

// Appends a particle (Particle_new(species) when p is none, else a copy of *p with its own copy
// of p's nearby list) to the beam and prepares it: id, seed = drnda(sim->seed, id), seq 0, beam
// line = the machine, segment (when the machine is a composite with children), decay copies.
// Returns it; the pointer stays valid until the beam next grows.
Particle* addparticlecon(Simulation* sim, ParticleSpecies species, uint32_t id,
                         const Particle* p, int32_t segment);
// The same with a new particle at segment 0, then its nearby list.
Particle* addparticle(Simulation* sim, ParticleSpecies species, uint32_t id);
// Adds the particles [0, M) of `beam` whose index is a multiple of the divisor and whose
// species is allowed, numbered 1, 2, … in this call, with position and V mapped from `frame`
// to global coordinates. The source beam keeps its own nearby lists.
void addbeamtosimulation(const Beam* beam, Simulation* sim, AffineFrame frame);

// Removes (and frees) every non-machine child of a composite machine; the segment of every
// particle beyond a removed index goes down by one.
void Simulation_removenonmachinecells(Simulation* sim);
// Zeroes the loss counters of the machine's children.
void Simulation_resetlosscounters(Simulation* sim);

// One time step (the run cycle passes decays 1, collision mode 1, multithread 1). See
// sim/stepping.h.
void Simulation_advance(Simulation* sim, int decays, int mode, int multithread);

// The figure of merit of the finished run (sorts the live section of the beam).
double Simulation_score(Simulation* sim);

// Frees the machine and everything it owns, the beam, the FOM text, the bore table and the
// stepping context (its workers end); leaves an empty record (lattice none).
void Simulation_free(Simulation* sim);
