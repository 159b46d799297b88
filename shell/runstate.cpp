// Definitions of the process-wide run state, run settings and switch flags, and the clock.
#include "shell/runstate.h"

#include "base/platform.h"
#include "results/checkval.h"

const char* const ORDAX_VERSION = "v4.47_dev";
const char* const ORDAX_TITLE = "Ordax Simulation v4.47_dev";

int displaymode = 0;
int runsleft = -1;
unsigned char simrunning = 1;
volatile std::sig_atomic_t simstop = 0;
int stepsperframe = 1;
unsigned char adaptivesteps = 1;
unsigned char autoscale = 1;
double lastautosave = 0;
std::string username;
char latestversion[100] = "Unknown";
char servermessage[1000] = "";

RunSettings settings;
SwitchState switches;

CheckFunction resultcheckfunction() {
  if (settings.recheckoff || switches.nocheck) return nullptr;
  return ordaxchecksum;
}

namespace {
double eithertime_QPC() {
  return (double)platform_perfcounter() / (double)platform_perffrequency();
}
double eithertime_GTC() {
  return platform_tickcount() * 0.001;
}
double eithertime_first();
double (*clockfunction)() = eithertime_first;
double eithertime_first() {
  clockfunction = platform_perffrequency() > 0 ? eithertime_QPC : eithertime_GTC;
  return clockfunction();
}
}  // namespace

double eithertime() {
  return clockfunction();
}
