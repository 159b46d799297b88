// RF cavities: thin accelerating gaps. A particle crossing the plane through the cavity's centre
// gets the energy kick of the gap field at its arrival time and the net transverse impulse of
// the gap's near-axis fields (electric end fields and magnetic field together). Lattice phases
// are relative to the synchronous (reference) particle, so after the machine is built that
// particle is tracked once through a private copy of the simulation and each cavity's phase is
// shifted by its arrival time (syncrfphases_track), or, when tracking cannot reach every
// cavity, by the arc-length estimate (syncrfphases_arclength). Owns the RFCavity record in
// every RF cell's run-time data (no heap parts). CDrfcavity runs once per particle per step for
// each nearby cavity; the synchronisation once per machine.
#pragma once

#include <cstdint>

#include "lattice/cell.h"

struct CollisionEvent;

struct RFCavity {
  double cx, cy, cz;  // m, centre of the gap (the cell's axis-frame origin)
  double ax, ay, az;  // unit axis (the axis frame's third axis)
  double voltage;     // V, energy gain of a unit charge on crest
  double omega;       // rad/s, 2π × frequency
  double phase;       // rad, the phase at t = 0 (after synchronisation)
  double radius;      // m, "Bore" + "Radius", 0.3 when that sum is 0 (bounding box only)
};
static_assert(sizeof(RFCavity) == 80, "the cavity record is ten doubles");
constexpr uint32_t RFCAVITY_DATASIZE = sizeof(RFCavity);

// Builds the record in cell->rtd from the cell's axis frame and the attributes "Voltage",
// "Frequency" (Hz), "Phase" (rad), "Bore" and "Radius" (missing or text attributes read 0).
// No messages.
void conrfcavity(Cell* cell, Simulation* sim);

// The thin-gap kick of a particle crossing the gap plane at time t (position P, proper velocity
// V = γv, axial speed vz = V·axis/γ, K = voltage·q/(m·vz), φ = omega·t + phase):
//   V += K·cos φ · axis − K·omega·sin φ·(1 − vz²/c²)/(2·vz) · r⊥,
// r⊥ the offset of P from the axis line. The transverse term is the net impulse of the
// near-axis gap fields E_r = −(r/2)∂E_z/∂z and B_θ = (r/2c²)∂E_z/∂t over a short gap (the
// electric end fields cancel all but 1/γz² of the magnetic impulse and reverse its sign).
// Returns 1 with *out updated and Active, or 0 (out untouched) when the result is not finite
// or the kick would stop or reverse the axial motion (the caller then stops the particle).
int RFCavity_kick(const RFCavity* rf, double phase, double t, Particle* p);

// Whether the step from *start at t0 to *end at t1 crossed the gap plane. No crossing: 0 with
// *out = *end, *tout = t1. A crossing: 1 with *out = the particle just beyond the plane after the
// kick (RFCavity_kick) and *tout the crossing time; when the kick is not finite or would reverse
// the axial motion the particle keeps its velocity and is Stopped there. Reads only the record;
// safe from every tracking thread at once.
int CDrfcavity(const void* data, const Particle* start, const Particle* end, double t0,
               double t1, unsigned thread, const ScatterData* material, const Simulation* sim,
               Particle* out, double* tout);
// The same during syncrfphases_track: a cavity downstream of the synchronous particle's cell
// that has not been synchronised yet kicks with the phase it will get from this crossing
// (lattice phase − omega·t), so the synchronous particle meets it at the lattice phase.
// Detection only: the phase and the count change in RFCavity_commit.
int CDrfcavity_sync(const void* data, const Particle* start, const Particle* end, double t0,
                    double t1, unsigned thread, const ScatterData* material,
                    const Simulation* sim, Particle* out, double* tout);
// Applies a synchronising crossing that won its step: phase = lattice phase − omega·(crossing
// time), the cavity counted once, and with the log on the line "%s hit t=… in step [… ,…]
// t-t0=… (x,y,z)" in "rfsync.log". Nothing for ordinary tracking, for events that lost, or for
// a cavity already synchronised.
void RFCavity_commit(void* data, const Cell* cell, const CollisionEvent* ev);

// Synchronises the phases of the machine's RF cavities by tracking the synchronous particle
// (the first top-level "Synchronous-particle" cell) from its cell and its "t_start" through a
// private copy of `sim` (the real beam is untouched) in the RF synchronisation mode. Only the
// cavities downstream of that cell are waited for. Tracking ends when all of them are
// synchronised, or falls back to syncrfphases_arclength when the particle is lost ("…lost the
// central particle…"), passes the end of the machine, reaches t_max or a step limit made from
// the machine's length ("…did not reach <names>…"). With sim->rfsynclog the run is appended to
// "rfsync.log". Returns 1 when the phases are set; 0 when the machine has no synchronous
// particle ("Could not find synchronous particle!…", without a fatal marker: only this
// lattice fails) or its direction cannot be found, or the machine is not composite.
int syncrfphases_track(Simulation* sim);

// Arc-length synchronisation: walks the top-level cells from the synchronous particle's cell
// on, with the time t (from "t_start", moved back by Z/v for a "Z" offset) and kinetic energy
// E; each cell with a numeric "Phase" gets Phase − 2π·Frequency·t at its gap and adds
// cos(Phase)·Voltage·q to E, each cell of positive length adds length/v. Cells before the
// synchronous particle's are left alone. Rewriting stops (with "syncrfphases_arclength: the
// synchronous particle stops at %s; later phases are left as they are") when E would not stay
// positive. The cavity records are then rebuilt from their rewritten "Phase". With `log`, the
// walk is appended to "rfsync.log". Returns 1 when every cell was walked, 0 otherwise (also
// when there is no synchronous particle, reported as by syncrfphases_track).
int syncrfphases_arclength(Cell* machine, bool log);

// Extends the cell's bounding box by 16 points of the circle of the record's radius about the
// centre in the gap plane.
void BBrfcavity(void* data, Cell* cell);
