// Results: one evaluated design (its genome text and its result line with score, work count,
// version, lattice and check value), the result line's accessors, the validity test, and
// whole results text files ("results.dat", "results.txt", queue files): two lines per result,
// genome line then result line, each ended by CR LF. A Result owns its two texts (malloc),
// freed by Result_free; a set of results is an LSet of Result that owns its elements' texts
// (Results_free). Called by the run cycle once per run, by the queue, the optimiser, the
// file management and the upload; loading reads whole files of 10^5 results at start.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/lset.h"
#include "results/checkval.h"

struct Genome;

struct Result {
  char* genome;  // the genome in its text form, hash fields included; owned (malloc)
  char* text;    // the result line; owned (malloc)
  double score;  // the number at the start of the result line
};
inline constexpr Result Result_NULL = {nullptr, nullptr, 0.0};

// How the numbers of a result line are written. The run cycle's format is {3, 6, 1, "Mpts"}.
struct ResultFormat {
  int32_t genomedigits;   // digits of a gene value
  int32_t scoredecimals;  // decimals of the score
  int32_t calcdecimals;   // decimals of the work count
  const char* calcunits;  // units of the work count; none: the line has no work count
};
// Frees the units text of a format returned by Result_format (only of such a format).
void ResultFormat_free(ResultFormat f);

void Result_free(Result r);
// Frees every element's texts and the set.
void Results_free(LSet set);

// ---- making results ----
// The result line is built from: the score(s) with "%.<d>lf"; " (%.<c>lf %s)" with the work
// count and units when the format has units; " [%s]" with the version when given; " <%s>"
// with the lattice when given; " {HEX}" with the check value when one is given or a check
// function is passed (computed over the result built so far); " " and the extra text when an
// extra text is given (even an empty one). The genome text is Genome_string(g). The caller
// owns the texts of the returned result. None texts mean "not given".

// With a check value given as a value (CheckVal_null: none). A score of magnitude 1e80 or
// more is written as 0. The score field is strtod of the line.
Result Result_createliteral(const Genome& g, double score, double calc, const char* version,
                            const char* lattice, CheckVal check, const char* extra,
                            const ResultFormat* fmt);
// With the check value computed by `check` (none: no check value). Score field: strtod.
Result Result_create(const Genome& g, double score, double calc, const char* version,
                     const char* lattice, const char* extra, const ResultFormat* fmt,
                     CheckFunction check);
// A queued result: the `count` scores each written with the score decimals, joined by ",".
// The score field is 0.
Result Result_createqueued(const Genome& g, const double* scores, int count, double calc,
                           const char* version, const char* lattice, const char* extra,
                           const ResultFormat* fmt, CheckFunction check);

// ---- reading a result (none of these changes the result) ----

// Genome_fromstring of the genome text.
Genome Result_genome(Result r, int keephash);
// The format the line is written in: genome digits = digits after '=' of the first gene not
// beginning with '#' (3 when there is none or it has no '='); score decimals = digits after
// the first '.' of the line; calc decimals = digits after the first '.' after the first '(';
// calc units = the run of letters, digits, '_' and '-' after those digits and any blanks
// (none when that run is empty or there is no '(' followed by a '.'). Free with
// ResultFormat_free.
ResultFormat Result_format(Result r);
// The score vector: the leading run of digits, '.', ',' and '-' split at each ',' into *n
// numbers. Empty (and *n = 0) when the line does not begin with such a character.
std::vector<double> Result_qscores(Result r, int* n);
// Sorts the n samples, drops n/5 from each end, averages the rest and rounds to the score
// decimals: floor(mean·10^d + 0.5)/10^d. 0 for no samples.
double scorefromsample(double* samples, int n, const ResultFormat* fmt);
// x rounded to d decimals as recorded scores are: floor(x/10^−d + 0.5)·10^−d, computed in
// extended precision.
double rounddecimals(double x, int d);
// scorefromsample of Result_qscores; 0 when there is no number.
double Result_qscore(Result r, const ResultFormat* fmt);
// The number after the first '(' (0 if none).
double Result_calc(Result r);
// The number after the first "[v" in single precision (0 if none).
float Result_ver(Result r);
// The character just before the first ']' if it is a letter, else 0.
char Result_verx(Result r);
// The text between the first '[' and the next ']'; none when either is missing.
std::optional<std::string> Result_verstring(Result r);
// The text between the first '<' and the next '>' (looked for from the second character after
// the '<', so a name has at least one character); none when missing.
std::optional<std::string> Result_lattice(Result r);
// 1 when the lattice name equals `name` without letter case. A line without '<' matches
// nothing; a line with '<' and no '>' matches only a none name.
int Result_islattice(Result r, const char* name);
// The check value between the first '{' and the next '}' (CheckVal_read); CheckVal_null when
// missing. The caller frees it.
CheckVal Result_chk(Result r);
// The number after "#runs=" in the genome text (without letter case); 1 when absent.
int Result_runs(Result r);
// Deep copy; the caller frees it.
Result Result_copyof(Result r);
// 1 when both are written in equivalent formats, their scores (and work counts) agree to half
// a unit in a's last written decimal, their genomes (hash fields included) are identical in
// any gene order, and their lattice names agree without letter case (or both are missing).
int Result_equivalent(Result a, Result b);

