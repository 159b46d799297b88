// The Cish environment (see cish.h): the built-in rule table, rule addition and rule files,
// variables with scope levels and their look-up rule, the scanning helpers the tokeniser uses,
// the execution bounds and the debug description. Owns the variables, rules and fragments of
// each environment until Cish_free. Variable look-up runs for every identifier evaluated, so
// it goes through a name index rather than a scan of the table.
#include "language/cish.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"

namespace {

struct BuiltinRule {
  const char* out;
  const char* s;
  int prec;
};

// The built-in rules (low precedence reduced first, odd precedence associates from the right).
// The do-while written as "do S While1 ;" and the block "{ S }" are kept as they are: the
// executor runs them as plain sequences (body once, no scope) and lattices may rely on that.
const BuiltinRule Cish_C_table[] = {
    {"", "Comment", 0},
    {"For1", "for ( X ; X ; X )", 2},
    {"If1", "if ( X )", 2},
    {"While1", "while ( X )", 2},
    {"S", "If1 S", 4},
    {"S", "else S", 4},
    {"S", "For1 S", 6},
    {"S", "do S While1 ;", 8},
    {"S", "While1 S", 10},
    {"S", "{ S }", 12},
    {"X", "Xl ( X )", 14},
    {"X", "( X )", 16},
    {"Xl", "Xl . Xl", 18},
    {"Xl", "Xl -> Xl", 20},
    {"Xl", "Xl [ X ]", 22},
    {"X", "~ X", 25},
    {"X", "& X", 27},
    {"X", "sizeof( Xl )", 29},
    {"X", "+ X", 31},
    {"X", "Xl --", 35},
    {"X", "-X", 37},
    {"X", "Xl ++", 39},
    {"X", "! X", 41},
    {"X", "X * X", 42},
    {"X", "X % X", 44},
    {"X", "X / X", 46},
    {"X", "X - X", 48},
    {"X", "X + X", 50},
    {"X", "X >> X", 52},
    {"X", "X << X", 54},
    {"X", "X <= X", 56},
    {"X", "X >= X", 58},
    {"X", "X > X", 60},
    {"X", "X < X", 62},
    {"X", "X != X", 64},
    {"X", "X == X", 66},
    {"X", "X & X", 68},
    {"X", "X ^ X", 70},
    {"X", "X | X", 72},
    {"X", "X && X", 74},
    {"X", "X || X", 76},
    {"X", "X ? X : X", 79},
    {"X", "Xl = X", 83},
    {"X", "Xl >>= X", 83},
    {"X", "Xl %= X", 83},
    {"X", "Xl ^= X", 83},
    {"X", "Xl &= X", 83},
    {"X", "Xl |= X", 83},
    {"X", "Xl /= X", 83},
    {"X", "Xl <<= X", 83},
    {"X", "Xl *= X", 83},
    {"X", "Xl -= X", 83},
    {"X", "Xl += X", 83},
    {"X", "X , X", 102},
    {"S", "X ;", 104},
    {"S", ";", 106},
    {"Text", "TextText", 108},
    {"S", "Text;", 110},
    {"S", "{Text}", 110},
    {"S", "TextS", 112},
    {"S", "S S", 114},
    {"S", "SText", 114},
    {"Text", "X", 117},
};
static_assert(sizeof(Cish_C_table) / sizeof(Cish_C_table[0]) == 63, "63 built-in rules");

bool isspacec(char ch) {
  return std::isspace(static_cast<unsigned char>(ch)) != 0;
}
bool isupperc(char ch) {
  return ch >= 'A' && ch <= 'Z';
}

char* duptext(const char* s, size_t n) {
  char* d = static_cast<char*>(std::malloc(n + 1));
  if (!d) return nullptr;
  std::memcpy(d, s, n);
  d[n] = 0;
  return d;
}

// One symbol of a pattern as written: a nonterminal (upper-case letter and the lower-case
// letters and digits after it) or a literal run (neither white space nor upper case).
struct PatternRun {
  const char* start;
  size_t length;
  bool nonterminal;
};

std::vector<PatternRun> patternruns(const char* s) {
  std::vector<PatternRun> runs;
  const char* p = s;
  for (;;) {
    while (*p && isspacec(*p)) p++;
    if (!*p) break;
    const char* b = p;
    if (isupperc(*p)) {
      p++;
      while (islater(*p)) p++;
      runs.push_back({b, static_cast<size_t>(p - b), true});
    } else {
      while (*p && !isspacec(*p) && !isupperc(*p)) p++;
      runs.push_back({b, static_cast<size_t>(p - b), false});
    }
  }
  return runs;
}

int findop(const Cish* c, const char* pattern) {
  for (uint32_t i = 0; i < c->ops.count; i++)
    if (std::strcmp(Cish_op(c, i).s, pattern) == 0) return static_cast<int>(i);
  return -1;
}

void sortops(Cish* c) {
  CishOp* b = LSet_data<CishOp>(c->ops);
  std::stable_sort(b, b + c->ops.count,
                   [](const CishOp& x, const CishOp& y) { return x.prec < y.prec; });
}

// Removes variable i: frees it, keeps the name index right (the last variable moves into
// the gap).
void removevar(Cish* c, uint32_t i) {
  CishVar* v = Cish_var(c, i);
  uint32_t last = c->vars.count - 1;
  auto it = c->varindex.find(std::string_view(v->name));
  if (it != c->varindex.end()) {
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), i), list.end());
    if (list.empty()) c->varindex.erase(it);
  }
  if (i != last) {
    auto& list = c->varindex[Cish_var(c, last)->name];
    std::replace(list.begin(), list.end(), last, i);
  }
  CishValue_free(&v->value);
  std::free(v->name);
  LSet_remove(&c->vars, i);
}

