// The optimiser: makegenome builds the working set (the lattice's results plus its sample
// results), picks a trial type, breeds a genome from parents chosen by a randomised
// tournament and retries while the genome repeats an earlier one; getbestresult serves the
// run cycle's rerun of the best result. Owns the trial-type names. Called once per run; the
// cost is dominated by reading the working set's genomes (LocalGrad and the repeat check).
#include "results/optimiser.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "base/random.h"
#include "base/text.h"
#include "language/genome.h"
#include "results/queue.h"
#include "results/results.h"
#include "base/report.h"

const char* const TrialTypeName[NTRIALTYPES] = {
    "Random",      "Mutate",  "Crossover", "Interpolate", "Extrapolate",
    "MuSpherical", "Brindle", "Extreme",   "LocalGrad",   "TopoSmooth",
    "CellDouble",  "CellDelete", "CellCommute"};

const double TrialType_defaultratios[NTRIALTYPES] = {0, 3, 3, 3, 3, 3, 3, 1, 3, 1, 1, 1, 1};
const int TrialType_needed[NTRIALTYPES] = {0, 1, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0};

const char* TrialType_name(TrialType t) {
  if (t == trial::SetFromFile) return "SetFromFile";
  if (t >= 0 && t < NTRIALTYPES) return TrialTypeName[t];
  return "?";
}

double optimiser_u() {
  int r1 = rand15();
  int r2 = rand15();
  return (r2 + r1 / 32768.0) / 32768.0;
}

namespace {

// floor(u·n) for n ≥ 1, at most n − 1.
int uindex(int n) {
  int i = (int)(optimiser_u() * n);
  return i > n - 1 ? n - 1 : (i < 0 ? 0 : i);
}

int digitsof(int32_t R) {
  int d = 0;
  for (int32_t r = R; r > 1; r /= 10) d++;
  return d;
}

// A new empty genome at resolution R.
Genome newat(int32_t R) {
  Genome g = Genome_new();
  g.sigfigs = digitsof(R);
  return g;
}

// A copy of p at resolution R (values as they are; they are clamped when stored).
Genome copyat(const Genome& p, int32_t R) {
  Genome g = Genome_copyof(p);
  g.sigfigs = digitsof(R);
  return g;
}

int32_t half(int32_t R) {
  return R / 2;
}

// A gene name split at its first run of digits: prefix, number, suffix.
struct CellName {
  std::string prefix;
  long number = 0;
  std::string suffix;
  bool ok = false;
};

// The digits at s read as a number, capped so that ±1 stays in int range.
long readnumber(const char* s, const char** end) {
  long v = 0;
  while (isdigit((unsigned char)*s)) {
    if (v < 100000000L) v = v * 10 + (*s - '0');
    s++;
  }
  *end = s;
  return v;
}

CellName splitcell(const char* name) {
  CellName c;
  const char* d = name;
  while (*d && !isdigit((unsigned char)*d)) d++;
  if (!*d) return c;
  c.prefix.assign(name, d - name);
  const char* e;
  c.number = readnumber(d, &e);
  c.suffix = e;
  c.ok = true;
  return c;
}

// 1 when name begins with x (without letter case) followed by a digit.
bool infamily(const char* name, const std::string& x) {
  return startsnocase(name, x) && isdigit((unsigned char)name[x.size()]);
}

std::string cellname(const std::string& x, long k, const std::string& s) {
  char buf[32];
  snprintf(buf, sizeof buf, "%ld", k);
  return x + buf + s;
}

// The value of gene `name` in g when present and ≥ 0.
bool nonnegative(const Genome& g, const char* name, int32_t* v) {
  int32_t r = graw(&g, name);
  if (r < 0) return false;
  *v = r;
  return true;
}

// Crossover, Interpolate and Extrapolate: the genes of a that b also has with a value ≥ 0,
// mixed by `mix(a, b)`.
template <class Mix>
Genome pairwise(const Genome& a, const Genome& b, int32_t R, Mix mix) {
  Genome g = newat(R);
  for (int i = 0; i < a.count; i++) {
    int32_t vb;
    if (!nonnegative(b, a.names[i], &vb)) continue;
    optimiser_store(&g, a.names[i], mix(a.values[i], vb), R);
  }
  return g;
}

}  // namespace

