// Upload checking, served files, publishing and sample files of the project server. Every
// result is checked again with the client's own code (Result_valid with ordaxchecksum against
// the server's lattices/ and datafiles/), under the library mutex, with the report channel
// captured so that the library's warnings count rejections instead of reaching a console.
#include "server/project.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/bytes.h"
#include "base/lset.h"
#include "base/platform.h"
#include "base/report.h"
#include "base/text.h"
#include "base/version.h"
#include "net/exchange.h"
#include "results/binary.h"
#include "results/checkval.h"
#include "results/results.h"

namespace fs = std::filesystem;

std::mutex Project::library;

namespace {

// While it lives, the library's messages are collected here instead of being printed.
struct Capture {
  std::vector<std::string> messages;
  static void sink(const char* message, int isupdate, void* context) {
    if (!isupdate) static_cast<Capture*>(context)->messages.emplace_back(message);
  }
  Capture() { report_setsink(sink, this); }
  ~Capture() { report_setsink(nullptr, nullptr); }
  int containing(const char* part) const {
    int n = 0;
    for (const std::string& m : messages) n += m.find(part) != std::string::npos;
    return n;
  }
};

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return s;
}

std::optional<std::string> readall(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool writeatomic(const fs::path& p, const std::string& data) {
  fs::path tmp = p;
  tmp += ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(data.data(), (std::streamsize)data.size()) || !out.flush()) return false;
  }
  std::error_code ec;
  fs::rename(tmp, p, ec);
  return !ec;
}

std::string htmlescape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// Duplicates are the same lattice (any letter case), the same genes in any order and the same
// result line.
std::string resultkey(const std::string& lattice, const std::string& genome,
                      const std::string& line) {
  std::vector<std::string> genes;
  std::string item;
  for (char c : genome) {
    item += c;
    if (c == ';') {
      genes.push_back(item);
      item.clear();
    }
  }
  if (!item.empty()) genes.push_back(item);
  std::sort(genes.begin(), genes.end());
  std::string key = lower(lattice) + "\n";
  for (const std::string& g : genes) key += g;
  return key + "\n" + line;
}

bool allfinite(Result r) {
  int n = 0;
  std::vector<double> scores = Result_qscores(r, &n);
  for (double s : scores)
    if (!std::isfinite(s)) return false;
  return std::isfinite(r.score) && std::isfinite(Result_calc(r)) && std::isfinite(Result_ver(r));
}

std::string fmt(double x) {
  char buf[40];
  snprintf(buf, sizeof buf, "%.6g", x);
  return buf;
}

}  // namespace

int UploadOutcome::rejectedtotal() const {
  int n = 0;
  for (const auto& [reason, count] : rejected) n += count;
  return n;
}

bool uploadfolderok(const std::string& folder) {
  size_t i = 0, n = folder.size();
  auto digits = [&] {
    size_t start = i;
    while (i < n && i - start < 3 && folder[i] >= '0' && folder[i] <= '9') i++;
    return i > start;
  };
  if (n == 0 || folder[i++] != 'v' || !digits()) return false;
  if (i >= n || folder[i++] != '.' || !digits()) return false;
  return i + 1 == n && folder[i] == 'x';
}

std::string uploaduser(const std::string& filename) {
  size_t slash = filename.find_last_of("/\\");
  std::string base = slash == std::string::npos ? filename : filename.substr(slash + 1);
  size_t at = 0;
  for (int dashes = 0; dashes < 3 && at != std::string::npos; dashes++) {
    at = base.find('-', at);
    if (at != std::string::npos) at++;
  }
  std::string user;
  if (at != std::string::npos) {
    std::string rest = base.substr(at);
    size_t dot = rest.rfind('.');
    if (dot != std::string::npos) rest.resize(dot);
    for (char c : rest)
      if (isalnum((unsigned char)c) || c == '_' || c == '-' || c == '.') user += c;
  }
  if (user.size() > 40) user.resize(40);
  return user.empty() || user.find("..") != std::string::npos ? "anonymous" : user;
}

bool latticenameok(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!isalnum((unsigned char)c) && c != '_' && c != '-') return false;
  return true;
}

