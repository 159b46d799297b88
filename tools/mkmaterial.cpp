// mkmaterial: writes the material tables that the material transport reads, computed from
// published formulas for a muon, for liquid hydrogen, lithium hydride, beryllium and aluminium.
//
//   mkmaterial [OUTDIR [KEY ...]]     (OUTDIR defaults to "datafiles/", KEY to all materials)
//
// For material KEY it writes OUTDIR/mat_KEY_0.dat (the index file: one text line per momentum
// layer, "p\tmeanloss\tlossvar\ttransvar\n") and OUTDIR/mat_KEY_k.dat for k = 1 … 61 (binary
// layer files of 16-byte little-endian records: rate per m as float, momentum taken along the
// direction of flight as float (MeV/c), momentum given across it as float (MeV/c), kind byte,
// three zero bytes). A lattice names the material with ScatterData = "mat_KEY_%d.dat".
//
// Layers: p_k = 20 MeV/c × 10^(k/20), k = 0 … 60 (20 MeV/c to 20 GeV/c, 20 per decade).
//
// Physics (all per metre of material; energies in MeV, lengths in cm inside the formulas):
//  - Mean energy loss: the Bethe formula with the PDG constants (Review of Particle Physics,
//    "Passage of particles through matter"):
//      −dE/dx = K z² (Z/A) ρ (1/β²) [½ ln(2 mₑc² β²γ² W / I²) − β² − δ(βγ)/2]
//    with K = 0.307075 MeV cm²/mol, mₑc² = 0.51099895 MeV, muon mass 105.6583755 MeV/c²,
//    z = 1, and the largest energy given to one electron
//      W = 2 mₑc² β²γ² / (1 + 2γ mₑ/M + (mₑ/M)²).
//    The density effect uses Sternheimer's parameterisation with x = log10(βγ):
//      δ = 2 ln10 · x − C̄ + a (x₁ − x)^k   for x₀ ≤ x < x₁,
//      δ = 2 ln10 · x − C̄                   for x ≥ x₁,
//      δ = δ₀ 10^(2(x − x₀))                 for x < x₀,
//    with I, C̄, x₀, x₁, a, k, δ₀, ⟨Z/A⟩, ρ and the radiation length X₀ as the PDG tables of
//    atomic and nuclear properties list them (values in `materials` below).
//  - Knock-on electrons above T_cut = 1 MeV are discrete "Hard electron" records; the index
//    file's continuous loss is the restricted loss below T_c = min(T_cut, W):
//      −dE/dx|<T_c = K (Z/A) ρ (1/β²) [½ ln(2 mₑc² β²γ² T_c / I²) − (β²/2)(1 + T_c/W) − δ/2].
//    The electrons from T_c to W follow d²N/dT dx = (K/2)(Z/A) ρ (1/β²)(1/T²)(1 − β² T/W),
//    split into 4 bins equal in ln T; each bin's record has the bin's rate, and for the bin's
//    mean energy T̄ the electron's momentum p_e = √(T̄(T̄ + 2mₑc²)) split along the muon's
//    direction as p_e∥ = T̄ (E + mₑc²)/p (elastic kinematics) and across it as
//    √(p_e² − p_e∥²). Momentum conservation makes the muon's new momentum exact.
//  - Momentum: a loss dE of energy is a loss dp = dE/β of momentum (dE = v dp).
//  - Straggling: the Gaussian variance of the energy lost below T_c,
//      σ_E²/dx = (K/2)(Z/A) ρ (1/β²) T_c (1 − β² T_c/(2W)),
//    written as the momentum variance σ_E²/β².
//  - Multiple scattering: Highland's width θ₀ = (13.6 MeV/(βcp)) √(x/X₀) [1 + 0.038 ln(x/(X₀β²))]
//    as a variance of each transverse momentum component per metre, (pθ₀)²/x =
//    (13.6/β)² [1 + 0.038 ln(t/β²)]² / X₀, with the logarithm taken at a reference thickness
//    t = x/X₀ = 0.05 (absorbers and windows are typically 0.01 to 0.1 X₀; a per-metre variance
//    must add along the path, so the logarithm cannot follow the actual thickness).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double K = 0.307075;          // MeV cm²/mol, 4π N_A r_e² mₑc²
constexpr double ME = 0.51099895;       // MeV, electron rest energy
constexpr double MMU = 105.6583755;     // MeV, muon rest energy
constexpr double HIGHLAND = 13.6;       // MeV
constexpr double HIGHLANDLOG = 0.038;
constexpr double HIGHLANDREF = 0.05;    // reference thickness in radiation lengths
constexpr double TCUT = 1.0;            // MeV, knock-on electrons above this are discrete
constexpr int NBINS = 4;                // discrete records per layer (when W > T_cut)
constexpr int NLAYERS = 61;
constexpr double PMIN = 20.0;           // MeV/c
constexpr int PERDECADE = 20;
constexpr uint8_t KIND_HARDELECTRON = 2;

