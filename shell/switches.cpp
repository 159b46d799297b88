// Command-line switches: word tests on the whole command line, the start-up switches and the
// per-run switches. See switches.h. Runs a few times per process; nothing here is hot.
#include "shell/switches.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "base/platform.h"
#include "base/text.h"
#include "lattice/cell.h"
#include "lattice/latextable.h"
#include "language/genome.h"
#include "language/parser.h"
#include "results/binary.h"
#include "results/results.h"
#include "shell/config.h"
#include "shell/report.h"
#include "shell/runstate.h"

namespace {

bool isws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The machine's name (empty when there is none).
std::string rootname(const Cell* root) {
  return root && root->name ? root->name : "";
}

// The text after the first case-insensitive occurrence of `key`, or none.
const char* after(const char* commandline, const char* key) {
  const char* p = stristr(commandline, key);
  return p ? p + strlen(key) : nullptr;
}

// Whether the exact (case-sensitive) text " -R" occurs.
bool hasupper(const char* commandline, const char* text) {
  return commandline && strstr(commandline, text) != nullptr;
}

// " -r" somewhere, followed by a digit, white space or the end of the line. Returns a pointer
// to the character after the "r", or none.
const char* findrecheck(const char* commandline) {
  const char* p = commandline;
  while ((p = stristr(p, " -r"))) {
    char c = p[3];
    if (c == 0 || isws(c) || isdigit((unsigned char)c)) return p + 3;
    p += 3;
  }
  return nullptr;
}

// Whether the -r in the line is a plain one: no digits after it and no " -R".
bool plainrecheck(const char* commandline) {
  const char* r = findrecheck(commandline);
  return r && !isdigit((unsigned char)*r) && !hasupper(commandline, " -R");
}

// Opens a debugging log for appending once per process (detectswitches runs again after every
// settings reload; the log stays open).
void openlog(FILE** log, const char* name) {
  if (*log) return;
  *log = fopen(name, "a");
  if (!*log) reportf("[WARNING] Could not open '%s' for appending", name);
}

// The local date and time as "yyyyMMdd_HHmmss" (one reading of the clock).
std::string datetimestamp() {
  PlatformTime t = platform_localtime(platform_walltime());
  char buf[64];
  snprintf(buf, sizeof buf, "%04d%02d%02d_%02d%02d%02d", t.year, t.month, t.day, t.hour,
           t.minute, t.second);
  return buf;
}

// Writes `text` to `path` (text mode). Returns 1 on success; reports "[FATAL]" otherwise.
int writetextfile(const char* path, const std::string& text) {
  FILE* f = fopen(path, "w");
  if (!f) {
    reportf("[FATAL] Could not open '%s' for writing", path);
    return 0;
  }
  size_t n = fwrite(text.data(), 1, text.size(), f);
  int closed = fclose(f);
  if (n != text.size() || closed != 0) {
    reportf("[FATAL] Could not write '%s'", path);
    return 0;
  }
  return 1;
}

struct HelpLine {
  const char* sw;  // none for the title and headings
  const char* text;
};

const HelpLine helplines[] = {
    {nullptr, "Ordax Commandline Switches: (usually override configuration)"},
    {"-b", "Background mode"},
    {"-c", "Console output mode"},
    {"-w", "Windowed graphics mode"},
    {"-scr", "Screensaver mode"},
    {"-g", "Smooth graphics animation, shows every timestep"},
    {"-view", "Lattice viewing mode (paused, no simulation)"},
    {"-pause", "Pause at end of simulation"},
    {"-s", "Send results and quit"},
    {"-cfg:net -cfg:nonet", "Apply pre-defined configuration sets"},
    {"-ver -version", "Print version identifier"},
    {nullptr, "Advanced options:"},
    {"-once", "Do one run and quit"},
    {"-q", "Complete what is in queue and quit"},
    {"-r", "Recheck last result in results.dat once, -R forever, -r123 times"},
    {"-best", "Rerun best result in results.dat once"},
    {"-bintotxt file", "Convert a file from .bin to .txt format"},
    {"-txttobin file", "Convert a file from .txt to .bin format"},
    {"-l", "Save component list from last results.dat result, -L also shows coords"},
    {"-savebeam", "Save final beam as CSV file"},
    {"-moments", "Save the moment reports of the moments apertures to moments.txt"},
    {"-singlethread", "Run in single threaded mode"},
    {"-/123", "Divide number of particles by 123"},
    {"-param:name=value", "Set simulation parameter"},
    {"-param:cell.attrib=value", "Set lattice cell attribute"},
    {nullptr, "Debugging:"},
    {"-init", "Halt after initialisation phases (at commandline, for debugging)"},
    {"-loadbalancing", "Multithread timing debugging output"},
    {"-outerloop", "Outer-loop debugging"},
    {"-parse", "Lattice file parse debug output"},
    {"-rfsync", "Print RF cavity synchronisation times to rfsync.log"},
    {"-threadoverhead", "Threading overhead debugging output"},
};

// -bintotxt / -txttobin: converts the file named by the first word after the switch into the
// second word (or the same name with the other extension) and exits 0; with no word after the
// switch, the usage line. The output is written under a temporary name and renamed, so a
// failed conversion leaves no half-written file ("[FATAL] Could not write results to '%s'").
void resultsconversion(const char* commandline, const char* sw, const char* usage,
                       const char* outext) {
  displaymode = 1;
  std::string key = std::string(" ") + sw;
  std::vector<std::string> words = commandwords(stristr(commandline, key.c_str()) + key.size());
  if (words.empty()) {
    report(usage);
    exit(0);
  }
  std::string in = words[0];
  std::string out = words.size() > 1 ? words[1] : setextension(in.c_str(), outext);
  static const ResultFormat runformat = {3, 6, 1, "Mpts"};
  LSet set;
  int ok;
  if (equalnocase(outext, "txt")) {
    set = Results_load_Binary(in.c_str(), &runformat);
    ok = Results_save(set, out.c_str(), 0);
  } else {
    set = Results_load(in.c_str(), nullptr);
    if (simstop == 2) {  // cut short by the user: no output from a part of the file
      Results_free(set);
      exit(0);
    }
    ok = Results_save_Binary(set, out.c_str());
  }
  Results_free(set);
  if (!ok) reportf("[FATAL] Could not write results to '%s'", out.c_str());
  exit(ok ? 0 : 1);
}

}  // namespace

