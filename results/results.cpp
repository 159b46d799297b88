// Results: building result lines, reading their fields, the validity test, and reading and
// writing results text files. Owns nothing process-wide; every Result and set returned is the
// caller's. Result_read and Results_load are the hot paths (a whole "results.dat" of 10^5
// results at start, and every upload re-validation): both go through one line reader that
// never holds more than the line at hand and does no work per result beyond its two lines.
#include "results/results.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "language/genome.h"
#include "lattice/latticefiles.h"
#include "base/report.h"

namespace {

constexpr float MINVER = 4.3f;  // oldest version whose results are kept
constexpr int OPEN_RETRIES = 20;
constexpr uint32_t OPEN_RETRY_MS = 100;

char* dupstring(const std::string& s) {
  char* p = (char*)malloc(s.size() + 1);
  if (!p) return nullptr;
  memcpy(p, s.data(), s.size());
  p[s.size()] = 0;
  return p;
}

char* dupstring(const char* s) {
  return s ? dupstring(std::string(s)) : nullptr;
}

bool isletter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// "%.<d>lf" of x.
std::string fixed(double x, int decimals) {
  char small[64];
  int len = snprintf(small, sizeof small, "%.*f", decimals, x);
  if (len < 0) return std::string();
  if ((size_t)len < sizeof small) return std::string(small, (size_t)len);
  std::string s((size_t)len, '\0');
  snprintf(s.data(), s.size() + 1, "%.*f", decimals, x);
  return s;
}

// Trailing white space and control characters off.
void striptrailing(std::string& line) {
  size_t n = line.size();
  while (n > 0 && (unsigned char)line[n - 1] <= 32) n--;
  line.resize(n);
}

// A genome line: empty, or items of gene-name characters (letters, digits, '_' and '-' as in
// the lattice language's cell names, and '#'), then '=', then digits, then ';', the last ';'
// ending the line.
bool isgenomeline(const std::string& line) {
  const char* p = line.c_str();
  const char* end = p + line.size();
  while (p < end) {
    const char* s = p;
    while (p < end && (isletter(*p) || isdigitc(*p) || *p == '#' || *p == '_' || *p == '-')) p++;
    if (p == s || p == end || *p != '=') return false;
    s = ++p;
    while (p < end && isdigitc(*p)) p++;
    if (p == s || p == end || *p != ';') return false;
    p++;
  }
  return true;
}

bool begins_test(const char* text) {
  return text && startsnocase(text, "test");
}

// ---- line sources ----
// A line ends at CR, LF, CR LF or a zero byte; `terminated` tells whether it had such an end
// (a last line without one is what an interrupted append leaves).

// Reads from a stream the caller keeps using: never reads past the line's end (a CR is
// followed by a peek for its LF).
struct StreamLines {
  FILE* f;
  bool next(std::string& line, bool& terminated) {
    line.clear();
    char chunk[4096];
    size_t n = 0;
    int c = getc(f);
    if (c == EOF) return false;
    while (c != EOF && c != '\n' && c != '\r' && c != 0) {
      chunk[n++] = (char)c;
      if (n == sizeof chunk) line.append(chunk, n), n = 0;
      c = getc(f);
    }
    line.append(chunk, n);
    terminated = c != EOF;
    if (c == '\r') {
      int d = getc(f);
      if (d != '\n' && d != EOF) ungetc(d, f);
    }
    return true;
  }
  long tell() { return ftell(f); }
};

// Reads a stream it owns alone in large blocks (whole-file loading).
struct BlockLines {
  FILE* f;
  std::vector<char> buf = std::vector<char>(1 << 20);
  size_t pos = 0, end = 0;
  uint64_t consumed = 0;  // bytes of the file taken so far
  bool pendingcr = false;  // the last line ended in CR: an LF right after belongs to it
  bool eof = false;

