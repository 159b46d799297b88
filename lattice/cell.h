// The cell tree: the Cell record (component, composite or non-machine definition), its named
// attributes (numbers or texts, names without letter case), tree operations, bounding boxes,
// loss counters, the binary record used by the auto-save file and the two text forms (listing
// and lattice). A cell owns its name, type name, attribute names and texts, attribute array,
// child array (and, freed with Cell_freeref(c, 0), its children) and proximity grid. Built by the lattice parser, placed and constructed by the
// simulation set-up; during tracking only the loss counters change. Attribute look-ups are
// linear scans on small cells and go through a name index on large ones (a format line may
// name many thousands of attributes); they are never on the tracking hot path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/lset.h"
#include "base/vec.h"

struct Cell;
struct CellClass;    // a row of the cell class table (lattice/cellclass.h)
struct CellSubMap;   // the proximity grid of a composite (simulation set-up)
struct CellAttribIndex;  // the name index of a large cell's attributes (lattice/cell.cpp)
struct Particle;     // the particle record (simulation)
struct ScatterData;  // material data of a component (material transport)
struct Simulation;
struct EB;           // a field sample: E (V/m) then B (T)

// Stored as a 32-bit integer in memory and as one byte in the binary record.
enum CellType : int32_t {
  Nonmachine = 0,  // attributes only; not part of the machine
  Component = 1,   // one element of the machine
  Composite = 2,   // ordered list of child cells
};

enum class AttributeType : int32_t {
  None = 0,  // only in the empty result of a failed look-up
  Number = 1,
  Text = 2,
};

struct Attribute {
  char* name;  // owned (malloc); compared without letter case
  AttributeType type;
  union {
    double value;  // Number
    char* text;    // Text: owned (malloc)
  };
};

// The component operations a cell class supplies (see lattice/cellclass.h). `data` is the
// class's run-time record inside the cell (Cell::rtd); each component casts it once, on its
// first line, to its own record type.
using CellFieldFn = EB (*)(const void* data, double x, double y, double z, double t);
using CellCollisionFn = int (*)(const void* data, const Particle* before, const Particle* after,
                                double t0, double t1, unsigned thread, const ScatterData* scatter,
                                const Simulation* sim, Particle* out, double* tout);
using CellInsideFn = int (*)(const void* data, double x, double y, double z, double t);
using CellPlotFn = void (*)(const void* data, const Simulation* sim);
using CellBoundingBoxFn = void (*)(void* data, Cell* cell);
using CellConstructorFn = void (*)(Cell* cell, Simulation* sim);
using CellDestructorFn = void (*)(void* data);

// Bytes of run-time data inside every cell: at least the largest class record (see
// lattice/cellclass.cpp, where each row's size is checked against it at compile time).
// Kept at 408, the size the matching-scan class reserves; the 64-bit records known so far fit.
constexpr int RTD_SIZE = 408;

struct Cell {
  char* name;                       // owned; for a list composite the list's text
  CellType t;
  char* type_name;                  // Component/Nonmachine: owned element type word ("Solenoid");
                                    // none in cells made by Cell_arrayattrib
  int32_t n;                        // Composite: child count
  CellFieldFn field;                // Component: bound by init_funcpointers
  Cell** children;                  // Composite: owned array of n cells
  CellCollisionFn collisiondetect;  // Component
  CellSubMap* submap;               // Composite: owned proximity grid, or none
  CellInsideFn inside;              // Component
  const ScatterData* scatter;       // Component: material data, not owned (material cache)
  CellPlotFn plot;                  // Component: called by the graphics display only
  LSet attributes;                  // Component/Nonmachine: of Attribute, growth 60 %
  double length;                    // m, mirror of the attribute "length" (0 when absent)
  double angle;                     // rad, mirror of the attribute "angle" (0 when absent)
  double s;                         // m, path length at the entrance, set by the set-up
  AffineFrame entrance;             // reference-curve frame at the entrance
  AffineFrame axis;                 // frame of the component's own axis
  double xmin, ymin, zmin, xmax, ymax, zmax;  // m, bounding box, global coordinates
  // Run-time record built by the class's constructor; zero at creation. Its first 32-bit word
  // serves the parser as a scratch index while it builds lists.
  alignas(16) unsigned char rtd[RTD_SIZE];
  CellDestructorFn destructor;      // of the run-time record, or none
  const CellClass* cls;             // Component: its class row, found once when the slots are
                                    // bound or the cell is constructed; none before, or no row
  // Loss accumulators, summed when a particle is lost in the cell.
  double lostweight;                // weight lost
  double lostenergy;                // eV, kinetic energy lost, weighted
  double lostpositive;              // weight of positive particles lost
  double lostnegative;              // weight of negative particles lost
  // Component/Nonmachine: owned name index of the attributes, built by the setters once a
  // cell holds CELL_ATTRIBINDEX_MIN attributes; none below that, in copies and after a removal
  // or a sort (the next setter builds it again). Look-ups use it only while it covers every
  // attribute, so a reader never changes it.
  CellAttribIndex* attribindex;
};

