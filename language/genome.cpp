// Genome: named raw integers at a fixed decimal resolution, their text form and their binary
// form. See genome.h. The record keeps its names in one growing text buffer so that a genome is
// three allocations however many genes it has; the growth rules below are part of the record's
// contract (capacities are visible in the record).
#include "language/genome.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/files.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/text.h"

namespace {

const int32_t powersoften[10] = {1,      10,      100,      1000,      10000,
                                 100000, 1000000, 10000000, 100000000, 1000000000};

inline char lowerascii(char c) {
  return (char)lc((unsigned char)c);
}

// Resolution of the genome; digits outside the table count as the nearest end of it so that a
// damaged record never indexes past the table.
inline int32_t resolution(const Genome* g) {
  int32_t s = g->sigfigs;
  if (s < 0) s = 0;
  if (s > 9) s = 9;
  return powersoften[s];
}

inline bool ishash(const char* name) {
  return name[0] == '#';
}

inline int32_t clampraw(const Genome* g, const char* name, int32_t raw) {
  if (ishash(name)) return raw;
  int32_t r = resolution(g);
  if (raw < 0) return 0;
  if (raw >= r) return r - 1;
  return raw;
}

int findfirst(const Genome* g, const char* name) {
  for (int i = 0; i < g->count; i++)
    if (equalnocase(g->names[i], name)) return i;
  return -1;
}

// Makes room for one more gene: arrays start at 1 slot, then grow to (count·3+3)/2.
void growslots(Genome* g) {
  if (g->count < g->capacity) return;
  int64_t newcap = g->capacity == 0 ? 1 : ((int64_t)g->count * 3 + 3) / 2;
  if (newcap > INT32_MAX) newcap = INT32_MAX;
  char** names = (char**)malloc(sizeof(char*) * (size_t)newcap);
  int32_t* values = (int32_t*)malloc(sizeof(int32_t) * (size_t)newcap);
  assert(names && values);
  if (g->count > 0) {
    memcpy(names, g->names, sizeof(char*) * (size_t)g->count);
    memcpy(values, g->values, sizeof(int32_t) * (size_t)g->count);
  }
  free(g->names);
  free(g->values);
  g->names = names;
  g->values = values;
  g->capacity = (int32_t)newcap;
}

// Copies a name (lower-cased) to the end of the text buffer and returns where it lies. The
// buffer starts at exactly the first name's size; when a name does not fit it grows to
// ((used+length)·3+3)/2 bytes and the name pointers move with it. Never gives text back.
char* storename(Genome* g, const char* name) {
  size_t len = strlen(name);
  if (!g->text) {
    assert(len < UINT32_MAX);
    g->text = (char*)malloc(len + 1);
    assert(g->text);
    g->textcapacity = (uint32_t)(len + 1);
    g->textused = 0;
  } else if ((uint64_t)g->textused + len + 1 > g->textcapacity) {
    uint64_t newcap = (((uint64_t)g->textused + len) * 3 + 3) / 2;
    if (newcap > UINT32_MAX) newcap = UINT32_MAX;
    assert((uint64_t)g->textused + len + 1 <= newcap);
    char* text = (char*)malloc((size_t)newcap);
    assert(text);
    memcpy(text, g->text, g->textused);
    for (int i = 0; i < g->count; i++) g->names[i] = text + (g->names[i] - g->text);
    free(g->text);
    g->text = text;
    g->textcapacity = (uint32_t)newcap;
  }
  char* dst = g->text + g->textused;
  for (size_t i = 0; i < len; i++) dst[i] = lowerascii(name[i]);
  dst[len] = 0;
  g->textused += (uint32_t)(len + 1);
  return dst;
}

// Reads an integer the way "%d" starts one (white space, sign, digits), saturating at the
// 32-bit limits instead of overflowing. Returns false when no digit follows.
bool readint(const char* s, const char* end, int32_t* out) {
  while (s < end && (*s == ' ' || (*s >= '\t' && *s <= '\r'))) s++;
  bool neg = false;
  if (s < end && (*s == '+' || *s == '-')) neg = *s++ == '-';
  if (s >= end || *s < '0' || *s > '9') return false;
  int64_t v = 0;
  for (; s < end && *s >= '0' && *s <= '9'; s++) {
    v = v * 10 + (*s - '0');
    if (v > (int64_t)INT32_MAX + 1) v = (int64_t)INT32_MAX + 1;  // saturated; stays bounded
  }
  if (neg) v = -v;
  *out = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int32_t)v;
  return true;
}

void appendtext(std::string& out, const Genome& g) {
  char buf[32];
  for (int i = 0; i < g.count; i++) {
    out += g.names[i];
    if (ishash(g.names[i]))
      snprintf(buf, sizeof buf, "=%d;", g.values[i]);
    else
      snprintf(buf, sizeof buf, "=%0*d;", (int)g.sigfigs, g.values[i]);
    out += buf;
  }
}

}  // namespace

