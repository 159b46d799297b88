// Blockages: solid bodies placed in the machine (absorbers, shielding blocks, target domes,
// collimators), each one of five shapes in the cell's axis frame. Inside the body a particle
// is absorbed after a random path drawn from the absorption length; a material named by the
// cell's "ScatterData" is applied by the ordinary transport to every step that starts inside.
// Owns nothing beyond the Blockage record in the cell's run-time data. CDblockage and
// inblockage run for every nearby particle at every step on every tracking thread and only
// read the record.
#pragma once

#include <cstdint>

#include "base/vec.h"
#include "lattice/cell.h"

enum BlockageShape : int32_t {
  BlockageNone = 0,      // contains nothing
  BlockageCuboid = 1,    // 0 ≤ u1 ≤ a, 0 ≤ u2 ≤ b, 0 ≤ u3 ≤ c (the frame origin is a corner)
  BlockageCylinder = 2,  // (u1/a)² + (u2/b)² ≤ 1, 0 ≤ u3 ≤ c
  BlockageSpheroid = 3,  // (u1/a)² + (u2/b)² + (u3/c)² ≤ 1
  BlockageAnnulus = 4,   // (d/m)² ≤ (u1/a)² + (u2/b)² ≤ 1, 0 ≤ u3 ≤ c, m = max(a, b)
  BlockageToroid = 5,    // tube of radial half-width d, half-height c round major radii a, b
};

// u = Mᵀ(x − origin) are the local coordinates of the cell's axis frame.
struct Blockage {
  int32_t shape;      // BlockageShape
  double a, b, c;     // m, sizes along the frame's first, second and third axes
  double d;           // m, inner radius (annulus) or tube half-width (toroid)
  double abslength;   // m, mean free path for absorption; -1: no absorption, no step cuts
  AffineFrame frame;  // the cell's axis frame
};
constexpr uint32_t BLOCKAGE_DATASIZE = sizeof(Blockage);
static_assert(BLOCKAGE_DATASIZE == 144, "the blockage record keeps its saved size");

// Builds the record from the cell's attributes. A type name with a '-' first sets the text
// attribute "Type" to the word before it ("Cylinder-blockage" gives "Cylinder"). Sizes:
// cuboid "Xsize", "Ysize", "Zsize" (all 2·"radius" when it is set; "Length" when c is 0);
// cylinder a, b = "Xsize", "Ysize" or "radius", c = "Zsize" or "Length"; spheroid "Xsize",
// "Ysize", "Zsize" or all "radius"; annulus a = b = "radius" or "OuterRadius", d =
// "InnerRadius", c = "Zsize" or "Length"; toroid a = b = "radius" or "MajorRadius", d =
// "MinorRadius", c = "Zsize" or d. Absorption length "AbsorptionLength" (0 when not a number),
// -1 when absent. A "Type" naming no shape gives a body that contains nothing, silently; sizes
// that are zero or negative (an annulus inner radius may be 0), an annulus whose inner radius
// reaches its outer one or a torus whose tube reaches its major radius give no shape and
// "[WARNING] Blockage '%s' has no valid %s shape (sizes %g, %g, %g, %g m); it contains nothing".
void conblockage(Cell* cell, Simulation* sim);

// True when the global point lies inside the body (surfaces included).
int inblockage(const void* data, double x, double y, double z, double t);

// The collision contract of the stepping (see CellCollisionFn). With a negative absorption
// length (or no shape) nothing happens: 0 with *out = *end, *tout = t1. Otherwise the step is
// cut at the first crossing of one of the body's surfaces (within its finite extent), and when
// the midpoint of the (cut) step lies inside, an absorption path −ln(u)·length is drawn from the
// particle's own stream (u = durnd at the sequence number of the particle at the cut end); a
// path shorter than the cut step stops the particle there (state Stopped, pushed with the
// step's material from the start). Whenever a draw was made the answer is an event (1), at the
// end of the step when nothing else happened, carrying the particle with its stream advanced:
// a step that leaves the particle as it was would otherwise hand the next step the same draw.
int CDblockage(const void* data, const Particle* start, const Particle* end, double t0,
               double t1, unsigned thread, const ScatterData* material, const Simulation* sim,
               Particle* out, double* tout);

// Extends the cell's box by the eight corners of the shape's local box placed in the frame
// (cuboid [0,a]×[0,b]×[0,c]; cylinder and annulus [−a,a]×[−b,b]×[0,c]; spheroid
// [−a,a]×[−b,b]×[−c,c]; toroid [−(a+d),a+d]×[−(b+d),b+d]×[−c,c]). A body with no shape leaves
// the box empty, so it is never near a particle.
void BBblockage(void* data, Cell* cell);
