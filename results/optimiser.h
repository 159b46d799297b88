// The optimiser: the choice of the next genome to try on a lattice, bred from the earlier
// results of that lattice and the project's sample results by thirteen trial types in
// configurable proportions, with repeats of earlier genomes avoided. Owns the trial-type
// names. Keeps nothing between calls. Called by the run cycle once per run (makegenome,
// getbestresult); every random choice uses the process-wide 15-bit generator (rand15).
#pragma once

#include <cstdint>

#include "base/lset.h"

struct Genome;
struct ResultFormat;

// The number of trial types, and their ratios when the caller gives none (the configuration's
// defaults).
enum { NTRIALTYPES = 13 };
extern const double TrialType_defaultratios[NTRIALTYPES];

// Trial types: −2 choose by the configured ratios (the normal case), −1 the genome of the
// last result (re-check), 0 … 12 a given trial type.
using TrialType = int;
namespace trial {
enum : TrialType {
  ChooseByRatios = -2,
  SetFromFile = -1,
  Random = 0,
  Mutate,
  Crossover,
  Interpolate,
  Extrapolate,
  MuSpherical,
  Brindle,
  Extreme,
  LocalGrad,
  TopoSmooth,
  CellDouble,
  CellDelete,
  CellCommute,
};
}  // namespace trial

// The names of trial types 0 … 12, in the order of the ratios.
extern const char* const TrialTypeName[NTRIALTYPES];
// The name of any trial type: "SetFromFile" for −1, "?" outside −1 … 12.
const char* TrialType_name(TrialType t);
// The number of results each trial type 0 … 12 needs; with fewer it yields an empty genome.
extern const int TrialType_needed[NTRIALTYPES];

// A new genome to try on `lattice`, made from `results` (the caller keeps the set) and the
// sample results in "samplefiles/<lattice>.txt"; `format` may be none (genome resolution
// 1000). `type` is −2, −1 or 0 … 12. Types 0 … 12 tag the genome with #gen; −1 adds no '#'
// gene. −2 chooses by `ratios` (NTRIALTYPES weights; none: TrialType_defaultratios). The caller
// owns the returned genome.
Genome makegenome(LSet results, char* lattice, TrialType type, ResultFormat* format,
                  const double* ratios = nullptr);

// The genome of the highest-scoring result (of *lattice when it names one; later results win
// ties; scores at or below −9e199 never count). When *lattice is none it receives a new copy
// (malloc) of that result's lattice name. The no-genome marker (gene count −1) when there is
// no result.
Genome getbestresult(LSet results, char** lattice);

// The trial type chosen by `ratios` (none: TrialType_defaultratios) for a working set of m
// results, then replaced by Random with chance max(m, 1)^−0.4.
TrialType getrandomtrialtype_m(int m, const double* ratios = nullptr);
TrialType getrandomtrialtype(LSet set, const double* ratios = nullptr);

// One parent by a randomised tournament over the set (Result elements): design genes only
// (no '#' genes). Empty when the set is empty or no score in it is above −9e99. The winner's
// score goes to *score when score is given and there is a winner.
Genome Results_fairlygood(LSet set, double* score);
// Two parents; B is drawn again, at most 10 times, while it is identical to A. The caller
// frees both.
void Results_fairlygoodtwo(LSet set, Genome* a, Genome* b);

// Records g with score through genomeresult: no lattice, no check function, no quarantine,
// format (genome digits 3, score decimals 6, no work count).
void Results_genomescore(LSet* set, Genome* g, double score);

// ---- the pieces, for tests and the benchmark ----

// u in [0, 1) from two draws r1, r2 of rand15: (r2 + r1/32768)/32768.
double optimiser_u();

// The visiting plan of one tournament over n ≥ 1 results: K visits at start, start + step,
// … modulo n, step coprime with n.
struct Tournament {
  int size;
  int start;
  int step;
};
Tournament Tournament_draw(int n);

// Each trial type applied to given parents at resolution R (10^digits); the caller owns the
// returned genome. Parents carry design genes only.
Genome trial_mutate(const Genome& p, int32_t R);
Genome trial_crossover(const Genome& a, const Genome& b, int32_t R);
Genome trial_interpolate(const Genome& a, const Genome& b, int32_t R);
Genome trial_extrapolate(const Genome& a, const Genome& b, int32_t R);
Genome trial_muspherical(const Genome& p, int32_t R);
Genome trial_brindle(const Genome& p, int32_t R);
Genome trial_extreme(const Genome& p, int32_t R);
// `working` is the working set (Result elements), sp the parent's score.
Genome trial_localgrad(LSet working, const Genome& p, double sp, int32_t R);
Genome trial_toposmooth(const Genome& p, int32_t R);
// CellDouble, CellDelete or CellCommute.
Genome trial_celledit(TrialType type, const Genome& p, int32_t R);
// Stores v for gene `name`: truncated towards zero, clamped into 0 … R−1 unless the name
// begins with '#' (then into the 32-bit range), overwriting the gene of that name or
// appending it. A NaN stores 0.
void optimiser_store(Genome* g, const char* name, double v, int32_t R);
