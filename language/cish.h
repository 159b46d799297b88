// Cish: the environment of the embedded lattice code language. It owns the variables (with
// scope levels), the rule table (the operators and statements of the language, written as a
// precedence grammar and kept sorted by precedence), the literal operator fragments, the escape
// strings that separate code from plain text, the callbacks through which executed text
// reaches its consumer, and the execution bounds that stop runaway code. Rule files are read
// and written here. Made once per lattice parse (Cish_new … Cish_free); cishtree.h builds
// and runs trees with it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/lset.h"
#include "language/cishvalue.h"

constexpr int CISH_TLEN = 10;   // bytes of a rule's output symbol, terminator included
constexpr int CISH_OPLEN = 50;  // bytes of a rule's pattern, terminator included
constexpr int CISH_ESCLEN = 50; // bytes of an escape string, terminator included

struct CishTree;

struct CishVar {
  CishValue value;
  char* name;  // owned
  int level;   // scope level the variable lives at; 0 = global
};

// A custom statement handler: runs instead of the built-in execution of a node built by its
// rule. The result is OR-ed into the environment's abort flag.
using CishOpHandler = int (*)(const CishTree* node);

// One rule of the language: the symbol `out` is made from the pattern `s`.
struct CishOp {
  char out[CISH_TLEN];  // produced symbol; empty: matches are dropped
  char s[CISH_OPLEN];   // pattern, e.g. "X + X"
  int prec;             // lower is reduced first; odd associates from the right
  int nsymbols;         // symbols in the pattern (nonterminals and fragments), set by Cish_addop
  int nnonterminals;    // nonterminals in the pattern, set by Cish_addop
  CishOpHandler op;     // custom handler for the executor; none for the built-in rules
};

// A rule's pattern split into symbols, as the tree code matches it.
struct CishSymbol {
  std::string name;  // nonterminal ("X", "Xl", "If1", "Text"); empty for a fragment
  int frag;          // fragment index for a fragment symbol; −1 when no fragment fits
  bool wsbefore;     // white space precedes the symbol in the pattern
};
// Binary operators of the evaluator.
enum CishBinary {
  CISH_ADD, CISH_SUB, CISH_MUL, CISH_DIV, CISH_REM, CISH_AND, CISH_OR, CISH_XOR, CISH_SHL,
  CISH_SHR, CISH_LAND, CISH_LOR, CISH_EQ, CISH_NE, CISH_LT, CISH_GT, CISH_LE, CISH_GE
};
// How the evaluator treats the nodes of a rule, worked out once from its pattern and output.
struct CishEvalInfo {
  uint64_t rvalues = 0;   // bit i: child i is named by a symbol other than "Xl" (taken as rvalue)
  int binary = -1;        // "X op X": the operator (CishBinary), −1 none
  int compound = -1;      // "Xl op= X": the operator, −1 none
  char unary = 0;         // '+', '-', '!' or '~' when the pattern begins with it
  signed char step = 0;   // +1 for a pattern containing "++", −1 for "--"
  bool paren = false;     // "( X )"
  bool totext = false;    // the output is "Text"
  bool dot = false;       // "Xl . Xl"
  bool assign = false;    // "Xl = X"
  bool call = false;      // the pattern contains "("
  bool index = false;     // the pattern contains "["
  bool lfirst = false;    // the pattern begins with "Xl "
  bool ternary = false;   // "X ? X : X"
  // How the executor runs a statement of this rule (the keyword comparisons ignore case).
  enum Exec : char { SEQUENCE, IF, ELSE, FOR, WHILE, DO, SCOPE } exec = SEQUENCE;
};
struct CishRuleInfo {
  std::vector<CishSymbol> symbols;
  std::vector<std::string> nonterminals;  // the nonterminal names, in order
  std::string opfrag;  // the fragment right after the first symbol ("+" in "X + X"), or ""
  CishEvalInfo eval;
};

// The rules by their first symbols, for the tree builder: rules that begin with a fragment
// by that fragment; rules that begin with a nonterminal by its name and, when a fragment comes
// second ("X + X"), by that fragment.
struct CishRuleIndex {
  struct Group {
    std::string name;                         // the first nonterminal
    std::vector<int> others;                  // rules with no fragment second
    std::vector<std::pair<int, int>> direct;  // (fragment, rule): fragment right after the name
    std::vector<std::pair<int, int>> spaced;  // the same with white space allowed between
  };
  std::vector<std::pair<int, int>> byfrag;  // (fragment, rule) for rules beginning with a fragment
  std::vector<Group> byname;
  std::vector<int> anyfirst;  // rules whose pattern begins with white space
  size_t maxsymbols = 0;
};
// The compiled rule table: patterns (parallel to the table) and their index. Shared, never
// changed once made; a change of the rules makes a new one.
struct CishCompiled {
  std::vector<CishRuleInfo> info;
  CishRuleIndex index;
};

using CishTextCallback = int (*)(const char* text);
using CishVarCallback = int (*)(CishVar* var);

