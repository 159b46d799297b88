#include "sim/stepping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/random.h"
#include "lattice/cell.h"
#include "lattice/cellclass.h"
#include "base/report.h"
#include "sim/components/aperture.h"
#include "sim/material.h"
#include "sim/pusher.h"
#include "sim/simulation.h"
#include "tests/support/support.h"

namespace {

using testsupport::cellof;
using testsupport::setbox;

const double MeV = 1.602176462e-13;  // J

using Captured = testsupport::AllMessages;

// The run options of the machines built below (machineof).
SimOptions options;

// Restores the run options a test changes.
struct SavedState {
  SimOptions options0 = options;
  ~SavedState() { options = options0; }
};

// ---- test-only components ----

struct UniformField {
  V3 E, B;
};
EB uniformfield(const void* data, double, double, double, double) {
  const UniformField* f = static_cast<const UniformField*>(data);
  return EB{f->E, f->B};
}

// Reports an event at t0 + frac·(t1 - t0): the particle pushed to the end of the step, with
// the given state and x set to `marker` (so that the test can tell who won).
struct EventComponent {
  double frac;
  int32_t state;
  double marker;
};
int eventcd(const void* data, const Particle*, const Particle* after, double t0, double t1,
            unsigned, const ScatterData*, const Simulation*, Particle* out, double* tout) {
  const EventComponent* e = static_cast<const EventComponent*>(data);
  *out = *after;
  out->state = (ParticleState)e->state;
  out->x = e->marker;
  *tout = e->frac >= 1e90 ? e->frac : t0 + e->frac * (t1 - t0);
  return 1;
}
// An ill-behaved component: an Active result that does not move time forward.
int stallcd(const void*, const Particle* before, const Particle*, double t0, double, unsigned,
            const ScatterData*, const Simulation*, Particle* out, double* tout) {
  *out = *before;
  *tout = t0;
  return 1;
}
int alwaysinside(const void*, double, double, double, double) {
  return 1;
}

// A machine of drifts along z, placed and constructed (no particles yet).
Simulation machineof(std::vector<Cell*> children) {
  Simulation_defaultdefault(options);
  Simulation sim = Simulation_default;
  sim.seed = 12345;
  sim.lattice = Cell_new(Composite, "line");
  for (Cell* c : children) Cell_add(sim.lattice, c, -1);
  Captured quiet;
  Simulation_initmachine(&sim, AffineFrame_identity());
  return sim;
}

// After boxes and slots were set by hand: machine box, grid and every nearby list.
void regrid(Simulation* sim) {
  Captured quiet;
  testsupport::regrid(sim, sim->gridresolution);
  Beam_nearbythings(&sim->beam);
}

template <class T>
void bind(Cell* c, const T& data) {
  static_assert(sizeof(T) <= RTD_SIZE);
  memcpy(c->rtd, &data, sizeof(T));
}

Particle* addmoving(Simulation* sim, ParticleSpecies s, uint32_t id, V3 r, V3 pmev) {
  Particle* p = addparticlecon(sim, s, id, nullptr, 0);
  double k = MeV / c_light / speciesmass[s];
  p->x = r.x;
  p->y = r.y;
  p->z = r.z;
  p->Vx = pmev.x * k;
  p->Vy = pmev.y * k;
  p->Vz = pmev.z * k;
  return p;
}

// Shares written to the load-balance log for one step: the number of threads it used.
int threadsused(Simulation* sim, int multithread) {
  const testsupport::Bytes log = testsupport::writtenby([&](FILE* f) {
    sim->loadbalancelog = f;
    Simulation_advance(sim, 0, StepCollide, multithread);
    sim->loadbalancelog = nullptr;
  });
  return (int)std::count(log.begin(), std::find(log.begin(), log.end(), '\n'), '\t');
}

// ---- tests ----

TEST(Stepping, EmptyBeamOnlyAdvancesTheClock) {
  Simulation sim = machineof({cellof("d", "Drift", 1)});
  sim.t = 2e-9;
  Simulation_advance(&sim, 1, StepCollide, 1);
  EXPECT_EQ(sim.steps, 1);
  EXPECT_EQ(sim.t, 2e-9 + 1e-11);
  EXPECT_EQ(sim.Mpts, 0);
  Simulation_free(&sim);
}

TEST(Stepping, ThreadCountFollowsParticlesPerExtraThread) {
  SavedState saved;
  options.threads = 4;
  options.particlesperthread = 100;
  options.fixedthreads = true;  // the count the settings give, not the faster of one and all
  struct Case {
    int particles, multithread, expected;
  } cases[] = {{1000, 1, 4},
               {301, 1, 4},
               {300, 1, 3},
               {STEP_PARALLEL_MIN, 1, (STEP_PARALLEL_MIN - 1) / 100 + 1},
               {STEP_PARALLEL_MIN - 1, 1, 1},  // too few to pay for a hand-off
               {1000, 0, 1},
               {1, 1, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.particles << " particles, multithread " << k.multithread);
    Simulation sim = machineof({cellof("d", "Drift", 100)});
    for (int i = 0; i < k.particles; i++) addmoving(&sim, Proton, i + 1, {0, 0, 0}, {0, 0, 100});
    EXPECT_EQ(threadsused(&sim, k.multithread), k.expected);
    Simulation_free(&sim);
  }
}

TEST(Stepping, ThreadOverheadLogCyclesTheThreadCount) {
  SavedState saved;
  options.threads = 3;
  options.particlesperthread = 1000;  // would give one thread
  FILE* f = tmpfile();
  options.threadoverheadlog = f;
  Simulation sim = machineof({cellof("d", "Drift", 100)});
  for (int i = 0; i < 50; i++) addmoving(&sim, Proton, i + 1, {0, 0, 0}, {0, 0, 100});
  for (int s = 0; s < 4; s++) Simulation_advance(&sim, 0, StepCollide, 1);
  sim.threadoverheadlog = nullptr;
  rewind(f);
  char line[256];
  int n[4], w[4];
  double t[4];
  ASSERT_TRUE(fgets(line, sizeof line, f));
  ASSERT_EQ(sscanf(line, "%d,%d,%lg,%d,%d,%lg,%d,%d,%lg", &n[0], &w[0], &t[0], &n[1], &w[1], &t[1],
                   &n[2], &w[2], &t[2]),
            9);
  EXPECT_EQ(n[0], 1);
  EXPECT_EQ(n[1], 2);
  EXPECT_EQ(n[2], 3);
  EXPECT_EQ(w[0], 50 + 57 / 8);
  ASSERT_TRUE(fgets(line, sizeof line, f));
  ASSERT_EQ(sscanf(line, "%d,%d,%lg", &n[3], &w[3], &t[3]), 3);
  EXPECT_EQ(n[3], 1);
  fclose(f);
  Simulation_free(&sim);
}

TEST(Stepping, WorkCountsReleasedParticlesPlusAnEighth) {
  Simulation sim = machineof({cellof("d", "Drift", 100)});
  for (int i = 0; i < 100; i++) {
    Particle* p = addmoving(&sim, Proton, i + 1, {0, 0, 0}, {0, 0, 100});
    if (i < 5) p->tstart = 1e-9;  // released only later
  }
  Simulation_advance(&sim, 1, StepCollide, 1);
  EXPECT_DOUBLE_EQ(sim.Mpts, (95 + (95 + 7) / 8) * 1e-6);
  Simulation_free(&sim);
}

TEST(Stepping, ParticleReleasedInsideTheStepMovesOnlyFromItsRelease) {
  Simulation sim = machineof({cellof("d", "Drift", 100)});
  sim.t = 1e-9;
  Particle* a = addmoving(&sim, Proton, 1, {0, 0, 0}, {0, 0, 500});
  a->tstart = sim.t + 0.25 * sim.dt;
  Particle* b = addmoving(&sim, Proton, 2, {0, 0, 0}, {0, 0, 500});
  b->tstart = sim.t + 1.5 * sim.dt;
  double v = v_from_Vxyz(a->Vx, a->Vy, a->Vz);
  for (int mode : {StepPushOnly, StepCollide}) {
    SCOPED_TRACE(mode);
    Particle* P = sim.beam.particles;
    P[0].z = P[1].z = 0;
    P[0].propertime = P[1].propertime = 0;
    double t = sim.t;
    Simulation_advance(&sim, 0, mode, 1);
    const Particle* pa = P[0].id == 1 ? &P[0] : &P[1];
    const Particle* pb = P[0].id == 1 ? &P[1] : &P[0];
    EXPECT_NEAR(pa->z, v * (t + sim.dt - pa->tstart), 1e-15);
    EXPECT_EQ(pb->z, 0);
    EXPECT_EQ(pb->propertime, 0);
    sim.t = t;  // same step again in the other mode
  }
  Simulation_free(&sim);
}

TEST(Stepping, ParticleOutsideTheBoreStopsWhereItIsAndIsCharged) {
  Cell* narrow = cellof("narrow", "Drift", 1);
  Cell_setattrib(narrow, "Bore", 0.1);
  Cell* wide = cellof("wide", "Drift", 1);  // global bore
  Cell* open = cellof("open", "Drift", 1);
  Cell_setattrib(open, "Bore", 0);  // no limit
  Simulation sim = machineof({narrow, wide, open});
  sim.global_bore = 0.3;
  Particle* lost = addmoving(&sim, MuPlus, 1, {0.2, 0, 0.5}, {0, 0, 200});
  lost->weight = 0.75;
  Particle* lostneg = addmoving(&sim, MuMinus, 2, {0, 0.5, 1.5}, {0, 0, 200});
  lostneg->segment = 2;  // found by walking back from the open drift
  addmoving(&sim, MuPlus, 3, {0.25, 0, 1.5}, {0, 0, 200});  // inside the global bore
  addmoving(&sim, MuPlus, 4, {5, 0, 2.5}, {0, 0, 200});     // no bore limit there
  Particle before[4];
  for (int i = 0; i < 4; i++) before[i] = sim.beam.particles[i];
  double ke = Particle_ke(lost) * 6241509744511524864.0;

  Simulation_advance(&sim, 0, StepCollide, 1);
  EXPECT_EQ(sim.beam.m, 2);
  EXPECT_EQ(sim.beam.M, 4);
  for (int i = 0; i < 4; i++) {
    const Particle& p = sim.beam.particles[i];
    const Particle& b = before[p.id - 1];
    SCOPED_TRACE(p.id);
    if (p.id <= 2) {
      EXPECT_EQ(p.state, Stopped);
      EXPECT_EQ(p.x, b.x);
      EXPECT_EQ(p.y, b.y);
      EXPECT_EQ(p.z, b.z);
      EXPECT_EQ(p.Vz, b.Vz);
      EXPECT_EQ(p.segment, b.segment);  // not updated on a bore loss
      EXPECT_EQ(p.nearby, nullptr);
    } else {
      EXPECT_EQ(p.state, Active);
      EXPECT_GT(p.z, b.z);
      EXPECT_EQ(p.segment, p.id == 3 ? 1 : 2);
    }
  }
  EXPECT_EQ(narrow->lostweight, 0.75);
  EXPECT_DOUBLE_EQ(narrow->lostenergy, ke * 0.75);
  EXPECT_EQ(narrow->lostpositive, 0.75);
  EXPECT_EQ(narrow->lostnegative, 0);
  EXPECT_EQ(wide->lostweight, 1.0);
  EXPECT_EQ(wide->lostnegative, 1.0);
  EXPECT_EQ(wide->lostpositive, 0);
  EXPECT_EQ(open->lostweight, 0);
  Simulation_free(&sim);
}

// On a refresh, a particle with nothing nearby that can no longer reach the machine's box (its
// straight path misses it) or whose state is not a number ends, charged to its segment's cell.
TEST(Stepping, ParticlesThatCanNoLongerReachTheMachineAreLost) {
  const double nan = std::nan("");
  const struct {
    const char* what;
    V3 r, p;  // m, MeV/c
    bool lost;
  } cases[] = {
      {"inside", {0, 0, 0.5}, {0, 0, 100}, false},
      {"at rest inside", {0, 0, 0.5}, {0, 0, 0}, false},
      {"beyond the end, going away", {0, 0, 1.5}, {0, 0, 100}, true},
      {"upstream, coming in", {0, 0, -3}, {0, 0, 100}, false},
      {"upstream, going away", {0, 0, -3}, {0, 0, -100}, true},
      {"beside, passing by", {5, 0, -3}, {0, 0, 100}, true},
      {"beside, heading in at an angle", {3, 0, -1}, {-100, 0, 100}, false},
      {"position not a number", {nan, 0, 0.5}, {0, 0, 100}, true},
      {"velocity not a number", {0, 0, 0.5}, {0, 0, nan}, true},  // lost on the second step
  };
  Cell* a = cellof("a", "Drift", 1);
  Cell_setattrib(a, "Bore", 0);  // no bore limit
  Simulation sim = machineof({a});
  sim.refreshsteps = 1;
  setbox(a, -1, -1, 0, 1, 1, 1);
  for (const auto& c : cases) addmoving(&sim, Proton, (uint32_t)(&c - cases) + 1, c.r, c.p);
  regrid(&sim);
  Simulation_advance(&sim, 0, StepCollide, 1);
  Simulation_advance(&sim, 0, StepCollide, 1);
  double lost = 0;
  for (int i = 0; i < sim.beam.M; i++) {
    const Particle& p = sim.beam.particles[i];
    SCOPED_TRACE(cases[p.id - 1].what);
    EXPECT_EQ(p.state, cases[p.id - 1].lost ? Stopped : Active);
    lost += cases[p.id - 1].lost;
  }
  EXPECT_EQ(a->lostweight, lost);
  EXPECT_TRUE(std::isfinite(a->lostenergy));
  Simulation_free(&sim);
}

// Without a finishing aperture or an end time a run still ends: the beam flies out of the
// machine and is lost at its last segment.
TEST(Stepping, RunWithoutAFinishingApertureEndsWhenTheBeamHasLeft) {
  testsupport::Machine m("{pencil-beam(P) species minenergy(MeV) maxenergy(MeV) energystep(MeV)}"
                         "\nP1 \"mu+\" 100 300 50\n{Solenoid(S) Radius(cm) Field(T) Length(cm)}"
                         "\nS1 25 2 50\n{Drift(D) Length(cm)}\nD1 50\nline: P1,S1,D1;\n");
  ASSERT_TRUE(m.built() && m.sim.t_max == 1e20 && m.sim.beam.m == 5);
  for (int step = 0; step < 20000 && m.sim.beam.m > 0; step++)
    Simulation_advance(&m.sim, 0, StepCollide, 1);
  EXPECT_EQ(m.sim.beam.m, 0);
  EXPECT_NEAR(m.sim.lattice->children[1]->lostweight, 1.0, 1e-12);  // the normalised beam
}

// Particles that never leave (gyrating on the spot in a long solenoid, or at rest in a machine
// of drifts alone, which has no boxes to leave) end, charged as lost, once the run has taken
// its most steps, with one message.
TEST(Stepping, RunThatWouldNeverEndStopsAtItsStepLimit) {
  const char* const lattices[] = {
      "{Solenoid(S) Radius(cm) Field(T) Length(m)}\nS1 25 2 10\n",
      "{Drift(S) Length(cm)}\nS1 50\n",
  };
  for (const char* machine : lattices) {
    SCOPED_TRACE(machine);
    testsupport::Machine m(std::string("{pencil-beam(P) species minenergy(MeV) maxenergy(MeV) "
                                       "energystep(MeV)}\nP1 \"mu+\" 100 300 50\n") +
                           machine + "line: P1,S1;\n");
    ASSERT_TRUE(m.built() && m.sim.beam.m == 5);
    for (int i = 0; i < m.sim.beam.m; i++) {  // transverse motion in the middle of the machine
      Particle& p = m.sim.beam.particles[i];
      p.z = 0.25;
      p.Vx = 0.1 * p.Vz * (i % 2);
      p.Vz = 0;
    }
    m.sim.maxsteps = 300;
    Captured cap;
    int steps = 0;
    for (; steps < 1000 && m.sim.beam.m > 0; steps++) Simulation_advance(&m.sim, 0, StepCollide, 1);
    EXPECT_EQ(steps, 300);
    EXPECT_EQ(m.sim.beam.m, 0);
    EXPECT_NEAR(m.sim.lattice->children[0]->lostweight, 1.0, 1e-12);  // the normalised beam
    EXPECT_EQ(cap.countcontaining("The run reached its limit of 300 time steps: the 5 particles "
                                  "still flying (weight 1) end as lost"), 1);
  }
}

TEST(Stepping, EarliestCollisionEventWins) {
  for (int order = 0; order < 2; order++) {
    SCOPED_TRACE(order);
    Cell* late = cellof("late", "Drift", 10);
    Cell* early = cellof("early", "Drift", 10);
    Cell* never = cellof("never", "Drift", 10);  // an event time of 9e99 or later never wins
    Simulation sim = machineof(order ? std::vector<Cell*>{early, late, never}
                                     : std::vector<Cell*>{never, late, early});
    bind(late, EventComponent{0.7, Active, 7});
    bind(early, EventComponent{0.3, Stopped, 3});
    bind(never, EventComponent{9e99, Stopped, 99});
    for (Cell* c : {late, early, never}) {
      c->collisiondetect = eventcd;
      setbox(c, -1, -1, -1, 1, 1, 11);
    }
    Particle* p = addmoving(&sim, PiPlus, 1, {0, 0, 0.1}, {0, 0, 200});
    regrid(&sim);
    ASSERT_EQ(p->nnearby, 3u);
    Particle out;
    double tout;
    collideparticle(p, 0, 1e-11, 0, &sim, &out, &tout, 0);
    EXPECT_EQ(out.x, 3);
    EXPECT_EQ(out.state, Stopped);
    EXPECT_DOUBLE_EQ(tout, 0.3e-11);
    EXPECT_EQ(early->lostweight, 1.0);
    EXPECT_EQ(late->lostweight, 0);
    EXPECT_EQ(never->lostweight, 0);
    EXPECT_EQ(out.segment, 0);
    p->nearby = nullptr;  // freed with the loss of `out`
    p->nnearby = 0;
    Simulation_free(&sim);
  }
}

TEST(Stepping, RepeatedEventsCarryTheParticleThroughTheStep) {
  // A kick at 0.5 of each remaining interval: the particle stays Active and reaches t1.
  Cell* kicker = cellof("kicker", "Drift", 10);
  Simulation sim = machineof({kicker});
  bind(kicker, EventComponent{0.5, Active, 0.25});
  kicker->collisiondetect = eventcd;
  setbox(kicker, -1, -1, -1, 1, 1, 11);
  addmoving(&sim, Proton, 1, {0, 0, 0.1}, {0, 0, 100});
  regrid(&sim);
  Simulation_advance(&sim, 0, StepCollide, 1);
  EXPECT_EQ(sim.beam.m, 1);
  EXPECT_EQ(sim.beam.particles[0].x, 0.25);
  // A component whose Active results never move time forward cannot hold the step for ever.
  kicker->collisiondetect = stallcd;
  Simulation_advance(&sim, 0, StepCollide, 1);
  EXPECT_EQ(sim.beam.m, 1);
  EXPECT_EQ(sim.steps, 2);
  Simulation_free(&sim);
}

// An event at the fixed time tk when it lies in (t0, t1]: the particle as it was at t0 with
// the given state, so an Active one still has all of its way to go.
struct TimedEvent {
  double tk;
  int32_t state;
};
int timedeventcd(const void* data, const Particle* before, const Particle*, double t0, double t1,
                 unsigned, const ScatterData*, const Simulation*, Particle* out, double* tout) {
  const TimedEvent* e = static_cast<const TimedEvent*>(data);
  if (!(t0 < e->tk && e->tk <= t1)) return 0;
  *out = *before;
  out->state = (ParticleState)e->state;
  *tout = e->tk;
  return 1;
}

TEST(Stepping, ApertureRecordsOnlyTheCrossingsOfTheRealPath) {
  // A moments aperture with an output file at z = 0, crossed at 0.4 of the step, and another
  // component's event in the same step: before the crossing (a stop, or a kick that sends the
  // particle back to its start) or after it. The aperture records a crossing once, and only
  // when the particle really made it.
  SavedState saved;
  options.threads = 1;
  testsupport::TempDir dir("ordax_stepping");
  const std::string name = dir / "aperture.csv";
  struct Case {
    const char* what;
    double tk;  // in steps; 0 for no event
    int32_t state;
    int rows;
  } cases[] = {{"no other event", 0, Active, 1},
               {"stopped before the plane", 0.2, Stopped, 0},
               {"kicked back before the plane", 0.2, Active, 1},
               {"kicked back after the plane", 0.7, Active, 1},
               {"stopped after the plane", 0.7, Stopped, 1}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::remove(name.c_str());
    Cell* aperture = testsupport::cellwith("out", "moments-aperture",
                                           {{"radius", 0.5}, {"outputfile", 0, name.c_str()}});
    Cell* other = cellof("other", "Drift", 10);
    Simulation sim = machineof({aperture, other});
    const double dt = sim.dt;
    bind(other, TimedEvent{k.tk * dt, k.state});
    other->collisiondetect = timedeventcd;
    setbox(other, -1, -1, -1, 1, 1, 11);
    Particle* p = addmoving(&sim, Proton, 1, {0, 0, 0}, {0, 0, 200});
    p->z = -0.4 * dt * p->Vz * invgamma_from_Vxyz(p->Vx, p->Vy, p->Vz);
    p->weight = 0.5;
    regrid(&sim);
    Simulation_advance(&sim, 0, StepCollide, 0);

    int rows = 0;
    if (FILE* f = fopen(name.c_str(), "r")) {
      for (int ch; (ch = fgetc(f)) != EOF;) rows += ch == '\n';
      fclose(f);
      rows -= 1;  // the header
    }
    EXPECT_EQ(rows, k.rows);
    const Aperture* a = reinterpret_cast<const Aperture*>(sim.lattice->children[0]->rtd);
    EXPECT_EQ(a->moments.w, 0.5 * k.rows);
    Simulation_free(&sim);
  }
  std::remove(name.c_str());
}

TEST(Stepping, MaterialThatStopsTheParticleIsCharged) {
  // A material whose table starts above the particle's momentum: ScatterSlow at once.
  ScatterData table;
  table.n = 2;
  table.p = {1000, 2000};
  table.layer.resize(2);
  for (ScatterLayer& l : table.layer) {
    l.meanloss = l.totalloss = 1;
    l.records.clear();
    l.cumrate = {};
  }
  Cell* absorber = cellof("absorber", "Drift", 1);
  Cell* vacuum = cellof("vacuum", "Drift", 1);
  Simulation sim = machineof({absorber, vacuum});
  absorber->scatter = &table;
  absorber->inside = alwaysinside;
  setbox(absorber, -1, -1, 0, 1, 1, 1);
  vacuum->inside = alwaysinside;  // inside, but without material data: not a material
  setbox(vacuum, -1, -1, 0, 1, 1, 1);
  Particle* p = addmoving(&sim, MuPlus, 1, {0, 0, 0.5}, {0, 0, 200});
  p->weight = 0.5;
  regrid(&sim);
  Simulation_advance(&sim, 0, StepCollide, 1);
  EXPECT_EQ(sim.beam.m, 0);
  EXPECT_EQ(sim.beam.particles[0].state, ScatterSlow);
  EXPECT_EQ(absorber->lostweight, 0.5);
  EXPECT_EQ(vacuum->lostweight, 0);
  Simulation_free(&sim);
}

TEST(Stepping, LoseParticleInCellCountsWeightEnergyAndSign) {
  Cell* c = cellof("c", "Drift", 1);
  struct Case {
    ParticleSpecies s;
    double pos, neg;
  } cases[] = {{PiPlus, 0.5, 0}, {PiMinus, 0, 0.5}, {Neutron, 0, 0}};
  double weight = 0, energy = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(ParticleSpecies_name[k.s]);
    c->lostpositive = c->lostnegative = 0;
    Particle p = Particle_new(k.s);
    p.Vz = 2e8;
    p.weight = 0.5;
    Particle_setnearby(&p, &c, 1);
    double ke = (std::sqrt(1 + 4e16 / c_sq) - 1) * E0[k.s];
    loseparticleincell(&p, c);
    weight += 0.5;
    energy += ke * 0.5 * 6241509744511524864.0;
    EXPECT_EQ(c->lostweight, weight);
    EXPECT_NEAR(c->lostenergy, energy, 1e-12 * energy);
    EXPECT_EQ(c->lostpositive, k.pos);
    EXPECT_EQ(c->lostnegative, k.neg);
    EXPECT_EQ(p.nearby, nullptr);
    EXPECT_EQ(p.nnearby, 0u);
  }
  Particle p = Particle_new(MuPlus);
  loseparticleincell(&p, nullptr);  // nothing to charge
  Cell_freeref(c, 0);
}

