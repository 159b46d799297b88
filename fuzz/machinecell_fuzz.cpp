// libFuzzer target for the lattice parser: arbitrary bytes as a lattice file, parsed with a
// fresh genome. Messages go to a sink (so "[FATAL]" does not end the process) and the bounds
// are lowered so that every input finishes in milliseconds; a crash, an out-of-bounds access,
// a leak or a hang is a finding. Linked with the whole library; built (ORDAX_FUZZ) and run by
// scripts/fuzz.sh; corpus in fuzz/corpus/machinecell_fuzz/.
#include <cstddef>
#include <cstdint>
#include <string>

#include "language/parser.h"
#include "base/report.h"

namespace {

void quiet(const char*, int, void*) {}

int32_t fixedraw(const char* name, const Genome*) {
  uint32_t h = 0;
  for (const char* p = name; *p; p++) h = h * 31 + static_cast<unsigned char>(*p);
  return static_cast<int32_t>(h % 1000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    report_setsink(quiet, nullptr);
    gnull = fixedraw;  // genes asked for by the lattice: deterministic values
    parserlimits.cishiterations = 500;
    parserlimits.cishoutput = 1 << 16;
    parserlimits.maxcells = 5000;
    return true;
  }();
  (void)ready;
  std::string text(reinterpret_cast<const char*>(data), size);
  Genome genome = Genome_new();
  Cell* parameters = nullptr;
  Cell* machine = machinecell(text.c_str(), &genome, "fuzz", 0, &parameters);
  if (machine && (machine->t != Composite || machine->n < 0)) __builtin_trap();
  Cell_freeref(machine, 0);
  Cell_freeref(parameters, 0);
  Genome_free(genome);
  return 0;
}
