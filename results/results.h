// Results: one evaluated design (its genome text and its result line with score, work count,
// version, lattice and check value) and whole results files. For now this header holds only
// what the run cycle and the switches use; the results code completes it in place (the
// definitions of the functions named here are placeholders in shell/seams.cpp until then).
// A set of results is an LSet of Result that owns its elements' texts.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/lset.h"
#include "shell/runstate.h"

struct CheckVal {
  uint32_t length = 0;            // bytes
  unsigned char* bytes = nullptr; // least significant byte first, owned
};

struct Result {
  char* genome;  // the genome in its text form, owned
  char* text;    // the result line, owned
  double score;  // the number at the start of the result line
};
inline constexpr Result Result_NULL = {nullptr, nullptr, 0.0};

// How the numbers of a result line are written.
struct ResultFormat {
  int32_t genomedigits;
  int32_t scoredecimals;
  int32_t calcdecimals;
  const char* calcunits;  // none: the line has no computation amount
};

void Result_free(Result r);
// Frees every element's texts and the set.
void Results_free(LSet set);

// The next valid result of a results text file, or Result_NULL at its end. `lattice` (or none)
// filters by lattice; `check` (or none) verifies check values.
Result Result_read(FILE* f, const char* lattice, CheckFunction check, int acceptunverifiable);

// A whole results text file as a new set (results of `lattice` only, or all for none); an
// empty set when the file is missing.
LSet Results_load(const char* filename, const char* lattice);
