// The evaluation queue: results that would be a new best for their lattice are quarantined in
// the queue file and run again before they are recorded; genomeresult is the one entry through
// which a finished run becomes a result. For now this header holds only what the run cycle
// uses; the queue code completes it in place (the definitions are placeholders in
// shell/seams.cpp until then).
#pragma once

#include "base/lset.h"
#include "shell/runstate.h"

struct Genome;
struct ResultFormat;

struct QuarantineInfo {
  const char* queuefile = nullptr;  // the queue file; none disables quarantine
  double* scores = nullptr;         // scores of the quarantined result so far, owned
  double calc = 0;                  // work already spent on it
  int count = 0;                    // number of scores
  int needed = 5;                   // runs required before a result leaves quarantine
  unsigned char active = 0;         // a result is in quarantine
};

// The process-wide queue state, owned by the run cycle.
extern QuarantineInfo quarantine;

// The genome waiting at the head of the queue, or the no-genome marker (gene count −1). When
// *lattice is none and a genome is returned, *lattice receives a new copy (malloc) of the
// entry's lattice name.
Genome getqueuedresult(char** lattice, CheckFunction check, QuarantineInfo* q);

// Records the run of `g` (score, work `calc`, lattice) in the results files and `results`, or
// quarantines it; `q` may be none.
void genomeresult(Genome* g, double score, double calc, const char* lattice, CheckFunction check,
                  const char* extra, LSet* results, const ResultFormat* fmt, QuarantineInfo* q);
