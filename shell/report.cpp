// The report channel (console form for now; graphics and background modes are filled in by
// the display work). See report.h.
#include "shell/report.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"
#include "shell/runstate.h"

namespace {
ReportSink sink = nullptr;
void* sinkcontext = nullptr;
}  // namespace

void report_setsink(ReportSink s, void* context) {
  sink = s;
  sinkcontext = context;
}

void report(const char* message) {
  if (!message) return;
  if (sink) {
    sink(message, 0, sinkcontext);
    return;
  }
  if (displaymode == 1) {
    printf("\n%s", message);
    fflush(stdout);
  }
  if (strstr(message, "[FATAL]")) {
    if (displaymode == 2) platform_messagebox(message, "Ordax Error");
    exit(1);
  }
}

void reportupdate(const char* message) {
  if (!message) return;
  if (sink) {
    sink(message, 1, sinkcontext);
    return;
  }
  if (displaymode == 1) {
    printf("\r%s", message);
    platform_clreol();
    fflush(stdout);
  }
}

void reportf(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  report(buf);
}

void reportupdatef(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  reportupdate(buf);
}
