// Matching-scan cells ("MatchScan"): a cell that, instead of one tracked run, steps through a
// scan of its own and writes its output files. Only what the run cycle calls is declared
// here; the definitions are placeholders in shell/seams.cpp until the scan exists.
#pragma once

struct Cell;
struct Simulation;

// Advances the scan of `cell` by one point. Returns 1 when the cell's scan is done, else 0.
int MatchScan_iterate(Cell* cell, Simulation* sim);
// The energy of the present scan point, J.
double MatchScan_energy(const Cell* cell);
// Writes the cell's output for the finished run.
void MatchScan_output(Cell* cell, Simulation* sim);
