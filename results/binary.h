// Binary results files (".bin"): a set of results as a header (lattice table, one gene-name
// table per lattice, the record fields) and fixed-size little-endian records whose gene values
// are packed into a bit field. Reading rebuilds ordinary results with Result_createliteral, so
// nothing else sees this form. The reader trusts no stored size: every count, size and name is
// bounded, and a record that could not give back a well-formed text line is skipped. Used by
// the -bintotxt/-txttobin conversions and for downloaded sample files; whole files at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/lset.h"
#include "results/results.h"

struct ResultBinaryField {
  std::string name;
  int32_t size = 0;    // bytes
  int32_t offset = 0;  // bytes from the start of the record
};

struct ResultBinaryHeader {
  int32_t count = -1;        // records; −1 marks an invalid header
  int32_t maxgenes = 0;      // the largest gene table (at least 1 when made)
  int32_t bits = 0;          // bits per gene value, 1 … 25
  int32_t genomebytes = 0;   // (maxgenes·bits + 7)/8
  int32_t vectorbase = 0;    // file offset of the first record
  int32_t genomebase = 0;    // vectorbase + the fields' sizes
  int32_t pitch = 0;         // bytes per record: the fields' sizes + genomebytes
  std::vector<std::string> lattices;            // the lattice table
  std::vector<std::vector<std::string>> genes;  // each lattice's gene names (no padding)
  std::vector<ResultBinaryField> fields;        // the record fields in order
};

// The file's first 4 bytes.
inline constexpr char RESULTBINARY_MAGIC[5] = "RB01";

// Describes a set: lattice table (distinct names without letter case, sorted without case),
// gene tables (each lattice's distinct non-'#' gene names, sorted), the fields "score",
// "calc", "ver", "verx", "chl", "chk" (the longest check value, at least 1 byte), "opt", then
// "vert" (the whole version text, zero-padded, for results whose version text the number and
// letter do not give back, such as "v4.47_dev"; only when there is one), then one 4-byte
// field per '#' name (first found scanning results and genes from the last), and bits from
// the first genome's digits. Reports "Getting genome parameters... %d" progress.
// A set that cannot be stored (genomes of more than 7 digits, a check value over 1024 bytes)
// gives count −1 after "[WARNING] Binary results file cannot hold these results".
ResultBinaryHeader ResultBinaryHeader_make(LSet results);
// Writes the header after the magic: count, max genes, bits, the lattice table, the gene
// tables padded with empty names to max genes, the field table. Returns the writer's ok.
bool ResultBinaryHeader_write(const ResultBinaryHeader& h, ByteWriter* w);
// Reads and validates a header (the reader placed just after the magic). On any failure the
// header has count −1. Limits: count ≥ 0, max genes ≤ 1000000, bits 1 … 25, lattice and gene
// names of 1 … 256 bytes without bytes 1 … 31, field count ≤ 1000000, known fields of their
// exact size ("chk" 1 … 1024), unknown fields of at most 1024 bytes, a record of at most 1 MB,
// and no table larger than what is left of the input.
ResultBinaryHeader ResultBinaryHeader_read(ByteReader* r);
void ResultBinaryHeader_free(ResultBinaryHeader* h);

// Writes the magic, the header and one record per result ("Binary saving results..." with
// progress, then "Binary saved %d results"). Returns 1 when all was written, else 0.
int Results_write_Binary(LSet results, FILE* f);
int Results_write_Binary(LSet results, ByteWriter* w);
// Writes the file under a temporary name and renames it over `filename`. Returns 1 on success;
// 0 (nothing replaced) when it cannot be written.
int Results_save_Binary(LSet results, const char* filename);

// Reads a binary results file into a new set of results written in `fmt`. A wrong magic gives
// an empty set without a report; otherwise "Binary loading results...", "... header OK",
// progress and "Binary loading results... OK (%d results)". An invalid header gives an empty
// set; a file cut short keeps the whole records before the cut. A record is skipped when its
// score, work count or version is not finite, its version letter is not a letter, or its
// lattice or gene names could not be written back as text. "[WARNING] Unrecognised binary file
// field '%s'" (name made safe with reportsafe) is reported once per file. A null file reports
// "[FATAL] ResultBinaryHeader_load got passed a null file.  WHAT WERE YOU THINKING?!".
LSet Results_read_Binary(FILE* f, const ResultFormat* fmt);
LSet Results_read_Binary(ByteReader* r, const ResultFormat* fmt);
// The same from a file name; an empty set (no report) when it cannot be opened.
LSet Results_load_Binary(const char* filename, const ResultFormat* fmt);
// A name ending in ".bin" (without letter case) is read as binary, any other as text with
// Results_load(filename, none).
LSet Results_load_ext(const char* filename, const ResultFormat* fmt);