struct Material {
  const char* key;
  const char* name;
  double zovera;   // ⟨Z/A⟩, mol/g
  double density;  // g/cm³
  double I;        // eV, mean excitation energy
  double X0;       // g/cm², radiation length
  double Cbar, x0, x1, a, k, delta0;  // Sternheimer density-effect parameters
};

// PDG atomic and nuclear properties (liquid hydrogen at 0.0708 g/cm³).
const Material materials[] = {
    {"LH2", "liquid hydrogen", 0.99212, 0.0708, 21.8, 63.04, 3.0977, 0.4400, 1.8856, 0.1348,
     5.6249, 0.00},
    {"LiH", "lithium hydride", 0.50321, 0.820, 36.5, 79.62, 2.3580, -0.0988, 1.4515, 0.9057,
     2.5143, 0.00},
    {"Be", "beryllium", 0.44384, 1.848, 63.7, 65.19, 2.7847, 0.0592, 1.6922, 0.8039, 2.4339,
     0.14},
    {"Al", "aluminium", 0.48181, 2.699, 166.0, 24.01, 4.2395, 0.1708, 3.0127, 0.0802, 3.6345,
     0.12},
};

double densityeffect(const Material& m, double betagamma) {
  double x = std::log10(betagamma);
  double twoln10 = 2.0 * std::log(10.0);
  if (x >= m.x1) return twoln10 * x - m.Cbar;
  if (x >= m.x0) return twoln10 * x - m.Cbar + m.a * std::pow(m.x1 - x, m.k);
  return m.delta0 * std::pow(10.0, 2.0 * (x - m.x0));
}

struct Layer {
  double p, meanloss, lossvar, transvar;  // MeV/c; MeV/c per m; (MeV/c)² per m twice
  std::vector<float> rate, along, across;
};

Layer makelayer(const Material& m, double p) {
  Layer L;
  L.p = p;
  double E = std::sqrt(p * p + MMU * MMU);
  double gamma = E / MMU, bg = p / MMU, beta = p / E, b2 = beta * beta;
  double W = 2.0 * ME * bg * bg / (1.0 + 2.0 * gamma * ME / MMU + (ME / MMU) * (ME / MMU));
  double Tc = W < TCUT ? W : TCUT;
  double I = m.I * 1e-6;
  double delta = densityeffect(m, bg);
  double rho100 = m.density * 100.0;  // g/cm² per metre
  double pre = K * m.zovera * rho100 / b2;  // MeV per m
  double restricted =
      pre * (0.5 * std::log(2.0 * ME * bg * bg * Tc / (I * I)) - 0.5 * b2 * (1.0 + Tc / W) -
             0.5 * delta);
  L.meanloss = restricted / beta;
  L.lossvar = 0.5 * pre * Tc * (1.0 - b2 * Tc / (2.0 * W)) / b2;
  double hl = 1.0 + HIGHLANDLOG * std::log(HIGHLANDREF / b2);
  L.transvar = (HIGHLAND / beta) * (HIGHLAND / beta) * hl * hl / (m.X0 / m.density / 100.0);
  if (W > TCUT) {
    double half = 0.5 * pre;  // d²N/dT dx = half·(1/T² − β²/(T W))
    for (int i = 0; i < NBINS; i++) {
      double T1 = TCUT * std::pow(W / TCUT, (double)i / NBINS);
      double T2 = TCUT * std::pow(W / TCUT, (double)(i + 1) / NBINS);
      double rate = half * ((1.0 / T1 - 1.0 / T2) - b2 / W * std::log(T2 / T1));
      double energy = half * (std::log(T2 / T1) - b2 * (T2 - T1) / W);
      if (!(rate > 0)) continue;
      double T = energy / rate;
      double pe = std::sqrt(T * (T + 2.0 * ME));
      double pa = T * (E + ME) / p;
      double pt2 = pe * pe - pa * pa;
      L.rate.push_back((float)rate);
      L.along.push_back((float)pa);
      L.across.push_back((float)(pt2 > 0 ? std::sqrt(pt2) : 0.0));
    }
  }
  return L;
}

