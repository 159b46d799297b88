#include "results/checkval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lattice/cell.h"
#include "language/genome.h"
#include "results/results.h"
#include "results_testdir.h"

using namespace resultstest;

namespace {

using u128 = unsigned __int128;

// A check value of up to 16 bytes as a plain wide integer, and back.
u128 toint(CheckVal c) {
  u128 x = 0;
  for (uint32_t i = c.length; i-- > 0;) x = (x << 8) | c.bytes[i];
  return x;
}
// The same, freeing the value.
u128 taken(CheckVal c) {
  u128 x = toint(c);
  CheckVal_free(c);
  return x;
}
u128 mask(uint32_t n) {
  return n >= 16 ? ~(u128)0 : (((u128)1 << (8 * n)) - 1);
}
CheckVal fromint(u128 x, uint32_t n) {
  CheckVal c = CheckVal_new(n);
  for (uint32_t i = 0; i < n; i++) c.bytes[i] = (unsigned char)(x >> (8 * i));
  return c;
}
std::vector<unsigned char> bytesof(CheckVal c) {
  return std::vector<unsigned char>(c.bytes, c.bytes + c.length);
}
// Takes ownership of c.
std::string hexof(CheckVal c) {
  std::string s = CheckVal_string(c);
  CheckVal_free(c);
  return s;
}

// The file sum as described: value·13 + byte for the bytes 33 … 127.
u128 filemodel(const std::string& text, uint32_t n) {
  u128 v = 0;
  for (unsigned char b : text)
    if (b >= 33 && b <= 127) v = (v * 13 + b) & mask(n);
  return v;
}

const ResultFormat RUNFORMAT{3, 6, 1, "Mpts"};

Genome makegenome(std::initializer_list<std::pair<const char*, int>> genes) {
  Genome g = Genome_new();
  for (auto& [name, value] : genes) gassignnew(&g, name, value);
  return g;
}

}  // namespace

// ---- the record and its text ----

TEST(CheckVal, TextFormIsUpperCaseHexMostSignificantFirst) {
  CheckVal c = CheckVal_new(12);
  for (int i = 0; i < 12; i++) c.bytes[i] = (unsigned char)(i + 1);
  EXPECT_EQ(CheckVal_string(c), "0C0B0A090807060504030201");
  CheckVal back = CheckVal_read("0C0B0A090807060504030201");
  EXPECT_TRUE(CheckVal_equals(c, back));
  CheckVal_free(back);
  CheckVal_free(c);
  EXPECT_EQ(CheckVal_string(CheckVal_null), "");
  EXPECT_TRUE(CheckVal_equals(CheckVal_null, CheckVal_new(0)));
  CheckVal ff = CheckVal_read("FF01");
  EXPECT_EQ(bytesof(ff), (std::vector<unsigned char>{0x01, 0xFF}));
  CheckVal_free(ff);
}

// The writer only ever writes pairs of 0-9 A-F; anything else reads as no value at all, which
// equals no computed value, so a result carrying it fails its check.
TEST(CheckVal, ReadTakesOnlyPairsOfUpperCaseHexDigits) {
  for (const char* bad : {"ABC", "0c0b", "0C0b", "0G", "0C 0B", "", "-1", "0x1F"}) {
    SCOPED_TRACE(bad);
    CheckVal c = CheckVal_read(bad);
    EXPECT_EQ(c.length, 0u);
    CheckVal_free(c);
  }
  const char* text = "12AB}rest";
  CheckVal c = CheckVal_read(text, text + 4);
  EXPECT_EQ(bytesof(c), (std::vector<unsigned char>{0xAB, 0x12}));
  CheckVal_free(c);
}

TEST(CheckVal, ArithmeticMatchesAWideIntegerModel) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int trial = 0; trial < 2000; trial++) {
    uint32_t na = 1 + rng() % 16, nb = 1 + rng() % 16;
    u128 a = ((u128)rng() << 64 | rng()) & mask(na);
    u128 b = ((u128)rng() << 64 | rng()) & mask(nb);
    uint32_t nl = std::max(na, nb);
    u128 x = taken(CheckVal_XOR(fromint(a, na), fromint(b, nb)));
    ASSERT_EQ(x, a ^ b);
    CheckVal s = CheckVal_add(fromint(a, na), fromint(b, nb));
    ASSERT_EQ(s.length, nl);
    ASSERT_EQ(toint(s), (a + b) & mask(nl));
    CheckVal_free(s);
    uint32_t k = (uint32_t)rng();
    CheckVal c = CheckVal_addint(fromint(a, na), k);
    ASSERT_EQ(toint(c), (a + k) & mask(na));
    CheckVal_free(c);
    uint32_t m = (uint32_t)(rng() % (1u << 23));  // products stay below 2^32: exact
    c = CheckVal_multiply(fromint(a, na), m);
    ASSERT_EQ(toint(c), (a * m) & mask(na));
    CheckVal_free(c);
  }
}

