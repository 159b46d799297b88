// The settings store and ordaxconfig(): reading, migrating, completing and rewriting
// "config.txt", and turning its values into the run settings of shell/runstate.h. See config.h.
// Numbers are read with saturating integer parsing (never undefined on overflow) and every run
// setting is brought into a range the rest of the program can use; where a value had to be
// changed the sound value is written back, so the file shows what the client uses.
#include "shell/config.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "language/genome.h"
#include "net/exchange.h"
#include "net/http.h"
#include "results/optimiser.h"
#include "shell/report.h"
#include "shell/runstate.h"

const char* const ORDAX_SAMPLEURL_DEFAULT = EXCHANGE_SAMPLEURL_DEFAULT;

namespace {

inline bool isws(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trimmed(const char* begin, const char* end) {
  while (begin < end && isws(*begin)) begin++;
  while (end > begin && isws(end[-1])) end--;
  return std::string(begin, end);
}

// atoi without its undefined overflow: white space, sign, digits; the same result as atoi for
// every value that fits, INT_MAX / INT_MIN beyond.
int safeatoi(const char* s) {
  if (!s) return 0;
  while (isws(*s)) s++;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    v = v * 10 + (*s - '0');
    if (v > (long long)INT_MAX + 1) v = (long long)INT_MAX + 1;
  }
  if (neg) v = -v;
  return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

int findlast(const ConfigStore& store, const char* key, bool exact) {
  for (int i = (int)store.entries.size() - 1; i >= 0; i--) {
    const std::string& k = store.entries[i].key;
    if (exact ? equalnocase(k, key) : startsnocase(k, key)) return i;
  }
  return -1;
}

template <class T, class Convert>
void getvector(const ConfigStore& store, const char* prefix, T* out, unsigned max, unsigned* n,
               Convert convert) {
  const char* v = configget(store, prefix);
  if (!v) {
    if (n) *n = 0;
    return;
  }
  std::vector<std::string> pieces = explode(",", v);
  if (n) *n = (unsigned)pieces.size();
  for (unsigned i = 0; i < pieces.size() && i < max; i++) out[i] = convert(pieces[i].c_str());
}

template <class T>
void setvector(ConfigStore* store, const char* key, const T* values, unsigned n,
               const char* format) {
  std::string text;
  char buf[64];
  for (unsigned i = 0; i < n; i++) {
    if (i) text += ',';
    snprintf(buf, sizeof buf, format, values[i]);
    text += buf;
  }
  configset(store, key, text.c_str());
}

// Waits between tries to read the settings; a quit signal ends the wait early.
void retrywait(uint32_t ms) {
  platform_waitkey(ms, false);
}
void (*retrysleep)(uint32_t) = retrywait;

}  // namespace

// ---- the store ----

ConfigStore confignew() {
  return ConfigStore{};
}

ConfigStore configload(const char* path, char separator, int* openerror) {
  ConfigStore store;
  errno = 0;
  FILE* f = fopen(path, "rb");
  if (!f) {
    if (openerror) *openerror = errno ? errno : EIO;
    return store;
  }
  bool first = true;
  while (std::optional<std::string> line = fgetline(f)) {
    const char* s = line->c_str();
    const char* end = s + line->size();
    // A byte-order mark that some editors put before the first key is not part of it.
    if (first && line->compare(0, 3, "\xEF\xBB\xBF") == 0) s += 3;
    first = false;
    const char* sep = (const char*)memchr(s, separator, (size_t)(end - s));
    if (!sep) continue;
    store.entries.push_back(ConfigEntry{trimmed(s, sep), trimmed(sep + 1, end)});
  }
  int err = ferror(f) ? (errno ? errno : EIO) : 0;
  fclose(f);
  if (openerror) *openerror = err;
  return store;
}

int configsave(const ConfigStore& store, const char* path, char separator) {
  // Through a new file renamed over the old one (where a link leads, the link kept): a kill
  // at any moment leaves the old settings or the new ones, never an empty file.
  std::string target = platform_linkedpath(path);
  std::string temp = target + ".new";
  FILE* f = fopen(temp.c_str(), "wb");
  bool ok = f != nullptr;
  if (f) {
    // Whole strings, zero bytes included, so that the file reads back as the same store.
    for (const ConfigEntry& e : store.entries) {
      std::string line = e.key + separator + ' ' + e.value + '\n';
      if (fwrite(line.data(), 1, line.size(), f) != line.size()) ok = false;
    }
    if (!platform_syncfile(f)) ok = false;
    if (fclose(f) != 0) ok = false;
    if (ok) ok = platform_rename(temp.c_str(), target.c_str());
    if (!ok) platform_remove(temp.c_str());
  }
  if (!ok) reportf("[WARNING] Could not write the settings file %s", path);
  return ok;
}

void configfree(ConfigStore* store) {
  store->entries.clear();
  store->entries.shrink_to_fit();
}

const char* configget(const ConfigStore& store, const char* prefix) {
  const ConfigEntry* best = nullptr;
  for (const ConfigEntry& e : store.entries)
    if (startsnocase(e.key, prefix) && (!best || e.key.size() <= best->key.size())) best = &e;
  return best ? best->value.c_str() : nullptr;
}

double configgetd(const ConfigStore& store, const char* prefix, double def) {
  const char* v = configget(store, prefix);
  return v ? atof(v) : def;
}

int configgeti(const ConfigStore& store, const char* prefix) {
  return safeatoi(configget(store, prefix));
}

int configgetb(const ConfigStore& store, const char* prefix) {
  const char* v = configget(store, prefix);
  if (!v) return 0;
  int c = lc((unsigned char)v[0]);
  return c == 'y' || c == 't' || c == '1';
}

void configgetiv(const ConfigStore& store, const char* prefix, int* out, unsigned max,
                 unsigned* n) {
  getvector(store, prefix, out, max, n, [](const char* s) { return safeatoi(s); });
}

void configgetfv(const ConfigStore& store, const char* prefix, float* out, unsigned max,
                 unsigned* n) {
  getvector(store, prefix, out, max, n, [](const char* s) { return (float)atof(s); });
}

void configgetdv(const ConfigStore& store, const char* prefix, double* out, unsigned max,
                 unsigned* n) {
  getvector(store, prefix, out, max, n, [](const char* s) { return atof(s); });
}

const char* configgetnth(const ConfigStore& store, const char* prefix, int k) {
  for (const ConfigEntry& e : store.entries)
    if (startsnocase(e.key, prefix) && --k == 0) return e.value.c_str();
  return nullptr;
}

int confighas(const ConfigStore& store, const char* prefix) {
  for (const ConfigEntry& e : store.entries)
    if (startsnocase(e.key, prefix)) return 1;
  return 0;
}

const char* configset(ConfigStore* store, const char* key, const char* value) {
  int i = findlast(*store, key, false);
  if (i < 0) {
    store->entries.push_back(ConfigEntry{key, value});
    i = (int)store->entries.size() - 1;
  } else {
    store->entries[i].value = value;
  }
  return store->entries[i].value.c_str();
}

const char* configsetd(ConfigStore* store, const char* key, double x) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.15lg", x);
  return configset(store, key, buf);
}

