#include "base/lset.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace {

LSet setwith(uint32_t count, uint32_t capacity) {
  LSet s = LSet_newalloc(sizeof(int), capacity, 0);
  s.initial = 1;
  for (uint32_t i = 0; i < count; i++) LSet_addv(&s, (int)i);
  return s;
}

std::vector<int> contents(const LSet& s) {
  return std::vector<int>(LSet_data<int>(s), LSet_data<int>(s) + s.count);
}

// Room for m elements gives trunc(m × f) with f = 1/(0.5 + 0.005 × 60) formed in extended
// precision, 1.2499999999999999902…: m = 4 gives 4 (not 5), m = 5 gives 6, m = 7 gives 8,
// m = 9 gives 11. A removal shrinks only below 60 % use; an emptied set keeps its initial room.
TEST(LSet, CapacityFollowsTheGrowthRule) {
  LSet s = LSet_new(sizeof(int));
  std::vector<uint32_t> caps;
  for (int i = 0; i < 50; i++) {
    LSet_addv(&s, i);
    if (i < 12) caps.push_back(s.capacity);
  }
  EXPECT_EQ(caps, (std::vector<uint32_t>{1, 2, 3, 4, 6, 6, 8, 8, 11, 11, 11, 14}));
  while (s.count) LSet_remove(&s, 0);
  EXPECT_EQ(s.capacity, 1u);
  LSet a = setwith(10, 17), b = setwith(10, 14);
  LSet_remove(&a, 0);
  LSet_remove(&b, 0);
  EXPECT_EQ(a.count, 9u);
  EXPECT_EQ(a.capacity, 11u);  // 9/17 < 0.6 → trunc(9 × 1.25)
  EXPECT_EQ(b.capacity, 14u);  // 9/14 is above 0.6
  for (LSet* t : {&s, &a, &b}) LSet_free(*t);
}

TEST(LSet, RemoveMovesLastRemoveShiftKeepsOrder) {
  LSet s = setwith(3, 3);
  LSet t = LSet_copy(s);
  LSet_remove(&s, 0);
  EXPECT_EQ(contents(s), (std::vector<int>{2, 1}));
  LSet_removeshift(&t, 0);
  EXPECT_EQ(contents(t), (std::vector<int>{1, 2}));
  LSet_remove(&t, 7);  // beyond the end: nothing
  EXPECT_EQ(t.count, 2u);
  LSet_free(s);
  LSet_free(t);
}

TEST(LSet, IndexofFindsLaterOfEqualElements) {
  LSet s = LSet_new(sizeof(int));
  for (int v : {5, 7, 5, 9}) LSet_addv(&s, v);
  int five = 5, four = 4;
  EXPECT_EQ(LSet_indexof(&s, &five), 2);
  EXPECT_EQ(LSet_indexof(&s, &four), -1);
  LSet_delete(&s, &five);
  EXPECT_EQ(contents(s), (std::vector<int>{5, 7, 9}));
  LSet_free(s);
}

TEST(LSet, HookFollowsTheBuffer) {
  LSet s = LSet_new(sizeof(int));
  void* follow = nullptr;
  LSet_hookup(&s, &follow);
  EXPECT_EQ(follow, s.data);
  for (int i = 0; i < 100; i++) {
    LSet_addv(&s, i);
    ASSERT_EQ(follow, s.data);
  }
  LSet_trim(&s);
  EXPECT_EQ(follow, s.data);
  EXPECT_EQ(s.capacity, 100u);
  LSet_free(s);
  EXPECT_EQ(follow, nullptr);
}

