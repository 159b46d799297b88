// optbench: measures what the optimiser is for — better designs in fewer runs than random
// search. It runs the client's loop (choose a genome, evaluate it, record the result, choose
// again) for a fixed number of runs and several seeds, once with the configured trial-type
// ratios and once with Random alone, and prints the mean and median best score after 50, 100
// and 200 runs (or the run counts given). Not part of the tests; run it by hand.
//
//   optbench synthetic [RUNS [SEEDS]]
//       scores each genome with smooth functions of its genes with a known optimum (100):
//       "sphere" 100 − 100·Σ(x_i − c_i)² over 8 genes x_i in [0, 1], and "valley", the same
//       with the genes coupled in pairs (a long narrow ridge).
//   optbench lattice NAME [RUNS [SEEDS [DIVISOR [ONLY [RECHECK [FIRSTSEED [QUARANTINE]]]]]]]
//       runs the real loop in the current directory (which needs "lattices/NAME.txt" and
//       "datafiles/"): parse and build with Simulation_new, advance to the end, score, record
//       with genomeresult, with every DIVISOR-th particle of the beam (the -/N switch).
//       ONLY "trial" or "random" runs just that search. With RECHECK > 0, the design each
//       search would choose (its best score so far) after 50, 100 and 200 runs is run again
//       RECHECK times with the whole beam and fresh seeds: the best score so far of a noisy
//       search is lifted by the largest of its noise draws, the rechecked score is not.
//       Runs of a search use the seeds SEED·100000 + run, the rechecks seeds from 900000000.
//       QUARANTINE > 1 applies the client's rule for a would-be best: a run that no result
//       run QUARANTINE times has beaten is run QUARANTINE − 1 times more (same divisor, next
//       seeds) and recorded with the score of that sample (the mean without the highest and
//       lowest fifth), as the run cycle does through its queue. Every run counts towards
//       RUNS, so a search that quarantines often gets fewer designs.
//   optbench sample NAME [RUNS [DIVISOR [SEED]]]
//       the score of RUNS random designs of the lattice, one line each with where the muon
//       weight ended (finished, wrong energy, still in flight at the end time, lost), then the
//       quartiles of the scores: how far a random design is from the ramp of the scoring and
//       how much room a better one has.
//   optbench noise NAME GENOME [RUNS [DIVISOR]]
//       one design (GENOME in the genome text form) run RUNS times with seeds 1, 2, ...:
//       each score, their mean and standard deviation.
//   optbench scan NAME GENOME [DIVISOR [POINTS]]
//       from that design, each gene in turn set to POINTS values evenly over its range (the
//       others kept), one run each (seed 1): which genes move the score and where their range
//       is dead.
//
// Nothing is written to the results files: results are kept in memory only.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/lset.h"
#include "base/random.h"
#include "language/genome.h"
#include "results/optimiser.h"
#include "results/queue.h"
#include "results/results.h"
#include "base/report.h"
#include "shell/runstate.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

void quiet(const char*, int, void*) {}

// One evaluation: fills the genes the genome lacks, records the result, and returns the
// recorded score and the number of runs it took.
struct Evaluated {
  double score;
  int runs;
};
using Evaluate = std::function<Evaluated(Genome* g, LSet* results)>;

// One optimisation from an empty results set: the best recorded score after each run, and the
// design that scored it (genome text form without hash fields). `checkpoint`, when given, is
// called after each run with the run count, so that a long search can report as it goes; it
// returns whether it reported. A recorded result that took several runs counts them all.
struct Search {
  std::vector<double> best;
  std::vector<std::string> design;
  std::vector<int> designs;  // designs recorded so far
};

