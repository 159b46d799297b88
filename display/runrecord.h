// The record of one run that the designer's plots are drawn from: how much beam weight
// crosses each slice of the machine (all particles, muons, pions), the rms transverse size of
// what crosses it, the weight each component lost, and the particles at the finish. Sampled
// from the beam between time steps; the crossings are estimated from the particles' positions
// and longitudinal velocities (weight × v_s × sampling interval / slice length summed over the
// samples), which converges to the true crossing count as the interval shrinks and is exact
// for a particle that spends a whole number of intervals in every slice. Owns its arrays.
// Main thread, between steps; costs two curvilinear look-ups per live particle per sample.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Simulation;

struct RunRecordPart {  // one child of the machine
  std::string name, type;
  double s = 0, length = 0;  // m
  double radius = 0;         // m, the bore (or the component's own radius); 0 when unknown
  double lost = 0;           // weight lost in it during the run
};

struct RunRecordPoint {  // one particle at the finish
  float x, xp, y, yp;    // m and rad, in the frame at the end of the machine
  float t;               // s, the crossing time (particles past the finish) or the end time
  float ke;              // MeV
  int8_t species;
};

enum RunRecordFlux { FluxAll = 0, FluxMuons = 1, FluxPions = 2, NFLUX = 3 };

struct RunRecord {
  std::string lattice;
  double length = 0;         // m, the machine's length
  double binwidth = 0;       // m
  double initialweight = 0;  // the beam's weight when recording began
  double interval = 0;       // s of simulated time between samples
  double lastsample = 0;     // s, simulated time of the last sample
  int64_t samples = 0;
  std::vector<double> flux[NFLUX];    // per slice: weight crossing it
  std::vector<double> wxx, wyy, wsw;  // per slice: sums of |flux|·X², |flux|·Y², |flux|
  std::vector<RunRecordPart> parts;
  std::vector<RunRecordPoint> final;
  bool finalpastfinish = false;  // the points are particles stopped by a finishing aperture
  double score = 0;
  double endtime = 0;  // s
};

// Starts recording a built simulation: the layout of its machine (a composite; anything else
// gives an empty layout), `bins` slices along it and a sample every `everysteps` time steps.
void RunRecord_begin(RunRecord* r, const Simulation* sim, int bins, int everysteps);
// Takes a sample when at least the interval has passed since the last one (call after each
// time step; cheap when it does not sample).
void RunRecord_sample(RunRecord* r, const Simulation* sim);
// Ends the record: loss counters of the components, the particles at the finish (at most
// `maxpoints`, an even stride through the beam) and the score.
void RunRecord_finish(RunRecord* r, const Simulation* sim, double score, int maxpoints);

// The rms of X (axis 0) or Y (axis 1) of the weight crossing slice i; 0 when none crossed.
double RunRecord_rms(const RunRecord& r, int axis, int i);
