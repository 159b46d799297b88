// The terminal's side view of the machine and its beam: the bore of every component along s
// (upper and lower edge) and the live particles, drawn with Unicode braille so that each
// character cell holds 2 × 4 dots, each cell coloured by the species with most particles in
// it (muons red, pions green, electrons blue, protons magenta; the machine grey). The transverse axis is x
// or y; the s axis shows the whole machine or, zoomed in, a window that follows the beam.
// Pure: the caller passes the simulation and gets rows of text with colour escapes.
// Run once per displayed frame on the main thread; one pass over the live particles.
#pragma once

#include <string>
#include <vector>

struct Simulation;

struct SideViewState {
  int axis = 0;       // 0: x against s, 1: y against s
  int zoom = 1;       // the s window is the machine's length / zoom (1 … 64)
  bool paused = false;
};

// Acts on a view key: 'x'/'y' choose the transverse axis, '+'/'-' zoom along s, space pauses.
// Returns whether the key was one of these.
bool sideview_key(SideViewState* v, int key);

// `rows` rows of exactly `cols` character cells (each ends with the colour reset).
std::vector<std::string> sideview_rows(const Simulation& sim, const SideViewState& v, int cols,
                                       int rows);