TEST(Stepping, NearbyListsAreRefreshedEveryRefreshSteps) {
  Cell* a = cellof("a", "Drift", 1);
  Cell* b = cellof("b", "Drift", 1);
  Simulation sim = machineof({a, b});
  sim.refreshsteps = 3;
  setbox(a, -1, -1, 0, 1, 1, 1);
  setbox(b, -1, -1, 2, 1, 1, 3);
  Particle* p = addmoving(&sim, Proton, 1, {0, 0, 0.5}, {0, 0, 0});
  regrid(&sim);
  ASSERT_EQ(p->nnearby, 1u);
  ASSERT_EQ(p->nearby[0], a);
  // Moved by hand into b's box: the list follows only on steps 0, 3, 6, ...
  sim.steps = 1;
  p->z = 2.5;
  const bool expectb[] = {false, false, true, true};  // after steps 1, 2, 3, 4
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(sim.steps);
    Simulation_advance(&sim, 0, StepPushOnly, 1);
    ASSERT_EQ(sim.beam.particles[0].nnearby, 1u);
    EXPECT_EQ(sim.beam.particles[0].nearby[0], expectb[i] ? b : a);
  }
  Simulation_free(&sim);
}

std::atomic<int> suppressedseen{-1};
EB recordsuppression(const void*, double, double, double, double) {
  suppressedseen.store(scatteringsuppressed ? 1 : 0);
  return EB_zero();
}

