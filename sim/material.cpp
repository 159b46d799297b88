// Material transport: loading material tables (index file and binary layer files named by a
// printf pattern), the process-wide material cache, the momentum-layer choice and
// scatterparticle. Loading runs on the main thread during machine construction; the transport
// runs on every tracking thread for every particle inside a material, segment by segment.
#include "sim/material.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/bytes.h"
#include "base/kinematics.h"
#include "base/random.h"
#include "base/report.h"
#include "sim/pusher.h"

const char* const ScatterKind_name[NSCATTERKINDS] = {
    "None", "Nuclear", "Hard electron", "Soft electron", "Resonance", "Discrete", "Cherenkov",
};

bool scatteringsuppressed = false;

namespace {

constexpr uint32_t MAXLAYERS = 100000;

// 1 when `pattern` holds exactly one integer conversion (flags "-+ #0", width and precision of
// at most three digits each, conversion d i u o x X, no length modifier) and otherwise only
// plain text and "%%"; 0 otherwise. Such a pattern is safe to hand to snprintf with one int.
int checkpattern(const char* pattern) {
  int conversions = 0;
  for (const char* s = pattern; *s; s++) {
    if (*s != '%') continue;
    s++;
    if (*s == '%') continue;
    while (*s && std::strchr("-+ #0", *s)) s++;
    int digits = 0;
    while (*s >= '0' && *s <= '9') s++, digits++;
    if (digits > 3) return 0;
    if (*s == '.') {
      s++;
      digits = 0;
      while (*s >= '0' && *s <= '9') s++, digits++;
      if (digits > 3) return 0;
    }
    if (!*s || !std::strchr("diuoxX", *s)) return 0;
    conversions++;
  }
  return conversions == 1;
}

// dir + pattern formatted with k. The pattern has been checked.
std::string patternpath(const char* dir, const std::string& pattern, int k) {
  char name[4096];
  int n = std::snprintf(name, sizeof name, pattern.c_str(), k);
  if (n < 0 || n >= (int)sizeof name) return std::string();
  return std::string(dir) + name;
}

// Reads one layer file into *layer. Returns 1 when it exists and is sound; 0 when it is
// missing (*damaged = 0) or damaged (*damaged = 1: short, absurdly long, or a bad record).
int readlayerfile(const std::string& path, ScatterLayer* layer, int* damaged) {
  *damaged = 0;
  if (path.empty()) return 0;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::vector<unsigned char> bytes;
  const size_t limit = (size_t)SCATTER_MAXRECORDS * sizeof(ScatterRecord);
  unsigned char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (bytes.size() > limit) break;
  }
  std::fclose(f);
  *damaged = 1;
  if (bytes.size() > limit || bytes.size() % sizeof(ScatterRecord) != 0) return 0;
  size_t n = bytes.size() / sizeof(ScatterRecord);
  layer->records.resize(n);
  layer->cumrate.resize(n);
  double sum = 0;
  ByteReader in = bytereader_memory(bytes.data(), bytes.size());
  for (size_t i = 0; i < n; i++) {
    ScatterRecord r;
    br_f32(&in, &r.rate);
    br_f32(&in, &r.dpalong);
    br_f32(&in, &r.dpacross);
    br_u8(&in, &r.kind);
    br_bytes(&in, r.spare, 3);
    if (!std::isfinite(r.rate) || r.rate < 0 || !std::isfinite(r.dpalong) ||
        !std::isfinite(r.dpacross))
      return 0;
    sum += (double)r.rate;
    layer->records[i] = r;
    layer->cumrate[i] = sum;
  }
  *damaged = 0;
  return 1;
}

// One unit Gaussian by the pair method on the particle's stream: uniforms at seq with its
// lowest bit cleared (radius) and set (angle), cosine for an even seq, sine for an odd one.
double streamgaussian(Particle* p) {
  uint32_t j = p->seq++;
  double u = durnd(p->seed, j & ~1u);
  double phi = dfrnd(6.283185307179586, p->seed, j | 1u);
  double r = std::sqrt(2.0 * std::fabs(std::log(u + 1e-20)));
  return r * ((j & 1u) ? std::sin(phi) : std::cos(phi));
}

