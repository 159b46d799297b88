// Particles: creation, the particle's random stream, decay copies and decays, the decay
// kinematics, comparisons and the binary particle record (see particle.h).
#include "sim/particle.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/bytes.h"
#include "base/kinematics.h"
#include "base/lset.h"
#include "base/random.h"
#include "base/text.h"
#include "lattice/frames.h"

namespace {

const char* const statenames[12] = {"Finished",    "Active",      "Stopped", "",
                                    "Reimpact",    "WrongEnergy", "ScatterSlow",
                                    "ScatterFast", "",            "",        "",
                                    "Decayed"};

// Room in a nearby list of n entries (see Particle_setnearby).
uint32_t nearbyroom(uint32_t n) {
  if (n == 0) return 0;
  uint32_t r = enclosingpoweroftwo(n);
  return r < 4 ? 4 : r;
}

// ---- little-endian encoding of the particle record ----
int cmpdouble(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }

}  // namespace

const char* ParticleState_name(int s) {
  if (s < -1 || s > 10) return nullptr;
  const char* name = statenames[s + 1];
  return *name ? name : nullptr;
}

int ParticleState_fromstring(const char* text) {
  if (!text) return -2;
  for (int s = -1; s <= 10; s++) {
    const char* name = ParticleState_name(s);
    if (name && equalnocase(text, name)) return s;
  }
  return -2;
}

Particle Particle_new(ParticleSpecies species) {
  Particle p;
  memset(&p, 0, sizeof p);
  p.weight = 1.0;
  p.nextdecay = 1e20;
  p.species = species;
  p.state = Active;
  p.segment = -1;
  p.beamline = nullptr;
  p.nearby = nullptr;
  return p;
}

void Particle_setseed(Particle* p, uint32_t base, uint32_t id) {
  p->id = id;
  p->seed = drnda(base, id);
  p->seq = 0;
}

void Particle_free(Particle* p) {
  free(p->nearby);
  p->nearby = nullptr;
  p->nnearby = 0;
}

void Particle_setnearby(Particle* p, Cell* const* list, uint32_t n) {
  if (n == 0) {
    Particle_free(p);
    return;
  }
  if (p->nearby && nearbyroom(p->nnearby) >= n) {
    memmove(p->nearby, list, sizeof(Cell*) * n);
  } else {
    // New storage first: `list` may be the old storage.
    Cell** fresh = (Cell**)malloc(sizeof(Cell*) * nearbyroom(n));
    memcpy(fresh, list, sizeof(Cell*) * n);
    free(p->nearby);
    p->nearby = fresh;
  }
  p->nnearby = n;
}

double Particle_expvariate(Particle* p) {
  double u = durnd(p->seed, p->seq);
  p->seq += 1;
  if (u < 0.006737946999085467) {
    uint32_t s = p->seq;
    return 5 + dexpvariate(p->seed, drnd(100000000u, p->seed, s) + s);
  }
  return -std::log(u);
}

void Particle_initdecays(Particle* p, int n) {
  double tau = ParticleSpecies_decay()[p->species].meanlife;
  if (tau == 0) {
    p->decaysleft = 0;
    return;
  }
  if (n < 0) n = 0;
  p->decaysleft = (uint32_t)n;
  p->nextdecay = p->propertime + Particle_expvariate(p) * tau / n;
}

ParticleSpecies Particle_nextdecay(Particle* p) {
  if (p->decaysleft == 0) return p->species;  // nothing left to decay
  p->decaysleft -= 1;
  if (p->decaysleft == 0) {
    p->state = Decayed;
  } else {
    // From the proper time the decay was due, not the one at which it is handled (the end of
    // a step): the copies left have been waiting since then, and drawing from a later time
    // would let every copy after the first outlive its lifetime by part of a step.
    double tau = ParticleSpecies_decay()[p->species].meanlife;
    p->nextdecay += Particle_expvariate(p) * tau / p->decaysleft;
  }
  return p->species;
}

