// libFuzzer target for the HTTP reply parser and the chunk decoder: arbitrary bytes as a
// server's reply, fed in pieces whose sizes come from the first input bytes, with small caps
// so that every input finishes in microseconds. Also decodes the bytes after the first as a
// bare chunked body and checks the decoder's promises: the output never passes the cap, and a
// finished decode consumed no more than it was given. A crash, an out-of-bounds access, a leak,
// a hang or a broken promise is a finding. Built by scripts/fuzz.sh.
// fuzz-sources: net/http.cpp base/text.cpp base/platform.cpp base/files.cpp base/random.cpp base/lset.cpp
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t step = 1 + data[0] % 64;  // piece size
  const char* p = reinterpret_cast<const char*>(data + 1);
  size_t n = size - 1;

  HttpReply r = HttpReply_new(4096, 1024);
  int state = 0;
  for (size_t i = 0; i < n && state == 0; i += step)
    state = HttpReply_feed(&r, p + i, n - i < step ? n - i : step);
  if (state == 0) state = HttpReply_close(&r);
  if (r.body.size() > 4096 || r.head.size() > 1024) abort();
  if (state == 1 && (r.failure != HTTP_OK || r.status / 100 != 2)) abort();
  if (state == -1 && r.failure == HTTP_OK) abort();

  ChunkDecoder d;
  std::string out;
  size_t used = 0;
  int c = chunk_decode(&d, p, n, &out, 512, &used);
  if (out.size() > 512 || used > n) abort();
  if (c == 1 && d.state != 4) abort();
  return 0;
}
