// mkbmagmap: writes the four field-map planes of the bending magnet (datafiles/bmag_y0.txt,
// bmag_y5.txt, bmag_y10.txt, bmag_y13.txt for heights 0, 5, 10 and 13 cm). Usage: mkbmagmap
// DIRECTORY. Rerunning the tool rewrites the files identically.
//
// The field is an exact two-dimensional vacuum dipole with soft ends. It does not depend on
// the map coordinate u (across the beam), and with ζ = w + i·y (w along the magnet, y up)
//
//     B_y + i·B_w = −(B0/2)·[tanh((ζ + L/2)/a) − tanh((ζ − L/2)/a)],
//
// an analytic function of ζ, so by the Cauchy–Riemann equations div B = ∂B_w/∂w + ∂B_y/∂y = 0
// and (curl B)_u = ∂B_y/∂w − ∂B_w/∂y = 0 hold exactly (the other curl components vanish since
// nothing depends on u and B_u = 0). On the mid-plane the field is vertical with the profile
// (B0/2)·[tanh((w + L/2)/a) − tanh((w − L/2)/a)], whose integral along w is exactly B0·L; the
// poles of tanh lie at y = ±a·π/2 = ±0.39 m, well beyond the map's 15 cm. B0 = 1 T, L = 0.8 m,
// a = 0.25 m: a cell with "field" s has ∫B_y dw = 0.8·s T·m. Sign: the map's B_y is negative,
// so that a positive "field" bends a positive particle towards the magnet frame's local +x
// (the beam runs along −w, and local +x is −u).
//
// Grid: point [i][j] (i, j = 0 … 45) at u = (i + j)/20 − 2.45 m, w = (i − j)/20 m; lines in
// the order the loader reads them (outer loop j, inner i): "u y w By Bw Bu", positions in cm,
// fields in gauss, after eight header lines.
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

namespace {

constexpr double B0 = 1.0;   // T
constexpr double L = 0.8;    // m, field integral / B0
constexpr double A = 0.25;   // m, end length
constexpr int N = 46;

// (B_y, B_w) in tesla at (w, y).
std::complex<double> field(double w, double y) {
  const std::complex<double> z(w, y);
  return -0.5 * B0 * (std::tanh((z + 0.5 * L) / A) - std::tanh((z - 0.5 * L) / A));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkbmagmap DIRECTORY\n");
    return 1;
  }
  const int heights[4] = {0, 5, 10, 13};
  for (int h : heights) {
    const std::string path = std::string(argv[1]) + "/bmag_y" + std::to_string(h) + ".txt";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    std::fprintf(f, "# Bending magnet field map, plane y = %d cm (written by tools/mkbmagmap)\n", h);
    std::fprintf(f, "# Two-dimensional vacuum dipole: By + i Bw = -(B0/2)[tanh((w+iy+L/2)/a)"
                    " - tanh((w+iy-L/2)/a)]\n");
    std::fprintf(f, "# B0 = %g T, L = %g m, a = %g m; Bu = 0\n", B0, L, A);
    std::fprintf(f, "# grid [i][j]: u = (i+j)/20 - 2.45 m, w = (i-j)/20 m; outer loop j, inner i\n");
    std::fprintf(f, "# columns: u (cm), y (cm), w (cm), By (G), Bw (G), Bu (G)\n");
    std::fprintf(f, "#\n#\n#\n");
    for (int j = 0; j < N; j++)
      for (int i = 0; i < N; i++) {
        const double u = (i + j) / 20.0 - 2.45, w = (i - j) / 20.0, y = h / 100.0;
        const std::complex<double> b = field(w, y);
        std::fprintf(f, "%.4f %.4f %.4f %.10e %.10e %.10e\n", u * 100, y * 100, w * 100,
                     b.real() * 1e4, b.imag() * 1e4, 0.0);
      }
    std::fclose(f);
  }
  return 0;
}
