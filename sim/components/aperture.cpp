// Aperture construction, collision detection, the commit of a crossing to the output files and
// moment sums, bounding box, and the moment reports. The only record data that tracking threads
// write (in the commit) are the moment sums and the per-run output flags, all through atomic
// operations; output files are separate per thread, and the header goes into the merged file
// once, created exclusively.
#include "sim/components/aperture.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>

#include "base/files.h"
#include "base/kinematics.h"
#include "base/platform.h"
#include "base/text.h"
#include "lattice/cellclass.h"
#include "base/report.h"
#include "sim/components/crossing.h"
#include "sim/particle.h"
#include "sim/simulation.h"
#include "sim/species.h"

const char* const APERTURE_CSVHEADER = "x,y(m),t(s),Vx,Vy,Vz(gamma m/s),species,wt";

namespace {

constexpr double EV_PER_JOULE = 6.241509744511525e18;
constexpr double PLATE = 1.0;  // m, width of the plate around the opening

// A number attribute truncated to a state; NaN or a value no int holds gives -2, the value of
// a state name that matches nothing.
int32_t actionattrib(const Cell* cell, const char* name) {
  double v = Cell_attrib(cell, name, 0);
  if (!(v > -2147483649.0 && v < 2147483648.0)) return -2;
  return (int32_t)v;
}

bool isclass(const Cell* cell, const char* cls) {
  return strnullcmpi(cell->type_name, cls) == 0;
}

char* copytext(const std::string& s) {
  char* t = static_cast<char*>(std::malloc(s.size() + 1));
  if (!t) std::abort();
  std::memcpy(t, s.c_str(), s.size() + 1);
  return t;
}

// The output file named by the cell, with '\' turned into '/'; empty for none.
std::string outputname(const Cell* cell) {
  const char* text = Cell_stringattrib(cell, "outputfile");
  std::string name = text ? text : "";
  for (char& ch : name)
    if (ch == '\\') ch = '/';
  return name;
}

// "yyyy-MMM-dd" and "HH-mm-ss" of the present local time.
std::string stampedname(const char* cellname) {
  static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  PlatformTime lt = platform_localtime(platform_walltime());
  const char* month = months[lt.month >= 1 && lt.month <= 12 ? lt.month - 1 : 0];
  char date[32], time[32];
  snprintf(date, sizeof date, "%04d-%s-%02d", lt.year, month, lt.day);
  snprintf(time, sizeof time, "%02d-%02d-%02d", lt.hour, lt.minute, lt.second);
  std::string name = "output_";
  name += cellname ? cellname : "";
  name += "_";
  name += date;
  name += "_";
  name += time;
  name += ".csv";
  return name;
}

inline void atomicadd(double* target, double v) {
  std::atomic_ref<double>(*target).fetch_add(v, std::memory_order_relaxed);
}

// One line for the crossing particle in this thread's file (the header first when the output
// file does not exist yet). Any file that cannot be opened is skipped; a thread whose own file
// cannot be opened remembers it and skips every later particle at once.
void writeoutput(Aperture* a, unsigned thread, int threads, double x, double y, double t, V3 V,
                 const char* species, double w) {
  const uint64_t bit = thread < 64 ? (uint64_t)1 << thread : 0;
  std::atomic_ref<uint64_t> failed(a->outputfailed);
  if (bit && (failed.load(std::memory_order_relaxed) & bit)) return;

  std::atomic_ref<int32_t> headerdone(a->headerdone);
  if (!headerdone.load(std::memory_order_acquire)) {
    // The header opens the output file itself (into which the thread files are merged after
    // the run), so it appears once at the top whichever thread gets there first; exclusive
    // creation lets only one of them write it.
    if (!fileexists(a->outputfile)) {
      FILE* h = std::fopen(a->outputfile, "wx");
      if (h) {
        std::fprintf(h, "%s\n", APERTURE_CSVHEADER);
        std::fclose(h);
      }
    }
    if (fileexists(a->outputfile)) headerdone.store(1, std::memory_order_release);
  }

  char name[4096];
  Aperture_threadfilename(a->outputfile, thread, threads, name, sizeof name);
  FILE* f = std::fopen(name, "a");
  if (!f) {
    if (bit) failed.fetch_or(bit, std::memory_order_relaxed);
    return;
  }
  std::fprintf(f, "%.12lg,%.12lg,%.12lg,%.12lg,%.12lg,%.12lg,%s,%lg\n", x, y, t, V.x, V.y, V.z,
               species, w);
  std::fclose(f);
}

}  // namespace

