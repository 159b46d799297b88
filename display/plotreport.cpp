// The designer's HTML report (see plotreport.h).
#include "display/plotreport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/report.h"
#include "base/text.h"
#include "display/runrecord.h"
#include "display/svgplot.h"
#include "results/optimiser.h"
#include "results/results.h"
#include "sim/species.h"

namespace {

// Trial types 0 … 12, then "none" (a genome with no tag: re-checks, restored or old results).
const char* const TRIALCOLOURS[14] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                      "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f",
                                      "#393b79", "#e7ba52", "#ad494a", "#aaaaaa"};

const char* speciescolour(int s) {
  switch (s) {
    case PiPlus: case PiMinus: return "#2ca02c";
    case MuPlus: case MuMinus: return "#d62728";
    case Positron: case Electron: return "#1f77b4";
    case Proton: case AntiProton: return "#9467bd";
    default: return "#7f7f7f";
  }
}
const char* speciesgroup(int s) {
  switch (s) {
    case PiPlus: case PiMinus: return "pions";
    case MuPlus: case MuMinus: return "muons";
    case Positron: case Electron: return "electrons";
    case Proton: case AntiProton: return "protons";
    default: return "others";
  }
}

PlotSeries series(const char* label, const char* colour, PlotSeries::Style style = PlotSeries::Line) {
  PlotSeries s;
  s.label = label;
  s.colour = colour;
  s.style = style;
  return s;
}

double slicecentre(const RunRecord& r, size_t i) {
  return (i + 0.5) * r.binwidth;
}

// The machine's components as shaded spans (alternate shades so neighbours stay apart;
// drifts are left clear).
std::vector<PlotSpan> machinespans(const RunRecord& r) {
  std::vector<PlotSpan> v;
  int k = 0;
  for (const RunRecordPart& p : r.parts) {
    if (p.length <= 0 || equalnocase(p.type, "Drift")) continue;
    v.push_back({p.s, p.s + p.length, k++ % 2 ? "#eef3fb" : "#e3ecf8", p.name + " (" + p.type + ")"});
  }
  return v;
}

std::string heading(const std::string& s) {
  return "<h2>" + xmlescape(s) + "</h2>\n";
}

}  // namespace

int genometrialtype(const char* genome) {
  if (!genome) return -1;
  for (const char* p = genome; *p; p++) {
    if (*p == '#' && strnullcmpi(std::string(p, strnlen(p, 5)).c_str(), "#gen=") == 0) {
      const char* v = p + 5;
      if (*v < '0' || *v > '9') return -1;
      int t = atoi(v);
      return t >= 0 && t < NTRIALTYPES ? t : -1;
    }
  }
  return -1;
}

std::vector<ProgressPoint> progresspoints(LSet results, const std::string& lattice) {
  std::vector<ProgressPoint> v;
  for (uint32_t i = 0; i < results.count; i++) {
    const Result& r = LSet_at<Result>(results, i);
    if (!lattice.empty() && !Result_islattice(r, lattice.c_str())) continue;
    if (!std::isfinite(r.score) || r.score <= -9e199) continue;
    v.push_back({r.score, genometrialtype(r.genome)});
  }
  return v;
}

std::string plot_transmission(const RunRecord& r) {
  Plot p;
  p.id = "transmission";
  p.title = "Transmission and muon yield";
  p.xlabel = "s (m)";
  p.ylabel = "weight crossing s / initial beam weight";
  p.yfromzero = p.xfromzero = true;
  p.spans = machinespans(r);
  double w0 = r.initialweight > 0 ? r.initialweight : 1;
  PlotSeries all = series("all particles", "#333333"), mu = series("muons", "#d62728"),
             pi = series("pions", "#2ca02c");
  for (size_t i = 0; i < r.flux[FluxAll].size(); i++) {
    double s = slicecentre(r, i);
    all.x.push_back(s), all.y.push_back(r.flux[FluxAll][i] / w0);
    mu.x.push_back(s), mu.y.push_back(r.flux[FluxMuons][i] / w0);
    pi.x.push_back(s), pi.y.push_back(r.flux[FluxPions][i] / w0);
  }
  // Weight not yet lost, from the components' loss counters: a step at each component's end.
  PlotSeries kept = series("not lost (loss counters)", "#555555", PlotSeries::Steps);
  kept.dashed = true;
  double lost = 0;
  kept.x.push_back(0), kept.y.push_back(1);
  for (const RunRecordPart& part : r.parts) {
    lost += part.lost;
    kept.x.push_back(part.s + part.length), kept.y.push_back(1 - lost / w0);
  }
  p.series = {kept, all, pi, mu};
  return svg_plot(p);
}