  bool fill() {
    if (eof || simstop == 2) return false;  // the user ended the program
    end = fread(buf.data(), 1, buf.size(), f);
    pos = 0;
    if (end == 0) eof = true;
    return end > 0;
  }
  bool next(std::string& line, bool& terminated) {
    line.clear();
    if (pos == end && !fill()) return false;
    if (pendingcr) {
      pendingcr = false;
      if (buf[pos] == '\n') {
        pos++, consumed++;
        if (pos == end && !fill()) return false;
      }
    }
    for (;;) {
      const char* s = buf.data() + pos;
      const char* e = buf.data() + end;
      const char* p = s;
      while (p < e && *p != '\n' && *p != '\r' && *p != 0) p++;
      line.append(s, (size_t)(p - s));
      consumed += (uint64_t)(p - s);
      pos += (size_t)(p - s);
      if (p < e) {
        pendingcr = *p == '\r';
        pos++, consumed++;
        terminated = true;
        return true;
      }
      if (!fill()) {
        terminated = false;
        return true;
      }
    }
  }
  long tell() { return (long)consumed; }
};

Result makeresult(const std::string& genome, const std::string& text) {
  Result r;
  r.genome = dupstring(genome);
  r.text = dupstring(text);
  r.score = strtod(r.text ? r.text : "", nullptr);
  return r;
}

template <class Lines>
Result readresult(Lines& in, const char* lattice, CheckFunction check, int accept,
                  long* genomestart) {
  std::string line, genome;
  bool terminated = false, havegenome = false;
  long start = 0, linestart = 0;
  for (;;) {
    if (genomestart) linestart = in.tell();
    if (!in.next(line, terminated)) return Result_NULL;
    striptrailing(line);
    if (!havegenome) {
      if (!isgenomeline(line)) continue;
      genome.swap(line);
      start = linestart;
      havegenome = true;
      continue;
    }
    if (!terminated) return Result_NULL;  // an unfinished last line: no result
    if (!line.empty() && isgenomeline(line)) {  // the previous genome line had no result
      genome.swap(line);
      start = linestart;
      continue;
    }
    havegenome = false;
    Result r = makeresult(genome, line);
    if (!r.genome || !r.text) {
      Result_free(r);
      continue;
    }
    if (begins_test(r.text) || Result_valid(r, lattice, check, accept)) {
      if (genomestart) *genomestart = start;
      return r;
    }
    Result_free(r);
  }
}

// Opens `filename` with `mode`, trying 1 + 20 times 100 ms apart.
FILE* openretrying(const char* filename, const char* mode) {
  for (int attempt = 0;; attempt++) {
    FILE* f = fopen(filename, mode);
    if (f || attempt == OPEN_RETRIES) return f;
    platform_sleep(OPEN_RETRY_MS);
  }
}

// If the file's last line has no line ending (an append was interrupted), cuts that line off,
// so that what is appended next starts on a fresh line and cannot be read together with it.
// A missing or empty file is left alone.
void cutunfinishedline(const char* filename) {
  FILE* f = fopen(filename, "rb");
  if (!f) return;
  if (fseek(f, 0, SEEK_END) != 0) {
    fclose(f);
    return;
  }
  long size = ftell(f);
  long keep = -1;
  char last = 0;
  if (size > 0 && fseek(f, size - 1, SEEK_SET) == 0 && fread(&last, 1, 1, f) == 1 &&
      last != '\n' && last != '\r' && last != 0) {
    // Look backwards for the last line end.
    char block[4096];
    long at = size - 1;
    keep = 0;
    while (at > 0) {
      long from = at > (long)sizeof block ? at - (long)sizeof block : 0;
      if (fseek(f, from, SEEK_SET) != 0 ||
          fread(block, 1, (size_t)(at - from), f) != (size_t)(at - from)) {
        keep = -1;  // cannot tell: leave the file alone
        break;
      }
      long i = at - from;
      while (i > 0 && block[i - 1] != '\n' && block[i - 1] != '\r' && block[i - 1] != 0) i--;
      if (i > 0) {
        keep = from + i;
        break;
      }
      at = from;
    }
  }
  fclose(f);
  if (keep >= 0) platform_truncate(filename, (uint64_t)keep);
}

std::string resultlines(Result r) {
  std::string s;
  s.reserve((r.genome ? strlen(r.genome) : 0) + (r.text ? strlen(r.text) : 0) + 4);
  s += r.genome ? r.genome : "";
  s += "\r\n";
  s += r.text ? r.text : "";
  s += "\r\n";
  return s;
}

// Steps 1-4 of the result line after the score text.
void appendfields(std::string& text, double calc, const char* version, const char* lattice,
                  const ResultFormat* fmt) {
  if (fmt->calcunits) {
    text += " (";
    text += fixed(calc, fmt->calcdecimals);
    text += ' ';
    text += fmt->calcunits;
    text += ')';
  }
  if (version) {
    text += " [";
    text += version;
    text += ']';
  }
  if (lattice) {
    text += " <";
    text += lattice;
    text += '>';
  }
}

// Steps 5 and 6, then the result record.
Result finishresult(const std::string& genome, std::string text, CheckVal literal,
                    CheckFunction check, const char* extra) {
  if (check) {
    Result partial = makeresult(genome, text);
    CheckVal c = check(partial);
    Result_free(partial);
    text += " {" + CheckVal_string(c) + "}";
    CheckVal_free(c);
  } else if (literal.length > 0) {
    text += " {" + CheckVal_string(literal) + "}";
  }
  if (extra) {
    text += ' ';
    text += extra;
  }
  return makeresult(genome, text);
}

int countdigits(const char* p) {
  int n = 0;
  while (isdigitc(p[n])) n++;
  return n;
}

}  // namespace

