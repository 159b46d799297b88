// libFuzzer target for the genome forms: the input as the binary form (as the auto-save file
// holds it) and as the text form (as result files and settings hold it). A genome read from
// either must survive a write and a second read unchanged. Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/platform.h"
#include "fuzz/filefuzz.h"
#include "language/genome.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  FILE* f = platform_memfile(data, size);
  if (!f) return 0;
  Genome g = Genome_new();
  int ok = Genome_read(&g, f);
  std::fclose(f);
  if (ok == 1 && g.count >= 0) {
    FILE* out = std::tmpfile();
    if (!out) abort();
    Genome_write(&g, out);
    std::rewind(out);
    Genome back = Genome_new();
    if (Genome_read(&back, out) != 1 || !Genome_identical(g, back)) abort();
    std::fclose(out);
    Genome_free(back);
  }
  Genome_free(g);

  const std::string text(reinterpret_cast<const char*>(data), size);
  for (int keephash = 0; keephash < 2; keephash++) {
    Genome t = Genome_fromstring(text.c_str(), keephash);
    std::string again = Genome_string(t);
    Genome u = Genome_fromstring(again.c_str(), keephash);
    if (Genome_string(u) != again) abort();
    Genome_free(t);
    Genome_free(u);
  }
  return 0;
}
