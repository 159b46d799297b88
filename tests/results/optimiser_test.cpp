// Tests of the optimiser: the working set and its sample results, the choice of trial type,
// the tournament, the trial types against small reference models and limiting cases, the
// repeat avoidance, the #gen tag and the best result.
#include "results/optimiser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/random.h"
#include "language/genome.h"
#include "results/results.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;

using Genes = std::map<std::string, int32_t>;

Genes genesof(const Genome& g) {
  Genes m;
  for (int i = 0; i < g.count; i++) m[g.names[i]] = g.values[i];
  return m;
}

// The genes of g, which is then freed.
Genes take(Genome g) {
  Genes m = genesof(g);
  Genome_free(g);
  return m;
}

Genome genomeof(const Genes& genes) {
  Genome g = Genome_new();
  for (const auto& [name, v] : genes) gassignnew(&g, name.c_str(), v);
  return g;
}

// A result of `lattice` with the given genome text and score (texts owned by the result).
Result makeresult(const std::string& genome, double score, const std::string& lattice) {
  char line[400];
  snprintf(line, sizeof line, "%.6f (1.0 Mpts) [v4.50] <%.100s>", score, lattice.c_str());
  Result r;
  r.genome = strdup(genome.c_str());
  r.text = strdup(line);
  r.score = score;
  return r;
}

std::string genometext(const Genes& genes) {
  std::string s;
  for (const auto& [name, v] : genes) s += name + "=" + std::to_string(v) + ";";
  return s;
}

// A fresh working directory, captured messages, default ratios, and a results set freed at
// the end.
class OptimiserDir : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "samplefiles");
    std::memcpy(oldratios, settings.trialratios, sizeof oldratios);
    results = LSet_new(sizeof(Result));
  }
  void TearDown() override {
    Results_free(results);
    std::memcpy(settings.trialratios, oldratios, sizeof oldratios);
  }
  void add(const Genes& genes, double score, const std::string& lattice = "lat") {
    Result r = makeresult(genometext(genes), score, lattice);
    LSet_add(&results, &r);
  }
  testsupport::WorkDir work{"ordax_optimiser"};
  const fs::path& dir = work.path();
  testsupport::Messages messages;
  double oldratios[NTRIALTYPES];
  LSet results;
};

// ---- choice of the trial type ----

TEST_F(OptimiserDir, EmptyResultsAndNoSampleFileGiveRandomEmptyGenomes) {
  for (uint32_t seed = 1; seed <= 30; seed++) {
    SCOPED_TRACE(seed);
    srand15(seed);
    messages.all.clear();
    char lattice[] = "lat";
    Genome g = makegenome(results, lattice, trial::ChooseByRatios, nullptr);
    EXPECT_EQ(genesof(g), (Genes{{"#gen", 0}}));
    EXPECT_TRUE(messages.has("Making new genome, TrialType=Random..."));
    ASSERT_FALSE(messages.updates.empty());
    EXPECT_EQ(messages.updates.back(), "Making new genome, TrialType=Random... Done");
    Genome_free(g);
  }
}

TEST_F(OptimiserDir, WorkingSetOfOneAlwaysGivesRandom) {
  add({{"a", 100}, {"b", 900}}, 5.0);
  add({{"a", 300}}, 7.0, "other");  // another lattice: not in the working set
  for (uint32_t seed = 1; seed <= 200; seed++) {
    srand15(seed);
    char lattice[] = "LAT";
    Genome g = makegenome(results, lattice, trial::ChooseByRatios, nullptr);
    ASSERT_EQ(genesof(g), (Genes{{"#gen", 0}})) << "seed " << seed;
    Genome_free(g);
  }
  for (uint32_t seed = 1; seed <= 200; seed++) {
    srand15(seed);
    ASSERT_EQ(getrandomtrialtype_m(1), trial::Random) << seed;
    ASSERT_EQ(getrandomtrialtype_m(0), trial::Random) << seed;
  }
}

