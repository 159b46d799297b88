// Time stepping with a worker pool per simulation. The live section is cut into fixed-size
// chunks that the calling thread and the workers claim from one counter, so a slow or
// descheduled thread holds up a step by one chunk at most. Everything several threads would
// otherwise share is kept per thread (new particles, loss logs, scratch lists, counters), and
// each chunk records which part of its thread's lists it wrote; after the join the main thread
// applies the losses and merges the new particles chunk by chunk, which is particle order, so
// the beam and the loss counters come out the same, bit for bit, whatever the number of
// threads and whichever thread ran which chunk.
#include "sim/stepping.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
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
#include "sim/threadchoice.h"
#include "sim/components/solenoid.h"

namespace {

// The nearby components whose collision detection reported an event in the present
// collideparticle call of this thread (empty between calls), in the order they were asked.
thread_local std::vector<Cell*> reporters;

// A loss to be added to a cell's counters after the join.
struct LossEvent {
  Cell* cell;
  double weight, energy, positive, negative;
};

// The particles of a range that share one nearby list: the list's key and a particle that has
// it, what the list decides for all of them (whether the lane pusher has all its fields; which
// of its entries have material data, as a run of the thread's scatterers list), and the open
// lane batch (pushed copies and their places in the beam).
struct Group {
  uint64_t key;
  const Particle* lead;
  bool batchable;
  bool boreinlanes;  // batchable without material: the bore test goes with the batch
  uint32_t scatter0, nscatter;
  int n;
  Particle* ps[8];
  int32_t at[8];
};

// What one thread owns during a step.
struct ThreadState {
  std::vector<Particle> newparticles;  // daughters made by decays in this thread
  std::vector<LossEvent> losses;       // in the order the thread met them
  std::vector<Cell*> scratch;          // nearby-list scratch, room for every machine child
  // Lanes of a range: what each particle's collision step found before the push, where its
  // pushed copy is, the copies, the particles that have one, batch and grouping scratch.
  std::vector<struct Before> before;
  std::vector<int32_t> slot;
  std::vector<Particle> pushed;
  std::vector<struct Group> groups;
  std::vector<uint32_t> scatterers;
  int64_t counter = 0;                 // particles processed in this step
  int64_t live = 0;                    // particles of the chunks it ran in this step
  double tstart = 0, tend = 0;         // s, eithertime() (logs only); tstart 0: ran no chunk
};

// The calling thread's loss log while it runs its range of a step; none outside steps.
thread_local std::vector<LossEvent>* losslog = nullptr;

// What one chunk of a step left in the lists of the thread that ran it.
struct ChunkRecord {
  uint32_t thread;
  uint32_t newbegin, newend;    // its daughters in that thread's newparticles
  uint32_t lossbegin, lossend;  // its losses in that thread's loss log
};

struct Worker {
  std::thread thread;
  std::atomic<uint32_t> go{0};  // bumped once per step the worker is asked to help with
  std::atomic<bool> quit{false};
  unsigned index = 0;           // its thread number
};

// Polls `cond` a short while (about the hand-off time of a step), then sleeps on `word` until
// it differs from `old` and `cond` holds. The short spin keeps a step's hand-off in the
// microseconds when both threads are running; the sleep leaves the core to other processes.
template <class Cond>
void spinthenwait(const std::atomic<uint32_t>& word, Cond cond) {
  for (int i = 0; i < 4000; i++) {
    if (cond()) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  for (;;) {
    uint32_t old = word.load(std::memory_order_acquire);
    if (cond()) return;
    word.wait(old, std::memory_order_acquire);
  }
}

}  // namespace

// Particles per chunk: small enough that the last chunks even out the threads' finishing
// times, large enough that claiming one costs nothing next to pushing its particles.
constexpr int32_t CHUNK = 64;

// Everything the steps of one simulation keep between steps.
struct StepContext {
  std::vector<std::unique_ptr<ThreadState>> states;  // index = thread number
  std::vector<double> shares;   // each thread's part of the last step's particles (logs)
  std::vector<ChunkRecord> chunks;  // what each chunk of the present step left where
  // The kind of every live record at the end of the step (StateKind), written by the thread
  // that advanced it, so that the compaction after the join reads bytes instead of records
  // that sit in another core's cache.
  std::vector<uint8_t> kinds;
  bool timing = false;                           // threads record their times
  std::vector<std::unique_ptr<Worker>> workers;  // workers[k - 1] runs thread k

