// libFuzzer target for the rule files of the expression language (Cish_loadops /
// Cish_saveops): the input is loaded as a rule file into an empty rule table. It may add no
// more rules than it has lines; the table saved and loaded into another empty table must give
// the same rules (output, pattern, associativity) in the same order. Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/filefuzz.h"
#include "language/cish.h"

namespace {

// A rule table without the built-in rules.
Cish* emptytable() {
  Cish* c = Cish_new();
  Cish_clearops(c);
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  filefuzz::ready();
  filefuzz::writefile("rules.txt", data, size);
  Cish* c = emptytable();
  const int added = Cish_loadops(c, "rules.txt");
  size_t lines = 1;
  for (size_t i = 0; i < size; i++) lines += data[i] == '\n';
  // A repeated pattern moves the earlier rule instead of adding one, and a pattern without
  // symbols is not added: the table may hold fewer rules than lines were read.
  if (added < 0 || (size_t)added > lines || c->ops.count > (uint32_t)added) abort();
  if (Cish_saveops(c, "again.txt") != 0) abort();
  Cish* d = emptytable();
  if (Cish_loadops(d, "again.txt") != (int)c->ops.count || d->ops.count != c->ops.count) abort();
  // The precedences are numbered afresh in table order; order and associativity must hold.
  for (uint32_t i = 0; i < c->ops.count; i++) {
    const CishOp &x = Cish_op(c, i), &y = Cish_op(d, i);
    if (std::strcmp(x.out, y.out) != 0 || std::strcmp(x.s, y.s) != 0 ||
        (x.prec & 1) != (y.prec & 1))
      abort();
  }
  Cish_free(d);
  Cish_free(c);
  return 0;
}