void conaperture(Cell* cell, Simulation* /*sim*/) {
  Aperture a{};
  a.hitaction = Active;
  a.wrongeaction = WrongEnergy;
  a.missaction = Stopped;

  if (const char* s = Cell_stringattrib(cell, "hit")) a.hitaction = ParticleState_fromstring(s);
  if (const char* s = Cell_stringattrib(cell, "wronge"))
    a.wrongeaction = ParticleState_fromstring(s);
  if (const char* s = Cell_stringattrib(cell, "miss")) a.missaction = ParticleState_fromstring(s);
  if (Cell_attribtype(cell, "action") == AttributeType::Number)
    a.hitaction = actionattrib(cell, "action");
  if (Cell_attribtype(cell, "altaction") == AttributeType::Number)
    a.wrongeaction = actionattrib(cell, "altaction");
  if (isclass(cell, "finish-aperture")) a.hitaction = Finished;
  if (Cell_attribbool(cell, "stopping", 0) || isclass(cell, "match-aperture"))
    a.hitaction = Stopped;

  a.minenergy = Cell_attrib(cell, "minenergy", 0);
  a.maxenergy = Cell_attrib(cell, "maxenergy", 0);

  a.momentson = isclass(cell, "moments-aperture");
  if (a.momentson) ApertureMoments_zero(&a.moments);
  else a.moments.w = -1;

  std::string output = outputname(cell);
  if (output.empty() && !Cell_stringattrib(cell, "outputfile") && isclass(cell, "output-aperture")) {
    output = stampedname(cell->name);
    // Kept with the cell, so that a run restored from its auto-save writes the same file.
    Cell_setstringattrib(cell, "outputfile", output.c_str());
  }
  a.outputfile = output.empty() ? nullptr : copytext(output);

  if (isclass(cell, "rectangular-aperture")) {
    a.shape = ApertureRectangular;
    a.p1 = Cell_attrib(cell, "x1", 0);
    a.p2 = Cell_attrib(cell, "y1", 0);
    a.p3 = Cell_attrib(cell, "x2", 0);
    a.p4 = Cell_attrib(cell, "y2", 0);
  } else if (isclass(cell, "edge-aperture")) {
    a.shape = ApertureEdge;
    a.p1 = Cell_attrib(cell, "distance", 0);
    a.p2 = Cell_attrib(cell, "normalx", 0);
    a.p3 = Cell_attrib(cell, "normaly", 0);
  } else {
    a.shape = ApertureCircular;
    a.p1 = Cell_attrib(cell, "centrex", 0);
    a.p2 = Cell_attrib(cell, "centrey", 0);
    a.p3 = Cell_attrib(cell, "radius", 1.0);
  }
  a.frame = cell->axis;

  std::memcpy(cell->rtd, &a, sizeof a);
}

namespace {

// Where and how a step crosses the aperture plane: the crossing search (the same for the
// detection and the commit of one step, so both see the same crossing) and what the opening,
// the plate and the energy window make of it.
struct Crossing {
  Particle p;     // the particle just beyond the plane
  double tc;      // s, its time
  double x, y;    // m, the crossing point along the frame's first and second axes
  bool plate;     // it struck the plate around the opening
  double ke;      // J, kinetic energy at the crossing
  bool outside;   // outside the energy window
};

bool findcrossing(const Aperture* a, const Particle* start, const Particle* end, double t0,
                  double t1, const ScatterData* material, Crossing* c) {
  const lineariso_coeffs plane = lineariso_unaffineZ(a->frame);
  if (!scatterparticle_isocd(*start, *end, t0, t1, lineariso, &plane, material, &c->p, &c->tc))
    return false;

  const V3 d = V3{c->p.x, c->p.y, c->p.z} - a->frame.origin;
  const double x = d * M3x3_column(a->frame.M, 0), y = d * M3x3_column(a->frame.M, 1);
  c->x = x;
  c->y = y;
  c->plate = false;
  if (a->shape == ApertureRectangular) {
    const double x1 = a->p1, y1 = a->p2, x2 = a->p3, y2 = a->p4;
    c->plate = x1 - PLATE <= x && x <= x2 + PLATE && y1 - PLATE <= y && y <= y2 + PLATE &&
               (x <= x1 || x >= x2 || y <= y1 || y >= y2);
  } else if (a->shape == ApertureCircular) {
    const double dr = std::sqrt(x * x + y * y) - a->p3;
    c->plate = 0 <= dr && dr <= PLATE;
  }
  const V3 V{c->p.Vx, c->p.Vy, c->p.Vz};
  c->ke = (std::sqrt(V * V + c_sq) * inv_c - 1.0) * E0[c->p.species];
  c->outside = (a->minenergy != 0 && c->ke < a->minenergy) ||
               (a->maxenergy != 0 && c->ke > a->maxenergy);
  return true;
}

}  // namespace