Search optimise(const Evaluate& evaluate, const char* lattice, int runs, uint32_t seed,
                const std::function<bool(int, const Search&)>& checkpoint = nullptr) {
  srand15(seed);
  LSet results = LSet_new(sizeof(Result));
  Search out{std::vector<double>(runs), std::vector<std::string>(runs), std::vector<int>(runs)};
  double b = -1e300;
  std::string design;
  for (int done = 0; done < runs;) {
    char* name = lattice ? strdup(lattice) : nullptr;
    Genome g = makegenome(results, name, trial::ChooseByRatios, nullptr, settings.trialratios);
    free(name);
    const Evaluated e = evaluate(&g, &results);
    const int now = std::min(runs, done + std::max(1, e.runs));
    // Until its last run the result is not recorded: the runs before hold the earlier best.
    for (int i = done; i < now - 1; i++) {
      out.best[i] = b;
      out.design[i] = design;
      out.designs[i] = done > 0 ? out.designs[done - 1] : 0;
    }
    if (e.score > b) {
      b = e.score;
      Genome_striphashfields(&g);
      design = Genome_string(g);
    }
    Genome_free(g);
    out.best[now - 1] = b;
    out.design[now - 1] = design;
    out.designs[now - 1] = (done > 0 ? out.designs[done - 1] : 0) + 1;
    // Building a machine for a recheck draws on the generator the trial types use: after one,
    // the search goes on from a seed of its own, the same whether or not the rechecks drew.
    bool reported = false;
    for (int i = done; i < now; i++)
      if (checkpoint && checkpoint(i + 1, out)) reported = true;
    if (reported) srand15(seed + 7919u * now);
    done = now;
  }
  Results_free(results);
  return out;
}

struct Summary {
  std::vector<double> mean, median;
};

Summary summarise(const std::vector<std::vector<double>>& bests, const std::vector<int>& at) {
  Summary s;
  for (int n : at) {
    std::vector<double> v;
    double sum = 0;
    for (const auto& b : bests) {
      v.push_back(b[n - 1]);
      sum += b[n - 1];
    }
    std::sort(v.begin(), v.end());
    s.mean.push_back(sum / v.size());
    size_t k = v.size();
    s.median.push_back(k % 2 ? v[k / 2] : 0.5 * (v[k / 2 - 1] + v[k / 2]));
  }
  return s;
}

// Which of the two searches compare() runs: both, or one (so that the two can run as two
// processes side by side).
enum class Modes { Both, TrialTypes, RandomOnly };

// The score of a chosen design measured again (mean of fresh runs), for the lattice searches.
using Recheck = std::function<double(const std::string& design)>;

void compare(const char* title, const Evaluate& evaluate, const char* lattice, int runs,
             int seeds, Modes modes = Modes::Both, const Recheck& recheck = nullptr,
             int firstseed = 1, uint32_t* runseed = nullptr) {
  std::vector<int> at;
  for (int n : {50, 100, 200})
    if (n <= runs) at.push_back(n);
  if (at.empty() || at.back() != runs) at.push_back(runs);
  double configured[NTRIALTYPES];
  std::memcpy(configured, settings.trialratios, sizeof configured);
  double randomonly[NTRIALTYPES] = {1};

  printf("%s: %d runs, %d seeds (mean / median of the best score so far%s)\n", title, runs,
         seeds, recheck ? "; rechecked: mean / median of the chosen design's score run again" : "");
  printf("  %-16s", "after runs");
  for (int n : at) printf(" %17d", n);
  printf("\n");
  for (int mode = 0; mode < 2; mode++) {
    if ((mode == 0 && modes == Modes::RandomOnly) || (mode == 1 && modes == Modes::TrialTypes))
      continue;
    const char* name = mode == 0 ? "trial types" : "Random only";
    std::memcpy(settings.trialratios, mode == 0 ? configured : randomonly, sizeof configured);
    std::vector<std::vector<double>> bests, rechecked;
    for (int s = firstseed; s < firstseed + seeds; s++) {
      if (runseed) *runseed = 100000u * s;
      // Each seed's own rows as its search reaches 50, 100, 200 runs, so that a long
      // comparison can be read while it runs.
      std::vector<double> again(runs);
      std::string last;
      double value = 0;
      auto report = [&](int n, const Search& so) {
        if (std::find(at.begin(), at.end(), n) == at.end()) return false;
        fprintf(stderr, "  %s, seed %d, after %d (%d designs): best %.3f", name, s, n,
                so.designs[n - 1], so.best[n - 1]);
        if (recheck) {
          // The same design at two run counts is measured once.
          if (so.design[n - 1] != last) value = recheck(last = so.design[n - 1]);
          again[n - 1] = value;
          fprintf(stderr, ", rechecked %.3f: %s", value, last.c_str());
        }
        fprintf(stderr, "\n");
        fflush(stderr);
        return recheck != nullptr;
      };
      bests.push_back(optimise(evaluate, lattice, runs, 1000u * s + 7, report).best);
      if (recheck) rechecked.push_back(again);
    }
    for (int k = 0; k < (recheck ? 2 : 1); k++) {
      Summary sum = summarise(k == 0 ? bests : rechecked, at);
      printf("  %-16s", k == 0 ? name : "  rechecked");
      for (size_t i = 0; i < at.size(); i++) printf(" %8.3f/%8.3f", sum.mean[i], sum.median[i]);
      printf("\n");
    }
    fflush(stdout);
  }
  std::memcpy(settings.trialratios, configured, sizeof configured);
}

