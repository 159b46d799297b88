// The lattice file parser: statement splitting, the thirteen statement forms, element
// definitions with formats and free parameters, gene and variable names, the parameters cell
// and machinecell, which runs a lattice through its Cish environment and hands back a copy of
// the machine. See parser.h for the contracts. One parse per simulated design; every step here
// is linear in the statement it works on.
#include "language/parser.h"


#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "base/debuglog.h"
#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "language/cishtree.h"
#include "language/units.h"
#include "lattice/frames.h"
#include "lattice/latticefiles.h"
#include "base/report.h"

ParserLimits parserlimits;
ParseOptions parseoptions;

namespace {

Parser* currentparser = nullptr;  // set by machinecell for the Cish callbacks
int versionfailure = 0;           // "!MINVER" asked for a newer program; process-wide
FILE* parselog = nullptr;         // the parse log ("PARSEreport.log") while -parse is on

// ---------------------------------------------------------------- small helpers

bool isws(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}
bool isasciialpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isasciialnum(char c) {
  return isasciialpha(c) || (c >= '0' && c <= '9');
}

char* dupstring(const std::string& s) {
  char* d = static_cast<char*>(std::malloc(s.size() + 1));
  if (!d) std::abort();
  std::memcpy(d, s.c_str(), s.size() + 1);
  return d;
}

void plog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void plog(const char* fmt, ...) {
  if (!parselog) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(parselog, fmt, args);
  va_end(args);
}

// ---------------------------------------------------------------- the parser's list of cells

uint32_t serialof(const Cell* c) {
  uint32_t s;
  std::memcpy(&s, c->rtd, sizeof s);
  return s;
}
void setserial(Cell* c, uint32_t s) {
  std::memcpy(c->rtd, &s, sizeof s);
}
// Clears the scratch word in a tree that leaves the parser.
void clearserials(Cell* c) {
  setserial(c, 0);
  if (c->t == Composite)
    for (int i = 0; i < c->n; i++) clearserials(c->children[i]);
}

void indexadd(Parser* p, Cell* c) {
  auto it = p->byname.find(std::string_view(c->name));
  if (it == p->byname.end()) it = p->byname.emplace(c->name, std::vector<Cell*>()).first;
  std::vector<Cell*>& v = it->second;
  auto at = std::upper_bound(v.begin(), v.end(), serialof(c),
                             [](uint32_t s, const Cell* x) { return s < serialof(x); });
  v.insert(at, c);
}

void indexremove(Parser* p, Cell* c) {
  auto it = p->byname.find(std::string_view(c->name));
  if (it == p->byname.end()) return;
  std::vector<Cell*>& v = it->second;
  for (size_t i = v.size(); i-- > 0;) {
    if (v[i] == c) {
      v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (v.empty()) p->byname.erase(it);
}

// Appends a cell to the list (no name check): copies made by lists, the machine's wrapper.
void listadd(Parser* p, Cell* c) {
  LSet_addv<Cell*>(&p->cells, c);
  setserial(c, ++p->nextserial);
  indexadd(p, c);
}

// Takes a cell out of the list; it is freed with the parser (composites may still hold it).
void retire(Parser* p, Cell* c) {
  indexremove(p, c);
  for (uint32_t i = p->cells.count; i-- > 0;) {
    if (LSet_at<Cell*>(p->cells, i) == c) {
      LSet_removeshift(&p->cells, i);
      break;
    }
  }
  setserial(c, 0);
  p->retired.push_back(c);
}

void rename(Parser* p, Cell* c, const std::string& name) {
  bool listed = serialof(c) != 0;
  if (listed) indexremove(p, c);
  std::free(c->name);
  c->name = dupstring(name);
  if (listed) indexadd(p, c);
}

// Reports a reached bound once and stops the rest of the parse.
void parserstop(Parser* p, const std::string& what) {
  if (p->stopped) return;
  p->stopped = true;
  report(("[FATAL] Lattice '" + p->name + "' " + what).c_str());
}

// Whether `n` more cells may be made (reports the bound when not).
bool roomfor(Parser* p, uint64_t n) {
  uint64_t made = p->cells.count + p->retired.size();
  if (made + n <= parserlimits.maxcells) return true;
  char what[120];
  std::snprintf(what, sizeof what, "makes more than %u cells; parsing stopped",
                parserlimits.maxcells);
  parserstop(p, what);
  return false;
}

// A cell made by a statement joins the list; an older cell of the same name is taken out
// of it first, so the name finds the new cell.
Cell* addcell(Parser* p, Cell* c) {
  if (Cell* old = Parser_lookupcell(p, c->name)) {
    report((std::string("[WARNING] Element '") + c->name + "' overwritten").c_str());
    retire(p, old);
  }
  listadd(p, c);
  return c;
}

// A composite definition names its cell without a warning, whatever else bears the name: the
// cell keeps its place in the list, and the name finds the latest cell of that name in list
// order ("ch: ch,a;" extends ch; "b: a;" after "b 2" leaves "b" finding b 2).
void takename(Parser* p, Cell* c, const std::string& name) {
  rename(p, c, name);
}

Cell* newcomposite(const char* name, const std::vector<Cell*>& children) {
  Cell* c = Cell_new(Composite, name);
  if (!children.empty()) {
    c->children = static_cast<Cell**>(std::malloc(sizeof(Cell*) * children.size()));
    if (!c->children) std::abort();
    std::memcpy(c->children, children.data(), sizeof(Cell*) * children.size());
    c->n = static_cast<int32_t>(children.size());
  }
  return c;
}

// Adds a cell's contribution to a list: a component itself, a composite its children.
bool contribute(Parser* p, std::vector<Cell*>* children, Cell* c) {
  if (c->t == Composite) children->insert(children->end(), c->children, c->children + c->n);
  else children->push_back(c);
  if (children->size() <= parserlimits.maxcells) return true;
  return roomfor(p, UINT64_MAX / 2);  // reports the bound
}

// ---------------------------------------------------------------- statement forms

// Blanks that separate values survive: a white-space byte stays only between a letter, digit,
// quote or ']' and a letter, digit, degree sign, quote, '[', '.', '-' or '+'.
bool keepsbefore(char c) {
  return isasciialnum(c) || c == '"' || c == '\'' || c == ']';
}
bool keepsafter(const char* p) {
  unsigned char u = static_cast<unsigned char>(*p);
  if (u == 0xB0) return true;                                                // degree sign
  if (u == 0xC2 && static_cast<unsigned char>(p[1]) == 0xB0) return true;  // its UTF-8 form
  return isasciialnum(*p) || *p == '"' || *p == '\'' || *p == '[' || *p == '.' || *p == '-' ||
         *p == '+';
}

}  // namespace

std::string parser_standardform(const char* s) {
  std::string out;
  if (!s) return out;
  for (size_t i = 0; s[i]; i++) {
    char ch = s[i];
    if (ch == '\\' && s[i + 1] == '\n') continue;
    if (ch == '\t') ch = ' ';
    if (isws(ch) && !(!out.empty() && keepsbefore(out.back()) && keepsafter(s + i + 1))) continue;
    out += ch;
  }
  while (!out.empty() && out.back() == ';') out.pop_back();
  return out;
}

namespace {

Cell* controlcommand(const char* s) {
  const char* w = s + 1;
  int l = identifierlength(w);
  std::string word(w, static_cast<size_t>(l));
  if (equalnocase(word, "MINVER")) {
    const char* r = w + l;
    while (isws(*r)) r++;
    float needed = static_cast<float>(std::atof(r));
    if (needed > PARSER_PROGRAMVERSION) {
      reportf("Lattice needs Ordax version %g or higher (you are using %g)", (double)needed,
              (double)PARSER_PROGRAMVERSION);
      versionfailure = 1;
    }
    return nullptr;
  }
  report(("[FATAL] Unknown control command !" + word).c_str());
  return nullptr;
}

Cell* formatstatement(Parser* p, const char* s, char lookuponly) {
  int depth = 0;
  const char* close = nullptr;
  for (const char* q = s; *q; q++) {
    if (*q == '{') depth++;
    else if (*q == '}' && --depth == 0) {
      close = q;
      break;
    }
  }
  std::string inside = close ? std::string(s + 1, close) : std::string(s + 1);
  p->format = ParserFormat_new(inside.c_str());
  if (p->format.n() > 0 && !p->format.units[0].empty()) p->autoformats.push_back(p->format);
  plog("Parse format {%s}\n", ParserFormat_text(p->format).c_str());
  if (close && close[1]) return parsecellformula(p, close + 1, lookuponly);
  return nullptr;
}

// The name rules for an element met with no format.
ParserFormat nameformat(const std::string& upper) {
  auto has = [&upper](const char* part) { return upper.find(part) != std::string::npos; };
  const char* tail = " Length Field Angle Boundary Fringe";
  std::string text;
  if (!upper.empty() && (upper[0] == 'O' || upper[0] == 'D')) text = "Drift Length";
  else if (has("QF") || has("QD")) text = std::string("Quadrupole") + tail;
  else if (has("HBF") || has("HBD") || has("VBF") || has("VBD"))
    text = std::string(has("R") ? "RectangularBend" : "SectorBend") + tail;
  else if (has("SEXT") || has("SKSE")) text = std::string("Sextupole") + tail;
  else if (has("OCT") || has("SOCT") || has("SKO")) text = std::string("Octupole") + tail;
  else if (has("MP") || has("SMP")) text = std::string("Multipole") + tail;
  else if (has("FIT")) text = "FitPoint";
  else if (has("SOL")) text = "Solenoid Radius Field Length";
  else text = std::string("Unknown") + tail;
  return ParserFormat_new(text.c_str());
}

Cell* elementdefinition(Parser* p, const char* s, int namelength) {
  if (!roomfor(p, 1)) return nullptr;
  std::string name(s, static_cast<size_t>(namelength));
  Cell* c = Cell_new(Component, name.c_str());
  Parser_getautoformat(p, name.c_str(), &p->format);
  bool byname = false;
  std::string upper = name;
  for (char& ch : upper) ch = static_cast<char>(uc(static_cast<unsigned char>(ch)));
  if (p->format.n() == 0) {
    p->format = nameformat(upper);
    byname = true;
  }
  const ParserFormat f = p->format;
  Cell_settypename(c, f.names[0].c_str());
  const char* q = s + namelength;
  for (int i = 1; i < f.n(); i++) {
    while (isws(*q)) q++;
    if (!*q) break;
    const char* field = f.names[static_cast<size_t>(i)].c_str();
    const char* unit = f.units[static_cast<size_t>(i)].empty() ? nullptr
                                                               : f.units[static_cast<size_t>(i)].c_str();
    double number = 0;
    bool istext = false;
    std::string text;
    if (*q == '[') {  // free parameter [min,max]
      const char* r = q + 1;
      double min = getquantity(r, &r, unit);
      if (*r) r++;
      double max = getquantity(r, &r, unit);
      if (*r) r++;
      q = r;
      number = gvalue(p->genome, getgenename(name.c_str(), field, f).c_str(), min, max);
    } else if (*q == '\'' || *q == '"') {
      const char* from = q + 1;
      const char* to = std::strchr(from, *q);
      if (!to) to = from + std::strlen(from);
      text.assign(from, to);
      istext = true;
      q = *to ? to + 1 : to;
    } else if (isasciialpha(*q)) {
      const char* to = q;
      while (*to && !isws(*to)) to++;
      text.assign(q, to);
      istext = true;
      q = to;
    } else {
      number = getquantity(q, &q, unit);
    }
    if (istext) Cell_setstringattrib(c, field, text.c_str());
    else Cell_setattrib(c, field, number);
    CishValue v = CishValue_Xn(istext ? 0 : number);
    Cish_setvarglobal(p->cish, getcvarname(name.c_str(), field).c_str(), &v);
  }
  if (byname) {
    ParserFormat_free(&p->format);
    auto has = [&upper](const char* part) { return upper.find(part) != std::string::npos; };
    if (has("QD") || has("HBD") || has("VBD")) Cell_attribchangesign(c, "Field");
    if (has("VBF") || has("VBD")) Cell_setattrib(c, "Twist", 1.5707963267948966);
  }
  if (parselog) {
    plog("Element %s is of type %s: ", c->name, c->type_name);
    for (uint32_t i = 0; i < c->attributes.count; i++) {
      const Attribute& a = LSet_at<Attribute>(c->attributes, i);
      if (a.type == AttributeType::Number) plog("%s=%lg ", a.name, a.value);
      else if (a.type == AttributeType::Text) plog("%s=\"%s\" ", a.name, a.text);
    }
    plog("\n");
  }
  return addcell(p, c);
}

// "[WARNING] Unknown element …" with up to 60 characters of the list around the item.
void reportunknownitem(const char* s, size_t from, size_t to) {
  size_t length = std::strlen(s);
  size_t centre = (from + to) / 2;
  size_t a = centre > 30 ? centre - 30 : 0;
  size_t b = std::min(length, a + 60);
  a = b > 60 ? b - 60 : 0;
  std::string m = "[WARNING] Unknown element '" + std::string(s + from, s + to) +
                   "' in comma separated list\n";
  if (a > 0) m += "...";
  m.append(s + a, s + b);
  if (b < length) m += "...";
  report(m.c_str());
}

// A typo in a list is an unknown item: its look-up ends in "Cannot parse … [FATAL]", which
// would end the program before the author learns which name is wrong. The outermost list holds
// those reports back and gives them once every unknown item has had its warning.
struct HeldReports {
  Parser* p;
  std::vector<std::string> own;
  bool outermost;
  explicit HeldReports(Parser* parser) : p(parser), outermost(!parser->held) {
    if (outermost) p->held = &own;
  }
  ~HeldReports() {
    if (!outermost) return;
    p->held = nullptr;
    for (const std::string& m : own) report(m.c_str());
  }
};

Cell* listformula(Parser* p, const char* s, int commas) {
  plog("Parsing comma-separated list '%s'\n{\n", s);
  HeldReports held(p);
  std::vector<Cell*> children;
  if (commas > 0) {
    std::vector<std::pair<size_t, size_t>> items;
    int depth = 0;
    size_t start = 0, i = 0;
    for (; s[i]; i++) {
      char ch = s[i];
      if (ch == '(' || ch == '[') depth++;
      else if (ch == ')' || ch == ']') depth--;
      else if (ch == ',' && depth == 0) {
        items.emplace_back(start, i);
        start = i + 1;
      }
    }
    items.emplace_back(start, i);
    for (size_t k = 0; k < items.size(); k++) {
      auto [from, to] = items[k];
      if (k + 1 == items.size() && from == to && s[from - 1] == ',') {
        report("[WARNING] Comma-separated list ends with empty item");
        continue;
      }
      std::string item(s + from, s + to);
      Cell* c = parsecellformula(p, item.c_str(), 1);
      if (p->stopped) return nullptr;
      if (!c) {
        reportunknownitem(s, from, to);
        continue;
      }
      if (!contribute(p, &children, c)) return nullptr;
    }
  }
  // A cell that occurs more than once is copied everywhere but at its last occurrence.
  std::unordered_set<const Cell*> seen;
  for (size_t i = children.size(); i-- > 0;) {
    if (seen.insert(children[i]).second) continue;
    if (!roomfor(p, 1)) return nullptr;
    Cell* copy = Cell_copyof(children[i]);
    listadd(p, copy);
    children[i] = copy;
  }
  plog("}\n");
  if (!roomfor(p, 1)) return nullptr;
  return addcell(p, newcomposite(s, children));
}

Cell* reversal(Parser* p, const char* s) {
  Cell* c = parsecellformula(p, s + 1, 1);
  if (!c || c->t != Composite) return c;
  if (!roomfor(p, 1)) return nullptr;
  std::vector<Cell*> children(c->children, c->children + c->n);
  std::reverse(children.begin(), children.end());
  return addcell(p, newcomposite(s, children));
}

Cell* mirror(Parser* p, const char* s) {
  Cell* c = parsecellformula(p, s + 1, 1);
  if (!c) return nullptr;
  if (c->t != Composite) {
    bool bends = Cell_hasattrib(c, "angle") || equalnocase(c->type_name, "drift");
    if (bends && Cell_attrib(c, "angle", 0) == 0) return c;
    if (!roomfor(p, 1)) return nullptr;
    Cell* m = Cell_new(Component, s);
    Cell_settypename(m, c->type_name);
    Cell_copyattribs(c, m);
    Cell_attribchangesign(m, "angle");
    Cell_attribchangesign(m, "Xhere");
    return addcell(p, m);
  }
  // The mirror of each child is found (or made) by its mirrored name.
  std::vector<std::string> names;
  for (int i = 0; i < c->n; i++) {
    const char* name = c->children[i]->name ? c->children[i]->name : "";
    std::string mirrored = name[0] == '~' ? "" : "~";
    mirrored += name[0] == '~' ? name + 1 : name;
    names.push_back(mirrored);
  }
  std::vector<Cell*> children;
  for (const std::string& name : names) {
    Cell* m = parsecellformula(p, name.c_str(), 1);
    if (p->stopped) return nullptr;
    if (m && !contribute(p, &children, m)) return nullptr;
  }
  if (!roomfor(p, 1)) return nullptr;
  return addcell(p, newcomposite(s, children));
}

Cell* repetition(Parser* p, const char* s, size_t star) {
  std::string count(s, star);
  long n = std::strtol(count.c_str(), nullptr, 10);
  Cell* c = parsecellformula(p, s + star + 1, 1);
  if (!c) return nullptr;
  if (n < 0) n = 0;
  uint64_t each = c->t == Composite ? static_cast<uint64_t>(c->n) : 1;
  if (static_cast<uint64_t>(n) > parserlimits.maxcells ||
      static_cast<uint64_t>(n) * each > parserlimits.maxcells) {  // no overflow: both ≤ 2^32
    roomfor(p, UINT64_MAX / 2);  // reports the bound
    return nullptr;
  }
  if (!roomfor(p, 1)) return nullptr;
  std::vector<Cell*> children;
  for (long i = 0; i < n; i++) {
    if (c->t == Composite) children.insert(children.end(), c->children, c->children + c->n);
    else children.push_back(c);
  }
  return addcell(p, newcomposite(s, children));
}

Cell* cannotparse(Parser* p, const char* s) {
  plog("Cannot parse '%s'\n", s);
  std::string m = std::string("Cannot parse the following expression...\n") + s + "\n[FATAL]";
  if (p->held) p->held->push_back(std::move(m));
  else report(m.c_str());
  return nullptr;
}

Cell* formula(Parser* p, const char* s, char lookuponly) {
  plog("'%s'\n", s);
  // An empty statement, or the name of a cell.
  if (!*s) return nullptr;
  size_t length = std::strlen(s);
  // No cell name ends in white space or ';' (names are standard forms), so a raw statement
  // that does is not looked up.
  if (!isws(s[length - 1]) && s[length - 1] != ';')
    if (Cell* c = Parser_lookupcell(p, s)) return c;
  // A statement not yet in standard form is parsed in that form.
  std::string standard = parser_standardform(s);
  if (standard.size() < length) {
    plog("Standard form: '%s'\n", standard.c_str());
    return parsecellformula(p, standard.c_str(), lookuponly);
  }
  // A control command ("!…") or a format statement ("{…").
  if (s[0] == '!') return controlcommand(s);
  if (s[0] == '{') return formatstatement(p, s, lookuponly);
  // A composite definition ("name: …") or a parameter ("name=value").
  int namelength = identifierlength(s);
  std::string name(s, static_cast<size_t>(namelength));
  if (namelength > 0 && s[namelength] == ':') {
    Cell* c = parsecellformula(p, s + namelength + 1, 1);
    if (p->stopped) return nullptr;
    if (!c) {
      if (!roomfor(p, 1)) return nullptr;
      c = newcomposite(name.c_str(), {});
      listadd(p, c);
    } else {
      takename(p, c, name);
    }
    plog("Finshed composite element '%s'\n", name.c_str());
    return c;
  }
  if (namelength > 0 && s[namelength] == '=') {
    ParserFormat previous = p->format;
    p->format = ParserFormat_new("Parameter Value");
    std::string asvalue = s;
    asvalue[static_cast<size_t>(namelength)] = ' ';
    Cell* c = parsecellformula(p, asvalue.c_str(), lookuponly);
    p->format = previous;
    return c;
  }
  // A statement wholly in parentheses is parsed without them.
  int depth = 0, commas = 0;
  bool semicolon = false;
  size_t star = std::string::npos, firstclose = std::string::npos;
  for (size_t i = 0; i < length; i++) {
    char ch = s[i];
    if (ch == '(' || ch == '[') depth++;
    else if (ch == ')' || ch == ']') {
      if (--depth == 0 && firstclose == std::string::npos) firstclose = i;
    } else if (depth == 0) {
      if (ch == ',') commas++;
      else if (ch == ';') semicolon = true;
      else if (ch == '*') star = i;
    }
  }
  if (length > 1 && s[0] == '(' && firstclose == length - 1 && s[length - 1] == ')')
    return parsecellformula(p, std::string(s + 1, length - 2).c_str(), lookuponly);
  // A list, a reversal ("-x"), a mirror image ("~x") or a repetition ("n*x").
  if (commas > 0 || semicolon) return listformula(p, s, commas);
  if (s[0] == '-' && s[1]) return reversal(p, s);
  if (s[0] == '~' && s[1]) return mirror(p, s);
  if (star != std::string::npos) return repetition(p, s, star);
  // Otherwise an element definition, when the statement starts with a name.
  if (lookuponly || (s[namelength] && !isws(s[namelength])) || namelength == 0)
    return cannotparse(p, s);
  return elementdefinition(p, s, namelength);
}

}  // namespace

// ---------------------------------------------------------------- parser records

size_t ParserNameHash::operator()(std::string_view name) const {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the lower-cased bytes
  for (char ch : name) h = (h ^ (unsigned char)lc((unsigned char)ch)) * 1099511628211ull;
  return static_cast<size_t>(h);
}

bool ParserNameEqual::operator()(std::string_view a, std::string_view b) const {
  return equalnocase(a, b);
}

Parser* Parser_new() {
  Parser* p = new Parser();
  p->cells = LSet_new(sizeof(Cell*));
  p->machine = nullptr;
  p->cish = Cish_new();
  p->cish->debuglogs = parseoptions.debuglogs;
  p->genome = nullptr;
  p->listinprogress = p->insidebraces = p->insidebrackets = 0;
  p->nextserial = 0;
  p->depth = 0;
  p->stopped = false;
  p->owngenome = Genome_new();
  return p;
}

void Parser_free(Parser* p) {
  if (!p) return;
  for (uint32_t i = 0; i < p->cells.count; i++) Cell_freeref(LSet_at<Cell*>(p->cells, i), 1);
  for (Cell* c : p->retired) Cell_freeref(c, 1);
  LSet_free(p->cells);
  Cish_free(p->cish);
  Genome_free(p->owngenome);
  delete p;
}

Parser* Parser_current() {
  return currentparser;
}

Cell* Parser_lookupcell(const Parser* p, const char* name) {
  if (!p || !name) return nullptr;
  auto it = p->byname.find(std::string_view(name));
  return it == p->byname.end() || it->second.empty() ? nullptr : it->second.back();
}

int Parser_lookupcellindex(const Parser* p, const char* name) {
  const Cell* c = Parser_lookupcell(p, name);
  if (!c) return -1;
  for (uint32_t i = p->cells.count; i-- > 0;)
    if (LSet_at<Cell*>(p->cells, i) == c) return static_cast<int>(i);
  return -1;
}

int Parser_getautoformat(const Parser* p, const char* name, ParserFormat* format) {
  if (!p || !name || !format) return 0;
  for (size_t i = p->autoformats.size(); i-- > 0;) {
    const std::string& prefix = p->autoformats[i].units[0];
    if (!prefix.empty() && startsnocase(name, prefix)) {
      *format = p->autoformats[i];
      return 1;
    }
  }
  return 0;
}

Cell* Parser_parameterscell(const Parser* p) {
  Cell* parameters = Cell_new(Component, "ParametersCell");
  Cell_settypename(parameters, "Parameters");
  if (!p) return parameters;
  for (uint32_t i = p->cells.count; i-- > 0;) {
    const Cell* c = LSet_at<Cell*>(p->cells, i);
    if (c->t == Composite || !equalnocase(c->type_name, "Parameter") || !c->name) continue;
    if (Cell_hasattrib(parameters, c->name)) continue;  // a later cell of that name won
    Attribute a = Cell_attribute(c, "Value");
    if (a.type == AttributeType::Number) Cell_setattrib(parameters, c->name, a.value);
    else if (a.type == AttributeType::Text) Cell_setstringattrib(parameters, c->name, a.text);
  }
  return parameters;
}

// ---------------------------------------------------------------- statements

Cell* parsecellformula(Parser* p, const char* statement, char lookuponly) {
  if (!p || p->stopped) return nullptr;
  // The user ended the program: the parse stops without a machine and without a message.
  if (simstop == 2) {
    p->stopped = true;
    return nullptr;
  }
  if (p->depth >= parserlimits.maxdepth) {
    char what[120];
    std::snprintf(what, sizeof what,
                  "has a statement nested more than %d levels deep; parsing stopped",
                  parserlimits.maxdepth);
    parserstop(p, what);
    return nullptr;
  }
  p->depth++;
  Cell* c = formula(p, statement ? statement : "", lookuponly);
  p->depth--;
  return c;
}

int parsetextstream(const char* text) {
  if (parseoptions.debuglogs) {
    if (FILE* f = debuglog_open("parser.parsetextstream.log", "ab")) {
      std::fputc(0x95, f);
      std::fputs(text ? text : "@NULL!", f);
      std::fclose(f);
    }
  }
  if (versionfailure) return 1;
  Parser* p = currentparser;
  if (!p) {
    report("[FATAL] No parser set in parsetextstream");
    return 0;
  }
  if (p->stopped) return 1;
  if (!text) return 0;
  const char* start = text;
  for (const char* q = text; *q; q++) {
    char ch = *q;
    if (ch == '[') p->insidebrackets = 1;
    else if (ch == ']') p->insidebrackets = 0;
    else if (ch == '{') p->insidebraces = 1;
    if ((ch == ',' || ch == ':') && !p->insidebraces && !p->insidebrackets) p->listinprogress = 1;
    bool noflag = !p->listinprogress && !p->insidebraces && !p->insidebrackets;
    bool end = false;
    if (ch == '\n') {
      char before = q > text ? q[-1] : (p->pending.empty() ? 0 : p->pending.back());
      end = before != '\\' && noflag;
    } else if (ch == ';') {
      end = noflag || p->listinprogress;
    } else if (ch == '}') {
      end = p->insidebraces;
    }
    if (!end) continue;
    p->listinprogress = p->insidebraces = 0;
    std::string statement;
    statement.swap(p->pending);
    statement.append(start, q + 1);
    start = q + 1;
    if (Cell* c = parsecellformula(p, statement.c_str(), 0)) p->machine = c;
    if (versionfailure || p->stopped) return 1;
  }
  p->pending.append(start);
  return 0;
}

int parsetextstream_modifiedcells(CishVar* var) {
  Parser* p = currentparser;
  if (!p || !var || !var->name || !CishValue_is(var->value, "Xn")) return 0;
  const char* dot = std::strchr(var->name, '.');
  if (!dot || !dot[1]) return 0;
  std::string cellname(static_cast<const char*>(var->name), dot);
  Cell* c = Parser_lookupcell(p, cellname.c_str());
  if (c && c->t != Composite) Cell_setattrib(c, dot + 1, var->value.x);
  return 0;
}

// ---------------------------------------------------------------- names

std::string getgenename(const char* cell, const char* field, const ParserFormat& format) {
  std::string name = cell ? cell : "";
  if (!field) return name;
  if (equalnocase(field, "Value")) return name;
  int found = -1;
  size_t longest = 0;
  for (int i = 1; i < format.n(); i++) {
    const std::string& f = format.names[static_cast<size_t>(i)];
    longest = std::max(longest, f.size());
    if (found < 0 && equalnocase(f, field)) found = i;
  }
  if (found < 0) return name + field;
  const size_t length = std::strlen(field);
  for (size_t l = 1; l < length && l < longest; l++) {
    bool shared = false;
    for (int i = 1; i < format.n() && !shared; i++) {
      if (i == found) continue;
      const std::string& other = format.names[static_cast<size_t>(i)];
      // The other field begins with the prefix, or is itself a beginning of it.
      size_t k = std::min(l, other.size());
      shared = std::strncmp(other.c_str(), field, k) == 0;
    }
    if (!shared) return name + std::string(field, l);
  }
  return name + field;
}

std::string getcvarname(const char* cell, const char* field) {
  std::string name = cell ? cell : "";
  if (!field || equalnocase(field, "Value")) return name;
  return name + "." + field;
}

// ---------------------------------------------------------------- formats

ParserFormat ParserFormat_new(const char* text) {
  ParserFormat f;
  const char* q = text ? text : "";
  while (*q) {
    int l = identifierlength(q);
    if (l == 0) {
      q++;  // white space, or a character no field holds
      continue;
    }
    f.names.emplace_back(q, static_cast<size_t>(l));
    q += l;
    const char* r = q;
    while (isws(*r)) r++;
    std::string unit;
    if (*r == '(' || *r == '/') {
      const char* from = ++r;
      while (*r && !isws(*r) && *r != ')') r++;
      unit.assign(from, r);
      if (*r == ')') r++;
      q = r;
    }
    f.units.push_back(unit);
  }
  return f;
}

ParserFormat ParserFormat_copy(const ParserFormat& f) {
  return f;
}

void ParserFormat_free(ParserFormat* f) {
  if (!f) return;
  f->names.clear();
  f->units.clear();
}

std::string ParserFormat_text(const ParserFormat& f) {
  std::string text;
  for (int i = 0; i < f.n(); i++) {
    if (i) text += " ";
    text += f.names[static_cast<size_t>(i)];
    if (!f.units[static_cast<size_t>(i)].empty()) text += "(" + f.units[static_cast<size_t>(i)] + ")";
  }
  return text;
}

void ParserFormat_DEBUG(const ParserFormat& f) {
  FILE* log = std::fopen("tech/log.txt", "a");
  if (!log) return;
  std::fprintf(log, "ParserFormat {%s}\n", ParserFormat_text(f).c_str());
  std::fclose(log);
}

// ---------------------------------------------------------------- the lattice

Cell* machinecellfromfile(const char* name, Genome* genome, char verbose, Cell** parameters) {
  if (parameters) *parameters = nullptr;
  std::string path = latticefilepath(name);
  std::optional<std::string> text = filestring(path.c_str(), "r");
  if (!text) {
    // A file that is there but cannot be read is not reported as missing.
    if (platform_exists(path.c_str()))
      report(("[FATAL] Machine lattice file " + path + " cannot be read").c_str());
    else
      report(("[FATAL] Machine lattice file " + path + " not found").c_str());
    return nullptr;
  }
  return machinecell(text->c_str(), genome, name, verbose, parameters);
}

Cell* machinecell(const char* text, Genome* genome, const char* name, char verbose,
                  Cell** parameters) {
  if (parameters) *parameters = nullptr;
  if (!text) text = "";
  if (!name) name = "lattice";

  // The parse log and the progress message.
  FILE* previouslog = parselog;
  parselog = nullptr;
  if (parseoptions.debuglogs) {
    std::remove("parser.parsetextstream.log");
    const std::string& logname =
        parseoptions.logname.empty() ? std::string("PARSEreport.log") : parseoptions.logname;
    parselog = debuglog_open(logname.c_str(), "w");
  }
  if (verbose) reportf("Interpreting lattice file '%s'...", name);

  // A new current parser with the genome.
  Parser* p = Parser_new();
  p->name = name;
  p->genome = genome ? genome : &p->owngenome;
  Parser* previous = currentparser;
  currentparser = p;
  versionfailure = 0;

  // The text runs through the environment; plain text reaches parsetextstream.
  Cish_escape(p->cish, "#", "#", 3);
  p->cish->textcallback = parsetextstream;
  p->cish->varchanged = parsetextstream_modifiedcells;
  p->cish->commentcallback = nullptr;
  Cish_setsource(p->cish, (std::string("Lattice '") + name + "'").c_str());
  Cish_setlimits(p->cish, parserlimits.cishiterations, parserlimits.cishoutput, 0, 0);
  Cish_parse(p->cish, text);

  // A version failure or a reached bound gives no machine.
  bool failed = versionfailure || p->stopped || Cish_limithit(p->cish) != CISH_LIMIT_NONE;

  // An unfinished statement is reported and parsed as the last one.
  if (!failed) {
    std::string rest = p->pending;
    rest.resize(std::strlen(rtrim(rest.data())));
    if (!rest.empty()) {
      std::string shown = rest;
      for (char& ch : shown)
        if (static_cast<unsigned char>(ch) < 32 || ch == 127) ch = ' ';
      std::string m =
          "[WARNING] The following parsing element was unfinished and could be ignored.\n" + shown;
      if (m.size() > 150) m = m.substr(0, 146) + "...";
      report(m.c_str());
      p->pending = rest;
      p->listinprogress = p->insidebraces = p->insidebrackets = 0;  // so ';' ends it
      parsetextstream(";\n");
    }
    failed = versionfailure || p->stopped;
  }

  // A text that made no machine is a fatal error.
  if (!failed && !p->machine) {
    report(
        "[FATAL] parser.machine is still NULL due to lattice file error.\nThis was probably "
        "caused by not specifying the entire lattice cell at the end of the file.");
    failed = true;
  }

  Cell* result = nullptr;
  int32_t genes = p->genome->count;
  if (!failed) {
    // The machine is a composite named after the lattice.
    if (p->machine->t != Composite) {
      Cell* wrapper = newcomposite(name, {p->machine});
      listadd(p, wrapper);
      p->machine = wrapper;
    } else {
      rename(p, p->machine, name);
    }
    // The log of cells made.
    if (parselog) {
      plog("%u cells created including intermediates: ", p->cells.count);
      for (uint32_t i = 0; i < p->cells.count; i++) plog("%s ", LSet_at<Cell*>(p->cells, i)->name);
      plog("\nBeamline: ");
      for (int i = 0; i < p->machine->n; i++) plog("%s ", p->machine->children[i]->name);
      plog("\n");
    }
    // An independent copy, the parameters cell, alignment errors.
    result = Cell_copyof(p->machine);
    clearserials(result);
    if (parameters) *parameters = Parser_parameterscell(p);
    genes = p->genome->count;
  }
  Parser_free(p);
  if (result) Cell_applyerrors(result);
  currentparser = previous;
  if (parselog) std::fclose(parselog);
  parselog = previouslog;

  // The progress message.
  if (result && verbose) {
    reportupdatef("Interpreting lattice file '%s'... Done", name);
    reportf("Beamline consists of %d units, genome of %d parameters", result->n, genes);
  }
  return result;
}
