// The exchange with the project's servers (see exchange.h).
//
// An upload never touches "results.txt" before its outcome is known. It re-reads the file,
// writes the results it keeps as the upload pair "<base>.txt"/"<base>.bin" and the part it did
// not read (an HTTP upload sends at most about 400,000 bytes at a time) as "<base>.rest", sends
// the smaller form, and only after the server accepted it moves "<base>.rest" over the file.
// A failure deletes the pair and leaves the file as it was; a kill in between leaves the pair,
// which exchange_recover folds back at the next start.
//
// State: the settings given by the program, and the hosts whose download failed (not asked
// again for an hour).
#include "net/exchange.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/files.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/report.h"
#include "base/text.h"
#include "base/version.h"
#include "language/genome.h"
#include "lattice/latticefiles.h"
#include "net/ftp.h"
#include "net/http.h"
#include "results/binary.h"
#include "results/checkval.h"

namespace {

ExchangeSettings current;
std::map<std::string, int64_t> failedhosts;  // host → platform_msclock() of the failure
bool toldnoftp = false;                      // the missing FTP client was reported

constexpr int64_t kRetryHostMs = 3600 * 1000;
constexpr uint64_t kPartialBytes = 400000;   // an HTTP upload sends about this much at a time
constexpr size_t kMaxLatticeBytes = 1 << 20;
constexpr int kAttempts = 10;
constexpr float kMinVersion = 4.3f;          // oldest version whose results are kept

std::string lower(std::string s) {
  for (char& c : s) c = (char)lc((unsigned char)c);
  return s;
}

// Trailing white space and control characters removed.
std::string trimend(std::string s) {
  while (!s.empty() && (unsigned char)s.back() <= 32) s.pop_back();
  return s;
}

void box(const char* text, const char* title, int blocking) {
  if (current.messagebox) current.messagebox(text, title, blocking);
  else platform_messagebox(text, title);
}

bool stopped() {
  return simstop == 2;
}

// ---- download helpers ----

std::string hostof(const char* url) {
  HttpUrl u;
  if (!http_spliturl(url, &u)) return "";
  return lower(u.host) + ":" + std::to_string(u.port);
}

bool hostresting(const std::string& host) {
  auto it = failedhosts.find(host);
  if (it == failedhosts.end()) return false;
  if (platform_msclock() - it->second < kRetryHostMs) return true;
  failedhosts.erase(it);
  return false;
}

// A failure of the connection itself (not of one file on a working server).
bool transportfailure(HttpFailure why) {
  return why == HTTP_CONNECT || why == HTTP_SEND || why == HTTP_TIMEOUT || why == HTTP_RESET ||
         why == HTTP_SHORT;
}

// A page from a web server in the way (a captive portal, an error page sent with 200).
bool lookslikemarkup(const std::string& body) {
  size_t i = 0;
  while (i < body.size() && (unsigned char)body[i] <= 32) i++;
  if (i + 1 < body.size() && (unsigned char)body[i] == 0xef) i += 3;  // UTF-8 mark
  return startsnocase(std::string_view(body).substr(std::min(i, body.size())), "<!doctype") ||
         startsnocase(std::string_view(body).substr(std::min(i, body.size())), "<html") ||
         startsnocase(std::string_view(body).substr(std::min(i, body.size())), "<?xml");
}

std::vector<std::string> linesof(const std::string& body) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find_first_of("\r\n", start);
    if (end == std::string::npos) end = body.size();
    lines.push_back(trimend(body.substr(start, end - start)));
    start = end + (body.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
  return lines;
}

std::vector<std::string> fieldsof(const std::string& line) {
  return explode(",", trimend(line));
}

bool usableserverline(const std::string& line) {
  std::vector<std::string> f = fieldsof(line);
  return f.size() >= 3 && exchange_serverfield_ok(f[0]) && exchange_serverfield_ok(f[1]) &&
         exchange_serverfield_ok(f[2]);
}

// The results of a results text (or binary) body that validate, read with warnings held back.
// The validity is the one every loaded result passes (a version of 4.3 or later), with the
// check value verified where the lattice is present when `check` is given.
LSet readresultsquietly(FILE* f, bool binary, const ResultFormat* fmt, int* dropped) {
  report_holdwarnings(true);
  LSet set = LSet_new(sizeof(Result));
  if (binary) {
    set = (LSet_free(set), Results_read_Binary(f, fmt));
  } else {
    for (;;) {
      Result r = Result_read(f, nullptr, nullptr, 1);
      if (!r.text) break;
      LSet_add(&set, &r);
    }
  }
  int held = report_holdwarnings(false);
  if (dropped) *dropped = held;
  return set;
}

int countresults(const std::string& body, bool binary) {
  FILE* f = platform_memfile(body.data(), body.size());
  if (!f) return 0;
  LSet set = readresultsquietly(f, binary, &current.format, nullptr);
  fclose(f);
  int n = (int)set.count;
  Results_free(set);
  return n;
}

bool validbody(const std::string& body, ExchangeKind kind, const std::string& target) {
  if (body.empty() || lookslikemarkup(body)) return false;
  bool hasnul = memchr(body.data(), 0, body.size()) != nullptr;
  switch (kind) {
    case FILE_ANY:
      return true;
    case FILE_SERVERLIST:
      if (hasnul) return false;
      for (const std::string& l : linesof(body))
        if (usableserverline(l)) return true;
      return false;
    case FILE_LATTICELIST: {
      if (hasnul) return false;
      bool one = false;
      for (const std::string& l : linesof(body)) {
        if (!l.empty() && l[0] == '<') return false;
        one = one || exchange_latticename_ok(l.c_str());
      }
      return one;
    }
    case FILE_LATTICE:
      return !hasnul && body.size() < kMaxLatticeBytes;
    case FILE_SAMPLE:
      return countresults(body, endswith(lower(target), ".bin")) > 0;
  }
  return false;
}

bool writewhole(const std::string& path, const std::string& body) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(body.data(), 1, body.size(), f) == body.size();
  ok = platform_syncfile(f) && ok;
  ok = fclose(f) == 0 && ok;
  if (!ok) platform_remove(path.c_str());
  return ok;
}