std::string plot_envelope(const RunRecord& r) {
  Plot p;
  p.id = "envelope";
  p.title = "Beam envelope";
  p.xlabel = "s (m)";
  p.ylabel = "rms (cm)";
  p.yfromzero = p.xfromzero = true;
  p.spans = machinespans(r);
  PlotSeries x = series("rms x", "#1f77b4"), y = series("rms y", "#ff7f0e");
  y.dashed = true;
  for (size_t i = 0; i < r.wsw.size(); i++) {
    double s = slicecentre(r, i);
    double rx = r.wsw[i] > 0 ? RunRecord_rms(r, 0, (int)i) * 100 : NAN;
    double ry = r.wsw[i] > 0 ? RunRecord_rms(r, 1, (int)i) * 100 : NAN;
    x.x.push_back(s), x.y.push_back(rx);
    y.x.push_back(s), y.y.push_back(ry);
  }
  PlotSeries bore = series("bore radius", "#999999", PlotSeries::Steps);
  for (const RunRecordPart& part : r.parts) {
    if (part.length <= 0) continue;
    bore.x.push_back(part.s), bore.y.push_back(part.radius * 100);
    bore.x.push_back(part.s + part.length), bore.y.push_back(part.radius * 100);
  }
  p.series = {bore, x, y};
  return svg_plot(p);
}

namespace {
// Points of the final particles, one series per species group (muons drawn last, on top).
std::vector<PlotSeries> finalseries(const RunRecord& r, double (*fx)(const RunRecordPoint&),
                                    double (*fy)(const RunRecordPoint&)) {
  std::vector<PlotSeries> v;
  for (const char* group : {"others", "protons", "electrons", "pions", "muons"}) {
    PlotSeries s = series(group, "", PlotSeries::Points);
    s.width = 1.6;
    for (const RunRecordPoint& q : r.final) {
      if (strcmp(speciesgroup(q.species), group)) continue;
      s.colour = speciescolour(q.species);
      s.x.push_back(fx(q));
      s.y.push_back(fy(q));
    }
    if (!s.x.empty()) {
      s.label = std::string(group) + " (" + std::to_string(s.x.size()) + ")";
      v.push_back(s);
    }
  }
  return v;
}
const char* finalwhat(const RunRecord& r) {
  return r.finalpastfinish ? "particles past the finish" : "live particles at the end of the run";
}
}  // namespace

std::string plot_longitudinal(const RunRecord& r) {
  Plot p;
  p.id = "longitudinal";
  p.title = std::string("Longitudinal phase space: ") + finalwhat(r);
  p.xlabel = "t (ns)";
  p.ylabel = "kinetic energy (MeV)";
  p.series = finalseries(
      r, [](const RunRecordPoint& q) { return q.t * 1e9; }, [](const RunRecordPoint& q) { return (double)q.ke; });
  return svg_plot(p);
}

std::string plot_transverse(const RunRecord& r) {
  Plot p;
  p.id = "transverse";
  p.title = std::string("Transverse phase space: ") + finalwhat(r);
  p.xlabel = "x (cm)";
  p.ylabel = "x' (mrad)";
  p.series = finalseries(
      r, [](const RunRecordPoint& q) { return q.x * 100.0; }, [](const RunRecordPoint& q) { return q.xp * 1000.0; });
  return svg_plot(p);
}