void optimiser_store(Genome* g, const char* name, double v, int32_t R) {
  if (std::isnan(v)) v = 0;
  if (name[0] == '#') {
    if (v < (double)INT32_MIN) v = INT32_MIN;
    if (v > (double)INT32_MAX) v = INT32_MAX;
  } else {
    if (v < 0) v = 0;
    if (v > R - 1) v = R - 1;
  }
  gassign(g, name, (int32_t)v);
}

// ---- choosing the trial type and the parents ----

TrialType getrandomtrialtype_m(int m, const double* ratios) {
  if (!ratios) ratios = TrialType_defaultratios;
  double total = 0;
  for (int k = 0; k < NTRIALTYPES; k++) total += ratios[k];
  double x = optimiser_u() * total;
  TrialType candidate = trial::Random;
  for (int k = NTRIALTYPES - 1; k >= 0; k--) {
    x -= ratios[k];
    if (x < 0) {
      candidate = k;
      break;
    }
  }
  double u = optimiser_u();
  if (u < std::pow((double)(m > 1 ? m : 1), -0.4)) return trial::Random;
  return candidate;
}

TrialType getrandomtrialtype(LSet set, const double* ratios) {
  return getrandomtrialtype_m((int)set.count, ratios);
}

Tournament Tournament_draw(int n) {
  Tournament t{1, 0, 1};
  double a = optimiser_u() * 1.25;
  double T = std::pow((double)n, a);
  t.size = (int)((1 - std::exp(-T / n)) * n);
  if (t.size < 1) t.size = 1;
  if (t.size > n) t.size = n;
  t.start = uindex(n);
  if (n > 1) {
    do {
      t.step = 1 + (int)(optimiser_u() * (n - 1));
      if (t.step > n - 1) t.step = n - 1;
    } while (std::gcd(t.step, n) != 1);
  }
  return t;
}

Genome Results_fairlygood(LSet set, double* score) {
  int n = (int)set.count;
  if (n == 0) return Genome_new();
  Tournament t = Tournament_draw(n);
  int winner = -1;
  double best = 0;
  for (int i = 0; i < t.size; i++) {
    int k = (int)((t.start + (int64_t)i * t.step) % n);
    double s = LSet_at<Result>(set, k).score;
    if (!(s > -9e99)) continue;  // failed runs (and NaN) never win
    if (winner < 0 || s > best) {
      winner = k;
      best = s;
    }
  }
  if (winner < 0) return Genome_new();
  Genome g = Result_genome(LSet_at<Result>(set, winner), 1);
  Genome_striphashfields(&g);
  if (score) *score = best;
  return g;
}

void Results_fairlygoodtwo(LSet set, Genome* a, Genome* b) {
  *a = Results_fairlygood(set, nullptr);
  *b = Results_fairlygood(set, nullptr);
  for (int i = 0; i < 10 && Genome_identical(*a, *b); i++) {
    Genome_free(*b);
    *b = Results_fairlygood(set, nullptr);
  }
}

// ---- the trial types ----

Genome trial_mutate(const Genome& p, int32_t R) {
  Genome g = copyat(p, R);
  int n = p.count > 0 ? p.count : 0;
  double e = optimiser_u() * 1.3;
  double pw = std::pow((double)n, e);
  double S = std::pow(R * 0.5, 1 / pw);
  for (int i = 0; i < n; i++) {
    double d = (int)(2 * optimiser_u()) == 1 ? 1 : -1;
    double step = std::pow(optimiser_u() * S, pw);
    optimiser_store(&g, p.names[i], p.values[i] + d * step, R);
  }
  return g;
}

Genome trial_crossover(const Genome& a, const Genome& b, int32_t R) {
  float f = (float)optimiser_u();
  return pairwise(a, b, R, [f](int32_t va, int32_t vb) {
    return optimiser_u() < f ? (double)va : (double)vb;
  });
}

Genome trial_interpolate(const Genome& a, const Genome& b, int32_t R) {
  float f = (float)optimiser_u();
  return pairwise(a, b, R, [f](int32_t va, int32_t vb) {
    float v = (float)va * f + (float)vb * (1.0f - f);
    return (double)v;
  });
}

Genome trial_extrapolate(const Genome& a, const Genome& b, int32_t R) {
  float f;
  do f = (float)optimiser_u();
  while (f == 0.5f);
  float w = 0.25f / (f - 0.5f) + 0.5f;
  return pairwise(a, b, R, [w](int32_t va, int32_t vb) {
    float v = (float)va * w + (float)vb * (1.0f - w);
    return (double)v;
  });
}

