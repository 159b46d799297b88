// Cost of the solenoid field and of pushing a muon through a channel of solenoids: solfield per
// call (in the bore, and beyond 1.2 radii where it exits early), the program's pusher with three
// nearby solenoids, and as the yardstick a minimal hand-written RK4 loop over the same three
// current sheets (plain doubles, the field inlined, no cells, records or function pointers).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "sim/components/registry.h"
#include "sim/components/solenoid.h"
#include "sim/pusher.h"
#include "sim/species.h"

namespace {

constexpr double MeV = 1.602176462e-13;  // J

// Three 0.5 m coils of radius 0.3 m along z with 0.1 m gaps, fields 2, -2, 2 T.
struct Channel {
  Cell* cells[3];
  Channel() {
    registry_install();
    for (int i = 0; i < 3; i++) {
      Cell* c = Cell_new(Component, "S");
      Cell_settypename(c, "solenoid");
      Cell_setattrib(c, "length", 0.5);
      Cell_setattrib(c, "radius", 0.3);
      Cell_setattrib(c, "field", i == 1 ? -2.0 : 2.0);
      c->axis = AffineFrame{V3{0, 0, 0.6 * i}, M3x3_identity()};
      init_funcpointers(c);
      Cell_construct(c, nullptr);
      cells[i] = c;
    }
  }
  ~Channel() {
    for (Cell* c : cells) Cell_freeref(c, 0);
  }
  const Solenoid* rec(int i) const { return reinterpret_cast<const Solenoid*>(cells[i]->rtd); }
};

std::vector<V3> points(double rmax, double rmin) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<V3> v(1024);
  for (V3& p : v) {
    const double r = rmin + (rmax - rmin) * u(gen), phi = 6.283185307179586 * u(gen);
    p = V3{r * std::cos(phi), r * std::sin(phi), -0.2 + 1.9 * u(gen)};
  }
  return v;
}

void solfieldover(benchmark::State& state, const std::vector<V3>& pts) {
  Channel ch;
  const void* data = ch.cells[1]->rtd;
  size_t i = 0;
  for (auto _ : state) {
    const V3& p = pts[i++ & 1023];
    EB f = solfield(data, p.x, p.y, p.z, 1e-9);
    benchmark::DoNotOptimize(f);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SolfieldInBore(benchmark::State& state) { solfieldover(state, points(0.3, 0.0)); }
void BM_SolfieldBeyondReach(benchmark::State& state) { solfieldover(state, points(1.0, 0.37)); }
BENCHMARK(BM_SolfieldInBore);
BENCHMARK(BM_SolfieldBeyondReach);

// A 200 MeV/c mu+ off the axis with some transverse momentum, restarted every 100 steps so it
// stays in the channel.
Particle startmuon() {
  Particle p = Particle_new(MuPlus);
  const double k = MeV / c_light / speciesmass[MuPlus];
  p.x = 0.05;
  p.y = -0.02;
  p.z = 0.2;
  p.Vx = 15 * k;
  p.Vy = 10 * k;
  p.Vz = 200 * k;
  return p;
}

void BM_PusherThreeSolenoids(benchmark::State& state) {
  Channel ch;
  const Particle start = startmuon();
  Particle p = start;
  Particle_setnearby(&p, ch.cells, 3);
  Cell** list = p.nearby;
  const double dt = 1e-11;
  int n = 0;
  for (auto _ : state) {
    advanceparticle(&p, n * dt, dt);
    if (++n == 100) {
      n = 0;
      p = start;
      p.nearby = list;
      p.nnearby = 3;
    }
    benchmark::DoNotOptimize(p);
  }
  p.nearby = list;
  Particle_free(&p);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PusherThreeSolenoids);

// ---- the yardstick ----

struct Sheet {
  double z0, L, a, B0;
};

// The same sheet field (on-axis field and its second-order terms), for coils along z.
inline void sheetfield(const Sheet& s, double x, double y, double z, double* bx, double* by,
                       double* bz) {
  const double rho2 = x * x + y * y;
  if (rho2 > 1.44 * s.a * s.a) return;
  const double u1 = (z - s.z0) / s.a, u2 = (s.z0 + s.L - z) / s.a, r2 = rho2 / (s.a * s.a);
  const double c1 = 1 / (1 + u1 * u1), c2 = 1 / (1 + u2 * u2);
  const double s1 = std::sqrt(c1), s2 = std::sqrt(c2);
  *bz += s.B0 * 0.5 * (u1 * s1 + u2 * s2 + 0.75 * r2 * (u2 * s2 * c2 * c2 + u1 * s1 * c1 * c1));
  const double br = s.B0 * 0.25 / s.a *
                    (s2 * c2 - s1 * c1 +
                     0.375 * r2 * ((4 * u1 * u1 - 1) * s1 * c1 * c1 * c1 -
                                   (4 * u2 * u2 - 1) * s2 * c2 * c2 * c2));
  *bx += br * x;
  *by += br * y;
}

void BM_HandWrittenRK4ThreeSolenoids(benchmark::State& state) {
  const Sheet sheets[3] = {{0, 0.5, 0.3, 2}, {0.6, 0.5, 0.3, -2}, {1.2, 0.5, 0.3, 2}};
  const Particle start = startmuon();
  const double qm = charge[MuPlus] / speciesmass[MuPlus];
  const double dt = 1e-11;
  double s[6] = {start.x, start.y, start.z, start.Vx, start.Vy, start.Vz};
  // d/dt of (r, V) at state y: (V/γ, q/m · V/γ × B).
  auto deriv = [&](const double* y, double* d) {
    double bx = 0, by = 0, bz = 0;
    for (const Sheet& sh : sheets) sheetfield(sh, y[0], y[1], y[2], &bx, &by, &bz);
    const double g = c_light / std::sqrt(y[3] * y[3] + y[4] * y[4] + y[5] * y[5] + c_sq);
    d[0] = y[3] * g;
    d[1] = y[4] * g;
    d[2] = y[5] * g;
    d[3] = qm * g * (y[4] * bz - y[5] * by);
    d[4] = qm * g * (y[5] * bx - y[3] * bz);
    d[5] = qm * g * (y[3] * by - y[4] * bx);
  };
  int n = 0;
  for (auto _ : state) {
    double k1[6], k2[6], k3[6], k4[6], y[6];
    deriv(s, k1);
    for (int i = 0; i < 6; i++) y[i] = s[i] + 0.5 * dt * k1[i];
    deriv(y, k2);
    for (int i = 0; i < 6; i++) y[i] = s[i] + 0.5 * dt * k2[i];
    deriv(y, k3);
    for (int i = 0; i < 6; i++) y[i] = s[i] + dt * k3[i];
    deriv(y, k4);
    for (int i = 0; i < 6; i++) s[i] += dt / 6 * (k1[i] + 2 * k2[i] + 2 * k3[i] + k4[i]);
    if (++n == 100) {
      n = 0;
      s[0] = start.x, s[1] = start.y, s[2] = start.z;
      s[3] = start.Vx, s[4] = start.Vy, s[5] = start.Vz;
    }
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandWrittenRK4ThreeSolenoids);

}  // namespace
