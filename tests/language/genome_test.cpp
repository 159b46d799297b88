#include "language/genome.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/random.h"
#include "tests/support/support.h"

namespace {

std::string text(const Genome& g) {
  return Genome_string(g);
}

using testsupport::streamwith;
using testsupport::streambytes;

// The names live in one text buffer that moves as it grows.
TEST(Genome, NamesSurviveTheGrowthOfTheBuffers) {
  Genome g = Genome_new();
  EXPECT_EQ(g.count, 0);
  EXPECT_EQ(g.sigfigs, 3);
  EXPECT_EQ(g.names, nullptr);
  for (int i = 0; i < 40; i++) {
    std::string name = "Gene" + std::string((size_t)(i % 7), 'X') + std::to_string(i);
    EXPECT_EQ(gassignnew(&g, name.c_str(), i), i);
    ASSERT_LE(g.textused, g.textcapacity);
  }
  // Every name survived the moves of the text buffer, lower-cased.
  for (int i = 0; i < 40; i++) {
    std::string name = "gene" + std::string((size_t)(i % 7), 'x') + std::to_string(i);
    EXPECT_STREQ(g.names[i], name.c_str());
    EXPECT_EQ(g.values[i], i);
  }
  // Removing never gives text back.
  uint32_t before = g.textused;
  gunassign(&g, "gene0");
  EXPECT_EQ(g.textused, before);
  Genome_clear(&g);
  EXPECT_EQ(g.count, 0);
  EXPECT_EQ(g.capacity, 0);
  EXPECT_EQ(g.textcapacity, 0u);
  EXPECT_EQ(g.sigfigs, 3);
}

TEST(Genome, ClampAppliesToParametersNotHashFields) {
  Genome g = Genome_new();
  gassign(&g, "a", 5000);
  gassign(&g, "#a", 5000);
  gassign(&g, "b", -3);
  gassign(&g, "#b", -3);
  EXPECT_EQ(graw(&g, "a"), 999);
  EXPECT_EQ(graw(&g, "#a"), 5000);
  EXPECT_EQ(graw(&g, "b"), 0);
  EXPECT_EQ(graw(&g, "#b"), -3);
  // gassignnew stores as given, even out of range.
  gassignnew(&g, "c", 5000);
  EXPECT_EQ(graw(&g, "c"), 5000);
  // The clamp follows the resolution.
  Genome_altersigfigs(&g, 5);
  gassign(&g, "d", 123456);
  EXPECT_EQ(graw(&g, "d"), 99999);
  Genome_free(g);
}

TEST(Genome, NamesAreStoredLowerCaseAndFoundInAnyCase) {
  Genome g = Genome_new();
  int i = gassign(&g, "ZSrc", 500);
  EXPECT_STREQ(g.names[i], "zsrc");
  EXPECT_EQ(graw(&g, "ZSRC"), 500);
  EXPECT_EQ(graw(&g, "zsrc"), 500);
  EXPECT_TRUE(ghas(&g, "zSrC"));
  EXPECT_FALSE(ghas(&g, "zsr"));
  EXPECT_FALSE(ghas(&g, "zsrcx"));
  EXPECT_EQ(graw(&g, "other"), -1);
  // Overwriting in another case keeps one gene.
  EXPECT_EQ(gassign(&g, "ZSRC", 7), i);
  EXPECT_EQ(g.count, 1);
  EXPECT_EQ(graw(&g, "zsrc"), 7);
  Genome_free(g);
}

TEST(Genome, AssignOverwritesFirstAndUnassignRemovesLast) {
  Genome g = Genome_new();
  gassignnew(&g, "a", 1);
  gassignnew(&g, "b", 2);
  gassignnew(&g, "a", 3);
  gassignnew(&g, "c", 4);
  EXPECT_EQ(gassign(&g, "a", 10), 0);  // the first "a"
  EXPECT_EQ(text(g), "a=010;b=002;a=003;c=004;");
  gunassign(&g, "A");  // the last "a" (index 2) is replaced by the last gene
  EXPECT_EQ(text(g), "a=010;b=002;c=004;");
  gunassign(&g, "nothere");
  EXPECT_EQ(g.count, 3);
  gunassign(&g, "a");
  EXPECT_EQ(text(g), "c=004;b=002;");
  gunassign(&g, "b");  // the last gene itself
  EXPECT_EQ(text(g), "c=004;");
  Genome_free(g);
}

TEST(Genome, ValueEndsAreExactAndIntegerParametersShareEqually) {
  struct Range {
    double min, max;
  };
  const Range ranges[] = {{0, 1}, {0.1, 0.7}, {-1e-3, 3.3}, {1e-30, 1e30}, {-7.25, -0.1},
                          {2.9e8, 2.99792458e8}};
  for (const Range& r : ranges) {
    SCOPED_TRACE(std::to_string(r.min) + " .. " + std::to_string(r.max));
    Genome g = Genome_new();
    gassign(&g, "lo", 0);
    gassign(&g, "hi", 999);
    gassign(&g, "mid", 333);
    EXPECT_EQ(gvalue(&g, "lo", r.min, r.max), r.min);
    EXPECT_EQ(gvalue(&g, "hi", r.min, r.max), r.max);
    EXPECT_NEAR(gvalue(&g, "mid", r.min, r.max), r.min + (r.max - r.min) / 3,
                1e-12 * (std::fabs(r.min) + std::fabs(r.max)));
    Genome_free(g);
  }
  // gint(1, 4) at 3 digits: quarters of the raw range.
  Genome g = Genome_new();
  for (int raw = 0; raw <= 999; raw++) {
    gassign(&g, "n", raw);
    ASSERT_EQ(gint(&g, "n", 1, 4), 1 + raw / 250) << "raw " << raw;
  }
  // A range of one value, and a negative range.
  gassign(&g, "n", 999);
  EXPECT_EQ(gint(&g, "n", 5, 5), 5);
  EXPECT_EQ(gint(&g, "n", -3, -1), -1);
  gassign(&g, "n", 0);
  EXPECT_EQ(gint(&g, "n", -3, -1), -3);
  // A hash field beyond the range is capped at max; no overflow on wide ranges.
  gassign(&g, "#n", 2000000000);
  EXPECT_EQ(gint(&g, "#n", 0, 10), 10);
  gassign(&g, "w", 999);
  EXPECT_EQ(gint(&g, "w", -2000000000, 2000000000), 1996000000);
  Genome_free(g);
}

TEST(Genome, SetValueStoresNearestGridPoint) {
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  for (int t = 0; t < 2000; t++) {
    double min = -10 + 20 * u(rng), max = min + 1e-3 + 50 * u(rng);
    double x = min + (max - min) * u(rng);
    Genome g = Genome_new();
    gsetvalue(&g, "p", x, min, max);
    double step = (max - min) / 999;
    double got = gvalue(&g, "p", min, max);
    // The stored point is the nearest of the 1000 grid points.
    long k = std::lround((x - min) / step);
    ASSERT_NEAR(got, min + k * step, 1e-9 * (max - min)) << "x " << x;
    ASSERT_LE(std::fabs(got - x), step / 2 + 1e-9 * (max - min));
    Genome_free(g);
  }
  Genome g = Genome_new();
  gsetvalue(&g, "p", -100, 0, 1);
  EXPECT_EQ(graw(&g, "p"), 0);
  gsetvalue(&g, "p", 100, 0, 1);
  EXPECT_EQ(graw(&g, "p"), 999);
  gsetvalue(&g, "p", NAN, 0, 1);
  EXPECT_EQ(graw(&g, "p"), 0);
  gsetvalue(&g, "q", 1, 1, 1);  // empty range: 0/0
  EXPECT_EQ(graw(&g, "q"), 0);
  gsetvalue(&g, "p", 0.5, 0, 1);  // 0.5·999 + 0.5 = 500
  EXPECT_EQ(graw(&g, "p"), 500);
  EXPECT_EQ(g.count, 2);
  Genome_free(g);
}

int32_t fixedhook(const char*, const Genome*) {
  return 5000;
}

TEST(Genome, MissingGenesComeFromTheNullHook) {
  GnullFunction saved = gnull;
  gnull = fixedhook;
  Genome g = Genome_new();
  EXPECT_EQ(gvalue(&g, "new", 0, 2), 2.0);  // 5000 clamped to 999
  EXPECT_EQ(graw(&g, "new"), 999);
  EXPECT_EQ(gint(&g, "other", 0, 9), 9);
  EXPECT_EQ(graw(&g, "other"), 999);
  gvalue(&g, "#h", 0, 1);
  EXPECT_EQ(graw(&g, "#h"), 5000);  // hash fields are not clamped
  EXPECT_EQ(g.count, 3);
  gnull = saved;
  Genome_free(g);

  // gnull_random against an exact integer model: floor((r2 + r1/2^15)·R/2^15) is
  // ((r2·2^15 + r1)·R) >> 30.
  for (int sig = 1; sig <= 9; sig++) {
    for (uint32_t seed = 1; seed < 200; seed++) {
      Genome h = Genome_new();
      h.sigfigs = sig;
      srand15(seed);
      int64_t r1 = rand15(), r2 = rand15();
      int64_t expect = ((r2 * 32768 + r1) * (int64_t)Genome_resolution(sig)) >> 30;
      srand15(seed);
      ASSERT_EQ(gnull_random("x", &h), expect) << "digits " << sig << " seed " << seed;
    }
  }
}

TEST(Genome, TextFormReadsAndWrites) {
  Genome g = Genome_new();
  gassign(&g, "zsrc", 500);
  gassign(&g, "rotsrc", 42);
  gassign(&g, "#runs", 12);
  EXPECT_EQ(text(g), "zsrc=500;rotsrc=042;#runs=12;");
  Genome_free(g);

  Genome a = Genome_fromstring("a=5;#h=7;", 0);
  EXPECT_EQ(text(a), "a=005;");
  Genome b = Genome_fromstring("a=5;#h=7;", 1);
  EXPECT_EQ(text(b), "a=005;#h=7;");
  Genome c = Genome_fromstring("a=1234;b=-3;", 0);
  EXPECT_EQ(graw(&c, "a"), 999);
  EXPECT_EQ(graw(&c, "b"), 0);
  Genome d = Genome_fromstring("A=1;a=2;#N=-40;", 1);  // duplicates kept, names lower-cased
  EXPECT_EQ(text(d), "a=001;a=002;#n=-40;");
  Genome e = Genome_fromstring("", 1);
  EXPECT_EQ(e.count, 0);
  EXPECT_EQ(e.sigfigs, 3);
  for (Genome* x : {&a, &b, &c, &d, &e}) Genome_free(*x);

  // Round trip at 3 digits for random genomes.
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int t = 0; t < 200; t++) {
    Genome r = Genome_new();
    int n = (int)(rng() % 12);
    for (int i = 0; i < n; i++) {
      std::string name = (rng() % 4 == 0 ? "#" : "") + std::string("p") + std::to_string(rng() % 8);
      gassignnew(&r, name.c_str(), name[0] == '#' ? (int32_t)rng() : (int32_t)(rng() % 1000));
    }
    Genome back = Genome_fromstring(text(r).c_str(), 1);
    ASSERT_EQ(text(back), text(r));
    Genome_free(back);
    Genome_free(r);
  }
}