TEST(CheckVal, XorAndAddKeepTheLongerAndTheFirstOnATie) {
  CheckVal a = fromint(0x0102, 2), b = fromint(0x030405, 3);
  unsigned char* bbuf = b.bytes;
  CheckVal x = CheckVal_XOR(a, b);
  EXPECT_EQ(x.bytes, bbuf);  // the longer one's buffer carries the result
  EXPECT_EQ(toint(x), (u128)0x030507);
  CheckVal_free(x);
  a = fromint(0xFFFF, 2);
  b = fromint(0x0001, 2);
  unsigned char* abuf = a.bytes;
  CheckVal s = CheckVal_add(a, b);
  EXPECT_EQ(s.bytes, abuf);
  EXPECT_EQ(toint(s), (u128)0);  // the carry out of the last byte is dropped
  CheckVal_free(s);
}

// t = byte·k + carry is a 32-bit number: with k = 2^32 − 1 and every byte 0xFF the carries
// wrap, giving 01 00 00 00 repeated (the exact product would be 01 00 00 00 FF … FF).
TEST(CheckVal, MultiplyWrapsItsProductsAt32Bits) {
  CheckVal c = CheckVal_new(12);
  memset(c.bytes, 0xFF, 12);
  c = CheckVal_multiply(c, 0xFFFFFFFFu);
  EXPECT_EQ(hexof(c), "000000010000000100000001");
  CheckVal d = CheckVal_addint(CheckVal_new(2), 0x3c91e6a5u);
  EXPECT_EQ(hexof(d), "E6A5");
}

// ---- the mixing permutation ----

TEST(CheckValMix, PermutationCoversEveryPairOnce) {
  std::vector<unsigned char> seen(65536, 0);
  for (uint32_t k = 0; k < 65536; k++) {
    uint32_t v = CheckVal_permutation(k);
    ASSERT_LT(v, 65536u);
    ASSERT_FALSE(seen[v]) << "value " << v << " twice";
    seen[v] = 1;
  }
}

// These entries are the frozen definition itself (the recurrence in results/checkval.cpp),
// not a computed expectation: stored check values of v4.42 and later depend on them, so this
// test must never be "updated" to follow a change of the recurrence.
TEST(CheckValMix, FrozenPermutationEntries) {
  const std::pair<uint32_t, uint32_t> pinned[] = {
      {0, 3542},     {1, 36671},    {255, 6525},   {256, 46636},
      {4660, 34169}, {43981, 5875}, {65535, 38047}};
  for (auto [k, v] : pinned) {
    SCOPED_TRACE(k);
    EXPECT_EQ(CheckVal_permutation(k), v);
  }
}

TEST(CheckValMix, ValuesShorterThanTwoBytesAreUnchanged) {
  CheckVal c = fromint(0xA7, 1);
  c = CheckVal_mix(c);
  EXPECT_EQ(toint(c), (u128)0xA7);
  CheckVal_free(c);
  CheckVal e = CheckVal_mix(CheckVal_null);
  EXPECT_EQ(e.length, 0u);
}

TEST(CheckValMix, TwoByteMixIsOneToOne) {
  std::vector<unsigned char> seen(65536, 0);
  for (uint32_t x = 0; x < 65536; x++) {
    CheckVal c = CheckVal_mix(fromint(x, 2));
    uint32_t y = (uint32_t)toint(c);
    CheckVal_free(c);
    ASSERT_FALSE(seen[y]);
    seen[y] = 1;
  }
}

// ---- file sums ----