const char* configsetf(ConfigStore* store, const char* key, float x) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.7g", (double)x);
  return configset(store, key, buf);
}

const char* configseti(ConfigStore* store, const char* key, int x) {
  char buf[32];
  snprintf(buf, sizeof buf, "%d", x);
  return configset(store, key, buf);
}

const char* configsetb(ConfigStore* store, const char* name, int flag) {
  std::string key = std::string(name) + " (Y/N)";
  return configset(store, key.c_str(), flag ? "Y" : "N");
}

const char* configsetternary(ConfigStore* store, const char* name, int n) {
  std::string key = std::string(name) + " mode (0,1,2)";
  char buf[32];
  snprintf(buf, sizeof buf, "%d", n);
  return configset(store, key.c_str(), buf);
}

void configsetiv(ConfigStore* store, const char* key, const int* values, unsigned n) {
  setvector(store, key, values, n, "%d");
}

void configsetfv(ConfigStore* store, const char* key, const float* values, unsigned n) {
  std::vector<double> wide(values, values + n);
  setvector(store, key, wide.data(), n, "%.7g");
}

void configsetdv(ConfigStore* store, const char* key, const double* values, unsigned n) {
  setvector(store, key, values, n, "%.15lg");
}

void configsetAffineFrame(ConfigStore* store, const char* name, AffineFrame frame) {
  double position[3] = {frame.origin.x, frame.origin.y, frame.origin.z};
  double rotation[9];
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) rotation[i * 3 + j] = frame.M.m[i][j];
  configsetdv(store, (std::string(name) + " position").c_str(), position, 3);
  configsetdv(store, (std::string(name) + " rotation matrix").c_str(), rotation, 9);
}