TEST(OptimiserChoice, FrequenciesFollowRatiosAndRandomShare) {
  // With a huge working set the Random share is negligible (2.5e-4) and the types follow the
  // ratios; at m = 1000 about one choice in 16 (1000^−0.4) is Random.
  srand15(4242);
  double ratios[NTRIALTYPES];
  std::memcpy(ratios, TrialType_defaultratios, sizeof ratios);
  const int draws = 26000;
  std::vector<int> seen(NTRIALTYPES);
  for (int i = 0; i < draws; i++) seen[getrandomtrialtype_m(1000000000, ratios)]++;
  double total = std::accumulate(ratios, ratios + NTRIALTYPES, 0.0);
  for (int k = 1; k < NTRIALTYPES; k++) {
    double expect = draws * ratios[k] / total;
    EXPECT_NEAR(seen[k], expect, 5 * std::sqrt(expect) + 5) << TrialTypeName[k];
  }
  EXPECT_LT(seen[0], 30);
  int randoms = 0;
  for (int i = 0; i < draws; i++) randoms += getrandomtrialtype_m(1000, ratios) == trial::Random;
  double share = std::pow(1000.0, -0.4);
  EXPECT_NEAR(randoms, draws * share, 5 * std::sqrt(draws * share));

  for (double& r : ratios) r = 0;
  ratios[trial::Extreme] = 1;
  for (int i = 0; i < 2000; i++) {
    TrialType t = getrandomtrialtype_m(1000000000, ratios);
    ASSERT_TRUE(t == trial::Extreme || t == trial::Random) << t;
  }
  for (double& r : ratios) r = 0;
  for (int i = 0; i < 200; i++) ASSERT_EQ(getrandomtrialtype_m(1000000000, ratios), trial::Random);
}

// ---- the working set, SetFromFile and the tags ----

TEST_F(OptimiserDir, SetFromFileTakesFirstLoadedSampleWithoutHashGenes) {
  // Samples are appended from the last loaded to the first, so the working set ends with the
  // first sample of the file.
  FILE* f = fopen("samplefiles/lat.txt", "wb");
  ASSERT_NE(f, nullptr);
  fputs("a=111;#runs=5;\r\n10.000000 [v4.50] <lat>\r\n", f);
  fputs("a=222;\r\n20.000000 [v4.50] <lat>\r\n", f);
  fclose(f);
  add({{"a", 333}}, 30.0);
  char lattice[] = "lat";
  Genome g = makegenome(results, lattice, trial::SetFromFile, nullptr);
  EXPECT_EQ(genesof(g), (Genes{{"a", 111}}));
  EXPECT_TRUE(messages.has("Making new genome, TrialType=SetFromFile..."));
  Genome_free(g);

  fs::remove("samplefiles/lat.txt");
  g = makegenome(results, lattice, trial::SetFromFile, nullptr);
  EXPECT_EQ(genesof(g), (Genes{{"a", 333}}));
  Genome_free(g);
}

TEST_F(OptimiserDir, SetFromFileWithNothingWarnsAndFallsBackToRandom) {
  char lattice[] = "lat";
  Genome g = makegenome(results, lattice, trial::SetFromFile, nullptr);
  EXPECT_TRUE(messages.has(
      "[WARNING] Could not find genome for lattice lat, trying random/empty one..."));
  EXPECT_EQ(genesof(g), (Genes{{"#gen", 0}}));
  Genome_free(g);
}

TEST_F(OptimiserDir, EveryTrialTypeTagsItsGenome) {
  srand15(77);
  for (int i = 0; i < 12; i++)
    add({{"s1f", 100 + 50 * i}, {"s2f", 900 - 60 * i}, {"s3f", 400 + 7 * i}, {"zsrc", 30 * i},
         {"#runs", 5}},
        i * 1.5);
  for (TrialType t = 0; t < NTRIALTYPES; t++) {
    SCOPED_TRACE(TrialTypeName[t]);
    for (int rep = 0; rep < 5; rep++) {
      char lattice[] = "lat";
      Genome g = makegenome(results, lattice, t, nullptr);
      Genes genes = genesof(g);
      EXPECT_EQ(genes["#gen"], t);
      for (const auto& [name, v] : genes) {
        if (name == "#gen") continue;
        EXPECT_NE(name[0], '#') << name;
        EXPECT_GE(v, 0);
        EXPECT_LE(v, 999);
      }
      Genome_free(g);
    }
  }
  char lattice[] = "lat";
  Genome g = makegenome(results, lattice, trial::SetFromFile, nullptr);
  for (int i = 0; i < g.count; i++) EXPECT_NE(g.names[i][0], '#') << g.names[i];
  EXPECT_EQ(g.count, 4);
  Genome_free(g);
}