void trimcopy(std::string& out, const char* from, const char* to) {
  while (from < to && isspacec(*from)) from++;
  while (to > from && isspacec(to[-1])) to--;
  out.assign(from, to);
}

// Cuts s to at most n characters and drops the spaces that end the cut.
void cutfield(std::string& s, size_t n) {
  if (s.size() > n) s.resize(n);
  while (!s.empty() && isspacec(s.back())) s.pop_back();
}

}  // namespace

// ---------------------------------------------------------------- environment

namespace {
Cish* emptyenvironment() {
  Cish* c = new Cish();
  c->vars = LSet_new(sizeof(CishVar));
  c->level = 0;
  c->escopen[0] = c->escclose[0] = 0;
  c->escflags = 0;
  c->textcallback = nullptr;
  c->commentcallback = nullptr;
  c->varchanged = nullptr;
  c->abort = 0;
  return c;
}
}  // namespace

Cish* Cish_new() {
  // The built-in table is made once by Cish_C_operators; every environment starts from a copy
  // of it and shares its compiled form.
  static const Cish* const builtin = [] {
    Cish* b = emptyenvironment();
    b->ops = LSet_new(sizeof(CishOp));
    b->frags = LSet_new(sizeof(char*));
    Cish_C_operators(b);
    Cish_ruleinfo(b);
    return b;
  }();
  Cish* c = emptyenvironment();
  c->ops = LSet_copy(builtin->ops);
  c->frags = LSet_copy(builtin->frags);
  for (uint32_t i = 0; i < c->frags.count; i++) {
    const char* f = Cish_frag(builtin, i);
    LSet_at<char*>(c->frags, i) = duptext(f, std::strlen(f));
  }
  c->compiled = builtin->compiled;
  return c;
}

void Cish_free(Cish* c) {
  if (!c) return;
  Cish_clearvars(c);
  LSet_free(c->vars);
  LSet_free(c->ops);
  for (uint32_t i = 0; i < c->frags.count; i++) std::free(LSet_at<char*>(c->frags, i));
  LSet_free(c->frags);
  delete c;
}

void Cish_C_operators(Cish* c) {
  for (int i = 62; i >= 0; i--) {
    const BuiltinRule& r = Cish_C_table[i];
    Cish_addop(c, CishOp_make(r.out, r.s, r.prec));
  }
}

