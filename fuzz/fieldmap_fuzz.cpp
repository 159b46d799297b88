// libFuzzer target for the bending-magnet field maps: the input is written as one plane file
// and loaded as all four planes, as the "File1" … "File4" attributes load them. A map that
// loads must give finite fields everywhere inside and outside its grid. Built by
// scripts/fuzz.sh.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/filefuzz.h"
#include "sim/components/bmagnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  filefuzz::writefile("datafiles/plane.txt", data, size);
  const char* const names[BMAG_PLANES] = {"plane.txt", "plane.txt", "plane.txt", "plane.txt"};
  bmagnet_unloadmap();
  if (bmagnet_loadmap("datafiles/", names) == 1) {
    if (!bmagnet_maploaded()) abort();
    for (double u : {-3.0, -2.45, 0.0, 0.33, 2.45, 3.0})
      for (double y : {-0.2, 0.0, 0.07, 0.13, 0.2})
        for (double w : {-2.0, -0.1, 0.0, 0.27, 2.0}) {
          V3 b = bmagnetf(u, y, w);
          if (!std::isfinite(b.x) || !std::isfinite(b.y) || !std::isfinite(b.z)) abort();
        }
  }
  return 0;
}
