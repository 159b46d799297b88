// mksource: writes the pion files of the production target (datafiles/target_piplus.csv,
// target_piminus.csv and target_mars.dat). Usage: mksource DIRECTORY [EVENTS]. Rerunning the
// tool with the same arguments rewrites the files identically (fixed seed).
//
// Events: 8 GeV (kinetic) protons run along the axis of a tantalum rod of radius 1 cm and
// length 20 cm and interact at a depth drawn from the exponential of tantalum's nuclear
// interaction length (11.47 cm; protons that pass the whole rod are not counted). Each
// interaction gives one π+ or one π−, in the ratio of the integrals of their production
// spectra over the window, with (p, θ) drawn from the Sanford–Wang spectra of
// tools/pionsource.h (the source of the formula and coefficients, and their range of validity,
// are given there) over 0.05 ≤ p ≤ 1 GeV/c and 0 ≤ θ ≤ π/2 about the proton direction, and a
// uniform azimuth. The pion goes straight to the rod's surface and is recorded exactly on it,
// moving outward, at the time it gets there (t = 0 when the protons enter the rod; protons at
// their own speed, pions at theirs). Every record has weight 1: the files are samples of the
// spectrum, and beams are normalised before tracking anyway.
//
// The events are shuffled, so the first n records of any file are a fair sample of it. The
// same events in the same order are written in two layouts:
//  - rod-source CSV, one file per species (the rod-source cell names its species): a header
//    line starting with "k", then "KE(MeV),weight,x,y,z(m),dx,dy,dz,t(s)" in the rod's frame;
//  - the MARS layout, both species in one file: a header line, then
//    "event pid KE(GeV) weight x y z(cm) dx dy dz t(s)" with the MARS particle numbers (π+ 3,
//    π− 4), positions in the same rod frame (z from the rod's upstream end).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/random.h"
#include "tools/pionsource.h"

using namespace pionsource;

namespace {

constexpr uint32_t SEED = 20140517;
constexpr double PROTON_KE = 8.0;  // GeV
constexpr Window WINDOW{0.05, 1.0, 0.0, M_PI / 2};

struct Event {
  bool positive;
  RodPion pion;
};

FILE* openout(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: mksource DIRECTORY [EVENTS]\n");
    return 1;
  }
  const int n = argc == 3 ? std::atoi(argv[2]) : 8000;
  if (n < 1) {
    std::fprintf(stderr, "EVENTS must be at least 1\n");
    return 1;
  }
  const double ep = PROTON_KE + M_PROTON;
  const double pbeam = std::sqrt(ep * ep - M_PROTON * M_PROTON);

  uint32_t index = 0;
  auto uniform = [&index]() { return durnd(SEED, index++); };

  const double iplus = integral(SW_PIPLUS, pbeam, WINDOW);
  const double iminus = integral(SW_PIMINUS, pbeam, WINDOW);
  const int nplus = (int)std::lround(n * iplus / (iplus + iminus));

  std::vector<Event> events;
  events.reserve(n);
  try {
    const Sampler plus(SW_PIPLUS, pbeam, WINDOW), minus(SW_PIMINUS, pbeam, WINDOW);
    for (int k = 0; k < n; k++) {
      const bool positive = k < nplus;
      double p, theta;
      (positive ? plus : minus).draw(uniform, &p, &theta);
      const double phi = 2 * M_PI * uniform();
      const double z0 = depth(uniform());
      events.push_back(Event{positive, leaverod(pbeam, z0, p, theta, phi)});
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sampling failed: %s\n", e.what());
    return 1;
  }
  // Fisher–Yates: the species were drawn in two blocks.
  for (int k = n - 1; k > 0; k--) std::swap(events[k], events[drnd((uint32_t)k + 1, SEED, index++)]);

  const std::string dir = argv[1];
  FILE* fplus = openout(dir + "/target_piplus.csv");
  FILE* fminus = openout(dir + "/target_piminus.csv");
  FILE* fmars = openout(dir + "/target_mars.dat");
  if (!fplus || !fminus || !fmars) return 1;
  for (FILE* f : {fplus, fminus}) std::fprintf(f, "ke(MeV),weight,x(m),y(m),z(m),dx,dy,dz,t(s)\n");
  std::fprintf(fmars, "# event pid ke(GeV) weight x(cm) y(cm) z(cm) dx dy dz t(s)  "
                      "(written by tools/mksource)\n");
  int k = 0;
  for (const Event& e : events) {
    const RodPion& r = e.pion;
    std::fprintf(e.positive ? fplus : fminus, "%.10g,1,%.10g,%.10g,%.10g,%.10g,%.10g,%.10g,%.10g\n",
                 r.ke, r.x, r.y, r.z, r.dx, r.dy, r.dz, r.t);
    std::fprintf(fmars, "%d %d %.10g 1 %.10g %.10g %.10g %.10g %.10g %.10g %.10g\n", ++k,
                 e.positive ? 3 : 4, r.ke / 1000, r.x * 100, r.y * 100, r.z * 100, r.dx, r.dy,
                 r.dz, r.t);
  }
  for (FILE* f : {fplus, fminus, fmars})
    if (std::fclose(f) != 0) {
      std::fprintf(stderr, "write failed\n");
      return 1;
    }

  double meanp[2] = {0, 0};
  for (const Event& e : events) meanp[e.positive ? 0 : 1] += e.pion.p;
  std::printf("proton momentum %.5f GeV/c; window integrals pi+ %.6g, pi- %.6g mb\n", pbeam,
              iplus, iminus);
  std::printf("%d pi+ (mean p %.4f GeV/c), %d pi- (mean p %.4f GeV/c)\n", nplus,
              meanp[0] / nplus, n - nplus, meanp[1] / (n - nplus));
  return 0;
}
