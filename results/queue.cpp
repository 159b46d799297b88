// The evaluation queue and quarantine: getqueuedresult hands the head of the queue file back
// to the run cycle, genomeresult turns a finished run into a recorded result or a quarantined
// queue entry, popqueue and pushqueue edit the queue file. Owns the quarantine state's score
// array and the names of the two results files it appends to. Called once per run on the
// main thread; every queue edit rewrites the (small) queue file through a renamed new file.
#include "results/queue.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/platform.h"
#include "base/text.h"
#include "base/version.h"
#include "language/genome.h"
#include "results/results.h"
#include "lattice/latticefiles.h"
#include "base/report.h"

const char* resultsstorefile = "results.dat";
const char* resultsuploadfile = "results.txt";
const char* resultspendingfile = "results.pending";

namespace {

enum { QUEUED_RECHECK = 1, QUEUED_TEST = 2 };

// The whole file into *out. 1: read; 0: the file does not exist; −1: it exists but could not
// be read completely.
int readwhole(const char* path, std::string* out) {
  out->clear();
  FILE* f = fopen(path, "rb");
  if (!f) return platform_isfile(path) || platform_isdir(path) ? -1 : 0;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool bad = ferror(f) != 0;
  fclose(f);
  return bad ? -1 : 1;
}

// Replaces the file's contents with `text` through "<path>.new" renamed over it, so that the
// old file stays whole until the new one is complete. Returns 1 on success.
int replacefile(const char* path, const std::string& text) {
  std::string temp = std::string(path) + ".new";
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) return 0;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = platform_syncfile(f) && ok;
  ok = fclose(f) == 0 && ok;
  if (ok) ok = platform_rename(temp.c_str(), path);
  if (!ok) platform_remove(temp.c_str());
  return ok ? 1 : 0;
}

// The queue file without its first entry (its first two lines); empty when nothing remains.
std::string withoutfirstentry(const std::string& text) {
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (second == std::string::npos || second + 1 == text.size()) return std::string();
  return text.substr(second + 1);
}

// The first line of the text without its line end.
std::string firstline(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Whether the file's last bytes are `tail`.
bool fileendswith(const char* path, const std::string& tail) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  bool same = false;
  if (fseek(f, 0, SEEK_END) == 0) {
    long size = ftell(f);
    if (size >= (long)tail.size() && fseek(f, size - (long)tail.size(), SEEK_SET) == 0) {
      std::string got(tail.size(), '\0');
      same = fread(&got[0], 1, got.size(), f) == got.size() && got == tail;
    }
  }
  fclose(f);
  return same;
}

// Appends a result's lines to the file unless it already ends with them (after an unfinished
// last line is cut off, as Result_save does). Returns 1 when the file ends with them.
int appendonce(const char* path, const std::string& lines) {
  return fileendswith(path, lines) ? 1 : Result_savelines(lines, path);
}

// The array's room doubles when the count reaches a power of two (every scores array is
// grown here only), so n scores cost O(n) copying, not O(n²).
void addscore(QuarantineInfo* q, double score) {
  if (q->count < 0 || q->count == INT_MAX) return;
  unsigned count = (unsigned)q->count;
  if ((count & (count - 1)) == 0) {
    size_t room = count < 4 ? 4 : (size_t)count * 2;
    double* grown = (double*)realloc(q->scores, sizeof(double) * room);
    if (!grown) return;
    q->scores = grown;
  }
  q->scores[q->count++] = score;
}

}  // namespace

// ---- the quarantine state ----

void QuarantineInfo_free(QuarantineInfo* q) {
  free(q->scores);
  q->scores = nullptr;
  q->count = 0;
  q->calc = 0;
}

int QuarantineInfo_write(const QuarantineInfo* q, FILE* f) {
  ByteWriter w = bytewriter_file(f);
  bw_u8(&w, q->active ? 1 : 0);
  if (!q->active) return w.ok;
  bw_i32(&w, q->count);
  for (int i = 0; i < q->count; i++) bw_f64(&w, q->scores[i]);
  bw_f64(&w, q->calc);
  return w.ok;
}

