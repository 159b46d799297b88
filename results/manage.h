// Pruning of the results store: when "results.dat" grows past its size limit, each lattice keeps
// a share of its results (the best, the first, the latest or a random choice) and the rest go
// to the removed-results store. The store is appended (flushed and synced) before the results
// file is replaced through a new file renamed over it, so a crash between the two loses nothing;
// when nothing is to be removed the file is left untouched. Called by the run cycle after each
// run while the size limit is not 0; main thread (mode R draws from the process-wide generator).
#pragma once

#include <cstdint>
#include <vector>

#include "base/lset.h"

// A result's position in its set and its score: the element sorted by IndexScore_cmp.
struct IndexScore {
  int32_t index;
  double score;
};
// qsort order: ascending score (−1, 0, 1).
int IndexScore_cmp(const void* a, const void* b);

// How many of a lattice's n results pruning keeps: max(1, ceil(n × proportion)), the single-
// precision proportion widened exactly (30 % of 10 keeps 4, since 0.3f is just above 0.3).
int prunekeepcount(int n, float proportion);

// The results of `set` (of Result) that pruning removes, as one flag per result. Lattices are
// taken in the order of their last result, from the end of the set (names without letter case;
// results without a lattice form one group). Per lattice r = n − prunekeepcount(n) results are
// marked: mode 'B' the r lowest scores, 'F' the r last in the set (the earliest are kept), 'L'
// the r first (the latest are kept), 'R' a random r: n flags of which the first r are set,
// shuffled by exchanging flag i with flag i + floor(u·(n − i)) for i = 0 … n−1 (u from two
// draws of the 15-bit generator), then given to the lattice's results from the last to the
// first. Any other mode letter is taken as 'B'.
std::vector<char> prunemarks(const LSet& set, float proportion, char mode);

struct PruneOptions {
  const char* file = "results.dat";                 // the results store
  int64_t limit = 50 * 1048576;                     // bytes; pruning starts above this size
  float proportion = 0.5f;                          // share of each lattice's results kept
  char mode = 'B';                                  // B, F, L or R (see prunemarks)
  const char* removedstore = "results_removed.dat"; // none or empty: removed results discarded
};

// Prunes o.file when it is larger than o.limit: reports "%s exceeded %d bytes, pruning...",
// loads it, marks with prunemarks, appends the marked results to the removed store (in file
// order) and then writes the others back in their order. Returns the number of results removed;
// 0 when the file is within its limit or nothing is marked (the file is not rewritten); −1 when
// writing failed (reported by Results_save; the results file is then unchanged).
int manageresultsfile(const PruneOptions& o);
