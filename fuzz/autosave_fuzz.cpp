// libFuzzer target for the auto-save file: the input, after a version line, is restored as at
// start-up, once unsigned (so that the record readers see every input) and once as a whole
// signed file. A restored run must hold a machine and a beam whose particles are finite and
// whose beam lines are the machine; saving it again and restoring that must give the same
// counts. Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/filefuzz.h"
#include "language/genome.h"
#include "results/autosave.h"
#include "results/queue.h"
#include "sim/simulation.h"

namespace {

const char VERSION[] = "v4.47_dev";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::readysim();
  std::string file = std::string(VERSION) + "\n";
  file.append(reinterpret_cast<const char*>(data), size);
  for (int sign = 0; sign < 2; sign++) {
    if (sign) filefuzz::writefile("auto.sav", data, size);
    else filefuzz::writefile("auto.sav", reinterpret_cast<const uint8_t*>(file.data()), file.size());
    Simulation sim{};
    Genome genome = Genome_new();
    QuarantineInfo q;
    q.queuefile = "queue.txt";
    SignatureFunction signature = sign ? autosave_checksum : nullptr;
    if (loadall("auto.sav", VERSION, &sim, nullptr, &genome, &q, signature) == 1) {
      if (!sim.lattice || !filefuzz::finitebeam(sim.beam, false)) abort();
      if (saveall("auto.sav", VERSION, &sim, nullptr, genome, &q, signature) != 1) abort();
      Simulation again{};
      Genome g2 = Genome_new();
      QuarantineInfo q2;
      q2.queuefile = "queue.txt";
      if (loadall("auto.sav", VERSION, &again, nullptr, &g2, &q2, signature) != 1) abort();
      if (again.beam.M != sim.beam.M || again.lattice->n != sim.lattice->n ||
          g2.count != genome.count || q2.count != q.count)
        abort();
      Simulation_free(&again);
      Genome_free(g2);
      QuarantineInfo_free(&q2);
    }
    Simulation_free(&sim);
    Genome_free(genome);
    QuarantineInfo_free(&q);
  }
  return 0;
}