Genome trial_muspherical(const Genome& p, int32_t R) {
  Genome g = copyat(p, R);
  int n = p.count > 0 ? p.count : 0;
  double r = std::pow((double)R, optimiser_u());
  std::vector<double> d(n);
  double s = 0;
  for (int i = 0; i < n; i++) {
    d[i] = 2 * optimiser_u() - 1;
    s += d[i] * d[i];
  }
  double k = s > 0 ? r / std::sqrt(s) : 1;
  for (int i = 0; i < n; i++) optimiser_store(&g, p.names[i], p.values[i] + k * d[i], R);
  return g;
}

Genome trial_brindle(const Genome& p, int32_t R) {
  Genome g = copyat(p, R);
  int n = p.count;
  if (n >= 1) {
    double r = std::pow((double)R, optimiser_u());
    double a = 2 * optimiser_u() - 1;
    int j = uindex(n);
    optimiser_store(&g, p.names[j], p.values[j] + a * r, R);
  }
  return g;
}

Genome trial_extreme(const Genome& p, int32_t R) {
  Genome g = copyat(p, R);
  int n = p.count;
  if (n < 1) return g;
  int k = (int)std::pow((double)n, optimiser_u());
  double t = 1.5 * optimiser_u() - 0.5;
  double m = t <= 1e-6 ? -2 * t : 1 / t;
  int32_t h = half(R);
  int remaining = k;
  for (int i = n - 1; i >= 0; i--) {
    int j = (int)(optimiser_u() * (i + 1));
    if (j > i) j = i;
    if (j >= remaining) continue;
    remaining--;
    double v = p.values[i];
    double d = (v - h) * m;
    double x;
    if (m >= 1) x = d + h;
    else if (p.values[i] == 0) x = optimiser_u() * (h + d);
    else if (p.values[i] == R - 1) x = R - optimiser_u() * (h - d);
    else x = d + h;
    optimiser_store(&g, p.names[i], x, R);
  }
  return g;
}

Genome trial_localgrad(LSet working, const Genome& p, double sp, int32_t R) {
  Genome g = newat(R);
  int n = p.count;
  int m = (int)working.count;
  if (n < 1 || m < 1) {
    Genome_free(g);
    return copyat(p, R);
  }
  int K = (int)std::pow((double)m, optimiser_u());
  if (K < 1) K = 1;
  if (K > m) K = m;
  struct Slot {
    double d2 = 1e20;
    double dscore = 0;
    std::vector<double> offset;
    bool used = false;
  };
  std::vector<Slot> slots(K);
  for (Slot& s : slots) s.offset.assign(n, 0.0);
  int32_t h = half(R);
  std::vector<double> off(n);
  for (int i = m - 1; i >= 0; i--) {
    if (i % 100 == 0 && i > 0)
      reportupdatef("TrialType=%s, locating nearby genomes... %d", TrialTypeName[trial::LocalGrad], i);
    const Result& r = LSet_at<Result>(working, i);
    Genome rg = Result_genome(r, 1);
    double d2 = 0;
    for (int j = 0; j < n; j++) {
      int32_t v;
      if (!nonnegative(rg, p.names[j], &v)) v = h;
      off[j] = (double)v - p.values[j];
      d2 += off[j] * off[j];
    }
    Genome_free(rg);
    int pos = 0;
    while (pos < K && slots[pos].d2 <= d2) pos++;
    if (pos >= K) continue;
    slots.pop_back();
    Slot s;
    s.d2 = d2;
    s.dscore = r.score - sp;
    s.offset = off;
    s.used = true;
    slots.insert(slots.begin() + pos, std::move(s));
  }
  std::vector<double> grad(n);
  double G2 = 1e-99;
  for (int j = 0; j < n; j++) {
    double num = 0, den = 1e-20;
    for (const Slot& s : slots) {
      if (!s.used) continue;
      num += s.offset[j] * s.dscore;
      den += s.offset[j] * s.offset[j];
    }
    grad[j] = num / den;
    G2 += grad[j] * grad[j];
  }
  double t = 2 * optimiser_u();
  if (t > 1) t = 1 / (2.000001 - t);
  double D = 0;
  for (const Slot& s : slots)
    if (s.used && s.d2 > D) D = s.d2;
  double scale = t * std::sqrt(D) / std::sqrt(G2);
  for (int j = 0; j < n; j++) optimiser_store(&g, p.names[j], p.values[j] + scale * grad[j], R);
  return g;
}

