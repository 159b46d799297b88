// Check values: the record and its text form, the modular arithmetic, the frozen mixing
// permutation, the component sums (files, genome, score, lattice and data files), the check
// function ordaxchecksum with its schemes by version, and the auto-save signature. Owns the
// file-sum cache, the lattice data-file-list cache and the permutation table (process-wide,
// main thread only). Called once per result written or verified; a whole-file re-validation
// calls it for every result, which is what the caches are for.
#include "results/checkval.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "base/files.h"
#include "base/bytes.h"
#include "base/text.h"
#include "language/parser.h"
#include "lattice/cell.h"
#include "language/genome.h"
#include "results/results.h"
#include "lattice/latticefiles.h"
#include "base/report.h"

namespace {

// The parser's machine of a lattice, with no output; its parameters cell is not needed.
Cell* parsedmachine(const char* name, Genome* genome) {
  Cell* parameters = nullptr;
  Cell* machine = machinecellfromfile(name, genome, 0, &parameters);
  if (parameters) Cell_freeref(parameters, 0);
  return machine;
}

}  // namespace

unsigned char checksumcacheon = 0;
MachineCellFunction checksum_machinecell = parsedmachine;

namespace {

// The fixed 32-bit check constant of the oldest scheme and of an empty lattice name.
constexpr uint32_t CHECK_CONSTANT = 0x3c91e6a5u;

std::string slashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// ---- the mixing permutation ----

// FROZEN: the recurrence below defines the permutation Q that CheckVal_mix applies, and every
// check value of version 4.42 and later that was ever stored depends on it. Do not change a
// single constant, operation or the probing order. (tests/results/checkval_test.cpp pins it.)
//
// For k = 0 … 65535, from k and the previous pair (a, b) (both 0 before k = 0), in 32-bit
// unsigned arithmetic:
//     h = k·2654435761 + a·40503 + b·69069 + 0x9E3779B9
//     h = h XOR (h >> 15);  h = h·0x2C1B3C6D;  h = h XOR (h >> 12)
//     a = h mod 256;  b = (h >> 8) mod 256
// then, while entry a·256 + b is taken: a = a + 1; when a reaches 256, b = (b + 1) mod 256 and
// a = 0 if entry b is free, else a = 1 and the probing goes on. Q[a·256 + b] = k, and the
// probed pair is the previous pair of the next k.
struct Permutation {
  uint16_t q[65536];
  Permutation() {
    std::vector<unsigned char> taken(65536, 0);
    uint32_t a = 0, b = 0;
    for (uint32_t k = 0; k < 65536; k++) {
      uint32_t h = k * 2654435761u + a * 40503u + b * 69069u + 0x9E3779B9u;
      h ^= h >> 15;
      h *= 0x2C1B3C6Du;
      h ^= h >> 12;
      a = h % 256u;
      b = (h >> 8) % 256u;
      while (taken[a * 256 + b]) {
        a++;
        if (a == 256) {
          b = (b + 1) % 256u;
          if (!taken[b]) {
            a = 0;
            break;
          }
          a = 1;
        }
      }
      taken[a * 256 + b] = 1;
      q[a * 256 + b] = (uint16_t)k;
    }
  }
};

const uint16_t* permutation() {
  static const Permutation* table = new Permutation();  // built once, kept for the process
  return table->q;
}

// ---- caches ----

struct FileSumCachePair {
  std::string name;
  uint32_t length;
  CheckVal value;  // owned by the cache
};
// Lives for the whole process and is never destroyed, so what it owns stays reachable at exit.
std::vector<FileSumCachePair>& filesumcache = *new std::vector<FileSumCachePair>;

struct FileListCached {
  std::string lattice;
  uint64_t modified;  // the lattice file's last-write time when the list was made (kept only)
  float tag;          // 4.4: made by latticechecksumv44; 0: by latticechecksumv441
  std::vector<std::string> paths;
};
std::vector<FileListCached> filelistcache;

void clearfilesums() {
  for (FileSumCachePair& p : filesumcache) CheckVal_free(p.value);
  filesumcache.clear();
}

// value·13 + byte for every printable byte of `data`, on n bytes held in `v`.
void sumprintable(std::vector<unsigned char>& v, const unsigned char* data, size_t size) {
  const size_t n = v.size();
  for (size_t k = 0; k < size; k++) {
    uint32_t b = data[k];
    if (b < 33 || b > 127) continue;
    uint32_t carry = b;  // multiply by 13 and add b in one carried pass
    for (size_t i = 0; i < n; i++) {
      uint32_t t = v[i] * 13u + carry;
      v[i] = (unsigned char)t;
      carry = t >> 8;
    }
  }
}

CheckVal fromvector(const std::vector<unsigned char>& v) {
  CheckVal c = CheckVal_new((uint32_t)v.size());
  if (c.length) memcpy(c.bytes, v.data(), c.length);
  return c;
}

// The data files named by the machine of lattice `name`; false when the lattice does not
// parse. `once` lists each name once (compared without case).
bool latticedatafiles(const char* name, bool once, std::vector<std::string>* paths) {
  paths->clear();
  if (!checksum_machinecell) return true;  // no machine source: no data files known
  Genome g = Genome_new();
  Cell* machine = checksum_machinecell(name, &g);
  Genome_free(g);
  if (!machine) return false;
  std::vector<std::string> seen;
  auto visit = [&](const Cell* cell) {
    if (!cell || cell->t == Composite) return;
    const LSet& attrs = cell->attributes;
    for (uint32_t i = attrs.count; i-- > 0;) {
      const Attribute& a = LSet_at<Attribute>(attrs, i);
      if (a.type != AttributeType::Text || !a.name || strnullcmpi(a.name, "file") != 0) continue;
      std::string text = a.text ? a.text : "";
      if (once) {
        bool again = false;
        for (const std::string& s : seen) again = again || equalnocase(s, text);
        if (again) continue;
        seen.push_back(text);
      }
      paths->push_back(slashes("datafiles/" + text));
    }
  };
  if (machine->t == Composite) {
    for (int32_t i = machine->n; i-- > 0;) visit(machine->children[i]);
  } else {
    visit(machine);
  }
  Cell_freeref(machine, 0);
  return true;
}

CheckVal latticechecksumlisted(const char* name, uint32_t n, float tag) {
  if (!checksumcacheon) filelistcache.clear();
  if (!name) return CheckVal_new(n);
  std::string latticefile = latticefilepath(name);
  FILE* f = fopen(latticefile.c_str(), "rb");
  if (!f) return CheckVal_new(n);
  fclose(f);
  const std::vector<std::string>* list = nullptr;
  if (checksumcacheon) {
    for (const FileListCached& e : filelistcache)
      if (e.tag == tag && equalnocase(e.lattice, name)) {
        list = &e.paths;
        break;
      }
  }
  if (!list) {
    FileListCached entry{name, filemodified(latticefile.c_str()), tag, {}};
    // The parser is given the name as the file spells it.
    if (!latticedatafiles(latticefilename(name).c_str(), tag == 0.0f, &entry.paths))
      return CheckVal_new(n);
    filelistcache.push_back(std::move(entry));
    list = &filelistcache.back().paths;
  }
  std::vector<std::string> paths = *list;  // filechecksum may not touch it, but be safe
  CheckVal value = latticechecksum(name, n);
  for (size_t i = paths.size(); i-- > 0;)
    value = CheckVal_XOR(value, filechecksum(paths[i].c_str(), n));
  return value;
}

// x rounded to d decimals as floor(x/10^−d + 0.5)·10^−d (extended precision) and written
// with "%.<d>lf".
std::string scoretext(double x, int d) {
  double r = rounddecimals(x, d);
  int len = snprintf(nullptr, 0, "%.*f", d, r);
  std::string s(len > 0 ? (size_t)len : 0, '\0');
  if (len > 0) snprintf(s.data(), s.size() + 1, "%.*f", d, r);
  return s;
}

CheckVal scoresum(double x, int d, uint32_t n, uint32_t multiplier) {
  CheckVal c = CheckVal_new(n);
  std::string s = scoretext(x, d);
  if (s.size() < 2) return c;
  for (size_t i = s.size() - 1; i-- > 0;) {
    c = CheckVal_multiply(c, multiplier);
    uint32_t a = (unsigned char)s[i], b = (unsigned char)s[i + 1];
    c = CheckVal_addint(c, (a + 1) * b);
  }
  return c;
}

// Check values are written in upper case only; any other byte reads as no digit.
int upperhexvalue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---- records and text ----

CheckVal CheckVal_new(uint32_t n) {
  if (n == 0) return CheckVal_null;
  CheckVal c;
  c.length = n;
  c.bytes = (unsigned char*)calloc(n, 1);
  if (!c.bytes) return CheckVal_null;
  return c;
}

void CheckVal_free(CheckVal c) {
  free(c.bytes);
}

CheckVal CheckVal_copyof(CheckVal c) {
  CheckVal d = CheckVal_new(c.length);
  if (d.length) memcpy(d.bytes, c.bytes, d.length);
  return d;
}

int CheckVal_equals(CheckVal a, CheckVal b) {
  if (a.length != b.length) return 0;
  return a.length == 0 || memcmp(a.bytes, b.bytes, a.length) == 0;
}

std::string CheckVal_string(CheckVal c) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * (size_t)c.length);
  for (uint32_t i = c.length; i-- > 0;) {
    s += digits[c.bytes[i] >> 4];
    s += digits[c.bytes[i] & 15];
  }
  return s;
}

