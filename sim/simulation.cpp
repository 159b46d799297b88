// Building a Simulation from a lattice: the default record, parsing with overrides, the run
// parameters, the seed, the adjustments for named legacy lattices, moment loggers, placement
// and construction of the components, bounding boxes, the proximity grid (sim/proximity.cpp)
// with the class-specific set-up (field maps, RF synchronisation) through the class table,
// adding particles and beams, and freeing. Main thread; once per design.
#include "sim/simulation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/text.h"
#include "language/parser.h"
#include "lattice/cell.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "base/report.h"
#include "sim/components/registry.h"
#include "sim/material.h"
#include "sim/proximity.h"
#include "sim/species.h"
#include "sim/stepping.h"

Simulation Simulation_default;

namespace {

// The class table and the grid operations the cell tree calls, installed once.
void installcellops() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  registry_install();
  CellSubMap_install();
}

bool beginswith(const char* text, const char* prefix) {
  return text && startsnocase(text, prefix);
}

// A number truncated towards zero into the range of a 64-bit integer (NaN gives 0), so that
// no parameter value can make the conversion undefined.
int64_t truncated(double v) {
  if (!(v == v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  return (int64_t)v;
}

int32_t truncatedint(double v) {
  int64_t i = truncated(v);
  return i > INT_MAX ? INT_MAX : i < INT_MIN ? INT_MIN : (int32_t)i;
}

// The species of an "allow_" key, matched as speciesfromstring's exact mode does but without
// its warning: unknown names are ignored here.
int allowedspeciesname(const char* name) {
  static const struct {
    const char* word;
    int species;
  } keywords[] = {{"Pion", PiPlus},     {"Muon", MuPlus},       {"Proton", Proton},
                  {"Neutron", Neutron}, {"Electron", Electron}, {"Positron", Positron}};
  for (const auto& k : keywords)
    if (equalnocase(name, k.word)) return k.species;
  for (int s = NSPECIES - 1; s >= 0; s--)
    if (equalnocase(name, ParticleSpecies_name[s])) return s;
  return -1;
}

}  // namespace

// ---- steps of Simulation_new ----

void Simulation_momentloggers(Cell* machine, double interval) {
  if (!machine || machine->t != Composite || !(interval > 0)) return;
  // A tiny interval on a long machine would insert loggers without end; beyond this many the
  // rest are left out with a warning.
  const long maxloggers = 10000;
  long made = 0;
  bool full = false;
  double s0 = 0, sL = 0;
  // The new child list is built in one pass (inserting one by one would move the tail of the
  // list for every logger).
  std::vector<Cell*> children;
  children.reserve((size_t)machine->n);
  for (int i = 0; i < machine->n; i++) {
    Cell* child = machine->children[i];
    double L = Cell_length(child);
    while (L != 0 && !full && sL <= s0 + L) {
      if (made == maxloggers) {
        reportf("[WARNING] twiss_interval %lg makes more than %ld moment loggers; the rest are "
                "left out",
                interval, maxloggers);
        full = true;
        break;
      }
      Cell* logger = Cell_new(Component, "auto-twiss");
      Cell_settypename(logger, "moments-aperture");
      Cell_setattrib(logger, "Z", sL - s0);
      children.push_back(logger);
      made++;
      sL += interval;
    }
    children.push_back(child);
    if (L != 0) s0 += L;
  }
  if (made == 0) return;
  Cell** list = static_cast<Cell**>(malloc(sizeof(Cell*) * children.size()));
  if (!list) abort();
  memcpy(list, children.data(), sizeof(Cell*) * children.size());
  free(machine->children);
  machine->children = list;
  machine->n = (int32_t)children.size();
}

void Simulation_namedlattice(Simulation* sim, const char* name) {
  Cell* machine = sim->lattice;
  bool solenoidsonly = equalnocase(name, "solenoidsonly") || equalnocase(name, "solenoidsto15cm");
  bool chicanelinacb = beginswith(name, "chicanelinacb");
  bool composite = machine->t == Composite;
  if (composite && (solenoidsonly || chicanelinacb)) {
    for (int i = 0; i < machine->n; i++) {
      Cell* c = machine->children[i];
      if (!equalnocase(c->type_name, "Drift")) continue;
      if (solenoidsonly) Cell_setattrib(c, "Bore", 0.5);
      else if (!Cell_hasattrib(c, "Bore")) Cell_setattrib(c, "Bore", 1.0);
    }
  }
  if (solenoidsonly) sim->t_max = 2e-7;
  else if (chicanelinacb) sim->t_max = 1.2e-6;
  else if (beginswith(name, "chicanelattice2") ||
           (beginswith(name, "v4.2best") && !strinstr(name, "linac")))
    sim->t_max = 3e-7;

  Cell_loadfieldmaps(machine);  // the bending magnets' map, from the last "BMagnet" cell

  if (composite &&
      (chicanelinacb || beginswith(name, "phaserotc") || equalnocase(name, "decayrotb"))) {
    Cell* cyl = Cell_new(Component, "dome_cylinder");
    Cell_settypename(cyl, "Cylinder-blockage");
    Cell_setattrib(cyl, "Zsize", 0.1);
    Cell_setattrib(cyl, "radius", 0.5);
    Cell_setattrib(cyl, "Z", -0.2);
    Cell_setattrib(cyl, "AbsorptionLength", 0);
    Cell_add(machine, cyl, 0);
    Cell* ann = Cell_new(Component, "dome_annulus");
    Cell_settypename(ann, "Annulus-blockage");
    Cell_setattrib(ann, "Zsize", 0.2);
    Cell_setattrib(ann, "InnerRadius", 0.4);
    Cell_setattrib(ann, "OuterRadius", 0.5);
    Cell_setattrib(ann, "Z", -0.1);
    Cell_setattrib(ann, "AbsorptionLength", 0);
    Cell_add(machine, ann, 0);
  }
}

int Simulation_paramoverrides(const char* commandline, Cell* machine, Cell* parameters) {
  if (!commandline) return 0;
  int found = 0;
  for (const std::string& arg : commandwords(commandline, /*keepquotes*/ true)) {
    const char* at = stristr(arg.c_str(), "-param:");
    if (!at) continue;
    std::string word(at + 7);
    found++;
    size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    std::string name = word.substr(0, eq);
    std::string value = word.substr(eq + 1);
    size_t dot = name.find('.');
    if (dot == std::string::npos) {
      Cell_setattrib(parameters, name.c_str(), atof(value.c_str()));
      continue;
    }
    std::string cellname = name.substr(0, dot), attr = name.substr(dot + 1);
    Cell* target = Cell_find(machine, cellname.c_str());
    if (!target) continue;
    if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
      std::string text = value.substr(1);
      if (!text.empty()) text.pop_back();
      Cell_setstringattrib(target, attr.c_str(), text.c_str());
    } else {
      Cell_setattrib(target, attr.c_str(), atof(value.c_str()));
    }
  }
  return found;
}