std::string bestplotsvg(const std::vector<std::pair<int64_t, double>>& points, int width,
                        int height) {
  char buf[256];
  snprintf(buf, sizeof buf,
           "<svg class='plot' xmlns='http://www.w3.org/2000/svg' width='%d' height='%d' "
           "viewBox='0 0 %d %d'>",
           width, height, width, height);
  std::string svg = buf;
  const int left = 50, right = 10, top = 10, bottom = 25;
  snprintf(buf, sizeof buf,
           "<rect x='%d' y='%d' width='%d' height='%d' fill='#ffffff' stroke='#888888'/>", left,
           top, width - left - right, height - top - bottom);
  svg += buf;
  if (points.empty()) return svg + "<text x='60' y='40'>no results yet</text></svg>";
  // The running best, as a step line.
  std::vector<std::pair<int64_t, double>> best;
  for (const auto& p : points)
    if (best.empty() || p.second > best.back().second) best.push_back(p);
  int64_t t0 = points.front().first, t1 = std::max(points.back().first, t0 + 1);
  double y0 = best.front().second, y1 = best.back().second;
  if (y1 - y0 < 1e-9) {
    y0 -= 1;
    y1 += 1;
  }
  auto X = [&](int64_t t) { return left + (double)(t - t0) / (double)(t1 - t0) * (width - left - right); };
  auto Y = [&](double s) { return height - bottom - (s - y0) / (y1 - y0) * (height - top - bottom); };
  std::string path;
  double lasty = Y(best.front().second);
  for (size_t i = 0; i < best.size(); i++) {
    double x = X(best[i].first), y = Y(best[i].second);
    snprintf(buf, sizeof buf, "%s%.1f,%.1f %.1f,%.1f", i ? " " : "", x, i ? lasty : y, x, y);
    path += buf;
    lasty = y;
  }
  snprintf(buf, sizeof buf, " %.1f,%.1f", X(t1), lasty);
  path += buf;
  svg += "<polyline fill='none' stroke='#d03030' stroke-width='3' points='" + path + "'/>";
  snprintf(buf, sizeof buf,
           "<text x='%d' y='%d' font-size='11' text-anchor='end'>%s</text>"
           "<text x='%d' y='%d' font-size='11' text-anchor='end'>%s</text>"
           "<text x='%d' y='%d' font-size='11'>best score against time</text>",
           left - 4, top + 10, fmt(y1).c_str(), left - 4, height - bottom, fmt(y0).c_str(),
           left, height - 8);
  return svg + buf + "</svg>";
}

Project::Project(Store* s, ServerConfig c) : store(s), config(std::move(c)) {
  signalversion = ORDAX_VERSION;
  if (std::optional<std::string> text = readall(fs::path(config.root) / "signal.txt")) {
    std::istringstream in(*text);
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    // The client takes the block's text as it is, so characters that HTML would need to
    // escape are dropped rather than escaped; the lengths keep the reply under 1 KB.
    auto trim = [](std::string& t) {
      std::erase_if(t, [](char c) { return c == '<' || c == '>' || c == '&' || c == '\'' || c == '"'; });
      while (!t.empty() && (unsigned char)t.back() <= ' ') t.pop_back();
      if (t.size() > 300) t.resize(300);
    };
    trim(first);
    trim(second);
    if (!first.empty()) signalversion = first;
    signalmessage = second;
  }
  // Published lattices never change, so their sums may be kept for the life of the server.
  std::lock_guard<std::mutex> g(library);
  checksumcacheon = 1;
}

Project::~Project() { stop(); }

std::string Project::replypage(const std::string& summary) const {
  return "<html><body>\n<p>" + htmlescape(summary) + "</p>\n<pre id='signal'>" + signalversion +
         "\n" + signalmessage + "</pre>\n</body></html>\n";
}

std::optional<std::string> Project::activelattice(const std::string& name) {
  for (const std::string& l : store->lattices())
    if (equalnocase(l, name)) return l;
  return std::nullopt;
}