void Cish_escape(Cish* c, const char* open, const char* close, int flags) {
  std::snprintf(c->escopen, sizeof c->escopen, "%s", open ? open : "");
  std::snprintf(c->escclose, sizeof c->escclose, "%s", close ? close : "");
  c->escflags = flags;
}

// ---------------------------------------------------------------- bounds

void Cish_setsource(Cish* c, const char* name) {
  c->source = name && *name ? name : "Cish code";
}

void Cish_setlimits(Cish* c, long long maxiterations, long long maxoutput, int maxdepth,
                    long long maxvariables) {
  if (maxiterations > 0) c->maxiterations = maxiterations;
  if (maxoutput > 0) c->maxoutput = maxoutput;
  if (maxdepth > 0) c->maxdepth = maxdepth;
  if (maxvariables > 0) c->maxvariables = static_cast<uint32_t>(std::min<long long>(maxvariables, UINT32_MAX));
}

int Cish_limithit(const Cish* c) {
  return c->limit;
}

void Cish_stop(Cish* c, int which, const char* what) {
  if (c->limit == CISH_LIMIT_NONE) {
    c->limit = which;
    c->abort = 1;  // before reporting: a sink may look at the environment
    reportf("[FATAL] %s %s", c->source.c_str(), what);
  }
  c->abort = 1;
}

