// Sampling a run for the designer's plots (see runrecord.h).
#include "display/runrecord.h"

#include <cmath>

#include "base/kinematics.h"
#include "lattice/cell.h"
#include "lattice/frames.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

constexpr double JOULE_TO_MEV = 6241509074460.763;

double partradius(const Cell* c) {
  for (const char* name : {"Bore", "Radius", "radius", "OuterRadius"}) {
    Attribute a = Cell_attribute(c, name);
    if (a.type == AttributeType::Number && a.value > 0) return a.value;
  }
  return 0;
}

// The frame at the end of the machine, in which the finish is measured.
AffineFrame endframe(const Cell* m) {
  if (m && m->t == Composite && m->n > 0) {
    const Cell* last = m->children[m->n - 1];
    return Cell_transportframe(last, last->entrance, 1.0);
  }
  return AffineFrame_identity();
}

}  // namespace

void RunRecord_begin(RunRecord* r, const Simulation* sim, int bins, int everysteps) {
  *r = RunRecord{};
  const Cell* m = sim->lattice;
  if (m && m->name) r->lattice = m->name;
  if (m && m->t == Composite) {
    for (int i = 0; i < m->n; i++) {
      const Cell* c = m->children[i];
      RunRecordPart p;
      p.name = c->name ? c->name : "";
      p.type = c->type_name ? c->type_name : "";
      p.s = c->s;
      p.length = Cell_length(c);
      p.radius = partradius(c);
      if (p.radius == 0) p.radius = sim->global_bore;
      r->parts.push_back(p);
      r->length = std::max(r->length, p.s + p.length);
    }
  }
  if (bins < 1) bins = 1;
  if (r->length <= 0) r->length = 1;
  r->binwidth = r->length / bins;
  for (auto& f : r->flux) f.assign(bins, 0.0);
  r->wxx.assign(bins, 0.0);
  r->wyy.assign(bins, 0.0);
  r->wsw.assign(bins, 0.0);
  for (int32_t i = 0; i < sim->beam.M; i++) r->initialweight += sim->beam.particles[i].weight;
  r->interval = sim->dt * (everysteps < 1 ? 1 : everysteps);
  r->lastsample = sim->t;
}

void RunRecord_sample(RunRecord* r, const Simulation* sim) {
  double dt = sim->t - r->lastsample;
  if (dt < r->interval * (1 - 1e-9) || r->flux[0].empty()) return;
  r->lastsample = sim->t;
  r->samples++;
  const int bins = (int)r->flux[0].size();
  const double scale = dt / r->binwidth;
  for (int32_t i = 0; i < sim->beam.m; i++) {
    const Particle& p = sim->beam.particles[i];
    if (p.tstart > sim->t) continue;  // not released yet
    const Cell* c = Cell_segmentcell(p.beamline, p.segment);
    if (!c) continue;
    double s, X, Y;
    Cell_sxy(c, p.x, p.y, p.z, &s, &X, &Y);
    // v_s from the arc length a short time ahead (exact on straight cells, close on bends).
    double g = gamma_from_Vxyz(p.Vx, p.Vy, p.Vz);
    const double h = 1e-12;
    double s2;
    Cell_sxy(c, p.x + p.Vx / g * h, p.y + p.Vy / g * h, p.z + p.Vz / g * h, &s2, nullptr, nullptr);
    double vs = (s2 - s) / h;
    int b = (int)std::floor((c->s + s) / r->binwidth);
    if (b < 0 || b >= bins) continue;
    double f = p.weight * vs * scale;
    r->flux[FluxAll][b] += f;
    if (p.species == MuPlus || p.species == MuMinus) r->flux[FluxMuons][b] += f;
    if (p.species == PiPlus || p.species == PiMinus) r->flux[FluxPions][b] += f;
    double af = std::fabs(f);
    r->wxx[b] += af * X * X;
    r->wyy[b] += af * Y * Y;
    r->wsw[b] += af;
  }
}

void RunRecord_finish(RunRecord* r, const Simulation* sim, double score, int maxpoints) {
  r->score = score;
  r->endtime = sim->t;
  const Cell* m = sim->lattice;
  if (m && m->t == Composite)
    for (int i = 0; i < m->n && i < (int)r->parts.size(); i++) r->parts[i].lost = m->children[i]->lostweight;

  const Beam& b = sim->beam;
  int nfinished = 0;
  for (int32_t i = 0; i < b.M; i++) nfinished += b.particles[i].state == Finished;
  r->finalpastfinish = nfinished > 0;
  int n = r->finalpastfinish ? nfinished : b.m;
  int stride = maxpoints > 0 && n > maxpoints ? (n + maxpoints - 1) / maxpoints : 1;
  AffineFrame f = endframe(m);
  int k = 0;
  r->final.clear();
  for (int32_t i = 0; i < b.M; i++) {
    const Particle& p = b.particles[i];
    bool take = r->finalpastfinish ? p.state == Finished : p.state == Active && i < b.m;
    if (!take) continue;
    if (k++ % stride) continue;
    double x = p.x, y = p.y, z = p.z, vx = p.Vx, vy = p.Vy, vz = p.Vz;
    unaffine(f, &x, &y, &z);
    unaffine_no_trans(f, &vx, &vy, &vz);
    RunRecordPoint q;
    q.x = (float)x;
    q.y = (float)y;
    q.xp = vz != 0 ? (float)(vx / vz) : 0.f;
    q.yp = vz != 0 ? (float)(vy / vz) : 0.f;
    q.t = (float)(r->finalpastfinish ? p.propertime : sim->t);
    q.ke = (float)(Particle_ke(&p) * JOULE_TO_MEV);
    q.species = (int8_t)p.species;
    r->final.push_back(q);
  }
}

double RunRecord_rms(const RunRecord& r, int axis, int i) {
  if (i < 0 || i >= (int)r.wsw.size() || r.wsw[i] <= 0) return 0;
  return std::sqrt((axis == 0 ? r.wxx[i] : r.wyy[i]) / r.wsw[i]);
}
