// The Cish tokeniser: cuts source text into number, comment, operator-fragment, variable-name
// and plain-text tokens, honouring the environment's escape strings (code stands between them).
// Runs once per CishTree_make over the whole text; the tokens are owned by the caller.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/debuglog.h"
#include "base/text.h"
#include "language/cishtree_internal.h"

namespace cishtree {

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
  FILE* f = debuglog_open("cishtokenout.log", "wb");
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

}  // namespace cishtree
