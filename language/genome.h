// Genome: the free parameters (genes) of one lattice design, a list of named raw integers at a
// fixed decimal resolution (sigfigs digits, R = 10^sigfigs). Owns its three heap buffers (name
// pointers, name text, values), released by Genome_free or Genome_clear. Holds the text form
// ("name=007;#runs=12;") read and written with every result, and the binary form of the
// auto-save file. Called by the lattice parser for every free parameter, by the optimiser for
// every new design and by the results code for every result read; cheap, but not in the pusher.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct Genome {
  int32_t count;          // genes in use; −1 marks "no genome" (no buffers)
  int32_t capacity;       // slots allocated in names and values
  uint32_t textused;      // bytes in use in text (names with their zero bytes)
  uint32_t textcapacity;  // bytes allocated in text
  char** names;           // gene i's name, pointing into text
  char* text;             // all names, lower-cased and zero-terminated, one after another
  int32_t* values;        // gene i's raw value
  int32_t sigfigs;        // decimal digits of a raw value (1 … 9); 3 in a new genome
};

// The pair the sort works on.
struct GenBit {
  const char* name;
  int32_t value;
};

// A new, empty genome at 3 digits (no buffers until the first assignment).
Genome Genome_new();
// The no-genome marker: count −1, no buffers, sigfigs 3.
Genome Genome_none();
// Frees the three buffers of a genome passed by value; the caller's copy is then dead.
void Genome_free(Genome g);
// Frees the buffers and zeroes every field except sigfigs.
void Genome_clear(Genome* g);

// 10^sigfigs for sigfigs 0 … 9 (a genome's resolution R); other digits are out of the table.
int32_t Genome_resolution(int32_t sigfigs);

// Appends a gene (name copied and lower-cased) without looking for an existing one and without
// clamping. Returns the new index. A "no genome" marker becomes a genome first.
int gassignnew(Genome* g, const char* name, int32_t raw);
// Clamps raw to 0 … R−1 (not for names beginning with '#'), overwrites the first gene of that
// name or appends one. Returns the gene's index.
int gassign(Genome* g, const char* name, int32_t raw);
// Removes the last gene of that name by moving the last gene into its slot; no match, nothing.
void gunassign(Genome* g, const char* name);
// Stores the raw value nearest to the physical value x in [min, max] (clamped; a NaN gives 0).
void gsetvalue(Genome* g, const char* name, double x, double min, double max);

// The hook that supplies a raw value for a gene that is asked for and absent. Its one value in
// the program is gnull_random; tests may point it elsewhere.
using GnullFunction = int32_t (*)(const char* name, const Genome* g);
extern GnullFunction gnull;
// A uniform raw value in 0 … R−1 from two draws of rand15.
int32_t gnull_random(const char* name, const Genome* g);

// Physical value min + (max−min)·raw/(R−1); a missing gene is first created from gnull.
double gvalue(Genome* g, const char* name, double min, double max);
// Integer parameter min + raw·(max−min+1)/R (truncating), capped at max; a missing gene is
// first created from gnull.
int gint(Genome* g, const char* name, int min, int max);
// Raw value of the first gene of that name, or −1 when absent.
int32_t graw(const Genome* g, const char* name);
// 1 if a gene of that name exists, else 0.
int ghas(const Genome* g, const char* name);

// Reads the text form at 3 digits. Items whose name begins with '#' are kept only when
// keephash is non-zero. Text that breaks the item pattern is skipped (see genome.cpp).
Genome Genome_fromstring(const char* text, int keephash);
// The text form: "name=ddd;" with sigfigs zero-padded digits, "#name=n;" unpadded.
std::string Genome_string(const Genome& g);
// Writes the text form and a line end.
void Genome_fwrite(const Genome* g, FILE* f);

// Deep copy; a genome without genes copies as Genome_new().
Genome Genome_copyof(const Genome& g);
// qsort-style comparison of two GenBit by name, without letter case.
int GenBit_cmp(const void* a, const void* b);
// Sorts the genes by name (GenBit_cmp); genes of equal name keep their order.
void Genome_sort(Genome* g);
// Removes every '#' gene, scanning from the last gene, each replaced by the current last gene.
void Genome_striphashfields(Genome* g);
// Rescales every value to the new number of digits (1 … 9; other digits change nothing).
void Genome_altersigfigs(Genome* g, int digits);
// 1 if both have the same gene count and every gene of a has a gene of the same name and raw
// value in b (sigfigs not compared), else 0.
int Genome_identical(const Genome& a, const Genome& b);

// "label : text form\n" to standard output.
void Genome_printout(const char* label, const Genome& g);
// Appends label, text form and a line end to "tech/log.txt" (created if missing).
void Genome_DEBUG(const char* label, const Genome& g);

// Binary form, little-endian: count (int32), sigfigs (int32), then per gene the zero-terminated
// name and the raw value (int32).
void Genome_write(const Genome* g, FILE* f);
// Frees what *g held and reads the binary form (values clamped with the resolution read; a
// repeated name overwrites the earlier gene). Returns 1 when the whole genome was read. Returns
// 0, leaving *g an empty genome, when the stream ends inside the genome, or the count or sigfigs
// read are impossible; it never reads past the genome's own bytes, nor allocates for genes the
// stream does not hold. A stored count of −1 reads back as the no-genome marker (success).
int Genome_read(Genome* g, FILE* f);