TEST(Stepping, ScatteringIsSuppressedOnlyForRFSyncOrScatteringOff) {
  Cell* f = cellof("f", "Drift", 10);
  Simulation sim = machineof({f});
  f->field = recordsuppression;
  setbox(f, -1, -1, -1, 1, 1, 11);
  addmoving(&sim, Proton, 1, {0, 0, 0.1}, {0, 0, 100});
  regrid(&sim);
  struct Case {
    int mode;
    bool off;
    int expected;
  } cases[] = {{StepCollide, false, 0}, {StepRFSync, false, 1}, {StepCollide, true, 1},
               {StepPushOnly, false, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << k.mode << " off " << k.off);
    sim.scattering_off = k.off;
    suppressedseen = -1;
    Simulation_advance(&sim, 0, k.mode, 0);
    EXPECT_EQ(suppressedseen.load(), k.expected);
    EXPECT_FALSE(scatteringsuppressed);
  }
  Simulation_free(&sim);
}

std::vector<const void*> rfasked;
int recordrf(const void* data, const Particle*, const Particle*, double, double, unsigned,
             const ScatterData*, const Simulation*, Particle*, double*) {
  rfasked.push_back(data);
  return 0;
}

TEST(Stepping, RFSyncModeAsksOnlyTheSynchronisingClasses) {
  Cell* rf = cellof("cav", "RF", 1);
  Cell* other = cellof("other", "Drift", 1);
  Simulation sim = machineof({rf, other});
  static const CellClass rfrow{.key = "RF", .synccollision = recordrf};
  rf->cls = &rfrow;
  other->collisiondetect = eventcd;
  bind(other, EventComponent{0.5, Stopped, 1});
  setbox(rf, -1, -1, -1, 1, 1, 2);
  setbox(other, -1, -1, -1, 1, 1, 2);
  addmoving(&sim, Proton, 1, {0, 0, 0.1}, {0, 0, 100});
  regrid(&sim);
  rfasked.clear();
  Simulation_advance(&sim, 0, StepRFSync, 0);
  EXPECT_EQ(rfasked, std::vector<const void*>{rf->rtd});
  EXPECT_EQ(sim.beam.m, 1);  // the ordinary collision of `other` was not asked
  Simulation_advance(&sim, 0, StepCollide, 0);
  EXPECT_EQ(rfasked.size(), 1u);  // nor the synchronising one outside that mode
  EXPECT_EQ(sim.beam.m, 0);
  Simulation_free(&sim);
}

