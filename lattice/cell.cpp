// The cell tree: records, attributes, tree operations, bounding boxes, loss counters, the
// binary record, the listing and lattice text forms and the LaTeX component table.
// Every text a cell owns is a malloc'd copy freed by Cell_freeref.
#include "lattice/cell.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/bytes.h"
#include "base/files.h"
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

bool hasattributes(const Cell* c) {
  return c && c->t != Composite;
}

}  // namespace

// Attribute names folded to lower case (as equalnocase compares them) → the indices of the
// attributes of that name, ascending. Covers attributes 0 … covered − 1.
struct CellAttribIndex {
  uint32_t covered = 0;
  std::unordered_map<std::string, std::vector<uint32_t>> byname;
};

namespace {

std::string foldedname(const char* name) {
  std::string s(name);
  for (char& ch : s) ch = (char)lc((unsigned char)ch);
  return s;
}

void dropindex(Cell* c) {
  delete c->attribindex;
  c->attribindex = nullptr;
}

// Brings the name index up to date after attributes were appended (also by code that adds to
// the set directly), builds it once the cell is large enough, drops it when it is not.
void updateindex(Cell* c) {
  if (!hasattributes(c)) return;
  const uint32_t n = c->attributes.count;
  if (n < CELL_ATTRIBINDEX_MIN) {
    dropindex(c);
    return;
  }
  if (!c->attribindex) c->attribindex = new CellAttribIndex;
  CellAttribIndex* x = c->attribindex;
  if (x->covered > n) {
    x->byname.clear();
    x->covered = 0;
  }
  for (; x->covered < n; x->covered++)
    if (const char* name = LSet_at<Attribute>(c->attributes, x->covered).name)
      x->byname[foldedname(name)].push_back(x->covered);
}

// Index of the attribute named `name`, scanning from the last to the first; -1 when absent.
// The name index, when it covers every attribute, gives the same (last) match.
int findattribute(const Cell* c, const char* name) {
  if (!hasattributes(c) || !name) return -1;
  if (const CellAttribIndex* x = c->attribindex; x && x->covered == c->attributes.count) {
    auto it = x->byname.find(foldedname(name));
    return it == x->byname.end() || it->second.empty() ? -1 : (int)it->second.back();
  }
  const Attribute* a = LSet_data<Attribute>(c->attributes);
  for (uint32_t i = c->attributes.count; i-- > 0;)
    if (equalnocase(a[i].name, name)) return (int)i;
  return -1;
}

Attribute* attributeat(Cell* c, int i) {
  return &LSet_at<Attribute>(c->attributes, (uint32_t)i);
}

// ---- binary helpers (little-endian) ----

// A zero-terminated text as an owned copy; none when the data ends first.
char* readtext(ByteReader* r) {
  std::string s;
  return br_cstring(r, FGETSTRING_MAX - 1, &s) ? dupstr(s.c_str()) : nullptr;
}

void writeframe(ByteWriter* w, const AffineFrame& a) {
  bw_f64(w, a.origin.x);
  bw_f64(w, a.origin.y);
  bw_f64(w, a.origin.z);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) bw_f64(w, a.M.m[i][j]);
}

bool readframe(ByteReader* r, AffineFrame* a) {
  bool ok = br_f64(r, &a->origin.x) && br_f64(r, &a->origin.y) && br_f64(r, &a->origin.z);
  for (int i = 0; i < 3 && ok; i++)
    for (int j = 0; j < 3 && ok; j++) ok = br_f64(r, &a->M.m[i][j]);
  return ok;
}

int readattribute(ByteReader* r, Attribute* a);

