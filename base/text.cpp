// Text utilities: splitting, replacement, case-insensitive search and comparison, trimming,
// skipping numbers and white space, summaries, file-name repair and bit sets. No state; safe
// from any thread. Called by the settings, parser, results and network code, never per
// particle, so clarity comes before speed.
#include "base/text.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

inline bool isws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool isdigit_(char c) {
  return c >= '0' && c <= '9';
}

inline const char* skipdigits(const char* p) {
  while (isdigit_(*p)) p++;
  return p;
}

// Skips sign, digits, and `.` with digits; `*digits` tells whether any digit was seen.
const char* skipmantissa(const char* p, bool* digits) {
  if (*p == '+' || *p == '-') p++;
  const char* q = skipdigits(p);
  *digits = q != p;
  if (*q == '.') {
    const char* r = skipdigits(q + 1);
    *digits = *digits || r != q + 1;
    q = r;
  }
  return q;
}

}  // namespace

std::vector<std::string> explode(const char* separator, const char* text) {
  assert(separator && *separator);
  std::vector<std::string> pieces;
  if (!text) text = "";
  size_t seplen = separator ? strlen(separator) : 0;
  if (seplen == 0) {
    pieces.emplace_back(text);
    return pieces;
  }
  const char* start = text;
  const char* p = text;
  while (*p) {
    if (strncmp(p, separator, seplen) == 0) {
      pieces.emplace_back(start, p - start);
      p += seplen;
      start = p;
    } else {
      p++;
    }
  }
  pieces.emplace_back(start, p - start);
  return pieces;
}

std::vector<std::string> explode(const char* separator, const std::string& text) {
  return explode(separator, text.c_str());
}

std::vector<std::string> explodews(const char* text) {
  std::vector<std::string> pieces;
  if (!text) return pieces;
  const char* p = text;
  while (true) {
    while (isws(*p)) p++;
    if (!*p) break;
    const char* start = p;
    while (*p && !isws(*p)) p++;
    pieces.emplace_back(start, p - start);
  }
  return pieces;
}

std::vector<std::string> explodews(const std::string& text) {
  return explodews(text.c_str());
}

std::vector<std::string> commandwords(const char* commandline, bool keepquotes) {
  std::vector<std::string> words;
  const char* s = commandline ? commandline : "";
  for (;;) {
    while (isws(*s)) s++;
    if (!*s) break;
    std::string word;
    bool quoted = false;
    for (; *s && (quoted || !isws(*s)); s++) {
      if (*s == '"') quoted = !quoted;
      if (*s != '"' || keepquotes) word += *s;
    }
    words.push_back(word);
  }
  return words;
}

std::string sreplace(const char* text, const char* from, const char* to) {
  if (!text) return std::string();
  std::string out(text);
  sdreplace(out, from, to);
  return out;
}

std::string& sdreplace(std::string& text, const char* from, const char* to) {
  if (!from || !*from) return text;
  if (!to) to = "";
  size_t fromlen = strlen(from);
  if (text.find(from) == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out.append(to);
    pos = hit + fromlen;
  }
  out.append(text, pos, std::string::npos);
  text.swap(out);
  return text;
}

std::string latexescape(const char* text) {
  std::string out = sreplace(text, "~", "$\\sim$");
  return sdreplace(out, "_", "\\_");
}

void appendf(std::string* out, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n > 0) {
    size_t old = out->size();
    out->resize(old + (size_t)n + 1);
    vsnprintf(&(*out)[old], (size_t)n + 1, fmt, again);
    out->resize(old + (size_t)n);
  }
  va_end(again);
}

const char* stristr(const char* haystack, const char* needle) {
  if (!haystack || !needle) return nullptr;
  size_t n = strlen(needle);
  for (const char* h = haystack;; h++) {
    size_t i = 0;
    while (i < n && h[i] && lc(c2i(h[i])) == lc(c2i(needle[i]))) i++;
    if (i == n) return h;
    if (!*h) return nullptr;
  }
}

char* stristr(char* haystack, const char* needle) {
  return const_cast<char*>(stristr(static_cast<const char*>(haystack), needle));
}