// Which execution bound stopped the code (Cish::limit).
enum CishLimit {
  CISH_LIMIT_NONE = 0,
  CISH_LIMIT_ITERATIONS = 1,  // loop iterations
  CISH_LIMIT_OUTPUT = 2,      // bytes of text passed to the text callback
  CISH_LIMIT_DEPTH = 3,       // nesting of evaluation and execution
  CISH_LIMIT_VARIABLES = 4,   // number of variables
  CISH_LIMIT_REDUCTIONS = 5,  // reductions while building one tree (rules that never finish)
  CISH_LIMIT_TIME = 6,        // seconds of loop execution
  CISH_LIMIT_QUIT = 7,        // the user ended the program (nothing reported)
};

// Default execution bounds (generous for any hand-written lattice).
constexpr long long CISH_MAXITERATIONS = 10000000;        // loop iterations per environment
constexpr long long CISH_MAXOUTPUT = 100LL * 1048576;     // bytes of generated text
constexpr int CISH_MAXDEPTH = 2500;                       // nested evaluations/executions
constexpr uint32_t CISH_MAXVARIABLES = 1000000;           // variables alive at once
constexpr double CISH_MAXSECONDS = 5;                     // seconds from the first loop check
constexpr long long CISH_CHECKEVERY = 4096;               // iterations between clock checks

struct Cish {
  LSet vars;                      // CishVar
  int level;                      // current scope level, 0 at creation
  char escopen[CISH_ESCLEN];      // text that leaves the starting mode; empty never matches
  char escclose[CISH_ESCLEN];     // text that returns to the starting mode
  int escflags;                   // bit 0: start in plain text; bit 1: a newline ends code
  CishTextCallback textcallback;  // each piece of executed plain text
  CishTextCallback commentcallback;  // each executed comment
  CishVarCallback varchanged;     // after an assignment, increment or decrement
  int abort;                      // non-zero: evaluation and execution stop at once
  bool debuglogs = false;         // CishTree_make writes its token and tree logs
  LSet ops;                       // CishOp, sorted by prec ascending
  LSet frags;                     // char*, owned: every literal fragment of every rule added

  // Execution bounds. Reaching one reports a "[FATAL]" message naming `source`, records the
  // bound in `limit` and raises `abort`.
  std::string source = "Cish code";  // names the code in messages, e.g. "lattice 'channel'"
  long long maxiterations = CISH_MAXITERATIONS, iterations = 0;
  long long maxoutput = CISH_MAXOUTPUT, output = 0;
  int maxdepth = CISH_MAXDEPTH, depth = 0;
  uint32_t maxvariables = CISH_MAXVARIABLES;
  // Loops also stop after maxseconds (counted from the first clock check, every
  // CISH_CHECKEVERY iterations) and as soon as the user ends the program.
  double maxseconds = CISH_MAXSECONDS, started = -1;
  int limit = CISH_LIMIT_NONE;

  // Derived look-up structures (not part of the language's state).
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, std::vector<uint32_t>, NameHash, std::equal_to<>> varindex;  // name → table positions
  std::shared_ptr<const CishCompiled> compiled;  // none after the rule table changed
};

// ---- environment ----

// A new environment: no variables, level 0, no escapes, flags 0, no callbacks, abort 0, the 63
// built-in rules, default bounds. Free with Cish_free.
Cish* Cish_new();
void Cish_free(Cish* c);
// Adds the 63 built-in rules, from the last to the first, with Cish_addop.
void Cish_C_operators(Cish* c);
// Sets the escape texts (cut to 49 characters; none = empty) and the escape flags.
void Cish_escape(Cish* c, const char* open, const char* close, int flags);

// ---- execution bounds ----

// Names the code in the bound messages ("lattice 'x'"); none restores "Cish code".
void Cish_setsource(Cish* c, const char* name);
// Sets the bounds; a value ≤ 0 keeps the present one.
void Cish_setlimits(Cish* c, long long maxiterations, long long maxoutput, int maxdepth,
                    long long maxvariables);
// The bound that stopped execution (CISH_LIMIT_*), 0 when none did.
int Cish_limithit(const Cish* c);
// Records that bound `which` was reached: the first time, reports "[FATAL] <source> <what>"
// and records `which`; always raises the abort flag. Used by the tree code.
void Cish_stop(Cish* c, int which, const char* what);
// The clock and quit check made every CISH_CHECKEVERY loop iterations: false (execution
// stopped) past maxseconds ("[FATAL] <source> ran longer than …") or when the program is
// ending (quietly).
bool Cish_timecheck(Cish* c);

// ---- rules ----

