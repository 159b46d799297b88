// libFuzzer target for the set file form (LSet_save / LSet_load): the input is loaded as a set
// file. A loaded set must hold no more element bytes than the file after its header, and
// saving it and loading that again must give the same count, element size and bytes. Built by
// scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/lset.h"
#include "fuzz/filefuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  filefuzz::writefile("set.bin", data, size);
  LSet s = LSet_load("set.bin");
  const uint64_t bytes = (uint64_t)s.count * s.size;
  if (s.count > 0 && (size < 5 || bytes > size - 5)) abort();
  LSet_save(&s, "again.bin");
  LSet t = LSet_load("again.bin");
  if (t.count != s.count || (s.count > 0 && t.size != s.size) ||
      (bytes > 0 && std::memcmp(t.data, s.data, (size_t)bytes) != 0))
    abort();
  LSet_free(t);
  LSet_free(s);
  return 0;
}
