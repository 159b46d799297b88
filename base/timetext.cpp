// Date and time texts, file times, duration and byte-count texts (see timetext.h).
#include "base/timetext.h"

#include <cmath>
#include <cstdio>

#include "base/platform.h"

namespace {
const char* monthname(const SystemTime& st) {
  static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  return months[st.month >= 1 && st.month <= 12 ? st.month - 1 : 0];
}

void formatdate(const SystemTime& st, char* out) {
  snprintf(out, KVT_BUFSIZE, "%04d-%s-%02d", st.year, monthname(st), st.day);
}

void formattime(const SystemTime& st, char* out) {
  snprintf(out, KVT_BUFSIZE, "%02d:%02d:%02d", st.hour, st.minute, st.second);
}

void formatdatetime(const SystemTime& st, char* out) {
  snprintf(out, KVT_BUFSIZE, "%04d-%s-%02d %02d:%02d:%02d", st.year, monthname(st), st.day,
           st.hour, st.minute, st.second);
}

SystemTime presentlocal() {
  double now = platform_walltime();
  PlatformTime lt = platform_localtime(now);
  SystemTime st{};
  st.year = (uint16_t)lt.year;
  st.month = (uint16_t)lt.month;
  st.dayofweek = (uint16_t)lt.weekday;
  st.day = (uint16_t)lt.day;
  st.hour = (uint16_t)lt.hour;
  st.minute = (uint16_t)lt.minute;
  st.second = (uint16_t)lt.second;
  st.milliseconds = (uint16_t)((now - std::floor(now)) * 1000);
  return st;
}

// The calendar record a formatter shows for t.
SystemTime calendarfor(double t) {
  if (t == KVT_NOTIME || std::isnan(t)) return presentlocal();
  SystemTime st;
  MakeSystemTime(t, &st);
  return st;
}
}  // namespace

uint64_t MakeFileTime(double t) {
  long double v = ((long double)t + 11644473600.0L) * 1e7L;
  if (!(v >= 0)) return 0;
  if (v >= 0x1p64L) return UINT64_MAX;
  long double high = floorl(v * 0x1p-32L);
  long double low = floorl(v - high * 0x1p32L);
  return ((uint64_t)high << 32) | (uint64_t)low;
}

SystemTime systemtime_fromfiletime(uint64_t ft) {
  uint64_t secs = ft / 10000000u;
  uint64_t days1601 = secs / 86400u;
  uint32_t sod = (uint32_t)(secs % 86400u);
  // Days since 1970-01-01 to a proleptic Gregorian date (era arithmetic over 400 years).
  int64_t z = (int64_t)days1601 - 134774 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  int64_t y = yoe + era * 400 + (m <= 2);
  SystemTime st;
  st.year = (uint16_t)y;
  st.month = (uint16_t)m;
  st.dayofweek = (uint16_t)((days1601 + 1) % 7);  // 1601-01-01 was a Monday
  st.day = (uint16_t)d;
  st.hour = (uint16_t)(sod / 3600);
  st.minute = (uint16_t)(sod / 60 % 60);
  st.second = (uint16_t)(sod % 60);
  st.milliseconds = (uint16_t)(ft % 10000000u / 10000u);
  return st;
}

void MakeSystemTime(double t, SystemTime* out) {
  *out = systemtime_fromfiletime(MakeFileTime(t));
}

char* kvtdatetime(double t, char* out) {
  formatdatetime(calendarfor(t), out);
  return out;
}

char* kvtdatetime_fromfiletime(uint64_t ft, char* out) {
  formatdatetime(systemtime_fromfiletime(ft), out);
  return out;
}

char* kvtdate(double t, char* out) {
  formatdate(calendarfor(t), out);
  return out;
}

char* kvttime(double t, char* out) {
  formattime(calendarfor(t), out);
  return out;
}

const char* timefmt(double seconds) {
  static char buffers[10][100];
  static int next = 0;
  char* b = buffers[next];
  next = (next + 1) % 10;
  if (seconds < 1e-6) snprintf(b, 100, "%.1lf ns", seconds * 1e9);
  else if (seconds < 0.001) snprintf(b, 100, "%.2lf us", seconds * 1e6);
  else snprintf(b, 100, "%.3lf ms", seconds * 1000);
  return b;
}

char* printbytes(unsigned n, char* out) {
  // The scale factors are single-precision powers of two; the product is exact in double,
  // as it was in extended precision.
  if (n < 1024) snprintf(out, 16, "%u bytes", n);
  else if (n < 1048576) snprintf(out, 16, "%.1f KB", (double)n * (double)0x1p-10f);
  else if (n > 1073741823) snprintf(out, 16, "%.3f GB", (double)n * (double)0x1p-30f);
  else snprintf(out, 16, "%.2f MB", (double)n * (double)0x1p-20f);
  return out;
}