UploadOutcome Project::upload(const std::string& folder, const std::string& filename,
                              const std::string& data) {
  UploadOutcome out;
  if (!uploadfolderok(folder)) {
    out.status = 400;
    out.reply = replypage("Refused: the folder must name a version, as v4.4x.");
    return out;
  }
  std::string user = uploaduser(filename);
  std::vector<std::string> active = store->lattices();
  std::vector<StoredResult> kept;
  auto reject = [&](const char* why) { out.rejected[why]++; };
  {
    std::lock_guard<std::mutex> g(library);
    Capture capture;
    std::vector<Result> results;
    if (data.size() >= 4 && memcmp(data.data(), RESULTBINARY_MAGIC, 4) == 0) {
      ByteReader r = bytereader_memory(data.data(), data.size());
      ResultFormat fmt = {3, 6, 1, "Mpts"};
      LSet set = Results_read_Binary(&r, &fmt);
      for (uint32_t i = 0; i < set.count; i++) results.push_back(LSet_at<Result>(set, i));
      LSet_free(set);  // the results' texts now belong to `results`
    } else {
      FILE* f = platform_memfile(data.data(), data.size());
      if (f) {
        for (Result r; (r = Result_read(f, nullptr, nullptr, 1)).text;) results.push_back(r);
        fclose(f);
      }
      // Result_read drops results of old or missing versions itself, with a warning each.
      int old = capture.containing("Result version");
      if (old) out.rejected["version"] += old;
    }
    const int64_t now = (int64_t)platform_walltime();
    for (Result r : results) {
      std::optional<std::string> name = Result_lattice(r);
      std::optional<std::string> lattice;
      if (name)
        for (const std::string& l : active)
          if (equalnocase(l, *name)) lattice = l;
      if (startsnocase(r.text, "test")) reject("test");
      else if (exchange_rankline(r.text)) reject("rank");
      else if (!allfinite(r)) reject("non-finite");
      else if (Result_ver(r) < 4.3f) reject("version");
      else if (!lattice) reject("unknown lattice");
      else if (Result_valid(r, nullptr, ordaxchecksum, 0) != 1) reject("check value");
      else {
        StoredResult s;
        s.lattice = *lattice;
        s.genome = r.genome;
        // The binary form gives lines back with a trailing blank that the text form drops.
        s.line = r.text;
        while (!s.line.empty() && (unsigned char)s.line.back() <= ' ') s.line.pop_back();
        s.score = r.score;
        s.runs = Result_runs(r);
        s.user = user;
        s.received = now;
        s.key = resultkey(*lattice, r.genome, s.line);
        kept.push_back(std::move(s));
      }
      Result_free(r);
    }
  }
  // A result above its lattice's accepted best waits for verification (when there is a
  // verifier); the others enter at once.
  std::map<std::string, std::optional<double>> bests;
  for (StoredResult& s : kept) {
    if (!bests.count(s.lattice)) {
      double b = 0;
      bests[s.lattice] = store->best(s.lattice, &b) ? std::optional<double>(b) : std::nullopt;
    }
    const std::optional<double>& b = bests[s.lattice];
    s.state = !config.client.empty() && (!b || s.score > *b) ? RESULT_HELD : RESULT_ACCEPTED;
  }
  bool transient = false;
  int inserted = kept.empty() ? 0 : store->add(&kept, &transient);
  if (inserted < 0) {
    out.status = transient ? 503 : 500;
    out.accepted = out.held = 0;
    out.reply = replypage("The results could not be stored; please send them again later.");
    return out;
  }
  std::vector<std::string> touched;
  for (const StoredResult& s : kept) {
    if (!s.id) continue;
    if (s.state == RESULT_HELD) out.held++;
    else {
      out.accepted++;
      if (std::find(touched.begin(), touched.end(), s.lattice) == touched.end())
        touched.push_back(s.lattice);
    }
  }
  out.duplicates = (int)kept.size() - inserted;
  if (out.duplicates) out.rejected["duplicate"] += out.duplicates;
  for (const auto& [reason, count] : out.rejected) store->addcounter(reason, count);
  // A sample file is rewritten only when one of the new results made its top list.
  for (const std::string& l : touched) {
    bool entered = false;
    for (const StoredResult& t : store->top(l, config.samplesize))
      for (const StoredResult& s : kept)
        entered = entered || (s.id && s.id == t.id);
    if (entered) rebuildsample(l);
  }
  if (out.held) wake();
  char summary[300];
  snprintf(summary, sizeof summary,
           "Accepted %d, held for verification %d, rejected %d (duplicates %d).", out.accepted,
           out.held, out.rejectedtotal(), out.duplicates);
  std::string reasons;
  for (const auto& [reason, count] : out.rejected)
    reasons += " " + reason + ": " + std::to_string(count) + ";";
  out.reply = replypage(summary + reasons);
  return out;
}

int Project::rebuildsample(const std::string& lattice) {
  std::vector<StoredResult> top = store->top(lattice, config.samplesize);
  std::lock_guard<std::mutex> g(library);
  Capture quiet;
  fs::create_directories(fs::path(config.root) / "samplefiles");
  LSet set = LSet_new(sizeof(Result));
  for (const StoredResult& s : top) {
    Result r = {strdup(s.genome.c_str()), strdup(s.line.c_str()), s.score};
    LSet_add(&set, &r);
  }
  std::string file = (fs::path(config.root) / "samplefiles" / (lower(lattice) + "_100.bin")).string();
  int ok = Results_save_Binary(set, file.c_str());
  Results_free(set);
  return ok;
}

std::string Project::serverscsv() const {
  return config.address + "," + config.ftpuser + "," + config.ftppassword + "\n";
}

std::string Project::latticelist() {
  std::string out;
  for (const std::string& l : store->lattices()) out += l + "\n";
  return out;
}

std::optional<std::string> Project::latticefile(const std::string& name) {
  std::optional<std::string> l = activelattice(name);
  if (!l) return std::nullopt;
  return readall(fs::path(config.root) / "lattices" / (*l + ".txt"));
}

