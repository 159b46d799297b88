// EB, the field sample: the electric and magnetic field at one point and time, as components
// return it to the pusher and the pusher sums it over the nearby components. A plain pair of
// vectors passed by value; owns nothing.
#pragma once

#include "base/vec.h"

struct EB {
  V3 E;  // V/m
  V3 B;  // T
};
inline EB EB_zero() { return EB{{0, 0, 0}, {0, 0, 0}}; }
inline EB operator+(EB a, EB b) { return EB{a.E + b.E, a.B + b.B}; }
inline EB& operator+=(EB& a, EB b) {
  a.E += b.E;
  a.B += b.B;
  return a;
}
inline EB operator*(double s, EB a) { return EB{s * a.E, s * a.B}; }
inline EB operator*(EB a, double s) { return EB{a.E * s, a.B * s}; }
inline EB& operator*=(EB& a, double s) {
  a.E *= s;
  a.B *= s;
  return a;
}