// ---- synthetic scores ----

const int NGENES = 8;
const double optimum[NGENES] = {0.31, 0.72, 0.55, 0.18, 0.86, 0.43, 0.64, 0.27};

std::vector<double> genesof(Genome* g) {
  std::vector<double> x(NGENES);
  for (int i = 0; i < NGENES; i++) {
    char name[16];
    snprintf(name, sizeof name, "s%df", i + 1);
    x[i] = gvalue(g, name, 0, 1);
  }
  return x;
}

double sphere(const std::vector<double>& x) {
  double s = 0;
  for (int i = 0; i < NGENES; i++) s += (x[i] - optimum[i]) * (x[i] - optimum[i]);
  return 100 - 100 * s;
}

// Pairs (x, y) scored along and across the diagonal: across it 30 times more steeply.
double valley(const std::vector<double>& x) {
  double s = 0;
  for (int i = 0; i + 1 < NGENES; i += 2) {
    double dx = x[i] - optimum[i], dy = x[i + 1] - optimum[i + 1];
    double along = (dx + dy) / std::sqrt(2.0), across = (dx - dy) / std::sqrt(2.0);
    s += along * along + 30 * across * across;
  }
  return 100 - 100 * s;
}

Evaluate synthetic(double (*f)(const std::vector<double>&)) {
  return [f](Genome* g, LSet* results) {
    double s = f(genesof(g));
    Results_genomescore(results, g, s);
    return Evaluated{s, 1};
  };
}

// ---- the real loop ----

// One run of the design `g` with the random seed `seed`: its score, or -1e300 when the
// lattice cannot be built.
double run(const std::string& lattice, Genome* g, uint32_t seed) {
  char words[40];
  snprintf(words, sizeof words, "-param:seedbase=%u", seed);
  Simulation sim = Simulation_new(lattice.c_str(), g, words);
  if (!sim.lattice) {
    Simulation_free(&sim);
    return -1e300;
  }
  while (sim.t < sim.t_max && Beam_m(&sim.beam) > 0) Simulation_advance(&sim, 1, 1, 1);
  double s = Simulation_score(&sim);
  Simulation_free(&sim);
  return s;
}

// The options of the simulations built now (the divisor), restored when it goes.
struct Divisor {
  int32_t saved;
  explicit Divisor(int32_t d) : saved(Simulation_default.divisor) { Simulation_default.divisor = d; }
  ~Divisor() { Simulation_default.divisor = saved; }
};

// The best score among the results of `lattice` run at least `needed` times, or −1e300.
double bestquarantined(const LSet& results, const char* lattice, int needed) {
  double best = -1e300;
  for (uint32_t i = 0; i < results.count; i++) {
    const Result& r = LSet_at<Result>(results, i);
    if (Result_islattice(r, lattice) && Result_runs(r) >= needed) best = std::max(best, r.score);
  }
  return best;
}

// `quarantine` > 1: the client's rule for a would-be best (see the top of the file).
Evaluate simulate(const std::string& lattice, int* failures, uint32_t* seed, int quarantine) {
  return [lattice, failures, seed, quarantine](Genome* g, LSet* results) {
    double s = run(lattice, g, (*seed)++);
    if (s <= -1e299) {
      (*failures)++;
      return Evaluated{s, 1};
    }
    ResultFormat fmt = {3, 6, 1, "Mpts"};
    int runs = 1;
    // A candidate unless a result that passed quarantine scored strictly higher.
    if (quarantine > 1 && !(bestquarantined(*results, lattice.c_str(), quarantine) > s)) {
      std::vector<double> samples{s};
      for (; runs < quarantine; runs++) samples.push_back(run(lattice, g, (*seed)++));
      s = scorefromsample(samples.data(), runs, &fmt);
      gassign(g, "#runs", runs);
    }
    genomeresult(g, s, 0, lattice.c_str(), nullptr, "", results, &fmt, nullptr);
    return Evaluated{s, runs};
  };
}

