// The OpenGL window of graphics mode (-w) and of the screensaver (-scr, full screen): the
// machine's components drawn as simple 3D shapes (tubes, discs) in their placement frames, the
// live particles as points coloured by species (muons red, pions green, electrons blue,
// protons magenta, others grey), and the report panel, notice and status line as an overlay in
// a built-in bitmap font. A mouse drag orbits the camera, the wheel and the arrow keys zoom and
// orbit; the other keys are the terminal view's: q or Escape end, space pauses, x and y choose
// the transverse axis shown upwards, + and - zoom along s (following the beam). In the
// screensaver any key, or the mouse moved more than a tenth of the screen's width from the
// centre, ends the program. The window becomes the display's surface (display/terminal.h), so
// reports, questions and the key queue work as on the terminal.
// Built only when GLFW was found at build time; without it (or without a display server)
// window_open returns false and the caller falls back to the terminal. Main thread only; owns
// the window, its GL context and the scene it draws (a copy taken once per frame).
#pragma once

#include <string>

struct Simulation;
struct SideViewState;

struct WindowOptions {
  int width = 0, height = 0;  // pixels; 0: 1024 × 768 (window) or the screen's mode
  bool fullscreen = false;
  bool screensaver = false;  // any key or mouse motion ends the program
  // When set, every drawn frame that shows particles is also written there as a binary PPM
  // (at most one every half second; written whole, then renamed into place).
  std::string shotfile;
};

// Whether the program was built with the window.
bool window_built();
// Opens the window and makes it the display's surface. False when it was not built or no
// window could be made (no display server); nothing is reported then.
bool window_open(const WindowOptions& options);
bool window_active();
// Draws a frame of the run at most 10 times a second: the machine (rebuilt when the machine
// changes), the live particles and the overlay. With `moving` false (a held run) a frame is
// drawn only when something on screen changed. `view` holds the shared view keys' state.
void window_frame(const Simulation& sim, const SideViewState& view, bool moving);
// Forgets the machine and particles of the run that ended (the next frame takes new ones).
void window_clearscene();

// The screensaver's end by the mouse: whether (x, y) is more than a tenth of the width
// away from the centre of a width × height screen.
bool screensaver_moved(double x, double y, int width, int height);
