#include "sim/components/rfcavity.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/report.h"
#include "lattice/cellclass.h"
#include "lattice/latticefiles.h"
#include "sim/components/registry.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "sim/species.h"
#include "sim/stepping.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
const double pi = std::numbers::pi;
const double MeV = 1.602176462e-13;               // J
const double MeVc = 1.602176462e-13 / c_light;    // kg m/s
const double mmu = E0[MuPlus] * inv_c_sq;         // kg
const double omega201 = 2 * pi * 201.25e6;        // rad/s

// A machine built from lattice text as a run builds it, in a scratch working directory, with
// every message captured.
struct Built {
  testsupport::AllMessages log;
  testsupport::WorkDir dir{"ordax_rf"};
  Simulation sim{};
  explicit Built(const std::string& text) {
    fs::create_directories(dir.path() / "datafiles");
    testsupport::writelattice(dir.path(), "rf", text);
    sim = Simulation_new("rf", nullptr, "-param:seedbase=7");
  }
  ~Built() {
    Simulation_free(&sim);
    lattice_exists(LATTICE_EXISTS_RESET);
  }
  bool said(const char* part) const { return log.anycontaining(part); }
  const RFCavity* cavity(const char* name) const {
    return reinterpret_cast<const RFCavity*>(Cell_find(sim.lattice, name)->rtd);
  }
  void run() {
    while (sim.t < sim.t_max && sim.beam.m > 0) Simulation_advance(&sim, 1, StepCollide, 1);
  }
};

// The real class table with the RF row's synchronisation replaced while it lives.
struct RFSyncAs {
  std::vector<CellClass> rows;
  explicit RFSyncAs(CellSynchroniseFn f) {
    Simulation_defaultdefault();  // installs the real table first, once
    rows.assign(cellclasses, cellclasses + NCELLCLASSES);
    for (CellClass& row : rows)
      if (std::string(row.key) == "RF") row.synchronise = f;
    cellclass_settable(rows.data(), NCELLCLASSES);
  }
  ~RFSyncAs() { registry_install(); }
};
int byarclength(Simulation* sim) { return syncrfphases_arclength(sim->lattice, false); }

const char* const header = "t_max=40ns\ndecays_off=1\n"
                           "{Synchronous-particle(SP) species Energy(MeV) t_start(ns)}\n"
                           "{pencil-beam(P) species minenergy(MeV) maxenergy(MeV)}\n"
                           "{Drift(D) Length(cm) Bore(cm)}\n"
                           "{RF(C) Voltage(MV) Frequency(MHz) Phase}\n";

RFCavity cavityat0(double volts, double phase) {
  return RFCavity{0, 0, 0, 0, 0, 1, volts, omega201, phase, 0.3};
}

Particle muon(double ke, V3 at) {
  Particle p = Particle_new(MuPlus);
  p.x = at.x, p.y = at.y, p.z = at.z;
  p.Vz = V_from_ke(ke, E0[MuPlus]);
  return p;
}

// ---- the kick ----

// Near-axis fields of a short gap with soft (Gaussian, sigma) ends: E_z = V·g(z)·cos(ωt + φ),
// E_r = −(r/2)∂E_z/∂z, B_θ = (r/2c²)∂E_z/∂t, integrated with the Lorentz force by RK4 from
// 10 sigma before to 10 sigma after the gap. Returns the momentum change (kg m/s).
V3 integratedgap(double volts, double phase, double ke, double r, double sigma) {
  const double q = charge[MuPlus], m = mmu;
  struct S {
    V3 x, p;
  };
  auto deriv = [&](const S& s, double t) {
    const double g = std::exp(-s.x.z * s.x.z / (2 * sigma * sigma)) / (sigma * std::sqrt(2 * pi));
    const double c = std::cos(omega201 * t + phase), sn = std::sin(omega201 * t + phase);
    const double Ez = volts * g * c, dEzdz = -s.x.z / (sigma * sigma) * volts * g * c;
    const double dEzdt = -omega201 * volts * g * sn;
    const V3 E{-s.x.x / 2 * dEzdz, -s.x.y / 2 * dEzdz, Ez};
    const V3 B{-s.x.y / 2 * inv_c_sq * dEzdt, s.x.x / 2 * inv_c_sq * dEzdt, 0};
    const double gamma = std::sqrt(1 + (s.p * s.p) / (m * m * c_sq));
    const V3 v = s.p / (gamma * m);
    return S{v, q * (E + (v ^ B))};
  };
  const double v0 = v_from_ke(ke, E0[MuPlus]);
  const double p0 = m * V_from_ke(ke, E0[MuPlus]);
  S s{V3{r, 0, -10 * sigma}, V3{0, 0, p0}};
  const int n = 4000;
  double t = -10 * sigma / v0;
  const double h = 20 * sigma / v0 / n;
  for (int i = 0; i < n; i++, t += h) {
    S k1 = deriv(s, t);
    S k2 = deriv(S{s.x + h / 2 * k1.x, s.p + h / 2 * k1.p}, t + h / 2);
    S k3 = deriv(S{s.x + h / 2 * k2.x, s.p + h / 2 * k2.p}, t + h / 2);
    S k4 = deriv(S{s.x + h * k3.x, s.p + h * k3.p}, t + h);
    s.x += h / 6 * (k1.x + 2 * k2.x + 2 * k3.x + k4.x);
    s.p += h / 6 * (k1.p + 2 * k2.p + 2 * k3.p + k4.p);
  }
  return s.p - V3{0, 0, p0};
}

