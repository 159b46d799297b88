// Apertures: thin planes across the beam line that decide the fate of every particle crossing
// them (through the opening: the hit action; on the 1 m plate around it: the miss action;
// outside the energy window: the wrong-energy action), optionally writing each crossing to a
// CSV file (one file per tracking thread) and summing weighted beam moments, plus the
// tab-separated moment reports of a finished run. Owns the Aperture record in every
// "-aperture" cell's run-time data and its output-file name (freed by Aperture_free).
// CDaperture runs once per particle per step for each nearby aperture, on every tracking
// thread, and only reads the record; Aperture_commit, once per recorded crossing, adds to the
// moment sums atomically and appends to the thread's own output file.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/vec.h"
#include "lattice/cell.h"

struct CollisionEvent;

// Weighted sums over the particles that crossed an aperture inside its energy window. Here
// a = (x, y, bgx, bgy): the crossing point along the frame's first and second axes (m) and V
// along those axes divided by c; bg = |V|/c; E the kinetic energy (eV); t the crossing time.
struct ApertureMoments {
  double w;                   // total weight; -1 when the aperture keeps no moments
  double wx, wy, wbgx, wbgy;  // sums of w·a
  double waa[4][4];           // sums of w·a_i·a_j
  double wbg;                 // sum of w·bg
  double wE;                  // eV, sum of w·E
  double wt;                  // s, sum of w·t
  double wEE, wEt, wtt;       // sums of w·E², w·E·t, w·t²
};
static_assert(sizeof(ApertureMoments) == 27 * sizeof(double), "27 sums");

enum ApertureShape : int32_t {
  ApertureRectangular = 1,  // opening x1 < x < x2, y1 < y < y2
  ApertureCircular = 2,     // opening of radius p3 about the frame origin
  ApertureEdge = 3,         // no plate
};

struct Aperture {
  AffineFrame frame;       // the plane passes through the origin, normal to the third axis
  double p1, p2, p3, p4;   // rectangular: x1, y1, x2, y2 (m); circular: centre x, centre y,
                           // radius (m); edge: distance (m), normal x, normal y
  double minenergy;        // J, kinetic; 0 = no lower bound
  double maxenergy;        // J, kinetic; 0 = no upper bound
  int32_t shape;           // ApertureShape
  int32_t hitaction;       // ParticleState for the opening (0 = Active: no change)
  int32_t wrongeaction;    // ParticleState outside the energy window
  int32_t missaction;      // ParticleState on the plate
  ApertureMoments moments;
  char* outputfile;        // owned (malloc): CSV of the crossing particles, or none
  // Per-run state written by the tracking threads (atomic access only).
  uint64_t outputfailed;   // bit k: thread k could not open its output file and stops trying
  int32_t headerdone;      // 1 once the output file is known to start with its header
  int32_t momentson;       // 1 for a moments aperture (fixed at construction)
};
constexpr uint32_t APERTURE_DATASIZE = sizeof(Aperture);

// The header line and the line format of an aperture output file.
extern const char* const APERTURE_CSVHEADER;  // "x,y(m),t(s),Vx,Vy,Vz(gamma m/s),species,wt"

// Builds the record in cell->rtd from the cell's class and attributes: actions from "hit",
// "wronge", "miss" (state names; an unknown name gives -2) and "action", "altaction"
// (numbers, truncated; NaN or a value beyond the int range gives -2); class
// "finish-aperture" finishes, "match-aperture" or a nonzero "stopping" stops what passes;
// "minenergy", "maxenergy"; moments for "moments-aperture"; the output file from
// "outputfile" (a '\' becomes '/') or, for "output-aperture", "output_<name>_<yyyy-MMM-dd>_
// <HH-mm-ss>.csv", which is then also stored as the cell's "outputfile" so that a restored
// run keeps writing the same file; the shape from the class ("rectangular-aperture": "x1",
// "y1", "x2", "y2"; "edge-aperture": "distance", "normalx", "normaly"; otherwise circular
// with "centrex", "centrey", "radius", radius 1.0 when absent); the frame from the cell's axis
// frame. No messages.
void conaperture(Cell* cell, Simulation* sim);

