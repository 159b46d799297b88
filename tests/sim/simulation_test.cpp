#include "sim/simulation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/random.h"
#include "lattice/cell.h"
#include "lattice/frames.h"
#include "language/genome.h"
#include "base/report.h"
#include "results/results.h"
#include "sim/components/beamdef.h"
#include "sim/components/registry.h"
#include "sim/species.h"
#include "tests/support/support.h"

namespace {

using testsupport::cellof;
using testsupport::compositeof;
using testsupport::regrid;
using testsupport::setbox;

using Captured = testsupport::AllMessages;

Simulation blanksim(Cell* machine) {
  Simulation_defaultdefault();
  Simulation sim = Simulation_default;
  sim.lattice = machine;
  return sim;
}

std::vector<Cell*> nearbyof(const Particle& p) {
  return std::vector<Cell*>(p.nearby, p.nearby + p.nnearby);
}

// ---- defaults and parameters ----

TEST(SimulationDefaults, AllowedSpeciesAreTheMassiveOnesButElectronsAndPi0) {
  Simulation_defaultdefault();
  uint32_t allowed = Simulation_default.allowedspecies;
  for (int s : {PiPlus, MuPlus, PiMinus, MuMinus, Proton, AntiProton, KPlus, KMinus, Neutron,
                HMinus, B5Plus, He4, Triton, Deuteron, He3, Li7}) {
    SCOPED_TRACE(ParticleSpecies_name[s]);
    EXPECT_TRUE(allowed & (1u << s));
  }
  for (int s : {Positron, Electron, Pi0, NuE, NuEBar, NuMu, NuMuBar}) {
    SCOPED_TRACE(ParticleSpecies_name[s]);
    EXPECT_FALSE(allowed & (1u << s));
  }
  EXPECT_EQ(allowed >> NSPECIES, 0u);
}

TEST(SimulationDefaults, OptionsSetRefreshStepsAndDivisor) {
  SimOptions options;
  options.refreshsteps = 25;
  options.divisor = 3;
  Simulation_defaultdefault(options);
  EXPECT_EQ(Simulation_default.refreshsteps, 25);
  EXPECT_EQ(Simulation_default.divisor, 3);
  options.refreshsteps = 0;
  options.divisor = 0;
  Simulation_defaultdefault(options);
  EXPECT_EQ(Simulation_default.refreshsteps, 10);
  EXPECT_EQ(Simulation_default.divisor, 1);
  Simulation_defaultdefault();
}

TEST(SimulationParameters, EveryKeySetsItsField) {
  Simulation sim = blanksim(nullptr);
  Cell* p = testsupport::cellwith(
      "ParametersCell", nullptr,
      {{"T_MAX", 3e-7}, {"dt", 2e-12}, {"totalcharge", 1e-9}, {"errrate", 0.01},
       {"n_decays", 4.9}, {"decays_off", 2}, {"scattering_off", 0}, {"seedbase", 12345.75},
       {"seedpitch", 17}, {"twiss_interval", 0.25}, {"global_bore", 0.3},
       {"FOM", 0, "transmission"}});
  Simulation_setparameters(&sim, p);
  EXPECT_EQ(sim.t_max, 3e-7);
  EXPECT_EQ(sim.dt, 2e-12);
  EXPECT_EQ(sim.totalcharge, 1e-9);
  EXPECT_EQ(sim.errrate, 0.01);
  EXPECT_EQ(sim.n_decays, 4);
  EXPECT_TRUE(sim.decays_off);
  EXPECT_FALSE(sim.scattering_off);
  EXPECT_EQ(sim.seedbase, 12345u);
  EXPECT_EQ(sim.seedpitch, 17u);
  EXPECT_EQ(sim.twiss_interval, 0.25);
  EXPECT_EQ(sim.global_bore, 0.3);
  ASSERT_NE(sim.FOM, nullptr);
  EXPECT_STREQ(sim.FOM, "transmission");
  Cell_freeref(p, 0);
  Simulation_free(&sim);
}

TEST(SimulationParameters, TextValuesAndAbsurdNumbersLeaveFieldsSafe) {
  Simulation sim = blanksim(nullptr);
  Cell* p = testsupport::cellwith("ParametersCell", nullptr,
                                  {{"t_max", 0, "long"}, {"dt", 0, "1e-12"},
                                   {"FOM", 3},  // FOM needs a text
                                   {"n_decays", NAN}, {"seedbase", 1e300}});
  Simulation_setparameters(&sim, p);
  EXPECT_EQ(sim.t_max, 1e20);
  EXPECT_EQ(sim.dt, 1e-11);
  EXPECT_EQ(sim.FOM, nullptr);
  EXPECT_EQ(sim.n_decays, 0);
  Simulation_setparameters(&sim, nullptr);  // nothing happens
  EXPECT_EQ(sim.dt, 1e-11);
  Cell_freeref(p, 0);
  Simulation_free(&sim);
}

TEST(SimulationParameters, AllowKeysAddAndRemoveSpeciesSilently) {
  Captured cap;
  Simulation sim = blanksim(nullptr);
  uint32_t before = sim.allowedspecies;
  Cell* p = testsupport::cellwith("ParametersCell", nullptr,
                                  {{"allow_e-", 1}, {"ALLOW_mu+", 0}, {"allow_frobnium", 1},
                                   {"allow_pi0", 0.5}});  // truncated to 0: removes (not there)
  Simulation_setparameters(&sim, p);
  EXPECT_EQ(sim.allowedspecies, (before | (1u << Electron)) & ~(1u << MuPlus));
  EXPECT_TRUE(cap.all.empty());
  Cell_freeref(p, 0);
  Simulation_free(&sim);
}

// ---- the steps of Simulation_new ----

TEST(SimulationOverrides, PlainAndCellAddressedParameters) {
  Cell* machine = compositeof("line", {cellof("sol1", "Solenoid", 0.5),
                                     cellof("d2", "Drift", 1.0), cellof("sol1", "Solenoid", 0.5)});
  Cell* params = Cell_new(Component, "ParametersCell");
  int found = Simulation_paramoverrides(
      "ordax -param:t_max=2e-7 -PARAM:SOL1.Field=3.5 -param:d2.Material='Be' "
      "-param:d2.length=2.5 -param:nosuch.X=1 -param:novalue",
      machine, params);
  EXPECT_EQ(Cell_attrib(params, "t_max", 0), 2e-7);
  EXPECT_EQ(Cell_attrib(machine->children[0], "Field", 0), 3.5);
  EXPECT_FALSE(Cell_hasattrib(machine->children[2], "Field"));  // only the first of that name
  EXPECT_STREQ(Cell_stringattrib(machine->children[1], "Material"), "Be");
  EXPECT_EQ(machine->children[1]->length, 2.5);
  for (int i = 0; i < 3; i++) EXPECT_FALSE(Cell_hasattrib(machine->children[i], "X"));
  EXPECT_FALSE(Cell_hasattrib(params, "novalue"));
  EXPECT_EQ(found, 6);

  // A component machine is addressed by its own name; a word without "=" still counts (the
  // check is turned off for it).
  Cell* single = cellof("S", "Solenoid", 1);
  EXPECT_EQ(Simulation_paramoverrides("x -param:s.radius=0.2 -param:flag", single, params), 2);
  EXPECT_EQ(Cell_attrib(single, "radius", 0), 0.2);

  EXPECT_EQ(Simulation_paramoverrides("ordax -r3 -view", machine, params), 0);
  Cell_freeref(single, 0);
  Cell_freeref(machine, 0);
  Cell_freeref(params, 0);
}

TEST(SimulationNamedLattice, LegacyNamesGetTheirAdjustments) {
  struct Case {
    const char* name;
    double t_max;      // expected
    double bore1;      // "Bore" of the drift that had none (0 = still none)
    double bore2;      // "Bore" of the drift that had 2.0
    bool domes;
  } cases[] = {
      {"solenoidsonly", 2e-7, 0.5, 0.5, false},  {"SolenoidsTo15cm", 2e-7, 0.5, 0.5, false},
      {"solenoidsonly2", 1e20, 0, 2.0, false},   {"chicanelinacb7", 1.2e-6, 1.0, 2.0, true},
      {"ChicaneLattice2b", 3e-7, 0, 2.0, false}, {"v4.2best_a", 3e-7, 0, 2.0, false},
      {"v4.2best_LINAC", 1e20, 0, 2.0, false},   {"phaserotc1", 1e20, 0, 2.0, true},
      {"DecayRotB", 1e20, 0, 2.0, true},         {"decayrotb2", 1e20, 0, 2.0, false},
      {"other", 1e20, 0, 2.0, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Cell* d2 = cellof("d2", "drift", 1);
    Cell_setattrib(d2, "Bore", 2.0);
    Cell* machine = compositeof("m", {cellof("d1", "Drift", 1), d2, cellof("s", "Solenoid", 1)});
    Simulation sim = blanksim(machine);
    Simulation_namedlattice(&sim, k.name);
    EXPECT_EQ(sim.t_max, k.t_max);
    int first = k.domes ? 2 : 0;
    ASSERT_EQ(machine->n, 3 + first);
    if (k.bore1 == 0) EXPECT_FALSE(Cell_hasattrib(machine->children[first], "Bore"));
    else EXPECT_EQ(Cell_attrib(machine->children[first], "Bore", 0), k.bore1);
    EXPECT_EQ(Cell_attrib(machine->children[first + 1], "Bore", 0), k.bore2);
    EXPECT_FALSE(Cell_hasattrib(machine->children[first + 2], "Bore"));  // not a drift
    // The two blockages put in front (an attribute that is missing reads as NaN).
    const struct {
      const char* name;
      const char* type;
      std::vector<std::pair<const char*, double>> attrs;
    } domes[] = {{"dome_annulus", "Annulus-blockage",
                  {{"Zsize", 0.2}, {"InnerRadius", 0.4}, {"OuterRadius", 0.5}, {"Z", -0.1},
                   {"AbsorptionLength", 0}}},
                 {"dome_cylinder", "Cylinder-blockage",
                  {{"Zsize", 0.1}, {"radius", 0.5}, {"Z", -0.2}, {"AbsorptionLength", 0}}}};
    for (int i = 0; i < first; i++) {
      const Cell* d = machine->children[i];
      EXPECT_STREQ(d->name, domes[i].name);
      EXPECT_STREQ(d->type_name, domes[i].type);
      EXPECT_EQ(d->t, Component);
      for (const auto& [attr, value] : domes[i].attrs)
        EXPECT_EQ(Cell_attrib(d, attr, NAN), value) << attr;
    }
    Simulation_free(&sim);
  }
}

// The real class table with recording set-up operations in the bending-magnet and RF rows,
// registered for the life of the record (the real table comes back afterwards).
std::vector<const Cell*> mapsloaded;
int synchronisations = 0;
struct RecordingTable {
  std::vector<CellClass> rows;
  RecordingTable() : rows(cellclasses, cellclasses + NCELLCLASSES) {
    for (CellClass& row : rows) {
      if (std::string(row.key) == "bmagnet")
        row.loadfieldmaps = [](Cell* c) { mapsloaded.push_back(c); };
      if (std::string(row.key) == "RF") row.synchronise = [](Simulation*) { return ++synchronisations > 0 ? 1 : 0; };
    }
    mapsloaded.clear();
    synchronisations = 0;
    cellclass_settable(rows.data(), NCELLCLASSES);
  }
  ~RecordingTable() { registry_install(); }
};

TEST(SimulationNamedLattice, LoadsTheFieldMapsOfTheLastBendingMagnetOnly) {
  Cell* machine = compositeof("m", {cellof("b1", "BMagnet", 1), cellof("d", "Drift", 1),
                                  cellof("b2", "bmagnet", 1), cellof("x", "BMagnet-x", 1)});
  Simulation sim = blanksim(machine);
  RecordingTable table;
  Simulation_namedlattice(&sim, "anything");
  ASSERT_EQ(mapsloaded.size(), 1u);
  EXPECT_EQ(mapsloaded[0], machine->children[2]);
  Simulation_free(&sim);
}

TEST(SimulationPlacement, SynchronisesOnceWhenATopLevelCellIsOfTheRFClass) {
  struct Case {
    std::vector<const char*> types;
    int expected;
  } cases[] = {{{"Drift", "RF", "rf"}, 1},
               {{"rf"}, 1},
               {{"RFcavity", "Drift"}, 1},
               {{"Drift", "Perforated-blockage"}, 0},
               {{"Drift"}, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.types[0]);
    std::vector<Cell*> children;
    for (const char* type : k.types) children.push_back(cellof("c", type, 1));
    Simulation sim = blanksim(compositeof("m", children));
    RecordingTable table;
    Captured quiet;
    Simulation_initmachine(&sim, AffineFrame_identity());
    EXPECT_EQ(synchronisations, k.expected);
    Simulation_free(&sim);
  }
}

TEST(SimulationMomentLoggers, InsertedEveryIntervalInFrontOfTheCoveringChild) {
  Cell* a = cellof("a", "Drift", 1.2);
  Cell* marker = cellof("mark", "Drift", 0);
  Cell* b = cellof("b", "Drift", 0.7);
  Cell* machine = compositeof("m", {a, marker, b});
  Simulation_momentloggers(machine, 0.5);
  // Loggers at s = 0, 0.5, 1.0 in front of a; s = 1.5 in front of b (after the zero-length
  // marker, which is passed over).
  ASSERT_EQ(machine->n, 7);
  const double z[] = {0, 0.5, 1.0};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(machine->children[i]->name, "auto-twiss");
    EXPECT_STREQ(machine->children[i]->type_name, "moments-aperture");
    EXPECT_EQ(machine->children[i]->t, Component);
    EXPECT_NEAR(Cell_attrib(machine->children[i], "Z", -1), z[i], 1e-15);
  }
  EXPECT_EQ(machine->children[3], a);
  EXPECT_EQ(machine->children[4], marker);
  EXPECT_STREQ(machine->children[5]->name, "auto-twiss");
  EXPECT_NEAR(Cell_attrib(machine->children[5], "Z", -1), 0.3, 1e-12);
  EXPECT_EQ(machine->children[6], b);

  Simulation_momentloggers(machine, 0);  // nothing
  Simulation_momentloggers(machine, -1);
  EXPECT_EQ(machine->n, 7);
  Cell_freeref(machine, 0);
}

TEST(SimulationMomentLoggers, ATinyIntervalIsCappedWithAWarning) {
  Captured cap;
  Cell* machine = compositeof("m", {cellof("a", "Drift", 1.0)});
  Simulation_momentloggers(machine, 1e-6);
  EXPECT_EQ(machine->n, 10001);
  EXPECT_TRUE(cap.has("[WARNING] twiss_interval 1e-06 makes more than 10000 moment loggers; the "
                      "rest are left out"));
  EXPECT_STREQ(machine->children[10000]->name, "a");
  Cell_freeref(machine, 0);
}

// ---- placement ----

TEST(SimulationPlacement, ChildrenAreChainedAlongTheReferenceCurve) {
  Captured cap;
  Cell* d1 = cellof("d1", "Drift", 1.0);
  Cell* bend =
      testsupport::cellwith("b", "Drift", {{"length", 2.0}, {"angle", 0.3}, {"twist", 0.4}});
  Cell* off = cellof("o", "Drift", 0.5);
  Cell_setattrib(off, "X", 0.1);  // an offset moves the component's axis, not the beam line
  Cell* d4 = cellof("d4", "Drift", 0.25);
  Cell* machine = compositeof("m", {d1, bend, off, d4});
  Simulation sim = blanksim(machine);
  AffineFrame start{V3{1, 2, 3}, M3x3_Rxyz(V3{0.1, 0.2, 0.3})};
  Simulation_initmachine(&sim, start);

  AffineFrame f = start;
  double s = 0;
  for (int i = 0; i < 4; i++) {
    Cell* c = machine->children[i];
    SCOPED_TRACE(c->name);
    EXPECT_EQ(c->s, s);
    EXPECT_EQ(memcmp(&c->entrance, &f, sizeof f), 0);
    AffineFrame axis = Cell_offsetframe(c, f);
    EXPECT_EQ(memcmp(&c->axis, &axis, sizeof axis), 0);
    f = AffineFrame_transportarc(f, c->length, c->angle, Cell_attrib(c, "twist", 0));
    s += c->length;
  }
  EXPECT_EQ(s, 3.75);
  EXPECT_NE(off->axis.origin, off->entrance.origin);
  EXPECT_EQ(memcmp(&machine->entrance, &start, sizeof start), 0);
  EXPECT_TRUE(cap.has("Adding components to simulation space"));
  EXPECT_TRUE(cap.has("Done adding components"));
  EXPECT_EQ(cap.countcontaining("[WARNING]"), 0);
  EXPECT_NE(machine->submap, nullptr);
  Simulation_free(&sim);
  EXPECT_EQ(sim.lattice, nullptr);
}

TEST(SimulationPlacement, UnknownCellTypeIsReportedAndPlaced) {
  Captured cap;
  Cell* odd = cellof("odd", "Frobnicator", 2.0);
  Cell* after = cellof("after", "Drift", 1.0);
  Simulation sim = blanksim(compositeof("m", {odd, after}));
  Simulation_initmachine(&sim, AffineFrame_identity());
  EXPECT_TRUE(cap.has("[WARNING] Unknown cell type: Frobnicator"));
  EXPECT_EQ(after->s, 2.0);
  EXPECT_EQ(after->entrance.origin.z, 2.0);
  EXPECT_GT(odd->xmin, odd->xmax);  // no box
  Simulation_free(&sim);
}

TEST(SimulationPlacement, MachineThatIsNotACompositeIsReported) {
  Captured cap;
  Cell* machine = cellof("lonely", "Drift", 1.0);
  machine->lostweight = 5;
  Simulation sim = blanksim(machine);
  Simulation_initmachine(&sim, AffineFrame_identity());
  EXPECT_TRUE(
      cap.has("[FATAL] machine cell is not Composite in BLfromcell: don't know what's going on"));
  EXPECT_TRUE(cap.has("Done adding components"));
  EXPECT_EQ(machine->submap, nullptr);
  EXPECT_EQ(machine->lostweight, 0);
  // Particles on such a machine get no nearby components and no segment.
  Particle* p = addparticle(&sim, MuPlus, 1);
  EXPECT_EQ(p->nnearby, 0u);
  EXPECT_EQ(p->segment, -1);
  EXPECT_EQ(p->beamline, machine);
  Simulation_free(&sim);
  // Without a machine nothing happens.
  Simulation none = blanksim(nullptr);
  Simulation_initmachine(&none, AffineFrame_identity());
  Simulation_free(&none);
}

TEST(SimulationPlacement, BoxesAreWidenedByTheLightTravelBetweenRefreshes) {
  // A class that writes a box ("solenoid" matches "coil-solenoid-x"; the exact type name
  // "solenoid" would also be trimmed against its neighbours), built with two refresh counts.
  double xmin[2], zmax[2], machinezmax[2];
  const int refresh[2] = {10, 30};
  for (int k = 0; k < 2; k++) {
    Cell* s = testsupport::cellwith("s", "coil-solenoid-x",
                                    {{"length", 0.5}, {"radius", 0.2}, {"field", 1}});
    Cell* d = cellof("d", "Drift", 1);
    d->xmin = 0;  // whatever was there is replaced
    Simulation sim = blanksim(compositeof("m", {d, s}));
    sim.refreshsteps = refresh[k];
    sim.dt = 2e-11;
    Simulation_initmachine(&sim, AffineFrame_identity());
    xmin[k] = s->xmin;
    zmax[k] = s->zmax;
    machinezmax[k] = sim.lattice->zmax;
    EXPECT_LT(s->xmin, s->xmax);
    // No box operation: empty, and still empty after widening; never nearby.
    EXPECT_GT(d->xmin, d->xmax);
    EXPECT_GT(d->zmin, d->zmax);
    Particle* p = addparticle(&sim, MuPlus, 1);
    for (uint32_t i = 0; i < p->nnearby; i++) EXPECT_NE(p->nearby[i], d);
    Simulation_free(&sim);
  }
  const double extra = 20 * 2e-11 * 299792458.0;  // 20 more refresh steps of light travel
  EXPECT_NEAR(xmin[0] - xmin[1], extra, 1e-12);
  EXPECT_NEAR(zmax[1] - zmax[0], extra, 1e-12);
  EXPECT_EQ(machinezmax[0], zmax[0]);  // the machine's box is the union of its children's
  EXPECT_EQ(machinezmax[1], zmax[1]);
}

// ---- solenoid boxes ----

TEST(SimulationSolenoidBoxes, TrimmedAgainstNeighboursThenGrownAroundTheCentre) {
  Cell* a = cellof("a", "Solenoid", 1.0);
  Cell* b = cellof("b", "SOLENOID", 2.0);
  Cell_setattrib(b, "radius", 0.4);
  Cell* c = cellof("c", "solenoid-x", 1.0);  // type name is not "solenoid": untouched
  Simulation sim = blanksim(compositeof("m", {a, b, c}));
  Simulation_initmachine(&sim, AffineFrame_identity());
  // Centres: a at z = 0.5 (h 0.5), b at z = 2 (h 1).
  setbox(a, -0.6, -0.6, -0.2, 0.6, 0.6, 2.5);
  setbox(b, -2.0, -0.5, 0.2, 2.0, 0.5, 4.0);
  setbox(c, -1, -1, -1, 1, 1, 1);
  Simulation_clipsolenoidsbounds(&sim);
  // a: zmax trimmed to P_b.z - h_b = 1; then the cube of R = 1.5·sqrt(0 + 0.25) = 0.75 about
  // (0, 0, 0.5) widens x, y to ±0.75 and z to [-0.25, 1.25].
  EXPECT_DOUBLE_EQ(a->xmin, -0.75);
  EXPECT_DOUBLE_EQ(a->xmax, 0.75);
  EXPECT_DOUBLE_EQ(a->ymin, -0.75);
  EXPECT_DOUBLE_EQ(a->zmin, -0.25);
  EXPECT_DOUBLE_EQ(a->zmax, 1.25);
  // b: zmin trimmed to P_a.z + h_a = 1.0; cube R = 1.5·sqrt(0.16 + 1) about (0, 0, 2).
  double R = 1.5 * std::sqrt(0.16 + 1.0);
  EXPECT_NEAR(b->zmin, 2 - R, 1e-14);  // the cube reaches below the trimmed 1.0
  EXPECT_DOUBLE_EQ(b->zmax, 4.0);
  EXPECT_DOUBLE_EQ(b->xmin, -2.0);
  EXPECT_NEAR(b->ymin, -R, 1e-14);
  EXPECT_NEAR(b->ymax, R, 1e-14);
  EXPECT_EQ(c->xmin, -1);
  EXPECT_EQ(c->zmax, 1);
  Simulation_free(&sim);
}

TEST(SimulationSolenoidBoxes, SideBySideSolenoidsTrimAcrossTheBeam) {
  // Two solenoids placed side by side in x (through their entrance frames) trim x.
  Cell* a = cellof("a", "solenoid", 0.2);
  Cell* b = cellof("b", "solenoid", 0.2);
  Simulation sim = blanksim(compositeof("m", {a, b}));
  Simulation_initmachine(&sim, AffineFrame_identity());
  a->entrance = AffineFrame{V3{0, 0, 0}, M3x3_identity()};
  b->entrance = AffineFrame{V3{3, 0, 0}, M3x3_identity()};
  setbox(a, -5, -1, -1, 5, 1, 1);
  setbox(b, -5, -1, -1, 5, 1, 1);
  Simulation_clipsolenoidsbounds(&sim);
  EXPECT_DOUBLE_EQ(a->xmax, 3 - 0.1);
  EXPECT_DOUBLE_EQ(a->xmin, -5);
  EXPECT_DOUBLE_EQ(b->xmin, 0 + 0.1);
  EXPECT_DOUBLE_EQ(b->xmax, 5);
  Simulation_free(&sim);
}

// ---- the proximity grid ----

TEST(ProximityGrid, DimensionsFollowTheLargestExtent) {
  Captured cap;
  Cell* a = cellof("a", "Drift", 1);
  Cell* b = cellof("b", "Drift", 1);
  Cell* machine = compositeof("m", {a, b});
  setbox(a, 0, 0, 0, 1, 2, 5);
  setbox(b, 0, 0, 5, 0.5, 1, 10);
  setbox(machine, 0, 0, 0, 1, 2, 10);
  CellSubMap* g = CellSubMap_make(machine, 50);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->nx, 5);
  EXPECT_EQ(g->ny, 10);
  EXPECT_EQ(g->nz, 50);
  EXPECT_TRUE(cap.has("Building proximity grid..."));
  EXPECT_TRUE(cap.has("Building proximity grid 5x10x50 (2500 cells)... Done"));
  CellSubMap_free(g);
  EXPECT_EQ(CellSubMap_make(a, 50), nullptr);  // only composites have grids
  // A box edge that is not a number (a damaged auto-save record) gives one cell along it, and
  // no axis gets more than the resolution.
  const struct {
    double ymax, zmax;
    int nx, ny, nz;
  } damaged[] = {{2, NAN, 25, 50, 1}, {NAN, 1e60, 50, 1, 50}};
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.zmax);
    setbox(machine, 0, 0, 0, 1, d.ymax, d.zmax);
    g = CellSubMap_make(machine, 50);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->nx, d.nx);
    EXPECT_EQ(g->ny, d.ny);
    EXPECT_EQ(g->nz, d.nz);
    CellSubMap_free(g);
  }
  Cell_freeref(machine, 0);
}