// ---- upload helpers ----

std::string datetime(const char* datefmt, const char* timefmt) {
  PlatformTime t = platform_utctime(platform_walltime());
  char d[32], h[32];
  snprintf(d, sizeof d, datefmt, t.year, t.month, t.day);
  snprintf(h, sizeof h, timefmt, t.hour, t.minute, t.second);
  return std::string(d) + "-" + h;
}

std::string uploadbase(const char* user) {
  srand15(platform_tickcount());
  std::string base = datetime("%04d%02d%02d", "%02d%02d%02d") + "-";
  for (int i = 0; i < 5; i++) base += randomchar();
  return base + "-" + exchange_uploaduser(user);
}

// "yyyyMMdd-HHmmss-XXXXX-" at the start of a file name: an upload pair's.
bool isuploadname(const std::string& name) {
  if (name.size() < 23) return false;
  for (int i = 0; i < 23; i++) {
    char c = name[i];
    bool ok = (i == 8 || i == 15 || i == 21) ? c == '-'
              : i < 15                        ? isdigitc(c)
                                              : (isdigitc(c) || (lc(c) >= 'a' && lc(c) <= 'z'));
    if (!ok) return false;
  }
  return true;
}

// The key under which equivalent results (Result_equivalent) always meet: the genome's genes
// in name order and the lattice name in lower case.
std::string resultkey(Result r) {
  Genome g = Result_genome(r, 1);
  std::vector<std::pair<std::string, int32_t>> genes;
  for (int i = 0; i < g.count; i++) genes.emplace_back(g.names[i], g.values[i]);
  Genome_free(g);
  std::sort(genes.begin(), genes.end());
  std::string key;
  for (const auto& gv : genes) key += gv.first + "=" + std::to_string(gv.second) + ";";
  std::optional<std::string> l = Result_lattice(r);
  return key + "<" + (l ? lower(*l) : std::string("\x01")) + ">";
}

// Results already kept, found by key; a bucket holds the results with one key.
struct KeptResults {
  std::unordered_map<std::string, std::vector<Result>> buckets;
  bool contains(Result r, const std::string& key) const {
    auto it = buckets.find(key);
    if (it == buckets.end()) return false;
    for (const Result& k : it->second)
      if (Result_equivalent(k, r)) return true;
    return false;
  }
};

