// Bending magnets: one field map shared by every "bmagnet" cell of the run (four horizontal
// planes at heights 0, 5, 10 and 13 cm, each a 46 × 46 grid turned by 45° in the magnet's
// plane), interpolated and placed by each cell with its own position, turn about the vertical
// axis and field scale. The magnets are transparent to particles: field and bounding box only.
// The map is process-wide, loaded on the main thread before the machine is placed (the row's
// loadfieldmaps slot) and read-only while tracking threads call bmagnetfield.
#pragma once

#include <cstdint>

#include "base/field.h"
#include "base/vec.h"
#include "lattice/cell.h"

constexpr int BMAG_N = 46;      // grid points along each diagonal
constexpr int BMAG_PLANES = 4;  // heights 0, 5, 10, 13 cm

struct Bmagnet {
  double x0, z0;    // m, global x and z of the cell frame's origin
  double angle;     // rad, turn of the map about the vertical (y) axis
  double scale;     // field multiplier
  double reserved;  // 0
  double cosa, sina;
};
constexpr uint32_t BMAGNET_DATASIZE = sizeof(Bmagnet);
static_assert(BMAGNET_DATASIZE == 56, "the bending-magnet record keeps its saved size");

// Reads the four plane files dir + names[k] (k = 0 … 3 for y = 0, 5, 10, 13 cm) unless the map
// already holds exactly these files. Each file: eight header lines, then 46 × 46 lines (outer
// loop over j, inner over i) of six numbers "c1 c2 c3 By Bw Bu", the last three in gauss.
// A file that cannot be opened reports "[FATAL] Could not load B-field file %s"; a line that
// does not hold six finite numbers "[FATAL] Damaged B-field file %s at line %d". On failure
// the map is left unloaded. Returns 1 when the map holds the files. Main thread only.
int bmagnet_loadmap(const char* dir, const char* const names[BMAG_PLANES]);
// Whether a map is loaded.
int bmagnet_maploaded();
// Forgets the map (tests).
void bmagnet_unloadmap();

// The row's loadfieldmaps slot: the files named by the cell's "File1" … "File4" in
// "datafiles/" ('\' read as '/'). A missing name reports "[FATAL] Bending magnet '%s' lacks
// attribute 'File%d'" and loads nothing.
void loadbmagfields(Cell* cell);

// Builds the record from the cell's axis frame: angle = atan2(M[2][0], M[2][2]) + π, scale =
// "field" (1 when absent, 0 when not a number); a name beginning with "~" turns the magnet
// round (angle + π, scale negated). Reports "[FATAL] Bending magnet '%s' has no field map"
// when no map is loaded (its field is then zero), and "[WARNING] Bending magnet '%s' is not
// level: its field map's plane is taken as the global horizontal plane" when the frame's second
// axis is not the global y axis.
void conbmagnet(Cell* cell, Simulation* sim);

// The map value (b_u, b_y, b_w) in tesla at map coordinates u, y, w (m): bilinear within a
// plane, linear between planes in |y|, the 13 cm plane alone up to 15 cm, zero beyond and
// outside the grid; below the mid-plane b_u and b_w change sign. Zero when no map is loaded.
V3 bmagnetf(double u, double y, double w);

// The field at a global point: the map placed at (x0, z0) turned by the angle, times the scale.
EB bmagnetfield(const void* data, double x, double y, double z, double t);

// Extends the cell's box by the map's corners at heights ±0.15 m.
void BBbmagnet(void* data, Cell* cell);