bool Cish_timecheck(Cish* c) {
  if (simstop == 2) {
    if (c->limit == CISH_LIMIT_NONE) c->limit = CISH_LIMIT_QUIT;
    c->abort = 1;
    return false;
  }
  double now = eithertime();
  if (c->started < 0) c->started = now;
  if (now - c->started > c->maxseconds) {
    char what[160];
    std::snprintf(what, sizeof what, "ran loops for more than %g s; execution stopped (endless loop?)",
                  c->maxseconds);
    Cish_stop(c, CISH_LIMIT_TIME, what);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- rules

CishOp CishOp_make(const char* out, const char* pattern, int prec, CishOpHandler op) {
  CishOp o;
  std::memset(&o, 0, sizeof o);
  std::snprintf(o.out, sizeof o.out, "%s", out ? out : "");
  std::snprintf(o.s, sizeof o.s, "%s", pattern ? pattern : "");
  o.prec = prec;
  o.op = op;
  return o;
}

void Cish_addop(Cish* c, CishOp op) {
  op.s[CISH_OPLEN - 1] = 0;
  op.out[CISH_TLEN - 1] = 0;
  std::vector<PatternRun> runs = patternruns(op.s);
  if (runs.empty()) return;  // a rule with no symbols would match everywhere, for ever
  int i = findop(c, op.s);
  if (i >= 0) {
    Cish_op(c, i).prec = op.prec;
  } else {
    LSet_add(&c->ops, &op);
  }
  sortops(c);
  i = findop(c, op.s);
  CishOp& r = Cish_op(c, i);
  r.nsymbols = static_cast<int>(runs.size());
  r.nnonterminals = 0;
  for (const PatternRun& run : runs) {
    if (run.nonterminal) {
      r.nnonterminals++;
      continue;
    }
    bool known = false;
    for (uint32_t k = 0; k < c->frags.count && !known; k++) {
      const char* f = Cish_frag(c, k);
      known = std::strlen(f) == run.length && std::strncmp(f, run.start, run.length) == 0;
    }
    if (!known) {
      char* f = duptext(run.start, run.length);
      LSet_add(&c->frags, &f);
    }
  }
  c->compiled.reset();
}

int Cish_opgetprec(const Cish* c, const char* pattern) {
  int i = findop(c, pattern ? pattern : "");
  return i >= 0 ? Cish_op(c, i).prec : INT_MIN;
}

int Cish_compareop(const void* a, const void* b) {
  int pa = static_cast<const CishOp*>(a)->prec, pb = static_cast<const CishOp*>(b)->prec;
  return (pa > pb) - (pa < pb);
}

void Cish_clearops(Cish* c) {
  LSet_clear(&c->ops);
  c->compiled.reset();
}

CishRuleInfo Cish_compilepattern(const Cish* c, const char* pattern) {
  CishRuleInfo info;
  const char* p = pattern ? pattern : "";
  for (;;) {
    bool ws = false;
    while (*p && isspacec(*p)) {
      p++;
      ws = true;
    }
    if (!*p) break;
    CishSymbol sym{std::string(), -1, ws};
    if (isupperc(*p)) {
      const char* b = p++;
      while (islater(*p)) p++;
      sym.name.assign(b, p);
      info.nonterminals.push_back(sym.name);
    } else {
      const char* e;
      sym.frag = Cish_readopfrag(c, p, &e);
      if (sym.frag < 0)
        while (*p && !isspacec(*p) && !isupperc(*p)) p++;
      else
        p = e;
    }
    info.symbols.push_back(sym);
  }
  if (info.symbols.size() >= 2 && info.symbols[1].name.empty() && info.symbols[1].frag >= 0)
    info.opfrag = Cish_frag(c, info.symbols[1].frag);
  return info;
}

namespace {

CishRuleIndex indexrules(const Cish* c, const std::vector<CishRuleInfo>& info) {
  CishRuleIndex x;
  for (size_t r = 0; r < info.size(); r++) {
    const CishRuleInfo& ri = info[r];
    const int rule = static_cast<int>(r);
    x.maxsymbols = std::max(x.maxsymbols, ri.symbols.size());
    const CishSymbol& sym = ri.symbols[0];
    if (sym.wsbefore) {
      x.anyfirst.push_back(rule);
    } else if (sym.name.empty()) {
      if (sym.frag >= 0) x.byfrag.push_back({sym.frag, rule});
    } else {
      auto g = std::find_if(x.byname.begin(), x.byname.end(),
                            [&](const CishRuleIndex::Group& e) { return e.name == sym.name; });
      if (g == x.byname.end()) g = x.byname.insert(x.byname.end(), CishRuleIndex::Group{sym.name, {}, {}, {}});
      if (ri.symbols.size() >= 2 && ri.symbols[1].name.empty()) {
        if (ri.symbols[1].frag >= 0)
          (ri.symbols[1].wsbefore ? g->spaced : g->direct).push_back({ri.symbols[1].frag, rule});
      } else {
        g->others.push_back(rule);
      }
    }
  }
  (void)c;
  return x;
}

int binaryof(const std::string& op) {
  static const char* const names[] = {"+", "-", "*", "/", "%", "&", "|", "^", "<<",
                                      ">>", "&&", "||", "==", "!=", "<", ">", "<=", ">="};
  for (int i = 0; i < static_cast<int>(std::size(names)); i++)
    if (op == names[i]) return i;
  return -1;
}

CishEvalInfo evalinfo(const CishOp& op, const CishRuleInfo& ri) {
  CishEvalInfo e;
  const char* s = op.s;
  for (size_t i = 0; i < ri.nonterminals.size() && i < 64; i++)
    if (ri.nonterminals[i] != "Xl") e.rvalues |= 1ULL << i;
  if (!std::strncmp(s, "X ", 2)) e.binary = binaryof(ri.opfrag);
  e.lfirst = !std::strncmp(s, "Xl ", 3);
  if (e.lfirst && ri.opfrag.size() >= 2 && ri.opfrag.back() == '=')
    e.compound = binaryof(ri.opfrag.substr(0, ri.opfrag.size() - 1));
  if (std::strchr("+-!~", s[0]) && s[0]) e.unary = s[0];
  e.step = std::strstr(s, "++") ? 1 : std::strstr(s, "--") ? -1 : 0;
  e.paren = !std::strcmp(s, "( X )");
  e.totext = !std::strcmp(op.out, "Text");
  e.dot = !std::strcmp(s, "Xl . Xl");
  e.assign = !std::strcmp(s, "Xl = X");
  e.call = std::strchr(s, '(') != nullptr;
  e.index = std::strchr(s, '[') != nullptr;
  e.ternary = !std::strcmp(s, "X ? X : X");
  if (startsnocase(s, "if")) e.exec = CishEvalInfo::IF;
  else if (startsnocase(s, "else")) e.exec = CishEvalInfo::ELSE;
  else if (startsnocase(s, "for")) e.exec = CishEvalInfo::FOR;
  else if (startsnocase(s, "while")) e.exec = CishEvalInfo::WHILE;
  else if (equalnocase(s, "do S while X ;")) e.exec = CishEvalInfo::DO;
  else if (equalnocase(s, "{ K }")) e.exec = CishEvalInfo::SCOPE;
  return e;
}

const CishCompiled& compiled(Cish* c) {
  if (!c->compiled || c->compiled->info.size() != c->ops.count) {
    auto k = std::make_shared<CishCompiled>();
    k->info.reserve(c->ops.count);
    for (uint32_t i = 0; i < c->ops.count; i++) {
      k->info.push_back(Cish_compilepattern(c, Cish_op(c, i).s));
      k->info.back().eval = evalinfo(Cish_op(c, i), k->info.back());
    }
    k->index = indexrules(c, k->info);
    c->compiled = std::move(k);
  }
  return *c->compiled;
}

}  // namespace

const std::vector<CishRuleInfo>& Cish_ruleinfo(Cish* c) {
  return compiled(c).info;
}

const CishRuleIndex& Cish_ruleindex(Cish* c) {
  return compiled(c).index;
}

int Cish_loadops(Cish* c, const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  int counter = 0, added = 0;
  std::string line;
  for (;;) {
    // Whole lines are read; only their first 159 characters count.
    line.clear();
    int ch;
    while ((ch = std::fgetc(f)) != EOF && ch != '\n') line += static_cast<char>(ch);
    if (ch == EOF && line.empty()) break;
    if (line.size() > 159) line.resize(159);
    // A rule is kept as C text, which a zero byte ends.
    if (size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
    size_t at = line.find(":==");
    if (at != std::string::npos) {
      std::string out, pattern;
      trimcopy(out, line.data(), line.data() + at);
      const char* rest = line.c_str() + at + 3;
      bool right = *rest == 'r' || *rest == 'R';
      if (right) rest++;
      trimcopy(pattern, rest, line.c_str() + line.size());
      // Cut to what a rule holds, then trimmed again: a cut that ends in a space would not
      // read back from the table Cish_saveops writes.
      cutfield(out, CISH_TLEN - 1);
      cutfield(pattern, CISH_OPLEN - 1);
      // A rule with an empty output drops its matches (the comment rule); it is kept so that
      // a table written by Cish_saveops reads back whole.
      if (!pattern.empty()) {
        Cish_addop(c, CishOp_make(out.c_str(), pattern.c_str(), counter + (right ? 1 : 0)));
        counter += 2;
        added++;
      }
    }
    if (ch == EOF) break;
  }
  std::fclose(f);
  return added;
}

int Cish_saveops(const Cish* c, const char* path) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return -1;
  for (uint32_t i = 0; i < c->ops.count; i++) {
    const CishOp& o = Cish_op(c, i);
    std::fprintf(f, "%s :==%s %s\n", o.out, (o.prec & 1) ? "R" : "", o.s);
  }
  return std::fclose(f) == 0 ? 0 : -1;
}

namespace {
// A text as the body of a C string literal.
std::string cquote(const char* s) {
  std::string q;
  for (; *s; s++) {
    if (*s == '"' || *s == '\\') q += '\\';
    q += *s;
  }
  return q;
}
}  // namespace

int Cish_saveops_C(const Cish* c, const char* path) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return -1;
  std::fprintf(f,
               "void Cish_custom_operators(Cish *c) // Asserts set of user-defined operators\n{\n"
               "\tstruct {char out[CISH_TLEN],s[CISH_OPLEN]; int prec;} op[]= // Low prec "
               "evaluated first, odd prec associates from right\n\t{\n");
  for (uint32_t i = 0; i < c->ops.count; i++) {
    const CishOp& o = Cish_op(c, i);
    std::fprintf(f, "\t\t{\"%s\",\"%s\",%d}%s\n", cquote(o.out).c_str(), cquote(o.s).c_str(),
                 o.prec, i + 1 < c->ops.count ? "," : "");
  }
  std::fprintf(f,
               "\t};\n"
               "\tint i;\n"
               "\tfor (i=(int)(sizeof(op)/sizeof(op[0]))-1;i>=0;i--) // Added from the last to "
               "the first\n"
               "\t{\n"
               "\t\tCishOp o;\n"
               "\t\tmemset(&o,0,sizeof(o));\n"
               "\t\tstrcpy(o.out,op[i].out);\n"
               "\t\tstrcpy(o.s,op[i].s);\n"
               "\t\to.prec=op[i].prec;\n"
               "\t\to.op=NULL;\n"
               "\t\tCish_addop(c,o);\n"
               "\t}\n"
               "}\n");
  return std::fclose(f) == 0 ? 0 : -1;
}

void Cish_DEBUG(const Cish* c, int brief) {
  FILE* f = std::fopen("tech/log.txt", "ab");
  if (!f && platform_mkdir("tech")) f = std::fopen("tech/log.txt", "ab");
  if (!f) return;
  uint32_t nv = c->vars.count;
  std::fprintf(f, "Cish environment 0x%08llX has %d variable%s%s\n",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(c)), static_cast<int>(nv),
               nv == 1 ? "" : "s", nv ? ":" : "");
  for (uint32_t i = 0; i < nv; i++) {
    const CishVar* v = Cish_var(c, i);
    std::string value = CishValue_print(v->value);
    if (brief)
      std::fprintf(f, " %s=%s ", v->name, value.c_str());
    else
      std::fprintf(f, "  (%d) %s=%s\n", v->level, v->name, value.c_str());
  }
  if (brief) {
    if (nv) std::fprintf(f, "\n");
  } else {
    uint32_t no = c->ops.count, nf = c->frags.count;
    std::fprintf(f, " %d operator%s%s\n", static_cast<int>(no), no == 1 ? "" : "s", no ? ":" : "");
    for (uint32_t i = 0; i < no; i++) {
      const CishOp& o = Cish_op(c, i);
      std::fprintf(f, "  %s (%d) %s\n", o.out, o.prec, o.s);
    }
    std::fprintf(f, " and %d operator fragment%s%s\n", static_cast<int>(nf), nf == 1 ? "" : "s",
                 nf ? ":" : "");
    for (uint32_t i = 0; i < nf; i++) std::fprintf(f, " %s", Cish_frag(c, i));
    if (nf) std::fprintf(f, "\n");
  }
  std::fclose(f);
}