TEST(ProximityGrid, NearbyListsMatchABruteForceSearch) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  Captured cap;
  for (int round = 0; round < 4; round++) {
    std::vector<Cell*> children;
    int n = 5 + (int)(u(rng) * 40);
    for (int i = 0; i < n; i++) {
      Cell* c = cellof("c", "Drift", 1);
      if (u(rng) < 0.15) {
        Cell_bbreset(c);  // empty box
      } else {
        double x = u(rng) * 2 - 1, y = u(rng) * 2 - 1, z = u(rng) * 30;
        setbox(c, x, y, z, x + u(rng) * 0.8, y + u(rng) * 0.8, z + u(rng) * 6);
      }
      children.push_back(c);
    }
    Simulation sim = blanksim(compositeof("m", children));
    regrid(&sim, 1 + (int)(u(rng) * 60));
    Cell* m = sim.lattice;
    std::vector<Cell*> out((size_t)n);
    for (int trial = 0; trial < 3000; trial++) {
      double x, y, z;
      if (trial % 3 == 0) {
        // A corner or face of some child's box.
        const Cell* c = children[(size_t)(u(rng) * n)];
        if (c->xmin > c->xmax) continue;
        x = u(rng) < 0.5 ? c->xmin : c->xmax;
        y = u(rng) < 0.5 ? c->ymin : c->ymax;
        z = u(rng) < 0.5 ? c->zmin : c->zmax;
      } else {
        x = u(rng) * 4 - 2;
        y = u(rng) * 4 - 2;
        z = u(rng) * 40 - 2;
      }
      std::vector<Cell*> expected;
      for (Cell* c : children)
        if (x >= c->xmin && x <= c->xmax && y >= c->ymin && y <= c->ymax && z >= c->zmin &&
            z <= c->zmax)
          expected.push_back(c);
      uint32_t k = CellSubMap_nearby(m, x, y, z, out.data());
      ASSERT_EQ(std::vector<Cell*>(out.begin(), out.begin() + k), expected)
          << "round " << round << " point " << x << "," << y << "," << z;
    }
    Simulation_free(&sim);
  }
}