Genome trial_toposmooth(const Genome& p, int32_t R) {
  Genome g = newat(R);
  double w = optimiser_u();
  bool smoothed = false;
  for (int i = p.count - 1; i >= 0; i--) {
    const char* name = p.names[i];
    double sum = 0;
    int count = 0;
    for (const char* s = name; *s;) {
      if (!isdigit((unsigned char)*s)) {
        s++;
        continue;
      }
      const char* e;
      long N = readnumber(s, &e);
      std::string prefix(name, s - name), suffix(e);
      for (long nb : {N + 1, N - 1}) {
        std::string other = cellname(prefix, nb, suffix);
        int32_t v = graw(&p, other.c_str());
        if (ghas(&p, other.c_str())) {
          sum += v;
          count++;
        }
      }
      s = e;
    }
    if (count == 0) {
      optimiser_store(&g, name, p.values[i], R);
    } else {
      optimiser_store(&g, name, w * (sum / count) + p.values[i] * (1 - w), R);
      smoothed = true;
    }
  }
  if (!smoothed) {
    Genome_free(g);
    return newat(R);
  }
  return g;
}

Genome trial_celledit(TrialType type, const Genome& p, int32_t R) {
  int n = p.count;
  std::vector<std::string> prefixes;
  for (int i = n - 1; i >= 0; i--) {
    CellName c = splitcell(p.names[i]);
    if (!c.ok) continue;
    bool seen = false;
    for (const std::string& x : prefixes) seen = seen || equalnocase(x, c.prefix);
    if (!seen) prefixes.push_back(c.prefix);
  }
  if (n < 1 || prefixes.empty()) return newat(R);
  std::string x = prefixes[uindex((int)prefixes.size())];
  long c;
  for (;;) {
    const char* name = p.names[uindex(n)];
    if (infamily(name, x)) {
      const char* e;
      c = readnumber(name + x.size(), &e);
      break;
    }
  }
  long d = 0;
  if (type == trial::CellCommute) {
    bool below = false, above = false;
    for (int i = 0; i < n; i++) {
      if (!infamily(p.names[i], x)) continue;
      const char* e;
      long k = readnumber(p.names[i] + x.size(), &e);
      below = below || k == c - 1;
      above = above || k == c + 1;
    }
    if (below) d = c - 1;
    else if (above) d = c + 1;
    else return newat(R);
  }
  Genome g = newat(R);
  for (int i = n - 1; i >= 0; i--) {
    const char* name = p.names[i];
    double v = p.values[i];
    if (!infamily(name, x)) {
      optimiser_store(&g, name, v, R);
      continue;
    }
    const char* e;
    long k = readnumber(name + x.size(), &e);
    std::string s(e);
    if (type == trial::CellDouble) {
      if (k < c) optimiser_store(&g, name, v, R);
      else if (k == c) {
        optimiser_store(&g, name, v, R);
        optimiser_store(&g, cellname(x, c + 1, s).c_str(), v, R);
      } else optimiser_store(&g, cellname(x, k + 1, s).c_str(), v, R);
    } else if (type == trial::CellDelete) {
      if (k < c) optimiser_store(&g, name, v, R);
      else if (k > c) optimiser_store(&g, cellname(x, k - 1, s).c_str(), v, R);
    } else {
      if (k == c) optimiser_store(&g, cellname(x, d, s).c_str(), v, R);
      else if (k == d) optimiser_store(&g, cellname(x, c, s).c_str(), v, R);
      else optimiser_store(&g, name, v, R);
    }
  }
  return g;
}

// ---- makegenome ----

