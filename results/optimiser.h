// The optimiser: the choice of the next genome to try on a lattice, from the earlier results
// of that lattice. For now this header holds only what the run cycle uses; the optimiser
// completes it in place (the definitions are placeholders in shell/seams.cpp until then).
#pragma once

#include "base/lset.h"

struct Genome;
struct ResultFormat;

// Trial types: −2 choose by the configured ratios (the normal case), −1 the genome of the
// last result (re-check), 0 … 12 a given trial type.
using TrialType = int;

// A new genome to try on `lattice`, made from `results` (the caller keeps the set); `format`
// may be none. The caller owns the returned genome.
Genome makegenome(LSet results, char* lattice, TrialType type, ResultFormat* format);

// The genome of the highest-scoring result (of *lattice when it names one). When *lattice is
// none it receives a new copy (malloc) of that result's lattice name. The no-genome marker
// (gene count −1) when there is no result.
Genome getbestresult(LSet results, char** lattice);