TEST_F(ResultsDir, FileChecksumIgnoresLayoutAndMatchesTheModel) {
  const std::string layouts[] = {
      "Solenoid(S) Radius/m\r\nS1 0.3 [0,1]\r\n\x7f\x80\xff",
      "Solenoid(S) Radius/m\nS1 0.3 [0,1]\n\x7f",
      "  Solenoid(S)   Radius/m \n\n\tS1 0.3\t[0,1]  \x7f\x01\x1f",
  };
  for (uint32_t n : {1u, 4u, 12u}) {
    SCOPED_TRACE(n);
    u128 expect = filemodel(layouts[0], n);
    for (const std::string& text : layouts) {
      writefile("sum.txt", text);
      CheckVal c = filechecksum("sum.txt", n);
      EXPECT_EQ(c.length, n);
      EXPECT_EQ(toint(c), expect);
      CheckVal_free(c);
    }
  }
  EXPECT_FALSE(messages.anywarning());
}

TEST_F(ResultsDir, FileChecksumOfAMissingFileWarnsAndIsNotCached) {
  checksumcacheon = 1;
  CheckVal c = filechecksum("nothere.txt", 12);
  EXPECT_EQ(hexof(c), std::string(24, '0'));
  EXPECT_EQ(messages.all, (std::vector<std::string>{
                              "[WARNING] File nothere.txt not found for filechecksum"}));
  writefile("nothere.txt", "ab");
  c = filechecksum("nothere.txt", 12);
  EXPECT_EQ(toint(c), filemodel("ab", 12));
  CheckVal_free(c);
}

TEST_F(ResultsDir, FileChecksumFindsTheFileUnderAnyExtension) {
  fs::create_directories("datafiles");
  writefile("datafiles/field.dat", "1 2 3");
  CheckVal c = filechecksum("datafiles/field", 4);
  EXPECT_EQ(toint(c), filemodel("123", 4));
  CheckVal_free(c);
  EXPECT_FALSE(messages.anywarning());
}

TEST_F(ResultsDir, FileChecksumCacheServesOldSumsOnlyWhileSwitchedOn) {
  writefile("f.txt", "abc");
  checksumcacheon = 1;
  CheckVal first = filechecksum("f.txt", 4);
  writefile("f.txt", "abd");
  CheckVal cached = filechecksum("F.TXT", 4);  // names compare without letter case
  EXPECT_TRUE(CheckVal_equals(first, cached));
  CheckVal other = filechecksum("f.txt", 12);  // another length is another entry
  EXPECT_EQ(toint(other), filemodel("abd", 12));
  checksumcacheon = 0;
  CheckVal fresh = filechecksum("f.txt", 4);
  EXPECT_EQ(toint(fresh), filemodel("abd", 4));
  for (CheckVal c : {first, cached, other, fresh}) CheckVal_free(c);
}

// ---- genome and score sums ----

TEST(GenomeChecksum, MatchesTheModelInNameOrder) {
  Genome a = makegenome({{"zsrc", 500}, {"Rotsrc", 42}, {"#gen", 7}, {"b", 999}, {"#runs", -3}});
  Genome b = makegenome({{"b", 999}, {"#runs", -3}, {"zsrc", 500}, {"#gen", 7}, {"rotsrc", 42}});
  // Sorted by name without case: #gen, #runs, b, rotsrc, zsrc.
  const uint32_t v[] = {7, (uint32_t)-3, 999, 42, 500};
  for (uint32_t n : {4u, 12u}) {
    u128 model = 0;
    for (uint32_t i = 0; i < 5; i++) {
      uint32_t j = (i + 3) % 5, k = (j + 2) % 5;
      uint32_t add = v[i] * v[j] * v[k] + v[i] + v[j] + v[k];
      model = (model * 13 + add) & mask(n);
    }
    CheckVal ca = genomechecksum(a, n), cb = genomechecksum(b, n);
    EXPECT_EQ(toint(ca), model);
    EXPECT_TRUE(CheckVal_equals(ca, cb));
    CheckVal_free(ca);
    CheckVal_free(cb);
  }
  Genome empty = Genome_new();
  EXPECT_EQ(hexof(genomechecksum(empty, 4)), "00000000");
  Genome_free(a);
  Genome_free(b);
}

// "12.5" taken from the end: ('.', '5'), ('2', '.'), ('1', '2'), each adding (s_i + 1)·s_(i+1).
TEST(ScoreChecksum, TwelvePointFiveSumsItsThreePairsFromTheEnd) {
  for (uint32_t n : {4u, 12u}) {
    for (uint32_t mult : {13u, 23u}) {
      u128 model = ('.' + 1) * '5';
      model = (model * mult + ('2' + 1) * '.') & mask(n);
      model = (model * mult + ('1' + 1) * '2') & mask(n);
      CheckVal c = mult == 13 ? scorechecksum(12.5, 1, n) : scorechecksumv44(12.5, 1, n);
      EXPECT_EQ(toint(c), model) << n << " " << mult;
      CheckVal_free(c);
    }
  }
}