// The check value of a result read for upload: 1 it verifies (or cannot be verified because
// its lattice is not here), 0 it is missing or wrong. Reports nothing.
int checkvalueok(Result r) {
  if (startsnocase(r.text, "TEST")) return 1;
  CheckVal stored = Result_chk(r);
  if (!stored.bytes) return 0;
  int ok = 1;
  std::optional<std::string> name = Result_lattice(r);
  if (name && lattice_exists(name->c_str())) {
    CheckVal expected = ordaxchecksum(r);
    ok = CheckVal_equals(expected, stored);
    CheckVal_free(expected);
  }
  CheckVal_free(stored);
  return ok;
}

bool copyrest(FILE* from, const std::string& to) {
  FILE* out = fopen(to.c_str(), "wb");
  if (!out) return false;
  char buf[65536];
  size_t n;
  bool ok = true;
  while ((n = fread(buf, 1, sizeof buf, from)) > 0) ok = fwrite(buf, 1, n, out) == n && ok;
  ok = !ferror(from) && ok;
  ok = platform_syncfile(out) && ok;
  return fclose(out) == 0 && ok;
}

bool appendfile(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "ab");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = platform_syncfile(f) && ok;
  return fclose(f) == 0 && ok;
}

// The server's signal: the newest version and a message. Shown when the version is newer.
void takesignal(const std::string& text) {
  std::vector<std::string> lines = linesof(text);
  std::string version = lines.size() > 0 ? lines[0].substr(0, 99) : "";
  std::string message = lines.size() > 1 ? lines[1].substr(0, 999) : "";
  version = trimend(reportsafe(version));
  message = trimend(reportsafe(message));
  if (current.latestversion) snprintf(current.latestversion, 100, "%s", version.c_str());
  if (current.servermessage) snprintf(current.servermessage, 1000, "%s", message.c_str());
  if (strnullcmpi(version.c_str(), ORDAX_VERSION) > 0 && current.noticeshown) {
    char notice[1400];
    snprintf(notice, sizeof notice,
             "New version %s is available from the website!  (You are using version %s)\n%s",
             version.c_str(), ORDAX_VERSION, message.c_str());
    box(notice, "Ordax Message: New version", current.noticeblocking ? 1 : 0);
  }
}

// The part of an HTTP reply page between "<pre id='signal'>" and "</pre>", if there is one.
bool signalofpage(const std::string& page, std::string* out) {
  const std::string open = "<pre id='signal'>";
  size_t a = page.find(open);
  if (a == std::string::npos) return false;
  a += open.size();
  size_t b = page.find("</pre>", a);
  *out = page.substr(a, b == std::string::npos ? std::string::npos : b - a);
  return true;
}

// One FTP upload of `uploadfile` (a name in the program's directory). Success needs the
// server's acceptance of the put in the transcript and the test file's round trip.
bool ftpupload(const std::string& uploadfile, const std::string& folder, const char* host,
               const char* user, const char* password, std::string* signal) {
  platform_mkdir("testfiles");
  std::string testname = "testfile_";
  for (int i = 0; i < 11; i++) testname += (char)('a' + rand15() % 26);
  testname += ".txt";
  std::string localtest = "testfiles/" + testname;
  if (!writewhole(localtest, "Test\n")) {
    report("Test file could not be created - check permissions");
    return false;
  }
  std::string script;
  std::string cwd = platform_getcwd();
  if (!ftp_script(host, user, password, current.passiveftp, cwd, folder, uploadfile, testname,
                  &script)) {
    report("Server or folder name cannot be written into an FTP script");
    platform_remove(localtest.c_str());
    platform_removedir("testfiles");
    return false;
  }
  FtpCommand cmd = ftp_command(current.ftpcommand, current.oldftp);
  // The script goes where the command reads it, made for this user only.
  std::string scriptpath = cmd.input == "/dev/null" ? "script.ftp" : cmd.input;
  bool written = platform_writeprivate(scriptpath.c_str(), script);
  bool ok = false;
  if (!written) {
    report("Could not write FTP script file - check permissions");
  } else {
    int64_t timeoutms = (int64_t)(filesize(uploadfile.c_str()) / 1024) * 1000 + current.ftpbasems;
    platform_remove("signal.dat");
    FtpOutcome o = ftp_run(cmd, "ftp.log", timeoutms, stopped);
    if (o == FTP_NOPROGRAM) {
      if (!toldnoftp) report("No FTP program found, so cannot send by FTP");
      toldnoftp = true;
    } else if (o == FTP_NOSTART) {
      report("FTP process could not be started");
    } else {
      report(o == FTP_TIMEOUT ? "FTP process timed out" : "FTP process finished");
    }
    std::optional<std::string> fetched = filestring(testname.c_str(), "rb");
    std::optional<std::string> transcript = filestring("ftp.log", "rb");
    bool roundtrip = fetched && fetched->find('\n') != std::string::npos &&
                     fetched->substr(0, fetched->find('\n') + 1) == "Test\n";
    ok = (o == FTP_FINISHED) && roundtrip && transcript && ftp_putaccepted(*transcript, uploadfile);
    std::optional<std::string> sig = filestring("signal.dat", "rb");
    if (sig) *signal = *sig;
    platform_remove("signal.dat");
  }
  platform_remove(scriptpath.c_str());
  platform_remove(localtest.c_str());
  platform_remove(testname.c_str());
  for (const PlatformDirEntry& e : platform_listdir("testfiles"))
    if (!e.isdir) platform_remove(("testfiles/" + e.name).c_str());
  platform_removedir("testfiles");
  return ok;
}

}  // namespace