// Random adds, inserts and removals checked against std::vector as the reference model.
TEST(LSet, MatchesVectorUnderRandomOperations) {
  unsigned seed = 12345;
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  LSet s = LSet_new(sizeof(int));
  std::vector<int> ref;
  for (int step = 0; step < 20000; step++) {
    int op = rng() % 5, v = (int)(rng() % 1000);
    if (op < 2) {
      LSet_addv(&s, v);
      ref.push_back(v);
    } else if (op == 2) {
      uint32_t i = ref.empty() ? 0 : rng() % (ref.size() + 1);
      LSet_addshift(&s, &v, i);
      ref.insert(ref.begin() + i, v);
    } else if (!ref.empty()) {
      uint32_t i = rng() % ref.size();
      if (op == 3) {
        LSet_removeshift(&s, i);
        ref.erase(ref.begin() + i);
      } else {
        LSet_remove(&s, i);
        ref[i] = ref.back();
        ref.pop_back();
      }
    }
    ASSERT_LE(s.count, s.capacity);
    ASSERT_GE(s.capacity, 1u);
  }
  EXPECT_EQ(contents(s), ref);
  LSet_free(s);
}

std::vector<unsigned char> bytesof(void (*writer)(const LSet*, FILE*), const LSet& s) {
  FILE* f = tmpfile();
  writer(&s, f);
  std::vector<unsigned char> b = testsupport::streambytes(f);
  fclose(f);
  return b;
}

TEST(LSet, FileFormsHaveExactLayoutAndRoundTrip) {
  LSet s = LSet_new(8);
  for (double d : {1.5, -2.0, 3.25}) LSet_add(&s, &d);
  std::vector<unsigned char> shortform = bytesof(LSet_write, s);
  std::vector<unsigned char> fullform = bytesof(LSet_fullwrite, s);
  ASSERT_EQ(shortform.size(), 29u);
  ASSERT_EQ(fullform.size(), 40u);
  EXPECT_EQ(shortform[0], 3);
  EXPECT_EQ(shortform[4], 8);
  EXPECT_EQ(fullform[4], 8);

  FILE* f = tmpfile();
  LSet_write(&s, f);
  LSet_fullwrite(&s, f);
  rewind(f);
  LSet a = LSet_read(f);
  LSet b = LSet_fullread(f);
  fclose(f);
  for (LSet* r : {&a, &b}) {
    ASSERT_EQ(r->count, 3u);
    EXPECT_EQ(r->size, 8u);
    EXPECT_EQ(r->capacity, 3u);  // max(trunc(3 × 1.25), 1)
    EXPECT_EQ(LSet_at<double>(*r, 2), 3.25);
    EXPECT_EQ(r->hook, nullptr);
  }
  LSet_free(a);
  LSet_free(b);
  LSet_free(s);
}

TEST(LSet, TruncatedOrAbsurdFilesGiveEmptySets) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    bool full;
  };
  std::vector<Case> cases = {
      {"empty", {}, false},
      {"short header", {3, 0}, false},
      {"count of 4 billion", {0xff, 0xff, 0xff, 0xff, 8, 1, 2, 3}, false},
      {"data cut short", {3, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 9}, false},
      {"full form absurd", {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff, 0xff,
                            0, 0, 0x70, 0x42},
       true},
      {"elements of no bytes", {3, 0, 0, 0x11, 0}, false},
      {"full form, elements of no bytes", {3, 0, 0, 0x11, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x70, 0x42},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* f = testsupport::streamwith(c.bytes);
    LSet s = c.full ? LSet_fullread(f) : LSet_read(f);
    fclose(f);
    EXPECT_EQ(s.count, 0u);
    EXPECT_LE(s.capacity, 16u);
    LSet_free(s);
  }
  LSet missing = LSet_load("/nonexistent/ordax/file.bin");
  EXPECT_EQ(missing.count, 0u);
  LSet_free(missing);
}

