#include "sim/pusher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cell.h"

namespace {

const double MeV = 1.602176462e-13;  // J

// Test-only field components: the parameters live in the cell's run-time record.
struct UniformField {
  V3 E, B;
};
EB uniformfield(const void* data, double, double, double, double) {
  const UniformField* f = static_cast<const UniformField*>(data);
  return EB{f->E, f->B};
}
// E along x = a·(t - t0)³ + b·(t - t0)².
struct CubicTimeField {
  double a, b, t0;
};
EB cubictimefield(const void* data, double, double, double, double t) {
  const CubicTimeField* f = static_cast<const CubicTimeField*>(data);
  double u = t - f->t0;
  return EB{{f->a * u * u * u + f->b * u * u, 0, 0}, {0, 0, 0}};
}
// E = (x, y, z) V/m per metre and B = (t, 0, 0) T per second: shows the point and time used.
EB probefield(const void*, double x, double y, double z, double t) {
  return EB{{x, y, z}, {t, 0, 0}};
}

template <class T>
Cell* fieldcell(CellFieldFn fn, const T& params) {
  Cell* c = Cell_new(Component, "testfield");
  static_assert(sizeof(T) <= RTD_SIZE);
  memcpy(c->rtd, &params, sizeof(T));
  c->field = fn;
  return c;
}

struct Cells {
  std::vector<Cell*> cells;
  ~Cells() {
    for (Cell* c : cells) Cell_freeref(c, 0);
  }
  Cell* add(Cell* c) {
    cells.push_back(c);
    return c;
  }
};

// A particle of `species` at the origin with momentum p (MeV/c) along x.
Particle movingalongx(ParticleSpecies species, double pmev) {
  Particle p = Particle_new(species);
  p.Vx = pmev * MeV / c_light / speciesmass[species];
  return p;
}

double speedof(const Particle& p) {
  return v_from_Vxyz(p.Vx, p.Vy, p.Vz);
}

TEST(Pusher, ZeroFieldMovesStraightByDtVOverGamma) {
  Particle p = movingalongx(MuPlus, 200);
  p.Vy = 0.3e8;
  p.Vz = -1.1e8;
  p.x = 0.25;
  Particle start = p;
  double dt = 1e-11;
  double invg = c_light / std::sqrt(p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz + c_sq);
  advanceparticle(&p, 3e-9, dt);
  EXPECT_EQ(p.Vx, start.Vx);
  EXPECT_EQ(p.Vy, start.Vy);
  EXPECT_EQ(p.Vz, start.Vz);
  // Within a few units in the last place of the coordinates.
  EXPECT_NEAR(p.x, start.x + dt * start.Vx * invg, 4e-16 * std::fabs(p.x));
  EXPECT_NEAR(p.y, dt * start.Vy * invg, 4e-16 * std::fabs(p.y));
  EXPECT_NEAR(p.z, dt * start.Vz * invg, 4e-16 * std::fabs(p.z));
  EXPECT_NEAR(p.propertime, dt * invg, 1e-30);

  // A component list whose fields are all zero gives exactly the same step.
  Cells cells;
  Cell* zero = cells.add(fieldcell(uniformfield, UniformField{{0, 0, 0}, {0, 0, 0}}));
  Particle q = start;
  Particle_setnearby(&q, &zero, 1);
  advanceparticle(&q, 3e-9, dt);
  EXPECT_EQ(q.x, p.x);
  EXPECT_EQ(q.y, p.y);
  EXPECT_EQ(q.z, p.z);
  EXPECT_EQ(q.propertime, p.propertime);
  Particle_free(&q);
}

TEST(Pusher, UniformMagneticFieldGivesCircleOfRelativisticRadius) {
  const double B = 2.0, dt = 1e-11;
  for (ParticleSpecies species : {MuPlus, MuMinus}) {
    SCOPED_TRACE(ParticleSpecies_name[species]);
    Cells cells;
    Cell* f = cells.add(fieldcell(uniformfield, UniformField{{0, 0, 0}, {0, 0, B}}));
    Particle p = movingalongx(species, 200);
    Particle_setnearby(&p, &f, 1);
    double q = charge[species], m = speciesmass[species];
    double V = p.Vx, R = m * V / (std::fabs(q) * B);
    // Positive charges with V along +x in B along +z turn towards -y, negative towards +y.
    double sense = q > 0 ? -1 : 1;
    double gamma = gamma_from_Vxyz(V, 0, 0);
    double omega = std::fabs(q) * B / (gamma * m);
    int steps = (int)std::ceil(2 * M_PI / omega / dt);  // a little more than one turn
    double worstpos = 0, worstV = 0;
    for (int i = 1; i <= steps; i++) {
      advanceparticle(&p, i * dt, dt);
      double phase = omega * i * dt;
      double x = R * std::sin(phase), y = sense * R * (1 - std::cos(phase));
      worstpos = std::max(worstpos, std::hypot(p.x - x, p.y - y));
      worstV = std::max(worstV, std::fabs(std::sqrt(p.Vx * p.Vx + p.Vy * p.Vy) - V) / V);
    }
    EXPECT_GT(R, 0.3);
    EXPECT_LT(worstpos, 1e-9) << "R = " << R;
    EXPECT_LT(worstV, 1e-11);
    EXPECT_EQ(p.z, 0);
    // After a quarter turn the particle is at (R, ±R).
    Particle r = movingalongx(species, 200);
    Particle_setnearby(&r, &f, 1);
    double quarter = M_PI / 2 / omega;
    int n = 1000;
    for (int i = 0; i < n; i++) advanceparticle(&r, i * quarter / n, quarter / n);
    EXPECT_NEAR(r.x, R, 1e-10);
    EXPECT_NEAR(r.y, sense * R, 1e-10);
    EXPECT_NEAR(r.propertime, quarter / gamma, 1e-22);
    Particle_free(&p);
    Particle_free(&r);
  }
}

TEST(Pusher, PositionErrorFallsWithTheFourthPowerOfTheStep) {
  // The error of a fixed stretch of a circle shrinks 16-fold when the step halves.
  Cells cells;
  Cell* f = cells.add(fieldcell(uniformfield, UniformField{{0, 0, 0}, {0, 0, 3.0}}));
  auto errorafter = [&](int steps) {
    Particle p = movingalongx(MuPlus, 50);
    Particle_setnearby(&p, &f, 1);
    double V = p.Vx, m = speciesmass[MuPlus], q = charge[MuPlus];
    double R = m * V / (q * 3.0), omega = q * 3.0 / (gamma_from_Vxyz(V, 0, 0) * m);
    double T = 2.0 / omega, dt = T / steps;  // two radians of arc
    for (int i = 0; i < steps; i++) advanceparticle(&p, i * dt, dt);
    double err = std::hypot(p.x - R * std::sin(omega * T), p.y + R * (1 - std::cos(omega * T)));
    Particle_free(&p);
    return err;
  };
  double e1 = errorafter(40), e2 = errorafter(80), e3 = errorafter(160);
  EXPECT_GT(e1 / e2, 13.0);
  EXPECT_LT(e1 / e2, 19.0);
  EXPECT_GT(e2 / e3, 13.0);
  EXPECT_LT(e2 / e3, 19.0);
}

TEST(Pusher, CrossedFieldsPassTheParticleMovingAtTheDriftVelocity) {
  // E along y and B along z exert no force on a particle moving along x at v = E/B.
  const double B = 1.5, v = 0.6 * c_light, E = v * B, dt = 2e-11;
  Cells cells;
  Cell* f = cells.add(fieldcell(uniformfield, UniformField{{0, E, 0}, {0, 0, B}}));
  for (ParticleSpecies species : {PiPlus, PiMinus, Proton}) {
    SCOPED_TRACE(ParticleSpecies_name[species]);
    Particle p = Particle_new(species);
    p.Vx = v / std::sqrt(1 - 0.36);
    Particle_setnearby(&p, &f, 1);
    for (int i = 0; i < 500; i++) advanceparticle(&p, i * dt, dt);
    EXPECT_NEAR(p.x, v * 500 * dt, 1e-9);
    EXPECT_NEAR(p.y, 0, 1e-9);
    EXPECT_NEAR(p.Vy, 0, 1e-3);
    // Slightly off the drift speed the particle does bend.
    Particle q = Particle_new(species);
    q.Vx = 1.01 * v / std::sqrt(1 - 0.36);
    Particle_setnearby(&q, &f, 1);
    for (int i = 0; i < 500; i++) advanceparticle(&q, i * dt, dt);
    EXPECT_GT(std::fabs(q.y), 1e-6);
    Particle_free(&p);
    Particle_free(&q);
  }
}

TEST(Pusher, TimeDependentFieldIsIntegratedExactlyUpToCubicOrder) {
  // With B = 0 the change of V over a step is (q/m)·∫E dt, which the RK4 stage times
  // (t, t + dt/2, t + dt/2, t + dt) integrate exactly for a cubic E(t).
  Cells cells;
  const double a = 3e25, b = -7e15, tc = 1e-9;
  Cell* f = cells.add(fieldcell(cubictimefield, CubicTimeField{a, b, tc}));
  Particle p = movingalongx(Proton, 1);
  Particle_setnearby(&p, &f, 1);
  double t0 = 1.3e-9, dt = 4e-10, Vx0 = p.Vx;
  advanceparticle(&p, t0, dt);
  auto integral = [&](double t) {
    double u = t - tc;
    return a * u * u * u * u / 4 + b * u * u * u / 3;
  };
  double expected = Vx0 + charge[Proton] / speciesmass[Proton] * (integral(t0 + dt) - integral(t0));
  EXPECT_NEAR(p.Vx, expected, 1e-12 * std::fabs(expected - Vx0));
  EXPECT_EQ(p.Vy, 0);
  Particle_free(&p);
}

TEST(Pusher, NeutralParticleIgnoresTheField) {
  Cells cells;
  Cell* f = cells.add(fieldcell(uniformfield, UniformField{{1e7, 0, 0}, {0, 5, 0}}));
  Particle p = movingalongx(Neutron, 300);
  Particle_setnearby(&p, &f, 1);
  double Vx = p.Vx;
  for (int i = 0; i < 10; i++) advanceparticle(&p, i * 1e-11, 1e-11);
  EXPECT_EQ(p.Vx, Vx);
  EXPECT_EQ(p.Vy, 0);
  EXPECT_EQ(p.Vz, 0);
  EXPECT_NEAR(p.x, 10 * 1e-11 * speedof(p), 1e-14);
  Particle_free(&p);
}

TEST(Pusher, ChangesOnlyPositionVelocityAndProperTime) {
  Cells cells;
  Cell* f = cells.add(fieldcell(uniformfield, UniformField{{1e6, 2e6, 0}, {0.5, 0, 1}}));
  Particle p = movingalongx(PiMinus, 150);
  Particle_setseed(&p, 77, 5);
  p.seq = 12;
  p.weight = 0.37;
  p.nextdecay = 1.5e-8;
  p.tstart = 2e-10;
  p.decaysleft = 3;
  p.segment = 4;
  p.state = Active;
  Particle_setnearby(&p, &f, 1);
  Particle before = p;
  advanceparticle(&p, 0, 1e-11);
  EXPECT_NE(p.x, before.x);
  EXPECT_NE(p.Vy, before.Vy);
  EXPECT_GT(p.propertime, before.propertime);
  Particle a = p, b = before;
  a.x = a.y = a.z = a.Vx = a.Vy = a.Vz = a.propertime = 0;
  b.x = b.y = b.z = b.Vx = b.Vy = b.Vz = b.propertime = 0;
  EXPECT_EQ(memcmp(&a, &b, sizeof(Particle)), 0);
  Particle_free(&p);
}

TEST(FieldAtParticle, SumsEveryNearbyFieldAtThePointAndTime) {
  Cells cells;
  Cell* cellsarr[4] = {
      cells.add(fieldcell(uniformfield, UniformField{{1, 2, 3}, {0.1, 0.2, 0.3}})),
      cells.add(Cell_new(Component, "nofield")),  // no field slot: adds nothing
      cells.add(fieldcell(probefield, 0)),
      cells.add(fieldcell(uniformfield, UniformField{{10, 0, 0}, {0, 0, 1}})),
  };
  Particle p = Particle_new(MuPlus);
  p.x = 0.5;
  p.y = -0.25;
  p.z = 7;
  Particle_setnearby(&p, cellsarr, 4);
  EB f = fieldatparticle(&p, 2.5);
  EXPECT_DOUBLE_EQ(f.E.x, 1 + 0.5 + 10);
  EXPECT_DOUBLE_EQ(f.E.y, 2 - 0.25);
  EXPECT_DOUBLE_EQ(f.E.z, 3 + 7);
  EXPECT_DOUBLE_EQ(f.B.x, 0.1 + 2.5);
  EXPECT_DOUBLE_EQ(f.B.y, 0.2);
  EXPECT_DOUBLE_EQ(f.B.z, 0.3 + 1);
  Particle_free(&p);
  EB none = fieldatparticle(&p, 1.0);
  EXPECT_EQ(none.E.x, 0);
  EXPECT_EQ(none.B.z, 0);
}

TEST(PusherHelpers, V6StepsAndMidpoint) {
  Particle p = Particle_new(MuMinus);
  p.x = 1;
  p.Vz = 4;
  V6 d{{2, 4, 6}, {8, 10, 12}};
  Particle a = p + d;
  EXPECT_EQ(a.x, 3);
  EXPECT_EQ(a.z, 6);
  EXPECT_EQ(a.Vx, 8);
  EXPECT_EQ(a.Vz, 16);
  Particle h = Particle_addhalf(p, d);
  EXPECT_EQ(h.x, 2);
  EXPECT_EQ(h.y, 2);
  EXPECT_EQ(h.Vy, 5);
  EXPECT_EQ(h.Vz, 10);
  Particle m = Particle_halfwayto(p, V3{3, -2, 8});
  EXPECT_EQ(m.x, 2);
  EXPECT_EQ(m.y, -1);
  EXPECT_EQ(m.z, 4);
  EXPECT_EQ(m.Vz, 4);  // velocity untouched
  EXPECT_EQ(advanceparticle, &advanceparticle_merged2a);
}

}  // namespace
