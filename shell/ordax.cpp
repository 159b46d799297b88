// Start-up and the run cycle.
#include "shell/ordax.h"

#include "shell/report.h"
#include "shell/runstate.h"

int TAVLIB_main2(char* commandline) {
  (void)commandline;
  displaymode = 1;
  report("Ordax initialising...");
  return 0;
}