TEST(ScoreChecksum, RoundsBeforeWritingAndNeedsTwoCharacters) {
  auto same = [](CheckVal a, CheckVal b) {
    bool eq = CheckVal_equals(a, b);
    CheckVal_free(a);
    CheckVal_free(b);
    return eq;
  };
  EXPECT_TRUE(same(scorechecksum(12.46, 1, 12), scorechecksum(12.5, 1, 12)));
  EXPECT_TRUE(same(scorechecksum(12.3456789, 6, 12), scorechecksum(12.345679, 6, 12)));
  EXPECT_FALSE(same(scorechecksum(12.345679, 6, 12), scorechecksum(12.345678, 6, 12)));
  EXPECT_TRUE(same(scorechecksumv44(3.25, 6, 12), scorechecksum(3.25, 6, 12)));  // 13 at d = 6
  EXPECT_EQ(hexof(scorechecksum(7.4, 0, 4)), "00000000");  // "7": no pair
}

// ---- lattice sums ----

namespace {
// A machine made by hand for the data-file walk: the lattice parser is not under test here.
// Each cell gets the text attributes listed; the name "#number" gives it a number "file".
std::vector<std::vector<std::pair<std::string, std::string>>> fakecells;
int fakeparses = 0;
std::string fakeasked;
Cell* fakemachine(const char* name, Genome*) {
  fakeparses++;
  fakeasked = name;
  Cell* m = Cell_new(Composite, "machine");
  for (auto& attrs : fakecells) {
    Cell* c = Cell_new(Component, "c");
    for (auto& [attr, text] : attrs) {
      if (attr == "#number") Cell_setattrib(c, "file", 1.0);
      else Cell_setstringattrib(c, attr.c_str(), text.c_str());
    }
    Cell_add(m, c, -1);
  }
  return m;
}
Cell* failingmachine(const char*, Genome*) {
  return nullptr;
}
}  // namespace

TEST_F(ResultsDir, LatticeChecksumOfNoneEmptyAndNamedLattices) {
  EXPECT_EQ(latticechecksum(nullptr, 12).length, 0u);
  EXPECT_EQ(hexof(latticechecksum("", 12)), "00000000000000003C91E6A5");
  lattice("demo", "S1 1 2 3");
  CheckVal c = latticechecksum("demo", 12);
  EXPECT_EQ(toint(c), filemodel("S1 1 2 3", 12));
  CheckVal_free(c);
}

TEST_F(ResultsDir, DataFilesNamedTwiceCancelInV44AndCountOnceInV441) {
  lattice("demo", "the lattice text");
  fs::create_directories("datafiles");
  writefile("datafiles/a.dat", "aaaa");
  writefile("datafiles/A.dat", "AAAA");
  writefile("datafiles/b.dat", "bbbb");
  checksum_machinecell = fakemachine;
  // Cells are walked from the last to the first: v441 keeps "A.dat" (named by the later cell)
  // and drops "a.dat" as the same name. A number "file" or a text "other" names no file.
  fakecells = {{{"file", "a.dat"}},
               {{"FILE", "b.dat"}},
               {{"file", "A.dat"}},
               {{"#number", ""}, {"other", "b.dat"}}};
  u128 lat = filemodel("the lattice text", 12);
  u128 a = filemodel("aaaa", 12), A = filemodel("AAAA", 12), b = filemodel("bbbb", 12);
  EXPECT_EQ(taken(latticechecksumv44("demo", 12)), lat ^ a ^ A ^ b);
  EXPECT_EQ(taken(latticechecksumv441("demo", 12)), lat ^ A ^ b);
  fakecells = {{{"file", "b.dat"}}, {{"file", "b.dat"}}};
  EXPECT_EQ(taken(latticechecksumv44("demo", 12)), lat);
  EXPECT_EQ(taken(latticechecksumv441("demo", 12)), lat ^ b);
  EXPECT_FALSE(messages.anywarning());
}

TEST_F(ResultsDir, MissingDataFileContributesZeroAndWarns) {
  lattice("demo", "x");
  checksum_machinecell = fakemachine;
  fakecells = {{{"file", "sub\\gone.dat"}}};
  CheckVal c = latticechecksumv441("demo", 12);
  EXPECT_EQ(toint(c), filemodel("x", 12));
  CheckVal_free(c);
  EXPECT_EQ(messages.all, (std::vector<std::string>{
                              "[WARNING] File datafiles/sub/gone.dat not found for filechecksum"}));
}

