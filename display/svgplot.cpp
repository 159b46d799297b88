// SVG charts (see svgplot.h).
#include "display/svgplot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

struct Frame {
  double left = 64, right = 16, top = 28, bottom = 44;  // margins, px
  double w, h;
  Axis ax, ay;
  double px(double x) const { return left + (x - ax.lo) / (ax.hi - ax.lo) * (w - left - right); }
  double py(double y) const { return h - bottom - (y - ay.lo) / (ay.hi - ay.lo) * (h - top - bottom); }
};

std::string num(double v) {
  char b[32];
  snprintf(b, sizeof b, "%.1f", v);
  return b;
}

void extent(const Plot& p, bool xaxis, double* lo, double* hi) {
  *lo = 1e300;
  *hi = -1e300;
  for (const PlotSeries& s : p.series) {
    for (size_t i = 0; i < s.x.size() && i < s.y.size(); i++) {
      if (!std::isfinite(s.x[i]) || !std::isfinite(s.y[i])) continue;
      double v = xaxis ? s.x[i] : s.y[i];
      *lo = std::min(*lo, v);
      *hi = std::max(*hi, v);
    }
  }
  if (xaxis)
    for (const PlotSpan& sp : p.spans) {
      *lo = std::min(*lo, sp.x0);
      *hi = std::max(*hi, sp.x1);
    }
  if (*lo > *hi) *lo = 0, *hi = 1;
  if ((xaxis ? p.xfromzero : p.yfromzero)) {
    *lo = std::min(*lo, 0.0);
    *hi = std::max(*hi, 0.0);
  }
}

}  // namespace

Axis niceaxis(double lo, double hi, int most) {
  if (!(lo <= hi)) lo = 0, hi = 1;
  if (hi - lo < 1e-300 * std::max(1.0, std::fabs(lo)) || hi == lo) {
    double d = lo == 0 ? 1 : std::fabs(lo) * 0.1;
    lo -= d;
    hi += d;
  }
  if (most < 2) most = 2;
  double raw = (hi - lo) / most;
  double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * mag;
    if (step >= raw * (1 - 1e-12)) break;
  }
  Axis a;
  a.step = step;
  a.lo = std::floor(lo / step + 1e-9) * step;
  a.hi = std::ceil(hi / step - 1e-9) * step;
  for (double k = std::round(a.lo / step); k <= std::round(a.hi / step) + 0.5; k++) {
    double v = k * step;
    if (std::fabs(v) < step * 1e-9) v = 0;
    a.ticks.push_back(v);
  }
  return a;
}

