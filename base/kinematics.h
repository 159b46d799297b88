// Relativistic conversions between speed, proper velocity, momentum and kinetic energy, all SI:
// "V" is the proper velocity gamma×v (m/s) that particle records store; E0 a rest energy m c²
// (J); ke a kinetic energy (J); p a momentum (kg m/s). Also sinxoverx. Pure inline functions,
// called per particle per step by the pusher, the beam set-up and the scoring. The constants are
// fixed double values (1/c and 1/c² are multiplied, never recomputed) so results do not depend on
// how a compiler folds the divisions.
#pragma once

#include <cmath>

constexpr double c_light = 299792458.0;                 // m/s
constexpr double inv_c = 3.3356409519815204e-9;         // 1/c, s/m
constexpr double c_sq = 89875517873681760.0;            // c², m²/s²
constexpr double inv_c_sq = 1.1126500560536185e-17;     // 1/c², s²/m²

// sin(x)/x, and exactly 1 for -1e-9 < x < 1e-9.
inline double sinxoverx(double x) {
  if (x > -1e-9 && x < 1e-9) return 1.0;
  return std::sin(x) / x;
}

inline double beta_from_gamma(double g) { return std::sqrt(1.0 - 1.0 / (g * g)); }
inline double p_from_ke(double ke, double E0) { return std::sqrt((2.0 * E0 + ke) * ke) * inv_c; }
inline double gammav_from_gamma(double g) { return std::sqrt(g * g - 1.0) * c_light; }
inline double V_from_ke(double ke, double E0) {
  double r = ke / E0;
  return std::sqrt(r * (2.0 + r)) * c_light;
}
inline double v_from_gammav(double V) { return 1.0 / std::sqrt(1.0 / (V * V) + inv_c_sq); }
inline double v_from_ke(double ke, double E0) {
  double g = ke / E0 + 1.0;
  return std::sqrt(1.0 - 1.0 / (g * g)) * c_light;
}
inline double v_from_p(double p, double E0) {
  double r = p * c_light / E0;
  return c_light * std::sqrt(1.0 - 1.0 / (r * r + 1.0));
}
inline double ke_from_p(double p, double E0) {
  double pc = p * c_light;
  return std::sqrt(E0 * E0 + pc * pc) - E0;
}
inline double gamma_from_Vxyz(double Vx, double Vy, double Vz) {
  return std::sqrt(Vx * Vx + Vy * Vy + Vz * Vz + c_sq) * inv_c;
}
inline double invgamma_from_Vxyz(double Vx, double Vy, double Vz) {
  return c_light / std::sqrt(Vx * Vx + Vy * Vy + Vz * Vz + c_sq);
}
// m: mass in kg.
inline double p_from_Vxyz(double Vx, double Vy, double Vz, double m) {
  return std::sqrt(Vx * Vx + Vy * Vy + Vz * Vz) * m;
}
inline double ke_from_Vxyz(double Vx, double Vy, double Vz, double E0) {
  return (std::sqrt((Vx * Vx + Vy * Vy + Vz * Vz) * inv_c_sq + 1.0) - 1.0) * E0;
}
// The speed |v| (m/s).
inline double v_from_Vxyz(double Vx, double Vy, double Vz) {
  return 1.0 / std::sqrt(1.0 / (Vx * Vx + Vy * Vy + Vz * Vz) + inv_c_sq);
}
inline double gamma_from_vxyz(double vx, double vy, double vz) {
  return 1.0 / std::sqrt(1.0 - (vx * vx + vy * vy + vz * vz) * inv_c_sq);
}
inline double invgamma_from_vxyz(double vx, double vy, double vz) {
  return std::sqrt(1.0 - (vx * vx + vy * vy + vz * vz) * inv_c_sq);
}