TEST_F(OptimiserDir, TrialTypeNeedingMoreResultsGivesTaggedEmptyGenome) {
  add({{"a", 5}}, 1.0);
  for (TrialType t : {trial::Crossover, trial::Interpolate, trial::Extrapolate}) {
    char lattice[] = "lat";
    Genome g = makegenome(results, lattice, t, nullptr);
    EXPECT_EQ(genesof(g), (Genes{{"#gen", t}})) << TrialTypeName[t];
    Genome_free(g);
  }
}

// ---- repeats ----

TEST_F(OptimiserDir, LatticeWithoutGenesStopsAfterHundredAttempts) {
  // Every attempt repeats the one earlier (empty) genome. One Mutate attempt on a set of one
  // draws three numbers (tournament size, start, exponent), six draws of rand15.
  add({}, 3.0);
  for (uint32_t seed : {1u, 99u}) {
    srand15(seed);
    char lattice[] = "lat";
    Genome g = makegenome(results, lattice, trial::Mutate, nullptr);
    EXPECT_EQ(genesof(g), (Genes{{"#gen", trial::Mutate}}));
    Genome_free(g);
    int next = rand15();
    srand15(seed);
    for (int i = 0; i < 100 * 6; i++) rand15();
    EXPECT_EQ(rand15(), next) << "seed " << seed;
  }
}

TEST_F(OptimiserDir, RepeatsAreRetried) {
  // At resolution 10 the results hold every value of the one gene but 9: a Brindle step that
  // lands on an earlier value is discarded, so the genome made is the one value left.
  for (int v = 0; v <= 8; v++) add({{"x", v}}, v);
  ResultFormat fmt = {1, 6, 1, nullptr};
  for (uint32_t seed = 1; seed <= 10; seed++) {
    srand15(seed);
    char lattice[] = "lat";
    Genome g = makegenome(results, lattice, trial::Brindle, &fmt);
    EXPECT_EQ(graw(&g, "x"), 9) << "seed " << seed;
    Genome_free(g);
  }
}

// ---- the tournament ----

TEST(OptimiserTournament, PlanIsAPermutationWalk) {
  for (int n = 1; n <= 64; n++) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
      srand15(seed * 1000 + n);
      Tournament t = Tournament_draw(n);
      ASSERT_EQ(std::gcd(t.step, n), 1) << n;
      ASSERT_GE(t.step, 1);
      ASSERT_LE(t.step, n > 1 ? n - 1 : 1);
      ASSERT_GE(t.start, 0);
      ASSERT_LT(t.start, n);
      ASSERT_GE(t.size, 1);
      ASSERT_LE(t.size, n);
      std::set<int> visited;
      for (int i = 0; i < t.size; i++) visited.insert((int)((t.start + (int64_t)i * t.step) % n));
      ASSERT_EQ((int)visited.size(), t.size);
    }
  }
}

TEST(OptimiserTournament, WinnerIsBestVisitedAndNeverAFailure) {
  LSet set = LSet_new(sizeof(Result));
  std::vector<double> scores = {-1e100, 4, -9e99, 7, 7, -2e200, 1, 9, -1e100, 3, 2};
  for (size_t i = 0; i < scores.size(); i++) {
    Result r = makeresult("g=" + std::to_string(i) + ";#runs=3;", scores[i], "lat");
    LSet_add(&set, &r);
  }
  int n = (int)scores.size();
  for (uint32_t seed = 1; seed <= 300; seed++) {
    SCOPED_TRACE(seed);
    srand15(seed);
    Tournament t = Tournament_draw(n);
    int expect = -1;
    for (int i = 0; i < t.size; i++) {
      int k = (int)((t.start + (int64_t)i * t.step) % n);
      if (scores[k] <= -9e99) continue;
      if (expect < 0 || scores[k] > scores[expect]) expect = k;
    }
    srand15(seed);
    double score = 12345;
    Genome g = Results_fairlygood(set, &score);
    if (expect < 0) {
      EXPECT_EQ(g.count, 0);
      EXPECT_EQ(score, 12345);
    } else {
      EXPECT_EQ(genesof(g), (Genes{{"g", expect}}));  // no #runs
      EXPECT_EQ(score, scores[expect]);
    }
    Genome_free(g);
  }
  Results_free(set);
  LSet empty = LSet_new(sizeof(Result));
  Genome g = Results_fairlygood(empty, nullptr);
  EXPECT_EQ(g.count, 0);
  Genome_free(g);
  LSet_free(empty);
}