TEST(ProximityGrid, ParticleExactlyOnABoxBoundaryHasThatComponent) {
  Captured cap;
  Cell* a = cellof("a", "Drift", 1);
  Cell* b = cellof("b", "Drift", 1);
  Simulation sim = blanksim(compositeof("m", {a, b}));
  Simulation_initmachine(&sim, AffineFrame_identity());
  setbox(a, -1, -1, 0, 1, 1, 2);
  setbox(b, -0.5, -0.5, 2, 0.5, 0.5, 3);
  regrid(&sim, 7);
  Particle* p = addparticle(&sim, MuPlus, 1);
  struct Case {
    V3 r;
    std::vector<Cell*> expected;
  } cases[] = {
      {{0, 0, 2}, {a, b}},       {{1, 1, 0}, {a}},        {{0.5, 0.5, 3}, {b}},  // max corner
      {{1.0000001, 0, 1}, {}},   {{0, 0, 3.0000001}, {}}, {{-1, -1, 0}, {a}},
      {{0, 0, -1e-12}, {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.r.x << "," << k.r.y << "," << k.r.z);
    p->x = k.r.x;
    p->y = k.r.y;
    p->z = k.r.z;
    Particle_nearbythings(p);
    EXPECT_EQ(nearbyof(*p), k.expected);
  }
  // A NaN position has nothing nearby.
  p->x = NAN;
  Particle_nearbythings(p);
  EXPECT_EQ(p->nnearby, 0u);
  Simulation_free(&sim);
}

TEST(ProximityGrid, ACopiedTreeLooksUpItsOwnChildren) {
  Captured cap;
  Simulation_defaultdefault();  // installs the grid operations in the cell tree
  Cell* a = cellof("a", "Drift", 1);
  Cell* b = cellof("b", "Drift", 1);
  Cell* machine = compositeof("m", {a, b});
  setbox(a, 0, 0, 0, 1, 1, 1);
  setbox(b, 0, 0, 1, 1, 1, 2);
  setbox(machine, 0, 0, 0, 1, 1, 2);
  machine->submap = CellSubMap_make(machine, 10);
  Cell* copy = Cell_copyof(machine);
  Cell_freeref(machine, 0);
  ASSERT_NE(copy->submap, nullptr);
  Cell* out[2];
  ASSERT_EQ(CellSubMap_nearby(copy, 0.5, 0.5, 1.5, out), 1u);
  EXPECT_EQ(out[0], copy->children[1]);
  Cell_freeref(copy, 0);
}

TEST(NearbyThings, ParticlesWithoutABeamLineAreReported) {
  Captured cap;
  Particle p[2] = {Particle_new(MuPlus), Particle_new(MuPlus)};
  Particle_nearbythings(&p[0]);
  Particle_seg_nearbythings(p, p + 2);
  EXPECT_EQ(cap.all, (std::vector<std::string>{
                              "[WARNING] bl is NULL in Particle_nearbythings",
                              "[WARNING] bl is NULL in Particle_seg_nearbythings"}));
  EXPECT_EQ(p[0].nearby, nullptr);
}

// ---- adding particles ----

TEST(SimulationAddBeam, DivisorAllowedSpeciesIdsAndFrame) {
  Captured cap;
  Simulation sim = blanksim(compositeof("m", {cellof("d", "Drift", 1), cellof("e", "Drift", 1)}));
  sim.seed = 4242;
  sim.divisor = 3;
  sim.n_decays = 2;
  Simulation_initmachine(&sim, AffineFrame_identity());
  Beam src{};
  for (int i = 0; i < 10; i++) {
    Particle* p = Beam_addparticle(&src, i == 6 ? Electron : PiPlus, nullptr);
    p->x = i;
    p->y = 0.5;
    p->Vz = 1e8 + i;
    p->weight = 0.5 + i;
    p->tstart = i * 1e-10;
  }
  // Give the source particles a nearby list of their own to check the copies don't share it.
  Cell* d = sim.lattice->children[0];
  for (int i = 0; i < 10; i++) Particle_setnearby(&src.particles[i], &d, 1);
  AffineFrame frame{V3{10, 20, 30}, M3x3_Rz(M_PI / 2)};
  addbeamtosimulation(&src, &sim, frame);
  // Indices 0, 3, 6, 9 pass the divisor; 6 is an electron, which is not allowed.
  ASSERT_EQ(sim.beam.M, 3);
  EXPECT_EQ(sim.beam.m, 3);
  std::vector<int> fromindex;
  for (int k = 0; k < 3; k++) {
    const Particle& q = sim.beam.particles[k];
    int i = (int)std::lround(q.weight - 0.5);
    fromindex.push_back(i);
    SCOPED_TRACE(i);
    EXPECT_EQ(q.id, (uint32_t)k + 1);
    EXPECT_EQ(q.seed, drnda(4242, q.id));
    EXPECT_EQ(q.seq, 1u);  // the stream starts at 0; the first decay time took one draw
    EXPECT_LT(q.nextdecay, 1e20);
    EXPECT_EQ(q.beamline, sim.lattice);
    EXPECT_EQ(q.segment, 0);
    EXPECT_EQ(q.decaysleft, 2u);
    EXPECT_EQ(q.tstart, i * 1e-10);
    V3 r{(double)i, 0.5, 0}, V{0, 0, 1e8 + i};
    affine(frame, &r);
    affine_no_trans(frame, &V);
    EXPECT_EQ(q.x, r.x);
    EXPECT_EQ(q.y, r.y);
    EXPECT_EQ(q.z, r.z);
    EXPECT_EQ(q.Vz, V.z);
    EXPECT_NE(q.nearby, src.particles[i].nearby);
  }
  std::sort(fromindex.begin(), fromindex.end());
  EXPECT_EQ(fromindex, (std::vector<int>{0, 3, 9}));
  Beam_free(&src);
  Simulation_free(&sim);
}

TEST(SimulationAddParticle, PreparesTheParticleAndItsNearbyList) {
  Captured cap;
  Cell* a = cellof("a", "Drift", 1);
  Simulation sim = blanksim(compositeof("m", {a, cellof("b", "Drift", 1)}));
  sim.seed = 99;
  sim.n_decays = 3;
  Simulation_initmachine(&sim, AffineFrame_identity());
  setbox(a, -1, -1, -1, 1, 1, 1);
  regrid(&sim);
  Particle* p = addparticle(&sim, MuMinus, 7);
  EXPECT_EQ(p->id, 7u);
  EXPECT_EQ(p->seed, drnda(99, 7));
  EXPECT_EQ(p->segment, 0);
  EXPECT_EQ(p->decaysleft, 3u);
  EXPECT_EQ(nearbyof(*p), std::vector<Cell*>{a});
  Particle* s = addparticle(&sim, Proton, 8);
  EXPECT_EQ(s->decaysleft, 0u);  // stable
  // A particle added from another one gets its own copy of the nearby list.
  Particle* src = &sim.beam.particles[0];
  Particle tmpl = *src;
  Particle* c = addparticlecon(&sim, MuMinus, 9, &tmpl, 1);
  EXPECT_EQ(c->segment, 1);
  EXPECT_EQ(c->nnearby, 1u);
  EXPECT_NE(c->nearby, sim.beam.particles[0].nearby);
  Simulation_free(&sim);  // each list freed once (checked by the sanitizer build)
}

TEST(SimulationRemoveNonmachine, SegmentsBeyondARemovedChildMoveDown) {
  Captured cap;
  Cell* A = cellof("A", "Drift", 1);
  Cell* B = cellof("B", "Drift", 1);
  Cell* C = cellof("C", "Drift", 1);
  Cell* N1 = Cell_new(Nonmachine, "beam1");
  Cell* N2 = Cell_new(Nonmachine, "beam2");
  Simulation sim = blanksim(compositeof("m", {A, N1, B, N2, C}));
  setbox(A, 0, 0, 0, 1, 1, 1);
  setbox(B, 0, 0, 1, 1, 1, 2);
  setbox(C, 0, 0, 2, 1, 1, 3);
  Cell_bbreset(N1);
  Cell_bbreset(N2);
  regrid(&sim, 10);
  for (int seg = 0; seg < 5; seg++) addparticlecon(&sim, MuPlus, seg + 1, nullptr, seg);
  Simulation_removenonmachinecells(&sim);
  ASSERT_EQ(sim.lattice->n, 3);
  EXPECT_EQ(sim.lattice->children[0], A);
  EXPECT_EQ(sim.lattice->children[1], B);
  EXPECT_EQ(sim.lattice->children[2], C);
  const int expected[] = {0, 1, 1, 2, 2};
  for (int k = 0; k < 5; k++) {
    const Particle& p = sim.beam.particles[k];
    EXPECT_EQ(p.segment, expected[p.id - 1]) << "particle from segment " << p.id - 1;
  }
  // The grid still finds the right children.
  Cell* out[3];
  ASSERT_EQ(CellSubMap_nearby(sim.lattice, 0.5, 0.5, 2.5, out), 1u);
  EXPECT_EQ(out[0], C);
  ASSERT_EQ(CellSubMap_nearby(sim.lattice, 0.5, 0.5, 1.5, out), 1u);
  EXPECT_EQ(out[0], B);
  Simulation_free(&sim);
}

// ---- the whole construction from a lattice file ----

class SimulationNew : public ::testing::Test {
 protected:
  testsupport::WorkDir dir{"ordax_simnew"};
  void SetUp() override { Simulation_defaultdefault(); }
  void write(const char* name, const char* text) { testsupport::writelattice(dir.path(), name, text); }
  // Builds lattice `name` once per case {override, start of the warning (none: it builds)}: a
  // refused lattice has no machine and warns "[WARNING] " + start + `tail`.
  template <size_t N>
  void expectrefusals(const char* name, const char* const (&cases)[N][2], const char* tail) {
    for (const auto& [override, message] : cases) {
      SCOPED_TRACE(override);
      Captured cap;
      Simulation sim = Simulation_new(name, nullptr, override);
      EXPECT_EQ(sim.lattice == nullptr, message != nullptr);
      if (message) {
        EXPECT_TRUE(cap.has(std::string("[WARNING] ") + message + tail));
      }
      Simulation_free(&sim);
    }
  }
};

const char* twodrifts =
    "{Drift Length(m)}\n"
    "D1 1.2\n"
    "D2 0.7\n"
    "n_decays=4\n"
    "seedbase=777\n"
    "twiss_interval=0.5\n"
    "line: D1,D2;\n";

TEST_F(SimulationNew, BuildsTheMachineWithParametersSeedAndLoggers) {
  Captured cap;
  write("plain", twodrifts);
  Genome g = Genome_new();
  Simulation sim = Simulation_new("plain", &g, "ordax");
  ASSERT_NE(sim.lattice, nullptr);
  EXPECT_EQ(sim.n_decays, 4);
  EXPECT_EQ(sim.seed, 777u);
  EXPECT_TRUE(cap.has("Using seed 777"));
  EXPECT_FALSE(sim.paramoverridden);
  // Loggers at 0, 0.5, 1.0 before D1 and at 1.5 before D2.
  ASSERT_EQ(sim.lattice->n, 6);
  EXPECT_STREQ(sim.lattice->children[3]->name, "D1");
  EXPECT_STREQ(sim.lattice->children[5]->name, "D2");
  EXPECT_EQ(sim.lattice->children[5]->s, 1.2);
  EXPECT_TRUE(cap.has("Determining nearby components..."));
  EXPECT_TRUE(cap.has("Normalising beam..."));
  EXPECT_EQ(sim.t, 1e20);  // no particles
  EXPECT_EQ(sim.t0, 1e20);
  Simulation_free(&sim);
  Genome_free(g);
}

TEST_F(SimulationNew, OverridesTurnTheCheckOffAndReachTheirTargets) {
  Captured cap;
  write("plain", twodrifts);
  Simulation sim = Simulation_new(
      "plain", nullptr, "ordax -param:t_max=5e-9 -param:D2.Bore=0.25 -param:D9.Bore=0.1");
  ASSERT_NE(sim.lattice, nullptr);
  EXPECT_EQ(sim.t_max, 5e-9);
  EXPECT_TRUE(sim.paramoverridden);
  const Cell* d2 = Cell_find(sim.lattice, "d2");
  ASSERT_NE(d2, nullptr);
  EXPECT_EQ(Cell_attrib(d2, "Bore", 0), 0.25);
  for (int i = 0; i < sim.lattice->n; i++) {
    if (sim.lattice->children[i] == d2) continue;
    EXPECT_FALSE(Cell_hasattrib(sim.lattice->children[i], "Bore"));
  }
  Simulation_free(&sim);
}

TEST_F(SimulationNew, SeedStepsWithTheRecheckRun) {
  Captured cap;
  write("pitched", "{Drift Length(m)}\nD1 1\nseedbase=1000\nseedpitch=7\nline: D1;\n");
  Simulation sim = Simulation_new("pitched", nullptr, "", 3);
  EXPECT_EQ(sim.seed, 1021u);
  EXPECT_TRUE(cap.has("Using seed 1000+7*3 = 1021"));
  Simulation_free(&sim);
  sim = Simulation_new("pitched", nullptr, "");
  EXPECT_EQ(sim.seed, 1000u);
  Simulation_free(&sim);
}

TEST_F(SimulationNew, NamedLatticeAndMissingLattice) {
  Captured cap;
  write("solenoidsonly", "{Drift Length(m)}\nD1 1\nline: D1,D1;\n");
  Simulation sim = Simulation_new("solenoidsonly", nullptr, "");
  ASSERT_NE(sim.lattice, nullptr);
  EXPECT_EQ(sim.t_max, 2e-7);
  for (int i = 0; i < sim.lattice->n; i++) EXPECT_EQ(Cell_attrib(sim.lattice->children[i], "Bore", 0), 0.5);
  Simulation_free(&sim);
  Simulation none = Simulation_new("nosuchlattice", nullptr, "");
  EXPECT_EQ(none.lattice, nullptr);
  EXPECT_GE(cap.countcontaining("nosuchlattice"), 1);
  Simulation_free(&none);
}

// A time step that would never end the run is refused with the lattice, from the lattice
// file or from -param:, with one message; a sound one builds.
TEST_F(SimulationNew, TimeStepThatCannotEndTheRunIsRefused) {
  struct Case {
    const char* file;      // the parameter line in the lattice
    const char* override;  // the command line
    const char* message;   // none: the lattice builds
  };
  const Case cases[] = {
      {"dt=0", "", "Lattice steps cannot be run: its time step dt = 0 s is not a positive number"},
      {"dt=-1e-11", "", "Lattice steps cannot be run: its time step dt = -1e-11 s is not a "
                        "positive number"},
      {"dt=1e-11", "ordax -param:dt=nan", "Lattice steps cannot be run: its time step dt = nan s "
                                          "is not a positive number"},
      {"dt=1e-11", "ordax -param:dt=inf", "Lattice steps cannot be run: its time step dt = inf "
                                          "s is not a positive number"},
      {"dt=1e-16", "", "Lattice steps cannot be run: its time step dt = 1e-16 s needs too many "
                       "steps"},
      {"t_max=1e-12\ndt=1e-21", "", "Lattice steps cannot be run: its time step dt = 1e-21 s needs "
                                   "too many steps"},
      {"t_max=1e-12\ndt=1e-19", "", nullptr},
      {"dt=1e-13", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.override);
    Captured cap;
    write("steps", (std::string("{Drift Length(m)}\nD1 1\n") + c.file + "\nline: D1;\n").c_str());
    Simulation sim = Simulation_new("steps", nullptr, c.override);
    EXPECT_EQ(sim.lattice == nullptr, c.message != nullptr);
    if (c.message) {
      EXPECT_TRUE(cap.has(c.message));
    }
    Simulation_free(&sim);
  }
}

// A radius, length or bore that is not a finite number of zero or more refuses the lattice,
// with a warning naming the cell and attribute; zero is a size. Then the user's quit (simstop
// 2) stops the readers of lattices, beam files and results at once and quietly.
TEST_F(SimulationNew, UnusableSizesAndTheQuitStopTheBuild) {
  const char* const cases[][2] = {  // override, the start of the message (none: builds)
      {"", nullptr},
      {"-param:F1.radius=0", nullptr},
      {"-param:F1.radius=nan", "Cell 'F1': radius = nan"},
      {"-param:S1.Radius=-0.1", "Cell 'S1': Radius = -0.1"},
      {"-param:A1.Length=inf", "Cell 'A1': Length = inf"},
      {"-param:global_bore=nan", "Lattice sizes: global_bore = nan"},
  };
  write("sizes", "{Solenoid(S) Radius(cm) Field(T) Length(cm)}\nS1 25 2 50\n"
                 "{Cylinder-blockage(A) radius(cm) Length(cm)}\nA1 5 1\n"
                 "{Finish-aperture(F) radius(cm)}\nF1 10\nline: S1,A1,F1;\n");
  expectrefusals("sizes", cases,
                 " is not a size (a finite number of zero or more); the lattice cannot be run");
  std::filesystem::create_directory_symlink(std::filesystem::path(ORDAX_SOURCE_DIR) / "datafiles",
                                           dir.path() / "datafiles");
  testsupport::writefile(dir.path() / "results.dat", "a=1;\n1.0 (1.0 Mpts) [v4.47_dev] <d> \n");
  for (int quit : {0, 2}) {
    Captured cap;
    simstop = quit;
    Simulation sim = Simulation_new("sizes", nullptr, "");
    Beam beam = Beam_apertureCSV("example_aperture.csv", PIDName);
    LSet results = Results_load("results.dat", nullptr);
    simstop = 0;
    for (int loaded : {sim.lattice ? 1 : 0, beam.M, (int)results.count})
      EXPECT_EQ(loaded > 0, quit == 0) << quit;
    EXPECT_FALSE(quit && cap.anywarning());
    Simulation_free(&sim);
    Beam_free(&beam);
    Results_free(results);
  }
}

// A signed attribute that a NaN (or, for corners and placements, an infinity) would silently
// switch off refuses the lattice with a warning; negative values keep their meaning.
TEST_F(SimulationNew, NonFiniteSignedAttributesAreRefused) {
  const char* const cases[][2] = {  // override, the start of the message (none: builds)
      {"-param:A1.AbsorptionLength=-1", nullptr},
      {"-param:R1.x1=-0.5", nullptr},
      {"-param:R1.minenergy=inf", nullptr},
      {"-param:A1.AbsorptionLength=nan", "Cell 'A1': AbsorptionLength = nan"},
      {"-param:A1.AbsorptionLength=inf", "Cell 'A1': AbsorptionLength = inf"},
      {"-param:R1.y2=-inf", "Cell 'R1': y2 = -inf"},
      {"-param:R1.x1=nan", "Cell 'R1': x1 = nan"},
      {"-param:R1.minenergy=nan", "Cell 'R1': minenergy = nan"},
      {"-param:S1.Field=nan", "Cell 'S1': Field = nan"},
      {"-param:S1.rotXY=inf", "Cell 'S1': rotXY = inf"},
  };
  write("signed", "{Solenoid(S) Radius(cm) Field(T) Length(cm) rotXY}\nS1 25 2 50 0\n"
                  "{Cylinder-blockage(A) radius(cm) Length(cm) AbsorptionLength}\nA1 5 1 0.5\n"
                  "{Rectangular-aperture(R) x1 y1 x2 y2 minenergy}\nR1 -0.1 -0.1 0.1 0.1 0\n"
                  "{Finish-aperture(F) radius(cm)}\nF1 10\nline: S1,A1,R1,F1;\n");
  expectrefusals("signed", cases, " is not a finite number; the lattice cannot be run");
}

TEST_F(SimulationNew, BeamWeightsOrChargeAreNormalised) {
  const char* beamline =
      "{pencil-beam(P) species minenergy(MeV) maxenergy(MeV) energystep(MeV)}\n"
      "P1 \"mu-\" 100 300 50\n"
      "{Drift(D) Length(cm)}\n"
      "D1 50\n"
      "line: P1,D1;\n";
  for (bool charged : {false, true}) {
    SCOPED_TRACE(charged);
    Captured cap;
    std::string text = beamline;
    if (charged) text = "totalcharge=-2e-12\n" + text;
    testsupport::Machine machine(text);
    Simulation& sim = machine.sim;
    ASSERT_NE(sim.lattice, nullptr);
    ASSERT_GT(sim.beam.M, 1);
    double weights = 0, q = 0;
    for (int i = 0; i < sim.beam.M; i++) {
      weights += sim.beam.particles[i].weight;
      q += charge[sim.beam.particles[i].species] * sim.beam.particles[i].weight;
      EXPECT_EQ(sim.beam.particles[i].beamline, sim.lattice);
      EXPECT_EQ(sim.beam.particles[i].segment, 0);  // the beam definition left the machine
    }
    ASSERT_EQ(sim.lattice->n, 1);
    if (charged) {
      EXPECT_NEAR(q, -2e-12, 1e-24);
      EXPECT_TRUE(cap.has("Normalising beam charge to -2e-12 C..."));
    } else {
      EXPECT_NEAR(weights, 1.0, 1e-15);
      EXPECT_TRUE(cap.has("Normalising beam..."));
    }
    EXPECT_EQ(sim.t, Beam_mintstart(&sim.beam));
    EXPECT_EQ(sim.t0, sim.t);
    EXPECT_LT(sim.t, 1e20);
  }
}

TEST_F(SimulationNew, LatticeOfASingleUnknownComponent) {
  Captured cap;
  testsupport::Machine machine("{Frobnicator Length(m)}\nF1 2\n");
  EXPECT_TRUE(machine.built());  // the parser wraps a component machine in a composite
  EXPECT_TRUE(cap.has("[WARNING] Unknown cell type: Frobnicator"));
}

}  // namespace
