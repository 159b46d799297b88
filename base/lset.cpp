// LSet: growth/shrink rule, hook, and the short and full file forms.
// Capacities are trunc(m × f) with f = 1/(0.5 + 0.005 g); the product is formed in extended
// precision so that truncation matches on every build. Hot in the results and cell code, but
// every operation is a plain byte copy.
#include "base/lset.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/bytes.h"

uint32_t LSet_defaultinitial = 1;

namespace {

// f = 1/(0.5 + 0.005 g), formed in extended precision from the double constant 0.005. For
// g = 60 this is 1.24999999999999999024…, just below 1.25, so products that would be exact
// quarters (4 × 1.25) truncate one lower: a full set of 3 grows to 4, not 5.
long double growthfactor(float g) {
  return 1.0L / (0.5L + (long double)0.005 * (long double)g);
}

// trunc(m × f), never below m (f ≥ 1 for g ≤ 100; kept safe for odd stored growth values),
// and never beyond what 32 bits hold.
uint32_t grownfor(uint32_t m, float g) {
  long double c = (long double)m * growthfactor(g);
  if (!(c >= (long double)m)) c = m;
  if (c > (long double)std::numeric_limits<uint32_t>::max()) c = std::numeric_limits<uint32_t>::max();
  return (uint32_t)c;
}

uint32_t shrunkfor(uint32_t m, float g, uint32_t initial) {
  long double c = (long double)m * growthfactor(g);
  if (!(c >= 0)) c = 0;
  if (c > (long double)std::numeric_limits<uint32_t>::max()) c = std::numeric_limits<uint32_t>::max();
  uint32_t n = (uint32_t)c;
  return n > initial ? n : initial;
}

void* allocbytes(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) std::abort();
  return p;
}

// Moves the valid elements into a fresh buffer of the given capacity.
void reallocto(LSet* s, uint32_t capacity) {
  void* fresh = allocbytes((size_t)capacity * s->size);
  if (s->count) std::memcpy(fresh, s->data, (size_t)s->count * s->size);
  std::free(s->data);
  s->data = fresh;
  s->capacity = capacity;
  if (s->hook) *s->hook = s->data;
}

void shrinkcheck(LSet* s) {
  double fill = (double)s->count / (double)s->capacity;
  if ((double)s->growth / 100.0 > fill && s->capacity > s->initial)
    reallocto(s, shrunkfor(s->count, s->growth, s->initial));
}

// Reads count × size element bytes into a new set, or gives an empty set when the stream
// cannot hold them.
// The short form carries no growth value; its capacity is max(trunc(count × 1.25), 1) with the
// exact constant 1.25 (shortform), the full form's uses f of its stored growth.
LSet readelements(ByteReader* r, uint32_t count, uint32_t size, uint32_t initial, float growth,
                  bool shortform) {
  LSet s = LSet_new(size ? size : 1);
  s.initial = initial ? initial : 1;
  s.growth = growth;
  // Elements of no bytes are never written (every set's size is at least 1): a count of them
  // would allocate and claim elements that the data does not hold.
  if (size == 0) return s;
  unsigned long long bytes = (unsigned long long)count * size;
  size_t left = br_remaining(r);  // SIZE_MAX: unknown (a stream that cannot seek)
  if (left != SIZE_MAX && bytes > (unsigned long long)left) return s;
  if (left == SIZE_MAX && bytes > (1ull << 31)) return s;
  uint32_t cap = shrunkfor(count, growth, s.initial);
  if (shortform) {
    uint64_t q = (uint64_t)count * 5 / 4;  // trunc(count × 1.25), exact
    cap = (uint32_t)(q > 0xffffffffu ? 0xffffffffu : q);
    if (cap < s.initial) cap = s.initial;
  }
  std::free(s.data);
  s.data = allocbytes((size_t)cap * s.size);
  s.capacity = cap;
  if (bytes && !br_bytes(r, s.data, (size_t)bytes)) {
    s.count = 0;
    return s;
  }
  s.count = count;
  return s;
}

}  // namespace

LSet LSet_new(uint32_t size) {
  return LSet_newalloc(size, 1, 0);
}

LSet LSet_newalloc(uint32_t size, uint32_t capacity, int filled) {
  LSet s;
  s.size = size;
  s.capacity = s.initial = capacity ? capacity : 1;
  s.count = filled ? capacity : 0;
  s.growth = 60.0f;
  s.hook = nullptr;
  s.data = allocbytes((size_t)s.capacity * size);
  return s;
}

LSet LSet_copy(LSet set) {
  LSet s = set;
  s.hook = nullptr;
  s.data = allocbytes((size_t)set.capacity * set.size);
  std::memcpy(s.data, set.data, (size_t)set.capacity * set.size);
  return s;
}

void** LSet_hookup(LSet* set, void** hook) {
  void** old = set->hook;
  set->hook = hook;
  if (hook) *hook = set->data;
  return old;
}

uint32_t LSet_add(LSet* set, const void* element) {
  if (set->count >= set->capacity) reallocto(set, grownfor(set->count + 1, set->growth));
  std::memcpy((char*)set->data + (size_t)set->count * set->size, element, set->size);
  return set->count++;
}

