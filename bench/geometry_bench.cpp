// Speed of the geometry vocabulary on the pusher's path: frame transforms of points and
// vectors (every field sample of every nearby component goes through unaffine, then
// affine_no_trans), the arc transport used to place cells, and the bilinear field-map lookup.
// Figures are per transformed point (items per second in the output).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "base/arrays.h"
#include "base/matrix.h"
#include "base/vec.h"

namespace {

constexpr int N = 1024;

struct Points {
  AffineFrame f;
  std::vector<V3> p;
  Points() : p(N) {
    std::mt19937 g(1);
    std::uniform_real_distribution<double> u(-1, 1);
    f = AffineFrame{V3{u(g), u(g), u(g)}, M3x3_Rxyz(V3{u(g), u(g), u(g)})};
    for (V3& v : p) v = V3{u(g), u(g), u(g)};
  }
};

void BM_AffineFrame_affine(benchmark::State& state) {
  Points s;
  for (auto _ : state) {
    for (V3& v : s.p) affine(s.f, &v.x, &v.y, &v.z);
    benchmark::DoNotOptimize(s.p.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_AffineFrame_affine);

void BM_AffineFrame_unaffine(benchmark::State& state) {
  Points s;
  for (auto _ : state) {
    for (V3& v : s.p) unaffine(s.f, &v.x, &v.y, &v.z);
    benchmark::DoNotOptimize(s.p.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_AffineFrame_unaffine);

// One field sample's worth: position into the local frame, field direction back out.
void BM_AffineFrame_unaffineThenAffineNoTrans(benchmark::State& state) {
  Points s;
  for (auto _ : state) {
    for (V3& v : s.p) {
      unaffine(s.f, &v.x, &v.y, &v.z);
      affine_no_trans(s.f, &v.x, &v.y, &v.z);
    }
    benchmark::DoNotOptimize(s.p.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_AffineFrame_unaffineThenAffineNoTrans);

void BM_AffineFrame_transportarc(benchmark::State& state) {
  AffineFrame f = AffineFrame_identity();
  double theta = state.range(0) ? 0.01 : 0.0;
  for (auto _ : state) {
    f = AffineFrame_transportarc(f, 0.5, theta, 0.001);
    benchmark::DoNotOptimize(f);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AffineFrame_transportarc)->Arg(0)->Arg(1);

void BM_M3x3_Rxyz(benchmark::State& state) {
  V3 w{0.3, -0.2, 0.1};
  for (auto _ : state) {
    benchmark::DoNotOptimize(w);
    M3x3 r = M3x3_Rxyz(w);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_M3x3_Rxyz);

void BM_array_2d_bilinear(benchmark::State& state) {
  Array2d a(array_2d(200, 200));
  for (uint32_t i = 0; i < 200; i++)
    for (uint32_t j = 0; j < 200; j++) a.get()[i][j] = i * 0.5 + j;
  std::mt19937 g(2);
  std::uniform_real_distribution<double> u(0, 199);
  std::vector<double> xs(N), ys(N);
  for (int k = 0; k < N; k++) xs[k] = u(g), ys[k] = u(g);
  for (auto _ : state) {
    double s = 0;
    for (int k = 0; k < N; k++) s += array_2d_bilinear(a.get(), xs[k], ys[k]);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations() * N);
}
BENCHMARK(BM_array_2d_bilinear);

void BM_invertmatrix(benchmark::State& state) {
  uint32_t n = uint32_t(state.range(0));
  Array2d a(array_2d(n, n)), w(array_2d(n, n));
  for (uint32_t i = 0; i < n; i++)
    for (uint32_t j = 0; j < n; j++) a.get()[i][j] = (i == j ? n : 0) + 1.0 / (i + j + 1);
  for (auto _ : state) {
    array_2d_eq(w.get(), a.get());
    benchmark::DoNotOptimize(invertmatrix(w.get()));
  }
}
BENCHMARK(BM_invertmatrix)->Arg(6)->Arg(20);

}  // namespace
