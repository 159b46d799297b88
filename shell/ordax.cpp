// Start-up and the run cycle: home directory, settings and switches, one-time preparation,
// the user name, the lattice-file listing and choice, and the cycle of runs with its advance
// loop (adaptive steps per frame, progress line, auto-save, battery sleep, CPU throttle).
// Owns the results set for the life of the process, and the genome and Simulation of each
// run, and the process-wide queue state. The advance loop runs once per frame (in console mode
// once per time step); everything else once per run.
#include "shell/ordax.h"
#include "lattice/latticefiles.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "base/platform.h"
#include "base/random.h"
#include "base/text.h"
#include "display/console.h"
#include "display/plotreport.h"
#include "display/runrecord.h"
#include "display/sideview.h"
#include "display/terminal.h"
#include "display/window.h"
#include "lattice/cell.h"
#include "lattice/cellclass.h"
#include "net/exchange.h"
#include "net/http.h"
#include "results/autosave.h"
#include "results/manage.h"
#include "language/genome.h"
#include "results/optimiser.h"
#include "results/queue.h"
#include "results/results.h"
#include "shell/config.h"
#include "shell/report.h"
#include "shell/runstate.h"
#include "shell/switches.h"
#include "sim/components/aperture.h"
#include "sim/components/matchscan.h"
#include "sim/components/registry.h"
#include "sim/simulation.h"
#include "sim/species.h"

QuarantineInfo quarantine;

namespace {

const char* const DOWNLOADPAGE = ORDAX_PROJECT_URL_DEFAULT "/download";

// Sleeps `ms` milliseconds in short pieces, waking early when the user ends the program.
void sleepunlessquit(uint32_t ms) {
  while (ms > 0 && simstop != 2) {
    uint32_t piece = ms < 100 ? ms : 100;
    platform_sleep(piece);
    ms -= piece;
  }
}

// ---- the machine's cells as the cycle sees them ----
std::string cellname(const Cell* cell) {
  return cell && cell->name ? cell->name : "";
}
// The MatchScan cell of a machine: the machine itself, or its first child of that type.
Cell* findmatchscan(Cell* root) {
  return Cell_findtype(root, "MatchScan", nullptr);
}
// The next MatchScan sibling after `cell`, or none.
Cell* nextmatchscan(Cell* root, Cell* cell) {
  return Cell_findtype(root, "MatchScan", cell);
}

// The text between the first '<' and the next '>' of a result line (empty when missing).
std::string latticefield(const char* text) {
  if (!text) return "";
  const char* a = strchr(text, '<');
  if (!a) return "";
  const char* b = strchr(a + 1, '>');
  if (!b) return "";
  return std::string(a + 1, b - a - 1);
}

// The run options the simulations of this run get from the settings and switches.
SimOptions simoptions() {
  SimOptions o;
  o.refreshsteps = switches.defaultrefreshsteps;
  o.divisor = switches.particledivisor;
  o.threads = settings.threads;
  o.particlesperthread = settings.particlesperthread;
  o.loadbalancelog = switches.loadbalancing ? switches.loadbalancelog : nullptr;
  o.threadoverheadlog = switches.threadoverhead ? switches.threadoverheadlog : nullptr;
  o.materialcounts = displaymode == 0;
  o.rfsynclog = switches.rfsynclog;
  return o;
}

// ---- the exchange with the project's servers ----

void exchangebox(const char* text, const char* title, int blocking) {
  if (blocking) platform_messagebox(text, title);
  else AsyncMessageBox(text, title);
}

}  // namespace

void configureexchange() {
  ExchangeSettings x;
  x.uploadhttp = settings.uploadhttp != 0;
  x.ftpcommand = settings.ftpcommand;
  x.passiveftp = settings.passiveftp != 0;
  x.oldftp = settings.oldftp != 0;
  x.samplebehaviour = settings.samplebehaviour;
  x.deleteoldsamples = settings.deleteoldsamples != 0;
  x.latticenames = getlatticenames;
  x.messagebox = exchangebox;
  x.noticeshown = displaymode != 0 || switches.windowed;  // not over a full-screen window
  x.noticeblocking = switches.sendandquit != 0;
  x.latestversion = latestversion;
  x.servermessage = servermessage;
  exchange_configure(x);
}