// A unit direction perpendicular to V, uniform in angle: a point drawn uniformly in the unit
// ball (three draws per attempt, rejecting points outside), its component along V removed,
// normalised. A point that has nothing left after the removal is drawn again. A V that has no
// direction (zero or not finite) gives the zero vector without a draw.
V3 perpendiculardirection(Particle* p, V3 V) {
  V3 vhat = V3_normalise(V);
  if (!std::isfinite(vhat.x) || !std::isfinite(vhat.y) || !std::isfinite(vhat.z))
    return V3{0, 0, 0};
  for (;;) {
    uint32_t s = p->seq;
    p->seq += 3;
    V3 d{dfrnd(2.0, p->seed, s) - 1.0, dfrnd(2.0, p->seed, s + 1) - 1.0,
         dfrnd(2.0, p->seed, s + 2) - 1.0};
    if (V3_normsq(d) > 1.0) continue;
    d -= (d * vhat) * vhat;
    double n2 = V3_normsq(d);
    if (n2 > 0) return d * (1.0 / std::sqrt(n2));
  }
}

// The momentum's size changes by `along` and its direction turns towards d (a unit vector
// across V) by the angle whose tangent is across/|p|: a kick across the flight changes the
// direction only. Momenta in MeV/c, converted to V units for mass m (kg).
void kick(Particle* p, double along, double across, V3 d, double m) {
  V3 V{p->Vx, p->Vy, p->Vz};
  double f = KGMS_PER_MEVC / m;
  double size = V3_norm(V);
  if (!(size > 0)) return;
  double newsize = size + along * f;
  V3 turned = V * (1.0 / size) + d * (across * f / size);
  V3 W = turned * (newsize / V3_norm(turned));
  p->Vx = W.x;
  p->Vy = W.y;
  p->Vz = W.z;
}

double momentum(const Particle* p, double m) {
  return std::sqrt(p->Vx * p->Vx + p->Vy * p->Vy + p->Vz * p->Vz) * m * MEVC_PER_KGMS;
}

}  // namespace

ScatterData loadelms2_from(const char* dir, const char* pattern, bool counts) {
  ScatterData data;
  if (!dir) dir = "";
  if (!pattern || !checkpattern(pattern)) {
    reportf("[FATAL] Material pattern '%s' must hold exactly one integer conversion",
            pattern ? pattern : "(none)");
    return data;
  }
  std::string pat(pattern);
  std::replace(pat.begin(), pat.end(), '\\', '/');

  std::string indexpath = patternpath(dir, pat, 0);
  FILE* f = indexpath.empty() ? nullptr : std::fopen(indexpath.c_str(), "r");
  if (!f) {
    reportf("[FATAL] Failed to load material '%s': cannot open '%s'", pattern, indexpath.c_str());
    return data;
  }
  struct IndexLine {
    double p, meanloss, lossvar, transvar;
  };
  std::vector<IndexLine> index;
  IndexLine l;
  while (index.size() < MAXLAYERS &&
         std::fscanf(f, "%lg\t%lg\t%lg\t%lg\n", &l.p, &l.meanloss, &l.lossvar, &l.transvar) == 4) {
    bool sound = std::isfinite(l.p) && std::isfinite(l.meanloss) && std::isfinite(l.lossvar) &&
                 std::isfinite(l.transvar) && l.lossvar >= 0 && l.transvar >= 0 && l.p > 0 &&
                 (index.empty() || l.p > index.back().p);
    if (!sound) {
      reportf("Material '%s': index line %d is not usable; the layer list ends before it",
              pattern, (int)index.size() + 1);
      break;
    }
    index.push_back(l);
  }
  std::fclose(f);

  int records = 0;
  int perkind[NSCATTERKINDS] = {0};
  for (size_t k = 0; k < index.size(); k++) {
    ScatterLayer layer;
    int damaged;
    std::string path = patternpath(dir, pat, (int)k + 1);
    if (!readlayerfile(path, &layer, &damaged)) {
      if (damaged)
        reportf("Material '%s': layer file '%s' is damaged; the layer list ends before it",
                pattern, path.c_str());
      break;
    }
    layer.meanloss = index[k].meanloss;
    layer.lossvar = index[k].lossvar;
    layer.transvar = index[k].transvar;
    double discrete = 0;
    for (const ScatterRecord& r : layer.records) {
      discrete += (double)r.rate * (double)r.dpalong;
      if (r.kind < NSCATTERKINDS) perkind[r.kind]++;
    }
    layer.totalloss = layer.meanloss + discrete;
    records += (int)layer.records.size();
    data.p.push_back(index[k].p);
    data.layer.push_back(std::move(layer));
  }
  data.n = (int)data.p.size();
  if (data.n < 2) {
    reportf("[FATAL] Failed to load material '%s': %d usable layers", pattern, data.n);
    return ScatterData();
  }
  if (counts) {
    reportf("Loaded %s: %d records", pattern, records);
    for (int k = 0; k < NSCATTERKINDS; k++)
      if (perkind[k]) reportf("%s: %d", ScatterKind_name[k], perkind[k]);
  }
  return data;
}