void exchange_takesignal(const std::string& text) {
  takesignal(text);
}

// ---- addresses ----

std::string exchange_projecturl() {
  const char* env = platform_getenv(EXCHANGE_PROJECT_ENV);
  std::string base = env && *env ? env : ORDAX_PROJECT_URL_DEFAULT;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string exchange_serverlisturl() {
  return exchange_projecturl() + "/servers.csv";
}

std::string exchange_latticelisturl() {
  return exchange_projecturl() + "/lattices/list.php";
}

std::string exchange_latticeurl(const char* name) {
  return exchange_projecturl() + "/lattices/" + name + ".txt";
}

std::string exchange_sampleurl(const char* setting) {
  std::string s = setting ? setting : "";
  const std::string def = ORDAX_PROJECT_URL_DEFAULT;
  std::string base = exchange_projecturl();
  if (base != def && s.compare(0, def.size(), def) == 0) s = base + s.substr(def.size());
  return s;
}

void exchange_configure(const ExchangeSettings& s) {
  current = s;
}

const ExchangeSettings& exchange_settings() {
  return current;
}

// ---- the pieces ----

bool exchange_latticename_ok(const char* name) {
  if (!name || !*name) return false;
  size_t n = strlen(name);
  if (n > 64) return false;
  for (size_t i = 0; i < n; i++) {
    char c = name[i];
    bool alnum = isdigitc(c) || (lc(c) >= 'a' && lc(c) <= 'z');
    if (!(alnum || (i > 0 && (c == '_' || c == '-')))) return false;
  }
  return true;
}

bool exchange_serverfield_ok(const std::string& field) {
  if (field.empty() || field[0] == '!') return false;
  for (unsigned char c : field)
    if (c <= 32 || c == 127) return false;
  return true;
}

std::string exchange_uploaduser(const char* user) {
  std::string out;
  for (const char* p = user ? user : ""; *p && out.size() < 64; p++) {
    char c = *p == ' ' ? '_' : *p;
    if (isdigitc(c) || (lc(c) >= 'a' && lc(c) <= 'z') || c == '_' || c == '.' || c == '-')
      out += c;
  }
  return out;
}

std::string exchange_versionfolder(const char* version) {
  std::string v = version ? version : "";
  for (char& c : v)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') c = '_';
  size_t dot = v.find('.');
  if (dot == std::string::npos) return v + ".0x";
  if (dot + 1 == v.size()) return v + "0x";
  return v.substr(0, dot + 2) + "x";
}

bool exchange_rankline(const char* line) {
  std::string s = line ? line : "";
  size_t a = s.find('<');
  if (a != std::string::npos) {
    size_t b = s.find('>', a + 1);
    s.erase(a, b == std::string::npos ? std::string::npos : b - a + 1);
  }
  auto wordchar = [](char c) { return isdigitc(c) || (lc(c) >= 'a' && lc(c) <= 'z') || c == '_'; };
  for (size_t i = 0; i + 4 <= s.size(); i++) {
    if (!startsnocase(std::string_view(s).substr(i), "rank")) continue;
    if ((i == 0 || !wordchar(s[i - 1])) && (i + 4 == s.size() || !wordchar(s[i + 4]))) return true;
  }
  return false;
}

// ---- servers ----

bool getrandomserver(ExchangeServer* out, const std::vector<std::string>* skip) {
  FILE* f = fopen("servers.csv", "rb");
  if (!f) return false;
  std::vector<std::vector<std::string>> usable;
  int lines = 0;
  while (std::optional<std::string> line = fgetline(f)) {
    if (++lines > 100000) break;
    if (!usableserverline(*line)) continue;
    std::vector<std::string> f = fieldsof(*line);
    if (!skip || std::find(skip->begin(), skip->end(), f[0]) == skip->end()) usable.push_back(f);
  }
  fclose(f);
  if (usable.empty()) return false;
  int r1 = rand15(), r2 = rand15();
  size_t i = (size_t)((r2 + r1 * 3.0517578125e-5) * (double)usable.size() * 3.0517578125e-5);
  if (i >= usable.size()) i = usable.size() - 1;
  if (out) *out = {usable[i][0], usable[i][1], usable[i][2]};
  return true;
}

// ---- upload ----

int exchange_recover(const char* file) {
  int folded = 0;
  std::vector<PlatformDirEntry> entries = platform_listdir(".");
  for (const PlatformDirEntry& e : entries) {
    if (e.isdir || !isuploadname(e.name) || !endswith(e.name, ".txt")) continue;
    std::string base = e.name.substr(0, e.name.size() - 4);
    // Results of the pair that the file no longer holds go back into it.
    LSet present = LSet_new(sizeof(Result));
    if (FILE* f = fopen(file, "rb")) {
      present = (LSet_free(present), readresultsquietly(f, false, nullptr, nullptr));
      fclose(f);
    }
    KeptResults kept;
    for (uint32_t i = 0; i < present.count; i++) {
      Result r = LSet_at<Result>(present, i);
      kept.buckets[resultkey(r)].push_back(r);
    }
    std::string back;
    int n = 0;
    if (FILE* f = fopen(e.name.c_str(), "rb")) {
      LSet pair = readresultsquietly(f, false, nullptr, nullptr);
      fclose(f);
      for (uint32_t i = 0; i < pair.count; i++) {
        Result r = LSet_at<Result>(pair, i);
        if (kept.contains(r, resultkey(r))) continue;
        appendf(&back, "%s\r\n%s\r\n", r.genome, r.text);
        n++;
      }
      Results_free(pair);
    }
    Results_free(present);
    if (n > 0 && !appendfile(file, back)) continue;  // keep the pair for the next start
    folded += n;
    platform_remove((base + ".bin").c_str());
    platform_remove((base + ".rest").c_str());
    platform_remove(e.name.c_str());
  }
  // A remainder or binary form whose pair text is gone belongs to an upload that was settled
  // (the text is removed first) or given up: the remainder was moved or is a leftover copy of
  // the file's tail, and the binary form holds only results that were sent or are still in
  // the file.
  for (const PlatformDirEntry& e : entries) {
    if (e.isdir || !isuploadname(e.name)) continue;
    size_t ext = endswith(e.name, ".rest") ? 5 : endswith(e.name, ".bin") ? 4 : 0;
    if (ext && !fileexists((e.name.substr(0, e.name.size() - ext) + ".txt").c_str()))
      platform_remove(e.name.c_str());
  }
  if (folded) reportf("%d results of an interrupted upload put back into '%s'", folded, file);
  return folded;
}

int sendresultsserver(const char* file, const char* user, char interactive, const char* host,
                      const char* ftpuser, const char* ftppassword, const char* path) {
  (void)interactive;
  const std::string base = uploadbase(user);
  const std::string txtname = base + ".txt", binname = base + ".bin", restname = base + ".rest";
  FILE* in = fopen(file, "rb");
  if (!in) {
    char text[700];
    snprintf(text, sizeof text, "Ordax reports that '%s' does not exist.\nNo results to send!",
             file);
    box(text, "Existential Crisis", 1);
    return 255;
  }

  // Re-read the file: keep the results whose check value holds, once each, and not those
  // held back by a RANK mark.
  report("Reparsing results...");
  FILE* txt = fopen(txtname.c_str(), "wb");
  if (!txt) {
    fclose(in);
    report("Upload file could not be created - check permissions");
    return 0;
  }
  unsigned char cachewas = checksumcacheon;
  checksumcacheon = 1;
  report_holdwarnings(true);
  LSet kept = LSet_new(sizeof(Result));
  KeptResults seen;
  std::string rejected;
  int nrejected = 0;
  bool partial = false, ok = true;
  uint64_t written = 0;
  for (;;) {
    Result r = Result_read(in, nullptr, nullptr, 1);
    if (!r.text) break;
    if (exchange_rankline(r.text)) {
      Result_free(r);
      continue;
    }
    if (!checkvalueok(r)) {
      appendf(&rejected, "%s\r\n%s\r\n", r.genome, r.text);
      nrejected++;
      Result_free(r);
      continue;
    }
    std::string key = resultkey(r);
    if (seen.contains(r, key)) {
      Result_free(r);
      continue;
    }
    std::string lines = std::string(r.genome) + "\r\n" + r.text + "\r\n";
    ok = fwrite(lines.data(), 1, lines.size(), txt) == lines.size() && ok;
    written += lines.size();
    LSet_add(&kept, &r);
    seen.buckets[key].push_back(r);
    if (kept.count % 100 == 0) reportupdatef("Reparsing results... %u", kept.count);
    if (current.uploadhttp && written > kPartialBytes) {
      partial = true;
      break;
    }
  }
  report_holdwarnings(false);
  checksumcacheon = cachewas;
  reportupdatef("Reparsing results... Done (%u)", kept.count);
  ok = platform_syncfile(txt) && ok;
  ok = fclose(txt) == 0 && ok;
  ok = copyrest(in, restname) && ok;  // empty when everything was read
  fclose(in);

  // The binary form, when it can hold these results.
  bool havebin = false;
  if (ok && kept.count > 0) {
    if (FILE* bin = fopen(binname.c_str(), "wb")) {
      report_holdwarnings(true);
      havebin = Results_write_Binary(kept, bin) == 1;
      report_holdwarnings(false);
      havebin = fclose(bin) == 0 && havebin;
    }
  }
  const uint32_t count = kept.count;
  seen.buckets.clear();
  Results_free(kept);

  auto cleanup = [&]() {
    platform_remove(txtname.c_str());
    platform_remove(binname.c_str());
    platform_remove(restname.c_str());
  };
  if (!ok) {
    report("Upload file could not be written - check permissions");
    cleanup();
    return 0;
  }

  bool sent;
  std::string signal;
  bool havesignal = false;
  if (count == 0) {
    sent = true;  // nothing worth sending; only the file is settled below
  } else {
    bool usebin = havebin && filesize(binname.c_str()) <= filesize(txtname.c_str());
    if (!usebin) platform_remove(binname.c_str());
    const std::string& upload = usebin ? binname : txtname;
    const std::string folder = exchange_versionfolder(ORDAX_VERSION);
    if (current.uploadhttp) {
      std::string reply, statusline;
      std::string url = std::string("http://") + host + path;
      sent = httppostfile(upload.c_str(), (folder + "/" + upload).c_str(), url.c_str(), &reply,
                          &statusline, "Ordax") == 1;
      if (sent) havesignal = signalofpage(reply, &signal);
      if (!statusline.empty()) report(statusline.c_str());
    } else {
      sent = ftpupload(upload, folder, host, ftpuser, ftppassword, &signal);
      havesignal = !signal.empty();
    }
  }
  if (!sent) {
    cleanup();
    return 0;
  }

  // Accepted: the file keeps only what was not read, and the rejected results leave it.
  if (nrejected > 0 && appendfile("results_rejected.txt", rejected))
    reportf("%d results not uploaded: missing or bad check value", nrejected);
  if (partial) {
    platform_rename(restname.c_str(), file);
  } else {
    platform_remove(file);
    platform_remove(restname.c_str());
  }
  platform_remove(txtname.c_str());
  platform_remove(binname.c_str());
  if (count == 0) return 1;
  if (havesignal && !partial) takesignal(signal);
  report(partial ? "Some results sent." : "Results sent.");
  std::string line = datetime("%04d%02d%02d", "%02d%02d%02d");
  line[8] = ' ';
  line = line.substr(0, 8) + "-" + line.substr(9);
  char logline[400];
  snprintf(logline, sizeof logline, "%s %u results sent to %s\n", line.c_str(), count, host);
  appendfile("sendlog.log", logline);
  return partial ? 2 : 1;
}

void trysendresults(const char* file, const char* user, char interactive) {
  report("Attempting to send results...");
  exchange_recover(file);
  freshenfromweb("servers.csv", 24, exchange_serverlisturl().c_str(), nullptr, FILE_SERVERLIST);
  FILE* f = fopen("servers.csv", "rb");
  if (!f) {
    report("Could not get servers.csv file, so cannot send");
    report("Currently offline.  Will try again later.");
    return;
  }
  fclose(f);
  ExchangeServer server;
  if (!getrandomserver(&server)) {
    report("No usable server in servers.csv, so cannot send");
    report("Currently offline.  Will try again later.");
    return;
  }
  int allowed = kAttempts;
  int r = 0;
  std::vector<std::string> failed;
  for (int attempt = 1; attempt <= allowed && !stopped(); attempt++) {
    if (attempt > 1) reportf("Retrying: attempt %d of %d", attempt, allowed);
    r = sendresultsserver(file, user, interactive, server.host.c_str(), server.ftpuser.c_str(),
                          server.ftppassword.c_str(), EXCHANGE_UPLOADPATH);
    if (r == 1) return;
    if (r == 255) {
      reportf("No '%s' to send.", file);
      return;
    }
    if (r == 2) {
      allowed += 2;
    } else {
      // A server that failed is not drawn again this time: with every one failed, stop.
      failed.push_back(server.host);
      if (!getrandomserver(&server, &failed)) break;
    }
  }
  if (r == 0) report("Currently offline.  Will try again later.");
}

int manualsend(const char* user) {
  const char* file = "results.txt";
  if (fileexists(file) && filesize(file) < 10000 && Results_infile(file, nullptr) < 10) {
    char text[300];
    snprintf(text, sizeof text,
             "The results file you are trying to send is less than %u bytes long and contains "
             "less than %u results.\nSending too many very short results files causes "
             "unnecessary load on the network.",
             10000u, 10u);
    box(text, "ManualSend: File too short", 1);
    return 1;
  }
  trysendresults(file, user, 1);
  return 0;
}

// ---- downloads ----

void exchange_forgetfailures() {
  failedhosts.clear();
  toldnoftp = false;
}

int freshenfromweb(const char* file, int hours, const char* url, const char* saveas,
                   ExchangeKind kind, bool* downloaded) {
  if (downloaded) *downloaded = false;
  std::string safeurl = reportsafe(url ? url : "");
  if (!fileexists(file)) {
    reportf("%s not present, attempting download...", reportsafe(file).c_str());
  } else {
    if (hoursfilemodified(file) <= (float)hours) return 0;
    if (hours >= 0) reportf("%s older than %d hours, attempting download...",
                            reportsafe(file).c_str(), hours);
    else reportf("Attempting to download %s...", reportsafe(file).c_str());
  }
  std::string target = saveas ? saveas : file;
  std::string host = hostof(url ? url : "");
  bool replaced = false;
  if (!host.empty() && !hostresting(host)) {
    std::string body;
    HttpFailure why = HTTP_OK;
    if (webfile(url, &body, &why)) {
      std::string tmp = target + ".tmp";
      replaced = validbody(body, kind, target) && writewhole(tmp, body) &&
                 platform_rename(tmp.c_str(), target.c_str());
      platform_remove(tmp.c_str());
    } else {
      if (why == HTTP_TIMEOUT) report("Terminating download.");
      if (transportfailure(why)) failedhosts[host] = platform_msclock();
    }
  }
  if (downloaded) *downloaded = replaced;
  if (replaced || fileexists(target.c_str())) return 1;
  reportf("Download from %s failed, will try later.", safeurl.c_str());
  return 0;
}

void latticefileupdate(int hours, char keep, const char* dir) {
  if (!freshenfromweb("latticelist.txt", hours, exchange_latticelisturl().c_str(), nullptr,
                      FILE_LATTICELIST))
    return;
  lattice_exists(LATTICE_EXISTS_RESET);
  enum State { Delete, Keep, Download };
  struct Entry {
    std::string name;
    State state;
  };
  std::vector<Entry> entries;
  for (const std::string& n : getlatticeshere(dir)) entries.push_back({n, keep ? Keep : Delete});
  FILE* f = fopen("latticelist.txt", "rb");
  if (!f) return;
  int lines = 0;
  while (std::optional<std::string> line = fgetline(f)) {
    if (++lines > 100000) break;
    std::string name = trimend(*line);
    if (!exchange_latticename_ok(name.c_str())) continue;  // also every name beginning with '_'
    bool found = false;
    for (Entry& e : entries) {
      if (!equalnocase(e.name, name)) continue;
      if (e.state == Delete) e.state = Keep;
      found = true;
    }
    if (!found) entries.push_back({name, Download});
  }
  fclose(f);
  // Local files are never all deleted at once.
  if (std::none_of(entries.begin(), entries.end(), [](const Entry& e) { return e.state == Keep; }))
    for (Entry& e : entries)
      if (e.state == Delete) e.state = Keep;
  for (size_t i = entries.size(); i-- > 0;) {
    std::string path = std::string(dir) + "/" + entries[i].name + ".txt";
    if (entries[i].state == Download) {
      freshenfromweb(path.c_str(), -1, exchange_latticeurl(entries[i].name.c_str()).c_str(),
                     nullptr, FILE_LATTICE);
    } else if (entries[i].state == Delete) {
      platform_remove(path.c_str());
    }
  }
  lattice_exists(LATTICE_EXISTS_RESET);
}

void samplefileupdate(const char* url, const char* file, int hours) {
  std::string u = url ? url : "";
  if (u.size() < 3) report("[WARNING] Bad or no sample file URL specified");
  platform_mkdir("samplefiles");
  bool accumulate = uc(current.samplebehaviour) == 'A';
  std::string target = std::string(file) + (accumulate ? ".tmp" : "");
  if (u.size() >= 3 && target.size() >= 3)
    target = target.substr(0, target.size() - 3) + u.substr(u.size() - 3);
  bool downloaded = false;
  freshenfromweb(file, hours, u.c_str(), target.c_str(), FILE_SAMPLE, &downloaded);
  if (!downloaded) return;
  bool binary = endswith(lower(target), ".bin");
  if (!accumulate && !binary && target == file) {
    // Kept as downloaded unless some of it does not validate.
    FILE* f = fopen(file, "rb");
    int dropped = 0;
    LSet set = f ? readresultsquietly(f, false, nullptr, &dropped) : LSet_new(sizeof(Result));
    if (f) fclose(f);
    if (dropped > 0) Results_save(set, file, 0);
    Results_free(set);
    return;
  }
  if (!accumulate) report("Converting newly-downloaded sample results...");
  else report("Merging newly-downloaded sample results...");
  FILE* f = fopen(target.c_str(), "rb");
  LSet got = f ? readresultsquietly(f, binary, &current.format, nullptr) : LSet_new(sizeof(Result));
  if (f) fclose(f);
  if (!accumulate) {
    if (got.count > 0) Results_save(got, file, 0);
  } else {
    std::unordered_set<std::string> have;
    if (FILE* e = fopen(file, "rb")) {
      LSet old = readresultsquietly(e, false, nullptr, nullptr);
      fclose(e);
      for (uint32_t i = 0; i < old.count; i++) {
        Result r = LSet_at<Result>(old, i);
        have.insert(lower(r.genome) + "\n" + lower(trimend(r.text)));
      }
      Results_free(old);
    }
    std::string add;
    for (uint32_t i = 0; i < got.count; i++) {
      Result r = LSet_at<Result>(got, i);
      if (have.insert(lower(r.genome) + "\n" + lower(trimend(r.text))).second)
        appendf(&add, "%s\r\n%s\r\n", r.genome, r.text);
    }
    if (!add.empty()) appendfile(file, add);
  }
  Results_free(got);
  platform_remove(target.c_str());
}

void samplefilesupdate(const char* urltemplate, int hours) {
  std::string tmpl = exchange_sampleurl(urltemplate);
  if (tmpl.find("{lattice}") == std::string::npos) {
    report("[WARNING] Sample files URL does not contain {lattice}, none downloaded");
    return;
  }
  std::vector<std::string> names =
      current.latticenames ? current.latticenames() : getlatticeshere("lattices");
  for (const std::string& name : names) {
    if (stristr(name.c_str(), "_nosample")) continue;
    if (stopped()) return;
    std::string url = sreplace(tmpl.c_str(), "{lattice}", lower(name).c_str());
    samplefileupdate(url.c_str(), ("samplefiles/" + name + ".txt").c_str(), hours);
  }
  if (current.deleteoldsamples) {
    for (const PlatformDirEntry& e : platform_listdir("samplefiles")) {
      if (e.isdir || !endswith(e.name, ".txt")) continue;
      std::string n = e.name.substr(0, e.name.size() - 4);
      bool wanted = false;
      for (const std::string& name : names) wanted = wanted || equalnocase(name, n);
      if (!wanted) platform_remove(("samplefiles/" + e.name).c_str());
    }
  }
}
