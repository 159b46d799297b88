// LaTeX listings of a cell's components (see latextable.h): one row per component, one column
// per attribute name, values in the units a reader expects (MV, MHz, degrees), and the PDF
// made from them by pdflatex through the platform layer.
#include "lattice/latextable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"

namespace {

// The name as a LaTeX label: every character that may not stand in a variable name becomes '_'.
std::string identifier(const char* name) {
  std::string s = name ? name : "";
  fixvarname(s.data(), '_');
  return s;
}

const char* orempty(const char* text) {
  return text ? text : "";
}

bool isangleattribute(const char* name) {
  return stristr(name, "angle") || equalnocase(name, "twist") || startsnocase(name, "rot");
}

std::string latexvalue(const Attribute& a) {
  std::string out;
  if (a.type == AttributeType::Text) return latexescape(a.text);
  if (a.type != AttributeType::Number) return out;
  if (equalnocase(a.name, "Voltage")) appendf(&out, "%lg\\,MV", a.value / 1e6);
  else if (equalnocase(a.name, "Frequency")) appendf(&out, "%lg\\,MHz", a.value / 1e6);
  else if (isangleattribute(a.name)) appendf(&out, "%lg$^\\circ$", a.value * 180 / M_PI);
  else appendf(&out, "%lg", a.value);
  return out;
}

// Quotes a word for the shell.
std::string shellquote(const std::string& word) {
  std::string q = "'";
  for (char ch : word) {
    if (ch == '\'') q += "'\\''";
    else q += ch;
  }
  return q + "'";
}

}  // namespace

std::string Cell_latextable(Cell* c, char longtable) {
  std::string out;
  if (!c) return out;
  std::vector<Cell*> parts;
  if (c->t == Composite) {
    for (int i = 0; i < c->n; i++)
      if (c->children[i]->t == Component) parts.push_back(c->children[i]);
  } else if (c->t == Component) {
    parts.push_back(c);
  }
  // One column per attribute name that any component has (without case), sorted by name.
  std::vector<std::string> columns;
  for (Cell* p : parts) {
    for (uint32_t i = 0; i < p->attributes.count; i++) {
      const char* name = LSet_at<Attribute>(p->attributes, i).name;
      bool seen = false;
      for (const std::string& col : columns) seen = seen || equalnocase(col.c_str(), name);
      if (!seen && name) columns.push_back(name);
    }
  }
  std::sort(columns.begin(), columns.end(), [](const std::string& a, const std::string& b) {
    return strnullcmpi(a.c_str(), b.c_str()) < 0;
  });

  std::string label = identifier(c->name);
  std::string shown = latexescape(orempty(c->name));
  std::string colformat = "|l|l|";
  for (size_t i = 0; i < columns.size(); i++) colformat += "r|";
  std::string order = "Beamline order: ";
  for (size_t i = 0; i < parts.size(); i++) {
    if (i) order += ", ";
    order += latexescape(orempty(parts[i]->name));
  }
  std::string header = "Name & Type";
  for (const std::string& col : columns) header += " & " + latexescape(col.c_str());
  header += "\\\\\n";

  if (longtable) {
    out += "\\begin{longtable}{" + colformat + "}\n";
    appendf(&out, "\\caption{\\label{table%s}Ordax component listing of cell \\texttt{%s}.}\\\\\n",
            label.c_str(), shown.c_str());
    appendf(&out, "\\multicolumn{%d}{l}{%s}\\\\\n", (int)columns.size() + 2, order.c_str());
    out += "\\hline\n" + header + "\\hline\n\\endfirsthead\n\\hline\n" + header +
           "\\hline\n\\endhead\n";
  } else {
    out += "\\begin{table}[htbp]\n\\centering\n";
    appendf(&out, "\\caption{\\label{table%s}Ordax component listing of cell \\texttt{%s}.}\n",
            label.c_str(), shown.c_str());
    out += order + "\\\\[1ex]\n";
    out += "\\begin{tabular}{" + colformat + "}\n\\hline\n" + header + "\\hline\n";
  }
  for (Cell* p : parts) {
    out += latexescape(orempty(p->name)) + " & " + latexescape(orempty(p->type_name));
    for (const std::string& col : columns) {
      out += " & ";
      out += latexvalue(Cell_attribute(p, col.c_str()));
    }
    out += "\\\\\n";
  }
  out += "\\hline\n";
  out += longtable ? "\\end{longtable}\n" : "\\end{tabular}\n\\end{table}\n";
  return out;
}

int Cell_latextablepdf(Cell* c, const char* base, char longtable) {
  std::string texname = std::string(base) + ".tex";
  FILE* f = std::fopen(texname.c_str(), "w");
  if (!f) {
    reportf("Could not write %s", texname.c_str());
    return 0;
  }
  std::string doc = "\\documentclass[12pt,a4paper]{report}\n";
  if (longtable) doc += "\\usepackage{longtable}\n";
  doc += "\\begin{document}\n" + Cell_latextable(c, longtable) + "\\end{document}\n";
  std::fputs(doc.c_str(), f);
  std::fclose(f);
  if (!platform_hasprogram("pdflatex")) {
    reportf("pdflatex is not installed, so no PDF was made; the LaTeX source is in %s",
            texname.c_str());
    return 0;
  }
  std::string command = "pdflatex " + shellquote(base);
  int first = platform_system(command.c_str());
  int second = platform_system(command.c_str());
  for (const char* ext : {".tex", ".aux", ".log"}) platform_remove((std::string(base) + ext).c_str());
  return first == 0 && second == 0;
}