AffineFrame configgetAffineFrame(const ConfigStore& store, const char* name) {
  AffineFrame frame = AffineFrame_identity();
  double position[3] = {frame.origin.x, frame.origin.y, frame.origin.z};
  double rotation[9];
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) rotation[i * 3 + j] = frame.M.m[i][j];
  configgetdv(store, (std::string(name) + " position").c_str(), position, 3, nullptr);
  configgetdv(store, (std::string(name) + " rotation matrix").c_str(), rotation, 9, nullptr);
  frame.origin = V3{position[0], position[1], position[2]};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) frame.M.m[i][j] = rotation[i * 3 + j];
  return frame;
}

void configdefault(ConfigStore* store, const char* key, const char* value) {
  if (findlast(*store, key, true) < 0) store->entries.push_back(ConfigEntry{key, value});
}

int configrename(ConfigStore* store, const char* oldkey, const char* newkey) {
  int i = findlast(*store, oldkey, true);
  if (i < 0) return 0;
  store->entries[i].key = newkey;
  return 1;
}

int configdelete(ConfigStore* store, const char* key) {
  int i = findlast(*store, key, true);
  if (i < 0) return 0;
  std::vector<ConfigEntry>& e = store->entries;
  if ((size_t)i != e.size() - 1) e[i] = std::move(e.back());
  e.pop_back();
  return 1;
}

// ---- ordaxconfig ----

