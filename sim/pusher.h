// The particle pusher: the field at a particle (the sum of its nearby components' fields) and
// one fourth-order Runge-Kutta step of (r, V) through that field, reached through the one
// pusher slot that the time stepping, the crossing search and the material transport share.
// Owns nothing. The innermost loop of the program: four field sums per particle per step, from
// any thread; it allocates nothing and writes only the particle it is given.
#pragma once

#include <cstdint>

#include "base/vec.h"
#include "sim/beam.h"
#include "sim/particle.h"

// A change of state: position (m) then proper velocity (m/s).
struct V6 {
  V3 dr;
  V3 dV;
};

// The particle with position and V increased by the six components.
inline Particle operator+(Particle p, V6 d) {
  p.x += d.dr.x;
  p.y += d.dr.y;
  p.z += d.dr.z;
  p.Vx += d.dV.x;
  p.Vy += d.dV.y;
  p.Vz += d.dV.z;
  return p;
}
// The same with half of each component.
inline Particle Particle_addhalf(Particle p, V6 d) {
  p.x += d.dr.x * 0.5;
  p.y += d.dr.y * 0.5;
  p.z += d.dr.z * 0.5;
  p.Vx += d.dV.x * 0.5;
  p.Vy += d.dV.y * 0.5;
  p.Vz += d.dV.z * 0.5;
  return p;
}
// The particle with its position moved to the midpoint of its position and `point`.
inline Particle Particle_halfwayto(Particle p, V3 point) {
  p.x = (p.x + point.x) * 0.5;
  p.y = (p.y + point.y) * 0.5;
  p.z = (p.z + point.z) * 0.5;
  return p;
}

// The field (V/m, T) at global point (x, y, z) and time t: the sum of the field operations of
// the n components in `nearby`, taken from the last entry to the first (components without a
// field operation add nothing). n = 0 gives the zero field.
EB fieldsum(Cell* const* nearby, uint32_t n, double x, double y, double z, double t);
// The same at the particle's position and the particle's nearby list.
EB fieldatparticle(const Particle* p, double t);

// Advances *p from time t to t + dt (s) in place: classical RK4 on r and V with
// dr/dt = V/gamma and dV/dt = (q/m)(E + (V/gamma) × B), all four stages summing the fields of
// the same nearby list; proper time grows by dt/gamma of the start state. Nothing else of the
// particle changes. A species without charge moves in a straight line.
void advanceparticle_merged2a(Particle* p, double t, double dt);

// The one pusher slot: holds advanceparticle_merged2a; the program never reassigns it (tests
// may, to watch the calls). Every caller that moves a particle through fields uses it.
using PusherFn = void (*)(Particle* p, double t, double dt);
extern PusherFn advanceparticle;


// Lanes: particles that share a nearby list are pushed W at a time (W = 1, 2, 4 or 8, the
// widest this processor runs unless set otherwise), each exactly as advanceparticle_merged2a
// pushes it alone. The widest width the processor runs, the width in use, and a new width in
// use (rounded down to 1, 2, 4 or 8 and to what the processor runs; returned). Set it only
// between steps.
int pusher_maxwidth();
int pusher_width();
int pusher_setwidth(int w);
// Whether particles with this nearby list can share lanes: every field among the components
// is a solenoid field (other fields are pushed one particle at a time).
bool pusher_batchable(Cell* const* nearby, uint32_t n);
// Advances ps[0 … count-1] (1 <= count <= pusher_width(), all with the same nearby list, which
// pusher_batchable accepts) from t to t + dt, as advanceparticle_merged2a would one by one.
// With `coils` (count entries), coils[i] is set to 1 when the step of ps[i] (its state before
// and after) may cross a surface of a coil in the list, as the coil's collision check
// (CDsolenoid) would first test it, and to 0 when that check is sure to find nothing.
void advanceparticles(Particle* const* ps, int count, double t, double dt,
                      uint8_t* coils = nullptr);

// A child of the machine as the lanes' bore test reads it: its entrance frame (origin, then the
// matrix column by column), length, bore (0 for none) and bend angle.
struct SegmentFrame {
  double ox, oy, oz;
  double m00, m10, m20, m01, m11, m21, m02, m12, m22;
  double length, bore, angle;
  double unused;
};
static_assert(sizeof(SegmentFrame) == 128, "a segment frame should fill two cache lines");
// The frame of machine child c with bore radius `bore`.
SegmentFrame SegmentFrame_of(const Cell* c, double bore);

// The collision step's segment search and bore test for ps[0 … count-1] (1 <= count <=
// pusher_width()) in lanes, decided where the search ends in the particle's own segment:
// verdict[i] = 0 when particle i lies inside the bore of segment seg[i] (or that segment has
// none), 1 when it lies outside, with exactly the values of the one-particle search (Cell_sr);
// 2 when the lanes leave it to that search (the particle lies before or beyond its segment, the
// segment is bent, or its beam line is not `machine`). `machine` is a composite with children,
// frames[k] describes its child k.
void boreparticles(const Particle* const* ps, int count, const Cell* machine,
                   const SegmentFrame* frames, int32_t* seg, uint8_t* verdict);
