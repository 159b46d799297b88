// The debug logs that switches turn on (the parse report, the lattice code's text, the token
// and tree logs): each file takes at most debuglog_maxbytes bytes, so that a deeply nested or
// runaway lattice cannot fill the disk; what passes the limit is dropped and one closing line
// says the log was cut. Main thread only.
#pragma once

#include <cstdint>
#include <cstdio>

// Bytes one debug log file may hold (an appended file counts what it already holds): 16 MiB.
extern uint64_t debuglog_maxbytes;

// Opens the debug log `path` with `mode` ("w", "wb", "a" or "ab") under the limit; none when it
// cannot be opened. Writes past the limit fail (ferror), so a long dump may stop early.
FILE* debuglog_open(const char* path, const char* mode);