TEST(OptimiserTournament, SecondParentDiffersWhenItCan) {
  LSet set = LSet_new(sizeof(Result));
  for (int i = 0; i < 2; i++) {
    Result r = makeresult("g=" + std::to_string(i) + ";", 1.0 + i, "lat");
    LSet_add(&set, &r);
  }
  int differ = 0;
  for (uint32_t seed = 1; seed <= 100; seed++) {
    srand15(seed);
    Genome a, b;
    Results_fairlygoodtwo(set, &a, &b);
    differ += !Genome_identical(a, b);
    Genome_free(a);
    Genome_free(b);
  }
  // Identical parents need eleven identical draws in a row.
  EXPECT_GE(differ, 99);
  Results_free(set);
}

// ---- the trial types ----

TEST(OptimiserTrial, MutateOneGeneIsUniformWithinHalfRange) {
  Genome p = genomeof({{"x", 500}});
  std::vector<int> bins(10);
  const int draws = 5000;
  srand15(5);
  for (int i = 0; i < draws; i++) {
    Genome g = trial_mutate(p, 1000);
    int32_t v = graw(&g, "x");
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 999);
    int step = v - 500;
    ASSERT_LE(std::abs(step), 500);
    bins[std::min(9, std::abs(step) / 50)]++;
    Genome_free(g);
  }
  for (int b = 0; b < 10; b++) EXPECT_NEAR(bins[b], draws / 10, 5 * std::sqrt(draws / 10.0)) << b;
  // At the lower end, the half of the steps that go down are clamped to 0.
  Genome q = genomeof({{"x", 0}});
  int zeros = 0;
  for (int i = 0; i < 2000; i++) {
    Genome g = trial_mutate(q, 1000);
    int32_t v = graw(&g, "x");
    ASSERT_LE(v, 500);
    zeros += v == 0;
    Genome_free(g);
  }
  EXPECT_NEAR(zeros, 1000, 120);
  Genome_free(p);
  Genome_free(q);
}

TEST(OptimiserTrial, MutateManyGenesStepsWithinHalfRange) {
  Genes genes;
  for (int i = 0; i < 30; i++) genes["g" + std::to_string(i)] = 300 + 13 * i;
  Genome p = genomeof(genes);
  srand15(31);
  for (int rep = 0; rep < 200; rep++) {
    Genome g = trial_mutate(p, 1000);
    Genes out = genesof(g);
    ASSERT_EQ(out.size(), genes.size());
    for (const auto& [name, v] : genes) ASSERT_LE(std::abs(out[name] - v), 500) << name;
    Genome_free(g);
  }
  Genome_free(p);
}

TEST(OptimiserTrial, PairwiseTypesKeepGenesOfAFoundInB) {
  Genome a = genomeof({{"x", 100}, {"y", 800}, {"onlya", 5}, {"w", 300}});
  Genome b = genomeof({{"x", 600}, {"y", 200}, {"onlyb", 9}, {"w", 300}});
  srand15(8);
  for (int rep = 0; rep < 300; rep++) {
    SCOPED_TRACE(rep);
    Genes c = take(trial_crossover(a, b, 1000));
    EXPECT_EQ(c.size(), 3u);
    EXPECT_TRUE(c["x"] == 100 || c["x"] == 600);
    EXPECT_TRUE(c["y"] == 800 || c["y"] == 200);
    EXPECT_EQ(c["w"], 300);

    Genome gi = trial_interpolate(a, b, 1000);
    Genes i = genesof(gi);
    Genome_free(gi);
    ASSERT_EQ(i.size(), 3u);
    // One weight f for all genes: x = 100f + 600(1−f), y = 800f + 200(1−f).
    double f = (600.0 - i["x"]) / 500.0;
    EXPECT_NEAR(i["y"], 800 * f + 200 * (1 - f), 3.0);
    EXPECT_GE(i["x"], 100);
    EXPECT_LE(i["x"], 600);
    EXPECT_NEAR(i["w"], 300, 1);  // single precision, then truncated

    Genome ge = trial_extrapolate(a, b, 1000);
    Genes e = genesof(ge);
    Genome_free(ge);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_FALSE(e["x"] > 100 && e["x"] < 600) << e["x"];
    EXPECT_FALSE(e["y"] > 200 && e["y"] < 800) << e["y"];
    EXPECT_EQ(e.count("w"), 1u);  // far out, single precision loses the equal values
  }
  // B's gene with a negative value counts as missing.
  Genome bneg = genomeof({{"x", -1}, {"y", 200}});
  EXPECT_EQ(take(trial_crossover(a, bneg, 1000)).count("x"), 0u);
  Genome_free(a);
  Genome_free(b);
  Genome_free(bneg);
}

