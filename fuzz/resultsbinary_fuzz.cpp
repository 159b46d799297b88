// libFuzzer target for the binary results reader: arbitrary bytes as a ".bin" file read from
// memory. Messages go to a sink (so "[FATAL]" does not end the process). Every result read
// back must be a line the text reader accepts again: its genome text must be empty or items
// "name=digits;", and its result line must hold no control byte. A crash, an out-of-bounds
// access, a leak, a hang or a broken line is a finding. Built by scripts/fuzz.sh.
// The results code reaches the check values and through them the lattice parser, so the whole
// library but the program's entry is compiled in (the script expands the patterns).
// fuzz-sources: base/*.cpp language/*.cpp lattice/*.cpp results/*.cpp sim/*.cpp sim/components/*.cpp net/*.cpp display/*.cpp shell/[a-l]*.cpp shell/[n-z]*.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/bytes.h"
#include "base/report.h"
#include "results/binary.h"

namespace {

void quiet(const char*, int, void*) {}

bool genometextok(const char* g) {
  while (*g) {
    const char* start = g;
    while (isalnum((unsigned char)*g) || *g == '#' || *g == '_' || *g == '-') g++;
    if (g == start || *g++ != '=') return false;
    start = g;
    while (isdigit((unsigned char)*g)) g++;
    if (g == start || *g++ != ';') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    report_setsink(quiet, nullptr);
    return true;
  }();
  (void)ready;
  static const ResultFormat fmt = {3, 6, 1, "Mpts"};
  ByteReader r = bytereader_memory(data, size);
  LSet set = Results_read_Binary(&r, &fmt);
  for (uint32_t i = 0; i < set.count; i++) {
    const Result& res = LSet_at<Result>(set, i);
    if (!genometextok(res.genome)) abort();
    for (const char* p = res.text; *p; p++)
      if ((unsigned char)*p < 32) abort();
  }
  Results_free(set);
  return 0;
}