// ---- records ----

void ResultFormat_free(ResultFormat f) {
  free((void*)f.calcunits);
}

void Result_free(Result r) {
  free(r.genome);
  free(r.text);
}

void Results_free(LSet set) {
  for (uint32_t i = 0; i < set.count; i++) Result_free(LSet_at<Result>(set, i));
  LSet_free(set);
}

// ---- making results ----

Result Result_createliteral(const Genome& g, double score, double calc, const char* version,
                            const char* lattice, CheckVal check, const char* extra,
                            const ResultFormat* fmt) {
  if (std::fabs(score) >= 1e80) score = 0;
  std::string text = fixed(score, fmt->scoredecimals);
  appendfields(text, calc, version, lattice, fmt);
  return finishresult(Genome_string(g), std::move(text), check, nullptr, extra);
}

Result Result_create(const Genome& g, double score, double calc, const char* version,
                     const char* lattice, const char* extra, const ResultFormat* fmt,
                     CheckFunction check) {
  std::string text = fixed(score, fmt->scoredecimals);
  appendfields(text, calc, version, lattice, fmt);
  return finishresult(Genome_string(g), std::move(text), CheckVal_null, check, extra);
}

Result Result_createqueued(const Genome& g, const double* scores, int count, double calc,
                           const char* version, const char* lattice, const char* extra,
                           const ResultFormat* fmt, CheckFunction check) {
  std::string text;
  for (int i = 0; i < count; i++) {
    if (i) text += ',';
    text += fixed(scores[i], fmt->scoredecimals);
  }
  appendfields(text, calc, version, lattice, fmt);
  Result r = finishresult(Genome_string(g), std::move(text), CheckVal_null, check, extra);
  r.score = 0;
  return r;
}

// ---- reading a result ----

Genome Result_genome(Result r, int keephash) {
  return Genome_fromstring(r.genome ? r.genome : "", keephash);
}

ResultFormat Result_format(Result r) {
  ResultFormat f{3, 0, 0, nullptr};
  // Genome digits: the first gene not beginning with '#'.
  for (const char* item = r.genome; item && *item;) {
    const char* semi = strchr(item, ';');
    const char* itemend = semi ? semi : item + strlen(item);
    if (*item != '#') {
      const char* eq = (const char*)memchr(item, '=', (size_t)(itemend - item));
      if (eq) f.genomedigits = countdigits(eq + 1);
      break;
    }
    item = semi ? semi + 1 : itemend;
  }
  const char* text = r.text ? r.text : "";
  if (const char* dot = strchr(text, '.')) f.scoredecimals = countdigits(dot + 1);
  if (const char* paren = strchr(text, '(')) {
    if (const char* dot = strchr(paren, '.')) {
      f.calcdecimals = countdigits(dot + 1);
      const char* u = dot + 1 + f.calcdecimals;
      while (*u == ' ') u++;
      const char* e = u;
      while (isletter(*e) || isdigitc(*e) || *e == '_' || *e == '-') e++;
      if (e > u) f.calcunits = dupstring(std::string(u, e));
    }
  }
  return f;
}

