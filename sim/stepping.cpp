// Time stepping with a worker pool per simulation. Each step gives every thread a contiguous range
// of the live section (shares adapted towards the slowest thread), and everything several
// threads would otherwise share is kept per thread: new particles, loss logs, scratch lists,
// counters. After the join the main thread applies the loss logs and merges the new particles
// in thread order (which is particle order), so the beam and the loss counters come out the
// same, bit for bit, whatever the number of threads.
#include "sim/stepping.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/kinematics.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "base/platform.h"
#include "base/report.h"
#include "sim/material.h"
#include "sim/pusher.h"
#include "sim/simulation.h"

namespace {

// The nearby components whose collision detection reported an event in the present
// collideparticle call of this thread (empty between calls), in the order they were asked.
thread_local std::vector<Cell*> reporters;

// A loss to be added to a cell's counters after the join.
struct LossEvent {
  Cell* cell;
  double weight, energy, positive, negative;
};

// What one thread owns during a step.
struct ThreadState {
  std::vector<Particle> newparticles;  // daughters made by decays in this thread
  std::vector<LossEvent> losses;       // in the order the thread met them
  std::vector<Cell*> scratch;          // nearby-list scratch, room for every machine child
  int64_t counter = 0;
  double tstart = 0, tend = 0;         // s, eithertime() (load-balance log only)
};

// The calling thread's loss log while it runs its range of a step; none outside steps.
thread_local std::vector<LossEvent>* losslog = nullptr;

struct Worker {
  std::thread thread;
  std::atomic<uint32_t> go{0};    // bumped once per step given to the worker
  std::atomic<uint32_t> done{1};  // 0 while the worker runs its range
  std::atomic<bool> quit{false};
  StepArgs args{};
};

}  // namespace

// Everything the steps of one simulation keep between steps.
struct StepContext {
  std::vector<std::unique_ptr<ThreadState>> states;  // index = thread number
  std::vector<double> shares;   // load-balance shares, one per thread used
  std::vector<int32_t> bounds;  // thread k's range is [bounds[k], bounds[k+1])
  // The kind of every live record at the end of the step (StateKind), written by the thread
  // that advanced it, so that the compaction after the join reads bytes instead of records
  // that sit in another core's cache.
  std::vector<uint8_t> kinds;
  bool timing = false;                           // workers record their times
  std::vector<std::unique_ptr<Worker>> workers;  // workers[k - 1] runs thread k

  void ensurestates(int n) {
    while ((int)states.size() < n) states.push_back(std::make_unique<ThreadState>());
  }
  void ensureworkers(int n);
  ~StepContext() {
    for (auto& w : workers) {
      w->quit.store(true, std::memory_order_release);
      w->go.fetch_add(1, std::memory_order_release);
      w->go.notify_one();
    }
    for (auto& w : workers) w->thread.join();
  }
};

