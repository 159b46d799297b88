// Particle sources: the secondaries that leave a production target, read from particle files
// under datafiles/ and released into the simulation. A "rodsource" cell places a file's
// particles round a rod on the global z axis and keeps the rod as an obstacle (a particle that
// flies back into it ends as Reimpact); a "marssource" cell reads a file in the MARS text
// layout and places it with the cell's frame, then leaves the machine. Both can release each
// record several times, turned at random about the axis ("axial") and spread at random in time
// ("timespread"), with the weight shared among the copies. Construction runs on the main
// thread; inrodsource and CDrodsource run for every nearby particle at every step on every
// tracking thread and only read the record.
#pragma once

#include <cstdint>

#include "base/vec.h"
#include "lattice/cell.h"

// The run-time record of a "rodsource" cell.
struct Rodsource {
  double radius;    // m, 0.01
  double length;    // m, 0.2
  double z;         // m, the rod centre on the global z axis ("z")
  double angle;     // rad, tilt of the rod axis in the x–z plane ("rodangle")
  double cosangle;  // cos and sin of the angle (rodsource_lookups)
  double sinangle;
};
constexpr uint32_t RODSOURCE_DATASIZE = sizeof(Rodsource);
static_assert(RODSOURCE_DATASIZE == 48, "the rod-source record keeps its saved size");
constexpr uint32_t MARSSOURCE_DATASIZE = 0;  // the cell leaves the machine

constexpr double ROD_RADIUS = 0.01;  // m
constexpr double ROD_LENGTH = 0.2;   // m
// Largest "axial" or "timespread" count; larger values are cut to it with
// "[WARNING] %s: %s %d cut to 10000" (the file name, the attribute, the value).
constexpr int32_t SOURCE_MAXCOPIES = 10000;

// Recomputes cosangle and sinangle from angle.
void rodsource_lookups(Rodsource* rod);

// 1 when `name` names a file inside its directory: not empty, not absolute (no leading / or \,
// no drive or stream colon) and with no ".." element. Lattice files come from the network, so
// the data files they name must stay under datafiles/.
int datafilename_ok(const char* name);

// Loads the rod-source file `path` and adds its particles to `sim` in global coordinates
// (see conrodsource for the attributes). The file is a header line, then one record per line:
// after a header starting with "k", "KE(MeV),weight,x,y,z(m),dx,dy,dz,t(s)"; after any other
// header "KE(MeV),weight,dx,dy,dz,x,y,z(cm)". Positions and directions are in the rod's frame
// (z along the rod from its upstream end); the direction is normalised. Lines without all their
// numbers finite (text, blank lines, short lines), records with a negative kinetic energy, a
// zero direction or a negative weight are skipped, with one
// "[WARNING] %d unusable lines skipped in %s". Only the first (usable records)/divisor records
// are used, each released max(timespread,1)·max(axial,1) times with weight/copies: axial turns
// each copy about the rod axis by a uniform angle (stream (seed, index), index counting up),
// timespread releases it at 5 ns + a Gaussian of σ 1 ns (its own stream, never sharing an index
// with the angles); otherwise at the file's time + 5 ns ("k" layout) or 0. Particles are
// numbered after the largest number already in the simulation, copy k of record i (both from
// 1) at P·i − 1 + k with P the least power of ten ≥ copies, so no two particles share a random
// stream. Returns 1; 0 when the file cannot be opened ("CSV read of %s failed, generating
// error box"); -1 when the numbers would pass 2³² − 1 ("[FATAL] %s: %d records in %d copies
// need particle numbers beyond 4294967295") or `species` is not a species number ("[FATAL]
// %s: no particle species %d"), and -1 without a message when the user ends the program
// (simstop 2) while the file is read or its particles added.
int loadbeam_rodsource(const Rodsource* rod, const char* path, int32_t timespread, int32_t axial,
                       int species, Simulation* sim, uint32_t index);
// Loads the MARS file `path`: a header line, then "event pid KE(GeV) weight x y z(cm) dx dy dz
// t(s)" per line in the frame `frame`. The species comes from the MARS number: an unknown
// number is reported once per number ("[WARNING] Unrecognised MARS PID %d") and its records
// skipped, as are (silently) records of species the simulation does not allow. Unusable lines
// as for the rod source. Release time: the file's time, plus sigma × a Gaussian when
// timespread > 0. Copies, numbering and return values as loadbeam_rodsource ("CSV read of '%s'
// failed, generating error box").
int loadbeam_marssource(AffineFrame frame, const char* path, int32_t timespread, double sigma,
                        int32_t axial, Simulation* sim, uint32_t index);

// The "rodsource" constructor: "z" and "rodangle" (numbers, default 0) into the record; without
// a simulation that is all. Otherwise the file is datafiles/ + "file" with its extension made
// "csv", the species "species" (pi+ when absent), the stream index base the cell's position
// among the machine's children × 7654321 (unsigned), "axial" and "timespread" rounded.
// Refusals ("[FATAL]"): "Rod source '%s' lacks a 'file' attribute", "%s: data file name '%s'
// must be a relative path inside datafiles/" (with "rodsource"), "Rod source '%s': unknown
// particle species '%s'", "ERROR: Failed to load pion data from file '%s'".
void conrodsource(Cell* cell, Simulation* sim);
// The "marssource" constructor: without a simulation the cell only leaves the machine.
// Otherwise datafiles/ + "file", index base position × 1234567, "axial", "timespread"
// rounded, "sigma" (s), placed with the cell's frame; then the cell leaves the machine.
// Refusals: "[FATAL] MARSsource component lacking 'file' attribute", the file-name message
// (with "MARSsource"), "[FATAL] ERROR: Failed to load particle data from file '%s'".
void conmarssource(Cell* cell, Simulation* sim);

// Inside the rod's detection body: within 0.99·radius² of the axis and 0.495·length of the
// centre along it.
int inrodsource(const void* data, double x, double y, double z, double t);
// The collision contract: the first crossing in the step of the detection body's side or end
// faces ends the particle there as Reimpact. A particle that starts on the rod's surface is not
// caught (the detection body lies just inside it).
int CDrodsource(const void* data, const Particle* start, const Particle* end, double t0,
                double t1, unsigned thread, const ScatterData* material, const Simulation* sim,
                Particle* out, double* tout);
// The box of half-width hypot(length/2, radius) round the rod centre.
void BBrodsource(void* data, Cell* cell);
