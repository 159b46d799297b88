// Results-file management and auto-save: pruning "results.dat" when it grows past its limit,
// merging the worker threads' output files, and saving/restoring the whole state of a run.
// For now this header holds only what the run cycle uses; the auto-save code completes it in
// place (the definitions are placeholders in shell/seams.cpp until then).
#pragma once

#include "base/lset.h"

struct Genome;
struct Simulation;

// A signature function: with a none buffer it only reports the signature length through
// *outlength; with a buffer it returns a new signature (malloc) of `length` bytes of `data`.
using SignatureFunction = unsigned char* (*)(const unsigned char* data, unsigned length,
                                              unsigned* outlength);

// The 40-byte signature of an auto-save file.
unsigned char* autosave_checksum(const unsigned char* data, unsigned length, unsigned* outlength);

// Saves the run (simulation, queue state, genome) to `filename`, signed with `signature`.
void saveall(const char* filename, const Simulation* sim, const LSet* results, Genome genome,
             SignatureFunction signature);
// Restores a run saved by saveall. Returns 1 if restored, 0 if not (missing, damaged).
int loadall(const char* filename, Simulation* sim, LSet* results, Genome* genome,
            SignatureFunction signature);

// Prunes "results.dat" when it is larger than the configured limit.
void manageresultsfile();

// Merges one per-thread output file into its main file (foreachfilein callback).
void collatethreadoutputfile(const char* filename, void* argument);