int QuarantineInfo_read(QuarantineInfo* q, FILE* f) {
  QuarantineInfo_free(q);
  q->active = 0;
  ByteReader r = bytereader_file(f);
  uint8_t active;
  if (!br_u8(&r, &active) || active > 1) return 0;
  if (active == 0) return 1;
  int32_t count;
  if (!br_i32(&r, &count)) return 0;
  if (count < 0) return 0;
  std::vector<double> scores;
  for (int32_t i = 0; i < count; i++) {  // one at a time: a lying count costs no memory
    double x;
    if (!br_f64(&r, &x)) return 0;
    scores.push_back(x);
  }
  double calc;
  if (!br_f64(&r, &calc)) return 0;
  for (double s : scores) addscore(q, s);
  if (q->count != count) {
    QuarantineInfo_free(q);
    return 0;
  }
  q->calc = calc;
  q->active = 1;
  return 1;
}

// ---- editing the queue file ----

int popqueue(const QuarantineInfo* q) {
  const char* path = q ? q->queuefile : nullptr;
  std::string text;
  int got = path ? readwhole(path, &text) : 0;
  if (got == 0 || (got < 0 && !platform_isfile(path))) {
    report("[FATAL] Failed to delete result out of non-existant queue.");
    return 0;
  }
  if (got < 0) {
    reportf("[WARNING] Could not update queue file '%s'", path);
    return 0;
  }
  std::string rest = withoutfirstentry(text);
  if (rest.empty()) {
    if (!platform_remove(path)) {
      reportf("[WARNING] Could not update queue file '%s'", path);
      return 0;
    }
    return 1;
  }
  if (!replacefile(path, rest)) {
    reportf("[WARNING] Could not update queue file '%s'", path);
    return 0;
  }
  return 1;
}

int pushqueue(const QuarantineInfo* q, Result r) {
  return replacequeuehead(q, r, 0);
}

int replacequeuehead(const QuarantineInfo* q, Result r, int pophead) {
  const char* path = q ? q->queuefile : nullptr;
  if (!path) return 0;
  std::string old;
  if (readwhole(path, &old) < 0) {
    reportf("[WARNING] Could not update queue file '%s'", path);
    return 0;
  }
  if (pophead) old = withoutfirstentry(old);
  std::string text;
  text.reserve(old.size() + 256);
  text += r.genome ? r.genome : "";
  text += "\r\n";
  text += r.text ? r.text : "";
  text += "\r\n";
  text += old;
  if (!replacefile(path, text)) {
    reportf("[WARNING] Could not update queue file '%s'", path);
    return 0;
  }
  return 1;
}

// ---- recording a result ----

// The pending record: the result's two lines, then (when the run came from the queue) the
// queue file's name and its head entry's genome line, which is taken off once the result is
// in both results files. Written whole (new file, sync, rename) before the first append and
// removed after the last, so that a start after a kill in between can finish the recording.
namespace {

// `again`: a start finishing a cut-short recording, where a file that already ends with the
// result got it then (two equal results in a row are otherwise both recorded).
void finishrecord(const std::string& lines, const std::string& queuefile,
                  const std::string& headgenome, bool again) {
  bool ok = true;
  for (const char* path : {resultsstorefile, resultsuploadfile})
    if (path) ok = (again ? appendonce(path, lines) : Result_savelines(lines, path)) && ok;
  if (!ok) return;  // kept: the next start tries again
  if (!queuefile.empty()) {
    std::string text;
    if (readwhole(queuefile.c_str(), &text) == 1 && firstline(text) == headgenome) {
      QuarantineInfo head;
      head.queuefile = queuefile.c_str();
      if (!popqueue(&head)) return;
    }
  }
  if (resultspendingfile) platform_remove(resultspendingfile);
}

}  // namespace

