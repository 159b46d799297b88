// LSet: the growable array of fixed-size elements that every list in Ordax is built on
// (attributes, results, genes, settings, decay channels, caches). Elements are copied in and
// out by bytes; the buffer grows by about a quarter when full and shrinks when less than 60 %
// full. A hook lets one outside pointer follow the buffer when it moves.
// The set is a plain record copied by value; whoever owns the buffer frees it with LSet_free.
// Two little-endian file forms: short (count, 1-byte element size, data) and full.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

struct LSet {
  void* data;        // the elements, capacity × size bytes, owned by whoever owns the set
  void** hook;       // if set, *hook follows data whenever the buffer moves
  uint32_t count;    // elements in use
  uint32_t capacity; // elements allocated
  uint32_t initial;  // smallest capacity: the capacity given at creation
  uint32_t size;     // bytes per element
  float growth;      // fill parameter g in percent (60 in every new set)
};

LSet LSet_new(uint32_t size);
LSet LSet_newalloc(uint32_t size, uint32_t capacity, int filled);
LSet LSet_copy(LSet set);
void** LSet_hookup(LSet* set, void** hook);
uint32_t LSet_add(LSet* set, const void* element);
void* LSet_addspace(LSet* set, uint32_t k);
void LSet_merge(LSet* set, LSet other);
void LSet_addshift(LSet* set, const void* element, uint32_t i);
void LSet_remove(LSet* set, uint32_t i);
void LSet_removeshift(LSet* set, uint32_t i);
void LSet_delete(LSet* set, const void* element);
int LSet_indexof(const LSet* set, const void* element);
void LSet_qsort(LSet* set, int (*compare)(const void*, const void*));
void LSet_trim(LSet* set);
void LSet_clear(LSet* set);
void LSet_free(LSet set);
void LSet_freeref(LSet* set);

// File forms. The readers never read past the data and never allocate more than the stream
// can hold: a short, truncated or absurd file gives an empty set (count 0). LSet_load of a
// missing file gives an empty set too.
void LSet_write(const LSet* set, FILE* f);
void LSet_save(const LSet* set, const char* path);
LSet LSet_read(FILE* f);
LSet LSet_load(const char* path);
void LSet_fullwrite(const LSet* set, FILE* f);
LSet LSet_fullread(FILE* f);

uint32_t enclosingpoweroftwo(uint32_t n);

// Process-wide default initial capacity for sets read from files (1).
extern uint32_t LSet_defaultinitial;

// Typed access. The element type must have the set's size.
template <class T>
inline T* LSet_data(const LSet& set) {
  return static_cast<T*>(set.data);
}
template <class T>
inline T& LSet_at(const LSet& set, uint32_t i) {
  return static_cast<T*>(set.data)[i];
}
template <class T>
inline uint32_t LSet_addv(LSet* set, const T& v) {
  return LSet_add(set, &v);
}