namespace {

// ---- the state of the cycle ----

struct Cycle {
  const char* commandline = nullptr;
  LSet results{};
  bool haveresults = false;
  Genome genome = Genome_none();
  Simulation sim;
  char units[5] = "Mpts";
  ResultFormat format{3, 6, 1, units};
  uint64_t configtime = 0;
  uint64_t usertime = 0;
  bool firstrun = true;
  double steppingtime = 0;  // s spent in Simulation_advance during this run
  RunRecord* record = nullptr;  // -plot: the run being recorded for the plots
  SideViewState view;           // graphics mode on a terminal: the side view's settings
  double lastscore = NAN;       // of the previous run, for the status line
  double bestscore = NAN;       // best recorded score of this run's lattice
  int waiting = 0;              // results in "results.txt" waiting to be uploaded
};

// The status line of graphics mode: lattice, time, particles, speed, scores, uploads, view.
std::string viewstatus(const Cycle& c) {
  const Simulation& sim = c.sim;
  char buf[400], last[32] = "-", best[32] = "-";
  if (!std::isnan(c.lastscore)) snprintf(last, sizeof last, "%.4g", c.lastscore);
  if (!std::isnan(c.bestscore)) snprintf(best, sizeof best, "%.4g", c.bestscore);
  double rate = c.steppingtime > 0 ? sim.Mpts / c.steppingtime : 0;
  snprintf(buf, sizeof buf,
           "%s  t = %.2fns  %d/%d particles  %.2f Mpts/s  last %s  best %s  %d to upload  "
           "[%c] zoom %d%s",
           sim.lattice && sim.lattice->name ? sim.lattice->name : "", sim.t * 1e9, Beam_m(&sim.beam),
           Beam_M(&sim.beam), rate, last, best, c.waiting, c.view.axis ? 'y' : 'x',
           c.view.zoom, c.view.paused ? "  paused" : "");
  return buf;
}

bool viewkey(int key, void* view) {
  return sideview_key(static_cast<SideViewState*>(view), key);
}

// The screensaver on a terminal (no window could be opened): any key ends the program.
bool screensaverkey(int, void*) {
  simstop = 2;
  return true;
}

// Frees what the cycle holds (every return path of TAVLIB_main2 goes through here).
void cycle_free(Cycle& c) {
  Simulation_free(&c.sim);
  if (c.genome.count != -1) Genome_free(c.genome);
  c.genome = Genome_none();
  if (c.haveresults) Results_free(c.results);
  c.haveresults = false;
}

// Where and how often the run is auto-saved (interval 0 when auto-save is off).
AutosaveOptions autosaveoptions() {
  AutosaveOptions o;
  o.file = switches.autosavefile.c_str();
  o.version = ORDAX_VERSION;
  o.interval = settings.autosaveoff ? 0 : settings.autosaveinterval;
  o.clock = eithertime;
  return o;
}

// Saves now (force) or when the interval has passed; deletes the file with auto-save off.
void autosavenow(Cycle& c, int force) {
  autosave(autosaveoptions(), &lastautosave, &c.sim, &c.results, c.genome, &quarantine,
           autosave_checksum, force);
}

// Number of results in a results text file, counted up to `limit`.
int resultsinfile(const char* path, int limit) {
  FILE* f = fopen(path, "rb");
  if (!f) return 0;
  int n = 0;
  while (n < limit) {
    Result r = Result_read(f, nullptr, nullptr, 1);
    if (!r.genome && !r.text) break;
    Result_free(r);
    n++;
  }
  fclose(f);
  return n;
}

std::string progressline(const Simulation& sim) {
  char buf[200];
  snprintf(buf, sizeof buf, "t = %.2fns (%d/%d particles) %.1f Mpts", sim.t * 1e9,
           Beam_m(&sim.beam), Beam_M(&sim.beam), sim.Mpts);
  return buf;
}

void finishrun() {
  if (simstop == 0) simstop = 1;  // never turns the user's quit (2) into an ordinary end
}

// -plot: slices along the machine, time steps between samples, particles shown at the finish.
constexpr int PLOTSLICES = 400;
constexpr int PLOTSAMPLESTEPS = 10;
constexpr int PLOTPOINTS = 5000;

// Seconds between the side view's frames (at most 10 a second).
constexpr double VIEWFRAMES = 0.1;

// Milliseconds between the frames of a held run.
constexpr uint32_t HELDFRAMEMS = 50;

// The advance loop: one pass per frame while simstop is 0.
void advanceloop(Cycle& c, Cell* scan) {
  Simulation& sim = c.sim;
  double T0 = eithertime();
  bool newinterval = true;
  double lastprogress = -1e30;
  double lastbatterycheck = -1e30;
  bool removedwhileheld = false;  // the auto-save file (auto-save off) while held
  std::string shownnotice;
  double lastview = -1e30;
  bool viewpaused = c.view.paused;
  if (displaymode == 0) display_setkeyfilter(switches.screensaver ? screensaverkey : viewkey, &c.view);
  while (simstop == 0) {
    double now = eithertime();
    if (newinterval) T0 = now;
    if (simrunning) {
      if (!scan) {
        double t1 = eithertime();
        if (displaymode != 0) stepsperframe = 1;
        int taken = 0;
        while (taken < stepsperframe) {
          if (eithertime() >= t1 + 1.0) break;
          Simulation_advance(&sim, 1, 1, 1);
          if (c.record) RunRecord_sample(c.record, &sim);
          taken++;
          if (sim.t >= sim.t_max) {
            finishrun();
            break;
          }
        }
        double t2 = eithertime();
        c.steppingtime += t2 - t1;
        if (displaymode == 0 && adaptivesteps)
          stepsperframe = adaptivestepsperframe(stepsperframe, taken, t2 - t1);
        if (t2 - lastprogress >= 0.05) {
          lastprogress = t2;
          std::string line = progressline(sim);
          if (displaymode == 1) {
            console_update(line.c_str());
          } else if (displaymode == 0) {
            display_status(display_active() ? viewstatus(c).c_str() : line.c_str());
          }
        }
        if (Beam_m(&sim.beam) == 0 || switches.view) finishrun();
      } else {
        if (MatchScan_iterate(scan, &sim)) {
          scan = nextmatchscan(sim.lattice, scan);
          if (!scan) finishrun();
        }
        double t = eithertime();
        if (scan && t - lastprogress >= 0.05) {
          lastprogress = t;
          char line[200];
          snprintf(line, sizeof line, "E=%lg MeV %.1f Mpts",
                   MatchScan_energy(scan) * 6241509744511.525, sim.Mpts);
          if (displaymode == 1) {
            console_update(line);
          } else if (displaymode == 0) {
            display_status(line);
          }
        }
      }
    }
    if (displaymode == 0) {
      if (settings.autosend && strcmp(latestversion, "Unknown") &&
          strcmp(latestversion, ORDAX_VERSION)) {
        char notice[1400];
        snprintf(notice, sizeof notice,
                 "New version %s available from website!  (You are using version %s)\n\n%s",
                 latestversion, ORDAX_VERSION, servermessage);
        if (shownnotice != notice) display_notice(notice);  // redrawn only when it changes
        shownnotice = notice;
      }
      if (window_active()) {
        window_frame(sim, c.view, simrunning != 0);  // paced by the window itself
      } else if (display_active() && eithertime() - lastview >= VIEWFRAMES) {
        // The side view over the upper half of the terminal, at most 10 times a second.
        lastview = eithertime();
        int cols = platform_terminal_columns(), rows = platform_terminal_rows();
        int height = std::min(rows / 2, rows - 9);
        if (height >= 3) display_view(sideview_rows(sim, c.view, cols, height));
      }
      if (dealwithmessages()) simstop = 2;
      if (c.view.paused != viewpaused) {  // space pauses and resumes
        viewpaused = c.view.paused;
        simrunning = viewpaused ? 0 : 1;
        display_status(viewstatus(c).c_str());
      }
    } else if (displaymode == 2) {
      if (dealwithmessages()) simstop = 2;
    }
    if (switches.pause && simrunning && simstop == 1) {
      simrunning = 0;
      simstop = 0;
    }
    if (!settings.autosaveoff) {
      autosavenow(c, 0);
    } else if (simrunning || !removedwhileheld) {
      // Deleted on every pass that advances the run; a held run deletes it once.
      platform_remove(switches.autosavefile.c_str());
      removedwhileheld = !simrunning;
    }
    // Battery: looked at once a second at most (reading the power status costs a few file
    // reads); the sleep wakes early when the user ends the program.
    if (settings.sleeponbattery && (displaymode != 0 || switches.screensaver) &&
        eithertime() - lastbatterycheck >= 1.0) {
      lastbatterycheck = eithertime();
      bool told = false;
      while (simstop != 2 && platform_onbattery()) {
        if (!told) report("On battery power, sleeping...");
        told = true;
        sleepunlessquit(30000);
      }
    }
    if (!simrunning) {
      // A held run (-view, -pause) only shows the machine: a frame every 50 ms, sooner when a
      // key is pressed or the user ends the program, rather than a busy loop.
      display_wait(HELDFRAMEMS);
      newinterval = true;
      continue;
    }
    if (settings.cputhrottle < 100) {
      int ms = throttlesleepms(settings.cputhrottle, eithertime() - T0);
      newinterval = ms >= 0;
      if (ms > 0) sleepunlessquit((uint32_t)ms);
    } else {
      newinterval = true;
    }
  }
}

// Steps 10 to 12 of a run: choose a lattice and a genome and build the simulation. Returns 1
// with c.sim built, 0 when the user ended the program meanwhile, −1 after a fatal report.
int choosebuild(Cycle& c, std::string latticename) {
  const char* cl = c.commandline;
  int failures = 0;
  // A lattice named on the command line is the one asked for: when it cannot be built
  // (missing, needing a newer version, unreadable), the run ends rather than taking another.
  const std::string named = latticename;
  for (;;) {
    if (simstop == 2) return 0;
    quarantine.queuefile = switches.queuefile.c_str();
    quarantine.needed = settings.rechecks;
    char* lname = latticename.empty() ? nullptr : strdup(latticename.c_str());
    c.genome = getqueuedresult(&lname, resultcheckfunction(), &quarantine);
    if (lname) {
      latticename = lname;
      free(lname);
    }
    if (latticename.empty()) {
      if (switches.queueonly) {
        report("No more results from queue to check.");
        cycle_free(c);
        exit(0);
      }
      if (c.results.count > 0) {
        if (switches.recheck) {
          const Result& last = LSet_at<Result>(c.results, c.results.count - 1);
          latticename = latticefield(last.text);
          if (!latticename.empty()) {
            Genome_free(c.genome);
            c.genome = Genome_fromstring(last.genome, 1);
          }
        } else if (switches.best) {
          char* bestname = nullptr;
          Genome g = getbestresult(c.results, &bestname);
          if (g.count != -1 && bestname && *bestname) {
            report("Rerunning best result");
            Genome_free(c.genome);
            c.genome = g;
            latticename = bestname;
          } else if (g.count != -1) {
            Genome_free(g);
          }
          free(bestname);
        }
      }
      if (latticename.empty()) {
        latticename = getrandomlatticename();
        if (latticename.empty()) {
          report("[FATAL] No lattice files in lattices directory.");
          return -1;
        }
      }
    }
    if (c.genome.count == -1)
      c.genome = makegenome(c.results, latticename.data(), switches.recheck ? -1 : -2, nullptr,
                            settings.trialratios);
    lastautosave = eithertime();
    c.sim = Simulation_new(latticename.c_str(), &c.genome, cl,
                           quarantine.active ? quarantine.count : -1);
    if (c.sim.paramoverridden) switches.nocheck = 1;  // the result is not the lattice's own
    if (c.sim.lattice) return 1;
    Simulation_free(&c.sim);
    if (simstop == 2) return 0;  // ended while the lattice was read or built
    if (!named.empty()) {
      reportf("[FATAL] Lattice %s named on the command line could not be used", named.c_str());
      return -1;
    }
    if (++failures >= 1000) {
      reportf("[FATAL] No lattices found compatible with your current Ordax version.\n"
              "Please download the latest version from %s",
              DOWNLOADPAGE);
      return -1;
    }
    Genome_free(c.genome);
    c.genome = Genome_none();
    latticename.clear();
  }
}

// One run. Returns 1 to go on with the next run, 0 to end the program normally, −1 after a
// fatal report (only seen with a report sink).
int runonce(Cycle& c) {
  const char* cl = c.commandline;
  if (simstop == 2) return 0;
  settingsreloadcheck(&c.configtime, cl);
  configureexchange();
  uint64_t t = platform_filemodified("user.txt");
  if (t != c.usertime) {
    report("Username changed...");
    username.clear();
    if (!getusername()) return -1;
    c.usertime = platform_filemodified("user.txt");
  }
  if (c.firstrun) {
    completependingresult();  // a result whose recording a kill cut short
    c.results = Results_load("results.dat", nullptr);
    c.haveresults = true;
  }
  if (settings.latticeupdatehours > 0) latticefileupdate(settings.latticeupdatehours, 0, "lattices");
  if (settings.samplehours > 0) samplefilesupdate(settings.sampleurl.c_str(), settings.samplehours);
  if (settings.threads < 1) {
    settings.threads = platform_processorcount();
    reportf("Detected %d logical processors", settings.threads);
    if (settings.threads < 1) settings.threads = 1;
  }
  Simulation_defaultdefault(simoptions());
  report("New simulation");
  std::string latticename = latticenamefromcmdline(cl);

  bool restored = false;
  if (c.firstrun && latticename.empty() && !switches.queueonly && !switches.recheck) {
    quarantine.queuefile = switches.queuefile.c_str();
    quarantine.needed = settings.rechecks;
    restored = autoload(autosaveoptions(), &lastautosave, &c.sim, &c.results, &c.genome,
                        &quarantine, autosave_checksum) == 1;
  }
  c.firstrun = false;
  if (!restored) {
    int built = choosebuild(c, latticename);
    if (built <= 0) return built;
  }

  latticename.clear();
  if (!detectswitches_later(cl, c.sim.lattice, &c.genome)) return -1;
  if (switches.haltafterinit) {
    cycle_free(c);
    exit(0);
  }
  Cell* firstscan = findmatchscan(c.sim.lattice);
  if (simstop != 2) simstop = 0;
  report("- Starting -");
  if (displaymode == 1) {
    console_line("");  // the progress line's own line
    simrunning = 1;
  } else if (displaymode == 2) {
    simrunning = 1;
  }
  if (switches.view) simrunning = 0;
  if (switches.outerloop) c.sim.t_max = 4e-9;
  c.steppingtime = 0;
  if (displaymode == 0 && display_active()) {
    std::string name = cellname(c.sim.lattice);
    c.bestscore = NAN;
    for (uint32_t i = 0; i < c.results.count; i++) {
      const Result& r = LSet_at<Result>(c.results, i);
      if (equalnocase(latticefield(r.text), name) && !(r.score <= c.bestscore)) c.bestscore = r.score;
    }
    c.waiting = resultsinfile("results.txt", 1000000);
  }
  RunRecord record;
  if (switches.plot) {
    RunRecord_begin(&record, &c.sim, PLOTSLICES, PLOTSAMPLESTEPS);
    c.record = &record;
  }

  advanceloop(c, firstscan);
  c.record = nullptr;
  display_setkeyfilter(nullptr, nullptr);
  display_view({});
  window_clearscene();

  lattice_exists(LATTICE_EXISTS_RESET);
  if (switches.view) {
    cycle_free(c);
    exit(0);
  }
  // A run the user ended is saved before scoring, which reorders the beam.
  if (simstop == 2) autosavenow(c, 1);
  foreachfilein(".", collatethreadoutputfile, nullptr);
  double score = Simulation_score(&c.sim);
  // The run's outcome on the console: the results files keep it, but the user should see it.
  if (simstop != 2) reportf("Score %lg (%.1f Mpts)", score, c.sim.Mpts);
  c.lastscore = score;

  if (firstscan) {
    std::string name = cellname(c.sim.lattice);
    double best = -1;
    for (uint32_t i = 0; i < c.results.count; i++) {
      const Result& r = LSet_at<Result>(c.results, i);
      if (equalnocase(latticefield(r.text), name) && r.score > best) best = r.score;
    }
    if (switches.queueonly || switches.best || score >= best) {
      for (Cell* s = firstscan; s; s = nextmatchscan(c.sim.lattice, s))
        MatchScan_output(s, &c.sim);
      if (switches.queueonly) {
        cycle_free(c);
        exit(123);
      }
    }
  }

  if (simstop == 2) {
    display_release();
    return 0;
  }

  // The run is over: its auto-save goes. Deleted first and emptied only if it cannot be
  // deleted (an empty file is never restored), so that a kill at any moment leaves the whole
  // last save or no file, never an empty one in between.
  if (!platform_remove(switches.autosavefile.c_str()))
    platform_truncate(switches.autosavefile.c_str(), 0);
  std::string lname = cellname(c.sim.lattice);
  genomeresult(&c.genome, score, c.sim.Mpts, lname.c_str(), resultcheckfunction(), "",
               &c.results, &c.format, &quarantine);
  if (switches.plot) {
    RunRecord_finish(&record, &c.sim, score, PLOTPOINTS);
    plotreport_write(("plot_" + lname + ".html").c_str(), plotreport_html(&record, c.results, lname));
  }

  if (switches.savebeamstyle) {
    PlatformTime now = platform_localtime(platform_walltime());
    char name[600];
    snprintf(name, sizeof name, "beamout_%s_%04d%02d%02d_%02d%02d%02d.csv", lname.c_str(),
             now.year, now.month, now.day, now.hour, now.minute, now.second);
    Beam_savecsv(&c.sim.beam, name, 0, switches.savebeamstyle, -1.0);
  }
  // The moments apertures' sums, read after the run and before the machine goes.
  if (switches.moments) ApertureMoments_savereport(c.sim.lattice, "moments.txt");
  Simulation_free(&c.sim);

  if (settings.autosend) {
    if (filesize("results.txt") >= 100000 || resultsinfile("results.txt", 50) >= 50) {
      if (username.empty() && !getusername()) return -1;
      trysendresults("results.txt", username.c_str(), 1);
    }
  }
  Genome_free(c.genome);
  c.genome = Genome_none();
  if (settings.resultsmaxsize != 0) {
    PruneOptions prune;
    prune.limit = settings.resultsmaxsize;
    prune.proportion = settings.keepproportion;
    prune.mode = settings.keepmode;
    prune.removedstore = settings.removedstore.c_str();
    manageresultsfile(prune);
  }

  if (runsleft > 0) runsleft--;
  if (runsleft == 0) {
    if (displaymode == 0) display_release();
    return 0;
  }
  return 1;
}

}  // namespace