// ---- the default record ----

void Simulation_defaultdefault(const SimOptions& options) {
  installcellops();
  Simulation d;
  d.refreshsteps = options.refreshsteps > 0 ? options.refreshsteps : 10;
  d.dt = 1e-11;
  d.divisor = options.divisor > 0 ? options.divisor : 1;
  d.threads = options.threads;
  d.particlesperthread = options.particlesperthread;
  d.fixedthreads = options.fixedthreads;
  d.loadbalancelog = options.loadbalancelog;
  d.threadoverheadlog = options.threadoverheadlog;
  d.materialcounts = options.materialcounts;
  d.rfsynclog = options.rfsynclog;
  uint32_t allowed = 0;
  for (int s = 0; s < NSPECIES; s++)
    if (speciesmass[s] != 0 || E0[s] != 0) allowed |= 1u << s;
  allowed &= ~((1u << Positron) | (1u << Electron) | (1u << Pi0));
  d.allowedspecies = allowed;
  Simulation_default = d;
}

void Simulation_copyoptions(Simulation* sim, const Simulation* from) {
  sim->threads = from->threads;
  sim->particlesperthread = from->particlesperthread;
  sim->fixedthreads = from->fixedthreads;
  sim->loadbalancelog = from->loadbalancelog;
  sim->threadoverheadlog = from->threadoverheadlog;
  sim->materialcounts = from->materialcounts;
  sim->rfsynclog = from->rfsynclog;
}

