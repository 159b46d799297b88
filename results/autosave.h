// The auto-save file: the whole state of a run in progress (the simulation's parameters and
// clock, the queue's quarantine state, the genome, the machine, every particle), signed so that
// a damaged or edited file is never restored, and written so that a kill or a full disk at any
// moment leaves either the old file or the new one. Also the signing of files in general.
// Called by the run cycle at the auto-save interval, when the user ends the program, and once
// at start to resume; main thread only.
//
// File layout, all numbers little-endian:
//   version line   the program's version text and a line feed
//   simulation     the run's parameters and clock, field by field (autosave.cpp), with the
//                  special figure of merit's name
//   quarantine     QuarantineInfo_write form
//   genome         Genome_write form
//   machine        Cell_write form
//   beam           int32 m, int32 M, then M particle records in full precision with their
//                  nearby lists as child indices of the machine
//   signature      the signature function's bytes of everything before it
#pragma once

#include "base/lset.h"

struct Genome;
struct Simulation;
struct QuarantineInfo;

// A signature function: with a none buffer it only reports the signature length through
// *outlength; with a buffer it returns a new signature (malloc) of `length` bytes of `data`.
using SignatureFunction = unsigned char* (*)(const unsigned char* data, unsigned length,
                                              unsigned* outlength);

// The 40-byte signature of an auto-save file (results/checkval.cpp).
unsigned char* autosave_checksum(const unsigned char* data, unsigned length, unsigned* outlength);

// Appends the signature of the file's whole content to it, flushed and synced. Returns 1 if
// signed, 0 if the file is missing or empty or the append failed.
int signfile(const char* filename, SignatureFunction signature);
// 1 if the file's last bytes are the signature of the rest, else 0 (also for a missing, empty
// or too short file).
int verifyfile(const char* filename, SignatureFunction signature);

// Writes the auto-save file: to "<filename>.new", every write and the close checked, signed
// (when `signature` is given), synced, then renamed over `filename`. On any failure the new file
// is removed, `filename` is left as it was, "Could not write the auto-save file '<filename>';
// the previous one is kept" is reported and 0 returned; 1 on success. `results` is not used
// (the results set is reloaded from the results file at start); `q` may be none (written as
// inactive).
int saveall(const char* filename, const char* version, const Simulation* sim,
            const LSet* results, const Genome& genome, const QuarantineInfo* q,
            SignatureFunction signature);

// Restores a run saved by saveall. The whole file is read and verified first (when `signature`
// is given) and then read into temporaries: nothing of *sim, *genome or *q changes unless every
// part was read to the exact end of the signed data. A missing, damaged, truncated or altered
// file gives 0. A file whose first line is not `version` (ignoring case) is deleted and gives 0.
// On success *sim (freed first) holds the machine and beam with every particle's beam line and
// nearby list, *genome (freed first) the genome, *q the quarantine scores (its file name and
// required runs kept); returns 1. Reports "Found auto-save file: loading..." as an update.
int loadall(const char* filename, const char* version, Simulation* sim, LSet* results,
            Genome* genome, QuarantineInfo* q, SignatureFunction signature);

// The timed wrappers used by the run cycle.
struct AutosaveOptions {
  const char* file = "auto.sav";  // the auto-save file of the run mode
  const char* version = "";       // the program's version text (first line of the file)
  double interval = 240;          // s between auto-saves; 0 or less: auto-save off
  double (*clock)() = nullptr;    // the run's clock, seconds
};

// With auto-save off: deletes the file, returns 0. Otherwise, unless `force`, nothing happens
// while less than the interval has passed since *lastsave (returns 0). Else reports
// "Auto-saving...", saveall, sets *lastsave to the clock, reports "Done"; returns saveall's
// outcome.
int autosave(const AutosaveOptions& o, double* lastsave, const Simulation* sim,
             const LSet* results, const Genome& genome, const QuarantineInfo* q,
             SignatureFunction signature, int force);

// With auto-save off: deletes the file, returns 0. Otherwise reports "Searching for auto-saved
// file..." and loadall; if nothing was restored reports "No file present" and returns 0, else
// reports "Restored simulation at %.1fns" (simulation time in ns), sets *lastsave to the clock
// and returns 1.
int autoload(const AutosaveOptions& o, double* lastsave, Simulation* sim, LSet* results,
             Genome* genome, QuarantineInfo* q, SignatureFunction signature);

// Merges one per-thread output file into its main file (foreachfilein callback).
void collatethreadoutputfile(const char* filename, void* argument);