TEST(OptimiserTrial, MuSphericalDistanceIsLogUniform) {
  // The radius is R^u: at the centre of two genes (no clamping below 500) half of the steps
  // are shorter than √R ≈ 31.6, and a tenth shorter than R^0.1 ≈ 2.
  Genome p = genomeof({{"a", 500}, {"b", 500}});
  srand15(21);
  int draws = 0, below = 0, tiny = 0;
  for (int rep = 0; rep < 4000; rep++) {
    Genes g = take(trial_muspherical(p, 1000));
    ASSERT_EQ(g.size(), 2u);
    double d = std::hypot(g["a"] - 500, g["b"] - 500);
    EXPECT_LE(d, 1000 * std::sqrt(2.0));
    if (d > 450) continue;  // may have been clamped
    draws++;
    below += d < std::sqrt(1000.0);
    tiny += d < 1.5;
  }
  EXPECT_NEAR(below, 2000, 150);
  EXPECT_GT(tiny, 150);
  EXPECT_LT(tiny, 700);
  EXPECT_GT(draws, 3500);
  Genome_free(p);
}

TEST(OptimiserTrial, BrindleChangesOneGene) {
  Genome p = genomeof({{"a", 500}, {"b", 500}, {"c", 500}});
  srand15(12);
  std::set<std::string> moved;
  for (int rep = 0; rep < 300; rep++) {
    Genes g = take(trial_brindle(p, 1000));
    int changed = 0;
    for (const auto& [name, v] : g)
      if (v != 500) {
        changed++;
        moved.insert(name);
        EXPECT_LT(std::abs(v - 500), 1000);
      }
    EXPECT_LE(changed, 1);
  }
  EXPECT_EQ(moved.size(), 3u);
  Genome_free(p);
}

TEST(OptimiserTrial, ExtremeLimitingCases) {
  // At the centre every stretch or pull leaves a gene where it is.
  Genome centre = genomeof({{"a", 500}, {"b", 500}, {"c", 500}});
  // At the lower end a gene stays at 0 (stretched and clamped) or gets a fresh value below h.
  Genome low = genomeof({{"a", 0}, {"b", 0}});
  srand15(3);
  for (int rep = 0; rep < 300; rep++) {
    EXPECT_EQ(take(trial_extreme(centre, 1000)), genesof(centre));
    Genes g = take(trial_extreme(low, 1000));
    for (const auto& [name, v] : g) {
      EXPECT_GE(v, 0);
      EXPECT_LT(v, 500);
    }
  }
  Genome_free(centre);
  Genome_free(low);
}