TEST(Genome, MalformedTextKeepsWellFormedItems) {
  struct Case {
    const char* in;
    const char* out;  // text form of what is read, hash fields kept
  };
  const std::string longname(10000, 'N');
  const std::string longitem = longname + "=5;";
  const Case cases[] = {
      {"a=1;;b=2;", "a=001;b=002;"},
      {";;;", ""},
      {"=5;b=2;", "b=002;"},
      {"a=;b=2;", "b=002;"},
      {"a=x;b=2;", "b=002;"},
      {"a=5", ""},
      {"b=2;a=5", "b=002;"},
      {"junk;b=2;", "b=002;"},
      {"a=99999999999;#h=99999999999;#l=-99999999999;", "a=999;#h=2147483647;#l=-2147483648;"},
      {"a= 7;b=+8;c=9x;", "a=007;b=008;c=009;"},
      {"a=b=5;", "a=b=005;"},
      {"#=3;", "#=3;"},
      {longitem.c_str(), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.in).substr(0, 40));
    Genome g = Genome_fromstring(c.in, 1);
    if (c.out) {
      EXPECT_EQ(text(g), c.out);
    } else {
      ASSERT_EQ(g.count, 1);
      EXPECT_EQ(std::string(g.names[0]), std::string(10000, 'n'));
      EXPECT_EQ(g.values[0], 5);
    }
    Genome_free(g);
  }
}

