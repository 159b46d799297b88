// PLACEHOLDERS until the subsystems they belong to exist: the simulation (construction,
// stepping, scoring), matching-scan cells, the results store, the
// optimiser, the evaluation queue, auto-save and results-file management, and the exchange
// with the project's servers. Each does the least that keeps the run cycle well-formed:
// no lattice can be built (Simulation_new gives no machine, so the cycle counts a failed
// construction and moves on), results files read as empty, nothing is recorded, saved or sent.
// Whoever builds one of these subsystems implements its functions in their own file and
// deletes them here. Nothing in this file is meant to stay.
#include <cstdlib>

#include "net/exchange.h"
#include "results/autosave.h"
#include "results/genome.h"
#include "results/optimiser.h"
#include "results/queue.h"
#include "results/results.h"
#include "sim/components/matchscan.h"
#include "sim/simulation.h"

// ---- sim/simulation.h ----
double Simulation_score(Simulation*) {
  return 0;
}

// ---- sim/components/matchscan.h ----
int MatchScan_iterate(Cell*, Simulation*) {
  return 1;  // done at once
}
double MatchScan_energy(const Cell*) {
  return 0;
}
void MatchScan_output(Cell*, Simulation*) {}

// ---- results/results.h ----
void Result_free(Result r) {
  free(r.genome);
  free(r.text);
}
void Results_free(LSet set) {
  for (uint32_t i = 0; i < set.count; i++) Result_free(LSet_at<Result>(set, i));
  LSet_free(set);
}
Result Result_read(FILE*, const char*, CheckFunction, int) {
  return Result_NULL;
}
LSet Results_load(const char*, const char*) {
  return LSet_new(sizeof(Result));
}

// ---- results/queue.h ----
Genome getqueuedresult(char**, CheckFunction, QuarantineInfo*) {
  return Genome_none();
}
void genomeresult(Genome*, double, double, const char*, CheckFunction, const char*, LSet*,
                  const ResultFormat*, QuarantineInfo*) {}

// ---- results/autosave.h ----
unsigned char* autosave_checksum(const unsigned char*, unsigned, unsigned* outlength) {
  if (outlength) *outlength = 0;
  return nullptr;
}
void saveall(const char*, const Simulation*, const LSet*, Genome, SignatureFunction) {}
int loadall(const char*, Simulation*, LSet*, Genome*, SignatureFunction) {
  return 0;
}
void manageresultsfile() {}
void collatethreadoutputfile(const char*, void*) {}

// ---- net/exchange.h ----
void trysendresults(const char*, const char*, char) {}
void manualsend() {}
void latticefileupdate(int, char, const char*) {}
void samplefilesupdate(const char*, int) {}