GnullFunction gnull = gnull_random;

int32_t Genome_resolution(int32_t sigfigs) {
  assert(sigfigs >= 0 && sigfigs <= 9);
  return powersoften[sigfigs];
}

Genome Genome_new() {
  Genome g;
  memset(&g, 0, sizeof g);
  g.sigfigs = 3;
  return g;
}

Genome Genome_none() {
  Genome g = Genome_new();
  g.count = -1;
  return g;
}

void Genome_free(Genome g) {
  free(g.names);
  free(g.text);
  free(g.values);
}

void Genome_clear(Genome* g) {
  int32_t sigfigs = g->sigfigs;
  Genome_free(*g);
  memset(g, 0, sizeof *g);
  g->sigfigs = sigfigs;
}

int gassignnew(Genome* g, const char* name, int32_t raw) {
  assert(name);
  if (g->count < 0) g->count = 0;
  growslots(g);
  char* stored = storename(g, name);
  g->names[g->count] = stored;
  g->values[g->count] = raw;
  return g->count++;
}

int gassign(Genome* g, const char* name, int32_t raw) {
  assert(name);
  raw = clampraw(g, name, raw);
  int i = findfirst(g, name);
  if (i >= 0) {
    g->values[i] = raw;
    return i;
  }
  return gassignnew(g, name, raw);
}

void gunassign(Genome* g, const char* name) {
  for (int i = g->count - 1; i >= 0; i--) {
    if (equalnocase(g->names[i], name)) {
      g->count--;
      g->names[i] = g->names[g->count];
      g->values[i] = g->values[g->count];
      return;
    }
  }
}

void gsetvalue(Genome* g, const char* name, double x, double min, double max) {
  int32_t r = resolution(g);
  long double v = std::floor(((long double)x - min) / ((long double)max - min) * (r - 1) + 0.5L);
  // Decide the clamp in floating point: a NaN (x undefined, or min = max = x) gives 0.
  int32_t raw = !(v >= 0) ? 0 : v >= r - 1 ? r - 1 : (int32_t)v;
  gassign(g, name, raw);
}

int32_t gnull_random(const char*, const Genome* g) {
  int r1 = rand15();
  int r2 = rand15();
  int32_t r = resolution(g);
  long double u = std::floor(((long double)r2 + (long double)r1 / 32768.0L) * r / 32768.0L);
  return u >= r ? r - 1 : (int32_t)u;
}

namespace {
int32_t rawornull(Genome* g, const char* name) {
  int i = findfirst(g, name);
  if (i >= 0) return g->values[i];
  int32_t raw = gnull(name, g);
  i = gassign(g, name, raw);
  return g->values[i];
}
}  // namespace

double gvalue(Genome* g, const char* name, double min, double max) {
  int32_t raw = rawornull(g, name);
  int32_t r = resolution(g);
  if (raw == r - 1 && !ishash(name)) return max;  // exact, whatever the rounding of max−min
  if (r == 1) return min;
  return (double)(min + ((long double)max - min) * ((long double)raw / (r - 1)));
}

int gint(Genome* g, const char* name, int min, int max) {
  int32_t raw = rawornull(g, name);
  int64_t v = (int64_t)min + ((int64_t)raw * ((int64_t)max - min + 1)) / resolution(g);
  if (v > max) v = max;
  return (int)v;
}

int32_t graw(const Genome* g, const char* name) {
  int i = findfirst(g, name);
  return i >= 0 ? g->values[i] : -1;
}

int ghas(const Genome* g, const char* name) {
  return findfirst(g, name) >= 0;
}

// The text form, read at 3 digits. Each '=' marks where the current item's value begins (so
// with several, the last one splits name from value); a ';' after it ends the item. Choices for
// text outside that pattern, none of which disturbs the well-formed items around it:
//  - a segment without '=' before its ';' (including an empty item ";;") is dropped, and the
//    next item starts after its ';';
//  - an item with an empty name ("=5;") is dropped;
//  - an item whose value does not begin with a number, after optional white space and sign,
//    ("a=;", "a=x;") is dropped; characters after the number are ignored, as "%d" does;
//  - values beyond 32 bits saturate at −2147483648 / 2147483647 before the clamp to 0 … 999
//    (so "a=99999999999;" reads as 999 and "#h=99999999999;" as 2147483647);
//  - names are taken as they stand, of any length, without trimming;
//  - text after the last ';' ("a=5" alone) is ignored.
Genome Genome_fromstring(const char* text, int keephash) {
  Genome g = Genome_new();
  if (!text) return g;
  std::string name;
  const char* itemstart = text;
  const char* eq = nullptr;
  for (const char* p = text; *p; p++) {
    if (*p == '=') {
      eq = p;
    } else if (*p == ';') {
      if (eq && eq > itemstart) {
        name.assign(itemstart, eq);
        int32_t v;
        if (readint(eq + 1, p, &v) && !(name[0] == '#' && !keephash)) {
          if (name[0] != '#') v = v < 0 ? 0 : v > 999 ? 999 : v;
          gassignnew(&g, name.c_str(), v);
        }
      }
      itemstart = p + 1;
      eq = nullptr;
    }
  }
  return g;
}

