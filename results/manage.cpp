// Pruning of the results store (see results/manage.h).
#include "results/manage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/platform.h"
#include "base/files.h"
#include "base/report.h"
#include "results/optimiser.h"
#include "results/results.h"

int IndexScore_cmp(const void* a, const void* b) {
  double x = static_cast<const IndexScore*>(a)->score;
  double y = static_cast<const IndexScore*>(b)->score;
  return x < y ? -1 : x > y ? 1 : 0;
}

int prunekeepcount(int n, float proportion) {
  double keep = std::ceil((double)n * (double)proportion);
  if (keep > n) keep = n;
  return keep < 1 ? 1 : (int)keep;
}

std::vector<char> prunemarks(const LSet& set, float proportion, char mode) {
  const uint32_t count = set.count;
  std::vector<char> marks(count, 0);
  // Group the results by lattice, the groups in the order of their last result from the end.
  std::unordered_map<std::string, size_t> group;
  std::vector<std::vector<int32_t>> members;
  for (uint32_t i = count; i-- > 0;) {
    std::optional<std::string> name = Result_lattice(LSet_at<Result>(set, i));
    std::string key = name ? "<" + *name : std::string();  // "" only for results without one
    for (char& c : key) c = (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    auto [it, added] = group.emplace(key, members.size());
    if (added) members.emplace_back();
    members[it->second].push_back((int32_t)i);
  }
  for (std::vector<int32_t>& idx : members) {
    std::reverse(idx.begin(), idx.end());  // file order
    const int n = (int)idx.size();
    const int r = n - prunekeepcount(n, proportion);
    if (mode == 'F') {
      for (int k = 0; k < r; k++) marks[(size_t)idx[(size_t)(n - 1 - k)]] = 1;
    } else if (mode == 'L') {
      for (int k = 0; k < r; k++) marks[(size_t)idx[(size_t)k]] = 1;
    } else if (mode == 'R') {
      std::vector<char> flags((size_t)n, 0);
      for (int k = 0; k < r; k++) flags[(size_t)k] = 1;
      for (int i = 0; i < n; i++) {
        int offset = (int)(optimiser_u() * (n - i));
        if (offset > n - i - 1) offset = n - i - 1;
        std::swap(flags[(size_t)i], flags[(size_t)(i + offset)]);
      }
      for (int k = 0; k < n; k++) marks[(size_t)idx[(size_t)(n - 1 - k)]] = flags[(size_t)k];
    } else {
      std::vector<IndexScore> order((size_t)n);
      for (int k = 0; k < n; k++)
        order[(size_t)k] = {idx[(size_t)k], LSet_at<Result>(set, (uint32_t)idx[(size_t)k]).score};
      std::qsort(order.data(), order.size(), sizeof(IndexScore), IndexScore_cmp);
      for (int k = 0; k < r; k++) marks[(size_t)order[(size_t)k].index] = 1;
    }
  }
  return marks;
}

int manageresultsfile(const PruneOptions& o) {
  uint64_t size = filesize(o.file);
  if ((int64_t)size <= o.limit) return 0;
  reportf("%s exceeded %d bytes, pruning...", o.file, (int)o.limit);
  LSet set = Results_load(o.file, nullptr);
  if (simstop == 2) {  // loading was cut short: nothing is pruned
    Results_free(set);
    return 0;
  }
  std::vector<char> marks = prunemarks(set, o.proportion, o.mode);
  // The kept and the removed results, sharing the texts of `set`.
  LSet kept = LSet_new(sizeof(Result));
  LSet removed = LSet_new(sizeof(Result));
  for (uint32_t i = 0; i < set.count; i++)
    LSet_add(marks[i] ? &removed : &kept, &LSet_at<Result>(set, i));
  int outcome = (int)removed.count;
  if (removed.count > 0) {
    bool store = o.removedstore && *o.removedstore;
    // The store first: once it holds the removed results, replacing the file loses nothing.
    if (store && !Results_save(removed, o.removedstore, 1)) outcome = -1;
    else if (!Results_save(kept, o.file, 0)) outcome = -1;
  }
  LSet_free(kept);
  LSet_free(removed);
  Results_free(set);
  return outcome;
}
