// Particle sources: the rod and MARS constructors, their file readers and the release of every
// record's copies, and the rod as an obstacle (inside test, Reimpact detection, box). The files
// are read once, line by line, into records; the copies are then made from the first n of
// them. Random angles and times come from the deterministic family keyed by the simulation's
// seed, so a source's particles depend only on its file, its cell and that seed.
#include "sim/components/sources.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/kinematics.h"
#include "base/random.h"
#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"
#include "sim/components/crossing.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

constexpr double MEV = 1.602176462e-13;  // J
constexpr double GEV = 1.602176462e-10;  // J
constexpr double RELEASE_DELAY = 5e-9;   // s, added to rod-source times
constexpr double RELEASE_SIGMA = 1e-9;   // s, rod-source time spread
// Mixed into the simulation's seed to key the time-spread stream, whose index starts at 0 for
// each source: the angles use the seed itself from the source's index base, so the two draws
// never share a stream index. The source's index base picks its time stream, so two sources
// do not repeat each other's times.
constexpr uint32_t TIMESTREAM = 0x74696d65u;

// One usable record of a particle file, in the file's units: kinetic energy in joules,
// positions in metres, the direction normalised.
struct SourceRecord {
  double ke, weight;
  double x, y, z;
  double dx, dy, dz;
  double t;     // s
  int species;  // the species (rod files, set by the loader) or the MARS number (MARS files)
};

// Reads `count` numbers separated by `sep` (',' or blank space) filling the whole line (white
// space around them allowed). False when a number is missing or not finite, or text follows.
bool readnumbers(const char* s, char sep, int count, double* out) {
  for (int k = 0; k < count; k++) {
    while (*s == ' ' || *s == '\t') s++;
    if (k > 0 && sep == ',') {
      if (*s != ',') return false;
      s++;
    }
    char* end;
    out[k] = std::strtod(s, &end);
    if (end == s || !std::isfinite(out[k])) return false;
    s = end;
  }
  while (*s == ' ' || *s == '\t' || *s == '\r') s++;
  return *s == 0;
}

// Kinetic energy, weight and direction make a particle: finite, KE ≥ 0, weight ≥ 0, a
// direction of nonzero length (normalised here).
bool usable(SourceRecord* r) {
  if (!(r->ke >= 0) || !(r->weight >= 0)) return false;
  const double len = std::sqrt(r->dx * r->dx + r->dy * r->dy + r->dz * r->dz);
  if (!(len > 0) || !std::isfinite(len)) return false;
  r->dx /= len, r->dy /= len, r->dz /= len;
  return true;
}

// The first value of a MARS line must be an integer and the second an integer in 32 bits.
bool integral32(double v) { return v == std::floor(v) && v >= -2147483648.0 && v <= 2147483647.0; }

struct ReadResult {
  bool opened = false;
  bool klayout = false;  // rod files: the header chose the layout with positions in m and times
  std::vector<SourceRecord> records;
  int skipped = 0;
  bool quit = false;  // the user ended the program while the file was read (nothing kept)
};

// Reads the whole file after its header. rod: the rod layouts (chosen by the header's first
// character); otherwise the MARS layout. Progress "Counting particles... %d" (rod) or
// "Counting particles in '%s'... %d" (MARS) every 1000 lines and at the end.
ReadResult readsource(const char* path, bool rod, const char* shown) {
  ReadResult r;
  FILE* f = std::fopen(path, "rb");
  if (!f) return r;
  r.opened = true;
  std::optional<std::string> header = fgetline(f);
  const bool klayout = header && !header->empty() && (*header)[0] == 'k';
  r.klayout = klayout;
  int lines = 0;
  auto progress = [&]() {
    if (rod) reportupdatef("Counting particles... %d", lines);
    else reportupdatef("Counting particles in '%s'... %d", shown, lines);
  };
  while (std::optional<std::string> line = fgetline(f)) {
    lines++;
    if (lines % 1000 == 0) {
      if (simstop == 2) {
        std::fclose(f);
        r.records.clear();
        r.skipped = 0;
        r.quit = true;
        return r;
      }
      progress();
    }
    SourceRecord rec{};
    double v[11] = {};
    bool ok;
    if (rod && klayout) {
      ok = readnumbers(line->c_str(), ',', 9, v);
      rec = SourceRecord{v[0] * MEV, v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], 0};
    } else if (rod) {
      ok = readnumbers(line->c_str(), ',', 8, v);
      rec = SourceRecord{v[0] * MEV, v[1], v[5] * 0.01, v[6] * 0.01, v[7] * 0.01,
                         v[2], v[3], v[4], 0, 0};
    } else {
      ok = readnumbers(line->c_str(), ' ', 11, v) && integral32(v[0]) && integral32(v[1]);
      rec = SourceRecord{v[2] * GEV, v[3], v[4] * 0.01, v[5] * 0.01, v[6] * 0.01,
                         v[7], v[8], v[9], v[10], ok ? (int32_t)v[1] : 0};
    }
    if (ok && usable(&rec)) r.records.push_back(rec);
    else r.skipped++;
  }
  progress();
  std::fclose(f);
  return r;
}