int hasswitch(const char* commandline, const char* name) {
  if (!commandline || !name) return 0;
  std::string key = std::string(" -") + name;
  const char* p = commandline;
  while ((p = stristr(p, key.c_str()))) {
    char c = p[key.size()];
    if (c == 0 || isws(c)) return 1;
    p++;
  }
  return 0;
}

int getargc(const char* commandline) {
  return (int)commandwords(commandline).size();
}

std::string getargv(const char* commandline, int i) {
  std::vector<std::string> args = commandwords(commandline);
  if (i < 0 || i >= (int)args.size()) return "";
  return args[i];
}

int getargv_int(const char* commandline, int i) {
  return atoi(getargv(commandline, i).c_str());
}

std::string switcheshelptext() {
  std::string text;
  for (const HelpLine& h : helplines) {
    if (h.sw) text += std::string(h.sw) + "\t";
    text += h.text;
    text += "\n";
  }
  return text;
}

int applyconfigset(const char* name, const char* path) {
  ConfigStore store = configload(path, ':');
  report("Applying predefined configuration settings...");
  int known = 1;
  const char* sendkey = "Auto-send results ([Y]es, [N]o)";
  const char* dayskey = "Download sample results file after a number of days (0=don't)";
  const char* latticekey = "Update lattice files from web every N hours (0=don't)";
  if (!strnullcmpi(name, "net")) {
    configset(&store, sendkey, "Y");
    configset(&store, dayskey, "3");
    configset(&store, latticekey, "12");
    report("Configuration set for always-online computer");
  } else if (!strnullcmpi(name, "nonet")) {
    configset(&store, sendkey, "N");
    configset(&store, dayskey, "0");
    configset(&store, latticekey, "0");
    report("Configuration set for seldom-online computer - use manualsend.bat");
  } else {
    report("Unknown configuration set");
    known = 0;
  }
  int saved = configsave(store, path, ':');
  configfree(&store);
  return saved ? known : -1;
}