std::vector<double> Result_qscores(Result r, int* n) {
  std::vector<double> out;
  const char* text = r.text ? r.text : "";
  const char* e = text;
  while (isdigitc(*e) || *e == '.' || *e == ',' || *e == '-') e++;
  if (e > text) {
    std::string piece;
    for (const char* p = text;; p++) {
      if (p == e || *p == ',') {
        out.push_back(strtod(piece.c_str(), nullptr));
        piece.clear();
        if (p == e) break;
      } else {
        piece += *p;
      }
    }
  }
  if (n) *n = (int)out.size();
  return out;
}

double scorefromsample(double* samples, int n, const ResultFormat* fmt) {
  if (n <= 0) return 0;
  std::sort(samples, samples + n);
  int drop = n / 5;
  long double sum = 0;
  for (int i = drop; i < n - drop; i++) sum += samples[i];
  long double mean = sum / (n - 2 * drop);
  long double scale = (long double)std::pow(10.0, fmt->scoredecimals);
  return (double)(std::floor(mean * scale + 0.5L) / scale);
}

double rounddecimals(double x, int d) {
  long double p = (long double)std::pow(10.0, -d);
  return (double)(std::floor((long double)x / p + 0.5L) * p);
}

double Result_qscore(Result r, const ResultFormat* fmt) {
  int n = 0;
  std::vector<double> s = Result_qscores(r, &n);
  return n ? scorefromsample(s.data(), n, fmt) : 0.0;
}

double Result_calc(Result r) {
  const char* p = r.text ? strchr(r.text, '(') : nullptr;
  return p ? strtod(p + 1, nullptr) : 0.0;
}

float Result_ver(Result r) {
  const char* p = r.text ? strstr(r.text, "[v") : nullptr;
  return p ? strtof(p + 2, nullptr) : 0.0f;
}

char Result_verx(Result r) {
  const char* p = r.text ? strchr(r.text, ']') : nullptr;
  if (!p || p == r.text) return 0;
  return isletter(p[-1]) ? p[-1] : 0;
}

std::optional<std::string> Result_verstring(Result r) {
  const char* a = r.text ? strchr(r.text, '[') : nullptr;
  const char* b = a ? strchr(a + 1, ']') : nullptr;
  if (!b) return std::nullopt;
  return std::string(a + 1, b);
}

namespace {
// The '<' and '>' around the lattice name; *b is none when there is '<' but no '>'.
bool latticebounds(const char* text, const char** a, const char** b) {
  *a = text ? strchr(text, '<') : nullptr;
  *b = nullptr;
  if (!*a) return false;
  if ((*a)[1]) *b = strchr(*a + 2, '>');
  return true;
}
}  // namespace

std::optional<std::string> Result_lattice(Result r) {
  const char *a, *b;
  if (!latticebounds(r.text, &a, &b) || !b) return std::nullopt;
  return std::string(a + 1, b);
}

int Result_islattice(Result r, const char* name) {
  const char *a, *b;
  if (!latticebounds(r.text, &a, &b)) return 0;
  if (!b) return name == nullptr;
  if (!name) return 0;
  return equalnocase(std::string_view(a + 1, (size_t)(b - a - 1)), name) ? 1 : 0;
}

CheckVal Result_chk(Result r) {
  const char* a = r.text ? strchr(r.text, '{') : nullptr;
  const char* b = a ? strchr(a + 1, '}') : nullptr;
  if (!b) return CheckVal_null;
  return CheckVal_read(a + 1, b);
}

int Result_runs(Result r) {
  const char* p = stristr(r.genome, "#runs=");
  return p ? atoi(p + 6) : 1;
}

Result Result_copyof(Result r) {
  Result c;
  c.genome = dupstring(r.genome);
  c.text = dupstring(r.text);
  c.score = r.score;
  return c;
}