TEST_F(ResultsDir, UnreadableOrUnparsedLatticeGivesZero) {
  checksum_machinecell = fakemachine;
  fakecells = {};
  EXPECT_EQ(hexof(latticechecksumv44(nullptr, 12)), std::string(24, '0'));
  EXPECT_EQ(hexof(latticechecksumv441("absent", 12)), std::string(24, '0'));
  lattice("demo", "x");
  checksum_machinecell = failingmachine;
  EXPECT_EQ(hexof(latticechecksumv441("demo", 12)), std::string(24, '0'));
  EXPECT_FALSE(messages.anywarning());
}

TEST_F(ResultsDir, FileListCacheKeepsTheOldListUntilSwitchedOff) {
  lattice("demo", "x");
  fs::create_directories("datafiles");
  writefile("datafiles/a.dat", "a");
  writefile("datafiles/b.dat", "b");
  checksum_machinecell = fakemachine;
  fakecells = {{{"file", "a.dat"}}};
  fakeparses = 0;
  checksumcacheon = 1;
  u128 with_a = taken(latticechecksumv441("DEMO", 12));
  EXPECT_EQ(with_a, filemodel("x", 12) ^ filemodel("a", 12));
  EXPECT_EQ(fakeasked, "demo");  // the parser is given the file's own spelling
  fakecells = {{{"file", "b.dat"}}};  // as if the lattice had been edited
  EXPECT_EQ(taken(latticechecksumv441("demo", 12)), with_a);
  EXPECT_EQ(fakeparses, 1);
  CheckVal_free(latticechecksumv44("demo", 12));  // the 4.4 list is an entry of its own
  EXPECT_EQ(fakeparses, 2);
  checksumcacheon = 0;
  EXPECT_EQ(taken(latticechecksumv441("demo", 12)),
            filemodel("x", 12) ^ filemodel("b", 12));
  EXPECT_EQ(fakeparses, 3);
}

// ---- the check function ----

namespace {
Result line(const char* genome, const char* text) {
  return Result{strdup(genome), strdup(text), strtod(text, nullptr)};
}
}  // namespace

TEST_F(ResultsDir, OrdaxChecksumChoosesTheSchemeByVersion) {
  lattice("demo", "S1 1 2 3");
  fs::create_directories("datafiles");
  writefile("datafiles/m.dat", "map");
  checksum_machinecell = fakemachine;
  fakecells = {{{"file", "m.dat"}}, {{"file", "m.dat"}}};  // v44 and v441 differ
  Genome g = makegenome({{"zsrc", 500}, {"rotsrc", 42}, {"#gen", 1}, {"#runs", 5}});
  const char* gt = "zsrc=500;rotsrc=042;#gen=1;#runs=5;";
  auto check = [&](const char* text) {
    Result r = line(gt, text);
    CheckVal c = ordaxchecksum(r);
    Result_free(r);
    return c;
  };
  auto x = [](CheckVal a, CheckVal b) { return CheckVal_XOR(a, b); };
  {
    SCOPED_TRACE("4.1: the constant");
    EXPECT_EQ(hexof(check("12.345679 (2345.7 Mpts) [v4.1] <demo> {00}")), "3C91E6A5");
  }
  {
    SCOPED_TRACE("4.3 and no version: 4 bytes, plain XOR");
    CheckVal want = x(x(genomechecksum(g, 4), scorechecksum(12.345679, 6, 4)),
                      x(scorechecksum(2345.7, 1, 4), latticechecksum("demo", 4)));
    std::string w = hexof(want);
    EXPECT_EQ(hexof(check("12.345679 (2345.7 Mpts) [v4.3] <demo>")), w);
    EXPECT_EQ(hexof(check("12.345679 (2345.7 Mpts) <demo>")), w);
  }
  {
    SCOPED_TRACE("4.4 and 4.41: 12 bytes, the v44 sums");
    auto base = [&]() {
      return x(x(genomechecksum(g, 12), scorechecksumv44(12.345679, 6, 12)),
               scorechecksumv44(2345.7, 1, 12));
    };
    EXPECT_EQ(hexof(check("12.345679 (2345.7 Mpts) [v4.4] <demo>")),
              hexof(x(base(), latticechecksumv44("demo", 12))));
    EXPECT_EQ(hexof(check("12.345679 (2345.7 Mpts) [v4.41] <demo>")),
              hexof(x(base(), latticechecksumv441("demo", 12))));
  }
  {
    SCOPED_TRACE("4.47: mixed");
    CheckVal l = CheckVal_mix(latticechecksumv441("demo", 12));
    CheckVal c = CheckVal_mix(scorechecksumv44(2345.7, 1, 12));
    CheckVal s = CheckVal_mix(scorechecksumv44(12.345679, 6, 12));
    CheckVal gg = CheckVal_mix(genomechecksum(g, 12));
    CheckVal want = CheckVal_mix(x(gg, CheckVal_mix(x(s, CheckVal_mix(x(c, l))))));
    EXPECT_EQ(hexof(check("12.345679 (2345.7 Mpts) [v4.47_dev] <demo> {00} ")), hexof(want));
  }
  Genome_free(g);
}

