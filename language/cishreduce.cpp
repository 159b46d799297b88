// The Cish reducer: builds a tree from the token list by the environment's rule table
// (CishTree_make), bracket groups first, and matches patterns against a node's children
// (CishTree_match). Reduction keeps one "not yet tried" flag per (token, rule) in bit sets so
// that building stays close to linear in the number of tokens. Runs once per lattice parse.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/debuglog.h"
#include "language/cishtree_internal.h"

using namespace cishtree;

namespace {

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

}  // namespace

CishTree* CishTree_make(Cish* c, const char* text) {
  if (!text) text = "";
  std::vector<CishTree*> tokens = tokenise(c, text);
  if (c->debuglogs) logtokens(c, tokens);

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
  if (c->debuglogs) {
    if (FILE* f = debuglog_open("cishtreeout.log", "wb")) {
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
