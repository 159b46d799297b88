// Beam definitions: the `beam` and `particle` class constructors, the beam generators (Twiss
// waterbag, circular, pencil) and the particle-file readers (aperture CSV, ICOOL). Runs on the
// main thread while a Simulation is built; every random number comes from the deterministic
// family keyed by the Simulation's seed, so a beam does not depend on anything but its cell
// and that seed.
#include "sim/components/beamdef.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/files.h"
#include "base/kinematics.h"
#include "base/random.h"
#include "base/text.h"
#include "lattice/cell.h"
#include "base/platform.h"
#include "base/report.h"
#include "sim/components/sources.h"
#include "sim/simulation.h"

const char* const DistributionType_name[6] = {"InvalidDist", "Waterbag", "KV",
                                              "Gaussian",    "Uniform",  "ExpTails"};

namespace {

constexpr double GEV_C = 5.344285418948064e-19;  // 1 GeV/c in kg m/s
constexpr double J_TO_EV = 6.241509744511525e18;

bool sameword(const char* a, const char* b) { return a && b && strnullcmpi(a, b) == 0; }

// The type named by `text` among `accepted` (a list ending with InvalidDist), else 0 after
// the message `fmt`.
DistributionType distlookup(const char* text, const DistributionType* accepted, const char* fmt) {
  for (const DistributionType* d = accepted; *d != InvalidDist; d++)
    if (sameword(text, DistributionType_name[*d])) return *d;
  reportf(fmt, text ? text : "");
  return InvalidDist;
}

const char* const TRANSMSG = "[FATAL] Unknown transverse distribution type '%s'";

// The request for n particles of a generated beam, cut to what a beam may hold.
int32_t beamcount(double n, const char* kind) {
  if (!(n > 0)) return 0;
  if (n > BEAM_MAXGENERATED) {
    reportf("[WARNING] %s beam of %lg particles cut to %d", kind, n, (int)BEAM_MAXGENERATED);
    return BEAM_MAXGENERATED;
  }
  return (int32_t)n;
}

std::string datapath(const char* file) {
  std::string name = std::string("datafiles/") + (file ? file : "");
  for (char& ch : name)
    if (ch == '\\') ch = '/';
  return name;
}

// Lattice files come from the network: a beam file must be named, and stay inside datafiles/.
bool datafilerefused(const char* file, const char* who) {
  if (!file) reportf("[FATAL] %s: no 'file' attribute", who);
  else if (!datafilename_ok(file))
    reportf("[FATAL] %s: data file name '%s' must be a relative path inside datafiles/", who, file);
  else return false;
  return true;
}

bool finite(const double* v, int n) {
  for (int i = 0; i < n; i++)
    if (!std::isfinite(v[i])) return false;
  return true;
}

}  // namespace

DistributionType TransDist_fromstring(const char* text) {
  static const DistributionType ok[] = {Waterbag, KV, Gaussian, InvalidDist};
  return distlookup(text, ok, TRANSMSG);
}

DistributionType LongDist_fromstring(const char* text) {
  static const DistributionType ok[] = {Uniform, Gaussian, InvalidDist};
  return distlookup(text, ok, "[FATAL] Unknown longitudinal distribution type '%s'");
}

DistributionType ErrorDist_fromstring(const char* text) {
  static const DistributionType ok[] = {ExpTails, Uniform, Gaussian, KV, Waterbag, InvalidDist};
  return distlookup(text, ok, "[FATAL] Unknown error distribution type '%s'");
}

DistributionType DistributionType_fromstring(const char* text) {
  static const DistributionType ok[] = {ExpTails, Uniform, Gaussian, KV, Waterbag, InvalidDist};
  return distlookup(text, ok, TRANSMSG);
}