// A queued line is checked with the trimmed mean of its scores: 1 … 5 check as 3.
TEST_F(ResultsDir, OrdaxChecksumOfAQueuedLineUsesTheTrimmedMean) {
  lattice("demo", "S1 1 2 3");
  checksum_machinecell = nullptr;
  Result q = line("a=1;", "1.000000,2.000000,3.000000,4.000000,5.000000 (9.0 Mpts) [v4.47_dev] <demo>");
  Result s = line("a=1;", "3.000000 (9.0 Mpts) [v4.47_dev] <demo>");
  EXPECT_EQ(hexof(ordaxchecksum(q)), hexof(ordaxchecksum(s)));
  Result_free(q);
  Result_free(s);
}

// The worked example's result, its lattice file fixed below and no data files. The expected
// line is the frozen definition of the v4.42+ scheme (recurrence, sums and their order), not a
// computed expectation: if this fails, stored results would stop validating.
TEST_F(ResultsDir, WorkedExampleCheckValueIsFrozen) {
  lattice("demo", "Solenoid(S) Radius/m Field/T Length/m\r\nS1 0.3 [0,1] 2.0\r\ndemo S1\r\n");
  checksum_machinecell = nullptr;
  Genome g = makegenome({{"zsrc", 500}, {"rotsrc", 42}, {"#gen", 1}, {"#runs", 5}});
  Result r = Result_create(g, 12.3456789, 2345.67, "v4.47_dev", "demo", "", &RUNFORMAT,
                           ordaxchecksum);
  EXPECT_STREQ(r.text, "12.345679 (2345.7 Mpts) [v4.47_dev] <demo> {D4842A69CBF978A82D1423E5} ");
  EXPECT_EQ(Result_valid(r, nullptr, ordaxchecksum, 0), 1);
  Result_free(r);
  Genome_free(g);
}

// ---- the auto-save signature ----

TEST(AutosaveChecksum, HandComputedWords) {
  unsigned len = 0;
  EXPECT_EQ(autosave_checksum(nullptr, 10, &len), nullptr);
  EXPECT_EQ(len, 40u);
  const unsigned char three[3] = {9, 9, 9};
  unsigned char* s = autosave_checksum(three, 3, &len);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(s, s + 40), std::vector<unsigned char>(40, 0));
  free(s);
  // Bytes 10 … 13 are 1 2 3 4, the rest 0: the windows at 7, 8, 9 and 10 are non-zero, the
  // last one wrapping into word 0. (1·0<<16)^(17<<9)^0 = 8704; (41<<9) = 20992;
  // (3<<16)^(68<<9) = 231424; (8<<16)^(96<<9)^3 = 0x8C003.
  unsigned char buf[14] = {0};
  buf[10] = 1, buf[11] = 2, buf[12] = 3, buf[13] = 4;
  s = autosave_checksum(buf, 14, &len);
  ASSERT_NE(s, nullptr);
  uint32_t w[10];
  for (int k = 0; k < 10; k++)
    w[k] = s[4 * k] | s[4 * k + 1] << 8 | s[4 * k + 2] << 16 | (uint32_t)s[4 * k + 3] << 24;
  free(s);
  EXPECT_EQ(w[0], 0x8C003u);
  EXPECT_EQ(w[7], 8704u);
  EXPECT_EQ(w[8], 20992u);
  EXPECT_EQ(w[9], 231424u);
  for (int k : {1, 2, 3, 4, 5, 6}) EXPECT_EQ(w[k], 0u) << k;
}