namespace {

// Whether `s` is one or more decimal digits and nothing else.
bool alldigits(const char* s) {
  if (!*s) return false;
  for (; *s; s++)
    if (!isdigit((unsigned char)*s)) return false;
  return true;
}

// Whether `word` (without its '-') begins with `prefix`, letters compared without case.
bool startsnocase(const std::string& word, const char* prefix) {
  size_t n = strlen(prefix);
  return word.size() >= n && equalnocase(word.substr(0, n).c_str(), prefix);
}

}  // namespace

std::vector<std::string> switchproblems(const char* commandline) {
  static const char* const known[] = {
      "b",      "c",         "w",          "scr",           "g",        "view",
      "pause",  "s",         "ver",        "version",       "once",     "q",
      "queue",  "best",      "l",          "l42",           "latextable", "latextablepdf",
      "savebeam", "singlethread", "help",  "init",          "loadbalancing", "outerloop",
      "parse",  "rfsync",    "threadoverhead", "plot",      "r",
      "moments"};
  std::vector<std::string> problems;
  std::vector<std::string> words = commandwords(commandline ? commandline : "");
  for (size_t i = 1; i < words.size(); i++) {
    const std::string& w = words[i];
    if (w.empty() || w[0] != '-') continue;
    std::string name = w.substr(1);
    // The conversions take the file names that follow them.
    if (equalnocase(name.c_str(), "bintotxt") || equalnocase(name.c_str(), "txttobin")) break;
    bool ok = false;
    for (const char* k : known) ok = ok || equalnocase(name.c_str(), k);
    if (ok) continue;
    char buf[600];
    if (name.size() >= 2 && (name[0] == 'r' || name[0] == 'R') &&
        isdigit((unsigned char)name[1])) {
      if (alldigits(name.c_str() + 1)) continue;
      snprintf(buf, sizeof buf,
               "Switch %.400s is not understood: -r re-runs the last result once, -R for ever, "
               "-r followed by a number that many times", w.c_str());
    } else if (!name.empty() && name[0] == '/') {
      if (alldigits(name.c_str() + 1) && atoi(name.c_str() + 1) >= 1) continue;
      snprintf(buf, sizeof buf,
               "Switch %.400s is not understood: -/ takes a whole number of 1 or more", w.c_str());
    } else if ((startsnocase(name, "cfg:") && name.size() > 4) ||
               (startsnocase(name, "param:") && name.find('=') != std::string::npos) ||
               (startsnocase(name, "bounds_loop=") && alldigits(name.c_str() + 12))) {
      continue;
    } else {
      snprintf(buf, sizeof buf, "Unknown switch %.400s is ignored", w.c_str());
    }
    problems.push_back(buf);
  }
  return problems;
}

int backgroundswitch(const char* commandline) {
  const char* cl = commandline ? commandline : "";
  return hasswitch(cl, "b") && !hasswitch(cl, "c") && !hasswitch(cl, "g");
}

