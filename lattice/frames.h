// Placement of cells along the reference curve: carrying a frame through a cell, the frame of
// a component's own axis from its placement attributes ("AlignMode", flips, rotations, "Xhere",
// "X" ...), curvilinear coordinates (arc length s and transverse offsets) of global points in a
// straight or bent cell and back, and random alignment errors. Owns nothing. Called by the
// simulation set-up (once per cell), the parser (alignment errors, once per machine) and the
// collision step (Cell_sr, once per particle per step).
#pragma once

#include "base/vec.h"
#include "lattice/cell.h"

// The frame at the end of the cell: a component carries `f` along fraction × its length, bend
// angle and "twist"; a composite through each child in turn (fraction not used); a
// non-machine cell leaves `f` unchanged.
AffineFrame Cell_transportframe(const Cell* c, AffineFrame f, double fraction);

// The axis frame of a component placed with entrance frame `entrance` (alignment on a bend,
// flips, rotations, offsets); for any other cell the entrance frame itself.
AffineFrame Cell_offsetframe(const Cell* c, AffineFrame entrance);

// Arc length from the cell's entrance and distance from the reference curve of the global
// point (x, y, z), measured against the cell's entrance frame. Either output may be none.
void Cell_sr(const Cell* c, double x, double y, double z, double* s, double* r);
// Arc length and signed transverse offsets (X towards the local x axis). Any output may be none.
void Cell_sxy(const Cell* c, double x, double y, double z, double* s, double* X, double* Y);
// The inverse of Cell_sxy: the global point at arc length s and offsets X, Y.
void Cell_unsxy(const Cell* c, double s, double X, double Y, double* x, double* y, double* z);

// The cell forms of the particle's curvilinear coordinates: the cell a particle occupies is
// child `segment` of a composite `beamline` (or the beam line itself when it is no composite);
// none when there is no beam line or the segment is outside the composite.
const Cell* Cell_segmentcell(const Cell* beamline, int segment);
// s from the start of the machine (the occupied cell's s plus the arc length in it) and the
// distance r from the reference curve; s is -9e99 and r is left unset when no cell is occupied.
void Cell_beamlinesr(const Cell* beamline, int segment, double x, double y, double z, double* s,
                     double* r);
// The same with signed offsets X, Y (left unset when no cell is occupied).
void Cell_beamlinesxy(const Cell* beamline, int segment, double x, double y, double z,
                      double* s, double* X, double* Y);
// s alone, in the form the particle record's position hook takes.
double Cell_beamlines(const Cell* beamline, int segment, double x, double y, double z);

// Applies random alignment errors to the tree in place: every number attribute named "Error"
// + T adds (a draw from the 15-bit generator) × its value to the attribute T, with the
// distribution of "ErrorDist" + T or "ErrorDist" (text; "Gaussian" by default, or "Uniform")
// and the cut of "ErrorCut" + T or "ErrorCut" (draws beyond it are repeated). An unknown
// distribution reports "[FATAL] Unknown error distribution type '%s'" and gives no error.
void Cell_applyerrors(Cell* c);
