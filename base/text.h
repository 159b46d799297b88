// Text utilities shared by the whole program: splitting text into pieces, replacement,
// case-insensitive search and comparison, trimming, skipping white space, numbers and hex,
// letter case, the one-line summary of a text, file-name repair, bit sets and small numeric
// helpers. Owns no state. Called by the settings store, the lattice parser, the results code
// and the network code; none of it is on the particle-tracking hot path.
// Functions that make new text return std::string; functions that work in place take char*.
// White space here is the ASCII set: space, tab, line feed, vertical tab, form feed, return.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- splitting and replacing ----

// The pieces of `text` between occurrences of `separator` (compared exactly, scanned left to
// right, each occurrence consumed whole): k occurrences give k+1 pieces, empty pieces kept, so
// an empty text gives one empty piece. Precondition: `separator` is not empty (asserted; an
// empty separator in a release build gives the whole text as one piece). A none text is
// taken as empty.
std::vector<std::string> explode(const char* separator, const char* text);
std::vector<std::string> explode(const char* separator, const std::string& text);

// The maximal runs of non-white-space characters of `text`; white space at either end gives no
// empty piece, so a blank or none text gives no pieces.
std::vector<std::string> explodews(const char* text);
std::vector<std::string> explodews(const std::string& text);

// The words of a command line: white space separates them; a double quote, wherever it stands,
// starts a quoted stretch that runs to the next double quote (or the end), and blanks inside
// it belong to the word. The quotes are removed, or kept when `keepquotes` (for values whose
// own syntax uses them, such as -param: texts). A none line has no words.
std::vector<std::string> commandwords(const char* commandline, bool keepquotes = false);

// `text` with every occurrence of `from` (left to right, non-overlapping) replaced by `to`.
// An empty `from` gives `text` unchanged. A none text gives an empty result.
std::string sreplace(const char* text, const char* from, const char* to);
// The same replacement done on `text` itself; returns `text`.
std::string& sdreplace(std::string& text, const char* from, const char* to);

// `text` with `~` replaced by "$\sim$" and then `_` by "\_" (for LaTeX tables).
std::string latexescape(const char* text);

// Appends the printf-formatted text to *out (nothing when the format gives nothing).
void appendf(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// ---- searching and comparing ----

// Case-insensitive (ASCII) search for `needle` in `haystack`: a pointer to the first match in
// `haystack`, or none. An empty needle matches at the start; a none argument gives none.
const char* stristr(const char* haystack, const char* needle);
char* stristr(char* haystack, const char* needle);
// 1 if `needle` occurs in `haystack` ignoring case, else 0.
int strinstr(const char* haystack, const char* needle);

// As strcmp (bytes compared unsigned), except that none equals none and sorts before any text.
int strnullcmp(const char* a, const char* b);
// The same ignoring ASCII letter case (letters compared in lower case).
int strnullcmpi(const char* a, const char* b);
// True when the two texts are equal ignoring ASCII letter case (the one case-blind compare).
bool equalnocase(std::string_view a, std::string_view b);
// The same for texts that may be none: a none text equals nothing, not even none.
bool equalnocase(const char* a, const char* b);
// True when `text` begins with `prefix` ignoring ASCII letter case.
bool startsnocase(std::string_view text, std::string_view prefix);
// True for the bytes '0' … '9' (no locale).
bool isdigitc(char c);
// The value of one hexadecimal digit (either case), or −1 for any other byte.
int hexvalue(char c);
// True when `s` ends with `tail` (bytes compared exactly).
bool endswith(std::string_view s, std::string_view tail);

// ---- trimming and skipping (in place; pointers into the given text) ----

// Removes trailing white space and control characters (bytes 0 … 31) in place. Bytes of 128
// and above (UTF-8) are kept. Returns `text`.
char* rtrim(char* text);
// Cuts trailing white space in place and returns a pointer past the leading white space.
char* stripspaceinplace(char* text);

// A pointer past the leading white space.
const char* skipws(const char* text);
char* skipws(char* text);

// A pointer past the number at the start of `text`: optional sign, digits, optional `.` and
// digits, then an optional exponent (`e`/`E`, optional sign, digits, even a `.` and digits).
// The exponent is consumed only if it holds at least one digit, so "1e" and "2e+x" stop at the
// `e`. If the mantissa holds no digit at all (a lone sign or `.`), `text` itself is returned.
const char* skipnumber(const char* text);
char* skipnumber(char* text);
// The same without the exponent.
const char* skipnumber_noexp(const char* text);
char* skipnumber_noexp(char* text);

// 1 for 0-9, a-f, A-F, else 0.
int ishexdigit(int c);
// A pointer past a leading `0x`/`0X` (if any) and the hex digits after it.
const char* skiphex(const char* text);
char* skiphex(char* text);

// ---- characters ----

// ASCII letter case change; other characters are returned unchanged.
int lc(int c);
int uc(int c);
// A character as 0 … 255 (char is signed here).
inline int c2i(char c) {
  return (unsigned char)c;
}

// ---- summaries and names (in place) ----

// In place: each line feed becomes the byte 172; a text of 51 characters or more is cut to its
// first 37 characters, "..." and its last 10 characters (50 in all). Returns `text`.
char* summarisetext(char* text);

// In place: replaces the character `extra` and each of \ / : * ? " < > | by `replacement`
// (an `extra` of 0 replaces nothing extra). Returns `name`.
char* fixfilename(char* name, char replacement, char extra);

// Text that came from outside the program (a server's reply, a downloaded or binary file)
// made safe to report: each byte below 32, 127 and '[' becomes '?', so it can neither carry a
// "[FATAL]" or "[WARNING]" marker nor drive the terminal (zero bytes too); at most the first
// 200 of the n bytes are kept. A none text gives "".
std::string reportsafe(const char* text, size_t n);
std::string reportsafe(const std::string& text);

// Sets (on ≠ 0) or clears bit i mod 8 of byte i / 8 of `bytes`.
void barset(unsigned char* bytes, uint32_t i, int on);

// ---- small numeric helpers ----

inline double Max(double a, double b) {
  return a > b ? a : b;
}
inline int Maxi(int a, int b) {
  return a > b ? a : b;
}
inline int Mini(int a, int b) {
  return a < b ? a : b;
}
inline unsigned Maxu(unsigned a, unsigned b) {
  return a > b ? a : b;
}
inline double noneg(double x) {
  return x > 0 ? x : 0;
}
inline int nonegi(int x) {
  return x > 0 ? x : 0;
}
inline double sq(double x) {
  return x * x;
}