TEST(RFCavity, ThinGapKickMatchesIntegratedNearAxisGapFields) {
  struct Case {
    double MV, phase, keMeV, r;
  } cases[] = {{10, pi / 2, 200, 0.05}, {0.001, pi / 3, 200, 0.02}, {0.001, -pi / 4, 50, 0.03},
               {0.001, 2.5, 1000, 0.01}, {0.001, 0, 200, 0.05}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.phase);
    const V3 ref = integratedgap(k.MV * 1e6, k.phase, k.keMeV * MeV, k.r, 0.005);
    const RFCavity rf = cavityat0(k.MV * 1e6, k.phase);
    Particle p = muon(k.keMeV * MeV, V3{k.r, 0, 0});
    const double Vz0 = p.Vz;
    ASSERT_EQ(RFCavity_kick(&rf, k.phase, 0, &p), 1);
    const V3 kick{mmu * p.Vx, mmu * p.Vy, mmu * (p.Vz - Vz0)};
    // Scales: the on-crest axial kick qV/v and the transverse kick at sin φ = 1,
    // qVωr/(2c²β²γ²). The thin gap leaves out what is of second order in V (a transverse
    // impulse that grows as the gap gets shorter), hence the small voltages off φ = π/2.
    const double axial = charge[MuPlus] * k.MV * 1e6 / v_from_ke(k.keMeV * MeV, E0[MuPlus]);
    const double g = k.keMeV * MeV / E0[MuPlus] + 1;
    const double transverse =
        charge[MuPlus] * k.MV * 1e6 * omega201 * k.r / (2 * c_sq) / (g * g - 1);
    EXPECT_NEAR(kick.x, ref.x, 0.01 * transverse) << kick.x / MeVc << " " << ref.x / MeVc;
    EXPECT_NEAR(kick.y, 0, 1e-12 * transverse);
    EXPECT_NEAR(kick.z, ref.z, 0.002 * axial);
  }
  // The case of the record: 200 MeV mu+, 10 MV, 5 cm, φ = π/2 gets −0.143 MeV/c, not the
  // +1.053 MeV/c of the magnetic field alone.
  EXPECT_NEAR(integratedgap(1e7, pi / 2, 200 * MeV, 0.05, 0.005).x / MeVc, -0.143, 0.001);
}

TEST(RFCavity, CrossingOnCrestZeroVoltageAndStopping) {
  // A 2 cm step of a muon on the axis through the gap at 1 m.
  registry_install();
  Cell* c = testsupport::cellwith("C1", "RF", {{"Voltage", 1e7}, {"Frequency", 201.25e6}});
  c->axis = c->entrance = AffineFrame_identity();
  c->axis.origin.z = 1;
  init_funcpointers(c);
  ASSERT_EQ(Cell_construct(c, nullptr), 1);
  RFCavity* rf = reinterpret_cast<RFCavity*>(c->rtd);
  EXPECT_EQ(rf->radius, 0.3);  // no "Bore", no "Radius"
  struct Case {
    double keMeV, volts, phase;
    double dpz, dke;  // MeV/c, MeV; NaN: stopped
  } cases[] = {{200, 1e7, 0, 10.65695, 10.0215}, {200, 0, 0, 0, 0}, {1, 1e7, pi, NAN, NAN}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.keMeV);
    rf->voltage = k.volts;
    const double v = v_from_ke(k.keMeV * MeV, E0[MuPlus]);
    rf->phase = k.phase - rf->omega * 0.01 / v;
    Particle a = muon(k.keMeV * MeV, V3{0, 0, 0.99});
    Particle b = a;
    const double t1 = 0.02 / v;
    advanceparticle(&b, 0, t1);
    Particle out;
    double tout;
    Particle_setnearby(&a, &c, 1);
    collideparticle(&a, 0, t1, 0, nullptr, &out, &tout, 0);
    EXPECT_NEAR(tout, 0.01 / v, 1e-20);  // the geometric crossing time
    if (std::isnan(k.dpz)) {
      EXPECT_EQ(out.state, Stopped);
      EXPECT_EQ(out.Vz, a.Vz);
      EXPECT_EQ(c->lostweight, 1);  // charged to the cavity
    } else {
      EXPECT_EQ(out.state, Active);
      EXPECT_NEAR(mmu * (out.Vz - a.Vz) / MeVc, k.dpz, 1e-5);
      EXPECT_NEAR((Particle_ke(&out) - Particle_ke(&a)) / MeV, k.dke, 1e-4);
      EXPECT_EQ(out.Vx, 0);
      EXPECT_EQ(out.Vy, 0);
    }
    if (out.state == Active) Particle_free(&a);  // out shares a's nearby list
  }
  Cell_freeref(c, 0);
}

