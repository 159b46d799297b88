// The bundled designs: the lattices the client picks by itself are worth a volunteer's runs,
// and the front end's window and buncher follow the rules its comments and README state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "language/genome.h"
#include "language/parser.h"
#include "lattice/cell.h"
#include "lattice/latticefiles.h"
#include "sim/simulation.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Messages;
using testsupport::WorkDir;

const fs::path source = fs::path(ORDAX_SOURCE_DIR);
const double c = 299792458;
const double mmu = 105.6583745;  // MeV

// A working directory with the bundled lattices and data files, as a client's is.
struct BundledDir {
  WorkDir dir{"ordax_bundled"};
  BundledDir() {
    fs::copy(source / "lattices", dir.path() / "lattices");
    fs::create_directory_symlink(source / "datafiles", dir.path() / "datafiles");
    lattice_exists(LATTICE_EXISTS_RESET);
  }
  ~BundledDir() { lattice_exists(LATTICE_EXISTS_RESET); }
};

// New genes take this raw value (0 = every range's minimum, R−1 its maximum).
int32_t fixedraw = 0;
int32_t fixedgnull(const char*, const Genome*) { return fixedraw; }
struct FixedGenes {
  GnullFunction saved = gnull;
  explicit FixedGenes(int32_t raw) {
    fixedraw = raw;
    gnull = fixedgnull;
  }
  ~FixedGenes() { gnull = saved; }
};

double beta(double p) { return p / std::sqrt(p * p + mmu * mmu); }

TEST(BundledLattices, TheClientPicksOnlyDesignsWorthOptimising) {
  BundledDir here;
  Simulation_defaultdefault(SimOptions{.divisor = 50});
  std::vector<std::string> picked;
  for (const auto& e : fs::directory_iterator(source / "lattices")) {
    std::string name = e.path().stem().string();
    if (e.path().extension() != ".txt" || name[0] == '_') continue;
    picked.push_back(name);
    SCOPED_TRACE(name);
    Messages m;
    Genome g = Genome_new();
    Simulation sim = Simulation_new(name.c_str(), &g, "");
    ASSERT_TRUE(sim.lattice);
    EXPECT_FALSE(m.anywarning()) << (m.all.empty() ? "" : m.all.back());
    // A design without free parameters or without a finishing line gives the optimiser
    // nothing to climb: such a lattice is a check and takes a name beginning with '_'.
    EXPECT_GT(g.count, 0);
    EXPECT_TRUE(Cell_findtype(sim.lattice, "Finish-aperture", nullptr));
    Simulation_free(&sim);
    Genome_free(g);
  }
  EXPECT_NE(std::find(picked.begin(), picked.end(), "frontend"), picked.end());
  EXPECT_NE(std::find(picked.begin(), picked.end(), "decaychannel"), picked.end());
}

// At the ends of every range and in the middle: the machine builds without a warning, the
// gate opens when a 400 MeV/c muon that left the rod with the pions, flying along the axis,
// would reach the finishing aperture and the run ends when a 150 MeV/c one would, and each buncher cavity's
// frequency puts nb wavelengths between muons of p1 and 154 MeV/c that left the rod together.
TEST(FrontEnd, WindowAndBuncherFollowTheirRulesAcrossTheRanges) {
  BundledDir here;
  Simulation_defaultdefault(SimOptions{.divisor = 50});
  const int32_t top = Genome_resolution(3) - 1;  // a new genome keeps 3 digits
  for (int32_t raw : {0, top / 2, top}) {
    SCOPED_TRACE(raw);
    FixedGenes fixed(raw);
    Messages m;
    Genome g = Genome_new();
    ASSERT_EQ(g.sigfigs, 3);
    Cell* parameters = nullptr;
    Cell* tree = machinecellfromfile("frontend", &g, 0, &parameters);
    ASSERT_TRUE(tree && parameters);
    const double rodz = Cell_attrib(parameters, "rodz", -1);
    const double p1 = Cell_attrib(parameters, "p1", -1);
    const double nb = Cell_attrib(parameters, "nb", -1);
    Cell_freeref(tree, 0);
    Cell_freeref(parameters, 0);

    Simulation sim = Simulation_new("frontend", &g, "");
    ASSERT_TRUE(sim.lattice);
    EXPECT_FALSE(m.anywarning()) << (m.all.empty() ? "" : m.all.back());
    const Cell* fin = Cell_findtype(sim.lattice, "Finish-aperture", nullptr);
    const Cell* gate = Cell_find(sim.lattice, "Gate");
    ASSERT_TRUE(fin && gate);
    const double flight = fin->s - rodz;
    const double release = 5e-9;  // the rod source releases its pions 5 ns after the protons
    EXPECT_NEAR(Cell_attrib(gate, "OffTime", 0), release + flight / (beta(400) * c), 1e-15);
    EXPECT_NEAR(sim.t_max, release + flight / (beta(150) * c), 1e-15);

    // f·z, Hz·m; the cells' positions are sums over some seventy lengths, good to about 1e-9.
    const double expected = c * nb / (1 / beta(154) - 1 / beta(p1));
    for (int i = 1; i <= 20; i++) {
      const Cell* cav = Cell_find(sim.lattice, ("CavB" + std::to_string(i)).c_str());
      ASSERT_TRUE(cav) << i;
      EXPECT_NEAR(Cell_attrib(cav, "Frequency", 0) * (cav->s - rodz), expected, 1e-8 * expected)
          << "CavB" << i;
    }
    Simulation_free(&sim);
    Genome_free(g);
  }
}

}  // namespace