void recordresult(Result r, const QuarantineInfo* q) {
  std::string lines = Result_lines(r);
  std::string queuefile, head;
  if (q && q->queuefile) {
    std::string text;
    if (readwhole(q->queuefile, &text) == 1) {
      queuefile = q->queuefile;
      head = firstline(text);
    }
  }
  if (resultspendingfile) {
    std::string record = lines;
    if (!queuefile.empty()) record += queuefile + "\r\n" + head + "\r\n";
    if (!replacefile(resultspendingfile, record))
      reportf("[WARNING] Could not write '%s'", resultspendingfile);
  }
  finishrecord(lines, queuefile, head, false);
}

int completependingresult() {
  if (!resultspendingfile) return 0;
  std::string text;
  if (readwhole(resultspendingfile, &text) != 1) return 0;
  // Two result lines, optionally the queue file and its head's genome line.
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // an unfinished line: the record was never renamed in
    lines.push_back(text.substr(at, end + 1 - at));
    at = end + 1;
  }
  if (lines.size() != 2 && lines.size() != 4) {
    platform_remove(resultspendingfile);
    return 0;
  }
  std::string queuefile, head;
  if (lines.size() == 4) {
    queuefile = firstline(lines[2]);
    head = firstline(lines[3]);
  }
  report("Completing the recording of the last result");
  finishrecord(lines[0] + lines[1], queuefile, head, true);
  return platform_isfile(resultspendingfile) ? 0 : 1;
}

// ---- the run cycle's two entries ----

Genome getqueuedresult(char** lattice, CheckFunction check, QuarantineInfo* q) {
  if (!q || !q->queuefile) return Genome_none();
  QuarantineInfo_free(q);
  // Only a quarantined entry handed back now makes the next result a re-run; a flag left from
  // an earlier run would push an unrelated fresh result into the queue.
  q->active = 0;
  Result r{};
  std::optional<std::string> name;
  // Each pass settles on the head entry or removes one that fails its check.
  for (;;) {
    FILE* f = fopen(q->queuefile, "rb");
    if (!f) return Genome_none();
    long start = 0;
    // The check is made below, where an entry that fails it can be removed.
    r = Result_read(f, nullptr, nullptr, 1, &start);
    fclose(f);
    if (!r.text) return Genome_none();
    if (start > 0) {
      // The lines before the first entry can never be run. Dropping them keeps popqueue's
      // "first two lines" the entry run now.
      std::string text;
      if (readwhole(q->queuefile, &text) == 1 && (size_t)start <= text.size())
        replacefile(q->queuefile, text.substr((size_t)start));
    }
    name = Result_lattice(r);
    if (!name) {
      Result_free(r);
      return Genome_none();
    }
    if (lattice_unreadable(name->c_str())) {
      // Not gone: the entry waits until its lattice can be read again.
      reportf("Lattice file %s cannot be read; its queued result is kept", name->c_str());
      Result_free(r);
      return Genome_none();
    }
    if (!lattice_exists(name->c_str())) {
      popqueue(q);
      Result_free(r);
      return Genome_none();
    }
    if (check && !startsnocase(r.text, "test")) {
      CheckVal expected = check(r), stored = Result_chk(r);
      bool good = CheckVal_equals(expected, stored);
      CheckVal_free(expected);
      CheckVal_free(stored);
      if (!good) {
        // It can never be run (its lattice changed, or it was made by a run whose result may
        // not be recorded): taken off, so that it is not met again at every start.
        reportf("Removed queued result of %s that fails its check value", name->c_str());
        int popped = popqueue(q);
        Result_free(r);
        if (!popped) return Genome_none();
        continue;  // the next entry may be good
      }
    }
    break;
  }
  if (lattice && *lattice && strnullcmpi(*lattice, name->c_str()) != 0) {
    Result_free(r);
    return Genome_none();
  }
  int mode = 0;
  if (startsnocase(r.text, "test")) {
    report("Testing result from queue file");
    mode = QUEUED_TEST;
  } else if (stristr(r.genome, "#queued")) {
    report("Rechecking quarantined result");
    q->active = 1;
    int n = 0;
    std::vector<double> scores = Result_qscores(r, &n);
    for (double s : scores) addscore(q, s);
    q->calc = Result_calc(r);
    mode = QUEUED_RECHECK;
  }
  if (!mode) {
    Result_free(r);
    return Genome_none();
  }
  if (lattice && !*lattice) *lattice = strdup(name->c_str());
  Genome g = Result_genome(r, mode == QUEUED_RECHECK);
  gassign(&g, "#queued", mode);
  Result_free(r);
  return g;
}

