// CishValue: constructors, copying and freeing, the number-literal state machine and the printed
// form of Cish values (see cishvalue.h). Owns nothing beyond the text held by each value.
// Called for every token and every operator the expression evaluator handles.
#include "language/cishvalue.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace {

char* duptext(const char* s) {
  if (!s) return nullptr;
  size_t n = std::strlen(s) + 1;
  char* d = static_cast<char*>(std::malloc(n));
  if (d) std::memcpy(d, s, n);
  return d;
}

bool ownstext(const CishValue& v) {
  return CishValue_is(v, "Text") || CishValue_is(v, "Xl");
}

}  // namespace

CishValue CishValue_nothing() {
  CishValue v;
  std::memset(&v, 0, sizeof v);
  return v;
}

CishValue CishValue_kind(const char* kind) {
  CishValue v = CishValue_nothing();
  if (kind) std::snprintf(v.kind, sizeof v.kind, "%s", kind);
  return v;
}

CishValue CishValue_Xn(double x) {
  CishValue v = CishValue_kind("Xn");
  v.x = x;
  return v;
}

CishValue CishValue_Text(const char* text) {
  CishValue v = CishValue_kind("Text");
  v.text = duptext(text);
  return v;
}

void CishValue_free(CishValue* v) {
  if (!v) return;
  if (ownstext(*v)) std::free(v->text);
  *v = CishValue_nothing();
}

void CishValue_copyfrom(CishValue* to, const CishValue* from) {
  if (to == from) return;
  CishValue copy = *from;
  if (ownstext(*from)) copy.text = duptext(from->text);
  CishValue_free(to);
  *to = copy;
}

CishValue CishValue_read(const char* text, const char** end) {
  if (end) *end = text;
  if (!text || !(isdigitc(text[0]) || text[0] == '.')) return CishValue_nothing();
  enum { INTEGER, FRACTION, EXPONENTSTART, EXPONENT } state = INTEGER;
  const char* p = text;
  bool digits = false;  // the mantissa holds at least one digit
  for (;; p++) {
    char ch = *p;
    if (ch == 0) break;  // the end of the text ends the literal in any state
    if (state == INTEGER || state == FRACTION) {
      if (isdigitc(ch)) {
        digits = true;
        continue;
      }
      if (ch == '.') {
        if (state == FRACTION) return CishValue_nothing();  // a second point
        state = FRACTION;
        continue;
      }
      if ((ch == 'e' || ch == 'E') && digits) {
        state = EXPONENTSTART;
        continue;
      }
      break;
    }
    if (state == EXPONENTSTART) {
      if (ch == '+' || ch == '-' || isdigitc(ch)) {
        state = EXPONENT;
        continue;
      }
      return CishValue_nothing();  // an exponent letter must be followed by a sign or digit
    }
    if (!isdigitc(ch)) break;  // EXPONENT
  }
  if (!digits) return CishValue_nothing();  // a lone point
  // Convert only the literal itself: strtod on the raw text would also read "0x1f" or "1e5"
  // beyond where this literal ends.
  std::string literal(text, p);
  if (end) *end = p;
  return CishValue_Xn(std::strtod(literal.c_str(), nullptr));
}

std::string CishValue_print(CishValue v) {
  char buffer[64];
  if (CishValue_is(v, "X")) return "(tba)";
  if (CishValue_is(v, "Xn")) {
    // Whole numbers of up to 15 digits print as "%.15lg" prints them: the digits alone.
    if (v.x == std::floor(v.x) && std::fabs(v.x) < 1e15) {
      if (v.x == 0) return std::signbit(v.x) ? "-0" : "0";
      char* e = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(v.x)).ptr;
      return std::string(buffer, e);
    }
    std::snprintf(buffer, sizeof buffer, "%.15lg", v.x);
    return buffer;
  }
  if (CishValue_is(v, "XP")) return "Pointer";
  if (CishValue_is(v, "Xl")) return v.text ? v.text : "?Unspecified LValue?";
  if (CishValue_is(v, "Text")) {
    std::string s = "Text '";
    if (v.text) s += v.text;
    s += "'";
    summarisetext(s.data());  // line feeds to 0xAC, 37 + "..." + 10 when over 50 characters
    s.resize(std::strlen(s.c_str()));
    return s;
  }
  return "?Unknown?";
}

bool CishValue_rvalueistrue(const CishValue* v) {
  return v && CishValue_is(*v, "Xn") && (v->x < 0 || v->x > 0);
}