Cell* readcell(ByteReader* r, const Simulation* sim, int depth) {
  if (depth > CELL_MAXDEPTH) return nullptr;
  char* name = readtext(r);
  if (!name) return nullptr;
  uint8_t byte;
  int code = br_u8(r, &byte) ? byte : -1;
  if (code != Nonmachine && code != Component && code != Composite) {
    std::free(name);
    return nullptr;
  }
  Cell* c = Cell_new((CellType)code, nullptr);
  c->name = name;
  bool ok = true;
  if (code != Composite) {
    c->type_name = readtext(r);
    int32_t count = 0;
    ok = c->type_name && br_i32(r, &count) && count >= 0;
    // The set grows with the records actually read, so a false count cannot allocate.
    for (int32_t i = 0; ok && i < count; i++) {
      Attribute a;
      ok = readattribute(r, &a);
      if (ok) LSet_add(&c->attributes, &a);
    }
    ok = ok && br_f64(r, &c->length) && br_f64(r, &c->angle);
  } else {
    int32_t count = 0;
    ok = br_i32(r, &count) && count >= 0;
    std::vector<Cell*> read;  // in file order: the last child first
    for (int32_t i = 0; ok && i < count; i++) {
      Cell* child = readcell(r, sim, depth + 1);
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
  ok = ok && br_f64(r, &c->s) && readframe(r, &c->entrance) && br_f64(r, &c->xmin) &&
       br_f64(r, &c->ymin) && br_f64(r, &c->zmin) && br_f64(r, &c->xmax) &&
       br_f64(r, &c->ymax) && br_f64(r, &c->zmax);
  if (ok && code == Component) {
    const CellClass* row = Cell_getclass(c);
    uint32_t size = row ? row->datasize : 0;
    ok = size <= (uint32_t)RTD_SIZE && br_bytes(r, c->rtd, size);
    // A record that owns memory comes back only through its class's restore operation.
    if (ok && row && row->destructor) ok = row->restore && row->restore(c, sim);
    if (ok) init_funcpointers(c);
  }
  // Only the machine (the outermost composite) has a grid, as when it is built; a grid larger
  // than the grid maker allows for a read record (a damaged box or resolution) refuses it.
  if (ok && code == Composite && depth == 0 && submapops.make) {
    c->submap = submapops.make(c, sim);
    ok = c->submap != nullptr;
  }
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

namespace {

void writeattribute(ByteWriter* w, const Attribute* a) {
  bw_cstring(w, a->name);
  bw_u8(w, (uint8_t)a->type);
  if (a->type == AttributeType::Number) bw_f64(w, a->value);
  else if (a->type == AttributeType::Text) bw_cstring(w, a->text);
}

int readattribute(ByteReader* r, Attribute* a) {
  std::memset(a, 0, sizeof *a);
  a->name = readtext(r);
  if (!a->name) return 0;
  uint8_t byte;
  int type = br_u8(r, &byte) ? byte : -1;
  bool ok = true;
  if (type == (int)AttributeType::Number) {
    a->type = AttributeType::Number;
    ok = br_f64(r, &a->value);
  } else if (type == (int)AttributeType::Text) {
    a->type = AttributeType::Text;
    a->text = readtext(r);
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

}  // namespace

void Attribute_write(const Attribute* a, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  writeattribute(&w, a);
}

int Attribute_read(FILE* f, Attribute* a) {
  ByteReader r = bytereader_file(f);
  return readattribute(&r, a);
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
  d->attribindex = nullptr;
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
      if (equalnocase(a.name, "length")) to->length = a.value;
      else if (equalnocase(a.name, "angle")) to->angle = a.value;
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
    dropindex(c);
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
  if (c->t == Component) return equalnocase(c->name, name) ? const_cast<Cell*>(c) : nullptr;
  if (c->t == Composite)
    for (int i = 0; i < c->n; i++)
      if (equalnocase(c->children[i]->name, name)) return c->children[i];
  return nullptr;
}

Cell* Cell_fuzzyfind(const Cell* c, const char* name) {
  if (!c || !name) return nullptr;
  if (c->t == Component) return const_cast<Cell*>(c);
  if (c->t != Composite) return nullptr;
  for (int i = 0; i < c->n; i++)
    if (equalnocase(c->children[i]->name, name)) return c->children[i];
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
    return (c != after && equalnocase(c->type_name, type_name)) ? const_cast<Cell*>(c) : nullptr;
  if (c->t != Composite) return nullptr;
  int start = after ? Cell_index(c, after) + 1 : 0;  // -1 + 1 = 0 when `after` is no child
  for (int i = start; i < c->n; i++)
    if (equalnocase(c->children[i]->type_name, type_name)) return c->children[i];
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
  updateindex(c);
  if (equalnocase(name, "length")) c->length = v;
  else if (equalnocase(name, "angle")) c->angle = v;
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
  updateindex(c);
}

void Cell_setstringattrib(Cell* c, const char* name, const char* text) {
  if (!hasattributes(c) || !name) return;
  updateindex(c);
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
  updateindex(c);
}

void Cell_unsetattrib(Cell* c, const char* name) {
  int i = findattribute(c, name);
  if (i < 0) return;
  // The last attribute moves into the gap: the index is built again by the next setter.
  dropindex(c);
  Attribute_free(attributeat(c, i));
  LSet_remove(&c->attributes, (uint32_t)i);
  // The field follows whatever the look-up now sees (0 once the last copy is gone).
  if (equalnocase(name, "length")) c->length = Cell_attrib(c, "length", 0);
  else if (equalnocase(name, "angle")) c->angle = Cell_attrib(c, "angle", 0);
}

void Cell_attribchangesign(Cell* c, const char* name) {
  int i = findattribute(c, name);
  if (i < 0) return;
  Attribute* a = attributeat(c, i);
  if (a->type != AttributeType::Number) return;
  a->value = -a->value;  // flips the sign bit: 0 becomes -0
  if (equalnocase(name, "length")) c->length = -c->length;
  else if (equalnocase(name, "angle")) c->angle = -c->angle;
}

void Cell_sortattribs(Cell* c) {
  if (!hasattributes(c)) return;
  dropindex(c);
  LSet_qsort(&c->attributes, Attribute_cmp);
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

namespace {

void writecell(ByteWriter* w, const Cell* c) {
  bw_cstring(w, c->name);
  bw_u8(w, (uint8_t)c->t);
  if (c->t != Composite) {
    bw_cstring(w, c->type_name);
    bw_i32(w, (int32_t)c->attributes.count);
    for (uint32_t i = c->attributes.count; i-- > 0;)
      writeattribute(w, &LSet_at<Attribute>(c->attributes, i));
    bw_f64(w, c->length);
    bw_f64(w, c->angle);
  } else {
    bw_i32(w, c->n);
    for (int i = c->n; i-- > 0;) writecell(w, c->children[i]);
  }
  bw_f64(w, c->s);
  writeframe(w, c->entrance);
  for (double v : {c->xmin, c->ymin, c->zmin, c->xmax, c->ymax, c->zmax}) bw_f64(w, v);
  if (c->t == Component) bw_bytes(w, c->rtd, rtd_size(c));
}

}  // namespace

void Cell_write(const Cell* c, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  writecell(&w, c);
}

Cell* Cell_read(FILE* f, const Simulation* sim) {
  if (!f) return nullptr;
  ByteReader r = bytereader_file(f);
  return readcell(&r, sim, 0);
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