namespace {

void workerloop(StepContext* ctx, Worker* w) {
  uint32_t seen = 0;
  for (;;) {
    w->go.wait(seen, std::memory_order_acquire);
    seen = w->go.load(std::memory_order_acquire);
    if (w->quit.load(std::memory_order_acquire)) return;
    ThreadState* st = ctx->states[w->args.thread].get();
    if (ctx->timing) st->tstart = eithertime();
    losslog = &st->losses;
    Simulation_advance_t(&w->args);
    losslog = nullptr;
    if (ctx->timing) st->tend = eithertime();
    w->done.store(1, std::memory_order_release);
    w->done.notify_one();
  }
}

// The simulation's context, made at its first step.
StepContext* contextof(Simulation* sim) {
  if (!sim->stepping) sim->stepping = new StepContext;
  return sim->stepping;
}

// The bore radius of every machine child, from the "Bore" attributes (numbers only) or the
// simulation's global_bore.
void ensurebores(Simulation* sim) {
  const Cell* m = sim->lattice;
  if (!m || m->t != Composite) return;
  if (sim->boresof == m && sim->nbores == m->n && sim->bores) return;
  free(sim->bores);
  sim->bores = static_cast<double*>(malloc(sizeof(double) * (m->n > 0 ? m->n : 1)));
  if (!sim->bores) abort();
  for (int i = 0; i < m->n; i++) {
    Attribute a = Cell_attribute(m->children[i], "Bore");
    sim->bores[i] = a.type == AttributeType::Number ? a.value : sim->global_bore;
  }
  sim->boresof = m;
  sim->nbores = m->n;
}

double borefor(const Simulation* sim, const Cell* beamline, int seg) {
  if (beamline == sim->boresof && seg < sim->nbores) return sim->bores[seg];
  Attribute a = Cell_attribute(beamline->children[seg], "Bore");
  return a.type == AttributeType::Number ? a.value : sim->global_bore;
}

// Adds every thread's loss log to the cells, thread 0 first.
void applylosses(const std::vector<std::unique_ptr<ThreadState>>& states, int n) {
  for (int k = 0; k < n; k++) {
    for (const LossEvent& e : states[k]->losses) {
      e.cell->lostweight += e.weight;
      e.cell->lostenergy += e.energy;
      e.cell->lostpositive += e.positive;
      e.cell->lostnegative += e.negative;
    }
    states[k]->losses.clear();
  }
}

// Moves the new particles of threads 0 … n-1 into the live section (see Simulation_advance).
void mergenewparticles(const std::vector<std::unique_ptr<ThreadState>>& states, Beam* beam,
                       int nlists) {
  int64_t D = 0;
  for (int k = 0; k < nlists; k++) D += (int64_t)states[k]->newparticles.size();
  if (D == 0) return;
  if ((int64_t)beam->capacity < (int64_t)beam->M + D) Beam_extendalloc(beam, (int32_t)(D + 5000));
  Particle* P = beam->particles;
  int32_t m = beam->m, M = beam->M, d = (int32_t)D;
  int32_t dead = M - m;
  if (d < dead) memcpy(P + M, P + m, sizeof(Particle) * (size_t)d);
  else if (dead > 0) memmove(P + m + d, P + m, sizeof(Particle) * (size_t)dead);
  int32_t at = m;
  for (int k = 0; k < nlists; k++) {
    std::vector<Particle>& list = states[k]->newparticles;
    if (!list.empty()) memcpy(P + at, list.data(), sizeof(Particle) * list.size());
    at += (int32_t)list.size();
    list.clear();  // the daughters' nearby lists now belong to the beam
  }
  beam->m = m + d;
  beam->M = M + d;
}

// The load-balance log line of one step.
void writeloadbalance(const StepContext* ctx, FILE* f, int n, double T0, double T1) {
  const std::vector<double>& shares = ctx->shares;
  const std::vector<std::unique_ptr<ThreadState>>& states = ctx->states;
  for (int k = 0; k < n; k++) fprintf(f, "\t%lg", shares[k]);
  if (n > 1) {
    double E = T1 - T0;
    if (!(E > 0)) E = 1e-9;
    // Times are shown in units of 10^e s, e chosen so that the step spans at most 999 units.
    int e = (int)std::ceil(std::log10(E / 999.0));
    double unit = std::pow(10.0, e);
    double startsum = 0, busysum = 0, endmin = 1e300, endmax = -1e300;
    for (int k = 0; k < n; k++) {
      const ThreadState* st = states[k].get();
      startsum += st->tstart - T0;
      busysum += st->tend - st->tstart;
      endmin = std::min(endmin, st->tend);
      endmax = std::max(endmax, st->tend);
    }
    double meanstart = startsum / n, meanbusy = busysum / n;
    double wait = 100.0 * (1.0 - meanstart / E);
    double gap = E - meanstart > 0 ? 100.0 * meanbusy / (E - meanstart) : 100.0;
    fprintf(f, "\n\tgap=%de%d\tutil=%.1f%%=%.1f%%(wait)*%.1f%%(gap)\n\t\t",
            (int)std::lround((endmax - endmin) / unit), e, wait * gap / 100.0, wait, gap);
    for (int k = 0; k < n; k++) {
      const ThreadState* st = states[k].get();
      const char* sep = k == n - 1 ? "" : k % 4 == 3 ? "\n\t\t" : "\t";
      fprintf(f, "%d:%03d %03d %d%s", k, (int)std::lround((st->tstart - T0) / unit),
              (int)std::lround((st->tend - T0) / unit), (int)st->counter, sep);
    }
  }
  fprintf(f, "\n");
}

}  // namespace

void StepContext::ensureworkers(int n) {
  while ((int)workers.size() < n) {
    workers.push_back(std::make_unique<Worker>());
    Worker* w = workers.back().get();
    w->thread = std::thread(workerloop, this, w);
  }
}

