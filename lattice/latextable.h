// LaTeX listings of a cell's components: the table text, and a PDF of it made by running
// pdflatex. Output only; called by the -latex switch and by tests, once per request.
#pragma once

#include <string>

#include "lattice/cell.h"

// A LaTeX table of the components of `c` ("longtable" environment when `longtable` is set).
std::string Cell_latextable(Cell* c, char longtable);
// Writes "<base>.tex" as a report document, runs pdflatex on it twice and deletes the tex, aux
// and log files. Returns 1 when both runs succeeded. When pdflatex is not installed it reports
// so, keeps "<base>.tex" and returns 0.
int Cell_latextablepdf(Cell* c, const char* base, char longtable);