TEST(RFCavity, NonFiniteOrReversingKickLeavesTheParticleUnkicked) {
  const RFCavity rf = cavityat0(1e7, 0);
  Particle still = muon(0, V3{0, 0, 0});  // vz = 0: K is infinite
  Particle nan = muon(100 * MeV, V3{0, 0, 0});
  nan.Vx = NAN;
  Particle slow = muon(1 * MeV, V3{0, 0, 0});
  const RFCavity against = cavityat0(1e7, pi);
  EXPECT_EQ(RFCavity_kick(&rf, 0, 0, &still), 0);
  EXPECT_EQ(RFCavity_kick(&rf, 0, 0, &nan), 0);
  EXPECT_EQ(RFCavity_kick(&against, pi, 0, &slow), 0);
}

// ---- synchronisation ----

TEST(RFSync, FieldFreeLinePhaseIsTheArrivalTimeByTrackingAndByArcLength) {
  // Reference mu+ of 200 MeV released at t_start, cavity 1 m on: 3.554777 ns later.
  for (double tstart : {0.0, -2.0}) {
    SCOPED_TRACE(tstart);
    const std::string text = std::string(header) + "SP1 \"mu+\" 200 " + std::to_string(tstart) +
                             "\nD1 100 0\nC1 0 201.25 0.3\nline: SP1,D1,C1,D1;\n";
    const double expected = 0.3 - omega201 * (tstart * 1e-9 + 3.554777e-9);
    double tracked, arc;
    {
      Built b(text);
      ASSERT_TRUE(b.sim.lattice);
      tracked = b.cavity("C1")->phase;
    }
    {
      RFSyncAs table(byarclength);
      Built b(text);
      ASSERT_TRUE(b.sim.lattice);
      arc = b.cavity("C1")->phase;
      EXPECT_EQ(arc, Cell_attrib(Cell_find(b.sim.lattice, "C1"), "Phase", 0));
    }
    EXPECT_NEAR(tracked, expected, 1e-6);
    EXPECT_NEAR(tracked, arc, 1e-9);
  }
}

TEST(RFSync, FourSynchronisedCavitiesTakeA200MeVMuonTo240MeV) {
  const std::string text = std::string(header) +
                           "SP1 \"mu+\" 200 0\nP1 \"mu+\" 200 200\nD1 100 0\n"
                           "C1 10 201.25 0\nline: SP1,P1,D1,C1,D1,C1,D1,C1,D1,C1,D1;\n";
  {
    Built b(text);
    ASSERT_TRUE(b.sim.lattice);
    b.run();
    ASSERT_EQ(b.sim.beam.M, 1);
    EXPECT_NEAR(Particle_ke(&b.sim.beam.particles[0]) / MeV, 240.07, 0.01);
  }
  RFSyncAs none(nullptr);
  Built b(text);
  b.run();
  EXPECT_GT(std::fabs(Particle_ke(&b.sim.beam.particles[0]) / MeV - 240.07), 1);
}

TEST(RFSync, TwoGapsInOneStepEachGetTheirOwnArrivalTime) {
  // 2 mm apart (a step is about 3 mm): each phase from its own crossing, the second after the
  // first one's 10 MeV on crest.
  Built b(std::string(header) +
          "SP1 \"mu+\" 200 0\nD1 100 0\nD2 0.2 0\nC1 10 201.25 0\nC2 10 201.25 0\n"
          "line: SP1,D1,C1,D2,C2,D1;\n");
  ASSERT_TRUE(b.sim.lattice);
  const double t1 = 1 / v_from_ke(200 * MeV, E0[MuPlus]);
  const double ke1 = ke_from_p(mmu * V_from_ke(200 * MeV, E0[MuPlus]) + 10.65695 * MeVc, E0[MuPlus]);
  const double t2 = t1 + 0.002 / v_from_ke(ke1, E0[MuPlus]);
  EXPECT_NEAR(b.cavity("C1")->phase, -omega201 * t1, 1e-6);
  EXPECT_NEAR(b.cavity("C2")->phase, -omega201 * t2, 1e-6);
  EXPECT_FALSE(b.said("falling back"));
}

