// The proximity grid: a grid over a composite machine's bounding box whose cells list the
// children whose boxes overlap them, and the particles' nearby lists taken from it (the
// components whose fields and collisions a particle feels). Owns the CellSubMap record and its
// two arrays (freed by CellSubMap_free); the machine cell owns its grid. Built once per
// machine on the main thread; CellSubMap_nearby runs for every particle from every tracking
// thread on refresh steps.
#pragma once

#include <cstddef>
#include <cstdint>

struct Beam;
struct Cell;
struct Particle;

// A grid over the machine's bounding box; each grid cell lists (as child indices, so that a
// copy of the tree can share the layout) the children whose boxes overlap it, from the last
// child to the first.
struct CellSubMap {
  int32_t nx, ny, nz;
  double x0, y0, z0;     // m, the machine box's minimum corner when the grid was made
  double dx, dy, dz;     // m, the machine box's extents
  uint32_t* start;       // nx·ny·nz + 1 offsets into items, owned
  int32_t* items;        // child indices, owned
  uint32_t nitems;
};
// Builds the grid of composite `machine` with `resolution` grid cells along its largest extent
// (clamped to 1 … 500), logging "Building proximity grid %dx%dx%d (%d cells)... Done". None for
// anything but a composite. Free with CellSubMap_free.
CellSubMap* CellSubMap_make(Cell* machine, int resolution);
// The same, or none (nothing logged, nothing made) when the grid would hold more than
// `maxentries` grid cells and child entries together.
CellSubMap* CellSubMap_makebounded(Cell* machine, int resolution, size_t maxentries);
// The most grid cells and entries the grid of a machine read back from a file may hold: a
// damaged record must not make the program allocate gigabytes. Every bundled machine's grid
// holds under 130,000 (at most 125,000 cells at the resolution of 50 the program uses).
constexpr size_t CELLSUBMAP_READENTRIES = (size_t)1 << 22;
CellSubMap* CellSubMap_copy(const CellSubMap* grid);
void CellSubMap_free(CellSubMap* grid);
// After child `index` left the machine: drops it from every grid cell's list and lowers the
// indices above it by one. Nothing for a none grid.
void CellSubMap_removechild(CellSubMap* grid, int index);
// Installs make (from the simulation's grid setting, or the default record's when there is no
// simulation), copy and free as the cell tree's grid operations (Cell_setsubmapops), once.
void CellSubMap_install();

// The nearby components of a particle at (x, y, z) in composite `machine` (with its grid):
// every child listed in the grid cell of the point whose box contains the point (boundaries
// included), in child order; written to out[0 … ] (room for the grid cell's list, at most
// machine->n entries). Returns the count (0 outside the grid or without a grid).
uint32_t CellSubMap_nearby(const Cell* machine, double x, double y, double z, Cell** out);

// Whether a particle at (x, y, z) with proper velocity (Vx, Vy, Vz) can never again meet
// anything of composite `machine`: some coordinate is not a finite number, or the point lies
// outside the grid's box widened by `margin` on every side and its straight path (the path of
// a particle with an empty nearby list) misses that widened box. For finite values false
// without a grid or when the grid's box is empty (no component has a box). Cheap; meant for
// particles whose nearby list came out empty.
bool CellSubMap_outofreach(const Cell* machine, double x, double y, double z, double Vx,
                           double Vy, double Vz, double margin);

// Recomputes the particle's nearby list from its beam line's grid (the list storage is reused).
// Without a beam line: "[WARNING] bl is NULL in Particle_nearbythings", particle unchanged.
void Particle_nearbythings(Particle* p);
// The same for the particles [first, end), which share first's beam line; without one
// "[WARNING] bl is NULL in Particle_seg_nearbythings" and nothing changes.
void Particle_seg_nearbythings(Particle* first, Particle* end);
// Every particle of the beam (all M), run by run of the same beam line.
void Beam_nearbythings(Beam* beam);
