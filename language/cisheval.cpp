// Cish expression evaluation: every operator, compound assignment, the naming rules and the
// built-in functions (with the Kilpatrick field among them). Values made by evaluation are
// owned by the caller; nesting is counted against the environment's bound. The hot part of a
// lattice parse when its code loops.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "language/cishtree_internal.h"

using namespace cishtree;

namespace {

// Rounds half to even and takes the 32 bits of the result. Numbers that are not finite or
// round outside −2147483648 … 4294967295 have no 32-bit form: the operator gives nothing.
bool toint32(double x, uint32_t* bits) {
  double r = std::nearbyint(x);
  if (!(r >= -2147483648.0 && r <= 4294967295.0)) return false;
  *bits = static_cast<uint32_t>(static_cast<int64_t>(r));
  return true;
}

// The binary operators on two numbers; false for an unknown operator or operands without a
// 32-bit form where an integer operator needs one (and for a remainder by 0).
bool binaryop(int op, double a, double b, double* result) {
  switch (op) {
    case CISH_ADD: *result = a + b; return true;
    case CISH_SUB: *result = a - b; return true;
    case CISH_MUL: *result = a * b; return true;
    case CISH_DIV: *result = a / b; return true;
    case CISH_LAND: *result = (a != 0 && b != 0) ? 1 : 0; return true;
    case CISH_LOR: *result = (a != 0 || b != 0) ? 1 : 0; return true;
    case CISH_EQ: *result = a == b ? 1 : 0; return true;
    case CISH_NE: *result = a != b ? 1 : 0; return true;
    case CISH_LT: *result = a < b ? 1 : 0; return true;
    case CISH_GT: *result = a > b ? 1 : 0; return true;
    case CISH_LE: *result = a <= b ? 1 : 0; return true;
    case CISH_GE: *result = a >= b ? 1 : 0; return true;
    default: break;
  }
  uint32_t x, y;
  if (op < 0 || !toint32(a, &x) || !toint32(b, &y)) return false;
  switch (op) {
    case CISH_REM:
      if (y == 0) return false;
      *result = static_cast<double>(x % y);
      return true;
    case CISH_AND: *result = static_cast<int32_t>(x & y); return true;
    case CISH_OR: *result = static_cast<int32_t>(x | y); return true;
    case CISH_XOR: *result = static_cast<int32_t>(x ^ y); return true;
    case CISH_SHL: *result = static_cast<int32_t>(x << (y & 31)); return true;
    case CISH_SHR: *result = static_cast<double>(x >> (y & 31)); return true;
    default: return false;
  }
}

bool callfunction(const char* name, double x, double* result) {
  if (!std::strcmp(name, "int")) *result = std::floor(x + 0.5);
  else if (!std::strcmp(name, "floor")) *result = std::floor(x);
  else if (!std::strcmp(name, "ceil")) *result = std::ceil(x);
  else if (!std::strcmp(name, "sqrt")) *result = std::sqrt(x);
  else if (!std::strcmp(name, "sin")) *result = std::sin(x);
  else if (!std::strcmp(name, "cos")) *result = std::cos(x);
  else if (!std::strcmp(name, "tan")) *result = std::tan(x);
  else if (!std::strcmp(name, "exp")) *result = std::exp(x);
  else if (!std::strcmp(name, "ln")) *result = std::log(x);
  else if (!std::strcmp(name, "Kilpatrick")) *result = Kilpatrick(x);
  else return false;
  return true;
}

void notifychanged(Cish* c, const char* name) {
  if (c->varchanged) c->abort |= c->varchanged(Cish_getvarpointer(c, name));
}

// The values of a node's children, freed when the evaluation of the node ends (room for three
// without allocating: nearly every node has at most three children).
struct Operands {
  CishValue small[3];
  std::vector<CishValue> more;
  CishValue* v;
  size_t n;
  explicit Operands(size_t count) : n(count) {
    if (n > 3) more.assign(n, CishValue_nothing());
    v = n > 3 ? more.data() : small;
    for (size_t i = 0; i < n; i++) v[i] = CishValue_nothing();
  }
  ~Operands() {
    for (size_t i = 0; i < n; i++) CishValue_free(&v[i]);
  }
  CishValue take(size_t i) {
    CishValue r = v[i];
    v[i] = CishValue_nothing();
    return r;
  }
};

CishValue evalleaf(const CishTree* t) {
  if (kindis(t, "Text")) {
    std::string s(t->start, t->end);
    return CishValue_Text(s.c_str());
  }
  if (kindis(t, "Xl")) return CishValue_Xl(t->cish, t->value.text ? t->value.text : "");
  CishValue r = CishValue_nothing();
  CishValue_copyfrom(&r, &t->value);
  return r;
}

CishValue evalone(Cish* c, const CishEvalInfo& e, Operands& a) {
  CishValue& v = a.v[0];
  if (e.paren) return a.take(0);
  if (e.totext) return CishValue_Text(CishValue_print(v).c_str());
  if (CishValue_is(v, "Xl") && e.step) {
    CishVar* var = Cish_getvarpointer(c, v.text ? v.text : "");
    if (!CishValue_is(var->value, "Xn")) return CishValue_nothing();
    var->value.x += e.step;
    double x = var->value.x;
    notifychanged(c, v.text ? v.text : "");
    return CishValue_Xn(x);
  }
  if (CishValue_is(v, "Xn")) {
    switch (e.unary) {
      case '+': return CishValue_Xn(v.x);
      case '-': return CishValue_Xn(-v.x);
      case '!': return CishValue_Xn(v.x == 0 ? 1 : 0);
      case '~': {
        uint32_t bits;
        if (!toint32(v.x, &bits)) return CishValue_nothing();
        return CishValue_Xn(static_cast<int32_t>(~bits));
      }
      default: break;
    }
  }
  return CishValue_nothing();
}

CishValue evaltwo(Cish* c, const CishEvalInfo& e, Operands& a) {
  CishValue& l = a.v[0];
  CishValue& r = a.v[1];
  if (CishValue_is(l, "Xl")) {
    const char* name = l.text ? l.text : "";
    if (e.dot) {
      if (!CishValue_is(r, "Xl")) return CishValue_nothing();
      return CishValue_Xl(c, (std::string(name) + "." + (r.text ? r.text : "")).c_str());
    }
    if (e.assign) {
      if (!r.kind[0]) return CishValue_nothing();
      Cish_setvar(c, name, &r);
      CishValue result = a.take(1);
      notifychanged(c, name);
      return result;
    }
    if (e.call) {
      double x;
      if (!CishValue_is(r, "Xn") || !callfunction(name, r.x, &x)) return CishValue_nothing();
      return CishValue_Xn(x);
    }
    if (e.index) {
      std::string named = name;
      if (!named.empty() && named.back() >= '0' && named.back() <= '9') named += "_";
      named += CishValue_print(r);
      return CishValue_Xl(c, named.c_str());
    }
    // Compound assignment "Xl op= X".
    if (e.compound < 0 || !CishValue_is(r, "Xn")) return CishValue_nothing();
    CishVar* var = Cish_getvarpointer(c, name);
    double x;
    if (!CishValue_is(var->value, "Xn") || !binaryop(e.compound, var->value.x, r.x, &x))
      return CishValue_nothing();
    var->value.x = x;
    notifychanged(c, name);
    return CishValue_Xn(x);
  }
  double x;
  if (CishValue_is(l, "Xn") && CishValue_is(r, "Xn") && binaryop(e.binary, l.x, r.x, &x))
    return CishValue_Xn(x);
  return CishValue_nothing();
}

CishValue evalnode(const CishTree* t) {
  Cish* c = t->cish;
  const size_t n = t->sub.size();
  if (n == 0) return evalleaf(t);
  // A copy: a custom handler could change the rule table while the children are evaluated.
  CishEvalInfo e;
  if (CishTree_op(t)) e = Cish_ruleinfo(c)[t->rule].eval;
  Operands a(n);
  for (size_t i = 0; i < n; i++) {
    a.v[i] = CishTree_eval(t->sub[i]);
    if (c->abort) return CishValue_nothing();
    if (i < 64 && (e.rvalues >> i & 1)) {
      CishValue r = Cish_rvalue(c, &a.v[i]);
      CishValue_free(&a.v[i]);
      a.v[i] = r;
    }
  }
  if (n == 1) return evalone(c, e, a);
  if (n == 2) return evaltwo(c, e, a);
  if (n == 3 && e.ternary) {
    if (!CishValue_is(a.v[0], "Xn")) return CishValue_nothing();
    const CishValue& pick = a.v[0].x != 0 ? a.v[1] : a.v[2];
    return CishValue_is(pick, "Xn") ? CishValue_Xn(pick.x) : CishValue_nothing();
  }
  return CishValue_nothing();
}

}  // namespace