TEST(RFSync, UnreachableCavitiesEndTheTrackingAndFallBack) {
  struct Case {
    const char* name;
    const char* body;
    std::vector<std::string> said;
    double c1phase;  // NaN: not checked
  } cases[] = {
      // A cavity upstream of the reference is not waited for and keeps its lattice phase.
      {"upstream", "SP1 \"mu+\" 200 0\nD1 100 0\nC1 0 201.25 0.3\nC2 0 201.25 0\nline: C1,SP1,D1,C2;",
       {"Tracking central particle to synchronise RF phases... Done"}, 0.3},
      // A cavity 2 m off the path is never near the particle, which leaves the machine.
      {"off the path", "{RF(X) Voltage(MV) Frequency(MHz) Phase X(m)}\nSP1 \"mu+\" 200 0\n"
       "D1 100 0\nX1 0 201.25 0.3 2\nline: SP1,D1,X1,D1;",
       {"did not reach X1 (passed the end of the machine"}, NAN},
      // A reference of zero energy never moves: the step limit, then the arc length stops.
      {"zero energy", "SP1 \"mu+\" 0 0\nD1 100 0\nC1 0 201.25 0.3\nline: SP1,D1,C1;",
       {"did not reach C1 (step limit",
        "syncrfphases_arclength: the synchronous particle stops at SP1"},
       0.3},
      // A bend in the line takes the reference out of a 1 cm bore.
      {"bore", "{Drift(B) Length(cm) Bore(cm) angle}\nSP1 \"mu+\" 200 0\nD1 100 0\n"
       "B1 100 1 0.3\nC1 0 201.25 0.3\nline: SP1,D1,B1,C1;",
       {"syncrfphases_track lost the central particle after"}, NAN},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Built b(std::string(header) + k.body + "\n");
    ASSERT_TRUE(b.sim.lattice);
    for (const std::string& m : k.said) EXPECT_TRUE(b.said(m.c_str())) << m;
    if (!std::isnan(k.c1phase)) {
      EXPECT_EQ(b.cavity("C1")->phase, k.c1phase);
    }
  }
}

TEST(RFSync, LatticeWithCavitiesAndNoReferenceFailsOnlyItsOwnConstruction) {
  Built b(std::string(header) + "D1 100 0\nC1 10 201.25 0\nline: D1,C1;\n");
  EXPECT_EQ(b.sim.lattice, nullptr);
  EXPECT_TRUE(b.said("Could not find synchronous particle!\n"
                     "(It may have been defined but not included in the beamline)"));
  for (const std::string& m : b.log.all) EXPECT_FALSE(report_isfatal(m.c_str())) << m;
}

TEST(RFSync, LogRecordsTheReferenceAndEachCavityHit) {
  Simulation_defaultdefault();
  Simulation_default.rfsynclog = true;
  std::string log;
  {
    Built b(std::string(header) + "SP1 \"mu+\" 200 0\nD1 100 0\nC1 0 201.25 0\nline: SP1,D1,C1,D1;\n");
    log = testsupport::readfile("rfsync.log");
  }
  Simulation_default.rfsynclog = false;
  for (const char* line :
       {"\nsyncrfphases_track\nParticle species: mu+\nInitial t:0 z:0 k.e:3.20435e-11J=2e+08eV "
        "gammav:8.13804e+08 (0,0,813804388)\nt=0,x=0,y=0,z=0 0:SP1 []\n",
        "\nC1 hit t=3.55477727e-09 in step [3.55e-09,3.56e-09] t-t0=4.7772714e-12 (0,0,1)\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
  }
  // The synchronous particle's own line (its constructor) comes before the tracking section.
  EXPECT_EQ(log.rfind("conparticle - SpeciesOrd=1(mu+), Energy=3.20435e-11J(2e+08eV)\n"
                      "\n---------- Started ",
                      0),
            0u)
      << log;
}

TEST(RFSync, BundledCheckLatticeFinishesOnlyWhenSynchronised) {
  const std::string text =
      testsupport::readfile(std::string(ORDAX_SOURCE_DIR) + "/lattices/_rf.txt");
  {
    Built b(text);
    ASSERT_TRUE(b.sim.lattice);
    b.run();
    const double score = Simulation_score(&b.sim);
    EXPECT_GT(score, 99.0);  // muons that do not decay within 5 m: 99.7 %
    // The weights are normalised to a sum of 1, so with no decay their sum may round a few
    // ulps above it.
    EXPECT_LE(score, 100.0 * (1 + 1e-12));
  }
  RFSyncAs none(nullptr);
  Built b(text);
  b.run();
  EXPECT_LT(Simulation_score(&b.sim), 1.0);
}

}  // namespace
