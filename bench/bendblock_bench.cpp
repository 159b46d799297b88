// Cost of the bending-magnet field look-up (one call of the placed map: two turns, three
// bilinear plane reads at most, the mirror rule) and of the blockage collision check for a
// particle step: wholly inside a cylinder (inside test at the midpoint and one absorption draw),
// crossing its face (a crossing search per surface), and passing beside it (three searches that
// find no sign change).
#include <benchmark/benchmark.h>

#include <cmath>

#include "base/kinematics.h"
#include "base/report.h"
#include "lattice/cellclass.h"
#include "sim/components/blockage.h"
#include "sim/components/bmagnet.h"
#include "sim/components/registry.h"
#include "sim/pusher.h"
#include "sim/species.h"

namespace {

const double MeV = 1.602176462e-13;  // J

Cell* built(const char* type, Cell* c) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  Cell_settypename(c, type);
  c->entrance = c->axis = AffineFrame_identity();
  registry_install();
  init_funcpointers(c);
  Cell_construct(c, nullptr);
  return c;
}

void BM_BendingMagnetField(benchmark::State& state) {
  const char* names[4] = {"bmag_y0.txt", "bmag_y5.txt", "bmag_y10.txt", "bmag_y13.txt"};
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!bmagnet_loadmap(ORDAX_SOURCE_DIR "/datafiles/", names)) {
    state.SkipWithError("no map");
    return;
  }
  Cell* c = built("BMagnet", Cell_new(Component, "M"));
  double x = 0, sum = 0;
  for (auto _ : state) {
    x += 1e-3;
    if (x > 0.5) x = -0.5;
    const EB f = Cell_field(c, 0.1 * x, 0.07 * x, x, 0);
    sum += f.B.y;
  }
  benchmark::DoNotOptimize(sum);
  Cell_freeref(c, 0);
}
BENCHMARK(BM_BendingMagnetField);

// range(0): 0 inside, 1 crossing the entry face, 2 beside the body.
void BM_BlockageCollision(benchmark::State& state) {
  Cell* c = Cell_new(Component, "A");
  Cell_setattrib(c, "radius", 0.1);
  Cell_setattrib(c, "Length", 0.2);
  Cell_setattrib(c, "AbsorptionLength", 1e6);
  built("Cylinder-blockage", c);
  const double z0[3] = {0.1, -0.002, -0.1}, x0[3] = {0, 0, 0.15};
  Particle p = Particle_new(MuPlus);
  p.x = x0[state.range(0)];
  p.z = z0[state.range(0)];
  p.Vz = 200 * MeV / c_light / speciesmass[MuPlus];
  Particle end = p, out;
  const double dt = 1e-11;
  advanceparticle(&end, 0, dt);
  double tout;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Cell_collisiondetect(c, &p, &end, 0, dt, 0, nullptr, nullptr, &out, &tout));
  }
  Cell_freeref(c, 0);
}
BENCHMARK(BM_BlockageCollision)->Arg(0)->Arg(1)->Arg(2);

}  // namespace
