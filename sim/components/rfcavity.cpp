// RF cavities: the record, the thin-gap kick, its synchronising form and commit, the two phase
// synchronisations (tracking the synchronous particle through a private copy of the simulation,
// and the arc-length fallback) with their "rfsync.log" lines, and the bounding box.
#include "sim/components/rfcavity.h"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "base/kinematics.h"
#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"
#include "base/timetext.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "sim/components/crossing.h"
#include "sim/proximity.h"
#include "sim/simulation.h"
#include "sim/species.h"
#include "sim/stepping.h"

namespace {

constexpr const char* SYNCLOG = "rfsync.log";
constexpr const char* NOREFERENCE =
    "Could not find synchronous particle!\n"
    "(It may have been defined but not included in the beamline)";

V3 centreof(const RFCavity* rf) { return V3{rf->cx, rf->cy, rf->cz}; }
V3 axisof(const RFCavity* rf) { return V3{rf->ax, rf->ay, rf->az}; }

// Whether the step crossed the gap plane; *out is then the particle just beyond it at *tout.
bool crossesgap(const RFCavity* rf, const Particle* start, const Particle* end, double t0,
                double t1, const ScatterData* material, Particle* out, double* tout) {
  const V3 n = axisof(rf);
  const lineariso_coeffs plane{-(n * centreof(rf)), n.x, n.y, n.z};
  // The search's own first test on the same values; almost every step stays on one side.
  if (!iso_maycross(linearisoxyz(start->x, start->y, start->z, &plane),
                    linearisoxyz(end->x, end->y, end->z, &plane))) {
    *out = *end;
    *tout = t1;
    return false;
  }
  return scatterparticle_isocd(*start, *end, t0, t1, lineariso, &plane, material, out, tout) != 0;
}

// The kick at the crossing, or the particle Stopped there with its old velocity.
void kickorstop(const RFCavity* rf, double phase, double t, Particle* p) {
  if (!RFCavity_kick(rf, phase, t, p)) p->state = Stopped;
}

bool iscavity(const Cell* c) {
  const CellClass* row = Cell_getclass(c);
  return row && row->synccollision == CDrfcavity_sync;
}

// ---- the synchronisation in progress ----

struct SyncCavity {
  RFCavity* rf;
  const Cell* cell;
  double latticephase;  // rad, the record's phase before synchronisation
  bool done;
};

// One tracking synchronisation: its private simulation, the cavities it waits for and the log.
// Lives on the stack of syncrfphases_track; reached by the detection and the commit, which run
// on the same thread (the private simulation steps without worker threads).
struct SyncRun {
  Simulation sim;
  std::vector<SyncCavity> cavities;
  int left = 0;
  FILE* log = nullptr;
};
thread_local SyncRun* syncrun = nullptr;

SyncCavity* pending(const Simulation* sim, const RFCavity* rf) {
  if (!syncrun || sim != &syncrun->sim) return nullptr;
  for (SyncCavity& c : syncrun->cavities)
    if (c.rf == rf && !c.done) return &c;
  return nullptr;
}

void logheader(FILE* log, const char* routine) {
  char date[KVT_BUFSIZE], time[KVT_BUFSIZE];
  fprintf(log, "\n---------- Started %s %s ----------\n", kvtdate(KVT_NOTIME, date),
          kvttime(KVT_NOTIME, time));
  fprintf(log, "%s\n", routine);
}

int findreference(const Cell* machine) {
  for (int i = 0; i < machine->n; i++)
    if (strnullcmpi(machine->children[i]->type_name, "Synchronous-particle") == 0) return i;
  return -1;
}

int speciesof(const Cell* ref) {
  double s = std::round(Cell_attrib(ref, "SpeciesOrd", -1));
  return s >= 0 && s < NSPECIES ? (int)s : -1;
}

// The distance along the entrance frame's third axis from the entrance to the cell's own
// frame origin (where a cavity's gap lies).
double gapoffset(const Cell* c) {
  return (c->axis.origin - c->entrance.origin) * M3x3_column(c->entrance.M, 2);
}

std::string cavitynames(const SyncRun& run) {
  std::string names;
  for (const SyncCavity& c : run.cavities) {
    if (c.done) continue;
    if (!names.empty()) names += ",";
    names += c.cell->name ? c.cell->name : "";
  }
  return names;
}

}  // namespace