// Reference model of the three cell edits on family "s" with chosen cell c.
Genes celledit(TrialType t, const Genes& p, int c) {
  Genes out;
  std::map<int, std::pair<std::string, int32_t>> cells;  // number → (suffix, value)
  auto cellof = [](const std::string& name, int* k, std::string* suffix) {
    if (name.size() < 2 || name[0] != 's' || !isdigit((unsigned char)name[1])) return false;
    size_t e = 1;
    while (e < name.size() && isdigit((unsigned char)name[e])) e++;
    *k = std::stoi(name.substr(1, e - 1));
    *suffix = name.substr(e);
    return true;
  };
  bool below = false, above = false;
  for (const auto& [name, v] : p) {
    int k;
    std::string s;
    if (cellof(name, &k, &s)) below |= k == c - 1, above |= k == c + 1;
  }
  int d = below ? c - 1 : c + 1;
  if (t == trial::CellCommute && !below && !above) return {};
  for (const auto& [name, v] : p) {
    int k;
    std::string s;
    if (!cellof(name, &k, &s)) {
      out[name] = v;
      continue;
    }
    auto nm = [&](int n) { return "s" + std::to_string(n) + s; };
    if (t == trial::CellDouble) {
      if (k <= c) out[name] = v;
      if (k == c) out[nm(c + 1)] = v;
      if (k > c) out[nm(k + 1)] = v;
    } else if (t == trial::CellDelete) {
      if (k < c) out[name] = v;
      if (k > c) out[nm(k - 1)] = v;
    } else {
      out[k == c ? nm(d) : k == d ? nm(c) : name] = v;
    }
  }
  return out;
}

TEST(OptimiserTrial, CellEditsMatchReferenceForEveryChosenCell) {
  struct Case {
    Genes parent;
    std::vector<int> cells;
  };
  std::vector<Case> cases = {
      {{{"s1f", 100}, {"s2f", 200}, {"s3f", 300}}, {1, 2, 3}},
      {{{"s1f", 100}, {"s2f", 200}, {"s2l", 250}, {"s3f", 300}, {"zsrc", 77}}, {1, 2, 3}},
      {{{"s1f", 100}, {"s2f", 200}}, {1, 2}},
  };
  for (TrialType t : {trial::CellDouble, trial::CellDelete, trial::CellCommute}) {
    for (const Case& cs : cases) {
      SCOPED_TRACE(std::string(TrialTypeName[t]) + " on " + genometext(cs.parent));
      Genome p = genomeof(cs.parent);
      std::set<std::string> expected, seen;
      for (int c : cs.cells) expected.insert(genometext(celledit(t, cs.parent, c)));
      srand15(17);
      for (int rep = 0; rep < 100; rep++) {
        std::string out = genometext(take(trial_celledit(t, p, 1000)));
        ASSERT_EQ(expected.count(out), 1u) << out;
        seen.insert(out);
      }
      // Every cell was chosen at some point.
      EXPECT_EQ(seen, expected);
      Genome_free(p);
    }
  }
  // The examples of the design: c = 2 on s1f, s2f, s3f.
  Genes p = {{"s1f", 100}, {"s2f", 200}, {"s3f", 300}};
  EXPECT_EQ(celledit(trial::CellDelete, p, 2), (Genes{{"s1f", 100}, {"s2f", 300}}));
  EXPECT_EQ(celledit(trial::CellDouble, p, 2),
            (Genes{{"s1f", 100}, {"s2f", 200}, {"s3f", 200}, {"s4f", 300}}));
  // Without a numbered gene, or without a neighbour cell, the result is empty.
  Genome plain = genomeof({{"zsrc", 5}, {"rot", 6}});
  Genome lone = genomeof({{"s4f", 5}, {"zsrc", 6}});
  srand15(2);
  for (TrialType t : {trial::CellDouble, trial::CellDelete, trial::CellCommute})
    EXPECT_TRUE(take(trial_celledit(t, plain, 1000)).empty());
  EXPECT_TRUE(take(trial_celledit(trial::CellCommute, lone, 1000)).empty());
  EXPECT_EQ(take(trial_celledit(trial::CellDelete, lone, 1000)), (Genes{{"zsrc", 6}}));
  Genome_free(plain);
  Genome_free(lone);
}

TEST(OptimiserTrial, TopoSmoothMovesTowardsNeighbours) {
  Genome none = genomeof({{"a1", 100}, {"b5", 200}, {"zsrc", 300}});
  srand15(6);
  EXPECT_TRUE(take(trial_toposmooth(none, 1000)).empty());
  Genome_free(none);

  Genome p = genomeof({{"s1f", 100}, {"s2f", 200}, {"s3f", 400}, {"zsrc", 999}});
  for (int rep = 0; rep < 200; rep++) {
    Genes g = take(trial_toposmooth(p, 1000));
    ASSERT_EQ(g.size(), 4u);
    EXPECT_EQ(g["zsrc"], 999);
    // One weight w: s1f = 100 + w·100, s2f = 200 + w·50, s3f = 400 − w·200.
    double w = (g["s1f"] - 100) / 100.0;
    EXPECT_GE(w, 0);
    EXPECT_LE(w, 1);
    EXPECT_NEAR(g["s2f"], 200 + w * 50, 1.6);
    EXPECT_NEAR(g["s3f"], 400 - w * 200, 3.1);
  }
  Genome_free(p);
}