// ---- parameters ----

void Simulation_setparameters(Simulation* sim, const Cell* parameters) {
  if (!parameters) return;
  auto number = [parameters](const char* key, double* out) {
    Attribute a = Cell_attribute(parameters, key);
    if (a.type != AttributeType::Number) return false;
    *out = a.value;
    return true;
  };
  double v;
  if (number("t_max", &v)) sim->t_max = v;
  if (number("dt", &v)) sim->dt = v;
  if (number("totalcharge", &v)) sim->totalcharge = v;
  if (number("errrate", &v)) sim->errrate = v;
  if (number("n_decays", &v)) sim->n_decays = truncatedint(v);
  if (number("decays_off", &v)) sim->decays_off = v != 0;
  if (number("scattering_off", &v)) sim->scattering_off = v != 0;
  if (number("seedbase", &v)) sim->seedbase = (uint32_t)truncated(v);
  if (number("seedpitch", &v)) sim->seedpitch = (uint32_t)truncated(v);
  if (number("twiss_interval", &v)) sim->twiss_interval = v;
  if (number("global_bore", &v)) sim->global_bore = v;
  // "allow_<species>", in attribute order so that the last definition wins.
  for (uint32_t i = 0; i < parameters->attributes.count; i++) {
    const Attribute& a = LSet_at<Attribute>(parameters->attributes, i);
    if (a.type != AttributeType::Number || !beginswith(a.name, "allow_")) continue;
    int s = allowedspeciesname(a.name + 6);
    if (s < 0) continue;
    if (truncated(a.value) != 0) sim->allowedspecies |= 1u << s;
    else sim->allowedspecies &= ~(1u << s);
  }
  const char* fom = Cell_stringattrib(parameters, "FOM");
  if (fom) {
    free(sim->FOM);
    sim->FOM = strdup(fom);
  }
}

// ---- construction ----

Simulation Simulation_new(const char* latticename, Genome* genome, const char* commandline,
                          int32_t recheckrun) {
  installcellops();
  Simulation sim = Simulation_default;
  sim.FOM = nullptr;
  sim.stepping = nullptr;
  sim.bores = nullptr;
  sim.boresof = nullptr;
  sim.nbores = 0;
  sim.beam = Beam{};
  Cell* parameters = nullptr;
  sim.lattice = machinecellfromfile(latticename, genome, 0, &parameters);
  if (!sim.lattice) {
    Cell_freeref(parameters, 0);
    return sim;
  }
  sim.seedbase = platform_tickcount();

  sim.paramoverridden = Simulation_paramoverrides(commandline, sim.lattice, parameters) > 0;
  Simulation_setparameters(&sim, parameters);
  Cell_freeref(parameters, 0);

  // A time step that is not positive would never advance the clock, and one so small that the
  // first microsecond (or the run, when it ends sooner) takes more than SIMULATION_MAXSTEPS
  // steps would run for hours: the lattice is refused rather than run.
  const double maxsteps = (double)SIMULATION_MAXSTEPS;
  double horizon = std::min(1e-6, sim.t_max > 0 ? sim.t_max : 1e-6);
  if (!(sim.dt > 0) || !std::isfinite(sim.dt) || horizon / sim.dt > maxsteps) {
    reportf("Lattice %s cannot be run: its time step dt = %lg s %s", latticename ? latticename : "",
            sim.dt, sim.dt > 0 && std::isfinite(sim.dt) ? "needs too many steps"
                                                       : "is not a positive number");
    Simulation_free(&sim);
    return sim;
  }

  // A bore that is not a number would let every particle pass as if there were none.
  if (!std::isfinite(sim.global_bore) || sim.global_bore < 0) {
    reportf("[WARNING] Lattice %s: global_bore = %lg is not a size (a finite number of zero or "
            "more); the lattice cannot be run",
            latticename ? latticename : "", sim.global_bore);
    Simulation_free(&sim);
    return sim;
  }

  if (sim.seedpitch == 0 || recheckrun < 0) {
    sim.seed = sim.seedbase;
    reportf("Using seed %u", sim.seed);
  } else {
    uint32_t run = (uint32_t)recheckrun;
    sim.seed = sim.seedbase + sim.seedpitch * run;
    reportf("Using seed %u+%u*%u = %d", sim.seedbase, sim.seedpitch, run, (int)sim.seed);
  }

  Simulation_namedlattice(&sim, latticename ? latticename : "");
  Simulation_momentloggers(sim.lattice, sim.twiss_interval);

  // A class that failed reported why: this lattice cannot run, another one may. A machine
  // whose building the user cut short (files half read) is not run either.
  if (!Simulation_initmachine(&sim, AffineFrame_identity()) || simstop == 2) {
    Simulation_free(&sim);
    return sim;
  }

  report("Determining nearby components...");
  Beam_nearbythings(&sim.beam);

  if (sim.totalcharge != 0) {
    reportf("Normalising beam charge to %lg C...", sim.totalcharge);
    Beam_normalisecharge(&sim.beam, sim.totalcharge);
  } else {
    report("Normalising beam...");
    Beam_normalisewt(&sim.beam);
  }
  sim.t = sim.t0 = Beam_mintstart(&sim.beam);
  return sim;
}