int Result_equivalent(Result a, Result b) {
  ResultFormat fa = Result_format(a), fb = Result_format(b);
  bool same = fa.scoredecimals == fb.scoredecimals &&
              strnullcmp(fa.calcunits, fb.calcunits) == 0 &&
              (!fa.calcunits || fa.calcdecimals == fb.calcdecimals);
  if (same) same = std::fabs(a.score - b.score) <= 0.5 * std::pow(10.0, -fa.scoredecimals);
  if (same && fa.calcunits)
    same = std::fabs(Result_calc(a) - Result_calc(b)) <= 0.5 * std::pow(10.0, -fa.calcdecimals);
  ResultFormat_free(fa);
  ResultFormat_free(fb);
  if (!same) return 0;
  Genome ga = Result_genome(a, 1), gb = Result_genome(b, 1);
  same = Genome_identical(ga, gb);
  Genome_free(ga);
  Genome_free(gb);
  if (!same) return 0;
  std::optional<std::string> la = Result_lattice(a), lb = Result_lattice(b);
  if (!la || !lb) return !la && !lb;
  return strnullcmpi(la->c_str(), lb->c_str()) == 0;
}

// ---- validity ----

int Result_valid(Result r, const char* lattice, CheckFunction check, int acceptunverifiable) {
  if (lattice && !Result_islattice(r, lattice)) return 0;
  float v = Result_ver(r);
  if (!(v >= MINVER)) {
    reportf("[WARNING] Result version (%f)<MINVER(%f)", (double)v, (double)MINVER);
    return 0;
  }
  if (!check) return 1;
  // The stored value can only be verified against the lattice file it depends on; without
  // it the value is not computed at all (it would only raise file warnings).
  std::optional<std::string> name = Result_lattice(r);
  int outcome;
  CheckVal stored = Result_chk(r);
  if (name && lattice_exists(name->c_str())) {
    CheckVal expected = check(r);
    outcome = CheckVal_equals(expected, stored) ? 1 : 0;
    CheckVal_free(expected);
  } else {
    outcome = acceptunverifiable ? 2 : 0;
  }
  if (outcome == 0) {
    // The text as stored (a value that does not read as hexadecimal pairs reads as none).
    const char* a = strchr(r.text, '{');
    const char* b = a ? strchr(a + 1, '}') : nullptr;
    std::string shown = b ? std::string(a + 1, b) : CheckVal_string(stored);
    reportf("[WARNING] Record rejected due to bad checksum: was {%s}", shown.c_str());
  }
  CheckVal_free(stored);
  return outcome;
}

void Results_valid(LSet* set, const char* lattice, CheckFunction check, int acceptunverifiable) {
  uint32_t kept = 0;
  Result* rs = LSet_data<Result>(*set);
  for (uint32_t i = 0; i < set->count; i++) {
    if (Result_valid(rs[i], lattice, check, acceptunverifiable)) rs[kept++] = rs[i];
    else Result_free(rs[i]);
  }
  while (set->count > kept) LSet_remove(set, set->count - 1);
}

// ---- results files ----

Result Result_read(FILE* f, const char* lattice, CheckFunction check, int acceptunverifiable,
                   long* genomestart) {
  if (!f) return Result_NULL;
  StreamLines in{f};
  return readresult(in, lattice, check, acceptunverifiable, genomestart);
}

LSet Results_load(const char* filename, const char* lattice) {
  LSet set = LSet_new(sizeof(Result));
  reportf("Loading '%s'...", filename);
  FILE* f = fopen(filename, "rb");
  if (!f) {
    reportupdatef("Loading '%s'... File empty", filename);
    return set;
  }
  uint64_t size = filesize(filename);
  BlockLines in{f};
  int count = 0;
  for (;;) {
    Result r = readresult(in, lattice, nullptr, 1, nullptr);
    if (!r.text) break;
    LSet_add(&set, &r);
    if (++count % 100 == 0)
      reportupdatef("Loading '%s'... %d (%.1lf%%)", filename, count,
                    size ? 100.0 * (double)in.consumed / (double)size : 100.0);
  }
  fclose(f);
  if (simstop == 2) {
    // Cut short by the user: a part of the file must not pass for all of it.
    Results_free(set);
    return LSet_new(sizeof(Result));
  }
  reportupdatef("Loading '%s'... OK (%d results)", filename, count);
  return set;
}