int strinstr(const char* haystack, const char* needle) {
  return stristr(haystack, needle) != nullptr;
}

int strnullcmp(const char* a, const char* b) {
  if (!a || !b) return (a != nullptr) - (b != nullptr);
  const unsigned char* p = (const unsigned char*)a;
  const unsigned char* q = (const unsigned char*)b;
  while (*p && *p == *q) p++, q++;
  return (int)*p - (int)*q;
}

int strnullcmpi(const char* a, const char* b) {
  if (!a || !b) return (a != nullptr) - (b != nullptr);
  const unsigned char* p = (const unsigned char*)a;
  const unsigned char* q = (const unsigned char*)b;
  while (*p && lc(*p) == lc(*q)) p++, q++;
  return lc(*p) - lc(*q);
}

char* rtrim(char* text) {
  size_t n = strlen(text);
  while (n > 0 && (unsigned char)text[n - 1] <= 32) n--;  // space and controls
  text[n] = 0;
  return text;
}

char* stripspaceinplace(char* text) {
  size_t n = strlen(text);
  while (n > 0 && isws(text[n - 1])) n--;
  text[n] = 0;
  return skipws(text);
}

const char* skipws(const char* text) {
  while (isws(*text)) text++;
  return text;
}

char* skipws(char* text) {
  return const_cast<char*>(skipws(static_cast<const char*>(text)));
}

const char* skipnumber_noexp(const char* text) {
  bool digits;
  const char* p = skipmantissa(text, &digits);
  return digits ? p : text;
}

char* skipnumber_noexp(char* text) {
  return const_cast<char*>(skipnumber_noexp(static_cast<const char*>(text)));
}

const char* skipnumber(const char* text) {
  const char* p = skipnumber_noexp(text);
  if (p == text || (*p != 'e' && *p != 'E')) return p;
  bool digits;
  const char* q = skipmantissa(p + 1, &digits);
  return digits ? q : p;
}

char* skipnumber(char* text) {
  return const_cast<char*>(skipnumber(static_cast<const char*>(text)));
}

int ishexdigit(int c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

const char* skiphex(const char* text) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  while (ishexdigit(c2i(*text))) text++;
  return text;
}

char* skiphex(char* text) {
  return const_cast<char*>(skiphex(static_cast<const char*>(text)));
}

int lc(int c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

int uc(int c) {
  return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
}

char* summarisetext(char* text) {
  size_t n = 0;
  for (char* p = text; *p; p++, n++)
    if (*p == '\n') *p = (char)172;
  if (n >= 51) {
    memcpy(text + 37, "...", 3);
    memmove(text + 40, text + n - 10, 10);
    text[50] = 0;
  }
  return text;
}

char* fixfilename(char* name, char replacement, char extra) {
  static const char bad[] = "\\/:*?\"<>|";
  for (char* p = name; *p; p++)
    if ((extra && *p == extra) || strchr(bad, *p)) *p = replacement;
  return name;
}

void barset(unsigned char* bytes, uint32_t i, int on) {
  unsigned char bit = (unsigned char)(1u << (i % 8));
  if (on)
    bytes[i / 8] |= bit;
  else
    bytes[i / 8] &= (unsigned char)~bit;
}

bool equalnocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (lc((unsigned char)a[i]) != lc((unsigned char)b[i])) return false;
  return true;
}

bool equalnocase(const char* a, const char* b) {
  return a && b && strnullcmpi(a, b) == 0;
}

bool startsnocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalnocase(text.substr(0, prefix.size()), prefix);
}

bool endswith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string reportsafe(const char* text, size_t n) {
  std::string out;
  if (!text) return out;
  for (size_t i = 0; i < n && i < 200; i++) {
    unsigned char c = (unsigned char)text[i];
    out += c < 32 || c == 127 || c == '[' ? '?' : (char)c;
  }
  return out;
}

std::string reportsafe(const std::string& text) {
  return reportsafe(text.data(), text.size());
}

bool isdigitc(char c) {
  return c >= '0' && c <= '9';
}

int hexvalue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
