#include "results/results.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "language/genome.h"
#include "results_testdir.h"
#include "tests/support/helpers.h"

using namespace resultstest;

namespace {

const ResultFormat RUNFORMAT{3, 6, 1, "Mpts"};
const char* const EXAMPLE_GENOME = "zsrc=500;rotsrc=042;#gen=1;#runs=5;";
const char* const EXAMPLE_LINE =
    "12.345679 (2345.7 Mpts) [v4.47_dev] <demo> {0C0B0A090807060504030201} ";

Genome examplegenome() {
  Genome g = Genome_new();
  gassign(&g, "zsrc", 500);
  gassign(&g, "rotsrc", 42);
  gassign(&g, "#gen", 1);
  gassign(&g, "#runs", 5);
  return g;
}

CheckVal examplecheck() {
  CheckVal c = CheckVal_new(12);
  for (int i = 0; i < 12; i++) c.bytes[i] = (unsigned char)(i + 1);
  return c;
}

Result line(const char* genome, const char* text) {
  return Result{strdup(genome), strdup(text), strtod(text, nullptr)};
}

// A valid v4.47 result line of lattice `lat` with score `s` (no check value).
std::string pair(const char* genome, double s, const char* lat) {
  char buf[200];
  snprintf(buf, sizeof buf, "%s\r\n%.6f (1.0 Mpts) [v4.47_dev] <%s> \r\n", genome, s, lat);
  return buf;
}

std::vector<std::string> texts(LSet set) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < set.count; i++) out.push_back(LSet_at<Result>(set, i).text);
  return out;
}
std::vector<std::string> genomes(LSet set) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < set.count; i++) out.push_back(LSet_at<Result>(set, i).genome);
  return out;
}

// Every result Result_read finds in `path`.
std::vector<Result> readall(const char* path, const char* lattice, CheckFunction check,
                            int accept) {
  std::vector<Result> out;
  FILE* f = fopen(path, "rb");
  if (!f) return out;
  for (Result r; (r = Result_read(f, lattice, check, accept)).text;) out.push_back(r);
  fclose(f);
  return out;
}
void freeall(std::vector<Result>& rs) {
  for (Result& r : rs) Result_free(r);
  rs.clear();
}

// A check function that records what it was given and returns 0x01AB.
std::string seengenome, seentext;
double seenscore = 0;
CheckVal recordingcheck(Result r) {
  seengenome = r.genome;
  seentext = r.text;
  seenscore = r.score;
  CheckVal c = CheckVal_new(2);
  c.bytes[0] = 0xAB;
  c.bytes[1] = 0x01;
  return c;
}

}  // namespace

// ---- building the line ----

TEST(ResultLine, WorkedExampleComesOutByteForByte) {
  Genome g = examplegenome();
  CheckVal c = examplecheck();
  Result r = Result_createliteral(g, 12.3456789, 2345.67, "v4.47_dev", "demo", c, "",
                                  &RUNFORMAT);
  EXPECT_STREQ(r.genome, EXAMPLE_GENOME);
  EXPECT_STREQ(r.text, EXAMPLE_LINE);
  EXPECT_EQ(r.score, 12.345679);
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Result_write(r, f), 1);
  EXPECT_EQ(testsupport::streamtext(f), std::string(EXAMPLE_GENOME) + "\r\n" + EXAMPLE_LINE + "\r\n");
  ResultFormat fmt = Result_format(r);
  EXPECT_EQ(fmt.genomedigits, 3);
  EXPECT_EQ(fmt.scoredecimals, 6);
  EXPECT_EQ(fmt.calcdecimals, 1);
  EXPECT_STREQ(fmt.calcunits, "Mpts");
  fclose(f);
  ResultFormat_free(fmt);
  Result_free(r);
  CheckVal_free(c);
  Genome_free(g);
}