// Attribute count from which the setters keep a name index.
constexpr uint32_t CELL_ATTRIBINDEX_MIN = 32;

// ---- attribute records ----
Attribute Attribute_copyof(const Attribute* a);  // deep copy
void Attribute_free(Attribute* a);               // frees text and name
void Attribute_deallocdata(Attribute* a);        // frees only the text of a Text
int Attribute_cmp(const void* a, const void* b); // qsort order: names without case
// Binary attribute record: name (text), type (1 byte), then a double (Number), a text (Text)
// or nothing (None). Attribute_read returns 1 and fills *a (owned texts) or returns 0 with *a
// zeroed on a truncated or corrupt record.
void Attribute_write(const Attribute* a, FILE* f);
int Attribute_read(FILE* f, Attribute* a);

// ---- creation, copying, freeing ----

// A zeroed cell with a copy of `name` (none stays none); Component and Nonmachine cells get an
// empty attribute set and length = angle = 0. Never none.
Cell* Cell_new(CellType t, const char* name);
// Replaces the type name with a copy of `type_name` (the class row is found again later).
void Cell_settypename(Cell* c, const char* type_name);
// A deep copy (byte copy of the record, then new name, type name, attributes in reversed
// order, children copies and grid copy). Precondition: the cell has not been constructed by a
// class with a destructor (its run-time record would be shared by the copy).
Cell* Cell_copyof(const Cell* c);
// Appends to `to` a deep copy of each attribute of `from`, from the last to the first; a copied
// number named "length" or "angle" also sets that field of `to`.
void Cell_copyattribs(const Cell* from, Cell* to);
// Frees the cell (none does nothing): its bound destructor on the run-time data first. A
// composite frees its children too unless `shallow` is set.
void Cell_freeref(Cell* c, int shallow);

// ---- children of a composite (nothing on other kinds) ----

// Inserts `child` as entry `pos` (negative counts from the end: -1 appends). Returns 1, or 0
// when `c` is no composite or the position is outside 0..n after conversion (nothing done).
int Cell_add(Cell* c, Cell* child, int pos);
// Removes entry `pos` (negative counts from the end: -1 is the last); the child is not freed.
// Nothing happens when the position is outside the list.
void Cell_remove(Cell* c, int pos);
// Index of `child` among the direct children (searched from the end), or -1.
int Cell_index(const Cell* c, const Cell* child);
// A component whose name equals `name` (without case): itself; a composite: its first direct
// child of that name; otherwise none.
Cell* Cell_find(const Cell* c, const char* name);
// A component: itself. A composite: the first direct child whose name equals `name`, else the
// first whose name begins with it, else the first that contains it (all without case; an empty
// `name` only finds an empty name). Otherwise none.
Cell* Cell_fuzzyfind(const Cell* c, const char* name);
// A component: itself when its type name equals `type_name` and it is not `after`. A
// composite: the first direct child after `after` (from the first child when `after` is none
// or not a child) whose type name equals `type_name`. Otherwise none.
Cell* Cell_findtype(const Cell* c, const char* type_name, const Cell* after);
// m: a component's length; a composite's sum over its children; 0 for a non-machine cell.
double Cell_length(const Cell* c);

// ---- attributes (Component and Nonmachine cells; a none cell gives the default) ----
// Names compare without case; the scan runs from the last attribute to the first.

