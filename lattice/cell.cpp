// The cell tree: records, attributes, tree operations, bounding boxes, loss counters, the
// binary record, the listing and lattice text forms and the LaTeX component table.
// Every text a cell owns is a malloc'd copy freed by Cell_freeref.
#include "lattice/cell.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "base/report.h"

static_assert(alignof(Cell) <= alignof(std::max_align_t), "cells come from malloc");

namespace {

CellSubMapOps submapops = {nullptr, nullptr, nullptr};

char* dupstr(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (!copy) std::abort();
  std::memcpy(copy, text, n);
  return copy;
}

bool samename(const char* a, const char* b) {
  return a && b && strnullcmpi(a, b) == 0;
}

bool startsnocase(const char* text, const char* prefix) {
  for (; *prefix; text++, prefix++)
    if (!*text || lc((unsigned char)*text) != lc((unsigned char)*prefix)) return false;
  return true;
}

bool hasattributes(const Cell* c) {
  return c && c->t != Composite;
}

// Index of the attribute named `name`, scanning from the last to the first; -1 when absent.
int findattribute(const Cell* c, const char* name) {
  if (!hasattributes(c) || !name) return -1;
  const Attribute* a = LSet_data<Attribute>(c->attributes);
  for (uint32_t i = c->attributes.count; i-- > 0;)
    if (samename(a[i].name, name)) return (int)i;
  return -1;
}

Attribute* attributeat(Cell* c, int i) {
  return &LSet_at<Attribute>(c->attributes, (uint32_t)i);
}

void appendf(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string* out, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n > 0) {
    size_t old = out->size();
    out->resize(old + (size_t)n + 1);
    std::vsnprintf(&(*out)[old], (size_t)n + 1, fmt, again);
    out->resize(old + (size_t)n);
  }
  va_end(again);
}

// ---- binary helpers (little-endian) ----

void writebyte(FILE* f, int b) {
  std::fputc(b, f);
}

void writei32(FILE* f, int32_t v) {
  uint32_t u = (uint32_t)v;
  unsigned char b[4] = {(unsigned char)u, (unsigned char)(u >> 8), (unsigned char)(u >> 16),
                        (unsigned char)(u >> 24)};
  std::fwrite(b, 1, 4, f);
}

void writedouble(FILE* f, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  unsigned char b[8];
  for (int i = 0; i < 8; i++) b[i] = (unsigned char)(u >> (8 * i));
  std::fwrite(b, 1, 8, f);
}

bool readi32(FILE* f, int32_t* v) {
  unsigned char b[4];
  if (std::fread(b, 1, 4, f) != 4) return false;
  *v = (int32_t)((uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 |
                 (uint32_t)b[3] << 24);
  return true;
}

bool readdouble(FILE* f, double* v) {
  unsigned char b[8];
  if (std::fread(b, 1, 8, f) != 8) return false;
  uint64_t u = 0;
  for (int i = 0; i < 8; i++) u |= (uint64_t)b[i] << (8 * i);
  std::memcpy(v, &u, 8);
  return true;
}

void writetext(FILE* f, const char* text) {
  fputstr(text ? text : "", f);
}

// A zero-terminated text; none when the end of the file comes first.
char* readtext(FILE* f) {
  std::optional<std::string> s = fgetstring(f);
  return s ? dupstr(s->c_str()) : nullptr;
}

void writeframe(FILE* f, const AffineFrame& a) {
  writedouble(f, a.origin.x);
  writedouble(f, a.origin.y);
  writedouble(f, a.origin.z);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) writedouble(f, a.M.m[i][j]);
}

bool readframe(FILE* f, AffineFrame* a) {
  bool ok = readdouble(f, &a->origin.x) && readdouble(f, &a->origin.y) &&
            readdouble(f, &a->origin.z);
  for (int i = 0; i < 3 && ok; i++)
    for (int j = 0; j < 3 && ok; j++) ok = readdouble(f, &a->M.m[i][j]);
  return ok;
}

