// The solenoid: a finite current sheet whose field guides the beam and whose coil (the shell
// between the sheet radius and the outer radius) stops every particle that touches it. Owns
// the Solenoid record that consolenoid builds inside a "solenoid" cell's run-time data; the
// record owns no memory. solfield is on the hottest path of the program (every pusher stage,
// for every nearby solenoid, from every tracking thread); CDsolenoid runs once per particle per
// step for every nearby solenoid; the rest runs once per machine.
#pragma once

#include <cstdint>

#include "lattice/cell.h"
#include "sim/beam.h"

struct Solenoid {
  double startx, starty, startz;  // m, global centre of the upstream end of the current sheet
  double axisx, axisy, axisz;     // m, vector from the upstream to the downstream end
  double radius;                  // m, radius of the sheet = inner radius of the coil
  double length;                  // m, coil length (|axis|)
  double field;                   // T, nominal field B0 of the sheet
  double outerradius;             // m, outer radius of the coil
  double ux, uy, uz;              // unit axis
  double offtime;                 // s, 1e20 unless the lattice switches the coil off
  double ontime;                  // s, -1e20 unless the lattice switches the coil on
};
static_assert(sizeof(Solenoid) == 120, "the solenoid record is fifteen doubles");
constexpr uint32_t SOLENOID_DATASIZE = sizeof(Solenoid);

// Whether the coil exists at time t: with T_on < T_off only for T_on < t <= T_off; otherwise
// for t <= T_off and for t > T_on. With the default times it always exists.
inline bool Solenoid_exists(const Solenoid* s, double t) {
  if (s->ontime < s->offtime) return s->ontime < t && t <= s->offtime;
  return t <= s->offtime || t > s->ontime;
}

// Builds the record in cell->rtd from the attributes "length", "field", "radius",
// "outerradius" (5 × radius when absent), "OffTime", "OnTime" (a missing or text attribute
// reads 0) and the cell's axis frame: the sheet starts at the frame origin and runs `length`
// along the frame's third axis. A coil without field (field 0, or a radius that is not
// positive) gets no field operation but still stops particles. A zero length keeps the
// frame's third axis as the unit axis, making a thin annular plate. No messages.
void consolenoid(Cell* cell, Simulation* sim);

// The field of the sheet at global (x, y, z) and time t: E = 0; B from the on-axis field of
// a finite current sheet, B0/2·(cos θ1 + cos θ2), with its second-order off-axis terms, exactly
// zero where the coil does not exist at t or more than 1.2 radii from the axis. Reads only the
// record; safe from any thread; no allocation; two square roots and two divisions (one more of
// each for points within a relative 1e-10 of the 1.2-radius boundary).
EB solfield(const void* data, double x, double y, double z, double t);

// 1 when (x, y, z) lies in the coil material at time t (0 <= s <= length along the axis and
// radius <= distance from the axis <= outer radius, both ends included), else 0.
int insolenoid(const void* data, double x, double y, double z, double t);

// Whether the step from *start at t0 to *end at t1 struck the coil: the upstream and
// downstream end planes (within the annulus) and the inner and outer cylinders (between the
// ends) are searched with the crossing search, using `material` for the re-pushes; the earliest
// crossing on a finite surface wins. Returns 1 with *out = the particle just beyond that
// surface, Stopped, and *tout = its time; otherwise 0 with *out = *end and *tout = t1 (also
// when the coil does not exist at t0). Reads only the record.
int CDsolenoid(const void* data, const Particle* start, const Particle* end, double t0, double t1,
               unsigned thread, const ScatterData* material, const Simulation* sim, Particle* out,
               double* tout);

// Extends the cell's bounding box by the outer-radius circles (63 points at angles 0, 0.1, …
// in single precision, about the axis frame's first two axes) placed 13 radii before the
// upstream end and 13 radii beyond the downstream end, so the box holds the fringe field.
void BBsolenoid(void* data, Cell* cell);