CishValue CishTree_eval(const CishTree* node) {
  Cish* c = node->cish;
  if (c->abort || !depthenter(c)) return CishValue_nothing();
  CishValue v = evalnode(node);
  c->depth--;
  if (c->abort) CishValue_free(&v);
  return v;
}

bool CishTree_istrue(const CishTree* node) {
  CishValue v = CishTree_eval(node);
  bool t = CishValue_istrue(node->cish, &v);
  CishValue_free(&v);
  return t;
}

CishValue Cish_eval(Cish* c, const char* text) {
  CishTree* t = CishTree_make(c, text);
  CishValue v = CishValue_nothing();
  if (t->sub.size() == 1) {
    const CishTree* e = t->sub[0];
    if (kindis(e, "Text") && e->sub.size() == 1 && e->sub[0]->value.kind[0] == 'X') e = e->sub[0];
    if (e->value.kind[0] == 'X') {
      CishValue x = CishTree_eval(e);
      v = Cish_rvalue(c, &x);
      CishValue_free(&x);
    }
  }
  CishTree_free(t);
  return v;
}

double Kilpatrick(double f) {
  // Newton's method on g(E) = 1.64e-6 E² exp(−8.5e6/E) − f in extended precision. A step may
  // at most double E; the iteration ends when E stops changing or comes back to the value kept
  // at the last doubling checkpoint (steps 1, 2, 4, 8, …), and in any case after 10000 steps or
  // when E is no longer a finite number (f ≤ 0 or not a number).
  if (std::isnan(f)) return f;
  const long double a = 1.64e-6, b = 8.5e6, F = f;
  long double E = std::fmax(1000 * std::sqrt(f), 1e6);
  long double stored = E;
  for (int step = 1; step <= 10000; step++) {
    long double ex = std::exp(-b / E);
    long double En = E - (a * E * E * ex - F) / (a * ex * (2 * E + b));
    if (En > 2 * E) En = 2 * E;
    if (!std::isfinite(En)) break;
    if (En == E || En == stored) {
      E = En;
      break;
    }
    E = En;
    if ((step & (step - 1)) == 0) stored = E;
  }
  return static_cast<double>(E);
}