int settingsreloadcheck(uint64_t* recorded, const char* commandline) {
  if (platform_filemodified("config.txt") == *recorded) return 0;
  ordaxconfig();
  detectswitches(commandline);
  *recorded = platform_filemodified("config.txt");  // the time of the rewritten file
  return 1;
}

// ---- home directory ----

std::string gethomedir(const char* commandline) {
  std::vector<std::string> words = commandwords(commandline);
  std::string path = words.empty() ? "" : words[0];
  std::replace(path.begin(), path.end(), '\\', '/');
  size_t cut = path.rfind('/');
  if (cut == std::string::npos) {
    path = platform_exepath();
    cut = path.rfind('/');
    if (cut == std::string::npos) return ".";
  }
  if (cut == 0) return "/";
  return path.substr(0, cut);
}

int setcwdtohomedir(const char* commandline) {
  return platform_chdir(gethomedir(commandline).c_str()) ? 1 : 0;
}

// ---- user name ----

int writeusername(const char* name) {
  FILE* f = fopen("user.txt", "w");
  bool ok = f && fputs(name, f) >= 0;
  if (f && fclose(f) != 0) ok = false;
  if (!ok) {
    report("[FATAL] Could not write 'user.txt'");
    return 0;
  }
  return 1;
}

int nousername_console(FILE* in) {
  printf("\nThis will identify your results in the Ordax statistics.\nEnter nothing to cancel.\n"
         "Username: ");
  fflush(stdout);
  char buf[1000];
  if (!in || !fgets(buf, sizeof buf, in)) buf[0] = 0;  // end of input: an empty answer
  buf[strcspn(buf, "\r\n")] = 0;
  // Blank the three prompt lines.
  if (platform_stdout_isterminal()) {
    platform_cursorup(3);
    for (int i = 0; i < 3; i++) {
      platform_clreol();
      printf("\n");
    }
    platform_cursorup(3);
    fflush(stdout);
  }
  if (!buf[0]) return 0;
  return writeusername(buf);
}