TEST(Stepping, UniformFieldTurnsTheBeamThroughWholeSteps) {
  const double B = 1.0;
  Cell* magnet = cellof("magnet", "Drift", 100);
  Simulation sim = machineof({magnet});
  sim.global_bore = 0;
  bind(magnet, UniformField{{0, 0, 0}, {0, 0, B}});
  magnet->field = uniformfield;
  setbox(magnet, -50, -50, -50, 50, 50, 50);
  addmoving(&sim, MuPlus, 1, {0, 0, 0}, {100, 0, 0});
  addmoving(&sim, MuMinus, 2, {0, 0, 0}, {100, 0, 0});
  regrid(&sim);
  for (int i = 0; i < 400; i++) Simulation_advance(&sim, 0, StepCollide, 1);
  ASSERT_EQ(sim.beam.m, 2);
  for (int k = 0; k < 2; k++) {
    const Particle& p = sim.beam.particles[k];
    double V = 100 * MeV / c_light / speciesmass[p.species];
    double R = speciesmass[p.species] * V / (ELEMENTARY_CHARGE * B);
    double centrey = p.species == MuPlus ? -R : R;
    SCOPED_TRACE(ParticleSpecies_name[p.species]);
    EXPECT_NEAR(std::hypot(p.x, p.y - centrey), R, 1e-9);
    EXPECT_NEAR(std::hypot(p.Vx, p.Vy), V, 1e-9 * V);
  }
  Simulation_free(&sim);
}