TEST(ResultLine, EachFieldAppearsOnlyWhenGiven) {
  Genome g = Genome_new();
  gassign(&g, "a", 7);
  const ResultFormat nounits{3, 2, 1, nullptr};
  struct Case {
    const char *version, *lattice, *extra;
    const ResultFormat* fmt;
    const char* want;
  } cases[] = {
      {nullptr, nullptr, nullptr, &nounits, "1.50"},
      {nullptr, nullptr, nullptr, &RUNFORMAT, "1.500000 (0.2 Mpts)"},
      {"v4.47_dev", nullptr, "", &nounits, "1.50 [v4.47_dev] "},
      {nullptr, "demo", "note", &nounits, "1.50 <demo> note"},
      {"v9", "L", nullptr, &RUNFORMAT, "1.500000 (0.2 Mpts) [v9] <L>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    Result r = Result_create(g, 1.5, 0.24, c.version, c.lattice, c.extra, c.fmt, nullptr);
    EXPECT_STREQ(r.text, c.want);
    EXPECT_STREQ(r.genome, "a=007;");
    Result_free(r);
  }
  Genome_free(g);
}

TEST(ResultLine, LiteralScoresFromOneE80AreWrittenAsZero) {
  Genome g = Genome_new();
  const ResultFormat f{3, 1, 0, nullptr};
  struct Case {
    double score;
    const char* want;
  } cases[] = {{1e80, "0.0"}, {-2e81, "0.0"}, {-7.25, "-7.2"}, {12.25, "12.2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    Result r = Result_createliteral(g, c.score, 0, nullptr, nullptr, CheckVal_null, nullptr, &f);
    EXPECT_STREQ(r.text, c.want);
    EXPECT_EQ(r.score, strtod(c.want, nullptr));
    Result_free(r);
  }
  Result big = Result_create(g, 1e80, 0, nullptr, nullptr, nullptr, &f, nullptr);
  EXPECT_EQ(strlen(big.text), 83u);  // Result_create writes it in full
  Result_free(big);
  Genome_free(g);
}

TEST(ResultLine, CheckFunctionCoversEverythingBeforeIt) {
  Genome g = examplegenome();
  Result r = Result_create(g, 3.0, 10.0, "v4.47_dev", "demo", "", &RUNFORMAT, recordingcheck);
  EXPECT_EQ(seengenome, EXAMPLE_GENOME);
  EXPECT_EQ(seentext, "3.000000 (10.0 Mpts) [v4.47_dev] <demo>");
  EXPECT_EQ(seenscore, 3.0);
  EXPECT_STREQ(r.text, "3.000000 (10.0 Mpts) [v4.47_dev] <demo> {01AB} ");
  Result_free(r);
  const double scores[] = {1, 2.5, 3};
  Result q = Result_createqueued(g, scores, 3, 10.0, "v4.47_dev", "demo", "", &RUNFORMAT,
                                 recordingcheck);
  EXPECT_EQ(seentext, "1.000000,2.500000,3.000000 (10.0 Mpts) [v4.47_dev] <demo>");
  EXPECT_STREQ(q.text, "1.000000,2.500000,3.000000 (10.0 Mpts) [v4.47_dev] <demo> {01AB} ");
  EXPECT_EQ(q.score, 0.0);
  Result_free(q);
  Genome_free(g);
}

// ---- reading the line ----

TEST(ResultFields, FormatIsReadFromTheText) {
  struct Case {
    const char *genome, *text;
    int gd, sd, cd;
    const char* units;
  } cases[] = {
      {"a=500;", "1.25 (3.5 Mpts)", 3, 2, 1, "Mpts"},
      {"#runs=5;b=0042;", "7 (3.250  my_unit-2) x", 4, 3, 3, "my_unit-2"},  // first '.' of line
      {"#h=1;", "7.5", 3, 1, 0, nullptr},
      {"a;b=1;", "7.5 (12 Mpts) [v4.47_dev]", 3, 1, 2, "_dev"},  // '.' after '(' in version
      {"", "12 (1.0)", 3, 1, 1, nullptr},
      {"a=1;", "TEST", 1, 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Result r = line(c.genome, c.text);
    ResultFormat f = Result_format(r);
    EXPECT_EQ(f.genomedigits, c.gd);
    EXPECT_EQ(f.scoredecimals, c.sd);
    EXPECT_EQ(f.calcdecimals, c.cd);
    EXPECT_EQ(strnullcmp(f.calcunits, c.units), 0) << (f.calcunits ? f.calcunits : "none");
    ResultFormat_free(f);
    Result_free(r);
  }
}

TEST(ResultFields, QueuedScoreTextGivesTheTrimmedMean) {
  Result r = line("a=1;", "1.000000,2.000000,3.000000,4.000000,5.000000 (5.0 Mpts) [v4.47_dev]");
  int n = 0;
  std::vector<double> s = Result_qscores(r, &n);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(s, (std::vector<double>{1, 2, 3, 4, 5}));
  ResultFormat f = Result_format(r);
  double q = Result_qscore(r, &f);
  EXPECT_EQ(q, 3.0);
  char text[32];
  snprintf(text, sizeof text, "%.*f", f.scoredecimals, q);
  EXPECT_STREQ(text, "3.000000");
  ResultFormat_free(f);
  Result_free(r);
  // Four samples drop nothing; the mean is rounded to the decimals.
  double four[] = {10, 1, 2, 3};
  EXPECT_EQ(scorefromsample(four, 4, &RUNFORMAT), 4.0);
  double ten[] = {9, 0, 1, 2, 3, 4, 5, 6, 7, 100};  // drops 0, 1 and 9, 100
  const ResultFormat two{3, 2, 1, nullptr};
  EXPECT_DOUBLE_EQ(scorefromsample(ten, 10, &two), 4.5);
  double third[] = {0, 0, 1};
  EXPECT_DOUBLE_EQ(scorefromsample(third, 3, &two), 0.33);
  Result t = line("a=1;", "TEST <demo>");
  EXPECT_TRUE(Result_qscores(t, &n).empty());
  EXPECT_EQ(n, 0);
  EXPECT_EQ(Result_qscore(t, &RUNFORMAT), 0.0);
  Result_free(t);
  Result neg = line("a=1;", "-1.5,-0.5 x");
  EXPECT_EQ(Result_qscores(neg, &n), (std::vector<double>{-1.5, -0.5}));
  Result_free(neg);
}

TEST(ResultFields, AccessorsReadTheirFields) {
  Result r = line("a=1;#RUNS=7;", EXAMPLE_LINE);
  EXPECT_EQ(Result_calc(r), 2345.7);
  EXPECT_EQ(Result_ver(r), 4.47f);
  EXPECT_EQ(Result_verx(r), 'v');
  EXPECT_EQ(Result_verstring(r), std::optional<std::string>("v4.47_dev"));
  EXPECT_EQ(Result_lattice(r), std::optional<std::string>("demo"));
  EXPECT_TRUE(Result_islattice(r, "DEMO"));
  EXPECT_FALSE(Result_islattice(r, "dem"));
  EXPECT_FALSE(Result_islattice(r, nullptr));
  CheckVal c = Result_chk(r), want = examplecheck();
  EXPECT_TRUE(CheckVal_equals(c, want));
  CheckVal_free(c);
  CheckVal_free(want);
  EXPECT_EQ(Result_runs(r), 7);
  Result_free(r);

  Result bare = line("a=1;", "5 [v4.3] <> x");
  EXPECT_EQ(Result_calc(bare), 0.0);
  EXPECT_EQ(Result_verx(bare), 0);  // '3' is no letter
  EXPECT_EQ(Result_lattice(bare), std::nullopt);  // a name has at least one character
  EXPECT_TRUE(Result_islattice(bare, nullptr));   // '<' without a '>' after it
  EXPECT_FALSE(Result_islattice(bare, ""));
  EXPECT_EQ(Result_chk(bare).length, 0u);
  EXPECT_EQ(Result_runs(bare), 1);
  Result_free(bare);
  Result none = line("", "5");
  EXPECT_EQ(Result_ver(none), 0.0f);
  EXPECT_EQ(Result_verstring(none), std::nullopt);
  EXPECT_FALSE(Result_islattice(none, nullptr));  // no '<': matches nothing
  Result_free(none);
  Result b = line("a=1;", "5 [v4.47b] <x> {0102");  // no '}'
  EXPECT_EQ(Result_verx(b), 'b');
  EXPECT_EQ(Result_chk(b).length, 0u);
  Result copy = Result_copyof(b);
  EXPECT_NE(copy.text, b.text);
  EXPECT_STREQ(copy.text, b.text);
  EXPECT_STREQ(copy.genome, b.genome);
  Result_free(copy);
  Result_free(b);
}

TEST(ResultFields, EquivalenceIgnoresGeneOrderAndSubHalfUnitDifferences) {
  const char* base = "12.345679 (2345.7 Mpts) [v4.47_dev] <demo> {00}";
  // The score field of the first case is set apart from its text (as a result rebuilt from
  // a binary file may be): 4e-7 below half a unit of the sixth decimal.
  struct Case {
    const char *genome, *text;
    bool eq;
  } cases[] = {
      {"rotsrc=042;#runs=5;zsrc=500;", "12.345679 (2345.7 Mpts) [v4.3] <DEMO>", true},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.345680 (2345.7 Mpts) <demo>", false},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.345679 (2345.8 Mpts) <demo>", false},
      {"zsrc=500;rotsrc=043;#runs=5;", base, false},
      {"zsrc=500;rotsrc=042;#runs=4;", base, false},
      {"zsrc=500;rotsrc=042;", base, false},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.345679 (2345.7 mpts) <demo>", false},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.345679 (2345.70 Mpts) <demo>", false},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.34568 (2345.7 Mpts) <demo>", false},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.345679 (2345.7 Mpts) <demo2>", false},
      {"zsrc=500;rotsrc=042;#runs=5;", "12.345679 (2345.7 Mpts)", false},
  };
  Result a = line("zsrc=500;rotsrc=042;#runs=5;", base);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.genome) + " " + c.text);
    Result b = line(c.genome, c.text);
    if (&c == &cases[0]) b.score = 12.3456794;
    EXPECT_EQ(Result_equivalent(a, b), c.eq ? 1 : 0);
    Result_free(b);
  }
  Result far = line("rotsrc=042;#runs=5;zsrc=500;", base);
  far.score = 12.3456796;  // 6e-7: beyond half a unit
  EXPECT_EQ(Result_equivalent(a, far), 0);
  Result_free(far);
  Result_free(a);
  Result x = line("a=1;", "3.0"), y = line("a=1;", "3.0 [v5]");
  EXPECT_EQ(Result_equivalent(x, y), 1);  // no lattice on either side
  Result_free(x);
  Result_free(y);
}

