// Parse time of generated lattices of about 1,000, 10,000 and 100,000 tokens (values, names and
// list items): element definitions with units, embedded expressions, sections built from them
// and a beam line of the sections, with 36 free parameters (a design's genome stays small; the
// genome looks genes up by a linear scan). The time per token should stay nearly constant as
// the lattice grows. A lattice is parsed once per simulated design.
#include <benchmark/benchmark.h>

#include <string>

#include "language/parser.h"
#include "base/report.h"

namespace {

void quiet(const char*, int, void*) {}

// Tokens: runs of characters between white space, ',', ':' and ';'.
int counttokens(const std::string& text) {
  int n = 0;
  bool in = false;
  for (char c : text) {
    bool separator = c == ' ' || c == '\n' || c == ',' || c == ':' || c == ';';
    if (!separator && !in) n++;
    in = !separator;
  }
  return n;
}

// A lattice of about `tokens` tokens; *count receives the exact number.
std::string lattice(int tokens, int* count) {
  std::string text = "{Solenoid(S) Radius(mm) Field(T) Length(cm)}\n{Drift(D) Length(cm)}\n";
  int n = 8, elements = 0, sections = 0;
  std::string section, line = "line: ";
  while (n < tokens) {
    std::string k = std::to_string(elements++);
    if (elements % 10 == 0) text += "S" + k + " 300 #" + k + " % 7 + 1# 50\n";
    else if (elements <= 40) text += "S" + k + " 300 [1,4] 50\n";  // a design's free parameters
    else text += "S" + k + " 300 2.5 50\n";
    text += "D" + k + " 20\n";
    if (!section.empty()) section += ",";
    section.append("S").append(k).append(",D").append(k);
    n += 6;
    if (elements % 10 == 0) {
      std::string name = "sec" + std::to_string(sections++);
      text += name + ": " + section + ";\n";
      line += (sections > 1 ? "," : "") + name;
      n += 22;
      section.clear();
    }
  }
  text += line + ";\n";
  *count = counttokens(text);
  return text;
}

// Parses `text` into a machine cell once per iteration, messages silenced.
void parseloop(benchmark::State& state, const std::string& text) {
  report_setsink(quiet, nullptr);
  Genome genome = Genome_new();
  for (auto _ : state) {
    Cell* machine = machinecell(text.c_str(), &genome, "bench", 0, nullptr);
    benchmark::DoNotOptimize(machine);
    Cell_freeref(machine, 0);
  }
  Genome_free(genome);
  report_setsink(nullptr, nullptr);
}

void BM_machinecell(benchmark::State& state) {
  int tokens = 0;
  std::string text = lattice(static_cast<int>(state.range(0)), &tokens);
  parseloop(state, text);
  state.counters["tokens"] = tokens;
  state.SetItemsProcessed(static_cast<int64_t>(tokens) * state.iterations());  // tokens/s
}
BENCHMARK(BM_machinecell)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One element type whose format line names `n` attributes and one element that gives them all:
// every value sets an attribute of the one cell, so a look-up that scanned the cell's
// attributes would make the parse quadratic. The time per attribute should stay nearly
// constant from 1,000 to 100,000 attributes.
void BM_wideformat(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string format = "{Drift(D) Length(cm)", element = "D1 20";
  for (int i = 0; i < n; i++) {
    format += " a" + std::to_string(i);
    element += " " + std::to_string(i % 97);
  }
  const std::string text = format + "}\n" + element + "\nline: D1;\n";
  parseloop(state, text);
  state.SetItemsProcessed(static_cast<int64_t>(n) * state.iterations());  // attributes/s
}
BENCHMARK(BM_wideformat)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
