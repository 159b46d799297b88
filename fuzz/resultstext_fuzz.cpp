// libFuzzer target for the results text reader: arbitrary bytes as "results.dat", loaded as
// at start-up and counted as the upload code counts them. Both readers must agree on the
// number of results, and every result read must survive a write and a second read unchanged.
// Built by scripts/fuzz.sh.
// fuzz-sources: base/*.cpp language/*.cpp lattice/*.cpp results/*.cpp sim/*.cpp sim/components/*.cpp net/*.cpp display/*.cpp shell/[a-l]*.cpp shell/[n-z]*.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/platform.h"
#include "fuzz/filefuzz.h"
#include "results/results.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  filefuzz::writefile("results.dat", data, size);
  LSet set = Results_load("results.dat", nullptr);
  if (Results_infile("results.dat", nullptr) != (int)set.count) abort();
  for (uint32_t i = 0; i < set.count; i++) {
    const Result& r = LSet_at<Result>(set, i);
    std::string lines = Result_lines(r);
    FILE* f = platform_memfile(lines.data(), lines.size());
    if (!f) abort();
    Result again = Result_read(f, nullptr, nullptr, 1, nullptr);
    fclose(f);
    if (!again.text || strcmp(again.genome, r.genome) != 0 || strcmp(again.text, r.text) != 0)
      abort();
    Result_free(again);
  }
  Results_free(set);
  return 0;
}
