// Binary results files: a golden file laid out by hand (the writer reproduces it byte for
// byte, the reader gives back the lines), seeded random round trips over two lattices with
// different gene tables, and a table of hostile headers and records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/report.h"
#include "language/genome.h"
#include "results/binary.h"
#include "results/results.h"
#include "tests/support/support.h"

namespace {

const ResultFormat kRun = {3, 6, 1, "Mpts"};

using Capture = testsupport::Messages;

Result makeresult(const char* genome, const char* line) {
  return Result{strdup(genome), strdup(line), strtod(line, nullptr)};
}

// Little-endian bytes laid out by hand.
struct Bytes {
  std::string s;
  ByteWriter w = bytewriter_string(&s);
  Bytes& i32(int32_t v) { return bw_i32(&w, v), *this; }
  Bytes& f64(double v) { return bw_f64(&w, v), *this; }
  Bytes& f32(float v) { return bw_f32(&w, v), *this; }
  Bytes& u8(uint8_t v) { return bw_u8(&w, v), *this; }
  Bytes& raw(const std::string& t) { return bw_bytes(&w, t.data(), t.size()), *this; }
  Bytes& text(const std::string& t) { return raw(t).u8(0); }
};

LSet readmemory(const std::string& bytes) {
  ByteReader r = bytereader_memory(bytes.data(), bytes.size());
  return Results_read_Binary(&r, &kRun);
}

const char* kLine1 = "12.345679 (2345.7 Mpts) [v4.47a] <demo> {0C0B0A090807060504030201} ";
const char* kLine2 = "3.500000 (10.0 Mpts) [v4.47a] <demo> ";

// The two results of the golden file, as the layout describes them.
std::string golden() {
  Bytes b;
  b.raw("RB01").i32(2).i32(2).i32(10).i32(1).text("demo").text("rotsrc").text("zsrc").i32(8);
  const std::pair<int, const char*> fields[] = {{8, "score"}, {8, "calc"}, {4, "ver"},
                                                {1, "verx"},  {4, "chl"},  {12, "chk"},
                                                {4, "opt"},   {4, "#runs"}};
  for (auto [size, name] : fields) b.i32(size).text(name);
  b.f64(12.345679).f64(2345.7).f32(4.47f).u8('a').i32(12);
  for (int i = 1; i <= 12; i++) b.u8((uint8_t)i);
  b.i32(0).i32(5).raw(std::string("\x2A\xD0\x07", 3));  // 42 | 500 << 10
  b.f64(3.5).f64(10.0).f32(4.47f).u8('a').i32(0).raw(std::string(12, '\0'));
  b.i32(0).i32(1).raw(std::string("\xFF\x1F\x00", 3));  // missing (1023) | 7 << 10
  return b.s;
}

TEST(ResultBinary, GoldenFileWrittenAndReadByteForByte) {
  Capture cap;
  LSet set = LSet_new(sizeof(Result));
  LSet_addv(&set, makeresult("rotsrc=042;zsrc=500;#runs=5;", kLine1));
  LSet_addv(&set, makeresult("zsrc=007;#runs=1;", kLine2));
  std::string out;
  ByteWriter w = bytewriter_string(&out);
  ASSERT_EQ(Results_write_Binary(set, &w), 1);
  EXPECT_EQ(out, golden());
  Results_free(set);

  LSet back = readmemory(golden());
  ASSERT_EQ(back.count, 2u);
  EXPECT_STREQ(LSet_at<Result>(back, 0).text, kLine1);
  EXPECT_STREQ(LSet_at<Result>(back, 0).genome, "rotsrc=042;zsrc=500;#runs=5;");
  EXPECT_STREQ(LSet_at<Result>(back, 1).text, kLine2);
  EXPECT_STREQ(LSet_at<Result>(back, 1).genome, "zsrc=007;#runs=1;");
  Results_free(back);
  EXPECT_EQ(cap.all, (std::vector<std::string>{"Binary saving results...",
                                                   "Binary loading results..."}));
}

TEST(ResultBinary, RandomSetsRoundTrip) {
  const char* lattices[] = {"alpha", "Beta_2", nullptr};
  const std::vector<std::string> genes[] = {{"a1", "a2", "a3"}, {"b1", "z_z-1", "b2", "c9"}, {}};
  const char* versions[] = {"v4.47_dev", "v4.46b", "v4.5"};
  for (uint32_t seed = 1; seed <= 20; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Capture cap;
    std::mt19937 rng(seed);
    LSet set = LSet_new(sizeof(Result));
    int n = 1 + (int)(rng() % 250);
    for (int i = 0; i < n; i++) {
      int l = (int)(rng() % 3);
      Genome g = Genome_new();
      for (const std::string& name : genes[l])
        if (rng() % 5) gassign(&g, name.c_str(), (int32_t)(rng() % 1000));
      if (rng() % 2) gassign(&g, "#runs", (int32_t)(rng() % 9));
      if (rng() % 3 == 0) gassign(&g, "#gen", (int32_t)(rng() % 100000));
      CheckVal c = CheckVal_new(rng() % 4 ? 12 : 0);
      for (uint32_t k = 0; k < c.length; k++) c.bytes[k] = (unsigned char)rng();
      double score = (double)(rng() % 100000000) / 1e6;
      double calc = (double)(rng() % 100000) / 10.0;
      Result r = Result_createliteral(g, score, calc, versions[rng() % 3], lattices[l], c, "",
                                      &kRun);
      LSet_add(&set, &r);
      CheckVal_free(c);
      Genome_free(g);
    }
    std::string bytes;
    ByteWriter w = bytewriter_string(&bytes);
    ASSERT_EQ(Results_write_Binary(set, &w), 1);
    LSet back = readmemory(bytes);
    ASSERT_EQ(back.count, set.count);
    for (uint32_t i = 0; i < set.count; i++) {
      const Result& a = LSet_at<Result>(set, i);
      const Result& b = LSet_at<Result>(back, i);
      EXPECT_STREQ(a.text, b.text);
      Genome ga = Result_genome(a, 1), gb = Result_genome(b, 1);
      EXPECT_TRUE(Genome_identical(ga, gb)) << a.genome << " / " << b.genome;
      Genome_free(ga);
      Genome_free(gb);
    }
    Results_free(back);
    Results_free(set);
    for (const std::string& m : cap.all) EXPECT_EQ(m.find("[WARNING]"), std::string::npos);
  }
}

// A header of one lattice "demo" with genes g1, g2 and the given fields, then records.
struct FileForm {
  int32_t count = 1, maxgenes = 2, bits = 10, lattices = 1;
  std::string latname = "demo", gene1 = "g1";
  std::vector<std::pair<int32_t, std::string>> fields = {
      {8, "score"}, {8, "calc"}, {4, "ver"}, {1, "verx"}, {4, "chl"}, {1, "chk"}, {4, "opt"}};
};

std::string header(const FileForm& f) {
  Bytes b;
  b.raw("RB01").i32(f.count).i32(f.maxgenes).i32(f.bits).i32(f.lattices);
  if (f.lattices == 1) b.text(f.latname).text(f.gene1).text("g2");
  b.i32((int32_t)f.fields.size());
  for (auto& [size, name] : f.fields) b.i32(size).text(name);
  return b.s;
}

std::string record(double score, uint8_t verx, int32_t opt = 0, const std::string& extra = "") {
  Bytes b;
  b.f64(score).f64(1.0).f32(4.47f).u8(verx).i32(0).u8(0).i32(opt).raw(extra);
  b.raw(std::string("\x05\x0C\x00", 3));  // g1 = 5, g2 = 3
  return b.s;
}

TEST(ResultBinary, HostileHeadersGiveAnEmptySet) {
  struct Case {
    const char* what;
    FileForm form;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change) {
    FileForm f;
    change(f);
    cases.push_back({what, f});
  };
  add("negative count", [](FileForm& f) { f.count = -1; });
  add("too many genes", [](FileForm& f) { f.maxgenes = 1000001; });
  add("bits 0", [](FileForm& f) { f.bits = 0; });
  add("bits 26", [](FileForm& f) { f.bits = 26; });
  add("lattice count beyond the file", [](FileForm& f) { f.lattices = 1 << 30; });
  add("empty lattice name", [](FileForm& f) { f.latname = ""; });
  add("control byte in a lattice name", [](FileForm& f) { f.latname = "de\x01mo"; });
  add("control byte in a gene name", [](FileForm& f) { f.gene1 = "g\x1f"; });
  add("overlong name", [](FileForm& f) { f.latname = std::string(300, 'a'); });
  add("score of 4 bytes", [](FileForm& f) { f.fields[0].first = 4; });
  add("chk of 0 bytes", [](FileForm& f) { f.fields[5].first = 0; });
  add("chk of 1025 bytes", [](FileForm& f) { f.fields[5].first = 1025; });
  add("negative field size", [](FileForm& f) { f.fields.push_back({-4, "x"}); });
  add("unknown field of 2000 bytes", [](FileForm& f) { f.fields.push_back({2000, "x"}); });
  add("hash field of 8 bytes", [](FileForm& f) { f.fields.push_back({8, "#runs"}); });
  add("record over 1 MB", [](FileForm& f) {
    for (int i = 0; i < 1100; i++) f.fields.push_back({1000, "u"});
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Capture cap;
    std::string bytes = header(c.form);
    for (int i = 0; i < 3; i++) bytes += record(1.0, 'a');
    LSet set = readmemory(bytes);
    EXPECT_EQ(set.count, 0u);
    Results_free(set);
    EXPECT_EQ(cap.all, std::vector<std::string>{"Binary loading results..."});
  }
  Capture cap;  // another magic: nothing at all
  LSet set = readmemory("RB02" + header(FileForm()).substr(4) + record(1.0, 'a'));
  EXPECT_EQ(set.count, 0u);
  EXPECT_TRUE(cap.all.empty());
  Results_free(set);
  std::string whole = header(FileForm()) + record(1.0, 'a');
  for (size_t cut = 0; cut < whole.size(); cut++) {  // every truncation: no result, no crash
    LSet part = readmemory(whole.substr(0, cut));
    EXPECT_EQ(part.count, 0u) << cut;
    Results_free(part);
  }
}

TEST(ResultBinary, BrokenRecordsAreSkipped) {
  struct Case {
    const char* what;
    FileForm form;
    std::string records;
    std::vector<std::string> lines;
    std::vector<std::string> warnings;
  };
  FileForm plain;
  FileForm badlattice;
  badlattice.latname = "de>mo";
  FileForm badgene;
  badgene.gene1 = "g=1;";
  FileForm unknown;
  unknown.count = 3;
  unknown.fields.push_back({3, "x\x1b[FATAL]"});
  const std::string ok = "1.000000 (1.0 Mpts) [v4.47a] <demo> ";
  const std::string warn = "[WARNING] Unrecognised binary file field 'x??FATAL]'";
  Case cases[] = {
      {"plain record", plain, record(1.0, 'a'), {ok}, {}},
      {"version letter not a letter", plain, record(1.0, '{'), {}, {}},
      {"NaN score", plain, record(NAN, 'a'), {}, {}},
      {"infinite score", plain, record(-INFINITY, 'a'), {}, {}},
      {"lattice name with '>'", badlattice, record(1.0, 'a'), {}, {}},
      {"gene name with '='", badgene, record(1.0, 'a'), {}, {}},
      {"lattice index out of the table", plain, record(1.0, 'a', 7),
       {"1.000000 (1.0 Mpts) [v4.47a] "}, {}},
      {"unknown field reported once, last record cut short", unknown,
       record(1.0, 'a', 0, "abc") + record(1.0, 'a', 0, "def") +
           record(1.0, 'a', 0, "ghi").substr(0, 20),
       {ok, ok}, {warn}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Capture cap;
    LSet set = readmemory(header(c.form) + c.records);
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < set.count; i++) lines.push_back(LSet_at<Result>(set, i).text);
    EXPECT_EQ(lines, c.lines);
    for (const std::string& l : lines) EXPECT_EQ(l.find("g=1"), std::string::npos);
    std::vector<std::string> warnings;
    for (const std::string& m : cap.all)
      if (m.find("[WARNING]") != std::string::npos) warnings.push_back(m);
    EXPECT_EQ(warnings, c.warnings);
    Results_free(set);
  }
}

TEST(ResultBinary, NullFileIsFatal) {
  Capture cap;
  LSet set = Results_read_Binary((FILE*)nullptr, &kRun);
  EXPECT_EQ(set.count, 0u);
  Results_free(set);
  EXPECT_EQ(cap.all, std::vector<std::string>{"[FATAL] ResultBinaryHeader_load got passed a "
                                                  "null file.  WHAT WERE YOU THINKING?!"});
}

}  // namespace
