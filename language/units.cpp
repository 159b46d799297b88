// Units and quantities: the unit table (an LSet of name/value rows in a fixed order), the prefix
// letters, unit expressions and the number-with-unit reader used by the lattice parser.
// The tables are built once on first use and kept for the life of the process.
#include "language/units.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/lset.h"
#include "base/report.h"
#include "base/text.h"

namespace {

struct UnitRow {
  const char* name;  // static text, never freed
  double value;      // size of one such unit in SI base units
};

LSet unittable;           // of UnitRow, the 20 rows below in this order
bool unitchars[256];      // isunitchar for every byte value
bool tablesbuilt = false;

// The rows, in the order the look-ups scan them (from the last to the first). The degree and
// per-mille signs are the single bytes 0xB0 and 0x89; their UTF-8 spellings are mapped onto
// these by canonicalname().
const UnitRow rows[] = {
    {"c", 299792458},
    {"eV", 1.602176462e-19},
    {"m", 1},
    {"kg", 1},
    {"s", 1},
    {"A", 1},
    {"V", 1},
    {"C", 1},
    {"T", 1},
    {"Hz", 1},
    {"g", 0.001},
    {"Gauss", 0.0001},
    {"m_e", 9.10938188e-31},
    {"m_p", 1.67262158e-27},
    {"in", 0.0254},
    {"ft", 0.3048},
    {"\xB0", 0.017453292519943295},
    {"rad", 1},
    {"%", 0.01},
    {"\x89", 0.001},
};
static_assert(sizeof rows / sizeof rows[0] == 20, "the unit table has 20 rows");

// Position i stands for 10^(i-18); the dots never match.
const char prefixletters[] = "a..f..p..n..u..mcd.Dhk..M..G..T..P..E";

// The UTF-8 spellings of the degree and per-mille signs stand for their single-byte rows.
const char* canonicalname(const char* name) {
  if (std::strcmp(name, "\xC2\xB0") == 0) return "\xB0";
  if (std::strcmp(name, "\xE2\x80\xB0") == 0) return "\x89";
  return name;
}

// Name look-up: without case, from the last row to the first; when two or more rows match that
// way, the last row that matches exactly decides. 0 when nothing matches.
double lookupname(const char* name) {
  name = canonicalname(name);
  const UnitRow* table = LSet_data<UnitRow>(unittable);
  int matches = 0;
  double value = 0;
  for (uint32_t i = unittable.count; i-- > 0;) {
    if (equalnocase(table[i].name, name)) {
      if (++matches == 1) value = table[i].value;
      else break;
    }
  }
  if (matches == 0) return 0;
  if (matches == 1) return value;
  for (uint32_t i = unittable.count; i-- > 0;)
    if (std::strcmp(table[i].name, name) == 0) return table[i].value;
  return 0;
}

// One unit expression without '/'.
double unitpiece(const std::string& text) {
  double v = lookupname(text.c_str());
  if (v != 0) return v;
  if (text.empty()) {
    report("[WARNING] Called unit(\"\") with empty string, returning zero!");
    return 0;
  }
  double rest = lookupname(text.c_str() + 1);
  if (rest == 0) {
    reportf("[WARNING] Unknown unit '%s', assuming unity", text.c_str());
    return 1;
  }
  return mksmultiplier(text[0]) * rest;
}

// The decimal conversion of the classic runtime's atof: leading white space, sign, digits,
// optional '.' and digits, optional exponent with at least one digit. No hexadecimal, no
// "inf" or "nan" (which the C library's own atof would accept). 0 when there is no number.
double classicatof(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  const char* start = p;
  if (*p == '+' || *p == '-') p++;
  int digits = 0;
  while (isdigitc(*p)) p++, digits++;
  if (*p == '.') {
    p++;
    while (isdigitc(*p)) p++, digits++;
  }
  if (digits == 0) return 0;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    if (*q == '+' || *q == '-') q++;
    if (isdigitc(*q)) {
      while (isdigitc(*q)) q++;
      p = q;
    }
  }
  std::string number(start, p);
  return std::strtod(number.c_str(), nullptr);
}

}  // namespace