namespace {
// The next key typed in the window; −1 when the user closes it.
int windowkey() {
  for (;;) {
    int k = display_rawkey();
    if (k >= 0) return k;
    if (simstop == 2) return -1;
    display_wait(50);
  }
}

// The graphics form: the prompt is shown above the report panel and the answer typed key by
// key (Enter accepts, Backspace deletes, Escape or the end of input cancels).
int nousername_graphics() {
  std::string name;
  for (;;) {
    std::string prompt = "Username: " + name +
                         "_\nThis will identify your results in the Ordax statistics.  "
                         "Press Enter to accept or Escape to exit.";
    display_notice(prompt.c_str());
    int k = window_active() ? windowkey() : platform_getkey();
    if (k < 0 || k == 27) {
      display_notice(nullptr);
      return 0;
    }
    if (k == '\r' || k == '\n') break;
    if (k == 8 || k == 127) {
      if (!name.empty()) name.pop_back();
    } else if (k >= 32 && name.size() < 200) {
      name += (char)k;
    }
  }
  display_notice(nullptr);
  return writeusername(name.c_str());
}
}  // namespace

void nousername() {
  if (displaymode == 2) {
    platform_messagebox(
        "Please create a file called 'user.txt' in your Ordax directory and write your desired "
        "project username in it.",
        "Ordax Error: No username specified");
    exit(0);
  }
  if (displaymode == 0 && display_active()) {
    if (!nousername_graphics()) exit(1);
    return;
  }
  if (!nousername_console(stdin)) exit(0);
}

