// Shared by the fuzz targets of the file readers: each input is written to a file in a
// directory of the fuzzing process's own (made once, entered once), and messages go to a sink
// so that "[FATAL]" does not end the process; the set-up of the targets that build
// simulations and their check of a beam.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "base/report.h"
#include "sim/beam.h"
#include "sim/components/registry.h"
#include "sim/simulation.h"

namespace filefuzz {

inline void quiet(const char*, int, void*) {}

// Enters the process's own fresh directory (with "lattices" and "datafiles") on first use.
inline void ready() {
  static bool done = [] {
    report_setsink(quiet, nullptr);
    char dir[] = "/tmp/ordax_fuzz.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) abort();
    if (system("mkdir -p lattices datafiles") != 0) abort();
    return true;
  }();
  (void)done;
}

// ready(), and for the targets that build simulations the component classes and the default
// simulation record, once.
inline void readysim() {
  ready();
  static bool tables = [] {
    registry_install();
    Simulation_defaultdefault();
    return true;
  }();
  (void)tables;
}

// Whether every particle of the beam (all M records) has a finite position and velocity; with
// `loaded`, also a finite start time and a speed whose square is finite (what a beam loader
// must give).
inline bool finitebeam(const Beam& b, bool loaded) {
  for (int32_t i = 0; i < b.M; i++) {
    const Particle& p = b.particles[i];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) ||
        !std::isfinite(p.Vx) || !std::isfinite(p.Vy) || !std::isfinite(p.Vz))
      return false;
    if (loaded && (!std::isfinite(p.tstart) ||
                   !std::isfinite(p.Vx * p.Vx + p.Vy * p.Vy + p.Vz * p.Vz)))
      return false;
  }
  return true;
}

inline void writefile(const char* path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path, "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

inline long filesizeof(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fclose(f);
  return n;
}

}  // namespace filefuzz