std::string Genome_string(const Genome& g) {
  std::string out;
  appendtext(out, g);
  return out;
}

void Genome_fwrite(const Genome* g, FILE* f) {
  char fmt[32];
  snprintf(fmt, sizeof fmt, "%%s=%%0%dd;", (int)g->sigfigs);
  for (int i = 0; i < g->count; i++) {
    if (ishash(g->names[i]))
      fprintf(f, "%s=%d;", g->names[i], g->values[i]);
    else
      fprintf(f, fmt, g->names[i], g->values[i]);
  }
  fputc('\n', f);
}

Genome Genome_copyof(const Genome& g) {
  Genome c = Genome_new();
  if (g.count <= 0) return c;
  c.sigfigs = g.sigfigs;
  for (int i = 0; i < g.count; i++) gassignnew(&c, g.names[i], g.values[i]);
  return c;
}

int GenBit_cmp(const void* a, const void* b) {
  int c = strnullcmpi(((const GenBit*)a)->name, ((const GenBit*)b)->name);
  return (c > 0) - (c < 0);
}

void Genome_sort(Genome* g) {
  if (g->count < 2) return;
  std::vector<GenBit> bits((size_t)g->count);
  for (int i = 0; i < g->count; i++) bits[i] = {g->names[i], g->values[i]};
  std::stable_sort(bits.begin(), bits.end(),
                   [](const GenBit& a, const GenBit& b) { return GenBit_cmp(&a, &b) < 0; });
  for (int i = 0; i < g->count; i++) {
    g->names[i] = const_cast<char*>(bits[i].name);
    g->values[i] = bits[i].value;
  }
}

void Genome_striphashfields(Genome* g) {
  for (int i = g->count - 1; i >= 0; i--) {
    if (ishash(g->names[i])) {
      g->count--;
      g->names[i] = g->names[g->count];
      g->values[i] = g->values[g->count];
    }
  }
}

// Digits outside 1 … 9 (or a genome whose own digits are outside them) would divide by zero
// or leave the table of powers, so they leave the genome as it is.
void Genome_altersigfigs(Genome* g, int digits) {
  if (digits < 1 || digits > 9 || g->sigfigs < 1 || g->sigfigs > 9) return;
  long double scale =
      (long double)(powersoften[digits] - 1) / (long double)(powersoften[g->sigfigs] - 1);
  for (int i = 0; i < g->count; i++) {
    long double v = std::trunc(g->values[i] * scale + 0.5L);
    g->values[i] = v >= INT32_MAX ? INT32_MAX : v <= INT32_MIN ? INT32_MIN : (int32_t)v;
  }
  g->sigfigs = digits;
}

int Genome_identical(const Genome& a, const Genome& b) {
  if (a.count != b.count) return 0;
  for (int i = 0; i < a.count; i++) {
    bool found = false;
    for (int j = 0; j < b.count && !found; j++)
      found = b.values[j] == a.values[i] && strcmp(b.names[j], a.names[i]) == 0;
    if (!found) return 0;
  }
  return 1;
}

void Genome_printout(const char* label, const Genome& g) {
  printf("%s : %s\n", label, Genome_string(g).c_str());
}

void Genome_DEBUG(const char* label, const Genome& g) {
  FILE* f = fopen("tech/log.txt", "a");
  if (!f) {
    platform_mkdir("tech");
    f = fopen("tech/log.txt", "a");
  }
  if (!f) return;
  fprintf(f, "%s%s\n", label, Genome_string(g).c_str());
  fclose(f);
}

void Genome_write(const Genome* g, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  bw_i32(&w, g->count);
  bw_i32(&w, g->sigfigs);
  for (int i = 0; i < g->count; i++) {
    bw_cstring(&w, g->names[i]);
    bw_i32(&w, g->values[i]);
  }
}

int Genome_read(Genome* g, FILE* f) {
  Genome_free(*g);
  *g = Genome_new();
  ByteReader r = bytereader_file(f);
  int32_t count, sigfigs;
  if (!br_i32(&r, &count) || !br_i32(&r, &sigfigs)) return 0;
  if (count < -1 || sigfigs < 1 || sigfigs > 9) return 0;
  g->sigfigs = sigfigs;
  if (count == -1) {
    g->count = -1;
    return 1;
  }
  for (int32_t i = 0; i < count; i++) {
    std::string name;
    int32_t v;
    if (!br_cstring(&r, FGETSTRING_MAX - 1, &name) || !br_i32(&r, &v)) {
      Genome_free(*g);
      *g = Genome_new();
      return 0;
    }
    gassign(g, name.c_str(), v);
  }
  return 1;
}
