// Definitions of the process-wide run state, run settings and switch flags.
#include "shell/runstate.h"

#include "results/checkval.h"

int displaymode = 0;
int runsleft = -1;
unsigned char simrunning = 1;
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