// ---------------------------------------------------------------- variables

int Cish_getvarindex(Cish* c, const char* name) {
  if (!name) name = "";
  auto it = c->varindex.find(std::string_view(name));
  if (it != c->varindex.end() && !it->second.empty()) {
    int best = -1, bestlevel = INT_MIN;
    for (uint32_t i : it->second) {
      int level = Cish_var(c, i)->level;
      if (level > bestlevel || (level == bestlevel && static_cast<int>(i) > best)) {
        best = static_cast<int>(i);
        bestlevel = level;
      }
    }
    return best;
  }
  return Cish_newvar(c, name);
}

int Cish_newvar(Cish* c, const char* name) {
  if (!name) name = "";
  CishVar v;
  v.value = CishValue_nothing();
  v.name = duptext(name, std::strlen(name));
  v.level = c->level;
  uint32_t i = LSet_add(&c->vars, &v);
  c->varindex[name].push_back(i);
  if (c->vars.count > c->maxvariables) {
    char what[100];
    std::snprintf(what, sizeof what, "made more than %u variables; execution stopped",
                  c->maxvariables);
    Cish_stop(c, CISH_LIMIT_VARIABLES, what);
  }
  return static_cast<int>(i);
}

CishVar* Cish_getvarpointer(Cish* c, const char* name) {
  return Cish_var(c, Cish_getvarindex(c, name));
}