int Simulation_checksizes(const Cell* cell) {
  if (!cell) return 0;
  int bad = 0;
  if (cell->t == Composite) {
    for (int i = 0; i < cell->n; i++) bad += Simulation_checksizes(cell->children[i]);
    return bad;
  }
  if (cell->t != Component) return 0;
  // The attributes the component classes read as radii, lengths, bores, half-widths and sizes
  // (a NaN radius would otherwise act as no opening at all, a negative one as a coil without
  // field). Signed offsets, positions and the blockages' absorption length (negative: does not
  // absorb) are not sizes.
  static const char* const sizes[] = {"length",      "radius",      "Bore",        "outerradius",
                                      "InnerRadius", "OuterRadius", "MajorRadius", "MinorRadius",
                                      "Xsize",       "Ysize",       "Zsize",       "MagLength",
                                      "HalfWidth",   "HalfHeight"};
  // Attributes of any sign that a NaN would silently switch off, because every comparison
  // with it is false: an aperture's corners, centre, plane and energy window would let every
  // particle pass, a blockage would never absorb, a coil's field and times would drop to zero,
  // and a placement or rotation would move the component's box out of every particle's reach.
  // The first group must also be finite (an infinite corner or shift makes the same NaNs
  // further on); an infinite time or energy limit keeps its plain meaning.
  static const char* const finite[] = {
      "AbsorptionLength", "x1",    "y1",    "x2",    "y2",    "centrex", "centrey",
      "distance",         "normalx", "normaly", "field", "X",     "Y",       "Z",
      "Xhere",            "Yhere", "Zhere", "rotXY", "rotYZ", "rotZX",   "twist"};
  static const char* const numbers[] = {"minenergy", "maxenergy", "OnTime", "OffTime"};
  const char* cellname = cell->name ? cell->name : "";
  for (uint32_t i = 0; i < cell->attributes.count; i++) {
    const Attribute& a = LSet_at<Attribute>(cell->attributes, i);
    if (a.type != AttributeType::Number || (std::isfinite(a.value) && a.value >= 0)) continue;
    bool sized = false;
    for (const char* name : sizes) {
      if (!equalnocase(a.name, name)) continue;
      reportf("[WARNING] Cell '%s': %s = %lg is not a size (a finite number of zero or more); "
              "the lattice cannot be run",
              cellname, a.name, a.value);
      bad++;
      sized = true;
      break;
    }
    if (sized || std::isfinite(a.value)) continue;
    bool refused = false;
    for (const char* name : finite) refused = refused || equalnocase(a.name, name);
    for (const char* name : numbers)
      refused = refused || (std::isnan(a.value) && equalnocase(a.name, name));
    if (!refused) continue;
    reportf("[WARNING] Cell '%s': %s = %lg is not a finite number; the lattice cannot be run",
            cellname, a.name, a.value);
    bad++;
  }
  return bad;
}