void gendecay(int n, int i, int j, double M, const double* m, V3* p, Particle* particle) {
  const uint32_t seed = particle->seed;
  const double M2 = M * M;
  const double mi = m[i], mj = m[j], mi2 = mi * mi, mj2 = mj * mj;
  for (;;) {
    double Erem = M;
    V3 Ptot = {0, 0, 0};
    V3 diri = {0, 0, 0};
    for (int k = n - 1; k >= 0; k--) {
      if (k == j) continue;
      // A point uniform in the unit ball, by rejection from the cube.
      uint32_t s = particle->seq;
      V3 d;
      double d2;
      for (;;) {
        d = V3{dfrnd(2.0, seed, s) - 1, dfrnd(2.0, seed, s + 1) - 1, dfrnd(2.0, seed, s + 2) - 1};
        d2 = V3_normsq(d);
        if (!(d2 > 1)) break;
        s += 3;
      }
      if (k == i) {
        particle->seq = s + 3;
        diri = d / std::sqrt(d2);
        continue;
      }
      // Momentum of product k with density d³p/E over |p| < M: a uniform ball of radius mk,
      // or |p|² uniform in [mk², M²), in the proportions that join the two into one density.
      double mk = m[k], mk2 = mk * mk;
      double u = durnd(seed, s + 3);
      if (u < 2 * mk2 / (3 * M2 - mk2)) {
        particle->seq = s + 4;
        p[k] = mk * d;
      } else {
        particle->seq = s + 5;
        double x = dfrnd(M2 - mk2, seed, s + 4);
        p[k] = d * std::sqrt((x + mk2) / d2);
      }
      Erem -= std::sqrt(V3_normsq(p[k]) + mk2);
      Ptot += p[k];
    }
    if (Erem < 0) continue;
    double W2 = Erem * Erem - V3_normsq(Ptot);
    if (W2 < 0) continue;
    double W = std::sqrt(W2);
    if (W < mi + mj) continue;
    // Products i and j share the rest as a two-body decay of a system of mass W.
    double Ei = (W2 + mi2 - mj2) / (2 * W);
    double q2 = Ei * Ei - mi2;
    if (q2 < 0 || q2 > W2 - mi2) continue;
    double q = std::sqrt(q2);
    p[i] = q * diri;
    p[j] = -p[i];
    double w = 2 * q / (std::sqrt(q2 + mj2) + std::sqrt(mi2 + q2));
    V3 u = (-Ptot) / W;  // the pair moves opposite to the other products
    p[i] = V3_boost(p[i], mi, u);
    p[j] = V3_boost(p[j], mj, u);
    for (int k = 0; k < n; k++) {
      if (k == i || k == j) continue;
      double pk = V3_norm(p[k]), mk = m[k];
      w *= (pk > mk ? pk : mk) / std::sqrt(mk * mk + pk * pk);
    }
    double a = durnd(seed, particle->seq);
    particle->seq += 1;
    if (a <= w) break;
  }
  for (int k = 0; k < n; k++) p[k] *= c_light;
}

void decayparticle(Particle* p, std::vector<Particle>* newparticles, uint32_t allowedspecies,
                   int n_decays) {
  if (p->decaysleft == 0 || p->propertime < p->nextdecay) return;
  const SpeciesDecay& decay = ParticleSpecies_decay()[p->species];

  // The channel: walk from the last, subtracting ratios, until u is used up.
  double u = durnd(p->seed, p->seq);
  p->seq += 1;
  const DecayChannel* channel = nullptr;
  if (decay.channels.count > 0) {
    const DecayChannel* ch = LSet_data<DecayChannel>(decay.channels);
    int k = (int)decay.channels.count - 1;
    for (; k >= 0; k--) {
      u -= ch[k].ratio;
      if (u <= 0) break;
    }
    channel = &ch[k < 0 ? 0 : k];
  }

  int n = channel ? channel->nproducts : 0;
  if (n > 0) {
    enum { SMALL = 8 };
    double masses_small[SMALL];
    V3 momenta_small[SMALL];
    std::vector<double> masses_big;
    std::vector<V3> momenta_big;
    double* masses = masses_small;
    V3* momenta = momenta_small;
    if (n > SMALL) {
      masses_big.resize(n);
      momenta_big.resize(n);
      masses = masses_big.data();
      momenta = momenta_big.data();
    }
    for (int k = 0; k < n; k++) masses[k] = speciesmass[channel->products[k]];
    gendecay(n, 0, 1, speciesmass[p->species], masses, momenta, p);

    const double share = p->weight / p->decaysleft;
    const V3 boost = V3{p->Vx, p->Vy, p->Vz} / c_light;
    for (int k = n - 1; k >= 0; k--) {
      ParticleSpecies s = channel->products[k];
      if (!((allowedspecies >> s) & 1u) || speciesmass[s] == 0) continue;
      Particle d = *p;
      d.seed = drnda(p->seed, p->seq);
      p->seq += 1;
      d.seq = 0;
      d.nearby = nullptr;
      d.nnearby = 0;
      Particle_setnearby(&d, p->nearby, p->nnearby);
      V3 plab = V3_boost(momenta[k], speciesmass[s] * c_light, boost);
      V3 V = plab / speciesmass[s];
      d.Vx = V.x;
      d.Vy = V.y;
      d.Vz = V.z;
      d.weight = share;
      d.propertime = 0;
      d.tstart = 0;
      d.species = s;
      d.decaysleft = 0;
      Particle_initdecays(&d, n_decays);
      newparticles->push_back(d);
    }
  }

  // The parent loses one copy; the copies left keep the weight the parent had less the share.
  Particle_nextdecay(p);
  if (p->decaysleft > 0) p->weight = p->weight * p->decaysleft / (p->decaysleft + 1);
}