Cell* readcell(FILE* f, const Simulation* sim, int depth) {
  if (depth > CELL_MAXDEPTH) return nullptr;
  char* name = readtext(f);
  if (!name) return nullptr;
  int code = std::fgetc(f);
  if (code != Nonmachine && code != Component && code != Composite) {
    std::free(name);
    return nullptr;
  }
  Cell* c = Cell_new((CellType)code, nullptr);
  c->name = name;
  bool ok = true;
  if (code != Composite) {
    c->type_name = readtext(f);
    int32_t count = 0;
    ok = c->type_name && readi32(f, &count) && count >= 0;
    // The set grows with the records actually read, so a false count cannot allocate.
    for (int32_t i = 0; ok && i < count; i++) {
      Attribute a;
      ok = Attribute_read(f, &a);
      if (ok) LSet_add(&c->attributes, &a);
    }
    ok = ok && readdouble(f, &c->length) && readdouble(f, &c->angle);
  } else {
    int32_t count = 0;
    ok = readi32(f, &count) && count >= 0;
    std::vector<Cell*> read;  // in file order: the last child first
    for (int32_t i = 0; ok && i < count; i++) {
      Cell* child = readcell(f, sim, depth + 1);
      if (child) read.push_back(child);
      else ok = false;
    }
    if (ok && count > 0) {
      c->children = static_cast<Cell**>(std::malloc(sizeof(Cell*) * (size_t)count));
      if (!c->children) std::abort();
      for (int32_t i = 0; i < count; i++) c->children[count - 1 - i] = read[(size_t)i];
      c->n = count;
    } else {
      for (Cell* child : read) Cell_freeref(child, 0);
    }
  }
  ok = ok && readdouble(f, &c->s) && readframe(f, &c->entrance) && readdouble(f, &c->xmin) &&
       readdouble(f, &c->ymin) && readdouble(f, &c->zmin) && readdouble(f, &c->xmax) &&
       readdouble(f, &c->ymax) && readdouble(f, &c->zmax);
  if (ok && code == Component) {
    const CellClass* row = Cell_getclass(c);
    uint32_t size = row ? row->datasize : 0;
    ok = size <= (uint32_t)RTD_SIZE && std::fread(c->rtd, 1, size, f) == size;
    // A record that owns memory comes back only through its class's restore operation.
    if (ok && row && row->destructor) ok = row->restore && row->restore(c, sim);
    if (ok) init_funcpointers(c);
  }
  if (ok && code == Composite && submapops.make) c->submap = submapops.make(c, sim);
  if (!ok) {
    c->destructor = nullptr;
    Cell_freeref(c, 0);
    return nullptr;
  }
  return c;
}

std::string identifier(const char* name) {
  std::string s = name ? name : "";
  fixvarname(s.data(), '_');
  return s;
}

const char* orempty(const char* text) {
  return text ? text : "";
}

// ---- LaTeX table ----

bool isangleattribute(const char* name) {
  return stristr(name, "angle") || samename(name, "twist") || startsnocase(name, "rot");
}

std::string latexvalue(const Attribute& a) {
  std::string out;
  if (a.type == AttributeType::Text) return latexescape(a.text);
  if (a.type != AttributeType::Number) return out;
  if (samename(a.name, "Voltage")) appendf(&out, "%lg\\,MV", a.value / 1e6);
  else if (samename(a.name, "Frequency")) appendf(&out, "%lg\\,MHz", a.value / 1e6);
  else if (isangleattribute(a.name)) appendf(&out, "%lg$^\\circ$", a.value * 180 / M_PI);
  else appendf(&out, "%lg", a.value);
  return out;
}

