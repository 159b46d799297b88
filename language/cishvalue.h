// CishValue: the values of the embedded lattice code language Cish. A value is a kind tag (a
// grammar symbol: "" nothing, "Xn" number, "Text", "Xl" variable reference, "XP" pointer) and
// an 8-byte payload. "Text" and "Xl" values own their text (for "Xl", a copy of the variable's
// name); CishValue_free releases it. Also the number-literal reader and the printed form.
// Used by the Cish environment (cish.h), the expression trees (cishtree.h) and the lattice
// parser; evaluated for every operator of every executed expression.
#pragma once

#include <string>

struct CishValue {
  char kind[16];  // symbol of the value, NUL-terminated, at most 15 characters
  union {
    double x;       // "Xn": the number
    char* text;     // "Text": owned text or none; "Xl": owned copy of the variable name
    void* pointer;  // "XP": printed only
  };
};
static_assert(sizeof(CishValue) == 24, "CishValue is a 16-byte kind and an 8-byte payload");

// Constructors. CishValue_Text copies `text` (none gives a "Text" value holding none).
CishValue CishValue_nothing();
CishValue CishValue_Xn(double x);
CishValue CishValue_Text(const char* text);
// A value of kind `kind` (cut to 15 characters) with a zero payload: the value of a grammar
// node that holds no number or text. For "Text" and "Xl" use the constructors above.
CishValue CishValue_kind(const char* kind);

// Frees the text of a "Text" or "Xl" value and leaves an empty value.
void CishValue_free(CishValue* v);
// Replaces `*to` (which must hold a valid value, possibly empty) by a copy of `*from`,
// duplicating owned text. Copying a value onto itself leaves it unchanged.
void CishValue_copyfrom(CishValue* to, const CishValue* from);

// True when the value's kind is exactly `kind`.
inline bool CishValue_is(const CishValue& v, const char* kind) {
  return v.kind[0] == kind[0] && __builtin_strncmp(v.kind, kind, sizeof v.kind) == 0;
}

// Reads a number literal at the start of `text`: digits, an optional '.' and digits, then an
// optional 'e'/'E' that must be followed by '+', '-' or a digit, then digits. Returns "Xn" with
// the literal's value and sets *end (if given) after the literal; returns an empty value with
// *end = text when the text does not start a number (a lone '.', a second '.', or an exponent
// letter followed by anything but '+', '-', a digit or the end of the text).
CishValue CishValue_read(const char* text, const char** end);

// The printed form: "(tba)" for "X", "%.15lg" of the number for "Xn", "Pointer" for "XP", the
// name for "Xl" ("?Unspecified LValue?" without one), "Text '…'" for "Text" (line feeds become
// the byte 0xAC, and a form over 50 characters is cut to its first 37, "..." and its last 10),
// "?Unknown?" for anything else.
std::string CishValue_print(CishValue v);

// True when the value is "Xn" and its number is less than or greater than 0 (NaN is false).
bool CishValue_rvalueistrue(const CishValue* v);