CishValue CishValue_Xl(Cish* c, const char* name) {
  CishVar* v = Cish_getvarpointer(c, name);
  CishValue l = CishValue_kind("Xl");
  l.text = duptext(v->name, std::strlen(v->name));
  return l;
}

CishValue CishValue_Xl(Cish* c, const char* from, const char* to) {
  std::string name(from, to);
  return CishValue_Xl(c, name.c_str());
}

namespace {
// Copies the value first: it may live in the variable table, which can move when the named
// variable has to be created.
CishVar* assign(Cish* c, const char* name, const CishValue* value) {
  CishValue copy = CishValue_nothing();
  CishValue_copyfrom(&copy, value);
  CishVar* v = Cish_getvarpointer(c, name);
  CishValue_free(&v->value);
  v->value = copy;
  return v;
}
}  // namespace

void Cish_setvar(Cish* c, const char* name, const CishValue* value) {
  assign(c, name, value);
}

void Cish_setvarglobal(Cish* c, const char* name, const CishValue* value) {
  assign(c, name, value)->level = 0;
}

int Cish_hasvar(const Cish* c, const char* name) {
  auto it = c->varindex.find(std::string_view(name ? name : ""));
  return it != c->varindex.end() && !it->second.empty() ? 1 : 0;
}

void Cish_scopein(Cish* c) {
  c->level++;
}

