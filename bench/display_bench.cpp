// The cost of what the display adds to a run, measured against the run itself: a whole run of
// the bundled default lattice on one thread, with the -plot recording sampled every N time
// steps (0: none). Counters: the seconds spent in the recording and their share of the run.
// Looks for the lattice in the working directory and up to three levels above it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "base/random.h"
#include "base/report.h"
#include "display/runrecord.h"
#include "display/sideview.h"
#include "display/terminal.h"
#include "display/window.h"
#include "language/genome.h"
#include "shell/runstate.h"
#include "bench/benchdir.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void BM_RunWithPlotRecording(benchmark::State& state) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  Simulation_defaultdefault();  // one stepping thread
  const int every = (int)state.range(0);
  double recording = 0, total = 0;
  for (auto _ : state) {
    srand15(7);
    Genome g = Genome_new();
    double t0 = seconds();
    Simulation sim = Simulation_new("decaychannel", &g, "");
    RunRecord r;
    if (every > 0) RunRecord_begin(&r, &sim, 400, every);
    while (sim.lattice && sim.beam.m > 0 && sim.t < sim.t_max) {
      Simulation_advance(&sim, 1, 1, 1);
      if (every > 0) {
        double a = seconds();
        RunRecord_sample(&r, &sim);
        recording += seconds() - a;
      }
    }
    double score = Simulation_score(&sim);
    if (every > 0) {
      double a = seconds();
      RunRecord_finish(&r, &sim, score, 5000);
      recording += seconds() - a;
    }
    total += seconds() - t0;
    Simulation_free(&sim);
    Genome_free(g);
  }
  state.counters["recording_s"] = recording / state.iterations();
  state.counters["share_%"] = total > 0 ? 100 * recording / total : 0;
  report_setsink(nullptr, nullptr);
}
BENCHMARK(BM_RunWithPlotRecording)->Arg(10)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// One frame of the terminal's side view (80 × 12 cells) of the default lattice's beam after
// 2,000 steps (about 3,000 live particles), drawn with the panel into an 80 × 24 screen. The
// view draws at most 10 frames a second, so the share of the run's time it takes is at most
// the frame time × 10 per second.
void BM_SideViewFrame(benchmark::State& state) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  Simulation_defaultdefault();  // one stepping thread
  srand15(7);
  Genome g = Genome_new();
  Simulation sim = Simulation_new("decaychannel", &g, "");
  for (int i = 0; i < 2000 && sim.lattice && sim.beam.m > 0; i++) Simulation_advance(&sim, 1, 1, 1);
  SideViewState v;
  // The whole frame as the terminal gets it: the rows, then the screen redrawn with them and
  // the report panel (written to /dev/null in place of the terminal).
  FILE* sink = fopen("/dev/null", "w");
  display_attach(sink, 80, 24);
  for (auto _ : state) {
    std::vector<std::string> rows = sideview_rows(sim, v, 80, 12);
    display_view(rows);
    benchmark::DoNotOptimize(rows);
  }
  display_release();
  fclose(sink);
  state.counters["live"] = sim.beam.m;
  Simulation_free(&sim);
  Genome_free(g);
  report_setsink(nullptr, nullptr);
}
BENCHMARK(BM_SideViewFrame)->Unit(benchmark::kMicrosecond);

// One frame of the OpenGL window (1024 × 768, the default size) of the same beam: the copy of
// the particles and the whole drawing, as processor time of the process (Mesa's software
// renderer draws on threads of its own). Needs a display server (DISPLAY, e.g. Xvfb). The
// window draws at most 10 frames a second (-g, one time step per pass); in the default pacing
// of graphics mode (about 0.3 s of stepping per pass) it draws about 3 a second. The counters
// give the share of one processor at both rates.
void BM_WindowFrame(benchmark::State& state) {
  report_setsink([](const char*, int, void*) {}, nullptr);
  if (!gotolattices()) {
    state.SkipWithError("lattices/decaychannel.txt not found");
    return;
  }
  Simulation_defaultdefault();
  srand15(7);
  Genome g = Genome_new();
  Simulation sim = Simulation_new("decaychannel", &g, "");
  for (int i = 0; i < 2000 && sim.lattice && sim.beam.m > 0; i++) Simulation_advance(&sim, 1, 1, 1);
  if (!window_open(WindowOptions{})) {
    state.SkipWithError("no window (built without GLFW, or no display server: set DISPLAY)");
    Simulation_free(&sim);
    Genome_free(g);
    return;
  }
  SideViewState v;
  window_frame(sim, v, true);  // the machine's mesh is built once per run
  auto cpu = [] {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
  };
  double used = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(105));  // past the frame gap
    state.ResumeTiming();
    double a = cpu();
    window_frame(sim, v, true);
    used += cpu() - a;
  }
  double frame = used / state.iterations();
  state.counters["frame_cpu_ms"] = 1e3 * frame;
  state.counters["share_at_3fps_%"] = 100 * frame * 3.3;
  state.counters["share_at_10fps_%"] = 100 * frame * 10;
  state.counters["live"] = sim.beam.m;
  display_release();
  Simulation_free(&sim);
  Genome_free(g);
  report_setsink(nullptr, nullptr);
}
BENCHMARK(BM_WindowFrame)->Iterations(100)->Unit(benchmark::kMillisecond);

}  // namespace