void conrfcavity(Cell* cell, Simulation* /*sim*/) {
  RFCavity* rf = reinterpret_cast<RFCavity*>(cell->rtd);
  const V3 axis = V3_normalise(M3x3_column(cell->axis.M, 2));
  rf->cx = cell->axis.origin.x;
  rf->cy = cell->axis.origin.y;
  rf->cz = cell->axis.origin.z;
  rf->ax = axis.x;
  rf->ay = axis.y;
  rf->az = axis.z;
  rf->voltage = Cell_attrib(cell, "Voltage", 0);
  rf->omega = 2 * std::numbers::pi * Cell_attrib(cell, "Frequency", 0);
  rf->phase = Cell_attrib(cell, "Phase", 0);
  rf->radius = Cell_attrib(cell, "Bore", 0) + Cell_attrib(cell, "Radius", 0);
  if (rf->radius == 0) rf->radius = 0.3;
}

int RFCavity_kick(const RFCavity* rf, double phase, double t, Particle* p) {
  const V3 axis = axisof(rf);
  const V3 V{p->Vx, p->Vy, p->Vz};
  const double gamma = gamma_from_Vxyz(V.x, V.y, V.z);
  const double vz = (V * axis) / gamma;
  const double K = rf->voltage * charge[p->species] / (E0[p->species] * inv_c_sq * vz);
  const double phi = rf->omega * t + phase;
  const V3 d = V3{p->x, p->y, p->z} - centreof(rf);
  const V3 rperp = d - (d * axis) * axis;
  const double bz2 = vz * vz * inv_c_sq;
  const V3 kicked = V + (K * std::cos(phi)) * axis -
                    (K * rf->omega * std::sin(phi) * (1 - bz2) / (2 * vz)) * rperp;
  if (!std::isfinite(kicked.x) || !std::isfinite(kicked.y) || !std::isfinite(kicked.z)) return 0;
  if (!(vz * (kicked * axis) > 0)) return 0;
  p->Vx = kicked.x;
  p->Vy = kicked.y;
  p->Vz = kicked.z;
  return 1;
}

int CDrfcavity(const void* data, const Particle* start, const Particle* end, double t0,
               double t1, unsigned /*thread*/, const ScatterData* material,
               const Simulation* /*sim*/, Particle* out, double* tout) {
  const RFCavity* rf = static_cast<const RFCavity*>(data);
  if (!crossesgap(rf, start, end, t0, t1, material, out, tout)) return 0;
  kickorstop(rf, rf->phase, *tout, out);
  return 1;
}

int CDrfcavity_sync(const void* data, const Particle* start, const Particle* end, double t0,
                    double t1, unsigned /*thread*/, const ScatterData* material,
                    const Simulation* sim, Particle* out, double* tout) {
  const RFCavity* rf = static_cast<const RFCavity*>(data);
  if (!crossesgap(rf, start, end, t0, t1, material, out, tout)) return 0;
  const SyncCavity* c = pending(sim, rf);
  kickorstop(rf, c ? c->latticephase - rf->omega * *tout : rf->phase, *tout, out);
  return 1;
}

void RFCavity_commit(void* data, const Cell* cell, const CollisionEvent* ev) {
  if (!ev->rfsync || !ev->won) return;
  RFCavity* rf = static_cast<RFCavity*>(data);
  SyncCavity* c = pending(ev->sim, rf);
  if (!c) return;
  const double t = ev->tend;
  rf->phase = c->latticephase - rf->omega * t;
  c->done = true;
  syncrun->left--;
  if (syncrun->log) {
    const Particle* p = ev->out;
    fprintf(syncrun->log, "%s hit t=%.9lg in step [%.9lg,%.9lg] t-t0=%.9lg (%.9lg,%.9lg,%.9lg)\n",
            cell->name ? cell->name : "", t, ev->t0, ev->t1, t - ev->t0, p->x, p->y, p->z);
  }
}

