// libFuzzer target for the Cish language: builds a tree of arbitrary bytes, runs it and
// evaluates it, in code mode or with the lattice escapes ("#", newline ends code). The first
// byte picks the mode; the rest is the text (a zero byte ends it early). Bounds are set low so
// that endless loops end quickly; a sanitizer report, a hang or a broken invariant (nesting
// or scope counters not back at 0) is a finding. Messages go to a sink that drops them. Linked
// with the whole library; built (ORDAX_FUZZ) and run by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "language/cishtree.h"
#include "base/report.h"

namespace {

void quiet(const char*, int, void*) {}

size_t textbytes = 0;

int counttext(const char* text) {
  textbytes += std::strlen(text);
  return 0;
}

int stopon(CishVar* v) {
  return std::strcmp(v->name, "stop") == 0 ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (report_setsink(quiet, nullptr), true);
  (void)ready;
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const char* begin = text.c_str();

  Cish* c = Cish_new();
  Cish_setlimits(c, 2000, 1 << 16, 0, 20000);
  if (mode & 1) Cish_escape(c, "#", "#", 3);
  c->textcallback = counttext;
  if (mode & 4) c->varchanged = stopon;

  if (mode & 2) {
    Cish_parse(c, begin);
  } else {
    CishValue v = Cish_eval(c, begin);
    std::string printed = CishValue_print(v);
    CishValue_free(&v);
    if (printed.size() > 1000000) __builtin_trap();
  }
  if (c->depth != 0 || c->level != 0) __builtin_trap();

  // The scanning helpers on the same bytes: ends stay inside the text.
  const char* end = begin + std::strlen(begin);
  const char* e = nullptr;
  CishValue n = CishValue_read(begin, &e);
  if (e < begin || e > end) __builtin_trap();
  CishValue_free(&n);
  Cish_readopfrag(c, begin, &e);
  if (e < begin || e > end) __builtin_trap();
  if ((e = Cish_readcomment(begin)) && (e < begin || e > end)) __builtin_trap();
  Cish_varmatch(c, begin, &e);
  if (e < begin || e > end) __builtin_trap();

  Cish_free(c);
  return 0;
}