CheckVal CheckVal_read(const char* text, const char* end) {
  if (!text) return CheckVal_null;
  size_t len = end ? (size_t)(end - text) : strlen(text);
  if (len == 0 || len % 2 != 0) return CheckVal_null;
  for (size_t i = 0; i < len; i++)
    if (upperhexvalue(text[i]) < 0) return CheckVal_null;
  CheckVal c = CheckVal_new((uint32_t)(len / 2));
  for (uint32_t i = 0; i < c.length; i++) {
    const char* pair = text + len - 2 * (i + 1);
    c.bytes[i] = (unsigned char)(upperhexvalue(pair[0]) * 16 + upperhexvalue(pair[1]));
  }
  return c;
}

// ---- arithmetic ----

CheckVal CheckVal_XOR(CheckVal a, CheckVal b) {
  if (b.length > a.length) std::swap(a, b);
  for (uint32_t i = 0; i < b.length; i++) a.bytes[i] ^= b.bytes[i];
  CheckVal_free(b);
  return a;
}

CheckVal CheckVal_add(CheckVal a, CheckVal b) {
  if (b.length > a.length) std::swap(a, b);
  uint32_t carry = 0;
  for (uint32_t i = 0; i < a.length && (i < b.length || carry); i++) {
    uint32_t t = a.bytes[i] + (i < b.length ? b.bytes[i] : 0u) + carry;
    a.bytes[i] = (unsigned char)t;
    carry = t >> 8;
  }
  CheckVal_free(b);
  return a;
}