std::string plot_progress(const std::vector<ProgressPoint>& points, const std::string& lattice,
                          const std::string& id) {
  Plot p;
  p.id = id;
  p.title = "Optimiser progress: " + (lattice.empty() ? std::string("all lattices") : lattice) + " (" +
            std::to_string(points.size()) + " results)";
  p.xlabel = "result number";
  p.ylabel = "score";
  p.xfromzero = true;
  p.width = 900;
  p.legendright = true;
  PlotSeries best = series("best so far", "#000000", PlotSeries::Steps);
  std::vector<PlotSeries> bytype(NTRIALTYPES + 1);
  double b = -1e300;
  for (size_t i = 0; i < points.size(); i++) {
    const ProgressPoint& q = points[i];
    int k = q.trialtype >= 0 && q.trialtype < NTRIALTYPES ? q.trialtype : NTRIALTYPES;
    bytype[k].x.push_back((double)(i + 1));
    bytype[k].y.push_back(q.score);
    if (q.score > b) {
      b = q.score;
      best.x.push_back((double)(i + 1)), best.y.push_back(b);
    }
  }
  if (!best.x.empty()) best.x.push_back((double)points.size()), best.y.push_back(b);
  for (int k = 0; k <= NTRIALTYPES; k++) {
    PlotSeries& s = bytype[k];
    if (s.x.empty()) continue;
    s.style = PlotSeries::Points;
    s.width = 2.5;
    s.colour = TRIALCOLOURS[k];
    s.label = (k < NTRIALTYPES ? TrialTypeName[k] : "untagged") + std::string(" (") + std::to_string(s.x.size()) + ")";
    p.series.push_back(s);
  }
  p.series.push_back(best);
  p.height = std::max(360, 40 + 14 * (int)p.series.size() + 60);
  return svg_plot(p);
}

std::string plotreport_html(const RunRecord* run, LSet results, const std::string& lattice) {
  std::string title = run ? "Ordax run of " + run->lattice : "Ordax optimiser progress";
  std::string h = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + xmlescape(title) +
                  "</title>\n<style>body{font-family:sans-serif;margin:16px;color:#222}"
                  "svg{margin:6px;border:1px solid #ccc}h2{font-size:16px;margin:14px 6px 4px}"
                  "p{margin:4px 6px}</style></head><body>\n<h1 style=\"font-size:20px\">" + xmlescape(title) + "</h1>\n";
  if (run) {
    char line[400];
    snprintf(line, sizeof line,
             "<p>Score %g. Machine length %.3g m, %zu components; %lld samples every %.3g ns up to "
             "t = %.2f ns; %zu particles shown at the finish.</p>\n",
             run->score, run->length, run->parts.size(), (long long)run->samples, run->interval * 1e9,
             run->endtime * 1e9, run->final.size());
    h += line;
    h += heading("Along the machine");
    h += plot_transmission(*run) + plot_envelope(*run);
    h += heading("At the finish");
    h += plot_longitudinal(*run) + plot_transverse(*run);
    h += heading("Optimiser");
    h += plot_progress(progresspoints(results, lattice), lattice, "progress");
  } else {
    LSet names = Results_lattices(results);
    std::vector<std::string> v;
    for (uint32_t i = 0; i < names.count; i++) {
      const char* n = LSet_at<char*>(names, i);
      v.push_back(n ? n : "");
    }
    Results_lattices_free(names);
    if (v.empty()) h += "<p>No results in the results file yet.</p>\n";
    for (size_t i = v.size(); i-- > 0;) {  // first lattice of the file first
      if (v[i].empty()) continue;
      h += plot_progress(progresspoints(results, v[i]), v[i], "progress" + std::to_string(i));
    }
  }
  h += "</body></html>\n";
  return h;
}

int plotreport_write(const char* path, const std::string& html) {
  FILE* f = fopen(path, "wb");
  bool ok = f && fwrite(html.data(), 1, html.size(), f) == html.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok) {
    reportf("[WARNING] Could not write plots to '%s'", path);
    return 0;
  }
  reportf("Plots written to '%s'", path);
  return 1;
}
