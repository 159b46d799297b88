// Parts shared by the files of the Cish tree code: node construction (cishtree.cpp), the
// tokeniser (cishtoken.cpp), the reducer (cishreduce.cpp), evaluation (cisheval.cpp) and
// execution (cishexec.cpp). Private to those files.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "language/cishtree.h"

namespace cishtree {

inline bool kindis(const CishTree* t, const char* kind) {
  return CishValue_is(t->value, kind);
}

// A pattern symbol matches a node whose kind begins with it.
inline bool kindbegins(const CishTree* t, const std::string& symbol) {
  return t->value.kind[0] == symbol[0] && symbol.size() < sizeof t->value.kind &&
         std::memcmp(t->value.kind, symbol.data(), symbol.size()) == 0;
}

// A new childless node (owned by the caller) spanning start … end of the source text.
CishTree* newnode(Cish* c, CishValue value, const char* start, const char* end, int rule);
// Frees a node whose children have been taken away.
void freeshell(CishTree* t);

// Enters one more level of nesting; false (execution stopped, CISH_LIMIT_DEPTH) past the
// environment's maxdepth. The caller leaves the level with c->depth--. Counting one loop
// iteration works the same way against maxiterations (CISH_LIMIT_ITERATIONS).
inline bool depthenter(Cish* c) {
  if (c->depth >= c->maxdepth) {
    char what[120];
    std::snprintf(what, sizeof what, "is nested more than %d levels deep; execution stopped",
                  c->maxdepth);
    Cish_stop(c, CISH_LIMIT_DEPTH, what);
    return false;
  }
  c->depth++;
  return true;
}

inline bool countiteration(Cish* c) {
  if (++c->iterations > c->maxiterations) {
    char what[160];
    std::snprintf(what, sizeof what,
                  "ran more than %lld loop iterations; execution stopped (endless loop?)",
                  c->maxiterations);
    Cish_stop(c, CISH_LIMIT_ITERATIONS, what);
    return false;
  }
  if (c->iterations % CISH_CHECKEVERY == 0) return Cish_timecheck(c);
  return true;
}

// The tokens of `text` in text order: numbers, comments, operator fragments, variable names,
// and runs of plain text (all text outside the escape strings). Owned by the caller.
std::vector<CishTree*> tokenise(Cish* c, const char* text);
// A short printable form of a span for the debug logs.
std::string spanshort(const char* s, const char* e);
// Writes the token list to cishtokenout.log (parse debugging).
void logtokens(Cish* c, const std::vector<CishTree*>& tokens);

}  // namespace cishtree