TEST(Stepping, DecayedPionLeavesItsMuonInTheLiveSection) {
  for (int ndecays : {1, 2}) {
    SCOPED_TRACE(ndecays);
    Simulation sim = machineof({cellof("d", "Drift", 100)});
    sim.n_decays = ndecays;
    Particle* p = addmoving(&sim, PiPlus, 1, {0, 0, 0}, {0, 0, 100});
    p->weight = 0.8;
    p->nextdecay = 0;  // due at once
    Simulation_advance(&sim, 1, StepCollide, 1);
    ASSERT_EQ(sim.beam.m, ndecays == 1 ? 1 : 2);
    double muonweight = -1, pionweight = -1;
    for (int i = 0; i < sim.beam.m; i++) {
      const Particle& q = sim.beam.particles[i];
      EXPECT_EQ(q.state, Active);
      if (q.species == MuPlus) muonweight = q.weight;
      if (q.species == PiPlus) pionweight = q.weight;
    }
    EXPECT_DOUBLE_EQ(muonweight, 0.8 / ndecays);
    if (ndecays == 2) {
      EXPECT_DOUBLE_EQ(pionweight, 0.4);
    }
    EXPECT_EQ(sim.beam.M, sim.beam.m);  // the Decayed record left the beam
    // With decays off nothing decays.
    sim.decays_off = true;
    for (int i = 0; i < sim.beam.m; i++) sim.beam.particles[i].nextdecay = 0;
    int m = sim.beam.m;
    Simulation_advance(&sim, 1, StepCollide, 1);
    EXPECT_EQ(sim.beam.m, m);
    Simulation_free(&sim);
  }
}

