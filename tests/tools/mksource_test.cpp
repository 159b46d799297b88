// The pion files of tools/mksource against the production formula and the rod geometry.
#include "tools/pionsource.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/support.h"

using namespace pionsource;

namespace {

constexpr double PBEAM = 8.888889;  // GeV/c, 8 GeV kinetic
constexpr Window WINDOW{0.05, 1.0, 0.0, M_PI / 2};
constexpr int NB = 10;

struct Drawn {
  double p, theta;
};

// χ² of the p and θ histograms (NB bins each over the window) against the formula's
// integrals over the same bins.
void chisquares(const SWCoeffs& c, const std::vector<Drawn>& d, double* chip, double* chit) {
  std::vector<double> hp(NB), ht(NB), ep(NB), et(NB);
  const double dp = (WINDOW.pmax - WINDOW.pmin) / NB, dt = (WINDOW.thmax - WINDOW.thmin) / NB;
  for (const Drawn& x : d) {
    hp[std::min(NB - 1, (int)((x.p - WINDOW.pmin) / dp))]++;
    ht[std::min(NB - 1, (int)((x.theta - WINDOW.thmin) / dt))]++;
  }
  const int n = 300;
  double total = 0;
  for (int i = 0; i < NB * n; i++)
    for (int j = 0; j < NB * n / 10; j++) {
      const double f = density(c, WINDOW.pmin + (i + 0.5) * dp / n,
                               WINDOW.thmin + (j + 0.5) * dt * 10 / n, PBEAM);
      ep[i / n] += f, et[j * 10 / n] += f, total += f;
    }
  *chip = *chit = 0;
  for (int k = 0; k < NB; k++) {
    const double a = ep[k] / total * d.size(), b = et[k] / total * d.size();
    *chip += (hp[k] - a) * (hp[k] - a) / a;
    *chit += (ht[k] - b) * (ht[k] - b) / b;
  }
}

// χ² below the 99.9 % point for 9 degrees of freedom (27.9).
constexpr double CHI2_LIMIT = 27.9;

}  // namespace

TEST(Mksource, BundledFilesSampleTheSpectrumFromTheRodSurface) {
  const double ep = std::sqrt(PBEAM * PBEAM + M_PROTON * M_PROTON), vp = PBEAM / ep * C_LIGHT;
  const double iplus = integral(SW_PIPLUS, PBEAM, WINDOW), iminus = integral(SW_PIMINUS, PBEAM, WINDOW);
  int count[2] = {0, 0};
  double depthsum = 0;
  for (int k = 0; k < 2; k++) {
    const std::string name = k == 0 ? "target_piplus.csv" : "target_piminus.csv";
    SCOPED_TRACE(name);
    std::vector<std::string> lines =
        testsupport::readlines(std::string(ORDAX_SOURCE_DIR) + "/datafiles/" + name);
    ASSERT_GT(lines.size(), 1000u);
    EXPECT_EQ(lines[0][0], 'k');
    std::vector<Drawn> d;
    for (size_t i = 1; i < lines.size(); i++) {
      double ke, w, x, y, z, dx, dy, dz, t;
      ASSERT_EQ(sscanf(lines[i].c_str(), "%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf,%lf", &ke, &w, &x, &y,
                       &z, &dx, &dy, &dz, &t), 9);
      const double e = ke / 1000 + M_PION, p = std::sqrt(e * e - M_PION * M_PION);
      const double st = std::hypot(dx, dy), r = std::hypot(x, y);
      d.push_back({p, std::atan2(st, dz)});
      // On the side moving out, or on the downstream face; back along the path to the axis.
      const bool side = std::fabs(r - ROD_RADIUS) < 1e-10;
      ASSERT_TRUE(side || z == ROD_LENGTH) << i;
      ASSERT_GT(side ? (x * dx + y * dy) : dz, 0) << i;
      const double s = r / st, z0 = z - s * dz;
      ASSERT_GE(z0, -1e-9);
      ASSERT_LE(z0, ROD_LENGTH);
      ASSERT_NEAR(t, z0 / vp + s / (p / e * C_LIGHT), 1e-8 * t) << i;
      depthsum += z0;
    }
    double chip, chit;
    chisquares(k == 0 ? SW_PIPLUS : SW_PIMINUS, d, &chip, &chit);
    EXPECT_LT(chip, CHI2_LIMIT);
    EXPECT_LT(chit, CHI2_LIMIT);
    count[k] = (int)d.size();
  }
  // Species in the ratio of the spectra's integrals; depths exponential cut at the rod's end.
  const int n = count[0] + count[1];
  const double f = iplus / (iplus + iminus);
  EXPECT_NEAR(count[0], n * f, 4 * std::sqrt(n * f * (1 - f)));
  const double a = std::exp(-ROD_LENGTH / TA_LAMBDA_I);
  const double mean = TA_LAMBDA_I - ROD_LENGTH * a / (1 - a);
  const double var = TA_LAMBDA_I * TA_LAMBDA_I - ROD_LENGTH * ROD_LENGTH * a / ((1 - a) * (1 - a));
  EXPECT_NEAR(depthsum / n, mean, 4 * std::sqrt(var / n));
}