std::string ticklabel(double v, double step) {
  char b[40];
  double a = std::fabs(v);
  if (v == 0) return "0";
  if (a >= 1e6 || a < 1e-3) {
    snprintf(b, sizeof b, "%.3g", v);
    return b;
  }
  int decimals = step >= 1 ? 0 : (int)std::ceil(-std::log10(step) - 1e-9);
  snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string xmlescape(const std::string& s) {
  std::string r;
  for (char c : s) {
    switch (c) {
      case '&': r += "&amp;"; break;
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '"': r += "&quot;"; break;
      default: r += c;
    }
  }
  return r;
}

std::string svg_plot(const Plot& p) {
  Frame f;
  if (p.legendright) f.right = 170;
  f.w = p.width;
  f.h = p.height;
  double xlo, xhi, ylo, yhi;
  extent(p, true, &xlo, &xhi);
  extent(p, false, &ylo, &yhi);
  f.ax = niceaxis(xlo, xhi, std::max(2, p.width / 90));
  f.ay = niceaxis(ylo, yhi, std::max(2, p.height / 60));

  std::string s;
  s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(p.width) +
       "\" height=\"" + std::to_string(p.height) + "\" viewBox=\"0 0 " + std::to_string(p.width) +
       " " + std::to_string(p.height) + "\" font-family=\"sans-serif\" font-size=\"11\">\n";
  s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += "<text x=\"" + num(p.width / 2.0) + "\" y=\"17\" text-anchor=\"middle\" font-size=\"13\" font-weight=\"bold\">" +
       xmlescape(p.title) + "</text>\n";
  // Clip the data to the plotting area.
  std::string clip = "clip-" + p.id;
  double x0 = f.left, x1 = f.w - f.right, y0 = f.top, y1 = f.h - f.bottom;
  s += "<clipPath id=\"" + clip + "\"><rect x=\"" + num(x0) + "\" y=\"" + num(y0) + "\" width=\"" +
       num(x1 - x0) + "\" height=\"" + num(y1 - y0) + "\"/></clipPath>\n";
  for (const PlotSpan& sp : p.spans) {
    double a = std::max(x0, f.px(sp.x0)), b = std::min(x1, f.px(sp.x1));
    if (b <= a) continue;
    s += "<rect x=\"" + num(a) + "\" y=\"" + num(y0) + "\" width=\"" + num(b - a) + "\" height=\"" +
         num(y1 - y0) + "\" fill=\"" + sp.colour + "\"><title>" + xmlescape(sp.title) + "</title></rect>\n";
  }
  // Grid and ticks.
  s += "<g stroke=\"#ddd\" stroke-width=\"1\">\n";
  for (double t : f.ax.ticks) s += "<line x1=\"" + num(f.px(t)) + "\" y1=\"" + num(y0) + "\" x2=\"" + num(f.px(t)) + "\" y2=\"" + num(y1) + "\"/>\n";
  for (double t : f.ay.ticks) s += "<line x1=\"" + num(x0) + "\" y1=\"" + num(f.py(t)) + "\" x2=\"" + num(x1) + "\" y2=\"" + num(f.py(t)) + "\"/>\n";
  s += "</g>\n<g fill=\"#333\">\n";
  for (double t : f.ax.ticks)
    s += "<text x=\"" + num(f.px(t)) + "\" y=\"" + num(y1 + 14) + "\" text-anchor=\"middle\">" + ticklabel(t, f.ax.step) + "</text>\n";
  for (double t : f.ay.ticks)
    s += "<text x=\"" + num(x0 - 5) + "\" y=\"" + num(f.py(t) + 4) + "\" text-anchor=\"end\">" + ticklabel(t, f.ay.step) + "</text>\n";
  s += "<text x=\"" + num((x0 + x1) / 2) + "\" y=\"" + num(f.h - 8) + "\" text-anchor=\"middle\">" + xmlescape(p.xlabel) + "</text>\n";
  s += "<text transform=\"translate(14," + num((y0 + y1) / 2) + ") rotate(-90)\" text-anchor=\"middle\">" + xmlescape(p.ylabel) + "</text>\n";
  s += "</g>\n";
  // Data.
  s += "<g clip-path=\"url(#" + clip + ")\">\n";
  for (const PlotSeries& ser : p.series) {
    size_t n = std::min(ser.x.size(), ser.y.size());
    if (ser.style == PlotSeries::Points) {
      s += "<g fill=\"" + ser.colour + "\" fill-opacity=\"0.6\">";
      for (size_t i = 0; i < n; i++) {
        if (!std::isfinite(ser.x[i]) || !std::isfinite(ser.y[i])) continue;
        s += "<circle cx=\"" + num(f.px(ser.x[i])) + "\" cy=\"" + num(f.py(ser.y[i])) + "\" r=\"" + num(ser.width) + "\"/>";
      }
      s += "</g>\n";
      continue;
    }
    std::string d;
    bool pen = false;
    for (size_t i = 0; i < n; i++) {
      if (!std::isfinite(ser.x[i]) || !std::isfinite(ser.y[i])) {
        pen = false;
        continue;
      }
      double X = f.px(ser.x[i]), Y = f.py(ser.y[i]);
      if (!pen) d += "M" + num(X) + " " + num(Y);
      else if (ser.style == PlotSeries::Steps) d += "H" + num(X) + "V" + num(Y);
      else d += "L" + num(X) + " " + num(Y);
      pen = true;
    }
    if (d.empty()) continue;
    s += "<path d=\"" + d + "\" fill=\"none\" stroke=\"" + ser.colour + "\" stroke-width=\"" + num(ser.width) + "\"" +
         (ser.dashed ? " stroke-dasharray=\"5 3\"" : "") + "/>\n";
  }
  s += "</g>\n";
  s += "<rect x=\"" + num(x0) + "\" y=\"" + num(y0) + "\" width=\"" + num(x1 - x0) + "\" height=\"" + num(y1 - y0) +
       "\" fill=\"none\" stroke=\"#666\"/>\n";
  // Legend: top right, one row per labelled series, on a pale box so that data stays legible.
  int rows = 0;
  for (const PlotSeries& ser : p.series) rows += !ser.label.empty();
  double legendx = p.legendright ? x1 + 166 : x1;
  if (rows > 0)
    s += "<rect x=\"" + num(legendx - 156) + "\" y=\"" + num(y0 + 2) + "\" width=\"152\" height=\"" +
         num(14.0 * rows + 6) + "\" fill=\"white\" fill-opacity=\"0.85\" stroke=\"#ccc\"/>\n";
  int row = 0;
  for (const PlotSeries& ser : p.series) {
    if (ser.label.empty()) continue;
    double ly = y0 + 12 + 14 * row++;
    double lx = legendx - 150;
    if (ser.style == PlotSeries::Points)
      s += "<circle cx=\"" + num(lx + 8) + "\" cy=\"" + num(ly - 4) + "\" r=\"3\" fill=\"" + ser.colour + "\"/>";
    else
      s += "<line x1=\"" + num(lx) + "\" y1=\"" + num(ly - 4) + "\" x2=\"" + num(lx + 16) + "\" y2=\"" + num(ly - 4) +
           "\" stroke=\"" + ser.colour + "\" stroke-width=\"2\"" + (ser.dashed ? " stroke-dasharray=\"5 3\"" : "") + "/>";
    s += "<text x=\"" + num(lx + 22) + "\" y=\"" + num(ly) + "\">" + xmlescape(ser.label) + "</text>\n";
  }
  s += "</svg>\n";
  return s;
}
