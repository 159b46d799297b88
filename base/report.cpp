// The report channel's routing (see report.h): the sink, the front and the stderr fallback.
#include "base/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
ReportSink sink = nullptr;
void* sinkcontext = nullptr;
ReportSink front = nullptr;
void* frontcontext = nullptr;

thread_local int holddepth = 0;
thread_local int held = 0;

void route(const char* message, int isupdate) {
  if (!message) return;
  if (holddepth > 0 && strstr(message, "[WARNING]") && !strstr(message, "[FATAL]")) {
    held++;
    return;
  }
  if (sink) {
    sink(message, isupdate, sinkcontext);
  } else if (front) {
    front(message, isupdate, frontcontext);
  } else {
    fprintf(stderr, isupdate ? "\r%s" : "\n%s", message);
    fflush(stderr);
  }
}
}  // namespace

void report_setsink(ReportSink s, void* context) {
  sink = s;
  sinkcontext = context;
}

void report_setfront(ReportSink f, void* context) {
  front = f;
  frontcontext = context;
}

int report_holdwarnings(bool on) {
  if (on) {
    if (holddepth++ == 0) held = 0;
  } else if (holddepth > 0) {
    holddepth--;
  }
  return held;
}

int report_isfatal(const char* message) {
  return message && strstr(message, "[FATAL]") ? 1 : 0;
}

int report_iswarning(const char* message) {
  return message && strstr(message, "[WARNING]") ? 1 : 0;
}

void report(const char* message) {
  route(message, 0);
}

void reportupdate(const char* message) {
  route(message, 1);
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