void StepContext_free(StepContext* ctx) {
  delete ctx;
}

void Beam_compact(Beam* beam, uint8_t* kind) {
  Particle* a = beam->particles;
  const int32_t m = beam->m;
  auto kindof = [&](int32_t k) -> uint8_t { return k < m ? kind[k] : statekind(a[k].state); };
  auto move = [&](int32_t to, int32_t from) {
    uint8_t k = kindof(from);
    a[to] = a[from];
    if (to < m) kind[to] = k;
  };
  int32_t i = 0, j = m - 1;
  for (;;) {
    while (i <= j && kind[i] == KindActive) i++;
    while (j >= i && kind[j] != KindActive) {
      if (kind[j] == KindDecayed) {
        Particle_free(&a[j]);
        beam->M--;
        if (j != beam->M) {
          move(j, beam->M);
          continue;
        }
      }
      j--;
    }
    if (i > j) break;
    if (kind[i] == KindDecayed) {
      Particle_free(&a[i]);
      move(i, j);
      beam->M--;
      if (j != beam->M) move(j, beam->M);
    } else {
      Particle t = a[i];
      a[i] = a[j];
      a[j] = t;
      std::swap(kind[i], kind[j]);
    }
    i++;
    j--;
  }
  beam->m = i;
}

int stepping_workers(const Simulation* sim) {
  return sim->stepping ? (int)sim->stepping->workers.size() : 0;
}

void loseparticleincell(Particle* p, Cell* cell) {
  if (cell) {
    LossEvent e{cell, p->weight, 0, 0, 0};
    double gamma = gamma_from_Vxyz(p->Vx, p->Vy, p->Vz);
    e.energy = (gamma - 1) * E0[p->species] * p->weight * 6241509744511524864.0;
    if (charge[p->species] > 0) e.positive = p->weight;
    else if (charge[p->species] < 0) e.negative = p->weight;
    if (losslog) {
      losslog->push_back(e);
    } else {
      cell->lostweight += e.weight;
      cell->lostenergy += e.energy;
      cell->lostpositive += e.positive;
      cell->lostnegative += e.negative;
    }
  }
  Particle_free(p);
}

void collideparticle(const Particle* p, double t0, double t1, unsigned thread,
                     const Simulation* sim, Particle* out, double* tout, int rfsync) {
  // The segment the particle is in, and the bore there.
  const Cell* bl = p->beamline;
  int seg = -1;
  if (bl && bl->t == Composite && bl->n > 0) {
    seg = p->segment < 0 ? 0 : p->segment >= bl->n ? bl->n - 1 : p->segment;
    double s = 0, r = 0;
    Cell_sr(bl->children[seg], p->x, p->y, p->z, &s, &r);
    while (s >= bl->children[seg]->length && seg + 1 < bl->n) {
      seg++;
      Cell_sr(bl->children[seg], p->x, p->y, p->z, &s, &r);
    }
    while (s < 0 && seg > 0) {
      seg--;
      Cell_sr(bl->children[seg], p->x, p->y, p->z, &s, &r);
    }
    double bore = borefor(sim, bl, seg);
    if (bore > 0 && r > bore) {
      *out = *p;
      out->state = Stopped;
      *tout = t0;
      loseparticleincell(out, bl->children[seg]);
      return;
    }
  }

  // Material: the last nearby component with material data that contains the particle.
  const ScatterData* material = nullptr;
  Cell* materialcell = nullptr;
  for (uint32_t i = p->nnearby; i-- > 0;) {
    Cell* c = p->nearby[i];
    if (c->scatter && Cell_inside(c, p->x, p->y, p->z, t0)) {
      material = c->scatter;
      materialcell = c;
      break;
    }
  }

  // Push to the end of the step.
  Particle pushed = *p;
  if (material) scatterparticle(&pushed, t0, t1 - t0, material);
  else advanceparticle(&pushed, t0, t1 - t0);
  *out = pushed;
  *tout = t1;
  if (pushed.state != Active) {
    loseparticleincell(out, materialcell);
    return;
  }

  // Collision detection: the earliest event wins. Detection has no side effects; the
  // components that reported an event then commit what happened on the real path.
  double best = 9e99;
  Cell* hit = nullptr;
  bool reported = false;
  Particle o;
  double to;
  for (uint32_t i = p->nnearby; i-- > 0;) {
    Cell* c = p->nearby[i];
    int event = rfsync
                    ? Cell_synccollision(c, p, &pushed, t0, t1, thread, material, sim, &o, &to)
                    : Cell_collisiondetect(c, p, &pushed, t0, t1, thread, material, sim, &o, &to);
    if (!event) continue;
    reported = true;
    reporters.push_back(c);
    if (to < best) {
      best = to;
      *out = o;
      *tout = to;
      hit = c;
    }
  }
  if (reported) {
    for (Cell* c : reporters) {
      const CollisionEvent ev{p,     &pushed, t0,    t1,       thread, material, sim,
                              out,   *tout,   c == hit, rfsync != 0};
      Cell_commit(c, &ev);
    }
    reporters.clear();
  }

  // A particle that ended is charged to the component of the event; the particle keeps the
  // segment it was found in.
  if (out->state != Active) loseparticleincell(out, hit);
  if (seg >= 0) out->segment = seg;
}