void units_init() {
  if (tablesbuilt) return;
  unittable = LSet_new(sizeof(UnitRow));
  for (const UnitRow& r : rows) LSet_add(&unittable, &r);
  for (int b = 0; b < 256; b++) unitchars[b] = true;
  for (const char* p = " \"#',-.0123456789]"; *p; p++) unitchars[(unsigned char)*p] = false;
  unitchars[0] = false;
  tablesbuilt = true;
}

int isunitchar(char c) {
  units_init();
  return unitchars[(unsigned char)c] ? 1 : 0;
}

double pureunit(const char* name) {
  units_init();
  return name ? lookupname(name) : 0;
}

double mksmultiplier(char c) {
  if (c == '.') return 0;
  const int n = (int)sizeof prefixletters - 1;
  int matches = 0, position = -1;
  for (int i = n; i-- > 0;) {
    if (lc((unsigned char)prefixletters[i]) == lc((unsigned char)c)) {
      if (++matches == 1) position = i;
      else break;
    }
  }
  if (matches == 0) return 0;
  if (matches == 1) return std::pow(10.0, position - 18);
  for (int i = n; i-- > 0;)
    if (prefixletters[i] == c) return std::pow(10.0, i - 18);
  return 0;
}

double unit(const char* text) {
  units_init();
  if (!text) text = "";
  // a/b/c is a/(b/c): evaluate the pieces left to right (so warnings come in reading order),
  // then divide from the right. Iterative, so a long run of '/' cannot exhaust the stack.
  std::vector<double> values;
  const char* p = text;
  for (;;) {
    const char* slash = std::strchr(p, '/');
    if (!slash) {
      values.push_back(unitpiece(std::string(p)));
      break;
    }
    values.push_back(unitpiece(std::string(p, slash)));
    p = slash + 1;
  }
  double v = values.back();
  for (size_t i = values.size() - 1; i-- > 0;) v = values[i] / v;
  return v;
}

double getquantity(char* text, char** end, const char* defaultunit) {
  units_init();
  if (!text) {
    if (end) *end = text;
    return 0;
  }
  char* p = text;
  double value;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    // Read as scanf's "%x" into a 32-bit int: digits accumulate modulo 2^32.
    uint32_t v = 0;
    p += 2;
    for (int h; (h = hexvalue(*p)) >= 0; p++) v = v * 16u + (uint32_t)h;
    value = (double)(int32_t)v;
  } else {
    value = classicatof(text);
    if (*p == '+' || *p == '-') p++;
    while (isdigitc(*p)) p++;
    if (*p == '.') {
      p++;
      while (isdigitc(*p)) p++;
    }
    if (*p == 'e' || *p == 'E') {
      // The exponent form: 'e', optional sign, digits, optional '.' and digits. It is taken
      // only when at least one character of that form follows the 'e'; otherwise the 'e'
      // begins the unit ("2e" is 2 with the unit "e").
      char* q = p + 1;
      if (*q == '+' || *q == '-') q++;
      while (isdigitc(*q)) q++;
      if (*q == '.') {
        q++;
        while (isdigitc(*q)) q++;
      }
      if (q > p + 1) p = q;
    }
  }
  char* unitstart = p;
  while (unitchars[(unsigned char)*p]) p++;
  if (p > unitstart) {
    value *= unit(std::string(unitstart, p).c_str());
  } else if (defaultunit && *defaultunit) {
    // An empty default-unit text is taken as no default unit: unit("") would warn and zero
    // every value read in that field.
    value *= unit(defaultunit);
  }
  if (end) *end = p;
  return value;
}

double getquantity(const char* text, const char** end, const char* defaultunit) {
  char* e = nullptr;
  double v = getquantity(const_cast<char*>(text), &e, defaultunit);
  if (end) *end = e;
  return v;
}

int identifierlength(const char* text) {
  int n = 0;
  for (;; n++) {
    char c = text[n];
    bool id = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!id) return n;
  }
}
