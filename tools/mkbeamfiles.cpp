// mkbeamfiles: writes the small example beam files bundled in datafiles/ (an ICOOL-format file
// and an aperture-CSV file, both a muon beam of 200 particles around 200 MeV/c drawn from a
// fixed-seed generator). Usage: mkbeamfiles DIRECTORY. The files are Ordax's own examples for
// the "ICOOL-beam" and "ApertureCSV-beam" cells; rerunning the tool rewrites them identically.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr double C = 299792458.0;
constexpr double MMU = 105.6583755;  // MeV/c², muon rest energy
constexpr int N = 200;

// A small fixed linear congruential generator, so the files do not depend on any library.
struct Lcg {
  uint64_t s = 20261207;
  double uniform() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return (double)(s >> 11) * (1.0 / 9007199254740992.0);
  }
  double gauss() {
    double u = uniform(), v = uniform();
    return std::sqrt(-2 * std::log(u + 1e-300)) * std::cos(2 * M_PI * v);
  }
};

struct Row {
  double t, x, y, z, px, py, pz;  // s, m, GeV/c
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: mkbeamfiles DIRECTORY\n");
    return 1;
  }
  std::string dir = argv[1];
  if (!dir.empty() && dir.back() != '/') dir += '/';
  Lcg g;
  Row rows[N];
  for (Row& r : rows) {
    r.x = 0.01 * g.gauss();
    r.y = 0.01 * g.gauss();
    r.z = 0;
    r.t = 1e-10 * g.gauss();
    r.pz = 0.2 + 0.02 * g.gauss();  // GeV/c
    r.px = 0.01 * g.gauss();
    r.py = 0.01 * g.gauss();
  }
  std::string icool = dir + "example_icool.dat";
  FILE* f = fopen(icool.c_str(), "w");
  if (!f) {
    fprintf(stderr, "cannot write %s\n", icool.c_str());
    return 1;
  }
  // ICOOL form: a title line, a units line, then event, particle, type (2 = mu+), flag, time,
  // weight, x, y, z, px, py, pz (GeV/c), and three polarisation columns.
  fprintf(f, "Example mu+ beam, 200 MeV/c (made by mkbeamfiles)\n");
  fprintf(f, "0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0. 0.\n");
  for (int i = 0; i < N; i++) {
    const Row& r = rows[i];
    fprintf(f, "%d 0 2 0 %.9e %.6e %.9e %.9e %.9e %.9e %.9e %.9e 0 0 0\n", i + 1, r.t, 1.0, r.x,
            r.y, r.z, r.px, r.py, r.pz);
  }
  fclose(f);

  std::string csv = dir + "example_aperture.csv";
  f = fopen(csv.c_str(), "w");
  if (!f) {
    fprintf(stderr, "cannot write %s\n", csv.c_str());
    return 1;
  }
  // Aperture CSV: x, y, t, vx, vy, vz (plain velocities, m/s), species name, weight.
  for (int i = 0; i < N; i++) {
    const Row& r = rows[i];
    double p = std::sqrt(r.px * r.px + r.py * r.py + r.pz * r.pz) * 1000;  // MeV/c
    double E = std::sqrt(p * p + MMU * MMU);
    double k = C * 1000 / E;  // v = p c² / E
    fprintf(f, "%.9e,%.9e,%.9e,%.9e,%.9e,%.9e,mu+,%g\n", r.x, r.y, r.t, r.px * k, r.py * k,
            r.pz * k, 1.0);
  }
  fclose(f);
  printf("wrote %s and %s\n", icool.c_str(), csv.c_str());
  return 0;
}