// A Gaussian of mean 0 and variance 1 by the pair method on the running index j: consecutive
// indices share one pair of uniforms (cos for even j, sin for odd).
double gaussian(uint32_t key, uint32_t j) {
  const double u = durnd(key, j & ~1u);
  const double phi = dfrnd(2 * M_PI, key, j | 1u);
  const double g = std::sqrt(2 * std::fabs(std::log(u + 1e-20)));
  return j & 1u ? g * std::sin(phi) : g * std::cos(phi);
}

int32_t clampcopies(double v, const char* what, const char* shown) {
  if (!(v > 0)) return 0;
  if (v > SOURCE_MAXCOPIES) {
    reportf("[WARNING] %s: %s %g cut to %d", shown, what, v, (int)SOURCE_MAXCOPIES);
    return SOURCE_MAXCOPIES;
  }
  return (int32_t)std::lround(v);
}

// The releases of one source: copies, numbering, azimuths and time spread. `place` turns a
// record (position and proper velocity already rotated about the local z axis) into the
// particle's global position and velocity and sets its release time from the record's.
struct Releaser {
  Simulation* sim;
  int32_t timespread, axial;
  uint32_t index;  // the angle stream's running index
  uint32_t tindex = 0;
  uint32_t timekey = 0;

  template <class Place>
  int run(const std::vector<SourceRecord>& records, const char* shown, bool mars, Place place) {
    const int32_t divisor = sim->divisor > 0 ? sim->divisor : 1;
    const size_t n = records.size() / (size_t)divisor;
    const uint64_t copies = (uint64_t)(timespread > 1 ? timespread : 1) *
                            (uint64_t)(axial > 1 ? axial : 1);
    uint64_t P = 1;
    while (P < copies) P *= 10;
    uint32_t base = 0;
    for (int32_t i = 0; i < sim->beam.M; i++)
      if (sim->beam.particles[i].id > base) base = sim->beam.particles[i].id;
    if (n > 0 && (uint64_t)base + P * n - 1 + copies > 0xFFFFFFFFull) {
      reportf("[FATAL] %s: %zu records in %llu copies need particle numbers beyond 4294967295",
              shown, n, (unsigned long long)copies);
      return -1;
    }
    timekey = drnda(sim->seed ^ TIMESTREAM, index);
    std::set<int32_t> unknown;
    for (uint64_t k = 1; k <= copies; k++) {
      for (size_t i = 0; i < n; i++) {
        if ((i + 1) % 1000 == 0) {
          if (simstop == 2) return -1;  // the user ended the program; nothing to report
          if (mars) reportupdatef("Reading particle file '%s'... %zu / %zu", shown, i + 1, n);
          else reportupdatef("Reading CSV file... %zu / %zu", i + 1, n);
        }
        const SourceRecord& r = records[i];
        int species = r.species;
        if (mars) {
          species = -1;
          for (int s = NSPECIES; s-- > 0;)
            if (ParticleSpecies_marspid[s] == r.species && r.species != PID_NONE) {
              species = s;
              break;
            }
          if (species < 0) {
            if (unknown.insert(r.species).second)
              reportf("[WARNING] Unrecognised %s PID %d", "MARS", r.species);
            continue;
          }
          if (!(sim->allowedspecies & (1u << species))) continue;
        }
        const uint32_t id = (uint32_t)(base + P * (i + 1) - 1 + k);
        Particle* p = addparticlecon(sim, (ParticleSpecies)species, id, nullptr, 0);
        const double e = r.ke / E0[species];
        const double V = c_light * std::sqrt(e * (e + 2));
        double x = r.x, y = r.y, dx = r.dx, dy = r.dy;
        if (axial > 0) {
          const double th = dfrnd(2 * M_PI, sim->seed, index++);
          const double c = std::cos(th), s = std::sin(th);
          const double x1 = x * c + y * s, y1 = y * c - x * s;
          const double dx1 = dx * c + dy * s, dy1 = dy * c - dx * s;
          x = x1, y = y1, dx = dx1, dy = dy1;
        }
        p->x = x, p->y = y, p->z = r.z;
        p->Vx = V * dx, p->Vy = V * dy, p->Vz = V * r.dz;
        p->weight = r.weight / (double)copies;
        double spread = 0;
        if (timespread > 0) spread = gaussian(timekey, tindex++);
        place(p, r, timespread > 0, spread);
      }
    }
    return 1;
  }
};