TEST(Stepping, MergingNewParticlesKeepsTheDeadSectionAndAddsHeadroom) {
  Simulation sim = machineof({cellof("d", "Drift", 100)});
  for (int i = 0; i < 8; i++) {
    Particle* p = addmoving(&sim, PiPlus, i + 1, {0, 0, 0}, {0, 0, 100});
    p->nextdecay = 0;
  }
  for (int i = 0; i < 2; i++) {
    Particle* p = addmoving(&sim, Proton, 100 + i, {0, 0, 0}, {0, 0, 100});
    p->state = Stopped;
  }
  Beam_sortdeadparticles(&sim.beam);
  ASSERT_EQ(sim.beam.m, 8);
  ASSERT_EQ(sim.beam.M, 10);
  ASSERT_EQ(sim.beam.capacity, 10);
  Simulation_advance(&sim, 1, StepCollide, 1);
  EXPECT_EQ(sim.beam.capacity, 10 + 8 + 5000);
  EXPECT_EQ(sim.beam.m, 8);
  EXPECT_EQ(sim.beam.M, 10);
  for (int i = 0; i < 8; i++) EXPECT_EQ(sim.beam.particles[i].species, MuPlus);
  for (int i = 8; i < 10; i++) {
    EXPECT_EQ(sim.beam.particles[i].species, Proton);
    EXPECT_EQ(sim.beam.particles[i].state, Stopped);
  }
  Simulation_free(&sim);
}