namespace {

// One genome of trial type 0 … 12 from the working set.
Genome applytrialtype(TrialType type, LSet working, int32_t R) {
  int m = (int)working.count;
  if (m < TrialType_needed[type]) return newat(R);
  switch (type) {
    case trial::Crossover:
    case trial::Interpolate:
    case trial::Extrapolate: {
      Genome a, b;
      Results_fairlygoodtwo(working, &a, &b);
      Genome g = type == trial::Crossover     ? trial_crossover(a, b, R)
                 : type == trial::Interpolate ? trial_interpolate(a, b, R)
                                              : trial_extrapolate(a, b, R);
      Genome_free(a);
      Genome_free(b);
      return g;
    }
    case trial::Random:
      return newat(R);
    default:
      break;
  }
  double sp = 0;
  Genome p = Results_fairlygood(working, &sp);
  Genome g;
  switch (type) {
    case trial::Mutate: g = trial_mutate(p, R); break;
    case trial::MuSpherical: g = trial_muspherical(p, R); break;
    case trial::Brindle: g = trial_brindle(p, R); break;
    case trial::Extreme: g = trial_extreme(p, R); break;
    case trial::LocalGrad: g = trial_localgrad(working, p, sp, R); break;
    case trial::TopoSmooth: g = trial_toposmooth(p, R); break;
    default: g = trial_celledit(type, p, R); break;
  }
  Genome_free(p);
  return g;
}

}  // namespace

Genome makegenome(LSet results, char* lattice, TrialType type, ResultFormat* format,
                  const double* ratios) {
  // The working set: the lattice's results (shared texts), then its sample results from the
  // last loaded to the first (owned here).
  LSet working = Results_filter(results, lattice);
  LSet samples = LSet_new(sizeof(Result));
  if (lattice) {
    char name[600];
    snprintf(name, sizeof name, "samplefiles/%s.txt", lattice);
    samples = (LSet_free(samples), Results_load(name, lattice));
    for (uint32_t i = samples.count; i-- > 0;) LSet_add(&working, &LSet_at<Result>(samples, i));
  }
  int m = (int)working.count;
  int digits = format && format->genomedigits >= 1 && format->genomedigits <= 9 ? format->genomedigits : 3;
  int32_t R = Genome_resolution(digits);

  if (type == trial::ChooseByRatios) type = getrandomtrialtype_m(m, ratios);
  if (type < trial::SetFromFile || type >= NTRIALTYPES) type = trial::Random;
  reportf("Making new genome, TrialType=%s...", TrialType_name(type));

  Genome g;
  if (type == trial::SetFromFile && m == 0) {
    reportf("[WARNING] Could not find genome for lattice %s, trying random/empty one...",
            lattice ? lattice : "");
    type = trial::Random;
  }
  if (type == trial::SetFromFile) {
    g = Result_genome(LSet_at<Result>(working, m - 1), 1);
    Genome_striphashfields(&g);
  } else {
    // Avoid repeating an earlier genome: up to 99 retries, the 100th attempt is kept.
    std::vector<Genome> earlier;
    bool parsed = false;
    for (int attempt = 1;; attempt++) {
      g = applytrialtype(type, working, R);
      if (attempt >= 100 || m == 0) break;
      if (!parsed) {
        for (int i = m - 1; i >= 0; i--) earlier.push_back(Result_genome(LSet_at<Result>(working, i), 0));
        parsed = true;
      }
      bool repeat = false;
      for (const Genome& e : earlier) {
        if (Genome_identical(g, e)) {
          repeat = true;
          break;
        }
      }
      if (!repeat) break;
      Genome_free(g);
    }
    for (Genome& e : earlier) Genome_free(e);
  }

  LSet_free(working);
  Results_free(samples);
  reportupdatef("Making new genome, TrialType=%s... Done", TrialType_name(type));
  if (type >= 0) gassign(&g, "#gen", type);
  return g;
}

Genome getbestresult(LSet results, char** lattice) {
  int best = -1;
  double bestscore = 0;
  for (uint32_t i = results.count; i-- > 0;) {
    const Result& r = LSet_at<Result>(results, i);
    if (*lattice && !Result_islattice(r, *lattice)) continue;
    if (!(r.score > -9e199)) continue;
    if (best < 0 || r.score > bestscore) {
      best = (int)i;
      bestscore = r.score;
    }
  }
  if (best < 0) return Genome_none();
  const Result& r = LSet_at<Result>(results, best);
  if (!*lattice) {
    std::optional<std::string> name = Result_lattice(r);
    *lattice = strdup(name ? name->c_str() : "");
  }
  return Result_genome(r, 1);
}

void Results_genomescore(LSet* set, Genome* g, double score) {
  ResultFormat fmt = {3, 6, 0, nullptr};
  genomeresult(g, score, 0, nullptr, nullptr, nullptr, set, &fmt, nullptr);
}
