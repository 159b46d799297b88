// Loading a whole "results.dat" (done once at start, and by the file management), and the
// check value of one result (once per result written, and for every result of a file the
// upload re-validates, which is what the caches are for). Runs in a temporary directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "base/random.h"
#include "results/checkval.h"
#include "language/genome.h"
#include "results/results.h"
#include "shell/ordax.h"
#include "lattice/latticefiles.h"
#include "base/report.h"

namespace {

namespace fs = std::filesystem;

void quiet(const char*, int, void*) {}

// A temporary working directory with a lattice "chan" (a solenoid channel that names one data
// file) and a generated results file of about 50 MB.
struct Workspace {
  fs::path old, dir;
  uint64_t resultsbytes = 0;
  int resultscount = 0;
  Workspace() {
    old = fs::current_path();
    dir = fs::temp_directory_path() / ("ordax_results_bench_" + std::to_string(getpid_like()));
    fs::create_directories(dir / "lattices");
    fs::create_directories(dir / "datafiles");
    fs::current_path(dir);
    report_setsink(quiet, nullptr);
    write("lattices/chan.txt",
          "{Solenoid(S) Radius(mm) Field(T) Length(cm) OuterRadius(mm)}\n"
          "{Drift(D) Length(cm)}\n"
          "{Fieldmap(F) File}\n"
          "S0 300 [1,5] 50 400\n"
          "S1 300 [-5,-1] 50 400\n"
          "DGap [5,40]\n"
          "FMap map.csv\n"
          "chan: FMap,S0,DGap,S1,DGap,S0;\n");
    std::string map;
    for (int i = 0; i < 20000; i++) map += std::to_string(i * 0.001) + ", 1.5, -2.25\n";
    write("datafiles/map.csv", map);
    makeresults();
  }
  ~Workspace() {
    report_setsink(nullptr, nullptr);
    fs::current_path(old);
    fs::remove_all(dir);
  }
  static unsigned getpid_like() { return std::random_device{}(); }
  static void write(const char* path, const std::string& text) {
    FILE* f = fopen(path, "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  // Results of four lattices with 12 genes each, as the run cycle writes them.
  void makeresults() {
    const ResultFormat fmt{3, 6, 1, "Mpts"};
    const char* lattices[] = {"chan", "capture", "cooling", "buncher"};
    std::mt19937 rng(1);
    std::string text;
    while (text.size() < (50u << 20)) {
      Genome g = Genome_new();
      for (int k = 0; k < 12; k++)
        gassign(&g, ("gene" + std::to_string(k)).c_str(), (int)(rng() % 1000));
      gassign(&g, "#gen", (int)(rng() % 13));
      if (rng() % 10 == 0) gassign(&g, "#runs", 5);
      CheckVal c = CheckVal_new(12);
      for (uint32_t i = 0; i < 12; i++) c.bytes[i] = (unsigned char)rng();
      Result r = Result_createliteral(g, (rng() % 100000) * 0.001, (rng() % 10000) * 0.1,
                                      "v4.47_dev", lattices[rng() % 4], c, "", &fmt);
      text += r.genome;
      text += "\r\n";
      text += r.text;
      text += "\r\n";
      resultscount++;
      Result_free(r);
      CheckVal_free(c);
      Genome_free(g);
    }
    write("results.dat", text);
    resultsbytes = text.size();
  }
};

Workspace& workspace() {
  static Workspace* w = new Workspace();
  return *w;
}

void BM_Results_load_50MB(benchmark::State& state) {
  Workspace& w = workspace();
  uint32_t count = 0;
  for (auto _ : state) {
    LSet set = Results_load("results.dat", nullptr);
    count = set.count;
    Results_free(set);
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * w.resultsbytes));
  state.counters["results"] = count;
  state.counters["MB"] = (double)w.resultsbytes / 1048576.0;
}
BENCHMARK(BM_Results_load_50MB)->Unit(benchmark::kMillisecond)->Iterations(3);

// The check value of one v4.47 result of "chan" (mixed scheme, data-file list from the
// lattice parser), with the caches off (the run cycle) and on (a whole-file re-validation).
void BM_ordaxchecksum(benchmark::State& state) {
  workspace();
  checksumcacheon = (unsigned char)state.range(0);
  checksumcache_clear();
  lattice_exists(LATTICE_EXISTS_RESET);
  Result r{strdup("gene0=500;gene1=042;s0f=333;dgapl=123;s1f=999;#gen=1;#runs=5;"),
           strdup("12.345679 (2345.7 Mpts) [v4.47_dev] <chan> {00} "), 12.345679};
  for (auto _ : state) {
    CheckVal c = ordaxchecksum(r);
    benchmark::DoNotOptimize(c.bytes);
    CheckVal_free(c);
  }
  Result_free(r);
  checksumcacheon = 0;
  checksumcache_clear();
}
BENCHMARK(BM_ordaxchecksum)->Arg(0)->Arg(1)->ArgName("cache")->Unit(benchmark::kMicrosecond);

}  // namespace
