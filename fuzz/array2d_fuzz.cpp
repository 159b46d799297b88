// libFuzzer target for the binary two-dimensional array form (array_2d_save / array_2d_load):
// the input is loaded as an array file. A loaded array must hold no more values than the file
// does, and saving it and loading that again must give the same shape and the same bits.
// Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/arrays.h"
#include "fuzz/filefuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  filefuzz::writefile("array.bin", data, size);
  double** a = array_2d_load("array.bin");
  if (!a) return 0;
  const uint32_t rows = array_2d_rows(a), cols = array_2d_cols(a);
  if ((uint64_t)rows * cols * sizeof(double) > size) abort();
  if (array_2d_save(a, "again.bin") != 1) abort();
  double** b = array_2d_load("again.bin");
  if (!b || array_2d_rows(b) != rows || array_2d_cols(b) != cols) abort();
  for (uint32_t i = 0; i < rows; i++)
    if (cols && std::memcmp(a[i], b[i], cols * sizeof(double)) != 0) abort();
  array_2d_free(b);
  array_2d_free(a);
  return 0;
}
