// The look-up of a cell's class row in the registered table, the binding of a component's row
// and slots, and the wrappers that call a component's operations. The table itself belongs to
// the simulation layer (sim/components/registry.cpp); a look-up compares the type name with
// each key in place, without copies, and a bound cell keeps its row so later calls need none.
#include "lattice/cellclass.h"

#include <cstring>

#include "base/text.h"
#include "base/report.h"

namespace {

const CellClass* table = nullptr;
int tablesize = 0;

bool samekey(const char* type_name, const char* key) {
  return type_name && strnullcmpi(type_name, key) == 0;
}

}  // namespace

void cellclass_settable(const CellClass* rows, int n) {
  table = n > 0 ? rows : nullptr;
  tablesize = n > 0 ? n : 0;
}

const CellClass* cellclass_table(int* n) {
  *n = tablesize;
  return table;
}

namespace {

bool isword(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// 0: the key does not occur in the type name; 1: only inside words; 2: as a whole word.
int keymatch(const char* type_name, const char* key) {
  const size_t n = strlen(key);
  if (n == 0) return 0;
  int found = 0;
  for (const char* at = type_name; (at = stristr(at, key)) != nullptr; at++) {
    found = 1;
    bool left = at == type_name || !isword(at[-1]) || !isword(key[0]);
    bool right = at[n] == 0 || !isword(at[n]) || !isword(key[n - 1]);
    if (left && right) return 2;
  }
  return found;
}

}  // namespace

const CellClass* cellclass_findsubstring(const char* type_name) {
  if (!type_name) return nullptr;
  const CellClass* longest = nullptr;
  for (int i = tablesize; i-- > 0;) {
    int m = keymatch(type_name, table[i].key);
    if (m == 2) return &table[i];
    if (m == 1 && (!longest || strlen(table[i].key) > strlen(longest->key))) longest = &table[i];
  }
  return longest;
}

const CellClass* cellclass_find(const char* type_name) {
  if (!type_name) return nullptr;
  for (int i = tablesize; i-- > 0;)
    if (samekey(type_name, table[i].key)) return &table[i];
  return cellclass_findsubstring(type_name);
}

const CellClass* Cell_getclass(const Cell* c) {
  if (!c || c->t != Component) return nullptr;
  return c->cls ? c->cls : cellclass_find(c->type_name);
}

uint32_t rtd_size(const Cell* c) {
  const CellClass* row = Cell_getclass(c);
  return row ? row->datasize : 0;
}

void init_funcpointers(Cell* c) {
  if (!c) return;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++) init_funcpointers(c->children[i]);
    return;
  }
  if (c->t != Component) return;
  const CellClass* row = cellclass_find(c->type_name);
  c->cls = row;
  c->field = row ? row->field : nullptr;
  c->collisiondetect = row ? row->collisiondetect : nullptr;
  c->inside = row ? row->inside : nullptr;
  c->plot = row ? row->plot : nullptr;
  c->destructor = row ? row->destructor : nullptr;
}

int rtd_checkrows(const CellClass* rows, int n) {
  int reported = 0;
  for (int i = 0; i < n; i++) {
    if (rows[i].datasize > (uint32_t)RTD_SIZE) {
      reportf("[FATAL] Cell type '%s' has run-time data size %d bytes > RTD_SIZE=%d", rows[i].key,
              (int)rows[i].datasize, RTD_SIZE);
      reported++;
    }
  }
  return reported;
}

int rtd_check() {
  return rtd_checkrows(table, tablesize);
}

// ---- calling a component's operations ----

void Cell_plot(const Cell* c, const Simulation* sim) {
  if (c->plot) c->plot(c->rtd, sim);
}

int Cell_construct(Cell* c, Simulation* sim) {
  const CellClass* row = c->cls ? c->cls : cellclass_findsubstring(c->type_name);
  if (!row) return 0;
  c->cls = row;
  if (row->constructor) row->constructor(c, sim);
  return 1;
}

int Cell_buildboundingbox(Cell* c) {
  const CellClass* row = c->cls ? c->cls : cellclass_findsubstring(c->type_name);
  if (!row || !row->boundingbox) return 0;
  row->boundingbox(c->rtd, c);
  return 1;
}

void Cell_destruct(Cell* c) {
  CellDestructorFn d = c->destructor;
  if (!d) return;
  c->destructor = nullptr;
  d(c->rtd);
}

void Cell_loadfieldmaps(Cell* machine) {
  if (!machine || machine->t != Composite) return;
  for (int r = 0; r < tablesize; r++) {
    if (!table[r].loadfieldmaps) continue;
    for (int i = machine->n; i-- > 0;) {
      if (samekey(machine->children[i]->type_name, table[r].key)) {
        table[r].loadfieldmaps(machine->children[i]);
        break;
      }
    }
  }
}

int Cell_synchronise(const Cell* machine, Simulation* sim) {
  if (!machine || machine->t != Composite) return 0;
  int run = 0;
  bool failed = false;
  for (int r = 0; r < tablesize; r++) {
    if (!table[r].synchronise) continue;
    for (int i = 0; i < machine->n; i++) {
      if (Cell_getclass(machine->children[i]) == &table[r]) {
        if (!table[r].synchronise(sim)) failed = true;
        run++;
        break;
      }
    }
  }
  return failed ? -1 : run;
}
