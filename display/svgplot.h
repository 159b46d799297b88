// SVG charts written by Ordax itself, for the designer's HTML report: a frame with round-number
// ticks and grid lines, axis labels, a legend, and series drawn as lines, steps or points,
// plus shaded spans behind the data (the machine's components along s). Pure functions of
// their inputs; the text is self-contained SVG 1.1 that any browser shows without scripts.
#pragma once

#include <string>
#include <vector>

struct PlotSeries {
  enum Style { Line, Steps, Points };
  std::string label;   // in the legend; empty: not listed
  std::string colour;  // CSS colour
  Style style = Line;
  std::vector<double> x, y;  // same length; non-finite pairs are skipped
  double width = 1.5;        // line width, or point radius
  bool dashed = false;
};

struct PlotSpan {  // a shaded stretch of x, full height, behind the data
  double x0, x1;
  std::string colour;
  std::string title;  // tooltip
};

struct Plot {
  std::string title, xlabel, ylabel;
  std::vector<PlotSeries> series;
  std::vector<PlotSpan> spans;
  bool yfromzero = false;  // the y range includes 0
  bool xfromzero = false;
  int width = 640, height = 360;
  bool legendright = false;  // the legend in a column right of the frame instead of over it
  std::string id = "plot";  // unique within the page (names the clipping path)
};

// Round ticks for the data range [lo, hi]: the smallest step of 1, 2 or 5 × 10^k that cuts
// [lo, hi] into at most `most` intervals, and the range widened outwards to whole steps (an empty range is widened by
// 10 % of its value, or by 1 around 0).
struct Axis {
  double lo, hi;             // the range, widened to whole steps
  std::vector<double> ticks;
  double step;
};
Axis niceaxis(double lo, double hi, int most);
// A tick value as text: no trailing zeros, no "-0", exponent form outside 1e-3 … 1e6.
std::string ticklabel(double v, double step);
// Escapes & < > " for XML text and attributes.
std::string xmlescape(const std::string& s);

// The chart as an <svg> element.
std::string svg_plot(const Plot& p);
