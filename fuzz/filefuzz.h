// Shared by the fuzz targets of the file readers: each input is written to a file in a
// directory of the fuzzing process's own (made once, entered once), and messages go to a sink
// so that "[FATAL]" does not end the process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "base/report.h"

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