Beam Beam_twiss(ParticleSpecies species, int32_t n, DistributionType, double emitx, double,
                double betax, double emity, double, double betay, DistributionType, double E0v,
                double dE, double t0, double dt, uint32_t seed) {
  Beam beam = Beam_new();
  if (n <= 0) return beam;
  Beam_extendalloc(&beam, n);
  double ax = std::sqrt(betax * emitx), ay = std::sqrt(betay * emity);
  // Slopes scale sqrt(emit/beta); a zero beta (missing attribute) gives no divergence rather
  // than an infinite one.
  double sx = betax > 0 ? std::sqrt(emitx / betax) : 0.0;
  double sy = betay > 0 ? std::sqrt(emity / betay) : 0.0;
  double mc2 = E0[species];
  uint32_t k = 0;
  for (int32_t i = 0; i < n; i++) {
    double u1, u2, u3, u4;
    do {
      u1 = dfrnd(2, seed, k) - 1;
      u2 = dfrnd(2, seed, k + 1) - 1;
      u3 = dfrnd(2, seed, k + 2) - 1;
      u4 = dfrnd(2, seed, k + 3) - 1;
      k += 4;
    } while (u1 * u1 + u2 * u2 + u3 * u3 + u4 * u4 > 1);
    double u5 = dfrnd(2, seed, k) - 1;
    double u6 = dfrnd(2, seed, k + 1) - 1;
    k += 2;
    double ke = u5 * dE + E0v;
    if (ke < 0) ke = 0;
    double g = ke / mc2 + 1;
    double V = c_light * std::sqrt(g * g - 1);
    Particle* p = Beam_addparticle(&beam, species, nullptr);
    p->x = ax * u1;
    p->y = ay * u3;
    p->z = 0;
    p->Vx = sx * u2 * V;
    p->Vy = sy * u4 * V;
    p->Vz = V;
    p->tstart = u6 * dt + t0;
  }
  return beam;
}

Beam Beam_circular(ParticleSpecies species, int32_t n, double radius, double divergence,
                   double length, double Emin, double Emax, double t_start, uint32_t seed) {
  Beam beam = Beam_new();
  if (n <= 0) return beam;
  Beam_extendalloc(&beam, n);
  double mc2 = E0[species];
  for (int32_t i = 0; i < n; i++) {
    uint32_t k = 6u * (uint32_t)i;
    double r = std::sqrt(durnd(seed, k)) * radius;
    double th = dfrnd(2 * M_PI, seed, k + 1);
    double z = dfrnd(length, seed, k + 2);
    double ke = Emin + dfrnd(Emax - Emin, seed, k + 3);
    double g = ke / mc2 + 1;
    double V = c_light * std::sqrt(g * g - 1);
    double a = std::sqrt(durnd(seed, k + 4)) * divergence;
    double ph = dfrnd(2 * M_PI, seed, k + 5);
    double norm = V / std::sqrt(1 + a * a);
    Particle* p = Beam_addparticle(&beam, species, nullptr);
    p->x = r * std::cos(th);
    p->y = r * std::sin(th);
    p->z = z;
    p->Vx = norm * a * std::cos(ph);
    p->Vy = norm * a * std::sin(ph);
    p->Vz = norm;
    p->tstart = t_start;
  }
  return beam;
}

Beam Beam_pencil(ParticleSpecies species, double vx, double vy, double vz, double Emin,
                 double Emax, double Estep) {
  Beam beam = Beam_new();
  double len = std::sqrt(vx * vx + vy * vy + vz * vz);
  V3 d = len > 0 ? V3{vx / len, vy / len, vz / len} : V3{0, 0, 1};
  double mc2 = E0[species];
  auto add = [&](double ke) {
    double g = ke / mc2 + 1;
    double V = c_light * std::sqrt(g * g - 1);
    Particle* p = Beam_addparticle(&beam, species, nullptr);
    p->Vx = V * d.x;
    p->Vy = V * d.y;
    p->Vz = V * d.z;
  };
  if (!(Estep > 0)) {
    // The energy would never advance: one particle at the lowest energy.
    if (Emin <= Emax) add(Emin);
    return beam;
  }
  if (Emax + Estep / 2 <= Emin) return beam;
  double count = std::floor((Emax + Estep / 2 - Emin) / Estep) + 1;
  int32_t n = beamcount(count, "pencil");
  for (int32_t i = 0; i < n; i++) {
    double ke = Emin + i * Estep;
    if (!(ke < Emax + Estep / 2)) break;
    add(ke);
  }
  return beam;
}