// ---- validity ----

TEST_F(ResultsDir, VersionsBelowFourPointThreeAreRejectedWithTheWarning) {
  struct Case {
    const char* text;
    int want;
    const char* warning;
  } cases[] = {
      {"1.0 [v4.2] <a>", 0, "[WARNING] Result version (4.200000)<MINVER(4.300000)"},
      {"1.0 [v4.29999] <a>", 0, "[WARNING] Result version (4.299990)<MINVER(4.300000)"},
      {"1.0 <a>", 0, "[WARNING] Result version (0.000000)<MINVER(4.300000)"},
      {"1.0 [vnan] <a>", 0, "[WARNING] Result version (nan)<MINVER(4.300000)"},
      {"1.0 [v4.3] <a>", 1, nullptr},
      {"1.0 [v4.47_dev] <a>", 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    messages.all.clear();
    Result r = line("a=1;", c.text);
    EXPECT_EQ(Result_valid(r, nullptr, nullptr, 0), c.want);
    if (c.warning) EXPECT_EQ(messages.all, std::vector<std::string>{c.warning});
    else EXPECT_TRUE(messages.all.empty());
    Result_free(r);
  }
  messages.all.clear();
  Result other = line("a=1;", "1.0 [v4.2] <b>");
  EXPECT_EQ(Result_valid(other, "a", nullptr, 0), 0);  // another lattice: silently
  EXPECT_TRUE(messages.all.empty());
  Result_free(other);
}

TEST_F(ResultsDir, UnverifiableResultsAreAcceptedOnlyWhenAsked) {
  Genome g = examplegenome();
  Result r = Result_create(g, 1.0, 2.0, "v4.47_dev", "gone", "", &RUNFORMAT, ordaxchecksum);
  messages.all.clear();
  EXPECT_EQ(Result_valid(r, nullptr, ordaxchecksum, 1), 2);
  EXPECT_TRUE(messages.all.empty());
  EXPECT_EQ(Result_valid(r, nullptr, ordaxchecksum, 0), 0);
  std::string stored = std::string(strchr(r.text, '{'), strchr(r.text, '}') + 1);
  EXPECT_EQ(messages.all,
            std::vector<std::string>{"[WARNING] Record rejected due to bad checksum: was " +
                                     stored});
  Result nolattice = Result_create(g, 1.0, 2.0, "v4.47_dev", nullptr, "", &RUNFORMAT,
                                   ordaxchecksum);
  EXPECT_EQ(Result_valid(nolattice, nullptr, ordaxchecksum, 1), 2);
  Result_free(nolattice);
  // With the lattice file present the value is verified: 1 as written, 0 when forged.
  lattice("gone", "S1 1");
  messages.all.clear();
  Result right = Result_create(g, 1.0, 2.0, "v4.47_dev", "gone", "", &RUNFORMAT, ordaxchecksum);
  EXPECT_EQ(Result_valid(right, nullptr, ordaxchecksum, 1), 1);
  EXPECT_EQ(Result_valid(r, nullptr, ordaxchecksum, 1), 0);  // made before the file existed
  std::string forged = right.text;
  forged[forged.find('{') + 1] = forged[forged.find('{') + 1] == 'A' ? 'B' : 'A';
  Result f = line(right.genome, forged.c_str());
  EXPECT_EQ(Result_valid(f, nullptr, ordaxchecksum, 1), 0);
  Result_free(f);
  Result_free(right);
  Result_free(r);
  Genome_free(g);
}

// ---- results files ----

TEST_F(ResultsDir, ReaderSkipsJunkAndKeepsEveryGoodPair) {
  std::string text;
  text += "junk line\r\n";
  text += std::string("\x01\x02\xff\xfe binary\0junk\r\n", 18);
  text += pair("a=001;", 1, "demo");                              // kept
  text += "a=002;\r\n1.0 [v4.2] <demo>\r\n";                      // old version: dropped
  text += "a=1;#h=2;\r\nTEST\r\n";                                // TEST: kept without tests
  text += "\r\n2.000000 (1.0 Mpts) [v4.47_dev] <demo>\r\n";       // empty genome: kept
  text += "a=003;\n3.000000 (1.0 Mpts) [v4.47_dev] <demo>\n";     // LF only
  text += "a=004;\r4.000000 (1.0 Mpts) [v4.47_dev] <demo>\r";     // CR only
  text += "a=5;b=x;\r\n5.0 [v4.47_dev] <demo>\r\n";               // not a genome line
  text += "a=006;\r\n";                                           // no result line at the end
  writefile("results.dat", text);
  std::vector<Result> rs = readall("results.dat", nullptr, nullptr, 1);
  std::vector<std::string> got;
  for (Result& r : rs) got.push_back(std::string(r.genome) + "|" + r.text);
  EXPECT_EQ(got, (std::vector<std::string>{
                     "a=001;|1.000000 (1.0 Mpts) [v4.47_dev] <demo>",
                     "a=1;#h=2;|TEST",
                     "|2.000000 (1.0 Mpts) [v4.47_dev] <demo>",
                     "a=003;|3.000000 (1.0 Mpts) [v4.47_dev] <demo>",
                     "a=004;|4.000000 (1.0 Mpts) [v4.47_dev] <demo>",
                 }));
  EXPECT_EQ(rs.size() == 5 ? rs[3].score : 0, 3.0);
  EXPECT_EQ(messages.all, std::vector<std::string>{
                              "[WARNING] Result version (4.200000)<MINVER(4.300000)"});
  freeall(rs);
  // Results_load and Results_infile read the same pairs.
  LSet set = Results_load("results.dat", nullptr);
  EXPECT_EQ(set.count, 5u);
  Results_free(set);
  EXPECT_EQ(Results_infile("results.dat", "DEMO"), 5);  // a TEST line passes every test
  EXPECT_EQ(Results_infile("absent.dat", nullptr), 0);
}

TEST_F(ResultsDir, BadPairsCostOnlyThemselvesWhenChecked) {
  lattice("demo", "S1 1 2");
  Genome g = examplegenome();
  auto made = [&](double s, const char* lat) {
    Result r = Result_create(g, s, 1.0, "v4.47_dev", lat, "", &RUNFORMAT, ordaxchecksum);
    std::string out = std::string(r.genome) + "\r\n" + r.text + "\r\n";
    Result_free(r);
    return out;
  };
  std::string good1 = made(1, "demo"), good2 = made(2, "demo"), good3 = made(3, "demo");
  std::string forged = made(4, "demo");
  forged.replace(forged.find("4.000000"), 8, "4.000001");  // the score, check value kept
  std::string unclosed = made(5, "demo");
  unclosed.erase(unclosed.find('}'), 1);
  std::string old = "a=1;\r\n6.000000 (1.0 Mpts) [v4.2] <demo> {00}\r\n";
  std::string other = made(7, "other");
  writefile("results.txt", good1 + forged + good2 + unclosed + old + other + good3);
  std::vector<Result> rs = readall("results.txt", nullptr, ordaxchecksum, 0);
  std::vector<double> scores;
  for (Result& r : rs) scores.push_back(r.score);
  EXPECT_EQ(scores, (std::vector<double>{1, 2, 3}));
  freeall(rs);
  int bad = 0;
  for (const std::string& m : messages.all)
    bad += m.rfind("[WARNING] Record rejected due to bad checksum: was {", 0) == 0;
  EXPECT_EQ(bad, 3);  // forged, unclosed, unverifiable lattice "other"
  EXPECT_TRUE(messages.has("[WARNING] Result version (4.200000)<MINVER(4.300000)"));
  Genome_free(g);
}

// A blank line before a result used to make its genome line be read as its result line and
// both be lost; a genome line in the place of a result line now starts a new pair.
TEST_F(ResultsDir, StrayBlankLineDoesNotLoseTheResultAfterIt) {
  writefile("results.dat", pair("a=001;", 1, "demo") + "\r\n" + pair("a=002;", 2, "demo"));
  LSet set = Results_load("results.dat", nullptr);
  EXPECT_EQ(genomes(set), (std::vector<std::string>{"a=001;", "a=002;"}));
  Results_free(set);
}

// An append that was cut off (crash, full disk) leaves an unfinished last line: the reader
// does not take it as a result, and the next append starts on a fresh line, so the new result
// is read whole — wherever the cut fell.
TEST_F(ResultsDir, InterruptedAppendNeverDamagesTheNextResult) {
  Genome g = examplegenome();
  Result first = Result_createliteral(g, 1, 1, "v4.47_dev", "demo", CheckVal_null, "", &RUNFORMAT);
  Result second = Result_createliteral(g, 2, 2, "v4.47_dev", "demo", CheckVal_null, "", &RUNFORMAT);
  gassign(&g, "zsrc", 7);
  Result third = Result_createliteral(g, 3, 3, "v4.47_dev", "demo", CheckVal_null, "", &RUNFORMAT);
  ASSERT_EQ(Result_save(first, "results.dat"), 1);
  const std::string one = readfile("results.dat");
  ASSERT_EQ(Result_save(second, "results.dat"), 1);
  const std::string two = readfile("results.dat");
  std::string firsttext = std::string(first.text), thirdtext = std::string(third.text);
  firsttext.pop_back();  // the reader strips the trailing blank
  thirdtext.pop_back();
  std::string secondtext = std::string(second.text);
  secondtext.pop_back();
  for (size_t cut = one.size(); cut < two.size(); cut++) {
    SCOPED_TRACE("cut after byte " + std::to_string(cut));
    writefile("results.dat", two.substr(0, cut));
    // Only the cut between the final CR and LF leaves the second result whole.
    std::vector<std::string> want{firsttext};
    if (cut == two.size() - 1) want.push_back(secondtext);
    LSet before = Results_load("results.dat", nullptr);
    ASSERT_EQ(texts(before), want);
    Results_free(before);
    ASSERT_EQ(Result_save(third, "results.dat"), 1);
    want.push_back(thirdtext);
    LSet after = Results_load("results.dat", nullptr);
    ASSERT_EQ(texts(after), want);
    EXPECT_STREQ(LSet_at<Result>(after, after.count - 1).genome, third.genome);
    Results_free(after);
  }
  EXPECT_FALSE(messages.anywarning());
  Result_free(first);
  Result_free(second);
  Result_free(third);
  Genome_free(g);
}

TEST_F(ResultsDir, LoadReportsProgressEveryHundredResults) {
  std::string text;
  for (int i = 0; i < 250; i++) text += pair("a=001;", 5, "demo");  // equal lengths
  writefile("results.dat", text);
  LSet set = Results_load("results.dat", "demo");
  EXPECT_EQ(set.count, 250u);
  Results_free(set);
  EXPECT_EQ(messages.all, std::vector<std::string>{"Loading 'results.dat'..."});
  ASSERT_EQ(messages.updates.size(), 3u);
  EXPECT_EQ(messages.updates[0], "Loading 'results.dat'... 100 (40.0%)");
  EXPECT_EQ(messages.updates[1], "Loading 'results.dat'... 200 (80.0%)");
  EXPECT_EQ(messages.updates[2], "Loading 'results.dat'... OK (250 results)");
  messages.updates.clear();
  LSet none = Results_load("absent.dat", nullptr);
  EXPECT_EQ(none.count, 0u);
  LSet_free(none);
  EXPECT_EQ(messages.updates, std::vector<std::string>{"Loading 'absent.dat'... File empty"});
}

TEST_F(ResultsDir, SavedSetsReadBackAndReplaceLeavesNoTemporaryFile) {
  LSet set = LSet_new(sizeof(Result));
  for (int i = 0; i < 150; i++) {
    Result r = line("a=001;", ("1.5 (2.0 Mpts) [v4.47_dev] <L" + std::to_string(i % 3) + ">")
                                  .c_str());
    LSet_add(&set, &r);
  }
  EXPECT_EQ(Results_save(set, "out.dat", 0), 1);
  EXPECT_EQ(messages.all, std::vector<std::string>{"Text saving results..."});
  EXPECT_EQ(messages.updates,
            (std::vector<std::string>{"Text saving results... 0", "Text saving results... 100",
                                      "Text saved 150 results"}));
  EXPECT_EQ(Results_append(set, "out.dat"), 1);
  EXPECT_FALSE(fs::exists("out.dat.new"));
  LSet back = Results_load("out.dat", nullptr);
  EXPECT_EQ(back.count, 300u);
  for (uint32_t i = 0; i < back.count; i++)
    ASSERT_STREQ(LSet_at<Result>(back, i).text, LSet_at<Result>(set, i % 150).text);
  Results_free(back);
  // Replacing: the old file stays whole when the new one cannot be made.
  fs::create_directory("out.dat.new");
  std::string before = readfile("out.dat");
  LSet one = LSet_new(sizeof(Result));
  LSet_add(&one, &LSet_at<Result>(set, 0));
  EXPECT_EQ(Results_save(one, "out.dat", 0), 0);
  EXPECT_EQ(readfile("out.dat"), before);
  EXPECT_EQ(messages.all.back(), "[WARNING] Could not open 'out.dat' to save results");
  LSet_free(one);
  Results_free(set);
}

TEST_F(ResultsDir, SaveThatCannotOpenItsFileWarnsAfterRetrying) {
  fs::create_directory("results.dat");  // a directory never opens for appending
  Result r = line("a=1;", "1.0 [v4.47_dev] <demo>");
  EXPECT_EQ(Result_save(r, "results.dat"), 0);
  EXPECT_EQ(messages.all,
            std::vector<std::string>{"[WARNING] Could not open 'results.dat' to save result"});
  Result_free(r);
}

// Gene names made from cell names that hold '_' or '-' read back from a text results file.
TEST_F(ResultsDir, GeneNamesWithUnderscoreAndHyphenReadBack) {
  const char* genomes[] = {"Sol_1-bf=012;d-2=500;#runs=3;", "a=001;"};
  LSet set = LSet_new(sizeof(Result));
  for (const char* g : genomes) {
    Result r = line(g, "1.5 (2.0 Mpts) [v4.47_dev] <L_1>");
    LSet_add(&set, &r);
  }
  ASSERT_EQ(Results_save(set, "out.dat", 0), 1);
  LSet back = Results_load("out.dat", nullptr);
  ASSERT_EQ(back.count, set.count);
  for (uint32_t i = 0; i < back.count; i++)
    EXPECT_STREQ(LSet_at<Result>(back, i).genome, genomes[i]);
  Results_free(back);
  Results_free(set);
}

TEST(ResultsSet, FilterValidAndLatticeNames) {
  LSet set = LSet_new(sizeof(Result));
  const char* lines[] = {"1.0 [v4.47_dev] <Alpha>", "2.0 [v4.47_dev] <beta>",
                         "3.0 [v4.2] <alpha>",      "4.0 [v4.47_dev]",
                         "5.0 [v4.47_dev] <BETA>",  "6.0 [v4.47_dev]"};
  for (const char* t : lines) {
    Result r = line("a=1;", t);
    LSet_add(&set, &r);
  }
  LSet alpha = Results_filter(set, "ALPHA");
  ASSERT_EQ(alpha.count, 2u);
  EXPECT_EQ(LSet_at<Result>(alpha, 1).text, LSet_at<Result>(set, 2).text);  // shared texts
  LSet_free(alpha);
  LSet all = Results_filter(set, nullptr);
  EXPECT_EQ(all.count, 6u);
  LSet_free(all);
  LSet names = Results_lattices(set);
  std::vector<std::string> got;
  for (uint32_t i = 0; i < names.count; i++) {
    const char* n = LSet_at<char*>(names, i);
    got.push_back(n ? n : "(none)");
  }
  EXPECT_EQ(got, (std::vector<std::string>{"(none)", "BETA", "alpha"}));
  Results_lattices_free(names);
  report_setsink([](const char*, int, void*) {}, nullptr);
  Results_valid(&set, nullptr, nullptr, 0);
  report_setsink(nullptr, nullptr);
  std::vector<double> scores;
  for (uint32_t i = 0; i < set.count; i++) scores.push_back(LSet_at<Result>(set, i).score);
  EXPECT_EQ(scores, (std::vector<double>{1, 2, 4, 5, 6}));
  Results_free(set);
}

// Damaged files of every kind: nothing crashes, the good pairs survive.
TEST_F(ResultsDir, ResultsFileSlowHugeLinesAndBinaryJunk) {
  std::string text = pair("a=001;", 1, "demo");
  text += std::string(100u << 20, 'x') + "\r\n";                 // 100 MB junk line
  text += "a=002;\r\n" + std::string(100u << 20, '7') + "\r\n";  // 100 MB result line, no version
  text += pair("a=003;", 3, "demo");
  unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 100000; i++) text += (char)rng();
  text += "\r\n" + pair("a=004;", 4, "demo");
  writefile("results.dat", text);
  text.clear();
  text.shrink_to_fit();
  LSet set = Results_load("results.dat", nullptr);
  std::vector<std::string> g = genomes(set);
  Results_free(set);
  ASSERT_GE(g.size(), 3u);
  EXPECT_EQ(g.front(), "a=001;");
  EXPECT_NE(std::find(g.begin(), g.end(), "a=003;"), g.end());
  EXPECT_EQ(g.back(), "a=004;");
}
