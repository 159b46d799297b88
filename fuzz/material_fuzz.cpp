// libFuzzer target for the material tables: the input, cut at each "\n--\n", becomes the index
// file (first piece) and the binary layer files (the rest) of one material, loaded as a
// component's "ScatterData" attribute loads it. A loaded material must hold ascending finite
// momenta and one layer per momentum, every record finite and not negative, and a look-up of
// its layers at momenta inside and outside the table must stay in range. Built by
// scripts/fuzz.sh.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/filefuzz.h"
#include "sim/material.h"
#include "sim/particle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string cut = "\n--\n";
  int k = 0;
  size_t at = 0;
  for (; k < 40; k++) {
    size_t end = text.find(cut, at);
    std::string piece = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::string name = "datafiles/m_" + std::to_string(k) + ".dat";
    filefuzz::writefile(name.c_str(), reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
    if (end == std::string::npos) break;
    at = end + cut.size();
  }
  // A file left from a longer input must not count.
  std::string stale = "datafiles/m_" + std::to_string(k + 1) + ".dat";
  std::remove(stale.c_str());

  ScatterData m = loadelms2_from("datafiles/", "m_%d.dat", (size & 1) != 0);
  if (m.n != 0) {
    if (m.n < 2 || (int)m.p.size() != m.n || (int)m.layer.size() != m.n) abort();
    for (int i = 0; i < m.n; i++) {
      if (!std::isfinite(m.p[i]) || (i > 0 && !(m.p[i] > m.p[i - 1]))) abort();
      const ScatterLayer& l = m.layer[i];
      if (l.cumrate.size() != l.records.size() || !std::isfinite(l.totalloss)) abort();
      for (const ScatterRecord& r : l.records)
        if (!(r.rate >= 0) || !std::isfinite(r.rate) || !std::isfinite(r.dpalong)) abort();
    }
    for (double p : {0.0, m.p[0], 0.5 * (m.p[0] + m.p[m.n - 1]), m.p[m.n - 1], 1e30}) {
      Particle part{};
      int l = ScatterData_momlayer(&m, p, &part);
      if (l < -1 || l > m.n) abort();
    }
  }
  return 0;
}