int getusername() {
  std::string name;
  for (;;) {
    name.clear();
    if (FILE* f = fopen("user.txt", "r")) {
      char buf[1000];
      if (fgets(buf, sizeof buf, f)) name = rtrim(buf);
      fclose(f);
    }
    bool bad = false;
    for (const char* c = "/\\:?*<>|"; *c; c++) {
      if (name.find(*c) != std::string::npos) {
        reportf("[FATAL] Bad character '%c' found in username '%s'", *c, name.c_str());
        bad = true;
      }
    }
    if (bad) return 0;
    if (!name.empty()) break;
    nousername();
  }
  username = name;
  reportf("Hello, %s", username.c_str());
  return 1;
}

// ---- lattice files ----

std::vector<std::string> getlatticenames() {
  std::vector<std::string> names = getlatticeshere("lattices");
  std::vector<std::string> preferred = explode(",", settings.preferredlattices);
  for (size_t i = 0; i < names.size();) {
    bool wanted = false;
    for (const std::string& p : preferred) wanted = wanted || equalnocase(p, names[i]);
    if (wanted) {
      i++;
    } else {
      names[i] = names.back();
      names.pop_back();
    }
  }
  if (names.empty()) names = getlatticeshere("lattices");
  return names;
}

int randomlatticeindex(int n, int r1, int r2) {
  int i = (int)std::floor((r2 + r1 * 3.0517578125e-5) * n * 3.0517578125e-5);
  if (i >= n) i = n - 1;
  return i < 0 ? 0 : i;
}