void detectswitches(const char* commandline) {
  const char* cl = commandline ? commandline : "";
  static std::string checkedline;  // detectswitches runs again after every settings reload
  if (checkedline != cl) {
    checkedline = cl;
    for (const std::string& p : switchproblems(cl)) report(p.c_str());
  }
  displaymode = 0;
  if (hasswitch(cl, "s")) {
    switches.sendandquit = 1;
    displaymode = 1;
  }
  if (hasswitch(cl, "q") || hasswitch(cl, "queue")) switches.queueonly = 1;
  if (hasswitch(cl, "best")) {
    switches.best = 1;
    runsleft = 1;
  }
  if (hasswitch(cl, "l")) displaymode = 1;
  if (hasswitch(cl, "ver") || hasswitch(cl, "version")) {
    // In background mode nothing waits for a key.
    bool background = backgroundswitch(cl);
    printf("Ordax version identifier [%s]\n%s", ORDAX_VERSION,
           background ? "" : "Press any key to continue...\n");
    fflush(stdout);
    if (!background) platform_getkey();  // one character; end of input counts too
    exit(0);
  }
  if (hasswitch(cl, "once")) runsleft = 1;
  if (hasswitch(cl, "parse")) {
    switches.parsedebug = 1;
    switches.parselogname = "PARSEreport.log";
    parseoptions.debuglogs = true;
    parseoptions.logname = switches.parselogname;
    displaymode = 1;
    switches.haltafterinit = 1;
  }
  if (hasswitch(cl, "outerloop")) {
    switches.outerloop = 1;
    switches.nocheck = 1;
  }
  if (hasswitch(cl, "rfsync")) {
    switches.rfsynclog = 1;
    displaymode = 1;
    switches.haltafterinit = 1;
  }
  if (hasswitch(cl, "loadbalancing")) {
    displaymode = 1;
    switches.loadbalancing = 1;
    openlog(&switches.loadbalancelog, "load_balance.log");
  }
  if (hasswitch(cl, "threadoverhead")) {
    displaymode = 1;
    switches.threadoverhead = 1;
    openlog(&switches.threadoverheadlog, "thread_overhead.csv");
  }
  if (hasswitch(cl, "savebeam")) switches.savebeamstyle = 5;
  if (hasswitch(cl, "moments")) switches.moments = 1;
  if (hasswitch(cl, "plot")) {
    switches.plot = 1;
    runsleft = 1;
  }
  if (hasswitch(cl, "init")) {
    switches.haltafterinit = 1;
    displaymode = 1;
  }
  if (hasswitch(cl, "view")) {
    switches.view = 1;
    displaymode = 0;
    switches.nocheck = 1;
  }
  if (hasswitch(cl, "pause")) {
    switches.pause = 1;
    displaymode = 0;
  }
  if (hasswitch(cl, "singlethread")) {
    switches.singlethread = 1;
    settings.threads = 1;
  }
  if (stristr(cl, " -bintotxt"))
    resultsconversion(cl, "-bintotxt",
                      "Usage: ordax -bintotxt binary_results_file [text_results_file]\n", "txt");
  if (stristr(cl, " -txttobin"))
    resultsconversion(cl, "-txttobin",
                      "Usage: ordax -txttobin text_results_file [binary_results_file]\n", "bin");
  if (const char* r = findrecheck(cl)) {
    switches.recheck = 1;
    if (isdigit((unsigned char)*r)) runsleft = atoi(r);
    else runsleft = hasupper(cl, " -R") ? -1 : 1;
  }
  if (const char* cfg = after(cl, "-cfg:")) {
    displaymode = 1;
    std::string name;
    while (*cfg && !isws(*cfg)) name += *cfg++;
    // A settings file that could not be written has been reported; say so in the exit code.
    exit(applyconfigset(name.c_str(), "config.txt") < 0 ? 1 : 0);
  }
  if (hasswitch(cl, "c")) displaymode = 1;
  else if (hasswitch(cl, "b")) displaymode = 2;
  else if (hasswitch(cl, "scr")) {
    switches.screensaver = 1;
    displaymode = 0;
  } else if (hasswitch(cl, "w")) {
    switches.windowed = 1;
    displaymode = 0;
  }
  if (hasswitch(cl, "g")) displaymode = 0;
  if (displaymode == 0) {
    switches.queuefile = "queuegfx.txt";
    switches.autosavefile = "autogfx.sav";
  } else if (displaymode == 1) {
    switches.queuefile = "queuecli.txt";
    switches.autosavefile = "autocli.sav";
  }
  if (strchr(cl, '?') || hasswitch(cl, "help")) {
    fputs(switcheshelptext().c_str(), stdout);
    fflush(stdout);
    exit(0);
  }
  if (const char* d = after(cl, " -/")) {
    switches.particledivisor = atoi(d) < 1 ? 1 : atoi(d);
    switches.nocheck = 1;
  }
  if (const char* b = after(cl, " -bounds_loop=")) {
    int n = atoi(b);
    switches.defaultrefreshsteps = n < 1 ? 1 : n > 1000 ? 1000 : n;
  }
}