TEST(Genome, FileTextMatchesStringForm) {
  for (int sig = 1; sig <= 9; sig++) {
    SCOPED_TRACE(sig);
    Genome g = Genome_new();
    g.sigfigs = sig;
    int32_t top = Genome_resolution(sig) - 1;
    gassign(&g, "lo", 0);
    gassign(&g, "hi", top);
    gassign(&g, "mid", top / 7);
    gassign(&g, "#h", -12);
    FILE* f = tmpfile();
    Genome_fwrite(&g, f);
    std::vector<unsigned char> bytes = streambytes(f);
    fclose(f);
    std::string written(bytes.begin(), bytes.end());
    EXPECT_EQ(written, text(g) + "\n");
    // Exactly sig digits for each parameter.
    std::string digits = std::to_string(top / 7);
    EXPECT_NE(written.find("mid=" + std::string(sig - digits.size(), '0') + digits + ";"),
              std::string::npos);
    Genome_free(g);
  }
}

TEST(Genome, CopySortStripAndIdentity) {
  Genome g = Genome_fromstring("zeta=1;#run=4;Alpha=2;mid=3;#b=9;", 1);
  Genome c = Genome_copyof(g);
  EXPECT_NE(c.text, g.text);
  EXPECT_EQ(text(c), text(g));
  gassign(&c, "alpha", 900);
  EXPECT_EQ(graw(&g, "alpha"), 2);  // deep
  Genome empty = Genome_new();
  empty.sigfigs = 6;
  Genome ec = Genome_copyof(empty);
  EXPECT_EQ(ec.count, 0);
  EXPECT_EQ(ec.sigfigs, 3);

  Genome s = Genome_copyof(g);
  Genome_sort(&s);
  EXPECT_EQ(text(s), "#b=9;#run=4;alpha=002;mid=003;zeta=001;");
  GenBit x{"Apple", 0}, y{"apple", 1}, z{"b", 2};
  EXPECT_EQ(GenBit_cmp(&x, &y), 0);
  EXPECT_LT(GenBit_cmp(&x, &z), 0);
  EXPECT_GT(GenBit_cmp(&z, &y), 0);

  // Strip from the last gene: #b is replaced by nothing (it is last), then #run by mid.
  Genome t = Genome_copyof(g);
  Genome_striphashfields(&t);
  EXPECT_EQ(text(t), "zeta=001;mid=003;alpha=002;");

  EXPECT_TRUE(Genome_identical(g, s));  // same genes, other order
  Genome fewer = Genome_fromstring("zeta=1;#run=4;Alpha=2;mid=3;", 1);
  EXPECT_FALSE(Genome_identical(fewer, g));
  EXPECT_FALSE(Genome_identical(g, fewer));
  Genome changed = Genome_fromstring("zeta=1;#run=4;Alpha=2;mid=4;#b=9;", 1);
  EXPECT_FALSE(Genome_identical(g, changed));
  Genome other = Genome_copyof(g);
  other.sigfigs = 5;
  EXPECT_TRUE(Genome_identical(g, other));  // sigfigs not compared
  for (Genome* p : {&g, &c, &empty, &ec, &s, &t, &fewer, &changed, &other}) Genome_free(*p);
}