int CDaperture(const void* data, const Particle* start, const Particle* end, double t0,
               double t1, unsigned /*thread*/, const ScatterData* material,
               const Simulation* /*sim*/, Particle* out, double* tout) {
  const Aperture* a = static_cast<const Aperture*>(data);
  *out = *end;
  *tout = t1;

  Crossing c;
  if (!findcrossing(a, start, end, t0, t1, material, &c)) return 0;
  if (c.plate) {
    *out = c.p;
    out->state = (ParticleState)a->missaction;
    *tout = c.tc;
    return 1;
  }

  if (!c.outside) {
    if (a->hitaction != 0) {
      *out = c.p;
      out->state = (ParticleState)a->hitaction;
      out->propertime = c.tc;
      *tout = c.tc;
    }
    return 1;
  }

  if (a->wrongeaction != 0) {
    *out = c.p;
    out->state = (ParticleState)a->wrongeaction;
    out->propertime = c.tc;
    *tout = c.tc;
  }
  if (out->state == WrongEnergy) {
    // The particle is no longer tracked; these two fields carry its energy ratios from here on.
    out->nextdecay = a->minenergy > 0 ? c.ke / a->minenergy : 0;
    out->tstart = a->maxenergy > 0 ? c.ke / a->maxenergy : 0;
  }
  return 1;
}

void Aperture_commit(void* data, const Cell* /*cell*/, const CollisionEvent* ev) {
  // Only the moment sums and the output flags change, atomically (see writeoutput).
  Aperture* a = static_cast<Aperture*>(data);
  if (!a->outputfile && !a->momentson) return;
  Crossing c;
  if (!findcrossing(a, ev->before, ev->after, ev->t0, ev->t1, ev->material, &c)) return;
  // A crossing after (or at) another component's winning event did not happen on this path.
  if (!ev->won && !(c.tc < ev->tend)) return;
  if (c.plate || c.outside) return;

  const V3 V{c.p.Vx, c.p.Vy, c.p.Vz};
  const V3 e1 = M3x3_column(a->frame.M, 0);
  const V3 e2 = M3x3_column(a->frame.M, 1);
  const V3 e3 = M3x3_column(a->frame.M, 2);
  if (a->outputfile)
    writeoutput(a, ev->thread, ev->sim ? ev->sim->threads : 1, c.x, c.y, c.tc, V3{V * e1, V * e2, V * e3},
                ParticleSpecies_name[c.p.species], c.p.weight);
  if (a->momentson)
    ApertureMoments_add(&a->moments, c.p.weight, c.x, c.y, (V * e1) * inv_c, (V * e2) * inv_c,
                        std::sqrt(V * V) * inv_c, c.ke * EV_PER_JOULE, c.tc);
}

void BBaperture(void* data, Cell* cell) {
  const Aperture* a = static_cast<const Aperture*>(data);
  auto extend = [&](double lx, double ly) {
    double x = lx, y = ly, z = 0;
    affine(a->frame, &x, &y, &z);
    Cell_bbextend(cell, x, y, z);
  };
  if (a->shape == ApertureRectangular) {
    const double x1 = a->p1, y1 = a->p2, x2 = a->p3, y2 = a->p4;
    extend(x1 - PLATE, y1 - PLATE);
    extend(x2 + PLATE, y1 - PLATE);
    extend(x1 - PLATE, y2 + PLATE);
    extend(x2 + PLATE, y2 + PLATE);
  } else if (a->shape == ApertureCircular) {
    const double R = a->p3 + PLATE;
    double th = 6.282185307179586;
    for (int k = 0; k < 16; k++, th -= std::numbers::pi / 8) extend(R * std::cos(th), R * std::sin(th));
  } else if (a->shape == ApertureEdge) {
    // An edge aperture has no plate, but with an empty box it would never be near a particle
    // and its actions, output and energy window would never act.
    const double h = std::fabs(a->p1) + PLATE;
    extend(-h, -h);
    extend(h, -h);
    extend(-h, h);
    extend(h, h);
  }
}