// Mean and standard deviation of `runs` runs of the design `genome` at the current divisor,
// seeds firstseed, firstseed + 1, ...
std::pair<double, double> meansd(const std::string& lattice, const std::string& genome, int runs,
                                 uint32_t firstseed, std::vector<double>* each = nullptr) {
  double sum = 0, sum2 = 0;
  for (int i = 0; i < runs; i++) {
    Genome g = Genome_fromstring(genome.c_str(), 0);
    double s = run(lattice, &g, firstseed + i);
    Genome_free(g);
    if (each) each->push_back(s);
    sum += s;
    sum2 += s * s;
  }
  double mean = sum / runs;
  double var = runs > 1 ? (sum2 - runs * mean * mean) / (runs - 1) : 0;
  return {mean, std::sqrt(std::max(0.0, var))};
}

// Random designs: scores and the fate of the muon weight, then the quartiles of the scores.
void sample(const std::string& lattice, int runs, uint32_t seed) {
  srand15(seed);
  LSet none = LSet_new(sizeof(Result));
  std::vector<double> scores;
  printf("lattice %s: %d random designs\n", lattice.c_str(), runs);
  printf("  %5s %9s %9s %9s %9s %9s %7s\n", "run", "score", "finished", "wrongE", "inflight",
         "lost", "Mpts");
  for (int i = 0; i < runs; i++) {
    char* name = strdup(lattice.c_str());
    Genome g = makegenome(none, name, trial::Random, nullptr, settings.trialratios);
    free(name);
    Simulation sim = Simulation_new(lattice.c_str(), &g, "");
    if (!sim.lattice) {
      printf("  %5d could not build the lattice\n", i + 1);
      Simulation_free(&sim);
      Genome_free(g);
      continue;
    }
    while (sim.t < sim.t_max && Beam_m(&sim.beam) > 0) Simulation_advance(&sim, 1, 1, 1);
    double s = Simulation_score(&sim);
    double w[4] = {0, 0, 0, 0};  // finished, wrong energy, in flight, lost
    for (int32_t k = 0; k < Beam_M(&sim.beam); k++) {
      const Particle& p = sim.beam.particles[k];
      if (p.species != MuPlus && p.species != MuMinus) continue;
      int at = p.state == Finished ? 0 : p.state == WrongEnergy ? 1 : p.state == Active ? 2 : 3;
      w[at] += p.weight;
    }
    printf("  %5d %9.3f %9.4f %9.4f %9.4f %9.4f %7.1f\n", i + 1, s, w[0], w[1], w[2], w[3],
           sim.Mpts);
    fflush(stdout);
    scores.push_back(s);
    Simulation_free(&sim);
    Genome_free(g);
  }
  Results_free(none);
  if (scores.empty()) return;
  std::sort(scores.begin(), scores.end());
  auto q = [&](double f) { return scores[(size_t)std::lround(f * (scores.size() - 1))]; };
  printf("  scores: min %.3f, quartiles %.3f / %.3f / %.3f, max %.3f\n", q(0), q(0.25), q(0.5),
         q(0.75), q(1));
}