std::string getrandomlatticename() {
  std::vector<std::string> names = getlatticenames();
  if (names.empty()) return "";
  int r1 = rand15();
  int r2 = rand15();
  return names[randomlatticeindex((int)names.size(), r1, r2)];
}

std::string latticenamefromcmdline(const char* commandline) {
  std::vector<std::string> words = commandwords(commandline);
  for (size_t i = 1; i < words.size(); i++) {
    if (words[i].empty() || words[i][0] == '-') continue;
    std::string name = words[i];
    latticenamefixcase(name.data());
    return name;
  }
  return "";
}

// ---- pacing ----

int adaptivestepsperframe(int old, int steps, double elapsed) {
  double n = std::floor(steps * (1.0 / ((elapsed + 1e-6) * 3.3333333333333335)) + 0.5);
  double cap = 2.0 * old;
  if (n > cap) n = cap;
  if (!(n >= 1)) return 1;
  return n > 1e9 ? 1000000000 : (int)n;
}

int throttlesleepms(int throttle, double elapsed) {
  if (throttle >= 100) return 0;
  if (elapsed < 0.02) return -1;
  if (elapsed >= 5.0) return 0;
  return (int)std::lround((100 - throttle) * elapsed / throttle * 1000);
}

// ---- start-up and the cycle ----

