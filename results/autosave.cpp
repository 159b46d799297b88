// The auto-save file and file signatures (see results/autosave.h for the layout).
#include "results/autosave.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/bytes.h"
#include "base/files.h"
#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"
#include "language/genome.h"
#include "lattice/cell.h"
#include "lattice/cellclass.h"
#include "lattice/frames.h"
#include "results/queue.h"
#include "sim/material.h"
#include "sim/simulation.h"

namespace {

// ---- signatures ----

unsigned signaturelength(SignatureFunction signature) {
  unsigned k = 0;
  std::free(signature(nullptr, 0, &k));
  return k;
}

// Whether data[0 … n) ends with the signature of what comes before it; *body receives the
// length of what the signature covers.
bool signedbytes(const std::vector<unsigned char>& data, SignatureFunction signature,
                 size_t* body) {
  unsigned k = signaturelength(signature);
  if (data.empty() || data.size() < k || data.size() - k > 0xffffffffu) return false;
  size_t n = data.size() - k;
  unsigned len = 0;
  unsigned char* s = signature(data.data(), (unsigned)n, &len);
  bool ok = s && len == k && std::memcmp(s, data.data() + n, k) == 0;
  std::free(s);
  *body = n;
  return ok;
}

// ---- the simulation's parameters and clock ----
// Field by field, in a layout fixed here: the record's pointers (machine, beam, bore table) are
// not written, since they are rebuilt from what follows.

void writesimulation(ByteWriter* w, const Simulation* sim) {
  bw_u32(w, sim->seedbase);
  bw_u32(w, sim->seedpitch);
  bw_u32(w, sim->seed);
  bw_i32(w, sim->divisor);
  bw_i32(w, sim->n_decays);
  bw_i32(w, sim->refreshsteps);
  bw_i32(w, sim->gridresolution);
  bw_f64(w, sim->t);
  bw_f64(w, sim->t0);
  bw_f64(w, sim->t_max);
  bw_f64(w, sim->dt);
  bw_f64(w, sim->Mpts);
  bw_i64(w, sim->steps);
  bw_f64(w, sim->global_bore);
  bw_f64(w, sim->totalcharge);
  bw_f64(w, sim->errrate);
  bw_f64(w, sim->twiss_interval);
  bw_u32(w, sim->allowedspecies);
  bw_u8(w, sim->decays_off ? 1 : 0);
  bw_u8(w, sim->scattering_off ? 1 : 0);
  // The special figure of merit: a flag, then the name's length and bytes.
  bw_u8(w, sim->FOM ? 1 : 0);
  if (sim->FOM) {
    size_t n = std::strlen(sim->FOM);
    bw_u32(w, (uint32_t)n);
    bw_bytes(w, sim->FOM, n);
  }
}

constexpr size_t FOM_MAX = 4096;  // longer than any figure-of-merit name

bool readsimulation(ByteReader* r, Simulation* sim) {
  uint8_t decaysoff = 0, scatteringoff = 0, hasfom = 0;
  br_u32(r, &sim->seedbase);
  br_u32(r, &sim->seedpitch);
  br_u32(r, &sim->seed);
  br_i32(r, &sim->divisor);
  br_i32(r, &sim->n_decays);
  br_i32(r, &sim->refreshsteps);
  br_i32(r, &sim->gridresolution);
  br_f64(r, &sim->t);
  br_f64(r, &sim->t0);
  br_f64(r, &sim->t_max);
  br_f64(r, &sim->dt);
  br_f64(r, &sim->Mpts);
  br_i64(r, &sim->steps);
  br_f64(r, &sim->global_bore);
  br_f64(r, &sim->totalcharge);
  br_f64(r, &sim->errrate);
  br_f64(r, &sim->twiss_interval);
  br_u32(r, &sim->allowedspecies);
  br_u8(r, &decaysoff);
  br_u8(r, &scatteringoff);
  br_u8(r, &hasfom);
  if (!r->ok || decaysoff > 1 || scatteringoff > 1 || hasfom > 1) return false;
  // A time step that Simulation_new refuses would never let the restored run end in time.
  const double horizon = std::min(1e-6, sim->t_max > 0 ? sim->t_max : 1e-6);
  if (!(sim->dt > 0) || !std::isfinite(sim->dt) ||
      horizon / sim->dt > (double)SIMULATION_MAXSTEPS)
    return false;
  sim->decays_off = decaysoff;
  sim->scattering_off = scatteringoff;
  if (hasfom) {
    uint32_t n = 0;
    std::string name;
    if (!br_u32(r, &n) || !br_text(r, n, FOM_MAX, &name)) return false;
    sim->FOM = static_cast<char*>(std::malloc(name.size() + 1));
    if (!sim->FOM) std::abort();
    std::memcpy(sim->FOM, name.c_str(), name.size() + 1);
  }
  return r->ok;
}

// ---- the beam ----
// Every record in full precision whatever its state (the scores' ramps read the positions,
// energies and the window fields of ended particles), with its beam line (the machine or none)
// and its nearby list as indices of the machine's children (−1 the machine itself), so that a
// restored step sees exactly the lists the interrupted one would have seen. A list holding a
// cell that is not found is written as −2 entries and rebuilt on reading.

constexpr int32_t NEARBY_SELF = -1;
constexpr int32_t NEARBY_REBUILD = -2;
constexpr size_t PARTICLE_SAVEDBYTES = 8 + 4 + 1 + 1 + 6 * 8 + 4 + 3 * 8 + 3 * 4 + 1 + 4;

void writebeam(ByteWriter* w, const Simulation* sim) {
  const Beam& b = sim->beam;
  const Cell* machine = sim->lattice;
  std::unordered_map<const Cell*, int32_t> index;
  if (machine && machine->t == Composite)
    for (int32_t i = 0; i < machine->n; i++) index[machine->children[i]] = i;
  bw_i32(w, b.m);
  bw_i32(w, b.M);
  for (int32_t k = 0; k < b.M && w->ok; k++) {
    const Particle& p = b.particles[k];
    bw_f64(w, p.weight);
    bw_u32(w, p.id);
    bw_u8(w, (uint8_t)(int8_t)p.species);
    bw_u8(w, (uint8_t)(int8_t)p.state);
    for (double v : {p.x, p.y, p.z, p.Vx, p.Vy, p.Vz}) bw_f64(w, v);
    bw_i32(w, p.segment);
    bw_f64(w, p.propertime);
    bw_f64(w, p.tstart);
    bw_f64(w, p.nextdecay);
    bw_u32(w, p.decaysleft);
    bw_u32(w, p.seed);
    bw_u32(w, p.seq);
    bw_u8(w, p.beamline ? 1 : 0);
    std::vector<int32_t> list;
    for (uint32_t i = 0; i < p.nnearby; i++) {
      const Cell* c = p.nearby[i];
      auto it = index.find(c);
      if (c == machine) list.push_back(NEARBY_SELF);
      else if (it != index.end()) list.push_back(it->second);
      else {
        list.assign(1, NEARBY_REBUILD);
        break;
      }
    }
    bw_i32(w, (int32_t)list.size());
    for (int32_t v : list) bw_i32(w, v);
  }
}

// Reads the beam for `machine`; the memory taken is bounded by the bytes left in the data.
bool readbeam(ByteReader* r, size_t left, Cell* machine, Beam* out) {
  int32_t m = 0, M = 0;
  if (!br_i32(r, &m) || !br_i32(r, &M) || m < 0 || M < 0 || m > M) return false;
  left = left >= 8 ? left - 8 : 0;
  if ((size_t)M > left / PARTICLE_SAVEDBYTES) return false;
  int32_t children = machine && machine->t == Composite ? machine->n : 0;
  std::vector<Particle> read;
  read.reserve((size_t)M);
  std::vector<Cell*> list;
  bool ok = true;
  for (int32_t k = 0; k < M && ok; k++) {
    uint8_t species = 0, state = 0, hasline = 0;
    Particle p{};
    br_f64(r, &p.weight);
    br_u32(r, &p.id);
    br_u8(r, &species);
    br_u8(r, &state);
    for (double* v : {&p.x, &p.y, &p.z, &p.Vx, &p.Vy, &p.Vz}) br_f64(r, v);
    br_i32(r, &p.segment);
    br_f64(r, &p.propertime);
    br_f64(r, &p.tstart);
    br_f64(r, &p.nextdecay);
    br_u32(r, &p.decaysleft);
    br_u32(r, &p.seed);
    br_u32(r, &p.seq);
    br_u8(r, &hasline);
    int32_t n = 0;
    br_i32(r, &n);
    int s = (int8_t)species;
    if (!r->ok || s < 0 || s >= NSPECIES || hasline > 1 || n < 0 || n > children + 1) {
      ok = false;
      break;
    }
    p.species = (ParticleSpecies)s;
    p.state = (ParticleState)(int8_t)state;
    p.beamline = hasline ? machine : nullptr;
    list.clear();
    bool rebuild = false;
    for (int32_t i = 0; i < n && ok; i++) {
      int32_t v = 0;
      ok = br_i32(r, &v) && v >= NEARBY_REBUILD && v < children;
      if (!ok) break;
      if (v == NEARBY_REBUILD) rebuild = true;
      else list.push_back(v == NEARBY_SELF ? machine : machine->children[v]);
    }
    if (!ok) break;
    if (rebuild && p.beamline) {
      Particle_nearbythings(&p);
    } else if (!list.empty()) {
      Particle_setnearby(&p, list.data(), (uint32_t)list.size());
    }
    read.push_back(p);
  }
  if (!ok) {
    for (Particle& p : read) Particle_free(&p);
    return false;
  }
  Beam b = Beam_new();
  Beam_extendalloc(&b, (int32_t)((((int64_t)M + 6000) / 5000) * 5000));
  if (M > 0) std::memcpy(b.particles, read.data(), sizeof(Particle) * (size_t)M);
  b.m = m;
  b.M = M;
  *out = b;
  return true;
}

// What the machine's cell record does not hold and the set-up made: every component's axis
// frame (from its entrance frame and offsets) and its material data.
void rebindmachine(Cell* c, bool counts) {
  if (!c) return;
  if (c->t == Composite) {
    for (int32_t i = 0; i < c->n; i++) rebindmachine(c->children[i], counts);
    return;
  }
  c->axis = Cell_offsetframe(c, c->entrance);
  if (c->t != Component) return;
  const char* material = Cell_stringattrib(c, "ScatterData");
  c->scatter = material ? loadelms2cached(material, counts) : nullptr;
}

void freetemporaries(Simulation* sim, Genome* genome, QuarantineInfo* q) {
  Simulation_free(sim);
  if (genome->count != -1) Genome_free(*genome);
  *genome = Genome_none();
  QuarantineInfo_free(q);
}

}  // namespace