// The cell's position among the machine's children, -1 when it is not one of them.
int cellposition(const Simulation* sim, const Cell* cell) {
  if (!sim->lattice || sim->lattice->t != Composite) return -1;
  return Cell_index(sim->lattice, cell);
}

// The data file's name checked and made into its path, or "" after the message.
std::string datafile(const char* file, const char* who) {
  if (!datafilename_ok(file)) {
    reportf("[FATAL] %s: data file name '%s' must be a relative path inside datafiles/", who,
            file ? file : "");
    return std::string();
  }
  std::string name = std::string("datafiles/") + file;
  for (char& ch : name)
    if (ch == '\\') ch = '/';
  return name;
}

}  // namespace

int datafilename_ok(const char* name) {
  if (!name || !*name) return 0;
  if (name[0] == '/' || name[0] == '\\' || std::strchr(name, ':')) return 0;
  const char* s = name;
  while (*s) {
    const char* e = s;
    while (*e && *e != '/' && *e != '\\') e++;
    if (e - s == 2 && s[0] == '.' && s[1] == '.') return 0;
    s = *e ? e + 1 : e;
  }
  return 1;
}

void rodsource_lookups(Rodsource* rod) {
  rod->cosangle = std::cos(rod->angle);
  rod->sinangle = std::sin(rod->angle);
}

int loadbeam_rodsource(const Rodsource* rod, const char* path, int32_t timespread,
                       int32_t axial, int species, Simulation* sim, uint32_t index) {
  if (species < 0 || species >= NSPECIES) {
    reportf("[FATAL] %s: no particle species %d", path, species);
    return -1;
  }
  report("Loading tantalum rod source data...");
  ReadResult file = readsource(path, true, path);
  if (file.quit) return -1;
  if (!file.opened) {
    reportf("CSV read of %s failed, generating error box", path);
    return 0;
  }
  if (file.skipped) reportf("[WARNING] %d unusable lines skipped in %s", file.skipped, path);
  for (SourceRecord& r : file.records) r.species = species;
  Releaser rel{sim, timespread, axial, index};
  // Records of the "k" layout carry times; the other layout has none.
  const bool klayout = file.klayout;
  const double ca = rod->cosangle, sa = rod->sinangle;
  int ok = rel.run(file.records, path, false,
                   [&](Particle* p, const SourceRecord& r, bool spread, double g) {
                     const double x = p->x, z = p->z - rod->length / 2;
                     p->x = x * ca + z * sa;
                     p->z = z * ca - x * sa + rod->z;
                     const double vx = p->Vx, vz = p->Vz;
                     p->Vx = vx * ca + vz * sa;
                     p->Vz = vz * ca - vx * sa;
                     p->tstart = spread    ? RELEASE_DELAY + RELEASE_SIGMA * g
                                 : klayout ? r.t + RELEASE_DELAY
                                           : 0.0;
                   });
  if (ok == 1) report("Tantalum rod source data loaded.");
  return ok;
}

int loadbeam_marssource(AffineFrame frame, const char* path, int32_t timespread, double sigma,
                        int32_t axial, Simulation* sim, uint32_t index) {
  reportf("Loading '%s' particle data...", path);
  ReadResult file = readsource(path, false, path);
  if (file.quit) return -1;
  if (!file.opened) {
    reportf("CSV read of '%s' failed, generating error box", path);
    return 0;
  }
  if (file.skipped) reportf("[WARNING] %d unusable lines skipped in %s", file.skipped, path);
  Releaser rel{sim, timespread, axial, index};
  int ok = rel.run(file.records, path, true,
                   [&](Particle* p, const SourceRecord& r, bool spread, double g) {
                     affine(frame, &p->x, &p->y, &p->z);
                     affine_no_trans(frame, &p->Vx, &p->Vy, &p->Vz);
                     p->tstart = r.t + (spread ? sigma * g : 0.0);
                   });
  if (ok == 1) reportf("'%s' particle data loaded.", path);
  return ok;
}