CheckVal CheckVal_addint(CheckVal c, uint32_t k) {
  uint64_t carry = k;
  for (uint32_t i = 0; i < c.length && carry; i++) {
    uint64_t t = c.bytes[i] + (carry & 0xFF);
    c.bytes[i] = (unsigned char)t;
    carry = (carry >> 8) + (t >> 8);
  }
  return c;
}

CheckVal CheckVal_multiply(CheckVal c, uint32_t k) {
  uint32_t carry = 0;
  for (uint32_t i = 0; i < c.length; i++) {
    uint32_t t = c.bytes[i] * k + carry;  // 32-bit, wrapping as the scheme defines
    c.bytes[i] = (unsigned char)(t % 256);
    carry = t / 256;
  }
  return c;
}

CheckVal CheckVal_mix(CheckVal c) {
  const uint32_t n = c.length;
  if (n < 2) return c;
  const uint16_t* q = permutation();
  for (uint64_t step = 1; step < n; step *= 2) {
    for (uint32_t i = n; i-- > 0;) {
      uint32_t j = (uint32_t)((i + step) % n);
      uint32_t w = q[c.bytes[i] * 256u + c.bytes[j]];
      c.bytes[i] = (unsigned char)((w / 256) % 256);
      c.bytes[j] = (unsigned char)(w % 256);
    }
  }
  return c;
}

CheckVal CheckVal_XORmix(CheckVal a, CheckVal b) {
  return CheckVal_XOR(CheckVal_mix(a), CheckVal_mix(b));
}

uint32_t CheckVal_permutation(uint32_t k) {
  return permutation()[k & 0xFFFF];
}

// ---- component sums ----

CheckVal filechecksum(const char* filename, uint32_t n) {
  if (!checksumcacheon) clearfilesums();
  std::string name = slashes(filename ? filename : "");
  if (checksumcacheon) {
    for (const FileSumCachePair& p : filesumcache)
      if (p.length == n && equalnocase(p.name, name)) return CheckVal_copyof(p.value);
  }
  FILE* f = name.empty() ? nullptr : fopen(name.c_str(), "rb");
  if (!f) {
    std::string ext;
    if (!name.empty() && getextension(name.c_str(), &ext))
      f = fopen((name + "." + ext).c_str(), "rb");
  }
  if (!f) {
    reportf("[WARNING] File %s not found for filechecksum", filename ? filename : "");
    return CheckVal_new(n);
  }
  std::vector<unsigned char> v(n, 0);
  std::vector<unsigned char> buf(1 << 16);
  size_t got;
  while ((got = fread(buf.data(), 1, buf.size(), f)) > 0) sumprintable(v, buf.data(), got);
  fclose(f);
  CheckVal c = fromvector(v);
  filesumcache.push_back({name, n, CheckVal_copyof(c)});
  return c;
}