std::string listcomponents42(Genome* genome) {
  auto x = [genome](const char* name) { return gvalue(genome, name, 0.0, 1.0); };
  std::string out;
  char line[256];
  snprintf(line, sizeof line, "Z position of rod relative to centre of S1: %lf\n",
           x("zsrc") * 0.3 - 0.15);
  out += line;
  snprintf(line, sizeof line, "Rod angle: %lf\n", x("rotsrc") * 0.5);
  out += line;
  double sum = 0;
  for (int n = 1; n <= 34; n++) {
    char name[32];
    snprintf(name, sizeof name, "S%df", n);
    double xf = x(name);
    double field = n == 1 ? xf * 20 : n <= 4 ? xf * 10 - 5 : xf * 8 - 4;
    double radius = 0.1;
    if (n > 1) {
      snprintf(name, sizeof name, "S%dr", n);
      radius = x(name) * 0.3 + 0.1;
    }
    snprintf(name, sizeof name, "S%dl", n);
    double length = n == 1 ? x(name) * 0.25 + 0.2 : x(name) * 0.4 + 0.2;
    snprintf(line, sizeof line, "S%d: Field=%lf Length=%lf Radius=%lf\n", n, field, length,
             radius);
    out += line;
    sum += n == 1 ? length * 0.5 : length;  // from minus half of the first solenoid's length
    snprintf(name, sizeof name, "D%dl", n);
    double drift = n <= 33 ? x(name) * 0.5 + 0.5 : x(name);
    snprintf(line, sizeof line, "D%d: Length=%lf\n", n, drift);
    out += line;
    sum += drift;
    if (sum >= 30) break;
  }
  return out;
}

int detectswitches_later(const char* commandline, Cell* root, Genome* genome) {
  const char* cl = commandline ? commandline : "";
  if (hasswitch(cl, "l42")) {
    report("Outputting listcomponents.txt...");
    if (!writetextfile("listcomponents.txt", listcomponents42(genome))) return 0;
    reportupdate("Outputting listcomponents.txt... Done");
    exit(0);
  }
  if (hasswitch(cl, "l")) {
    report("Outputting listcomponents.txt...");
    std::string list = root ? Cell_print(root, hasupper(cl, " -L") ? 1 : 0, 0) : "";
    if (!writetextfile("listcomponents.txt", list)) return 0;
    reportupdate("Outputting listcomponents.txt... Done");
    exit(0);
  }
  bool tex = hasswitch(cl, "latextable"), pdf = hasswitch(cl, "latextablepdf");
  if (tex || pdf) {
    // -latextable writes the LaTeX text; -latextablepdf has the document made from it.
    // A machine named after a lattice in a subdirectory would name a file in a directory that
    // need not exist: separators and other characters no file name may hold become '_'.
    std::string rname = rootname(root);
    fixfilename(rname.data(), '_', 0);
    std::string base = "table_" + rname + "_" + datetimestamp();
    std::string name = tex ? base + ".tex" : base;
    if (tex) {
      reportf("Outputting %s...", name.c_str());
      if (!writetextfile(name.c_str(), root ? Cell_latextable(root, 1) : "")) return 0;
    } else {
      bool pdflatex = platform_hasprogram("pdflatex");
      if (!root || !Cell_latextablepdf(root, base.c_str(), 1)) {
        // Without pdflatex the LaTeX source is what the switch gives (the message names it);
        // otherwise the document was not made, and the cell code has said why.
        bool kept = !pdflatex && platform_isfile((base + ".tex").c_str());
        exit(root && kept ? 0 : 1);
      }
    }
    reportupdatef("Outputting %s... Done", name.c_str());
    exit(0);
  }
  if (hasswitch(cl, "g")) adaptivesteps = 0;
  if (hasswitch(cl, "view")) autoscale = 0;
  if (plainrecheck(cl)) {
    adaptivesteps = 0;
    autoscale = 0;
  }
  return 1;
}
