// Cish expression trees (see cishtree.h): node construction, the node utilities and the debug
// output. The tokeniser, the reducer, evaluation and execution have files of their own
// (cishtoken.cpp, cishreduce.cpp, cisheval.cpp, cishexec.cpp); what they share is in
// cishtree_internal.h. Trees own their nodes.
#include "language/cishtree.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "language/cishtree_internal.h"

namespace {

bool blank(const char* s, const char* e) {
  for (; s < e; s++)
    if (!std::isspace(static_cast<unsigned char>(*s))) return false;
  return true;
}

}  // namespace

namespace cishtree {

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

}  // namespace cishtree

using namespace cishtree;

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
  while (!work.empty() && !std::ferror(f)) {  // a cut debug log takes nothing more
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