int syncrfphases_track(Simulation* sim) {
  Cell* machine = sim->lattice;
  if (!machine || machine->t != Composite) {
    report("[FATAL] Called syncrfphases_track on non-composite cell: aborting.");
    return 0;
  }
  SyncRun run;
  run.sim = *sim;
  run.sim.beam = Beam{};
  run.sim.bores = nullptr;
  run.sim.boresof = nullptr;
  run.sim.nbores = 0;
  run.sim.steps = 0;
  run.sim.stepping = nullptr;  // its own, made at its first step
  if (sim->rfsynclog) {
    run.log = fopen(SYNCLOG, "a");
    if (run.log) logheader(run.log, "syncrfphases_track");
  }
  auto finish = [&](int result) {
    if (syncrun == &run) syncrun = nullptr;
    Beam_free(&run.sim.beam);
    free(run.sim.bores);
    StepContext_free(run.sim.stepping);
    if (run.log) fclose(run.log);
    return result;
  };
  auto fallback = [&]() {
    if (run.log) {
      fclose(run.log);
      run.log = nullptr;
    }
    finish(1);
    syncrfphases_arclength(machine, sim->rfsynclog);
    return 1;
  };

  // The synchronous particle.
  const int ref = findreference(machine);
  const int species = ref >= 0 ? speciesof(machine->children[ref]) : -1;
  if (species < 0) {
    report(NOREFERENCE);
    return finish(0);
  }
  const Cell* refcell = machine->children[ref];
  int dircell = -1;
  for (int i = ref; i < machine->n && dircell < 0; i++)
    if (Cell_attrib(machine->children[i], "length", 0) > 0) dircell = i;
  if (dircell < 0) {
    report("[FATAL] syncrfphases_track couldn't work out what direction the synchronous "
           "particle is supposed to be travelling in.");
    return finish(0);
  }
  const V3 dir = V3_normalise(M3x3_column(machine->children[dircell]->entrance.M, 2));
  const double ke = Cell_attrib(refcell, "Energy", 0);
  const double gamma = ke / E0[species] + 1;
  const double speed = c_light * std::sqrt(gamma * gamma - 1);  // |V| = γv
  V3 pos = refcell->entrance.origin;
  const double Z = Cell_attrib(refcell, "Z", 0);
  if (Z != 0) pos += Z * dir;
  const double tstart = Cell_attrib(refcell, "t_start", 0);

  Particle* p = addparticlecon(&run.sim, (ParticleSpecies)species, 0, nullptr, ref);
  p->x = pos.x;
  p->y = pos.y;
  p->z = pos.z;
  p->Vx = speed * dir.x;
  p->Vy = speed * dir.y;
  p->Vz = speed * dir.z;
  p->tstart = tstart;
  Particle_nearbythings(p);
  run.sim.t = tstart;
  if (run.log)
    fprintf(run.log,
            "Particle species: %s\nInitial t:%.9lg z:%.9lg k.e:%lgJ=%lgeV gammav:%lg "
            "(%.9lg,%.9lg,%.9lg)\n",
            ParticleSpecies_name[species], tstart, p->z, ke, ke / ELEMENTARY_CHARGE, speed,
            p->Vx, p->Vy, p->Vz);

  // The cavities the particle can reach: those after its cell.
  report("Tracking central particle to synchronise RF phases...");
  double length = 0;
  for (int i = ref; i < machine->n; i++) {
    Cell* c = machine->children[i];
    length += Cell_length(c);
    if (i > ref && iscavity(c))
      run.cavities.push_back({reinterpret_cast<RFCavity*>(c->rtd), c,
                              reinterpret_cast<RFCavity*>(c->rtd)->phase, false});
  }
  run.left = (int)run.cavities.size();
  syncrun = &run;

  // A particle at the speed it starts with crosses the machine and its box diagonal in
  // (length + diagonal)/v; 1000 steps more than four times that (at most 1e7) bound the
  // tracking of a particle that is slowed down or turned round; one that does not move at all
  // gets 1000 steps.
  const double v0 = v_from_gammav(speed);
  const double diagonal = std::sqrt((machine->xmax - machine->xmin) * (machine->xmax - machine->xmin) +
                                    (machine->ymax - machine->ymin) * (machine->ymax - machine->ymin) +
                                    (machine->zmax - machine->zmin) * (machine->zmax - machine->zmin));
  double cap = 1000;
  if (v0 > 0 && run.sim.dt > 0) {
    double need = 4 * (length + (std::isfinite(diagonal) ? diagonal : 0)) / (v0 * run.sim.dt);
    cap = std::min(1e7, cap + need);
  }
  const Cell* last = machine->children[machine->n - 1];
  const double pastend = last->length + c_light * run.sim.dt;

  double lastupdate = platform_walltime();
  int64_t steps = 0;
  const char* why = nullptr;
  while (run.left > 0) {
    if (!(run.sim.t < run.sim.t_max)) {
      why = "end time reached";
      break;
    }
    Particle* q = &run.sim.beam.particles[0];
    if (run.log && steps % 100 == 0) {
      const Cell* seg = Cell_segmentcell(machine, q->segment);
      fprintf(run.log, "t=%.9lg,x=%.9lg,y=%.9lg,z=%.9lg %d:%s [", run.sim.t, q->x, q->y, q->z,
              (int)q->segment, seg && seg->name ? seg->name : "");
      for (uint32_t k = 0; k < q->nnearby; k++)
        fprintf(run.log, "%s%s", k ? "," : "", q->nearby[k]->name ? q->nearby[k]->name : "");
      fprintf(run.log, "]\n");
    }
    double now = platform_walltime();
    if (now - lastupdate >= 0.25) {
      reportupdatef("Tracking central particle to synchronise RF phases... %.1f%%",
                    run.sim.t * 100 / run.sim.t_max);
      lastupdate = now;
    }
    Simulation_advance(&run.sim, 0, StepRFSync, 0);
    steps++;
    q = &run.sim.beam.particles[0];
    if (q->state != Active) {
      reportf("syncrfphases_track lost the central particle after %.2lfns; falling back to "
              "syncrfphases_arclength.",
              run.sim.t * 1e9);
      return fallback();
    }
    if (run.left == 0) break;
    double s = 0;
    if (q->segment == machine->n - 1) {
      Cell_sr(last, q->x, q->y, q->z, &s, nullptr);
      if (s > pastend) {
        why = "passed the end of the machine";
        break;
      }
    }
    if (steps >= cap) {
      why = "step limit";
      break;
    }
  }
  if (run.left > 0) {
    reportf("syncrfphases_track: the central particle did not reach %s (%s after %.2lfns); "
            "falling back to syncrfphases_arclength.",
            cavitynames(run).c_str(), why, run.sim.t * 1e9);
    return fallback();
  }
  reportupdate("Tracking central particle to synchronise RF phases... Done");
  return finish(1);
}

