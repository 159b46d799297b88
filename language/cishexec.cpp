// Cish statement execution: text output, comments, if/else, for, while, do … while and
// scopes. Statements that run in sequence go onto a work list rather than the stack, so long
// files do not deepen it; loop iterations and output are counted against the environment's
// bounds. Called for the root of each parsed lattice and by custom operators.
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/debuglog.h"
#include "language/cishtree_internal.h"

using namespace cishtree;

namespace {

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
    if (FILE* f = debuglog_open("oddtree.log", "ab")) {
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

int Cish_parse(Cish* c, const char* text) {
  CishTree* t = CishTree_make(c, text);
  CishTree_parse(t);
  CishTree_free(t);
  return c->abort;
}