TEST(SteppingCompaction, MatchesBeamSortDeadParticlesRecordForRecord) {
  // Random beams with every mix of live, decayed and ended records, compacted both ways.
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  Cell* marker = cellof("marker", "Drift", 1);
  const int32_t states[] = {Active, Active, Active, Decayed, Stopped, Finished, ScatterSlow};
  for (int round = 0; round < 300; round++) {
    int live = (int)(rng() % 60), dead = (int)(rng() % 8);
    Beam a{}, b{};
    for (int i = 0; i < live + dead; i++) {
      Particle p = Particle_new(MuPlus);
      p.id = (uint32_t)i;
      p.state = i < live ? (ParticleState)states[rng() % 7] : Stopped;
      Particle* q = Beam_addparticle(&a, MuPlus, &p);
      Particle_setnearby(q, &marker, 1);
    }
    a.m = live;  // the records added last form the dead section
    b.capacity = a.capacity;
    b.M = a.M;
    b.m = a.m;
    b.particles = static_cast<Particle*>(aligned_alloc(64, sizeof(Particle) * a.capacity));
    if (a.M) memcpy(b.particles, a.particles, sizeof(Particle) * a.M);
    std::vector<uint8_t> kind;
    for (int i = 0; i < b.M; i++) {
      b.particles[i].nearby = nullptr;
      Particle_setnearby(&b.particles[i], &marker, 1);
      kind.push_back(statekind(b.particles[i].state));
    }
    Beam_sortdeadparticles(&a);
    Beam_compact(&b, kind.data());
    ASSERT_EQ(b.m, a.m) << "round " << round;
    ASSERT_EQ(b.M, a.M) << "round " << round;
    for (int i = 0; i < a.M; i++) {
      ASSERT_EQ(b.particles[i].id, a.particles[i].id) << "round " << round << " record " << i;
      ASSERT_EQ(b.particles[i].state, a.particles[i].state);
      ASSERT_EQ(b.particles[i].nnearby, a.particles[i].nnearby);
      if (i < a.m) {
        ASSERT_EQ(kind[(size_t)i], KindActive);
      }
    }
    Beam_free(&a);
    Beam_free(&b);
  }
  Cell_freeref(marker, 0);
}

TEST(Stepping, PionBeamDecaysExponentiallyAlongADrift) {
  const int N = 10000;
  const double pmev = 250;
  Simulation sim = machineof({cellof("d", "Drift", 1000)});
  sim.dt = 2e-10;
  sim.global_bore = 0;
  // A fixed seed keeps the suite repeatable; a 4-sigma band over four checkpoints.
  const unsigned seed = 20261207;
  SCOPED_TRACE("seed " + std::to_string(seed));
  sim.seed = seed;
  for (int i = 0; i < N; i++) addmoving(&sim, PiPlus, i + 1, {0, 0, 0}, {0, 0, pmev});
  const double m = speciesmass[PiPlus];
  const double V = pmev * MeV / c_light / m;
  const double v = v_from_Vxyz(0, 0, V);
  const double decaylength = V * ParticleSpecies_decay()[PiPlus].meanlife;  // βγcτ
  EXPECT_NEAR(decaylength, 13.98, 0.05);
  for (int step = 1; step <= 200; step++) {
    Simulation_advance(&sim, 1, StepCollide, 1);
    if (step % 50) continue;
    int pions = 0;
    for (int i = 0; i < sim.beam.m; i++) pions += sim.beam.particles[i].species == PiPlus;
    double s = v * step * sim.dt;
    double expected = std::exp(-s / decaylength);
    double sigma = std::sqrt(N * expected * (1 - expected));
    EXPECT_NEAR(pions, N * expected, 4 * sigma) << "at s = " << s << " m";
  }
  Simulation_free(&sim);
}

// Builds the same run for any thread count: fields, bores, decays, late releases.
Simulation deterministicrun(uint32_t seed = 20240611) {
  Cell* magnet = cellof("magnet", "Drift", 2);
  Cell_setattrib(magnet, "Bore", 0.25);
  Cell* d1 = cellof("d1", "Drift", 1.5);
  Cell_setattrib(d1, "Bore", 0.12);
  Cell* kicker = cellof("kicker", "Drift", 1);
  Cell* d2 = cellof("d2", "Drift", 20);
  Simulation sim = machineof({magnet, d1, kicker, d2});
  sim.seed = seed;
  sim.dt = 1.5e-10;
  sim.n_decays = 2;
  bind(magnet, UniformField{{0, 0, 0}, {0, 0, 1.5}});
  magnet->field = uniformfield;
  setbox(magnet, -0.5, -0.5, -0.1, 0.5, 0.5, 2.1);
  bind(kicker, EventComponent{1.0, Active, 0.01});  // a kick at the end of each step
  kicker->collisiondetect = eventcd;
  setbox(kicker, -0.05, -0.05, 3.5, 0.05, 0.05, 4.5);
  uint32_t s = 99;
  for (int i = 0; i < 1200; i++) {
    auto u = [&s]() { return durnd(7, s++); };
    ParticleSpecies sp = i % 3 == 0 ? PiMinus : PiPlus;
    Particle* p = addmoving(&sim, sp, i + 1, {0.02 * (u() - 0.5), 0.02 * (u() - 0.5), 0},
                            {40 * (u() - 0.5), 40 * (u() - 0.5), 150 + 200 * u()});
    p->tstart = u() < 0.2 ? u() * 3e-10 : 0;
  }
  regrid(&sim);
  return sim;
}

