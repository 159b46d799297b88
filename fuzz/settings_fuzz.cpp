// libFuzzer target for the settings file: arbitrary bytes as "config.txt", read, completed and
// turned into run settings (and written back) as at every start. Every run setting must come
// out in the range the rest of the program relies on, and a second load of the written file
// must give the same settings. Built by scripts/fuzz.sh.
// fuzz-sources: base/*.cpp language/*.cpp lattice/*.cpp results/*.cpp sim/*.cpp sim/components/*.cpp net/*.cpp display/*.cpp shell/[a-l]*.cpp shell/[n-z]*.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/filefuzz.h"
#include "shell/config.h"
#include "shell/runstate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  ordaxconfig_setsleep([](uint32_t) {});
  filefuzz::writefile("config.txt", data, size);
  settings = RunSettings{};
  ordaxconfig();
  RunSettings first = settings;
  if (first.cputhrottle < 1 || first.cputhrottle > 100) abort();
  if (first.threads < 0 || first.threads > 1024) abort();
  if (!(first.keepproportion >= 0 && first.keepproportion <= 1)) abort();
  if (first.resultsmaxsize < 0 || first.samplehours < 0 || first.latticeupdatehours < 0) abort();
  if (!(first.autosaveinterval >= 0)) abort();
  settings = RunSettings{};
  ordaxconfig();
  if (settings.cputhrottle != first.cputhrottle || settings.threads != first.threads ||
      settings.resultsmaxsize != first.resultsmaxsize || settings.keepmode != first.keepmode)
    abort();
  return 0;
}
