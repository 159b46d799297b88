// Pruning of the results store: the share kept, the sets the four keep modes remove, the
// removed-results store, and the files left after each outcome.
#include "results/manage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/random.h"
#include "results/optimiser.h"
#include "results/results.h"
#include "results_testdir.h"

namespace {

using resultstest::readfile;
using resultstest::writefile;

TEST(Prune, KeepCountUsesTheSinglePrecisionProportion) {
  struct Case {
    int n;
    float proportion;
    int keep;
  } cases[] = {
      {10, 0.3f, 4},  // 0.3f is 0.30000001: ceil(3.0000001)
      {7, 0.5f, 4},   {1, 0.5f, 1}, {10, 0.0f, 1}, {10, 1.0f, 10}, {3, 0.5f, 2}, {4, 0.25f, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " at " + std::to_string(c.proportion));
    EXPECT_EQ(prunekeepcount(c.n, c.proportion), c.keep);
  }
}

// The lattices, in file order, of the set the mode tests use ("" for a result without one),
// and the scores.
const char* const LATTICES[] = {"A", "B", "A", "a", "B", "A", "", "A", "A", "B"};
const double SCORES[] = {5, 1, 3, 9, 2, 1, 4, 7, 2, 3};
constexpr int N = 10;

std::string resulttext(int i) {
  char line[200];
  if (*LATTICES[i])
    snprintf(line, sizeof line, "gen=%03d;\r\n%.1f (1.0 Mpts) [v4.47_dev] <%s>\r\n", i,
             SCORES[i], LATTICES[i]);
  else
    snprintf(line, sizeof line, "gen=%03d;\r\n%.1f (1.0 Mpts) [v4.47_dev]\r\n", i, SCORES[i]);
  return line;
}

class Pruning : public resultstest::ResultsDir {
 protected:
  std::string allresults(const std::vector<int>& which) {
    std::string text;
    for (int i : which) text += resulttext(i);
    return text;
  }
  LSet loadset() {
    std::vector<int> all;
    for (int i = 0; i < N; i++) all.push_back(i);
    writefile(dir / "set.dat", allresults(all));
    LSet set = Results_load("set.dat", nullptr);
    EXPECT_EQ(set.count, (uint32_t)N);
    return set;
  }
  static std::vector<int> marked(const std::vector<char>& marks) {
    std::vector<int> out;
    for (size_t i = 0; i < marks.size(); i++)
      if (marks[i]) out.push_back((int)i);
    return out;
  }
};

TEST_F(Pruning, ModesBestFirstLatest) {
  // At 50 %: lattice A (A or a: results 0 2 3 5 7 8) removes 3, B (1 4 9) removes 1, the
  // result without a lattice keeps itself.
  LSet set = loadset();
  struct Case {
    char mode;
    std::vector<int> removed;
  } cases[] = {
      {'B', {1, 2, 5, 8}},  // the lowest scores: A 1, 2, 3; B 1
      {'F', {5, 7, 8, 9}},  // the earliest kept
      {'L', {0, 1, 2, 3}},  // the latest kept
      {'x', {1, 2, 5, 8}},  // any other letter is B
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.mode));
    EXPECT_EQ(marked(prunemarks(set, 0.5f, c.mode)), c.removed);
  }
  Results_free(set);
}

TEST_F(Pruning, RandomModeShufflesFlagsPerLatticeInTheirOrder) {
  LSet set = loadset();
  // The reference: lattices in the order of their last result (B, A, then none); n flags with
  // the first r set, exchanged with i + floor(u (n - i)), handed out from the last result.
  const std::vector<std::vector<int>> groups = {{1, 4, 9}, {0, 2, 3, 5, 7, 8}, {6}};
  const int removecount[] = {1, 3, 0};
  for (uint32_t seed : {1u, 2u, 12345u}) {
    SCOPED_TRACE(seed);
    srand15(seed);
    std::vector<char> expected(N, 0);
    for (size_t g = 0; g < groups.size(); g++) {
      int n = (int)groups[g].size();
      std::vector<char> flags(n, 0);
      for (int k = 0; k < removecount[g]; k++) flags[k] = 1;
      for (int i = 0; i < n; i++) {
        int j = i + (int)(optimiser_u() * (n - i));
        std::swap(flags[i], flags[j]);
      }
      for (int k = 0; k < n; k++) expected[groups[g][n - 1 - k]] = flags[k];
    }
    srand15(seed);
    EXPECT_EQ(prunemarks(set, 0.5f, 'R'), expected);
  }
  Results_free(set);
}

TEST_F(Pruning, FileAndStoreAfterPruning) {
  std::vector<int> all;
  for (int i = 0; i < N; i++) all.push_back(i);
  const std::string full = allresults(all);
  writefile(dir / "results.dat", full);
  writefile(dir / "removed.dat", "earlier\r\n");
  PruneOptions o;
  o.limit = 100;
  o.removedstore = "removed.dat";
  EXPECT_EQ(manageresultsfile(o), 4);
  EXPECT_TRUE(messages.has("results.dat exceeded 100 bytes, pruning..."));
  EXPECT_EQ(readfile(dir / "results.dat"), allresults({0, 3, 4, 6, 7, 9}));
  EXPECT_EQ(readfile(dir / "removed.dat"), "earlier\r\n" + allresults({1, 2, 5, 8}));

  // No store: the removed results are gone.
  writefile(dir / "results.dat", full);
  o.removedstore = "";
  o.mode = 'L';
  EXPECT_EQ(manageresultsfile(o), 4);
  EXPECT_EQ(readfile(dir / "results.dat"), allresults({4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(readfile(dir / "removed.dat"), "earlier\r\n" + allresults({1, 2, 5, 8}));

  // Within the limit nothing happens.
  messages.all.clear();
  o.limit = (int64_t)full.size();
  writefile(dir / "results.dat", full);
  EXPECT_EQ(manageresultsfile(o), 0);
  EXPECT_TRUE(messages.all.empty());
}

TEST_F(Pruning, NothingMarkedLeavesTheFileAlone) {
  // One result per lattice: nothing to remove, so the file (with a line a rewrite would drop)
  // is not written again.
  const std::string text = "junk line\r\n" + allresults({0, 1, 6});
  writefile(dir / "results.dat", text);
  PruneOptions o;
  o.limit = 10;
  EXPECT_EQ(manageresultsfile(o), 0);
  EXPECT_EQ(readfile(dir / "results.dat"), text);
  EXPECT_FALSE(std::filesystem::exists(dir / "results_removed.dat"));
}

TEST_F(Pruning, AStoreThatCannotBeWrittenKeepsTheResultsFile) {
  std::vector<int> all;
  for (int i = 0; i < N; i++) all.push_back(i);
  const std::string full = allresults(all);
  writefile(dir / "results.dat", full);
  std::filesystem::create_directory(dir / "store");
  PruneOptions o;
  o.limit = 100;
  o.removedstore = "store";
  EXPECT_EQ(manageresultsfile(o), -1);
  EXPECT_EQ(readfile(dir / "results.dat"), full);
  EXPECT_TRUE(messages.has("[WARNING] Could not open 'store' to save results"));
}

}  // namespace