// ---- validity and results files ----

// The validity test: 0 (rejected), 1 (valid) or 2 (check value not verifiable, accepted).
// A result of another lattice than `lattice` (when given) is 0 silently; a version below 4.3
// (or missing) is 0 with "[WARNING] Result version (%f)<MINVER(%f)"; without a check function
// 1; with one, the recomputed value must equal the stored one when the result names a lattice
// file present in "lattices" ("[WARNING] Record rejected due to bad checksum: was {%s}"
// otherwise); when it cannot be verified the outcome is 2 if `acceptunverifiable` is set,
// else 0 with that warning.
int Result_valid(Result r, const char* lattice, CheckFunction check, int acceptunverifiable);
// Keeps, in order, the results of *set whose validity is not 0; the others are freed.
void Results_valid(LSet* set, const char* lattice, CheckFunction check, int acceptunverifiable);

// The next valid result of a results text file, or Result_NULL at its end. Lines may end in
// CR LF, LF, CR or a zero byte; trailing white space and control characters are stripped. A
// genome line is empty or items "name=digits;" (name of letters, digits, '#'), ending the
// line; other lines are skipped. The line after it is the result line: returned if it begins
// with "TEST" (any case) or passes Result_valid, else both are dropped. A non-empty genome
// line in the place of a result line starts a new pair (the one before it had no result line).
// A last line that ends without a line ending (an interrupted append) is not a result line.
// `lattice` (or none) filters by lattice; `check` (or none) verifies check values. When
// `genomestart` is given it receives the file offset at which the returned result's genome
// line begins.
Result Result_read(FILE* f, const char* lattice, CheckFunction check, int acceptunverifiable,
                   long* genomestart = nullptr);

// A whole results text file as a new set (results of `lattice` only, or all for none), read
// without check function and accepting unverifiable results, with "Loading '%s'..." progress;
// an empty set when the file cannot be opened or when the user ends the program (simstop 2)
// while it is read.
LSet Results_load(const char* filename, const char* lattice);
// The number of results Result_read finds (no check function, unverifiable accepted) for
// `lattice`; 0 if the file cannot be opened.
int Results_infile(const char* filename, const char* lattice);

// Appends one result (both lines in one write, flushed) to `filename`, opened with up to 20
// tries 100 ms apart; "[WARNING] Could not open '%s' to save result" when it stays closed,
// "[WARNING] Could not write result to '%s'" when the write fails. An unfinished last line
// left by an interrupted append is cut off first, so the new result starts on a fresh line; a
// failed write (a full disk) is cut off again, so the file keeps ending on a whole result.
// Returns 1 when the result was written, else 0.
int Result_save(Result r, const char* filename);
// The same for a result's lines as Result_lines gives them.
int Result_savelines(const std::string& lines, const char* filename);
// "%s\r\n%s\r\n": the genome line and the result line, as Result_save and Result_write write them.
std::string Result_lines(Result r);
// The same written to f. Returns 1 on success.
int Result_write(Result r, FILE* f);
// The same to standard output.
void Result_print(Result r);
// Writes every result of `set` ("Text saving results..." with progress, then "Text saved %d
// results"). Replacing writes a new file beside the old one and renames it over it, so the
// old file stays whole until the new one is complete. Appending syncs the file, and a failed
// append is cut off again. "[WARNING] Could not open '%s' to save
// results" (nothing written) when the file cannot be opened in 20 tries. Returns 1 on success.
int Results_save(LSet set, const char* filename, int append);
int Results_append(LSet set, const char* filename);
// A new set of shallow copies (sharing the texts) of the results of `lattice` (without letter
// case; none: all). Free it with LSet_free only.
LSet Results_filter(LSet set, const char* lattice);
// The distinct lattice names (without letter case) as an LSet of char* (malloc), collected
// from the last result to the first; the results without a lattice add one none entry.
// Free with Results_lattices_free.
LSet Results_lattices(LSet set);
void Results_lattices_free(LSet names);