void Cish_scopeout(Cish* c) {
  c->level--;
  for (uint32_t i = c->vars.count; i-- > 0;)
    if (Cish_var(c, i)->level > c->level) removevar(c, i);
}

void Cish_clearvars(Cish* c) {
  for (uint32_t i = 0; i < c->vars.count; i++) {
    CishVar* v = Cish_var(c, i);
    CishValue_free(&v->value);
    std::free(v->name);
  }
  LSet_clear(&c->vars);
  c->varindex.clear();
}

const CishVar* Cish_varmatch(const Cish* c, const char* text, const char** end) {
  if (end) *end = text;
  const CishVar* best = nullptr;
  size_t bestlength = 0;
  for (uint32_t i = c->vars.count; i-- > 0;) {
    const CishVar* v = Cish_var(c, i);
    size_t n = std::strlen(v->name);
    if ((!best || n > bestlength) && std::strncmp(text, v->name, n) == 0) {
      best = v;
      bestlength = n;
    }
  }
  if (best && end) *end = text + bestlength;
  return best;
}

CishValue Cish_rvalue(Cish* c, const CishValue* v) {
  CishValue r = CishValue_nothing();
  if (CishValue_is(*v, "Xl")) {
    CishValue lvalue = *v;  // `v` may live in the table, which moves if the variable is made
    CishVar* var = Cish_getvarpointer(c, lvalue.text ? lvalue.text : "");
    CishValue_copyfrom(&r, var->value.kind[0] ? &var->value : &lvalue);
  } else {
    CishValue_copyfrom(&r, v);
  }
  return r;
}

bool CishValue_istrue(Cish* c, const CishValue* v) {
  CishValue r = Cish_rvalue(c, v);
  bool t = CishValue_is(r, "Xn") && r.x != 0;
  CishValue_free(&r);
  return t;
}

// ---------------------------------------------------------------- scanning

const char* Cish_readvarname(const char* text) {
  auto first = [](char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '_'; };
  if (!text || !first(*text)) return nullptr;
  const char* p = text + 1;
  while (first(*p) || (*p >= '0' && *p <= '9')) p++;
  return p;
}

const char* Cish_readcomment(const char* text) {
  if (!text || text[0] != '/') return nullptr;
  if (text[1] == '/') {
    const char* nl = std::strchr(text + 2, '\n');
    return nl ? nl : text + std::strlen(text);
  }
  if (text[1] == '*') {
    const char* close = std::strstr(text + 2, "*/");
    return close ? close + 2 : text + std::strlen(text);
  }
  return nullptr;
}

int Cish_readopfrag(const Cish* c, const char* text, const char** end) {
  if (end) *end = text;
  int best = -1;
  size_t bestlength = 0;
  for (uint32_t i = c->frags.count; i-- > 0;) {
    const char* f = Cish_frag(c, i);
    if (f[0] != text[0]) continue;
    size_t n = std::strlen(f);
    if (n > bestlength && std::strncmp(text, f, n) == 0) {
      best = static_cast<int>(i);
      bestlength = n;
    }
  }
  if (best >= 0 && end) *end = text + bestlength;
  return best;
}
