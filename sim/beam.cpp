// The Beam: growth, compaction, sorting, normalisation and the binary and CSV forms (see
// beam.h). Beam_addparticle and Beam_sortdeadparticles run for every new particle and after
// every step; the rest runs once per run.
#include "sim/beam.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/bytes.h"

namespace {

// Room for n (at least one) records, 64-byte aligned so each record is two whole cache lines.
Particle* allocparticles(int64_t n) {
  if (n < 1) n = 1;
  return (Particle*)std::aligned_alloc(64, (size_t)n * sizeof(Particle));
}

void regrow(Beam* beam, int64_t newcapacity) {
  Particle* fresh = allocparticles(newcapacity);
  if (beam->M > 0) memcpy(fresh, beam->particles, sizeof(Particle) * (size_t)beam->M);
  free(beam->particles);
  beam->particles = fresh;
  beam->capacity = (int32_t)newcapacity;
}

// The 16 hex digits of a double's IEEE-754 bits, most significant byte first.
void hexdouble(double d, char out[17]) {
  uint64_t v;
  memcpy(&v, &d, 8);
  for (int i = 0; i < 8; i++) snprintf(out + 2 * i, 3, "%02X", (unsigned)((v >> (56 - 8 * i)) & 0xFF));
}

}  // namespace

Beam Beam_new() {
  Beam beam;
  beam.particles = allocparticles(1);
  beam.m = beam.M = beam.capacity = 0;
  return beam;
}

void Beam_free(Beam* beam) {
  for (int32_t i = 0; i < beam->M; i++) Particle_free(&beam->particles[i]);
  free(beam->particles);
  beam->particles = nullptr;
  beam->m = beam->M = beam->capacity = 0;
}

Particle* Beam_addparticle(Beam* beam, ParticleSpecies species, const Particle* p) {
  // Copy first: p may point into the array that is about to move.
  Particle rec = p ? *p : Particle_new(species);
  if (beam->M + 1 > beam->capacity) {
    int32_t more = (3 * beam->M) / 10;
    regrow(beam, (int64_t)beam->capacity + (more > 10 ? more : 10));
  }
  Particle* a = beam->particles;
  if (beam->M != beam->m) a[beam->M] = a[beam->m];
  int32_t at = beam->m;
  beam->m++;
  beam->M++;
  a[at] = rec;
  return &a[at];
}

void Beam_extendalloc(Beam* beam, int32_t k) {
  int64_t capacity = (int64_t)beam->capacity + k;
  regrow(beam, capacity < beam->M ? beam->M : capacity);
}

void Beam_sortdeadparticles(Beam* beam) {
  Particle* a = beam->particles;
  int32_t i = 0, j = beam->m - 1;
  for (;;) {
    while (i <= j && a[i].state == Active) i++;
    while (j >= i && a[j].state != Active) {
      if (a[j].state == Decayed) {
        // A decayed record passed over from the back also leaves the beam: the last record
        // takes its slot, which is then looked at again.
        Particle_free(&a[j]);
        beam->M--;
        if (j != beam->M) {
          a[j] = a[beam->M];
          continue;
        }
      }
      j--;
    }
    if (i > j) break;
    // a[i] is not Active, a[j] is.
    if (a[i].state == Decayed) {
      Particle_free(&a[i]);
      a[i] = a[j];
      beam->M--;
      if (j != beam->M) a[j] = a[beam->M];
    } else {
      Particle t = a[i];
      a[i] = a[j];
      a[j] = t;
    }
    i++;
    j--;
  }
  beam->m = i;
}

void Beam_sort(Beam* beam, int (*cmp)(const void*, const void*)) {
  if (beam->m > 1) qsort(beam->particles, (size_t)beam->m, sizeof(Particle), cmp);
}

int Beam_normalisewt(Beam* beam) {
  double sum = 0;
  for (int32_t i = 0; i < beam->M; i++) sum += beam->particles[i].weight;
  if (sum == 0) return 0;
  for (int32_t i = 0; i < beam->M; i++) beam->particles[i].weight /= sum;
  return 1;
}

int Beam_normalisecharge(Beam* beam, double Q) {
  double sum = 0;
  for (int32_t i = 0; i < beam->M; i++)
    sum += charge[beam->particles[i].species] * beam->particles[i].weight;
  if (sum == 0) return 0;
  double f = Q / sum;
  for (int32_t i = 0; i < beam->M; i++) beam->particles[i].weight *= f;
  return 1;
}

double Beam_mintstart(const Beam* beam) {
  double t = 1e20;
  for (int32_t i = 0; i < beam->m; i++)
    if (beam->particles[i].tstart < t) t = beam->particles[i].tstart;
  return t;
}

