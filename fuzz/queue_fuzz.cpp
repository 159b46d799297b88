// libFuzzer target for the queue file: arbitrary bytes as "queue.txt" beside one lattice,
// asked for its head three times as the run cycle asks. Reading the queue may drop lines that
// can never run but never adds any: the file must not grow. Built by scripts/fuzz.sh.
// fuzz-sources: base/*.cpp language/*.cpp lattice/*.cpp results/*.cpp sim/*.cpp sim/components/*.cpp net/*.cpp display/*.cpp shell/[a-l]*.cpp shell/[n-z]*.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/filefuzz.h"
#include "language/genome.h"
#include "lattice/latticefiles.h"
#include "results/queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  static bool lattice = [] {
    const char text[] = "{Drift Length(m)}\nD1 [1,2]\nline: D1;\n";
    filefuzz::writefile("lattices/demo.txt", (const uint8_t*)text, sizeof text - 1);
    return true;
  }();
  (void)lattice;
  lattice_exists(LATTICE_EXISTS_RESET);
  filefuzz::writefile("queue.txt", data, size);
  QuarantineInfo q;
  q.queuefile = "queue.txt";
  long before = (long)size;
  for (int i = 0; i < 3; i++) {
    char* name = nullptr;
    Genome g = getqueuedresult(&name, nullptr, &q);
    Genome_free(g);
    free(name);
    long now = filefuzz::filesizeof("queue.txt");
    if (now > before) abort();
    before = now < 0 ? 0 : now;
  }
  QuarantineInfo_free(&q);
  return 0;
}
