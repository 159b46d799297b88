// Date and time texts for logs and file names, file times (100 ns since 1601), short
// duration and byte-count texts. Pure functions of their arguments and the present time; the
// duration texts share ten static buffers (main thread only).
#pragma once

#include <cstdint>

// A time t is seconds since 1970-01-01 00:00 UTC; a file time counts 100 ns since 1601.
// Calendar record of a file time (UTC); month 1..12, dayofweek 0 = Sunday.
struct SystemTime {
  uint16_t year, month, dayofweek, day, hour, minute, second, milliseconds;
};
// (t + 11644473600) × 1e7 in extended precision, split into floored high and low 32-bit
// halves. NaN or a time before 1601 gives 0; a time past the 64-bit range gives UINT64_MAX.
uint64_t MakeFileTime(double t);
void MakeSystemTime(double t, SystemTime* out);
SystemTime systemtime_fromfiletime(uint64_t ft);
// The value of t that means "no time": the formatters then show the present local time.
constexpr double KVT_NOTIME = -9e99;
// Date/time texts: out must hold KVT_BUFSIZE bytes; each returns out. A t of KVT_NOTIME or NaN
// formats the present local time; any other t is shown as UTC (no zone shift).
enum { KVT_BUFSIZE = 40 };
char* kvtdatetime(double t, char* out);                  // "2026-Dec-06 21:40:00"
char* kvtdatetime_fromfiletime(uint64_t ft, char* out);  // the same from a file time
char* kvtdate(double t, char* out);                      // "2026-Dec-06"
char* kvttime(double t, char* out);                      // "21:40:00"
// Short duration text ("500.0 ns", "12.50 us", "2.000 ms") in one of 10 static buffers used
// in turn: a result stays valid until ten more calls.
const char* timefmt(double seconds);
// Byte count text ("1023 bytes", "1.5 KB", "3.25 MB", "1.000 GB"); out holds 16 bytes.
char* printbytes(unsigned n, char* out);