int ordaxinit() {
  // Graphics mode: -w and -scr open the OpenGL window (full screen for the screensaver); without
  // one (not built, no display server) it draws on the terminal, when there is one. Start-up
  // never stops short here. Background mode sends message boxes to "messages.log".
  bool windowed = false;
  if (displaymode == 0 && (switches.windowed || switches.screensaver)) {
    WindowOptions w;
    w.fullscreen = switches.screensaver != 0;
    w.screensaver = switches.screensaver != 0;
    if (settings.screenwidth > 0 && settings.screenheight > 0)
      w.width = settings.screenwidth, w.height = settings.screenheight;
    if (const char* shot = platform_getenv("ORDAX_SCREENSHOT")) w.shotfile = shot;
    windowed = window_open(w);
  }
  if (!windowed) display_init(displaymode);
  report("Ordax initialising...");
  if (displaymode != 0 || switches.screensaver)
    platform_setpriority(settings.priorityclass, settings.threadpriority);
  srand15(platform_tickcount());
  registry_install();
  if (rtd_check() > 0) return 0;  // reported as "[FATAL]"
  Simulation_defaultdefault(simoptions());
  if (settings.autosend || switches.sendandquit) return getusername();
  return 1;
}

int TAVLIB_main2(char* commandline) {
  report_installfront();
  http_setstopflag(&simstop);  // the quit keys and signals also end a transfer
  installquitsignals();
  setcwdtohomedir(commandline);
  // Background mode holds from the first settings load: what is reported there is logged,
  // not asked about.
  if (backgroundswitch(commandline)) {
    displaymode = 2;
    platform_setmessagelog(true);
  }
  ordaxconfig();
  detectswitches(commandline);
  if (!ordaxinit()) return 1;
  configureexchange();
  exchange_recover("results.txt");  // an upload cut short by a kill gives its results back
  if (switches.sendandquit) exit(manualsend(username.c_str()));
  if (switches.plot && !switches.best && !switches.recheck &&
      latticenamefromcmdline(commandline).empty()) {
    // Nothing to run: the optimiser's progress on every lattice, from the results file.
    LSet results = Results_load("results.dat", nullptr);
    if (simstop == 2) exit(0);  // cut short by the user: no report from a part of the file
    int ok = plotreport_write("plot_results.html", plotreport_html(nullptr, results, ""));
    Results_free(results);
    exit(ok ? 0 : 1);
  }
  Cycle c;
  c.commandline = commandline;
  c.configtime = platform_filemodified("config.txt");
  c.usertime = platform_filemodified("user.txt");
  int r;
  while ((r = runonce(c)) > 0) {
  }
  cycle_free(c);
  display_release();
  return r < 0 ? 1 : 0;
}