void conrodsource(Cell* cell, Simulation* sim) {
  Rodsource rod{ROD_RADIUS, ROD_LENGTH, Cell_attrib(cell, "z", 0), Cell_attrib(cell, "rodangle", 0),
                0, 0};
  rodsource_lookups(&rod);
  std::memcpy(cell->rtd, &rod, sizeof rod);
  if (!sim) return;
  const char* name = cell->name ? cell->name : "";
  const char* file = Cell_stringattrib(cell, "file");
  if (!file) {
    reportf("[FATAL] Rod source '%s' lacks a 'file' attribute", name);
    return;
  }
  std::string path = datafile(file, "rodsource");
  if (path.empty()) return;
  path = setextension(path.c_str(), "csv");
  int species = 0;
  if (const char* sp = Cell_stringattrib(cell, "species")) {
    species = speciesfromstring(sp, 0);
    if (species < 0) {
      reportf("[FATAL] Rod source '%s': unknown particle species '%s'", name, sp);
      return;
    }
  }
  const uint32_t base = (uint32_t)cellposition(sim, cell) * 7654321u;
  const int32_t axial = clampcopies(Cell_attrib(cell, "axial", 0), "axial", name);
  const int32_t spread = clampcopies(Cell_attrib(cell, "timespread", 0), "timespread", name);
  const int ok = loadbeam_rodsource(&rod, path.c_str(), spread, axial, species, sim, base);
  if (ok == 0) reportf("[FATAL] ERROR: Failed to load pion data from file '%s'", path.c_str());
}

void conmarssource(Cell* cell, Simulation* sim) {
  cell->t = Nonmachine;
  if (!sim) return;
  const char* file = Cell_stringattrib(cell, "file");
  if (!file) {
    report("[FATAL] MARSsource component lacking 'file' attribute");
    return;
  }
  const std::string path = datafile(file, "MARSsource");
  if (path.empty()) return;
  const char* name = cell->name ? cell->name : "";
  const uint32_t base = (uint32_t)cellposition(sim, cell) * 1234567u;
  const int32_t axial = clampcopies(Cell_attrib(cell, "axial", 0), "axial", name);
  const int32_t spread = clampcopies(Cell_attrib(cell, "timespread", 0), "timespread", name);
  const int ok = loadbeam_marssource(cell->axis, path.c_str(), spread,
                                     Cell_attrib(cell, "sigma", 0), axial, sim, base);
  if (ok == 0) reportf("[FATAL] ERROR: Failed to load particle data from file '%s'", path.c_str());
}

int inrodsource(const void* data, double x, double y, double z, double /*t*/) {
  const Rodsource* rod = static_cast<const Rodsource*>(data);
  const double dz = z - rod->z;
  const double a = x * rod->sinangle + dz * rod->cosangle;
  const double px = x - a * rod->sinangle, pz = dz - a * rod->cosangle;
  return px * px + y * y + pz * pz <= 0.99 * rod->radius * rod->radius &&
         std::fabs(a) <= 0.495 * rod->length;
}

int CDrodsource(const void* data, const Particle* start, const Particle* end, double t0,
                double t1, unsigned /*thread*/, const ScatterData* material,
                const Simulation* /*sim*/, Particle* out, double* tout) {
  const Rodsource* rod = static_cast<const Rodsource*>(data);
  *out = *end;
  *tout = t1;
  const double r2 = 0.99 * rod->radius * rod->radius, half = 0.495 * rod->length;
  const double sa = rod->sinangle, ca = rod->cosangle;
  // Along the axis from the centre, and squared distance from the axis.
  auto along = [&](const Particle& p) { return p.x * sa + (p.z - rod->z) * ca; };
  auto off2 = [&](const Particle& p) {
    const double a = along(p), px = p.x - a * sa, pz = p.z - rod->z - a * ca;
    return px * px + p.y * p.y + pz * pz;
  };
  bool found = false;
  Particle best;
  double tbest = t1;
  // Each surface is searched only when its values at the step's ends allow a crossing.
  auto consider = [&](IsoFunction f, const void* coeffs, double fa, double fb, bool side) {
    if (!iso_maycross(fa, fb)) return;
    Particle o;
    double to;
    if (!scatterparticle_isocd(*start, *end, t0, t1, f, coeffs, material, &o, &to)) return;
    if (found && !(to < tbest)) return;
    if (side ? !(std::fabs(along(o)) <= half) : !(off2(o) <= r2)) return;
    best = o;
    tbest = to;
    found = true;
  };
  const boreiso_coeffs side{0, 0, rod->z, sa, 0, ca, r2};
  consider(boreiso, &side, boreisoxyz(start->x, start->y, start->z, &side),
           boreisoxyz(end->x, end->y, end->z, &side), true);
  for (double s : {-half, half}) {
    const lineariso_coeffs face{-(rod->z * ca) - s, sa, 0, ca};
    consider(lineariso, &face, linearisoxyz(start->x, start->y, start->z, &face),
             linearisoxyz(end->x, end->y, end->z, &face), false);
  }
  if (!found) return 0;
  best.state = Reimpact;
  *out = best;
  *tout = tbest;
  return 1;
}

void BBrodsource(void* data, Cell* cell) {
  const Rodsource* rod = static_cast<const Rodsource*>(data);
  const double h = std::hypot(rod->length / 2, rod->radius);
  Cell_bbextend(cell, -h, -h, rod->z - h);
  Cell_bbextend(cell, h, h, rod->z + h);
}