TEST(Genome, AlterSigfigsRescalesEveryValue) {
  for (int from = 1; from <= 9; from++) {
    for (int to = 1; to <= 9; to++) {
      SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
      Genome g = Genome_new();
      g.sigfigs = from;
      int64_t rf = Genome_resolution(from) - 1, rt = Genome_resolution(to) - 1;
      std::vector<int32_t> raws = {0, 1, (int32_t)(rf / 2), (int32_t)(rf / 3), (int32_t)rf};
      for (size_t i = 0; i < raws.size(); i++)
        gassignnew(&g, ("g" + std::to_string(i)).c_str(), raws[i]);
      gassignnew(&g, "#h", 7);
      Genome_altersigfigs(&g, to);
      EXPECT_EQ(g.sigfigs, to);
      for (size_t i = 0; i < raws.size(); i++) {
        // trunc(raw·rt/rf + 1/2) in exact rational arithmetic.
        int64_t expect = (2 * raws[i] * rt + rf) / (2 * rf);
        EXPECT_EQ(g.values[i], expect) << "raw " << raws[i];
      }
      EXPECT_EQ(g.values[raws.size()], (2 * 7 * rt + rf) / (2 * rf));
      Genome_free(g);
    }
  }
  Genome g = Genome_fromstring("a=500;", 0);
  Genome_altersigfigs(&g, 0);
  Genome_altersigfigs(&g, 10);
  EXPECT_EQ(g.sigfigs, 3);
  EXPECT_EQ(graw(&g, "a"), 500);
  Genome_free(g);
}