void Aperture_free(void* data) {
  Aperture* a = static_cast<Aperture*>(data);
  std::free(a->outputfile);
  a->outputfile = nullptr;
}

int Aperture_restore(Cell* cell, const Simulation* /*sim*/) {
  Aperture* a = reinterpret_cast<Aperture*>(cell->rtd);
  // The pointer read back belonged to the process that wrote the record.
  std::string output = outputname(cell);
  a->outputfile = output.empty() ? nullptr : copytext(output);
  a->outputfailed = 0;
  a->headerdone = 0;
  return 1;
}

void Aperture_threadfilename(const char* outputfile, unsigned thread, int threads, char* buf,
                             size_t size) {
  if (threads > 1 || thread > 0)
    snprintf(buf, size, "%s$thread$%u", outputfile, thread);
  else
    snprintf(buf, size, "%s", outputfile);
}

// ---- moments ----

void ApertureMoments_zero(ApertureMoments* m) {
  std::memset(m, 0, sizeof *m);
}

void ApertureMoments_add(ApertureMoments* m, double w, double x, double y, double bgx,
                         double bgy, double bg, double E, double t) {
  const double a[4] = {x, y, bgx, bgy};
  atomicadd(&m->w, w);
  atomicadd(&m->wx, w * x);
  atomicadd(&m->wy, w * y);
  atomicadd(&m->wbgx, w * bgx);
  atomicadd(&m->wbgy, w * bgy);
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) atomicadd(&m->waa[i][j], w * a[i] * a[j]);
  atomicadd(&m->wbg, w * bg);
  atomicadd(&m->wE, w * E);
  atomicadd(&m->wt, w * t);
  atomicadd(&m->wEE, w * E * E);
  atomicadd(&m->wEt, w * E * t);
  atomicadd(&m->wtt, w * t * t);
}

namespace {

double det4(const double c[4][4]) {
  double m[4][4];
  std::memcpy(m, c, sizeof m);
  double det = 1;
  for (int k = 0; k < 4; k++) {
    int p = k;
    for (int i = k + 1; i < 4; i++)
      if (std::fabs(m[i][k]) > std::fabs(m[p][k])) p = i;
    if (m[p][k] == 0) return 0;
    if (p != k) {
      for (int j = 0; j < 4; j++) std::swap(m[k][j], m[p][j]);
      det = -det;
    }
    det *= m[k][k];
    for (int i = k + 1; i < 4; i++) {
      const double f = m[i][k] / m[k][k];
      for (int j = k; j < 4; j++) m[i][j] -= f * m[k][j];
    }
  }
  return det;
}

double rootpos(double v) {
  return v > 0 ? std::sqrt(v) : 0.0;
}

}  // namespace

ApertureStats ApertureMoments_stats(const ApertureMoments* m) {
  const double nan = std::nan("");
  ApertureStats s;
  s.w = m->w;
  if (!(m->w > 0)) {
    for (int i = 0; i < 4; i++) s.mean[i] = s.sigma[i] = nan;
    s.emitx = s.emity = s.emit4d = s.bg = nan;
    s.betax = s.alphax = s.betay = s.alphay = nan;
    s.meanE = s.sigmaE = s.meant = s.sigmat = s.emitlong = nan;
    return s;
  }
  const double W = m->w;
  const double sums[4] = {m->wx, m->wy, m->wbgx, m->wbgy};
  double c[4][4];
  for (int i = 0; i < 4; i++) s.mean[i] = sums[i] / W;
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) c[i][j] = m->waa[i][j] / W - s.mean[i] * s.mean[j];
  for (int i = 0; i < 4; i++) s.sigma[i] = rootpos(c[i][i]);
  s.emitx = rootpos(c[0][0] * c[2][2] - c[0][2] * c[0][2]);
  s.emity = rootpos(c[1][1] * c[3][3] - c[1][3] * c[1][3]);
  s.emit4d = std::sqrt(rootpos(det4(c)));
  s.bg = m->wbg / W;
  s.betax = s.emitx > 0 ? c[0][0] * s.bg / s.emitx : nan;
  s.alphax = s.emitx > 0 ? -c[0][2] / s.emitx : nan;
  s.betay = s.emity > 0 ? c[1][1] * s.bg / s.emity : nan;
  s.alphay = s.emity > 0 ? -c[1][3] / s.emity : nan;
  s.meanE = m->wE / W;
  s.meant = m->wt / W;
  const double cEE = m->wEE / W - s.meanE * s.meanE;
  const double ctt = m->wtt / W - s.meant * s.meant;
  const double cEt = m->wEt / W - s.meanE * s.meant;
  s.sigmaE = rootpos(cEE);
  s.sigmat = rootpos(ctt);
  s.emitlong = rootpos(cEE * ctt - cEt * cEt);
  return s;
}

