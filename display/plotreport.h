// The designer's report: an HTML page of SVG charts written by Ordax itself. For one run
// (from a RunRecord): transmission and muon yield against s, the rms envelope against s, and
// the longitudinal and transverse phase space at the finish; and, from the results set, the
// optimiser's progress (each score and the best so far against result number, coloured by
// the trial type that made the genome). Without a run, the progress of every lattice.
// Pure text builders plus one file writer; run once at the end of a -plot run.
#pragma once

#include <string>
#include <vector>

#include "base/lset.h"

struct RunRecord;
struct Plot;

// One result of a lattice as the progress chart needs it.
struct ProgressPoint {
  double score;
  int trialtype;  // the genome's "#gen" tag: 0 … 12; −1 when it has none
};

// The results of `lattice` (without letter case; every result when empty) in file order.
std::vector<ProgressPoint> progresspoints(LSet results, const std::string& lattice);
// The trial type a genome text was made by: its "#gen=" number, −1 when absent.
int genometrialtype(const char* genome);

// The charts, each an SVG element.
std::string plot_transmission(const RunRecord& r);
std::string plot_envelope(const RunRecord& r);
std::string plot_longitudinal(const RunRecord& r);
std::string plot_transverse(const RunRecord& r);
std::string plot_progress(const std::vector<ProgressPoint>& points, const std::string& lattice,
                          const std::string& id);

// The whole page for a run (`run` may be none: progress only) and the results; with no run,
// one progress chart per lattice of the results.
std::string plotreport_html(const RunRecord* run, LSet results, const std::string& lattice);
// Writes the text to `path`; reports "Plots written to '%s'" or "[WARNING] Could not write
// plots to '%s'". Returns 1 on success.
int plotreport_write(const char* path, const std::string& html);