namespace {

// Whether a CSV field begins with a number (after blanks), as every particle line's first does.
bool numberfield(const std::string& field) {
  const char* p = field.c_str();
  char* end = nullptr;
  std::strtod(p, &end);
  return end != p;
}

// The user ended the program while a beam file was read: nothing of it is kept, and nothing is
// reported.
Beam quitreading(FILE* f, Beam* beam) {
  std::fclose(f);
  Beam_free(beam);
  return Beam_new();
}
}  // namespace

Beam Beam_apertureCSV(const char* file, int pidstyle) {
  Beam beam = Beam_new();
  if (datafilerefused(file, "apertureCSVbeam")) return beam;
  std::string path = datapath(file);
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    reportf("[FATAL] apertureCSVbeam: data file %s not found", file ? file : "");
    return beam;
  }
  int skipped = 0, malformed = 0, firstmalformed = 0, lineno = 0;
  bool gammav = false;  // the velocity columns hold γv, as the output apertures write them
  while (std::optional<std::string> line = fgetline(f)) {
    if (simstop == 2) return quitreading(f, &beam);
    lineno++;
    std::vector<std::string> fields = explode(",", *line);
    if (fields.size() != 8) {
      // Reported with its line number and passed over: the lines after it are still read (a
      // blank line, as at the end of a file, is no fault).
      if (line->find_first_not_of(" \t\r\n") == std::string::npos) continue;
      if (malformed++ == 0) firstmalformed = lineno;
      continue;
    }
    if (lineno == 1 && !numberfield(fields[0])) {
      // A header line is no particle. The output apertures' header names the velocity
      // columns "(gamma m/s)": the file carries V = γv, taken as it is, so that a file an
      // aperture wrote reads back as the particles that crossed it.
      gammav = stristr(fields[5].c_str(), "gamma") != nullptr;
      continue;
    }
    double v[6];
    for (int i = 0; i < 6; i++) v[i] = atof(fields[i].c_str());
    double w = atof(fields[7].c_str());
    int species;
    if (pidstyle == PIDMars || pidstyle == PIDPdg) {
      species = speciesfrompid((int32_t)atol(fields[6].c_str()), pidstyle);
    } else {
      std::string name = fields[6];
      char* text = name.data();
      species = speciesfromstring(stripspaceinplace(text), 0);
    }
    double v2 = v[3] * v[3] + v[4] * v[4] + v[5] * v[5];
    if (!finite(v, 6) || !std::isfinite(w) || (!gammav && !(v2 < c_sq))) {
      skipped++;
      continue;
    }
    double g = gammav ? 1 : 1 / std::sqrt(1 - v2 * inv_c_sq);
    Particle* p = Beam_addparticle(&beam, (ParticleSpecies)species, nullptr);
    p->x = v[0];
    p->y = v[1];
    p->z = 0;
    p->tstart = v[2];
    p->Vx = g * v[3];
    p->Vy = g * v[4];
    p->Vz = g * v[5];
    p->weight = w;
  }
  fclose(f);
  if (malformed)
    reportf("[WARNING] apertureCSVbeam: %d line(s) of %s without 8 fields skipped, the first "
            "at line %d", malformed, file, firstmalformed);
  if (skipped) reportf("[WARNING] apertureCSVbeam: %d unusable lines skipped in %s", skipped, file);
  if (beam.M == 0) reportf("[WARNING] apertureCSVbeam: no particles added from %s", file);
  return beam;
}

