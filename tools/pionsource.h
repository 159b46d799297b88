// The physics of tools/mksource, shared with its check (tests/tools/mksource_test.cpp): the
// Sanford–Wang production spectrum of charged pions, a sampler of (p, θ) from it over a chosen
// window, and the rod geometry that takes a pion from its production point to the surface of
// the tantalum rod. Header only; no state beyond what a caller holds.
//
// Production spectrum (Sanford and Wang, BNL AGS internal reports 11299 and 11479, 1967; the
// form with the extra constant c9 of A. A. Aguilar-Arevalo et al. (MiniBooNE), "The neutrino
// flux prediction at MiniBooNE", Phys. Rev. D 79, 072002 (2009), arXiv:0806.1449):
//
//   d²σ/dp dΩ = c1 p^c2 (1 − p/(pB − c9)) exp[−c3 p^c4 / pB^c5 − c6 θ (p − c7 pB cos^c8 θ)]
//
// p, pB in GeV/c, θ in rad, σ in mb. The coefficients below are that paper's fits to the
// HARP p + Be data at 8.9 GeV/c (M. G. Catanesi et al., Eur. Phys. J. C 52, 29 (2007)) and the
// E910 p + Be data at 6.4 and 12.3 GeV/c. Range of validity of the fit: beryllium target,
// pB ≈ 6–12 GeV/c, pion momenta 0.75–6.5 GeV/c and angles 30–210 mrad. The rod here is tantalum
// and the window below reaches lower momenta and larger angles, where the formula is an
// extrapolation of the shape only; the absolute scale does not matter, since every beam is
// normalised to unit weight before tracking. The formula has no meaning beyond θ = π/2 (cos^c8
// of a negative number), so the window stays in the forward hemisphere.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

namespace pionsource {

struct SWCoeffs {
  double c1, c2, c3, c4, c5, c6, c7, c8, c9;
};

// Phys. Rev. D 79, 072002 (2009), Sanford–Wang fits for p + Be → π± X.
constexpr SWCoeffs SW_PIPLUS{220.7, 1.080, 1.000, 1.978, 1.32, 5.572, 0.0868, 9.686, 1.0};
constexpr SWCoeffs SW_PIMINUS{213.7, 0.9379, 5.454, 1.210, 1.284, 4.781, 0.07338, 8.329, 1.0};

// d²σ/dp dΩ in mb/(GeV/c sr); 0 outside 0 < p < pB − c9 and 0 ≤ θ ≤ π/2.
inline double sanfordwang(const SWCoeffs& c, double p, double theta, double pbeam) {
  if (!(p > 0) || !(p < pbeam - c.c9) || !(theta >= 0) || !(theta <= M_PI / 2)) return 0;
  const double ct = std::cos(theta);
  const double e = -c.c3 * std::pow(p, c.c4) / std::pow(pbeam, c.c5) -
                   c.c6 * theta * (p - c.c7 * pbeam * std::pow(ct, c.c8));
  return c.c1 * std::pow(p, c.c2) * (1 - p / (pbeam - c.c9)) * std::exp(e);
}

// The density in (p, θ) per unit p and θ (azimuth integrated): 2π sin θ d²σ/dp dΩ.
inline double density(const SWCoeffs& c, double p, double theta, double pbeam) {
  return 2 * M_PI * std::sin(theta) * sanfordwang(c, p, theta, pbeam);
}

// The window the pions are drawn from.
struct Window {
  double pmin, pmax;    // GeV/c
  double thmin, thmax;  // rad
};

// Draws (p, θ) from `density` over the window by rejection under a piecewise-constant
// envelope: the window is cut into NP × NT cells, each bounded by 1.3 × the largest value at
// 7 × 7 points of the cell. A draw above its cell's bound throws (the envelope would be
// wrong), so a sample is either exact or not made at all.
class Sampler {
 public:
  Sampler(const SWCoeffs& c, double pbeam, Window w) : c_(c), pbeam_(pbeam), w_(w) {
    dp_ = (w.pmax - w.pmin) / NP;
    dt_ = (w.thmax - w.thmin) / NT;
    bound_.resize(NP * NT);
    cumulative_.resize(NP * NT);
    double sum = 0;
    for (int i = 0; i < NP; i++)
      for (int j = 0; j < NT; j++) {
        double m = 0;
        for (int a = 0; a <= 6; a++)
          for (int b = 0; b <= 6; b++)
            m = std::max(m, density(c, w.pmin + (i + a / 6.0) * dp_,
                                    w.thmin + (j + b / 6.0) * dt_, pbeam));
        bound_[i * NT + j] = 1.3 * m;
        sum += 1.3 * m * dp_ * dt_;
        cumulative_[i * NT + j] = sum;
      }
    integral_bound_ = sum;
  }