ScatterData loadelms2(const char* pattern, bool counts) {
  return loadelms2_from("datafiles/", pattern, counts);
}

const ScatterData* loadelms2cached(const char* name, bool counts) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<ScatterData>> cache;
  if (!name) name = "";
  std::string key(name);
  std::replace(key.begin(), key.end(), '\\', '/');
  std::lock_guard<std::mutex> hold(lock);
  auto found = cache.find(key);
  if (found != cache.end()) return found->second.get();
  ScatterData loaded = loadelms2(name, counts);
  if (loaded.n == 0) return nullptr;
  auto stored = std::make_unique<ScatterData>(std::move(loaded));
  const ScatterData* result = stored.get();
  cache.emplace(key, std::move(stored));
  return result;
}

int ScatterData_momlayer(const ScatterData* material, double p, Particle* particle) {
  int n = material->n;
  const double* P = material->p.data();
  if (n < 1 || !(p >= P[0])) return -1;
  if (p >= P[n - 1]) return n;
  int lo = 0, hi = n - 1;
  while (hi - lo > 1) {
    int mid = (lo + hi) / 2;
    if (P[mid] <= p)
      lo = mid;
    else
      hi = mid;
  }
  double u = dfrnd(P[hi] - P[lo], particle->seed, particle->seq);
  particle->seq++;
  return u < p - P[lo] ? hi : lo;
}

void scatterparticle(Particle* p, double t, double dt, const ScatterData* material) {
  if (!material) {
    advanceparticle(p, t, dt);
    return;
  }
  const double m = speciesmass[p->species];
  const double tend = t + dt;
  double tau = t;
  for (;;) {
    // The layer for the present momentum.
    int k = ScatterData_momlayer(material, momentum(p, m), p);
    if (k < 0) {
      p->state = ScatterSlow;
      return;
    }
    if (k >= material->n) {
      p->state = ScatterFast;
      return;
    }
    const ScatterLayer& layer = material->layer[k];
    // Distance to the next discrete interaction, and its time at the present speed.
    double totalrate = layer.cumrate.empty() ? 0.0 : layer.cumrate.back();
    double u = dfrnd(1.0, p->seed, p->seq++);
    if (u < 1e-8) u = 1e-8;
    double s = -std::log(u) / totalrate;
    double v = v_from_Vxyz(p->Vx, p->Vy, p->Vz);
    double tseg = s / v;
    // The last segment ends with the step; its length follows from the present speed.
    bool last = scatteringsuppressed || !(tau + tseg <= tend);
    double duration = last ? tend - tau : tseg;
    double length = last ? v * duration : s;
    // Through the fields.
    advanceparticle(p, tau, duration);
    tau = last ? tend : tau + duration;
    // Continuous loss, straggling and scattering over the segment.
    double along, across;
    if (scatteringsuppressed) {
      along = -length * layer.totalloss;
      across = 0;
    } else {
      double g1 = streamgaussian(p), g2 = streamgaussian(p), g3 = streamgaussian(p);
      along = std::sqrt(length * layer.lossvar) * g1 - length * layer.meanloss;
      double spread = std::sqrt(length * layer.transvar);
      double a1 = spread * g2, a2 = spread * g3;
      across = std::sqrt(a1 * a1 + a2 * a2);
    }
    V3 d = perpendiculardirection(p, V3{p->Vx, p->Vy, p->Vz});
    // A loss that would take all the momentum stops the particle here (it would otherwise
    // turn round and run backwards).
    if (!(momentum(p, m) + along > 0)) {
      p->state = ScatterSlow;
      return;
    }
    kick(p, along, across, d, m);
    // The step ends with the last segment.
    if (last) return;
    // The discrete interaction at the segment's end.
    k = ScatterData_momlayer(material, momentum(p, m), p);
    if (k < 0) {
      p->state = ScatterSlow;
      return;
    }
    if (k >= material->n) {
      p->state = ScatterFast;
      return;
    }
    const ScatterLayer& here = material->layer[k];
    double rate = here.cumrate.empty() ? 0.0 : here.cumrate.back();
    double w = dfrnd(rate, p->seed, p->seq++);
    auto it = std::upper_bound(here.cumrate.begin(), here.cumrate.end(), w);
    if (rate <= 0 || it == here.cumrate.end()) continue;  // a layer without interactions
    const ScatterRecord& r = here.records[it - here.cumrate.begin()];
    d = perpendiculardirection(p, V3{p->Vx, p->Vy, p->Vz});
    if (!(momentum(p, m) - (double)r.dpalong > 0)) {
      p->state = ScatterSlow;
      return;
    }
    kick(p, -(double)r.dpalong, (double)r.dpacross, d, m);
  }
}
