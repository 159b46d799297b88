// Scoring: the figure of merit of a finished run. The default figure is 100 × the weight of
// muons (mu+, mu-) that finished, with continuous ramps below 0.1 % that reward muons for
// coming close to the finishing aperture's energy window or for getting further along the
// machine; lattices may ask for the straightness or on-axis figures instead. Called once per
// run by the run cycle on the main thread after the last step; linear in the particle count
// (plus one sort of the live section).
#pragma once

#include "sim/simulation.h"

// Simulation_score (declared in sim/simulation.h) is defined here.

// The energy ramp E in [-1, 0]: weighted mean penalty of Finished and WrongEnergy muons for
// missing the energy window (-1 when they have no weight).
double Simulation_scorerampenergy(const Simulation* sim);
// The distance ramp D in [-2, -1] for particles inside the machine: -2 + the weighted mean s
// (over the machine length) of the furthest `wmax` of weight (muons only unless anySpecies),
// taken from the end of the beam after sorting the live section by s. -2 without weight or
// without machine children.
double Simulation_scorerampdistance(Simulation* sim, double wmax, bool anySpecies);
// The ramp R1 used while fewer than 0.05 % of the weight finishes as muons: the distance ramp,
// the energy ramp, or a blend of the two by the weight of WrongEnergy muons.
double Simulation_scoreramp1(Simulation* sim);

// The finishing line: the first child of the machine whose type name is "Finish-aperture"
// (the machine itself when it is such a component), or none.
const Cell* Simulation_finishline(const Simulation* sim);