TEST(LSet, AddspaceMergeGrowToTheRule) {
  LSet s = LSet_new(sizeof(int));
  int* first = static_cast<int*>(LSet_addspace(&s, 10));
  EXPECT_EQ(first, s.data);
  EXPECT_EQ(s.count, 10u);
  EXPECT_EQ(s.capacity, 12u);  // trunc(10 × 1.25)
  for (int i = 0; i < 10; i++) first[i] = i;
  LSet other = LSet_new(sizeof(int));
  for (int v : {100, 101, 102, 103, 104}) LSet_addv(&other, v);
  LSet_merge(&s, other);
  EXPECT_EQ(s.count, 15u);
  EXPECT_EQ(s.capacity, 18u);  // trunc(15 × 1.25)
  EXPECT_EQ(contents(s), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 101, 102, 103, 104}));
  EXPECT_EQ(other.count, 5u);  // the merged set is left as it was
  LSet_free(other);
  LSet_free(s);
}

TEST(LSet, ClearAndCopy) {
  LSet s = LSet_newalloc(sizeof(int), 4, 1);
  EXPECT_EQ(s.count, 4u);  // filled: count = capacity
  for (uint32_t i = 0; i < 4; i++) LSet_at<int>(s, i) = (int)(10 * i);
  void* follow = nullptr;
  LSet_hookup(&s, &follow);
  LSet c = LSet_copy(s);
  EXPECT_NE(c.data, s.data);
  EXPECT_EQ(c.hook, nullptr);
  EXPECT_EQ(c.capacity, 4u);
  EXPECT_EQ(contents(c), (std::vector<int>{0, 10, 20, 30}));
  for (int i = 0; i < 20; i++) LSet_addv(&s, i);
  LSet_clear(&s);
  EXPECT_EQ(s.count, 0u);
  EXPECT_EQ(s.capacity, 4u);  // back to the initial capacity
  EXPECT_EQ(follow, s.data);
  EXPECT_EQ(contents(c), (std::vector<int>{0, 10, 20, 30}));  // the copy is independent
  LSet_free(c);
  LSet_free(s);
}

// The full form carries growth and initial capacity, and the read set keeps using them.
TEST(LSet, FullFormKeepsGrowthAndInitial) {
  LSet s = LSet_newalloc(sizeof(int), 10, 0);
  s.growth = 50.0f;  // f = 1 / 0.75
  for (int v = 0; v < 5; v++) LSet_addv(&s, v);
  FILE* f = tmpfile();
  LSet_fullwrite(&s, f);
  rewind(f);
  LSet r = LSet_fullread(f);
  fclose(f);
  EXPECT_EQ(r.count, 5u);
  EXPECT_EQ(r.initial, 10u);
  EXPECT_EQ(r.growth, 50.0f);
  EXPECT_EQ(r.capacity, 10u);  // max(trunc(5 / 0.75), 10)
  for (int v = 5; v < 11; v++) LSet_addv(&r, v);
  EXPECT_EQ(r.capacity, 14u);  // trunc(11 / 0.75)
  LSet_remove(&r, 0);
  EXPECT_EQ(r.capacity, 14u);  // 10/14 is above 0.5
  EXPECT_EQ(contents(r), (std::vector<int>{10, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  LSet_free(r);
  LSet_free(s);
}

TEST(LSet, SaveLoadRoundTrip) {
  testsupport::TempDir dir("ordax_lset");
  std::string path = dir / "set.bin";
  LSet s = LSet_new(sizeof(int));
  for (int v : {3, -1, 4, 1, -5, 9}) LSet_addv(&s, v);
  LSet_save(&s, path.c_str());
  LSet r = LSet_load(path.c_str());
  EXPECT_EQ(contents(r), contents(s));
  EXPECT_EQ(r.size, sizeof(int));
  EXPECT_EQ(r.capacity, 7u);  // max(trunc(6 × 1.25), 1)
  EXPECT_EQ(r.initial, 1u);
  EXPECT_EQ(r.growth, 60.0f);
  LSet_free(r);
  LSet_free(s);
}

TEST(LSet, EnclosingPowerOfTwo) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0}, {1, 1}, {3, 4}, {64, 64}, {65, 128}};
  for (auto [n, want] : cases) EXPECT_EQ(enclosingpoweroftwo(n), want) << n;
}

}  // namespace
