#include "sim/components/bmagnet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/report.h"
#include "lattice/cellclass.h"
#include "sim/components/registry.h"
#include "sim/particle.h"
#include "sim/pusher.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
const double MeV = 1.602176462e-13;  // J

using Captured = testsupport::AllMessages;

// Field values (gauss) of a synthetic map: (By, Bw, Bu) of plane k at [i][j], linear in i, j.
struct Synthetic {
  double by0, bw0, bu0;  // G, plane 0 at [0][0]
  double di, dj, dk;     // G per index, per plane
};
V3 syntheticvalue(const Synthetic& s, int k, double i, double j) {  // (By, Bw, Bu), G
  const double base = s.di * i + s.dj * j + s.dk * k;
  return V3{s.by0 + base, s.bw0 + 2 * base, s.bu0 - base};
}

struct MapDir {
  testsupport::TempDir tmp{"ordax_bmag"};
  const fs::path& dir = tmp.path();
  ~MapDir() { bmagnet_unloadmap(); }
  std::string prefix() const { return dir.string() + "/"; }
  void write(const std::string& name, const Synthetic& s, int k, int badline = -1) {
    FILE* f = std::fopen((dir / name).c_str(), "w");
    for (int h = 0; h < 8; h++) std::fprintf(f, "header %d\n", h);
    int line = 8;
    for (int j = 0; j < BMAG_N; j++)
      for (int i = 0; i < BMAG_N; i++) {
        const V3 b = syntheticvalue(s, k, i, j);
        if (++line == badline) std::fprintf(f, "1 2 3 4 five 6\n");
        else std::fprintf(f, "9 9 9 %.17g %.17g %.17g\n", b.x, b.y, b.z);
      }
    std::fclose(f);
  }
  int load(const Synthetic& s, const char* tag = "p") {
    std::string names[4];
    const char* ptrs[4];
    for (int k = 0; k < 4; k++) {
      names[k] = std::string(tag) + std::to_string(k) + ".txt";
      write(names[k], s, k);
      ptrs[k] = names[k].c_str();
    }
    Captured quiet;
    return bmagnet_loadmap(prefix().c_str(), ptrs);
  }
};

double ucoord(int i, int j) { return (i + j) / 20.0 - 2.45; }
double wcoord(int i, int j) { return (i - j) / 20.0; }

TEST(BendingMagnet, MapReturnsItsFileValuesWithTheColumnsInPlace) {
  MapDir m;
  const Synthetic s{1000, -500, 250, 3, 0.01, 100};
  ASSERT_EQ(m.load(s), 1);
  const double heights[4] = {0, 0.05, 0.10, 0.13};
  for (int k = 0; k < 4; k++)
    for (int j = 0; j < BMAG_N; j++)
      for (int i = 0; i < BMAG_N; i++) {
        const V3 b = bmagnetf(ucoord(i, j), heights[k], wcoord(i, j));
        const V3 f = syntheticvalue(s, k, i, j) * 1e-4;  // (By, Bw, Bu), T
        ASSERT_NEAR(b.x, f.z, 1e-9) << k << " " << i << " " << j;
        ASSERT_NEAR(b.y, f.x, 1e-9) << k << " " << i << " " << j;
        ASSERT_NEAR(b.z, f.y, 1e-9) << k << " " << i << " " << j;
      }
}

TEST(BendingMagnet, InterpolationIsExactForLinearFieldsAndMirrorsBelowTheMidPlane) {
  MapDir m;
  const Synthetic s{1000, -500, 250, 3, 0.7, 100};
  ASSERT_EQ(m.load(s), 1);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> ij(0, 45), yy(0, 0.13);
  for (int n = 0; n < 500; n++) {
    const double i = ij(rng), j = ij(rng), y = yy(rng);
    // The plane index as a linear function of height between the planes.
    const double k = y < 0.05 ? y / 0.05 : y < 0.10 ? 1 + (y - 0.05) / 0.05 : 2 + (y - 0.10) / 0.03;
    const V3 f = syntheticvalue(s, 0, i, j) * 1e-4 + V3{1, 2, -1} * (s.dk * k * 1e-4);
    const double u = (i + j) / 20.0 - 2.45, w = (i - j) / 20.0;
    const V3 up = bmagnetf(u, y, w), down = bmagnetf(u, -y, w);
    ASSERT_NEAR(up.x, f.z, 1e-9);
    ASSERT_NEAR(up.y, f.x, 1e-9);
    ASSERT_NEAR(up.z, f.y, 1e-9);
    EXPECT_EQ(down.x, -up.x);
    EXPECT_EQ(down.y, up.y);
    EXPECT_EQ(down.z, -up.z);
  }
  // 14 cm: the 13 cm plane unchanged; 15 and 20 cm, outside the grid, NaN: nothing.
  const V3 top = bmagnetf(-0.2, 0.13, 0);
  const V3 at14 = bmagnetf(-0.2, 0.14, 0);
  EXPECT_EQ(at14.y, top.y);
  for (V3 p : {V3{-0.2, 0.15, 0}, V3{-0.2, -0.2, 0}, V3{2.1, 0, 0.1}, V3{-0.2, 0, 2.3},
               V3{NAN, 0, 0}, V3{0, NAN, 0}}) {
    const V3 b = bmagnetf(p.x, p.y, p.z);
    EXPECT_EQ(b.x, 0);
    EXPECT_EQ(b.y, 0);
    EXPECT_EQ(b.z, 0);
  }
  // The far edges of the grid (index 45) are inside and read no index beyond it.
  const V3 corner = bmagnetf(ucoord(45, 45), 0, wcoord(45, 45));
  EXPECT_NEAR(corner.y, syntheticvalue(s, 0, 45, 45).x * 1e-4, 1e-9);
}