int Results_infile(const char* filename, const char* lattice) {
  FILE* f = fopen(filename, "rb");
  if (!f) return 0;
  BlockLines in{f};
  int count = 0;
  for (;;) {
    Result r = readresult(in, lattice, nullptr, 1, nullptr);
    if (!r.text) break;
    Result_free(r);
    count++;
  }
  fclose(f);
  return count;
}

int Result_save(Result r, const char* filename) {
  return Result_savelines(resultlines(r), filename);
}

int Result_savelines(const std::string& lines, const char* filename) {
  cutunfinishedline(filename);
  uint64_t before = filesize(filename);
  FILE* f = openretrying(filename, "ab");
  if (!f) {
    reportf("[WARNING] Could not open '%s' to save result", filename);
    return 0;
  }
  bool ok = fwrite(lines.data(), 1, lines.size(), f) == lines.size();
  // On the disk before the caller goes on (it may then take the run off the queue).
  ok = platform_syncfile(f) && ok;
  ok = fclose(f) == 0 && ok;
  if (!ok) {
    // A part written before the disk filled up is taken back: the file ends on a whole result.
    platform_truncate(filename, before);
    reportf("[WARNING] Could not write result to '%s'", filename);
  }
  return ok ? 1 : 0;
}

std::string Result_lines(Result r) {
  return resultlines(r);
}

int Result_write(Result r, FILE* f) {
  std::string lines = resultlines(r);
  return fwrite(lines.data(), 1, lines.size(), f) == lines.size();
}

void Result_print(Result r) {
  Result_write(r, stdout);
  fflush(stdout);
}

int Results_save(LSet set, const char* filename, int append) {
  std::string target = filename;
  std::string written = append ? target : target + ".new";
  if (append) cutunfinishedline(filename);
  uint64_t before = append ? filesize(filename) : 0;
  FILE* f = openretrying(written.c_str(), append ? "ab" : "wb");
  if (!f) {
    reportf("[WARNING] Could not open '%s' to save results", filename);
    return 0;
  }
  report("Text saving results...");
  bool ok = true;
  for (uint32_t i = 0; i < set.count && ok; i++) {
    ok = Result_write(LSet_at<Result>(set, i), f) == 1;
    if (i % 100 == 0) reportupdatef("Text saving results... %u", i);
  }
  ok = platform_syncfile(f) && ok;  // an append, too, is on disk before anything relies on it
  ok = fclose(f) == 0 && ok;
  if (ok && !append) ok = platform_rename(written.c_str(), target.c_str());
  if (!ok) {
    if (!append) platform_remove(written.c_str());
    else platform_truncate(filename, before);  // nothing of a failed append stays
    reportf("[WARNING] Could not write results to '%s'", filename);
    return 0;
  }
  reportupdatef("Text saved %u results", set.count);
  return 1;
}

int Results_append(LSet set, const char* filename) {
  return Results_save(set, filename, 1);
}

LSet Results_filter(LSet set, const char* lattice) {
  LSet out = LSet_new(sizeof(Result));
  for (uint32_t i = 0; i < set.count; i++) {
    const Result& r = LSet_at<Result>(set, i);
    if (!lattice || Result_islattice(r, lattice)) LSet_add(&out, &r);
  }
  return out;
}

LSet Results_lattices(LSet set) {
  LSet names = LSet_new(sizeof(char*));
  std::unordered_set<std::string> seen;
  bool sawnone = false;
  for (uint32_t i = set.count; i-- > 0;) {
    std::optional<std::string> name = Result_lattice(LSet_at<Result>(set, i));
    char* entry = nullptr;
    if (!name) {
      if (sawnone) continue;
      sawnone = true;
    } else {
      std::string key = *name;
      for (char& c : key) c = (char)lc((unsigned char)c);
      if (!seen.insert(key).second) continue;
      entry = dupstring(*name);
    }
    LSet_add(&names, &entry);
  }
  return names;
}

void Results_lattices_free(LSet names) {
  for (uint32_t i = 0; i < names.count; i++) free(LSet_at<char*>(names, i));
  LSet_free(names);
}