AffineFrame Simulation_initmachine_inner(AffineFrame frame, Cell* cell, double* s,
                                         Simulation* sim) {
  cell->entrance = frame;
  cell->s = *s;
  cell->axis = Cell_offsetframe(cell, frame);
  if (cell->t == Composite) {
    AffineFrame f = frame;
    for (int i = 0; i < cell->n; i++) f = Simulation_initmachine_inner(f, cell->children[i], s, sim);
    return f;
  }
  if (cell->t != Component) return frame;

  const char* material = Cell_stringattrib(cell, "ScatterData");
  cell->scatter = material ? loadelms2cached(material, sim && sim->materialcounts) : nullptr;
  if (!Cell_construct(cell, sim))
    reportf("[WARNING] Unknown cell type: %s", cell->type_name ? cell->type_name : "");
  AffineFrame exit =
      AffineFrame_transportarc(frame, cell->length, cell->angle, Cell_attrib(cell, "twist", 0));
  *s += cell->length;
  return exit;
}

void init_boundingbox(Cell* cell, const Simulation* sim) {
  Cell_bbreset(cell);
  if (cell->t == Composite) {
    for (int i = 0; i < cell->n; i++) {
      Cell* c = cell->children[i];
      init_boundingbox(c, sim);
      if (Cell_bbempty(c)) continue;
      cell->xmin = std::min(cell->xmin, c->xmin);
      cell->ymin = std::min(cell->ymin, c->ymin);
      cell->zmin = std::min(cell->zmin, c->zmin);
      cell->xmax = std::max(cell->xmax, c->xmax);
      cell->ymax = std::max(cell->ymax, c->ymax);
      cell->zmax = std::max(cell->zmax, c->zmax);
    }
    return;
  }
  if (cell->t != Component) return;
  Cell_buildboundingbox(cell);
  double margin = sim->refreshsteps * sim->dt * c_light;
  cell->xmin -= margin;
  cell->ymin -= margin;
  cell->zmin -= margin;
  cell->xmax += margin;
  cell->ymax += margin;
  cell->zmax += margin;
}

void Simulation_clipsolenoidsbounds(Simulation* sim) {
  Cell* machine = sim->lattice;
  if (!machine || machine->t != Composite) return;
  struct Sol {
    Cell* c;
    V3 P;
    double h;
  };
  std::vector<Sol> sols;
  for (int i = 0; i < machine->n; i++) {
    Cell* c = machine->children[i];
    if (!equalnocase(c->type_name, "solenoid")) continue;
    double h = c->length / 2;
    V3 P{0, 0, h};
    affine(c->entrance, &P);
    sols.push_back({c, P, h});
  }
  for (size_t i = 0; i < sols.size(); i++) {
    Cell* c = sols[i].c;
    V3 Pi = sols[i].P;
    for (size_t j = 0; j < sols.size(); j++) {
      if (j == i) continue;
      V3 Pj = sols[j].P;
      double hj = sols[j].h;
      V3 d = Pj - Pi;
      double ax = std::fabs(d.x), ay = std::fabs(d.y), az = std::fabs(d.z);
      if (ax > ay && ax > az) {
        if (d.x <= 0) c->xmin = std::max(c->xmin, Pj.x + hj);
        else c->xmax = std::min(c->xmax, Pj.x - hj);
      } else if (ay <= az) {
        if (d.z <= 0) c->zmin = std::max(c->zmin, Pj.z + hj);
        else c->zmax = std::min(c->zmax, Pj.z - hj);
      } else {
        if (d.y <= 0) c->ymin = std::max(c->ymin, Pj.y + hj);
        else c->ymax = std::min(c->ymax, Pj.y - hj);
      }
    }
    double radius = Cell_attrib(c, "radius", 0);
    double R = 1.5 * std::sqrt(radius * radius + sols[i].h * sols[i].h);
    c->xmin = std::min(c->xmin, Pi.x - R);
    c->ymin = std::min(c->ymin, Pi.y - R);
    c->zmin = std::min(c->zmin, Pi.z - R);
    c->xmax = std::max(c->xmax, Pi.x + R);
    c->ymax = std::max(c->ymax, Pi.y + R);
    c->zmax = std::max(c->zmax, Pi.z + R);
  }
}

