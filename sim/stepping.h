// Time stepping: one step of a whole Simulation (Simulation_advance, declared in
// sim/simulation.h) shares the live particles among the calling thread and workers of a
// persistent pool, pushes each particle through fields and matter, asks the nearby components
// for collisions, applies bore limits, losses, nearby-list refreshes and decays, then merges
// the new particles, compacts the beam and advances the clock. The worker pool, the per-thread
// lists of new particles, loss logs and scratch lists, and the load-balance shares belong to
// the stepped Simulation's StepContext, kept between its steps, so that several simulations
// can be stepped in one process. Called by the run cycle many times per second; the
// per-particle work is the whole cost of the program.
#pragma once

#include <cstdint>

#include "lattice/cell.h"
#include "sim/particle.h"

struct Beam;
struct Simulation;
struct StepContext;
struct ScatterData;

// Collision modes of a step.
enum StepMode : int {
  StepPushOnly = 0,  // the pusher alone: no bore, material or collision detection
  StepCollide = 1,   // the full collision step (collideparticle)
  StepRFSync = 2,    // RF synchronisation: only the synchronising collision detection of the
                     // classes that have one (RF cavities), scattering suppressed
};

// One thread's part of a step: a chunk of the live section.
struct StepArgs {
  Simulation* sim;
  int32_t first, end;  // particles [first, end) of the live section
  unsigned thread;     // 0 = the calling thread
  int64_t* counter;    // particles processed, this thread's own
  int decays;          // decay flag
  int mode;            // StepMode
  int refresh;         // recompute nearby lists
};

// Live particles below which a step runs on the calling thread alone: handing a step to a
// second thread and joining it costs some 5–40 µs on a two-core machine (a spinning or a
// sleeping worker) against 0.1–0.3 µs per particle step, so a few hundred particles are needed
// before a second thread pays. bench/lanes_bench.cpp (BM_HandOff) times steps of 64 to 2048
// particles on one and two threads; on the loaded two-processor development machine the two
// were within 2 % of each other at every size and two threads were ahead from 256 particles
// (bench/figures.sh prints the table). Above it the steps still measure whether the threads
// are faster than the calling thread alone (sim/threadchoice.h) unless the count is fixed.
constexpr int32_t STEP_PARALLEL_MIN = 256;

// Advances the particles of one thread's range over [t, t + dt]: a particle whose tstart is
// after the step is skipped (not counted); the others start at max(t, tstart); mode 0 pushes
// once, modes 1 and 2 call collideparticle until the end of the step or the particle's end;
// an Active particle then gets its nearby list refreshed (refresh flag; in mode 1, when the
// list comes out empty and the particle can no longer reach the machine, CellSubMap_outofreach with a margin
// of refreshsteps × dt × c, or its position or velocity is not finite, it ends Stopped where it
// is, charged to its segment's cell) and may decay (decay flag; daughters go to the thread's
// list of new particles). Returns 0. Writes only the
// particles of its range and the thread's own lists and counter.
int Simulation_advance_t(StepArgs* args);

// Advances *p over [t0, t1] or until the first event: bore check in its beam line's segment
// (outside the bore: Stopped at once, out = p, tout = t0), material from the nearby
// components' inside tests, push through scatterparticle, then the earliest collision event
// of the nearby components (rfsync: only through their class's synchronising collision
// detection), after which every component that reported an event commits it (CellClass::
// commit: the winner its own event, the others what they met before it). *out receives
// the particle after the event or at t1 (its segment updated), *tout its time; a particle
// that ends is charged to the cell where it was lost. *out must not alias *p.
void collideparticle(const Particle* p, double t0, double t1, unsigned thread,
                     const Simulation* sim, Particle* out, double* tout, int rfsync);

// Records a lost particle in `cell`'s loss counters (weight, kinetic energy in eV × weight,
// weight by sign of charge) and frees the particle's nearby list. During a step the additions
// go to the calling thread's loss log and reach the cells after the join, in particle order,
// so the totals are the same whatever the number of threads. A none cell records nothing.
void loseparticleincell(Particle* p, Cell* cell);

// What the compaction after a step needs to know of a record's state.
enum StateKind : uint8_t { KindActive = 0, KindDecayed = 1, KindEnded = 2 };
inline uint8_t statekind(int32_t state) {
  return state == Active ? KindActive : state == Decayed ? KindDecayed : KindEnded;
}
// Beam_sortdeadparticles (sim/beam.h) with the states of the live records [0, m) taken from
// kind[0 … m) instead of from the records: the same partition, the same moves and the same
// beam, touching only the records that move (the others may sit in another core's cache after
// a step). Precondition: kind[k] == statekind(particles[k].state) for k < m; the array is kept
// in step with the records it moves.
void Beam_compact(Beam* beam, uint8_t* kind);

// Ends the context's workers and frees it (none: nothing). Simulation_free calls it.
void StepContext_free(StepContext* ctx);

// Workers in the simulation's pool (for tests and benchmarks); they persist until the
// simulation is freed.
int stepping_workers(const Simulation* sim);