CheckVal genomechecksum(const Genome& g, uint32_t n) {
  CheckVal c = CheckVal_new(n);
  if (g.count <= 0) return c;
  Genome s = Genome_copyof(g);
  Genome_sort(&s);
  const uint32_t m = (uint32_t)s.count;
  for (uint32_t i = 0; i < m; i++) {
    uint32_t j = (i + 3) % m, k = (j + 2) % m;
    uint32_t vi = (uint32_t)s.values[i], vj = (uint32_t)s.values[j], vk = (uint32_t)s.values[k];
    c = CheckVal_multiply(c, 13);
    c = CheckVal_addint(c, vi * vj * vk + vi + vj + vk);
  }
  Genome_free(s);
  return c;
}

CheckVal scorechecksum(double x, int decimals, uint32_t n) {
  return scoresum(x, decimals, n, 13);
}

CheckVal scorechecksumv44(double x, int decimals, uint32_t n) {
  return scoresum(x, decimals, n, (uint32_t)((6 - decimals) * 2 + 13));
}

CheckVal latticechecksum(const char* name, uint32_t n) {
  if (!name) return CheckVal_null;
  if (!*name) return CheckVal_addint(CheckVal_new(n), CHECK_CONSTANT);
  return filechecksum(latticefilepath(name).c_str(), n);
}

CheckVal latticechecksumv44(const char* name, uint32_t n) {
  return latticechecksumlisted(name, n, 4.4f);
}

CheckVal latticechecksumv441(const char* name, uint32_t n) {
  return latticechecksumlisted(name, n, 0.0f);
}

CheckVal ordaxchecksum(Result r) {
  Genome g = Result_genome(r, 1);
  ResultFormat f = Result_format(r);
  double S = Result_qscore(r, &f);
  double M = Result_calc(r);
  std::optional<std::string> lat = Result_lattice(r);
  const char* L = lat ? lat->c_str() : nullptr;
  float V = Result_ver(r);
  CheckVal c;
  if (V >= 4.0f && V < 4.22f) {
    c = CheckVal_addint(CheckVal_new(4), CHECK_CONSTANT);
  } else if (V < 4.4f) {
    c = CheckVal_XOR(genomechecksum(g, 4), scorechecksum(S, f.scoredecimals, 4));
    c = CheckVal_XOR(c, scorechecksum(M, f.calcdecimals, 4));
    c = CheckVal_XOR(c, latticechecksum(L, 4));
  } else if (V < 4.42f) {
    c = CheckVal_XOR(genomechecksum(g, 12), scorechecksumv44(S, f.scoredecimals, 12));
    c = CheckVal_XOR(c, scorechecksumv44(M, f.calcdecimals, 12));
    c = CheckVal_XOR(c, V < 4.41f ? latticechecksumv44(L, 12) : latticechecksumv441(L, 12));
  } else {
    CheckVal gs = genomechecksum(g, 12);
    CheckVal ss = scorechecksumv44(S, f.scoredecimals, 12);
    CheckVal cs = scorechecksumv44(M, f.calcdecimals, 12);
    CheckVal ls = latticechecksumv441(L, 12);
    // mix(mix(g) ⊕ mix(mix(s) ⊕ mix(mix(c) ⊕ mix(l))))
    CheckVal inner = CheckVal_XORmix(cs, ls);
    CheckVal middle = CheckVal_XORmix(ss, inner);
    c = CheckVal_mix(CheckVal_XORmix(gs, middle));
  }
  ResultFormat_free(f);
  Genome_free(g);
  return c;
}

unsigned char* autosave_checksum(const unsigned char* data, unsigned length, unsigned* outlength) {
  if (outlength) *outlength = 40;
  if (!data) return nullptr;
  uint32_t w[10] = {0};
  for (unsigned i = 0; (uint64_t)i + 3 < length; i++) {
    uint32_t b0 = data[i], b1 = data[i + 1], b2 = data[i + 2], b3 = data[i + 3];
    w[i % 10] += ((b3 * b1) << 16) ^ ((17 * b3 + 7 * b2 + 3 * b1 + b0) << 9) ^ (b2 * b0);
  }
  unsigned char* out = (unsigned char*)malloc(40);
  if (!out) return nullptr;
  for (int k = 0; k < 10; k++) le32_put(out + 4 * k, w[k]);
  return out;
}

// ---- caches ----

void checksumcache_clear() {
  clearfilesums();
  filelistcache.clear();
}