int signfile(const char* filename, SignatureFunction signature) {
  if (!filename || !signature) return 0;
  std::vector<unsigned char> data = filedata(filename);
  if (data.empty() || data.size() > 0xffffffffu) return 0;
  unsigned len = 0;
  unsigned char* s = signature(data.data(), (unsigned)data.size(), &len);
  if (!s) return 0;
  FILE* f = std::fopen(filename, "ab");
  bool ok = f && std::fwrite(s, 1, len, f) == len;
  std::free(s);
  if (f) {
    ok = platform_syncfile(f) && ok;
    ok = std::fclose(f) == 0 && ok;
  }
  return ok ? 1 : 0;
}

int verifyfile(const char* filename, SignatureFunction signature) {
  if (!filename || !signature) return 0;
  size_t body = 0;
  return signedbytes(filedata(filename), signature, &body) ? 1 : 0;
}

int saveall(const char* filename, const char* version, const Simulation* sim, const LSet*,
            const Genome& genome, const QuarantineInfo* q, SignatureFunction signature) {
  std::string temp = std::string(filename) + ".new";
  bool ok = sim != nullptr;
  FILE* f = ok ? std::fopen(temp.c_str(), "wb") : nullptr;
  if (f) {
    ByteWriter w = bytewriter_file(f);
    bw_bytes(&w, version, std::strlen(version));
    bw_u8(&w, '\n');
    writesimulation(&w, sim);
    QuarantineInfo inactive;
    ok = QuarantineInfo_write(q ? q : &inactive, f) == 1;
    Genome_write(&genome, f);
    Cell_write(sim->lattice, f);
    writebeam(&w, sim);
    ok = ok && w.ok && !std::ferror(f);
    if (!signature) ok = platform_syncfile(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (ok && signature) ok = signfile(temp.c_str(), signature) == 1;
    if (ok) ok = platform_rename(temp.c_str(), filename);
  } else {
    ok = false;
  }
  if (!ok) {
    platform_remove(temp.c_str());
    reportf("Could not write the auto-save file '%s'; the previous one is kept", filename);
    return 0;
  }
  return 1;
}

int loadall(const char* filename, const char* version, Simulation* sim, LSet*, Genome* genome,
            QuarantineInfo* q, SignatureFunction signature) {
  std::vector<unsigned char> data = filedata(filename);
  if (data.empty()) return 0;
  size_t body = data.size();
  if (signature && !signedbytes(data, signature, &body)) return 0;
  if (body == 0) return 0;
  reportupdate("Found auto-save file: loading...");

  // The version line: at most 99 characters before its line feed.
  size_t eol = 0;
  while (eol < body && eol < 99 && data[eol] != '\n') eol++;
  std::string line(data.begin(), data.begin() + (ptrdiff_t)eol);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!equalnocase(line, version ? version : "")) {
    platform_remove(filename);
    return 0;
  }
  if (eol >= body || data[eol] != '\n') return 0;
  size_t start = eol + 1;
  if (start >= body) return 0;

  FILE* f = platform_memfile(data.data() + start, body - start);
  if (!f) return 0;
  ByteReader r = bytereader_file(f);
  Simulation s{};
  Simulation_copyoptions(&s, &Simulation_default);
  Genome g = Genome_none();
  QuarantineInfo tq;
  if (q) {
    tq.queuefile = q->queuefile;
    tq.needed = q->needed;
  }
  bool ok = readsimulation(&r, &s);
  ok = ok && QuarantineInfo_read(&tq, f) == 1;
  if (ok) {
    g = Genome_new();
    ok = Genome_read(&g, f) == 1;
  }
  if (ok) {
    s.lattice = Cell_read(f, &s);
    ok = s.lattice != nullptr;
  }
  if (ok) {
    rebindmachine(s.lattice, s.materialcounts);
    long pos = std::ftell(f);
    size_t left = pos < 0 ? 0 : body - start - (size_t)pos;
    ByteReader rb = bytereader_file(f);
    ok = readbeam(&rb, left, s.lattice, &s.beam);
    // The signed data must end exactly where the beam does.
    ok = ok && std::fgetc(f) == EOF && std::ftell(f) == (long)(body - start);
  }
  std::fclose(f);
  if (!ok) {
    freetemporaries(&s, &g, &tq);
    return 0;
  }
  // Field maps that components share are process-wide data the record does not carry.
  Cell_loadfieldmaps(s.lattice);
  Simulation_free(sim);
  *sim = s;
  if (genome->count != -1) Genome_free(*genome);
  *genome = g;
  if (q) {
    QuarantineInfo_free(q);
    q->scores = tq.scores;
    q->count = tq.count;
    q->calc = tq.calc;
    q->active = tq.active;
  } else {
    QuarantineInfo_free(&tq);
  }
  return 1;
}

int autosave(const AutosaveOptions& o, double* lastsave, const Simulation* sim,
             const LSet* results, const Genome& genome, const QuarantineInfo* q,
             SignatureFunction signature, int force) {
  if (!(o.interval > 0)) {
    platform_remove(o.file);
    return 0;
  }
  double now = o.clock ? o.clock() : 0;
  if (!force && now - *lastsave < o.interval) return 0;
  report("Auto-saving...");
  int saved = saveall(o.file, o.version, sim, results, genome, q, signature);
  *lastsave = o.clock ? o.clock() : now;
  report("Done");
  return saved;
}

int autoload(const AutosaveOptions& o, double* lastsave, Simulation* sim, LSet* results,
             Genome* genome, QuarantineInfo* q, SignatureFunction signature) {
  if (!(o.interval > 0)) {
    platform_remove(o.file);
    return 0;
  }
  report("Searching for auto-saved file...");
  if (!loadall(o.file, o.version, sim, results, genome, q, signature)) {
    report("No file present");
    return 0;
  }
  reportf("Restored simulation at %.1fns", sim->t * 1e9);
  if (o.clock) *lastsave = o.clock();
  return 1;
}