void genomeresult(Genome* g, double score, double calc, const char* lattice, CheckFunction check,
                  const char* extra, LSet* results, const ResultFormat* fmt, QuarantineInfo* q) {
  score = rounddecimals(score, fmt->scoredecimals);
  calc = rounddecimals(calc, fmt->calcdecimals);
  if (q && q->queuefile) {
    int32_t queued = graw(g, "#queued");
    if (queued == QUEUED_RECHECK) {
      // Clamped first: a stored count at the largest integer must not wrap round.
      int32_t before = graw(g, "#runs");
      int runs = (before < 0 ? 0 : before == INT32_MAX ? INT32_MAX - 1 : before) + 1;
      gassign(g, "#runs", runs);
      addscore(q, score);
      reportf("Quarantined result has now been run %d of %d times", runs, q->needed);
      calc = rounddecimals(calc + q->calc, 1);
      if (runs < q->needed) {
        q->active = 1;
      } else {
        std::vector<double> samples(q->scores, q->scores + q->count);
        score = scorefromsample(samples.data(), q->count, fmt);
        reportf("Result passed quarantine with score %lg, will be added to results file", score);
        q->active = 0;
      }
    } else {
      // A fresh result (also a test entry): a candidate unless a fully rechecked result of
      // its lattice scored strictly higher.
      q->active = 0;
      bool candidate = true, found = false;
      double best = 0;
      for (uint32_t i = results && lattice ? results->count : 0; i-- > 0;) {
        const Result& r = LSet_at<Result>(*results, i);
        if (!Result_islattice(r, lattice) || Result_runs(r) < q->needed) continue;
        if (!found || r.score > best) best = r.score;
        found = true;
        if (r.score > score) candidate = false;
      }
      if (candidate) {
        reportf("Initiating quarantine of score %lg", score);
        if (found) reportf("  (best rechecked score for %s is %lg)", lattice, best);  // found: lattice set
        else reportf("  (no rechecked scores for %s found)", lattice ? lattice : "");
        if (q->needed < 2) {
          report("Quarantine finished rather quickly (only 1 result needed)");
        } else {
          QuarantineInfo_free(q);
          addscore(q, score);
          q->active = 1;
        }
        gassign(g, "#runs", 1);
      }
    }
    // The run came from the head of the queue (a quarantined or a test entry): it comes off
    // the queue only once what replaces it is on disk, the updated entry in the same rename.
    // (A genome that merely carries #runs, as a re-run of a recorded result does, did not.)
    bool fromqueue = queued == QUEUED_RECHECK || queued == QUEUED_TEST;
    if (q->active) {
      gassign(g, "#queued", QUEUED_RECHECK);
      Result r = Result_createqueued(*g, q->scores, q->count, calc, ORDAX_VERSION, lattice,
                                     extra, fmt, check);
      replacequeuehead(q, r, fromqueue ? 1 : 0);
      Result_free(r);
      return;
    }
    while (ghas(g, "#queued")) gunassign(g, "#queued");
    Result r = Result_create(*g, score, calc, ORDAX_VERSION, lattice, extra, fmt, check);
    recordresult(r, fromqueue ? q : nullptr);
    if (results) LSet_add(results, &r);
    else Result_free(r);
    return;
  }
  while (ghas(g, "#queued")) gunassign(g, "#queued");
  Result r = Result_create(*g, score, calc, ORDAX_VERSION, lattice, extra, fmt, check);
  recordresult(r, nullptr);
  if (results) LSet_add(results, &r);
  else Result_free(r);
}