int usage() {
  fprintf(stderr,
          "usage: optbench synthetic [RUNS [SEEDS]]\n"
          "       optbench lattice NAME [RUNS [SEEDS [DIVISOR [trial|random|both [RECHECK "
          "[FIRSTSEED [QUARANTINE]]]]]]]\n"
          "       optbench noise NAME GENOME [RUNS [DIVISOR]]\n"
          "       optbench scan NAME GENOME [DIVISOR [POINTS]]\n"
          "       optbench sample NAME [RUNS [DIVISOR [SEED]]]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  report_setsink(quiet, nullptr);
  resultsstorefile = nullptr;
  resultsuploadfile = nullptr;
  std::string mode = argv[1];
  if (mode == "synthetic") {
    int runs = argc > 2 ? atoi(argv[2]) : 200;
    int seeds = argc > 3 ? atoi(argv[3]) : 10;
    if (runs < 1 || seeds < 1) return usage();
    compare("sphere, 8 genes", synthetic(sphere), nullptr, runs, seeds);
    compare("valley, 8 genes", synthetic(valley), nullptr, runs, seeds);
    return 0;
  }
  if (mode == "lattice" && argc > 2) {
    std::string name = argv[2];
    int runs = argc > 3 ? atoi(argv[3]) : 200;
    int seeds = argc > 4 ? atoi(argv[4]) : 3;
    SimOptions options;
    options.divisor = argc > 5 ? atoi(argv[5]) : 10;
    switches.nocheck = 1;
    if (runs < 1 || seeds < 1) return usage();
    Simulation_defaultdefault(options);
    int failures = 0;
    Modes modes = Modes::Both;
    if (argc > 6) {
      std::string only = argv[6];
      if (only == "trial") modes = Modes::TrialTypes;
      else if (only == "random") modes = Modes::RandomOnly;
      else if (only != "both") return usage();
    }
    int recheckruns = argc > 7 ? atoi(argv[7]) : 0;
    int firstseed = argc > 8 ? atoi(argv[8]) : 1;
    int quarantine = argc > 9 ? atoi(argv[9]) : 1;
    uint32_t runseed = 0, recheckseed = 900000000u + 1000u * firstseed;
    Recheck recheck = nullptr;
    if (recheckruns > 0)
      recheck = [&](const std::string& design) {
        Divisor whole(1);
        auto r = meansd(name, design, recheckruns, recheckseed);
        recheckseed += recheckruns;
        return r.first;
      };
    compare(("lattice " + name).c_str(), simulate(name, &failures, &runseed, quarantine), name.c_str(), runs,
            seeds, modes, recheck, firstseed, &runseed);
    if (failures) printf("  %d runs could not build the lattice\n", failures);
    return 0;
  }
  if ((mode == "noise" || mode == "scan") && argc > 3) {
    std::string name = argv[2], genome = argv[3];
    SimOptions options;
    switches.nocheck = 1;
    bool noise = mode == "noise";
    int runs = noise ? (argc > 4 ? atoi(argv[4]) : 10) : 1;
    int at = noise ? 5 : 4;  // where the divisor is among the arguments
    options.divisor = argc > at ? atoi(argv[at]) : 1;
    int points = !noise && argc > 5 ? atoi(argv[5]) : 5;
    if (runs < 1 || points < 2) return usage();
    Simulation_defaultdefault(options);
    if (noise) {
      std::vector<double> each;
      auto r = meansd(name, genome, runs, 1, &each);
      printf("%s, divisor %d:", genome.c_str(), options.divisor);
      for (double v : each) printf(" %.3f", v);
      printf("\n  mean %.3f, sd %.3f over %d runs\n", r.first, r.second, runs);
      return 0;
    }
    // The genes the lattice asks for, in its order: one run fills in any the text lacks.
    Genome full = Genome_fromstring(genome.c_str(), 0);
    double base = run(name, &full, 1);
    printf("%s, divisor %d: %.3f\n", Genome_string(full).c_str(), options.divisor, base);
    printf("  %-10s", "gene");
    for (int k = 0; k < points; k++) printf(" %7d", (999 * k) / (points - 1));
    printf("\n");
    for (int i = 0; i < full.count; i++) {
      printf("  %-10s", full.names[i]);
      for (int k = 0; k < points; k++) {
        Genome g = Genome_copyof(full);
        gassign(&g, full.names[i], (999 * k) / (points - 1));
        printf(" %7.3f", run(name, &g, 1));
        fflush(stdout);
        Genome_free(g);
      }
      printf("\n");
    }
    Genome_free(full);
    return 0;
  }
  if (mode == "sample" && argc > 2) {
    int runs = argc > 3 ? atoi(argv[3]) : 20;
    SimOptions options;
    options.divisor = argc > 4 ? atoi(argv[4]) : 1;
    uint32_t seed = argc > 5 ? (uint32_t)atoi(argv[5]) : 1;
    if (runs < 1) return usage();
    Simulation_defaultdefault(options);
    sample(argv[2], runs, seed);
    return 0;
  }
  return usage();
}
