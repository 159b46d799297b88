// The upload's re-reading of "results.txt": one 2,000-result slice (every result twice, so the
// duplicate search has work) re-validated against a lattice that names a data file, written as
// the upload pair and offered to a server that refuses the connection at once, so the time is
// the client's own. Runs in a temporary directory; "results.txt" is the same after each try.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "base/report.h"
#include "language/genome.h"
#include "lattice/latticefiles.h"
#include "net/exchange.h"
#include "net/http.h"
#include "results/checkval.h"
#include "results/results.h"

namespace {

namespace fs = std::filesystem;

void quiet(const char*, int, void*) {}

void write(const fs::path& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

void BM_UploadReparse(benchmark::State& state) {
  const int n = (int)state.range(0);
  fs::path old = fs::current_path();
  fs::path dir = fs::temp_directory_path() / ("ordax_exchange_bench_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "lattices");
  fs::create_directories(dir / "datafiles");
  fs::current_path(dir);
  report_setsink(quiet, nullptr);
  write("lattices/chan.txt",
        "{Solenoid(S) Radius(mm) Field(T) Length(cm) OuterRadius(mm)}\n{Drift(D) Length(cm)}\n"
        "{Fieldmap(F) File}\nS0 300 [1,5] 50 400\nDGap [5,40]\nFMap map.csv\nchan: FMap,S0,DGap,S0;\n");
  std::string map;
  for (int i = 0; i < 20000; i++) map += std::to_string(i * 0.001) + ", 1.5, -2.25\n";
  write("datafiles/map.csv", map);
  lattice_exists(LATTICE_EXISTS_RESET);
  const ResultFormat fmt{3, 6, 1, "Mpts"};
  std::string text;
  for (int i = 0; i < n / 2; i++) {
    char g[64];
    snprintf(g, sizeof g, "zsrc=%03d;rotsrc=%03d;#gen=1;", i % 1000, i / 1000);
    Genome genome = Genome_fromstring(g, 1);
    Result r = Result_create(genome, 10 + i * 0.001, 1, "v4.47_dev", "chan", "", &fmt, ordaxchecksum);
    std::string pair = std::string(r.genome) + "\r\n" + r.text + "\r\n";
    text += pair + pair;
    Result_free(r);
    Genome_free(genome);
  }
  write("results.txt", text);
  http_setproxy(1, nullptr, 0);
  for (auto _ : state) {
    int r = sendresultsserver("results.txt", "bench", 1, "127.0.0.1:1", "u", "p",
                              EXCHANGE_UPLOADPATH);
    benchmark::DoNotOptimize(r);
  }
  state.counters["results"] = n;
  report_setsink(nullptr, nullptr);
  fs::current_path(old);
  fs::remove_all(dir);
}
BENCHMARK(BM_UploadReparse)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
