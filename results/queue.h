// The evaluation queue: results that would be a new best for their lattice are quarantined in
// the queue file and run again before they are recorded; genomeresult is the one entry through
// which a finished run becomes a result, getqueuedresult how the run cycle learns that a
// quarantined (or test) entry waits to be run. The queue file is a results text file, newest
// entry first; it is always rewritten whole through a new file renamed over the old one.
// Owns the quarantine state's score array (QuarantineInfo_free). Called once per run.
#pragma once

#include <cstdio>

#include "base/lset.h"
#include "results/checkval.h"

struct Genome;
struct Result;
struct ResultFormat;

struct QuarantineInfo {
  const char* queuefile = nullptr;  // the queue file; none disables quarantine (not owned)
  double* scores = nullptr;         // scores of the quarantined result so far, owned (malloc)
  double calc = 0;                  // work already spent on it (read back from the queue)
  int count = 0;                    // number of scores
  int needed = 5;                   // runs required before a result leaves quarantine
  unsigned char active = 0;         // a result is in quarantine
};

// The process-wide queue state, owned by the run cycle.
extern QuarantineInfo quarantine;

// Where genomeresult records results: the results store ("results.dat") and the results
// awaiting upload ("results.txt"); a none name records nothing in that file.
extern const char* resultsstorefile;
extern const char* resultsuploadfile;
// The record of a result being written to those two files ("results.pending"); none keeps
// no record.
extern const char* resultspendingfile;

// Frees the scores and zeroes scores, count and calc (the file name, needed and active stay).
void QuarantineInfo_free(QuarantineInfo* q);
// Binary form (auto-save), little-endian: active (1 byte; nothing follows if 0), count
// (int32), count scores (double), calc (double). Returns 1 when written.
int QuarantineInfo_write(const QuarantineInfo* q, FILE* f);
// Reads the binary form into q (file name and needed are kept). Returns 1, or 0 on a short or
// impossible record, leaving q inactive with no scores.
int QuarantineInfo_read(QuarantineInfo* q, FILE* f);

// The genome waiting at the head of the queue, or the no-genome marker (gene count −1). When
// *lattice is none and a genome is returned, *lattice receives a new copy (malloc) of the
// entry's lattice name. A quarantined entry comes back with its hash fields and #queued=1 (q
// then holds its scores and work and is active), a test entry ("TEST" result line) without
// hash fields and with #queued=2. q is left inactive unless a quarantined entry is returned.
// Lines before the first valid entry are dropped from the queue file; an entry whose lattice
// file is gone is removed.
Genome getqueuedresult(char** lattice, CheckFunction check, QuarantineInfo* q);

// Records the run of `g` (score, work `calc`, lattice) in `results` and the results files, or
// quarantines it in the queue file; `q` may be none (everything is recorded at once). `g`
// gains or loses the hash fields #runs and #queued; the caller still owns it.
void genomeresult(Genome* g, double score, double calc, const char* lattice, CheckFunction check,
                  const char* extra, LSet* results, const ResultFormat* fmt, QuarantineInfo* q);

// Removes the first entry (the first two lines) of the queue file; the file is deleted when
// nothing remains. "[FATAL] Failed to delete result out of non-existant queue." when it cannot
// be opened. Returns 1 on success, 0 on failure (the file is then unchanged).
int popqueue(const QuarantineInfo* q);
// Puts `r` in front of the queue file (created if missing). An existing queue that cannot be
// read, or a new queue that cannot be written, leaves the old file unchanged and is reported
// as "[WARNING] Could not update queue file '%s'". Returns 1 on success, 0 on failure.
int pushqueue(const QuarantineInfo* q, Result r);
// Puts `r` in front of the queue file in place of its first entry (pophead 1) or before it
// (0), in one rename, so that no moment leaves the queue without either entry. Failures as
// pushqueue.
int replacequeuehead(const QuarantineInfo* q, Result r, int pophead);
// Appends `r` to the results store and the upload file, each written to disk; when `q` is
// given the run came from its head entry, which is taken off only after both appends. A
// pending record written first lets completependingresult finish the work after a kill.
void recordresult(Result r, const QuarantineInfo* q);
// At start-up: a result whose recording was cut short is appended to whichever results file
// does not end with it yet, and its queue entry (if still the head) is taken off. Returns 1
// when such a record was completed, 0 when there was none or it could not be finished.
int completependingresult();