int Simulation_advance_t(StepArgs* a) {
  Simulation* sim = a->sim;
  Particle* P = sim->beam.particles;
  const double t = sim->t;
  const double t1 = t + sim->dt;
  const Cell* machine = a->refresh ? sim->lattice : nullptr;
  StepContext* ctx = contextof(sim);
  ctx->ensurestates((int)a->thread + 1);
  ThreadState* st = ctx->states[a->thread].get();
  Cell** scratch = st->scratch.data();
  std::vector<Particle>* newparticles = &st->newparticles;
  // An event that never moves time forward would repeat for ever; after this many events in
  // one step the particle waits for the next step.
  const int maxevents = 10000;
  int64_t count = 0;
  // Called outside Simulation_advance the range may lie beyond the kinds array; those kinds
  // are then not needed.
  std::vector<uint8_t>& kinds = ctx->kinds;
  uint8_t* kind = kinds.size() >= (size_t)a->end ? kinds.data() : nullptr;
  for (int32_t i = a->first; i < a->end; i++) {
    Particle* p = P + i;
    if (p->tstart > t1) {
      if (kind) kind[i] = statekind(p->state);
      continue;
    }
    double t0 = p->tstart > t ? p->tstart : t;
    if (a->mode == StepPushOnly) {
      advanceparticle(p, t0, t1 - t0);
    } else if (t0 < t1 && p->state == Active) {
      Particle out;
      double tout;
      int events = 0;
      collideparticle(p, t0, t1, a->thread, sim, &out, &tout, a->mode == StepRFSync);
      *p = out;
      while (tout < t1 && p->state == Active && ++events < maxevents) {
        collideparticle(p, tout, t1, a->thread, sim, &out, &tout, a->mode == StepRFSync);
        *p = out;
      }
    }
    if (p->state == Active) {
      if (machine) {
        uint32_t n = CellSubMap_nearby(machine, p->x, p->y, p->z, scratch);
        Particle_setnearby(p, scratch, n);
      }
      if (a->decays) decayparticle(p, newparticles, sim->allowedspecies, sim->n_decays);
    }
    if (kind) kind[i] = statekind(p->state);
    count++;
  }
  *a->counter += count;
  return 0;
}

