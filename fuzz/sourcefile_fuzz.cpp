// libFuzzer target for the particle source files: the input after its first byte is read as a
// rod-source CSV (a "k" or "cm" layout line, then records) and as a MARS file, with a few
// copies per record as the "timespread" and "axial" attributes ask (from the first byte).
// Every particle loaded must have finite coordinates, a finite start time and a speed below c.
// Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/kinematics.h"
#include "fuzz/filefuzz.h"
#include "base/vec.h"
#include "sim/components/sources.h"
#include "sim/simulation.h"
#include "sim/species.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::readysim();
  if (size == 0) return 0;
  const int copies = 1 + (data[0] & 3), axial = (data[0] >> 2) & 1;
  filefuzz::writefile("datafiles/input.csv", data + 1, size - 1);
  for (int kind = 0; kind < 2; kind++) {
    Simulation s = Simulation_default;
    s.seed = 99;
    s.beam = Beam_new();
    Rodsource rod{ROD_RADIUS, ROD_LENGTH, 0.1, 0.3 * (data[0] >> 4), 0, 0};
    rodsource_lookups(&rod);
    if (kind == 0)
      loadbeam_rodsource(&rod, "datafiles/input.csv", copies, axial, PiPlus, &s, 0);
    else
      loadbeam_marssource(AffineFrame_identity(), "datafiles/input.csv", copies, 1e-9, axial, &s, 0);
    if (!filefuzz::finitebeam(s.beam, true)) abort();
    Simulation_free(&s);
  }
  return 0;
}
