// Scoring of a finished run: the default muon figure with its energy and distance ramps, and
// the special straightness and on-axis figures. Runs once per run on the main thread.
#include "sim/score.h"

#include <algorithm>
#include <cmath>

#include "base/text.h"
#include "lattice/cell.h"
#include "lattice/frames.h"
#include "base/report.h"

namespace {

bool ismuon(const Particle& p) { return p.species == MuPlus || p.species == MuMinus; }

// Length of the machine: the last child's start position plus its length (0 without children).
double machinelength(const Cell* machine) {
  if (!machine || machine->t != Composite || machine->n == 0) return 0;
  const Cell* last = machine->children[machine->n - 1];
  return last->s + Cell_length(last);
}

// The frame whose axes measure exit angles: the finishing line's entrance, or without one the
// frame at the end of the machine (the exit of its last child), or the identity.
AffineFrame exitframe(const Simulation* sim, const Cell* finish) {
  if (finish) return finish->entrance;
  const Cell* m = sim->lattice;
  if (m && m->t == Composite && m->n > 0) {
    const Cell* last = m->children[m->n - 1];
    return Cell_transportframe(last, last->entrance, 1.0);
  }
  return AffineFrame_identity();
}

// Slopes of a particle's direction in `f`.
void slopes(const Particle& p, AffineFrame f, double* xp, double* yp) {
  double vx = p.Vx, vy = p.Vy, vz = p.Vz;
  unaffine_no_trans(f, &vx, &vy, &vz);
  *xp = vx / vz;
  *yp = vy / vz;
}

constexpr double MAXSTRAIGHTNESS = 1e9;  // score of a beam with no measurable slope at all

double straightness(const Simulation* sim) {
  const Beam& b = sim->beam;
  AffineFrame f = exitframe(sim, Simulation_finishline(sim));
  double wall = 0, wf = 0, sum = 0;
  for (int32_t i = 0; i < b.M; i++) {
    const Particle& p = b.particles[i];
    wall += p.weight;
    if (p.state != Finished) continue;
    wf += p.weight;
    double xp, yp;
    slopes(p, f, &xp, &yp);
    sum += p.weight * xp * xp;
  }
  double rms = wf != 0 ? std::sqrt(sum / wf) : 0;
  reportf("Total particle weight = %lg", wall);
  reportf("Finished particle weight = %lg (%lg%%)", wf, wall != 0 ? 100 * wf / wall : 0.0);
  reportf("RMS(x') of finished particles = %lg", rms);
  double inv = rms > 0 ? std::min(1 / rms, MAXSTRAIGHTNESS) : MAXSTRAIGHTNESS;
  if (wf == wall) return inv;
  return std::min(inv, wf / wall);
}

double onaxis(Simulation* sim, const Cell* finish) {
  double beta = 1.0;
  if (Cell_attribtype(finish, "OnAxisBeta") == AttributeType::Number) beta = Cell_attrib(finish, "OnAxisBeta", 1.0);
  const Beam& b = sim->beam;
  double A = 0;
  for (int32_t i = 0; i < b.M; i++) {
    const Particle& p = b.particles[i];
    if (p.state != Finished) return Simulation_scorerampdistance(sim, 1.0, true);
    double X, Y;
    if (Cell_segmentcell(p.beamline, p.segment)) {
      double s;
      Particle_sxy(&p, &s, &X, &Y);
    } else {
      // No occupied segment: offsets from the finishing line's axis.
      double x = p.x, y = p.y, z = p.z;
      unaffine(finish->entrance, &x, &y, &z);
      X = x;
      Y = y;
    }
    double xp, yp;
    slopes(p, finish->entrance, &xp, &yp);
    double a = std::sqrt(X * X + Y * Y + beta * beta * (xp * xp + yp * yp));
    A = std::max(A, a);
  }
  return std::max(0.0, 100 * (1 - A));
}

}  // namespace

const Cell* Simulation_finishline(const Simulation* sim) {
  return sim ? Cell_findtype(sim->lattice, "Finish-aperture", nullptr) : nullptr;
}

double Simulation_scorerampenergy(const Simulation* sim) {
  const Beam& b = sim->beam;
  double wt = 0, P = 0;
  for (int32_t i = 0; i < b.M; i++) {
    const Particle& p = b.particles[i];
    if (!ismuon(p) || (p.state != Finished && p.state != WrongEnergy)) continue;
    wt += p.weight;
    if (p.state != WrongEnergy) continue;
    double a = p.nextdecay, bb = p.tstart;  // energy over the lower and over the upper limit
    double f;
    if (a > 0 && a < 1)
      f = a;
    else if (bb > 1)
      f = 1 / bb;
    else
      continue;
    P += p.weight * (f - 1);
  }
  return wt > 0 ? P / wt : -1;
}

double Simulation_scorerampdistance(Simulation* sim, double wmax, bool anySpecies) {
  Beam* b = &sim->beam;
  Beam_sort(b, Particle_scmp);
  double ws = 0, ss = 0;
  for (int32_t i = b->M - 1; i >= 0 && ws < wmax; i--) {
    const Particle& p = b->particles[i];
    if (!anySpecies && !ismuon(p)) continue;
    ws += p.weight;
    ss += Particle_s(&p) * p.weight;
  }
  double L = machinelength(sim->lattice);
  if (ws > 0 && sim->lattice && sim->lattice->t == Composite && sim->lattice->n > 0 && L > 0)
    return ss / (L * ws) - 2;
  return -2;
}

double Simulation_scoreramp1(Simulation* sim) {
  double wwe = 0;
  for (int32_t i = 0; i < sim->beam.M; i++) {
    const Particle& p = sim->beam.particles[i];
    if (ismuon(p) && p.state == WrongEnergy) wwe += p.weight;
  }
  if (wwe >= 0.001) return Simulation_scorerampenergy(sim);
  double D = Simulation_scorerampdistance(sim, 0.001, false);
  if (wwe < 0.0005) return D;
  double E = Simulation_scorerampenergy(sim);
  return 2000 * ((wwe - 0.0005) * E + (0.001 - wwe) * D);
}

double Simulation_score(Simulation* sim) {
  if (sim->FOM) {
    reportf("Special figure of merit: \"%s\"", sim->FOM);
    if (strnullcmpi(sim->FOM, "Straightness") == 0) return straightness(sim);
    report("[WARNING] Figure of merit unknown");
    return 123.0;
  }
  const Cell* finish = Simulation_finishline(sim);
  if (finish) {
    const char* fom = Cell_stringattrib(finish, "FOM");
    if (fom && strnullcmpi(fom, "OnAxis") == 0) return onaxis(sim, finish);
  }
  double W = 0;
  for (int32_t i = 0; i < sim->beam.M; i++) {
    const Particle& p = sim->beam.particles[i];
    if (ismuon(p) && p.state == Finished) W += p.weight;
  }
  if (W >= 0.001) return 100 * W;
  double R1 = Simulation_scoreramp1(sim);
  if (W < 0.0005) return R1;
  return 2000 * (100 * W * (W - 0.0005) + (0.001 - W) * R1);
}
