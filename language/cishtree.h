// CishTree: turns text into a tree with the rules of a Cish environment, evaluates expressions
// and executes statements. Code stands between the environment's escape strings; the plain text
// around it reaches the text callback in execution order. A tree owns its nodes (CishTree_free)
// and points into the source text, which must outlive it. Called once per lattice parse
// (CishTree_make, then CishTree_parse of the root) and by tests; loops in lattice code make the
// evaluator the hot part.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "language/cish.h"

struct CishTree {
  Cish* cish;                  // the environment the tree was made with
  const char* start;           // span in the source text
  const char* end;
  int rule;                    // position in the sorted rule table of the rule that built the
                               // node; the fragment index for an "Opfrag" token; −1 otherwise
  std::vector<CishTree*> sub;  // owned children
  CishValue value;             // kind = the node's symbol; a number or a variable name for tokens
};

// Tokenises `text` (NUL-terminated; it must outlive the tree) and reduces the tokens by the
// rules. Returns the "Root" node whose children are what remains; never none. Rules that keep
// reducing without end are stopped with a "[FATAL]" message (abort raised).
CishTree* CishTree_make(Cish* c, const char* text);
// Tries `pattern` on the children of `parent` from child `start`. On success returns true and
// fills (each may be none) the indices of the children that matched nonterminals (the array
// must hold CISH_OPLEN entries), their count, and the index of the last child used.
bool CishTree_match(const CishTree* parent, int start, const char* pattern, int* indices,
                    int* count, int* last);
// The value of an expression node (caller frees it); empty when the abort flag is up.
CishValue CishTree_eval(const CishTree* node);
// Executes a statement node (nothing when the abort flag is up).
void CishTree_parse(const CishTree* node);
// Evaluates and applies the truth rule (an "Xn" that is not 0, after taking the rvalue).
bool CishTree_istrue(const CishTree* node);

// Makes a tree of `text`, executes its root and frees it. Returns the abort flag afterwards
// (non-zero when a callback or an execution bound stopped the code).
int Cish_parse(Cish* c, const char* text);
// Makes a tree of `text`, evaluates it and frees it. The value of a text that reduces to one
// expression is that expression's rvalue (the wrapping that turns a lone expression into text
// is looked through); anything else gives an empty value. The caller frees the result.
CishValue Cish_eval(Cish* c, const char* text);

// ---- node utilities ----
CishTree* CishTree_new(Cish* c, const char* kind);  // an empty node, rule −1, no span
void CishTree_free(CishTree* node);                  // the node and all below it
std::string CishTree_extracttext(const CishTree* node);  // a copy of the span
void CishTree_addsub(CishTree* parent, CishTree* child); // appends an owned child
bool CishTree_iswhitespace(const CishTree* node);  // a "Text" node whose span is blank
bool CishTree_isintermediate(const CishTree* node);  // its symbol ends in a digit ("If1")
void CishTree_totext(CishTree* node);  // frees the children; the node becomes "Text" of its span
int CishTree_leaves(const CishTree* node);
// The rule that built the node, or none (tokens and the root).
const CishOp* CishTree_op(const CishTree* node);

// ---- debug output ----
// One line per node, children indented below their parent.
void CishTree_DEBUG_print(const CishTree* node, int indent, FILE* f);
// The children of the root as an HTML table (symbol, rule, text).
void CishTree_DEBUG_toplevelhtml(const CishTree* root, FILE* f);

// The electric field (V/m) at which the Kilpatrick relation f = 1.64e-6 E² exp(−8.5e6/E)
// gives the frequency f (Hz), by Newton's method.
double Kilpatrick(double f);