Beam Beam_ICOOL(const char* file) {
  Beam beam = Beam_new();
  if (datafilerefused(file, "ICOOLbeam")) return beam;
  std::string path = datapath(file);
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    reportf("[FATAL] ICOOLbeam: data file %s not found", file ? file : "");
    return beam;
  }
  int skipped = 0;
  for (int i = 0; i < 2; i++)
    if (!fgetline(f)) break;
  while (std::optional<std::string> line = fgetline(f)) {
    if (simstop == 2) return quitreading(f, &beam);
    int n1, n2, type, n4;
    double v[11];
    if (sscanf(line->c_str(), " %d %d %d %d %lg %lg %lg %lg %lg %lg %lg %lg %lg %lg %lg", &n1,
               &n2, &type, &n4, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8],
               &v[9], &v[10]) != 15)
      continue;
    int species = speciesfrompid(type, PIDIcool);
    // Numbers that are not finite are unusable whatever the species (an unknown one is kept
    // as −1 and left out later, but must not carry infinities into the beam), and so is a
    // momentum too large for a finite proper velocity.
    double k = species >= 0 && speciesmass[species] > 0 ? GEV_C / speciesmass[species] : 0;
    if (!finite(v, 8) || (species >= 0 && !(speciesmass[species] > 0)) ||
        !std::isfinite(v[5] * k) || !std::isfinite(v[6] * k) || !std::isfinite(v[7] * k)) {
      skipped++;
      continue;
    }
    Particle* p = Beam_addparticle(&beam, (ParticleSpecies)species, nullptr);
    p->tstart = v[0];
    p->weight = v[1];
    p->x = v[2];
    p->y = v[3];
    p->z = v[4];
    if (species >= 0) {
      p->Vx = v[5] * k;
      p->Vy = v[6] * k;
      p->Vz = v[7] * k;
    }
  }
  fclose(f);
  if (skipped) reportf("[WARNING] ICOOLbeam: %d unusable lines skipped in %s", skipped, file);
  if (beam.M == 0) reportf("[WARNING] ICOOLbeam: no particles added from %s", file);
  return beam;
}

void conbeam(Cell* cell, Simulation* sim) {
  if (!sim) return;
  const char* type = Cell_stringattrib(cell, "type");
  if (!type) {
    static const char* const names[][2] = {{"twiss-beam", "Twiss"},
                                          {"circular-beam", "circular"},
                                          {"pencil-beam", "pencil"},
                                          {"ApertureCSV-beam", "ApertureCSV"},
                                          {"ICOOL-beam", "ICOOL"}};
    for (const auto& row : names)
      if (sameword(cell->type_name, row[0])) type = row[1];
    if (!type) {
      report("[FATAL] Beam type not specified");
      return;
    }
  }
  int species = -1;
  if (Cell_hasattrib(cell, "species")) {
    species = speciesfromstring(Cell_stringattrib(cell, "species"), 0);
    if (species < 0) {
      report("[FATAL] Unrecognised particle species for beam in lattice file");
      return;
    }
    sim->allowedspecies |= 1u << species;
  }
  ParticleSpecies sp = (ParticleSpecies)(species < 0 ? 0 : species);
  auto num = [&](const char* name) { return Cell_attrib(cell, name, 0); };

  Beam beam{};  // an empty beam that holds no memory until a generator fills it
  if (sameword(type, "Twiss")) {
    double emit = Cell_hasattrib(cell, "TransEmitNorm")   ? 10 * num("TransEmitNorm")
                  : Cell_hasattrib(cell, "TransEmitGeom") ? num("TransEmitGeom")
                                                          : 0.0;
    DistributionType longdist = Uniform, transdist = Waterbag;
    if (const char* t = Cell_stringattrib(cell, "LongDist")) {
      longdist = LongDist_fromstring(t);
      if (!longdist) return;
    }
    if (const char* t = Cell_stringattrib(cell, "TransDist")) {
      transdist = TransDist_fromstring(t);
      if (!transdist) return;
    }
    int32_t n = beamcount(std::trunc(num("population")), "Twiss");
    beam = Beam_twiss(sp, n, transdist, emit, num("alphax"), num("betax"), emit, num("alphay"),
                      num("betay"), longdist, num("Energy"), num("EnergySpread"), num("Time"),
                      num("TimeSpread"), sim->seed);
  } else if (sameword(type, "circular")) {
    double Emin = 0, Emax = 0;
    if (Cell_hasattrib(cell, "energy")) Emin = Emax = num("energy");
    if (Cell_hasattrib(cell, "minenergy")) Emin = num("minenergy");
    if (Cell_hasattrib(cell, "maxenergy")) Emax = num("maxenergy");
    if (species < 0) {
      report("[FATAL] Particle species for circularbeam not specified in lattice file");
      return;
    }
    int32_t n = beamcount(std::trunc(num("population")), "circular");
    beam = Beam_circular(sp, n, num("radius"), num("divergence"), num("length"), Emin, Emax,
                         num("t_start"), sim->seed);
  } else if (sameword(type, "pencil")) {
    if (species < 0) {
      report("[FATAL] Particle species for pencilbeam not specified in lattice file");
      return;
    }
    beam = Beam_pencil(sp, num("vx"), num("vy"), num("vz"), num("minenergy"), num("maxenergy"),
                       num("energystep"));
  } else if (sameword(type, "ApertureCSV")) {
    const char* style = Cell_stringattrib(cell, "PIDStyle");
    int pid = sameword(style, "MARS") ? PIDMars : sameword(style, "PDG") ? PIDPdg : PIDName;
    beam = Beam_apertureCSV(Cell_stringattrib(cell, "file"), pid);
  } else if (sameword(type, "ICOOL")) {
    beam = Beam_ICOOL(Cell_stringattrib(cell, "file"));
  }
  addbeamtosimulation(&beam, sim, cell->axis);
  Beam_free(&beam);

  if (num("IgnoreTimes") != 0)
    for (int32_t i = 0; i < sim->beam.M; i++) sim->beam.particles[i].tstart = 0;
  cell->t = Nonmachine;
}