TEST(OptimiserTrial, LocalGradStepsAlongAKnownGradient) {
  // score = 3a + b on a plus-shaped set around P: every neighbour differs from P in one gene,
  // so each kept gene's gradient estimate is exact; the step follows (3, 1) restricted to
  // the genes seen among the kept neighbours, and never goes downhill.
  const int a0 = 400, b0 = 500;
  auto score = [](int a, int b) { return 3.0 * a + b; };
  LSet set = LSet_new(sizeof(Result));
  std::vector<std::pair<int, int>> points;
  for (int k = 1; k <= 4; k++) {
    points.push_back({a0 + 10 * k, b0});
    points.push_back({a0, b0 + 10 * k});
    points.push_back({a0 - 10 * k, b0});
    points.push_back({a0, b0 - 10 * k});
  }
  for (auto [a, b] : points) {
    Result r = makeresult(genometext({{"a", a}, {"b", b}}), score(a, b), "lat");
    LSet_add(&set, &r);
  }
  Genome p = genomeof({{"a", a0}, {"b", b0}});
  int both = 0;
  for (uint32_t seed = 1; seed <= 200; seed++) {
    SCOPED_TRACE(seed);
    srand15(seed);
    Genes g = take(trial_localgrad(set, p, score(a0, b0), 1000));
    int da = g["a"] - a0, db = g["b"] - b0;
    EXPECT_GE(da, 0);
    EXPECT_GE(db, 0);
    EXPECT_LE(g["a"], 999);
    EXPECT_LE(g["b"], 999);
    if (da > 20 && db > 5 && g["a"] < 999 && g["b"] < 999) {  // not clamped
      both++;
      EXPECT_NEAR((double)da / db, 3.0, 3.0 * (1.0 / db + 1.0 / da) * 1.1 + 1e-9);
    }
  }
  EXPECT_GT(both, 10);
  Genome_free(p);
  Results_free(set);
}

// ---- the best result ----

TEST(OptimiserBest, HighestScoreLaterWinsTies) {
  LSet set = LSet_new(sizeof(Result));
  auto add = [&](const char* genome, double score, const char* lattice) {
    Result r = makeresult(genome, score, lattice);
    LSet_add(&set, &r);
  };
  add("x=1;", 5, "one");
  add("x=2;#runs=5;", 9, "two");
  add("x=3;", 9, "One");
  add("x=4;", 9, "two");
  add("x=5;", -1e200, "three");

  char* name = nullptr;
  Genome g = getbestresult(set, &name);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "two");
  EXPECT_EQ(genesof(g), (Genes{{"x", 4}}));
  Genome_free(g);
  free(name);

  char one[] = "ONE";
  name = one;
  g = getbestresult(set, &name);
  EXPECT_EQ(name, one);
  EXPECT_EQ(genesof(g), (Genes{{"x", 3}}));
  Genome_free(g);

  char three[] = "three";
  name = three;
  g = getbestresult(set, &name);
  EXPECT_EQ(g.count, -1);
  Genome_free(g);
  char nothing[] = "nothing";
  name = nothing;
  g = getbestresult(set, &name);
  EXPECT_EQ(g.count, -1);
  Results_free(set);
}

TEST_F(OptimiserDir, GenomeScoreRecordsAResult) {
  Genome g = genomeof({{"a", 7}, {"b", 12}});
  Results_genomescore(&results, &g, 1.25);
  ASSERT_EQ(results.count, 1u);
  const Result& r = LSet_at<Result>(results, 0);
  EXPECT_EQ(r.score, 1.25);
  // Six decimals, no work count, no lattice, no check value.
  std::string text = r.text;
  EXPECT_EQ(text.rfind("1.250000 [v", 0), 0u) << text;
  EXPECT_EQ(text.find_first_of("(<{"), std::string::npos) << text;
  EXPECT_STREQ(r.genome, "a=007;b=012;");
  Genome_free(g);
}

}  // namespace
