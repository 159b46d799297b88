// Units and quantities of the lattice language: the 20-row unit table, the SI prefix letters,
// unit expressions with '/' and the reading of a number with its unit ("5mm", "3.2MeV/c").
// Owns two process-wide tables (the unit rows and the unit-character set), built once on first
// use and never freed. Called by the lattice parser while it reads a file (main thread only);
// nothing here is on a hot path.
// The degree and per-mille signs are accepted both as the single bytes 0xB0 and 0x89 and as
// their UTF-8 spellings (C2 B0, E2 80 B0).
#pragma once

// Builds the unit table and the unit-character set once; later calls do nothing. The other
// functions call it themselves.
void units_init();

// The value in SI base units of a unit name without prefix ("eV", "m", "Gauss"), found without
// letter case unless two rows match that way, in which case the exact spelling decides ("c" is
// the speed of light, "C" the coulomb). 0 when the name is no row.
double pureunit(const char* name);

// The factor of an SI prefix letter: 'm' 1e-3, 'M' 1e6, 'k' or 'K' 1e3, 'u' or 'U' 1e-6, 'D'
// 1e1 (deca), 'd' 1e-1 ... Letters that differ only by case in the prefix table (m/M, d/D,
// p/P) are taken exactly; the others without case. 0 for '.' and for any other character.
double mksmultiplier(char c);

// The size of a unit expression in SI base units. "a/b/c" means a/(b/c). A name that is not a
// row is read as a prefix letter and a row ("MeV", "ns"); a name whose rest is no row either
// reports "[WARNING] Unknown unit '%s', assuming unity" and counts as 1. An empty expression
// (also either side of a '/') reports a warning and counts as 0.
double unit(const char* text);

// Reads a number from the start of `text` (decimal, or hexadecimal after "0x"/"0X") and the
// unit that touches it, and returns the value in SI base units. Without a unit the value is
// scaled by unit(defaultunit), or left as read when `defaultunit` is none. `*end` (when `end`
// is not none) is set to the first character not read. Never reads past the terminating zero.
double getquantity(char* text, char** end, const char* defaultunit);
double getquantity(const char* text, const char** end, const char* defaultunit);

// The number of leading identifier characters of `text` (ASCII letters, digits, '_', '-').
int identifierlength(const char* text);

// 1 when `c` may be part of a unit written after a number: every byte except the zero byte,
// the blank, '"', '#', '\'', ',', '-', '.', the digits and ']'.
int isunitchar(char c);