// Quotes a word for the shell.
std::string shellquote(const std::string& word) {
  std::string q = "'";
  for (char ch : word) {
    if (ch == '\'') q += "'\\''";
    else q += ch;
  }
  return q + "'";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Attribute records

Attribute Attribute_copyof(const Attribute* a) {
  Attribute b = *a;
  b.name = dupstr(a->name);
  if (a->type == AttributeType::Text) b.text = dupstr(a->text);
  return b;
}

void Attribute_deallocdata(Attribute* a) {
  if (a->type == AttributeType::Text) {
    std::free(a->text);
    a->text = nullptr;
  }
}

void Attribute_free(Attribute* a) {
  Attribute_deallocdata(a);
  std::free(a->name);
  a->name = nullptr;
}

int Attribute_cmp(const void* a, const void* b) {
  return strnullcmpi(static_cast<const Attribute*>(a)->name,
                     static_cast<const Attribute*>(b)->name);
}

void Attribute_write(const Attribute* a, FILE* f) {
  writetext(f, a->name);
  writebyte(f, (int)a->type);
  if (a->type == AttributeType::Number) writedouble(f, a->value);
  else if (a->type == AttributeType::Text) writetext(f, a->text);
}

int Attribute_read(FILE* f, Attribute* a) {
  std::memset(a, 0, sizeof *a);
  a->name = readtext(f);
  if (!a->name) return 0;
  int type = std::fgetc(f);
  bool ok = true;
  if (type == (int)AttributeType::Number) {
    a->type = AttributeType::Number;
    ok = readdouble(f, &a->value);
  } else if (type == (int)AttributeType::Text) {
    a->type = AttributeType::Text;
    a->text = readtext(f);
    ok = a->text != nullptr;
  } else if (type != (int)AttributeType::None) {
    ok = false;
  }
  if (!ok) {
    Attribute_free(a);
    std::memset(a, 0, sizeof *a);
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Creation, copying, freeing

Cell* Cell_new(CellType t, const char* name) {
  Cell* c = static_cast<Cell*>(std::calloc(1, sizeof(Cell)));
  if (!c) std::abort();
  c->name = dupstr(name);
  c->t = t;
  if (t != Composite) {
    c->attributes = LSet_new(sizeof(Attribute));
    c->length = c->angle = 0;
  }
  return c;
}

void Cell_settypename(Cell* c, const char* type_name) {
  if (!c) return;
  std::free(c->type_name);
  c->type_name = dupstr(type_name);
  c->cls = nullptr;  // found again for the new type name when the slots are next bound
}

Cell* Cell_copyof(const Cell* c) {
  if (!c) return nullptr;
  Cell* d = static_cast<Cell*>(std::malloc(sizeof(Cell)));
  if (!d) std::abort();
  std::memcpy(d, c, sizeof(Cell));
  d->name = dupstr(c->name);
  if (c->t == Composite) {
    d->children = nullptr;
    if (c->n > 0) {
      d->children = static_cast<Cell**>(std::malloc(sizeof(Cell*) * (size_t)c->n));
      if (!d->children) std::abort();
      for (int i = 0; i < c->n; i++) d->children[i] = Cell_copyof(c->children[i]);
    }
    d->submap = (c->submap && submapops.copy) ? submapops.copy(c->submap) : nullptr;
  } else {
    d->type_name = dupstr(c->type_name);
    d->attributes = LSet_new(sizeof(Attribute));
    Cell_copyattribs(c, d);
  }
  return d;
}

void Cell_copyattribs(const Cell* from, Cell* to) {
  if (!hasattributes(from) || !hasattributes(to)) return;
  for (uint32_t i = from->attributes.count; i-- > 0;) {
    Attribute a = Attribute_copyof(&LSet_at<Attribute>(from->attributes, i));
    LSet_add(&to->attributes, &a);
    // Only a number can mirror into the fields (a text would give the pointer's bits).
    if (a.type == AttributeType::Number) {
      if (samename(a.name, "length")) to->length = a.value;
      else if (samename(a.name, "angle")) to->angle = a.value;
    }
  }
}

void Cell_freeref(Cell* c, int shallow) {
  if (!c) return;
  if (c->t == Composite) {
    if (!shallow)
      for (int i = 0; i < c->n; i++) Cell_freeref(c->children[i], 0);
    std::free(c->children);
    if (c->submap && submapops.free) submapops.free(c->submap);
  } else {
    Cell_destruct(c);
    std::free(c->type_name);
    for (uint32_t i = 0; i < c->attributes.count; i++)
      Attribute_free(&LSet_at<Attribute>(c->attributes, i));
    LSet_free(c->attributes);
  }
  std::free(c->name);
  std::free(c);
}

// ---------------------------------------------------------------------------------------------
// Children

int Cell_add(Cell* c, Cell* child, int pos) {
  if (!c || c->t != Composite) return 0;
  int n = c->n;
  if (pos < 0) pos = n + pos + 1;
  if (pos < 0 || pos > n) return 0;
  Cell** grown = static_cast<Cell**>(std::realloc(c->children, sizeof(Cell*) * (size_t)(n + 1)));
  if (!grown) std::abort();
  std::memmove(grown + pos + 1, grown + pos, sizeof(Cell*) * (size_t)(n - pos));
  grown[pos] = child;
  c->children = grown;
  c->n = n + 1;
  return 1;
}

void Cell_remove(Cell* c, int pos) {
  if (!c || c->t != Composite) return;
  int n = c->n;
  if (pos < 0) pos = n + pos;
  if (pos < 0 || pos >= n) return;
  std::memmove(c->children + pos, c->children + pos + 1, sizeof(Cell*) * (size_t)(n - pos - 1));
  c->n = n - 1;
  if (c->n == 0) {
    std::free(c->children);
    c->children = nullptr;
  } else {
    Cell** shrunk = static_cast<Cell**>(std::realloc(c->children, sizeof(Cell*) * (size_t)c->n));
    if (shrunk) c->children = shrunk;
  }
}

int Cell_index(const Cell* c, const Cell* child) {
  if (!c || c->t != Composite) return -1;
  for (int i = c->n; i-- > 0;)
    if (c->children[i] == child) return i;
  return -1;
}

Cell* Cell_find(const Cell* c, const char* name) {
  if (!c || !name) return nullptr;
  if (c->t == Component) return samename(c->name, name) ? const_cast<Cell*>(c) : nullptr;
  if (c->t == Composite)
    for (int i = 0; i < c->n; i++)
      if (samename(c->children[i]->name, name)) return c->children[i];
  return nullptr;
}

Cell* Cell_fuzzyfind(const Cell* c, const char* name) {
  if (!c || !name) return nullptr;
  if (c->t == Component) return const_cast<Cell*>(c);
  if (c->t != Composite) return nullptr;
  for (int i = 0; i < c->n; i++)
    if (samename(c->children[i]->name, name)) return c->children[i];
  if (!*name) return nullptr;
  for (int i = 0; i < c->n; i++)
    if (c->children[i]->name && startsnocase(c->children[i]->name, name)) return c->children[i];
  for (int i = 0; i < c->n; i++)
    if (c->children[i]->name && stristr(c->children[i]->name, name)) return c->children[i];
  return nullptr;
}

Cell* Cell_findtype(const Cell* c, const char* type_name, const Cell* after) {
  if (!c || !type_name) return nullptr;
  if (c->t == Component)
    return (c != after && samename(c->type_name, type_name)) ? const_cast<Cell*>(c) : nullptr;
  if (c->t != Composite) return nullptr;
  int start = after ? Cell_index(c, after) + 1 : 0;  // -1 + 1 = 0 when `after` is no child
  for (int i = start; i < c->n; i++)
    if (samename(c->children[i]->type_name, type_name)) return c->children[i];
  return nullptr;
}

double Cell_length(const Cell* c) {
  if (!c) return 0;
  if (c->t == Component) return c->length;
  if (c->t == Composite) {
    double sum = 0;
    for (int i = 0; i < c->n; i++) sum += Cell_length(c->children[i]);
    return sum;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Attributes

double Cell_attrib(const Cell* c, const char* name, double def) {
  int i = findattribute(c, name);
  if (i < 0) return def;
  const Attribute& a = LSet_at<Attribute>(c->attributes, (uint32_t)i);
  return a.type == AttributeType::Number ? a.value : def;
}

int Cell_attribbool(const Cell* c, const char* name, int def) {
  double v = Cell_attrib(c, name, def);
  return (v < 0 || v > 0) ? 1 : 0;
}

const char* Cell_stringattrib(const Cell* c, const char* name) {
  int i = findattribute(c, name);
  if (i < 0) return nullptr;
  const Attribute& a = LSet_at<Attribute>(c->attributes, (uint32_t)i);
  return a.type == AttributeType::Text ? a.text : nullptr;
}

int Cell_hasattrib(const Cell* c, const char* name) {
  return findattribute(c, name) >= 0 ? 1 : 0;
}

AttributeType Cell_attribtype(const Cell* c, const char* name) {
  int i = findattribute(c, name);
  return i < 0 ? AttributeType::None : LSet_at<Attribute>(c->attributes, (uint32_t)i).type;
}

Attribute Cell_attribute(const Cell* c, const char* name) {
  int i = findattribute(c, name);
  if (i >= 0) return LSet_at<Attribute>(c->attributes, (uint32_t)i);
  Attribute none;
  std::memset(&none, 0, sizeof none);
  return none;
}

void Cell_setattrib(Cell* c, const char* name, double v) {
  if (!hasattributes(c) || !name) return;
  if (samename(name, "length")) c->length = v;
  else if (samename(name, "angle")) c->angle = v;
  int i = findattribute(c, name);
  if (i >= 0) {
    Attribute* a = attributeat(c, i);
    Attribute_deallocdata(a);
    a->type = AttributeType::Number;
    a->value = v;
    return;
  }
  Attribute a;
  a.name = dupstr(name);
  a.type = AttributeType::Number;
  a.value = v;
  LSet_add(&c->attributes, &a);
}

void Cell_setstringattrib(Cell* c, const char* name, const char* text) {
  if (!hasattributes(c) || !name) return;
  char* copy = dupstr(text ? text : "");
  int i = findattribute(c, name);
  if (i >= 0) {
    Attribute* a = attributeat(c, i);
    Attribute_deallocdata(a);
    a->type = AttributeType::Text;
    a->text = copy;
    return;
  }
  Attribute a;
  a.name = dupstr(name);
  a.type = AttributeType::Text;
  a.text = copy;
  LSet_add(&c->attributes, &a);
}

void Cell_unsetattrib(Cell* c, const char* name) {
  int i = findattribute(c, name);
  if (i < 0) return;
  Attribute_free(attributeat(c, i));
  LSet_remove(&c->attributes, (uint32_t)i);
  // The field follows whatever the look-up now sees (0 once the last copy is gone).
  if (samename(name, "length")) c->length = Cell_attrib(c, "length", 0);
  else if (samename(name, "angle")) c->angle = Cell_attrib(c, "angle", 0);
}

void Cell_attribchangesign(Cell* c, const char* name) {
  int i = findattribute(c, name);
  if (i < 0) return;
  Attribute* a = attributeat(c, i);
  if (a->type != AttributeType::Number) return;
  a->value = -a->value;  // flips the sign bit: 0 becomes -0
  if (samename(name, "length")) c->length = -c->length;
  else if (samename(name, "angle")) c->angle = -c->angle;
}

void Cell_sortattribs(Cell* c) {
  if (hasattributes(c)) LSet_qsort(&c->attributes, Attribute_cmp);
}

Cell* Cell_arrayattrib(const Cell* c, const char* prefix) {
  Cell* out = Cell_new(Component, prefix);
  if (!hasattributes(c) || !prefix) return out;
  size_t k = std::strlen(prefix);
  for (uint32_t i = 0; i < c->attributes.count; i++) {
    const Attribute& a = LSet_at<Attribute>(c->attributes, i);
    if (!a.name || !startsnocase(a.name, prefix)) continue;
    if (a.type == AttributeType::Number) Cell_setattrib(out, a.name + k, a.value);
    else if (a.type == AttributeType::Text) Cell_setstringattrib(out, a.name + k, a.text);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Bounding box and loss counters

void Cell_bbreset(Cell* c) {
  c->xmin = c->ymin = c->zmin = 1e20;
  c->xmax = c->ymax = c->zmax = -1e20;
}

void Cell_bbextend(Cell* c, double x, double y, double z) {
  if (x < c->xmin) c->xmin = x;
  if (y < c->ymin) c->ymin = y;
  if (z < c->zmin) c->zmin = z;
  if (x > c->xmax) c->xmax = x;
  if (y > c->ymax) c->ymax = y;
  if (z > c->zmax) c->zmax = z;
}

void Cell_bbexpand(Cell* c, double d) {
  c->xmin -= d;
  c->ymin -= d;
  c->zmin -= d;
  c->xmax += d;
  c->ymax += d;
  c->zmax += d;
}

void Cell_bbscale(Cell* c, double f) {
  double* lo[3] = {&c->xmin, &c->ymin, &c->zmin};
  double* hi[3] = {&c->xmax, &c->ymax, &c->zmax};
  for (int i = 0; i < 3; i++) {
    double centre = (*lo[i] + *hi[i]) / 2, half = (*hi[i] - *lo[i]) / 2 * f;
    *lo[i] = centre - half;
    *hi[i] = centre + half;
  }
}

void Cell_bbintersect(Cell* c, double x0, double y0, double z0, double x1, double y1, double z1) {
  if (x0 > c->xmin) c->xmin = x0;
  if (y0 > c->ymin) c->ymin = y0;
  if (z0 > c->zmin) c->zmin = z0;
  if (x1 < c->xmax) c->xmax = x1;
  if (y1 < c->ymax) c->ymax = y1;
  if (z1 < c->zmax) c->zmax = z1;
}

void Cell_resetlosscounters(Cell* c) {
  if (!c) return;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++) Cell_resetlosscounters(c->children[i]);
    return;
  }
  c->lostweight = c->lostenergy = c->lostpositive = c->lostnegative = 0;
}

void Cell_setsubmapops(CellSubMapOps ops) {
  submapops = ops;
}

// ---------------------------------------------------------------------------------------------
// Binary record

void Cell_write(const Cell* c, FILE* f) {
  writetext(f, c->name);
  writebyte(f, (int)c->t);
  if (c->t != Composite) {
    writetext(f, c->type_name);
    writei32(f, (int32_t)c->attributes.count);
    for (uint32_t i = c->attributes.count; i-- > 0;)
      Attribute_write(&LSet_at<Attribute>(c->attributes, i), f);
    writedouble(f, c->length);
    writedouble(f, c->angle);
  } else {
    writei32(f, c->n);
    for (int i = c->n; i-- > 0;) Cell_write(c->children[i], f);
  }
  writedouble(f, c->s);
  writeframe(f, c->entrance);
  for (double v : {c->xmin, c->ymin, c->zmin, c->xmax, c->ymax, c->zmax}) writedouble(f, v);
  if (c->t == Component) std::fwrite(c->rtd, 1, rtd_size(c), f);
}

Cell* Cell_read(FILE* f, const Simulation* sim) {
  if (!f) return nullptr;
  return readcell(f, sim, 0);
}

// ---------------------------------------------------------------------------------------------
// Text forms

char* fixvarname(char* text, char c) {
  if (!text) return text;
  for (char* p = text; *p; p++) {
    char ch = *p;
    bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
    bool digit = ch >= '0' && ch <= '9';
    if (!(letter || digit) || (p == text && !letter)) *p = c;
  }
  return text;
}

std::string Cell_print(Cell* c, char withframes, char sep) {
  std::string out;
  if (!c) return out;
  if (c->t == Component || c->t == Nonmachine) {
    Cell_sortattribs(c);
    const Attribute* a = LSet_data<Attribute>(c->attributes);
    uint32_t n = c->attributes.count;
    if (sep) {
      appendf(&out, "%s%s %s\n", c->t == Nonmachine ? "Nonmachine " : "", orempty(c->type_name),
              orempty(c->name));
      for (uint32_t i = 0; i < n; i++) {
        if (a[i].type == AttributeType::Number)
          appendf(&out, "%s=%.15lg%c", orempty(a[i].name), a[i].value, sep);
        else if (a[i].type == AttributeType::Text)
          appendf(&out, "%s='%s'%c", orempty(a[i].name), orempty(a[i].text), sep);
      }
    } else {
      out += "{";
      out += orempty(c->type_name);
      for (uint32_t i = 0; i < n; i++)
        if (a[i].type != AttributeType::None) out += std::string(" ") + orempty(a[i].name);
      out += "}\n";
      out += orempty(c->name);
      for (uint32_t i = 0; i < n; i++) {
        if (a[i].type == AttributeType::Number) appendf(&out, " %.15lg", a[i].value);
        else if (a[i].type == AttributeType::Text) appendf(&out, " '%s'", orempty(a[i].text));
      }
      if (c->t == Nonmachine) out += " #// Nonmachine";
    }
    if (withframes) {
      V3 from = c->entrance.origin;
      V3 to = Cell_transportframe(c, c->entrance, 1).origin;
      V3 a0{0, 0, 0}, a1{0, 0, c->length};
      affine(c->axis, &a0);
      affine(c->axis, &a1);
      appendf(&out,
              "\n%sRef curve (%.15lg,%.15lg,%.15lg) to (%.15lg,%.15lg,%.15lg); cpt axis "
              "(%.15lg,%.15lg,%.15lg) to (%.15lg,%.15lg,%.15lg)",
              sep ? "" : "#//", from.x, from.y, from.z, to.x, to.y, to.z, a0.x, a0.y, a0.z, a1.x,
              a1.y, a1.z);
    }
    return out;
  }
  if (c->t == Composite) {
    appendf(&out, "\n#// %s - Composite cell of %d elements:\n\n", orempty(c->name), c->n);
    for (int i = 0; i < c->n; i++) out += Cell_print(c->children[i], withframes, sep) + "\n";
    out += "\n" + identifier(c->name) + ": ";
    for (int i = 0; i < c->n; i++) {
      if (i) out += ",";
      out += identifier(c->children[i]->name);
    }
    out += ";\n\n";
    return out;
  }
  out += "\n#//Cell_print error: ";
  out += orempty(c->name);
  out += " - UNKNOWN TYPE OF CELL\n\n";
  return out;
}

void Cell_DEBUG(Cell* c) {
  std::string text = Cell_print(c, 1, ' ');
  FILE* log = std::fopen("tech/log.txt", "a");
  if (!log) return;
  std::fputs(text.c_str(), log);
  std::fputs("\n", log);
  std::fclose(log);
}

std::string Cell_latextable(Cell* c, char longtable) {
  std::string out;
  if (!c) return out;
  std::vector<Cell*> parts;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++)
      if (c->children[i]->t == Component) parts.push_back(c->children[i]);
  } else if (c->t == Component) {
    parts.push_back(c);
  }
  // One column per attribute name that any component has (without case), sorted by name.
  std::vector<std::string> columns;
  for (Cell* p : parts) {
    for (uint32_t i = 0; i < p->attributes.count; i++) {
      const char* name = LSet_at<Attribute>(p->attributes, i).name;
      bool seen = false;
      for (const std::string& col : columns) seen = seen || samename(col.c_str(), name);
      if (!seen && name) columns.push_back(name);
    }
  }
  std::sort(columns.begin(), columns.end(), [](const std::string& a, const std::string& b) {
    return strnullcmpi(a.c_str(), b.c_str()) < 0;
  });

  std::string label = identifier(c->name);
  std::string shown = latexescape(orempty(c->name));
  std::string colformat = "|l|l|";
  for (size_t i = 0; i < columns.size(); i++) colformat += "r|";
  std::string order = "Beamline order: ";
  for (size_t i = 0; i < parts.size(); i++) {
    if (i) order += ", ";
    order += latexescape(orempty(parts[i]->name));
  }
  std::string header = "Name & Type";
  for (const std::string& col : columns) header += " & " + latexescape(col.c_str());
  header += "\\\\\n";

  if (longtable) {
    out += "\\begin{longtable}{" + colformat + "}\n";
    appendf(&out, "\\caption{\\label{table%s}Ordax component listing of cell \\texttt{%s}.}\\\\\n",
            label.c_str(), shown.c_str());
    appendf(&out, "\\multicolumn{%d}{l}{%s}\\\\\n", (int)columns.size() + 2, order.c_str());
    out += "\\hline\n" + header + "\\hline\n\\endfirsthead\n\\hline\n" + header +
           "\\hline\n\\endhead\n";
  } else {
    out += "\\begin{table}[htbp]\n\\centering\n";
    appendf(&out, "\\caption{\\label{table%s}Ordax component listing of cell \\texttt{%s}.}\n",
            label.c_str(), shown.c_str());
    out += order + "\\\\[1ex]\n";
    out += "\\begin{tabular}{" + colformat + "}\n\\hline\n" + header + "\\hline\n";
  }
  for (Cell* p : parts) {
    out += latexescape(orempty(p->name)) + " & " + latexescape(orempty(p->type_name));
    for (const std::string& col : columns) {
      out += " & ";
      int i = findattribute(p, col.c_str());
      if (i >= 0) out += latexvalue(LSet_at<Attribute>(p->attributes, (uint32_t)i));
    }
    out += "\\\\\n";
  }
  out += "\\hline\n";
  out += longtable ? "\\end{longtable}\n" : "\\end{tabular}\n\\end{table}\n";
  return out;
}

int Cell_latextablepdf(Cell* c, const char* base, char longtable) {
  std::string texname = std::string(base) + ".tex";
  FILE* f = std::fopen(texname.c_str(), "w");
  if (!f) {
    reportf("Could not write %s", texname.c_str());
    return 0;
  }
  std::string doc = "\\documentclass[12pt,a4paper]{report}\n";
  if (longtable) doc += "\\usepackage{longtable}\n";
  doc += "\\begin{document}\n" + Cell_latextable(c, longtable) + "\\end{document}\n";
  std::fputs(doc.c_str(), f);
  std::fclose(f);
  if (!platform_hasprogram("pdflatex")) {
    reportf("pdflatex is not installed, so no PDF was made; the LaTeX source is in %s",
            texname.c_str());
    return 0;
  }
  std::string command = "pdflatex " + shellquote(base);
  int first = platform_system(command.c_str());
  int second = platform_system(command.c_str());
  for (const char* ext : {".tex", ".aux", ".log"}) platform_remove((std::string(base) + ext).c_str());
  return first == 0 && second == 0;
}