void putle32(unsigned char* b, uint32_t u) {
  b[0] = (unsigned char)u;
  b[1] = (unsigned char)(u >> 8);
  b[2] = (unsigned char)(u >> 16);
  b[3] = (unsigned char)(u >> 24);
}
void putfloat(unsigned char* b, float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  putle32(b, u);
}

int writematerial(const Material& m, const std::string& dir) {
  std::string base = dir + "mat_" + m.key + "_";
  std::string indexpath = base + "0.dat";
  FILE* index = std::fopen(indexpath.c_str(), "w");
  if (!index) {
    std::fprintf(stderr, "mkmaterial: cannot write '%s'\n", indexpath.c_str());
    return 0;
  }
  for (int k = 0; k < NLAYERS; k++) {
    double p = PMIN * std::pow(10.0, (double)k / PERDECADE);
    Layer L = makelayer(m, p);
    std::fprintf(index, "%.9g\t%.9g\t%.9g\t%.9g\n", L.p, L.meanloss, L.lossvar, L.transvar);
    std::string path = base + std::to_string(k + 1) + ".dat";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
      std::fprintf(stderr, "mkmaterial: cannot write '%s'\n", path.c_str());
      std::fclose(index);
      return 0;
    }
    for (size_t i = 0; i < L.rate.size(); i++) {
      unsigned char rec[16] = {0};
      putfloat(rec, L.rate[i]);
      putfloat(rec + 4, L.along[i]);
      putfloat(rec + 8, L.across[i]);
      rec[12] = KIND_HARDELECTRON;
      std::fwrite(rec, 1, sizeof rec, f);
    }
    std::fclose(f);
  }
  std::fclose(index);
  // A check against the tables: the minimum of the full mean energy loss.
  double best = 1e300;
  for (double bg = 1.0; bg < 10.0; bg *= 1.01) {
    Layer L = makelayer(m, bg * MMU);
    double E = std::sqrt(L.p * L.p + MMU * MMU), beta = L.p / E;
    double total = L.meanloss;
    for (size_t i = 0; i < L.rate.size(); i++) total += (double)L.rate[i] * L.along[i];
    double dedx = total * beta / (m.density * 100.0);
    if (dedx < best) best = dedx;
  }
  std::printf("%s (%s): %d layers, minimum ionisation %.3f MeV cm2/g\n", m.key, m.name, NLAYERS,
              best);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "datafiles/";
  if (!dir.empty() && dir.back() != '/') dir += '/';
  for (int i = 2; i < argc; i++) {
    bool known = false;
    for (const Material& m : materials) known |= std::strcmp(argv[i], m.key) == 0;
    if (!known) {
      std::fprintf(stderr, "mkmaterial: unknown material '%s' (LH2, LiH, Be, Al)\n", argv[i]);
      return 2;
    }
  }
  int ok = 1;
  for (const Material& m : materials) {
    bool wanted = argc <= 2;
    for (int i = 2; i < argc; i++)
      if (std::strcmp(argv[i], m.key) == 0) wanted = true;
    if (wanted) ok &= writematerial(m, dir);
  }
  return ok ? 0 : 1;
}