int Simulation_initmachine(Simulation* sim, AffineFrame frame) {
  installcellops();
  Cell* machine = sim->lattice;
  if (!machine) return 0;
  if (Simulation_checksizes(machine) > 0) return 0;
  init_funcpointers(machine);
  report("Adding components to simulation space");
  Beam_free(&sim->beam);
  free(sim->bores);  // the bore table is remade from the placed machine at the next step
  sim->bores = nullptr;
  sim->boresof = nullptr;
  sim->nbores = 0;

  int ok = 1;
  double s = 0;
  Simulation_initmachine_inner(frame, machine, &s, sim);
  init_boundingbox(machine, sim);

  if (machine->t == Composite) {
    Simulation_clipsolenoidsbounds(sim);
    CellSubMap_free(machine->submap);
    machine->submap = CellSubMap_make(machine, sim->gridresolution);
    // RF phases, when the machine has an RF cavity.
    if (Cell_synchronise(machine, sim) < 0) ok = 0;
    Simulation_removenonmachinecells(sim);
    Simulation_resetlosscounters(sim);
  } else {
    report("[FATAL] machine cell is not Composite in BLfromcell: don't know what's going on");
    machine->lostweight = machine->lostenergy = machine->lostpositive = machine->lostnegative = 0;
  }
  report("Done adding components");
  return ok;
}

// ---- particles ----

Particle* addparticlecon(Simulation* sim, ParticleSpecies species, uint32_t id,
                         const Particle* p, int32_t segment) {
  Particle* q = Beam_addparticle(&sim->beam, species, p);
  // The new record gets its own nearby list, never the source's.
  q->nearby = nullptr;
  q->nnearby = 0;
  if (p && p->nnearby) Particle_setnearby(q, p->nearby, p->nnearby);
  q->id = id;
  q->seed = drnda(sim->seed, id);
  q->seq = 0;
  q->beamline = sim->lattice;
  if (sim->lattice && sim->lattice->t == Composite && sim->lattice->n > 0) q->segment = segment;
  Particle_initdecays(q, sim->n_decays);
  return q;
}

Particle* addparticle(Simulation* sim, ParticleSpecies species, uint32_t id) {
  Particle* q = addparticlecon(sim, species, id, nullptr, 0);
  if (q->beamline) Particle_nearbythings(q);
  return q;
}

void addbeamtosimulation(const Beam* beam, Simulation* sim, AffineFrame frame) {
  int32_t divisor = sim->divisor > 0 ? sim->divisor : 1;
  uint32_t k = 0;
  for (int32_t i = 0; i < beam->M; i++) {
    const Particle& src = beam->particles[i];
    if (i % divisor != 0) continue;
    if (src.species < 0 || src.species >= NSPECIES) continue;
    if (!(sim->allowedspecies & (1u << src.species))) continue;
    Particle copy = src;
    copy.nearby = nullptr;
    copy.nnearby = 0;
    Particle* q = addparticlecon(sim, src.species, ++k, &copy, 0);
    affine(frame, &q->x, &q->y, &q->z);
    affine_no_trans(frame, &q->Vx, &q->Vy, &q->Vz);
  }
}

void Simulation_removenonmachinecells(Simulation* sim) {
  Cell* machine = sim->lattice;
  if (!machine || machine->t != Composite) return;
  for (int i = machine->n; i-- > 0;) {
    Cell* c = machine->children[i];
    if (c->t != Nonmachine) continue;
    Cell_remove(machine, i);
    Cell_freeref(c, 0);
    for (int32_t k = 0; k < sim->beam.M; k++)
      if (sim->beam.particles[k].segment > i) sim->beam.particles[k].segment--;
    // The grid lists children by index.
    CellSubMap_removechild(machine->submap, i);
  }
}

void Simulation_resetlosscounters(Simulation* sim) {
  Cell_resetlosscounters(sim->lattice);
}

void Simulation_free(Simulation* sim) {
  Cell_freeref(sim->lattice, 0);
  Beam_free(&sim->beam);
  free(sim->FOM);
  free(sim->bores);
  StepContext_free(sim->stepping);
  *sim = Simulation{};
}