void conparticle(Cell* cell, Simulation* sim) {
  if (!sim) return;
  const char* spname = Cell_stringattrib(cell, "species");
  int species = spname ? speciesfromstring(spname, 0) : -1;
  if (species < 0) species = speciesfromstring(cell->name, 1);
  if (species < 0) {
    report(Cell_hasattrib(cell, "species")
               ? "[FATAL] Unrecognised particle species name in lattice file"
               : "[FATAL] Particle species not specified in lattice file");
    return;
  }
  double mc2 = E0[species];
  double ke = Cell_attrib(cell, "Energy", 0);

  if (cell->type_name && startsnocase(cell->type_name, "Synchronous-")) {
    Cell_setattrib(cell, "SpeciesOrd", species);
    if (ke == 0) {
      double vx = Cell_attrib(cell, "vx", 0), vy = Cell_attrib(cell, "vy", 0),
             vz = Cell_attrib(cell, "vz", 0);
      double v2 = vx * vx + vy * vy + vz * vz;
      ke = (1 / std::sqrt(1 - v2 * inv_c_sq) - 1) * mc2;
      Cell_setattrib(cell, "Energy", ke);
    }
    if (sim->rfsynclog) {
      if (FILE* log = fopen("rfsync.log", "a")) {
        fprintf(log, "conparticle - SpeciesOrd=%d(%s), Energy=%lgJ(%lgeV)\n", species,
                ParticleSpecies_name[species], ke, ke * J_TO_EV);
        fclose(log);
      }
    }
    cell->t = Nonmachine;
    return;
  }

  double idv = Cell_attrib(cell, "id", 0);
  uint32_t id = std::isfinite(idv) && idv >= 0 && idv < 4294967295.0 ? (uint32_t)std::lround(idv) : 0;
  int32_t source = 0;
  if (sim->lattice && sim->lattice->t == Composite) {
    int idx = Cell_index(sim->lattice, cell);
    if (idx >= 0) source = idx;
  }
  Particle* p = addparticlecon(sim, (ParticleSpecies)species, id, nullptr, source);
  p->x = cell->axis.origin.x;
  p->y = cell->axis.origin.y;
  p->z = cell->axis.origin.z;
  V3 d{Cell_attrib(cell, "Vx", 0), Cell_attrib(cell, "Vy", 0), Cell_attrib(cell, "Vz", 0)};
  if (d.x == 0 && d.y == 0 && d.z == 0) d = V3{0, 0, 1};
  affine_no_trans(cell->axis, &d);
  if (ke != 0) {
    double e = ke / mc2;
    double V = c_light * std::sqrt(e * (e + 2));
    double len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    d = V3{d.x * V / len, d.y * V / len, d.z * V / len};
  }
  p->Vx = d.x;
  p->Vy = d.y;
  p->Vz = d.z;
  p->tstart = Cell_attrib(cell, "t_start", 0);
  // The display trail flag has no field in the particle record; the display reads "Trail" from
  // the cell when it shows trails.
  cell->t = Nonmachine;
}