void* LSet_addspace(LSet* set, uint32_t k) {
  if (set->count + k > set->capacity) reallocto(set, grownfor(set->count + k, set->growth));
  void* first = (char*)set->data + (size_t)set->count * set->size;
  set->count += k;
  return first;
}

void LSet_merge(LSet* set, LSet other) {
  if (!other.count) return;
  size_t bytes = (size_t)other.count * other.size;
  uint32_t k = (uint32_t)((bytes + set->size - 1) / set->size);
  void* dst = LSet_addspace(set, k);
  std::memcpy(dst, other.data, bytes);
}

void LSet_addshift(LSet* set, const void* element, uint32_t i) {
  if (i > set->count) i = set->count;
  if (set->count >= set->capacity) reallocto(set, grownfor(set->count + 1, set->growth));
  char* base = (char*)set->data;
  std::memmove(base + (size_t)(i + 1) * set->size, base + (size_t)i * set->size,
               (size_t)(set->count - i) * set->size);
  std::memcpy(base + (size_t)i * set->size, element, set->size);
  set->count++;
}

void LSet_remove(LSet* set, uint32_t i) {
  if (i >= set->count) return;
  set->count--;
  if (i != set->count) {
    char* base = (char*)set->data;
    std::memcpy(base + (size_t)i * set->size, base + (size_t)set->count * set->size, set->size);
  }
  shrinkcheck(set);
}

void LSet_removeshift(LSet* set, uint32_t i) {
  if (i >= set->count) return;
  char* base = (char*)set->data;
  std::memmove(base + (size_t)i * set->size, base + (size_t)(i + 1) * set->size,
               (size_t)(set->count - i - 1) * set->size);
  set->count--;
  shrinkcheck(set);
}

void LSet_delete(LSet* set, const void* element) {
  int i = LSet_indexof(set, element);
  if (i >= 0) LSet_remove(set, (uint32_t)i);
}

int LSet_indexof(const LSet* set, const void* element) {
  for (uint32_t i = set->count; i-- > 0;)
    if (std::memcmp((const char*)set->data + (size_t)i * set->size, element, set->size) == 0)
      return (int)i;
  return -1;
}

void LSet_qsort(LSet* set, int (*compare)(const void*, const void*)) {
  if (set->count > 1) std::qsort(set->data, set->count, set->size, compare);
}

void LSet_trim(LSet* set) {
  void* fresh = allocbytes((size_t)set->count * set->size);
  if (set->count) std::memcpy(fresh, set->data, (size_t)set->count * set->size);
  std::free(set->data);
  set->data = fresh;
  set->capacity = set->count;
  if (set->hook) *set->hook = set->data;
}

void LSet_clear(LSet* set) {
  std::free(set->data);
  set->count = 0;
  set->capacity = set->initial;
  set->data = allocbytes((size_t)set->capacity * set->size);
  if (set->hook) *set->hook = set->data;
}

void LSet_free(LSet set) {
  if (set.hook) *set.hook = nullptr;
  std::free(set.data);
}

void LSet_freeref(LSet* set) {
  if (!set) return;
  LSet_free(*set);
  delete set;
}

void LSet_write(const LSet* set, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  bw_u32(&w, set->count);
  bw_u8(&w, (uint8_t)set->size);
  bw_bytes(&w, set->data, (size_t)set->size * set->count);
}

void LSet_save(const LSet* set, const char* path) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return;
  LSet_write(set, f);
  std::fclose(f);
}

LSet LSet_read(FILE* f) {
  ByteReader r = bytereader_file(f);
  uint32_t count;
  uint8_t sz;
  if (!br_u32(&r, &count) || !br_u8(&r, &sz)) return LSet_new(1);
  return readelements(&r, count, sz, LSet_defaultinitial, 60.0f, true);
}

LSet LSet_load(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return LSet_new(1);
  LSet s = LSet_read(f);
  std::fclose(f);
  return s;
}

void LSet_fullwrite(const LSet* set, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  bw_u32(&w, set->count);
  bw_u32(&w, set->size);
  bw_u32(&w, set->initial);
  bw_f32(&w, set->growth);
  bw_bytes(&w, set->data, (size_t)set->size * set->count);
}

LSet LSet_fullread(FILE* f) {
  ByteReader r = bytereader_file(f);
  uint32_t count, size, initial;
  float g;
  if (!br_u32(&r, &count) || !br_u32(&r, &size) || !br_u32(&r, &initial) || !br_f32(&r, &g))
    return LSet_new(1);
  // An absurd growth value (not a number, or outside what the rule can use) falls back to 60.
  if (!(g > 0.0f && g <= 100.0f)) g = 60.0f;
  // An initial capacity beyond what the data could need is capped so it cannot allocate wildly.
  size_t left = br_remaining(&r);
  if (size == 0 ||
      (left != SIZE_MAX && (unsigned long long)initial * size > (unsigned long long)left + 4096))
    initial = 1;
  return readelements(&r, count, size, initial, g, false);
}

uint32_t enclosingpoweroftwo(uint32_t n) {
  if (n == 0 || (n & (n - 1)) == 0) return n;
  uint32_t p = 1;
  while (p < n && p) p <<= 1;
  return p;
}