namespace {

// The moments apertures of the machine (itself, or its children in order).
template <class F>
int foreachmoments(const Cell* machine, F f) {
  if (!machine) return 0;
  int n = 0;
  auto visit = [&](const Cell* c) {
    if (c->t != Component) return;
    const CellClass* row = Cell_getclass(c);
    if (!row || row->constructor != conaperture) return;
    const Aperture* a = reinterpret_cast<const Aperture*>(c->rtd);
    if (!a->momentson) return;
    f(c, a);
    n++;
  };
  if (machine->t == Composite)
    for (int i = 0; i < machine->n; i++) visit(machine->children[i]);
  else
    visit(machine);
  return n;
}

// Path length (m) of the aperture plane: the cell's entrance plus its offset along the beam.
double planes(const Cell* c) {
  const V3 d = c->axis.origin - c->entrance.origin;
  return c->s + d * M3x3_column(c->entrance.M, 2);
}

void tabvalue(FILE* f, double v) {
  if (std::isfinite(v)) std::fprintf(f, "\t%.10lg", v);
  else std::fputs("\t", f);
}

}  // namespace

int ApertureMoments_writesums(const Cell* machine, FILE* f) {
  std::fputs("name\ts(m)\tw\twx\twy\twbgx\twbgy", f);
  static const char* const a[4] = {"x", "y", "bgx", "bgy"};
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) std::fprintf(f, "\tw%s%s", a[i], a[j]);
  std::fputs("\twbg\twE(eV)\twt(s)\twEE\twEt\twtt\n", f);
  return foreachmoments(machine, [&](const Cell* c, const Aperture* ap) {
    const ApertureMoments& m = ap->moments;
    std::fprintf(f, "%s", c->name ? c->name : "");
    tabvalue(f, planes(c));
    for (double v : {m.w, m.wx, m.wy, m.wbgx, m.wbgy}) tabvalue(f, v);
    for (int i = 0; i < 4; i++)
      for (int j = 0; j < 4; j++) tabvalue(f, m.waa[i][j]);
    for (double v : {m.wbg, m.wE, m.wt, m.wEE, m.wEt, m.wtt}) tabvalue(f, v);
    std::fputs("\n", f);
  });
}

int ApertureMoments_writereport(const Cell* machine, FILE* f) {
  std::fputs(
      "name\ts(m)\tweight\tmean x(m)\tmean y(m)\tmean bgx\tmean bgy\tsigma x(m)\tsigma y(m)"
      "\tsigma bgx\tsigma bgy\temit x(m)\temit y(m)\temit 4d(m)\tbg\tbeta x(m)\talpha x"
      "\tbeta y(m)\talpha y\tmean E(eV)\tsigma E(eV)\tmean t(s)\tsigma t(s)\temit long(eV s)\n",
      f);
  return foreachmoments(machine, [&](const Cell* c, const Aperture* ap) {
    const ApertureStats s = ApertureMoments_stats(&ap->moments);
    std::fprintf(f, "%s", c->name ? c->name : "");
    tabvalue(f, planes(c));
    tabvalue(f, s.w);
    for (double v : s.mean) tabvalue(f, v);
    for (double v : s.sigma) tabvalue(f, v);
    for (double v : {s.emitx, s.emity, s.emit4d, s.bg, s.betax, s.alphax, s.betay, s.alphay,
                     s.meanE, s.sigmaE, s.meant, s.sigmat, s.emitlong})
      tabvalue(f, v);
    std::fputs("\n", f);
  });
}

int ApertureMoments_savereport(const Cell* machine, const char* name) {
  FILE* f = std::fopen(name, "w");
  if (!f) {
    reportf("Could not write the moment report %s", name);
    return -1;
  }
  int n = ApertureMoments_writereport(machine, f);
  std::fputs("\n", f);
  ApertureMoments_writesums(machine, f);
  if (std::fclose(f) != 0) {
    reportf("Could not write the moment report %s", name);
    return -1;
  }
  return n;
}