int syncrfphases_arclength(Cell* machine, bool log) {
  if (!machine || machine->t != Composite) return 0;
  FILE* f = log ? fopen(SYNCLOG, "a") : nullptr;
  if (f) logheader(f, "syncrfphases_arclength");
  const int ref = findreference(machine);
  const int species = ref >= 0 ? speciesof(machine->children[ref]) : -1;
  if (species < 0) {
    report(NOREFERENCE);
    if (f) fclose(f);
    return 0;
  }
  const Cell* refcell = machine->children[ref];
  const double m = E0[species], q = charge[species];
  double E = Cell_attrib(refcell, "Energy", 0);
  double t = Cell_attrib(refcell, "t_start", 0);
  const double Z = Cell_attrib(refcell, "Z", 0);
  if (Z != 0) t -= Z / v_from_ke(E, m);
  int result = 1;
  for (int i = ref; i < machine->n; i++) {
    Cell* c = machine->children[i];
    if (!(E > 0)) {
      reportf("syncrfphases_arclength: the synchronous particle stops at %s; later phases are "
              "left as they are",
              c->name ? c->name : "");
      result = 0;
      break;
    }
    double v = v_from_ke(E, m);
    double tin = t;  // time at the entrance
    if (Cell_attribtype(c, "Phase") == AttributeType::Number) {
      const double zgap = gapoffset(c);
      const double tgap = tin + zgap / v;
      const double phase = Cell_attrib(c, "Phase", 0);
      const double gain = std::cos(phase) * Cell_attrib(c, "Voltage", 0) * q;
      if (!(E + gain > 0)) {
        reportf("syncrfphases_arclength: the synchronous particle stops at %s; later phases are "
                "left as they are",
                c->name ? c->name : "");
        result = 0;
        break;
      }
      Cell_setattrib(c, "Phase", phase - 2 * std::numbers::pi * Cell_attrib(c, "Frequency", 0) * tgap);
      E += gain;
      if (c->length > 0) t = tgap + (c->length - zgap) / v_from_ke(E, m);
    } else if (c->length > 0) {
      t = tin + c->length / v;
    }
    if (f) fprintf(f, "End of %s: t=%lg\n", c->name ? c->name : "", t);
  }
  // The records were built from the attributes before they were rewritten.
  for (int i = ref; i < machine->n; i++) {
    Cell* c = machine->children[i];
    if (iscavity(c)) reinterpret_cast<RFCavity*>(c->rtd)->phase = Cell_attrib(c, "Phase", 0);
  }
  if (f) fclose(f);
  return result;
}

void BBrfcavity(void* data, Cell* cell) {
  const RFCavity* rf = static_cast<const RFCavity*>(data);
  const V3 axis = axisof(rf);
  // Two unit vectors across the axis.
  V3 u = std::fabs(axis.x) < 0.9 ? V3{1, 0, 0} : V3{0, 1, 0};
  u = V3_normalise(u - (u * axis) * axis);
  const V3 w = axis ^ u;
  const V3 centre = centreof(rf);
  double th = 6.283184307179586;
  for (int k = 0; k < 16; k++, th -= std::numbers::pi / 8) {
    const V3 P = centre + (rf->radius * std::cos(th)) * u + (rf->radius * std::sin(th)) * w;
    Cell_bbextend(cell, P.x, P.y, P.z);
  }
}