double Cell_attrib(const Cell* c, const char* name, double def);
// The number (or `def`) is true when it is less than or greater than 0 (so NaN is false).
int Cell_attribbool(const Cell* c, const char* name, int def);
// The attribute's text (owned by the cell), or none when absent or a number.
const char* Cell_stringattrib(const Cell* c, const char* name);
int Cell_hasattrib(const Cell* c, const char* name);
AttributeType Cell_attribtype(const Cell* c, const char* name);
// A by-value copy sharing the cell's texts, or an all-zero record (type None).
Attribute Cell_attribute(const Cell* c, const char* name);
// Sets a number ("length" and "angle" update their fields); a none cell is ignored.
void Cell_setattrib(Cell* c, const char* name, double v);
// Sets a copy of `text`; the length and angle fields are left alone.
void Cell_setstringattrib(Cell* c, const char* name, const char* text);
// Removes the attribute (the last one moves into the gap); "length"/"angle" fields follow.
void Cell_unsetattrib(Cell* c, const char* name);
// Negates a number attribute's sign bit (0 becomes -0); "length"/"angle" fields too.
void Cell_attribchangesign(Cell* c, const char* name);
void Cell_sortattribs(Cell* c);
// A new Component cell named `prefix`, without type name, holding a copy of every attribute of
// `c` whose name begins with `prefix` (without case) under the rest of its name. The caller
// frees it with Cell_freeref.
Cell* Cell_arrayattrib(const Cell* c, const char* prefix);

// ---- bounding box (any cell) ----
void Cell_bbreset(Cell* c);  // minima 1e20, maxima -1e20 (empty)
void Cell_bbextend(Cell* c, double x, double y, double z);
void Cell_bbexpand(Cell* c, double d);
void Cell_bbscale(Cell* c, double f);  // each extent scaled about its centre
void Cell_bbintersect(Cell* c, double x0, double y0, double z0, double x1, double y1, double z1);
// A box whose minimum exceeds its maximum on some axis (or holds NaN) is empty.
inline bool Cell_bbempty(const Cell* c) {
  return !(c->xmin <= c->xmax && c->ymin <= c->ymax && c->zmin <= c->zmax);
}

// Zeroes the loss accumulators (of every child of a composite).
void Cell_resetlosscounters(Cell* c);

// ---- the proximity grid's operations ----
// The grid of a composite belongs to the simulation set-up, which installs its operations here
// once at start-up. The cell tree frees grids with `free`, copies them with `copy` and gives a
// composite read back by Cell_read a new grid with `make` (from the simulation's grid
// setting; none refuses the record). Until they are installed a composite keeps no grid.
struct CellSubMapOps {
  CellSubMap* (*make)(Cell* machine, const Simulation* sim);
  CellSubMap* (*copy)(const CellSubMap* grid);
  void (*free)(CellSubMap* grid);
};
void Cell_setsubmapops(CellSubMapOps ops);

// ---- files and text ----

// Writes the binary record of the tree (little-endian; children and attributes from the last
// to the first; a component's run-time data by its class's data size).
void Cell_write(const Cell* c, FILE* f);
// Reads a record written by Cell_write into a new tree (owned by the caller), binding function
// slots and giving the outermost composite a new grid; no constructor runs. Returns none on a
// truncated or corrupt record (unknown type code, negative count, text cut by the end of the
// file, nesting deeper than CELL_MAXDEPTH, a class whose run-time record owns memory and cannot
// be restored, a grid that `make` refuses); allocation grows only with the bytes actually read
// and the grid's bound.
Cell* Cell_read(FILE* f, const Simulation* sim);
constexpr int CELL_MAXDEPTH = 64;

// The text form: listing form when `sep` is not 0 (attributes separated by `sep`), lattice form
// when it is 0; with `withframes` the reference curve and component axis are added. Sorts the
// attributes of the cells it prints.
std::string Cell_print(Cell* c, char withframes, char sep);
// In place: every character that is not an ASCII letter or digit, and a first character that
// is not a letter, becomes `c`. Returns `text`.
char* fixvarname(char* text, char c);
// Appends Cell_print(c, 1, ' ') and a line end to "tech/log.txt".
void Cell_DEBUG(Cell* c);