double Particle_ke(const Particle* p) {
  return (gamma_from_Vxyz(p->Vx, p->Vy, p->Vz) - 1) * E0[p->species];
}

int Particle_xcmp(const void* a, const void* b) {
  return cmpdouble(((const Particle*)a)->x, ((const Particle*)b)->x);
}
int Particle_ycmp(const void* a, const void* b) {
  return cmpdouble(((const Particle*)a)->y, ((const Particle*)b)->y);
}
int Particle_zcmp(const void* a, const void* b) {
  return cmpdouble(((const Particle*)a)->z, ((const Particle*)b)->z);
}
int Particle_scmp(const void* a, const void* b) {
  return cmpdouble(Particle_s((const Particle*)a), Particle_s((const Particle*)b));
}

double Particle_s(const Particle* p) {
  if (!p->beamline || p->segment < 0) return -9e99;
  return Cell_beamlines(p->beamline, p->segment, p->x, p->y, p->z);
}

void Particle_sr(const Particle* p, double* s, double* r) {
  Cell_beamlinesr(p->beamline, p->segment, p->x, p->y, p->z, s, r);
}

void Particle_sxy(const Particle* p, double* s, double* X, double* Y) {
  Cell_beamlinesxy(p->beamline, p->segment, p->x, p->y, p->z, s, X, Y);
}

int Particle_write(const Particle* p, FILE* file) {
  ByteWriter w = bytewriter_file(file);
  bw_f64(&w, p->weight);
  bw_u32(&w, p->id);
  bw_u8(&w, (uint8_t)(int8_t)p->species);
  bw_u8(&w, (uint8_t)(int8_t)p->state);
  if (p->state != Active) {
    for (double v : {p->x, p->y, p->z, p->Vx, p->Vy, p->Vz}) bw_f32(&w, (float)v);
    bw_u32(&w, (uint32_t)p->segment);
  } else {
    for (double v : {p->x, p->y, p->z, p->Vx, p->Vy, p->Vz}) bw_f64(&w, v);
    bw_u32(&w, (uint32_t)p->segment);
    bw_f64(&w, p->propertime);
    bw_f64(&w, p->tstart);
    bw_f64(&w, p->nextdecay);
    bw_u32(&w, p->decaysleft);
    bw_u32(&w, p->seed);
    bw_u32(&w, p->seq);
  }
  return w.ok ? 1 : 0;
}

int Particle_read(FILE* file, Particle* p) {
  *p = Particle_new(PiPlus);
  ByteReader r = bytereader_file(file);
  double weight;
  uint32_t id;
  uint8_t species8, state8;
  if (!br_f64(&r, &weight) || !br_u32(&r, &id) || !br_u8(&r, &species8) || !br_u8(&r, &state8))
    return 0;
  int species = (int8_t)species8;
  int state = (int8_t)state8;
  if (species < 0 || species >= NSPECIES) return 0;
  Particle q = Particle_new((ParticleSpecies)species);
  q.weight = weight;
  q.id = id;
  q.state = (ParticleState)state;
  uint32_t segment;
  if (state != Active) {
    float v[6];
    for (float& x : v) br_f32(&r, &x);
    q.x = v[0], q.y = v[1], q.z = v[2], q.Vx = v[3], q.Vy = v[4], q.Vz = v[5];
    br_u32(&r, &segment);
    q.segment = (int32_t)segment;
  } else {
    for (double* x : {&q.x, &q.y, &q.z, &q.Vx, &q.Vy, &q.Vz}) br_f64(&r, x);
    br_u32(&r, &segment);
    q.segment = (int32_t)segment;
    br_f64(&r, &q.propertime);
    br_f64(&r, &q.tstart);
    br_f64(&r, &q.nextdecay);
    br_u32(&r, &q.decaysleft);
    br_u32(&r, &q.seed);
    br_u32(&r, &q.seq);
  }
  if (!r.ok) return 0;
  *p = q;
  return 1;
}
