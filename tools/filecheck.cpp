// Checks the files the client leaves behind, for the crash and full-disk tests
// (tests/scripts/crash_test.sh) and by hand:
//   filecheck results FILE   FILE parses: every complete line belongs to a genome/result
//                            pair that the reader accepts (an unfinished last line, left by an
//                            interrupted append, is allowed). Prints each result as one line,
//                            "genome|result", in file order. A missing file holds none.
//   filecheck queue FILE     the same, and the file ends with a whole line (a queue file is
//                            only ever replaced whole).
//   filecheck autosave FILE VERSION
//                            FILE verifies and restores completely (a missing file passes).
// Exit status 0 when the check passes, 1 with a line on standard error when it does not.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/report.h"
#include "language/genome.h"
#include "results/autosave.h"
#include "results/queue.h"
#include "results/results.h"
#include "sim/components/registry.h"
#include "sim/simulation.h"
#include "sim/species.h"

namespace {

void quiet(const char*, int, void*) {}

int fail(const char* what, const char* file) {
  std::fprintf(stderr, "filecheck: %s: %s\n", file, what);
  return 1;
}

// Complete lines (ended by CR LF or LF) and whether an unfinished one follows.
std::vector<std::string> wholelines(const std::vector<unsigned char>& data, bool* unfinished) {
  std::vector<std::string> lines;
  std::string line;
  for (unsigned char c : data) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      line.clear();
    } else {
      line += (char)c;
    }
  }
  *unfinished = !line.empty();
  return lines;
}

int checkresults(const char* file, bool whole) {
  if (!fileexists(file)) return 0;  // no file yet: no results
  bool unfinished = false;
  std::vector<std::string> lines = wholelines(filedata(file), &unfinished);
  if (whole && unfinished) return fail("last line unfinished", file);
  FILE* f = std::fopen(file, "rb");
  if (!f) return fail("cannot be opened", file);
  int n = 0;
  for (;;) {
    Result r = Result_read(f, nullptr, nullptr, 1);
    if (!r.genome && !r.text) break;
    std::printf("%s|%s\n", r.genome ? r.genome : "", r.text ? r.text : "");
    Result_free(r);
    n++;
  }
  std::fclose(f);
  // Nothing but pairs: a pair the reader dropped, or a torn line inside the file, shows here.
  // An append cut short leaves a whole genome line before the unfinished result line.
  size_t extra = unfinished && lines.size() == 2 * (size_t)n + 1 ? 1 : 0;
  if (lines.size() != 2 * (size_t)n + extra) return fail("lines outside genome/result pairs", file);
  return 0;
}

int checkautosave(const char* file, const char* version) {
  if (!fileexists(file)) return 0;
  if (!verifyfile(file, autosave_checksum)) return fail("signature does not verify", file);
  registry_install();
  Simulation_defaultdefault();
  Simulation sim{};
  Genome g = Genome_none();
  QuarantineInfo q;
  int ok = loadall(file, version, &sim, nullptr, &g, &q, autosave_checksum);
  Simulation_free(&sim);
  if (g.count != -1) Genome_free(g);
  QuarantineInfo_free(&q);
  return ok ? 0 : fail("does not restore", file);
}

}  // namespace

int main(int argc, char** argv) {
  report_setsink(quiet, nullptr);
  if (argc == 3 && !std::strcmp(argv[1], "results")) return checkresults(argv[2], false);
  if (argc == 3 && !std::strcmp(argv[1], "queue")) return checkresults(argv[2], true);
  if (argc == 4 && !std::strcmp(argv[1], "autosave")) return checkautosave(argv[2], argv[3]);
  std::fprintf(stderr, "usage: filecheck results|queue FILE | filecheck autosave FILE VERSION\n");
  return 2;
}
