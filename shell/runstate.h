// Process-wide run state: the values the run cycle owns, the run settings read from
// "config.txt", and the flags set by the command-line switches. One home for all of them so
// that the settings reader, the switch parser and the cycle agree.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/platform.h"  // simstop, eithertime
#include "base/version.h"
#include "results/checkval.h"  // CheckFunction
#include "results/optimiser.h"  // NTRIALTYPES


// ---- run-cycle state ----
extern int displaymode;  // 0 graphics, 1 console, 2 background
extern int runsleft;     // −1 no limit
extern unsigned char simrunning;
extern int stepsperframe;
extern unsigned char adaptivesteps;
extern unsigned char autoscale;
extern double lastautosave;
extern std::string username;
extern char latestversion[100];
extern char servermessage[1000];

// ---- run settings from "config.txt" ----
struct RunSettings {
  int screenwidth = 0, screenheight = 0;  // 0×0 auto, −1×−1 span
  int priorityclass = 0x20, threadpriority = -2;
  int threads = 0;  // 0 = detect
  unsigned char autosend = 1;
  double autosaveinterval = 240;  // seconds
  unsigned char autosaveoff = 0;  // one-way: once set, stays set in this process
  int rechecks = 5;
  unsigned char recheckoff = 0;   // one-way: result check function none
  int samplehours = 24;
  char samplebehaviour = 'L';
  std::string sampleurl;
  unsigned char deleteoldsamples = 1;
  int latticeupdatehours = 12;
  unsigned char proxyset = 0;
  std::string proxyhost;
  uint16_t proxyport = 0;
  unsigned char uploadhttp = 1;
  std::string ftpcommand = "ftp -s:script.ftp";
  unsigned char passiveftp = 0;
  unsigned char oldftp = 0;
  double trialratios[NTRIALTYPES] = {0, 3, 3, 3, 3, 3, 3, 1, 3, 1, 1, 1, 1};
  int particlesperthread = 35;
  std::string preferredlattices = "none";
  unsigned char sleeponbattery = 1;
  int cputhrottle = 100;
  int32_t resultsmaxsize = 50 * 1048576;
  char keepmode = 'B';
  float keepproportion = 0.5f;
  std::string removedstore = "results_removed.dat";  // empty = none
};
extern RunSettings settings;

// The result check function in force: ordaxchecksum, or none when re-checking is off
// (settings.recheckoff or a switch that turns it off).
CheckFunction resultcheckfunction();

// ---- flags and values set by the command-line switches ----
struct SwitchState {
  unsigned char sendandquit = 0;   // -s
  unsigned char queueonly = 0;     // -q, -queue
  unsigned char best = 0;          // -best
  unsigned char recheck = 0;       // -r, -R, -r<n>
  unsigned char haltafterinit = 0; // -init, -parse, -rfsync
  unsigned char view = 0;          // -view
  unsigned char pause = 0;         // -pause
  unsigned char windowed = 0;      // -w
  unsigned char screensaver = 0;   // -scr
  unsigned char outerloop = 0;     // -outerloop
  unsigned char rfsynclog = 0;     // -rfsync
  unsigned char parsedebug = 0;    // -parse
  std::string parselogname;        // "PARSEreport.log" under -parse
  unsigned char loadbalancing = 0; // -loadbalancing
  FILE* loadbalancelog = nullptr;  // "load_balance.log", appended
  unsigned char threadoverhead = 0;  // -threadoverhead
  FILE* threadoverheadlog = nullptr; // "thread_overhead.csv", appended
  int savebeamstyle = 0;           // 5 under -savebeam
  int particledivisor = 0;         // -/N; 0 = none
  int defaultrefreshsteps = 10;    // -bounds_loop=N, 1 … 1000
  unsigned char nocheck = 0;       // -outerloop, -view, -/ : result check function none
  unsigned char singlethread = 0;  // -singlethread
  unsigned char plot = 0;          // -plot: HTML plots of the run, or of every lattice's progress
  unsigned char moments = 0;       // -moments: both moment reports in "moments.txt" after each run
  std::string queuefile = "queue.txt";
  std::string autosavefile = "auto.sav";
};
extern SwitchState switches;

