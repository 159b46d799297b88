// Cish expression trees (see cishtree.h): the tokeniser, the reduction of tokens by the rule
// table, pattern matching, expression evaluation (every operator, compound assignment, the
// naming rules and the built-in functions), statement execution with loops and scopes, and the
// node utilities and debug output. Trees own their nodes; values made by evaluation are owned by
// the caller. Reduction keeps one "not yet tried" flag per (token, rule) in bit sets so that
// building stays close to linear in the number of tokens; evaluation and execution count their
// nesting, loop iterations and output against the environment's bounds.
#include "language/cishtree.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "base/report.h"
#include "shell/runstate.h"

namespace {

bool kindis(const CishTree* t, const char* kind) {
  return CishValue_is(t->value, kind);
}

// A pattern symbol matches a node whose kind begins with it.
bool kindbegins(const CishTree* t, const std::string& symbol) {
  return t->value.kind[0] == symbol[0] && symbol.size() < sizeof t->value.kind &&
         std::memcmp(t->value.kind, symbol.data(), symbol.size()) == 0;
}

bool blank(const char* s, const char* e) {
  for (; s < e; s++)
    if (!std::isspace(static_cast<unsigned char>(*s))) return false;
  return true;
}

CishTree* newnode(Cish* c, CishValue value, const char* start, const char* end, int rule) {
  CishTree* t = new CishTree();
  t->cish = c;
  t->start = start;
  t->end = end;
  t->rule = rule;
  t->value = value;
  return t;
}

// Frees a node whose children have been taken away.
void freeshell(CishTree* t) {
  CishValue_free(&t->value);
  delete t;
}

// ---------------------------------------------------------------- depth and loop bounds

bool depthenter(Cish* c) {
  if (c->depth >= c->maxdepth) {
    char what[120];
    std::snprintf(what, sizeof what, "is nested more than %d levels deep; execution stopped",
                  c->maxdepth);
    Cish_stop(c, CISH_LIMIT_DEPTH, what);
    return false;
  }
  c->depth++;
  return true;
}

bool countiteration(Cish* c) {
  if (++c->iterations > c->maxiterations) {
    char what[160];
    std::snprintf(what, sizeof what,
                  "ran more than %lld loop iterations; execution stopped (endless loop?)",
                  c->maxiterations);
    Cish_stop(c, CISH_LIMIT_ITERATIONS, what);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- tokenising

std::vector<CishTree*> tokenise(Cish* c, const char* text) {
  std::vector<CishTree*> tokens;
  const bool startintext = (c->escflags & 1) != 0;
  bool intext = startintext;
  const size_t openlength = std::strlen(c->escopen), closelength = std::strlen(c->escclose);
  const char* p = text;
  while (*p) {
    if ((c->escflags & 2) && *p == '\n') intext = startintext;
    bool opening = intext == startintext;
    const char* escape = opening ? c->escopen : c->escclose;
    size_t escapelength = opening ? openlength : closelength;
    if (escapelength && std::strncmp(p, escape, escapelength) == 0) {
      intext = !intext;
      p += escapelength;
      continue;
    }
    if (!intext) {
      const char* e;
      CishValue number = CishValue_read(p, &e);
      if (number.kind[0]) {
        tokens.push_back(newnode(c, number, p, e, -1));
        p = e;
        continue;
      }
      if ((e = Cish_readcomment(p))) {
        tokens.push_back(newnode(c, CishValue_kind("Comment"), p, e, -1));
        p = e;
        continue;
      }
      int frag = Cish_readopfrag(c, p, &e);
      if (frag >= 0) {
        tokens.push_back(newnode(c, CishValue_kind("Opfrag"), p, e, frag));
        p = e;
        continue;
      }
      if ((e = Cish_readvarname(p))) {
        tokens.push_back(newnode(c, CishValue_Xl(c, p, e), p, e, -1));
        p = e;
        continue;
      }
    }
    if (!tokens.empty() && kindis(tokens.back(), "Text") && tokens.back()->end == p)
      tokens.back()->end++;
    else
      tokens.push_back(newnode(c, CishValue_kind("Text"), p, p + 1, -1));
    p++;
  }
  return tokens;
}

// A short printable form of a span for the debug logs.
std::string spanshort(const char* s, const char* e) {
  std::string t(s, e);
  summarisetext(t.data());
  t.resize(std::strlen(t.c_str()));
  return t;
}

void logtokens(Cish* c, const std::vector<CishTree*>& tokens) {
  FILE* f = std::fopen("cishtokenout.log", "wb");
  if (!f) return;
  for (size_t i = 0; i < tokens.size(); i++) {
    const CishTree* t = tokens[i];
    std::string detail;
    if (kindis(t, "Opfrag"))
      detail = Cish_frag(c, t->rule);
    else if (kindis(t, "Xn") || kindis(t, "Xl"))
      detail = CishValue_print(t->value);
    std::fprintf(f, "%5zu %-8s %-12s '%s'\n", i, t->value.kind, detail.c_str(),
                 spanshort(t->start, t->end).c_str());
  }
  std::fclose(f);
}

// ---------------------------------------------------------------- reduction

// Per rule, the set of positions not yet tried in the present pass (local indices), as a bit
// set with a summary level (one bit per non-zero word) and hints for the lowest and highest
// summary word that may be set.
struct FlagSet {
  std::vector<uint64_t> words, summary;
  size_t count = 0, lo = 0, hi = 0;

  void init(size_t n) {  // n positions, none set
    words.assign((n + 63) / 64, 0);
    summary.assign((words.size() + 63) / 64, 0);
    count = 0;
    lo = summary.size();
    hi = 0;
  }
  void set(size_t i) {
    size_t w = i >> 6;
    uint64_t b = 1ULL << (i & 63);
    if (words[w] & b) return;
    words[w] |= b;
    summary[w >> 6] |= 1ULL << (w & 63);
    count++;
    if (w >> 6 < lo) lo = w >> 6;
    if (w >> 6 > hi) hi = w >> 6;
  }
  void clear(size_t i) {
    size_t w = i >> 6;
    uint64_t b = 1ULL << (i & 63);
    if (!(words[w] & b)) return;
    words[w] &= ~b;
    if (!words[w]) summary[w >> 6] &= ~(1ULL << (w & 63));
    count--;
  }
  // Preconditions for both: count > 0.
  size_t first() {
    while (!summary[lo]) lo++;
    size_t w = (lo << 6) + static_cast<size_t>(__builtin_ctzll(summary[lo]));
    return (w << 6) + static_cast<size_t>(__builtin_ctzll(words[w]));
  }
  size_t last() {
    while (!summary[hi]) hi--;
    size_t w = (hi << 6) + 63 - static_cast<size_t>(__builtin_clzll(summary[hi]));
    return (w << 6) + 63 - static_cast<size_t>(__builtin_clzll(words[w]));
  }
};

bool isopener(const char* fragment) {
  size_t n = std::strlen(fragment);
  return n && (fragment[n - 1] == '(' || fragment[n - 1] == '[');
}

// Reduces the token list. Tokens live in slots (their initial positions); a new node takes the
// slot of its first token, so slot order stays text order.
//
// Bracket groups ("(" or a fragment ending in "(", "[" … the matching ")" or "]") are reduced
// first, from the innermost outwards, each as a pass of its own over the tokens between its
// brackets with the expression rules only (those making an "X…" symbol, and the rules that drop
// their matches). Only then does the pass over the whole list, with every rule, run. Without
// this order a looser operator outside a group takes an operand before the group is ready:
// 1+2*(3+4) would become (1+2)*7, and a + f(x+1) would lose its call.
struct Reducer {
  Cish* c = nullptr;
  const std::vector<CishRuleInfo>* info = nullptr;
  std::vector<CishTree*> node;  // per slot
  std::vector<int> prev, next;  // the living slots as a list in text order
  std::vector<char> ws;         // the slot holds a white-space "Text" node
  std::vector<char> sealed;     // inside a group already reduced: not flagged by outer passes
  int head = -1;
  long long reductions = 0, maxreductions = 0;
  bool stopped = false;
  std::vector<int> matched, saved;  // scratch: slots of the nonterminals of a match

  // The present pass: the slots strictly between `lo` and `hi` (−1: the list's ends).
  int lo = -1, hi = -1;
  std::vector<int> local;      // slot → position in the pass, −1 outside it
  std::vector<int> slotof;     // position in the pass → slot
  std::vector<FlagSet> flags;  // per rule
  std::vector<char> active;    // per rule: takes part in the pass

  size_t nsymbols(size_t r) const { return (*info)[r].symbols.size(); }
  int nx(int s) const { return next[s] == hi ? -1 : next[s]; }
  int pv(int s) const { return prev[s] == lo ? -1 : prev[s]; }

  const CishRuleIndex* index = nullptr;  // the rules by their first symbols

  // Calls fn(r) for every rule whose first symbols can match at slot s (the rules left out
  // would fail at once).
  template <class F>
  void candidates(int s, F fn) const {
    const CishTree* t = node[s];
    auto fragat = [&](int q) {
      const CishTree* u = q >= 0 ? node[q] : nullptr;
      return u && u->rule >= 0 && kindis(u, "Opfrag") ? u->rule : -1;
    };
    int f = fragat(s);
    if (f >= 0)
      for (const auto& [frag, r] : index->byfrag)
        if (frag == f) fn(static_cast<size_t>(r));
    int direct = -2, spaced = -2;  // the fragments that follow, found when first needed
    for (const CishRuleIndex::Group& g : index->byname) {
      if (!kindbegins(t, g.name)) continue;
      for (int r : g.others) fn(static_cast<size_t>(r));
      if (direct == -2) {
        int q = nx(s);
        direct = fragat(q);
        while (q >= 0 && ws[q]) q = nx(q);
        spaced = fragat(q);
      }
      if (direct >= 0)
        for (const auto& [frag, r] : g.direct)
          if (frag == direct) fn(static_cast<size_t>(r));
      if (spaced >= 0)
        for (const auto& [frag, r] : g.spaced)
          if (frag == spaced) fn(static_cast<size_t>(r));
    }
    for (int r : index->anyfirst) fn(static_cast<size_t>(r));
  }

  void flag(size_t r, int s) {
    if (active[r] && local[s] >= 0) flags[r].set(static_cast<size_t>(local[s]));
  }

  // Calls fn(q, r) for `slot` and the slots to its left, and for each rule r that can begin a
  // match there and reaches `slot` from there: the slots up to and including the k-th
  // non-white-space one to the left of `slot`, k being r's symbol count. Stops when fn
  // returns false.
  template <class F>
  void leftcandidates(int slot, F fn) {
    size_t passed = 0;
    bool go = true;
    for (int q = slot; q >= 0 && go;) {
      candidates(q, [&](size_t r) {
        if (go && passed <= nsymbols(r)) go = fn(q, r);
      });
      q = pv(q);
      if (q < 0) return;
      if (!ws[q] && ++passed > index->maxsymbols) return;
    }
  }

  // Tries rule r at `slot`; on success fills `matched` and the first and last slot used.
  bool matchat(int slot, size_t r, int* firstslot, int* lastslot) {
    const CishRuleInfo& ri = (*info)[r];
    matched.clear();
    int cur = slot;
    for (size_t k = 0; k < ri.symbols.size(); k++) {
      const CishSymbol& sym = ri.symbols[k];
      if (k > 0) cur = nx(cur);
      if (sym.wsbefore)
        while (cur >= 0 && ws[cur]) cur = nx(cur);
      if (cur < 0) return false;
      const CishTree* t = node[cur];
      if (!sym.name.empty()) {
        if (!kindbegins(t, sym.name)) return false;
        matched.push_back(cur);
      } else if (sym.frag < 0 || t->rule != sym.frag || !kindis(t, "Opfrag")) {
        return false;
      }
      if (k == 0) *firstslot = cur;
    }
    *lastslot = cur;
    return true;
  }

  // Whether a prefix operator ("-X", "+ X", "! X", "~ X", "& X") stands right after a token
  // that will become part of an operand: a postfix "++"/"--" whose rule comes later (x++-1), or
  // a closing bracket of a group not reduced yet. The operator is then the binary one; the match
  // waits and is tried again when its left neighbour is reduced.
  bool prefixafteroperand(size_t r, int slot) {
    const CishRuleInfo& ri = (*info)[r];
    if (ri.symbols.size() < 2 || !ri.symbols[0].name.empty() || ri.symbols[0].frag < 0 ||
        ri.symbols[1].name.empty())
      return false;
    for (const char* f = Cish_frag(c, ri.symbols[0].frag); *f; f++)
      if (!std::ispunct(static_cast<unsigned char>(*f)) || std::strchr("([{", *f)) return false;
    int q = pv(slot);
    while (q >= 0 && ws[q]) q = pv(q);
    if (q < 0 || !kindis(node[q], "Opfrag")) return false;
    const char* before = Cish_frag(c, node[q]->rule);
    return !std::strcmp(before, ")") || !std::strcmp(before, "]") || !std::strcmp(before, "++") ||
           !std::strcmp(before, "--");
  }

  // Whether a later rule claims the tokens of the match of rule r at `slot` ending at `last`.
  bool deferred(size_t r, int slot, int last) {
    if (prefixafteroperand(r, slot)) return true;
    saved.swap(matched);
    bool defer = false;
    leftcandidates(slot, [&](int q, size_t r2) {
      int f2, l2;
      if (r2 > r && matchat(q, r2, &f2, &l2) && (q == slot ? l2 > last : l2 >= last)) defer = true;
      return !defer;
    });
    saved.swap(matched);
    return defer;
  }

  // Every rule is to be tried again at `slot` and to its left as far as the rule reaches.
  void resetflags(int slot) {
    leftcandidates(slot, [&](int q, size_t r) {
      flag(r, q);
      return true;
    });
  }

  void killslot(int s) {
    if (local[s] >= 0)
      for (FlagSet& f : flags)
        if (f.count) f.clear(static_cast<size_t>(local[s]));
    node[s] = nullptr;
  }

  // Replaces the tokens of slots first … last by the node of rule r (or by nothing when the
  // rule's output is empty).
  void reduce(size_t r, int first, int last) {
    const CishOp& op = Cish_op(c, static_cast<uint32_t>(r));
    const int before = prev[first], after = next[last];
    std::vector<int> span;
    for (int s = first;; s = next[s]) {
      span.push_back(s);
      if (s == last) break;
    }
    if (!op.out[0]) {
      for (int s : span) {
        CishTree_free(node[s]);
        killslot(s);
      }
      if (before >= 0)
        next[before] = after;
      else
        head = after;
      if (after >= 0) prev[after] = before;
      if (after >= 0 && after != hi)
        resetflags(after);
      else if (before >= 0 && before != lo)
        resetflags(before);
      return;
    }
    CishTree* n = newnode(c, CishValue_kind(op.out), node[first]->start, node[last]->end,
                          static_cast<int>(r));
    size_t mi = 0;
    for (int s : span) {
      CishTree* t = node[s];
      if (mi < matched.size() && matched[mi] == s) {
        mi++;
        if (CishTree_isintermediate(t)) {
          for (CishTree* g : t->sub) n->sub.push_back(g);
          t->sub.clear();
          freeshell(t);
        } else {
          n->sub.push_back(t);
        }
      } else {
        CishTree_free(t);  // fragments and white space inside the span
      }
      if (s != first) killslot(s);
    }
    node[first] = n;
    ws[first] = CishTree_iswhitespace(n);
    next[first] = after;
    if (after >= 0) prev[after] = first;
    resetflags(first);
    // Also the next token to the right: a prefix operator there may have waited for this node
    // (see prefixafteroperand).
    for (int s = nx(first); s >= 0; s = nx(s)) {
      candidates(s, [&](size_t q) { flag(q, s); });
      if (!ws[s]) break;
    }
  }

  // The reduction proper: rules in table order, positions left to right for even and right to
  // left for odd precedences; after each reduction, start over from the first rule.
  void run() {
    size_t nrules = info->size();
    size_t r = 0;
    while (r < nrules) {
      if (!flags[r].count) {
        r++;
        continue;
      }
      const bool odd = (Cish_op(c, static_cast<uint32_t>(r)).prec & 1) != 0;
      size_t i = odd ? flags[r].last() : flags[r].first();
      flags[r].clear(i);
      int slot = slotof[i], first, last;
      if (!matchat(slot, r, &first, &last)) continue;
      if (deferred(r, slot, last)) continue;
      reduce(r, first, last);
      if (++reductions > maxreductions) {
        Cish_stop(c, CISH_LIMIT_REDUCTIONS, "has rules that reduce without end; tree building stopped");
        stopped = true;
        return;
      }
      r = 0;
    }
  }

  // One pass over the slots strictly between lo and hi (−1: the list's ends).
  void pass(int from, int to, bool expressionrules) {
    lo = from;
    hi = to;
    slotof.clear();
    for (int s = from >= 0 ? next[from] : head; s >= 0 && s != to; s = next[s]) {
      local[s] = static_cast<int>(slotof.size());
      slotof.push_back(s);
    }
    const size_t nrules = info->size();
    flags.resize(nrules);
    active.assign(nrules, 0);
    for (size_t r = 0; r < nrules; r++) {
      const char* out = Cish_op(c, static_cast<uint32_t>(r)).out;
      active[r] = !expressionrules || out[0] == 'X' || out[0] == 0;
      flags[r].init(active[r] ? slotof.size() : 0);
    }
    for (int s : slotof)
      if (!sealed[s]) candidates(s, [&](size_t r) { flag(r, s); });
    if (!slotof.empty()) run();
    if (from >= 0)
      for (int s = next[from]; s >= 0 && s != to; s = next[s]) sealed[s] = 1;
    for (int s : slotof) local[s] = -1;
  }

  void reduceall() {
    const size_t n = node.size();
    local.assign(n, -1);
    sealed.assign(n, 0);
    // Bracket groups in the order their closing brackets appear: inner groups first.
    std::vector<std::pair<int, int>> groups;
    std::vector<int> open;
    for (size_t s = 0; s < n; s++) {
      if (!kindis(node[s], "Opfrag")) continue;
      const char* f = Cish_frag(c, node[s]->rule);
      if (isopener(f)) {
        open.push_back(static_cast<int>(s));
      } else if ((!std::strcmp(f, ")") || !std::strcmp(f, "]")) && !open.empty()) {
        const char* o = Cish_frag(c, node[open.back()]->rule);
        if (o[std::strlen(o) - 1] == (f[0] == ')' ? '(' : '[')) {
          groups.push_back({open.back(), static_cast<int>(s)});
          open.pop_back();
        }
      }
    }
    for (const auto& g : groups) {
      if (stopped || c->abort) return;
      pass(g.first, g.second, true);
    }
    if (!stopped && !c->abort) pass(-1, -1, false);
  }
};

// ---------------------------------------------------------------- evaluation

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

// ---------------------------------------------------------------- execution

void exectext(Cish* c, const CishTree* t) {
  if (!c->textcallback) return;
  CishValue v = CishTree_eval(t);
  if (c->abort) {
    CishValue_free(&v);
    return;
  }
  if (CishValue_is(v, "Text") && v.text) {
    long long length = static_cast<long long>(std::strlen(v.text));
    if (c->output + length > c->maxoutput) {
      char what[140];
      std::snprintf(what, sizeof what,
                    "generated more than %lld bytes of text; execution stopped", c->maxoutput);
      Cish_stop(c, CISH_LIMIT_OUTPUT, what);
    } else {
      c->output += length;
      c->abort |= c->textcallback(v.text);
    }
  } else {
    c->abort |= c->textcallback("No text found in Text node [see oddtree.log].");
    if (FILE* f = std::fopen("oddtree.log", "ab")) {
      CishTree_DEBUG_print(t, 0, f);
      std::fclose(f);
    }
  }
  CishValue_free(&v);
}

void discard(const CishTree* t) {
  CishValue v = CishTree_eval(t);
  CishValue_free(&v);
}

// Executes one node; statements that run in sequence push their parts onto `work` (last
// first) instead of recursing, so long files do not deepen the stack. A null entry marks the
// end of a scope.
void execone(Cish* c, const CishTree* t, std::vector<const CishTree*>& work) {
  const size_t n = t->sub.size();
  if (kindis(t, "Text") && n < 2) {
    exectext(c, t);
    return;
  }
  if (kindis(t, "Comment")) {
    if (c->commentcallback) c->abort |= c->commentcallback(CishTree_extracttext(t).c_str());
    return;
  }
  if (t->value.kind[0] == 'X') {
    discard(t);
    return;
  }
  const CishOp* op = CishTree_op(t);
  if (op && op->op) {
    c->abort |= op->op(t);
    return;
  }
  const CishEvalInfo::Exec exec = op ? Cish_ruleinfo(c)[t->rule].eval.exec : CishEvalInfo::SEQUENCE;
  char ifname[32];
  auto ifflag = [&] {
    std::snprintf(ifname, sizeof ifname, "+if%d", c->level);
    return ifname;
  };
  switch (exec) {
    case CishEvalInfo::IF: {
      if (n < 1) return;
      bool condition = CishTree_istrue(t->sub[0]);
      if (c->abort) return;
      CishValue flag = CishValue_Xn(condition ? 1 : 0);
      Cish_setvar(c, ifflag(), &flag);
      if (condition && n >= 2) work.push_back(t->sub[1]);
      return;
    }
    case CishEvalInfo::ELSE: {
      const CishVar* flag = Cish_getvarpointer(c, ifflag());
      if (n >= 1 && CishValue_is(flag->value, "Xn") && flag->value.x == 0) work.push_back(t->sub[0]);
      return;
    }
    case CishEvalInfo::FOR:
      if (n < 4) break;
      discard(t->sub[0]);
      while (!c->abort && CishTree_istrue(t->sub[1]) && countiteration(c)) {
        CishTree_parse(t->sub[3]);
        if (c->abort) break;
        discard(t->sub[2]);
      }
      return;
    case CishEvalInfo::WHILE:
      if (n < 2) break;
      while (!c->abort && CishTree_istrue(t->sub[0]) && countiteration(c)) CishTree_parse(t->sub[1]);
      return;
    case CishEvalInfo::DO:
      if (n < 2) break;
      do {
        if (!countiteration(c)) break;
        CishTree_parse(t->sub[0]);
      } while (!c->abort && CishTree_istrue(t->sub[1]));
      return;
    case CishEvalInfo::SCOPE:
      Cish_scopein(c);
      work.push_back(nullptr);
      break;
    case CishEvalInfo::SEQUENCE:
      break;
  }
  for (size_t i = n; i-- > 0;) work.push_back(t->sub[i]);
}

}  // namespace

// ---------------------------------------------------------------- public interface

CishTree* CishTree_make(Cish* c, const char* text) {
  if (!text) text = "";
  std::vector<CishTree*> tokens = tokenise(c, text);
  if (switches.parsedebug) logtokens(c, tokens);

  Reducer red;
  red.c = c;
  red.info = &Cish_ruleinfo(c);
  red.index = &Cish_ruleindex(c);
  const size_t n = tokens.size();
  red.node = tokens;
  red.prev.resize(n);
  red.next.resize(n);
  red.ws.resize(n);
  for (size_t i = 0; i < n; i++) {
    red.prev[i] = static_cast<int>(i) - 1;
    red.next[i] = i + 1 < n ? static_cast<int>(i) + 1 : -1;
    red.ws[i] = CishTree_iswhitespace(tokens[i]);
  }
  red.head = n ? 0 : -1;
  // Every reduction of a rule with k symbols removes k − 1 tokens, and the built-in one-symbol
  // rules change a node at most a few times; only rules that feed each other come near this.
  red.maxreductions = 64LL * static_cast<long long>(n) + 1024;
  if (n && !c->abort) red.reduceall();

  CishTree* root = newnode(c, CishValue_kind("Root"), text, text + std::strlen(text), -1);
  for (int s = red.head; s >= 0; s = red.next[s]) root->sub.push_back(red.node[s]);
  if (switches.parsedebug) {
    if (FILE* f = std::fopen("cishtreeout.log", "wb")) {
      CishTree_DEBUG_print(root, 0, f);
      std::fclose(f);
    }
  }
  return root;
}

bool CishTree_match(const CishTree* parent, int start, const char* pattern, int* indices,
                    int* count, int* last) {
  CishRuleInfo ri = Cish_compilepattern(parent->cish, pattern);
  const int n = static_cast<int>(parent->sub.size());
  int cur = start, found = 0;
  if (cur < 0) return false;
  for (size_t k = 0; k < ri.symbols.size(); k++) {
    const CishSymbol& sym = ri.symbols[k];
    if (k > 0) cur++;
    if (sym.wsbefore)
      while (cur < n && CishTree_iswhitespace(parent->sub[cur])) cur++;
    if (cur >= n) return false;
    const CishTree* t = parent->sub[cur];
    if (!sym.name.empty()) {
      if (!kindbegins(t, sym.name)) return false;
      if (indices && found < CISH_OPLEN) indices[found] = cur;
      found++;
    } else if (sym.frag < 0 || t->rule != sym.frag || !kindis(t, "Opfrag")) {
      return false;
    }
  }
  if (count) *count = found;
  if (last) *last = ri.symbols.empty() ? start - 1 : cur;
  return true;
}

CishValue CishTree_eval(const CishTree* node) {
  Cish* c = node->cish;
  if (c->abort || !depthenter(c)) return CishValue_nothing();
  CishValue v = evalnode(node);
  c->depth--;
  if (c->abort) CishValue_free(&v);
  return v;
}

void CishTree_parse(const CishTree* node) {
  Cish* c = node->cish;
  if (c->abort || !depthenter(c)) return;
  std::vector<const CishTree*> work{node};
  while (!work.empty()) {
    const CishTree* t = work.back();
    work.pop_back();
    if (!t)
      Cish_scopeout(c);  // scopes are left even after an abort
    else if (!c->abort)
      execone(c, t, work);
  }
  c->depth--;
}

bool CishTree_istrue(const CishTree* node) {
  CishValue v = CishTree_eval(node);
  bool t = CishValue_istrue(node->cish, &v);
  CishValue_free(&v);
  return t;
}

int Cish_parse(Cish* c, const char* text) {
  CishTree* t = CishTree_make(c, text);
  CishTree_parse(t);
  CishTree_free(t);
  return c->abort;
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

// ---------------------------------------------------------------- node utilities

CishTree* CishTree_new(Cish* c, const char* kind) {
  return newnode(c, CishValue_kind(kind), nullptr, nullptr, -1);
}

void CishTree_free(CishTree* node) {
  if (!node) return;
  std::vector<CishTree*> work{node};  // no recursion: trees can be very deep
  while (!work.empty()) {
    CishTree* t = work.back();
    work.pop_back();
    for (CishTree* s : t->sub) work.push_back(s);
    freeshell(t);
  }
}

std::string CishTree_extracttext(const CishTree* node) {
  if (!node->start || !node->end || node->end < node->start) return std::string();
  return std::string(node->start, node->end);
}

void CishTree_addsub(CishTree* parent, CishTree* child) {
  parent->sub.push_back(child);
}

bool CishTree_iswhitespace(const CishTree* node) {
  return kindis(node, "Text") &&
         (!node->start || !node->end || node->end <= node->start || blank(node->start, node->end));
}

bool CishTree_isintermediate(const CishTree* node) {
  size_t n = std::strlen(node->value.kind);
  return n > 0 && node->value.kind[n - 1] >= '0' && node->value.kind[n - 1] <= '9';
}

void CishTree_totext(CishTree* node) {
  for (CishTree* s : node->sub) CishTree_free(s);
  node->sub.clear();
  CishValue_free(&node->value);
  node->value = CishValue_kind("Text");
  node->rule = -1;
}

int CishTree_leaves(const CishTree* node) {
  int leaves = 0;
  std::vector<const CishTree*> work{node};
  while (!work.empty()) {
    const CishTree* t = work.back();
    work.pop_back();
    if (t->sub.empty()) leaves++;
    for (const CishTree* s : t->sub) work.push_back(s);
  }
  return leaves;
}

const CishOp* CishTree_op(const CishTree* node) {
  if (node->rule < 0 || kindis(node, "Opfrag")) return nullptr;
  if (static_cast<uint32_t>(node->rule) >= node->cish->ops.count) return nullptr;
  return &Cish_op(node->cish, static_cast<uint32_t>(node->rule));
}

void CishTree_DEBUG_print(const CishTree* node, int indent, FILE* f) {
  std::vector<std::pair<const CishTree*, int>> work{{node, indent}};
  while (!work.empty()) {
    auto [t, depth] = work.back();
    work.pop_back();
    std::fprintf(f, "%*s%s", 2 * depth, "", t->value.kind);
    if (const CishOp* op = CishTree_op(t)) std::fprintf(f, " <%s>", op->s);
    if (kindis(t, "Opfrag") && t->rule >= 0 && static_cast<uint32_t>(t->rule) < t->cish->frags.count)
      std::fprintf(f, " %s", Cish_frag(t->cish, t->rule));
    if (t->sub.empty() && (kindis(t, "Xn") || kindis(t, "Xl")))
      std::fprintf(f, " = %s", CishValue_print(t->value).c_str());
    if (t->start && t->end && t->end >= t->start)
      std::fprintf(f, " '%s'", spanshort(t->start, t->end).c_str());
    std::fprintf(f, "\n");
    for (size_t i = t->sub.size(); i-- > 0;) work.push_back({t->sub[i], depth + 1});
  }
}

void CishTree_DEBUG_toplevelhtml(const CishTree* root, FILE* f) {
  auto html = [](const std::string& s) {
    std::string h;
    for (char ch : s) {
      if (ch == '<') h += "&lt;";
      else if (ch == '>') h += "&gt;";
      else if (ch == '&') h += "&amp;";
      else if (ch == '"') h += "&quot;";
      else h += ch;
    }
    return h;
  };
  std::fprintf(f, "<table border=1>\n<tr><th>#</th><th>Symbol</th><th>Rule</th><th>Text</th></tr>\n");
  for (size_t i = 0; i < root->sub.size(); i++) {
    const CishTree* t = root->sub[i];
    const CishOp* op = CishTree_op(t);
    std::fprintf(f, "<tr><td>%zu</td><td>%s</td><td>%s</td><td><pre>%s</pre></td></tr>\n", i,
                 html(t->value.kind).c_str(), op ? html(op->s).c_str() : "",
                 html(CishTree_extracttext(t)).c_str());
  }
  std::fprintf(f, "</table>\n");
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