  // One (p, θ) from uniforms in [0, 1) supplied by `uniform`.
  void draw(const std::function<double()>& uniform, double* p, double* theta) const {
    for (int tries = 0; tries < 1000000; tries++) {
      const double r = uniform() * integral_bound_;
      const size_t k = (size_t)(std::upper_bound(cumulative_.begin(), cumulative_.end(), r) -
                                cumulative_.begin());
      const size_t cell = std::min(k, cumulative_.size() - 1);
      const int i = (int)(cell / NT), j = (int)(cell % NT);
      const double pp = w_.pmin + (i + uniform()) * dp_;
      const double tt = w_.thmin + (j + uniform()) * dt_;
      const double f = density(c_, pp, tt, pbeam_);
      if (f > bound_[cell]) throw std::runtime_error("envelope below the density");
      if (uniform() * bound_[cell] < f) {
        *p = pp;
        *theta = tt;
        return;
      }
    }
    throw std::runtime_error("no draw accepted");
  }

 private:
  static constexpr int NP = 120, NT = 120;
  SWCoeffs c_;
  double pbeam_;
  Window w_;
  double dp_, dt_, integral_bound_ = 0;
  std::vector<double> bound_, cumulative_;
};

// The integral of `density` over the window (midpoint rule, n × n points).
inline double integral(const SWCoeffs& c, double pbeam, Window w, int n = 400) {
  const double dp = (w.pmax - w.pmin) / n, dt = (w.thmax - w.thmin) / n;
  double s = 0;
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++)
      s += density(c, w.pmin + (i + 0.5) * dp, w.thmin + (j + 0.5) * dt, pbeam);
  return s * dp * dt;
}

// ---- the rod ----

constexpr double ROD_RADIUS = 0.01;  // m
constexpr double ROD_LENGTH = 0.2;   // m
// Nuclear interaction length of tantalum: 191.0 g/cm² at 16.654 g/cm³ (Particle Data Group,
// "Atomic and nuclear properties of materials", tantalum), i.e. 11.47 cm.
constexpr double TA_LAMBDA_I = 0.1147;  // m
constexpr double C_LIGHT = 299792458.0;  // m/s
constexpr double M_PROTON = 0.93827208816;  // GeV/c²
constexpr double M_PION = 0.13957039;       // GeV/c²

// A pion as it leaves the rod, in the rod's frame (z along the rod from its upstream end, the
// protons travelling along +z on the axis; t = 0 when they enter the rod).
struct RodPion {
  double p, theta, phi;   // GeV/c, rad, rad: momentum and direction at production
  double z0;              // m, depth of the proton interaction
  double x, y, z;         // m, the point where the pion leaves the rod (on its surface)
  double dx, dy, dz;      // direction cosines
  double t;               // s, time at that point
  double ke;              // MeV, kinetic energy
};

// Takes a pion made at depth z0 by a proton of momentum pbeam (GeV/c) straight to the rod's
// surface: the side r = R, or the downstream face z = L when it gets there first. The point is
// put exactly on the surface it leaves through.
inline RodPion leaverod(double pbeam, double z0, double p, double theta, double phi) {
  RodPion r{p, theta, phi, z0, 0, 0, 0, 0, 0, 0, 0, 0};
  const double st = std::sin(theta), ct = std::cos(theta);
  r.dx = st * std::cos(phi);
  r.dy = st * std::sin(phi);
  r.dz = ct;
  const double sside = st > 0 ? ROD_RADIUS / st : INFINITY;
  const double send = ct > 0 ? (ROD_LENGTH - z0) / ct : INFINITY;
  double s;
  if (sside <= send) {
    s = sside;
    r.x = ROD_RADIUS * std::cos(phi);
    r.y = ROD_RADIUS * std::sin(phi);
    r.z = z0 + s * ct;
  } else {
    s = send;
    r.x = s * r.dx;
    r.y = s * r.dy;
    r.z = ROD_LENGTH;
  }
  const double ep = std::sqrt(pbeam * pbeam + M_PROTON * M_PROTON);
  const double e = std::sqrt(p * p + M_PION * M_PION);
  r.t = z0 / (pbeam / ep * C_LIGHT) + s / (p / e * C_LIGHT);
  r.ke = (e - M_PION) * 1000;
  return r;
}

// An interaction depth in [0, L) from a uniform u in [0, 1): exponential with the interaction
// length, cut at the rod's end (protons that get through do not count).
inline double depth(double u) {
  return -TA_LAMBDA_I * std::log(1 - u * (1 - std::exp(-ROD_LENGTH / TA_LAMBDA_I)));
}

}  // namespace pionsource