TEST(BendingMagnet, MapIsRememberedWithItsFilesAndReloadedWhenTheyChange) {
  MapDir m;
  ASSERT_EQ(m.load({1000, 0, 0, 0, 0, 0}), 1);
  EXPECT_NEAR(bmagnetf(-0.2, 0, 0).y, 0.1, 1e-12);
  // The same names: not read again (the files now say 2000 G).
  std::string names[4];
  const char* ptrs[4];
  for (int k = 0; k < 4; k++) {
    names[k] = "p" + std::to_string(k) + ".txt";
    m.write(names[k], {2000, 0, 0, 0, 0, 0}, k);
    ptrs[k] = names[k].c_str();
  }
  {
    Captured log;
    EXPECT_EQ(bmagnet_loadmap(m.prefix().c_str(), ptrs), 1);
    EXPECT_TRUE(log.all.empty());
  }
  EXPECT_NEAR(bmagnetf(-0.2, 0, 0).y, 0.1, 1e-12);
  // Other names: read.
  ASSERT_EQ(m.load({3000, 0, 0, 0, 0, 0}, "q"), 1);
  EXPECT_NEAR(bmagnetf(-0.2, 0, 0).y, 0.3, 1e-12);

  // A damaged line is refused with its number and leaves no map.
  m.write("bad.txt", {1000, 0, 0, 0, 0, 0}, 2, 8 + 77);
  const char* bad[4] = {"q0.txt", "q1.txt", "bad.txt", "q3.txt"};
  Captured log;
  EXPECT_EQ(bmagnet_loadmap(m.prefix().c_str(), bad), 0);
  EXPECT_TRUE(log.anycontaining("[FATAL] Damaged B-field file " + m.prefix() + "bad.txt at line 85"));
  EXPECT_EQ(bmagnet_maploaded(), 0);
  EXPECT_EQ(bmagnetf(-0.2, 0, 0).y, 0);
  const char* missing[4] = {"q0.txt", "none.txt", "q2.txt", "q3.txt"};
  EXPECT_EQ(bmagnet_loadmap(m.prefix().c_str(), missing), 0);
  EXPECT_TRUE(log.anycontaining("[FATAL] Could not load B-field file " + m.prefix() + "none.txt"));
}

Cell* magnetcell(const char* name, AffineFrame f, double field) {
  Cell* c = Cell_new(Component, name);
  Cell_settypename(c, "BMagnet");
  if (!std::isnan(field)) Cell_setattrib(c, "field", field);
  c->entrance = f;
  c->axis = f;
  registry_install();
  init_funcpointers(c);
  EXPECT_EQ(Cell_construct(c, nullptr), 1);
  return c;
}

TEST(BendingMagnet, CellsNeedTheirFilesAMapAndALevelFrame) {
  bmagnet_unloadmap();
  Captured log;
  Cell* c = magnetcell("M1", AffineFrame_identity(), 1);
  EXPECT_TRUE(log.anycontaining("[FATAL] Bending magnet 'M1' has no field map"));
  EXPECT_EQ(Cell_field(c, 0, 0, 0, 0).B.y, 0);
  Cell_setstringattrib(c, "File1", "a.txt");
  loadbmagfields(c);
  EXPECT_TRUE(log.anycontaining("[FATAL] Bending magnet 'M1' lacks attribute 'File2'"));
  Cell_freeref(c, 0);

  MapDir m;
  ASSERT_EQ(m.load({1000, 0, 0, 0, 0, 0}), 1);
  Captured again;
  const double a = 0.3;
  AffineFrame tilted{V3{0, 0, 0}, M3x3{{{1, 0, 0}, {0, std::cos(a), -std::sin(a)},
                                        {0, std::sin(a), std::cos(a)}}}};
  c = magnetcell("M2", tilted, 1);
  EXPECT_TRUE(again.anycontaining("[WARNING] Bending magnet 'M2' is not level"));
  Cell_freeref(c, 0);
}