  // The present step, read by the threads after they claim a chunk (and written by the main
  // thread only while no chunk is unfinished).
  StepArgs step{};
  int32_t nlive = 0;                   // live particles of the step
  // The threads that may take part in the present step (thread numbers below the high half;
  // 0 between steps) and the next chunk to claim (the low half), in one word so that a claim
  // checks both: a worker woken for one step that runs only after it ended cannot join a
  // following step that was left to fewer threads.
  std::atomic<uint64_t> next{0};
  std::atomic<uint32_t> nchunks{0};    // chunks of the step
  std::atomic<uint32_t> finished{0};   // chunks finished

  // The machine's children as the lanes' bore test reads them, made with the bore table
  // (ensurebores).
  std::vector<SegmentFrame> frames;

  ThreadChoice choice;          // threads auto: one thread or all, by measurement
  std::string overheadnote;     // decisions waiting for the end of a thread-overhead log line

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

// Claims and runs chunks of the present step until none is left; returns at once when the
// step has none left (a worker that wakes late, after the others finished the step).
void runchunks(StepContext* ctx, unsigned thread) {
  for (;;) {
    uint64_t word = ctx->next.load(std::memory_order_relaxed);
    // A claim succeeds only while chunks are left and the step admits the thread; everything
    // else of the step (arguments, thread states, chunk records, the chunk count) is read only
    // after a claim and stays put until the claimed chunk is reported finished. A count read
    // before the claim may be the last step's, so the chunk is checked again after it.
    do {
      if (thread >= (word >> 32) || (uint32_t)word >= ctx->nchunks.load(std::memory_order_relaxed))
        return;
    } while (!ctx->next.compare_exchange_weak(word, word + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    const uint32_t c = (uint32_t)word;
    if (c >= ctx->nchunks.load(std::memory_order_relaxed)) return;
    ThreadState* st = ctx->states[thread].get();
    StepArgs a = ctx->step;
    a.thread = thread;
    a.first = (int32_t)c * CHUNK;
    a.end = std::min(ctx->nlive, a.first + CHUNK);
    a.counter = &st->counter;
    if (ctx->timing && st->tstart == 0) st->tstart = eithertime();
    ChunkRecord r{thread, (uint32_t)st->newparticles.size(), 0, (uint32_t)st->losses.size(), 0};
    losslog = &st->losses;
    Simulation_advance_t(&a);
    losslog = nullptr;
    r.newend = (uint32_t)st->newparticles.size();
    r.lossend = (uint32_t)st->losses.size();
    ctx->chunks[c] = r;
    st->live += a.end - a.first;
    if (ctx->timing) st->tend = eithertime();
    if (ctx->finished.fetch_add(1, std::memory_order_release) + 1 ==
        ctx->nchunks.load(std::memory_order_relaxed))
      ctx->finished.notify_one();
  }
}

void workerloop(StepContext* ctx, Worker* w) {
  uint32_t seen = 0;
  for (;;) {
    spinthenwait(w->go, [&] { return w->go.load(std::memory_order_acquire) != seen; });
    seen = w->go.load(std::memory_order_acquire);
    if (w->quit.load(std::memory_order_acquire)) return;
    runchunks(ctx, w->index);
  }
}

// The simulation's context, made at its first step.
StepContext* contextof(Simulation* sim) {
  if (!sim->stepping) sim->stepping = new StepContext;
  return sim->stepping;
}

// The bore radius of every machine child, from the "Bore" attributes (numbers only) or the
// simulation's global_bore, and the children's frames for the lanes' bore test.
void ensurebores(Simulation* sim, StepContext* ctx) {
  const Cell* m = sim->lattice;
  if (!m || m->t != Composite) return;
  if (sim->boresof == m && sim->nbores == m->n && sim->bores) return;
  free(sim->bores);
  sim->bores = static_cast<double*>(malloc(sizeof(double) * (m->n > 0 ? m->n : 1)));
  if (!sim->bores) abort();
  ctx->frames.resize((size_t)m->n);
  for (int i = 0; i < m->n; i++) {
    const Cell* c = m->children[i];
    Attribute a = Cell_attribute(c, "Bore");
    sim->bores[i] = a.type == AttributeType::Number ? a.value : sim->global_bore;
    ctx->frames[(size_t)i] = SegmentFrame_of(c, sim->bores[i]);
  }
  sim->boresof = m;
  sim->nbores = m->n;
}

double borefor(const Simulation* sim, const Cell* beamline, int seg) {
  if (beamline == sim->boresof && seg < sim->nbores) return sim->bores[seg];
  Attribute a = Cell_attribute(beamline->children[seg], "Bore");
  return a.type == AttributeType::Number ? a.value : sim->global_bore;
}

// Adds the losses of every chunk to the cells, chunk by chunk (particle order), and empties
// the threads' loss logs.
void applylosses(StepContext* ctx, int n) {
  const uint32_t nchunks = ctx->nchunks.load(std::memory_order_relaxed);
  for (uint32_t c = 0; c < nchunks; c++) {
    const ChunkRecord& r = ctx->chunks[c];
    const std::vector<LossEvent>& log = ctx->states[r.thread]->losses;
    for (uint32_t i = r.lossbegin; i < r.lossend; i++) {
      const LossEvent& e = log[i];
      e.cell->lostweight += e.weight;
      e.cell->lostenergy += e.energy;
      e.cell->lostpositive += e.positive;
      e.cell->lostnegative += e.negative;
    }
  }
  for (int k = 0; k < n; k++) ctx->states[k]->losses.clear();
}

// Moves the new particles of the step's chunks into the live section (see
// Simulation_advance), chunk by chunk, and empties the threads' lists.
void mergenewparticles(StepContext* ctx, Beam* beam, int n) {
  int64_t D = 0;
  for (int k = 0; k < n; k++) D += (int64_t)ctx->states[k]->newparticles.size();
  if (D == 0) return;
  if ((int64_t)beam->capacity < (int64_t)beam->M + D) Beam_extendalloc(beam, (int32_t)(D + 5000));
  Particle* P = beam->particles;
  int32_t m = beam->m, M = beam->M, d = (int32_t)D;
  int32_t dead = M - m;
  if (d < dead) memcpy(P + M, P + m, sizeof(Particle) * (size_t)d);
  else if (dead > 0) memmove(P + m + d, P + m, sizeof(Particle) * (size_t)dead);
  int32_t at = m;
  const uint32_t nchunks = ctx->nchunks.load(std::memory_order_relaxed);
  for (uint32_t c = 0; c < nchunks; c++) {
    const ChunkRecord& r = ctx->chunks[c];
    const std::vector<Particle>& list = ctx->states[r.thread]->newparticles;
    const uint32_t k = r.newend - r.newbegin;
    if (k) memcpy(P + at, list.data() + r.newbegin, sizeof(Particle) * k);
    at += (int32_t)k;
  }
  // The daughters' nearby lists now belong to the beam.
  for (int k = 0; k < n; k++) ctx->states[k]->newparticles.clear();
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
    // A thread that ran no chunk (it woke after the others had finished) counts as starting
    // and ending with the step.
    auto startof = [&](const ThreadState* st) { return st->tstart > 0 ? st->tstart : T1; };
    auto endof = [&](const ThreadState* st) { return st->tstart > 0 ? st->tend : T1; };
    for (int k = 0; k < n; k++) {
      const ThreadState* st = states[k].get();
      startsum += startof(st) - T0;
      busysum += endof(st) - startof(st);
      endmin = std::min(endmin, endof(st));
      endmax = std::max(endmax, endof(st));
    }
    double meanstart = startsum / n, meanbusy = busysum / n;
    double wait = 100.0 * (1.0 - meanstart / E);
    double gap = E - meanstart > 0 ? 100.0 * meanbusy / (E - meanstart) : 100.0;
    fprintf(f, "\n\tgap=%de%d\tutil=%.1f%%=%.1f%%(wait)*%.1f%%(gap)\n\t\t",
            (int)std::lround((endmax - endmin) / unit), e, wait * gap / 100.0, wait, gap);
    for (int k = 0; k < n; k++) {
      const ThreadState* st = states[k].get();
      const char* sep = k == n - 1 ? "" : k % 4 == 3 ? "\n\t\t" : "\t";
      fprintf(f, "%d:%03d %03d %d%s", k, (int)std::lround((startof(st) - T0) / unit),
              (int)std::lround((endof(st) - T0) / unit), (int)st->counter, sep);
    }
  }
  fprintf(f, "\n");
}

}  // namespace

void StepContext::ensureworkers(int n) {
  while ((int)workers.size() < n) {
    workers.push_back(std::make_unique<Worker>());
    Worker* w = workers.back().get();
    w->index = (unsigned)workers.size();
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
    if (!std::isfinite(e.energy)) e.energy = 0;  // a velocity that is not a number
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

namespace {

// What a collision step finds before the push: the segment of the beam line the particle is in
// (-1 without one), whether it lies outside the bore there, and the material it starts in.
struct Before {
  int seg;
  bool outsidebore;
  const ScatterData* material;
  Cell* materialcell;
  // Set when the lanes found that the step crosses no surface of a nearby coil, so the coils'
  // collision checks would report nothing and are skipped.
  bool coilsclear;
};

// The segment search and bore test of a collision step: the segment of the beam line the
// particle is in and whether it lies outside the bore there.
void segmentbefore(const Particle* p, const Simulation* sim, Before* b) {
  const Cell* bl = p->beamline;
  if (bl && bl->t == Composite && bl->n > 0) {
    int seg = p->segment < 0 ? 0 : p->segment >= bl->n ? bl->n - 1 : p->segment;
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
    b->seg = seg;
    double bore = borefor(sim, bl, seg);
    if (bore > 0 && r > bore) b->outsidebore = true;
  }
}

// The material test of a collision step (inside the bore): the last nearby component with
// material data that contains the particle. With nscatterers >= 0 it asks only the entries
// nearby[scatterers[0 … nscatterers-1]] (those of the particle's nearby list that have material
// data, from the last to the first), otherwise every entry.
void materialbefore(const Particle* p, double t0, const uint32_t* scatterers, int nscatterers,
                    Before* b) {
  if (nscatterers >= 0) {
    for (int k = 0; k < nscatterers; k++) {
      Cell* c = p->nearby[scatterers[k]];
      if (Cell_inside(c, p->x, p->y, p->z, t0)) {
        b->material = c->scatter;
        b->materialcell = c;
        return;
      }
    }
    return;
  }
  for (uint32_t i = p->nnearby; i-- > 0;) {
    Cell* c = p->nearby[i];
    if (c->scatter && Cell_inside(c, p->x, p->y, p->z, t0)) {
      b->material = c->scatter;
      b->materialcell = c;
      return;
    }
  }
}

// The first part of collideparticle, without side effects.
Before collidebefore(const Particle* p, double t0, const Simulation* sim,
                     const uint32_t* scatterers = nullptr, int nscatterers = -1) {
  Before b{-1, false, nullptr, nullptr, false};
  segmentbefore(p, sim, &b);
  if (!b.outsidebore) materialbefore(p, t0, scatterers, nscatterers, &b);
  return b;
}

// The rest of collideparticle, given what collidebefore found and, unless the particle was
// outside the bore, `pushed`: the particle moved to t1 through that material.
void collideafter(const Particle* p, const Before& b, const Particle& pushed, double t0,
                  double t1, unsigned thread, const Simulation* sim, Particle* out,
                  double* tout, int rfsync) {
  if (b.outsidebore) {
    *out = *p;
    out->state = Stopped;
    *tout = t0;
    loseparticleincell(out, p->beamline->children[b.seg]);
    return;
  }
  *out = pushed;
  *tout = t1;
  if (pushed.state != Active) {
    loseparticleincell(out, b.materialcell);
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
    if (b.coilsclear && c->collisiondetect == CDsolenoid) continue;
    int event = rfsync ? Cell_synccollision(c, p, &pushed, t0, t1, thread, b.material, sim, &o,
                                            &to)
                       : Cell_collisiondetect(c, p, &pushed, t0, t1, thread, b.material, sim,
                                              &o, &to);
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
      const CollisionEvent ev{p,   &pushed, t0,       t1,          thread, b.material, sim,
                              out, *tout,   c == hit, rfsync != 0};
      Cell_commit(c, &ev);
    }
    reporters.clear();
  }

  // A particle that ended is charged to the component of the event; the particle keeps the
  // segment it was found in.
  if (out->state != Active) loseparticleincell(out, hit);
  if (b.seg >= 0) out->segment = b.seg;
}

// A particle that can no longer reach the machine, or whose position or velocity is no longer
// a number, ends Stopped where it is, charged to the beam-line child of its segment.
void leavemachine(Particle* p) {
  const Cell* bl = p->beamline;
  Cell* cell = nullptr;
  if (bl && bl->t == Composite && bl->n > 0)
    cell = bl->children[p->segment < 0 ? 0 : p->segment >= bl->n ? bl->n - 1 : p->segment];
  p->state = Stopped;
  loseparticleincell(p, cell);
}

bool samelist(const Particle* a, const Particle* b) {
  return a->nnearby == b->nnearby &&
         (a->nearby == b->nearby ||
          memcmp(a->nearby, b->nearby, sizeof(Cell*) * a->nnearby) == 0);
}

// A hash of a particle's nearby list (its entries in order), so that grouping particles by
// list compares one number before it compares lists.
uint64_t listkey(const Particle* p) {
  uint64_t h = 0x9e3779b97f4a7c15ull ^ p->nnearby;
  for (uint32_t i = 0; i < p->nnearby; i++) {
    h ^= (uint64_t)(uintptr_t)p->nearby[i];
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 29;
  }
  return h;
}

// A run that has taken its most steps ends: every particle still in the live section (trapped
// in a field, flying in a machine without boxes to leave, or not yet started) ends Stopped as
// if it had left the machine, with one message.
void endtrappedparticles(Simulation* sim, std::vector<uint8_t>& kinds) {
  const int32_t m = sim->beam.m;
  if (kinds.size() < (size_t)m) kinds.resize((size_t)m);
  double weight = 0;
  for (int32_t i = 0; i < m; i++) {
    Particle* p = sim->beam.particles + i;
    if (p->state == Active) {
      weight += p->weight;
      leavemachine(p);
    }
    kinds[(size_t)i] = statekind(p->state);
  }
  reportf("The run reached its limit of %lld time steps: the %d particles still flying "
          "(weight %lg) end as lost",
          (long long)sim->steps, (int)m, weight);
  Beam_compact(&sim->beam, kinds.data());
}

}  // namespace

void collideparticle(const Particle* p, double t0, double t1, unsigned thread,
                     const Simulation* sim, Particle* out, double* tout, int rfsync) {
  const Before b = collidebefore(p, t0, sim);
  Particle pushed = *p;
  if (!b.outsidebore) {
    if (b.material) scatterparticle(&pushed, t0, t1 - t0, b.material);
    else advanceparticle(&pushed, t0, t1 - t0);
  }
  collideafter(p, b, pushed, t0, t1, thread, sim, out, tout, rfsync);
}

int Simulation_advance_t(StepArgs* a) {
  Simulation* sim = a->sim;
  Particle* P = sim->beam.particles;
  const double t = sim->t;
  const double t1 = t + sim->dt;
  const Cell* machine = a->refresh ? sim->lattice : nullptr;
  // Beyond the machine's box by more than a refresh interval's light travel, on a path that
  // misses it, a particle meets nothing again (collision steps only: the RF synchronisation and
  // orbit tracing end their own particles).
  const double reachmargin = sim->refreshsteps * sim->dt * c_light;
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
  const int rfsync = a->mode == StepRFSync;

  // Lanes: the first collision step of every particle that starts with the step, in vacuum,
  // among fields the lane pusher has, is pushed beforehand together with the others of its
  // nearby list (while the pusher slot holds the default pusher). Everything with side
  // effects then follows particle by particle as below.
  const int width = a->mode != StepPushOnly && advanceparticle == advanceparticle_merged2a
                        ? pusher_width()
                        : 1;
  const int32_t nrange = a->end > a->first ? a->end - a->first : 0;
  std::vector<Before>& before = st->before;
  std::vector<int32_t>& slot = st->slot;  // index into pushed, or -1
  std::vector<Particle>& pushed = st->pushed;
  if (width > 1) {
    before.resize((size_t)nrange);
    slot.assign((size_t)nrange, -1);
    pushed.clear();
    pushed.reserve((size_t)nrange);  // the open batches point into it while it fills
    std::vector<Group>& groups = st->groups;
    groups.clear();
    std::vector<uint32_t>& scatterers = st->scatterers;
    scatterers.clear();
    // The segment search and bore test of a group without material go with its batch, in
    // lanes, on the copies just before they are pushed (boreparticles; the particles it leaves
    // undecided take the one-particle search). A copy outside the bore is pushed with the others
    // and its result left unused.
    const Cell* machine = sim->boresof;
    const bool lanesbore = machine && machine->t == Composite && machine->n > 0 &&
                           sim->nbores == machine->n && ctx->frames.size() == (size_t)machine->n;
    auto push = [&](Group& g) {
      if (g.boreinlanes) {
        int32_t seg[8];
        uint8_t verdict[8];
        boreparticles(g.ps, g.n, machine, ctx->frames.data(), seg, verdict);
        for (int k = 0; k < g.n; k++) {
          const size_t at = (size_t)(g.at[k] - a->first);
          Before& b = before[at];
          b = Before{seg[k], verdict[k] == 1, nullptr, nullptr, false};
          if (verdict[k] == 2) {
            b.seg = -1;
            segmentbefore(P + g.at[k], sim, &b);
          }
          if (b.outsidebore) slot[at] = -1;
        }
      }
      uint8_t coils[8];
      advanceparticles(g.ps, g.n, t, t1 - t, coils);
      for (int k = 0; k < g.n; k++) before[(size_t)(g.at[k] - a->first)].coilsclear = !coils[k];
      g.n = 0;
    };
    // Each particle that starts with the step finds the group of its nearby list (lists told
    // apart by their key, then by their entries); one that the lanes can take joins the
    // group's open batch, which is pushed when full, the partly filled ones at the end.
    for (int32_t i = a->first; i < a->end; i++) {
      const Particle* p = P + i;
      if (!(p->tstart <= t && t < t1 && p->state == Active)) continue;
      const uint64_t key = listkey(p);
      size_t g = 0;
      while (g < groups.size() && !(groups[g].key == key && samelist(groups[g].lead, p))) g++;
      if (g == groups.size()) {
        Group ng{key, p, p->nnearby > 0 && pusher_batchable(p->nearby, p->nnearby), false,
                 (uint32_t)scatterers.size(), 0, 0, {}, {}};
        for (uint32_t k = p->nnearby; k-- > 0;)
          if (p->nearby[k]->scatter) {
            scatterers.push_back(k);
            ng.nscatter++;
          }
        ng.boreinlanes = lanesbore && ng.batchable && ng.nscatter == 0;
        groups.push_back(ng);
      }
      Group& grp = groups[g];
      if (!grp.boreinlanes) {
        Before& b = before[(size_t)(i - a->first)];
        b = collidebefore(p, t, sim, scatterers.data() + grp.scatter0, (int)grp.nscatter);
        if (b.outsidebore || b.material || !grp.batchable) continue;
      }
      slot[(size_t)(i - a->first)] = (int32_t)pushed.size();
      pushed.push_back(*p);
      grp.ps[grp.n] = &pushed.back();
      grp.at[grp.n] = i;
      if (++grp.n == width) push(grp);
    }
    for (Group& grp : groups)
      if (grp.n > 0) push(grp);
  }

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
      if (width > 1 && p->tstart <= t) {
        // The first part was found before the lanes ran.
        const Before& b = before[(size_t)(i - a->first)];
        const int32_t k = slot[(size_t)(i - a->first)];
        if (k >= 0) {
          collideafter(p, b, pushed[(size_t)k], t0, t1, a->thread, sim, &out, &tout, rfsync);
        } else {
          Particle moved = *p;
          if (!b.outsidebore) {
            if (b.material) scatterparticle(&moved, t0, t1 - t0, b.material);
            else advanceparticle(&moved, t0, t1 - t0);
          }
          collideafter(p, b, moved, t0, t1, a->thread, sim, &out, &tout, rfsync);
        }
      } else {
        collideparticle(p, t0, t1, a->thread, sim, &out, &tout, rfsync);
      }
      *p = out;
      while (tout < t1 && p->state == Active && ++events < maxevents) {
        collideparticle(p, tout, t1, a->thread, sim, &out, &tout, rfsync);
        *p = out;
      }
    }
    if (p->state == Active) {
      if (machine) {
        uint32_t n = CellSubMap_nearby(machine, p->x, p->y, p->z, scratch);
        Particle_setnearby(p, scratch, n);
        if (n == 0 && a->mode == StepCollide &&
            CellSubMap_outofreach(machine, p->x, p->y, p->z, p->Vx, p->Vy, p->Vz, reachmargin))
          leavemachine(p);
      }
      // Every decay copy that fell due within the step.
      if (a->decays)
        while (p->state == Active && p->decaysleft > 0 && p->propertime >= p->nextdecay)
          decayparticle(p, newparticles, sim->allowedspecies, sim->n_decays);
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

  // How many threads share the step: one per `perthread` particles, at most the setting, and
  // the calling thread alone while too few particles are live to pay for a hand-off. Unless
  // the count is fixed, the steps measure whether that many threads are faster than one and
  // take the faster (threads auto, sim/threadchoice.h).
  StepContext* ctx = contextof(sim);
  std::vector<std::unique_ptr<ThreadState>>& states = ctx->states;
  std::vector<uint8_t>& kinds = ctx->kinds;
  const int threads = sim->threads > 0 ? sim->threads : 1;
  const int perthread = sim->particlesperthread > 0 ? sim->particlesperthread : 1;
  const int refreshsteps = sim->refreshsteps > 0 ? sim->refreshsteps : 1;
  int refresh = sim->steps % refreshsteps == 0;
  int n = 1;
  int several = 1;  // the thread count that the choice between one and several stands for
  const bool overheadlog = multithread && sim->threadoverheadlog;
  if (multithread) {
    n = (N - 1) / perthread + 1;
    if (n > threads) n = threads;
    if (N < STEP_PARALLEL_MIN) n = 1;
    several = n;
    if (several > 1 && !sim->fixedthreads && !ctx->choice.several(N, refresh, eithertime()))
      n = 1;
    // The thread-overhead log measures every thread count in turn, small steps included.
    if (overheadlog && N > 1) n = (int)(sim->steps % threads) + 1;
  }
  // Steps that take part in the choice are timed for it.
  const bool choosing = several > 1 && !sim->fixedthreads && (n == 1 || n == several);
  if (n > 1) ctx->ensureworkers(n - 1);
  FILE* balancelog = sim->loadbalancelog;
  const bool timing = ctx->timing = overheadlog || balancelog;
  const double T0 = timing || choosing ? eithertime() : 0;

  // This step's flags (decays, display refresh, scattering) and each thread's scratch room.
  const int decayflag = decays && !sim->decays_off;
  if (refresh && !sim->lattice) {
    report("[FATAL] bl is NULL in Simulation_advance_t");
    refresh = 0;
  }
  scatteringsuppressed = mode == StepRFSync || sim->scattering_off;
  ensurebores(sim, ctx);
  ctx->ensurestates(n > threads ? n : threads);
  const size_t room = sim->lattice && sim->lattice->t == Composite && sim->lattice->n > 0
                          ? (size_t)sim->lattice->n
                          : 1;
  if (kinds.size() < (size_t)N) kinds.resize((size_t)N);
  for (int k = 0; k < n; k++) {
    if (states[k]->scratch.size() < room) states[k]->scratch.resize(room);
    states[k]->counter = 0;
    states[k]->live = 0;
    states[k]->tstart = states[k]->tend = 0;
  }

  // The step's chunks; the workers are woken and every thread claims chunks until none is
  // left. No worker can be inside a chunk here: the last step ended when all were finished.
  ctx->step = StepArgs{sim, 0, 0, 0, nullptr, decayflag, mode, refresh};
  ctx->nlive = N;
  const uint32_t all = (uint32_t)((N + CHUNK - 1) / CHUNK);
  if (ctx->chunks.size() < all) ctx->chunks.resize(all);
  ctx->nchunks.store(all, std::memory_order_relaxed);
  ctx->finished.store(0, std::memory_order_relaxed);
  ctx->next.store((uint64_t)n << 32, std::memory_order_release);
  if (n > 1) {
    for (int k = 1; k < n; k++) {
      Worker* w = ctx->workers[(size_t)k - 1].get();
      w->go.fetch_add(1, std::memory_order_release);
      w->go.notify_one();
    }
  }
  runchunks(ctx, 0);
  spinthenwait(ctx->finished,
               [&] { return ctx->finished.load(std::memory_order_acquire) == all; });
  // Workers that woke too late find no chunk; from here on none touches the step's data. No
  // thread is admitted until the next step's start publishes it.
  ctx->next.store(0, std::memory_order_relaxed);
  const double T1 = timing ? eithertime() : 0;

  // Each thread's part of the step, for the load-balance log.
  ctx->shares.assign((size_t)n, 0.0);
  for (int k = 0; k < n; k++) ctx->shares[(size_t)k] = (double)states[k]->live / N;

  // The work done, counted into the run's total (an eighth added for overhead).
  int64_t w = 0;
  for (int k = 0; k < n; k++) w += states[k]->counter;
  const int64_t advanced = w;
  w += (w + 7) / 8;
  sim->Mpts += w * 1e-6;

  // The thread-overhead and load-balance logs, with the decisions of threads auto (the
  // thread-overhead log's after the end of its line of thread counts).
  const std::string note = choosing ? ctx->choice.takenote(several) : std::string();
  if (overheadlog) {
    fprintf(sim->threadoverheadlog, "%d,%d,%lg%c", n, (int)w, T1 - T0,
            n == threads ? '\n' : ',');
    ctx->overheadnote += note;
    if (n == threads && !ctx->overheadnote.empty()) {
      fputs(ctx->overheadnote.c_str(), sim->threadoverheadlog);
      ctx->overheadnote.clear();
    }
  }
  if (balancelog) {
    writeloadbalance(ctx, balancelog, n, T0, T1);
    fputs(note.c_str(), balancelog);
  }

  // After the join: losses, new particles, compaction.
  scatteringsuppressed = false;
  applylosses(ctx, n);
  if (decayflag) mergenewparticles(ctx, &sim->beam, n);
  // New particles joined the live section Active, after the N records the threads saw.
  if (kinds.size() < (size_t)sim->beam.m) kinds.resize((size_t)sim->beam.m);
  std::fill(kinds.begin() + N, kinds.begin() + sim->beam.m, (uint8_t)KindActive);
  Beam_compact(&sim->beam, kinds.data());
  if (choosing) ctx->choice.measured(n > 1, eithertime() - T0, advanced);

  // The clock moves on by one step.
  sim->steps += 1;
  sim->t += sim->dt;
  if (sim->steps >= sim->maxsteps && sim->beam.m > 0) endtrappedparticles(sim, kinds);
}