TEST(Genome, BinaryFormHasExactLayoutAndRoundTrips) {
  Genome g = Genome_new();
  gassign(&g, "Ab", 258);
  gassign(&g, "#r", -2);
  FILE* f = tmpfile();
  Genome_write(&g, f);
  const std::vector<unsigned char> expect = {2, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0, 2, 1, 0, 0,
                                             '#', 'r', 0, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(streambytes(f), expect);
  rewind(f);
  Genome back = Genome_fromstring("junk=1;", 0);  // what it held is freed
  ASSERT_EQ(Genome_read(&back, f), 1);
  EXPECT_TRUE(Genome_identical(back, g));
  EXPECT_EQ(back.sigfigs, 3);
  fclose(f);

  // Values are clamped with the resolution read; a repeated name overwrites.
  std::vector<unsigned char> bytes = {3, 0, 0, 0, 2, 0, 0, 0, 'x', 0, 0xE8, 3, 0, 0,
                                      '#', 'y', 0, 0xE8, 3, 0, 0, 'X', 0, 5, 0, 0, 0};
  f = streamwith(bytes);
  ASSERT_EQ(Genome_read(&back, f), 1);
  EXPECT_EQ(back.sigfigs, 2);
  EXPECT_EQ(text(back), "x=05;#y=1000;");
  fclose(f);

  // The no-genome marker survives.
  Genome none = Genome_none();
  f = tmpfile();
  Genome_write(&none, f);
  rewind(f);
  ASSERT_EQ(Genome_read(&back, f), 1);
  EXPECT_EQ(back.count, -1);
  fclose(f);

  // Random round trips at random digits.
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int t = 0; t < 100; t++) {
    Genome r = Genome_new();
    r.sigfigs = 1 + (int)(rng() % 9);
    int n = (int)(rng() % 10);
    for (int i = 0; i < n; i++) {
      std::string name = (rng() % 3 == 0 ? "#n" : "n") + std::to_string(i);
      gassign(&r, name.c_str(), (int32_t)rng());
    }
    f = tmpfile();
    Genome_write(&r, f);
    rewind(f);
    ASSERT_EQ(Genome_read(&back, f), 1);
    EXPECT_EQ(back.sigfigs, r.sigfigs);
    EXPECT_EQ(text(back), text(r));
    fclose(f);
    Genome_free(r);
  }
  Genome_free(back);
  Genome_free(g);
}

TEST(Genome, TruncatedOrDamagedBinaryIsRejected) {
  Genome g = Genome_fromstring("alpha=1;beta=22;#c=333;", 1);
  FILE* f = tmpfile();
  Genome_write(&g, f);
  std::vector<unsigned char> full = streambytes(f);
  fclose(f);
  // A trailing record after the genome must stay unread.
  for (size_t len = 0; len < full.size(); len++) {
    SCOPED_TRACE(len);
    std::vector<unsigned char> cut(full.begin(), full.begin() + (long)len);
    f = streamwith(cut);
    Genome r = Genome_fromstring("x=1;", 0);
    EXPECT_EQ(Genome_read(&r, f), 0);
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(ftell(f), (long)len);  // read up to the end and no further
    fclose(f);
    Genome_free(r);
  }
  std::vector<unsigned char> more = full;
  more.push_back('Z');
  f = streamwith(more);
  Genome r = Genome_new();
  EXPECT_EQ(Genome_read(&r, f), 1);
  EXPECT_EQ(ftell(f), (long)full.size());
  fclose(f);

  // Impossible counts and digits, and a huge count over a short stream.
  const std::vector<std::vector<unsigned char>> damaged = {
      {0xFE, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0},                  // count −2
      {1, 0, 0, 0, 0, 0, 0, 0, 'a', 0, 1, 0, 0, 0},          // 0 digits
      {1, 0, 0, 0, 10, 0, 0, 0, 'a', 0, 1, 0, 0, 0},         // 10 digits
      {0xFF, 0xFF, 0xFF, 0x7F, 3, 0, 0, 0, 'a', 0, 1, 0, 0, 0}};  // 2^31−1 genes, one given
  for (const auto& bytes : damaged) {
    f = streamwith(bytes);
    EXPECT_EQ(Genome_read(&r, f), 0);
    EXPECT_EQ(r.count, 0);
    fclose(f);
  }
  Genome_free(r);
  Genome_free(g);
}

TEST(Genome, PrintoutAndDebugLog) {
  Genome g = Genome_fromstring("a=5;#h=7;", 1);
  testing::internal::CaptureStdout();
  Genome_printout("best", g);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "best : a=005;#h=7;\n");

  testsupport::WorkDir dir("ordax_genome");
  Genome_DEBUG("one ", g);  // creates tech/ and the log
  Genome_DEBUG("two ", g);  // appends
  EXPECT_EQ(dir.read("tech/log.txt"), "one a=005;#h=7;\ntwo a=005;#h=7;\n");
  Genome_free(g);
}

}  // namespace