void Beam_setbeamline(Beam* beam, Cell* cell) {
  for (int32_t i = 0; i < beam->M; i++) beam->particles[i].beamline = cell;
}

int Beam_write(const Beam* beam, FILE* file) {
  ByteWriter w = bytewriter_file(file);
  bw_i32(&w, beam->m);
  bw_i32(&w, beam->M);
  bool ok = w.ok;
  for (int32_t i = 0; i < beam->M && ok; i++)
    if (!Particle_write(&beam->particles[i], file)) ok = false;
  return ok ? 1 : 0;
}

int Beam_read(FILE* file, Beam* beam) {
  *beam = Beam_new();
  ByteReader r = bytereader_file(file);
  int32_t m, M;
  if (!br_i32(&r, &m) || !br_i32(&r, &M)) return 0;
  if (m < 0 || M < 0 || m > M) return 0;
  // Records are gathered as they are read, so memory follows the data actually present.
  std::vector<Particle> read;
  read.reserve(M < 4096 ? (size_t)M : 4096);
  for (int32_t i = 0; i < M; i++) {
    Particle p;
    if (!Particle_read(file, &p)) return 0;
    read.push_back(p);
  }
  int64_t capacity = (((int64_t)M + 6000) / 5000) * 5000;
  if (capacity > INT32_MAX) capacity = M;
  regrow(beam, capacity);
  if (M > 0) memcpy(beam->particles, read.data(), sizeof(Particle) * (size_t)M);
  beam->m = m;
  beam->M = M;
  return 1;
}

int Beam_savecsv(const Beam* beam, const char* name, int style, int flags, double t) {
  FILE* f = fopen(name, "w");
  if (!f) return 0;
  const bool statecol = (flags & (CSV_ALL | CSV_FINISHED | CSV_UNRELEASED)) != 0;
  const bool hex = (flags & CSV_HEX) != 0;
  if (flags & CSV_ID) fputs("id,", f);
  fputs(statecol ? "particle,state, weight, x,y,z (metres), Vx,Vy,Vz (gamma m/s)"
                 : "particle, weight, x,y,z (metres), Vx,Vy,Vz (gamma m/s)",
        f);
  if (flags & CSV_PROPERTIME) fputs(", proper time (s)", f);
  if (flags & CSV_SEED) fputs(", seed,seq", f);
  fputs("\n", f);
  for (int32_t k = 0; k < beam->M; k++) {
    const Particle& p = beam->particles[k];
    bool write;
    if (p.state == Active)
      write = !(flags & CSV_NOACTIVE) || (flags & CSV_ALL);
    else if (p.state == Finished)
      write = (flags & (CSV_FINISHED | CSV_ALL)) != 0;
    else
      write = (flags & CSV_ALL) != 0;
    if (!write) continue;
    if (flags & CSV_ID) fprintf(f, "%u,", p.id);
    if (style == PIDMars || style == PIDPdg || style == PIDIcool)
      fprintf(f, "%d", speciespid(p.species, style));
    else
      fputs(ParticleSpecies_name[p.species], f);
    // The separator after the particle column belongs to the state column, so that a row
    // without one has as many fields as its header.
    if (statecol) {
      fputs(",", f);
      const char* state = ParticleState_name(p.state);
      if ((flags & CSV_UNRELEASED) && p.tstart > t)
        fputs("Unreleased", f);
      else if (state)
        fputs(state, f);
      else
        fprintf(f, "%d", (int)p.state);
    }
    if (hex) {
      char h[7][17];
      hexdouble(p.weight, h[0]);
      hexdouble(p.x, h[1]);
      hexdouble(p.y, h[2]);
      hexdouble(p.z, h[3]);
      hexdouble(p.Vx, h[4]);
      hexdouble(p.Vy, h[5]);
      hexdouble(p.Vz, h[6]);
      fprintf(f, ", %s, %s,%s,%s, %s,%s,%s", h[0], h[1], h[2], h[3], h[4], h[5], h[6]);
    } else {
      fprintf(f, ", %.9lg, %.9lg,%.9lg,%.9lg, %.9lg,%.9lg,%.9lg", p.weight, p.x, p.y, p.z, p.Vx,
              p.Vy, p.Vz);
    }
    if (flags & CSV_PROPERTIME) fprintf(f, ", %.9lg", p.propertime);
    if (flags & CSV_SEED) fprintf(f, ", %u,%u", p.seed, p.seq);
    fputs("\n", f);
  }
  bool ok = !ferror(f);
  if (fclose(f) != 0) ok = false;
  return ok ? 1 : 0;
}