// A rule record with the texts cut to fit; counts are filled by Cish_addop.
CishOp CishOp_make(const char* out, const char* pattern, int prec, CishOpHandler op = nullptr);
// Adds a rule: a rule with the same pattern (compared with case) only takes the new
// precedence; otherwise the rule is appended. Then the table is sorted by precedence (stable,
// so equal precedences keep their order of addition), the counts are set and every new literal
// fragment of the pattern joins the fragment list. A pattern with no symbols is ignored.
void Cish_addop(Cish* c, CishOp op);
// The precedence of the rule with exactly this pattern, or −2147483648 when there is none.
int Cish_opgetprec(const Cish* c, const char* pattern);
// qsort-style order of two CishOp by precedence.
int Cish_compareop(const void* a, const void* b);
// Empties the rule table; the fragment list stays.
void Cish_clearops(Cish* c);
// The rule at position i of the sorted table (precondition: i < ops.count).
inline CishOp& Cish_op(const Cish* c, uint32_t i) {
  return LSet_at<CishOp>(c->ops, i);
}
// A pattern split into symbols: a nonterminal is an upper-case letter with the lower-case
// letters and digits after it; anything else is the longest known fragment that begins the
// pattern there (frag −1 when none does, and the symbol can never match).
CishRuleInfo Cish_compilepattern(const Cish* c, const char* pattern);
// The compiled patterns of the rule table, parallel to `ops`, and their index (made again
// after the rules change).
const std::vector<CishRuleInfo>& Cish_ruleinfo(Cish* c);
const CishRuleIndex& Cish_ruleindex(Cish* c);

// Rule files. Cish_loadops reads lines "out :== pattern" (":==R" or ":==r" for right
// association), numbering the rules 0, 2, 4, … (odd when right-associative) in file order;
// returns the number of rules it numbered and handed to Cish_addop, or −1 when the file cannot
// be opened (nothing reported). The table may grow by less: a pattern already there only
// takes the new precedence, and a pattern without symbols is ignored.
// Cish_saveops writes the table in that form; Cish_saveops_C writes it as a C source fragment
// defining Cish_custom_operators. Both return 0, or −1 when the file cannot be written.
int Cish_loadops(Cish* c, const char* path);
int Cish_saveops(const Cish* c, const char* path);
int Cish_saveops_C(const Cish* c, const char* path);

// Appends a description of the environment to "tech/log.txt".
void Cish_DEBUG(const Cish* c, int brief);

// ---- variables (names compare with case) ----

// The variable of that name with the highest scope level (the latest in the table among equal
// levels), created empty at the current level when missing. Pointers into the table stay valid
// until the next variable is created or removed.
int Cish_getvarindex(Cish* c, const char* name);
CishVar* Cish_getvarpointer(Cish* c, const char* name);
inline CishVar* Cish_var(const Cish* c, uint32_t i) {
  return &LSet_at<CishVar>(c->vars, i);
}
// Makes a new empty variable at the current level even when one of that name exists: a local
// that shadows the outer one until its scope is left. Returns its index.
int Cish_newvar(Cish* c, const char* name);
// An lvalue naming the variable (found or created as above). The second form takes the name
// between two pointers.
CishValue CishValue_Xl(Cish* c, const char* name);
CishValue CishValue_Xl(Cish* c, const char* from, const char* to);
// Finds or creates the variable and copies `value` into it; the variable keeps its level.
void Cish_setvar(Cish* c, const char* name, const CishValue* value);
// The same, then moves the variable to level 0 so that it outlives every scope.
void Cish_setvarglobal(Cish* c, const char* name, const CishValue* value);
// 1 when a variable of that name exists at any level, else 0.
int Cish_hasvar(const Cish* c, const char* name);
// Scope level + 1.
void Cish_scopein(Cish* c);
// Scope level − 1, then every variable above the new level is freed and removed.
void Cish_scopeout(Cish* c);
// Frees every variable.
void Cish_clearvars(Cish* c);
// The variable whose whole name is the longest prefix of `text` (equal lengths: the first
// found scanning from the last variable), or none; *end is set after the name (to `text` when
// none).
const CishVar* Cish_varmatch(const Cish* c, const char* text, const char** end);

// For an "Xl", a copy of the variable's value (the variable is created when missing) when that
// value is not empty, else a copy of the lvalue itself; any other value is copied as it is.
// The caller frees the result.
CishValue Cish_rvalue(Cish* c, const CishValue* v);
// Cish_rvalue, then true when it is "Xn" and not 0.
bool CishValue_istrue(Cish* c, const CishValue* v);

// ---- text scanning ----

// The end of the identifier [A-Za-z_][A-Za-z0-9_]* at the start of `text`, or none.
const char* Cish_readvarname(const char* text);
// For "//" the position of the next line feed (or the end); for "/*" the position after the
// next "*/" (or the end); none when the text does not begin a comment.
const char* Cish_readcomment(const char* text);
// The index of the longest fragment that begins `text` (ties: the first found scanning from
// the last fragment), or −1; *end is set after it (to `text` when none).
int Cish_readopfrag(const Cish* c, const char* text, const char** end);
// The fragment text at index i (precondition: i < frags.count).
inline const char* Cish_frag(const Cish* c, uint32_t i) {
  return LSet_at<char*>(c->frags, i);
}
// True for the characters that continue a symbol name: digits and lower-case letters.
inline bool islater(char ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z');
}