namespace {

const char* const CONFIGFILE = "config.txt";

// Names of the optimiser's trial types, in the order of the ratios in RunSettings.
const char* const* const trialtypenames = TrialTypeName;
const int trialtypedefaults[NTRIALTYPES] = {0, 3, 3, 3, 3, 3, 3, 1, 3, 1, 1, 1, 1};

const char* const KEY_DAYS = "Download sample results file after a number of days (0=don't)";
const char* const KEY_HOURS =
    "Download sample results file after a number of hours (0=don't, min. 6)";

// The settings file: *status 1 read, 0 there is none, −1 it is there but could not be read
// (after retries: another program may hold it for a moment).
ConfigStore loadwithretries(int* status) {
  for (int i = 0; i <= 12; i++) {
    int err = 0;
    ConfigStore store = configload(CONFIGFILE, ':', &err);
    if (!store.entries.empty() || err == 0 || err == ENOENT) {
      *status = err == ENOENT ? 0 : 1;
      return store;
    }
    configfree(&store);
    if (simstop == 2) break;  // the user ended the program: no more waiting
    retrysleep(1u << i);
    if (simstop == 2) break;
  }
  *status = -1;
  return confignew();
}

// An old key is renamed; when the file holds it more than once, its last line is the one
// meant (as for any key given twice) and the earlier ones are dropped. Left in place, an earlier
// line would be read through the old key's shorter prefix at this start and through the new
// key at the next, so a setting could change between two starts of an unchanged file.
void migratekey(ConfigStore* c, const char* oldkey, const char* newkey) {
  int last = findlast(*c, oldkey, true);
  if (last < 0) return;
  c->entries[last].key = newkey;
  std::vector<ConfigEntry>& e = c->entries;
  for (int i = last - 1; i >= 0; i--)
    if (equalnocase(e[i].key, oldkey)) e.erase(e.begin() + i);
}

void migrateanddefault(ConfigStore* c) {
  migratekey(c, "Resolution", "Resolution (XxY or 'auto')");
  migratekey(c, "Resolution (XxY or 'auto')", "Resolution (XxY, 'auto' or 'span')");
  configdefault(c, "Resolution (XxY, 'auto' or 'span')", "auto");
  configdefault(c, "Priority for background running ([N]ormal, [L]ow, [B]ackground)", "L");
  migratekey(c, "Threads", "Threads (number or 'auto')");
  configdefault(c, "Threads (number or 'auto')", "auto");
  configdefault(c, "Auto-send results ([Y]es, [N]o)", "Y");
  configdefault(c, "Results upload method ('FTP' or 'HTTP')", "HTTP");
  migratekey(c, "Use proxy server for HTTP downloads (server,port or 'no')",
               "Use proxy server for HTTP downloads ('auto', 'no' or server,port)");
  configdefault(c, "Use proxy server for HTTP downloads ('auto', 'no' or server,port)", "auto");
  configdefault(c, "Auto-save interval (seconds; 0 for no save)", "240");
  configdefault(c, "Update lattice files from web every N hours (0=don't)", "12");
  if (findlast(*c, KEY_DAYS, true) >= 0) {
    long long d = configgeti(*c, "Download sample");
    if (d == 3) d = 1;
    long long hours = d * 24;
    configseti(c, KEY_HOURS, hours > INT_MAX ? INT_MAX : hours < INT_MIN ? INT_MIN : (int)hours);
    configdelete(c, KEY_DAYS);
  }
  configdefault(c, KEY_HOURS, "24");
  configdefault(c, "Sample file behaviour - use [L]atest only, or [A]ccumulate", "L");
  configdefault(c, "Delete sample files for old lattices", "Y");
  configdelete(c, "Sample file URL");
  configdefault(c, "Sample file URL (.bin allowed)", ORDAX_SAMPLEURL_DEFAULT);
  configdefault(c, "Results file maximum size before pruning (MB, 0 to disable)", "50");
  configdefault(c, "Keep mode ([B]est results, [F]irst, [L]atest or [R]andom)", "B");
  configdefault(c, "Keep proportion (%)", "50");
  configdefault(c, "Removed results store (or 'none')", "results_removed.dat");
  configdefault(c, "Sleep on battery power", "Y");
  configdefault(c, "CPU throttle (%)", "100");
  configdefault(c, "Preferred lattices (comma-separated list or 'none')", "none");
  std::string ratios;
  char buf[64];
  for (int i = 0; i < NTRIALTYPES; i++) {
    snprintf(buf, sizeof buf, "%s=%lg;", trialtypenames[i], (double)trialtypedefaults[i]);
    ratios += buf;
  }
  configdefault(c, "TrialType ratios", ratios.c_str());
  configdefault(c, "Particles per extra thread (limits threading overhead)", "35");
  configdefault(c, "Rechecks for best-so-far results (min. 5)", "5");
  configdefault(c, "FTP command call", "ftp -s:script.ftp");
  configdefault(c, "Use passive (PASV) mode for FTP transfers", "N");
  configdefault(c, "Use old FTP calling method (as pre-v4.34; can hang, but more compatible "
                   "with ZoneAlarm)", "N");
}

std::string valueof(const ConfigStore& c, const char* prefix) {
  const char* v = configget(c, prefix);
  return v ? v : "";
}

// "%dx%d" read without overflow; false unless both numbers are there.
bool readresolution(const char* s, int* w, int* h) {
  const char* p = skipws(s);
  if (*p == '+' || *p == '-') p++;
  if (*p < '0' || *p > '9') return false;
  *w = safeatoi(s);
  while (*p >= '0' && *p <= '9') p++;
  if (*p != 'x') return false;
  const char* q = skipws(p + 1);
  if (*q == '+' || *q == '-') q++;
  if (*q < '0' || *q > '9') return false;
  *h = safeatoi(p + 1);
  return true;
}

const int MAXTHREADS = 1024;

// Whether the text is a plain decimal number: sign, digits with at most one point, an optional
// exponent; white space around it. (No "nan", "inf", hexadecimal or trailing words.)
bool plainnumber(const char* s) {
  const char* p = skipws(s);
  if (*p == '+' || *p == '-') p++;
  bool digits = false;
  while (*p >= '0' && *p <= '9') p++, digits = true;
  if (*p == '.') {
    p++;
    while (*p >= '0' && *p <= '9') p++, digits = true;
  }
  if (!digits) return false;
  if (*p == 'e' || *p == 'E') {
    const char* e = p + 1;
    if (*e == '+' || *e == '-') e++;
    if (*e < '0' || *e > '9') return false;
    while (*e >= '0' && *e <= '9') e++;
    p = e;
  }
  return *skipws(p) == 0;
}

// A numeric setting (key beginning with `prefix`) that is not a plain number, nor the word
// `word` where one is allowed, is reported and replaced by `def` in the store, so that the
// file shows the value used and the report comes once.
void numericsetting(ConfigStore* c, const char* prefix, const char* def,
                    const char* word = nullptr) {
  const char* v = configget(*c, prefix);
  if (!v || plainnumber(v) || (word && equalnocase(trimmed(v, v + strlen(v)), word))) return;
  // The entry read is the one replaced (configset would change the last with that prefix,
  // which need not be the one configget reads).
  for (ConfigEntry& e : c->entries) {
    if (e.value.c_str() != v) continue;
    reportf("Setting \"%s\" is not a number (\"%s\"): %s is used", e.key.c_str(), v, def);
    e.value = def;
    return;
  }
}

void readrunsettings(ConfigStore* c) {
  RunSettings& s = settings;
  numericsetting(c, "Threads", "auto", "auto");
  numericsetting(c, "Auto-save", "240");
  numericsetting(c, "Rechecks", "5");
  numericsetting(c, "Download sample", "24");
  numericsetting(c, "Update lattice", "12");
  numericsetting(c, "Particles per extra thread", "35");
  numericsetting(c, "CPU throttle", "100");
  numericsetting(c, "Results file maximum size", "50");
  numericsetting(c, "Keep proportion (%)", "50");

  // Resolution: "auto" 0×0, "span" −1×−1, else width x height; anything unusable is "auto".
  std::string res = valueof(*c, "Resolution");
  int w = 0, h = 0;
  if (equalnocase(res, "span")) {
    w = h = -1;
  } else if (!equalnocase(res, "auto") && !(readresolution(res.c_str(), &w, &h) && w > 0 && h > 0)) {
    w = h = 0;
  }
  s.screenwidth = w;
  s.screenheight = h;

  switch (lc((unsigned char)valueof(*c, "Priority")[0])) {
    case 'b': s.priorityclass = 0x40, s.threadpriority = -15; break;
    case 'n': s.priorityclass = 0x20, s.threadpriority = 0; break;
    case 'l': s.priorityclass = 0x20, s.threadpriority = -2; break;
    default: s.priorityclass = 0x20, s.threadpriority = -15; break;
  }

  // Threads: 0 (or "auto") detects; below 0 means the same; more than MAXTHREADS is capped.
  int threads = configgeti(*c, "Threads");
  if (threads < 0) {
    threads = 0;
    configset(c, "Threads", "auto");
  } else if (threads > MAXTHREADS) {
    threads = MAXTHREADS;
    configseti(c, "Threads", threads);
  }
  s.threads = threads;

  s.autosend = (unsigned char)configgetb(*c, "Auto-send results");

  double autosave = configgetd(*c, "Auto-save", 240);
  if (std::isnan(autosave) || autosave < 0) {
    autosave = 240;
    configset(c, "Auto-save", "240");
  }
  s.autosaveinterval = autosave;
  if (autosave == 0) s.autosaveoff = 1;

  s.rechecks = configgeti(*c, "Rechecks");
  if (s.rechecks < 5) s.recheckoff = 1;

  int hours = configgeti(*c, "Download sample");
  if (hours >= 1 && hours <= 5) {
    hours = 6;
    configset(c, "Download sample", "6");
  } else if (hours < 0) {
    hours = 0;
    configset(c, "Download sample", "0");
  }
  s.samplehours = hours;

  int behaviour = uc((unsigned char)valueof(*c, "Sample file behaviour")[0]);
  s.samplebehaviour = behaviour ? (char)behaviour : 'L';
  s.sampleurl = valueof(*c, "Sample file URL");
  s.deleteoldsamples = (unsigned char)configgetb(*c, "Delete sample files for old lattices");

  int update = configgeti(*c, "Update lattice");
  if (update < 0) {
    update = 0;
    configset(c, "Update lattice", "0");
  }
  s.latticeupdatehours = update;

  // Proxy: "auto" undecided, "no" direct, "host,port" that proxy, anything else unchanged.
  std::string proxy = valueof(*c, "Use proxy server");
  size_t comma = proxy.find(',');
  if (equalnocase(proxy, "auto")) {
    s.proxyset = 0;
    s.proxyhost.clear();
    s.proxyport = 0;
  } else if (equalnocase(proxy, "no")) {
    s.proxyset = 1;
    s.proxyhost.clear();
    s.proxyport = 0;
  } else if (comma != std::string::npos) {
    int port = safeatoi(proxy.c_str() + comma + 1);
    s.proxyset = 1;
    s.proxyhost = trimmed(proxy.c_str(), proxy.c_str() + comma);
    s.proxyport = (uint16_t)(port >= 0 && port <= 65535 ? port : 0);
  }
  // The HTTP client decides again (an "auto" setting reads the environment anew).
  http_setproxy(s.proxyset, s.proxyhost.c_str(), s.proxyport);

  s.uploadhttp = equalnocase(valueof(*c, "Results upload method"), "HTTP");
  s.ftpcommand = valueof(*c, "FTP command").substr(0, 999);
  s.passiveftp = (unsigned char)configgetb(*c, "Use passive");
  s.oldftp = (unsigned char)configgetb(*c, "Use old FTP calling");

  Genome ratios = Genome_fromstring(configget(*c, "TrialType ratios"), 0);
  for (int i = 0; i < NTRIALTYPES; i++)
    if (ghas(&ratios, trialtypenames[i])) s.trialratios[i] = graw(&ratios, trialtypenames[i]);
  Genome_free(ratios);

  s.particlesperthread = configgeti(*c, "Particles per extra thread");
  if (s.particlesperthread < 1) s.particlesperthread = 1;
  s.preferredlattices = valueof(*c, "Preferred lattices").substr(0, 499);
  s.sleeponbattery = (unsigned char)configgetb(*c, "Sleep on battery");

  // A share of the processor: none or less makes no sense (a run would never end), so it is
  // full speed rather than the slowest.
  int throttle = configgeti(*c, "CPU throttle");
  if (throttle < 1) {
    reportf("Setting \"CPU throttle (%%)\" of %d is not a share of the processor: 100 is used",
            throttle);
    throttle = 100;
  }
  throttle = throttle > 100 ? 100 : throttle;
  s.cputhrottle = throttle;
  configseti(c, "CPU throttle", throttle);

  // Results file size limit in bytes; the 32-bit field caps it just under 2 GiB.
  double mb = configgetd(*c, "Results file maximum size", 50);
  if (std::isnan(mb)) {
    mb = 50;
    configset(c, "Results file maximum size", "50");
  } else if (mb < 0) {
    mb = 0;
    configset(c, "Results file maximum size", "0");
  }
  double bytes = std::floor(mb * 1048576.0 + 0.5);
  s.resultsmaxsize = bytes >= (double)INT32_MAX ? INT32_MAX : (int32_t)bytes;

  int keep = uc((unsigned char)valueof(*c, "Keep mode")[0]);
  if (keep == 0 || !strchr("BFLR", keep)) {
    keep = 'B';
    configset(c, "Keep mode", "B");
  }
  s.keepmode = (char)keep;

  double percent = configgetd(*c, "Keep proportion (%)", 50);
  if (std::isnan(percent)) {
    percent = 50;
    configset(c, "Keep proportion (%)", "50");
  } else if (percent < 0 || percent > 100) {
    percent = percent < 0 ? 0 : 100;
    configsetd(c, "Keep proportion (%)", percent);
  }
  s.keepproportion = (float)(percent * 0.01);

  std::string removed = valueof(*c, "Removed results store");
  s.removedstore = equalnocase(removed, "none") ? std::string() : removed;
}

}  // namespace

void ordaxconfig_setsleep(void (*sleep)(uint32_t ms)) {
  retrysleep = sleep ? sleep : retrywait;
}

void ordaxconfig() {
  int status = 0;
  ConfigStore c = loadwithretries(&status);
  if (status < 0)
    reportf("Settings file %s could not be read: default settings are used and the file is "
            "left as it is", CONFIGFILE);
  else if (status == 0)
    reportf("No settings file %s: default settings are used and written to it", CONFIGFILE);
  else if (c.entries.empty())
    reportf("Settings file %s holds no settings: default settings are used and written to it",
            CONFIGFILE);
  migrateanddefault(&c);
  readrunsettings(&c);
  // A file that could not be read is never replaced: it may hold the user's settings. One that
  // already reads as it would be written is left alone (no write, no moment of risk).
  if (status >= 0) {
    std::string text;
    for (const ConfigEntry& e : c.entries) text += e.key + ": " + e.value + "\n";
    std::optional<std::string> old = filestring(CONFIGFILE, "rb");
    if (!old || *old != text) configsave(c, CONFIGFILE, ':');
  }
  configfree(&c);
}
