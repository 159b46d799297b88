// Cost of one field evaluation of the multipole and three-dimensional magnets, against the
// solenoid's (BM_SolfieldInBore in solenoid_bench.cpp, the field most machines spend their
// time in): a quadrupole in its body and in its fringe, a multipole with all twenty orders, a
// three-dimensional sector in its body and near its entrance edge off the mid-plane (where the
// off-plane series needs its most orders), and the series orders that took on average.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "lattice/cellclass.h"
#include "sim/components/magnet3.h"
#include "sim/components/multipole.h"
#include "sim/components/registry.h"

namespace {

struct Num {
  const char* name;
  double value;
  const char* text = nullptr;
};

Cell* makecell(const char* type, const std::vector<Num>& attrs) {
  registry_install();
  Cell* c = Cell_new(Component, "B");
  Cell_settypename(c, type);
  for (const Num& a : attrs) {
    if (a.text) Cell_setstringattrib(c, a.name, a.text);
    else Cell_setattrib(c, a.name, a.value);
  }
  c->entrance = c->axis = AffineFrame_identity();
  init_funcpointers(c);
  Cell_construct(c, nullptr);
  return c;
}

// 1024 points with r < rmax about the z axis and z in [z0, z1).
std::vector<V3> cylinder(double rmax, double z0, double z1) {
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<V3> v(1024);
  for (V3& p : v) {
    const double r = rmax * std::sqrt(u(gen)), phi = 6.283185307179586 * u(gen);
    p = V3{r * std::cos(phi), r * std::sin(phi), z0 + (z1 - z0) * u(gen)};
  }
  return v;
}

// 1024 points of the sector's gap at arc length s in [s0, s1), |X| < 0.1, |Y| < ymax.
std::vector<V3> gap(const Magnet3* m, double s0, double s1, double ymax) {
  std::mt19937 gen(13);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<V3> v(1024);
  for (V3& p : v)
    p = Magnet3_curvepoint(m, s0 + (s1 - s0) * u(gen), 0.2 * u(gen) - 0.1,
                           ymax * (2 * u(gen) - 1));
  return v;
}

void fieldover(benchmark::State& state, Cell* c, const std::vector<V3>& pts) {
  size_t i = 0;
  for (auto _ : state) {
    const V3& p = pts[i++ & 1023];
    EB f = Cell_field(c, p.x, p.y, p.z, 0);
    benchmark::DoNotOptimize(f);
  }
  state.SetItemsProcessed(state.iterations());
  Cell_freeref(c, 0);
}

const std::vector<Num> quad = {{"Fringe", 0.05}, {"Length", 0.2}, {"Quad", 2}};

void BM_MultipoleQuadrupoleBody(benchmark::State& state) {
  fieldover(state, makecell("Multipole", quad), cylinder(0.07, 0.05, 0.15));
}
void BM_MultipoleQuadrupoleFringe(benchmark::State& state) {
  fieldover(state, makecell("Multipole", quad), cylinder(0.07, -0.1, 0.1));
}
void BM_MultipoleTwentyOrders(benchmark::State& state) {
  std::vector<Num> attrs = {{"Fringe", 0.05}, {"Length", 0.2}};
  static char names[20][8];
  for (int n = 1; n <= 20; n++) {
    std::snprintf(names[n - 1], sizeof names[n - 1], "p%d", 2 * n);
    attrs.push_back({names[n - 1], 1.0 / n});
  }
  fieldover(state, makecell("Multipole", attrs), cylinder(0.07, -0.1, 0.3));
}
BENCHMARK(BM_MultipoleQuadrupoleBody);
BENCHMARK(BM_MultipoleQuadrupoleFringe);
BENCHMARK(BM_MultipoleTwentyOrders);

const std::vector<Num> sector = {
    {"Length", 1},        {"Angle", 0.7853981633974483}, {"Fringe", 0.05},
    {"Field", -0.524},    {"HalfWidth", 0.1},            {"HalfHeight", 0.05},
    {"FringeFunc", 0, "IntGaussian"}, {"func3", 0, "Polynomial"}, {"func3degree", 0},
    {"func3c0", 1}};

void sectorover(benchmark::State& state, double s0, double s1, double ymax) {
  Cell* c = makecell("Magnet3Sector", sector);
  const Magnet3* m = reinterpret_cast<const Magnet3*>(c->rtd);
  const std::vector<V3> pts = gap(m, s0, s1, ymax);
  double orders = 0;
  for (const V3& p : pts) {
    int n = 0;
    MagnetProduct3_fieldtol(&m->product, V3{p.x, p.z, p.y}, 1e-8, &n);
    orders += n;
  }
  state.counters["orders"] = orders / pts.size();
  fieldover(state, c, pts);
}

void BM_Magnet3BodyMidPlane(benchmark::State& state) { sectorover(state, 0.3, 0.7, 0); }
void BM_Magnet3BodyOffPlane(benchmark::State& state) { sectorover(state, 0.3, 0.7, 0.045); }
void BM_Magnet3EdgeOffPlane(benchmark::State& state) { sectorover(state, -0.1, 0.1, 0.045); }
BENCHMARK(BM_Magnet3BodyMidPlane);
BENCHMARK(BM_Magnet3BodyOffPlane);
BENCHMARK(BM_Magnet3EdgeOffPlane);

}  // namespace