// Whether the step from *start at t0 to *end at t1 crossed the plane (always 1 when it did,
// else 0 with *out = *end and *tout = t1). A crossing on the plate gives the particle just
// beyond the plane with the miss action; inside the energy window the hit action (when not
// 0) with its proper time set to the crossing time; outside the window the wrong-energy
// action (when not 0), and a particle that is then WrongEnergy carries KE/min energy in its
// next-decay field and KE/max energy in its tstart field (0 for a bound that is not
// positive). Reads only the record: the output line and the moment sums of a crossing are
// Aperture_commit's. Safe from every tracking thread at once.
int CDaperture(const void* data, const Particle* start, const Particle* end, double t0,
               double t1, unsigned thread, const ScatterData* material, const Simulation* sim,
               Particle* out, double* tout);
// Records a crossing that CDaperture reported, once the step's winning event is known: when
// this aperture's event won, or its crossing came strictly before the winning event (a pass
// through an opening whose hit action is 0 reports the end of the step, so an earlier event of
// another component can win while the crossing still happened), a crossing through the
// opening inside the energy window gets a line in the output file of thread `ev->thread` and
// is added to the moment sums. An output file that cannot be opened is skipped, and that
// thread does not try it again in this run. Safe from every tracking thread at once.
void Aperture_commit(void* data, const Cell* cell, const CollisionEvent* ev);

// Extends the cell's bounding box by the plate: a rectangle's four corners 1 m outside the
// opening; a circle's 16 points at radius + 1 m; for an edge aperture (which has no plate) the
// square of half-width |distance| + 1 m about the frame origin, so that it is near the
// particles that cross it.
void BBaperture(void* data, Cell* cell);

// Destructor: frees the output-file name.
void Aperture_free(void* data);
// After the record's bytes were read back (auto-save): takes the output-file name again from
// the cell's "outputfile" attribute and forgets the failures of the earlier process. Returns 1.
int Aperture_restore(Cell* cell, const Simulation* sim);

// The name thread `thread` writes: the output file itself with one tracking thread, with
// "$thread$<k>" appended when more than one may run (`threads`, the simulation's thread
// setting, above 1, or a thread above 0). The pieces are merged into the output file after
// the run.
void Aperture_threadfilename(const char* outputfile, unsigned thread, int threads, char* buf,
                             size_t size);

// ---- moments ----
// Zeroes the sums (moments on).
void ApertureMoments_zero(ApertureMoments* m);
// Adds one particle of weight w; every sum is added atomically, so that tracking threads may
// add to the same record at once.
void ApertureMoments_add(ApertureMoments* m, double w, double x, double y, double bgx,
                         double bgy, double bg, double E, double t);

// What a designer reads from the sums: means, rms sizes, normalised rms emittances, Twiss
// parameters and the longitudinal figures. A value that is not defined (no weight, or a zero
// emittance for the Twiss parameters) is NaN.
struct ApertureStats {
  double w;                               // total weight
  double mean[4];                         // x, y (m), bgx, bgy
  double sigma[4];                        // rms of the same
  double emitx, emity;                    // m, normalised rms emittances √(σ_xx σ_uu − σ_xu²)
  double emit4d;                          // m, (det of the 4×4 covariance)^(1/4)
  double bg;                              // mean |V|/c
  double betax, alphax, betay, alphay;    // m and 1: β = σ_xx·bg/ε, α = −σ_xu/ε
  double meanE, sigmaE;                   // eV
  double meant, sigmat;                   // s
  double emitlong;                        // eV·s, √(σ_EE σ_tt − σ_Et²)
};
ApertureStats ApertureMoments_stats(const ApertureMoments* m);

// The tab-separated moment reports of the machine's moments apertures (the machine itself or
// its children, in order): `ApertureMoments_writesums` one line of the 27 raw sums per
// aperture, `ApertureMoments_writereport` means, sigmas, emittances and Twiss parameters (an
// undefined value is an empty field). Each starts with its header line. Return the number of
// apertures written.
int ApertureMoments_writesums(const Cell* machine, FILE* f);
int ApertureMoments_writereport(const Cell* machine, FILE* f);
// Writes both reports into the file `name` (the report, a blank line, the raw sums),
// replacing it. Returns the number of apertures written, or -1 after reporting
// "Could not write the moment report %s" when the file cannot be written.
int ApertureMoments_savereport(const Cell* machine, const char* name);