void Simulation_advance(Simulation* sim, int decays, int mode, int multithread) {
  const int32_t N = sim->beam.m;
  if (N == 0) {
    sim->steps += 1;
    sim->t += sim->dt;
    return;
  }

  // How many threads share the step: one per `perthread` particles, at most the setting.
  StepContext* ctx = contextof(sim);
  std::vector<std::unique_ptr<ThreadState>>& states = ctx->states;
  std::vector<double>& shares = ctx->shares;
  std::vector<int32_t>& bounds = ctx->bounds;
  std::vector<uint8_t>& kinds = ctx->kinds;
  const int threads = sim->threads > 0 ? sim->threads : 1;
  const int perthread = sim->particlesperthread > 0 ? sim->particlesperthread : 1;
  int n = 1;
  const bool overheadlog = multithread && sim->threadoverheadlog;
  if (multithread) {
    n = (N - 1) / perthread + 1;
    if (n > threads) n = threads;
    if (overheadlog && N > 1) n = (int)(sim->steps % threads) + 1;
  }
  FILE* balancelog = sim->loadbalancelog;
  const bool timing = ctx->timing = overheadlog || balancelog;
  const double T0 = timing ? eithertime() : 0;

  // This step's flags (decays, display refresh, scattering) and each thread's scratch room.
  const int decayflag = decays && !sim->decays_off;
  const int refreshsteps = sim->refreshsteps > 0 ? sim->refreshsteps : 1;
  int refresh = sim->steps % refreshsteps == 0;
  if (refresh && !sim->lattice) {
    report("[FATAL] bl is NULL in Simulation_advance_t");
    refresh = 0;
  }
  scatteringsuppressed = mode == StepRFSync || sim->scattering_off;
  ensurebores(sim);
  ctx->ensurestates(n > threads ? n : threads);
  const size_t room = sim->lattice && sim->lattice->t == Composite && sim->lattice->n > 0
                          ? (size_t)sim->lattice->n
                          : 1;
  if (kinds.size() < (size_t)N) kinds.resize((size_t)N);
  for (int k = 0; k < n; k++) {
    if (states[k]->scratch.size() < room) states[k]->scratch.resize(room);
    states[k]->counter = 0;
  }

  // Each thread's range of particles follows its share; the workers start on theirs.
  if ((int)shares.size() != n) shares.assign((size_t)n, 1.0);
  bounds.resize((size_t)n + 1);
  bounds[0] = 0;
  bounds[(size_t)n] = N;
  if (n > 1) {
    double floor = 0.01 / n, sum = 0;
    for (double& s : shares) {
      if (s < floor) s = floor;
      sum += s;
    }
    for (double& s : shares) s /= sum;
    double S = 0;
    for (int k = 1; k < n; k++) {
      S += shares[(size_t)k - 1];
      int32_t b = (int32_t)(N * S);
      bounds[(size_t)k] = b < bounds[(size_t)k - 1] ? bounds[(size_t)k - 1] : b > N ? N : b;
    }
    ctx->ensureworkers(n - 1);
  }
  auto argsfor = [&](int k) {
    return StepArgs{sim,         bounds[(size_t)k], bounds[(size_t)k + 1], (unsigned)k,
                    &states[k]->counter, decayflag, mode,        refresh};
  };
  for (int k = 1; k < n; k++) {
    Worker* w = ctx->workers[(size_t)k - 1].get();
    w->args = argsfor(k);
    w->done.store(0, std::memory_order_relaxed);
    w->go.fetch_add(1, std::memory_order_release);
    w->go.notify_one();
  }

  // The calling thread steps its own range, then waits for the workers; the last one to
  // finish takes a smaller share next time.
  {
    ThreadState* st = states[0].get();
    StepArgs a0 = argsfor(0);
    if (timing) st->tstart = eithertime();
    losslog = &st->losses;
    Simulation_advance_t(&a0);
    losslog = nullptr;
    if (timing) st->tend = eithertime();
  }
  int last = 0;
  for (;;) {
    int running = -1;
    for (int k = 1; k < n; k++) {
      if (!ctx->workers[(size_t)k - 1]->done.load(std::memory_order_acquire)) {
        running = k;
        break;
      }
    }
    if (running < 0) break;
    last = running;
    ctx->workers[(size_t)running - 1]->done.wait(0, std::memory_order_acquire);
  }
  if (n > 1) shares[(size_t)last] *= 0.99;
  const double T1 = timing ? eithertime() : 0;

  // The work done, counted into the run's total (an eighth added for overhead).
  int64_t w = 0;
  for (int k = 0; k < n; k++) w += states[k]->counter;
  w += (w + 7) / 8;
  sim->Mpts += w * 1e-6;

  // The thread-overhead and load-balance logs.
  if (overheadlog)
    fprintf(sim->threadoverheadlog, "%d,%d,%lg%c", n, (int)w, T1 - T0,
            n == threads ? '\n' : ',');
  if (balancelog) writeloadbalance(ctx, balancelog, n, T0, T1);

  // After the join: losses, new particles, compaction.
  scatteringsuppressed = false;
  applylosses(states, n);
  if (decayflag) mergenewparticles(states, &sim->beam, (int)states.size());
  // New particles joined the live section Active, after the N records the threads saw.
  if (kinds.size() < (size_t)sim->beam.m) kinds.resize((size_t)sim->beam.m);
  std::fill(kinds.begin() + N, kinds.begin() + sim->beam.m, (uint8_t)KindActive);
  Beam_compact(&sim->beam, kinds.data());

  // The clock moves on by one step.
  sim->steps += 1;
  sim->t += sim->dt;
}