std::optional<std::string> Project::samplefile(const std::string& file) {
  const std::string tail = "_100.bin";
  if (file.size() <= tail.size() || file.compare(file.size() - tail.size(), tail.size(), tail))
    return std::nullopt;
  std::string name = file.substr(0, file.size() - tail.size());
  if (!latticenameok(name) || !activelattice(name)) return std::nullopt;
  return readall(fs::path(config.root) / "samplefiles" / (lower(name) + tail));
}

int Project::publish(const std::string& path, std::string* message) {
  fs::path p(path);
  std::string name = p.stem().string();
  if (p.extension() != ".txt" || !latticenameok(name)) {
    *message = "A lattice file is NAME.txt, the name of letters, digits, '_' and '-'";
    return -1;
  }
  std::optional<std::string> text = readall(p);
  if (!text) {
    *message = "Cannot read " + path;
    return -1;
  }
  fs::path dir = fs::path(config.root) / "lattices";
  fs::create_directories(dir);
  // Check values depend on the lattice file's bytes: a published name never changes.
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string stem = e.path().stem().string();
    if (e.path().extension() != ".txt" || !equalnocase(stem, name)) continue;
    if (readall(e.path()) != text) {
      *message = "Lattice " + stem +
                 " is published with other contents and cannot change; publish the changed "
                 "design under a new name";
      return -1;
    }
    name = stem;
  }
  if (!fs::exists(dir / (name + ".txt")) && !writeatomic(dir / (name + ".txt"), *text)) {
    *message = "Cannot write the lattice file";
    return -1;
  }
  if (!store->publish(name, (int64_t)platform_walltime())) {
    *message = "The store failed";
    return -1;
  }
  *message = "Published " + name;
  return 0;
}

int Project::retire(const std::string& name, std::string* message) {
  if (!store->retire(name)) {
    *message = "No published lattice " + name;
    return -1;
  }
  *message = "Retired " + name;
  return 0;
}

std::string Project::statuspage() {
  std::string h =
      "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Ordax project status</title>"
      "<link rel='icon' href='data:,'>"
      "<style>body{font-family:sans-serif;margin:20px}table{border-collapse:collapse;"
      "margin:8px 0 20px}th{background:#2040a0;color:#fff}th,td{border:1px solid #999;"
      "padding:3px 8px;text-align:left}td.g{font-family:monospace;font-size:11px}</style>"
      "</head><body>\n<h1>Ordax project status</h1>\n";
  std::vector<LatticeStats> stats = store->latticestats();
  h += "<h2>Lattices</h2>\n<table id='lattices'><tr><th>Lattice</th><th>Best score</th>"
       "<th>Results</th><th>Contributors</th><th>Awaiting verification</th></tr>\n";
  for (const LatticeStats& s : stats)
    h += "<tr><td>" + htmlescape(s.name) + "</td><td>" + (s.results ? fmt(s.best) : "-") +
         "</td><td>" + std::to_string(s.results) + "</td><td>" + std::to_string(s.contributors) +
         "</td><td>" + std::to_string(s.held) + "</td></tr>\n";
  h += "</table>\n";
  for (const LatticeStats& s : stats) {
    h += "<h2>" + htmlescape(s.name) + "</h2>\n";
    std::vector<std::pair<int64_t, double>> points;
    for (const StoredResult& r : store->history(s.name)) points.emplace_back(r.received, r.score);
    h += bestplotsvg(points, 600, 220) + "\n";
    h += "<table class='top'><tr><th>#</th><th>Score</th><th>Runs</th><th>User</th>"
         "<th>Genome</th></tr>\n";
    int n = 0;
    for (const StoredResult& r : store->top(s.name, 10))
      h += "<tr><td>" + std::to_string(++n) + "</td><td>" + fmt(r.score) + "</td><td>" +
           std::to_string(r.runs) + "</td><td>" + htmlescape(r.user) + "</td><td class='g'>" +
           htmlescape(r.genome) + "</td></tr>\n";
    h += "</table>\n";
  }
  h += "<h2>Contributors</h2>\n<table id='users'><tr><th>User</th><th>Accepted</th>"
       "<th>Awaiting verification</th><th>Rejected</th></tr>\n";
  for (const UserStats& u : store->userstats())
    h += "<tr><td>" + htmlescape(u.user) + "</td><td>" + std::to_string(u.accepted) +
         "</td><td>" + std::to_string(u.held) + "</td><td>" + std::to_string(u.rejected) +
         "</td></tr>\n";
  h += "</table>\n<h2>Refused results</h2>\n<table id='refused'><tr><th>Reason</th>"
       "<th>Count</th></tr>\n";
  for (const auto& [reason, count] : store->counters())
    h += "<tr><td>" + htmlescape(reason) + "</td><td>" + std::to_string(count) + "</td></tr>\n";
  return h + "</table>\n</body></html>\n";
}