// Pushes a particle through the cell's field alone for time T in steps dt.
Particle track(Cell* c, Particle p, double T, int steps) {
  Cell* list[1] = {c};
  Particle_setnearby(&p, list, 1);
  for (int s = 0; s < steps; s++) advanceparticle(&p, s * T / steps, T / steps);
  Particle_free(&p);
  return p;
}

Particle muon(double pmev, V3 r) {
  Particle p = Particle_new(MuPlus);
  p.x = r.x, p.y = r.y, p.z = r.z;
  p.Vz = pmev * MeV / c_light / speciesmass[MuPlus];
  return p;
}

TEST(BendingMagnet, UniformMapTurnsAMuonOnItsCircleTowardsPlusX) {
  MapDir m;
  ASSERT_EQ(m.load({-10000, 0, 0, 0, 0, 0}), 1);  // b_y = -1 T: bends mu+ to local +x
  const double rho = 0.667128;                    // m, p/(qB) for 200 MeV/c in 1 T
  for (double field : {1.0, -1.0}) {
    SCOPED_TRACE(field);
    Cell* c = magnetcell(field > 0 ? "M" : "~M", AffineFrame_identity(), 1.0);
    Particle p = muon(200, {0, 0, 0});
    const double v = p.Vz * invgamma_from_Vxyz(0, 0, p.Vz);
    p = track(c, p, M_PI * rho / v, 2000);  // half a turn
    EXPECT_NEAR(p.x, 2 * rho * field, 2e-6);
    EXPECT_NEAR(p.z, 0, 2e-6);
    EXPECT_EQ(p.y, 0);
    Cell_freeref(c, 0);
  }
}

TEST(BendingMagnet, GeneratedDipoleIsTheAnalyticFieldAndBendsBy15Degrees) {
  Captured quiet;
  const char* names[4] = {"bmag_y0.txt", "bmag_y5.txt", "bmag_y10.txt", "bmag_y13.txt"};
  ASSERT_EQ(bmagnet_loadmap(ORDAX_SOURCE_DIR "/datafiles/", names), 1);
  // Read back: the two-dimensional dipole of tools/mkbmagmap at every grid point of each plane.
  auto analytic = [](double w, double y) {
    const std::complex<double> z(w, y);
    return -0.5 * (std::tanh((z + 0.4) / 0.25) - std::tanh((z - 0.4) / 0.25));
  };
  const double heights[4] = {0, 0.05, 0.10, 0.13};
  for (int k = 0; k < 4; k++)
    for (int i = 0; i < BMAG_N; i += 3)
      for (int j = 0; j < BMAG_N; j += 2) {
        const V3 b = bmagnetf(ucoord(i, j), heights[k], wcoord(i, j));
        const std::complex<double> f = analytic(wcoord(i, j), heights[k]);
        ASSERT_NEAR(b.y, f.real(), 1e-9);
        ASSERT_NEAR(b.z, f.imag(), 1e-9);
        ASSERT_EQ(b.x, 0);
      }
  // Curl across the map between the 5 and 10 cm planes: dBy/dw - dBw/dy, by differences on
  // the grid (along w extrapolated from steps of 0.1 and 0.2 m), small beside dBy/dw itself.
  double worst = 0, scale = 0;
  for (int i = 14; i <= 31; i++) {
    const int j = 45 - i;  // u = -0.2
    const double w = wcoord(i, j);
    auto by = [&](double ww) {
      return 0.5 * (bmagnetf(-0.2, 0.05, ww).y + bmagnetf(-0.2, 0.10, ww).y);
    };
    const double d1 = (by(w + 0.1) - by(w - 0.1)) / 0.2, d2 = (by(w + 0.2) - by(w - 0.2)) / 0.4;
    const double dbydw = (4 * d1 - d2) / 3;
    const double dbwdy = (bmagnetf(-0.2, 0.10, w).z - bmagnetf(-0.2, 0.05, w).z) / 0.05;
    worst = std::fmax(worst, std::fabs(dbydw - dbwdy));
    scale = std::fmax(scale, std::fabs(dbydw));
  }
  EXPECT_LT(worst, 0.02 * scale) << worst << " " << scale;

  // The field integral along w is 0.8 T·m per unit of "field"; in a field that does not depend
  // on u the exit angle obeys sin θ = q∫B dw / p exactly.
  const double p = 250, brho = p * 1e6 / c_light;  // T·m
  const double theta = 15 * M_PI / 180;
  Cell* c = magnetcell("B1", AffineFrame_identity(), brho * std::sin(theta) / 0.8);
  Particle mu = muon(p, {0, 0, -1.9});
  const double v = mu.Vz * invgamma_from_Vxyz(0, 0, mu.Vz);
  mu = track(c, mu, 3.8 / v, 4000);
  EXPECT_NEAR(std::atan2(mu.Vx, mu.Vz) / theta, 1.0, 0.005);
  Cell_freeref(c, 0);
  bmagnet_unloadmap();
}

}  // namespace