TEST(SteppingThreads, SameSeedGivesTheSameBeamWhateverTheThreadCount) {
  SavedState saved;
  options.particlesperthread = 1;
  std::vector<std::vector<Particle>> beams;
  std::vector<std::vector<double>> losses;
  std::vector<std::vector<int>> nearbylists;
  for (int threads : {1, 2, 4}) {
    SCOPED_TRACE(threads);
    options.threads = threads;
    Simulation sim = deterministicrun();
    for (int step = 0; step < 160; step++) Simulation_advance(&sim, 1, StepCollide, 1);
    EXPECT_GT(sim.beam.M, 1200);  // daughters were made
    EXPECT_LT(sim.beam.m, sim.beam.M);  // and some particles were lost
    std::vector<Particle> beam(sim.beam.particles, sim.beam.particles + sim.beam.M);
    std::vector<int> lists;  // every record's nearby list as child indices
    for (Particle& p : beam) {
      // Storage addresses differ from run to run: compare the lists by child index.
      EXPECT_EQ(p.beamline, sim.lattice);
      p.beamline = nullptr;
      lists.push_back(-1);
      for (uint32_t j = 0; j < p.nnearby; j++) lists.push_back(Cell_index(sim.lattice, p.nearby[j]));
      p.nearby = nullptr;
    }
    nearbylists.push_back(lists);
    beams.push_back(beam);
    std::vector<double> l;
    for (int i = 0; i < sim.lattice->n; i++) {
      const Cell* c = sim.lattice->children[i];
      l.insert(l.end(), {c->lostweight, c->lostenergy, c->lostpositive, c->lostnegative});
    }
    losses.push_back(l);
    EXPECT_GT(l[0] + l[4], 0);
    Simulation_free(&sim);
  }
  for (size_t k = 1; k < beams.size(); k++) {
    ASSERT_EQ(beams[k].size(), beams[0].size());
    for (size_t i = 0; i < beams[0].size(); i++)
      ASSERT_EQ(memcmp(&beams[k][i], &beams[0][i], sizeof(Particle)), 0)
          << "record " << i << " differs with " << (k == 1 ? 2 : 4) << " threads: id "
          << beams[k][i].id << "/" << beams[0][i].id << " species " << beams[k][i].species << "/"
          << beams[0][i].species << " z " << beams[k][i].z << "/" << beams[0][i].z << " state "
          << beams[k][i].state << "/" << beams[0][i].state;
    EXPECT_EQ(memcmp(losses[k].data(), losses[0].data(), sizeof(double) * losses[0].size()), 0);
    EXPECT_EQ(nearbylists[k], nearbylists[0]);
  }
}

// The records of a beam with their pointers cleared, and the loss counters of the machine.
std::pair<std::vector<Particle>, std::vector<double>> outcome(const Simulation& sim) {
  std::vector<Particle> beam(sim.beam.particles, sim.beam.particles + sim.beam.M);
  for (Particle& p : beam) {
    p.beamline = nullptr;
    p.nearby = nullptr;
  }
  std::vector<double> l;
  for (int i = 0; i < sim.lattice->n; i++) {
    const Cell* c = sim.lattice->children[i];
    l.insert(l.end(), {c->lostweight, c->lostenergy, c->lostpositive, c->lostnegative});
  }
  return {beam, l};
}

bool same(const std::pair<std::vector<Particle>, std::vector<double>>& x,
          const std::pair<std::vector<Particle>, std::vector<double>>& y) {
  return x.first.size() == y.first.size() && x.second == y.second &&
         memcmp(x.first.data(), y.first.data(), sizeof(Particle) * x.first.size()) == 0;
}

TEST(SteppingThreads, TwoSimulationsSteppedAlternatelyMatchEachSteppedAlone) {
  // Each simulation keeps its own workers and per-thread lists, so stepping another one in
  // between changes nothing in its beam.
  SavedState saved;
  options.threads = 2;
  options.particlesperthread = 1;
  options.fixedthreads = true;
  const int steps = 120;
  Simulation a = deterministicrun(11), b = deterministicrun(22);
  for (int step = 0; step < steps; step++) {
    Simulation_advance(&a, 1, StepCollide, 1);
    Simulation_advance(&b, 1, StepCollide, 1);
  }
  EXPECT_EQ(stepping_workers(&a), 1);
  EXPECT_EQ(stepping_workers(&b), 1);
  for (auto [sim, seed] : {std::pair{&a, 11u}, std::pair{&b, 22u}}) {
    SCOPED_TRACE(seed);
    Simulation alone = deterministicrun(seed);
    for (int step = 0; step < steps; step++) Simulation_advance(&alone, 1, StepCollide, 1);
    EXPECT_TRUE(same(outcome(*sim), outcome(alone)));
    Simulation_free(&alone);
  }
  EXPECT_FALSE(same(outcome(a), outcome(b)));  // the seeds matter, so the comparison can fail
  Simulation_free(&a);
  Simulation_free(&b);
  EXPECT_EQ(stepping_workers(&a), 0);
}

TEST(SteppingThreads, LoadBalanceLogShowsSharesAndThreads) {
  SavedState saved;
  options.threads = 2;
  options.particlesperthread = 1;
  options.fixedthreads = true;
  Simulation sim = deterministicrun();
  FILE* f = tmpfile();
  sim.loadbalancelog = f;
  int released = 0;
  for (int i = 0; i < sim.beam.m; i++) released += sim.beam.particles[i].tstart <= sim.t + sim.dt;
  for (int i = 0; i < 3; i++) Simulation_advance(&sim, 1, StepCollide, 1);
  sim.loadbalancelog = nullptr;
  rewind(f);
  char line[512];
  double s0, s1;
  // Each step: the threads' parts of the live section, then the times and particle counts.
  ASSERT_TRUE(fgets(line, sizeof line, f));
  ASSERT_EQ(sscanf(line, "\t%lg\t%lg", &s0, &s1), 2);
  EXPECT_NEAR(s0 + s1, 1.0, 2e-6);  // each share is printed to six significant digits
  ASSERT_TRUE(fgets(line, sizeof line, f));
  int g, e;
  double util, wait, gap;
  ASSERT_EQ(sscanf(line, "\tgap=%de%d\tutil=%lf%%=%lf%%(wait)*%lf%%(gap)", &g, &e, &util, &wait, &gap),
            5);
  EXPECT_NEAR(util, wait * gap / 100, 0.11);
  ASSERT_TRUE(fgets(line, sizeof line, f));
  int k0, a0, b0, n0, k1, a1, b1, n1;
  ASSERT_EQ(sscanf(line, "\t\t%d:%d %d %d\t%d:%d %d %d", &k0, &a0, &b0, &n0, &k1, &a1, &b1, &n1), 8);
  EXPECT_EQ(k0, 0);
  EXPECT_EQ(k1, 1);
  EXPECT_EQ(n0 + n1, released);  // every released particle of the first step, counted once
  EXPECT_LE(a0, b0);
  EXPECT_LE(a1, b1);
  fclose(f);
  Simulation_free(&sim);
}

}  // namespace
