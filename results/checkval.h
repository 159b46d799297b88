// Check values: the byte strings that every result line carries in braces, and the functions
// that compute them from a result's genome, score, work count, lattice file and the data files
// the lattice names. Owns the process-wide caches of file sums and of lattice data-file lists
// (with their switch) and the 65536-entry mixing permutation, built once on first use and
// frozen for ever (stored check values depend on it). Called by the results code for every
// result written or verified, by the queue and by the auto-save; main thread only.
#pragma once

#include <cstdint>
#include <string>

struct Result;
struct Genome;
struct Cell;

// A check value: a little-endian unsigned number of `length` bytes. The record owns its
// buffer (malloc); copies made by assignment share it, so exactly one of them is freed.
struct CheckVal;
// A check function: the check value of a result (ordaxchecksum), or none for no checking.
using CheckFunction = CheckVal (*)(Result);

struct CheckVal {
  uint32_t length = 0;             // bytes
  unsigned char* bytes = nullptr;  // least significant byte first, owned
};
// The empty value (no bytes): "no check value".
inline constexpr CheckVal CheckVal_null = {0, nullptr};

// ---- records and text ----

// n zero bytes; n = 0 gives CheckVal_null.
CheckVal CheckVal_new(uint32_t n);
void CheckVal_free(CheckVal c);
CheckVal CheckVal_copyof(CheckVal c);
// 1 when both have the same length and bytes (two empty values are equal), else 0.
int CheckVal_equals(CheckVal a, CheckVal b);
// 2·length upper-case hexadecimal digits, the last (most significant) byte first; empty text
// for an empty value.
std::string CheckVal_string(CheckVal c);
// Reads the text form: byte i from the pair of digits that is i-th from the end. Only
// `0`-`9` and `A`-`F` are digits of a check value. A text that is not such digits in pairs
// (an odd count, lower-case or any other character) is no check value: CheckVal_null, which
// equals no computed value, so a result carrying it fails its check. `end` (or none: the
// terminating zero) bounds the text.
CheckVal CheckVal_read(const char* text, const char* end = nullptr);

// ---- arithmetic (modulo 256^length; products 32-bit unsigned, wrapping) ----
// Each takes ownership of its arguments and returns the value the caller then owns.

// The longer (a when equal) with each byte of the shorter XOR-ed into the byte of the same
// index; the shorter is freed.
CheckVal CheckVal_XOR(CheckVal a, CheckVal b);
// The longer (a when equal) plus the shorter, with carry; the carry out of the last byte is
// dropped; the shorter is freed.
CheckVal CheckVal_add(CheckVal a, CheckVal b);
// c + k, in place; returns c.
CheckVal CheckVal_addint(CheckVal c, uint32_t k);
// c·k, in place, byte by byte from byte 0: t = byte·k + carry (32-bit), byte = t mod 256,
// carry = t / 256. Returns c.
CheckVal CheckVal_multiply(CheckVal c, uint32_t k);
// c scrambled in place by the pair-mixing permutation; a value of 0 or 1 byte is unchanged.
CheckVal CheckVal_mix(CheckVal c);
// CheckVal_XOR(CheckVal_mix(a), CheckVal_mix(b)).
CheckVal CheckVal_XORmix(CheckVal a, CheckVal b);

// Entry k (0 … 65535) of the frozen mixing permutation Q (built on first use).
uint32_t CheckVal_permutation(uint32_t k);

// ---- component sums (n: length in bytes of the value produced) ----

// The printable characters (33 … 127) of a file: value·13 + byte for each. A file that cannot
// be opened is looked for under any extension; if none is found, "[WARNING] File %s not
// found for filechecksum" is reported and n zero bytes are returned (not cached).
CheckVal filechecksum(const char* filename, uint32_t n);
// The gene values of a genome (hash fields included), sorted by name without letter case.
CheckVal genomechecksum(const Genome& g, uint32_t n);
// A number as written with `decimals` decimals (after rounding), its character pairs taken
// from the end with the multiplier 13 (scorechecksum) or (6 − decimals)·2 + 13 (v44).
CheckVal scorechecksum(double x, int decimals, uint32_t n);
CheckVal scorechecksumv44(double x, int decimals, uint32_t n);
// none name: the empty value; empty name: n zero bytes + 0x3c91e6a5; otherwise filechecksum
// of "lattices/<name>.txt" (latticefilepath: letter case ignored).
CheckVal latticechecksum(const char* name, uint32_t n);
// The lattice file XOR the file sums of the data files ("datafiles/<text>") named by the text
// attributes "file" of the machine's cells. v44 lists a file as often as it is named (so a
// file named twice cancels out); v441 lists each file once (names compared without case).
// A none name, or a lattice file that cannot be opened, or a lattice that does not parse,
// gives n zero bytes.
CheckVal latticechecksumv44(const char* name, uint32_t n);
CheckVal latticechecksumv441(const char* name, uint32_t n);

// The check function of the run cycle: the check value of a result, by the scheme of the
// version written in it (4 bytes below v4.4, 12 bytes from v4.4; v4.47_dev uses the mixed
// 12-byte scheme). The caller frees the value.
CheckVal ordaxchecksum(Result r);

// The 40-byte signature of an auto-save buffer: *outlength = 40; a none buffer gives none;
// otherwise a new buffer (malloc) that the caller frees.
unsigned char* autosave_checksum(const unsigned char* data, unsigned length, unsigned* outlength);

// ---- caches ----

// The cache switch: while it is 0 (the default) each call of filechecksum, latticechecksumv44
// and latticechecksumv441 first empties its cache (entries are still added); while it is 1
// they look up earlier entries, so a file edited meanwhile keeps its old sum and a lattice
// its old data-file list. The upload step turns it on while it re-validates a whole file.
extern unsigned char checksumcacheon;
// Empties both caches.
void checksumcache_clear();

// How the data-file sums get a lattice's machine: by default the lattice parser's machine cell
// of "lattices/<name>.txt" (machinecellfromfile) built with `genome` and no output; none when
// the lattice does not parse. The caller frees the tree with Cell_freeref. Tests may point it
// elsewhere; set to none, every lattice's data-file list is empty.
using MachineCellFunction = Cell* (*)(const char* name, Genome* genome);
extern MachineCellFunction checksum_machinecell;
